"""Cost of a NumPy view of buffer memory: the same for 1 KiB and 64 MiB (a header, never a copy),
and the wrapper against a hand-written C-API function doing the same work.

Prints a table; never fails. Run:  PYTHONPATH=build/python /usr/bin/python3 bench/bench_views.py
"""

import os
import timeit

import _kivo_bench as bare
import _kivo_python64 as m
import kivo_python64 as K


def best(stmt, ns, rounds=7):
    timer = timeit.Timer(stmt, globals=ns)
    number = 1
    while timer.timeit(number) < 0.02:
        number *= 2
    return min(timer.repeat(rounds, number)) / number * 1e9


def main():
    cpus = sorted(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpus[-1]})
    small, large = m.new_TqBuffer(), m.new_TqBuffer()
    m.TqBuffer_Alloc(small, 1024)
    m.TqBuffer_Alloc(large, 64 * 1024 * 1024)
    bare.set_proxies(m.new_TqResult(0), m.new_TqString("x"))
    bare.set_buffer(small)
    ns = {"m": m, "bare": bare, "small": small, "large": large}
    rows = []
    for run in range(3):
        rows.append({
            "flat 1 KiB": best("m.TqBuffer_GetDataPointer(small)", ns),
            "flat 64 MiB": best("m.TqBuffer_GetDataPointer(large)", ns),
            "bare 1 KiB": best("bare.buffer_view(small)", ns),
            "bare 64 MiB": best("bare.buffer_view(large)", ns),
        })
    print("ns per view (best of 7 rounds; min-max over 3 runs)")
    for key in rows[0]:
        values = sorted(r[key] for r in rows)
        print("  %-12s %7.1f  (%.1f-%.1f)" % (key, values[1], values[0], values[2]))
    median = {key: sorted(r[key] for r in rows)[1] for key in rows[0]}
    print("64 MiB / 1 KiB (flat): %.2f   flat / bare (1 KiB): %.2f" % (
        median["flat 64 MiB"] / median["flat 1 KiB"], median["flat 1 KiB"] / median["bare 1 KiB"]))


if __name__ == "__main__":
    main()
