"""Checks for the sanitizer run: a pytest plugin loaded only by the sanitize sessions.

1. The run refuses to start unless AddressSanitizer's runtime is really in
   the process, both extension modules on the path are instrumented, and
   UBSan's reports go to files (sanitizer_site/sitecustomize.py): a set-up
   that lost any of these would otherwise pass as a clean run.
2. A sanitizer report written while a test ran (the runtimes write them to
   the files named by log_path in ASAN_OPTIONS / UBSAN_OPTIONS) fails that
   test at teardown, with the report. A report from the test process itself
   ends the process at once (halt_on_error), but one from a child process
   (a fresh-interpreter test) would otherwise count only if the test checked
   the child's exit status. The session checks the same files once
   more after the run.
3. Hypothesis deadlines are off: instrumented code and the plain-malloc
   allocator make every example slower, through no fault of the test.
"""
import ctypes
import glob
import os
import sys

import pytest

_seen_key = pytest.StashKey()

EXTENSIONS = ("_m3", "_quill_testhooks")


def _log_prefix(var):
    for option in os.environ.get(var, "").split(":"):
        if option.startswith("log_path="):
            return option[len("log_path="):]
    return None


def _log_prefixes():
    return [p for p in (_log_prefix("ASAN_OPTIONS"), _log_prefix("UBSAN_OPTIONS")) if p]


def _reports():
    # A runtime may open its file before it has anything to say: only a
    # file with text in it is a report.
    return {path for prefix in _log_prefixes() for path in glob.glob(glob.escape(prefix) + ".*")
            if os.path.getsize(path) > 0}


def _extension_files():
    found = {}
    for entry in sys.path:
        for name in EXTENSIONS:
            if name not in found:
                hits = glob.glob(os.path.join(entry or ".", "quillmaret", name + ".*.so"))
                if hits:
                    found[name] = hits[0]
    return found


def pytest_configure(config):
    try:
        ctypes.CDLL(None).__asan_init
    except AttributeError:
        raise pytest.UsageError(
            "AddressSanitizer's runtime is not loaded (LD_PRELOAD the libasan of the compiler)"
        ) from None
    if not _log_prefix("ASAN_OPTIONS") or not _log_prefix("UBSAN_OPTIONS"):
        raise pytest.UsageError("ASAN_OPTIONS and UBSAN_OPTIONS need log_path=...")
    site = sys.modules.get("sitecustomize")
    if os.path.basename(os.path.dirname(getattr(site, "__file__", ""))) != "sanitizer_site":
        raise pytest.UsageError(
            "UBSan would report to stderr (tests/harness/sanitizer_site is not on PYTHONPATH)")
    found = _extension_files()
    for name in EXTENSIONS:
        path = found.get(name)
        if path is None:
            raise pytest.UsageError(f"quillmaret.{name} is not on sys.path")
        with open(path, "rb") as f:
            if b"__asan_report_load" not in f.read():
                raise pytest.UsageError(f"{path} was built without AddressSanitizer")
    try:
        from hypothesis import settings
    except ImportError:
        return
    settings.register_profile("sanitize", settings(settings.default, deadline=None))
    settings.load_profile("sanitize")


@pytest.hookimpl(hookwrapper=True, tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    item.stash[_seen_key] = _reports()
    yield


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when != "teardown":
        return
    new = sorted(_reports() - item.stash.get(_seen_key, set()))
    if not new:
        return
    text = []
    for path in new:
        with open(path, errors="replace") as f:
            text.append(f"sanitizer report {path}:\n{f.read()}")
    report.outcome = "failed"
    report.longrepr = "\n".join(text)


def pytest_report_header(config):
    return [f"sanitizer reports: {', '.join(p + '.<pid>' for p in _log_prefixes())}"]
