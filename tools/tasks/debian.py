"""Interpreters from Debian's archive, fetched into the checkout.

    fetch(versions, suite="sid", arch="amd64", dest=...)

downloads CPython X.Y's packages of a Debian suite (bookworm, trixie, sid,
...) for one architecture, release and debug interpreters (python3.X,
python3.Xd) with their headers, and unpacks each version into dest/X.Y.
Nothing outside dest changes: apt runs with its own lists, cache and (empty)
state under dest/apt and only downloads; dpkg-deb unpacks. A version counts
as fetched once dest/X.Y/.fetched holds its full version: the stamp is
written last, so an interrupted fetch starts over.

Binaries of another suite than the machine's are built against that suite's
C library: they get its loader and libraries, unpacked beside them, through
patchelf (the machine's own release's, unpacked too). The search path is set
as DT_RPATH, not RUNPATH: an RPATH of the executable also serves the
libraries it loads, so the standard library's extension modules (_ssl,
_sqlite3, ...) find the suite's OpenSSL and SQLite, not the machine's. For
another architecture nothing is patched or run: the tree is a sysroot, the
root of an emulated system's files, usr-merged as the packages after
bookworm expect (bin, sbin and lib link to usr/), where the programs' loader
(/lib/ld-linux-aarch64.so.1) is then found.
"""
from __future__ import annotations

import platform
import re
import shutil
import subprocess
from pathlib import Path

KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
# What the interpreters load at run time besides their own packages: the C
# library and what the standard library's extension modules link to. The
# names differ between suites (the 64-bit time_t transition renamed some;
# bookworm's 3.11 carries its own copy of libmpdec).
RUNTIME_LIBRARIES = {
    "bookworm": "libc6 libgcc-s1 libstdc++6 libssl3 libexpat1 zlib1g libbz2-1.0 liblzma5 libzstd1 "
                "libffi8 libsqlite3-0 libncursesw6 libtinfo6 libreadline8 libuuid1 libdb5.3 "
                "libgdbm6",
    "sid": "libc6 libgcc-s1 libstdc++6 libssl3t64 libexpat1 zlib1g libbz2-1.0 liblzma5 libzstd1 "
           "libffi8 libsqlite3-0 libmpdec4 libncursesw6 libtinfo6 libreadline8t64 libuuid1 libdb5.3t64 "
           "libgdbm6t64",
}
# Debian's name of each machine architecture, and its multiarch triplet.
ARCHES = {"x86_64": "amd64", "aarch64": "arm64"}
TRIPLETS = {"amd64": "x86_64-linux-gnu", "arm64": "aarch64-linux-gnu"}
LOADERS = {"amd64": "ld-linux-x86-64.so.2", "arm64": "ld-linux-aarch64.so.1"}
# A sysroot of another architecture is a whole system: what the machine
# would otherwise lend (the password hashing library of 3.11's _crypt), and
# the setuptools wheel that 3.11's ensurepip installs beside pip's.
SYSROOT_PACKAGES = ["libcrypt1", "python3-setuptools-whl"]
USR_MERGED = ["bin", "sbin", "lib"]


class FetchError(Exception):
    """Why the interpreters could not be fetched, in one line."""


def host_arch() -> str:
    return ARCHES.get(platform.machine(), platform.machine())


def host_codename() -> str:
    try:
        for line in Path("/etc/os-release").read_text(encoding="utf-8").splitlines():
            if line.startswith("VERSION_CODENAME="):
                return line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return ""


def interpreter(dest: Path, version: str, debug: bool = False) -> Path:
    """Where fetch() leaves the interpreter X.Y (python3.X, or python3.Xd)."""
    return dest / version / "usr" / "bin" / f"python{version}{'d' if debug else ''}"


def is_fetched(dest: Path, version: str) -> bool:
    return (dest / version / ".fetched").is_file()


def full_version(dest: Path, version: str) -> str | None:
    """The full version of the fetched X.Y (3.13.18), None when not fetched."""
    stamp = dest / version / ".fetched"
    return stamp.read_text(encoding="utf-8").strip() if stamp.is_file() else None


def python_packages(version: str, debug: bool) -> list[str]:
    names = [f"python{version}", f"python{version}-minimal", f"libpython{version}-minimal",
             f"libpython{version}-stdlib", f"python{version}-dev", f"libpython{version}-dev",
             f"python{version}-venv"]
    if debug:
        names += [f"python{version}-dbg", f"libpython{version}-dbg"]
    return names


class Apt:
    """apt-get with a private source list, lists, cache and state under `where`."""

    def __init__(self, where: Path, sources: list[str], arch: str):
        self.where = where
        for sub in ("lists/partial", "cache/archives/partial"):
            (where / sub).mkdir(parents=True, exist_ok=True)
        (where / "sources.list").write_text(
            "".join(f"deb [signed-by={KEYRING}] http://deb.debian.org/debian {suite} main\n"
                    for suite in sources), encoding="utf-8")
        (where / "status").write_text("", encoding="utf-8")
        self.options = [
            "-o", f"Dir::Etc::SourceList={where / 'sources.list'}", "-o", "Dir::Etc::SourceParts=/dev/null",
            "-o", f"Dir::State::Lists={where / 'lists'}", "-o", f"Dir::State::status={where / 'status'}",
            "-o", f"Dir::Cache={where / 'cache'}", "-o", "APT::Sandbox::User=root",
            "-o", f"APT::Architecture={arch}", "-o", f"APT::Architectures={arch}",
            "-o", "Acquire::Retries=1", "-o", "Acquire::http::Timeout=20",
        ]

    def run(self, *args: str, cwd: Path | None = None) -> str:
        proc = subprocess.run(["apt-get", *self.options, *args], cwd=cwd, capture_output=True, text=True)
        errors = [line for line in (proc.stdout + proc.stderr).splitlines() if line.startswith(("E: ", "W: "))]
        if proc.returncode != 0 or errors:
            raise FetchError((errors or [f"apt-get {args[0]} exited {proc.returncode}"])[0][:160])
        return proc.stdout


