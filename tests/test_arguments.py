"""Argument binding (tuple and dict forms of keywords) and the type test,
with the initializer's parameter list."""
import itertools
import sys

import pytest

from conftest import import_hooks
from module_facts import NOTE

hooks = import_hooks()

NAMES = ["self", "status_code", "message", "payload"]
SELF = object()


def too_few(n):
    return rf"^__init__\(\) takes at least 3 positional arguments \({n} given\)$"


def unexpected(key):
    return rf"^__init__\(\) got an unexpected keyword argument '{key}'$"


def multiple(key):
    return rf"^__init__\(\) got multiple values for keyword argument '{key}'$"


def bind(form, positional, keywords=None):
    """Binds like the initializer: keywords as names after the values
    (form "tuple") or as a dict (form "dict"); payload defaults to None."""
    keywords = keywords or {}
    if form == "tuple":
        return hooks.bind(NAMES, 3, 4, tuple(positional) + tuple(keywords.values()),
                          tuple(keywords), (None,))
    return hooks.bind(NAMES, 3, 4, tuple(positional), dict(keywords), (None,))


class Key(str):
    """A str subclass: hashes and compares like the str itself."""


class OddKey(str):
    """Equal to the str but hashing differently, so a dict lookup by the
    parameter name misses it."""
    __eq__ = str.__eq__

    def __hash__(self):
        return hash(str(self)) ^ 0x5A5A


FORMS = pytest.mark.parametrize("form", ["tuple", "dict"])


class TestPositional:
    @pytest.mark.parametrize("kw", [None, (), {}], ids=["none", "empty_tuple", "empty_dict"])
    def test_three_and_four(self, kw):
        assert hooks.bind(NAMES, 3, 4, (SELF, 1, "m"), kw, (None,)) == {
            "self": SELF, "status_code": 1, "message": "m", "payload": None}
        assert hooks.bind(NAMES, 3, 4, (SELF, 1, "m", "p"), kw, (None,))["payload"] == "p"

    @pytest.mark.parametrize("n, message", [
        (0, too_few(0)),
        (2, too_few(2)),
        (5, r"^__init__\(\) takes at most 4 positional arguments \(5 given\)$"),
    ])
    def test_count_errors(self, n, message):
        with pytest.raises(TypeError, match=message):
            hooks.bind(NAMES, 3, 4, (SELF,) * n, None, (None,))


@FORMS
class TestKeywords:
    @pytest.mark.parametrize("order", list(itertools.permutations(NAMES[1:])))
    def test_any_order(self, form, order):
        values = {"status_code": 404, "message": "m", "payload": {"p": 1}}
        bound = bind(form, (SELF,), {name: values[name] for name in order})
        assert bound == {"self": SELF, **values}

    def test_mixed_with_positional(self, form):
        assert bind(form, (SELF, 1), {"payload": "p", "message": "m"})["message"] == "m"

    def test_unexpected(self, form):
        with pytest.raises(TypeError, match=unexpected("bogus")):
            bind(form, (SELF, 1, "m"), {"bogus": 1})

    def test_unexpected_before_missing(self, form):
        with pytest.raises(TypeError, match=unexpected("bogus")):
            bind(form, (SELF,), {"message": "m", "bogus": 1})

    def test_count_checked_before_keywords(self, form):
        with pytest.raises(TypeError, match=r"at most 4 positional arguments \(5 given\)"):
            bind(form, (SELF, 1, "m", "p", "x"), {"bogus": 1})

    def test_multiple_values(self, form):
        with pytest.raises(TypeError, match=multiple("status_code")):
            bind(form, (SELF, 1), {"status_code": 2, "message": "m"})

    @pytest.mark.parametrize("positional, keywords, given", [
        ((SELF,), {"message": "m"}, 1),                 # status_code missing
        ((SELF, 1), {"payload": "p"}, 2),               # message missing
        ((), {"status_code": 1, "message": "m"}, 0),    # self missing
    ])
    def test_missing_required_reports_its_position(self, form, positional, keywords, given):
        with pytest.raises(TypeError, match=too_few(given)):
            bind(form, positional, keywords)

    def test_str_subclass_keys(self, form):
        bound = bind(form, (SELF,), {Key("status_code"): 1, Key("message"): "m"})
        assert (bound["status_code"], bound["message"]) == (1, "m")
        with pytest.raises(TypeError, match=multiple("status_code")):
            bind(form, (SELF, 1), {Key("status_code"): 2, "message": "m"})

    def test_non_interned_keys(self, form):
        key = "".join(["mess", "age"])
        assert key is not sys.intern("message")
        assert bind(form, (SELF, 1), {key: "m"})["message"] == "m"

    def test_references_released(self, form):
        value = object()
        before = sys.getrefcount(value)
        for _ in range(200):
            bind(form, (SELF, value), {"message": value, "payload": value})
            with pytest.raises(TypeError):
                bind(form, (SELF, value), {"payload": value, "bogus": value})
        assert sys.getrefcount(value) == before


