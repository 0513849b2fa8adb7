"""The demo client against the local mock API: HTTP status and body to SDK errors."""
import contextlib
import errno
import gc
import http.client
import json
import os
import re
import select
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.error
import urllib.request
import warnings

import pytest

from conftest import UNDER_WINE
from quillmaret import (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretError,
    QuillMaretNotComputedError,
    QuillMaretRateLimitError,
)
from quillmaret import __version__, mock_api
from quillmaret.client import DEFAULT_MAX_RETRIES, QuillMaretClient, error_for_response


class FakeClock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.fixture
def clock():
    return FakeClock()


# No test sleeps for real between attempts: the client's waits are recorded
# here instead, and move the clock its deadline reads as a real wait would.
# The random part of a wait is always half its range.
@pytest.fixture(autouse=True)
def waits(monkeypatch):
    waited = []
    real_monotonic = time.monotonic
    monkeypatch.setattr(time, "monotonic", lambda: real_monotonic() + sum(waited))
    monkeypatch.setattr(QuillMaretClient, "_sleep", staticmethod(waited.append))
    monkeypatch.setattr(QuillMaretClient, "_random", staticmethod(lambda: 0.5))
    return waited


# One server for the module: the same base URL in every test keeps the
# standard library's URL caches from growing when the leak hunt repeats tests.
@pytest.fixture(scope="module")
def server():
    with mock_api.MockDataAPI() as api:
        yield api


@pytest.fixture
def api(server):
    server.reset()
    yield server
    server.reset()


@pytest.fixture(scope="module")
def closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class LoopbackServer:
    """A server on 127.0.0.1 (or the loopback address given) that runs
    `script(server, connection)` for each connection, one at a time, from a
    thread.

    Scripts write raw bytes, so that they can break the protocol as they
    please; `read_head` reads a request's head and records it in `heads`.
    """

    def __init__(self, host="127.0.0.1"):
        ipv6 = ":" in host
        self.listener = socket.create_server((host, 0), family=socket.AF_INET6 if ipv6 else
                                             socket.AF_INET)
        self.listener.settimeout(0.05)  # how often the thread checks for stop()
        self.port = self.listener.getsockname()[1]
        self.url = f"http://{f'[{host}]' if ipv6 else host}:{self.port}"
        self.script = None
        self.heads = []
        self.finished = threading.Event()  # set when a script has ended
        self._idle = threading.Event()  # set while no script runs
        self._idle.set()
        self._conn = None
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._serve, name="loopback", daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except TimeoutError:
                continue
            with conn:
                script = self.script
                if script is None:
                    continue  # no test waits for it: closed unserved
                conn.settimeout(5)
                self._idle.clear()
                self._conn = conn
                try:
                    script(self, conn)
                except OSError:
                    pass  # the client hung up or gave up
                finally:
                    self._conn = None
                    self.finished.set()
                    self._idle.set()

    def read_head(self, conn):
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 65536:
            chunk = conn.recv(4096)
            if not chunk:
                break
            head += chunk
        self.heads.append(head)
        return head

    def reset(self):
        # What the last test left must not reach the next one: a script
        # still running (one that trickles its answer to a client that gave
        # up, say) is cut short, and connections not yet taken are closed
        # unserved, or they would get the next test's script.
        self.script = None
        conn = self._conn
        if conn is not None:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._idle.wait(10)
        while select.select([self.listener], [], [], 0)[0]:
            try:
                self.listener.accept()[0].close()
            except TimeoutError:  # the serving thread took it first
                pass
        self.heads.clear()
        self.finished.clear()

    def stop(self):
        self._stopping.set()
        self._thread.join(10)
        self.listener.close()


def answer(raw):
    """A script that reads the request and answers with `raw`."""
    def script(server, conn):
        server.read_head(conn)
        conn.sendall(raw)
    return script


def http_answer(status, body, *headers):
    lines = [f"HTTP/1.1 {status}".encode(), *headers,
             b"Content-Type: application/json", b"Content-Length: %d" % len(body)]
    return b"\r\n".join(lines) + b"\r\n\r\n" + body


# Module-scoped for the reason given above the `server` fixture.
@pytest.fixture(scope="module")
def loopback_servers():
    servers = LoopbackServer(), LoopbackServer()
    yield servers
    for server in servers:
        server.stop()


@pytest.fixture(scope="module")
def loopback_ipv6():
    try:
        server = LoopbackServer("::1")
    except OSError as exc:
        pytest.skip(f"no IPv6 loopback here: {exc}")
    yield server
    server.stop()


@pytest.fixture
def loopback(loopback_servers):
    for server in loopback_servers:
        server.reset()
    yield loopback_servers[0]
    for server in loopback_servers:
        server.reset()


@pytest.fixture
def other_origin(loopback, loopback_servers):
    """A second server: the same host on another port."""
    return loopback_servers[1]


class Spelt(int):
    """An int that writes itself otherwise: the client must use its value."""
    __str__ = __repr__ = __format__ = lambda self, *spec: "../elsewhere"


def client_for(api, key):
    return QuillMaretClient(key, base_url=api.base_url, timeout=10)


def bearer(key):
    return f"Bearer {key}"


