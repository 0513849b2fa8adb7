"""The build scripts' refusals: one line that says what is missing, before
anything is made."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32",
                                reason="runs the project's bash scripts, which run on Linux")

ROOT = Path(__file__).resolve().parent.parent


def plain_env(**changes):
    """This environment less what would change the scripts' choices (and less
    a sanitizer runtime: the scripts are not what it watches)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("CXX", "QUILL_PYTHONS", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    return dict(env, **changes)


def run_script(args, env):
    proc = subprocess.run(["bash", *args], cwd=ROOT, env=env, capture_output=True, text=True, timeout=60)
    lines = proc.stderr.splitlines()
    return proc.returncode, proc.stdout, lines


def without_compiler(tmp_path):
    """An environment whose PATH has only what the scripts run before building."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for tool in ("bash", "dirname", "sed", "grep", "cat"):
        (bin_dir / tool).symlink_to(shutil.which(tool))
    return plain_env(PATH=str(bin_dir))


def with_old_gcc(tmp_path):
    """An environment whose CXX is a g++ 11, as far as a script can tell."""
    fake = tmp_path / "g++-11"
    fake.write_text('#!/bin/sh\n'
                    'case "$1" in -dumpfullversion) echo 11.4.0;; *) echo "#define __GNUC__ 11";; esac\n')
    fake.chmod(0o755)
    return plain_env(CXX=str(fake))


@pytest.mark.subprocess
class TestRefusals:
    @pytest.mark.parametrize("make_env,says", [
        (without_compiler, "no C++ compiler found (no c++, g++ or clang++ on PATH"),
        (with_old_gcc, "is g++ 11.4.0: building the package needs g++ 12 or later"),
    ], ids=["none", "g++ 11"])
    def test_build_wheels_without_a_usable_compiler(self, tmp_path, make_env, says):
        dist_before = sorted((ROOT / "dist").glob("*")) if (ROOT / "dist").is_dir() else None
        code, out, lines = run_script(["scripts/build-wheels"], make_env(tmp_path))
        assert (code, out, len(lines)) == (1, "", 1), lines
        assert lines[0].startswith("build-wheels: ") and says in lines[0], lines
        assert "apt-get install g++" in lines[0]
        # Refused before the sdist or anything else was made.
        assert (sorted((ROOT / "dist").glob("*")) if (ROOT / "dist").is_dir() else None) == dist_before

    def test_dev_install_refuses_an_unsupported_python(self):
        venv = ROOT / ".venv" / "3.10"
        existed = venv.exists()
        code, out, lines = run_script(["scripts/dev-install", "--python", "3.10", "x"], plain_env())
        assert (code, out) == (1, "")
        [line] = lines
        assert line.startswith("dev-install: Python 3.10 is not supported: "
                               "the package builds for Python 3.11, "), line
        assert venv.exists() == existed
