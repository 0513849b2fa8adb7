"""The README's demo: it runs, covers every class, and reports a case that misbehaves."""
import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO_DIR = Path(__file__).resolve().parent.parent / "demo"
DEMO = DEMO_DIR / "run_demo.py"

# (start of the case's title, caught class, status code or None)
CASES = [
    ("unreachable API", "QuillMaretError", None),
    ("400: unsupported country", "QuillMaretAPIError", 400),
    ("401: no API key", "QuillMaretAuthError", 401),
    ("401: invalid API key", "QuillMaretAuthError", 401),
    ("403: revoked API key", "QuillMaretAuthError", 403),
    ("404: quarter not computed yet", "QuillMaretNotComputedError", 404),
    ("429: free tier", "QuillMaretRateLimitError", 429),
    ("500: internal server error", "QuillMaretAPIError", 500),
    ("503: maintenance", "QuillMaretAPIError", 503),
    ("404 raised in a worker process", "QuillMaretNotComputedError", 404),
]
FIELDS = re.compile(r"^   (caught|status_code|message|payload|args|last line) +(.*)$", re.M)


def run_demo(code=None):
    """Runs the demo script (or `code` with demo/ on sys.path) in a fresh interpreter."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(DEMO_DIR), *(p for p in sys.path if p)]))
    # A debug 3.15 shows its own DeprecationWarning when it formats a worker
    # process's traceback (the worker's main module has no __spec__): the
    # interpreter's, not the demo's, so it is kept out of the demo's stderr.
    env["PYTHONWARNINGS"] = ",".join(filter(None, [
        os.environ.get("PYTHONWARNINGS"),
        "ignore:Module globals is missing a __spec__.loader:DeprecationWarning"]))
    command = [sys.executable, str(DEMO)] if code is None else [sys.executable, "-c", code]
    return subprocess.run(command, capture_output=True, text=True, timeout=120, env=env)


def sections(output):
    """{title: block} of the demo's cases (the summary line left out)."""
    cases = output.rsplit("\n\ndemo: ", 1)[0]
    return {block.split("\n", 1)[0]: block for block in cases.split("\n== ")[1:]}


def section(output, title):
    [block] = [b for t, b in sections(output).items() if t.startswith(title)]
    return block


@pytest.fixture(scope="module")
def demo_output():
    proc = run_demo()
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stderr == ""
    return proc.stdout


@pytest.mark.subprocess
class TestDemo:
    @pytest.mark.parametrize("title,cls,status", CASES, ids=[c[0].split(":")[0] + c[1] for c in CASES])
    def test_case_is_shown(self, demo_output, title, cls, status):
        block = section(demo_output, title)
        fields = dict(FIELDS.findall(block))
        assert fields["caught"] == cls
        if status is None:
            [text] = ast.literal_eval(fields["args"])
            assert fields["last line"] == f"quillmaret._m3.{cls}: {text}"
        else:
            assert fields["status_code"] == str(status)
            message = ast.literal_eval(fields["message"])
            assert fields["payload"].startswith("{'error': ")
            assert fields["last line"] == f"quillmaret._m3.{cls}: [{status}] {message}"
        assert block.rstrip("\n").endswith("\n   behaved")

    def test_rate_limit_comes_after_200_requests(self, demo_output):
        assert "(200 requests accepted in the window; request 201:)" in demo_output

    def test_worker_error_keeps_its_attributes(self, demo_output):
        block = section(demo_output, "404 raised in a worker process")
        assert "same class and attributes as the same request made here: yes" in block

    def test_ends_with_a_success_and_the_count(self, demo_output):
        block = section(demo_output, "200: FR 2024 Q2")
        assert ast.literal_eval(block.split("\n")[1].strip())["values"]
        assert block.rstrip("\n").endswith("\n   behaved")
        count = len(sections(demo_output))
        assert count == len(CASES) + 1
        assert demo_output.rstrip("\n").split("\n")[-1] == f"demo: {count} cases, all behaved"

    def test_a_case_that_misbehaves_fails_the_demo(self):
        # A mock that allows one request more than the demo expects: the
        # 201st request succeeds, so the rate-limit case must be reported.
        proc = run_demo(
            "import sys, run_demo\n"
            "from quillmaret import mock_api\n"
            "mock_api.FREE_TIER_LIMIT += 1\n"
            "sys.exit(run_demo.main())\n"
        )
        assert proc.returncode == 1, proc.stdout + proc.stderr
        block = section(proc.stdout, "429: free tier")
        assert "   no error; wanted QuillMaretRateLimitError" in block
        assert block.rstrip("\n").endswith("\n   DID NOT BEHAVE")
        last = proc.stdout.rstrip("\n").split("\n")[-1]
        assert re.fullmatch(r"demo: 11 cases, 10 behaved, 1 did not: 429: free tier, .*", last), last
