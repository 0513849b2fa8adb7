"""The function object type: layout, attributes, binding, GC, weak references."""
import gc
import sys
import warnings
import weakref

import pytest

from conftest import address_text, import_hooks

hooks = import_hooks()

F = type(hooks.make_function("echo_o"))
DELETE = object()  # marks "del f.attr" in the tables below

# Interpreter-maintained bits that the type spec does not choose.
HEAPTYPE, READY, HAVE_VERSION_TAG, VALID_VERSION_TAG = 1 << 9, 1 << 12, 1 << 18, 1 << 19


def make(record="echo_o", **kw):
    return hooks.make_function(record, **kw)


def assign(obj, attr, value):
    if value is DELETE:
        delattr(obj, attr)
    else:
        setattr(obj, attr, value)


class TestType:
    def test_spec_flags(self):
        interpreter_bits = HEAPTYPE | READY | HAVE_VERSION_TAG | VALID_VERSION_TAG
        assert F.__flags__ & ~interpreter_bits == 0x24D80

    def test_names(self):
        assert (F.__name__, F.__qualname__, F.__module__) == (
            "quill_function_or_method", "quill_function_or_method", "_quillrt_3_3_0")

    def test_layout(self):
        # 20 fields; the flags word is padded to the pointer size.
        assert F.__basicsize__ == 21 * 8 and F.__itemsize__ == 0
        # The interpreter consumes the dict and weak-list offset members into
        # the type; the vectorcall offset member stays, and on an instance it
        # reads the field at that offset: the entry itself.
        assert (F.__weakrefoffset__, F.__dictoffset__) == (40, 64)
        f = make()
        assert f.__vectorcalloffset__ == hooks.vectorcall_entry(f)

    def test_tables_in_order(self):
        expected = [
            "__annotate_quill__", "__reduce__",
            "__module__", "__vectorcalloffset__",
            "func_doc", "__doc__", "func_name", "__name__", "__qualname__", "func_dict",
            "__dict__", "func_globals", "__globals__", "func_closure", "__closure__",
            "func_code", "__code__", "func_defaults", "__defaults__", "__kwdefaults__",
            "__annotations__", "__annotate__",
        ]
        assert [k for k in vars(F) if k in expected] == expected
        assert F.__dict__["__annotate_quill__"].__doc__ == (
            "Placeholder __annotate__ function to allow 'functools.wraps' to work on quill functions.")

    def test_cannot_be_instantiated_or_changed(self):
        with pytest.raises(TypeError, match="cannot create '_quillrt_3_3_0.quill_function_or_method' instances"):
            F()
        with pytest.raises(TypeError):
            F.extra = 1


class TestCreation:
    @pytest.fixture(autouse=True)
    def quiet_collector(self):
        # Reference counts are compared below: garbage that an earlier test
        # left (functions, each holding the type and its globals) must not
        # be collected midway. 3.14's collector runs at any eval-breaker check.
        gc.collect()
        gc.disable()
        yield
        gc.enable()

    @pytest.mark.parametrize("record", ["echo_varargs", "echo_fastcall"])
    def test_refused_call_kinds(self, record):
        qualname = "refused." + record  # a fresh object, counted below
        before = sys.getrefcount(qualname), sys.getrefcount(hooks.__dict__), sys.getrefcount(F)
        with pytest.raises(SystemError, match="^Bad call flags for QuillFunction$"):
            make(record, qualname=qualname, module=qualname)
        assert (sys.getrefcount(qualname), sys.getrefcount(hooks.__dict__), sys.getrefcount(F)) == before

    def test_fields_hold_their_references_until_deallocation(self):
        module, closure, code, qualname = object(), [1], compile("0", "c", "eval"), "holder.q"
        parts = (module, closure, code, qualname, F)
        before = [sys.getrefcount(p) for p in parts]
        f = make(module=module, closure=closure, code=code, qualname=qualname)
        assert [sys.getrefcount(p) for p in parts] == [n + 1 for n in before]
        assert (f.__module__, f.__code__, f.__qualname__) == (module, code, qualname)
        del f
        assert [sys.getrefcount(p) for p in parts] == before

    def test_many_functions_keep_the_type_count_steady(self):
        before = sys.getrefcount(F)
        for _ in range(200):
            make().__dict__["x"] = 1
        assert sys.getrefcount(F) == before


