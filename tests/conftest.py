"""Shared test helpers: running code in a fresh interpreter, and the
`testhooks` marker for tests that need the test-only hooks module."""
import enum
import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest


class Status(enum.IntEnum):
    """An int-derived status code."""
    NOT_FOUND = 404


class StrSub(str):
    """A str subclass: refused where the exact type is required."""


class DictSub(dict):
    """A dict subclass: refused where the exact type is required."""


# CPython 3.13.0 itself crashes when one allocation fails while it creates a
# type from a spec (a failed resize of the new type's dictionary in
# type_ready leaves that dictionary corrupt; any extension module's
# PyType_FromSpec shows it). Sweeps that fail each allocation of the import
# in turn cannot tell the module's faults from that crash there.
SKIP_ON_3_13_0_TYPE_CRASH = pytest.mark.skipif(
    sys.version_info[:3] == (3, 13, 0),
    reason="3.13.0: the interpreter crashes when an allocation inside PyType_FromSpec fails")


def run_python(code, *, check=True, env=None, timeout=120):
    """Runs `code` in a fresh interpreter with this one's sys.path.

    Returns the CompletedProcess (text mode). With check=True a non-zero exit
    fails the calling test with the child's output.
    """
    child_env = dict(os.environ if env is None else env)
    child_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=child_env, timeout=timeout,
    )
    if check and proc.returncode != 0:
        pytest.fail(f"child exited {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def _under_wine():
    if sys.platform != "win32":
        return False
    import ctypes
    return hasattr(ctypes.windll.ntdll, "wine_get_version")


# Windows programs run under Wine (scripts/test-windows) where Wine's own
# behaviour differs from Windows'.
UNDER_WINE = _under_wine()


def address_text(obj):
    """obj's address as the interpreter writes it in a repr (PyUnicode_FromFormat's
    %p: 0x7f3a..., on Windows zero-padded to 16 upper-case digits)."""
    return object.__repr__(obj).rpartition(" at ")[2].rstrip(">")


HOOKS_MODULE = "quillmaret._quill_testhooks"
HOOKS_ABSENT = (f"{HOOKS_MODULE} is not installed (a plain install; build with "
                "-Ccmake.define.QUILL_BUILD_TESTHOOKS=ON to run this test)")


def _hooks_installed():
    try:
        return importlib.util.find_spec(HOOKS_MODULE) is not None
    except ImportError:  # the package itself is missing
        return False


def pytest_collection_modifyitems(config, items):
    # Tests marked `testhooks` need the hooks module, most often in a child
    # interpreter, where a missing module would fail the test instead of
    # skipping it: without the module they are skipped here.
    marked = [item for item in items if item.get_closest_marker("testhooks")]
    if marked and not _hooks_installed():
        for item in marked:
            item.add_marker(pytest.mark.skip(reason=HOOKS_ABSENT))


# Child-interpreter code: inside `super_hidden_from_exec()`, the exec step of
# quillmaret._m3 finds no builtin `super`, so its step that looks `super` up
# fails. Only that step: deleting `super` for the whole import would stop
# the import machinery itself on 3.12 and later, whose own code calls super().
SUPER_HIDDEN_FROM_EXEC = """
import builtins as _builtins
import contextlib as _contextlib
import importlib._bootstrap_external as _external

@_contextlib.contextmanager
def super_hidden_from_exec():
    original = _external.ExtensionFileLoader.exec_module
    def exec_module(self, module):
        if module.__name__ != "quillmaret._m3":
            return original(self, module)
        saved = _builtins.super
        del _builtins.super
        try:
            return original(self, module)
        finally:
            _builtins.super = saved
    _external.ExtensionFileLoader.exec_module = exec_module
    try:
        yield
    finally:
        _external.ExtensionFileLoader.exec_module = original
"""


def with_super_hidden_from_exec(code):
    """`code` (indented as a test writes it) preceded by SUPER_HIDDEN_FROM_EXEC."""
    return SUPER_HIDDEN_FROM_EXEC + textwrap.dedent(code)


@pytest.fixture
def hooks():
    return pytest.importorskip(HOOKS_MODULE)
