"""A small client of the QuillMaret data API, on the standard library alone.

    >>> from quillmaret.client import QuillMaretClient
    >>> client = QuillMaretClient("my-api-key")
    >>> data = client.get_quarter("FR", 2024, 2)

Every non-success answer of the API raises one of the SDK's errors, chosen by
the HTTP status; any other failure of the exchange (the API cannot be reached,
answers too slowly, too much, or with a broken or non-JSON answer, or
redirects in a loop) raises QuillMaretError, with the underlying exception as
its ``__cause__``.  A 404 means "not computed yet" only when it carries the
API's own error body; any other 404 (a wrong base_url, a proxy in the way)
raises QuillMaretAPIError saying that the URL was not found.

The API key is sent only to the API's origin (scheme, host and port): a
redirect to another origin is followed without it.

A failure that may pass is retried, max_retries times by default 2: a
connection that fails, is reset, or ends before the whole answer arrived,
and the statuses 429, 500, 502, 503 and 504.  Before each retry the client
waits as the server asks (the Retry-After header, else the payload's
"retry_after_seconds"), else a random time of up to 0.5 s, doubling with
each retry up to 8 s.  The call's timeout bounds the attempts and the waits
together: a wait that would end past it, or that is longer than 60 s, is not
made, and the last error is raised at once.  The error raised is the last
attempt's, as it would be without retries, with a note (PEP 678) of the
attempts and waits.
"""

from __future__ import annotations

import contextvars
import datetime
import email.message
import email.utils
import http.client
import io
import json
import math
import operator
import random
import socket
import ssl
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from typing import IO, Any

from quillmaret import __version__
from quillmaret._m3 import (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretError,
    QuillMaretNotComputedError,
    QuillMaretRateLimitError,
)

__all__ = [
    "DEFAULT_BASE_URL",
    "DEFAULT_MAX_RESPONSE_BYTES",
    "DEFAULT_MAX_RETRIES",
    "QuillMaretClient",
    "error_for_response",
]

DEFAULT_BASE_URL = "https://api.quillmaret.example/v1"

# The API answers with small JSON objects; anything near this size is not one.
DEFAULT_MAX_RESPONSE_BYTES = 10 * 1024 * 1024

# Retries after a failure that may pass.  Two retries ride out a restart or
# a brief overload without making a caller who needs an answer now wait long.
DEFAULT_MAX_RETRIES = 2

# The statuses that say "try again": a rate limit, a server or gateway in
# trouble.  Any other status would answer the same to the same request.
_RETRIED_STATUSES = frozenset({429, 500, 502, 503, 504})

# Without the server's word, the wait before retry n is drawn at random from
# 0 to min(_BACKOFF_CAP, _BACKOFF_BASE * 2 ** (n - 1)) ("full jitter"):
# clients that failed together do not come back together.
_BACKOFF_BASE = 0.5
_BACKOFF_CAP = 8.0

# The longest wait the client makes, even when the call's timeout would allow
# more (or there is none): a call is not meant to sleep for minutes, let alone
# through a free-tier window of 24 hours.  The caller gets the error, whose
# payload says how long the server asked to wait.
_LONGEST_WAIT = 60.0

# The statuses with an error class of their own; any other non-success
# status raises QuillMaretAPIError itself.
_ERROR_CLASSES: dict[int, type[QuillMaretAPIError]] = {
    401: QuillMaretAuthError,
    403: QuillMaretAuthError,
    404: QuillMaretNotComputedError,
    429: QuillMaretRateLimitError,
}

# What the standard library raises when an exchange fails: socket errors and
# timeouts (OSError, URLError), malformed answers (HTTPException: bad status
# line, over-long or too many header lines, a body cut short) and URLs it
# cannot use (ValueError, e.g. a redirect to an unencodable host name).
_EXCHANGE_FAILURES = (OSError, http.client.HTTPException, ValueError)

_READ_CHUNK = 64 * 1024

