"""The README's Python blocks: they check clean under mypy --strict, and the
example runs against the mock API started as the README says."""
import contextlib
import os
import re
import signal
import socket
import subprocess
import sys
import threading
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
MOCK = [sys.executable, "-m", "quillmaret.mock_api"]


def python_blocks():
    text = README.read_text(encoding="utf-8")
    return re.findall(r"^```python\n(.*?)^```$", text, re.M | re.S)


def example():
    """The README's example: the block that makes a client."""
    [block] = [b for b in python_blocks() if "QuillMaretClient(" in b]
    return block


def mock_default_url():
    """The base URL of the mock run without options, from its own constant."""
    from quillmaret.mock_api import DEFAULT_PORT
    return f"http://127.0.0.1:{DEFAULT_PORT}/v1"


def child_env():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("PYTHONUNBUFFERED", None)  # output to a pipe as a user's script gets it
    return env


def run_example(tmp_path, base_url):
    """Runs the example with its base URL replaced by base_url."""
    code = example()
    assert code.count(mock_default_url()) == 1, "the example must use the mock's default address"
    script = tmp_path / "example.py"
    script.write_text(code.replace(mock_default_url(), base_url), encoding="utf-8")
    return subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                          text=True, env=child_env(), timeout=60)


@pytest.fixture
def mock_url():
    """Starts the mock on a free port, as the README says; stops it with Ctrl-C."""
    # Ctrl-C as a terminal delivers it: a shell that started the suite in
    # the background passes SIGINT on ignored, and the mock would not stop.
    restore_ctrl_c = (None if sys.platform == "win32"
                      else lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    proc = subprocess.Popen([*MOCK, "--port", "0"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=child_env(),
                            preexec_fn=restore_ctrl_c)
    try:
        first: list[str] = []
        reader = threading.Thread(
            target=lambda: first.extend(proc.stdout.readline() for _ in range(4)), daemon=True)
        reader.start()
        reader.join(30)
        match = re.fullmatch(r"mock QuillMaret API at (http://127\.0\.0\.1:\d+/v1)\n",
                             first[0] if first else "")
        assert match, f"the mock's first line: {first!r}"
        # Then what it serves, as the README's keys table and data say.
        assert first[1:] == [
            "keys: demo-free-key (free tier: 200 requests per 24 hours), demo-pro-key (no limit), "
            "demo-revoked-key (revoked: 403); any other or none: 401\n",
            "data: BR, DE, FR, IN, JP, US, 2015 Q1 to 2024 Q2; earlier and later quarters: 404; "
            "other countries: 400\n",
            "Ctrl-C stops it.\n"]
        yield match[1]
        if sys.platform != "win32":
            proc.send_signal(signal.SIGINT)
            assert proc.wait(10) == 0, proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait(10)
        proc.stdout.close()
        proc.stderr.close()


@pytest.mark.subprocess
class TestReadmeExample:
    def test_blocks_check_clean_under_strict(self, tmp_path):
        pytest.importorskip("mypy", reason="mypy is not installed (pip install .[test])")
        files = []
        for number, block in enumerate(python_blocks(), 1):
            path = tmp_path / f"readme_block_{number}.py"
            path.write_text(block, encoding="utf-8")
            files.append(str(path))
        assert files
        proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", *files], cwd=tmp_path,
                              capture_output=True, text=True, env=child_env(), timeout=300)
        assert proc.returncode == 0, proc.stdout + proc.stderr

    def test_runs_against_the_mock(self, tmp_path, mock_url):
        proc = run_example(tmp_path, mock_url)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert proc.stderr == ""
        # What the README shows it prints, the mock's figures included.
        readme = README.read_text(encoding="utf-8")
        [shown] = re.findall(r"^```text\n(FR 2024 Q2: .*?)^```$", readme, re.M | re.S)
        assert proc.stdout == shown

    def test_stops_with_one_line_when_the_api_is_unreachable(self, tmp_path):
        # A bound port that does not listen refuses every connection.
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            proc = run_example(tmp_path, "http://127.0.0.1:%d/v1" % sock.getsockname()[1])
        assert proc.returncode == 1
        assert proc.stdout == ""
        [line] = proc.stderr.splitlines()
        assert line.startswith("QuillMaret API unreachable: ")

    def test_mock_help_names_its_command_and_default_port(self):
        proc = subprocess.run([*MOCK, "--help"], capture_output=True, text=True, env=child_env(),
                              timeout=60)
        assert (proc.returncode, proc.stderr) == (0, "")
        text = " ".join(proc.stdout.split())
        assert text.startswith("usage: python -m quillmaret.mock_api [-h] [--port PORT] Serves a "
                               "mock of the QuillMaret data API on 127.0.0.1 until Ctrl-C. "), text
        assert "--port PORT the port to serve on, 0 for a free one (default 8765)" in text, text

    @pytest.mark.parametrize("port, code, says", [
        ("99999", 2, "port {}: "), ("-1", 2, "port {}: "), ("65536", 2, "port {}: "),
        ("in use", 1, "127.0.0.1:{}: "),
        # The highest port is a port, and so is the default one: taken here,
        # each is refused as in use.
        ("65535", 1, "127.0.0.1:{}: "), ("8765", 1, "127.0.0.1:{}: "),
    ])
    def test_mock_refuses_a_port_it_cannot_serve_on_in_one_line(self, port, code, says):
        with socket.socket() as taken:
            with contextlib.suppress(OSError):  # if another program has it, so much the better
                taken.bind(("127.0.0.1", int(port) if port in ("65535", "8765") else 0))
            taken.listen()
            if port == "in use":
                port = str(taken.getsockname()[1])
            # The default port is the one served without --port.
            options = [] if port == "8765" else ["--port", port]
            proc = subprocess.run([*MOCK, *options], capture_output=True, text=True,
                                  env=child_env(), timeout=60)
        assert (proc.returncode, proc.stdout) == (code, "")
        [line] = proc.stderr.splitlines()
        assert line.startswith("mock_api: cannot serve on " + says.format(port)), line


def plain(text):
    """text without Markdown's backticks, its blanks and line breaks as single spaces."""
    return " ".join(text.replace("`", "").split())


def errors_table():
    """{class: (HTTP status, cause)} of the README's errors table."""
    rows = re.findall(r"^\| `(QuillMaret\w+)` \| ([^|]*) \| [^|]* \| ([^|]*) \|",
                      README.read_text(encoding="utf-8"), re.M)
    return {name: (plain(status), plain(cause)) for name, status, cause in rows}


@pytest.mark.parametrize("name", ["QuillMaretError", "QuillMaretAPIError", "QuillMaretAuthError",
                                  "QuillMaretRateLimitError", "QuillMaretNotComputedError"])
def test_help_tells_each_class_as_the_errors_table_does(name):
    import quillmaret
    [entry] = re.findall(rf"^{name}\b.*\n((?:    .*\n)+)", quillmaret.__doc__, re.M)
    status, cause = errors_table()[name]
    if status != "none":
        assert plain(entry).startswith(f"On {status}. "), entry
    assert cause in plain(entry), entry