class TestDoc:
    @pytest.mark.parametrize("attr", ["__doc__", "func_doc"])
    def test_record_without_doc_reads_none(self, attr):
        f = make()
        assert getattr(f, attr) is None
        f.__doc__ = 5
        assert getattr(f, attr) == 5
        delattr(f, attr)
        assert f.__doc__ is None and f.func_doc is None

    def test_record_doc_is_made_once_and_deletion_stores_none(self):
        f = make("echo_documented")
        assert f.__doc__ == "Echoes what it received."
        assert f.__doc__ is f.func_doc
        del f.__doc__
        assert f.__doc__ is None


class TestNames:
    @pytest.mark.parametrize("attr", ["__name__", "func_name"])
    def test_name_comes_from_the_record_interned(self, attr):
        f = make("echo_o", qualname="Outer.inner")
        assert getattr(f, attr) is sys.intern("echo_o")

    @pytest.mark.parametrize("attr, message", [
        ("__name__", "__name__ must be set to a string object"),
        ("func_name", "__name__ must be set to a string object"),
        ("__qualname__", "__qualname__ must be set to a string object"),
    ])
    @pytest.mark.parametrize("value", [5, None, b"name", DELETE], ids=["int", "None", "bytes", "del"])
    def test_only_strings_are_accepted(self, attr, message, value):
        f = make(qualname="Q.q")
        old = getattr(f, attr)
        with pytest.raises(TypeError) as info:
            assign(f, attr, value)
        assert str(info.value) == message
        assert getattr(f, attr) is old

    @pytest.mark.parametrize("attr, other", [
        ("__name__", "func_name"), ("func_name", "__name__"), ("__qualname__", "__qualname__")])
    def test_str_subclass_is_stored(self, attr, other):
        class Name(str):
            pass
        f = make()
        value = Name("renamed")
        setattr(f, attr, value)
        assert getattr(f, other) is value

    def test_repr_and_reduce_follow_the_qualified_name(self):
        f = make(qualname="Owner.method")
        assert repr(f) == f"<quillfunction Owner.method at {address_text(f)}>"
        assert f.__reduce__() is f.__qualname__
        f.__qualname__ = "Other.name"
        assert repr(f) == f"<quillfunction Other.name at {address_text(f)}>"
        assert f.__reduce__() == "Other.name"


class TestReadOnlyAttributes:
    def test_globals(self):
        g = {"x": 1}
        f = make(globals=g)
        assert f.__globals__ is g and f.func_globals is g
        assert make().__globals__ is vars(hooks)

    def test_closure_is_never_exposed(self):
        f = make(closure=(1, 2))
        assert f.__closure__ is None and f.func_closure is None

    def test_code(self):
        code = compile("0", "c", "eval")
        assert make().__code__ is None
        assert make(code=code).__code__ is code and make(code=code).func_code is code

class TestModuleAndDict:
    def test_module_accepts_anything_and_deletes_to_none(self):
        f = make(module="pkg.mod")
        assert f.__module__ == "pkg.mod"
        f.__module__ = 5
        assert f.__module__ == 5
        del f.__module__
        assert f.__module__ is None

    def test_dict_is_made_on_first_use(self):
        f = make()
        f.tag = 1
        assert f.__dict__ == {"tag": 1} and f.func_dict is f.__dict__


DEFAULTS = [
    # attribute, the field read back, accepted kind, rejected value, messages
    ("__defaults__", "__defaults__", (1, 2), [1],
     "__defaults__ must be set to a tuple object",
     "changes to quillfunction.__defaults__ will not currently affect the values used in function calls"),
    ("func_defaults", "__defaults__", (1,), {"a": 1},
     "__defaults__ must be set to a tuple object",
     "changes to quillfunction.__defaults__ will not currently affect the values used in function calls"),
    ("__kwdefaults__", "__kwdefaults__", {"a": 1}, (1,),
     "__kwdefaults__ must be set to a dict object",
     "changes to quillfunction.__kwdefaults__ will not currently affect the values used in function calls"),
]
DEFAULT_IDS = [row[0] for row in DEFAULTS]


