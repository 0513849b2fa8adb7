"""The cross build of _m3 and the test hooks for Linux aarch64 and CPython
X.Y, with zig's clang through the project's own CMakeLists.txt."""
from __future__ import annotations

import re
import shutil
import subprocess
from pathlib import Path

from tasks import cross, pythons

from . import BUILD, ROOT, Refused, emulator, soabi, sysroot

TARGET = "aarch64-linux-gnu.2.17"
TOOLCHAIN = ROOT / "tools" / "arm64" / "toolchain-aarch64-linux-gnu.cmake"
# What tells an arm64 pyconfig.h from an x86-64 one of the same interpreter
# (Debian's 3.11 for both, compared): the x86 assembly, and wchar_t, which is
# unsigned on aarch64.
ARM64_PYCONFIG = {
    "HAVE_GCC_ASM_FOR_X64": None, "HAVE_GCC_ASM_FOR_X87": None,
    "HAVE_USABLE_WCHAR_T": "1", "PY_SUPPORT_TIER": "2",
}
MODULES = ("_m3", "_quill_testhooks")


def run(args: list, **kwargs) -> subprocess.CompletedProcess:
    """Runs a build step; its output is shown only when it fails."""
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, **kwargs)
    if proc.returncode != 0:
        raise Refused(f"{Path(str(args[0])).name} failed:\n{proc.stdout}{proc.stderr}")
    return proc


def write_script(path: Path, text: str) -> None:
    path.write_text(text)
    path.chmod(0o755)


def arm64_pyconfig(text: str) -> str:
    """An x86-64 pyconfig.h made an arm64 one (ARM64_PYCONFIG)."""
    for name, value in ARM64_PYCONFIG.items():
        line = re.compile(rf"^(#define {name}\b.*|/\* #undef {name} \*/)$", re.M)
        if not line.search(text):
            raise Refused(f"pyconfig.h says nothing of {name}")
        text = line.sub(f"#define {name} {value}" if value else f"/* #undef {name} */", text)
    return text


def headers(version: str, tree: Path, log) -> tuple[Path, str]:
    """(include folder, interpreter for CMake) for CPython X.Y. With an arm64
    interpreter from Debian: its headers, and that interpreter under qemu.
    Without (3.12): this machine's X.Y headers with its pyconfig.h made an
    arm64 one, and this machine's interpreter."""
    if version in sysroot.SUITES:
        root = sysroot.fetch(version, log)
        wrapper = tree / f"python{version}"
        exports = " ".join(f'{key}="{value}"' for key, value in emulator.environment(root.path, {}).items())
        write_script(wrapper, f'#!/bin/sh\nexport {exports}\nexec "{emulator.qemu()}" "{root.python}" "$@"\n')
        return root.include, str(wrapper)
    host = pythons.find(version, fetching=False, log=log)
    if host is None:
        raise Refused(f"no CPython {version} on this machine to take its headers from, and no arm64 one from Debian")
    source = Path(run([host, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"]).stdout.strip())
    include = tree / "include"
    shutil.rmtree(include, ignore_errors=True)
    shutil.copytree(source, include)
    config = include / "pyconfig.h"
    config.write_text(arm64_pyconfig(config.read_text()))
    return include, host


def build(version: str, python: str, tools: Path, log) -> Path:
    """Builds both modules for CPython X.Y into build/arm64-X.Y
    (incrementally; 0 warnings, or Refused) with the CMake and Ninja of the
    folder `tools`. Returns the folder build/arm64-X.Y/out holding them,
    named as the interpreter looks for them."""
    bins = cross.toolchain(python, BUILD, TARGET, ["ar", "ranlib"], log)
    tree = ROOT / "build" / f"arm64-{version}"
    tree.mkdir(parents=True, exist_ok=True)
    include, interpreter = headers(version, tree, log)
    if not (tree / "build.ninja").exists():
        if not any((BUILD / "zig-cache").iterdir()):
            log("zig builds its C start-up code and C++ library for aarch64 first (about 5 minutes, once)")
        run([tools / "cmake", "-S", ROOT, "-B", tree, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}",
             f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}", f"-DCMAKE_CXX_COMPILER={bins / 'zig-c++'}",
             f"-DCMAKE_AR={bins / 'zig-ar'}", f"-DCMAKE_RANLIB={bins / 'zig-ranlib'}", "-DCMAKE_BUILD_TYPE=Release",
             "-DSKBUILD=ON", "-DQUILL_BUILD_TESTHOOKS=ON", f"-DQUILL_CONSTGEN={BUILD / 'quill_constgen'}",
             f"-DPython_EXECUTABLE={interpreter}", f"-DPython_INCLUDE_DIR={include}"])
    out = run([tools / "ninja", "-C", tree]).stdout
    if re.search(r"warning", out, re.I):
        raise Refused(f"the build has warnings:\n{out}")
    # FindPython reads no SOABI from an interpreter of another platform, so
    # CMake names the files _m3.so; the interpreter looks for the tagged name.
    folder = tree / "out"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir()
    for name in MODULES:
        if not (tree / f"{name}.so").exists():
            raise Refused(f"the build made no {name}.so")
        shutil.copyfile(tree / f"{name}.so", folder / f"{name}.{soabi(version)}.so")
    return folder


def check_modules(python: str, folder: Path) -> list[str]:
    """elf.py's line for each module in `folder`, run by `python` (which has
    pyelftools); Refused naming what is wrong with any of them."""
    proc = subprocess.run([python, str(Path(__file__).with_name("elf.py")), *map(str, sorted(folder.glob("*.so")))],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise Refused(f"the ELF check refused the build:\n{proc.stdout}{proc.stderr}")
    return proc.stdout.splitlines()
