#!/usr/bin/env python3
"""Cost of constructing and raising an SDK error, against reference peers.

Three operations on the 404 error class of each implementation:

  (a)  E(404, "not computed", {"k": 1})
  (b)  E(status_code=404, message="not computed")
  (c)  try: raise E(404, "not computed")  except E: pass

Implementations: quillmaret._m3 (ours), the pure-Python peers peer_pure and
peer_pure_min, and the hand-written C floor (floor_ext.FloorNotComputedError),
also in its variant that renders the status code with int's repr slot
(FloorReprNotComputedError, shown for reference; the targets use the floor).
The peers are in benchmarks/peers/ (outside the package; --peers DIR names
another folder). The C peers are built for the interpreter running this
script with the peers' build.sh, into a temporary directory, or into
--floor-dir DIR, where a build for this interpreter is kept and reused while
it is newer than its source.

Modes:
  (default)    time: every sample runs every job once, in an order rotated
               from sample to sample, in one process pinned to one CPU with
               the cyclic GC off; prints median ns/op and the median of the
               per-sample ratios to the floor and to peer_pure. Jobs are timed
               by the thread's CPU clock, which leaves out the time the
               process waits while other processes run (--clock wall times
               them by the wall clock).
  --callgrind  instructions per operation under valgrind's callgrind: each job
               runs in a fresh interpreter twice, with N and 2N operations, and
               the difference divided by N cancels interpreter start-up.
  --import     instructions of importing the module in a fresh interpreter,
               against importing peer_pure from its cached bytecode: those of
               the import statement (the target's measure), and those of the
               whole run, shutdown included, less a run that skips the
               import; and the share of the constant-table set-up in our
               import. Each module is imported from a folder the interpreter
               has not yet looked into, as a submodule of a bare package, so
               each import pays alike for listing its folder.

Run with our package on the path, e.g.
  PYTHONPATH=build/site-bench python3 benchmarks/bench_errors.py
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_PEERS = os.path.join(HERE, "peers")

# name -> (module, class): the 404 class of each implementation.
IMPLS = {
    "quillmaret": ("quillmaret._m3", "QuillMaretNotComputedError"),
    "peer_pure": ("peer_pure", "QuillMaretNotComputedError"),
    "peer_pure_min": ("peer_pure_min", "QuillMaretNotComputedError"),
    "floor": ("floor_ext", "FloorNotComputedError"),
    # The floor again, rendering the status code with int's repr slot rather
    # than writing the digits itself: shows what that rendering costs.
    "floor_repr": ("floor_ext", "FloorReprNotComputedError"),
}

# Loop bodies, one operation each; E is the class under test.
CASES = {
    "a": ('E(404, "not computed", {"k": 1})',
          ['E(404, "not computed", {"k": 1})']),
    "b": ('E(status_code=404, message="not computed")',
          ['E(status_code=404, message="not computed")']),
    "c": ('raise + catch E(404, "not computed")',
          ['try:', '    raise E(404, "not computed")', 'except E:', '    pass']),
}

UNROLL = 10  # operations per loop iteration, so the loop itself costs little

# Targets, as the highest allowed ratio of ours to a reference: to the floor
# and to peer_pure per case (time), to the floor for (a) (instructions), and
# to importing peer_pure (instructions).
TIME_TARGETS = {"a": 1.85, "b": 1.80, "c": 1.60}
PEER_TARGETS = {"a": 0.80, "b": 0.80, "c": 0.85}
INSTR_TARGETS = {"a": 1.70}
IMPORT_TARGET = 1.0


def job_source(case: str) -> str:
    """Source of `job(n)`, which runs the case's operation n * UNROLL times."""
    body = []
    for _ in range(UNROLL):
        body.extend("        " + line for line in CASES[case][1])
    return "def job(n):\n    for _ in range(n):\n" + "\n".join(body) + "\n"


def make_job(cls, case: str):
    namespace = {"E": cls}
    exec(compile(job_source(case), f"<job {case}>", "exec"), namespace)
    return namespace["job"]


# ---------------------------------------------------------------------------
# Locating and building the peers.

