"""Per-call time of the module's wrappers, flat and through the companion classes, against
hand-written C-API functions of the same shapes (_kivo_bench) and the same shapes bound with
pybind11 (_kivo_bench_pybind, when built).

Run:   PYTHONPATH=build/python /usr/bin/python3 bench/bench_wrappers.py [--cpu N] [--runs 3] [--rounds 7]

Shapes, each timed as the module function (flat), as the companion class's method (class), as the
baseline function (bare) and as the pybind11 method:
  1. a METH_O bool getter                 TqResult_IsOK(r)               r.IsOK()
  2. a two-argument setter (METH_VARARGS) TqResult_SetCode(r, 5)         r.SetCode(5)
  3. construction and destruction         new_TqResult(5), dropped        TqResult(5), dropped
     3b. and an explicit delete           delete_TqResult(new_TqResult(5)) delete_TqResult(TqResult(5))
         (pybind11 has no explicit delete: its column stays empty)
  4. str in and str out                   TqString___eq__(s, "hello");    s.__eq__("hello");
                                          TqString___str__(s)             s.__str__()
     No wrapper takes a str and returns a str without growing state (TqString___iadd__ appends),
     so this shape is those two calls in one statement: str -> wide characters in the first,
     wide characters -> str in the second, on an existing object (no construction in the timing).
  5. a two-way overload, given an int     TqResult___eq__(r, 0)          r.__eq__(0)
     and given a proxy                    TqResult___eq__(r, r2)         r.__eq__(r2)
Every implementation releases the GIL around the SDK call (construction and the explicit delete
included); a dropped result is destroyed with the GIL held, as the module destroys a value whose
destructor never blocks.

Method: one process pinned to one CPU; the statements' iteration counts are chosen once for about
--target-ms per timing; a round times every statement once, all implementations interleaved (the
order rotates between rounds); a run keeps the best of --rounds rounds per statement; the whole run
is repeated --runs times. Times are the median of the runs' bests, with their spread (min-max).

Then the cost of one explicit delete while N owned proxies live and are deleted one by one, at
N = 1,000 and N = 10,000: a release costs what it invalidates, so the time per delete stays the same
(goal: the time at 10,000 within 1.3 times the time at 1,000).

This only prints: it never fails, whatever the ratios. Besides the times it reports the Python
allocations each statement retains (tracemalloc; a leak shows as a count above zero) and the SDK
objects left alive by the construction shapes. The native side can be checked for allocations per
call with valgrind --tool=callgrind (the instructions spent in malloc do not grow with the calls).
"""

import argparse
import os
import statistics
import sys
import timeit
import time
import tracemalloc

import _kivo_bench as bare
import _kivo_python64 as m
import kivo_python64 as K  # registers the classes, so owned proxies are destroyed

try:
    import _kivo_bench_pybind as pb
except ImportError:
    pb = None

IMPLS = ("bare", "flat", "class", "pybind11")

# (label, {implementation: statement}); names are those of namespace() below.
SHAPES = [
    ("1 getter METH_O", {
        "bare": "bare.is_ok(r)",
        "flat": "m.TqResult_IsOK(r)",
        "class": "rc.IsOK()",
        "pybind11": "pr.IsOK()",
    }),
    ("2 setter 2 args", {
        "bare": "bare.set_code(t, 5)",
        "flat": "m.TqResult_SetCode(t, 5)",
        "class": "tc.SetCode(5)",
        "pybind11": "pt.SetCode(5)",
    }),
    ("3 construct+destroy", {
        "bare": "bare.new_result(5)",
        "flat": "m.new_TqResult(5)",
        "class": "K.TqResult(5)",
        "pybind11": "pb.TqResult(5)",
    }),
    ("3b construct+explicit delete", {
        "bare": "bare.delete_result(bare.new_result(5))",
        "flat": "m.delete_TqResult(m.new_TqResult(5))",
        "class": "m.delete_TqResult(K.TqResult(5))",
    }),
    ("4 str in + str out", {
        "bare": "bare.text_eq(s, 'hello'); bare.text_of(s)",
        "flat": "m.TqString___eq__(s, 'hello'); m.TqString___str__(s)",
        "class": "sc.__eq__('hello'); sc.__str__()",
        "pybind11": "ps.__eq__('hello'); ps.__str__()",
    }),
    ("5a overload, int", {
        "bare": "bare.result_eq(r, 0)",
        "flat": "m.TqResult___eq__(r, 0)",
        "class": "rc.__eq__(0)",
        "pybind11": "pr.__eq__(0)",
    }),
    ("5b overload, proxy", {
        "bare": "bare.result_eq(r, r2)",
        "flat": "m.TqResult___eq__(r, r2)",
        "class": "rc.__eq__(rc2)",
        "pybind11": "pr.__eq__(pr2)",
    }),
]

