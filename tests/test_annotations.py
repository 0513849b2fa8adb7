"""__annotations__, __annotate__ and the __annotate_quill__ placeholder."""
import gc
import os
import re
import sys
import textwrap

import pytest

from conftest import import_hooks, run_python

hooks = import_hooks()


def make():
    return hooks.make_function("echo_o")


def has_instance_dict(f, *known):
    # Reading __dict__ would create it; the collector sees it without that.
    # `known` are the other dicts the function may hold (its annotations).
    skip = {id(f.__globals__)} | {id(k) for k in known}
    return any(type(r) is dict and id(r) not in skip for r in gc.get_referents(f))


def is_placeholder_of(value, f):
    return (type(value) is type(len) and value.__name__ == "__annotate_quill__"
            and value.__self__ is f)


class Recorder:
    """An __annotate__ callable that records its calls."""

    def __init__(self, result):
        self.result, self.calls = result, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


class TestAnnotationsRead:
    def test_fresh_function_gets_one_empty_dict(self):
        f = make()
        first = f.__annotations__
        assert first == {} and f.__annotations__ is first

    def test_stored_callable_runs_once_with_format_1(self):
        f, result = make(), {"x": int}
        annotate = Recorder(result)
        f.__annotate__ = annotate
        assert f.__annotations__ is result
        assert f.__annotations__ is result
        assert annotate.calls == [((1,), {})]

    @pytest.mark.parametrize("result", [[("x", int)], None, "x"])
    def test_callable_returning_a_non_dict_fails_and_stores_nothing(self, result):
        f = make()
        annotate = Recorder(result)
        f.__annotate__ = annotate
        for _ in range(2):
            with pytest.raises(TypeError, match="^__annotate__ must return a dict$"):
                f.__annotations__
        assert len(annotate.calls) == 2

    def test_dict_subclass_result_is_accepted(self):
        class Annotations(dict):
            pass
        f, result = make(), Annotations(a=1)
        f.__annotate__ = lambda fmt: result
        assert f.__annotations__ is result

    def test_callable_error_is_passed_on(self):
        f = make()

        def annotate(fmt):
            raise KeyError("from annotate")
        f.__annotate__ = annotate
        with pytest.raises(KeyError, match="from annotate"):
            f.__annotations__

    def test_none_override_reads_a_new_empty_dict(self):
        f = make()
        f.__annotate__ = None
        assert f.__annotate__ is None
        assert f.__annotations__ == {}

    def test_unbounded_recursion_is_stopped(self):
        f = make()
        f.__annotate__ = lambda fmt: f.__annotations__
        with pytest.raises(RecursionError):
            f.__annotations__
        f.__annotate__ = None
        assert f.__annotations__ == {}


class TestAnnotationsWrite:
    @pytest.mark.parametrize("value", [[], (), "x", 1])
    def test_non_dict_is_refused(self, value):
        f = make()
        f.__annotations__ = {"kept": 1}
        with pytest.raises(TypeError, match="^__annotations__ must be set to a dict object$"):
            f.__annotations__ = value
        assert f.__annotations__ == {"kept": 1}

    def test_write_with_instance_dict_sets_the_override_to_none(self):
        f, stored = make(), {"a": 1}
        f.__dict__  # make the instance dict
        f.__annotations__ = stored
        assert f.__annotate__ is None and f.__dict__["__annotate__"] is None
        assert f.__annotations__ is stored

    def test_write_without_instance_dict_creates_none(self):
        f, stored = make(), {"a": 1}
        f.__annotations__ = stored
        assert not has_instance_dict(f, stored)
        assert is_placeholder_of(f.__annotate__, f)
        assert not has_instance_dict(f, stored)
        assert f.__annotations__ is stored

    @pytest.mark.parametrize("clear", ["del", "None"])
    @pytest.mark.parametrize("with_dict", [False, True])
    def test_clearing_gives_a_new_empty_dict(self, clear, with_dict):
        f = make()
        if with_dict:
            f.__annotate__ = Recorder({"from": "callable"})
        old = f.__annotations__
        if clear == "del":
            del f.__annotations__
        else:
            f.__annotations__ = None
        new = f.__annotations__
        assert new == {} and new is not old
        if with_dict:
            assert f.__annotate__ is None


class TestAnnotateAttribute:
    def test_fresh_function_reads_a_new_bound_placeholder(self):
        f = make()
        first, second = f.__annotate__, f.__annotate__
        assert is_placeholder_of(first, f) and is_placeholder_of(second, f)
        assert first is not second
        assert first(1) is f.__annotations__  # 1: VALUE, a format every version serves
        assert first.__qualname__ == "quill_function_or_method.__annotate_quill__"

    def test_own_placeholder_restores_the_default(self):
        f = make()
        f.__annotate__ = f.__annotate__  # no instance dict: none is made
        assert not has_instance_dict(f)
        f.__annotate__ = None
        assert f.__dict__["__annotate__"] is None
        f.__annotate__ = f.__annotate_quill__  # the same record, bound to f
        assert "__annotate__" not in f.__dict__
        assert is_placeholder_of(f.__annotate__, f)
        f.__annotate__ = f.__annotate__  # nothing to remove
        assert "__annotate__" not in f.__dict__

    def test_placeholder_of_another_function_is_stored_like_any_callable(self):
        f, g = make(), make()
        g.__annotations__ = {"from": "g"}
        theirs = g.__annotate__
        f.__annotate__ = theirs
        assert f.__annotate__ is theirs
        assert f.__annotations__ == {"from": "g"}

    def test_callable_write_empties_the_annotations(self):
        f = make()
        f.__annotations__ = {"old": 1}
        f.__annotate__ = lambda fmt: {"new": 2}
        assert f.__annotations__ == {"new": 2}

    def test_none_write_keeps_the_annotations(self):
        f = make()
        f.__annotations__ = {"old": 1}
        f.__annotate__ = None
        assert f.__annotations__ == {"old": 1}

    @pytest.mark.parametrize("value, message", [
        (5, "__annotate__ must be callable or None"),
        ("text", "__annotate__ must be callable or None"),
    ])
    def test_non_callable_is_refused(self, value, message):
        f = make()
        with pytest.raises(TypeError) as info:
            f.__annotate__ = value
        assert str(info.value) == message
        assert not has_instance_dict(f)

    def test_cannot_be_deleted(self):
        f = make()
        f.__annotate__ = None
        with pytest.raises(TypeError) as info:
            del f.__annotate__
        assert str(info.value) == "__annotate__ cannot be deleted"
        assert f.__annotate__ is None

