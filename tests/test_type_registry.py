"""The shared type registry in "_quillrt_3_3_0": create, adopt, refuse."""
import importlib.util
import textwrap

import pytest

from conftest import run_python

SHARED = "_quillrt_3_3_0"
NOT_A_TYPE = "Shared quill type {} is not a type object"
WRONG_SIZE = "Shared quill type {} has the wrong size, try recompiling"
NOT_A_METATYPE = "Shared quill type {} is not a subclass of type"
WRONG_METATYPE = "Shared quill type {} has the wrong metatype, try recompiling"
WRONG_FLAGS = "Shared quill type {} has the wrong flags, try recompiling"
WRONG_LAYOUT = "Shared quill type {} has the wrong layout, try recompiling"
WRONG_NAME = "Shared quill type {} has the wrong name, try recompiling"


# Loads the hooks module without its package, whose __init__ imports _m3.
LOAD_HOOKS_ALONE = """
import glob, importlib.machinery, importlib.util, os, sys
def load_hooks_alone():
    found = [f for p in sys.path
             for f in glob.glob(os.path.join(p, "quillmaret", "_quill_testhooks.*"))
             if f.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))]
    loader = importlib.machinery.ExtensionFileLoader("quillmaret._quill_testhooks", found[0])
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module
"""


def run_ok(code):
    """Runs code in a fresh interpreter; it prints "ok" at the end."""
    proc = run_python(code)
    assert proc.stdout.strip().endswith("ok"), proc.stdout + proc.stderr


@pytest.mark.subprocess
class TestAdoption:
    def test_first_module_creates_and_registers_both_types(self):
        run_ok("""
            import sys
            assert "_quillrt_3_3_0" not in sys.modules
            import quillmaret._m3
            registry = vars(sys.modules["_quillrt_3_3_0"])
            meta = registry["_common_types_metatype"]
            ftype = registry["quill_function_or_method"]
            assert type(meta) is type and meta.__bases__ == (type,)
            assert type(ftype) is meta and ftype.__bases__ == (object,)
            assert meta.__flags__ & (1 << 8 | 1 << 7) == (1 << 8 | 1 << 7)
            print("ok")
        """)

    @pytest.mark.usefixtures("hooks")
    @pytest.mark.parametrize("first", ["m3", "hooks"])
    def test_second_module_adopts_the_registered_types(self, first):
        run_ok(LOAD_HOOKS_ALONE + textwrap.dedent(f"""
            if {first!r} == "hooks":
                hooks = load_hooks_alone()
                assert "quillmaret._m3" not in sys.modules
            else:
                import quillmaret._m3
            registry = dict(vars(sys.modules["_quillrt_3_3_0"]))
            import quillmaret._m3 as m3
            if {first!r} == "m3":
                from quillmaret import _quill_testhooks as hooks
            now = vars(sys.modules["_quillrt_3_3_0"])
            for key in ("_common_types_metatype", "quill_function_or_method"):
                assert now[key] is registry[key], key
            f = hooks.make_function("echo_o")
            assert type(f) is registry["quill_function_or_method"]
            api_error = getattr(m3, "QuillMaretAPIError", None)
            if api_error is not None:  # the module's own function object
                init = vars(api_error)["__init__"]
                assert type(init) is type(f)
            print("ok")
        """))

    def test_function_type_module_comes_from_the_metatype(self):
        run_ok("""
            import sys
            import quillmaret._m3
            ftype = sys.modules["_quillrt_3_3_0"].quill_function_or_method
            assert ftype.__module__ == "_quillrt_3_3_0"
            assert ftype.__name__ == "quill_function_or_method"
            try:
                ftype.__module__ = "elsewhere"
            except TypeError:
                pass
            else:
                raise AssertionError("__module__ was writable")
            assert ftype.__module__ == "_quillrt_3_3_0"
            print("ok")
        """)


