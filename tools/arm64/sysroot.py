"""The arm64 systems the emulated interpreters run in: Debian's own arm64
CPython builds with the libraries they load, each version unpacked into a
folder of its own (.venv/interpreters/SUITE-arm64/X.Y), which qemu-user
takes as the root of the emulated system's files (QEMU_LD_PREFIX). Nothing
is installed on this machine.

3.11 comes from bookworm; 3.13, 3.14 and 3.15 from sid, whose 3.13 is past
the 3.13.6 that fixed a dict fault of 3.13.0-3.13.5 (gh-109700). No Debian
suite has an arm64 3.12."""
from __future__ import annotations

import pathlib
import re
import shutil

from . import VENV, debian

# The suite each interpreter comes from.
SUITES = {"3.11": "bookworm", "3.13": "sid", "3.14": "sid", "3.15": "sid"}
# What the interpreters and their standard library's extension modules load;
# the names differ between suites (the 64-bit time_t transition renamed
# some). Then pip's wheel, which the environments are given.
RUNTIME = {
    # (bookworm's 3.11 has its own copy of libmpdec)
    "bookworm": "libc6 libgcc-s1 libssl3 libexpat1 zlib1g libbz2-1.0 liblzma5 libzstd1 libffi8 libsqlite3-0 "
                "libncursesw6 libtinfo6 libreadline8 libuuid1 libdb5.3 libgdbm6 libcrypt1",
    "sid": "libc6 libgcc-s1 libssl3t64 libexpat1 zlib1g libbz2-1.0 liblzma5 libzstd1 libffi8 libsqlite3-0 "
           "libmpdec4 libncursesw6 libtinfo6 libreadline8t64 libuuid1 libdb5.3t64 libgdbm6t64 libcrypt1",
}
WHEELS = ["python3-pip-whl", "python3-setuptools-whl"]
# The programs name /lib/ld-linux-aarch64.so.1 as their loader, and the
# packages after bookworm hold their files under usr/ alone: the root links
# these folders to usr/, as a usr-merged system does.
USR_MERGED = ["bin", "sbin", "lib"]
TRIPLET = "aarch64-linux-gnu"


def interpreter_packages(version: str) -> list[str]:
    """The packages of Python X.Y: interpreter, standard library (with
    _testcapi), venv, and the headers with their multiarch pyconfig.h."""
    return [f"python{version}", f"python{version}-minimal", f"libpython{version}-minimal",
            f"libpython{version}-stdlib", f"libpython{version}-dev", f"python{version}-venv"]


def fetch(version: str, work: pathlib.Path) -> list[pathlib.Path]:
    """The .deb files of Python X.Y and what it loads, from its suite. The
    one place that talks to Debian's archive."""
    suite = SUITES[version]
    packages = RUNTIME[suite].split() + WHEELS + interpreter_packages(version)
    return debian.fetch_packages(packages, arch="arm64", suites=[suite], state=work / f"apt-{suite}",
                                 into=work / "debs")


class Sysroot:
    """The arm64 system of Python X.Y. Its `.fetched` holds the full version
    (3.13.18), written last, so an interrupted fetch starts over."""

    def __init__(self, version: str):
        self.version = version
        self.path = VENV / "interpreters" / f"{SUITES[version]}-arm64" / version
        self.stamp = self.path / ".fetched"

    @property
    def full_version(self) -> str | None:
        return self.stamp.read_text().strip() if self.stamp.is_file() else None

    @property
    def python(self) -> pathlib.Path:
        return self.path / "usr" / "bin" / f"python{self.version}"

    @property
    def pip_wheel(self) -> pathlib.Path:
        return next((self.path / "usr" / "share" / "python-wheels").glob("pip-*.whl"))

    @property
    def include(self) -> pathlib.Path:
        return self.path / "usr" / "include" / f"python{self.version}"

    def ensure(self) -> str:
        """Fetches and unpacks Python X.Y unless it is here already. Returns
        its full version; raises debian.FetchError when the archive cannot
        serve it."""
        if self.full_version:
            return self.full_version
        shutil.rmtree(self.path, ignore_errors=True)
        for name in USR_MERGED:
            (self.path / "usr" / name).mkdir(parents=True)
            (self.path / name).symlink_to(f"usr/{name}")
        work = VENV / "interpreters" / "arm64-work"
        for deb in fetch(self.version, work):
            debian.unpack(deb, self.path)
        shutil.rmtree(work / "debs")
        # Debian's pyconfig.h only includes the multiarch one from the
        # system's include path: the real one takes its place, so that the
        # headers build for arm64 from any folder.
        multiarch = self.path / "usr" / "include" / TRIPLET / f"python{self.version}" / "pyconfig.h"
        (self.include / "pyconfig.h").unlink()
        shutil.copyfile(multiarch, self.include / "pyconfig.h")
        patchlevel = (self.include / "patchlevel.h").read_text()
        full = re.search(r'#define PY_VERSION\s+"([^"+]+)', patchlevel)[1]
        self.stamp.write_text(full + "\n")
        return full


def available() -> list[str]:
    """The versions that have an arm64 interpreter to be had."""
    return list(SUITES)
