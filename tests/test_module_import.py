"""The import spine: module definition, create slot and exec slot."""
import ast
import importlib
import os
import shutil
import subprocess
import sys

import pytest

from conftest import SANITIZED, import_hooks, run_python, with_super_hidden_from_exec

INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")
REINIT = "Module '_m3' has already been imported. Re-initialisation is not supported."


def test_module_contents():
    import builtins
    import quillmaret._m3 as m3

    assert m3.__doc__ is None
    assert m3.__builtins__ is builtins
    assert m3.__test__ == {}
    assert not [v for v in vars(m3).values() if callable(v) and not isinstance(v, type)]
    assert m3.__name__ == "quillmaret._m3"
    assert sys.modules["quillmaret._m3"] is m3
    assert "quill_runtime" in sys.modules


def test_only_the_init_function_is_exported():
    if sys.platform == "win32":
        pytest.skip("an ELF symbol table; test_windows_module_tables reads the Windows module's")
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    import quillmaret._m3 as m3
    out = subprocess.run([nm, "-D", "--defined-only", m3.__file__],
                         capture_output=True, text=True, check=True).stdout
    functions = [line.split()[-1] for line in out.splitlines() if line.split()[1] in "Tt"]
    assert functions == ["PyInit__m3"]


# A second interpreter that shares the main GIL but checks that every
# extension module supports second interpreters, as isolated ones do.
CHECKED_SHARED_GIL_INTERPRETER = """
from test import support
support.run_in_subinterp_with_config(
    "try:\\n import quillmaret._m3\\nexcept ImportError as exc:\\n print(exc)\\nelse:\\n print('imported')",
    own_gil=False, use_main_obmalloc=True, allow_fork=True, allow_exec=True, allow_threads=True,
    allow_daemon_threads=True, check_multi_interp_extensions=True)
"""


def pe_tables(path):
    """(DLLs imported, names exported, count of exports) of a 64-bit PE file."""
    with open(path, "rb") as f:
        data = f.read()

    def u16(offset):
        return int.from_bytes(data[offset:offset + 2], "little")

    def u32(offset):
        return int.from_bytes(data[offset:offset + 4], "little")

    pe = u32(0x3C)
    assert data[pe:pe + 4] == b"PE\0\0"
    sections, optional_size = u16(pe + 6), u16(pe + 20)
    optional = pe + 24
    assert u16(optional) == 0x20B, "not PE32+"
    table = optional + optional_size
    spans = [(u32(s + 12), max(u32(s + 8), u32(s + 16)), u32(s + 20))
             for s in range(table, table + 40 * sections, 40)]

    def at(rva):
        return next(raw + rva - start for start, size, raw in spans if start <= rva < start + size)

    def text(rva):
        start = at(rva)
        return data[start:data.index(b"\0", start)].decode("ascii")

    def directory(index):  # (RVA, size) of a data directory
        return u32(optional + 112 + 8 * index), u32(optional + 116 + 8 * index)

    dlls = []
    imports, _ = directory(1)
    entry = at(imports) if imports else len(data)
    while any(data[entry:entry + 20]):
        dlls.append(text(u32(entry + 12)))
        entry += 20
    delayed, _ = directory(13)
    assert delayed == 0, "delay-loaded imports"
    exports, _ = directory(0)
    export = at(exports)
    names = [text(u32(at(u32(export + 32)) + 4 * i)) for i in range(u32(export + 24))]
    return dlls, names, u32(export + 20)


# On Windows a module may import the interpreter, Windows' kernel and the C
# runtime CPython itself uses: no second C runtime, no C++ or GCC runtime DLL.
@pytest.mark.skipif(sys.platform != "win32", reason="reads a Windows module's import and export tables")
@pytest.mark.parametrize("name", ["_m3", "_quill_testhooks"])
def test_windows_module_tables(name):
    import re
    module = import_hooks() if name == "_quill_testhooks" else importlib.import_module(f"quillmaret.{name}")
    dlls, exports, count = pe_tables(module.__file__)
    allowed = r"python3\d+\.dll|KERNEL32\.dll|api-ms-win-crt-[a-z]+-l1-1-0\.dll|VCRUNTIME140\.dll"
    assert [d for d in dlls if not re.fullmatch(allowed, d, re.IGNORECASE)] == []
    assert f"python{sys.version_info[0]}{sys.version_info[1]}.dll" in dlls
    assert (exports, count) == ([f"PyInit_{name}"], 1)


