"""The supported CPython versions are written once, in pyproject.toml's
classifiers; every other place that names them agrees."""
import re
import sys
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TOOLS = str(ROOT / "tools")
pytestmark = pytest.mark.skipif(not (ROOT / "pyproject.toml").exists(), reason="the source tree is not available")


def read(name):
    return (ROOT / name).read_text(encoding="utf-8")


def classifiers():
    """The X.Y versions of the classifiers, as (3, Y) pairs."""
    project = tomllib.loads(read("pyproject.toml"))["project"]
    found = [c.rsplit(" ", 1)[1] for c in project["classifiers"]
             if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
    return [tuple(map(int, v.split("."))) for v in found]


def requires_python():
    spec = tomllib.loads(read("pyproject.toml"))["project"]["requires-python"]
    low, high = re.fullmatch(r">=3\.(\d+),<3\.(\d+)", spec).groups()
    return [(3, minor) for minor in range(int(low), int(high))]


def cibuildwheel():
    build = tomllib.loads(read("pyproject.toml"))["tool"]["cibuildwheel"]["build"]
    return [(3, int(re.fullmatch(r"cp3(\d+)-\*", b)[1])) for b in build]


def cmake():
    """find_package's minimum up to the version the guard refuses."""
    text = read("CMakeLists.txt")
    low = re.search(r"find_package\(Python 3\.(\d+) REQUIRED", text)[1]
    high = re.search(r"Python_VERSION VERSION_GREATER_EQUAL 3\.(\d+)", text)[1]
    return [(3, minor) for minor in range(int(low), int(high))]


def compat_guard():
    """compat.h refuses what is older than the oldest supported version."""
    hexversion = re.search(r"#if PY_VERSION_HEX < 0x030([0-9A-F])0000\n#error", read("src/quillmaret/runtime/compat.h"))
    return [(3, int(hexversion[1], 16))]


def readme():
    """The versions the README's Installation section gives Linux wheels for."""
    line = re.search(r"- CPython ([0-9., and]+) \(release builds", read("README.md"))[1]
    return [tuple(map(int, v.split("."))) for v in re.findall(r"3\.\d+", line)]


@pytest.mark.parametrize("where", [requires_python, cibuildwheel, cmake, readme])
def test_lists_agree_with_the_classifiers(where):
    assert where() == classifiers()


def test_compat_guard_refuses_below_the_oldest():
    assert compat_guard() == classifiers()[:1]


def test_task_tables_name_only_supported_versions():
    if TOOLS not in sys.path:
        sys.path.insert(0, TOOLS)
    from arm64 import sysroot
    from tasks import pythons
    from windows import wine
    supported = [f"3.{minor}" for _, minor in classifiers()]
    assert pythons.supported() == supported
    assert set(pythons.FROM_DEBIAN) | set(pythons.DEBUG_FROM) | set(wine.EMBED) | set(sysroot.SUITES) <= set(supported)
