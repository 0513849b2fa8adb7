"""The import with allocations failing: for each n from FIRST to LAST, a
child forked from this driver imports quillmaret._m3 with allocation n
failing (and, by MODE, later ones), then imports it again with allocations
working and uses it; one JSON line per n on standard output.

    import_sweep.py WINDOW MODE FIRST LAST PACKAGE_DIR

WINDOW "statement" fails allocations from `import quillmaret._m3` on, the
interpreter's import machinery included; "module" only inside the module's
create and exec slots, called the way the import machinery calls them. MODE
"rest" fails allocation n and every later one, "one" allocation n alone,
"window" allocations n to n + 99,999 (which lets the interpreter recover).

The driver loads the shared library beforehand without initialising it, so
that no child pays for the dynamic loading, and makes `quillmaret` a bare
package object, so that the import runs the extension module alone. A child
that hangs is ended by its watchdog (faulthandler), which writes its Python
stack to the driver; so does a child killed by a signal. Every child also
arms an alarm, so that none can outlive a driver that was killed.
"""
import ctypes
import faulthandler
import importlib.util
import json
import os
import signal
import sys

import _imp
import _testcapi

from module_facts import INIT_FUNC, module_entries

window, mode = sys.argv[1:3]
first, last = int(sys.argv[3]), int(sys.argv[4])
pkg_dir = sys.argv[5]

sys.modules["quillmaret"] = pkg = type(sys)("quillmaret")
pkg.__path__ = [pkg_dir]
spec = importlib.util.find_spec("quillmaret._m3")
ctypes.CDLL(spec.origin)

HANG_SECONDS = 2
WINDOW = 100_000


def report(**fields):
    os.write(1, (json.dumps(fields) + "\n").encode())


def import_statement():
    import quillmaret._m3


def load_module():
    # What the import machinery does for an extension module's spec.
    module = _imp.create_dynamic(spec)
    try:
        _imp.exec_dynamic(module)
    except BaseException:
        sys.modules.pop(spec.name, None)
        raise
    return module


def child(n, watchdog):
    signal.alarm(3 * HANG_SECONDS)
    os.dup2(watchdog, 2)  # fatal errors write their stack to stderr
    faulthandler.enable()
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    stop = {"rest": 0, "window": n + WINDOW, "one": n + 1}[mode]
    load = import_statement if window == "statement" else load_module
    _testcapi.set_nomemory(n, stop)
    try:
        load()
    except BaseException as exc:
        _testcapi.remove_mem_hooks()
        error = exc
    else:
        _testcapi.remove_mem_hooks()
        error = None
    result = {"n": n, "imported": error is None}
    if error is not None:
        result.update(error=type(error).__name__, text=str(error)[:200], entries=module_entries(error),
                      in_modules=spec.name in sys.modules)
        del error
        try:
            import quillmaret._m3
        except BaseException as exc:
            result["second"] = repr(exc)
    try:
        m = sys.modules[spec.name]
        e = m.QuillMaretNotComputedError(404, "m")
        assert e.args == ("[404] m",) and isinstance(e, m.QuillMaretError)
        # An argument error fails on the line the failed import may have
        # failed on (8): its entry must still name the initializer.
        try:
            m.QuillMaretAPIError()
        except TypeError as exc:
            assert module_entries(exc) == [(INIT_FUNC, 8)], module_entries(exc)
    except BaseException as exc:
        result["works"] = repr(exc)
    faulthandler.cancel_dump_traceback_later()
    report(**result)


for n in range(first, last):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            child(n, write_end)
        finally:
            os._exit(0)
    os.close(write_end)
    _, status = os.waitpid(pid, 0)
    with os.fdopen(read_end) as watchdog:
        stack = watchdog.read()
    if os.WIFSIGNALED(status):
        report(n=n, signal=os.WTERMSIG(status), stack=stack)
    elif os.WEXITSTATUS(status) != 0 and stack.startswith("Timeout ("):
        report(n=n, hang=stack)
    elif os.WEXITSTATUS(status) != 0:
        report(n=n, exit=os.WEXITSTATUS(status), stack=stack)
