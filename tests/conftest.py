"""Shared test helpers: running code or a child program (tests/children/) in a
fresh interpreter, and the test-only hooks module, skipped where the install lacks it."""
import ctypes
import enum
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


class Status(enum.IntEnum):
    """An int-derived status code."""
    NOT_FOUND = 404


class StrSub(str):
    """A str subclass: refused where the exact type is required."""


class DictSub(dict):
    """A dict subclass: refused where the exact type is required."""


# CPython 3.13.0 to 3.13.5 crash when one allocation fails at the wrong
# moment while they create a type from a spec: PyDict_SetDefault goes on
# after a failed resize and counts an entry the dict does not hold, and the
# next resize reads past the entries (gh-109700, fixed in 3.13.6). type_ready
# and the module's own registry go through it, so sweeps that fail each
# allocation of the import in turn cannot tell the module's faults from that
# crash there.
SKIP_ON_3_13_DICT_FAULT = pytest.mark.skipif(
    (3, 13, 0) <= sys.version_info[:3] <= (3, 13, 5),
    reason="3.13.0-3.13.5: PyDict_SetDefault corrupts the dict when its resize fails "
           "(gh-109700, fixed in 3.13.6), which type creation goes through")


CHILDREN = Path(__file__).parent / "children"


# The suite under an emulator (tools/arm64 runs it under qemu-user and names
# the emulator here) runs many times slower than natively: Hypothesis's
# per-example deadline would fail tests that are only slow there. (Imported
# only then: the cibuildwheel check runs where Hypothesis is not installed.)
EMULATOR = os.environ.get("QUILL_EMULATOR")
if EMULATOR:
    from hypothesis import settings
    settings.register_profile("emulated", deadline=None)
    settings.load_profile("emulated")


def child_env(env=None):
    """`env` (by default this process's environment) with this interpreter's
    sys.path as PYTHONPATH, for a child interpreter."""
    child = dict(os.environ if env is None else env)
    child["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return child


def _run(args, check, env, timeout):
    proc = subprocess.run([sys.executable, "-X", "faulthandler", *args],
                          capture_output=True, text=True, env=child_env(env), timeout=timeout)
    if check and proc.returncode != 0:
        pytest.fail(f"child exited {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def run_python(code, *, check=True, env=None, timeout=120):
    """Runs `code` in a fresh interpreter with this one's sys.path.

    Returns the CompletedProcess (text mode). With check=True a non-zero exit
    fails the calling test with the child's output.
    """
    return _run(["-c", textwrap.dedent(code)], check, env, timeout)


def run_child(name, *args, check=True, timeout=120):
    """Runs the program tests/children/`name` as run_python runs code, with
    `args` (strings) as its command-line arguments."""
    return _run([str(CHILDREN / name), *args], check, None, timeout)


def _under_wine():
    if sys.platform != "win32":
        return False
    import ctypes
    return hasattr(ctypes.windll.ntdll, "wine_get_version")


# Windows programs run under Wine (the windows sessions) where Wine's own
# behaviour differs from Windows'.
UNDER_WINE = _under_wine()


# Whether AddressSanitizer's runtime is in the process (the sanitizer run,
# on Linux only).
SANITIZED = sys.platform != "win32" and hasattr(ctypes.CDLL(None), "__asan_init")


def address_text(obj):
    """obj's address as the interpreter writes it in a repr (PyUnicode_FromFormat's
    %p: 0x7f3a..., on Windows zero-padded to 16 upper-case digits)."""
    return object.__repr__(obj).rpartition(" at ")[2].rstrip(">")


HOOKS_MODULE = "quillmaret._quill_testhooks"
HOOKS_ABSENT = (f"{HOOKS_MODULE} is not installed (a plain install; build with "
                "-Ccmake.define.QUILL_BUILD_TESTHOOKS=ON to run this test)")


def import_hooks():
    """The test-only hooks module. Where the install lacks it, skips the
    calling test, or the whole test file when called at the file's top."""
    __tracebackhide__ = True  # the skip is reported at the caller's line
    return pytest.importorskip(HOOKS_MODULE, reason=HOOKS_ABSENT)


@pytest.fixture
def hooks():
    """The hooks module, for a test in a file that does not need it
    throughout; a test whose child interpreter needs it asks for it with
    @pytest.mark.usefixtures("hooks"), so that it skips instead of failing."""
    return import_hooks()


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
