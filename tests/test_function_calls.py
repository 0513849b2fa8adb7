"""Call paths of function objects: entry selection, vector calls, tuple calls."""
import sys

import pytest

from conftest import import_hooks

hooks = import_hooks()

METHOD, STATIC = hooks.FUNCTION_FLAG_METHOD, hooks.FUNCTION_FLAG_STATIC
METH_VARARGS, METH_KEYWORDS, METH_NOARGS, METH_O = 0x1, 0x2, 0x4, 0x8
METH_STATIC, METH_FASTCALL, METH_METHOD = 0x20, 0x80, 0x200

# Flags under which self comes from the arguments, and under which it does not.
SELF_FROM_ARGS = [METHOD, METHOD | 0x10]
SELF_IS_FUNCTION = [0, STATIC, STATIC | METHOD]


def make(record, flags=0, **kw):
    return hooks.make_function(record, flags=flags, **kw)


def message(excinfo):
    return str(excinfo.value)


class TestEntrySelection:
    @pytest.mark.parametrize("ml_flags, record", [
        (METH_NOARGS, "echo_noargs"),
        (METH_NOARGS | METH_STATIC, "echo_noargs"),
        (METH_O, "echo_o"),
        (METH_O | METH_STATIC | 0x40, "echo_o"),
        (METH_FASTCALL | METH_KEYWORDS, "echo_fastcall_keywords"),
        (METH_METHOD | METH_FASTCALL | METH_KEYWORDS, "echo_method"),
        (METH_VARARGS | METH_KEYWORDS, None),
        (METH_VARARGS | METH_KEYWORDS | METH_STATIC, None),
    ])
    def test_accepted_kinds(self, ml_flags, record):
        accepted, entry = hooks.select_vectorcall(ml_flags)
        assert accepted
        assert entry == (None if record is None else hooks.vectorcall_entry(make(record)))

    @pytest.mark.parametrize("ml_flags", [
        0, METH_VARARGS, METH_KEYWORDS, METH_FASTCALL, METH_METHOD, METH_STATIC,
        METH_NOARGS | METH_O, METH_VARARGS | METH_NOARGS, METH_FASTCALL | METH_VARARGS | METH_KEYWORDS,
        METH_METHOD | METH_FASTCALL, METH_METHOD | METH_O, METH_METHOD | METH_VARARGS | METH_KEYWORDS,
    ])
    def test_refused_kinds(self, ml_flags):
        assert hooks.select_vectorcall(ml_flags) == (False, None)


VECTOR_ERRORS = [
    # record, flags, vector, kwnames, message
    ("echo_noargs", METHOD, (), None, "echo_noargs() needs an argument"),
    ("echo_noargs", METHOD, ("inst", 1), None, "echo_noargs() takes no arguments (1 given)"),
    ("echo_noargs", STATIC | METHOD, (1,), None, "echo_noargs() takes no arguments (1 given)"),
    ("echo_noargs", 0, (1, 2), None, "echo_noargs() takes no arguments (2 given)"),
    ("echo_noargs", 0, (1,), ("k",), "echo_noargs() takes no keyword arguments"),
    ("echo_noargs", METHOD, (1,), ("k",), "echo_noargs() needs an argument"),
    ("echo_o", 0, (1,), ("k",), "echo_o() takes no keyword arguments"),
    ("echo_o", 0, (), None, "echo_o() takes exactly one argument (0 given)"),
    ("echo_o", 0, (1, 2), (), "echo_o() takes exactly one argument (2 given)"),
    ("echo_o", METHOD, ("inst",), None, "echo_o() takes exactly one argument (0 given)"),
    ("echo_o", METHOD, (), None, "echo_o() needs an argument"),
    ("echo_o_static", METHOD, (), None, "echo_o_static() needs an argument"),
    ("echo_fastcall_keywords", METHOD, (), None, "echo_fastcall_keywords() needs an argument"),
    ("echo_fastcall_keywords", METHOD, (1,), ("k",), "echo_fastcall_keywords() needs an argument"),
    ("echo_method", METHOD, (1, 2), ("a", "b"), "echo_method() needs an argument"),
]


