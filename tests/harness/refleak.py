"""Reference-leak hunt: a pytest plugin that repeats each test in-process.

Loaded only by the leak_hunt sessions (``-p refleak``). It counts two things:

- references: under a debug build of CPython, ``sys.gettotalrefcount()``,
  every reference the interpreter holds. A release build keeps no such
  total; there the plugin adds up the reference counts of the objects the
  test handles that outlive it: what its module's globals and its class
  name (and, for a module among them, that module's globals), the constants
  in its code, its parameters, and the globals of the package's own modules. A leaked
  reference to any of those shows; one to an object made during the test
  shows as the memory block that object keeps.
- memory blocks: ``sys.getallocatedblocks()``, the blocks taken from the
  interpreter's small-object allocator, in either build.

How a test is judged, the way CPython's own ``regrtest -R`` does it:

1. The test runs WARMUPS times silently. Caches that fill once (interned
   strings, the type attribute cache, a module imported on first use, the
   per-site lookup caches of the extension) fill here and are not counted.
2. It runs RUNS more times silently. After each run the plugin drops the
   interpreter's own caches, collects garbage, and reads both totals. (What
   exists when collection ends, pytest and the test modules, is frozen out
   of the collector's way first, so that each collection stays cheap.)
3. The test leaks when *every one* of the RUNS runs grew a total by at least
   one: a real leak grows the count each time it runs, while noise or a
   late cache leaves some run at zero or below ([1, 1, 1] is a leak;
   [3, 0, 0] and [8, -8, 1] are not).
4. It then runs once more the ordinary way, and that run is the one pytest
   reports. A leak turns its result into a failure naming the growth per
   run, e.g. "leaked [1, 1, 1] references, sum=3". A test that passed
   alone but failed on a repeat fails too, with the repeat's error: it
   cannot run twice in one process and needs the ``subprocess`` marker.

Only function-scoped fixtures are set up and torn down around each run;
fixtures of wider scope stay alive across the repeats, as they do across
the tests that share them.

Tests not repeated:

- ``subprocess`` tests run once: their work happens in a fresh child
  interpreter, whose references are not this process's to count, and what
  they check is process-wide state that exists once per process (the
  import, the one-interpreter rule, initialisation at most once), so a
  second run in the same process would test something else. They still run
  under the debug interpreter, whose own checks (a reference count going
  negative, a broken object) end the run.
- ``slow`` tests are left out: they are endurance loops that already repeat
  their body many times and hold their own counts steady in the normal
  suite; under a debug interpreter, and repeated, they would take hours.
- Tests that skip or are expected to fail are not counted.

Hypothesis tests: the plugin loads a profile that derandomizes generation
(every run sees the same examples, so a run does not allocate anything its
predecessor did not), turns the example database off (no replay of a saved
failure in only some runs), drops deadlines (a debug interpreter is several
times slower) and caps the example count at HYPOTHESIS_EXAMPLES, even where
a test asks for more (the normal suite covers the breadth; this run covers
repetition).

Options: ``--leak-runs=WARMUPS:RUNS`` (default 3:3).
"""
import functools
import gc
import sys
import threading
import time
import types
import warnings

import pytest
from _pytest.fixtures import FixtureDef
from _pytest.runner import runtestprotocol

# Markers whose tests run once (see the module docstring).
RUN_ONCE_MARKERS = ("subprocess",)

# Chances, 5 ms apart, that other threads get to let go of what they hold
# before a run's growth counts.
SETTLE_WAITS = 40

# Examples per Hypothesis test under the hunt.
HYPOTHESIS_EXAMPLES = 20

_verdict_key = pytest.StashKey()


def pytest_addoption(parser):
    group = parser.getgroup("leak hunt")
    group.addoption(
        "--leak-runs", default="3:3", metavar="WARMUPS:RUNS",
        help="silent warm-up runs, then counted runs, per test (default 3:3)")


def pytest_configure(config):
    try:
        warmups, runs = (int(n) for n in config.getoption("leak_runs").split(":"))
    except ValueError:
        raise pytest.UsageError("--leak-runs takes WARMUPS:RUNS, e.g. 3:3") from None
    if warmups < 1 or runs < 2:
        raise pytest.UsageError("--leak-runs needs at least 1 warm-up and 2 counted runs")
    config.pluginmanager.register(LeakHunt(warmups, runs), "leak-hunt")


