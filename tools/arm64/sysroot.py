"""The arm64 system the emulated interpreters run in: Debian's own arm64
CPython builds with the libraries they load, unpacked into one folder
(.venv/interpreters/arm64) that qemu-user takes as the root of the emulated
system's files (QEMU_LD_PREFIX). Nothing is installed on this machine.

3.11 comes from bookworm; 3.13, 3.14 and 3.15 from sid, whose 3.13 is past
the 3.13.6 that fixed a dict fault of 3.13.0-3.13.5 (gh-109700). No Debian
suite has an arm64 3.12."""
from __future__ import annotations

import json
import pathlib
import re
import shutil

from . import debian

# The suite each interpreter comes from.
SUITES = {"3.11": "bookworm", "3.13": "sid", "3.14": "sid", "3.15": "sid"}
# What the interpreters and their standard library's extension modules load,
# from sid (its C library runs bookworm's 3.11 as well as its own builds).
LIBRARIES = ["libc6", "libgcc-s1", "libssl3t64", "libexpat1", "zlib1g", "libbz2-1.0", "liblzma5", "libzstd1",
             "libffi8", "libsqlite3-0", "libmpdec4", "libncursesw6", "libtinfo6", "libreadline8t64", "libuuid1",
             "libdb5.3t64", "libgdbm6t64", "libcrypt1", "python3-pip-whl", "python3-setuptools-whl"]
# Packages from the suites after bookworm hold their files under usr/ alone:
# the programs still name /lib/ld-linux-aarch64.so.1 as their loader.
USR_MERGED = ["bin", "sbin", "lib"]
TRIPLET = "aarch64-linux-gnu"


def interpreter_packages(version: str) -> list[str]:
    """The packages of Python X.Y: interpreter, standard library (with
    _testcapi), venv, and the headers with their multiarch pyconfig.h."""
    names = [f"python{version}", f"python{version}-minimal", f"libpython{version}-minimal",
             f"libpython{version}-stdlib", f"libpython{version}-dev", f"python{version}-venv"]
    return [f"{name}/{SUITES[version]}" for name in names]


def fetch(versions: list[str], state: pathlib.Path, into: pathlib.Path) -> list[pathlib.Path]:
    """The .deb files of the interpreters and their libraries. The one place
    that talks to Debian's archive."""
    packages = list(LIBRARIES)
    for version in versions:
        packages += interpreter_packages(version)
    return debian.fetch_packages(packages, arch="arm64", suites=sorted(set(SUITES.values())),
                                 state=state, into=into)


class Sysroot:
    """The unpacked arm64 system under `path`; `.fetched` records, as JSON,
    each interpreter's full version ({"3.13": "3.13.18", ...}). It is
    written last, so an interrupted fetch starts over."""

    def __init__(self, path: pathlib.Path):
        self.path = path
        self.stamp = path / ".fetched"

    def versions(self) -> dict[str, str]:
        """{X.Y: X.Y.Z} of the interpreters unpacked here."""
        try:
            return json.loads(self.stamp.read_text())
        except (OSError, ValueError):
            return {}

    def python(self, version: str) -> pathlib.Path:
        return self.path / "usr" / "bin" / f"python{version}"

    def include(self, version: str) -> pathlib.Path:
        return self.path / "usr" / "include" / f"python{version}"

    def ensure(self, versions: list[str], work: pathlib.Path) -> dict[str, str]:
        """Fetches and unpacks the interpreters of `versions` unless all are
        here already (the downloads live in `work` while unpacked). Raises
        debian.FetchError when the archive cannot serve them."""
        have = self.versions()
        if all(version in have for version in versions):
            return have
        shutil.rmtree(self.path, ignore_errors=True)
        self.path.mkdir(parents=True)
        (self.path / "usr").mkdir()
        for name in USR_MERGED:
            (self.path / "usr" / name).mkdir()
            (self.path / name).symlink_to(f"usr/{name}")
        debs = work / "debs"
        for deb in fetch(versions, work / "apt", debs):
            debian.unpack(deb, self.path)
        shutil.rmtree(debs)
        found = {}
        for version in versions:
            self._own_pyconfig(version)
            patchlevel = (self.include(version) / "patchlevel.h").read_text()
            found[version] = re.search(r'#define PY_VERSION\s+"([^"+]+)', patchlevel)[1]
        self.stamp.write_text(json.dumps(found))
        return found

    def _own_pyconfig(self, version: str) -> None:
        """Debian's pyconfig.h only includes the multiarch one from the
        system's include path; the real one takes its place, so that the
        headers build for arm64 from any folder."""
        multiarch = self.path / "usr" / "include" / TRIPLET / f"python{version}" / "pyconfig.h"
        target = self.include(version) / "pyconfig.h"
        target.unlink()
        shutil.copyfile(multiarch, target)
