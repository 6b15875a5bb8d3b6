"""Per-call time of two module wrappers against hand-written C-API functions of the same shape.

Run: PYTHONPATH=build/python /usr/bin/python3 bench/bench_wrappers.py
Target: each ratio within 1.3, and no allocation per call on these paths (the native side can be
checked with valgrind --tool=callgrind: the instructions spent in malloc do not grow with the calls).
"""

import timeit
import tracemalloc

import _kivo_bench as bare
import _kivo_python64 as m
import kivo_python64  # noqa: F401  (registers the classes, so owned proxies are destroyed)

CALLS = 1_000_000
REPEATS = 7


def best_ns(stmt, namespace):
    timer = timeit.Timer(stmt, globals=namespace)
    return min(timer.repeat(REPEATS, CALLS)) / CALLS * 1e9


def python_allocations(fn, calls=10_000):
    fn()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    for _ in range(calls):
        fn()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(s.count_diff for s in after.compare_to(before, "filename") if s.count_diff > 0)
    return grown / calls


def main():
    proxy = m.new_TqResult(0)
    bare.set_proxy_type(type(proxy))
    ns = {"m": m, "bare": bare, "r": proxy}
    cases = [
        ("TqResult_IsOK (METH_O)", "m.TqResult_IsOK(r)", "bare.is_ok(r)"),
        ("TqResult_SetCode (METH_VARARGS, 2 args)", "m.TqResult_SetCode(r, 0)", "bare.set_code(r, 0)"),
    ]
    worst = 0.0
    for label, wrapped, baseline in cases:
        w = best_ns(wrapped, ns)
        b = best_ns(baseline, ns)
        ratio = w / b
        worst = max(worst, ratio)
        print("%-42s wrapper %6.1f ns  bare %6.1f ns  ratio %.2f" % (label, w, b, ratio))
    allocs = python_allocations(lambda: m.TqResult_IsOK(proxy)) + python_allocations(
        lambda: m.TqResult_SetCode(proxy, 0))
    print("Python allocations retained per call: %.4f" % allocs)
    print("worst ratio %.2f (target 1.30): %s" % (worst, "met" if worst <= 1.3 else "NOT met"))


if __name__ == "__main__":
    main()
