"""Traceback records: entries added to the pending exception, and the
sorted code object cache behind them."""
import random
import traceback

import pytest

from conftest import import_hooks, run_python, with_super_hidden_from_exec
from module_facts import SOURCE_FILE

hooks = import_hooks()


@pytest.fixture(autouse=True)
def empty_cache():
    hooks.code_cache_reset()
    yield
    hooks.code_cache_reset()


def add_entry(exc, funcname="fn", line=7):
    """Raises exc through the hook; returns the exception that came out."""
    with pytest.raises(BaseException) as info:
        hooks.add_traceback(exc, funcname, line)
    return info.value


def last_entry(exc):
    tb = exc.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb


class TestEntry:
    def test_entry_names_function_file_and_line(self):
        exc = add_entry(ValueError("x"), "quillmaret._m3.f", 12)
        summary = traceback.extract_tb(exc.__traceback__)[-1]
        assert (summary.name, summary.filename, summary.lineno) == ("quillmaret._m3.f", SOURCE_FILE, 12)
        code = last_entry(exc).tb_frame.f_code
        assert (code.co_name, code.co_filename, code.co_firstlineno) == ("quillmaret._m3.f", SOURCE_FILE, 12)

    def test_frame_globals_are_the_module_dictionary(self):
        # The hooks module has no __builtins__: the frame must still be made
        # while the exception is pending.
        assert "__builtins__" not in vars(hooks)
        exc = add_entry(ValueError("x"), "fn")
        frame = last_entry(exc).tb_frame
        assert frame.f_code.co_name == "fn" and frame.f_globals is vars(hooks)

    def test_pending_exception_propagates_with_entry_at_end(self):
        original = KeyError("k")
        exc = add_entry(original, "fn", 3)
        assert exc is original
        names = [s.name for s in traceback.extract_tb(exc.__traceback__)]
        assert names[-1] == "fn" and len(names) == 2  # the test's frame, then ours

    def test_existing_entries_kept(self):
        def fail():
            raise LookupError("inner")

        try:
            fail()
        except LookupError as e:
            original = e
        exc = add_entry(original, "fn", 3)
        assert exc is original
        names = [s.name for s in traceback.extract_tb(exc.__traceback__)]
        assert names[-1] == "fail" and "fn" in names


class TestCodeCache:
    def test_first_failure_caches_code(self):
        exc = add_entry(ValueError(), "fn", 9)
        lines, capacity, codes = hooks.code_cache()
        assert (lines, capacity) == ([9], 64)
        assert codes[0] is last_entry(exc).tb_frame.f_code

    def test_same_line_keeps_each_functions_name(self):
        names = ["quillmaret._m3.QuillMaretAPIError.__init__", "init quillmaret._m3", "b", "a"]
        for _ in range(2):  # made, then found in the cache
            for name in names:
                exc = add_entry(TypeError(), name, 8)
                summary = traceback.extract_tb(exc.__traceback__)[-1]
                assert (summary.name, summary.lineno) == (name, 8)
        lines, _, codes = hooks.code_cache()
        assert lines == [8] * 4 and [c.co_name for c in codes] == sorted(names)

    def test_repeated_failure_creates_no_code(self):
        codes = {id(last_entry(add_entry(ValueError(), line=5)).tb_frame.f_code)
                 for _ in range(5)}
        assert len(codes) == 1 and hooks.code_cache()[0] == [5]

    def test_line_zero_never_cached(self):
        first = last_entry(add_entry(ValueError(), "a", 0)).tb_frame.f_code
        second = last_entry(add_entry(ValueError(), "b", 0)).tb_frame.f_code
        assert first is not second and second.co_name == "b"
        assert hooks.code_cache() == ([], 0, [])

    @pytest.mark.parametrize("order", ["ascending", "descending", "shuffled", "interleaved"])
    def test_65th_line_grows_to_128_sorted(self, order):
        lines = [10 * i - 305 for i in range(1, 66)]  # negative lines too, never 0
        if order == "descending":
            lines.reverse()
        elif order == "shuffled":
            random.Random(65).shuffle(lines)
        elif order == "interleaved":
            lines = lines[::2] + lines[1::2]
        for line in lines[:64]:
            add_entry(ValueError(), f"f{line}", line)
        assert hooks.code_cache()[1] == 64
        add_entry(ValueError(), "last", lines[64])
        cached, capacity, codes = hooks.code_cache()
        assert capacity == 128
        assert cached == sorted(lines)
        assert [c.co_firstlineno for c in codes] == cached

    def test_random_failures_stay_sorted_and_unique(self):
        rng = random.Random(3)
        seen = set()
        for _ in range(400):
            line = rng.randrange(1, 150)
            seen.add(line)
            add_entry(ValueError(), "f", line)
        cached, capacity, codes = hooks.code_cache()
        assert cached == sorted(seen)
        assert capacity == 64 * -(-len(seen) // 64)
        assert len({id(c) for c in codes}) == len(codes)


@pytest.mark.subprocess
def test_exec_slot_failure_adds_entry_and_retry_gets_new_module():
    proc = run_python(with_super_hidden_from_exec("""
        import traceback
        import importlib._bootstrap_external as external

        # Keep every module object the exec slot runs on.
        seen = []
        exec_module = external.ExtensionFileLoader.exec_module
        def recording_exec_module(self, module):
            if module.__name__ == "quillmaret._m3":
                seen.append(module)
            return exec_module(self, module)
        external.ExtensionFileLoader.exec_module = recording_exec_module

        try:
            with super_hidden_from_exec():
                import quillmaret._m3
        except NameError as e:
            error = e
        else:
            raise SystemExit("the import did not fail")
        assert str(error) == "name 'super' is not defined", str(error)
        last = traceback.extract_tb(error.__traceback__)[-1]
        from module_facts import IMPORT_FUNC, SOURCE_FILE
        assert (last.name, last.filename, last.lineno) == (IMPORT_FUNC, SOURCE_FILE, 1), last

        import quillmaret._m3 as m3
        assert len(seen) == 2 and m3 is seen[1] and m3 is not seen[0], seen
        print("ok")
    """))
    assert proc.stdout.strip() == "ok"