# Published per-call ratios of nanobind against bare C-API functions, for the same five shapes.
NANOBIND_VS_BARE = [
    ("1 getter METH_O", "1.2"),
    ("2 setter 2 args", "1.2"),
    ("3 construct+destroy", "0.8"),
    ("4 str in + str out", "0.9"),
    ("5 two-way overload", "1.2-1.3"),
]

FLAT_VS_BARE_GOAL = 1.3
CLASS_VS_FLAT_GOAL = 1.3
RELEASE_COUNTS = (1_000, 10_000)
RELEASE_GOAL = 1.3


def namespace():
    ns = {"m": m, "K": K, "bare": bare, "pb": pb}
    ns.update(r=m.new_TqResult(0), r2=m.new_TqResult(5), t=m.new_TqResult(0), s=m.new_TqString("hello"))
    ns.update(rc=K.TqResult(0), rc2=K.TqResult(5), tc=K.TqResult(0), sc=K.TqString("hello"))
    if pb is not None:
        ns.update(pr=pb.TqResult(0), pr2=pb.TqResult(5), pt=pb.TqResult(0), ps=pb.TqString("hello"))
    bare.set_proxies(ns["r"], ns["s"])
    return ns


def cases(ns):
    """(shape, implementation, statement) of everything that can run here."""
    out = []
    for label, stmts in SHAPES:
        for impl in IMPLS:
            if impl not in stmts or (impl == "pybind11" and pb is None):
                continue
            out.append((label, impl, stmts[impl]))
    return out


def calibrate(timer, target_s):
    """An iteration count that takes about target_s."""
    n = 1
    while True:
        elapsed = timer.timeit(n)
        if elapsed >= target_s / 10:
            return max(1, int(n * target_s / elapsed))
        n *= 2


def one_run(timers, rounds):
    """Best ns per call of every case over the rounds; every case interleaved in each round."""
    best = {}
    keys = list(timers)
    for k in range(rounds):
        order = keys[k % len(keys):] + keys[:k % len(keys)]
        for key in order:
            timer, n = timers[key]
            ns_per_call = timer.timeit(n) / n * 1e9
            best[key] = min(best.get(key, ns_per_call), ns_per_call)
    return best


def retained_allocations(stmt, ns, calls=10_000):
    """Python allocations (tracemalloc blocks) still held per call after the calls."""
    exec("def _probe():\n    " + stmt, ns)
    fn = ns.pop("_probe")
    for _ in range(100):
        fn()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    for _ in range(calls):
        fn()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(d.count_diff for d in after.compare_to(before, "filename") if d.count_diff > 0)
    return grown / calls


def release_one_by_one(count, rounds):
    """ns per delete_TqResult while `count` owned proxies live and are deleted one by one, in order
    (the best of the rounds)."""
    best = None
    for _ in range(rounds):
        made = [m.new_TqResult(i) for i in range(count)]
        start = time.perf_counter()
        for proxy in made:
            m.delete_TqResult(proxy)
        elapsed = time.perf_counter() - start
        del made
        best = elapsed if best is None else min(best, elapsed)
    return best / count * 1e9


def fmt_time(values):
    if not values:
        return "-"
    return "%.1f (%.1f-%.1f)" % (statistics.median(values), min(values), max(values))


