"""The reference-leak hunt: the suite with each test repeated in-process
under tests/harness/refleak.py, which says how a test is judged.

On 3.11, 3.14 and 3.15 it runs under Debian's debug interpreter (fetched
into the checkout), which counts every reference (sys.gettotalrefcount):
pytest and Hypothesis go into a virtual environment of it, and both
extension modules are built for the debug ABI with CMake into
build/dbg-X.Y, installed with the package into build/site-dbg-X.Y. On 3.12
and 3.13 it runs in the session's own environment of the release
interpreter, which counts memory blocks and the references to what each
test handles.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

from . import envs
from .pythons import ROOT

HARNESS = ROOT / "tests" / "harness"
PLANTED = "tests/harness/planted_leak.py"


def debug_env(session, interpreter: str, where: Path) -> str:
    """A virtual environment of the debug interpreter with the pure-Python test
    tools (a compiled one, mypy, would have to be built for the debug ABI; its
    tests skip); remade when made from another interpreter. Returns its python."""
    python = where / "bin" / "python"
    origin = f"{os.path.realpath(interpreter)}\n"
    stamp = where / ".origin"
    if not (python.exists() and stamp.is_file() and stamp.read_text() == origin):
        shutil.rmtree(where, ignore_errors=True)
        session.log(f"creating {where.relative_to(ROOT)} from {interpreter} (seconds)")
        # virtualenv (nox's own) seeds pip without the interpreter's ensurepip.
        session.run(sys.executable, "-m", "virtualenv", "--no-periodic-update", "-p", interpreter, str(where),
                    external=True, silent=True)
        stamp.write_text(origin)
    tools = [r for r in envs.project_requirements("test") if r.startswith(("pytest", "hypothesis"))]
    envs.install_missing(session, tools, python=str(python))
    return str(python)


def build_debug(session, python: str, version: str) -> Path:
    """Both modules built for the debug ABI (with assertions) with the
    session's CMake and Ninja, installed with the package's files; returns the
    folder to put on the path."""
    envs.install_missing(session, envs.BUILD_TOOLS)
    build, site = ROOT / "build" / f"dbg-{version}", ROOT / "build" / f"site-dbg-{version}"
    if not (build / "CMakeCache.txt").is_file():
        session.log(f"configuring {build.relative_to(ROOT)} (about a minute to build)")
        # Debian's debug headers are links to the release ones, and gcc looks
        # for Python.h's "pyconfig.h" beside the link's target: without
        # -DPy_DEBUG the modules would get the release configuration, whose
        # inline Py_INCREF/Py_DECREF skip the reference total the hunt reads.
        session.run("cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
                    f"-DCMAKE_MAKE_PROGRAM={shutil.which('ninja', path=session.bin)}",
                    f"-DPython_EXECUTABLE={python}", "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS=-DPy_DEBUG",
                    "-DQUILL_BUILD_TESTHOOKS=ON", silent=True)
    session.run("cmake", "--build", str(build), "--parallel", str(os.cpu_count() or 1), silent=True)
    shutil.rmtree(site, ignore_errors=True)
    session.run("cmake", "--install", str(build), "--prefix", str(site), silent=True)
    # The package's own files, as the wheel ships them (no sources).
    package = ROOT / "src" / "quillmaret"
    for path in package.rglob("*"):
        if path.is_file() and path.suffix not in (".cpp", ".h", ".def", ".pyc"):
            target = site / "quillmaret" / path.relative_to(package)
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(path, target)
    # A module built for the debug ABI counts its own references in the
    # interpreter's total (3.11: _Py_RefTotal; 3.12+: through
    # _Py_INCREF_IncRefTotal); one that does not would hide leaks.
    for module in (site / "quillmaret").glob("*.so"):
        symbols = subprocess.run(["nm", "-D", "--undefined-only", str(module)], capture_output=True,
                                 text=True).stdout
        if "_Py_RefTotal" not in symbols and "_Py_INCREF_IncRefTotal" not in symbols:
            session.error(f"{module} does not count references (not built for the debug ABI)")
    return site


def command(python: str, site: Path | None, *args: str) -> tuple[list[str], dict[str, str]]:
    path = os.pathsep.join(str(p) for p in (site, HARNESS) if p)
    return ([python, "-m", "pytest", "-p", "refleak", "-p", "no:cacheprovider", "--capture=sys", *args],
            {"PYTHONPATH": path})


def self_check(python: str, site: Path | None, debug: bool) -> list[str]:
    """Hunts the planted leaks; returns what the hunt failed to report (empty
    when it reported every planted fault, and nothing else)."""
    argv, env = command(python, site, "--leak-runs=3:3", "-rfE", PLANTED)
    proc = subprocess.run(argv, env={**os.environ, **env}, cwd=ROOT, capture_output=True, text=True)
    print(proc.stdout + proc.stderr)
    lines = set(proc.stdout.splitlines())
    # A new object that is leaked holds a block in either build, and counts
    # as a reference only in the debug build's total.
    block_leak = "leaked [1, 1, 1] memory blocks, sum=3"
    if debug:
        block_leak = "leaked [1, 1, 1] references, sum=3; " + block_leak
    expected = [
        f"{PLANTED}::test_leaks_one_reference_per_call {block_leak}",
        f"{PLANTED}::test_leaks_reference_to_what_it_handles leaked [1, 1, 1] references, sum=3",
        "5 tests repeated 3+3 times, 1 run once (subprocess), 2 leaking",
    ]
    missing = [f"the line: {line}" for line in expected if line not in lines]
    if not (f"FAILED {PLANTED}::test_passes_only_once" in proc.stdout
            and "a test that cannot be repeated in-process needs @pytest.mark.subprocess" in proc.stdout):
        missing.append("test_passes_only_once failing, as needing the subprocess marker")
    # Its reported run passes: only the rule that a failed repeat fails the
    # test reports it.
    if not (f"FAILED {PLANTED}::test_fails_only_on_its_second_run" in proc.stdout
            and "its call passed 1 time(s), then failed on run 2 of 6 in the same process" in proc.stdout):
        missing.append("test_fails_only_on_its_second_run failing, on its run 2 of 6")
    if not any(line.lstrip("= ").startswith("4 failed, 4 passed, 1 deselected") for line in lines):
        missing.append("4 failed, 4 passed, 1 deselected")
    if proc.returncode != 1:
        missing.append(f"pytest's exit status 1 (it was {proc.returncode})")
    return missing


def full_version(python: str) -> str:
    return subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                          capture_output=True, text=True, check=True).stdout.strip()
