"""Arbitrary calls of the initializer: whatever the arguments, a call
succeeds with the documented attributes or fails with a documented text;
never a SystemError, never a crash."""
import decimal
import fractions
import re

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quillmaret._m3 as m3
from conftest import DictSub, Status, StrSub, import_hooks
from module_facts import INIT_FUNC, NOTE, module_entries

E = m3.QuillMaretNotComputedError
API = m3.QuillMaretAPIError
PARAMS = ("self", "status_code", "message", "payload")
HEAPTYPE = 1 << 9
IMMUTABLETYPE = 1 << 8


def tp_name(tp):
    """The type's tp_name, which the messages quote: the bare name for
    builtins and for classes made by class statements, dotted for types of
    extension modules (decimal.Decimal), static ones and, from 3.13 on
    where decimal's are, those made from a spec (immutable heap types)."""
    if tp.__module__ == "builtins" or (tp.__flags__ & HEAPTYPE and not tp.__flags__ & IMMUTABLETYPE):
        return tp.__name__
    return f"{tp.__module__}.{tp.__name__}"


class Huge:
    """Stands for ±10**digits, around the limit of int's decimal rendering
    (4300 digits); Hypothesis shows its examples with repr, which such an
    int refuses, so the int is made only for the call (real())."""
    def __init__(self, digits):
        self.digits = digits

    def __repr__(self):
        return f"Huge({self.digits})"

    def value(self):
        return 10**self.digits if self.digits > 0 else -(10**-self.digits)


def real(value):
    return value.value() if isinstance(value, Huge) else value


class IndexOnly:
    """A number through __index__ alone."""
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    """Passes the number check (it has __float__) but has no integer value."""
    def __float__(self):
        return 1.5


# Every text the initializer may fail with: binding (function name
# "__init__"), the conversion of the keyword dict, the status code check and
# conversion, the type tests, rendering a huge status code, and the join.
DOCUMENTED = [re.compile(p, re.S) for p in (
    r"__init__\(\) takes (at least 3|at most 4) positional arguments \(\d+ given\)",
    r"__init__\(\) got an unexpected keyword argument '.*'",
    r"__init__\(\) got multiple values for keyword argument '.*'",
    r"(__init__\(\) )?keywords must be strings",
    r"Argument 'status_code' has incorrect type \(expected int, got [^)]+\)",
    r"Argument 'message' has incorrect type \(expected str, got [^)]+\)(\. " + re.escape(NOTE) + ")?",
    r"Argument 'payload' has incorrect type \(expected dict, got [^)]+\)(\. " + re.escape(NOTE) + ")?",
    r"cannot convert float (NaN|infinity) to integer",
    r"cannot convert (signaling )?(NaN|Infinity) to integer",
    r"int\(\) argument must be a string, a bytes-like object or a real number, not '.*'",
    r"Exceeds the limit \(\d+ digits\) for integer string conversion.*",
    r"join\(\) result is too long for a Python string",
)]

