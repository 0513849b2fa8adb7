"""The README's Installation section, as it stands: its commands run in a
temporary folder, from a wheel and from a read-only copy of the source
(which the install leaves as it was), and the install check prints the
package's version."""
import os
import re
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import quillmaret
from conftest import EMULATOR

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
SOURCE = "/path/to/quillmaret"  # the section's stand-ins for a user's paths
DIST = "/path/to/dist"


def installation_section():
    text = README.read_text(encoding="utf-8")
    match = re.search(r"^## Installation\n(.*?)^## ", text, re.M | re.S)
    assert match, "the README has no Installation section before the next one"
    return match[1]


def shell_blocks():
    """{"wheel" | "source" | "check": commands} of the section's shell blocks."""
    blocks = re.findall(r"^```sh\n(.*?)^```$", installation_section(), re.M | re.S)
    named = {}
    for block in blocks:
        name = "wheel" if DIST in block else "source" if SOURCE in block else "check"
        assert name not in named, f"two {name} blocks in the Installation section"
        named[name] = block
    assert set(named) == {"wheel", "source", "check"}, blocks
    return named


def user_env(tmp_path):
    """A user's shell: `python3` is the interpreter under test; nothing of the
    test's own environment (its import path, a sanitizer runtime) leaks in."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "python3").symlink_to(sys.executable)
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("PYTHON", "ASAN_", "UBSAN_", "LD_PRELOAD", "VIRTUAL_ENV", "PIP_"))}
    env["PATH"] = os.pathsep.join([str(bin_dir), env.get("PATH", "")])
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def run_commands(commands, tmp_path, env):
    proc = subprocess.run(["bash", "-euo", "pipefail", "-c", commands], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, f"{commands}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def read_only_source(where):
    """A copy of the checkout's sources (what git tracks, or all but the
    build products) in `where`, made read-only; returns it."""
    try:
        listed = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, check=True).stdout
        files = [name for name in listed.decode().split("\0") if name and (ROOT / name).is_file()]
    except (OSError, subprocess.CalledProcessError):
        skipped = {".git", ".venv", "build", "dist", ".hypothesis", "__pycache__"}
        files = [p.relative_to(ROOT).as_posix() for p in ROOT.rglob("*")
                 if p.is_file() and not skipped & set(p.relative_to(ROOT).parts)]
    for name in files:
        (where / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, where / name)
    for path in [where, *where.rglob("*")]:
        path.chmod(path.stat().st_mode & ~(stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH))
    return where


def snapshot(where):
    """Every path under `where` with its size and modification time."""
    return {p.relative_to(where).as_posix(): (p.stat().st_size, p.stat().st_mtime_ns) for p in where.rglob("*")}


@pytest.fixture(scope="module")
def wheel_dir(tmp_path_factory):
    """A folder holding a wheel of the checkout for this interpreter, built as
    the wheel sessions build it (without its repair, which only renames the
    platform tag and bundles no library here)."""
    pytest.importorskip("scikit_build_core", reason="the build requirements are not installed")
    where = tmp_path_factory.mktemp("dist")
    env = dict(os.environ, PATH=os.pathsep.join([str(Path(sys.executable).parent), os.environ["PATH"]]))
    env.pop("LD_PRELOAD", None)
    proc = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--disable-pip-version-check", "--no-input", "--no-deps",
         "--no-build-isolation", "--wheel-dir", str(where),
         f"--config-settings=build-dir={tmp_path_factory.mktemp('build')}", str(ROOT)],
        capture_output=True, text=True, env=env, timeout=900)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return where


# Builds the package twice: left out of the leak hunt with the other long runs
# (its repeats would build it again and again), and of the sanitizer run, whose
# builds here would not be instrumented anyway.
@pytest.mark.slow
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="builds uninstrumented packages: not a sanitizer test")
@pytest.mark.skipif(Path(sys.base_prefix).resolve().is_relative_to((ROOT / ".venv").resolve()),
                    reason="an interpreter fetched from Debian into .venv/interpreters has no ensurepip wheels "
                           "of its own (Debian's python3.X-venv), which `python3 -m venv` needs")
@pytest.mark.skipif(bool(EMULATOR), reason=f"under emulation ({EMULATOR}): building the package needs a C++ "
                                             "compiler for the emulated system, which has none")
@pytest.mark.subprocess
@pytest.mark.parametrize("way", ["wheel", "source"])
def test_installation_section_installs_and_checks(way, tmp_path, request):
    blocks = shell_blocks()
    if way == "wheel":
        commands = blocks["wheel"].replace(DIST, str(request.getfixturevalue("wheel_dir")))
    else:
        source = read_only_source(tmp_path / "checkout")
        before = snapshot(source)
        commands = blocks["source"].replace(SOURCE, str(source))
    env = user_env(tmp_path)
    run_commands(commands, tmp_path, env)
    if way == "source":
        # Nothing written into the checkout (as root, the copy's missing write
        # bits would not have stopped a write: the snapshot does).
        assert snapshot(source) == before
    printed = run_commands(blocks["check"], tmp_path, env)
    assert printed == quillmaret.__version__ + "\n"
    # The version the section says the check prints.
    assert f"`{quillmaret.__version__}`" in installation_section()
    # The package came from the new environment, not from the checkout.
    where = run_commands('.venv/bin/python -c "import quillmaret; print(quillmaret.__file__)"', tmp_path, env)
    assert Path(where.strip()).is_relative_to(tmp_path / ".venv")
