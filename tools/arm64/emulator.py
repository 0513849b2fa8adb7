"""Running arm64 programs on this x86-64 machine with qemu-user (Debian's
qemu-user-static).

A program is started as `qemu-aarch64-static PROGRAM`, or, once the kernel
knows the aarch64 handler (binfmt_misc), as itself: the suite starts child
interpreters and `venv` runs ensurepip as a child, so the suite needs the
handler. Both ways read the same environment:
- QEMU_LD_PREFIX: the sysroot, in which qemu looks first for every absolute
  path the program opens (its loader and libraries among them);
- QEMU_CPU=cortex-a72: Debian's newer builds use pointer authentication,
  which qemu's default CPU emulates very slowly (a pure-Python loop took 39 s
  by default, 1.3 s with cortex-a72, which lacks it);
- QUILL_EMULATOR: tells the suite it runs emulated (no Hypothesis deadlines,
  no build from source inside the emulated system, which has no compiler).
"""
from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess

QEMU = "qemu-aarch64-static"
QEMU_CPU = "cortex-a72"
BINFMT = pathlib.Path("/proc/sys/fs/binfmt_misc")
HANDLER = "qemu-aarch64"
# Debian's registration of the handler (qemu-user-static's binfmt.d file).
REGISTRATION = pathlib.Path(f"/usr/lib/binfmt.d/{HANDLER}.conf")


class EmulatorError(Exception):
    """qemu-user or the kernel's handler is not there and cannot be set up."""


def environment(sysroot: pathlib.Path, base: dict[str, str] | None = None) -> dict[str, str]:
    """`base` (by default this process's environment) for arm64 programs of `sysroot`."""
    env = dict(os.environ if base is None else base)
    env.update(QEMU_LD_PREFIX=str(sysroot), QEMU_CPU=QEMU_CPU, QUILL_EMULATOR=f"{QEMU} -cpu {QEMU_CPU}")
    return env


def qemu() -> str:
    """The path of qemu-user for aarch64, or EmulatorError naming the package."""
    path = shutil.which(QEMU)
    if path is None:
        raise EmulatorError(f"{QEMU} is not installed: on Debian, apt-get install qemu-user-static")
    return path


def handler_registered() -> bool:
    return (BINFMT / HANDLER).is_file() and (BINFMT / HANDLER).read_text().startswith("enabled")


def register_handler(record: pathlib.Path) -> list[str]:
    """Makes the kernel run aarch64 programs with qemu: mounts binfmt_misc
    and registers Debian's aarch64 handler, each only when it is not done
    already. Adds what it did to `record` (JSON) for unregister_handler, and
    returns it: [], ["registered"] or ["mounted", "registered"]."""
    qemu()
    done = []
    if not (BINFMT / "register").exists():
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", str(BINFMT)],
                       check=True, capture_output=True, text=True)
        done.append("mounted")
    if not handler_registered():
        if not REGISTRATION.is_file():
            raise EmulatorError(f"{REGISTRATION} is missing: on Debian, apt-get install qemu-user-static")
        line = next(line for line in REGISTRATION.read_text().splitlines() if line.startswith(":"))
        (BINFMT / "register").write_text(line)
        done.append("registered")
    record.parent.mkdir(parents=True, exist_ok=True)
    before = json.loads(record.read_text()) if record.exists() else []
    record.write_text(json.dumps(before + done))
    return done


def unregister_handler(record: pathlib.Path) -> list[str]:
    """Undoes what register_handler recorded in `record`, and nothing else:
    a handler or mount that was there before stays. Returns what it undid."""
    try:
        done = json.loads(record.read_text())
    except FileNotFoundError:
        return []
    undone = []
    if "registered" in done and (BINFMT / HANDLER).exists():
        (BINFMT / HANDLER).write_text("-1")
        undone.append("unregistered")
    if "mounted" in done:
        subprocess.run(["umount", str(BINFMT)], check=True, capture_output=True, text=True)
        undone.append("unmounted")
    record.unlink()
    return undone
