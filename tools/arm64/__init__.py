"""Linux on 64-bit ARM (aarch64) from this x86-64 machine: the extension
modules cross-built with zig for glibc 2.17, their ELF files checked, the
suite and the wheels' smoke tests run under qemu-user with Debian's own
arm64 interpreters. The nox sessions arm64_tools, arm64 and wheels_arm64
drive it.

Everything lives in the checkout, ignored by git:

    .venv/interpreters/SUITE-arm64/X.Y/  Debian's arm64 CPython X.Y with what it loads (sysroot.py)
    .venv/arm64/X.Y/                     the emulated environment the suite runs in
    .venv/zig/                           zig (tools/tasks/cross.py), shared with the Windows sessions
    build/arm64/                         compiler wrappers, zig's cache, the host's quill_constgen
    build/arm64-X.Y/                     the cross build of both modules for CPython X.Y
    build/wheel-check/arm64-X.Y/         the fresh environment a wheel is smoke-tested in
"""
from __future__ import annotations

from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "arm64"
# The interpreter the whole suite runs on, unless another is asked for.
SUITE_VERSION = "3.11"


class Refused(Exception):
    """Why an aarch64 step failed, in one line (or a line and the output that shows why)."""


def soabi(version: str) -> str:
    """The tag of CPython X.Y's extension modules on aarch64 Linux."""
    return f"cpython-{version.replace('.', '')}-aarch64-linux-gnu"
