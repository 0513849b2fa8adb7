"""The wheels a hosted CI would build with cibuildwheel ([tool.cibuildwheel]
in pyproject.toml): one per supported CPython and intended platform."""
import pathlib
import re
import subprocess
import sys

import pytest

PYPROJECT = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
# The platforms and architectures wheels are meant for.
INTENDED = {
    "windows": ["win_amd64"],
    "macos": ["macosx_x86_64", "macosx_arm64"],
    "linux": ["manylinux_x86_64", "manylinux_aarch64"],
}


def supported_versions():
    """The CPython versions the classifiers name, as cp3XY tags."""
    text = PYPROJECT.read_text(encoding="utf-8")
    return [f"cp3{minor}" for minor in re.findall(r'"Programming Language :: Python :: 3\.(\d+)"', text)]


@pytest.mark.skipif(not PYPROJECT.exists(), reason="the source tree is not available")
@pytest.mark.parametrize("platform", sorted(INTENDED))
def test_build_identifiers(platform):
    pytest.importorskip("cibuildwheel", reason="cibuildwheel is not installed (the cibuildwheel session runs this "
                        "check in an environment that has it)")
    proc = subprocess.run([sys.executable, "-m", "cibuildwheel", "--print-build-identifiers",
                           "--platform", platform, str(PYPROJECT.parent)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    expected = {f"{version}-{arch}" for version in supported_versions() for arch in INTENDED[platform]}
    assert len(expected) >= 3 * len(INTENDED[platform])
    assert sorted(proc.stdout.split()) == sorted(expected)