def fmt_ratio(value):
    return "-" if value is None else "%.2f" % value


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cpu", type=int, help="CPU to pin to (default: the highest one allowed)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--target-ms", type=float, default=20.0, help="duration of one timing")
    args = parser.parse_args()

    allowed = os.sched_getaffinity(0)
    cpu = args.cpu if args.cpu is not None else max(allowed)
    os.sched_setaffinity(0, {cpu})

    ns = namespace()
    live_before = bare.live("TqResult")
    all_cases = cases(ns)
    timers = {}
    for label, impl, stmt in all_cases:
        timer = timeit.Timer(stmt, globals=ns)
        timers[(label, impl)] = (timer, calibrate(timer, args.target_ms / 1000))

    print("Python %s, pinned to CPU %d; runs: %d, rounds per run: %d, %.0f ms per timing; %s"
          % (sys.version.split()[0], cpu, args.runs, args.rounds, args.target_ms,
             "pybind11 module present" if pb is not None else "pybind11 module NOT built (column empty)"))
    runs = []
    for i in range(args.runs):
        runs.append(one_run(timers, args.rounds))
        print("  run %d of %d done" % (i + 1, args.runs), flush=True)

    def times(label, impl):
        return [run[(label, impl)] for run in runs if (label, impl) in run]

    def median(label, impl):
        values = times(label, impl)
        return statistics.median(values) if values else None

    def ratio(label, a, b):
        x, y = median(label, a), median(label, b)
        return None if x is None or y is None else x / y

    def run_ratios(label, a, b):
        return [run[(label, a)] / run[(label, b)] for run in runs if (label, a) in run and (label, b) in run]

    print()
    print("ns per call: median of the runs' bests (min-max over the runs)")
    header = "%-28s | %-22s | %-22s | %-22s | %-22s | %9s | %10s | %13s | %14s" % (
        "shape", "bare", "flat", "class", "pybind11", "flat/bare", "class/flat", "flat/pybind11", "class/pybind11")
    print(header)
    print("-" * len(header))
    for label, _ in SHAPES:
        print("%-28s | %-22s | %-22s | %-22s | %-22s | %9s | %10s | %13s | %14s" % (
            label,
            fmt_time(times(label, "bare")), fmt_time(times(label, "flat")),
            fmt_time(times(label, "class")), fmt_time(times(label, "pybind11")),
            fmt_ratio(ratio(label, "flat", "bare")), fmt_ratio(ratio(label, "class", "flat")),
            fmt_ratio(ratio(label, "flat", "pybind11")), fmt_ratio(ratio(label, "class", "pybind11"))))

    print()
    print("Goals (worst shape; the ratio's min-max over the runs in brackets):")

    def goal(text, a, b, limit, strict=False):
        pairs = [(ratio(label, a, b), label) for label, _ in SHAPES if ratio(label, a, b) is not None]
        if not pairs:
            print("  %-40s n/a (no %s column)" % (text, b))
            return
        worst, label = max(pairs)
        spread = run_ratios(label, a, b)
        met = worst < limit if strict else worst <= limit
        print("  %-40s worst %.2f [%.2f-%.2f] (%s), goal %s %.2f: %s" % (
            text, worst, min(spread), max(spread), label, "<" if strict else "<=", limit,
            "PASS" if met else "MISS"))

    goal("flat call vs its bare function", "flat", "bare", FLAT_VS_BARE_GOAL)
    goal("class method vs the flat call", "class", "flat", CLASS_VS_FLAT_GOAL)
    goal("flat call vs pybind11 (faster)", "flat", "pybind11", 1.0, strict=True)
    goal("class method vs pybind11 (faster)", "class", "pybind11", 1.0, strict=True)

    print()
    releases = {count: [release_one_by_one(count, args.rounds) for _ in range(args.runs)] for count in RELEASE_COUNTS}
    small, large = (statistics.median(releases[count]) for count in RELEASE_COUNTS)
    print("Explicit deletes of N live owned proxies, one by one: ns per delete, median of the runs' bests")
    for count in RELEASE_COUNTS:
        print("  N = %-6d %s" % (count, fmt_time(releases[count])))
    print("  %-40s %.2f, goal <= %.2f: %s" % ("per delete at %d vs at %d" % RELEASE_COUNTS[::-1], large / small,
                                               RELEASE_GOAL, "PASS" if large / small <= RELEASE_GOAL else "MISS"))

    print()
    print("For reference, nanobind's published ratios vs bare functions for these shapes:")
    for label, value in NANOBIND_VS_BARE:
        print("  %-20s %s" % (label, value))

    print()
    leaks = []
    for label, impl, stmt in all_cases:
        if impl in ("flat", "class"):
            per_call = retained_allocations(stmt, ns)
            if per_call > 0.001:
                leaks.append("%s %s: %.4f" % (label, impl, per_call))
    print("Python allocations retained per call (flat and class): %s"
          % ("none above 0.001" if not leaks else "; ".join(leaks)))
    print("TqResult objects left alive by the construction shapes: %d" % (bare.live("TqResult") - live_before))


if __name__ == "__main__":
    main()
