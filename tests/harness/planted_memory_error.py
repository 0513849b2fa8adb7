"""Planted memory errors for the sanitizer run's self-check (nox -s sanitize -- --self-check).

Not collected by the normal suite (the name does not match test_*.py). The
self-check runs each test alone, and passes only when the sanitized run
fails it with the expected report. A report ends the process that hit it,
hence one test per run.
"""
import os
import subprocess
import sys

import quillmaret._quill_testhooks as hooks


def test_read_past_end():
    hooks.read_past_end(16)


def run_child_unchecked(code):
    # The child's exit status is ignored on purpose, as a test expecting a
    # failing child might: the report itself must still fail the run.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    subprocess.run([sys.executable, "-c", "import quillmaret._quill_testhooks as h; " + code],
                   env=env, capture_output=True, timeout=120)


def test_read_past_end_in_child_unchecked():
    run_child_unchecked("h.read_past_end(16)")


def test_signed_overflow():
    hooks.overflow_signed_int()


def test_signed_overflow_in_child_unchecked():
    run_child_unchecked("h.overflow_signed_int()")
