"""QuillMaret SDK core: the exception hierarchy of the QuillMaret data API.

The QuillMaret data API serves data by country, year and quarter; every
failure of the SDK's client (quillmaret.client.QuillMaretClient) raises one
of these classes, all importable from this package:

QuillMaretError
    Base of every SDK error; raised itself when the API cannot be reached,
    does not answer within the client's timeout (a limit on the whole call),
    redirects in a loop, or answers with something broken, larger than
    max_response_bytes or other than a JSON object; the underlying exception
    is its __cause__.
QuillMaretAPIError(status_code, message, payload=None)
    On any other non-success status (400, 500, 503, ...), and a 404 without
    the API's error body.  The API answered with a non-success status that
    has no class of its own.  A 404 without the API's JSON error body came
    from something else (a wrong base_url, a proxy): its message names the
    URL that was not found.  A wrong base_url gives that 404 from most
    servers, and a 400 naming the path from the local mock.  Derives from
    QuillMaretError.
QuillMaretAuthError
    On 401, 403.  The API key is missing (for an endpoint that requires
    one), invalid, or has been revoked.
QuillMaretRateLimitError
    On 429.  The key exceeded its rate limit: 200 requests per 24 hours on
    the free tier, a sliding window.  The payload's "retry_after_seconds"
    says how long to wait.
QuillMaretNotComputedError
    On 404 with the API's error body.  The requested (country, year,
    quarter) has not been ingested or computed.  Data is refreshed in
    monthly/quarterly batches, not on demand.  Expected for very recent
    quarters, not a bug.

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
