"""What the sessions share: prerequisites checked before anything is made,
requirements installed only when missing, and the package built into a
session's environment only when its sources changed."""
from __future__ import annotations

import hashlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from .pythons import ROOT

REQUIREMENTS = Path(__file__).with_name("requirements.py")
# Always installed with the build requirements: the build then needs no cmake
# or ninja of the machine's (nor a pyenv shim that may point elsewhere).
BUILD_TOOLS = ["cmake>=3.18", "ninja"]
# What the package's build reads: a change to any of these rebuilds it.
SOURCES = ["CMakeLists.txt", "pyproject.toml", "src", "tests/testhooks", "tools/constgen", "tools/windows/include"]


def compiler_problem(hint: str = "") -> str | None:
    """Why the C++ compiler the build would use (CXX, else the first of c++,
    g++ and clang++ on the PATH, as CMake picks it) cannot build the package,
    in one line ending with `hint`; None when it can: g++ 12 or later, or Clang."""
    hint = f"; {hint}" if hint else ""
    cxx = os.environ.get("CXX") or next(filter(None, map(shutil.which, ("c++", "g++", "clang++"))), None)
    if not cxx:
        return ("no C++ compiler found (no c++, g++ or clang++ on PATH, and CXX is not set): building the "
                f"package needs g++ 12 or later; on Debian or Ubuntu: apt-get install g++{hint}")
    try:
        macros = subprocess.run([cxx, "-dM", "-E", "-x", "c++", os.devnull], capture_output=True, text=True,
                                check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return (f"the C++ compiler {cxx} does not run: building the package needs g++ 12 or later; "
                f"on Debian or Ubuntu: apt-get install g++{hint}")
    gnu = re.search(r"^#define __GNUC__ (\d+)$", macros, re.M)
    if "#define __clang__ " in macros or not gnu or int(gnu[1]) >= 12:
        return None
    try:
        full = subprocess.run([cxx, "-dumpfullversion"], capture_output=True, text=True).stdout.strip()
    except OSError:
        full = ""
    return (f"the C++ compiler {cxx} is g++ {full or gnu[1]}: building the package needs g++ 12 or later "
            f"(C++20); on Debian or Ubuntu: apt-get install g++-12, then run with CXX=g++-12{hint}")


def missing_tools(tools: dict[str, str], needed_by: str) -> str | None:
    """{program or absolute path: Debian package}: one line naming the packages
    to install for what is missing; None when all are there."""
    packages = list(dict.fromkeys(package for program, package in tools.items()
                                  if not (os.path.exists(program) if os.path.isabs(program) else shutil.which(program))))
    if not packages:
        return None
    return f"{needed_by} need {', '.join(packages)}, missing here: on Debian, apt-get install {' '.join(packages)}"


def project_requirements(*extras: str) -> list[str]:
    """The build requirements, dependencies and the named extras of pyproject.toml, with the build tools."""
    out = subprocess.run([sys.executable, str(REQUIREMENTS), "list", *extras], capture_output=True, text=True,
                         check=True).stdout
    return out.split() + BUILD_TOOLS


def install_missing(session, requirements: list[str], python: str = "python") -> None:
    """Installs into the session's environment (or `python`'s) whatever of
    `requirements` it lacks: no pip run, no download when all are there."""
    unmet = session.run(python, str(REQUIREMENTS), "unmet", *requirements, silent=True, external=True)
    unmet = [line for line in (unmet or "").splitlines() if line]
    if not unmet:
        return
    session.log(f"installing {', '.join(unmet)} (up to a minute or two; once)")
    session.run(python, "-m", "pip", "install", "--disable-pip-version-check", "--no-input", *unmet,
                external=True, silent=True)


def source_digest() -> str:
    """A digest of what the package is built from."""
    digest = hashlib.sha256()
    for top in SOURCES:
        path = ROOT / top
        files = sorted(p for p in path.rglob("*") if p.is_file()) if path.is_dir() else [path]
        for file in files:
            if "__pycache__" in file.parts or file.suffix in (".pyc", ".pyo"):
                continue
            digest.update(file.relative_to(ROOT).as_posix().encode() + b"\0" + file.read_bytes())
    return digest.hexdigest()


def pip_install_package(session, build_dir: Path, *options: str, python: str = "python") -> None:
    """Builds the package (incrementally, in build_dir) and installs it with pip `options`."""
    state = "seconds to a minute: only what changed" if build_dir.is_dir() else "1-2 minutes the first time"
    session.log(f"building quillmaret into {build_dir.relative_to(ROOT)} ({state})")
    bin_dir = str(Path(session.run(python, "-c", "import sys, os; print(os.path.dirname(sys.executable))",
                                   silent=True, external=True).strip()))
    session.run(python, "-m", "pip", "install", "--disable-pip-version-check", "--no-input",
                "--no-deps", "--no-build-isolation", f"-Cbuild-dir={build_dir}", *options, str(ROOT),
                env={"PATH": bin_dir + os.pathsep + os.environ.get("PATH", "")}, external=True, silent=True)


def install_package(session, build_dir: Path) -> None:
    """The package with its test hooks in the session's environment; nothing
    to do when the sources have not changed since the last install."""
    stamp = Path(session.virtualenv.location) / ".package"
    digest = source_digest()
    if stamp.is_file() and stamp.read_text() == digest:
        return
    stamp.unlink(missing_ok=True)
    pip_install_package(session, build_dir, "--force-reinstall", "-Ccmake.define.QUILL_BUILD_TESTHOOKS=ON")
    stamp.write_text(digest)