# The socket layer waits with poll(), whose timeout is an int of milliseconds:
# a longer wait wraps round, to no limit or to a spurious short one.
_MAX_TIMEOUT = (2**31 - 1) // 1000  # seconds, a little under 25 days


def error_for_response(
    status: int, reason: str, body: bytes, url: str | None = None
) -> QuillMaretAPIError:
    """Builds the error for a non-success answer of the API.

    The API answers errors with a JSON object {"error": code, "message":
    text, ...details}; its "message" becomes the error's message and its
    other fields (the error code and details such as "retry_after_seconds")
    the payload.  A body that is not a JSON object (a proxy's HTML page, JSON
    nested too deeply to decode, say) leaves the HTTP reason phrase as the
    message and an empty payload.

    A 404 is QuillMaretNotComputedError only with the API's own error body
    (string "error" and "message" fields).  Any other 404 comes from
    something that is not the API, usually because base_url is wrong: it is
    a QuillMaretAPIError with an empty payload, whose message names ``url``
    (the URL requested, if given) and suggests checking base_url.
    """
    cls = _ERROR_CLASSES.get(status, QuillMaretAPIError)
    try:
        document = json.loads(body)
    except (ValueError, RecursionError):  # ValueError covers undecodable bytes
        document = None
    if status == 404 and not (
        isinstance(document, dict)
        and isinstance(document.get("error"), str)
        and isinstance(document.get("message"), str)
    ):
        where = "the URL requested" if url is None else url
        return QuillMaretAPIError(
            404,
            f"{where} was not found (HTTP 404 without the QuillMaret API's error body); "
            "check that base_url is the API's root URL",
        )
    if not isinstance(document, dict):
        return cls(status, reason or f"HTTP status {status}")
    message = document.pop("message", None)
    if not isinstance(message, str) or not message:
        message = reason or f"HTTP status {status}"
    return cls(status, message, document)


# -- the call's deadline -------------------------------------------------------
#
# A socket timeout bounds each socket operation, not the call: a server that
# sends one byte at a time restarts it with every byte.  So every operation of
# a call (connecting, the TLS handshake, sending, each read of the status
# line, headers and body) gets only the time left before the call's deadline.
# The deadline is set for the duration of one call by QuillMaretClient._get;
# the connection classes below read it from this variable because urllib
# builds them itself.

_deadline: contextvars.ContextVar[float | None] = contextvars.ContextVar(
    "quillmaret_client_deadline", default=None
)


def _time_left() -> float | None:
    """Seconds left before the current call's deadline (None: no deadline).

    Raises TimeoutError once the deadline has passed.
    """
    deadline = _deadline.get()
    if deadline is None:
        return None
    left = deadline - time.monotonic()
    if left <= 0:
        raise TimeoutError("the call's time ran out")
    return left


def _connect_by_deadline(
    address: tuple[str, int],
    timeout: object = None,
    source_address: tuple[str, int] | None = None,
) -> socket.socket:
    """socket.create_connection, with every attempt bounded by the deadline.

    ``timeout`` (the connection's own, per attempt) is ignored: the time left
    is shared by all the addresses tried.
    """
    host, port = address
    failure: OSError | None = None
    for family, kind, proto, _, sockaddr in socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM):
        sock = socket.socket(family, kind, proto)
        try:
            sock.settimeout(_time_left())
            if source_address:
                sock.bind(source_address)
            sock.connect(sockaddr)
            # The TLS handshake, if any, runs on this timeout: what is left.
            sock.settimeout(_time_left())
        except OSError as exc:
            sock.close()
            failure = exc
            continue
        return sock
    if failure is None:
        failure = OSError(f"no address found for {host!r}")
    raise failure


