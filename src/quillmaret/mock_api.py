"""A local mock of the QuillMaret data API, for trying and testing code that uses the SDK.

It serves GET /v1/data/{country}/{year}/q{quarter} on 127.0.0.1 (a free port)
from a thread, and answers as the real API does:

- 401 without a key or with an unknown key, 403 with a revoked one;
- 429 when a free-tier key has made 200 requests in the last 24 hours
  (a sliding window; requests refused with 429 do not count);
- 404 for a quarter that has not been computed (before FIRST_COMPUTED or after
  LATEST_COMPUTED);
- 400 for an unsupported country, or a path it does not serve (a malformed
  one, or a base_url without /v1): the message names the path;
- 503 while in maintenance (with a Retry-After of maintenance_retry_after
  seconds), or the status injected by fail_next() for each of the next
  requests it names;
- 200 with the quarter's data otherwise.

Errors are JSON objects {"error": code, "message": text, ...details}.

Run it to try the client by hand; it serves until Ctrl-C:

    python -m quillmaret.mock_api              # http://127.0.0.1:8765/v1
    python -m quillmaret.mock_api --port 0     # a free port; the first line names it

In a test, MockDataAPI serves from a thread of the test's own process:

    with MockDataAPI() as api:
        client = QuillMaretClient(PRO_KEY, base_url=api.base_url)
"""

from __future__ import annotations

import argparse
import collections
import http.server
import json
import math
import random
import re
import socket
import sys
import threading
import time
from typing import Any, Callable

FREE_KEY = "demo-free-key"
PRO_KEY = "demo-pro-key"
REVOKED_KEY = "demo-revoked-key"

# The port the mock serves on when run alone (the README's example uses it).
DEFAULT_PORT = 8765

FREE_TIER_LIMIT = 200
WINDOW_SECONDS = 24 * 60 * 60

COUNTRIES = ("BR", "DE", "FR", "IN", "JP", "US")
FIRST_COMPUTED = (2015, 1)
LATEST_COMPUTED = (2024, 2)

_ROUTE = re.compile(r"/v1/data/([A-Za-z]{2})/(\d{4})/q(\d)")

# (status, body, extra headers) of one answer.
Answer = tuple[int, dict[str, Any], dict[str, str]]


def _error(status: int, code: str, message: str, headers: dict[str, str] | None = None,
           **details: Any) -> Answer:
    return status, {"error": code, "message": message, **details}, headers or {}


def _retry_after_header(seconds: int | None) -> dict[str, str]:
    return {} if seconds is None else {"Retry-After": str(seconds)}