def floor_is_built(peers: str, floor_dir: str) -> bool:
    """Whether floor_dir holds both C peers for this interpreter, newer than their source."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    source_time = os.path.getmtime(os.path.join(peers, "floor_ext.c"))
    for name in ("floor_ext", "floor_import"):
        built = os.path.join(floor_dir, name + suffix)
        if not os.path.isfile(built) or os.path.getmtime(built) < source_time:
            return False
    return True


def prepare_peers(args) -> str:
    """Builds the C peers if needed and puts the peers on sys.path.

    Returns the directory of the C peers.
    """
    peers = os.path.abspath(args.peers)
    if not os.path.isfile(os.path.join(peers, "peer_pure.py")):
        sys.exit(f"bench_errors: no peers in {peers} (use --peers DIR)")
    floor_dir = args.floor_dir
    if floor_dir is None:
        floor_dir = tempfile.mkdtemp(prefix="quillmaret-bench-")
        args.cleanup.append(floor_dir)
    floor_dir = os.path.abspath(floor_dir)
    if not floor_is_built(peers, floor_dir):
        env = dict(os.environ, PYTHON=sys.executable)
        subprocess.run(["sh", os.path.join(peers, "build.sh"), floor_dir], env=env,
                       check=True, stdout=subprocess.DEVNULL)
    for path in (peers, floor_dir):
        if path not in sys.path:
            sys.path.insert(0, path)
    args.peers = peers
    return floor_dir


def load_class(impl: str):
    module_name, class_name = IMPLS[impl]
    module = __import__(module_name, fromlist=[class_name])
    return getattr(module, class_name)


def drop_missing_ours() -> None:
    """Leaves our module out (with a note) when it cannot be imported yet."""
    try:
        load_class("quillmaret")
    except (ImportError, AttributeError) as exc:
        print(f"# quillmaret._m3 left out: {exc}", file=sys.stderr)
        del IMPLS["quillmaret"]


# ---------------------------------------------------------------------------
# Timing mode.

def pin_to_one_cpu() -> int:
    cpus = sorted(os.sched_getaffinity(0))
    cpu = cpus[-1]
    os.sched_setaffinity(0, {cpu})
    return cpu


# The clocks of the timing mode, in ns.
CLOCKS = {"cpu": time.thread_time_ns, "wall": time.perf_counter_ns}


def calibrate(job, target_s: float, clock) -> int:
    """Loop count n for which job(n) takes about target_s seconds."""
    n = 1
    while True:
        t0 = clock()
        job(n)
        dt = (clock() - t0) / 1e9
        if dt >= target_s / 10:
            return max(1, int(n * target_s / dt))
        n *= 4


def check_targets(label: str, ratios: dict, targets: dict, results: dict) -> None:
    """Prints whether our ratios (per case) stay within the targets, and records it."""
    measured = {c: t for c, t in targets.items() if c in ratios}
    if not measured:
        return
    if "quillmaret" not in IMPLS:
        verdict = ": not measured"
    else:
        missed = [f"({c}) {ratios[c]:.2f} > {t}" for c, t in measured.items() if ratios[c] > t]
        verdict = ": missed " + "; ".join(missed) if missed else ": all met"
        results.setdefault("targets", {})[label] = {
            c: {"ratio": ratios[c], "target": t, "met": ratios[c] <= t}
            for c, t in measured.items()}
    print(f"targets ({label}): "
          + ", ".join(f"({c}) <= {t}" for c, t in measured.items()) + verdict)


def run_timing(args) -> None:
    clock = CLOCKS[args.clock]
    cpu = pin_to_one_cpu()
    gc.disable()
    jobs = []  # (case, impl, job, loops)
    for case in CASES:
        for impl in IMPLS:
            job = make_job(load_class(impl), case)
            job(100)  # warm up caches and specialisation
            jobs.append((case, impl, job, calibrate(job, args.job_seconds, clock)))
    # per (case, impl): one ns/op figure per sample
    times = {(case, impl): [] for case, impl, _, _ in jobs}
    for sample in range(args.samples):
        shift = sample % len(jobs)
        for case, impl, job, loops in jobs[shift:] + jobs[:shift]:
            t0 = clock()
            job(loops)
            times[case, impl].append((clock() - t0) / (loops * UNROLL))
    gc.enable()

    print(f"# {args.clock} clock: {args.samples} samples, interleaved, CPU {cpu}, GC off, "
          f"Python {sys.version.split()[0]}, load average {os.getloadavg()[0]:.1f}")
    print(f"{'case':<46} {'impl':<14} {'ns/op':>8} {'/floor':>7} {'/peer_pure':>10}")
    table = args.results["time"] = {}
    for case in CASES:
        for impl in IMPLS:
            per_op = times[case, impl]
            # Ratios within one sample first: both jobs ran moments apart.
            to_floor = statistics.median(
                a / b for a, b in zip(per_op, times[case, "floor"]))
            to_pure = statistics.median(
                a / b for a, b in zip(per_op, times[case, "peer_pure"]))
            table.setdefault(case, {})[impl] = {
                "ns": statistics.median(per_op), "floor": to_floor, "peer_pure": to_pure}
            print(f"({case}) {CASES[case][0]:<42} {impl:<14} "
                  f"{statistics.median(per_op):8.1f} {to_floor:7.2f} {to_pure:10.2f}")
    ours = {case: table[case].get("quillmaret", {}) for case in CASES}
    check_targets("time, quillmaret/floor",
                  {c: r["floor"] for c, r in ours.items() if r}, TIME_TARGETS, args.results)
    check_targets("time, quillmaret/peer_pure",
                  {c: r["peer_pure"] for c, r in ours.items() if r}, PEER_TARGETS, args.results)


# ---------------------------------------------------------------------------
# Instruction counts under callgrind.

def child_env(path_dirs, **extra) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(path_dirs)
    env["PYTHONHASHSEED"] = "0"  # same dict layouts in every run
    env.pop("PYTHONSTARTUP", None)
    env.pop("PYTHONDONTWRITEBYTECODE", None)  # the import measure needs cached bytecode
    env.update(extra)
    return env


def callgrind(code: str, env: dict, out_file: str | None = None,
              extra: tuple = ()) -> int:
    """Instructions collected while a fresh interpreter runs `code`.

    The interpreter gets no site packages (-S) and no current directory on
    sys.path (-P): an import searches only the directories in the
    environment's PYTHONPATH, whatever folder the benchmark runs from.
    """
    cmd = ["valgrind", "--tool=callgrind",
           f"--callgrind-out-file={out_file or os.devnull}", *extra,
           sys.executable, "-S", "-P", "-c", code]
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"callgrind run failed ({proc.returncode}):\n{proc.stderr[-3000:]}")
    found = re.findall(r"Collected\s*:\s*(\d+)", proc.stderr)
    if not found:
        raise RuntimeError("no instruction count in callgrind output:\n" + proc.stderr[-3000:])
    return int(found[-1])


def op_child_code(impl: str, case: str, loops: int) -> str:
    module_name, class_name = IMPLS[impl]
    return (
        "import gc\n"
        f"from {module_name} import {class_name} as E\n"
        + job_source(case)
        + "gc.disable()\n"
        "job(10)\n"  # first calls warm caches in both runs alike
        f"job({loops})\n"
    )


def ops_instructions(case: str, impl: str, n: int, env: dict) -> float:
    """Instructions per operation, from runs of N, 2N and 3N operations.

    The two differences must agree (within 1%); a run that disagrees (some
    one-off cost landed in it) is measured again, up to three times.
    """
    for _ in range(3):
        one, two, three = (callgrind(op_child_code(impl, case, k * n), env) for k in (1, 2, 3))
        d1, d2 = two - one, three - two
        if abs(d1 - d2) <= 0.01 * max(d1, d2):
            break
        print(f"# ({case}) {impl}: uneven runs ({d1} vs {d2}), measuring again", file=sys.stderr)
    return (three - one) / (2 * n * UNROLL)


def base_path_dirs(args, floor_dir: str) -> list:
    return [d for d in sys.path if d and os.path.isdir(d)] + [args.peers, floor_dir]


def run_callgrind(args, floor_dir: str) -> None:
    require_valgrind()
    env = child_env(base_path_dirs(args, floor_dir))
    n = args.ops // UNROLL
    counts = {case_impl: ops_instructions(*case_impl, n, env)
              for case_impl in ((case, impl) for case in CASES for impl in IMPLS)}
    print(f"# callgrind: instructions per operation ((3N - N) runs / 2N, N = {n * UNROLL})")
    print(f"{'case':<46} {'impl':<14} {'instr/op':>9} {'/floor':>7} {'/peer_pure':>10}")
    table = args.results["instructions"] = {}
    for case in CASES:
        for impl in IMPLS:
            c = counts[case, impl]
            to_floor = c / counts[case, "floor"]
            to_pure = c / counts[case, "peer_pure"]
            table.setdefault(case, {})[impl] = {
                "instructions": c, "floor": to_floor, "peer_pure": to_pure}
            print(f"({case}) {CASES[case][0]:<42} {impl:<14} {c:9.0f} "
                  f"{to_floor:7.2f} {to_pure:10.2f}")
    check_targets("instructions, quillmaret/floor",
                  {c: table[c]["quillmaret"]["floor"] for c in CASES if "quillmaret" in table[c]},
                  INSTR_TARGETS, args.results)


# ---------------------------------------------------------------------------
# Import cost under callgrind.

# Makes NAME a bare package object over DIR, so that importing NAME.module
# loads that one module, without any Python files of a real package.
BARE_PACKAGE = (
    "import sys\n"
    "sys.modules[{name!r}] = p = type(sys)({name!r})\n"
    "p.__path__ = [{pkg_dir!r}]\n"
)

DECODE_FUNCTIONS = ("init_constant_table", "lzss_decode")


def inclusive_costs(out_file: str, names) -> dict:
    """Inclusive instruction counts of the named functions from a callgrind file."""
    proc = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100",
                           out_file], capture_output=True, text=True, check=True)
    costs = {}
    for line in proc.stdout.splitlines():
        m = re.match(r"\s*([\d,]+)\s.*?\s(\S*?)(\(.*\))?\s*(\[.*\])?\s*$", line)
        if not m:
            continue
        for name in names:
            if name in line and name not in costs:
                costs[name] = int(m.group(1).replace(",", ""))
    return costs


# Counts only while the import statement runs: everything an import does
# happens inside this one function.
IMPORT_ONLY = ("--toggle-collect=PyImport_ImportModuleLevelObject",)


def import_instructions(prelude: str, stmt: str, env: dict, toggle: tuple = (),
                        out_file: str | None = None) -> int:
    """Instructions that running `stmt` after `prelude` adds to a fresh
    interpreter: of the import statement alone with IMPORT_ONLY, else of the
    whole run, shutdown included (what the shutdown does with what the import
    left behind).

    The base run compiles the same statement and skips it, so that both runs
    parse alike: the parser's allocations land on a different heap otherwise,
    which moved a base run by up to 17,000 instructions.
    """
    base = min(callgrind(f"{prelude}if False:\n    {stmt}\n", env, extra=toggle)
               for _ in range(2))
    full = min(callgrind(f"{prelude}if True:\n    {stmt}\n", env, extra=toggle,
                         out_file=out_file) for _ in range(2))
    return full - base


def run_import(args, floor_dir: str) -> None:
    require_valgrind()
    import quillmaret._m3 as ours  # noqa: F401  (locates the built package)
    pkg_dir = os.path.dirname(ours.__file__)
    site_dir = os.path.dirname(pkg_dir)
    pyc_dir = tempfile.mkdtemp(prefix="quillmaret-pyc-")
    args.cleanup.append(pyc_dir)
    # peer_pure's bytecode goes to a private cache, fresh for this interpreter,
    # and the source tree stays clean.
    peer_env = child_env([args.peers], PYTHONPYCACHEPREFIX=pyc_dir)
    subprocess.run([sys.executable, "-S", "-P", "-c", "import peer_pure"], env=peer_env,
                   check=True)
    if not any(f.startswith("peer_pure") and f.endswith(".pyc")
               for _, _, files in os.walk(pyc_dir) for f in files):
        sys.exit("bench_errors: peer_pure's bytecode was not cached")

    # Every run has the same sys.path (our site folder, which the interpreter
    # lists at start-up while it looks for the encodings). Each module under
    # test sits in a folder reached only through its bare package, so each
    # import lists its own folder, as ours must. (A peer on sys.path would
    # have had its folder listed at start-up: an import then free of that
    # cost, about 90,000 instructions; that figure is shown for reference.)
    def bare(name, folder):
        return BARE_PACKAGE.format(name=name, pkg_dir=folder)
    pyc = {"PYTHONPYCACHEPREFIX": pyc_dir}
    runs = {
        # label: (path dirs, prelude, import statement, extra env)
        "quillmaret._m3 (extension alone)": ([site_dir], bare("quillmaret", pkg_dir),
                                             "import quillmaret._m3", {}),
        "quillmaret._m3 (through the package)": ([site_dir], "", "import quillmaret._m3", {}),
        "peer_pure (cached bytecode)": ([site_dir], bare("peers", args.peers),
                                        "import peers.peer_pure", pyc),
        "peer_pure (on sys.path, folder listed at start-up)": ([args.peers], "", "import peer_pure", pyc),
        "floor_import (C, five classes)": ([site_dir], bare("floor", floor_dir),
                                           "import floor.floor_import", {}),
    }
    cost, whole = {}, {}
    out_file = os.path.join(pyc_dir, "callgrind.import")
    for label, (dirs, prelude, stmt, extra) in runs.items():
        env = child_env(dirs, **extra)
        ours_run = label.startswith("quillmaret._m3 (extension")
        cost[label] = import_instructions(prelude, stmt, env, IMPORT_ONLY,
                                          out_file if ours_run else None)
        if ours_run:
            decode = inclusive_costs(out_file, DECODE_FUNCTIONS)
        whole[label] = import_instructions(prelude, stmt, env)
    peer = cost["peer_pure (cached bytecode)"]
    whole_peer = whole["peer_pure (cached bytecode)"]
    print("# callgrind: instructions of the import statement, and of the whole run")
    print("# (start-up to shutdown), each less a run that skips the import")
    print(f"{'import':<52} {'the import':>11} {'/peer_pure':>10} {'whole run':>11} {'/peer_pure':>10}")
    for label, c in cost.items():
        print(f"{label:<52} {c:11,d} {c / peer:10.3f} {whole[label]:11,d} "
              f"{whole[label] / whole_peer:10.3f}")
    ext = cost["quillmaret._m3 (extension alone)"]
    for name in DECODE_FUNCTIONS:
        if name in decode:
            print(f"  {name} (inclusive): {decode[name]:,d} instructions, "
                  f"{100 * decode[name] / ext:.1f}% of the extension's import")
        else:
            print(f"  {name}: not found in the profile (a stripped build? "
                  f"install with -Cinstall.strip=false)")
    met = ext <= IMPORT_TARGET * peer
    args.results["import"] = dict(cost)
    args.results["import, whole run"] = dict(whole)
    args.results.setdefault("targets", {})["import, quillmaret/peer_pure"] = {
        "import": {"ratio": ext / peer, "target": IMPORT_TARGET, "met": met}}
    print(f"target: extension import <= {IMPORT_TARGET} x peer_pure: "
          f"{'met' if met else 'missed'} ({ext / peer:.3f})")


def require_valgrind() -> None:
    if not shutil.which("valgrind"):
        sys.exit("bench_errors: valgrind is not installed")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--callgrind", action="store_true",
                        help="count instructions per operation under callgrind")
    parser.add_argument("--import", dest="import_cost", action="store_true",
                        help="count the instructions of importing the module")
    parser.add_argument("--samples", type=int, default=25, help="timing samples (default 25)")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="clock of the timing mode: the thread's CPU time "
                             "(default) or the wall clock")
    parser.add_argument("--job-seconds", type=float, default=0.02,
                        help="duration of one job in one sample (default 0.02)")
    parser.add_argument("--ops", type=int, default=20000,
                        help="operations N of a callgrind run (default 20000)")
    parser.add_argument("--cases", default="abc", help="cases to run (default abc)")
    parser.add_argument("--peers", default=DEFAULT_PEERS, help="folder of the peers")
    parser.add_argument("--floor-dir",
                        help="folder for the built C peers, kept between runs "
                             "(default: a temporary folder)")
    parser.add_argument("--json", metavar="FILE",
                        help="also write the figures and target verdicts to FILE")
    args = parser.parse_args(argv)
    args.cleanup = []
    args.results = {"python": sys.version.split()[0], "executable": sys.executable}
    for case in set(CASES) - set(args.cases):
        del CASES[case]
    try:
        floor_dir = prepare_peers(args)
        drop_missing_ours()
        if args.callgrind:
            run_callgrind(args, floor_dir)
        if args.import_cost and "quillmaret" in IMPLS:
            run_import(args, floor_dir)
        if not (args.callgrind or args.import_cost):
            run_timing(args)
        if args.json:
            with open(args.json, "w", encoding="utf-8") as out:
                json.dump(args.results, out, indent=1)
    finally:
        for path in args.cleanup:
            shutil.rmtree(path, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
