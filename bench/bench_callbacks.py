"""Cost of a callback from an SDK thread into a Python override: one native thread calls a trivial
override 100,000 times. The thread keeps its Python thread state between callbacks (the module's
way); beside it, the same run with a state made and dropped for every callback, and a bare callback:
the same call written by hand with the C API over the same Python object (its method looked up once,
the thread's state kept, the int answer checked), the work a director does minus the binding
(_kivo_bench.callback_time).

Method: one process pinned to one CPU; a run keeps the best of ROUNDS timings of each way (the ways
interleaved in each round); RUNS runs; the figures are the median of the runs' bests with their spread
(min-max), the ratio's spread is over the runs.

Prints a table; never fails. Run:  PYTHONPATH=build/python /usr/bin/python3 bench/bench_callbacks.py [--cpu N]
"""

import argparse
import os
import statistics

import _kivo_bench as bare
import _kivo_testhooks as hooks
import kivo_python64  # noqa: F401  (sets up the classes the test module's proxies use)

CALLS = 100_000
ROUNDS = 5
RUNS = 3
GOAL = 1.3   # the director's callback at most this many times the bare one


class Trivial:
    def OnValue(self, value):
        return value

    def Check(self, value):
        return 0


class ProbeSink:
    __swig_destroy__ = hooks.sink_delete


def one_run(ways):
    """Best ns per callback of each way over the rounds, the ways interleaved."""
    best = {}
    names = list(ways)
    for k in range(ROUNDS):
        for name in names[k % len(names):] + names[:k % len(names)]:
            ns = ways[name]() / CALLS * 1e9
            best[name] = min(best.get(name, ns), ns)
    return best


def spread(values):
    return "%.0f (%.0f-%.0f)" % (statistics.median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cpu", type=int, help="CPU to pin to (default: the highest one allowed)")
    args = parser.parse_args()
    allowed = os.sched_getaffinity(0)
    cpu = args.cpu if args.cpu is not None else max(allowed)
    os.sched_setaffinity(0, {cpu})

    hooks.register_class("_p_lTqDeviceInfoZelvraProtocol", ProbeSink)   # the probe sink's proxies destroy it
    target = Trivial()
    sink = hooks.sink_new(target)
    ways = {
        "bare callback, thread state kept": lambda: bare.callback_time(target, CALLS),
        "director, thread state kept": lambda: hooks.sink_time(sink, CALLS, True),
        "director, state made and dropped": lambda: hooks.sink_time(sink, CALLS, False),
    }
    runs = [one_run(ways) for _ in range(RUNS)]
    print("callbacks from one native thread, pinned to CPU %d; %d calls a timing, best of %d, %d runs; "
          "ns per callback: median of the runs' bests (min-max)" % (cpu, CALLS, ROUNDS, RUNS))
    for name in ways:
        print("  %-36s %s" % (name, spread([run[name] for run in runs])))
    kept = [run["director, thread state kept"] / run["bare callback, thread state kept"] for run in runs]
    dropped = [run["director, state made and dropped"] / run["director, thread state kept"] for run in runs]
    print("  %-36s %.2f [%.2f-%.2f], goal <= %.1f in every run: %s" % (
        "director (kept) / bare", statistics.median(kept), min(kept), max(kept), GOAL,
        "PASS" if max(kept) <= GOAL else "MISS"))
    print("  %-36s %.1f [%.1f-%.1f]" % ("state made each time / kept", statistics.median(dropped), min(dropped),
                                         max(dropped)))


if __name__ == "__main__":
    main()