class MockDataAPI:
    """The mock API: request handling in handle(), HTTP serving in start()/stop().

    clock returns seconds; tests pass a fake one to move the rate-limit
    window without waiting a day.
    """

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        self.keys = {FREE_KEY: "free", PRO_KEY: "pro", REVOKED_KEY: "revoked"}
        self.maintenance = False
        # The Retry-After of a maintenance answer (header and payload), in seconds.
        self.maintenance_retry_after = 300
        self._clock = clock
        self._lock = threading.Lock()  # the server answers from several threads
        self._windows: dict[str, collections.deque[float]] = {}
        self._injected: list[tuple[int, int | None]] = []  # (status, Retry-After)
        self._server: http.server.ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    # -- serving ------------------------------------------------------------

    @property
    def base_url(self) -> str:
        if self._server is None:
            raise RuntimeError("the mock API is not running")
        host, port = self._server.server_address[:2]
        return f"http://{host!s}:{port}/v1"

    def start(self, port: int = 0) -> str:
        """Starts serving on this port of 127.0.0.1 (0: a free one); returns the base URL."""
        server = _Server(("127.0.0.1", port), _Handler)
        server.api = self  # type: ignore[attr-defined]
        self._server = server
        # A short poll interval keeps stop() quick.
        self._thread = threading.Thread(target=server.serve_forever, args=(0.05,),
                                        name="mock-api", daemon=True)
        self._thread.start()
        return self.base_url

    def stop(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            assert self._thread is not None
            self._thread.join()
            self._server = self._thread = None

    def __enter__(self) -> MockDataAPI:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # -- behaviour ----------------------------------------------------------

    def reset(self) -> None:
        """Forgets the requests counted, the maintenance mode and injected failures."""
        with self._lock:
            self._windows.clear()
            self._injected.clear()
            self.maintenance = False
            self.maintenance_retry_after = 300

    def fail_next(self, status: int = 500, times: int = 1, retry_after: int | None = None) -> None:
        """Makes the next `times` requests fail with an internal error of this status.

        retry_after: seconds the answers ask the client to wait, in their
        Retry-After header and their payload's "retry_after_seconds"; None
        leaves both out.  Failures injected by several calls come in the
        order of the calls.
        """
        with self._lock:
            self._injected.extend([(status, retry_after)] * times)

    def handle(self, path: str, authorization: str | None) -> Answer:
        """Answers one GET request."""
        with self._lock:
            if self._injected:
                status, retry_after = self._injected.pop(0)
                hint = {} if retry_after is None else {"retry_after_seconds": retry_after}
                return _error(status, "internal_error",
                              "The server hit an internal error; the incident has been logged.",
                              _retry_after_header(retry_after),
                              request_id=f"req-{random.getrandbits(32):08x}", **hint)
            if self.maintenance:
                retry_after = self.maintenance_retry_after
                return _error(503, "maintenance",
                              "The API is down for scheduled maintenance.",
                              _retry_after_header(retry_after), retry_after_seconds=retry_after)
            denied = self._authenticate(authorization)
            if denied is not None:
                return denied
            return self._serve(path)

    def _authenticate(self, authorization: str | None) -> Answer | None:
        """Checks the key and counts the request; None when it may proceed."""
        if not authorization:
            return _error(401, "missing_api_key", "An API key is required for this endpoint.")
        scheme, _, key = authorization.partition(" ")
        tier = self.keys.get(key) if scheme == "Bearer" else None
        if tier is None:
            return _error(401, "invalid_api_key", "The API key is not valid.")
        if tier == "revoked":
            return _error(403, "revoked_api_key", "This API key has been revoked.")
        if tier == "free":
            # Sliding window: the requests of the last WINDOW_SECONDS count.
            now = self._clock()
            window = self._windows.setdefault(key, collections.deque())
            while window and window[0] <= now - WINDOW_SECONDS:
                window.popleft()
            if len(window) >= FREE_TIER_LIMIT:
                retry = max(1, math.ceil(window[0] + WINDOW_SECONDS - now))
                return _error(429, "rate_limited",
                              f"Rate limit exceeded: {FREE_TIER_LIMIT} requests per 24 hours "
                              "on the free tier.",
                              {"Retry-After": str(retry)},
                              limit=FREE_TIER_LIMIT, window_seconds=WINDOW_SECONDS,
                              retry_after_seconds=retry)
            window.append(now)
        return None

    def _serve(self, path: str) -> Answer:
        match = _ROUTE.fullmatch(path)
        if match is None:
            if not path.startswith("/v1/data/"):
                # Most often a base_url without /v1, or with another version.
                return _error(400, "bad_request",
                              f"Unknown path {path}: the API serves /v1/data/...; check base_url.")
            return _error(400, "bad_request",
                          "Expected /v1/data/{country}/{year}/q{quarter} (a two-letter country, "
                          f"a four-digit year, quarter 1 to 4), not {path}.")
        country, year, quarter = match[1].upper(), int(match[2]), int(match[3])
        if not 1 <= quarter <= 4:
            return _error(400, "bad_request", f"Quarter {quarter} does not exist.")
        if country not in COUNTRIES:
            return _error(400, "unsupported_country", f"Country {country} is not covered.",
                          supported=list(COUNTRIES))
        if not FIRST_COMPUTED <= (year, quarter) <= LATEST_COMPUTED:
            return _error(404, "not_computed",
                          f"{country} {year} Q{quarter} has not been computed yet.",
                          country=country, year=year, quarter=quarter,
                          latest_available="%d-Q%d" % LATEST_COMPUTED)
        rng = random.Random(f"{country}/{year}/{quarter}")
        values = {
            "gdp_growth_pct": round(rng.uniform(-1.0, 2.0), 2),
            "inflation_pct": round(rng.uniform(0.0, 4.0), 2),
            "unemployment_pct": round(rng.uniform(3.0, 10.0), 1),
        }
        return 200, {"country": country, "year": year, "quarter": quarter, "values": values}, {}


class _Server(http.server.ThreadingHTTPServer):
    if sys.platform == "win32":
        # There SO_REUSEADDR, which the standard server sets, lets a socket
        # bind a port that another one listens on: bind exclusively instead,
        # so that a port in use is refused as it is elsewhere.
        allow_reuse_address = False

        def server_bind(self) -> None:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_EXCLUSIVEADDRUSE, 1)
            super().server_bind()


class _Handler(http.server.BaseHTTPRequestHandler):
    server_version = "QuillMaretMock/1.0"
    timeout = 10  # a stalled client cannot hold a server thread forever

    def do_GET(self) -> None:
        api: MockDataAPI = self.server.api  # type: ignore[attr-defined]
        status, body, headers = api.handle(self.path.split("?", 1)[0],
                                           self.headers.get("Authorization"))
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, format: str, *args: Any) -> None:
        pass  # keep the demo's output clean


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quillmaret.mock_api",
                                     description="Serves a mock of the QuillMaret data API "
                                                 "on 127.0.0.1 until Ctrl-C.")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT,
                        help=f"the port to serve on, 0 for a free one (default {DEFAULT_PORT})")
    options = parser.parse_args(argv)
    # The socket would refuse it with OverflowError, a traceback: say it in one line.
    if not 0 <= options.port <= 65535:
        print(f"mock_api: cannot serve on port {options.port}: a port is a number from 0 to 65535 "
              "(0: any free one)", file=sys.stderr)
        return 2
    api = MockDataAPI()
    try:
        api.start(options.port)
    except OSError as exc:
        print(f"mock_api: cannot serve on 127.0.0.1:{options.port}: {exc.strerror or exc}; "
              "try another --port", file=sys.stderr)
        return 1
    try:
        # Flushed at once: a script reading the URL from a pipe must not wait.
        print(f"mock QuillMaret API at {api.base_url}", flush=True)
        print(f"keys: {FREE_KEY} (free tier: {FREE_TIER_LIMIT} requests per 24 hours), "
              f"{PRO_KEY} (no limit), {REVOKED_KEY} (revoked: 403); any other or none: 401")
        print(f"data: {', '.join(COUNTRIES)}, {FIRST_COMPUTED[0]} Q{FIRST_COMPUTED[1]} to "
              f"{LATEST_COMPUTED[0]} Q{LATEST_COMPUTED[1]}; earlier and later quarters: 404; "
              "other countries: 400")
        print("Ctrl-C stops it.", flush=True)
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        api.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
