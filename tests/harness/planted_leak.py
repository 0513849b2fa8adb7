"""Planted faults for the leak hunt's self-check (nox -s leak_hunt -- --self-check).

Not collected by the normal suite (the name does not match test_*.py): the
self-check runs this file under the hunt and passes only when the hunt
fails exactly the four faulty tests below, passes the other four and leaves
out the slow one.
"""
import ctypes

import pytest
from hypothesis import given, settings, strategies as st

import quillmaret._quill_testhooks as hooks

_filled_once = []


def test_leaks_one_reference_per_call():
    # Must be reported: one reference and one block more on every run.
    hooks.leak_one_reference()


_held = object()


def test_leaks_reference_to_what_it_handles():
    # Must be reported: one reference more to an object that outlives the
    # test on every run (a missing Py_DECREF of an argument), and no block:
    # what a release build, which keeps no reference total, must still see.
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(_held))


def test_cache_that_fills_once():
    # Must pass: grows on the first run only, which the warm-up absorbs.
    if not _filled_once:
        _filled_once.append(object())
        hooks.leak_one_reference()


def test_balanced_work():
    # Must pass: makes and frees objects through the extension every run.
    for _ in range(100):
        try:
            hooks.read_past_end("not a size")
        except TypeError:
            pass


_runs = []


def test_passes_only_once():
    # Must be reported: passes on its first run in a process, fails later.
    _runs.append(None)
    assert len(_runs) == 1


_second_runs = []


def test_fails_only_on_its_second_run():
    # Must be reported: a silent repeat failed, though the run pytest reports
    # (the last) passes.
    _second_runs.append(None)
    assert len(_second_runs) != 2


@pytest.mark.subprocess
def test_marked_subprocess_runs_once():
    # Must pass: run once, never repeated, so its leak is not counted.
    hooks.leak_one_reference()


@pytest.mark.slow
def test_marked_slow_is_left_out():
    # Must not run: slow tests are deselected by the hunt.
    hooks.leak_one_reference()


@settings(max_examples=500)
@given(st.binary(max_size=64))
def test_hypothesis_examples_repeat_exactly(data):
    # Must pass: the same examples on every run, so nothing new is kept.
    _seen_sizes.add(len(data))


_seen_sizes = set()
