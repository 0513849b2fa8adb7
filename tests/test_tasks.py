"""The task sessions' refusals: one line that says what is missing, before
anything is made."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

# Each runs programs (a compiler, nox): run once by the leak hunt, as the
# tests of fresh interpreters are.
pytestmark = [pytest.mark.skipif(sys.platform == "win32", reason="the tasks run on Linux (tools/tasks, noxfile.py)"),
              pytest.mark.subprocess]

ROOT = Path(__file__).resolve().parent.parent
NOX = ROOT / ".venv" / "nox" / "bin" / "nox"
if str(ROOT / "tools") not in sys.path:
    sys.path.insert(0, str(ROOT / "tools"))
tasks_envs = pytest.importorskip("tasks.envs", reason="the task helpers are not in this tree")


def plain_env(**changes):
    """This environment less what would change the sessions' choices (and less
    a sanitizer runtime: the sessions are not what it watches)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("CXX", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS") and not k.startswith("NOX")}
    return dict(env, **changes)


def without_compiler(tmp_path):
    """An environment whose PATH has no C++ compiler."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for tool in ("bash", "dirname", "cat", "rm", "python3"):
        if shutil.which(tool):
            (bin_dir / tool).symlink_to(shutil.which(tool))
    return plain_env(PATH=str(bin_dir))


def with_old_gcc(tmp_path):
    """An environment whose CXX is a g++ 11, as far as a session can tell."""
    fake = tmp_path / "g++-11"
    fake.write_text('#!/bin/sh\n'
                    'case "$1" in -dumpfullversion) echo 11.4.0;; *) echo "#define __GNUC__ 11";; esac\n')
    fake.chmod(0o755)
    return plain_env(CXX=str(fake))


COMPILERS = pytest.mark.parametrize("make_env,says", [
    (without_compiler, "no C++ compiler found (no c++, g++ or clang++ on PATH"),
    (with_old_gcc, "is g++ 11.4.0: building the package needs g++ 12 or later"),
], ids=["none", "g++ 11"])


@COMPILERS
def test_compiler_problem_in_one_line(tmp_path, monkeypatch, make_env, says):
    monkeypatch.setattr(os, "environ", make_env(tmp_path))
    problem = tasks_envs.compiler_problem()
    assert problem is not None and says in problem and "apt-get install g++" in problem, problem
    assert "\n" not in problem


def test_missing_prerequisites_named_with_their_package(tmp_path):
    present = tmp_path / "present"
    present.touch()
    problem = tasks_envs.missing_tools({str(present): "here", str(tmp_path / "wine64"): "wine64",
                                        "no-such-program-here": "osslsigncode"}, "the Windows sessions")
    assert problem == ("the Windows sessions need wine64, osslsigncode, missing here: "
                       "on Debian, apt-get install wine64 osslsigncode")
    assert tasks_envs.missing_tools({str(present): "here"}, "x") is None


@pytest.mark.skipif(not NOX.exists(), reason="nox is not installed in .venv/nox (bash scripts/nox installs it)")
@COMPILERS
def test_wheels_refused_before_anything_is_made(tmp_path, make_env, says):
    dist = ROOT / "dist"
    before = sorted(dist.rglob("*")) if dist.is_dir() else None
    proc = subprocess.run([str(NOX), "--noxfile", str(ROOT / "noxfile.py"), "-s", "wheels"], cwd=ROOT,
                          env=make_env(tmp_path), capture_output=True, text=True, timeout=300)
    assert proc.returncode == 1, proc.stderr
    [line] = [line for line in proc.stderr.splitlines() if "Session wheels aborted" in line]
    assert says in line, proc.stderr
    assert (sorted(dist.rglob("*")) if dist.is_dir() else None) == before


@pytest.mark.parametrize("binfmt,says", [
    ({}, "binfmt_misc is not mounted"),
    ({"register": ""}, "the kernel has no aarch64 handler"),
    ({"register": "", "qemu-aarch64": "disabled\ninterpreter /usr/libexec/qemu-binfmt/aarch64-binfmt-P\n"},
     "the kernel has no aarch64 handler"),
    ({"register": "", "qemu-aarch64": "enabled\ninterpreter /usr/libexec/qemu-binfmt/aarch64-binfmt-P\n"}, None),
], ids=["unmounted", "unregistered", "disabled", "enabled"])
def test_arm64_handler_problem_in_one_line(tmp_path, monkeypatch, binfmt, says):
    emulator = pytest.importorskip("arm64.emulator", reason="the ARM task helpers are not in this tree")
    monkeypatch.setattr(emulator, "BINFMT", tmp_path)
    for name, text in binfmt.items():
        (tmp_path / name).write_text(text)
    problem = emulator.handler_problem()
    if says is None:
        assert problem is None
    else:
        assert problem is not None and says in problem and f"> {tmp_path}/register" in problem, problem
        assert "\n" not in problem