@pytest.mark.subprocess
@pytest.mark.skipif(sys.platform == "win32", reason="reads /proc/self/maps; on Windows "
                    "test_windows_module_tables checks that the module imports no C++ runtime DLL")
def test_import_loads_no_cxx_runtime():
    """Loading libstdc++ for the module would cost several times the rest of
    its import; the module is built so that it needs none."""
    pkg_dir = os.path.dirname(importlib.import_module("quillmaret._m3").__file__)
    proc = run_python(f"""
        import sys
        sys.modules["quillmaret"] = pkg = type(sys)("quillmaret")
        pkg.__path__ = [{pkg_dir!r}]
        before = open("/proc/self/maps").read()
        import quillmaret._m3
        after = open("/proc/self/maps").read()
        print("libstdc++" in before, "libstdc++" in after)
    """)
    if SANITIZED:
        pytest.skip("the sanitizer runtimes bring libstdc++ with them")
    if proc.stdout.split()[0] == "True":
        pytest.skip("the interpreter has loaded libstdc++ already")
    assert proc.stdout.split() == ["False", "False"]


@pytest.mark.subprocess
def test_import_leaves_typing_unloaded():
    """Importing typing would cost the package's import more than the rest of it."""
    proc = run_python("""
        import sys
        before = "typing" in sys.modules
        import quillmaret
        print(before, "typing" in sys.modules)
    """)
    if proc.stdout.split()[0] == "True":
        pytest.skip("the interpreter has imported typing already")
    assert proc.stdout.split() == ["False", "False"]


@pytest.mark.subprocess
class TestFreshInterpreter:
    def test_reimport_returns_the_same_module(self):
        run_python("""
            import sys
            import quillmaret._m3 as first
            # the import machinery renews __spec__ and friends; the rest stays
            keep = [k for k in vars(first) if not k.startswith("__")] + ["__test__", "__builtins__"]
            contents = {k: vars(first)[k] for k in keep}
            del sys.modules["quillmaret._m3"]
            import quillmaret._m3 as second
            assert second is first
            assert all(vars(second)[k] is v for k, v in contents.items())
        """)

    # The second interpreter shares the main one's GIL, as every one does on
    # 3.11: from 3.12 on, the interpreter itself refuses a module without
    # per-interpreter GIL support in one with a GIL of its own, before the
    # create slot runs.
    @pytest.mark.parametrize("first_import_fails", [False, True])
    def test_second_interpreter_is_refused(self, first_import_fails):
        proc = run_python(with_super_hidden_from_exec(f"""
            import sys
            if {first_import_fails}:
                try:
                    with super_hidden_from_exec():
                        import quillmaret._m3
                except NameError:
                    pass
                else:
                    raise SystemExit("the first import should have failed")
            else:
                import quillmaret._m3
            if sys.version_info >= (3, 13):
                import _interpreters
                failure = _interpreters.run_string(_interpreters.create("legacy"),
                                                   "import quillmaret._m3")
                if failure:
                    print(f"<class '{{failure.type.__name__}}'>: {{failure.msg}}")
            else:
                import _xxsubinterpreters as interpreters
                interp = interpreters.create(isolated=False)
                try:
                    interpreters.run_string(interp, "import quillmaret._m3")
                except interpreters.RunFailedError as exc:
                    print(exc)
                    failure = exc
                else:
                    failure = None
            if not failure:
                raise SystemExit("the second interpreter imported the module")
        """))
        assert proc.stdout.strip() == f"<class 'ImportError'>: {INTERPRETER_CHANGE}"

    @pytest.mark.skipif(sys.version_info < (3, 12), reason="3.12+: the interpreter checks the slot")
    def test_shared_gil_interpreter_with_the_extension_check_gets_the_interpreters_words(self):
        support = pytest.importorskip("test.support")
        if not hasattr(support, "run_in_subinterp_with_config"):
            pytest.skip("test.support cannot configure a subinterpreter")
        proc = run_python(CHECKED_SHARED_GIL_INTERPRETER)
        assert proc.stdout.strip() == "module quillmaret._m3 does not support loading in subinterpreters"

    @pytest.mark.usefixtures("hooks")
    def test_exec_slot_refuses_another_module(self):
        run_python(f"""
            import types
            import quillmaret._m3 as m3
            import quillmaret._quill_testhooks as hooks
            before = dict(vars(m3))
            other = types.ModuleType("quillmaret._m3")
            try:
                hooks.run_exec_slot(m3, other)
            except RuntimeError as exc:
                assert str(exc) == {REINIT!r}, exc
            else:
                raise SystemExit("no RuntimeError")
            assert vars(other).keys() == {{"__name__", "__doc__", "__package__", "__loader__", "__spec__"}}
            assert dict(vars(m3)) == before
            hooks.run_exec_slot(m3, m3)  # the module itself: returns at once
            assert dict(vars(m3)) == before
        """)

    def test_failed_exec_lets_a_retry_build_a_new_module(self):
        run_python(with_super_hidden_from_exec("""
            import sys
            try:
                with super_hidden_from_exec():
                    import quillmaret._m3
            except NameError as exc:
                assert str(exc) == "name 'super' is not defined", exc
                tb = exc.__traceback__
                while tb.tb_next:
                    tb = tb.tb_next
                failed_dict = tb.tb_frame.f_globals  # the failed module's dictionary
            else:
                raise SystemExit("the import should have failed")
            assert "quillmaret._m3" not in sys.modules
            sys.modules.pop("quillmaret", None)
            import quillmaret._m3 as m3
            assert vars(m3) is not failed_dict
            assert "__builtins__" in failed_dict and "QuillMaretError" not in failed_dict
            assert m3.__test__ == {} and m3.QuillMaretError
        """))