class TestVectorcallEntries:
    @pytest.mark.parametrize("record, flags, vector, kwnames, expected", VECTOR_ERRORS)
    @pytest.mark.parametrize("offset", [False, True], ids=["plain", "offset"])
    def test_messages(self, record, flags, vector, kwnames, expected, offset):
        f = make(record, flags)
        with pytest.raises(TypeError) as info:
            hooks.vectorcall(f, vector, kwnames, offset)
        assert message(info) == expected

    @pytest.mark.parametrize("offset", [False, True], ids=["plain", "offset"])
    @pytest.mark.parametrize("flags", SELF_IS_FUNCTION + SELF_FROM_ARGS)
    def test_noargs_and_o(self, flags, offset):
        front = ("inst",) if flags in SELF_FROM_ARGS else ()
        f, g = make("echo_noargs", flags), make("echo_o", flags)
        expected_self = "inst" if front else None
        assert hooks.vectorcall(f, front, None, offset) == ("noargs", expected_self or f, False)
        assert hooks.vectorcall(f, front, (), offset) == ("noargs", expected_self or f, False)
        assert hooks.vectorcall(g, front + (7,), (), offset) == ("o", expected_self or g, 7)

    @pytest.mark.parametrize("offset", [False, True], ids=["plain", "offset"])
    @pytest.mark.parametrize("flags", SELF_IS_FUNCTION + SELF_FROM_ARGS)
    def test_fastcall_keywords_passes_everything_through(self, flags, offset):
        f = make("echo_fastcall_keywords", flags)
        kwnames = ("x", "y")
        tag, self_, args, nargs, names, values = hooks.vectorcall(
            f, ("first", 1, 2, "vx", "vy"), kwnames, offset)
        if flags in SELF_FROM_ARGS:
            assert (self_, args, nargs) == ("first", (1, 2), 2)
        else:
            assert (self_, args, nargs) == (f, ("first", 1, 2), 3)
        assert names is kwnames and values == ("vx", "vy")

    @pytest.mark.parametrize("kwnames", [None, ()], ids=["null", "empty"])
    def test_fastcall_keywords_hands_over_kwnames_as_received(self, kwnames):
        f = make("echo_fastcall_keywords")
        result = hooks.vectorcall(f, (1,), kwnames)
        assert result[4] is (None if kwnames is None else kwnames)

    @pytest.mark.parametrize("offset", [False, True], ids=["plain", "offset"])
    @pytest.mark.parametrize("flags", SELF_IS_FUNCTION + SELF_FROM_ARGS)
    def test_method_kind_inserts_the_defining_class(self, flags, offset):
        class Owner:
            pass
        f = make("echo_method", flags)
        assert hooks.vectorcall(f, ("a", "b"), None, offset)[2] is None
        hooks.set_defining_class(f, Owner)
        tag, self_, cls, args, nargs, names, values = hooks.vectorcall(f, ("a", "b", 3), ("k",), offset)
        assert cls is Owner and names == ("k",) and values == (3,)
        if flags in SELF_FROM_ARGS:
            assert (self_, args, nargs) == ("a", ("b",), 1)
        else:
            assert (self_, args, nargs) == (f, ("a", "b"), 2)

    def test_python_calls_reach_the_entries(self):
        f = make("echo_fastcall_keywords")
        assert f(1, k=2) == ("fastcall_keywords", f, (1,), 1, ("k",), (2,))
        assert make("echo_o", METHOD)("inst", 3) == ("o", "inst", 3)
        with pytest.raises(TypeError, match=r"^echo_noargs\(\) takes no keyword arguments$"):
            make("echo_noargs")(k=1)


class TestTupleCalls:
    def test_no_or_empty_dict_passes_no_keyword_names(self):
        f = make("echo_fastcall_keywords")
        for kwargs in (None, {}):
            assert hooks.call_tuple(f, (1, 2), kwargs) == ("fastcall_keywords", f, (1, 2), 2, None, ())

    def test_keywords_in_dict_order(self):
        f = make("echo_fastcall_keywords")
        result = hooks.call_tuple(f, (0,), {"b": 2, "a": 1})
        assert result == ("fastcall_keywords", f, (0,), 1, ("b", "a"), (2, 1))

    def test_str_subclass_keys_are_accepted(self):
        class Key(str):
            pass
        f = make("echo_fastcall_keywords")
        key = Key("k")
        assert hooks.call_tuple(f, (), {key: 1})[4][0] is key

    # Keys and values are objects of this test's own, so nothing else in the
    # process moves their reference counts.
    @pytest.mark.parametrize("make_kwargs", [
        lambda: {10**20: object()},
        lambda: {"a_" + str(object()): object(), 10**21: object()},
        lambda: {str(object()).encode(): object(), "b_" + str(object()): object()},
    ])
    def test_non_string_keys_fail_and_release_everything(self, make_kwargs):
        f = make("echo_fastcall_keywords")
        kwargs = make_kwargs()
        args = (object(),)
        counted = list(kwargs) + list(kwargs.values()) + list(args)
        before = [sys.getrefcount(o) for o in counted]
        for _ in range(50):
            with pytest.raises(TypeError) as info:
                hooks.call_tuple(f, args, kwargs)
            assert message(info) == "keywords must be strings"
        del info
        assert [sys.getrefcount(o) for o in counted] == before

    def test_keyword_conversion_releases_everything_on_success(self):
        f = make("echo_fastcall_keywords")
        key, value, arg = "key_" + str(id(f)), object(), object()
        before = [sys.getrefcount(o) for o in (key, value, arg)]
        for _ in range(50):
            hooks.call_tuple(f, (arg,), {key: value})
        assert [sys.getrefcount(o) for o in (key, value, arg)] == before

    @pytest.mark.parametrize("record, kwargs, expected", [
        ("echo_noargs", {"k": 1}, "echo_noargs() takes no keyword arguments"),
        ("echo_o", {"k": 1}, "echo_o() takes no keyword arguments"),
    ])
    def test_keywords_reach_the_entry_checks(self, record, kwargs, expected):
        with pytest.raises(TypeError) as info:
            hooks.call_tuple(make(record), (1,), kwargs)
        assert message(info) == expected

    def test_type_call_slot_matches_the_vector_call(self):
        f = make("echo_fastcall_keywords")
        assert type(f).__call__(f, 1, b=2, a=3) == f(1, b=2, a=3)


