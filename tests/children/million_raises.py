"""A million construct-raise-catch cycles across five threads; prints the
resident memory after the first 10,000 and after all, and the errors seen."""
import os
import sys
import threading

from quillmaret._m3 import QuillMaretAPIError, QuillMaretNotComputedError as E

THREADS, FIRST, TOTAL = 5, 10_000, 1_000_000
MESSAGE = "not computed"

if sys.platform == "win32":  # the working set, Windows' resident memory
    import ctypes

    class Counters(ctypes.Structure):  # PROCESS_MEMORY_COUNTERS
        _fields_ = [("cb", ctypes.c_uint32), ("page_faults", ctypes.c_uint32)] + [
            (name, ctypes.c_size_t) for name in (
                "peak_working_set", "working_set", "peak_paged_pool", "paged_pool",
                "peak_nonpaged_pool", "nonpaged_pool", "pagefile", "peak_pagefile")]

    def rss():
        counters = Counters(cb=ctypes.sizeof(Counters))
        kernel32 = ctypes.windll.kernel32
        kernel32.GetCurrentProcess.restype = ctypes.c_void_p
        assert kernel32.K32GetProcessMemoryInfo(
            ctypes.c_void_p(kernel32.GetCurrentProcess()), ctypes.byref(counters), counters.cb)
        return counters.working_set
else:
    PAGE = os.sysconf("SC_PAGE_SIZE")

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * PAGE

def cycles(n):
    for i in range(n):
        try:
            if i % 3 == 0:
                raise E(404, MESSAGE, {"k": i})
            if i % 3 == 1:
                raise E(status_code=404.0, message=MESSAGE)
            E(404, None)  # fails the type test
        except QuillMaretAPIError as exc:
            assert exc.status_code == 404 and exc.message is MESSAGE
        except TypeError:
            pass

first_done = threading.Barrier(THREADS)
measured = threading.Barrier(THREADS)
errors = []

def worker():
    try:
        cycles(FIRST // THREADS)
        first_done.wait()
        measured.wait()
        cycles((TOTAL - FIRST) // THREADS)
    except BaseException as exc:
        errors.append(repr(exc))
        first_done.abort()
        measured.abort()

threads = [threading.Thread(target=worker) for _ in range(THREADS - 1)]
for t in threads:
    t.start()
cycles(FIRST // THREADS)
first_done.wait()
after_first = rss()
measured.wait()
cycles((TOTAL - FIRST) // THREADS)
for t in threads:
    t.join()
print(after_first, rss(), errors)