def pytest_collection_modifyitems(config, items):
    slow = [item for item in items if item.get_closest_marker("slow")]
    if slow:
        config.hook.pytest_deselected(items=slow)
        items[:] = [item for item in items if not item.get_closest_marker("slow")]
    _cap_examples(items)


def _cap_examples(items):
    # A test's own @settings(max_examples=...) outranks the profile; cap it
    # too, on the settings Hypothesis keeps on the test function.
    try:
        from hypothesis import settings
    except ImportError:
        return
    for item in items:
        func = getattr(item, "function", None)
        if not getattr(func, "is_hypothesis_test", False):
            continue
        current = getattr(func, "_hypothesis_internal_use_settings", None)
        if current is not None and current.max_examples > HYPOTHESIS_EXAMPLES:
            func._hypothesis_internal_use_settings = settings(
                current, max_examples=HYPOTHESIS_EXAMPLES)


@pytest.hookimpl(trylast=True)
def pytest_sessionstart(session):
    # After every conftest has loaded its own Hypothesis profile, override
    # only what repetition needs.
    try:
        from hypothesis import HealthCheck, settings
    except ImportError:
        return
    settings.register_profile(
        "leak-hunt",
        settings(settings.default, derandomize=True, database=None, deadline=None,
                 max_examples=HYPOTHESIS_EXAMPLES, print_blob=False,
                 suppress_health_check=_timing_health_checks(HealthCheck)))
    settings.load_profile("leak-hunt")


def _timing_health_checks(HealthCheck):
    # The checks a slower interpreter or a repeated run can trip without any
    # fault in the test (names present in this Hypothesis version only).
    names = ("too_slow", "data_too_large", "filter_too_much", "large_base_example",
             "differing_executors")
    return [getattr(HealthCheck, n) for n in names if hasattr(HealthCheck, n)]


class _Crash:
    """The one-line summary pytest prints after FAILED (its reprcrash)."""

    def __init__(self, path, lineno, message):
        self.path = path
        self.lineno = lineno
        self.message = message


class LeakReport:
    """The failure text of a leaking test, in the form pytest reports use."""

    def __init__(self, item, lines):
        path, lineno, _ = item.location
        self.lines = lines
        self.reprcrash = _Crash(path, lineno, lines[0])

    def toterminal(self, tw):
        for line in self.lines:
            tw.line(line, red=True, bold=True)

    def __str__(self):
        return "\n".join(self.lines)


def _fixture_finished_by(finalizer):
    """The fixture whose FixtureDef.finish `finalizer` calls, if it is one of
    pytest's own: partial(fixturedef.finish, request=...), or pytest 7's
    lambda: fixturedef.finish(request=subrequest)."""
    func = getattr(finalizer, "func", None)
    if isinstance(finalizer, functools.partial) and getattr(func, "__name__", None) == "finish":
        owner = getattr(func, "__self__", None)
        return owner if isinstance(owner, FixtureDef) else None
    if (isinstance(finalizer, types.FunctionType) and finalizer.__closure__
            and finalizer.__module__ == FixtureDef.__module__):
        for cell in finalizer.__closure__:
            try:
                content = cell.cell_contents
            except ValueError:
                continue
            if isinstance(content, FixtureDef):
                return content
    return None


def _drop_spent_finalizers(item):
    """Drops the finalizers a repeated run left on what outlives it.

    Each setup of a function-scoped fixture hangs a finalizer on every wider
    fixture it uses (tmp_path on tmp_path_factory), and pytest 7 hangs one
    more on the wider fixture's node for every test that asks for it; all
    are kept until the wider fixture ends. Those for a function-scoped
    fixture (already finished) and repeats for the same fixture do nothing
    when they run; kept, they would make pytest itself look like a leak.
    """
    lists = [entry[0] for entry in getattr(item.session._setupstate, "stack", {}).values()]
    info = getattr(item, "_fixtureinfo", None)
    for defs in getattr(info, "name2fixturedefs", {}).values():
        for fixturedef in defs:
            if fixturedef.scope != "function":
                lists.append(getattr(fixturedef, "_finalizers", None))
    for finalizers in lists:
        if not isinstance(finalizers, list):
            continue
        seen = set()
        kept = []
        for finalizer in finalizers:
            fixturedef = _fixture_finished_by(finalizer)
            if fixturedef is not None:
                if fixturedef.scope == "function" or id(fixturedef) in seen:
                    continue
                seen.add(id(fixturedef))
            kept.append(finalizer)
        if len(kept) != len(finalizers):
            finalizers[:] = kept


