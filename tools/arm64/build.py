"""The cross build of _m3 and the test hooks for Linux aarch64 and CPython
X.Y, with zig's clang through the project's own CMakeLists.txt."""
from __future__ import annotations

import os
import pathlib
import re
import shutil
import subprocess
import sys

from . import BUILD, ROOT, emulator, log, sysroot

TARGET = "aarch64-linux-gnu.2.17"
TOOLCHAIN = ROOT / "tools" / "arm64" / "toolchain-aarch64-linux-gnu.cmake"
# What tells an arm64 pyconfig.h from an x86-64 one of the same interpreter
# (Debian's 3.11 for both, compared): the x86 assembly, and wchar_t, which is
# unsigned on aarch64.
ARM64_PYCONFIG = {
    "HAVE_GCC_ASM_FOR_X64": None, "HAVE_GCC_ASM_FOR_X87": None,
    "HAVE_USABLE_WCHAR_T": "1", "PY_SUPPORT_TIER": "2",
}


class BuildError(Exception):
    pass


def run(args: list, **kwargs) -> subprocess.CompletedProcess:
    """Runs a build step; its output is shown only when it fails."""
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, **kwargs)
    if proc.returncode != 0:
        raise BuildError(f"{pathlib.Path(str(args[0])).name} failed:\n{proc.stdout}{proc.stderr}")
    return proc


def zig() -> pathlib.Path:
    import ziglang  # in .venv/arm64-tools
    return pathlib.Path(ziglang.__file__).parent / "zig"


def write_script(path: pathlib.Path, text: str) -> None:
    path.write_text(text)
    path.chmod(0o755)


def prepare_toolchain() -> pathlib.Path:
    """The compiler wrappers in build/arm64/bin, and quill_constgen built for
    this host (a cross build cannot run what it compiles). Returns the bin folder."""
    bin_dir = BUILD / "bin"
    bin_dir.mkdir(parents=True, exist_ok=True)
    cache = BUILD / "zig-cache"
    # zig builds its aarch64 C++ library and C start-up code once, into its
    # cache: here, inside build/.
    write_script(bin_dir / "zig-c++", f'#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR="{cache}" '
                 f'ZIG_LOCAL_CACHE_DIR="{cache}"\nexec "{zig()}" c++ -target {TARGET} "$@"\n')
    for tool in ("ar", "ranlib"):
        write_script(bin_dir / f"zig-{tool}", f'#!/bin/sh\nexec "{zig()}" {tool} "$@"\n')
    constgen = BUILD / "quill_constgen"
    sources = [ROOT / "tools" / "constgen" / name for name in ("constgen.cpp", "lzss_encoder.h")]
    sources += [ROOT / "src" / "quillmaret" / name for name in ("constants.def", "stream_format.h")]
    if not constgen.exists() or any(s.stat().st_mtime > constgen.stat().st_mtime for s in sources):
        run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror", sources[0], "-o", constgen])
    return bin_dir


def host_python(version: str) -> str:
    """This machine's Python X.Y, as the scripts find it."""
    proc = subprocess.run([ROOT / "scripts" / "lib" / "pythons", "find"], capture_output=True, text=True,
                          env={**os.environ, "QUILL_PYTHONS": version})
    found = proc.stdout.split()
    if len(found) != 2:
        raise BuildError(f"Python {version} for the build: {proc.stderr.strip() or 'not found'}")
    return found[1]


def arm64_pyconfig(text: str) -> str:
    """An x86-64 pyconfig.h made an arm64 one (ARM64_PYCONFIG)."""
    for name, value in ARM64_PYCONFIG.items():
        line = re.compile(rf"^(#define {name}\b.*|/\* #undef {name} \*/)$", re.M)
        if not line.search(text):
            raise BuildError(f"pyconfig.h says nothing of {name}")
        text = line.sub(f"#define {name} {value}" if value else f"/* #undef {name} */", text)
    return text


def headers(version: str, build: pathlib.Path) -> tuple[pathlib.Path, str]:
    """(include folder, interpreter for CMake) for Python X.Y. With an arm64
    interpreter (fetched first): its headers, and that interpreter under
    qemu. Without (3.12): this machine's X.Y headers with its pyconfig.h
    made an arm64 one, and this machine's interpreter."""
    if version in sysroot.available():
        root = sysroot.Sysroot(version)
        root.ensure()
        wrapper = build / f"python{version}"
        env = emulator.environment(root.path, {})
        exports = " ".join(f'{key}="{value}"' for key, value in env.items())
        write_script(wrapper, f'#!/bin/sh\nexport {exports}\n'
                     f'exec "{emulator.qemu()}" "{root.python}" "$@"\n')
        return root.include, str(wrapper)
    host = host_python(version)
    source = pathlib.Path(run([host, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"])
                          .stdout.strip())
    include = build / "include"
    shutil.rmtree(include, ignore_errors=True)
    shutil.copytree(source, include)
    config = include / "pyconfig.h"
    config.write_text(arm64_pyconfig(config.read_text()))
    return include, host


def build(version: str) -> pathlib.Path:
    """Builds both modules for CPython X.Y into build/arm64-X.Y (incrementally,
    0 warnings or BuildError). Returns the folder (build/arm64-X.Y/out)
    holding _m3 and the hooks, named as the interpreter looks for them."""
    bin_dir = prepare_toolchain()
    tools = pathlib.Path(sys.executable).parent
    soabi = f"cpython-{version.replace('.', '')}-aarch64-linux-gnu"
    build_dir = ROOT / "build" / f"arm64-{version}"
    build_dir.mkdir(parents=True, exist_ok=True)
    include, interpreter = headers(version, build_dir)
    if not (build_dir / "build.ninja").exists():
        if not (BUILD / "zig-cache").exists():
            log("zig builds its C library start-up and C++ library for aarch64 first (about 5 minutes, once)")
        run([tools / "cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
             f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}", f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}",
             f"-DCMAKE_CXX_COMPILER={bin_dir / 'zig-c++'}", f"-DCMAKE_AR={bin_dir / 'zig-ar'}",
             f"-DCMAKE_RANLIB={bin_dir / 'zig-ranlib'}", "-DCMAKE_BUILD_TYPE=Release", "-DSKBUILD=ON",
             "-DQUILL_BUILD_TESTHOOKS=ON", f"-DQUILL_CONSTGEN={BUILD / 'quill_constgen'}",
             f"-DPython_EXECUTABLE={interpreter}", f"-DPython_INCLUDE_DIR={include}"])
    out = run([tools / "ninja", "-C", build_dir]).stdout
    if re.search(r"warning", out, re.I):
        raise BuildError(f"the build has warnings:\n{out}")
    # FindPython reads no SOABI from an interpreter of another platform, so
    # CMake names the files _m3.so; the interpreter looks for the tagged name.
    out = build_dir / "out"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    for name in ("_m3", "_quill_testhooks"):
        if not (build_dir / f"{name}.so").exists():
            raise BuildError(f"the build made no {name}.so")
        shutil.copyfile(build_dir / f"{name}.so", out / f"{name}.{soabi}.so")
    return out