class TestTupleDictImplementations:
    def test_varargs_keywords_gets_tuple_and_dict_as_received(self):
        f = make("echo_varargs_keywords")
        args, kwargs, empty = (1, 2), {"k": 3}, {}
        assert hooks.call_tuple(f, args, None) == ("varargs_keywords", f, args, None)
        result = hooks.call_tuple(f, args, kwargs)
        assert result[2] is args and result[3] is kwargs
        assert hooks.call_tuple(f, args, empty)[3] is empty
        assert f(1, k=2) == ("varargs_keywords", f, (1,), {"k": 2})

    @pytest.mark.parametrize("flags", SELF_FROM_ARGS)
    def test_self_from_arguments(self, flags):
        f = make("echo_varargs_keywords", flags)
        assert hooks.call_tuple(f, ("inst", 1), {"k": 2}) == ("varargs_keywords", "inst", (1,), {"k": 2})
        assert f("inst") == ("varargs_keywords", "inst", (), None)

    @pytest.mark.parametrize("flags", SELF_FROM_ARGS)
    def test_unbound_method_needs_an_argument(self, flags):
        class Name(str):
            def __str__(self):
                return "str of " + self
        for qualname, shown in [("Owner.meth", "Owner.meth"), ("q" * 300, "q" * 200),
                                (Name("N.m"), "str of N.m")]:
            f = make("echo_varargs_keywords", flags, qualname=qualname)
            with pytest.raises(TypeError) as info:
                hooks.call_tuple(f, (), None)
            assert message(info) == f"unbound method {shown}() needs an argument"

    # The tuple-call dispatch for kinds that creation never pairs with an
    # empty entry, reached by swapping the method record afterwards.
    DISPATCH = [
        # record, args, kwargs, expected result or message
        ("echo_varargs", (1, 2), None, ("varargs", "SELF", (1, 2))),
        ("echo_varargs", (1,), {}, ("varargs", "SELF", (1,))),
        ("echo_varargs", (1,), {"k": 1}, "echo_varargs() takes no keyword arguments"),
        ("echo_noargs", (), None, ("noargs", "SELF", False)),
        ("echo_noargs", (), {}, ("noargs", "SELF", False)),
        ("echo_noargs", (1, 2), None, "echo_noargs() takes no arguments (2 given)"),
        ("echo_noargs", (1, 2), {"k": 1}, "echo_noargs() takes no keyword arguments"),
        ("echo_o", (5,), None, ("o", "SELF", 5)),
        ("echo_o", (), None, "echo_o() takes exactly one argument (0 given)"),
        ("echo_o", (1, 2), {}, "echo_o() takes exactly one argument (2 given)"),
        ("echo_o", (5,), {"k": 1}, "echo_o() takes no keyword arguments"),
    ]

    @pytest.mark.parametrize("record, args, kwargs, expected", DISPATCH)
    @pytest.mark.parametrize("flags", [0, METHOD])
    def test_dispatch_by_kind(self, record, args, kwargs, expected, flags):
        f = make("echo_varargs_keywords", flags)
        hooks.set_method_record(f, record)
        call_args = ("inst",) + args if flags else args
        if isinstance(expected, str):
            with pytest.raises(TypeError) as info:
                hooks.call_tuple(f, call_args, kwargs)
            assert message(info) == expected
        else:
            self_ = "inst" if flags else f
            assert hooks.call_tuple(f, call_args, kwargs) == tuple(self_ if e == "SELF" else e for e in expected)

    @pytest.mark.parametrize("record", ["echo_fastcall_keywords", "echo_method"])
    def test_dispatch_refuses_other_kinds(self, record):
        f = make("echo_varargs_keywords")
        hooks.set_method_record(f, record)
        with pytest.raises(SystemError, match="^Bad call flags for QuillFunction$"):
            hooks.call_tuple(f, (1,), None)
