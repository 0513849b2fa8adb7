"""Class-statement failures during the import: for n = 1, 2, ... a child
forked from this program runs the module's exec slot with allocation n
failing (a fresh module state each time), then imports the module again with
allocations working. Checks that each failure's traceback entry is at a
class's line and that exactly the classes before it are bound; stops after
20 imports in a row have succeeded and prints the lines seen.
"""
import importlib.util
import os
import sys

import _imp
import _testcapi

from module_facts import IMPORT_FUNC, SOURCE_FILE

pkg_dir = importlib.util.find_spec("quillmaret").submodule_search_locations[0]
path = next(os.path.join(pkg_dir, f) for f in os.listdir(pkg_dir) if f.startswith("_m3.") and f.endswith(".so"))
spec = importlib.util.spec_from_file_location("quillmaret._m3", path)
NAMES = ["QuillMaretError", "QuillMaretAPIError", "QuillMaretAuthError",
         "QuillMaretRateLimitError", "QuillMaretNotComputedError"]
CLASS_LINES = {1: 0, 5: 1, 8: 1, 15: 2, 20: 3, 26: 4}
seen = set()
n = successes = 0
while successes < 20:
    n += 1
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        out = os.fdopen(w, "w")
        module = _imp.create_dynamic(spec)
        _testcapi.set_nomemory(n, n + 1)
        try:
            _imp.exec_dynamic(module)
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            tb = exc.__traceback__
            while tb and tb.tb_next:
                tb = tb.tb_next
            entry = None
            if tb and tb.tb_frame.f_code.co_name == IMPORT_FUNC:
                assert tb.tb_frame.f_code.co_filename == SOURCE_FILE
                bound = [k for k in tb.tb_frame.f_globals if k in NAMES]
                entry = (tb.tb_lineno, bound)
            sys.modules.pop("quillmaret._m3", None)  # as the import system does on failure
            import quillmaret._m3 as retried   # allocations work again
            assert retried is not module and retried.QuillMaretNotComputedError
            out.write(repr(("failed", type(exc).__name__, entry)))
        else:
            _testcapi.remove_mem_hooks()
            out.write(repr(("imported",)))
        out.close()
        os._exit(0)
    os.close(w)
    report = os.fdopen(r).read()
    _, status = os.waitpid(pid, 0)
    assert status == 0 and report, (n, status, report)
    result = eval(report)
    successes = successes + 1 if result[0] == "imported" else 0
    if result[0] == "failed" and result[2] is not None:
        line, bound = result[2]
        assert line in CLASS_LINES, (n, result)
        if line != 1 or bound:  # line 1 also covers the set-up steps before any class
            assert bound == NAMES[:CLASS_LINES[line]], (n, result)
        seen.add(line)
print(sorted(seen))