class TestStatusMapping:
    INVALID_KEY = "The API key is not valid."
    CASES = [
        # (name, key, country, year, quarter, set-up, class, status, error code, message)
        ("missing key", None, "FR", 2024, 1, None, QuillMaretAuthError, 401, "missing_api_key",
         "An API key is required for this endpoint."),
        ("invalid key", "nope", "FR", 2024, 1, None, QuillMaretAuthError, 401, "invalid_api_key",
         INVALID_KEY),
        ("empty key", "", "FR", 2024, 1, None, QuillMaretAuthError, 401, "invalid_api_key",
         INVALID_KEY),
        ("revoked key", "demo-revoked-key", "FR", 2024, 1, None, QuillMaretAuthError, 403,
         "revoked_api_key", "This API key has been revoked."),
        ("not computed", mock_api.PRO_KEY, "FR", 2024, 3, None, QuillMaretNotComputedError, 404,
         "not_computed", "FR 2024 Q3 has not been computed yet."),
        ("before the first quarter", "demo-free-key", "JP", 2014, 4, None,
         QuillMaretNotComputedError, 404, "not_computed", "JP 2014 Q4 has not been computed yet."),
        ("unsupported country", mock_api.PRO_KEY, "ZZ", 2024, 1, None, QuillMaretAPIError, 400,
         "unsupported_country", "Country ZZ is not covered."),
        # Failing every attempt: a 500 is retried.
        ("internal error", mock_api.PRO_KEY, "FR", 2024, 1,
         lambda api: api.fail_next(500, times=1 + DEFAULT_MAX_RETRIES),
         QuillMaretAPIError, 500, "internal_error",
         "The server hit an internal error; the incident has been logged."),
        ("maintenance", mock_api.PRO_KEY, "FR", 2024, 1,
         lambda api: setattr(api, "maintenance", True), QuillMaretAPIError, 503, "maintenance",
         "The API is down for scheduled maintenance."),
    ]

    @pytest.mark.parametrize("name,key,country,year,quarter,setup,cls,status,code,message", CASES,
                             ids=[c[0] for c in CASES])
    def test_status_raises_its_class(self, api, name, key, country, year, quarter, setup, cls,
                                     status, code, message):
        if setup is not None:
            setup(api)
        with pytest.raises(QuillMaretAPIError) as info:
            client_for(api, key).get_quarter(country, year, quarter)
        err = info.value
        assert type(err) is cls
        assert err.status_code == status and err.payload["error"] == code
        assert "message" not in err.payload and err.message == message
        assert str(err) == f"[{status}] {err.message}"

    def test_message_and_payload_come_from_the_body(self, api):
        with pytest.raises(QuillMaretNotComputedError) as info:
            client_for(api, mock_api.PRO_KEY).get_quarter("br", 2025, 1)
        err = info.value
        assert err.message == "BR 2025 Q1 has not been computed yet."
        assert err.payload == {"error": "not_computed", "country": "BR", "year": 2025,
                               "quarter": 1, "latest_available": "2024-Q2"}
        assert err.args == ("[404] BR 2025 Q1 has not been computed yet.",)

    def test_success_returns_the_quarter(self, api):
        data = client_for(api, mock_api.PRO_KEY).get_quarter("fr", 2024, 2)
        assert data["country"] == "FR" and (data["year"], data["quarter"]) == (2024, 2)
        assert set(data["values"]) == {"gdp_growth_pct", "inflation_pct", "unemployment_pct"}
        assert mock_api.MockDataAPI().handle("/v1/data/fr/2024/q2", bearer(mock_api.PRO_KEY))[1] == data
        # A query string is no part of the path the mock serves.
        request = urllib.request.Request(api.base_url + "/data/FR/2024/q2?fields=all",
                                         headers={"Authorization": bearer(mock_api.PRO_KEY)})
        with urllib.request.urlopen(request, timeout=10) as answer:
            assert json.load(answer) == data
        # The first quarter computed, by a client without a deadline.
        client = QuillMaretClient(mock_api.PRO_KEY, base_url=api.base_url, timeout=None)
        assert client.get_quarter("JP", 2015, 1)["quarter"] == 1

    def test_injected_failure_hits_only_the_next_request(self, api):
        client = QuillMaretClient(mock_api.PRO_KEY, base_url=api.base_url, timeout=10,
                                  max_retries=0)
        api.fail_next(502)
        with pytest.raises(QuillMaretAPIError) as info:
            client.get_quarter("DE", 2020, 1)
        assert info.value.status_code == 502 and type(info.value) is QuillMaretAPIError
        assert client.get_quarter("DE", 2020, 1)["country"] == "DE"

    def test_invalid_quarter_is_refused_before_any_request(self):
        # The base URL is unreachable: a request would raise QuillMaretError.
        client = QuillMaretClient("k", base_url="http://127.0.0.1:9", timeout=1)
        for quarter in [0, 5, -1]:
            with pytest.raises(ValueError) as info:
                client.get_quarter("FR", 2024, quarter)
            assert str(info.value) == f"quarter must be 1 to 4, not {quarter}"

    TWO_LETTERS = "country must be a two-letter code such as 'FR', not %r"
    ARGUMENT_MISTAKES = [
        # (country, year, quarter, exception, message)
        ("FR", 2024, 2.0, TypeError, "quarter must be an int, not float"),
        ("FR", 2024, "2", TypeError, "quarter must be an int, not str"),
        ("FR", 2024, True, TypeError, "quarter must be an int, not bool"),
        ("FR", "2024", 1, TypeError, "year must be an int, not str"),
        ("FR", 2024.0, 1, TypeError, "year must be an int, not float"),
        ("FR", True, 1, TypeError, "year must be an int, not bool"),
        (None, 2024, 1, TypeError, "country must be a str, not NoneType"),
        (b"FR", 2024, 1, TypeError, "country must be a str, not bytes"),
        ("FRA", 2024, 1, ValueError, TWO_LETTERS % "FRA"),
        ("F", 2024, 1, ValueError, TWO_LETTERS % "F"),
        ("F/", 2024, 1, ValueError, TWO_LETTERS % "F/"),
        ("F1", 2024, 1, ValueError, TWO_LETTERS % "F1"),
        ("\u00c9S", 2024, 1, ValueError, TWO_LETTERS % "\u00c9S"),
        # Its own id: pytest cannot write the year out either. The limit is
        # the one in force (see below), not the default 4300.
        pytest.param("FR", 10**5000, 1, ValueError,
                     "year must have at most 5000 digits, not an int of 16610 bits",
                     id="year of 5001 digits"),
    ]

    @pytest.mark.parametrize("country,year,quarter,exc,message", ARGUMENT_MISTAKES)
    def test_argument_mistakes_are_refused_before_any_request(self, country, year, quarter, exc,
                                                              message):
        client = QuillMaretClient("k", base_url="http://127.0.0.1:9", timeout=1)
        limit = sys.get_int_max_str_digits()
        sys.set_int_max_str_digits(5000)
        try:
            with pytest.raises(exc) as info:
                client.get_quarter(country, year, quarter)
            assert str(info.value) == message
        finally:
            sys.set_int_max_str_digits(limit)

    MUST_BE_URL = "base_url must be an http or https URL with a host, not %r"
    NO_QUERY = "base_url must not have a query or a fragment: %r"
    NO_CONTROLS = "base_url must not contain spaces or control characters: %r"
    TIMEOUT_RANGE = "timeout must be a positive number of seconds up to 2147483, or None, not "
    CONSTRUCTOR_MISTAKES = [
        # (argument, value, exception, message; %r stands for the value)
        ("api_key", 7, TypeError, "api_key must be a str or None, not int"),
        ("api_key", "k\r\nX-Injected: 1", ValueError,
         "api_key must consist of printable ASCII characters"),
        ("api_key", "cl\u00e9", ValueError, "api_key must consist of printable ASCII characters"),
        ("base_url", b"https://api.quillmaret.example/v1", TypeError,
         "base_url must be a str, not bytes"),
        ("base_url", "api.quillmaret.example/v1", ValueError, MUST_BE_URL),
        ("base_url", "file:///etc", ValueError, MUST_BE_URL),
        ("base_url", "http:///v1", ValueError, MUST_BE_URL),
        # Every request would go to the base path, or fail InvalidURL.
        ("base_url", "https://api.quillmaret.example/v1?key=1", ValueError, NO_QUERY),
        ("base_url", "https://api.quillmaret.example/v1?", ValueError, NO_QUERY),
        ("base_url", "https://api.quillmaret.example/v1#top", ValueError, NO_QUERY),
        ("base_url", "https://api.quillmaret.example/v\t1", ValueError, NO_CONTROLS),
        ("base_url", "https://api.quillmaret.example/v1\r\n", ValueError, NO_CONTROLS),
        ("base_url", "https://api.quillmaret.example/v1\n", ValueError, NO_CONTROLS),
        ("base_url", "https://api.quillmaret.example/v 1", ValueError, NO_CONTROLS),
        ("base_url", "https://api.quillmaret.example/v1\x7f", ValueError, NO_CONTROLS),
        ("base_url", "http://x:99999/v1", ValueError,
         "base_url's port must be a number from 1 to 65535, not '99999' (in %r)"),
        ("base_url", "http://x:0/v1", ValueError,
         "base_url's port must be a number from 1 to 65535, not '0' (in %r)"),
        ("timeout", "5", TypeError, "timeout must be a number or None, not str"),
        ("timeout", True, TypeError, "timeout must be a number or None, not bool"),
        ("timeout", 0, ValueError, TIMEOUT_RANGE + "0"),
        ("timeout", float("nan"), ValueError, TIMEOUT_RANGE + "nan"),
        ("timeout", float("inf"), ValueError, TIMEOUT_RANGE + "inf"),
        # Past what a socket wait keeps (2**31 - 1 ms), or takes at all.
        ("timeout", 2147484, ValueError, TIMEOUT_RANGE + "2147484"),
        ("timeout", 2147483.5, ValueError, TIMEOUT_RANGE + "2147483.5"),
        ("timeout", 1e10, ValueError, TIMEOUT_RANGE + "10000000000.0"),
        ("timeout", float(sys.maxsize), ValueError, TIMEOUT_RANGE + repr(float(sys.maxsize))),
        ("timeout", 10**400, ValueError, TIMEOUT_RANGE + "1" + "0" * 400),
        ("max_response_bytes", 1.5, TypeError, "max_response_bytes must be an int, not float"),
        ("max_response_bytes", 0, ValueError, "max_response_bytes must be positive, not 0"),
        ("max_retries", True, TypeError, "max_retries must be an int, not bool"),
        ("max_retries", 2.0, TypeError, "max_retries must be an int, not float"),
        ("max_retries", -1, ValueError, "max_retries must be 0 or more, not -1"),
    ]

    def test_constructor_refuses_mistaken_arguments(self):
        for name, value, exc, message in self.CONSTRUCTOR_MISTAKES:
            with pytest.raises(exc) as info:
                QuillMaretClient(**{"api_key": "k", name: value})
            assert str(info.value) == (message % (value,) if "%r" in message else message)
        # None stays a valid key (public endpoints) and timeout (no deadline).
        QuillMaretClient(None, timeout=None)
        QuillMaretClient(None, timeout=2147483, max_response_bytes=1, max_retries=0)
        # The defaults the class documents.
        client = QuillMaretClient(None)
        assert (client.base_url, client.timeout, client.max_response_bytes, client.max_retries) \
            == ("https://api.quillmaret.example/v1", 10.0, 10 * 1024 * 1024, 2)

    @pytest.mark.parametrize("error,timeout", [(None, 5), (errno.ETIMEDOUT, None)],
                             ids=["refused", "timed out by the system"])
    def test_unreachable_api_raises_the_base_error(self, closed_port, waits, monkeypatch, error,
                                                   timeout):
        # Nothing listens on the port any more: the connection is refused.
        # Or the system gives up on it, in a call without a deadline.
        if error is not None:
            def connect(sock, address):
                raise OSError(error, os.strerror(error))
            monkeypatch.setattr(socket.socket, "connect", connect)
        client = QuillMaretClient("k", base_url=f"http://127.0.0.1:{closed_port}/v1",
                                  timeout=timeout)
        with nothing_left_unclosed():
            with pytest.raises(QuillMaretError) as info:
                client.get_quarter("FR", 2024, 1)
            assert not isinstance(info.value, QuillMaretAPIError)
            assert str(info.value) == (f"cannot reach the QuillMaret API at http://127.0.0.1:"
                                       f"{closed_port}/v1/data/FR/2024/q1: "
                                       f"{info.value.__cause__.reason}")
            assert isinstance(info.value.__cause__, urllib.error.URLError)
            del info
        assert waits == [0.25, 0.5]  # a connection that failed is retried

    def test_key_is_kept_out_of_the_repr(self):
        text = repr(QuillMaretClient("s3cret", "https://h.example/v1"))
        assert text == "QuillMaretClient(api_key='***', base_url='https://h.example/v1')"
        assert repr(QuillMaretClient(None)).startswith("QuillMaretClient(api_key=None,")


