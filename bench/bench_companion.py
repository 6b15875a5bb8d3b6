"""Per-call time of four call shapes through the flat functions and through the companion classes.

Run: PYTHONPATH=build/python /usr/bin/python3 bench/bench_companion.py
Each figure is the best of several rounds, flat and class measured in turn within a round, so a
busy machine slows both alike.
"""

import timeit

import _kivo_python64 as m
import kivo_python64 as k

CALLS = 200_000
ROUNDS = 15

CASES = [
    ("IsOK", "m.TqResult_IsOK(p)", "r.IsOK()"),
    ("SetCode (two arguments)", "m.TqResult_SetCode(p, 0)", "r.SetCode(0)"),
    ("construct + destroy", "m.new_TqResult(0)", "k.TqResult(0)"),
    ("__eq__(r, 0)", "m.TqResult___eq__(p, 0)", "r == 0"),
]


def main():
    namespace = {"m": m, "k": k, "p": m.new_TqResult(0), "r": k.TqResult(0)}
    timers = [(timeit.Timer(flat, globals=namespace), timeit.Timer(klass, globals=namespace))
              for _, flat, klass in CASES]
    best = [[float("inf"), float("inf")] for _ in CASES]
    for _ in range(ROUNDS):
        for i, pair in enumerate(timers):
            for j, timer in enumerate(pair):
                best[i][j] = min(best[i][j], timer.timeit(CALLS) / CALLS * 1e9)
    for (label, _, _), (flat, klass) in zip(CASES, best):
        print("%-24s flat %7.1f ns  class %7.1f ns  class/flat %.2f" % (label, flat, klass, klass / flat))


if __name__ == "__main__":
    main()