def _handled_objects(item):
    """The objects `item` handles that outlive it (see the module docstring),
    each once."""
    found = {}

    def add(obj):
        # Leaving out the singletons every frame refers to (immortal, and so
        # constant, from 3.12 on; before that, their counts are noise).
        if (obj is None or obj is Ellipsis or obj is NotImplemented
                or type(obj) in (bool, int, float)
                or type(obj) is tuple and not obj
                or type(obj) is str and len(obj) <= 1):
            return
        found.setdefault(id(obj), obj)

    namespaces = [vars(module) for name, module in list(sys.modules.items())
                  if name == "quillmaret" or name.startswith("quillmaret.")]
    for owner in (getattr(item, "module", None), getattr(item, "cls", None)):
        if owner is not None:
            namespaces.append(vars(owner))
    for namespace in namespaces:
        for value in list(namespace.values()):
            add(value)
            if isinstance(value, types.ModuleType):
                for inner in list(vars(value).values()):
                    add(inner)
    callspec = getattr(item, "callspec", None)
    for value in getattr(callspec, "params", {}).values():
        add(value)
    func = getattr(item, "function", None)
    codes = [func.__code__] if isinstance(getattr(func, "__code__", None), types.CodeType) else []
    while codes:
        for const in codes.pop().co_consts:
            add(const)
            if isinstance(const, types.CodeType):
                codes.append(const)
    return list(found.values())


def _leaks(deltas):
    # A leak grows the total on every counted run.
    return all(delta >= 1 for delta in deltas)


