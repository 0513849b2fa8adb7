"""Linux on 64-bit ARM (aarch64), on this x86-64 machine: the extension
modules cross-built with zig for glibc 2.17, their ELF files checked, the
suite run under qemu-user with Debian's own arm64 interpreters, and
manylinux_2_17_aarch64 wheels. `python3 -m tools.arm64 --help` drives it by
hand.

Everything lives inside the checkout, ignored by git:

    .venv/arm64-tools/                    zig (PyPI's ziglang), CMake, Ninja, auditwheel
    .venv/interpreters/SUITE-arm64/X.Y/   Debian's arm64 CPython X.Y with what it loads (sysroot.py)
    .venv/interpreters/arm64-work/        apt's private lists and state
    .venv/arm64-X.Y/                      the emulated environment the suite runs in
    build/arm64/                          compiler wrappers, zig's cache, the host's quill_constgen
    build/arm64-X.Y/                      the cross build of both modules for CPython X.Y
    build/wheel-check/arm64-X.Y/          the fresh environment a wheel is smoke-tested in
"""
from __future__ import annotations

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
VENV = ROOT / ".venv"
TOOLS = VENV / "arm64-tools"
BUILD = ROOT / "build" / "arm64"

# Every version built; all but 3.12 are tested (sysroot.SUITES).
VERSIONS = ["3.11", "3.12", "3.13", "3.14", "3.15"]


def log(message: str) -> None:
    print(f"arm64: {message}", file=sys.stderr, flush=True)