class TestTupleForm:
    def test_identity_search_starts_at_n(self):
        # The very interned object of a positionally bound name is not bound
        # again: it goes on to the multiple-values error.
        key = sys.intern("status_code")
        with pytest.raises(TypeError, match=multiple("status_code")):
            hooks.bind(NAMES, 3, 4, (SELF, 1, "m", 2), (key,))

    def test_keyword_not_a_string(self):
        with pytest.raises(TypeError, match=r"^__init__\(\) keywords must be strings$"):
            hooks.bind(NAMES, 3, 4, (SELF, 1, "m", 2), (5,))

    @pytest.mark.parametrize("names", [("payload", "payload"), ("payload", Key("payload"))])
    def test_same_name_twice(self, names):
        # A second value for one parameter is refused, not silently dropped.
        with pytest.raises(TypeError, match=multiple("payload")):
            hooks.bind(NAMES, 3, 4, (SELF, 1, "m", "p1", "p2"), names)


class TestDictForm:
    def test_keyword_not_a_string(self):
        with pytest.raises(TypeError, match="keywords must be strings"):
            hooks.bind(NAMES, 3, 4, (SELF, 1, "m"), {5: 1})

    def test_equal_key_with_other_hash_is_reported(self):
        with pytest.raises(TypeError, match="'payload'"):
            hooks.bind(NAMES, 3, 4, (SELF, 1, "m"), {OddKey("payload"): "p"}, (None,))

    def test_two_keys_for_one_parameter(self):
        with pytest.raises(TypeError, match=multiple("payload")):
            hooks.bind(NAMES, 3, 4, (SELF, 1, "m"), {"payload": 1, OddKey("payload"): 2})


class TestMatchKeyword:
    @pytest.mark.parametrize("key, n, expected", [
        ("".join(["pay", "load"]), 1, 3),
        (Key("message"), 2, 2),
        ("nothing", 1, None),
        ("Payload", 0, None),
        ("payloaď", 0, None),   # same length, wider storage
    ])
    def test_match(self, key, n, expected):
        assert hooks.match_keyword(key, NAMES, n) == expected

    @pytest.mark.parametrize("key", ["".join(["sel", "f"]), Key("self")])
    def test_positionally_bound(self, key):
        with pytest.raises(TypeError, match=multiple("self")):
            hooks.match_keyword(key, NAMES, 1)

    def test_comparison_error_passes_through(self):
        class Failing(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                raise LookupError("cannot compare")

        with pytest.raises(LookupError):
            hooks.match_keyword(Failing("x"), NAMES, 1)


class TestCountError:
    @pytest.mark.parametrize("fname, lo, hi, found, message", [
        ("__init__", 3, 4, 1, "__init__() takes at least 3 positional arguments (1 given)"),
        ("__init__", 3, 4, 7, "__init__() takes at most 4 positional arguments (7 given)"),
        ("f", 0, 1, 2, "f() takes at most 1 positional argument (2 given)"),
        ("x" * 300, 1, 1, 0, "x" * 200 + "() takes at least 1 positional argument (0 given)"),
    ])
    def test_message(self, fname, lo, hi, found, message):
        with pytest.raises(TypeError) as info:
            hooks.raise_argument_count_error(fname, lo, hi, found)
        assert str(info.value) == message


class TestCheckArgumentType:
    @pytest.mark.parametrize("obj, expected, none_allowed", [
        (None, dict, True),
        ("text", str, False),
        ({}, dict, True),
    ])
    def test_passes(self, obj, expected, none_allowed):
        assert hooks.check_argument_type(obj, expected, none_allowed, "arg") is True

    @pytest.mark.parametrize("obj, expected, got, tail", [
        (None, str, "NoneType", ""),
        (5, str, "int", ""),
        (Key("m"), str, "Key", ". " + NOTE),
        (True, int, "bool", ". " + NOTE),
    ])
    def test_refused(self, obj, expected, got, tail):
        with pytest.raises(TypeError) as info:
            hooks.check_argument_type(obj, expected, False, "message")
        assert str(info.value) == (
            f"Argument 'message' has incorrect type (expected {expected.__name__}, got {got})"
            + tail)

    def test_missing_type(self):
        with pytest.raises(SystemError, match="^Missing type object$"):
            hooks.check_argument_type(5, None, False, "x")
