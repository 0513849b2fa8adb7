"""The per-interpreter lines that close a run, after nox's own summary.

A session adds a line when it ends (`add`); a pytest run's counts come from
the JUnit XML report pytest writes (`pytest_args` asks for it), while its
outcome is always pytest's exit status."""
from __future__ import annotations

import atexit
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path

_lines: list[str] = []
_start = time.monotonic()


def add(line: str) -> None:
    if not _lines:
        atexit.register(_print)
    _lines.append(line)


def junit_path(build: Path, name: str) -> Path:
    path = build / "reports" / f"{name}.xml"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.unlink(missing_ok=True)
    return path


def tally(report: Path) -> dict[str, int]:
    """{"passed": N, "failed": N, "errors": N, "skipped": N} from a JUnit XML report; {} when there is none."""
    try:
        suite = ET.parse(report).getroot()
    except (OSError, ET.ParseError):
        return {}
    suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
    if suite is None:
        return {}
    found = {key: int(suite.get(key, 0)) for key in ("tests", "failures", "errors", "skipped")}
    return {"passed": found["tests"] - found["failures"] - found["errors"] - found["skipped"],
            "failed": found["failures"], "errors": found["errors"], "skipped": found["skipped"]}


def counts(report: Path) -> str:
    """"N passed, N skipped, ..." from a JUnit XML report; "" when there is none."""
    return ", ".join(f"{n} {word}" for word, n in tally(report).items() if n)


def _print() -> None:
    print(f"quill: after {time.monotonic() - _start:.0f} s:", file=sys.stderr)
    for line in _lines:
        print(f"quill:   {line}", file=sys.stderr)