class TestRateLimit:
    # The free tier as documented: 200 requests in any 24 hours.
    KEY = "demo-free-key"
    LIMIT = 200
    WINDOW = 24 * 60 * 60

    def test_request_after_200_is_refused_over_http(self, api):
        client = client_for(api, self.KEY)
        start = time.monotonic()
        for _ in range(self.LIMIT):
            client.get_quarter("US", 2023, 1)
        with pytest.raises(QuillMaretRateLimitError) as info:
            client.get_quarter("US", 2023, 1)
        err = info.value
        assert err.status_code == 429
        assert err.message == "Rate limit exceeded: 200 requests per 24 hours on the free tier."
        payload = dict(err.payload)
        # The window opened with the first request: the wait is a day less
        # the seconds (rounded up) that the requests took.
        retry = payload.pop("retry_after_seconds")
        assert self.WINDOW - (time.monotonic() - start) - 1 <= retry <= self.WINDOW
        assert payload == {"error": "rate_limited", "limit": self.LIMIT,
                           "window_seconds": self.WINDOW}
        # Other keys have windows of their own; the pro tier has no limit.
        client_for(api, mock_api.PRO_KEY).get_quarter("US", 2023, 1)
        api.reset()  # forgets the requests counted
        client.get_quarter("US", 2023, 1)

    def answer(self, api, key=None):
        return api.handle("/v1/data/FR/2020/q1", bearer(key or self.KEY))[0]

    def test_window_slides(self, clock):
        api = mock_api.MockDataAPI(clock=clock)
        # 100 requests at t, 100 at t + 12h: the window is full.
        for _ in range(100):
            assert self.answer(api) == 200
        clock.now += self.WINDOW / 2
        for _ in range(100):
            assert self.answer(api) == 200
        assert self.answer(api) == 429
        # 1.5 s before the first hundred leave the window: still full, and
        # the retry hint says when room appears, in whole seconds rounded up.
        clock.now += self.WINDOW / 2 - 1.5
        status, body, headers = api.handle("/v1/data/FR/2020/q1", bearer(self.KEY))
        assert status == 429 and body["retry_after_seconds"] == 2 == int(headers["Retry-After"])
        clock.now += 1.0
        assert api.handle("/v1/data/FR/2020/q1", bearer(self.KEY))[1]["retry_after_seconds"] == 1
        # Once they have left, exactly 100 requests fit again.
        clock.now += 0.5
        for _ in range(100):
            assert self.answer(api) == 200
        assert self.answer(api) == 429

    def test_refused_requests_do_not_count(self, clock):
        api = mock_api.MockDataAPI(clock=clock)
        for _ in range(self.LIMIT):
            self.answer(api)
            clock.now += 1
        # Room appears when the oldest request leaves the window.
        status, body, _ = api.handle("/v1/data/FR/2020/q1", bearer(self.KEY))
        assert (status, body["retry_after_seconds"]) == (429, self.WINDOW - self.LIMIT)
        for _ in range(50):
            assert self.answer(api) == 429
        clock.now += self.WINDOW
        for _ in range(self.LIMIT):
            assert self.answer(api) == 200

    def test_pro_key_is_not_limited(self, clock):
        api = mock_api.MockDataAPI(clock=clock)
        assert {self.answer(api, mock_api.PRO_KEY) for _ in range(self.LIMIT * 2)} == {200}


