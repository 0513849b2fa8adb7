"""QuillMaretAPIError.__init__: binding, coercion, type tests, attributes, text."""
import math
import sys

import pytest

import quillmaret._m3 as m3
from conftest import DictSub, Status, StrSub
from module_facts import INIT_FUNC, NOTE, module_entries

E = m3.QuillMaretAPIError
ERRORS = [m3.QuillMaretAPIError, m3.QuillMaretAuthError, m3.QuillMaretRateLimitError,
          m3.QuillMaretNotComputedError]


def raises_at(line, exc_type, match, call):
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == match
    expected = [] if line is None else [(INIT_FUNC, line)]
    assert module_entries(info.value) == expected
    return info.value


@pytest.mark.parametrize("cls", ERRORS)
def test_attributes_args_and_text(cls):
    message = "not computed"
    err = cls(404, message)
    assert err.status_code == 404 and type(err.status_code) is int
    assert err.message is message
    assert err.payload == {} and type(err.payload) is dict
    assert err.args == ("[404] not computed",)
    assert str(err) == "[404] not computed"
    with pytest.raises(cls) as info:
        raise cls(429, "slow down", {"retry": 3})
    assert info.value.payload == {"retry": 3}


class TestPayload:
    def test_non_empty_dict_is_kept(self):
        payload = {"k": 1}
        assert E(500, "m", payload).payload is payload

    @pytest.mark.parametrize("payload", [{}, None])
    def test_empty_or_none_becomes_a_new_dict(self, payload):
        first, second = E(500, "m", payload), E(500, "m", payload)
        assert first.payload == {} and first.payload is not payload
        assert first.payload is not second.payload

    def test_payload_keyword(self):
        assert E(500, "m", payload={"a": 1}).payload == {"a": 1}


class TestStatusCode:
    @pytest.mark.parametrize("given, stored", [
        (True, 1), (404.7, 404), (Status.NOT_FOUND, 404), (-1, -1), (10**30, 10**30), (0, 0),
        # the ends of the 64-bit range, where the digits are written directly, and just past
        (-2**63, -2**63), (2**63 - 1, 2**63 - 1), (2**63, 2**63), (-2**63 - 1, -2**63 - 1),
        # past a 32-bit C long (Windows' long is 32 bits), and past 64 bits
        (2**31 - 1, 2**31 - 1), (2**31, 2**31), (2**32, 2**32), (2**64, 2**64)])
    def test_coerced_to_a_plain_int(self, given, stored):
        err = E(given, "m")
        assert type(err.status_code) is int and err.status_code == stored
        assert err.args == (f"[{stored}] m",)

    def test_str_is_refused_at_line_8(self):
        raises_at(8, TypeError, "Argument 'status_code' has incorrect type (expected int, got str)",
                  lambda: E("404", "m"))

    @pytest.mark.parametrize("value, exc_type", [(math.nan, ValueError), (math.inf, OverflowError)])
    def test_int_conversion_failure_at_line_8(self, value, exc_type):
        with pytest.raises(exc_type) as info:
            E(value, "m")
        assert module_entries(info.value) == [(INIT_FUNC, 8)]


class TestTypeTests:
    @pytest.mark.parametrize("message, got, note", [
        (None, "NoneType", ""), (b"m", "bytes", ""), (StrSub("m"), "StrSub", ". " + NOTE)])
    def test_message(self, message, got, note):
        raises_at(None, TypeError,
                  f"Argument 'message' has incorrect type (expected str, got {got}){note}",
                  lambda: E(500, message))

    @pytest.mark.parametrize("payload, got, note", [
        (DictSub(a=1), "DictSub", ". " + NOTE), ([1], "list", ""), ((), "tuple", "")])
    def test_payload(self, payload, got, note):
        raises_at(None, TypeError,
                  f"Argument 'payload' has incorrect type (expected dict, got {got}){note}",
                  lambda: E(500, "m", payload))


class TestBinding:
    @pytest.mark.parametrize("kwargs", [
        dict(status_code=404, message="m"), dict(message="m", status_code=404),
        dict(payload={"a": 1}, message="m", status_code=404)])
    def test_keywords_in_any_order(self, kwargs):
        err = E(**kwargs)
        assert (err.status_code, err.message) == (404, "m")
        assert err.payload == kwargs.get("payload", {})

    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "__init__() takes at least 3 positional arguments (1 given)"),
        ((500,), {}, "__init__() takes at least 3 positional arguments (2 given)"),
        ((500, "m", None, 4), {}, "__init__() takes at most 4 positional arguments (5 given)"),
        ((), dict(status_code=500), "__init__() takes at least 3 positional arguments (2 given)"),
        ((), dict(message="m"), "__init__() takes at least 3 positional arguments (1 given)"),
        ((500, "m", None, 4), dict(nope=1), "__init__() takes at most 4 positional arguments (5 given)"),
        ((500, "m"), dict(status_code=1), "__init__() got multiple values for keyword argument 'status_code'"),
        ((500,), dict(nope=1), "__init__() got an unexpected keyword argument 'nope'"),
    ])
    def test_messages(self, args, kwargs, message):
        raises_at(8, TypeError, message, lambda: E(*args, **kwargs))


class TestJoinedText:
    @pytest.mark.parametrize("message", ["caf\u00e9", "\u0100\u2014", "\U0001F600 x", "", "\u00ff\u0100"])
    def test_wide_messages(self, message):
        err = E(503, message)
        text = err.args[0]
        assert text == f"[503] {message}"
        # the storage width follows the widest character
        assert sys.getsizeof(text) == sys.getsizeof(f"[503] {message}")


def test_reinitialising_overwrites():
    err = E(500, "first", {"a": 1})
    E.__init__(err, 404, "second")
    assert (err.status_code, err.message, err.payload, err.args) == (404, "second", {}, ("[404] second",))


def test_failed_attribute_store_reports_its_line():
    class Frozen(E):
        def __setattr__(self, name, value):
            if name == "message":
                raise AttributeError("frozen")
            super().__setattr__(name, value)

    err = Frozen.__new__(Frozen)
    raises_at(10, AttributeError, "frozen", lambda: err.__init__(500, "m"))
    assert err.status_code == 500


def test_empty_defining_class_fails_at_line_12(hooks):
    init = E.__dict__["__init__"]
    hooks.set_defining_class(init, None)
    try:
        err = E.__new__(E)
        raises_at(12, RuntimeError, "super(): empty __class__ cell", lambda: err.__init__(500, "m", {"a": 1}))
        assert (err.status_code, err.message, err.payload) == (500, "m", {"a": 1})
    finally:
        hooks.set_defining_class(init, E)
    assert E(500, "m").args == ("[500] m",)


def test_text_goes_to_the_next_init_in_the_instance_mro():
    # super() must find the __init__ that follows the defining class in the
    # instance's MRO, here a Python one that only multiple inheritance puts there.
    seen = []

    class Recorder(Exception):
        def __init__(self, *args):
            seen.append(args)
            super().__init__(*args)

    class Middle(m3.QuillMaretError, Recorder):
        pass

    class Late(E, Middle):
        pass

    assert Late.__mro__[1:4] == (E, Middle, m3.QuillMaretError)
    assert Late(404, "m").args == ("[404] m",)
    assert seen == [("[404] m",)]


def test_calls_hold_no_references():
    message, payload = "stable message", {"k": 1}
    before = sys.getrefcount(message), sys.getrefcount(payload)
    for _ in range(1000):
        E(404, message, payload)
        try:
            E("x", message)
        except TypeError:
            pass
    assert (sys.getrefcount(message), sys.getrefcount(payload)) == before
