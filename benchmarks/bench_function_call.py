#!/usr/bin/env python3
"""Call overhead of our function object against the interpreter's builtin function.

Both callables run the same METH_FASTCALL|METH_KEYWORDS implementation from
the same method record (quillmaret._quill_testhooks.bench_functions()): one
is a quill function object, the other the builtin function the interpreter
makes from that record. Two calls are timed for each:

  positional   f(1, 2)
  keyword      f(1, b=2)

At a call site like these, CPython 3.11 replaces the call instruction of an
exact builtin function by a specialised one that calls the implementation
inline; no other type can take that path, so the first two rows measure
the interpreter's generic call sequence against that shortcut. The rows
marked "protocol" make the same calls through operator.call, which hands
both callables to the interpreter's vectorcall protocol (as C code, map()
and the like do), and so compare the two callables like for like.

Every sample runs all four jobs once, in an order rotated from sample to
sample, in one process pinned to one CPU with the cyclic GC off. The report
gives the median ns per call of each job and the median of the per-sample
ratios ours/builtin; the target is a ratio within 1.05.

Needs the package built with the test hooks, e.g.
  bash scripts/nox -s dev-3.11 -- bench
  PYTHONPATH=build/site-bench-3.11 .venv/sessions/dev-3-11/bin/python benchmarks/bench_function_call.py
"""
import argparse
import gc
import operator
import os
import statistics
import timeit

from quillmaret import _quill_testhooks as hooks

CALLS = {
    "positional": "f(1, 2)",
    "keyword": "f(1, b=2)",
    "positional, protocol": "call(f, 1, 2)",
    "keyword, protocol": "call(f, 1, b=2)",
}


def make_timer(func, stmt):
    # The setup binds f (and call) as locals of the timing loop, as a call
    # site would.
    return timeit.Timer(stmt, setup="f = F; call = CALL", globals={"F": func, "CALL": operator.call})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=31)
    parser.add_argument("--loops", type=int, default=200_000)
    args = parser.parse_args()

    ours, builtin = hooks.bench_functions()
    assert ours(1, b=2) == builtin(1, b=2) == 1
    assert type(builtin) is type(len) and type(ours).__name__ == "quill_function_or_method"

    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    gc.disable()

    jobs = [(call, who, make_timer(func, stmt))
            for call, stmt in CALLS.items()
            for who, func in (("ours", ours), ("builtin", builtin))]
    for _, _, timer in jobs:  # warm up, and let the interpreter specialise
        timer.timeit(args.loops // 10)

    times = {(call, who): [] for call, who, _ in jobs}
    for sample in range(args.samples):
        k = sample % len(jobs)
        for call, who, timer in jobs[k:] + jobs[:k]:
            times[call, who].append(timer.timeit(args.loops) / args.loops * 1e9)

    print(f"{args.samples} samples x {args.loops} calls; ns per call (median)")
    print(f"{'call':<22}{'ours':>10}{'builtin':>10}{'ratio':>10}")
    for call in CALLS:
        ratios = [o / b for o, b in zip(times[call, "ours"], times[call, "builtin"])]
        print(f"{call:<22}{statistics.median(times[call, 'ours']):>10.1f}"
              f"{statistics.median(times[call, 'builtin']):>10.1f}"
              f"{statistics.median(ratios):>10.3f}")


if __name__ == "__main__":
    main()
