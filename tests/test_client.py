"""The demo client against the local mock API: HTTP status and body to SDK errors."""
import importlib.util
import json
import socket
import sys
import urllib.error
from pathlib import Path

import pytest

from quillmaret import (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretError,
    QuillMaretNotComputedError,
    QuillMaretRateLimitError,
)
from quillmaret.client import QuillMaretClient, error_for_response


def _load_mock_api():
    path = Path(__file__).resolve().parent.parent / "demo" / "mock_api.py"
    spec = importlib.util.spec_from_file_location("mock_api", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules.setdefault("mock_api", module)
    spec.loader.exec_module(module)
    return module


mock_api = _load_mock_api()


class FakeClock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.fixture
def clock():
    return FakeClock()


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


def client_for(api, key):
    return QuillMaretClient(key, base_url=api.base_url, timeout=10)


def bearer(key):
    return f"Bearer {key}"


class TestStatusMapping:
    CASES = [
        # (name, key, country, year, quarter, set-up, class, status, error code)
        ("missing key", None, "FR", 2024, 1, None, QuillMaretAuthError, 401, "missing_api_key"),
        ("invalid key", "nope", "FR", 2024, 1, None, QuillMaretAuthError, 401, "invalid_api_key"),
        ("revoked key", mock_api.REVOKED_KEY, "FR", 2024, 1, None, QuillMaretAuthError, 403,
         "revoked_api_key"),
        ("not computed", mock_api.PRO_KEY, "FR", 2024, 3, None, QuillMaretNotComputedError, 404,
         "not_computed"),
        ("before the first quarter", mock_api.FREE_KEY, "JP", 2014, 4, None,
         QuillMaretNotComputedError, 404, "not_computed"),
        ("unsupported country", mock_api.PRO_KEY, "ZZ", 2024, 1, None, QuillMaretAPIError, 400,
         "unsupported_country"),
        ("internal error", mock_api.PRO_KEY, "FR", 2024, 1, lambda api: api.fail_next(500),
         QuillMaretAPIError, 500, "internal_error"),
        ("maintenance", mock_api.PRO_KEY, "FR", 2024, 1,
         lambda api: setattr(api, "maintenance", True), QuillMaretAPIError, 503, "maintenance"),
    ]

    @pytest.mark.parametrize("name,key,country,year,quarter,setup,cls,status,code", CASES,
                             ids=[c[0] for c in CASES])
    def test_status_raises_its_class(self, api, name, key, country, year, quarter, setup, cls,
                                     status, code):
        if setup is not None:
            setup(api)
        with pytest.raises(QuillMaretAPIError) as info:
            client_for(api, key).get_quarter(country, year, quarter)
        err = info.value
        assert type(err) is cls
        assert err.status_code == status and err.payload["error"] == code
        assert "message" not in err.payload and err.message
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

    def test_injected_failure_hits_only_the_next_request(self, api):
        client = client_for(api, mock_api.PRO_KEY)
        api.fail_next(502)
        with pytest.raises(QuillMaretAPIError) as info:
            client.get_quarter("DE", 2020, 1)
        assert info.value.status_code == 502 and type(info.value) is QuillMaretAPIError
        assert client.get_quarter("DE", 2020, 1)["country"] == "DE"

    def test_invalid_quarter_is_refused_before_any_request(self):
        # The base URL is unreachable: a request would raise QuillMaretError.
        client = QuillMaretClient("k", base_url="http://127.0.0.1:9", timeout=1)
        for quarter in [0, 5, -1]:
            with pytest.raises(ValueError, match="quarter must be 1 to 4"):
                client.get_quarter("FR", 2024, quarter)

    def test_unreachable_api_raises_the_base_error(self, closed_port):
        # Nothing listens on the port any more: the connection is refused.
        client = QuillMaretClient("k", base_url=f"http://127.0.0.1:{closed_port}/v1", timeout=5)
        with pytest.raises(QuillMaretError) as info:
            client.get_quarter("FR", 2024, 1)
        assert not isinstance(info.value, QuillMaretAPIError)
        assert "cannot reach the QuillMaret API" in str(info.value)
        assert isinstance(info.value.__cause__, urllib.error.URLError)

    def test_key_is_kept_out_of_the_repr(self):
        assert "s3cret" not in repr(QuillMaretClient("s3cret"))


class TestRateLimit:
    LIMIT = mock_api.FREE_TIER_LIMIT
    WINDOW = mock_api.WINDOW_SECONDS

    def test_request_after_200_is_refused_over_http(self, api):
        client = client_for(api, mock_api.FREE_KEY)
        for _ in range(self.LIMIT):
            client.get_quarter("US", 2023, 1)
        with pytest.raises(QuillMaretRateLimitError) as info:
            client.get_quarter("US", 2023, 1)
        err = info.value
        assert err.status_code == 429
        assert err.payload == {"error": "rate_limited", "limit": self.LIMIT,
                               "window_seconds": self.WINDOW, "retry_after_seconds": self.WINDOW}
        # Other keys have windows of their own; the pro tier has no limit.
        client_for(api, mock_api.PRO_KEY).get_quarter("US", 2023, 1)

    def answer(self, api, key=mock_api.FREE_KEY):
        return api.handle("/v1/data/FR/2020/q1", bearer(key))[0]

    def test_window_slides(self, clock):
        api = mock_api.MockDataAPI(clock=clock)
        # 100 requests at t, 100 at t + 12h: the window is full.
        for _ in range(100):
            assert self.answer(api) == 200
        clock.now += self.WINDOW / 2
        for _ in range(100):
            assert self.answer(api) == 200
        assert self.answer(api) == 429
        # One second before the first hundred leave the window: still full,
        # and the retry hint says when room appears.
        clock.now += self.WINDOW / 2 - 1
        status, body, headers = api.handle("/v1/data/FR/2020/q1", bearer(mock_api.FREE_KEY))
        assert status == 429 and body["retry_after_seconds"] == 1 == int(headers["Retry-After"])
        # Once they have left, exactly 100 requests fit again.
        clock.now += 1
        for _ in range(100):
            assert self.answer(api) == 200
        assert self.answer(api) == 429

    def test_refused_requests_do_not_count(self, clock):
        api = mock_api.MockDataAPI(clock=clock)
        for _ in range(self.LIMIT):
            self.answer(api)
        for _ in range(50):
            assert self.answer(api) == 429
        clock.now += self.WINDOW
        for _ in range(self.LIMIT):
            assert self.answer(api) == 200

    def test_pro_key_is_not_limited(self, clock):
        api = mock_api.MockDataAPI(clock=clock)
        assert {self.answer(api, mock_api.PRO_KEY) for _ in range(self.LIMIT * 2)} == {200}


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
                     b"null"]:
            err = error_for_response(502, "Bad Gateway", body)
            assert (err.status_code, err.message, err.payload) == (502, "Bad Gateway", {}), body

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
        assert error_for_response(599, "", b"").message == "HTTP status 599"
