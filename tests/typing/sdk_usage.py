"""Typed use of the SDK's errors; checked with mypy --strict by test_typing.py."""
from __future__ import annotations

from typing import Any

from quillmaret import (
    QuillMaretAPIError,
    QuillMaretAuthError,
    QuillMaretError,
    QuillMaretNotComputedError,
    QuillMaretRateLimitError,
    register_pickling,
)
from quillmaret.client import QuillMaretClient


@register_pickling
class BillingError(QuillMaretAPIError):
    def __init__(self, invoice: str) -> None:
        super().__init__(402, "payment required", {"invoice": invoice})
        self.invoice = invoice


def retry_after(err: QuillMaretRateLimitError) -> int:
    seconds: Any = err.payload.get("retry_after_seconds", 60)
    return int(seconds)


def describe(err: QuillMaretError) -> str:
    if isinstance(err, QuillMaretAPIError):
        code: int = err.status_code
        message: str = err.message
        payload: dict[str, Any] = err.payload
        return f"{code} {message} {sorted(payload)}"
    return str(err)


def fetch(client: QuillMaretClient) -> dict[str, Any] | None:
    try:
        return client.get_quarter("FR", 2024, 2)
    except QuillMaretNotComputedError:
        return None
    except QuillMaretRateLimitError as err:
        print("retry in", retry_after(err))
        raise
    except QuillMaretAuthError as err:
        raise SystemExit(describe(err)) from err


errors: list[QuillMaretAPIError] = [
    QuillMaretAPIError(500, "boom"),
    QuillMaretAuthError(401, "no key", None),
    QuillMaretRateLimitError(status_code=429, message="slow down", payload={"limit": 200}),
    QuillMaretNotComputedError(404, message="later"),
    BillingError("INV-1"),
]
summaries: list[str] = [describe(e) for e in errors]
client = QuillMaretClient("key", base_url="http://127.0.0.1:8080/v1", timeout=1.5)