class TestMockAPI:
    INTERNAL = {"error": "internal_error",
                "message": "The server hit an internal error; the incident has been logged."}
    MAINTENANCE = {"error": "maintenance", "message": "The API is down for scheduled maintenance."}
    PATHS = [
        # (path, the 400's message)
        ("/data/FR/2024/q1",  # a base_url without /v1
         "Unknown path /data/FR/2024/q1: the API serves /v1/data/...; check base_url."),
        ("/v2/data/FR/2024/q1",
         "Unknown path /v2/data/FR/2024/q1: the API serves /v1/data/...; check base_url."),
        ("/v1/dataset/FR/2024/q1",
         "Unknown path /v1/dataset/FR/2024/q1: the API serves /v1/data/...; check base_url."),
        ("/v1/data/FR/12345/q1",
         "Expected /v1/data/{country}/{year}/q{quarter} (a two-letter country, a four-digit "
         "year, quarter 1 to 4), not /v1/data/FR/12345/q1."),
        ("/v1/data/FR/2024/q1/",
         "Expected /v1/data/{country}/{year}/q{quarter} (a two-letter country, a four-digit "
         "year, quarter 1 to 4), not /v1/data/FR/2024/q1/."),
        ("/v1/data/FR/2024/q0", "Quarter 0 does not exist."),
        ("/v1/data/FR/2024/q5", "Quarter 5 does not exist."),
    ]

    @pytest.mark.parametrize("path,message", PATHS, ids=[p[0] for p in PATHS])
    def test_bad_path_is_named(self, path, message):
        status, body, _ = mock_api.MockDataAPI().handle(path, bearer(mock_api.PRO_KEY))
        assert (status, body) == (400, {"error": "bad_request", "message": message})

    @pytest.mark.parametrize("setup,status,body", [
        (None, 400, {"error": "unsupported_country", "message": "Country GB is not covered.",
                     "supported": ["BR", "DE", "FR", "IN", "JP", "US"]}),
        (lambda api: setattr(api, "maintenance", True), 503,
         {**MAINTENANCE, "retry_after_seconds": 300}),
    ], ids=["unsupported country", "maintenance"])
    def test_fresh_mock_answers(self, setup, status, body):
        api = mock_api.MockDataAPI()
        if setup is not None:
            setup(api)
        assert api.handle("/v1/data/gb/2024/q1", bearer("demo-pro-key"))[:2] == (status, body)

    ON_DEMAND = [
        # (name, set-up, status, the body but its request_id, headers)
        ("fail_next", lambda api: api.fail_next(), 500, INTERNAL, {}),
        ("fail_next with a wait", lambda api: api.fail_next(429, retry_after=0), 429,
         {**INTERNAL, "retry_after_seconds": 0}, {"Retry-After": "0"}),
        ("maintenance", lambda api: setattr(api, "maintenance", True), 503,
         {**MAINTENANCE, "retry_after_seconds": 300}, {"Retry-After": "300"}),
        ("maintenance after a reset",
         lambda api: (api.fail_next(), setattr(api, "maintenance_retry_after", 5), api.reset(),
                      setattr(api, "maintenance", True)), 503,
         {**MAINTENANCE, "retry_after_seconds": 300}, {"Retry-After": "300"}),
    ]

    @pytest.mark.parametrize("name,setup,status,details,headers", ON_DEMAND,
                             ids=[o[0] for o in ON_DEMAND])
    def test_failure_on_demand(self, api, name, setup, status, details, headers):
        setup(api)
        request = urllib.request.Request(api.base_url + "/data/FR/2024/q1",
                                         headers={"Authorization": bearer(mock_api.PRO_KEY)})
        with pytest.raises(urllib.error.HTTPError) as info:
            urllib.request.urlopen(request, timeout=10)
        with info.value as answer:
            raw = answer.read()
            assert int(answer.headers["Content-Length"]) == len(raw)
            assert answer.headers["Server"].startswith("QuillMaretMock/1.0 ")
            body = json.loads(raw)
            # An injected failure has an id of its own, as a log would.
            request_id = body.pop("request_id", None)
            assert (answer.status, body) == (status, details)
            assert (request_id is not None) == (body["error"] == "internal_error")
            assert request_id is None or re.fullmatch("req-[0-9a-f]{8}", request_id), request_id
            assert answer.headers["Content-Type"] == "application/json"
            assert answer.headers["Retry-After"] == headers.get("Retry-After")

    @pytest.mark.parametrize("authorization", ["Token demo-pro-key", "demo-pro-key"])
    def test_key_needs_the_bearer_scheme(self, authorization):
        status, body, _ = mock_api.MockDataAPI().handle("/v1/data/FR/2024/q1", authorization)
        assert (status, body["error"]) == (401, "invalid_api_key")

    def test_leaving_the_block_stops_it_and_closes_its_socket(self):
        never_started = mock_api.MockDataAPI()
        never_started.stop()  # does nothing
        with pytest.raises(RuntimeError, match="^the mock API is not running$"):
            never_started.base_url
        with nothing_left_unclosed():
            with mock_api.MockDataAPI() as api:
                pass
            with pytest.raises(RuntimeError, match="^the mock API is not running$"):
                api.base_url
            assert api.start() == api.base_url  # it starts again
            api.stop()
            del api

    @pytest.mark.skipif(sys.platform != "win32", reason="the exclusive bind is Windows' own option")
    def test_port_is_bound_exclusively_on_windows(self, server):
        # SO_REUSEADDR would let another socket bind the port the mock listens on.
        sock = server._server.socket
        assert sock.getsockopt(socket.SOL_SOCKET, socket.SO_EXCLUSIVEADDRUSE) == 1
        assert sock.getsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR) == 0


class TestErrorForResponse:
    # Pure functions of their input: tables looped in one test each keep the
    # leak hunt's repeats few.
    CLASSES = [
        (401, QuillMaretAuthError), (403, QuillMaretAuthError), (404, QuillMaretNotComputedError),
        (429, QuillMaretRateLimitError), (400, QuillMaretAPIError), (418, QuillMaretAPIError),
        (500, QuillMaretAPIError), (503, QuillMaretAPIError),
    ]

    def test_class_by_status(self):
        body = json.dumps({"message": "m", "error": "e", "details": {"a": [1]}}).encode()
        for status, cls in self.CLASSES:
            err = error_for_response(status, "Reason", body)
            assert type(err) is cls, status
            assert (err.status_code, err.message, err.payload) == (
                status, "m", {"error": "e", "details": {"a": [1]}})

    def test_body_that_is_no_json_object_keeps_the_reason(self):
        for body in [b"<html>502 Bad Gateway</html>", b"", b"\xff\xfe", b"[1, 2]", b'"text"',
                     b"null", b"[" * 100000 + b"]" * 100000]:
            err = error_for_response(502, "Bad Gateway", body)
            assert (err.status_code, err.message, err.payload) == (502, "Bad Gateway", {}), body
        # A 404 without the API's body, the URL not given.
        assert error_for_response(404, "", b"").message.startswith("the URL requested was not found")

    def test_message_falls_back_to_the_reason(self):
        for document, message, payload in [
            ({"error": "x"}, "Too Many Requests", {"error": "x"}),
            ({"message": 7, "error": "x"}, "Too Many Requests", {"error": "x"}),
            ({"message": "", "n": None}, "Too Many Requests", {"n": None}),
            ({"message": "caf\u00e9 \U0001f600"}, "caf\u00e9 \U0001f600", {}),
        ]:
            err = error_for_response(429, "Too Many Requests", json.dumps(document).encode())
            assert type(err) is QuillMaretRateLimitError
            assert (err.message, err.payload) == (message, payload), document

    def test_empty_reason_names_the_status(self):
        for body in [b"", b'{"error": "x"}']:
            assert error_for_response(599, "", body).message == "HTTP status 599", body


def reset_mid_body(status):
    """Sends part of a body, then resets the connection."""
    def script(server, conn):
        server.read_head(conn)
        conn.sendall(b"HTTP/1.1 %s\r\nContent-Length: 100000\r\n\r\n[1," % status)
        time.sleep(0.1)  # lets the client read the head
        # struct linger {on, 0 s}: closing then resets. Two ints; two u_shorts on Windows.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                        struct.pack("HH" if sys.platform == "win32" else "ii", 1, 0))
    return script


