"""Run at the start of every interpreter of the sanitizer run (the sanitize sessions
put this directory on PYTHONPATH, and the children of the tests inherit it).

UndefinedBehaviorSanitizer, loaded beside AddressSanitizer, ignores the
log_path in UBSAN_OPTIONS and writes to stderr, where a child's report is
lost whenever the test does not check the child's exit status. Setting the
path through the runtime's own entry point sends its reports to files, as
AddressSanitizer's go, where the run looks for them.
"""
import os


def _send_ubsan_reports_to_files():
    for option in os.environ.get("UBSAN_OPTIONS", "").split(":"):
        if option.startswith("log_path="):
            import ctypes
            ubsan = ctypes.CDLL("libubsan.so.1")
            ubsan.__sanitizer_set_report_path(option[len("log_path="):].encode())


_send_ubsan_reports_to_files()
