"""The release wheels of the cross-built modules: packed with the build
backend's metadata, tagged manylinux_2_17_aarch64 by auditwheel, and each
installed by pip into a fresh emulated environment of its interpreter and
smoke-tested there."""
from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

from tasks import cross

from . import BUILD, ROOT, Refused, emulator, soabi
from .build import run
from .sysroot import Sysroot

SMOKE = ROOT / "tests" / "smoke.py"
TAG = "manylinux_2_17_aarch64"


def pack(python: str, version: str, folder: Path, dist_info: Path, out: Path, hooks: bool = False) -> Path:
    """A linux_aarch64 wheel of the package with _m3 from `folder` (and the test hooks, for the suite)."""
    cp = "cp" + version.replace(".", "")
    modules = [folder / f"{name}.{soabi(version)}.so" for name in ("_m3", "_quill_testhooks")[:2 if hooks else 1]]
    return cross.make_wheel(python, f"{cp}-{cp}-linux_aarch64", dist_info, out, *modules)


def repair(wheel: Path, dist: Path, tools: Path) -> Path:
    """The wheel as auditwheel (of the folder `tools`) tags it for the oldest
    glibc its module allows, in `dist`; Refused unless that is TAG."""
    out = BUILD / "repaired"
    shutil.rmtree(out, ignore_errors=True)
    run([tools / "auditwheel", "repair", "--wheel-dir", out, wheel],
        env={**os.environ, "PATH": f"{tools}{os.pathsep}{os.environ['PATH']}"})
    [repaired] = out.glob("*.whl")
    if TAG not in repaired.name:
        raise Refused(f"auditwheel tagged it {repaired.name}, not {TAG}")
    return Path(shutil.copy(repaired, dist))


def smoke_test(root: Sysroot, wheel: Path) -> str:
    """Installs `wheel` by pip from its folder alone (binary only, no index)
    into a fresh emulated environment of the sysroot's CPython and runs the
    smoke test there, from outside the checkout. Returns its line."""
    python = emulator.new_environment(root, ROOT / "build" / "wheel-check" / f"arm64-{root.version}")
    project_version = wheel.name.split("-")[1]
    emulator.pip_install(python, root, "--only-binary", ":all:", "--no-index", "--find-links", wheel.parent,
                         f"quillmaret=={project_version}", alone=True)
    proc = subprocess.run([str(python), "-I", str(SMOKE)], cwd="/", capture_output=True, text=True,
                          env=emulator.environment(root.path))
    if proc.returncode != 0 or not proc.stdout.rstrip().endswith(": ok"):
        raise Refused(f"the smoke test of {wheel.name} failed:\n{proc.stdout}{proc.stderr}")
    return proc.stdout.strip()
