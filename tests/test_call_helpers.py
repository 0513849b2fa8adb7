"""Lookup and call helpers: subtype tests, exception matching, the attribute
and builtins lookups, and the paths of the fast call."""
import sys
import types

import pytest

from conftest import import_hooks

hooks = import_hooks()

OFFSET = 1 << 63  # PY_VECTORCALL_ARGUMENTS_OFFSET


class MyAttributeError(AttributeError):
    pass


class TestSubtypes:
    @pytest.mark.parametrize("a, b, expected", [
        (int, int, True),
        (bool, int, True),
        (int, bool, False),
        (KeyError, LookupError, True),
        (MyAttributeError, object, True),
        (object, int, False),
    ])
    def test_is_subtype(self, a, b, expected):
        assert hooks.is_subtype(a, b) is expected

    @pytest.mark.parametrize("t, a, b, expected", [
        (str, str, int, True),
        (int, str, int, True),
        (bool, str, int, True),
        (bool, int, str, True),
        (bool, str, bytes, False),
        (KeyError, object, bytes, True),
    ])
    def test_is_subtype_of_either(self, t, a, b, expected):
        assert hooks.is_subtype_of_either(t, a, b) is expected


class TestExceptionMatches:
    @pytest.mark.parametrize("err, spec, expected", [
        (MyAttributeError, AttributeError, True),
        (AttributeError, MyAttributeError, False),
        (KeyError, (KeyError,), True),                        # identity pass
        (MyAttributeError, (KeyError, AttributeError), True),  # subclass pass
        (MyAttributeError, (KeyError, ValueError), False),
        (MyAttributeError, ("not a class", 3, AttributeError), True),
        (MyAttributeError, (), False),
        (MyAttributeError, int, False),
        # Instances defer to the interpreter's own matching.
        (MyAttributeError(), AttributeError, True),
        (KeyError(), (AttributeError, LookupError), True),
        (KeyError(), ValueError, False),
    ], ids=repr)
    def test_matches(self, err, spec, expected):
        assert hooks.exception_matches(err, spec) is expected


class Getters:
    def __init__(self, exc):
        self.exc = exc

    @property
    def prop(self):
        raise self.exc


class DynamicGetter:
    def __init__(self, exc):
        self.exc = exc

    def __getattr__(self, name):
        raise self.exc


class TestGetAttributeNoError:
    def test_module_attribute_missing_and_present(self):
        mod = types.ModuleType("m")
        mod.here = obj = object()
        assert hooks.get_attribute_no_error(mod, "missing") == (False, None)
        assert hooks.get_attribute_no_error(mod, "here") == (True, obj)

    # Getters reached through the generic lookup (property) and through a
    # custom attribute slot (__getattr__).
    @pytest.mark.parametrize("holder", [Getters, DynamicGetter])
    def test_attribute_errors_mean_missing(self, holder):
        obj = holder(MyAttributeError("gone"))
        assert hooks.get_attribute_no_error(obj, "prop") == (False, None)

    @pytest.mark.parametrize("holder", [Getters, DynamicGetter])
    def test_other_errors_stay_pending(self, holder):
        obj = holder(KeyError("boom"))
        with pytest.raises(KeyError, match="boom"):
            hooks.get_attribute_no_error(obj, "prop")


class TestGetBuiltinName:
    def test_found(self):
        assert hooks.get_builtin_name("super") is super

    def test_missing(self):
        with pytest.raises(NameError, match=r"^name 'no_such_builtin_qm' is not defined$"):
            hooks.get_builtin_name("no_such_builtin_qm")


class TestFastCall:
    """Probes answer "direct" from their native implementation and
    "vectorcall" (with the raw count) from their vectorcall entry."""

    @pytest.mark.parametrize("offset", [False, True])
    def test_meth_o_one_argument_calls_implementation(self, offset):
        probe = hooks.make_probe("o", "me")
        assert hooks.fast_call(probe, (5,), offset) == ("direct", "me", 5)

    @pytest.mark.parametrize("offset", [False, True])
    def test_meth_noargs_calls_implementation(self, offset):
        probe = hooks.make_probe("noargs", "me")
        assert hooks.fast_call(probe, (), offset) == ("direct", "me", None)

    def test_static_method_gets_no_self(self):
        probe = hooks.make_probe("o_static", "me")
        assert hooks.fast_call(probe, (5,), True) == ("direct", None, 5)

    @pytest.mark.parametrize("kind, args", [("o", (1, 2)), ("o", ()), ("noargs", (1,))])
    @pytest.mark.parametrize("offset", [False, True])
    def test_other_counts_use_vectorcall_with_count_unchanged(self, kind, args, offset):
        probe = hooks.make_probe(kind)
        nargsf = len(args) | (OFFSET if offset else 0)
        assert hooks.fast_call(probe, args, offset) == ("vectorcall", nargsf)

    def test_implementation_null_without_error(self):
        with pytest.raises(SystemError, match="^NULL result without error in PyObject_Call$"):
            hooks.fast_call(hooks.make_probe("o", True), (1,), True)

    @pytest.mark.parametrize("offset", [False, True])
    def test_super_with_two_arguments(self, offset):
        class Base:
            def who(self):
                return "base"

        class Derived(Base):
            def who(self):
                return "derived"

        obj = Derived()
        bound = hooks.fast_call(super, (Derived, obj), offset)
        assert isinstance(bound, super)
        assert bound.__thisclass__ is Derived and bound.__self__ is obj
        assert bound.who() == "base"

    def test_no_arguments_without_vectorcall_uses_call_slot(self):
        args, kwargs = hooks.fast_call(hooks.CallSlotProbe(), (), True)
        assert args is () and kwargs is None

    def test_arguments_without_vectorcall(self):
        assert hooks.fast_call(hooks.CallSlotProbe(), (1, 2), True) == ((1, 2), None)

    def test_call_slot_null_without_error(self):
        with pytest.raises(SystemError, match="^NULL result without error in PyObject_Call$"):
            hooks.fast_call(hooks.NullCallSlot(), (), False)

    @pytest.mark.parametrize("args", [(), (1,)])
    def test_not_callable(self, args):
        with pytest.raises(TypeError, match="'object' object is not callable"):
            hooks.fast_call(object(), args, False)

    @pytest.mark.parametrize("args", [(), (1,), (1, 2, 3)])
    def test_python_function(self, args):
        assert hooks.fast_call(lambda *a: a, args, True) == args

    def test_reference_counts_steady(self):
        arg = object()
        probes = [hooks.make_probe("o"), hooks.make_probe("noargs")]
        before = sys.getrefcount(arg)
        for _ in range(1000):
            hooks.fast_call(probes[0], (arg,), True)
            hooks.fast_call(probes[1], (arg, arg), False)
            hooks.fast_call(super, (object, arg), True)
        assert sys.getrefcount(arg) == before