@pytest.mark.subprocess
class TestRefusedInstantiation:
    """The metatype has no constructor; every way of asking for one fails cleanly."""

    ATTEMPTS = {
        "type() with the function type as base": 'type("X", (ftype,), {})',
        "class statement": "class X(ftype): pass",
        "calling the metatype": 'meta("X", (), {})',
        "type.__call__ on the metatype": 'type.__call__(meta, "X", (ftype,), {})',
    }

    @pytest.mark.parametrize("attempt", list(ATTEMPTS), ids=list(ATTEMPTS))
    def test_fails_with_the_interpreters_wording(self, attempt):
        run_ok(f"""
            import sys
            import quillmaret._m3
            VALID_VERSION_TAG = 1 << 19  # set by the attribute cache on lookups
            registry = sys.modules["_quillrt_3_3_0"]
            meta, ftype = registry._common_types_metatype, registry.quill_function_or_method
            flags = meta.__flags__ & ~VALID_VERSION_TAG
            try:
                {self.ATTEMPTS[attempt]}
            except TypeError as e:
                assert str(e) == "cannot create '_quillrt_3_3_0._common_types_metatype' instances", e
            else:
                raise AssertionError("no error")
            assert meta.__flags__ & ~VALID_VERSION_TAG == flags
            assert flags & (1 << 7), "instantiation must stay disallowed"
            print("ok")
        """)

def function_size():
    """The basic size of the function object type, from this process."""
    from quillmaret import QuillMaretAPIError
    return type(vars(QuillMaretAPIError)["__init__"]).__basicsize__


@pytest.mark.subprocess
class TestRegistryFailures:
    @pytest.mark.parametrize("key, seed, message", [
        ("quill_function_or_method", "5", NOT_A_TYPE),
        ("_common_types_metatype", "'meta'", NOT_A_TYPE),
        ("quill_function_or_method", 'type("Small", (), {})', WRONG_SIZE),
        ("_common_types_metatype", "int", NOT_A_METATYPE),
        ("_common_types_metatype", "object", NOT_A_METATYPE),
        # Another runtime's metatype: on 3.13 its types are larger than type's.
        ("_common_types_metatype", "type(__import__('_ctypes').Structure)", WRONG_NAME),
        ("_common_types_metatype", 'type("Seeded", (type,), {})', WRONG_NAME),
        # The runtime's metatype by name, with larger records or items than type's.
        ("_common_types_metatype", "metatype_sized(8, 0)", WRONG_SIZE),
        ("_common_types_metatype", "metatype_sized(0, 8)", WRONG_SIZE),
        ("quill_function_or_method", "Impostor", WRONG_METATYPE),
    ])
    def test_import_fails_on_a_bad_registry_entry(self, key, seed, message):
        # The refused entry stays, nothing is registered after it, and the
        # collector, which an adopted impostor crashed, runs clean.
        proc = run_python(f"""
            import ctypes, gc, sys, types
            class Impostor:  # instances of the function record's basic size
                __slots__ = [f"s{{i}}" for i in range(({function_size()} - 16) // 8)]
            assert Impostor.__basicsize__ == {function_size()}
            class Spec(ctypes.Structure):  # PyType_Spec
                _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int),
                            ("itemsize", ctypes.c_int), ("flags", ctypes.c_uint),
                            ("slots", ctypes.c_void_p)]
            def metatype_sized(extra, itemsize):
                end = (ctypes.c_void_p * 2)()  # an empty slot list: its {{0, NULL}} end
                spec = Spec(b"_quillrt_3_3_0._common_types_metatype", type.__basicsize__ + extra,
                            itemsize, 0, ctypes.addressof(end))
                make = ctypes.pythonapi.PyType_FromSpecWithBases
                make.restype, make.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.py_object]
                return make(ctypes.addressof(spec), (type,))
            shared = types.ModuleType("_quillrt_3_3_0")
            seed = {seed}
            setattr(shared, {key!r}, seed)
            sys.modules["_quillrt_3_3_0"] = shared
            try:
                import quillmaret._m3
            except TypeError as e:
                print("TypeError:", e)
            else:
                print("imported")
            assert getattr(shared, {key!r}) is seed
            assert len([k for k in vars(shared) if not k.startswith("__")]) == (
                1 if {key!r} == "_common_types_metatype" else 2)
            gc.collect()
        """)
        assert proc.stdout.strip() == "TypeError: " + message.format(key)

    GC, VECTORCALL, METHOD_DESCRIPTOR = 1 << 14, 1 << 11, 1 << 17

    @pytest.mark.parametrize("variant, message", [
        ((VECTORCALL,), WRONG_FLAGS),
        ((GC,), WRONG_FLAGS),
        ((METHOD_DESCRIPTOR,), WRONG_FLAGS),
        ((0, "__vectorcalloffset__", 8), WRONG_LAYOUT),
        ((0, "__dictoffset__", 8), WRONG_LAYOUT),
        ((0, "__weaklistoffset__", -8), WRONG_LAYOUT),
    ], ids=["no-vectorcall", "no-gc", "no-method-descriptor",
            "vectorcall-offset", "dict-offset", "weaklist-offset"])
    @pytest.mark.usefixtures("hooks")
    def test_import_refuses_a_function_type_variant(self, variant, message):
        # Of the right size and metatype, registered by another module, but
        # missing a flag or with an offset elsewhere than the record's.
        proc = run_python(LOAD_HOOKS_ALONE + textwrap.dedent(f"""
            import gc
            hooks = load_hooks_alone()
            registry = vars(sys.modules["_quillrt_3_3_0"])
            real = registry.pop("quill_function_or_method")
            variant = hooks.register_function_type_variant(*{variant!r})
            assert variant is not real and registry["quill_function_or_method"] is variant
            assert variant.__basicsize__ == real.__basicsize__
            assert type(variant) is type(real)
            try:
                import quillmaret._m3
            except TypeError as e:
                print("TypeError:", e)
            else:
                print("imported")
            assert registry["quill_function_or_method"] is variant
            gc.collect()
        """))
        assert proc.stdout.strip() == "TypeError: " + message.format("quill_function_or_method")