class LeakHunt:
    def __init__(self, warmups, runs):
        self.warmups = warmups
        self.runs = runs
        self.repeated = 0
        self.once = 0
        self.leaking = []
        # Deltas come from this pool, so that storing one allocates nothing
        # (an int outside the small-int cache is a new block).
        self.int_pool = {n: n for n in range(-1000, 1000)}
        self._warm_caches()

    @staticmethod
    def _warm_caches():
        # Fill the interpreter's one-character and small-int caches first
        # (immortal, and so already full, from 3.12 on).
        data = bytes(range(256))
        for i in range(256):
            data[i:i + 1]
        [chr(i) for i in range(256)]
        list(range(-5, 257))

    @staticmethod
    def _settle():
        # Drop what the interpreter caches for its own speed, then collect
        # cycles, so that only what the test itself kept is counted.
        import abc
        import collections.abc
        import re
        import typing
        for name in collections.abc.__all__:
            cls = getattr(collections.abc, name)
            if isinstance(cls, abc.ABCMeta):
                for klass in cls.__subclasses__() + [cls]:
                    klass._abc_caches_clear()
        re.purge()
        for cleanup in getattr(typing, "_cleanups", ()):
            cleanup()
        gc.collect()
        # 3.13 deprecates the narrower one in favour of this.
        clear = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
        clear()

    def pytest_collection_finish(self, session):
        # Everything alive now (pytest, Hypothesis, the test modules) lives
        # to the end: move it out of the collector's way, so that each of
        # the many collections below walks only what the tests made.
        gc.collect()
        gc.freeze()

    def _repeatable(self, item):
        return not any(item.get_closest_marker(m) for m in RUN_ONCE_MARKERS)

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        if not self._repeatable(item):
            self.once += 1
            return None  # pytest's own protocol runs it once
        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        verdict = self._hunt(item)
        if verdict is not None:
            item.stash[_verdict_key] = verdict
        runtestprotocol(item, nextitem=nextitem, log=True)
        if _verdict_key in item.stash:  # no call phase took it (setup failed)
            del item.stash[_verdict_key]
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def _hunt(self, item):
        """Runs `item` silently WARMUPS + RUNS times in this process.

        Returns None when it neither leaked nor failed (or skipped), a
        LeakReport when it leaked, or (run, total, report) for the first
        silent run that failed.
        """
        total = self.warmups + self.runs
        ref_deltas = [0] * total
        block_deltas = [0] * total
        pool = self.int_pool
        sections = item._report_sections
        properties = len(item.user_properties)
        getallocatedblocks = sys.getallocatedblocks
        if hasattr(sys, "gettotalrefcount"):
            gettotalrefcount = sys.gettotalrefcount
        else:
            handled = _handled_objects(item)
            getrefcount = sys.getrefcount

            def gettotalrefcount():
                return sum(map(getrefcount, handled))

        # Tearing down towards the parent ends this item's function-scoped
        # fixtures after each run and keeps the wider ones.
        parent = item.parent
        self._settle()
        blocks_before = getallocatedblocks()
        refs_before = gettotalrefcount()
        for run in range(total):
            # A separate warning record per run: warnings the test lets
            # through must not pile up in pytest's record for the item.
            with warnings.catch_warnings(record=True):
                reports = runtestprotocol(item, nextitem=parent, log=False)
            failed = next((r for r in reports if not r.passed), None)
            del reports
            sections.clear()
            del item.user_properties[properties:]
            _drop_spent_finalizers(item)
            if failed is not None:
                if failed.skipped:
                    return None  # a skip or an expected failure: nothing to count
                return (run + 1, total, failed)
            del failed

            self._settle()
            blocks_after = getallocatedblocks()
            refs_after = gettotalrefcount()
            # A thread the test left running (a server's request handler)
            # may hold references for a moment after the test returns: give
            # such threads a few short chances to finish before growth counts.
            waits = 0
            while ((blocks_after > blocks_before or refs_after > refs_before)
                   and waits < SETTLE_WAITS and threading.active_count() > 1):
                waits += 1
                time.sleep(0.005)
                self._settle()
                blocks_after = min(blocks_after, getallocatedblocks())
                refs_after = min(refs_after, gettotalrefcount())
            ref_deltas[run] = pool.setdefault(refs_after - refs_before, refs_after - refs_before)
            block_deltas[run] = pool.setdefault(blocks_after - blocks_before,
                                                blocks_after - blocks_before)
            refs_before = refs_after
            blocks_before = blocks_after

        self.repeated += 1
        lines = []
        for deltas, what in ((ref_deltas, "references"), (block_deltas, "memory blocks")):
            counted = deltas[self.warmups:]
            if _leaks(counted):
                lines.append(f"leaked {counted} {what}, sum={sum(counted)}")
        if not lines:
            return None
        self.leaking.append(f"{item.nodeid} " + "; ".join(lines))
        lines.append(f"(growth per run over {self.runs} runs after {self.warmups} warm-up runs, "
                     "in this one process)")
        return LeakReport(item, lines)

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item, call):
        outcome = yield
        report = outcome.get_result()
        verdict = item.stash.get(_verdict_key, None)
        if verdict is None or report.when != "call":
            return
        del item.stash[_verdict_key]
        if isinstance(verdict, LeakReport):
            if report.passed:
                report.outcome = "failed"
                report.longrepr = verdict
            return
        run, total, failed = verdict
        if report.passed:
            report.outcome = "failed"
            report.longrepr = failed.longrepr
        if run == 1:
            # Nothing was repeated yet: the test itself failed, here, among
            # the tests this process ran before it.
            note = (f"its {failed.when} failed on its first run, before any repeat: the failure is "
                    "the test's own (it may depend on what the tests before it left behind)")
        else:
            note = (f"its {failed.when} passed {run - 1} time(s), then failed on run {run} of {total} "
                    "in the same process: a test that cannot be repeated in-process needs "
                    "@pytest.mark.subprocess")
        report.sections.append(("leak hunt", note))

    def pytest_terminal_summary(self, terminalreporter):
        tr = terminalreporter
        tr.section("leak hunt")
        if hasattr(sys, "gettotalrefcount"):
            tr.line("references counted: all the interpreter holds (debug build)")
        else:
            tr.line("references counted: those to the objects each test handles (release build)")
        tr.line(f"{self.repeated} tests repeated {self.warmups}+{self.runs} times, "
                f"{self.once} run once (subprocess), "
                f"{len(self.leaking)} leaking")
        for line in self.leaking:
            tr.line(line, red=True)