# A sys.modules key that hashes like NAME and raises LookupError("planted")
# when compared while the exec slot runs (the import machinery's own lookups
# of the name, before and after, compare it harmlessly); ONCE: only the first
# such comparison raises.
PLANTED_MODULE_KEY = """
import sys
class Planted:
    raised = 0
    def __hash__(self):
        return hash({name!r})
    def __eq__(self, other):
        caller = sys._getframe(2).f_code.co_name if sys._getframe(1).f_back else ""
        if caller == "exec_module" and not (Planted.raised and {once}):
            Planted.raised += 1
            raise LookupError("planted")
        return False
sys.modules[Planted()] = None
"""


@pytest.mark.subprocess
class TestLookupFailuresDuringExec:
    def test_creating_the_shared_runtime_module_fails_the_import(self):
        proc = run_python(PLANTED_MODULE_KEY.format(name="_quillrt_3_3_0", once=False) + """
try:
    import quillmaret._m3
except LookupError as exc:
    print(exc)
assert Planted.raised
assert "_quillrt_3_3_0" not in [k for k in sys.modules if type(k) is str]
""")
        assert proc.stdout.strip() == "planted"

    def test_module_table_lookup_failure(self):
        # 3.13 reports a failed lookup of the module in the module table;
        # before, the lookup cannot report it, and the store finds no entry.
        proc = run_python(PLANTED_MODULE_KEY.format(name="quillmaret._m3", once=True) + """
try:
    import quillmaret._m3
except LookupError as exc:
    print(exc)
else:
    print("imported")
assert Planted.raised == 1
""")
        assert proc.stdout.strip() == ("planted" if sys.version_info >= (3, 13) else "imported")

    def test_import_holds_two_references_to_builtins(self):
        # The state record's, and the module's __builtins__ (the package's
        # __init__, which would add its own, is not run).
        proc = run_python(EXT_SPEC + """
import builtins, gc
gc.collect()
before = sys.getrefcount(builtins)
module = _imp.create_dynamic(ext_spec("quillmaret._m3"))
_imp.exec_dynamic(module)
gc.collect()
print(sys.getrefcount(builtins) - before)
""")
        assert proc.stdout.strip() == "2"


