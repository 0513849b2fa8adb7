"""The README's demo: it runs, covers every case and exits 0."""
import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parent.parent / "demo" / "run_demo.py"

# (case title, caught class, status code)
CASES = [
    ("401: no API key", "QuillMaretAuthError", 401),
    ("401: invalid API key", "QuillMaretAuthError", 401),
    ("403: revoked API key", "QuillMaretAuthError", 403),
    ("404: quarter not computed yet", "QuillMaretNotComputedError", 404),
    ("429: free tier", "QuillMaretRateLimitError", 429),
    ("500: internal server error", "QuillMaretAPIError", 500),
    ("503: maintenance", "QuillMaretAPIError", 503),
]


@pytest.fixture(scope="module")
def demo_output():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True,
                          timeout=120, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stderr == ""
    return proc.stdout


@pytest.mark.subprocess
class TestDemo:
    def sections(self, output):
        return {block.split("\n", 1)[0]: block for block in output.split("\n== ")[1:]}

    @pytest.mark.parametrize("title,cls,status", CASES, ids=[c[0].split(":")[0] + c[1] for c in CASES])
    def test_case_is_shown(self, demo_output, title, cls, status):
        [block] = [b for t, b in self.sections(demo_output).items() if t.startswith(title)]
        fields = dict(re.findall(r"^   (caught|status_code|message|payload|last line) +(.*)$",
                                 block, re.M))
        assert fields["caught"] == cls
        assert fields["status_code"] == str(status)
        message = ast.literal_eval(fields["message"])
        assert fields["payload"].startswith("{'error': ")
        assert fields["last line"] == f"quillmaret._m3.{cls}: [{status}] {message}"

    def test_rate_limit_comes_after_200_requests(self, demo_output):
        assert "(200 requests accepted in the window; request 201:)" in demo_output

    def test_ends_with_a_success(self, demo_output):
        title, data = demo_output.rstrip("\n").split("\n")[-2:]
        assert title == "== 200: FR 2024 Q2 with a pro key"
        assert ast.literal_eval(data.strip())["values"]
