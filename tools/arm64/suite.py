"""The test suite under qemu-user, in an emulated virtual environment
(.venv/arm64-X.Y) with the test requirements (aarch64 wheels from PyPI) and
the package with its test hooks, cross-built."""
from __future__ import annotations

import hashlib
import pathlib
import re
import subprocess
import tomllib

from . import BUILD, ROOT, VENV, emulator, wheels
from .sysroot import Sysroot


def test_requirements() -> list[str]:
    """The test extra alone: without the build requirements the tests that
    build the package skip (the emulated system has no compiler)."""
    with (ROOT / "pyproject.toml").open("rb") as f:
        return tomllib.load(f)["project"]["optional-dependencies"]["test"]


def prepare(sysroot: Sysroot, modules: list[pathlib.Path], dist_info: pathlib.Path) -> pathlib.Path:
    """.venv/arm64-X.Y with the test requirements and the package (remade
    when either changes). Returns its interpreter."""
    version = sysroot.version
    wheel = wheels.pack(version, modules, dist_info, BUILD / f"test-wheel-{version}")
    requirements = test_requirements()
    env = VENV / f"arm64-{version}"
    stamp = env / ".prepared"
    digest = hashlib.sha256(b"\0".join([hashlib.sha256(wheel.read_bytes()).digest(),
                                         " ".join(requirements).encode(), sysroot.stamp.read_bytes()])).hexdigest()
    python = env / "bin" / "python"
    if stamp.exists() and stamp.read_text() == digest:
        return python
    wheels.new_environment(sysroot, env)
    wheels.pip_install(python, sysroot, *requirements)
    wheels.pip_install(python, sysroot, "--no-deps", wheel)
    stamp.write_text(digest)
    return python


def run(sysroot: Sysroot, python: pathlib.Path, pytest_args: list[str]) -> tuple[int, str]:
    """Runs the suite, its output shown as it goes. Returns pytest's exit
    status and its closing line ("759 passed, 24 skipped in ...")."""
    proc = subprocess.Popen([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *pytest_args], cwd=ROOT,
                            env=emulator.environment(sysroot.path), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    last = ""
    for line in proc.stdout:
        print(line, end="", flush=True)
        if re.match(r"=*\s*\d+ (passed|failed|error|skipped|deselected)|no tests ran", line):
            last = line.strip(" =\n")
    return proc.wait(), last