ints = st.one_of(
    st.integers(-2**70, 2**70),
    st.sampled_from([0, -1, 404, 2**63, -2**63 - 1]),
    st.sampled_from([4299, 4300, -5000]).map(Huge),
)
values = st.one_of(
    ints,
    st.booleans(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(allow_nan=True, allow_infinity=True),
    # Fixed values: Hypothesis's own decimal and fraction strategies keep
    # objects alive from run to run, which the leak hunt would count.
    st.sampled_from([decimal.Decimal(v) for v in ("404.9", "-0", "1e30", "NaN", "sNaN", "Infinity")]),
    st.sampled_from([fractions.Fraction(809, 2), fractions.Fraction(-1, 3)]),
    st.sampled_from([Status.NOT_FOUND, IndexOnly(7), IndexOnly(-2**100), FloatOnly(), object(), int, ...]),
    st.text(max_size=12),
    st.text(max_size=12).map(StrSub),
    st.binary(max_size=6),
    st.none(),
    st.dictionaries(st.text(max_size=4), st.integers(), max_size=3),
    st.dictionaries(st.text(max_size=4), st.integers(), max_size=3).map(DictSub),
    st.lists(st.integers(), max_size=3),
    st.tuples(st.integers()),
)
str_keys = st.one_of(
    st.sampled_from(PARAMS),
    st.sampled_from(PARAMS).map(StrSub),  # equal to a parameter name, but not the interned object
    st.text(max_size=12),
)
any_keys = st.one_of(str_keys, st.integers(), st.none(), st.binary(max_size=4), st.tuples(st.text(max_size=2)))


def check_success(inst, bound):
    """The documented attributes after a call that succeeded, given the values
    bound to status_code, message and payload."""
    sc, msg, payload = bound
    assert type(inst.status_code) is int and inst.status_code == int(sc)
    assert inst.message is msg
    if payload:
        assert inst.payload is payload
    else:
        assert inst.payload == {} and type(inst.payload) is dict and inst.payload is not payload
    assert inst.args == (f"[{int(sc)}] {msg}",)


class TestArbitraryCalls:
    """Calls with arbitrary arguments succeed or fail with a documented text;
    never a SystemError, never a crash."""

    CALLS = ("class call", "method call", "call slot with dict", "entry with dict")

    @staticmethod
    def call(shape, inst, pos, kw):
        if shape == "class call":
            return E(*pos, **kw)
        if shape == "method call":
            return API.__init__(inst, *pos, **kw)
        hooks = import_hooks()
        if shape == "call slot with dict":
            return hooks.call_with_dict(API.__init__, (inst, *pos), kw)
        return hooks.call_entry_with_dict(API.__init__, (inst, *pos), kw)

    @settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(shape=st.sampled_from(CALLS), data=st.data(),
           pos=st.one_of(st.lists(values, max_size=5),
                         st.tuples(ints, st.text(max_size=12)).map(list)))
    def test_outcome_is_documented(self, shape, pos, data):
        keys = str_keys if shape in self.CALLS[:2] else any_keys
        kw = data.draw(st.dictionaries(keys, values, max_size=4), label="kw")
        pos = [real(v) for v in pos]
        kw = {k: real(v) for k, v in kw.items()}
        inst = E.__new__(E)
        try:
            result = self.call(shape, inst, pos, kw)
        except (TypeError, ValueError, OverflowError) as exc:
            assert type(exc) in (TypeError, ValueError, OverflowError)
            assert any(p.fullmatch(str(exc)) for p in DOCUMENTED), repr(str(exc))
            return
        if shape == "class call":
            inst = result
        else:
            assert result is None
        # Bound: positional values first, then the keywords by name.
        bound = dict(zip(PARAMS[1:], pos))
        bound.update((str(k), v) for k, v in kw.items())
        check_success(inst, (bound["status_code"], bound["message"], bound.get("payload")))

    @settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(sc=values, msg=st.one_of(st.text(max_size=12), values),
           payload=st.one_of(st.none(), st.dictionaries(st.text(max_size=4), st.integers(), max_size=3),
                             values),
           as_keywords=st.booleans())
    def test_bound_values_meet_the_type_rules(self, sc, msg, payload, as_keywords):
        """Once bound, the outcome is exactly the one the rules give: coercion
        of the status code, exact-type tests in order, then the text."""
        sc, msg, payload = real(sc), real(msg), real(payload)
        inst = E.__new__(E)
        expected_exc, expected = self.predict(sc, msg, payload)
        try:
            if as_keywords:
                API.__init__(inst, payload=payload, message=msg, status_code=sc)
            else:
                API.__init__(inst, sc, msg, payload)
        except Exception as exc:
            assert (type(exc), str(exc)) == (expected_exc, expected)
            return
        assert expected_exc is None, f"expected {expected_exc.__name__}: {expected}"
        check_success(inst, (sc, msg, payload))
        assert inst.args == (expected,)

    @staticmethod
    def predict(sc, msg, payload):
        """(exception type or None, message or the joined text)."""
        if type(sc) is not int:
            tp = type(sc)
            if not (hasattr(tp, "__index__") or hasattr(tp, "__int__") or hasattr(tp, "__float__")
                    or isinstance(sc, complex)):
                return TypeError, ("Argument 'status_code' has incorrect type "
                                   f"(expected int, got {tp_name(tp)})")
            try:
                sc = int(sc)  # int(x) of a number is the same conversion
            except Exception as exc:
                return type(exc), str(exc)
        for name, value, expected, none_ok in (("message", msg, str, False),
                                               ("payload", payload, dict, True)):
            if type(value) is not expected and not (none_ok and value is None):
                note = ". " + NOTE if isinstance(value, expected) else ""
                return TypeError, (f"Argument '{name}' has incorrect type (expected {expected.__name__}, "
                                   f"got {tp_name(type(value))}){note}")
        try:
            return None, f"[{sc!r}] {msg}"
        except ValueError as exc:  # more digits than int's str conversion allows
            return ValueError, str(exc)

    def test_huge_status_code_fails_at_line_12_after_the_attributes(self):
        inst = E.__new__(E)
        with pytest.raises(ValueError, match="Exceeds the limit") as info:
            API.__init__(inst, 10**5000, "m")
        assert module_entries(info.value) == [(INIT_FUNC, 12)]
        assert inst.status_code == 10**5000 and inst.message == "m" and inst.payload == {}
        assert inst.args == ()
