"""The five error classes: hierarchy, names, docstrings, namespaces."""
import builtins

import pytest

import quillmaret._m3 as m3
from conftest import SKIP_ON_3_13_0_TYPE_CRASH, address_text, run_python
from constants_def import text

NAMES = ["QuillMaretError", "QuillMaretAPIError", "QuillMaretAuthError",
         "QuillMaretRateLimitError", "QuillMaretNotComputedError"]
# The role of each class's docstring in the constant table (constants.def).
DOC_ROLES = {
    "QuillMaretError": "DOC_ERROR",
    "QuillMaretAPIError": "DOC_API_ERROR",
    "QuillMaretAuthError": "DOC_AUTH_ERROR",
    "QuillMaretRateLimitError": "DOC_RATE_LIMIT_ERROR",
    "QuillMaretNotComputedError": "DOC_NOT_COMPUTED_ERROR",
}
LEAVES = NAMES[2:]


def test_module_binds_the_classes_in_order():
    assert [k for k in vars(m3) if not k.startswith("__")] == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_class_identity(name):
    cls = getattr(m3, name)
    assert type(cls) is type
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "quillmaret._m3"
    assert cls.__doc__ == text(DOC_ROLES[name])
    assert "__orig_bases__" not in vars(cls)
    # type() takes __qualname__ out of the namespace; the rest keeps its order
    expected = ["__module__", "__doc__"] + (["__init__"] if name == "QuillMaretAPIError" else [])
    assert [k for k in vars(cls) if not k.startswith("__") or k in expected] == expected


@pytest.mark.parametrize("name", LEAVES)
def test_mro(name):
    cls = getattr(m3, name)
    assert cls.__mro__ == (cls, m3.QuillMaretAPIError, m3.QuillMaretError, Exception, BaseException, object)
    assert "__init__" not in vars(cls)
    assert cls.__init__ is m3.QuillMaretAPIError.__init__


def test_base_error_uses_exception_init():
    assert m3.QuillMaretError.__mro__ == (m3.QuillMaretError, Exception, BaseException, object)
    assert m3.QuillMaretError.__init__ is Exception.__init__
    err = m3.QuillMaretError("a", 1)
    assert err.args == ("a", 1)


INIT = m3.QuillMaretAPIError.__dict__["__init__"]


class TestInitializerObject:
    def test_attributes(self):
        init = INIT
        assert type(init).__name__ == "quill_function_or_method"
        assert type(init).__module__ == "_quillrt_3_3_0"
        assert init.__name__ == "__init__"
        assert init.__qualname__ == "QuillMaretAPIError.__init__"
        assert init.__module__ == "quillmaret._m3"
        assert init.__defaults__ == (None,)
        assert init.__kwdefaults__ is None
        assert init.__doc__ is None
        assert init.__globals__ is vars(m3)
        assert list(init.__annotations__.items()) == [
            ("status_code", "int"), ("message", "str"), ("payload", "dict")]
        assert init.__reduce__() == "QuillMaretAPIError.__init__"
        assert repr(init) == f"<quillfunction QuillMaretAPIError.__init__ at {address_text(init)}>"

    def test_code_object(self):
        code = INIT.__code__
        assert code.co_varnames == ("self", "status_code", "message", "payload")
        assert (code.co_argcount, code.co_firstlineno, code.co_filename) == (4, 8, "src/quillmaret/_m3")

    def test_signature(self):
        import inspect
        sig = inspect.signature(m3.QuillMaretAPIError.__init__)
        assert str(sig) == "(self, status_code: 'int', message: 'str', payload: 'dict' = None)"
        assert str(inspect.signature(m3.QuillMaretNotComputedError)) == \
            "(status_code: 'int', message: 'str', payload: 'dict' = None)"

    def test_binds_as_a_method(self):
        err = m3.QuillMaretAPIError(500, "x")
        bound = err.__init__
        assert bound.__self__ is err and bound.__func__ is INIT


# Class-statement failures, injected by failing the n-th allocation of the
# exec slot in a forked child (a fresh module state each time).
SWEEP = """
import importlib.util, os, sys, _imp, _testcapi

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
            if tb and tb.tb_frame.f_code.co_name == "init quillmaret._m3":
                assert tb.tb_frame.f_code.co_filename == "src/quillmaret/_m3"
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
"""


@SKIP_ON_3_13_0_TYPE_CRASH
@pytest.mark.subprocess
def test_class_building_failures_report_their_line():
    pytest.importorskip("_testcapi")
    proc = run_python(SWEEP, timeout=600)
    assert proc.stdout.strip() == "[1, 5, 8, 15, 20, 26]"