@pytest.mark.subprocess
@pytest.mark.usefixtures("hooks")
class TestFetchWithCustomSpec:
    def test_create_then_adopt(self):
        run_ok("""
            import sys
            from quillmaret import _quill_testhooks as hooks
            registry = sys.modules["_quillrt_3_3_0"]
            widget = hooks.fetch_shared_type("Widget", 32)       # no dot: the whole name
            assert registry.Widget is widget and widget.__basicsize__ == 32
            assert hooks.fetch_shared_type("pkg.mod.Widget", 32) is widget
            assert hooks.fetch_shared_type("other.Widget", 0) is widget  # size not compared
            before = sys.getrefcount(widget)
            for _ in range(10):  # each adoption hands out one reference, nothing more
                hooks.fetch_shared_type("pkg.mod.Widget", 32)
            assert sys.getrefcount(widget) == before
            print("ok")
        """)

    def test_a_failing_key_comparison_fails_the_fetch(self):
        run_ok("""
            import sys
            from quillmaret import _quill_testhooks as hooks
            registry = vars(sys.modules["_quillrt_3_3_0"])
            class Collider:
                raised = False
                def __hash__(self):
                    return hash("Gizmo")
                def __eq__(self, other):  # raises once: the first lookup's
                    if Collider.raised:
                        return False
                    Collider.raised = True
                    raise LookupError("planted")
            registry[Collider()] = None
            try:
                hooks.fetch_shared_type("pkg.Gizmo", 0)
            except LookupError as e:
                assert str(e) == "planted", e
            else:
                raise AssertionError("no error")
            assert "Gizmo" not in [k for k in registry if type(k) is str]
            print("ok")
        """)

    def test_metatype_references_are_balanced(self):
        # Each new type holds its metatype; `type`, which creation assigned
        # and which is static, loses nothing.
        run_ok("""
            import sys
            from quillmaret import _quill_testhooks as hooks
            meta = sys.modules["_quillrt_3_3_0"]._common_types_metatype
            before_type, before_meta = sys.getrefcount(type), sys.getrefcount(meta)
            made = [hooks.fetch_shared_type(f"pkg.T{i}", 0, meta) for i in range(10)]
            assert all(type(t) is meta for t in made)
            assert sys.getrefcount(type) == before_type
            assert sys.getrefcount(meta) == before_meta + 10
            print("ok")
        """)

    @pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="the interpreter has no _testcapi")
    def test_a_failed_registration_reports_its_error(self):
        # 3.13.0 to 3.13.5 return the value with the MemoryError of the failed
        # resize still pending; the registry must not carry it on.
        run_ok("""
            import _testcapi
            from quillmaret import _quill_testhooks as hooks
            full, key, value = {i: i for i in range(5)}, "new", object()  # the next key needs a resize
            _testcapi.set_nomemory(0, 1)
            try:
                hooks.dict_set_default(full, key, value)
            except MemoryError:
                print("ok")
            finally:
                _testcapi.remove_mem_hooks()
        """)

    @pytest.mark.parametrize("seed, size, message", [
        ("5", 32, NOT_A_TYPE),
        ("None", 0, NOT_A_TYPE),
        ("hooks.fetch_shared_type('Gadget', 48)", 32, WRONG_SIZE),
    ])
    def test_refuses_a_bad_entry(self, seed, size, message):
        run_ok(f"""
            import sys
            from quillmaret import _quill_testhooks as hooks
            registry = sys.modules["_quillrt_3_3_0"]
            registry.Gadget = {seed}
            before = registry.Gadget
            try:
                hooks.fetch_shared_type("a.b.Gadget", {size})
            except TypeError as e:
                assert str(e) == {message.format("Gadget")!r}, e
            else:
                raise AssertionError("no error")
            assert registry.Gadget is before
            print("ok")
        """)

    @pytest.mark.parametrize("winner, outcome", [
        ("type('Winner', (), {})", "adopted"),
        ("7", NOT_A_TYPE.format("Racer")),
    ])
    def test_a_registration_after_the_lookup_wins(self, winner, outcome):
        # A key whose hash collides with "Racer" makes the registry call back
        # into Python during both lookups: the first (the adoption check)
        # finds nothing, the second (the set-default) registers a winner
        # first, as another module would between the two.
        run_ok(f"""
            import sys
            from quillmaret import _quill_testhooks as hooks
            registry = vars(sys.modules["_quillrt_3_3_0"])
            winner = {winner}
            class Collider(str):
                calls = 0
                def __hash__(self):
                    return hash("Racer")
                def __eq__(self, other):
                    Collider.calls += 1
                    if Collider.calls == 2:
                        registry["Racer"] = winner
                    return False
            registry[Collider("decoy")] = None
            meta = registry["_common_types_metatype"]
            before = sys.getrefcount(meta)
            try:
                got = hooks.fetch_shared_type("pkg.Racer", 0, meta)
            except TypeError as e:
                outcome = str(e)
            else:
                assert got is winner
                outcome = "adopted"
            assert Collider.calls >= 2, Collider.calls
            assert outcome == {outcome!r}, outcome
            assert registry["Racer"] is winner
            import gc; gc.collect()
            assert sys.getrefcount(meta) == before  # the discarded type let go
            print("ok")
        """)


class TestCheck:
    BASIC = int.__basicsize__

    @pytest.mark.parametrize("expected_size, passes", [
        (0, True),                                   # not compared
        (BASIC, True), (BASIC + 8, False), (BASIC - 8, False),    # exactly
        (-BASIC, True), (-(BASIC - 8), True), (-(BASIC + 8), False),  # at least
    ])
    def test_size_rules(self, hooks, expected_size, passes):
        if passes:
            assert hooks.check_shared_type(int, "thing", expected_size) is None
        else:
            with pytest.raises(TypeError) as info:
                hooks.check_shared_type(int, "thing", expected_size)
            assert str(info.value) == WRONG_SIZE.format("thing")

    @pytest.mark.parametrize("obj, name, shown", [
        (5, "thing", "thing"), (None, "thing", "thing"), ("int", "n" * 300, "n" * 200)])
    def test_not_a_type(self, hooks, obj, name, shown):
        with pytest.raises(TypeError) as info:
            hooks.check_shared_type(obj, name, 0)
        assert str(info.value) == NOT_A_TYPE.format(shown)