class _DeadlineReader(io.RawIOBase):
    """A socket's raw reader whose every read waits only for the time left."""

    def __init__(self, sock: socket.socket, raw: io.RawIOBase) -> None:
        super().__init__()
        self._sock = sock
        # The socket's own reader: it keeps the socket open until closed,
        # which http.client relies on after closing the connection.
        self._raw = raw

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int | None:
        self._sock.settimeout(_time_left())
        return self._raw.readinto(buffer)

    def close(self) -> None:
        if not self.closed:
            self._raw.close()
        super().close()


class _DeadlineResponse(http.client.HTTPResponse):
    """An HTTP response whose status line, headers and body obey the deadline."""

    def __init__(
        self,
        sock: socket.socket,
        debuglevel: int = 0,
        method: str | None = None,
        url: str | None = None,
    ) -> None:
        super().__init__(sock, debuglevel, method, url)
        self.fp = io.BufferedReader(_DeadlineReader(sock, self.fp.detach()))


class _HTTPConnection(http.client.HTTPConnection):
    """An HTTP connection whose every step obeys the call's deadline."""

    response_class = _DeadlineResponse

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._create_connection = _connect_by_deadline

    def send(self, data: Any) -> None:
        if self.sock is not None:
            self.sock.settimeout(_time_left())
        super().send(data)


class _HTTPSConnection(_HTTPConnection, http.client.HTTPSConnection):
    """The HTTPS connection of the same kind (TLS wraps the deadline-bound socket)."""


class _HTTPHandler(urllib.request.AbstractHTTPHandler):
    def http_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(_HTTPConnection, req)

    http_request = urllib.request.AbstractHTTPHandler.do_request_


class _HTTPSHandler(urllib.request.AbstractHTTPHandler):
    def https_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        # No context: each connection makes the default one, which verifies
        # the certificate and the host name.
        return self.do_open(_HTTPSConnection, req)

    https_request = urllib.request.AbstractHTTPHandler.do_request_


_DEFAULT_PORTS = {"http": 80, "https": 443}


def _origin(url: str) -> tuple[str, str | None, int | None] | None:
    """(scheme, host, port) of a URL; None when its port is malformed."""
    parts = urllib.parse.urlsplit(url)
    scheme = parts.scheme.lower()
    try:
        port = parts.port
    except ValueError:
        return None
    return scheme, parts.hostname, port if port is not None else _DEFAULT_PORTS.get(scheme)


class _RedirectHandler(urllib.request.HTTPRedirectHandler):
    """Follows redirects, keeping the API key within the origin it was sent to.

    urllib copies every header onto the redirected request; a redirect to
    another scheme, host or port would hand the key to whoever is there.
    """

    def redirect_request(
        self,
        req: urllib.request.Request,
        fp: IO[bytes],
        code: int,
        msg: str,
        headers: http.client.HTTPMessage,
        newurl: str,
    ) -> urllib.request.Request | None:
        new = super().redirect_request(req, fp, code, msg, headers, newurl)
        if new is not None:
            here = _origin(req.full_url)
            if here is None or here != _origin(new.full_url):
                new.remove_header("Authorization")
            # The redirect's own body is not needed: drop it unread, rather
            # than let urllib read all of it, however large.
            fp.close()
        return new

    def http_error_302(self, req: urllib.request.Request, fp: IO[bytes], code: int, msg: str,
                       headers: http.client.HTTPMessage) -> Any:
        try:
            return super().http_error_302(req, fp, code, msg, headers)
        except urllib.error.HTTPError as exc:
            # urllib's error for a loop or a redirect too many carries this
            # response, closed by redirect_request: nothing can read it.  An
            # error raised by a later answer carries its own response.
            if exc.fp is fp and getattr(fp, "closed", False):
                exc.close()  # unclosed, 3.14 warns when it is collected
                raise _TooManyRedirects(self.max_redirections) from exc
            raise

    http_error_301 = http_error_303 = http_error_307 = http_error_308 = http_error_302


class _TooManyRedirects(Exception):
    """A redirect loop, or more redirects than the handler follows."""


