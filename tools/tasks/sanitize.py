"""The sanitizer run: both extension modules built with AddressSanitizer and
UndefinedBehaviorSanitizer (build/asan-X.Y, installed in build/site-asan-X.Y;
the normal build is untouched), the suite run against them by the session's
release interpreter with the sanitizer runtime preloaded and
PYTHONMALLOC=malloc, so that every block the module takes from
PyMem_*/PyObject_* is one the sanitizer watches. Every report, from the test
process or any child it starts, is written under
build/sanitizer-reports/X.Y/; any report fails the run."""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

from .pythons import ROOT

FLAGS = "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
HARNESS = ROOT / "tests" / "harness"
# Each planted error, and what its report must say.
PLANTED = {
    "test_read_past_end": "ERROR: AddressSanitizer: heap-buffer-overflow",
    "test_read_past_end_in_child_unchecked": "ERROR: AddressSanitizer: heap-buffer-overflow",
    "test_signed_overflow":
        "runtime error: signed integer overflow: 2147483647 + 1 cannot be represented in type 'int'",
    "test_signed_overflow_in_child_unchecked":
        "runtime error: signed integer overflow: 2147483647 + 1 cannot be represented in type 'int'",
}


def runtime() -> str | None:
    """The compiler's AddressSanitizer runtime, or None when it is not installed."""
    cxx = os.environ.get("CXX") or shutil.which("g++") or "g++"
    try:
        path = subprocess.run([cxx, "-print-file-name=libasan.so"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return None
    return os.path.realpath(path) if os.path.isabs(path) and os.path.exists(path) else None


def pip_options(site: Path) -> list[str]:
    return ["--target", str(site), "-Ccmake.build-type=RelWithDebInfo", "-Ccmake.define.QUILL_BUILD_TESTHOOKS=ON",
            f"-Ccmake.define.QUILL_SANITIZE_FLAGS={FLAGS}"]


def environment(libasan: str, site: Path, reports: Path, head: Path | None = None) -> dict[str, str]:
    """What a sanitized run's processes inherit, its children included; head,
    if given, heads the import path."""
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)
    return {
        "LD_PRELOAD": libasan,
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": f"detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:log_path={reports}/asan",
        "UBSAN_OPTIONS": f"halt_on_error=1:print_stacktrace=1:log_path={reports}/ubsan",
        "PYTHONPATH": os.pathsep.join(str(p) for p in (head, site, HARNESS, HARNESS / "sanitizer_site") if p),
    }


def pytest_command(*args: str) -> list[str]:
    return ["python", "-m", "pytest", "-p", "sanitized", "-p", "no:cacheprovider", "--capture=sys", *args]


def reports_written(reports: Path) -> list[Path]:
    """The reports of the last run (an empty file holds none)."""
    return sorted(p for p in reports.glob("*") if p.is_file() and p.stat().st_size)


def excerpt(text: str) -> str:
    """The lines of a report that say what and where."""
    return "\n".join(line for line in text.splitlines()
                     if line.startswith(("READ", "WRITE", "SUMMARY", "    #0 ", "    #1 "))
                     or any(key in line for key in ("ERROR: AddressSanitizer", "is located", "allocated by",
                                                    "runtime error:")))


def self_check(python: str, libasan: str, site: Path, reports: Path, log) -> list[str]:
    """Runs each planted error alone, then the run with an uninstrumented _m3;
    returns the failures of the check (empty when every error failed its run
    with its report, and the uninstrumented module was refused)."""
    failures = refuses_uninstrumented(python, libasan, site, reports, log)
    for test, expected in PLANTED.items():
        env = {**os.environ, **environment(libasan, site, reports)}
        argv = pytest_command("-q", f"tests/harness/planted_memory_error.py::{test}")
        proc = subprocess.run([python, *argv[1:]], env=env, cwd=ROOT, capture_output=True, text=True)
        found = "".join(p.read_text(errors="replace") for p in reports_written(reports))
        if not found:
            failures.append(f"no sanitizer report for {test} (pytest exit {proc.returncode})")
        elif expected not in found:
            failures.append(f"the report for {test} lacks: {expected}")
        elif proc.returncode == 0:
            failures.append(f"pytest passed {test} despite the report")
        else:
            log(f"self-check: {test} failed the run (pytest exit {proc.returncode}) with:\n{excerpt(found)}")
            continue
        print(proc.stdout + proc.stderr + found)
    return failures


def refuses_uninstrumented(python: str, libasan: str, site: Path, reports: Path, log) -> list[str]:
    """Every planted error sits in the hooks module: a run must also refuse an
    _m3 that is not instrumented (the release one of python's own
    environment, put ahead of the sanitized one on the path)."""
    plain_m3 = subprocess.run([python, "-I", "-c", "import quillmaret._m3 as m; print(m.__file__)"],
                              capture_output=True, text=True, cwd="/").stdout.strip()
    if not plain_m3:
        return ["an uninstrumented _m3 to try (none is installed in the session's environment)"]
    with tempfile.TemporaryDirectory() as plain:
        (Path(plain) / "quillmaret").mkdir()
        (Path(plain) / "quillmaret" / Path(plain_m3).name).symlink_to(plain_m3)
        env = {**os.environ, **environment(libasan, site, reports, head=Path(plain))}
        argv = pytest_command("-q", "tests/harness/planted_memory_error.py::test_read_past_end")
        proc = subprocess.run([python, *argv[1:]], env=env, cwd=ROOT, capture_output=True, text=True)
    refusal = re.search(r"^ERROR: .*/_m3\.[^/]*was built without AddressSanitizer$", proc.stdout + proc.stderr, re.M)
    if proc.returncode != 4 or refusal is None:
        print(proc.stdout + proc.stderr)
        return [f"an uninstrumented _m3 refused with a usage error (pytest exit {proc.returncode})"]
    log(f"self-check: an uninstrumented _m3 was refused: {refusal.group(0)}")
    return []
