"""QuillMaret SDK core: the exception hierarchy of the QuillMaret data API.

The QuillMaret data API serves data by country, year and quarter; every
failure of the SDK's client (quillmaret.client.QuillMaretClient) raises one
of these classes, all importable from this package:

QuillMaretError
    Base of every SDK error; raised itself when the API cannot be reached or
    answers with something other than JSON.
QuillMaretAPIError(status_code, message, payload=None)
    The API answered with a non-success status that has no class of its own
    (400, 500, 503, ...).  Derives from QuillMaretError.
QuillMaretAuthError
    401 or 403: the API key is missing, invalid or revoked.
QuillMaretRateLimitError
    429: the key exceeded its rate limit (200 requests per 24 hours on the
    free tier, a sliding window); the payload's "retry_after_seconds" says
    how long to wait.
QuillMaretNotComputedError
    404: the requested (country, year, quarter) has not been computed yet;
    expected for very recent quarters, not a bug.

The last three derive from QuillMaretAPIError; catch them before it.

An API error carries:

status_code
    The HTTP status, an int.
message
    The API's explanation, a str.
payload
    A dict with the other fields of the API's answer (an error code and
    details such as "retry_after_seconds"); empty when there are none.
args, str(error)
    "[status_code] message", e.g. "[429] Rate limit exceeded".

Pickling: the errors survive pickle and copy, and so multiprocessing and
concurrent.futures, with their class and attributes.  A subclass of your own
opts in with the class decorator register_pickling.

__version__ is the package's version, the same as its distribution metadata.
"""

from quillmaret._m3 import (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretError,
    QuillMaretNotComputedError,
    QuillMaretRateLimitError,
)
from quillmaret._pickling import register_pickling

# The one source of the version: the build reads it from this line into the
# distribution's metadata.
__version__ = "0.1.0"

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