class TestDefaults:
    @pytest.mark.parametrize("attr, field, good, bad, type_error, warning", DEFAULTS, ids=DEFAULT_IDS)
    def test_rejected_value_warns_nothing_and_changes_nothing(self, attr, field, good, bad, type_error, warning):
        f = make()
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            with pytest.raises(TypeError) as info:
                setattr(f, attr, bad)
        assert str(info.value) == type_error
        assert seen == []
        assert getattr(f, field) is None

    @pytest.mark.parametrize("attr, field, good, bad, type_error, warning", DEFAULTS, ids=DEFAULT_IDS)
    @pytest.mark.parametrize("how", ["value", "subclass", "None", "del"])
    def test_accepted_write_warns_once_then_stores(self, attr, field, good, bad, type_error, warning, how):
        f = make()
        value = {"value": good, "subclass": type("Sub", (type(good),), {})(good),
                 "None": None, "del": DELETE}[how]
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            assign(f, attr, value)
        assert [(w.category, str(w.message)) for w in seen] == [(RuntimeWarning, warning)]
        assert getattr(f, field) is (None if value is DELETE else value)

    @pytest.mark.parametrize("attr, field, good, bad, type_error, warning", DEFAULTS, ids=DEFAULT_IDS)
    def test_warning_as_error_fails_and_keeps_the_field(self, attr, field, good, bad, type_error, warning):
        f = make()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            setattr(f, attr, good)
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning, match="will not currently affect"):
                setattr(f, attr, None)
        assert getattr(f, field) is good

    def test_no_getter_reads_none_and_stores_nothing(self):
        f = make()
        assert f.__defaults__ is None and f.__kwdefaults__ is None
        assert sum(type(r) in (tuple, dict) and r is not f.__globals__ for r in gc.get_referents(f)) == 0


class TestDefaultsGetter:
    def test_first_read_fills_both_fields_once(self):
        calls = []
        pos, kw = (1, 2), {"k": 3}

        def getter(func):
            calls.append(func)
            return pos, kw
        f = make()
        hooks.set_defaults_getter(f, getter)
        assert f.__kwdefaults__ is kw
        assert f.__defaults__ is pos and f.func_defaults is pos
        assert calls == [f]

    def test_getter_replaces_assigned_kwdefaults(self):
        f = make()
        hooks.set_defaults_getter(f, lambda func: ((1,), {"from": "getter"}))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            f.__kwdefaults__ = {"assigned": True}
        assert f.__defaults__ == (1,)
        assert f.__kwdefaults__ == {"from": "getter"}

    def test_getter_error_is_passed_on_and_retried(self):
        attempts = []

        def getter(func):
            attempts.append(1)
            raise LookupError("no defaults yet")
        f = make()
        hooks.set_defaults_getter(f, getter)
        for _ in range(2):
            with pytest.raises(LookupError, match="no defaults yet"):
                f.__defaults__
        assert len(attempts) == 2

    @pytest.mark.parametrize("result", [None, (1,), ((), {}, 3), [(), {}]])
    def test_getter_result_that_is_not_a_pair_fails_cleanly(self, result):
        f = make()
        hooks.set_defaults_getter(f, lambda func: result)
        with pytest.raises(SystemError):
            f.__defaults__


