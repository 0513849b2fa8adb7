# Type stubs of the native module quillmaret._m3: the SDK's error classes.
# The docstrings are the module's own, for editors that show them from here.
from typing import Any

# Kept empty: the module has no doctests.
__test__: dict[str, Any]

class QuillMaretError(Exception):
    """Base exception for all QuillMaret SDK errors."""

class QuillMaretAPIError(QuillMaretError):
    """Raised when the API returns a non-success status code."""

    status_code: int
    message: str
    payload: dict[str, Any]
    def __init__(
        self, status_code: int, message: str, payload: dict[str, Any] | None = None
    ) -> None: ...

class QuillMaretAuthError(QuillMaretAPIError):
    """Raised on 401/403 -- the API key is missing (for an endpoint that
    requires one), invalid, or has been revoked."""

class QuillMaretRateLimitError(QuillMaretAPIError):
    """Raised on 429 -- this key has exceeded its rate limit (currently
    200 requests/24h on the free tier, a sliding window). Wait and retry,
    or create a separate key for a different workload."""

class QuillMaretNotComputedError(QuillMaretAPIError):
    """Raised on 404 — the requested (country, year, quarter) hasn't been
    ingested/computed yet. Data is refreshed on a monthly/quarterly batch
    cadence, not on demand; this is expected for very recent or
    not-yet-supported periods, not a bug."""