def _build_opener() -> urllib.request.OpenerDirector:
    """An opener for http and https only, with the handlers above."""
    opener = urllib.request.OpenerDirector()
    for handler in (
        urllib.request.ProxyHandler(),
        urllib.request.UnknownHandler(),
        _HTTPHandler(),
        _HTTPSHandler(),
        urllib.request.HTTPDefaultErrorHandler(),
        _RedirectHandler(),
        urllib.request.HTTPErrorProcessor(),
    ):
        opener.add_handler(handler)
    return opener


def _read_body(response: IO[bytes], length: int | None, limit: int) -> bytes:
    """Reads a whole body of at most ``limit`` bytes.

    ``length`` is the declared Content-Length (None if there is none).  A
    body that is longer than the limit raises QuillMaretError, having read
    at most one byte past it; one shorter than declared raises IncompleteRead.
    """
    if length is not None and length > limit:
        raise QuillMaretError(
            f"the API's answer of {length} bytes exceeds max_response_bytes ({limit})"
        )
    chunks: list[bytes] = []
    size = 0
    while True:
        chunk = response.read(min(_READ_CHUNK, limit + 1 - size))
        if not chunk:
            break
        chunks.append(chunk)
        size += len(chunk)
        if size > limit:
            raise QuillMaretError(f"the API's answer exceeds max_response_bytes ({limit})")
    body = b"".join(chunks)
    if length is not None and size < length:
        # http.client's read(amt) returns a short body silently.
        raise http.client.IncompleteRead(body, length - size)
    return body


def _declared_length(response: object) -> int | None:
    """The Content-Length still to read of an open HTTP response, else None."""
    if isinstance(response, http.client.HTTPResponse) and not response.isclosed():
        return response.length
    return None


def _shown(value: float) -> str:
    """repr(value), or a description of an int too long to write out."""
    try:
        return repr(value)
    except ValueError:  # an int over the interpreter's digit limit
        return f"an int of {int(value).bit_length()} bits"


# -- retries --------------------------------------------------------------------


def _is_retried(error: QuillMaretError) -> bool:
    """Whether an attempt that failed with this error may succeed if made again.

    An API error is retried by its status.  Any other error is retried when
    the connection failed: it could not be made, was reset or closed before
    the whole answer arrived, or timed out.  A broken or oversized answer, a
    redirect loop or a failed TLS handshake (a certificate that does not
    verify) would fail the same way again.
    """
    if isinstance(error, QuillMaretAPIError):
        return error.status_code in _RETRIED_STATUSES
    cause: object = error.__cause__
    if isinstance(cause, urllib.error.URLError):
        # The failure it wraps; for the HTTPError of a redirect loop, its text.
        cause = cause.reason
    if isinstance(cause, http.client.IncompleteRead):
        return True
    return isinstance(cause, OSError) and not isinstance(cause, ssl.SSLError)


def _seconds(value: float) -> float:
    """value as a float; inf for an int too large for one."""
    try:
        return float(value)
    except OverflowError:
        return math.inf


def _http_date(text: str) -> datetime.datetime | None:
    """An HTTP date ("Wed, 21 Oct 2015 07:28:00 GMT") as an aware datetime; None if it is none."""
    try:
        when = email.utils.parsedate_to_datetime(text)
    except (TypeError, ValueError, IndexError, OverflowError):
        return None
    if when.tzinfo is None:  # the zone "-0000": UTC, the source's own unknown
        when = when.replace(tzinfo=datetime.timezone.utc)
    return when


