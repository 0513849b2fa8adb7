"""Which interpreters the tasks use, and where each comes from.

The supported versions are those of pyproject.toml's classifiers. For each,
the user's own release interpreter comes first: for the oldest version
`python3` when it is that version, then `pythonX.Y` on the PATH, then the
newest of pyenv's X.Y.Z (pyenv itself need not be on the PATH). Debian's
builds of the versions it provides (FROM_DEBIAN) are fetched into the
checkout (debian.py), and the newer patch release of the user's own and
Debian's runs (the user's own when they are the same), so that a version's
fixes are tested where the user has only an early release (pyenv's 3.13.0).
The debug interpreters of the leak hunt come from Debian too (DEBUG_FROM).
"""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import tomllib
from pathlib import Path

from . import debian

ROOT = Path(__file__).resolve().parents[2]
PYPROJECT = ROOT / "pyproject.toml"
INTERPRETERS = ROOT / ".venv" / "interpreters"
# The interpreters chosen, as pythonX.Y links; the folder heads nox's PATH.
LINKS = ROOT / ".venv" / "pythons"
# The suite each fetched version comes from: the release interpreters whose
# newest patch releases users seldom have, and the debug builds that count
# every reference.
FROM_DEBIAN = {"3.13": "sid", "3.14": "sid", "3.15": "sid"}
DEBUG_FROM = {"3.11": "bookworm", "3.14": "sid", "3.15": "sid"}

_PROBE = """import os, sys, sysconfig
ok = ("%d.%d" % sys.version_info[:2] == sys.argv[1] and hasattr(sys, "gettotalrefcount") == (sys.argv[2] == "1")
      and not sysconfig.get_config_var("Py_GIL_DISABLED"))
print(os.path.realpath(sys.executable), *sys.version_info[:3]) if ok else sys.exit(1)"""


def supported() -> list[str]:
    """The X.Y versions the package is built and tested for, oldest first."""
    with PYPROJECT.open("rb") as f:
        classifiers = tomllib.load(f)["project"]["classifiers"]
    found = [c.rsplit(" ", 1)[1] for c in classifiers if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
    return sorted(found, key=lambda v: tuple(map(int, v.split("."))))


def probe(path: str | Path, version: str, debug: bool = False) -> tuple[str, tuple[int, ...]] | None:
    """(the real executable behind `path`, its patch release as (3, 13, 18))
    if it runs as CPython X.Y, a release (or debug) build that is not
    free-threaded; None otherwise."""
    try:
        proc = subprocess.run([str(path), "-c", _PROBE, version, "1" if debug else "0"],
                              capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    words = proc.stdout.split()
    if proc.returncode != 0 or len(words) < 4:
        return None
    return " ".join(words[:-3]), tuple(map(int, words[-3:]))


def runs_as(path: str | Path, version: str, debug: bool = False) -> str | None:
    """The real executable behind `path` if it runs as CPython X.Y (see probe); None otherwise."""
    found = probe(path, version, debug)
    return found and found[0]


def pyenv_root() -> Path:
    return Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv")


def users_own(version: str) -> tuple[str, tuple[int, ...]] | None:
    """The user's own release CPython X.Y and its patch release (see the module's docstring)."""
    names = [f"python{version}"]
    if version == supported()[0]:
        names.insert(0, "python3")
    # The PATH less the links made here (which name what was found before).
    search = os.pathsep.join(p for p in os.environ.get("PATH", "").split(os.pathsep) if Path(p) != LINKS)
    for name in names:
        path = shutil.which(name, path=search)
        if path and (found := probe(path, version)):
            return found
    pattern = re.compile(re.escape(version) + r"\.(\d+)")
    candidates = [(int(m[1]), d) for d in pyenv_root().joinpath("versions").glob(version + ".*")
                  if (m := pattern.fullmatch(d.name))]
    for _, folder in sorted(candidates, reverse=True):
        if found := probe(folder / "bin" / f"python{version}", version):
            return found
    return None


def fetched_root(suite: str, arch: str | None = None) -> Path:
    """Where the fetcher keeps a suite's interpreters (and architecture's, if not this machine's)."""
    arch = arch or debian.host_arch()
    return INTERPRETERS / (suite if arch == debian.host_arch() else f"{suite}-{arch}")


def fetched(version: str, debug: bool = False) -> Path | None:
    """The interpreter fetched from Debian for X.Y (debug or release), where it is or will be; None
    when X.Y does not come from Debian."""
    suite = (DEBUG_FROM if debug else FROM_DEBIAN).get(version)
    if suite is None:
        return None
    return debian.interpreter(fetched_root(suite), version, debug)


def not_found(version: str, debug: bool = False) -> str:
    """Why no interpreter X.Y was found, in words."""
    if debug:
        return f"no debug python{version}d on the PATH, and none can be fetched from Debian for {version}"
    where = f"no python{version} on the PATH, none under {pyenv_root()}/versions"
    return where + (", none fetched from Debian into .venv/interpreters" if version in FROM_DEBIAN else "")


def fetch(version: str, debug: bool = False, log=print) -> bool:
    """Fetches X.Y's interpreters from Debian when they are not there; says why not in one line."""
    suite = (DEBUG_FROM if debug else FROM_DEBIAN).get(version)
    if suite is None:
        return False
    root = fetched_root(suite)
    if debian.is_fetched(root, version):
        return True
    # Every version a suite provides comes in one go: one apt update serves all.
    wanted = [v for v, s in {**FROM_DEBIAN, **DEBUG_FROM}.items() if s == suite and v in supported()]
    try:
        debian.fetch(wanted, suite=suite, dest=root, debug=True, log=log)
    except debian.FetchError as exc:
        log(f"Python {version} cannot be fetched from Debian {suite}: {exc}")
    return debian.is_fetched(root, version)


def find(version: str, debug: bool = False, fetching: bool = True, log=print) -> str | None:
    """The interpreter for X.Y: the newer of the user's own and Debian's
    (fetched when `fetching`), or whichever there is; for debug builds
    python3.Xd on the PATH, else Debian's."""
    own = None
    if debug:
        path = shutil.which(f"python{version}d")
        if path and (found := runs_as(path, version, debug=True)):
            return found
    else:
        own = users_own(version)
    candidate = fetched(version, debug)
    if candidate is None or not (candidate.exists() or (fetching and fetch(version, debug, log))):
        return own and own[0]
    theirs = probe(candidate, version, debug)
    if own and theirs and theirs[1] > own[1]:
        log(f"Python {version}: Debian's {'.'.join(map(str, theirs[1]))} is newer than the user's own "
            f"{'.'.join(map(str, own[1]))} ({own[0]})")
    newest = max(filter(None, [own, theirs]), key=lambda found: found[1], default=None)
    return newest and newest[0]



def link(version: str, interpreter: str | Path) -> None:
    """Names `interpreter` pythonX.Y in LINKS, the folder that heads nox's PATH."""
    LINKS.mkdir(parents=True, exist_ok=True)
    path = LINKS / f"python{version}"
    if path.is_symlink() and os.readlink(path) == str(interpreter):
        return
    path.unlink(missing_ok=True)
    path.symlink_to(interpreter)


def link_all(versions: list[str]) -> Path:
    """Links each version's interpreter, as find() chooses it among those at
    hand (nothing is fetched here), else where Debian's will be once fetched;
    returns LINKS."""
    for version in versions:
        chosen = find(version, fetching=False, log=lambda line: None) or fetched(version)
        if chosen is not None:
            link(version, chosen)
        else:
            (LINKS / f"python{version}").unlink(missing_ok=True)
    return LINKS