# Loads the hooks and a module object of _m3 made by the create slot alone
# (exec never runs), without the package's __init__, which imports _m3 in
# full: the create slot can then be run while no module is recorded yet.
EXT_SPEC = """
import importlib.machinery, importlib.util, os, sys, _imp
pkg_dir = importlib.util.find_spec("quillmaret").submodule_search_locations[0]

def ext_spec(name):
    short = name.rpartition(".")[2]
    path = next(os.path.join(pkg_dir, f) for f in os.listdir(pkg_dir)
                if f.startswith(short + ".") and f.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)))
    return importlib.util.spec_from_file_location(name, path)
"""
CARRIER = EXT_SPEC + """
hooks = _imp.create_dynamic(ext_spec("quillmaret._quill_testhooks"))
carrier = _imp.create_dynamic(ext_spec("quillmaret._m3"))
"""


@pytest.mark.subprocess
@pytest.mark.usefixtures("hooks")
@pytest.mark.parametrize("attrs, expected", [
    # every attribute present; None is stored except for the search path
    (dict(loader="L", origin=None, parent=None, submodule_search_locations=None),
     {"__loader__": "L", "__file__": None, "__package__": None}),
    (dict(loader=None, origin="o.so", parent="pkg", submodule_search_locations=["p"]),
     {"__loader__": None, "__file__": "o.so", "__package__": "pkg", "__path__": ["p"]}),
    # missing attributes are skipped: the keys keep what module creation gave
    # them (None for __loader__ and __package__) or stay absent
    (dict(), {"__loader__": None, "__package__": None}),
    (dict(parent="pkg", origin="o.so"), {"__loader__": None, "__package__": "pkg", "__file__": "o.so"}),
])
def test_create_slot_copies_the_spec(attrs, expected):
    proc = run_python(CARRIER + f"""
class Spec:
    name = "quillmaret._m3"
spec = Spec()
for key, value in {attrs!r}.items():
    setattr(spec, key, value)
module = hooks.run_create_slot(carrier, spec)
assert module is not carrier and module.__name__ == "quillmaret._m3"
print({{k: v for k, v in vars(module).items() if k not in ("__name__", "__doc__", "__spec__")}})
""")
    assert ast.literal_eval(proc.stdout.strip()) == expected


@pytest.mark.subprocess
@pytest.mark.usefixtures("hooks")
def test_create_slot_passes_on_errors_other_than_attribute_error():
    run_python(CARRIER + """
class Spec:
    name = "quillmaret._m3"
    @property
    def origin(self):
        raise KeyError("origin")
try:
    hooks.run_create_slot(carrier, Spec())
except KeyError:
    pass
else:
    raise SystemExit("the KeyError was swallowed")

class NoName:
    pass
try:
    hooks.run_create_slot(carrier, NoName())
except AttributeError:
    pass
else:
    raise SystemExit("a spec without a name was accepted")
""")


class TestVersionCheck:
    # The hooks module is compiled for the interpreter running the tests.
    BUILT = sys.version_info[:2]
    MESSAGE = (f"compile time Python version {BUILT[0]}.{BUILT[1]} of module 'quillmaret._m3' "
               "does not match runtime version {}.{}")

    @pytest.mark.parametrize("micro, level", [(0, 0xA), (7, 0xF), (99, 0xC)])
    def test_any_release_of_the_built_version_is_silent(self, hooks, micro, level):
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            hooks.check_runtime_version(3 << 24 | self.BUILT[1] << 16 | micro << 8 | level << 4)

    @pytest.mark.parametrize("major, minor", [(3, BUILT[1] + 1), (3, BUILT[1] - 1),
                                              (4, BUILT[1]), (2, 7)])
    def test_other_versions_warn_once(self, hooks, major, minor):
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            hooks.check_runtime_version(major << 24 | minor << 16 | 0xF0)
        assert [(w.category, str(w.message)) for w in caught] == [
            (RuntimeWarning, self.MESSAGE.format(major, minor))]

    def test_warning_as_error_fails(self, hooks):
        import warnings
        minor = self.BUILT[1] + 1
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning, match=f"does not match runtime version 3.{minor}$"):
                hooks.check_runtime_version(3 << 24 | minor << 16 | 0xF0)
