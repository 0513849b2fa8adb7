"""What the cross builds (Windows x64, Linux aarch64) share: zig, the
constant-stream producer built for this machine, and the wheels packed from
the modules they make.

zig comes from PyPI's ziglang, installed once into .venv/zig for every
session that cross-builds: zig keys its cache of what it builds for a
target (the C++ library, the C start-up code) by the folder of its own
library sources, so one zig builds those once per target, not once per
session environment.
"""
from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

from .pythons import ROOT

ZIGLANG = "ziglang==0.17.1"
ZIG_DIR = ROOT / ".venv" / "zig"
MAKE_WHEEL = Path(__file__).with_name("make_wheel.py")


def zig(python: str, log) -> Path:
    """zig, installed into .venv/zig with `python`'s pip unless it is there."""
    import fcntl  # here: the tests import this module on Windows too, which has none
    stamp = ZIG_DIR / ".installed"
    ZIG_DIR.parent.mkdir(parents=True, exist_ok=True)
    # Two nox runs at once (CI runs two) install it once: the second waits.
    with open(ZIG_DIR.parent / "zig.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not stamp.is_file() or stamp.read_text() != ZIGLANG:
            shutil.rmtree(ZIG_DIR, ignore_errors=True)
            log(f"installing {ZIGLANG} into .venv/zig (a minute; once)")
            subprocess.run([python, "-m", "pip", "install", "--disable-pip-version-check", "--no-input", "--no-deps",
                            "--target", str(ZIG_DIR), ZIGLANG], check=True, capture_output=True)
            stamp.write_text(ZIGLANG)
    return ZIG_DIR / "ziglang" / "zig"


def toolchain(python: str, build: Path, target: str, tools: list[str], log) -> Path:
    """The compiler wrappers for `target` in build/bin (zig-c++, and zig-TOOL
    for each of `tools`), zig's cache in build/zig-cache, and quill_constgen
    built for this machine in build/ (a cross build cannot run what it
    compiles; rebuilt when its sources change). Returns build/bin."""
    program = zig(python, log)
    bins, cache = build / "bin", build / "zig-cache"
    bins.mkdir(parents=True, exist_ok=True)
    cache.mkdir(parents=True, exist_ok=True)
    (bins / "zig-c++").write_text(
        f'#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR="{cache}" ZIG_LOCAL_CACHE_DIR="{cache}"\n'
        f'exec "{program}" c++ -target {target} "$@"\n')
    for tool in tools:
        (bins / f"zig-{tool}").write_text(f'#!/bin/sh\nexec "{program}" {tool} "$@"\n')
    for wrapper in bins.iterdir():
        wrapper.chmod(0o755)
    gen = build / "quill_constgen"
    sources = [*(ROOT / "tools" / "constgen").rglob("*"), ROOT / "src/quillmaret/constants.def",
               ROOT / "src/quillmaret/stream_format.h"]
    if not gen.exists() or any(p.stat().st_mtime > gen.stat().st_mtime for p in sources if p.is_file()):
        subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror",
                        str(ROOT / "tools/constgen/constgen.cpp"), "-o", str(gen)], check=True)
    return bins


def metadata(python: str, where: Path) -> Path:
    """The package's metadata as the build backend writes it for every wheel, in `where`."""
    shutil.rmtree(where, ignore_errors=True)
    where.mkdir(parents=True)
    subprocess.run([python, "-c", "import sys; from scikit_build_core.build import prepare_metadata_for_build_wheel "
                    "as p; p(sys.argv[1])", str(where)], cwd=ROOT, check=True, capture_output=True)
    return next(where.glob("*.dist-info"))


def make_wheel(python: str, tag: str, dist_info: Path, out: Path, *modules: Path) -> Path:
    """The wheel of the package with `modules`, tagged `tag` (cp3X-cp3X-PLATFORM), in `out`."""
    proc = subprocess.run([python, str(MAKE_WHEEL), "--metadata", str(dist_info), "--package",
                           str(ROOT / "src/quillmaret"), "--tag", tag, "--out", str(out), *map(str, modules)],
                          capture_output=True, text=True, check=True)
    return Path(proc.stdout.strip())
