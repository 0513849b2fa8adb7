"""Endurance: arbitrary calls of the initializer, a million raises across
threads, the stream decoder under fuzzing, and allocation failures during the
import and during one initializer call."""
import ctypes
import decimal
import fractions
import importlib.util
import json
import os
import random
import re
import shutil
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import SKIP_ON_3_13_0_TYPE_CRASH, DictSub, Status, StrSub, run_python

m3 = pytest.importorskip("quillmaret._m3")

E = m3.QuillMaretNotComputedError
API = m3.QuillMaretAPIError
FILE = "src/quillmaret/_m3"
INIT_FUNC = "quillmaret._m3.QuillMaretAPIError.__init__"
IMPORT_FUNC = "init quillmaret._m3"
PARAMS = ("self", "status_code", "message", "payload")
NOTE = ("Note that QuillMaret is deliberately stricter than PEP-484 and rejects subclasses of builtin "
        "types. Pass a value of the builtin type itself, for example str(value) or dict(value).")
HEAPTYPE = 1 << 9
IMMUTABLETYPE = 1 << 8
# Whether AddressSanitizer's runtime is in the process (the sanitizer run,
# on Linux only).
SANITIZED = sys.platform != "win32" and hasattr(ctypes.CDLL(None), "__asan_init")


def module_entries(exc):
    """(function, line) of each traceback entry that points into the module's source."""
    entries = []
    tb = exc.__traceback__
    while tb:
        if tb.tb_frame.f_code.co_filename == FILE:
            entries.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def tp_name(tp):
    """The type's tp_name, which the messages quote: the bare name for
    builtins and for classes made by class statements, dotted for types of
    extension modules (decimal.Decimal), static ones and, from 3.13 on
    where decimal's are, those made from a spec (immutable heap types)."""
    if tp.__module__ == "builtins" or (tp.__flags__ & HEAPTYPE and not tp.__flags__ & IMMUTABLETYPE):
        return tp.__name__
    return f"{tp.__module__}.{tp.__name__}"


# ---------------------------------------------------------------------------
# Arbitrary calls of the initializer.

class Huge:
    """Stands for ±10**digits, around the limit of int's decimal rendering
    (4300 digits); Hypothesis shows its examples with repr, which such an
    int refuses, so the int is made only for the call (real())."""
    def __init__(self, digits):
        self.digits = digits

    def __repr__(self):
        return f"Huge({self.digits})"

    def value(self):
        return 10**self.digits if self.digits > 0 else -(10**-self.digits)


def real(value):
    return value.value() if isinstance(value, Huge) else value


class IndexOnly:
    """A number through __index__ alone."""
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    """Passes the number check (it has __float__) but has no integer value."""
    def __float__(self):
        return 1.5


# Every text the initializer may fail with: binding (function name
# "__init__"), the conversion of the keyword dict, the status code check and
# conversion, the type tests, rendering a huge status code, and the join.
DOCUMENTED = [re.compile(p, re.S) for p in (
    r"__init__\(\) takes (at least 3|at most 4) positional arguments \(\d+ given\)",
    r"__init__\(\) got an unexpected keyword argument '.*'",
    r"__init__\(\) got multiple values for keyword argument '.*'",
    r"(__init__\(\) )?keywords must be strings",
    r"Argument 'status_code' has incorrect type \(expected int, got [^)]+\)",
    r"Argument 'message' has incorrect type \(expected str, got [^)]+\)(\. " + re.escape(NOTE) + ")?",
    r"Argument 'payload' has incorrect type \(expected dict, got [^)]+\)(\. " + re.escape(NOTE) + ")?",
    r"cannot convert float (NaN|infinity) to integer",
    r"cannot convert (signaling )?(NaN|Infinity) to integer",
    r"int\(\) argument must be a string, a bytes-like object or a real number, not '.*'",
    r"Exceeds the limit \(\d+ digits\) for integer string conversion.*",
    r"join\(\) result is too long for a Python string",
)]

