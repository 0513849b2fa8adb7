"""The test suite under qemu-user, in an emulated virtual environment
(.venv/arm64/X.Y) holding the test requirements (aarch64 wheels from PyPI)
and the package with its test hooks, cross-built."""
from __future__ import annotations

import hashlib
import subprocess
from pathlib import Path

from . import ROOT, emulator
from .sysroot import Sysroot


def prepare(root: Sysroot, wheel: Path, requirements: list[str], log) -> Path:
    """.venv/arm64/X.Y with `requirements` and the package's `wheel`
    (remade when either, or the interpreter, changes). Returns its python."""
    where = ROOT / ".venv" / "arm64" / root.version
    stamp = where / ".prepared"
    digest = hashlib.sha256(b"\0".join([hashlib.sha256(wheel.read_bytes()).digest(), " ".join(requirements).encode(),
                                         str(root.full_version).encode()])).hexdigest()
    python = where / "bin" / "python"
    if stamp.is_file() and stamp.read_text() == digest:
        return python
    log(f"making {where.relative_to(ROOT)} under qemu (minutes the first time: pip downloads the test tools)")
    emulator.new_environment(root, where)
    emulator.pip_install(python, root, *requirements)
    emulator.pip_install(python, root, "--no-deps", wheel)
    stamp.write_text(digest)
    return python


def run(root: Sysroot, python: Path, *pytest_args: str) -> int:
    """Runs the suite there from the checkout, its output shown as it goes;
    returns pytest's exit status."""
    return subprocess.run([str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", *pytest_args], cwd=ROOT,
                          env=emulator.environment(root.path)).returncode