class TestPlaceholder:
    def test_without_self(self):
        with pytest.raises(SystemError) as info:
            hooks.annotate_placeholder_without_self()
        assert str(info.value) == "quill __annotate__ called without 'self' argument"

    @pytest.mark.skipif(sys.version_info >= (3, 14), reason="3.14 on: the formats test below")
    def test_method_form_returns_the_annotations(self):
        f = make()
        assert type(f).__annotate_quill__(f, None) is f.__annotations__
        assert f.__annotate_quill__("any format") is f.__annotations__

    # 3.14's protocol: VALUE (1) and FORWARDREF (3) are served with the stored
    # annotations; any other format raises NotImplementedError.
    @pytest.mark.skipif(sys.version_info < (3, 14), reason="annotate formats are new in 3.14")
    @pytest.mark.parametrize("fmt, served", [
        (1, True), (3, True), (True, True), (2, False), (4, False), (0, False), (2**70, False),
        (None, False), ("any format", False), (1.0, False),
    ])
    def test_formats(self, fmt, served):
        f = make()
        if served:
            assert type(f).__annotate_quill__(f, fmt) is f.__annotations__
            assert f.__annotate__(fmt) is f.__annotations__
        else:
            with pytest.raises(NotImplementedError):
                f.__annotate__(fmt)

    @pytest.mark.parametrize("hook, label", [
        ("annotations_at_recursion_limit", " quillfunction __annotations__.__get__"),
        ("placeholder_at_recursion_limit", " in quillfunction annotate"),
    ])
    def test_recursion_guard_labels(self, hook, label):
        f = make()
        f.__annotate__ = lambda fmt: {}
        with pytest.raises(RecursionError) as info:
            getattr(hooks, hook)(f)
        # From 3.14 on the guard measures the C stack, and says how much it used.
        head = (r"Stack overflow \(used \d+ kB\)" if sys.version_info >= (3, 14)
                else "maximum recursion depth exceeded")
        assert re.fullmatch(head + re.escape(label), str(info.value))
        assert f.__annotations__ == {}


# Python code run in the middle of a read: a key comparison during the
# instance-dict lookup, and a finalizer run while the computed dict is
# stored. A child with the debug allocator, which poisons freed memory, turns
# a use of a freed object into a crash or a wrong result.
HOSTILE_READS = {
    "dict replaced by a key comparison, __annotate__": """
        class Key:
            def __hash__(self):
                return hash("__annotate__")
            def __eq__(self, other):
                f.__dict__ = {}  # frees the dict being searched
                return False
        f.__dict__ = {Key(): 1, "__annotate__": None}
        assert f.__annotate__ is None
    """,
    "dict replaced by a key comparison, __annotations__": """
        class Key:
            def __hash__(self):
                return hash("__annotate__")
            def __eq__(self, other):
                f.__dict__ = {}
                return False
        f.__dict__ = {Key(): 1, "__annotate__": lambda format: {"x": int}}
        assert f.__annotations__ == {"x": int}
    """,
    "field replaced by a finalizer while storing": """
        class Old(dict):
            def __del__(self):
                f.__annotations__ = {"replaced": 1}  # drops the computed dict
        def annotate(format):
            f.__annotations__ = Old()
            return {f"x{i}": [i] for i in range(10)}
        f.__annotate__ = annotate
        got = f.__annotations__
        junk = [{"a": i} for i in range(50)]  # would reuse a freed dict
        assert got == {f"x{i}": [i] for i in range(10)}
        assert f.__annotations__ == {"replaced": 1}
    """,
    # 3.11 collects inside the allocation of the empty dict (with the dict
    # free list drained); later versions at the next eval breaker.
    "field stored by a collection while the empty dict is made": """
        import gc, sys
        stored, armed = {"stored": "by a collection"}, []
        def store(phase, info):
            if phase == "stop" and armed:
                armed.clear()
                f.__annotations__ = stored
        gc.callbacks.append(store)
        gc.disable()
        gc.collect()
        held = [{} for _ in range(200)]
        gc.set_threshold(1)
        armed.append(True)
        gc.enable()
        got = f.__annotations__
        gc.collect()
        assert not armed and f.__annotations__ is stored
        # 3.11: read back as stored, held by the field, `stored` and `got`.
        assert (got is stored and sys.getrefcount(stored) == 4) or sys.version_info >= (3, 12)
    """,
}


@pytest.mark.subprocess
@pytest.mark.parametrize("case", list(HOSTILE_READS))
def test_read_survives_python_code_run_during_it(case):
    body = HOSTILE_READS[case]
    proc = run_python("from quillmaret import _quill_testhooks as hooks\n"
                      "f = hooks.make_function('echo_o')\n" + textwrap.dedent(body) + "\nprint('ok')\n",
                      env=dict(os.environ, PYTHONMALLOC="debug"))
    assert proc.stdout.strip() == "ok"