def _server_wait(error: QuillMaretError, headers: email.message.Message | None) -> float | None:
    """Seconds the server asked the client to wait before retrying; None if it did not say.

    Its Retry-After header comes first: a number of seconds, or an HTTP date,
    taken relative to the answer's own Date (the server's clock, so that a
    skewed local clock does not matter) or, without one, to this machine's
    clock.  Else the payload's "retry_after_seconds", a number.  A value that
    is neither is ignored.
    """
    if headers is not None:
        value = headers.get("Retry-After", "").strip()
        if value.isascii() and value.isdigit():
            return float(value)  # inf for a number of many digits
        when = _http_date(value)
        if when is not None:
            now = _http_date(headers.get("Date", ""))
            if now is None:
                now = datetime.datetime.now(datetime.timezone.utc)
            return max(0.0, (when - now).total_seconds())
    if not isinstance(error, QuillMaretAPIError):
        return None
    seconds = error.payload.get("retry_after_seconds")
    # Compared, not converted: nan fails, an int of any size passes.
    if isinstance(seconds, (int, float)) and not isinstance(seconds, bool) and seconds >= 0:
        return _seconds(seconds)
    return None


def _shown_seconds(value: float) -> str:
    return f"{round(value, 2):g} s"


def _attempts_note(waits: list[float], no_retry: str | None = None) -> str:
    """The note a failed call's error gets: its attempts, their waits, and why no more were made."""
    if waits:
        note = (f"{len(waits) + 1} attempts, waiting "
                f"{', '.join(map(_shown_seconds, waits))} between them")
    else:
        note = "1 attempt"
    if no_retry is not None:
        note += f"; {'no further retry' if waits else 'not retried'}: {no_retry}"
    return note


def _require_int(name: str, value: object) -> int:
    # bool is an int, but True is no year or quarter.
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return operator.index(value)


