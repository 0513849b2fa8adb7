"""Pickling and copying of the API errors.

An exception's default reduction rebuilds it by calling its class with
``args``.  For the API errors ``args`` holds only the joined text
"[status] message", so that call fails the initializer's argument count, and an
error raised in a worker process (``multiprocessing``, ``concurrent.futures``)
never reaches the parent.

The reducer registered here rebuilds the error without running any
initializer: the class's ``__new__`` receives ``args`` (which the base
exception stores as they are) and the instance dictionary is restored through
``BaseException.__setstate__``, which sets each of its items as an
attribute.  The values of a subclass's ``__slots__`` travel in that same
dictionary: setting them as attributes stores them in their slots.  The copy
thus has the same class, ``args``, ``status_code``, ``message``, ``payload``,
notes and any attribute the caller set.  Pickles stay loadable without this module: they name the class and,
below protocol 2, the standard ``copyreg.__newobj__``; nothing of the
package.  ``__traceback__``, ``__cause__`` and ``__context__`` are dropped, as
for every pickled exception.

The reducers live in ``copyreg``'s dispatch table, so the classes themselves
stay untouched.  That table is keyed by exact class: an SDK user's own
subclass opts in with :func:`register_pickling`.
"""

from __future__ import annotations

import copyreg
from quillmaret._m3 import QuillMaretAPIError

# Importing typing would cost every import of the package more than the rest
# of it; type checkers treat this name as true.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, TypeVar

    _E = TypeVar("_E", bound=QuillMaretAPIError)

__all__ = ["register_pickling"]

# copyreg's ``cls.__new__(cls, *args)`` helper; pickle protocols 2 and up
# recognise it by name and write a NEWOBJ opcode instead of a call.
_newobj: Callable[..., Any] = getattr(copyreg, "__newobj__")


_UNSET = object()


def _slot_names(cls: type) -> list[str]:
    """The attribute names of the slots that cls and its bases declare."""
    names = []
    for klass in cls.__mro__:
        slots = vars(klass).get("__slots__", ())
        for name in (slots,) if isinstance(slots, str) else slots:
            if name in ("__dict__", "__weakref__"):
                continue
            # A private name is stored under its mangled name.
            owner = klass.__name__.lstrip("_")
            if name.startswith("__") and not name.endswith("__") and owner:
                name = f"_{owner}{name}"
            names.append(name)
    return names


def _reduce_api_error(
    err: QuillMaretAPIError,
) -> tuple[Callable[..., Any], tuple[Any, ...], dict[str, Any] | None]:
    """Reduces an API error to (__newobj__, (class, *args), attributes).

    The attributes are the instance dictionary plus the slots that are set.
    """
    state = err.__dict__
    slots = _slot_names(type(err))
    if slots:
        state = dict(state)
        for name in slots:
            value = getattr(err, name, _UNSET)
            if value is not _UNSET:
                state[name] = value
    return _newobj, (type(err), *err.args), (state if state else None)


def register_pickling(cls: type[_E]) -> type[_E]:
    """Makes a subclass of QuillMaretAPIError survive pickle and copy.

    Usable as a class decorator; returns the class unchanged.  The package
    registers the SDK's four API error classes when it is imported.
    """
    if not (isinstance(cls, type) and issubclass(cls, QuillMaretAPIError)):
        raise TypeError(
            f"register_pickling() expects a subclass of QuillMaretAPIError, got {cls!r}"
        )
    copyreg.pickle(cls, _reduce_api_error)
    return cls

