"""Debian packages of another architecture, downloaded and unpacked without
installing anything: apt runs with a list, cache and state of its own and
only downloads; dpkg-deb unpacks."""
from __future__ import annotations

import pathlib
import shutil
import subprocess

ARCHIVE = "http://deb.debian.org/debian"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


class FetchError(Exception):
    """The archive could not be reached, or a package could not be had."""


def fetch_packages(packages: list[str], *, arch: str, suites: list[str], state: pathlib.Path,
                   into: pathlib.Path) -> list[pathlib.Path]:
    """Downloads the Debian packages named (`name`, or `name/suite` to take
    it from one suite) for `arch` from `suites` into the folder `into`, with
    apt's lists and state in `state`. A name without a suite gets the newest
    version any of the suites has. Returns the .deb files."""
    state, into = state.resolve(), into.resolve()  # apt reads relative paths from its own folders
    lists = state / "lists"
    (lists / "partial").mkdir(parents=True, exist_ok=True)
    (state / "cache" / "archives" / "partial").mkdir(parents=True, exist_ok=True)
    sources = state / "sources.list"
    sources.write_text("".join(f"deb [signed-by={KEYRING}] {ARCHIVE} {suite} main\n" for suite in suites))
    (state / "status").write_text("")
    options = []
    for key, value in [
            ("Dir::Etc::SourceList", sources), ("Dir::Etc::SourceParts", "/dev/null"),
            ("Dir::State::Lists", lists), ("Dir::State::status", state / "status"),
            ("Dir::Cache", state / "cache"), ("APT::Sandbox::User", "root"),
            ("APT::Architecture", arch), ("APT::Architectures", arch),
            ("Acquire::Retries", 1), ("Acquire::http::Timeout", 20)]:
        options += ["-o", f"{key}={value}"]

    def apt_get(*args: str, cwd: pathlib.Path | None = None) -> None:
        proc = subprocess.run(["apt-get", *options, *args], cwd=cwd, capture_output=True, text=True)
        # apt-get update exits 0 on a mirror it could not reach, with a W: line.
        problem = next((line for line in proc.stdout.splitlines() + proc.stderr.splitlines()
                        if line.startswith(("W: ", "E: "))), None)
        if proc.returncode != 0 or problem:
            raise FetchError(f"apt-get {args[0]}: {problem or proc.returncode}")

    apt_get("update")
    shutil.rmtree(into, ignore_errors=True)
    into.mkdir(parents=True)
    apt_get("download", *packages, cwd=into)
    return sorted(into.glob("*.deb"))


def unpack(deb: pathlib.Path, root: pathlib.Path) -> None:
    """Unpacks a package's files into root, without its documentation and
    debug symbols. Links to folders already in root (a usr-merged root's
    lib -> usr/lib) are followed, not replaced by folders."""
    data = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(deb)], stdout=subprocess.PIPE)
    tar = subprocess.run(["tar", "-x", "-C", str(root), "--keep-directory-symlink",
                          "--exclude=./usr/lib/debug", "--exclude=./usr/share/doc", "--exclude=./usr/share/man"],
                         stdin=data.stdout, capture_output=True, text=True)
    data.stdout.close()
    if data.wait() != 0 or tar.returncode != 0:
        raise FetchError(f"{deb.name} could not be unpacked: {tar.stderr.strip()}")
