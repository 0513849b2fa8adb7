"""Running arm64 programs on this x86-64 machine with qemu-user (Debian's
qemu-user-static).

The suite starts child interpreters and `venv` runs ensurepip as a child,
so the kernel must start aarch64 programs through qemu itself: its
binfmt_misc handler for aarch64 must be registered (.ci/run registers it
when missing, and removes it again afterwards). Every program reads the
same environment:
- QEMU_LD_PREFIX: the sysroot, in which qemu looks first for every absolute
  path the program opens (its loader and libraries among them);
- QEMU_CPU=cortex-a72: Debian's newer builds use pointer authentication,
  which qemu's default CPU emulates very slowly (a pure-Python loop took 39 s
  by default, 1.3 s with cortex-a72, which lacks it);
- QUILL_EMULATOR: tells the suite it runs emulated (no Hypothesis deadlines,
  no build inside the emulated system, which has no compiler).
"""
from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

from . import Refused

QEMU = "qemu-aarch64-static"
QEMU_CPU = "cortex-a72"
BINFMT = Path("/proc/sys/fs/binfmt_misc")
HANDLER = "qemu-aarch64"
# Debian's registration of the handler, shipped with qemu-user-static.
REGISTRATION = Path(f"/usr/lib/binfmt.d/{HANDLER}.conf")
# Program or file: the Debian package that brings it.
PREREQUISITES = {QEMU: "qemu-user-static", str(REGISTRATION): "qemu-user-static",
                 "apt-get": "apt", "dpkg-deb": "dpkg"}


def environment(sysroot: Path, base: dict[str, str] | None = None) -> dict[str, str]:
    """`base` (by default this process's environment) for arm64 programs of `sysroot`."""
    env = dict(os.environ if base is None else base)
    env.update(QEMU_LD_PREFIX=str(sysroot), QEMU_CPU=QEMU_CPU, QUILL_EMULATOR=f"{QEMU} -cpu {QEMU_CPU}")
    return env


def qemu() -> str:
    return shutil.which(QEMU) or QEMU


def handler_problem() -> str | None:
    """Why the kernel would not start an aarch64 program through qemu, with
    the commands that set it up (as root), in one line; None when it would."""
    if (BINFMT / HANDLER).is_file() and (BINFMT / HANDLER).read_text().startswith("enabled"):
        return None
    register = f"grep '^:' {REGISTRATION} > {BINFMT}/register"
    if not (BINFMT / "register").exists():
        return (f"binfmt_misc is not mounted, so the kernel cannot start aarch64 programs through qemu: as root, "
                f"mount -t binfmt_misc binfmt_misc {BINFMT} && {register} (.ci/run does both, and undoes them)")
    return (f"the kernel has no aarch64 handler ({BINFMT}/{HANDLER}): as root, {register} "
            "(.ci/run does it, and undoes it)")


def run(args: list, sysroot: Path, env: dict[str, str] | None = None, **kwargs) -> subprocess.CompletedProcess:
    """Runs an arm64 program of `sysroot` under qemu (through the kernel's
    handler); its output is shown only when it fails (Refused)."""
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          env=environment(sysroot, env), **kwargs)
    if proc.returncode != 0:
        raise Refused(f"{' '.join(map(str, args[:4]))} failed under qemu:\n{proc.stdout}{proc.stderr}")
    return proc


def new_environment(root, path: Path) -> Path:
    """A fresh emulated virtual environment of the sysroot's CPython, with
    pip installed from Debian's pip wheel by that wheel itself. (Not by
    ensurepip: Debian's copies the wheel from /usr/share/python-wheels, and
    qemu 7.2 finds that path in the sysroot when the file is opened but not
    when its extended attributes are listed, so 3.13 and later fail.)
    Returns its interpreter."""
    shutil.rmtree(path, ignore_errors=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    run([root.python, "-m", "venv", "--without-pip", path], root.path)
    python = path / "bin" / "python"
    wheel = root.pip_wheel
    run([python, wheel / "pip", "install", "--disable-pip-version-check", "--no-input", "--no-index", "-q", wheel],
        root.path)
    return python


def pip_install(python: Path, root, *args: object, alone: bool = False) -> None:
    """pip install ARGS in an emulated environment of the sysroot `root`;
    `alone`: without this machine's PIP_* settings (an index or find-links
    of its own)."""
    env = {key: value for key, value in os.environ.items() if not (alone and key.startswith("PIP_"))}
    run([python, "-m", "pip", "install", "--disable-pip-version-check", "--no-input", *args], root.path, env)
