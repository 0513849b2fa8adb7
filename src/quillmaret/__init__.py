"""QuillMaret SDK core: the exception hierarchy of the QuillMaret data API."""

from quillmaret._m3 import (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretError,
    QuillMaretNotComputedError,
    QuillMaretRateLimitError,
)
from quillmaret._pickling import register_pickling

__all__ = [
    "QuillMaretError",
    "QuillMaretAPIError",
    "QuillMaretAuthError",
    "QuillMaretRateLimitError",
    "QuillMaretNotComputedError",
    "register_pickling",
]

# The default reduction of an exception cannot rebuild the API errors (see
# _pickling); QuillMaretError itself rebuilds from its args and needs nothing.
for _cls in (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretRateLimitError,
    QuillMaretNotComputedError,
):
    register_pickling(_cls)
del _cls
