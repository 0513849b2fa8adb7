"""Wheels of the cross-built modules: packed with the build backend's own
metadata, repaired (tagged) by auditwheel, and installed by pip into fresh
emulated environments."""
from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys

from . import BUILD, ROOT, emulator
from .build import BuildError, run
from .sysroot import Sysroot

MAKE_WHEEL = ROOT / "tools" / "windows" / "make_wheel.py"
SMOKE_TEST = ROOT / "tools" / "smoke_test.py"


def metadata() -> pathlib.Path:
    """The package's .dist-info as the build backend writes it."""
    out = BUILD / "metadata"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    run([sys.executable, "-c", "import sys; from scikit_build_core.build import "
         "prepare_metadata_for_build_wheel as p; p(sys.argv[1])", out], cwd=ROOT)
    return next(out.glob("*.dist-info"))


def pack(version: str, modules: list[pathlib.Path], dist_info: pathlib.Path, out: pathlib.Path) -> pathlib.Path:
    """A linux_aarch64 wheel of the package with `modules`."""
    cp = "cp" + version.replace(".", "")
    proc = run([sys.executable, MAKE_WHEEL, "--metadata", dist_info, "--package", ROOT / "src" / "quillmaret",
                "--tag", f"{cp}-{cp}-linux_aarch64", "--out", out, *modules])
    return pathlib.Path(proc.stdout.strip())


def repair(wheel: pathlib.Path, dist: pathlib.Path) -> pathlib.Path:
    """The wheel as auditwheel tags it for the oldest glibc its module
    allows (manylinux_2_17_aarch64), in `dist`."""
    before = set(dist.glob("*.whl"))
    tools = pathlib.Path(sys.executable).parent
    run([tools / "auditwheel", "repair", "--wheel-dir", dist, wheel],
        env={**os.environ, "PATH": f"{tools}:{os.environ['PATH']}"})
    made = set(dist.glob("*.whl")) - before
    if len(made) != 1:
        raise BuildError(f"auditwheel left {sorted(p.name for p in made)} for {wheel.name}")
    return made.pop()


def new_environment(sysroot: Sysroot, path: pathlib.Path) -> pathlib.Path:
    """A fresh emulated virtual environment of the sysroot's Python, with
    pip installed from Debian's pip wheel by that wheel itself. (Not by
    ensurepip: Debian's copies the wheel from /usr/share/python-wheels, and
    qemu 7.2 finds that path in the sysroot when the file is opened but not
    when its extended attributes are listed, so 3.13 and later fail.)
    Returns its interpreter."""
    shutil.rmtree(path, ignore_errors=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    env = emulator.environment(sysroot.path)
    run([sysroot.python, "-m", "venv", "--without-pip", path], env=env)
    python = path / "bin" / "python"
    wheel = sysroot.pip_wheel
    run([python, wheel / "pip", "install", "--disable-pip-version-check", "--no-input", "--no-index", "-q",
         wheel], env=env)
    return python


def pip_install(python: pathlib.Path, sysroot: Sysroot, *args: object, alone: bool = False) -> None:
    """pip install ARGS under emulation; `alone`: without this machine's
    PIP_* settings (an index or find-links of its own)."""
    env = emulator.environment(sysroot.path)
    if alone:
        env = {key: value for key, value in env.items() if not key.startswith("PIP_")}
    run([python, "-m", "pip", "install", "--disable-pip-version-check", "--no-input", *args], env=env)


def install_and_smoke_test(sysroot: Sysroot, dist: pathlib.Path, project_version: str) -> str:
    """Installs the package from `dist` alone (binary only, no index) into a
    fresh emulated environment of the sysroot's Python and runs the smoke
    test there, from outside the checkout. Returns the smoke test's line."""
    python = new_environment(sysroot, ROOT / "build" / "wheel-check" / f"arm64-{sysroot.version}")
    pip_install(python, sysroot, "--only-binary", ":all:", "--no-index", "--find-links", dist,
                f"quillmaret=={project_version}", alone=True)
    proc = subprocess.run([python, "-I", SMOKE_TEST], cwd="/", capture_output=True, text=True,
                          env=emulator.environment(sysroot.path))
    if proc.returncode != 0 or not proc.stdout.rstrip().endswith(": ok"):
        raise BuildError(f"the smoke test failed:\n{proc.stdout}{proc.stderr}")
    return proc.stdout.strip()