def trickle(first, then, *, http=True):
    """Sends `first`, then one byte of `then` every 50 ms."""
    def script(server, conn):
        if http:
            server.read_head(conn)
        else:
            conn.recv(4096)  # the TLS client hello
        conn.sendall(first)
        for i in range(len(then)):
            time.sleep(0.05)
            conn.sendall(then[i:i + 1])
    return script


def endless_body(status, declare_length, header=b""):
    """Answers with a body of 64 MiB, declared or ended by closing; records
    in `server.sent_all` whether all of it left."""
    size, block = 64 << 20, b"x" * (1 << 20)
    def script(server, conn):
        server.sent_all = False
        server.read_head(conn)
        length = b"Content-Length: %d\r\n" % size if declare_length else b""
        conn.sendall(b"HTTP/1.1 %s\r\n%s%s\r\n" % (status, header, length))
        for _ in range(size // len(block)):
            conn.sendall(block)
        server.sent_all = True
    return script


def redirect(next_path, then=None, status=b"302 Found"):
    """Redirects every request to `next_path(its path)` on the same server;
    with `then`, answers a request for /elsewhere with it instead."""
    def script(server, conn):
        path = server.read_head(conn).split(b" ")[1]
        if then is not None and path == b"/elsewhere":
            conn.sendall(then)
            return
        conn.sendall(b"HTTP/1.1 %s\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n"
                     % (status, next_path(path)))
    return script


@contextlib.contextmanager
def nothing_left_unclosed():
    """Fails when what the block dropped, once collected, was left unclosed:
    its ResourceWarning, turned into an error, reaches sys.unraisablehook.
    What earlier tests left is collected first, and not counted."""
    gc.collect()
    unraisable = []
    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", ResourceWarning)
            yield
            gc.collect()
    finally:
        sys.unraisablehook = hook
    assert not unraisable, [str(u.exc_value) for u in unraisable]


class TestExchange:
    """The client against loopback servers that misbehave."""

    REDIRECTS = [
        # (name, Location, who answers the redirected request, keeps the key)
        ("same origin, relative", "/v1/elsewhere", "api", True),
        ("same origin, absolute", "http://127.0.0.1:{api}/v1/elsewhere", "api", True),
        ("another port", "http://127.0.0.1:{other}/elsewhere", "other", False),
        ("another host name", "http://localhost:{api}/v1/elsewhere", "api", False),
    ]

    @pytest.mark.parametrize("name,location,target,keeps_key", REDIRECTS,
                             ids=[r[0] for r in REDIRECTS])
    def test_key_never_follows_a_redirect_to_another_origin(self, loopback, other_origin, name,
                                                           location, target, keeps_key):
        location = location.format(api=loopback.port, other=other_origin.port).encode()

        def api(server, conn):
            head = server.read_head(conn)
            if head.startswith(b"GET /v1/data/"):
                conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n"
                             % location)
            else:
                conn.sendall(http_answer("200 OK", b'{"moved": true}'))

        loopback.script = api
        other_origin.script = answer(http_answer("200 OK", b'{"moved": true}'))
        client = QuillMaretClient("s3cret", base_url=loopback.url + "/v1/", timeout=5)
        assert client.get_quarter("fr", Spelt(2024), 1) == {"moved": True}
        followed = (loopback if target == "api" else other_origin).heads[-1]
        # The country upper-cased, the year as its int value, base_url's
        # trailing slash not doubled.
        assert loopback.heads[0].startswith(b"GET /v1/data/FR/2024/q1 HTTP/1.1\r\n")
        assert b"Authorization: Bearer s3cret" in loopback.heads[0]
        assert (b"s3cret" in followed) is keeps_key, followed

    def test_key_follows_a_redirect_to_the_explicit_default_port(self, loopback, monkeypatch):
        # http://host/ and http://host:80/ are one origin.  Port 80 is reached
        # through a proxy: the loopback server, which sees the full URLs.
        monkeypatch.setenv("http_proxy", loopback.url)
        for name in ("no_proxy", "NO_PROXY"):
            monkeypatch.delenv(name, raising=False)

        def api(server, conn):
            head = server.read_head(conn)
            if head.startswith(b"GET http://api.quillmaret.example/v1/data/"):
                conn.sendall(b"HTTP/1.1 302 Found\r\nLocation: http://api.quillmaret.example:80"
                             b"/v1/elsewhere\r\nContent-Length: 0\r\n\r\n")
            else:
                conn.sendall(http_answer("200 OK", b'{"moved": true}'))

        loopback.script = api
        client = QuillMaretClient("s3cret", base_url="http://api.quillmaret.example/v1", timeout=5)
        assert client.get_quarter("FR", 2024, 1) == {"moved": True}
        followed = loopback.heads[1]
        assert followed.startswith(b"GET http://api.quillmaret.example:80/v1/elsewhere "), followed
        assert b"Authorization: Bearer s3cret" in followed, followed

    def test_redirect_body_is_dropped_unread(self, loopback, other_origin):
        location = b"Location: %s/elsewhere\r\n" % other_origin.url.encode()
        loopback.script = endless_body(b"302 Found", True, location)
        other_origin.script = answer(http_answer("200 OK", b'{"moved": true}'))
        client = QuillMaretClient("k", base_url=loopback.url + "/v1", timeout=10)
        assert client.get_quarter("FR", 2024, 1) == {"moved": True}
        # The client hung up on the redirect: the server could not send it all.
        assert loopback.finished.wait(10)
        assert not loopback.sent_all

    # The cause's class as raised: newer interpreters raise UnicodeEncodeError where
    # 3.12 raised UnicodeError.
    FAILED = "the exchange with the QuillMaret API at {url} failed: {kind}: {cause}"
    NOT_JSON = "the QuillMaret API answered {url} with something other than a JSON object"
    LOOP = "the QuillMaret API at {url} redirected in a loop or more than 10 times"
    FAILURES = [
        # (name, script, error class, cause, message: None where it varies)
        ("malformed status line", answer(b"HTTQ/9 nonsense\r\n\r\n"), QuillMaretError,
         http.client.BadStatusLine, FAILED),
        # What arrives is a JSON object: only the length tells it is cut short.
        ("body shorter than its length",
         answer(b"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{}"),
         QuillMaretError, http.client.IncompleteRead,
         "the exchange with the QuillMaret API at {url} failed: IncompleteRead: "
         "IncompleteRead(2 bytes read, 48 more expected)"),
        ("error body shorter than its length",
         answer(b"HTTP/1.1 429 Too Many\r\nContent-Length: 50\r\n\r\n{}"),
         QuillMaretRateLimitError, http.client.IncompleteRead, "[429] Too Many"),
        ("header line over 64 KiB",
         answer(b"HTTP/1.1 200 OK\r\nX-Big: " + b"a" * 70000 + b"\r\n\r\n{}"),
         QuillMaretError, http.client.LineTooLong, FAILED),
        ("more than 100 header lines",
         answer(b"HTTP/1.1 200 OK\r\n" + b"X-N: 1\r\n" * 101 + b"Content-Length: 2\r\n\r\n{}"),
         QuillMaretError, http.client.HTTPException, FAILED),
        ("body that is no JSON", answer(http_answer("200 OK", b"<html></html>")), QuillMaretError,
         json.JSONDecodeError, NOT_JSON),
        ("JSON that is no object", answer(http_answer("200 OK", b"[1, 2]")), QuillMaretError,
         type(None), NOT_JSON),
        ("JSON nested too deeply",
         answer(http_answer("200 OK", b"[" * 100000 + b"]" * 100000)), QuillMaretError,
         RecursionError, NOT_JSON),
        # Whether the reset comes before or after the head was read, the
        # error is an SDK error.
        ("connection reset mid-body of an error", reset_mid_body(b"500 Oops"), QuillMaretError,
         ConnectionResetError, None),
        # urllib has no handler for ftp here, and refuses other schemes.
        ("redirect to another scheme", redirect(lambda path: b"ftp://127.0.0.1/x"), QuillMaretError,
         urllib.error.URLError, "cannot reach the QuillMaret API at {url}: {reason}"),
        # urllib gives up after 4 visits of one URL, or 10 redirects.
        ("redirect loop", redirect(lambda path: path), QuillMaretError, urllib.error.HTTPError,
         LOOP),
        ("308 redirect loop", redirect(lambda path: path, status=b"308 Permanent Redirect"),
         QuillMaretError, urllib.error.HTTPError, LOOP),
        ("eleven redirects", redirect(lambda path: b"/next" + path), QuillMaretError,
         urllib.error.HTTPError, LOOP),
        # A label over 63 bytes: the IDNA codec refuses the name.
        ("redirect to a host name that cannot be encoded",
         redirect(lambda path: b"http://" + b"a" * 64 + b".example/"), QuillMaretError,
         UnicodeError, FAILED),
        # Mapped as without the redirect (the API error has no cause).
        ("redirect to the API's 404",
         redirect(lambda path: b"/elsewhere",
                  http_answer("404 Not Found", b'{"error": "e", "message": "m"}')),
         QuillMaretNotComputedError, type(None), "[404] m"),
    ]

    @pytest.mark.parametrize("name,script,cls,cause,message", FAILURES,
                             ids=[f[0] for f in FAILURES])
    def test_failed_exchange_raises_an_sdk_error(self, loopback, name, script, cls, cause,
                                                 message):
        if cause is ConnectionResetError and UNDER_WINE:
            pytest.skip("Wine closes a socket that lingers 0 s with a FIN, not a reset as Windows does")
        loopback.script = script
        client = QuillMaretClient("k", base_url=loopback.url + "/v1", timeout=5)
        with nothing_left_unclosed():
            with pytest.raises(cls) as info:
                client.get_quarter("FR", 2024, 1)
            error = info.value
            assert isinstance(error.__cause__, cause)
            if message is not None:
                assert str(error) == message.format(url=loopback.url + "/v1/data/FR/2024/q1",
                                                    cause=error.__cause__,
                                                    kind=type(error.__cause__).__name__,
                                                    reason=getattr(error.__cause__, "reason", None))
            del info, error

    NOT_THE_API = [
        # (name, Content-Type, body) of a 404 from something other than the API
        ("web page", b"text/html", b"<html><h1>404 Not Found</h1></html>"),
        ("empty", b"text/plain", b""),
        ("another JSON error", b"application/json", b'{"detail": "Not Found"}'),
        ("the API's error code without a message", b"application/json", b'{"error": "x"}'),
        ("a message that is no string", b"application/json", b'{"error": "x", "message": 7}'),
        ("an error code that is no string", b"application/json", b'{"error": 5, "message": "m"}'),
    ]

    @pytest.mark.parametrize("name,kind,body", NOT_THE_API, ids=[n[0] for n in NOT_THE_API])
    def test_404_without_the_api_error_body_is_not_not_computed(self, loopback, name, kind, body):
        # A wrong base_url, or a proxy that answers 404: "not computed yet"
        # would be a lie, the URL is what was not found.
        loopback.script = answer(b"HTTP/1.1 404 Not Found\r\nContent-Type: %s\r\n"
                                 b"Content-Length: %d\r\n\r\n%s" % (kind, len(body), body))
        client = QuillMaretClient("k", base_url=loopback.url + "/v1", timeout=5)
        with pytest.raises(QuillMaretAPIError) as info:
            client.get_quarter("FR", 2024, 1)
        err = info.value
        assert type(err) is QuillMaretAPIError
        assert (err.status_code, err.payload) == (404, {})
        assert err.message == (f"{loopback.url}/v1/data/FR/2024/q1 was not found (HTTP 404 without "
                               "the QuillMaret API's error body); check that base_url is the API's "
                               "root URL")

    TIMEOUT = 0.3
    # Each slow server below takes 5 s: a deadline per read (each byte comes
    # within it) would wait for all of that. Half of it bounds a call whose
    # deadline holds, with room for a loaded machine.
    SLOW_BOUND = 2.5
    SLOW = [
        # (name, script, scheme)
        ("headers", trickle(b"HTTP/1.1 200 OK\r\n", b"X-Slow: " + b"a" * 100), "http"),
        ("body", trickle(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", b" " * 100), "http"),
        # A TLS record header announcing 16 KiB, then the record byte by byte.
        ("TLS handshake", trickle(b"\x16\x03\x03\x40\x00", b"\x00" * 100, http=False), "https"),
    ]

    @pytest.mark.parametrize("name,script,scheme", SLOW, ids=[s[0] for s in SLOW])
    def test_timeout_bounds_the_whole_call(self, loopback, name, script, scheme):
        loopback.script = script
        client = QuillMaretClient("k", base_url=f"{scheme}://127.0.0.1:{loopback.port}/v1",
                                  timeout=self.TIMEOUT)
        start = time.monotonic()
        with pytest.raises(QuillMaretError) as info:
            client.get_quarter("FR", 2024, 1)
        elapsed = time.monotonic() - start
        assert elapsed < self.SLOW_BOUND, elapsed
        assert str(info.value) == (f"no complete answer from the QuillMaret API at {scheme}://"
                                   f"127.0.0.1:{loopback.port}/v1/data/FR/2024/q1 within 0.3 s")

    def test_connect_that_stalls_is_bounded(self, monkeypatch):
        # As to an address that drops the connection requests: connect waits
        # as long as its socket allows.
        def stalled_connect(sock, address):
            time.sleep(min(sock.gettimeout() or 5, 5))
            raise TimeoutError("timed out")

        monkeypatch.setattr(socket.socket, "connect", stalled_connect)
        client = QuillMaretClient("k", base_url="http://127.0.0.1:9/v1", timeout=self.TIMEOUT)
        start = time.perf_counter()
        with pytest.raises(QuillMaretError, match="within 0.3 s"):
            client.get_quarter("FR", 2024, 1)
        assert time.perf_counter() - start < self.SLOW_BOUND

    @pytest.mark.parametrize("taken,script,scheme", [
        # The stalled handshake must give up 0.2 s later, not 10.
        (9.8, SLOW[2][1], "https"),
        # Nothing is left: no request is sent, no answer awaited.
        (10.5, answer(http_answer("200 OK", b"{}")), "http"),
    ], ids=["TLS handshake stalls", "connect overran"])
    def test_what_follows_a_slow_connect_gets_only_the_time_left(self, loopback, monkeypatch,
                                                                taken, script, scheme):
        # The connect takes `taken` of the call's 10 s on the clock the
        # deadline reads.
        skew = 0.0
        real_monotonic, real_connect = time.monotonic, socket.socket.connect

        def slow_connect(sock, address):
            nonlocal skew
            real_connect(sock, address)
            skew = taken

        monkeypatch.setattr(time, "monotonic", lambda: real_monotonic() + skew)
        monkeypatch.setattr(socket.socket, "connect", slow_connect)
        loopback.script = script
        client = QuillMaretClient("k", base_url=f"{scheme}://127.0.0.1:{loopback.port}/v1",
                                  timeout=10)
        start = time.perf_counter()
        with pytest.raises(QuillMaretError) as info:
            client.get_quarter("FR", 2024, 1)
        elapsed = time.perf_counter() - start
        assert elapsed < self.SLOW_BOUND, elapsed
        assert str(info.value) == (f"no complete answer from the QuillMaret API at {scheme}://"
                                   f"127.0.0.1:{loopback.port}/v1/data/FR/2024/q1 within 10 s")
        if taken > 10:
            assert str(info.value.__cause__.reason) == "the call's time ran out"

    @pytest.mark.parametrize("status", [b"200 OK", b"500 Oops"])
    @pytest.mark.parametrize("declare_length", [True, False], ids=["declared", "undeclared"])
    def test_body_past_the_cap_is_refused_unread(self, loopback, status, declare_length):
        loopback.script = endless_body(status, declare_length)
        client = QuillMaretClient("k", base_url=loopback.url + "/v1", timeout=10,
                                  max_response_bytes=1000)
        with nothing_left_unclosed():
            with pytest.raises(QuillMaretError) as info:
                client.get_quarter("FR", 2024, 1)
            err = info.value
            told = ("the API's answer of 67108864 bytes exceeds max_response_bytes (1000)"
                    if declare_length else "the API's answer exceeds max_response_bytes (1000)")
            if status == b"200 OK":
                assert str(err) == told and err.__cause__ is None
            else:
                assert err.status_code == 500 and err.payload == {}
                assert str(err.__cause__) == told
            del info, err
        # The client stopped reading: the server could not send it all.
        assert loopback.finished.wait(10)
        assert not loopback.sent_all

    @pytest.mark.parametrize("error", [errno.ECONNREFUSED, errno.ENETUNREACH],
                             ids=["refused", "no route"])
    def test_next_address_is_tried_when_one_fails(self, loopback, closed_port, monkeypatch, error):
        # As for "localhost" resolving to ::1 first, when the server listens
        # on 127.0.0.1 alone, or for a host whose IPv6 address has no route.
        real_getaddrinfo, real_connect = socket.getaddrinfo, socket.socket.connect

        def connect(sock, address):
            if address[1] == closed_port:
                raise OSError(error, os.strerror(error))
            real_connect(sock, address)

        monkeypatch.setattr(socket.socket, "connect", connect)
        monkeypatch.setattr(socket, "getaddrinfo", lambda host, port, *rest: [
            *real_getaddrinfo(host, closed_port, *rest), *real_getaddrinfo(host, port, *rest)])
        loopback.script = answer(OK)
        client = QuillMaretClient("k", base_url=loopback.url + "/v1", timeout=10, max_retries=0)
        assert client.get_quarter("FR", 2024, 1) == {"ok": True}

    def test_body_of_exactly_the_cap_is_accepted(self, loopback):
        # The cap counts bytes, and the body is UTF-8.
        body = b'{"padding": "' + "\u00e9".encode() * 500 + b'"}'
        loopback.script = answer(http_answer("200 OK", body))
        client = QuillMaretClient("k", base_url=loopback.url + "/v1", timeout=10,
                                  max_response_bytes=len(body))
        assert client.get_quarter("FR", 2024, 1) == {"padding": "\u00e9" * 500}

    def test_ipv6_address_is_reached(self, loopback_ipv6):
        loopback_ipv6.script = answer(OK)
        client = QuillMaretClient("k", base_url=loopback_ipv6.url + "/v1", timeout=10,
                                  max_retries=0)
        assert client.get_quarter("FR", 2024, 1) == {"ok": True}
        loopback_ipv6.reset()  # the server outlives the test: it must not keep its heads


def in_turn(*raws):
    """Answers the n-th request with raws[n - 1], the last one again after them
    (None: hangs up unanswered)."""
    def script(server, conn):
        server.read_head(conn)
        raw = raws[min(len(server.heads), len(raws)) - 1]
        if raw is not None:
            conn.sendall(raw)
    return script


def fail(status, *headers, message="m", **details):
    body = json.dumps({"error": "e", "message": message, **details}).encode()
    return http_answer(f"{status} Failed", body, *headers)


OK = http_answer("200 OK", b'{"ok": true}')


def untrusted_tls(raw):
    """A TLS server whose certificate is self-signed, which no client
    trusts; answers the request with `raw` should the client go on."""
    def script(server, conn):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(os.path.dirname(__file__), "certs", "self-signed.pem"))
        with context.wrap_socket(conn, server_side=True) as tls:
            server.read_head(tls)
            tls.sendall(raw)
    return script
DATE = b"Date: Wed, 21 Oct 2015 07:28:00 GMT"


class TestRetries:
    CASES = [
        # (name; the loopback's answers in turn, or a set-up of the mock; client
        #  arguments; the error's (class, status, message), None for success;
        #  waits; a part of the error's one note, None for none)
        ("success within a timeout under a second", (OK,), {"timeout": 0.5}, None, [], None),
        *[(f"{status} retried", (fail(status), OK), {}, None, [0.25], None)
          for status in (429, 500, 502, 503, 504)],
        ("hang-up retried", (None, OK), {}, None, [0.25], None),
        ("body cut short retried",
         (b"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{}", OK), {}, None, [0.25], None),
        ("an error page keeps the reason", (http_answer("418 I'm a Teapot", b"<p>"), OK), {},
         (QuillMaretAPIError, 418, "I'm a Teapot"), [], None),
        *[(f"{status} not retried", (fail(status), OK), {}, (cls, status, "m"), [], None)
          for status, cls in [(400, QuillMaretAPIError), (401, QuillMaretAuthError),
                              (403, QuillMaretAuthError), (404, QuillMaretNotComputedError),
                              (418, QuillMaretAPIError), (501, QuillMaretAPIError)]],
        ("404 of another server not retried",
         (http_answer("404 Not Found", b"<html></html>"), OK), {}, (QuillMaretAPIError, 404, None),
         [], None),
        ("not JSON not retried", (http_answer("200 OK", b"[1]"), OK), {},
         (QuillMaretError, None, None), [], None),
        ("too large not retried", (http_answer("200 OK", b'{"a": "' + b"x" * 100 + b'"}'), OK),
         {"max_response_bytes": 50}, (QuillMaretError, None, None), [], None),
        ("malformed not retried", (b"HTTQ/9 nonsense\r\n\r\n", OK), {},
         (QuillMaretError, None, None), [], None),
        ("redirect loop not retried",
         (*[http_answer("302 Found", b"", b"Location: /v1/data/FR/2024/q1")] * 5, OK), {},
         (QuillMaretError, None, None), [], None),
        ("Retry-After in seconds", (fail(503, b"Retry-After: 3"), OK), {}, None, [3], None),
        ("Retry-After as a date",
         (fail(503, DATE, b"Retry-After: Wed, 21 Oct 2015 07:28:05 GMT"), OK), {}, None, [5],
         None),
        ("Retry-After as a past date",
         (fail(503, DATE, b"Retry-After: Wed, 21 Oct 2015 07:27:00 GMT"), OK), {}, None, [0],
         None),
        ("Retry-After as a date, without Date",
         (fail(503, b"Retry-After: Wed, 21 Oct 2015 07:27:00 GMT"), OK), {}, None, [0], None),
        ("payload's wait", (fail(429, retry_after_seconds=2), OK), {}, None, [2], None),
        ("Retry-After before the payload",
         (fail(429, b"Retry-After: 1", retry_after_seconds=7), OK), {}, None, [1], None),
        ("unreadable Retry-After",
         (fail(503, b"Retry-After: soon", retry_after_seconds=2), OK), {}, None, [2], None),
        # A digit float() refuses; a date without a zone of its own.
        ("Retry-After of a digit not ASCII",
         (fail(503, b"Retry-After: \xb2", retry_after_seconds=2), OK), {}, None, [2], None),
        ("Retry-After as a date in zone -0000",
         (fail(503, DATE, b"Retry-After: Wed, 21 Oct 2015 07:28:05 -0000"), OK), {}, None, [5],
         None),
        ("Retry-After as a date in a zone past any", (fail(503, DATE, b"Retry-After: Wed, 21 Oct "
         b"2015 07:28:05 +" + b"9" * 20, retry_after_seconds=2), OK), {}, None, [2], None),
        *[(f"payload's wait of {wait} ignored", (fail(429, retry_after_seconds=wait), OK), {},
           None, [0.25], None) for wait in (-1, True)],
        ("payload's wait of 0", (fail(429, retry_after_seconds=0), OK), {}, None, [0], None),
        ("payload's wait too large for a float", (fail(429, retry_after_seconds=10**400), OK), {},
         (QuillMaretRateLimitError, 429, "m"), [], "the next wait, inf s, would end past"),
        ("Retry-After too large for a float", (fail(503, b"Retry-After: " + b"9" * 400), OK), {},
         (QuillMaretAPIError, 503, "m"), [], "the next wait, inf s, would end past"),
        ("backoff doubles, the last error raised",
         (fail(503, message="1st"), fail(502, message="2nd"), fail(503, message="3rd"), OK), {},
         (QuillMaretAPIError, 503, "3rd"), [0.25, 0.5], "3 attempts, waiting 0.25 s, 0.5 s"),
        ("backoff capped", (*[fail(500)] * 7, OK), {"max_retries": 6, "timeout": 60},
         (QuillMaretAPIError, 500, "m"), [0.25, 0.5, 1, 2, 4, 4], "7 attempts"),
        ("wait past the deadline", (fail(429, b"Retry-After: 30"), OK), {"timeout": 10},
         (QuillMaretRateLimitError, 429, "m"), [], "1 attempt; not retried: the next wait, 30 s, "
         "would end past the call's timeout (10 s)"),
        ("waits count against the deadline", (*[fail(503, b"Retry-After: 6")] * 2, OK),
         {"timeout": 10}, (QuillMaretAPIError, 503, "m"), [6], "past the call's timeout"),
        ("60 s without a timeout", (fail(503, b"Retry-After: 60"), OK), {"timeout": None},
         None, [60], None),
        ("61 s without a timeout", (fail(503, b"Retry-After: 61"), OK), {"timeout": None},
         (QuillMaretAPIError, 503, "m"), [], "longer than the client waits (60 s)"),
        ("max_retries=0", (fail(503), OK), {"max_retries": 0}, (QuillMaretAPIError, 503, "m"), [],
         None),
        ("mock: a run of failures", lambda api: api.fail_next(503, times=2, retry_after=1), {},
         None, [1, 1], None),
        ("mock: failures in the order injected",
         lambda api: (api.fail_next(503, retry_after=1),
                      api.fail_next(502, times=2, retry_after=2)),
         {"max_retries": 3}, None, [1, 2, 2], None),
        ("mock: maintenance",
         lambda api: (setattr(api, "maintenance", True),
                      setattr(api, "maintenance_retry_after", 2)), {},
         (QuillMaretAPIError, 503, "The API is down for scheduled maintenance."), [2, 2],
         "3 attempts"),
    ]

    @pytest.mark.parametrize("name,serve,kwargs,outcome,expected_waits,note", CASES,
                             ids=[c[0] for c in CASES])
    def test_retries(self, api, loopback, waits, name, serve, kwargs, outcome, expected_waits,
                     note):
        if callable(serve):
            serve(api)
            base_url = api.base_url
        else:
            loopback.script = in_turn(*serve)
            base_url = loopback.url + "/v1"
        client = QuillMaretClient(mock_api.PRO_KEY, **{"base_url": base_url, "timeout": 10,
                                                       **kwargs})
        if outcome is None:
            data = client.get_quarter("FR", 2024, 1)
            assert data["country"] == "FR" if callable(serve) else data == {"ok": True}
        else:
            with pytest.raises(QuillMaretError) as info:
                client.get_quarter("FR", 2024, 1)
            err = info.value
            cls, status, message = outcome
            assert type(err) is cls
            assert getattr(err, "status_code", None) == status
            assert message is None or err.message == message
            # Nor does it carry the error of an earlier attempt, however deep.
            context = err
            while (context := context.__context__) is not None:
                assert not isinstance(context, QuillMaretError), context
            notes = getattr(err, "__notes__", [])
            if note is None:
                assert notes == []
            else:
                assert len(notes) == 1 and note in notes[0], notes
        assert waits == expected_waits
        # Every attempt asks the API for the same URL, with the key, for JSON.
        for head in loopback.heads:
            assert head.startswith(b"GET /v1/data/FR/2024/q1 "), head
            assert bearer(mock_api.PRO_KEY).encode() in head, head
            assert b"\r\nAccept: application/json\r\n" in head, head
            assert b"\r\nUser-Agent: quillmaret-python/%s\r\n" % __version__.encode() in head

    def test_retry_after_a_redirect_starts_again_at_the_api(self, loopback, other_origin, waits):
        # The API sends the client to another origin, which fails: each retry
        # asks the API again, with the key, and the other origin never gets
        # the key.  (urllib counts the redirects it follows on the request:
        # reused by every retry, the fifth would be taken for a loop.)
        loopback.script = answer(http_answer(
            "302 Found", b"", b"Location: %s/elsewhere" % other_origin.url.encode()))
        other_origin.script = in_turn(*[fail(503)] * 4, OK)
        client = QuillMaretClient("s3cret", base_url=loopback.url + "/v1", timeout=10,
                                  max_retries=4)
        assert client.get_quarter("FR", 2024, 1) == {"ok": True}
        assert waits == [0.25, 0.5, 1, 2]
        assert len(loopback.heads) == len(other_origin.heads) == 5
        assert all(b"Bearer s3cret" in head for head in loopback.heads)
        assert not any(b"s3cret" in head for head in other_origin.heads)

    @pytest.mark.parametrize("script", [untrusted_tls(OK), trickle(OK, b"", http=False)],
                             ids=["untrusted certificate", "plain HTTP answer"])
    def test_failed_tls_handshake_is_not_retried(self, loopback, waits, script):
        # It would fail the same way again; and the key is never sent.
        loopback.script = script
        client = QuillMaretClient("k", base_url=f"https://127.0.0.1:{loopback.port}/v1", timeout=10)
        with pytest.raises(QuillMaretError) as info:
            client.get_quarter("FR", 2024, 1)
        assert isinstance(info.value.__cause__.reason, ssl.SSLError)
        assert waits == [] and loopback.heads == []