class QuillMaretClient:
    """Client of the QuillMaret data API.

    api_key: the key sent with every request (None sends none, which only
    public endpoints accept); it is sent only to the origin of base_url and
    never follows a redirect elsewhere.  base_url: the API's root, an http or
    https URL without query or fragment.  timeout: seconds a whole call may
    take (connecting, sending, receiving the headers and the body), at most
    2147483 (the longest wait the socket layer keeps, nearly 25 days), or
    None to wait indefinitely.
    max_response_bytes: the largest body accepted from the API (10 MiB by
    default).
    max_retries: how many times a failure that may pass (the connection
    failed, 429, 500, 502, 503, 504) is retried within the timeout; 0 turns
    retries off.

    Raises TypeError or ValueError, naming the argument, for an argument of
    the wrong type or value.
    """

    def __init__(
        self,
        api_key: str | None,
        base_url: str = DEFAULT_BASE_URL,
        timeout: float | None = 10.0,
        *,
        max_response_bytes: int = DEFAULT_MAX_RESPONSE_BYTES,
        max_retries: int = DEFAULT_MAX_RETRIES,
    ) -> None:
        if api_key is not None:
            if not isinstance(api_key, str):
                raise TypeError(f"api_key must be a str or None, not {type(api_key).__name__}")
            # It goes into a header line: no line breaks or other controls.
            if not (api_key.isascii() and api_key.isprintable()):
                raise ValueError("api_key must consist of printable ASCII characters")
        if not isinstance(base_url, str):
            raise TypeError(f"base_url must be a str, not {type(base_url).__name__}")
        # urlsplit drops tabs and line breaks silently, and http.client then
        # refuses every request; a query or fragment would swallow the path.
        if any(char <= " " or char == "\x7f" for char in base_url):
            raise ValueError(f"base_url must not contain spaces or control characters: {base_url!r}")
        if "?" in base_url or "#" in base_url:
            raise ValueError(f"base_url must not have a query or a fragment: {base_url!r}")
        origin = _origin(base_url)
        if origin is None or origin[2] == 0:
            # Said apart from the check below: the URL has a host, its port is wrong.
            port = urllib.parse.urlsplit(base_url).netloc.rpartition(":")[2]
            raise ValueError(f"base_url's port must be a number from 1 to 65535, not {port!r} "
                             f"(in {base_url!r})")
        if origin[0] not in _DEFAULT_PORTS or not origin[1]:
            raise ValueError(f"base_url must be an http or https URL with a host, not {base_url!r}")
        if timeout is not None:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
                raise TypeError(f"timeout must be a number or None, not {type(timeout).__name__}")
            # Compared, not converted: an int of any size, inf and nan all fail.
            if not 0 < timeout <= _MAX_TIMEOUT:
                raise ValueError(
                    f"timeout must be a positive number of seconds up to {_MAX_TIMEOUT}, "
                    f"or None, not {_shown(timeout)}"
                )
        limit = _require_int("max_response_bytes", max_response_bytes)
        if limit < 1:
            raise ValueError(f"max_response_bytes must be positive, not {limit}")
        retries = _require_int("max_retries", max_retries)
        if retries < 0:
            raise ValueError(f"max_retries must be 0 or more, not {_shown(retries)}")
        self.api_key = api_key
        self.base_url = base_url.rstrip("/")
        self.timeout = timeout
        self.max_response_bytes = limit
        self.max_retries = retries
        self._opener = _build_opener()

    # How the client waits between attempts and draws the random part of a
    # wait; the tests replace them.
    _sleep = staticmethod(time.sleep)
    _random = staticmethod(random.random)

    def __repr__(self) -> str:
        # Never show the key itself.
        key = "None" if self.api_key is None else "'***'"
        return f"QuillMaretClient(api_key={key}, base_url={self.base_url!r})"

    def get_quarter(self, country: str, year: int, quarter: int) -> dict[str, Any]:
        """Returns the data of one country for one quarter of a year.

        country is an ISO 3166-1 alpha-2 code, two ASCII letters in either
        case ("FR"); year an int; quarter an int from 1 to 4.  A str country
        of another shape, a year with more digits than the interpreter writes
        out (sys.get_int_max_str_digits()), or a quarter out of range, raises
        ValueError; an argument of another type (bool included) raises
        TypeError; both name the argument and are raised before any request
        is sent.

        Raises QuillMaretAuthError (401/403), QuillMaretNotComputedError (404
        with the API's error body), QuillMaretRateLimitError (429),
        QuillMaretAPIError (any other non-success status, a 404 without the
        API's error body included) or QuillMaretError (the API could not be
        reached, did not answer within the timeout, redirected in a loop,
        answered with a broken answer, a body over max_response_bytes or
        something other than a JSON object).  A failure that may pass is
        first retried, as the class says.
        """
        if not isinstance(country, str):
            raise TypeError(f"country must be a str, not {type(country).__name__}")
        if len(country) != 2 or not (country.isascii() and country.isalpha()):
            raise ValueError(f"country must be a two-letter code such as 'FR', not {country!r}")
        year = _require_int("year", year)
        quarter = _require_int("quarter", quarter)
        if not 1 <= quarter <= 4:
            raise ValueError(f"quarter must be 1 to 4, not {quarter!r}")
        try:
            year_text = str(year)
        except ValueError:  # over the interpreter's digit limit
            raise ValueError(
                f"year must have at most {sys.get_int_max_str_digits()} digits, not {_shown(year)}"
            ) from None
        return self._get(f"/data/{country.upper()}/{year_text}/q{quarter}")

    def _get(self, path: str) -> dict[str, Any]:
        """GETs one resource of the API and returns its JSON object."""
        url = self.base_url + path
        headers = {"Accept": "application/json", "User-Agent": f"quillmaret-python/{__version__}"}
        if self.api_key is not None:
            headers["Authorization"] = f"Bearer {self.api_key}"
        timeout = self.timeout
        deadline = None if timeout is None else time.monotonic() + timeout
        token = _deadline.set(deadline)
        try:
            body = self._exchange_retrying(url, headers, deadline)
        finally:
            _deadline.reset(token)
        try:
            document = json.loads(body)
        except (ValueError, RecursionError) as exc:
            raise QuillMaretError(
                f"the QuillMaret API answered {url} with something other than a JSON object"
            ) from exc
        if not isinstance(document, dict):
            raise QuillMaretError(
                f"the QuillMaret API answered {url} with something other than a JSON object"
            )
        return document

    def _exchange_retrying(self, url: str, headers: dict[str, str],
                           deadline: float | None) -> bytes:
        """GETs url until an attempt succeeds, fails for good, or the retries or the time run out.

        Returns the body of the success answer; raises the last attempt's error.
        """
        waits: list[float] = []
        while True:
            # A new request each time: urllib records the redirects followed
            # on the request, and the retry starts again from the API's URL.
            request = urllib.request.Request(url, headers=headers, method="GET")
            answer_headers: list[email.message.Message] = []
            try:
                return self._exchange(request, url, answer_headers)
            except QuillMaretError as error:
                if not _is_retried(error) or len(waits) >= self.max_retries:
                    if waits:
                        error.add_note(_attempts_note(waits))
                    raise
                wait = _server_wait(error, answer_headers[0] if answer_headers else None)
                if wait is None:
                    wait = self._backoff(len(waits) + 1)
                # A wait after which the call has no time left is not worth making.
                if deadline is not None and time.monotonic() + wait >= deadline:
                    too_long = f"would end past the call's timeout ({self.timeout} s)"
                elif wait > _LONGEST_WAIT:
                    too_long = f"is longer than the client waits ({_LONGEST_WAIT:g} s)"
                else:
                    too_long = None
                if too_long is not None:
                    error.add_note(_attempts_note(
                        waits, f"the next wait, {_shown_seconds(wait)}, {too_long}"))
                    raise
            # Out of the except clause: the next attempt's error must not
            # carry this one as its context.
            self._sleep(wait)
            waits.append(wait)

    def _backoff(self, retry: int) -> float:
        """The wait before retry number ``retry`` (1 for the first) when the server named none."""
        ceiling = min(_BACKOFF_CAP, _BACKOFF_BASE * 2.0 ** min(retry - 1, 16))
        return ceiling * self._random()

    def _exchange(self, request: urllib.request.Request, url: str,
                  answer_headers: list[email.message.Message]) -> bytes:
        """Sends the request; returns the body of a success answer.

        The headers of an answer with an error status are appended to
        answer_headers, for the retry's wait: the error raised does not carry them.
        """
        limit = self.max_response_bytes
        try:
            response = self._opener.open(request, timeout=self.timeout)
        except urllib.error.HTTPError as exc:
            answer_headers.append(exc.headers)
            with exc:
                try:
                    error_body = _read_body(exc, _declared_length(exc.fp), limit)
                except (*_EXCHANGE_FAILURES, QuillMaretError) as failure:
                    # The status is known, the payload is not.
                    raise error_for_response(exc.code, exc.reason, b"", url) from failure
            # The HTTPError adds nothing the API error does not carry.
            raise error_for_response(exc.code, exc.reason, error_body, url) from None
        except _TooManyRedirects as exc:
            raise QuillMaretError(
                f"the QuillMaret API at {url} redirected in a loop or more than {exc.args[0]} times"
            ) from exc.__cause__
        except _EXCHANGE_FAILURES as exc:
            raise self._failure(url, exc) from exc
        with response:
            try:
                return _read_body(response, _declared_length(response), limit)
            except _EXCHANGE_FAILURES as exc:
                raise self._failure(url, exc) from exc

    def _failure(self, url: str, exc: Exception) -> QuillMaretError:
        """The QuillMaretError for a failed exchange with the API."""
        reason: object = exc.reason if isinstance(exc, urllib.error.URLError) else exc
        # Without a timeout, a timeout is the system's (a connect that got no
        # answer): it is told as any other failure, not as the call's limit.
        if isinstance(reason, TimeoutError) and self.timeout is not None:
            return QuillMaretError(
                f"no complete answer from the QuillMaret API at {url} within {self.timeout} s"
            )
        if isinstance(exc, urllib.error.URLError):
            return QuillMaretError(f"cannot reach the QuillMaret API at {url}: {reason}")
        return QuillMaretError(
            f"the exchange with the QuillMaret API at {url} failed: {type(exc).__name__}: {exc}"
        )