class TestBinding:
    def test_descriptor_protocol(self):
        class C:
            pass
        f, obj = make(), C()
        assert f.__get__(None, C) is f
        bound = f.__get__(obj, C)
        assert bound.__self__ is obj and bound.__func__ is f

    @pytest.mark.parametrize("flags, self_is", [
        (0, "function"), (hooks.FUNCTION_FLAG_METHOD, "instance"),
        (hooks.FUNCTION_FLAG_STATIC | hooks.FUNCTION_FLAG_METHOD, "function")])
    def test_method_call_puts_the_instance_in_front(self, flags, self_is):
        f = make("echo_fastcall_keywords", flags=flags)
        C = type("C", (), {"meth": f})
        obj = C()
        assert C.meth is f
        direct, bound = obj.meth(1, k=2), getattr(obj, "meth")(1, k=2)
        assert direct == bound
        expected_self = f if self_is == "function" else obj
        expected_args = (obj, 1) if self_is == "function" else (1,)
        assert direct[1] is expected_self and direct[2] == expected_args


class StrHolding(str):
    """A str that can hold a reference: a name that closes a cycle."""


def str_holding(obj):
    s = StrHolding("n")
    s.held = obj
    return s


class TestGarbageCollection:
    CYCLES = {
        "name": lambda f: setattr(f, "__name__", str_holding(f)),
        "qualname": lambda f: setattr(f, "__qualname__", str_holding(f)),
        "dict": lambda f: f.__dict__.__setitem__("me", f),
        "module": lambda f: setattr(f, "__module__", [f]),
        "doc": lambda f: setattr(f, "__doc__", [f]),
        "defaults": lambda f: setattr(f, "__defaults__", (f,)),
        "kwdefaults": lambda f: setattr(f, "__kwdefaults__", {"f": f}),
        "annotations": lambda f: setattr(f, "__annotations__", {"f": f}),
        "defining class": lambda f: hooks.set_defining_class(f, type("Owner", (), {"f": f})),
        "globals": None,
        "closure": None,
    }

    @pytest.mark.parametrize("through", list(CYCLES))
    def test_cycle_through_a_field_is_collected(self, through):
        def build():
            if through == "globals":
                g = {}
                f = make(globals=g)
                g["f"] = f
            elif through == "closure":
                cell = []
                f = make(closure=cell)
                cell.append(f)
            else:
                f = make()
                self.CYCLES[through](f)
            return weakref.ref(f)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            ref = build()
        gc.collect()
        assert ref() is None

    def test_referents_in_field_order(self):
        # The type first; the code object is never visited.
        class Owner:
            pass
        module, closure, doc, g = ["m"], ["c"], ["d"], {}
        pos, kw = (1,), {"k": 1}
        f = make(module=module, closure=closure, globals=g, qualname="q",
                 code=compile("0", "c", "eval"))
        f.__doc__ = doc
        hooks.set_defining_class(f, Owner)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            f.__defaults__, f.__kwdefaults__ = pos, kw
        f.__name__
        expected = [F, closure, module, f.__dict__, f.__name__, f.__qualname__, doc, g, Owner, pos,
                    kw, f.__annotations__]
        assert [id(r) for r in gc.get_referents(f)] == [id(e) for e in expected]

    def test_cleared_function_stays_usable(self):
        # The collector clears a cycle's members before freeing them; a weak
        # reference made by a finalizer can still reach one in between.
        f = make("echo_fastcall_keywords", module=["m"], code=compile("0", "c", "eval"))
        f.__doc__, f.__annotations__, f.__dict__["x"] = "doc", {"a": int}, 1
        hooks.set_defining_class(f, type("Owner", (), {}))
        hooks.clear_function(f)
        assert (f.__name__, f.__qualname__, f.__reduce__()) == ("", "", "")
        assert repr(f) == f"<quillfunction  at {address_text(f)}>"
        assert (f.__globals__, f.__module__, f.__code__, f.__doc__, f.__defaults__,
                f.__kwdefaults__) == (None,) * 6
        assert f.__dict__ == {} and f.__annotations__ == {}
        assert f(1, k=2)[2:] == ((1,), 1, ("k",), (2,))
        hooks.clear_function(f)  # twice: the collector may clear again
        assert f.__qualname__ == ""

    def test_weak_reference_is_cleared_on_deallocation(self):
        called = []
        f = make()
        ref = weakref.ref(f, called.append)
        assert ref() is f
        del f
        assert ref() is None and called == [ref]