def unpack(deb: Path, into: Path) -> None:
    """A package's files, less debug symbols and documentation. Links to
    folders already there (a usr-merged root's lib -> usr/lib) are followed,
    not replaced by folders."""
    into.mkdir(parents=True, exist_ok=True)
    proc = subprocess.run(
        f"dpkg-deb --fsys-tarfile '{deb}' | tar -x -C '{into}' --keep-directory-symlink --exclude=./usr/lib/debug "
        "--exclude=./usr/share/doc --exclude=./usr/share/man", shell=True, capture_output=True, text=True)
    if proc.returncode != 0:
        raise FetchError(f"{deb.name} could not be unpacked: {proc.stderr.strip().splitlines()[0][:120]}")


def fetch(versions: list[str], suite: str = "sid", arch: str | None = None, dest: Path | None = None,
          debug: bool = True, log=print) -> list[str]:
    """Fetches the versions not fetched yet; returns those now there.

    Raises FetchError (one line) when apt or the archive fails."""
    arch = arch or host_arch()
    assert dest is not None
    missing = [v for v in versions if not is_fetched(dest, v)]
    if not missing:
        return versions
    if shutil.which("apt-get") is None or shutil.which("dpkg-deb") is None:
        raise FetchError("this needs a Debian machine (apt-get, dpkg-deb)")
    native = arch == host_arch()
    codename = host_codename()
    foreign = native and suite != codename
    if foreign and not codename:
        raise FetchError("/etc/os-release names no Debian release (for patchelf)")
    kinds = "release and debug builds" if debug else "release builds"
    log(f"fetching Python {', '.join(missing)} ({kinds}, {arch}) from Debian {suite} "
        f"into {dest.name}/ (seconds; once)")
    apt = Apt(dest / "apt", [suite] + ([codename] if foreign else []), arch)
    apt.run("update")
    packages = [p for v in missing for p in python_packages(v, debug)] + ["python3-pip-whl"]
    if suite != codename or not native:
        packages += RUNTIME_LIBRARIES.get(suite, RUNTIME_LIBRARIES["sid"]).split()
    if not native:
        packages += SYSROOT_PACKAGES
    if foreign:
        packages.append(f"patchelf/{codename}")
    debs = dest / "apt" / "debs"
    shutil.rmtree(debs, ignore_errors=True)
    debs.mkdir()
    apt.run("download", *packages, cwd=debs)

    patchelf = None
    if foreign:
        tools = dest / "apt" / "patchelf"
        shutil.rmtree(tools, ignore_errors=True)
        unpack(next(debs.glob("patchelf_*.deb")), tools)
        patchelf = tools / "usr" / "bin" / "patchelf"
    done = []
    for version in missing:
        done += _install(version, debs, dest, arch, debug, patchelf, log)
    shutil.rmtree(debs, ignore_errors=True)
    shutil.rmtree(dest / "apt" / "cache", ignore_errors=True)
    return [v for v in versions if is_fetched(dest, v)]


def _install(version, debs, dest, arch, debug, patchelf, log) -> list[str]:
    """Unpacks one version's packages and the shared ones into dest/X.Y."""
    root = dest / version
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    if arch != host_arch():
        for name in USR_MERGED:
            (root / "usr" / name).mkdir(parents=True)
            (root / name).symlink_to(f"usr/{name}")
    for deb in sorted(debs.glob("*.deb")):
        name = deb.name.split("_", 1)[0]
        if name == "patchelf" or ("python3." in name and f"python{version}" not in name):
            continue
        unpack(deb, root)
    triplet = TRIPLETS[arch]
    libdir = root / "usr" / "lib" / triplet
    binaries = [f"python{version}"] + ([f"python{version}d"] if debug else [])
    if patchelf is not None:
        for binary in binaries:
            subprocess.run([str(patchelf), "--set-interpreter", str(libdir / LOADERS[arch]),
                            "--force-rpath", "--set-rpath", str(libdir), str(root / "usr/bin" / binary)],
                           check=True)
    # Debian's pyconfig.h only includes the multiarch one from the system's
    # include path, which has none for this tree: the real ones take its
    # place (the debug headers link to the release ones, so the debug
    # configuration gets a file of its own).
    for suffix in ("", "d") if debug else ("",):
        header = root / "usr/include" / f"python{version}{suffix}" / "pyconfig.h"
        if header.is_symlink() or header.exists():
            header.unlink()
        shutil.copy(root / "usr/include" / triplet / f"python{version}{suffix}" / "pyconfig.h", header)
    if arch != host_arch():
        patchlevel = (root / "usr/include" / f"python{version}" / "patchlevel.h").read_text(encoding="utf-8")
        found = re.search(r'^#define PY_VERSION\s+"([^"+]+)', patchlevel, re.M)
        if found is None:
            raise FetchError(f"python{version}'s patchlevel.h names no version")
        (root / ".fetched").write_text(found[1] + "\n", encoding="utf-8")
        return [version]
    full = ""
    for binary in binaries:
        proc = subprocess.run([str(root / "usr/bin" / binary), "-c",
                               "import ssl, sqlite3, ctypes, sysconfig, platform; print(platform.python_version())"],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            log(proc.stderr.strip())
            log(f"the unpacked {binary} does not run")
            return []
        full = proc.stdout.strip()
    (root / ".fetched").write_text(full + "\n", encoding="utf-8")
    return [version]
