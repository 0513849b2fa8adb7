"""The arm64 systems the emulated interpreters run in: Debian's own arm64
CPython X.Y with the libraries it loads, fetched by tasks/debian.py into a
root of its own (.venv/interpreters/SUITE-arm64/X.Y), which qemu-user takes
as the root of the emulated system's files (QEMU_LD_PREFIX). Nothing is
installed on this machine.

3.11 comes from bookworm; 3.13, 3.14 and 3.15 from sid, whose 3.13 is past
the 3.13.6 that fixed a dict fault of 3.13.0-3.13.5 (gh-109700). No Debian
suite has an arm64 3.12: it is built, not tested.
"""
from __future__ import annotations

from pathlib import Path

from tasks import debian, pythons

ARCH = "arm64"
# The suite each interpreter comes from.
SUITES = {"3.11": "bookworm", "3.13": "sid", "3.14": "sid", "3.15": "sid"}


class Sysroot:
    """The arm64 system of CPython X.Y, fetched or not."""

    def __init__(self, version: str):
        self.version = version
        self.dest = pythons.fetched_root(SUITES[version], ARCH)
        self.path = self.dest / version

    @property
    def full_version(self) -> str | None:
        return debian.full_version(self.dest, self.version)

    @property
    def python(self) -> Path:
        return debian.interpreter(self.dest, self.version)

    @property
    def include(self) -> Path:
        return self.path / "usr" / "include" / f"python{self.version}"

    @property
    def pip_wheel(self) -> Path:
        return next((self.path / "usr" / "share" / "python-wheels").glob("pip-*.whl"))


def fetch(version: str, log) -> Sysroot:
    """The sysroot of CPython X.Y, fetched from Debian unless it is there
    (every version its suite provides in one go); raises debian.FetchError."""
    root = Sysroot(version)
    if root.full_version is None:
        wanted = [v for v, suite in SUITES.items() if suite == SUITES[version]]
        debian.fetch(wanted, suite=SUITES[version], arch=ARCH, dest=root.dest, debug=False, log=log)
    return root
