"""Cost of a callback from an SDK thread into a Python override: one native thread calls a trivial
override 100,000 times. The thread keeps its Python thread state between callbacks (the module's
way); beside it, the same run with a state made and dropped for every callback.

Prints a table; never fails. Run:  PYTHONPATH=build/python /usr/bin/python3 bench/bench_callbacks.py
"""

import _kivo_testhooks as hooks
import kivo_python64  # noqa: F401  (sets up the classes the test module's proxies use)

CALLS = 100_000


class Trivial:
    def OnValue(self, value):
        return value

    def Check(self, value):
        return 0


def per_call(sink, keep, rounds=5):
    return min(hooks.sink_time(sink, CALLS, keep) for _ in range(rounds)) / CALLS * 1e9


class ProbeSink:
    __swig_destroy__ = hooks.sink_delete


def main():
    hooks.register_class("_p_lTqDeviceInfoZelvraProtocol", ProbeSink)   # the probe sink's proxies destroy it
    target = Trivial()
    sink = hooks.sink_new(target)
    kept = per_call(sink, True)
    dropped = per_call(sink, False)
    print("callbacks from one native thread, %d calls per run, best of 5" % CALLS)
    print("%-40s %10.0f ns" % ("thread state kept between callbacks", kept))
    print("%-40s %10.0f ns" % ("thread state made and dropped each time", dropped))
    print("%-40s %10.1f x" % ("ratio", dropped / kept))


if __name__ == "__main__":
    main()
