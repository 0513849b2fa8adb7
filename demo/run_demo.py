"""The QuillMaret SDK demo: every error class the client raises, against a local mock API.

Each case makes a real request (to the mock, or to an address where nothing
listens), prints the caught class and its attributes, the last line of the
traceback and the client's notes on its attempts, and says whether it
behaved: raised exactly the expected class (or, for the last case, returned
the data).  One case raises its error in a worker process and checks that
the parent receives it with its class and attributes intact.  The last line
counts the cases and those that behaved; the exit status is 1 if any did not.
"""

from __future__ import annotations

import concurrent.futures
import multiprocessing
import socket
import sys
import traceback
from typing import Any, Callable

from quillmaret import (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretError,
    QuillMaretNotComputedError,
    QuillMaretRateLimitError,
)
from quillmaret.client import DEFAULT_MAX_RETRIES, QuillMaretClient
from quillmaret.mock_api import FREE_KEY, FREE_TIER_LIMIT, PRO_KEY, REVOKED_KEY, MockDataAPI

TIMEOUT = 5.0  # seconds a request may take; the mock answers in milliseconds


def describe(err: QuillMaretError) -> None:
    """Prints the caught error's class, attributes, last traceback line and notes."""
    # The exception's own line; its notes, which follow it, are shown apart.
    last_line = traceback.format_exception_only(type(err), err)[0].rstrip("\n")
    print(f"   caught       {type(err).__name__}")
    if isinstance(err, QuillMaretAPIError):
        print(f"   status_code  {err.status_code!r}")
        print(f"   message      {err.message!r}")
        print(f"   payload      {err.payload!r}")
    else:
        print(f"   args         {err.args!r}")
    print(f"   last line    {last_line}")
    for note in getattr(err, "__notes__", ()):
        print(f"   note         {note}")


def expect_error(expected: type[QuillMaretError], call: Callable[[], object]) -> bool:
    """Runs call, which must raise exactly `expected`; prints what it raised."""
    try:
        call()
    except QuillMaretError as err:
        describe(err)
        if type(err) is not expected:
            print(f"   wanted       {expected.__name__}")
            return False
        return True
    print(f"   no error; wanted {expected.__name__}")
    return False


def fetch(base_url: str, key: str | None, country: str, year: int, quarter: int) -> dict[str, Any]:
    """One request with a fresh client; a module-level function, so a worker process can run it."""
    client = QuillMaretClient(key, base_url=base_url, timeout=TIMEOUT)
    return client.get_quarter(country, year, quarter)


def closed_address() -> tuple[socket.socket, str]:
    """A loopback port that is bound but never listens: a connection to it is refused.

    The caller keeps the socket open for as long as the address must stay
    unreachable, so no other program can take the port meanwhile.
    """
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    host, port = sock.getsockname()[:2]
    return sock, f"http://{host}:{port}/v1"


def exhaust_free_tier(base_url: str) -> None:
    """Spends the free tier's window, then makes one request too many."""
    client = QuillMaretClient(FREE_KEY, base_url=base_url, timeout=TIMEOUT)
    for _ in range(FREE_TIER_LIMIT):
        client.get_quarter("DE", 2023, 4)
    print(f"   ({FREE_TIER_LIMIT} requests accepted in the window; request {FREE_TIER_LIMIT + 1}:)")
    client.get_quarter("DE", 2023, 4)


def error_from_worker(base_url: str) -> bool:
    """A 404 raised in a worker process: the parent must catch the same error it gets itself."""
    request = (base_url, PRO_KEY, "JP", 2030, 1)
    # spawn: the same start method on every platform and Python version.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        future = pool.submit(fetch, *request)
        try:
            future.result(timeout=60)
        except QuillMaretError as err:
            remote = err
        else:
            print("   no error in the worker; wanted QuillMaretNotComputedError")
            return False
    describe(remote)
    try:
        fetch(*request)
    except QuillMaretError as err:
        local = err
    else:
        print("   the same request made here raised nothing")
        return False
    same = (type(remote) is type(local) is QuillMaretNotComputedError
            and isinstance(remote, QuillMaretAPIError) and isinstance(local, QuillMaretAPIError)
            and (remote.status_code, remote.message, remote.payload, remote.args)
            == (local.status_code, local.message, local.payload, local.args))
    print(f"   same class and attributes as the same request made here: {'yes' if same else 'no'}")
    return same


def main() -> int:
    results: list[tuple[str, bool]] = []

    def case(title: str, run: Callable[[], bool]) -> None:
        print(f"\n== {title}")
        try:
            behaved = run()
        except Exception as exc:  # any other failure is a case that did not behave
            print(f"   failed       {type(exc).__name__}: {exc}")
            behaved = False
        print(f"   {'behaved' if behaved else 'DID NOT BEHAVE'}")
        results.append((title, behaved))

    with MockDataAPI() as api:
        url = api.base_url
        print(f"QuillMaret demo: mock data API at {url}")

        def server_error() -> None:
            # The client retries a 500: it fails on the first attempt and every retry.
            api.fail_next(500, times=1 + DEFAULT_MAX_RETRIES)
            fetch(url, PRO_KEY, "FR", 2024, 1)

        def maintenance() -> None:
            api.maintenance = True
            try:
                fetch(url, PRO_KEY, "FR", 2024, 1)
            finally:
                api.maintenance = False

        def success() -> bool:
            data = fetch(url, PRO_KEY, "FR", 2024, 2)
            print(f"   {data!r}")
            return bool(data.get("values"))

        sock, nowhere = closed_address()
        with sock:
            case(f"unreachable API: nothing listens at {nowhere}",
                 lambda: expect_error(QuillMaretError,
                                      lambda: fetch(nowhere, PRO_KEY, "FR", 2024, 1)))
        case("400: unsupported country (XX)",
             lambda: expect_error(QuillMaretAPIError, lambda: fetch(url, PRO_KEY, "XX", 2024, 1)))
        case("401: no API key",
             lambda: expect_error(QuillMaretAuthError, lambda: fetch(url, None, "FR", 2024, 1)))
        case("401: invalid API key",
             lambda: expect_error(QuillMaretAuthError,
                                  lambda: fetch(url, "not-a-key", "FR", 2024, 1)))
        case("403: revoked API key",
             lambda: expect_error(QuillMaretAuthError,
                                  lambda: fetch(url, REVOKED_KEY, "FR", 2024, 1)))
        case("404: quarter not computed yet (FR 2024 Q4)",
             lambda: expect_error(QuillMaretNotComputedError,
                                  lambda: fetch(url, PRO_KEY, "FR", 2024, 4)))
        case(f"429: free tier, {FREE_TIER_LIMIT} requests in a sliding window of 24 hours",
             lambda: expect_error(QuillMaretRateLimitError, lambda: exhaust_free_tier(url)))
        case("500: internal server error",
             lambda: expect_error(QuillMaretAPIError, server_error))
        case("503: maintenance",
             lambda: expect_error(QuillMaretAPIError, maintenance))
        case("404 raised in a worker process, caught here",
             lambda: error_from_worker(url))
        case("200: FR 2024 Q2 with a pro key", success)

    failed = [title for title, behaved in results if not behaved]
    if failed:
        print(f"\ndemo: {len(results)} cases, {len(results) - len(failed)} behaved, "
              f"{len(failed)} did not: {'; '.join(failed)}")
        return 1
    print(f"\ndemo: {len(results)} cases, all behaved")
    return 0


if __name__ == "__main__":
    sys.exit(main())
