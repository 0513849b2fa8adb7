"""The five error classes: hierarchy, names, docstrings, namespaces."""
import pytest

import quillmaret._m3 as m3
from conftest import address_text
from constants_def import text
from module_facts import SOURCE_FILE

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
        assert (code.co_argcount, code.co_firstlineno, code.co_filename) == (4, 8, SOURCE_FILE)

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