ints = st.one_of(
    st.integers(-2**70, 2**70),
    st.sampled_from([0, -1, 404, 2**63, -2**63 - 1]),
    st.sampled_from([4299, 4300, -5000]).map(Huge),
)
values = st.one_of(
    ints,
    st.booleans(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(allow_nan=True, allow_infinity=True),
    # Fixed values: Hypothesis's own decimal and fraction strategies keep
    # objects alive from run to run, which the leak hunt would count.
    st.sampled_from([decimal.Decimal(v) for v in ("404.9", "-0", "1e30", "NaN", "sNaN", "Infinity")]),
    st.sampled_from([fractions.Fraction(809, 2), fractions.Fraction(-1, 3)]),
    st.sampled_from([Status.NOT_FOUND, IndexOnly(7), IndexOnly(-2**100), FloatOnly(), object(), int, ...]),
    st.text(max_size=12),
    st.text(max_size=12).map(StrSub),
    st.binary(max_size=6),
    st.none(),
    st.dictionaries(st.text(max_size=4), st.integers(), max_size=3),
    st.dictionaries(st.text(max_size=4), st.integers(), max_size=3).map(DictSub),
    st.lists(st.integers(), max_size=3),
    st.tuples(st.integers()),
)
str_keys = st.one_of(
    st.sampled_from(PARAMS),
    st.sampled_from(PARAMS).map(StrSub),  # equal to a parameter name, but not the interned object
    st.text(max_size=12),
)
any_keys = st.one_of(str_keys, st.integers(), st.none(), st.binary(max_size=4), st.tuples(st.text(max_size=2)))


def check_success(inst, bound):
    """The documented attributes after a call that succeeded, given the values
    bound to status_code, message and payload."""
    sc, msg, payload = bound
    assert type(inst.status_code) is int and inst.status_code == int(sc)
    assert inst.message is msg
    if payload:
        assert inst.payload is payload
    else:
        assert inst.payload == {} and type(inst.payload) is dict and inst.payload is not payload
    assert inst.args == (f"[{int(sc)}] {msg}",)


class TestArbitraryCalls:
    """Calls with arbitrary arguments succeed or fail with a documented text;
    never a SystemError, never a crash."""

    CALLS = ("class call", "method call", "call slot with dict", "entry with dict")

    @staticmethod
    def call(shape, inst, pos, kw):
        if shape == "class call":
            return E(*pos, **kw)
        if shape == "method call":
            return API.__init__(inst, *pos, **kw)
        hooks = pytest.importorskip("quillmaret._quill_testhooks")
        if shape == "call slot with dict":
            return hooks.call_with_dict(API.__init__, (inst, *pos), kw)
        return hooks.call_entry_with_dict(API.__init__, (inst, *pos), kw)

    @settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(shape=st.sampled_from(CALLS), data=st.data(),
           pos=st.one_of(st.lists(values, max_size=5),
                         st.tuples(ints, st.text(max_size=12)).map(list)))
    def test_outcome_is_documented(self, shape, pos, data):
        keys = str_keys if shape in self.CALLS[:2] else any_keys
        kw = data.draw(st.dictionaries(keys, values, max_size=4), label="kw")
        pos = [real(v) for v in pos]
        kw = {k: real(v) for k, v in kw.items()}
        inst = E.__new__(E)
        try:
            result = self.call(shape, inst, pos, kw)
        except (TypeError, ValueError, OverflowError) as exc:
            assert type(exc) in (TypeError, ValueError, OverflowError)
            assert any(p.fullmatch(str(exc)) for p in DOCUMENTED), repr(str(exc))
            return
        if shape == "class call":
            inst = result
        else:
            assert result is None
        # Bound: positional values first, then the keywords by name.
        bound = dict(zip(PARAMS[1:], pos))
        bound.update((str(k), v) for k, v in kw.items())
        check_success(inst, (bound["status_code"], bound["message"], bound.get("payload")))

    @settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(sc=values, msg=st.one_of(st.text(max_size=12), values),
           payload=st.one_of(st.none(), st.dictionaries(st.text(max_size=4), st.integers(), max_size=3),
                             values),
           as_keywords=st.booleans())
    def test_bound_values_meet_the_type_rules(self, sc, msg, payload, as_keywords):
        """Once bound, the outcome is exactly the one the rules give: coercion
        of the status code, exact-type tests in order, then the text."""
        sc, msg, payload = real(sc), real(msg), real(payload)
        inst = E.__new__(E)
        expected_exc, expected = self.predict(sc, msg, payload)
        try:
            if as_keywords:
                API.__init__(inst, payload=payload, message=msg, status_code=sc)
            else:
                API.__init__(inst, sc, msg, payload)
        except Exception as exc:
            assert (type(exc), str(exc)) == (expected_exc, expected)
            return
        assert expected_exc is None, f"expected {expected_exc.__name__}: {expected}"
        check_success(inst, (sc, msg, payload))
        assert inst.args == (expected,)

    @staticmethod
    def predict(sc, msg, payload):
        """(exception type or None, message or the joined text)."""
        if type(sc) is not int:
            tp = type(sc)
            if not (hasattr(tp, "__index__") or hasattr(tp, "__int__") or hasattr(tp, "__float__")
                    or isinstance(sc, complex)):
                return TypeError, ("Argument 'status_code' has incorrect type "
                                   f"(expected int, got {tp_name(tp)})")
            try:
                sc = int(sc)  # int(x) of a number is the same conversion
            except Exception as exc:
                return type(exc), str(exc)
        for name, value, expected, none_ok in (("message", msg, str, False),
                                               ("payload", payload, dict, True)):
            if type(value) is not expected and not (none_ok and value is None):
                note = ". " + NOTE if isinstance(value, expected) else ""
                return TypeError, (f"Argument '{name}' has incorrect type (expected {expected.__name__}, "
                                   f"got {tp_name(type(value))}){note}")
        try:
            return None, f"[{sc!r}] {msg}"
        except ValueError as exc:  # more digits than int's str conversion allows
            return ValueError, str(exc)

    def test_huge_status_code_fails_at_line_12_after_the_attributes(self):
        inst = E.__new__(E)
        with pytest.raises(ValueError, match="Exceeds the limit") as info:
            API.__init__(inst, 10**5000, "m")
        assert module_entries(info.value) == [(INIT_FUNC, 12)]
        assert inst.status_code == 10**5000 and inst.message == "m" and inst.payload == {}
        assert inst.args == ()


# ---------------------------------------------------------------------------
# A million construct-raise-catch cycles across five threads.

@pytest.mark.slow
@pytest.mark.subprocess
def test_million_raises_across_threads_keep_memory_flat():
    proc = run_python("""
        import os, sys, threading
        from quillmaret._m3 import QuillMaretAPIError, QuillMaretNotComputedError as E

        THREADS, FIRST, TOTAL = 5, 10_000, 1_000_000
        MESSAGE = "not computed"

        if sys.platform == "win32":  # the working set, Windows' resident memory
            import ctypes

            class Counters(ctypes.Structure):  # PROCESS_MEMORY_COUNTERS
                _fields_ = [("cb", ctypes.c_uint32), ("page_faults", ctypes.c_uint32)] + [
                    (name, ctypes.c_size_t) for name in (
                        "peak_working_set", "working_set", "peak_paged_pool", "paged_pool",
                        "peak_nonpaged_pool", "nonpaged_pool", "pagefile", "peak_pagefile")]

            def rss():
                counters = Counters(cb=ctypes.sizeof(Counters))
                kernel32 = ctypes.windll.kernel32
                kernel32.GetCurrentProcess.restype = ctypes.c_void_p
                assert kernel32.K32GetProcessMemoryInfo(
                    ctypes.c_void_p(kernel32.GetCurrentProcess()), ctypes.byref(counters), counters.cb)
                return counters.working_set
        else:
            PAGE = os.sysconf("SC_PAGE_SIZE")

            def rss():
                with open("/proc/self/statm") as f:
                    return int(f.read().split()[1]) * PAGE

        def cycles(n):
            for i in range(n):
                try:
                    if i % 3 == 0:
                        raise E(404, MESSAGE, {"k": i})
                    if i % 3 == 1:
                        raise E(status_code=404.0, message=MESSAGE)
                    E(404, None)  # fails the type test
                except QuillMaretAPIError as exc:
                    assert exc.status_code == 404 and exc.message is MESSAGE
                except TypeError:
                    pass

        first_done = threading.Barrier(THREADS)
        measured = threading.Barrier(THREADS)
        errors = []

        def worker():
            try:
                cycles(FIRST // THREADS)
                first_done.wait()
                measured.wait()
                cycles((TOTAL - FIRST) // THREADS)
            except BaseException as exc:
                errors.append(repr(exc))
                first_done.abort()
                measured.abort()

        threads = [threading.Thread(target=worker) for _ in range(THREADS - 1)]
        for t in threads:
            t.start()
        cycles(FIRST // THREADS)
        first_done.wait()
        after_first = rss()
        measured.wait()
        cycles((TOTAL - FIRST) // THREADS)
        for t in threads:
            t.join()
        print(after_first, rss(), errors)
    """, timeout=600)
    after_first, after_all, errors = proc.stdout.split(maxsplit=2)
    assert errors.strip() == "[]"
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory on purpose
        growth = int(after_all) - int(after_first)
        assert growth <= 1 << 20, f"resident memory grew by {growth} bytes"


@pytest.mark.subprocess
@pytest.mark.skipif(sys.platform == "win32", reason="reads /proc/self/maps; on Windows "
                    "test_windows_module_tables checks that the module imports no C++ runtime DLL")
def test_import_loads_no_cxx_runtime():
    """Loading libstdc++ for the module would cost several times the rest of
    its import; the module is built so that it needs none."""
    proc = run_python(f"""
        import sys
        sys.modules["quillmaret"] = pkg = type(sys)("quillmaret")
        pkg.__path__ = [{os.path.dirname(m3.__file__)!r}]
        before = open("/proc/self/maps").read()
        import quillmaret._m3
        after = open("/proc/self/maps").read()
        print("libstdc++" in before, "libstdc++" in after)
    """)
    if SANITIZED:
        pytest.skip("the sanitizer runtimes bring libstdc++ with them")
    if proc.stdout.split()[0] == "True":
        pytest.skip("the interpreter has loaded libstdc++ already")
    assert proc.stdout.split() == ["False", "False"]


# ---------------------------------------------------------------------------
# The stream decoder, fuzzed.

def reference_decode(stream, n):
    """The stream format, decoded by rule: bytes, or None where the decoder
    must refuse the stream (it ends early, runs past its end or past n,
    reaches before the output's start, or leaves input over)."""
    out = bytearray()
    pos = 0
    while len(out) < n:
        if pos >= len(stream):
            return None
        flags = stream[pos]
        pos += 1
        for k in range(8):
            if flags >> k & 1:
                if pos >= len(stream):
                    return None
                out.append(stream[pos])
                pos += 1
            else:
                if pos + 1 >= len(stream):
                    return None
                b0, b1 = stream[pos], stream[pos + 1]
                if b0 < 0x80:
                    gap, length, size = b0, b1 + 3, 2
                elif b1 < 0x80:
                    gap, length, size = ((b1 & 0x60) << 2 | (b0 & 0x7F)) + 128, (b1 & 0x1F) + 3, 2
                else:
                    if pos + 2 >= len(stream):
                        return None
                    gap, length, size = ((b1 & 0x7F) << 7 | (b0 & 0x7F)) + 128, stream[pos + 2] + 3, 3
                start = len(out) - gap - length
                if start < 0 or len(out) + length > n:
                    return None
                out += out[start:start + length]
                pos += size
            if len(out) == n:
                break
    return bytes(out) if pos == len(stream) else None


def mutate(rng, stream):
    s = bytearray(stream)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(6)
        i = rng.randrange(len(s) + 1)
        if op == 0 and s:      # flip one bit
            i = min(i, len(s) - 1)
            s[i] ^= 1 << rng.randrange(8)
        elif op == 1 and s:    # overwrite one byte
            s[min(i, len(s) - 1)] = rng.randrange(256)
        elif op == 2:          # insert bytes
            s[i:i] = rng.randbytes(rng.randint(1, 3))
        elif op == 3:          # delete bytes
            del s[i:i + rng.randint(1, 3)]
        elif op == 4:          # truncate
            del s[i:]
        else:                  # repeat a slice
            j = rng.randrange(len(s) + 1)
            s[i:i] = s[j:j + rng.randint(1, 8)]
    return bytes(s)


@pytest.mark.slow
def test_decoder_fuzzed_with_random_and_mutated_streams():
    hooks = pytest.importorskip("quillmaret._quill_testhooks")
    stream, n, _, _ = hooks.compiled_stream()
    rng = random.Random(20240611)
    # Seeds: the compiled stream and the producer's streams for varied data.
    seeds = [(stream, n)]
    for size in (1, 7, 60, 300, 2000):
        data = bytes(rng.choice(b"abc\x00\xff") if rng.random() < 0.5 else rng.randrange(256)
                     for _ in range(size))
        data = data[: size // 2] + data[: size - size // 2]  # far back-references
        seeds.append((hooks.lzss_encode(data), len(data)))
    runs = 100_000
    checked = 0
    for i in range(runs):
        if i % 4 == 3:  # random bytes
            candidate = rng.randbytes(rng.randint(0, 40))
            size = rng.randint(0, 80)
        else:
            seed, size = seeds[rng.randrange(len(seeds))]
            candidate = mutate(rng, seed)
            size = max(0, size + rng.choice((0, 0, 0, 0, 1, -1, rng.randint(-20, 20))))
        try:
            result = hooks.lzss_decode(candidate, size)
        except RuntimeError as exc:
            assert str(exc) == "LZSS string data decompression failed"
            result = None
        else:
            assert len(result) == size
        # Every short case, and a sample of the long ones, against the rules.
        if size < 200 or i % 50 == 0:
            assert result == reference_decode(candidate, size), (candidate.hex(), size)
            checked += 1
    assert checked > 20_000


# ---------------------------------------------------------------------------
# Allocation failures.
#
# _testcapi.set_nomemory(start, stop) makes allocations number start+1 to
# stop fail (all of them from start+1 on when stop is 0). "rest" fails the
# n-th allocation and every later one until the hooks are removed; "one"
# fails the n-th alone, so that the failure procedure itself can allocate
# and its traceback entry can be checked.

needs_testcapi = pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None,
                                    reason="the interpreter has no _testcapi")

# Import sweep. For each n, a child forked from a driver process (so the
# module is not yet imported in it) imports the module with allocation n
# failing, then imports it again with allocations working and uses it, and
# reports one JSON line. The driver gives the shared library to the process
# beforehand without initialising it, so that no child pays for the dynamic
# loading, and makes `quillmaret` a bare package object, so that the import
# runs the extension module alone and not the package's Python files.
#
# Two windows: "statement" fails allocations from `import quillmaret._m3`
# on, the interpreter's import machinery included; "module" fails them only
# inside the module's create and exec slots (called the way the import
# machinery calls them, with its clean-up on failure).
#
# Besides "rest" and "one", the mode "window" fails allocations n+1 to
# n+WINDOW: for the module's own code the same as "rest" (its whole import
# makes a few hundred allocations), but it lets the interpreter recover
# afterwards. Under "rest", 3.11's import machinery spins for ever in its
# exception handling (in _ModuleLock.acquire and _load_unlocked) once an
# allocation has failed, after the module's slots have returned: the
# statement window uses "window" for that reason.
#
# A child that does not finish in time is a hang: its watchdog (faulthandler)
# writes its Python stack to the driver and ends it. A child killed by a
# signal is a crash: faulthandler writes its Python stack too, and the test
# takes gdb's backtrace of one crash per distinct stack by running that n
# alone under gdb. Every child also arms an alarm, so that none can outlive
# a driver that was killed.
IMPORT_DRIVER = r"""
import ctypes, faulthandler, importlib.util, json, os, signal, sys, _imp, _testcapi
window, mode, first, last, pkg_dir, source_file = json.loads(sys.argv[1])
sys.modules["quillmaret"] = pkg = type(sys)("quillmaret")
pkg.__path__ = [pkg_dir]
spec = importlib.util.find_spec("quillmaret._m3")
ctypes.CDLL(spec.origin)
HANG_SECONDS = 2
WINDOW = 100_000


def report(**fields):
    os.write(1, (json.dumps(fields) + "\n").encode())


def entries(exc):
    found = []
    tb = exc.__traceback__
    while tb:
        code = tb.tb_frame.f_code
        if code.co_filename == source_file:
            found.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


def load_module():
    # What the import machinery does for an extension module's spec.
    module = _imp.create_dynamic(spec)
    try:
        _imp.exec_dynamic(module)
    except BaseException:
        sys.modules.pop(spec.name, None)
        raise
    return module


def child(n, watchdog):
    signal.alarm(3 * HANG_SECONDS)
    os.dup2(watchdog, 2)  # fatal errors write their stack to stderr
    faulthandler.enable()
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    stop = {"rest": 0, "window": n + WINDOW, "one": n + 1}[mode]
    if window == "statement":
        _testcapi.set_nomemory(n, stop)
        try:
            import quillmaret._m3
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            error = exc
        else:
            _testcapi.remove_mem_hooks()
            error = None
    else:
        _testcapi.set_nomemory(n, stop)
        try:
            load_module()
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            error = exc
        else:
            _testcapi.remove_mem_hooks()
            error = None
    result = {"n": n, "imported": error is None}
    if error is not None:
        result.update(error=type(error).__name__, text=str(error)[:200], entries=entries(error),
                      in_modules=spec.name in sys.modules)
        del error
        try:
            import quillmaret._m3
        except BaseException as exc:
            result["second"] = repr(exc)
    try:
        m = sys.modules[spec.name]
        e = m.QuillMaretNotComputedError(404, "m")
        assert e.args == ("[404] m",) and isinstance(e, m.QuillMaretError)
        # An argument error fails on the line the failed import may have
        # failed on (8): its entry must still name the initializer.
        try:
            m.QuillMaretAPIError()
        except TypeError as exc:
            assert entries(exc) == [("quillmaret._m3.QuillMaretAPIError.__init__", 8)], entries(exc)
    except BaseException as exc:
        result["works"] = repr(exc)
    faulthandler.cancel_dump_traceback_later()
    report(**result)


for n in range(first, last):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            child(n, write_end)
        finally:
            os._exit(0)
    os.close(write_end)
    _, status = os.waitpid(pid, 0)
    with os.fdopen(read_end) as watchdog:
        stack = watchdog.read()
    if os.WIFSIGNALED(status):
        report(n=n, signal=os.WTERMSIG(status), stack=stack)
    elif os.WEXITSTATUS(status) != 0 and stack.startswith("Timeout ("):
        report(n=n, hang=stack)
    elif os.WEXITSTATUS(status) != 0:
        report(n=n, exit=os.WEXITSTATUS(status), stack=stack)
"""

IMPORT_LINES = {1, 5, 8, 15, 20, 26}


def driver_args(window, mode, first, last):
    return json.dumps([window, mode, first, last, os.path.dirname(m3.__file__), FILE])


def run_import_sweep(window, mode, first, last):
    proc = run_python(f"import sys; sys.argv[1:] = [{driver_args(window, mode, first, last)!r}]\n"
                      + IMPORT_DRIVER, timeout=900)
    return [json.loads(line) for line in proc.stdout.splitlines()]


def crash_backtrace(window, mode, n):
    """gdb's backtrace of the child for allocation n crashing, or None."""
    gdb = shutil.which("gdb")
    if not gdb:
        return None
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run(
        [gdb, "-q", "-batch", "-ex", "set follow-fork-mode child", "-ex", "run", "-ex", "bt",
         "--args", sys.executable, "-c", IMPORT_DRIVER, driver_args(window, mode, n, n + 1)],
        capture_output=True, text=True, env=env, timeout=300)
    return proc.stdout


def in_module_code(backtrace):
    """Whether a frame of a gdb backtrace is in the module's code."""
    ours = re.compile(r" in (quill::|PyInit__m3\b)| from \S*/_m3\.cpython\S*\.so| at \S*src/quillmaret/")
    return any(line.startswith("#") and ours.search(line) for line in backtrace.splitlines())


def innermost_frames(stack):
    """The two innermost frames of a faulthandler stack dump."""
    frames = [line.strip() for line in stack.splitlines() if line.strip().startswith("File ")]
    return " | ".join(frames[:2])


def in_module_slot(stack):
    """Whether the innermost frame of a Python stack dump is the import
    machinery's call of the module's create or exec slot (or the driver's)."""
    return any(name in innermost_frames(stack)
               for name in ("create_module", "exec_module", "load_module", "_call_with_frames_removed"))


def check_import_reports(window, mode, reports):
    """Each n imported, or failed cleanly and then imported; returns the n
    whose child hung or crashed inside the interpreter alone."""
    excluded = []
    checked = set()  # stacks whose crash gdb has shown outside the module
    for r in reports:
        if "hang" in r:
            assert not in_module_slot(r["hang"]), f"hang at n={r['n']}:\n{r['hang']}"
            excluded.append(r["n"])
            continue
        if "signal" in r or "exit" in r:
            where = innermost_frames(r.get("stack", ""))
            assert where and not in_module_slot(r["stack"]), f"crash at n={r['n']}: {r}"
            if where not in checked:
                bt = crash_backtrace(window, mode, r["n"])
                assert bt and "#0" in bt and not in_module_code(bt), f"crash at n={r['n']}: {r}\n{bt}"
                checked.add(where)
            excluded.append(r["n"])
            continue
        assert "works" not in r and "second" not in r, r
        if r["imported"]:
            continue
        # (The module may stay in sys.modules when the import machinery
        # failed after the exec slot had succeeded; the check that the
        # module in sys.modules works covers that case.)
        # The import machinery's own lock allocation fails its own way.
        assert r["error"] == "MemoryError" or (
            window == "statement" and (r["error"], r["text"]) == ("RuntimeError", "can't allocate lock")), r
        for func, line in r["entries"]:
            assert func == IMPORT_FUNC and line in IMPORT_LINES, r
        assert len(r["entries"]) <= 1, r
    return excluded


def sweep_until_imported(window, mode):
    """Reports of a sweep up to the first n at which the import succeeds with
    every later allocation failing: from there on no allocation of the import
    is left to fail."""
    reports = []
    while not reports or not reports[-1].get("imported"):
        assert len(reports) < 20_000, "the import never succeeded"
        batch = run_import_sweep(window, mode, len(reports), len(reports) + 500)
        done = next((i for i, r in enumerate(batch) if r.get("imported")), None)
        reports += batch if done is None else batch[:done + 1]
    return reports


@pytest.fixture(scope="module")
def module_sweep():
    return sweep_until_imported("module", "rest")


@pytest.fixture(scope="module")
def statement_sweep():
    return sweep_until_imported("statement", "window")


@needs_testcapi
@SKIP_ON_3_13_0_TYPE_CRASH
@pytest.mark.slow
@pytest.mark.subprocess
class TestImportAllocationFailures:
    def test_module_slots_with_every_later_allocation_failing(self, module_sweep):
        assert check_import_reports("module", "rest", module_sweep) == []

    def test_module_slots_with_one_allocation_failing(self, module_sweep):
        reports = run_import_sweep("module", "one", 0, len(module_sweep))
        assert check_import_reports("module", "one", reports) == []
        # With one failure the failure procedure can add its entry: the
        # failures after the constant table carry one.
        assert sum(bool(r.get("entries")) for r in reports) > len(reports) // 2

    def test_import_statement_with_every_later_allocation_failing(self, statement_sweep, module_sweep):
        excluded = check_import_reports("statement", "window", statement_sweep)
        assert len(statement_sweep) > len(module_sweep)
        if excluded:
            print(f"hangs or crashes inside the interpreter excluded at n = {excluded}")

    def test_import_statement_with_one_allocation_failing(self, statement_sweep):
        reports = run_import_sweep("statement", "one", 0, len(statement_sweep))
        excluded = check_import_reports("statement", "one", reports)
        if excluded:
            print(f"hangs or crashes inside the interpreter excluded at n = {excluded}")


# Initializer sweep, in one child: for each call form, every n from the
# first allocation of the call to the last, in both modes. After each call
# the instance may hold only what the failure table allows: the attributes
# status_code, message, payload set in that order up to the failing step,
# args untouched, and one traceback entry at the line of the failing step
# (always, when only one allocation failed); the call keeps no reference to
# its arguments.
INIT_SWEEP = r"""
import enum, json, sys, _testcapi
from quillmaret._m3 import QuillMaretAPIError as API, QuillMaretNotComputedError as E

FILE, FUNC = sys.argv[1:3]
init = API.__init__
nomemory = _testcapi.set_nomemory
restore = _testcapi.remove_mem_hooks
ATTRS = ("status_code", "message", "payload")


class Status(enum.IntEnum):
    NOT_FOUND = 404


# The calls run between nomemory and restore with nothing else around them.
def positional(n, stop, inst, sc, msg, payload):
    nomemory(n, stop)
    try:
        init(inst, sc, msg, payload)
    except BaseException as exc:
        restore()
        return exc
    restore()


def keywords(n, stop, inst, sc, msg, payload):
    nomemory(n, stop)
    try:
        init(inst, payload=payload, message=msg, status_code=sc)
    except BaseException as exc:
        restore()
        return exc
    restore()


CASES = {
    "404 positional": (positional, 404, "not computed", {"k": 1}),
    "float, two-byte text": (positional, 404.5, "nicht berechnet \u2013 sp\u00e4ter", None),
    "enum keywords, four-byte text": (keywords, Status.NOT_FOUND, "\U0001f600 computed", {}),
    "long int": (positional, 10**30, "m" * 100, None),
}


def entries(exc):
    found = []
    tb = exc.__traceback__
    while tb:
        code = tb.tb_frame.f_code
        if code.co_filename == FILE:
            found.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


def check(mode, n, call, sc, msg, payload, problems):
    # Runs the call with allocation n failing; True when it succeeded.
    inst = E.__new__(E)
    refs = sys.getrefcount(msg), sys.getrefcount(payload)
    exc = call(n, 0 if mode == "rest" else n + 1, inst, sc, msg, payload)
    state = dict(inst.__dict__)
    k = len(state)
    bad = []
    if list(state) != list(ATTRS[:k]):
        bad.append(f"attributes {list(state)}")
    elif k >= 1 and not (type(state["status_code"]) is int and state["status_code"] == int(sc)):
        bad.append(f"status_code {state['status_code']!r}")
    elif k >= 2 and state["message"] is not msg:
        bad.append("message is another object")
    elif k >= 3 and not (state["payload"] is payload if payload else state["payload"] == {}):
        bad.append(f"payload {state['payload']!r}")
    if exc is None:
        if k != 3 or inst.args != (f"[{int(sc)}] {msg}",):
            bad.append(f"succeeded with {list(state)}, args {inst.args!r}")
    else:
        if type(exc) is not MemoryError:
            bad.append(f"raised {exc!r}")
        if inst.args != ():
            bad.append(f"args {inst.args!r} after a failure")
        # Line of the failing step: 9 + the attributes set before it; a
        # failing conversion of the status code reports line 8.
        lines = [8, 9] if k == 0 and type(sc) is not int else [9 + k]
        found = entries(exc)
        if any(name != FUNC or line not in lines for name, line in found) or                 len(found) > 1 or (mode == "one" and not found):
            bad.append(f"entries {found} with {k} attributes set")
    succeeded = exc is None
    del inst, exc, state
    if (sys.getrefcount(msg), sys.getrefcount(payload)) != refs:
        bad.append("references to the arguments kept")
    problems.extend(f"{mode} n={n}: {b}" for b in bad)
    return succeeded


summary = {}
for name, (call, sc, msg, payload) in CASES.items():
    problems = []
    n = 0
    while not check("rest", n, call, sc, msg, payload, problems):
        n += 1
        if n > 5000:
            problems.append("never succeeded")
            break
    for k in range(n + 1):
        check("one", k, call, sc, msg, payload, problems)
    summary[name] = {"allocations": n, "problems": problems[:20]}
print(json.dumps(summary))
"""


@needs_testcapi
@pytest.mark.subprocess
def test_initializer_call_survives_every_allocation_failure():
    proc = run_python(f"import sys; sys.argv[1:] = [{FILE!r}, {INIT_FUNC!r}]\n" + INIT_SWEEP)
    summary = json.loads(proc.stdout)
    for name, result in summary.items():
        assert result["problems"] == [], name
        assert result["allocations"] > 0, name
