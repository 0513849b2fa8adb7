"""A small client of the QuillMaret data API, on the standard library alone.

    >>> from quillmaret.client import QuillMaretClient
    >>> client = QuillMaretClient("my-api-key")
    >>> data = client.get_quarter("FR", 2024, 2)

Every non-success answer of the API raises one of the SDK's errors, chosen by
the HTTP status; a failure to reach the API at all raises QuillMaretError.
"""

from __future__ import annotations

import json
import urllib.error
import urllib.parse
import urllib.request
from typing import Any

from quillmaret._m3 import (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretError,
    QuillMaretNotComputedError,
    QuillMaretRateLimitError,
)

__all__ = ["DEFAULT_BASE_URL", "QuillMaretClient", "error_for_response"]

DEFAULT_BASE_URL = "https://api.quillmaret.example/v1"

# The statuses with an error class of their own; any other non-success
# status raises QuillMaretAPIError itself.
_ERROR_CLASSES: dict[int, type[QuillMaretAPIError]] = {
    401: QuillMaretAuthError,
    403: QuillMaretAuthError,
    404: QuillMaretNotComputedError,
    429: QuillMaretRateLimitError,
}


def error_for_response(status: int, reason: str, body: bytes) -> QuillMaretAPIError:
    """Builds the error for a non-success answer of the API.

    The API answers errors with a JSON object; its "message" becomes the
    error's message and its other fields (an error code and details such as
    "retry_after_seconds") the payload.  A body that is not such an object
    (a proxy's HTML page, say) leaves the HTTP reason phrase as the message
    and an empty payload.
    """
    cls = _ERROR_CLASSES.get(status, QuillMaretAPIError)
    try:
        document = json.loads(body)
    except ValueError:  # also covers undecodable bytes
        document = None
    if not isinstance(document, dict):
        return cls(status, reason or f"HTTP status {status}")
    message = document.pop("message", None)
    if not isinstance(message, str) or not message:
        message = reason or f"HTTP status {status}"
    return cls(status, message, document)


class QuillMaretClient:
    """Client of the QuillMaret data API.

    api_key: the key sent with every request (None sends none, which only
    public endpoints accept); base_url: the API's root; timeout: seconds to
    wait for the API before giving up.
    """

    def __init__(
        self,
        api_key: str | None,
        base_url: str = DEFAULT_BASE_URL,
        timeout: float = 10.0,
    ) -> None:
        self.api_key = api_key
        self.base_url = base_url.rstrip("/")
        self.timeout = timeout

    def __repr__(self) -> str:
        # Never show the key itself.
        key = "None" if self.api_key is None else "'***'"
        return f"QuillMaretClient(api_key={key}, base_url={self.base_url!r})"

    def get_quarter(self, country: str, year: int, quarter: int) -> dict[str, Any]:
        """Returns the data of one country for one quarter of a year.

        country is an ISO 3166-1 alpha-2 code ("FR"), quarter 1 to 4.
        Raises QuillMaretAuthError (401/403), QuillMaretNotComputedError (404),
        QuillMaretRateLimitError (429), QuillMaretAPIError (any other
        non-success status) or QuillMaretError (the API could not be reached
        or answered with something other than a JSON object).
        """
        if not 1 <= quarter <= 4:
            raise ValueError(f"quarter must be 1 to 4, not {quarter!r}")
        path = f"/data/{urllib.parse.quote(country.upper(), safe='')}/{int(year)}/q{quarter}"
        return self._get(path)

    def _get(self, path: str) -> dict[str, Any]:
        """GETs one resource of the API and returns its JSON object."""
        url = self.base_url + path
        headers = {"Accept": "application/json", "User-Agent": "quillmaret-python/0.1.0"}
        if self.api_key is not None:
            headers["Authorization"] = f"Bearer {self.api_key}"
        request = urllib.request.Request(url, headers=headers, method="GET")
        try:
            with urllib.request.urlopen(request, timeout=self.timeout) as response:
                body = response.read()
        except urllib.error.HTTPError as exc:
            with exc:
                error_body = exc.read()
            # The HTTPError adds nothing the API error does not carry.
            raise error_for_response(exc.code, exc.reason, error_body) from None
        except OSError as exc:  # URLError, timeouts, refused connections
            reason = getattr(exc, "reason", exc)
            raise QuillMaretError(f"cannot reach the QuillMaret API at {url}: {reason}") from exc
        try:
            document = json.loads(body)
        except ValueError:
            document = None
        if not isinstance(document, dict):
            raise QuillMaretError(f"the QuillMaret API answered {url} with something other than a JSON object")
        return document
