"""Threads: a million construct-raise-catch cycles across five threads, in a
child interpreter (tests/children/million_raises.py), keep memory flat."""
import pytest

from conftest import SANITIZED, run_child


@pytest.mark.slow
@pytest.mark.subprocess
def test_million_raises_across_threads_keep_memory_flat():
    proc = run_child("million_raises.py", timeout=600)
    after_first, after_all, errors = proc.stdout.split(maxsplit=2)
    assert errors.strip() == "[]"
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory on purpose
        growth = int(after_all) - int(after_first)
        assert growth <= 1 << 20, f"resident memory grew by {growth} bytes"
