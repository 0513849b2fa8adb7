"""The QuillMaret SDK demo: each error the client raises, against a local mock API.

For each case it prints the caught class, status_code, message, payload and
the last line of the traceback, then fetches one quarter successfully.
Exits 1 if any case does not raise the error it should.
"""

from __future__ import annotations

import sys
import traceback
from typing import Any, Callable

from mock_api import FREE_KEY, FREE_TIER_LIMIT, PRO_KEY, REVOKED_KEY, MockDataAPI

from quillmaret import (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretNotComputedError,
    QuillMaretRateLimitError,
)
from quillmaret.client import QuillMaretClient


def show(title: str, expected: type[QuillMaretAPIError], call: Callable[[], Any]) -> bool:
    """Runs call, which must raise exactly `expected`, and prints what was caught."""
    print(f"\n== {title}")
    try:
        call()
    except QuillMaretAPIError as err:
        last_line = traceback.format_exception(err)[-1].rstrip("\n")
        print(f"   caught       {type(err).__name__}")
        print(f"   status_code  {err.status_code!r}")
        print(f"   message      {err.message!r}")
        print(f"   payload      {err.payload!r}")
        print(f"   last line    {last_line}")
        if type(err) is not expected:
            print(f"   UNEXPECTED: wanted {expected.__name__}")
            return False
        return True
    print(f"   UNEXPECTED: no error, wanted {expected.__name__}")
    return False


def exhaust_free_tier(client: QuillMaretClient) -> None:
    """Spends the free tier's window, then makes one request too many."""
    for _ in range(FREE_TIER_LIMIT):
        client.get_quarter("DE", 2023, 4)
    print(f"   ({FREE_TIER_LIMIT} requests accepted in the window; request {FREE_TIER_LIMIT + 1}:)")
    client.get_quarter("DE", 2023, 4)


def main() -> int:
    with MockDataAPI() as api:
        print(f"QuillMaret demo: mock data API at {api.base_url}")

        def client(key: str | None) -> QuillMaretClient:
            return QuillMaretClient(key, base_url=api.base_url, timeout=5)

        pro = client(PRO_KEY)

        def server_error() -> None:
            api.fail_next(500)
            pro.get_quarter("FR", 2024, 1)

        def maintenance() -> None:
            api.maintenance = True
            try:
                pro.get_quarter("FR", 2024, 1)
            finally:
                api.maintenance = False

        cases: list[tuple[str, type[QuillMaretAPIError], Callable[[], Any]]] = [
            ("401: no API key", QuillMaretAuthError,
             lambda: client(None).get_quarter("FR", 2024, 1)),
            ("401: invalid API key", QuillMaretAuthError,
             lambda: client("not-a-key").get_quarter("FR", 2024, 1)),
            ("403: revoked API key", QuillMaretAuthError,
             lambda: client(REVOKED_KEY).get_quarter("FR", 2024, 1)),
            ("404: quarter not computed yet (FR 2024 Q4)", QuillMaretNotComputedError,
             lambda: pro.get_quarter("FR", 2024, 4)),
            ("429: free tier, sliding window of 24 hours", QuillMaretRateLimitError,
             lambda: exhaust_free_tier(client(FREE_KEY))),
            ("500: internal server error", QuillMaretAPIError, server_error),
            ("503: maintenance", QuillMaretAPIError, maintenance),
        ]
        ok = all([show(*case) for case in cases])

        print("\n== 200: FR 2024 Q2 with a pro key")
        print(f"   {pro.get_quarter('FR', 2024, 2)!r}")
    if not ok:
        print("\ndemo: some case did not raise the expected error", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
