"""Shared test helpers: running code in a fresh interpreter."""
import enum
import os
import subprocess
import sys
import textwrap

import pytest


class Status(enum.IntEnum):
    """An int-derived status code."""
    NOT_FOUND = 404


class StrSub(str):
    """A str subclass: refused where the exact type is required."""


class DictSub(dict):
    """A dict subclass: refused where the exact type is required."""


def run_python(code, *, check=True, env=None, timeout=120):
    """Runs `code` in a fresh interpreter with this one's sys.path.

    Returns the CompletedProcess (text mode). With check=True a non-zero exit
    fails the calling test with the child's output.
    """
    child_env = dict(os.environ if env is None else env)
    child_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=child_env, timeout=timeout,
    )
    if check and proc.returncode != 0:
        pytest.fail(f"child exited {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


@pytest.fixture
def hooks():
    return pytest.importorskip("quillmaret._quill_testhooks")
