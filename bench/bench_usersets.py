"""A controller's UserSetLoad of large user-set files beside the heartbeat interval: a software device
loads a set on its GVCP thread, where no other request is answered meanwhile, so a load must take a
fraction of the interval at which the controller's heartbeats come. The files: 100,000 distinct
`custom` lines (of features the device does not describe, each passed over), and the largest file
the store takes (16 MiB of such lines); a byte more is refused.

Prints a table; never fails. Run:  PYTHONPATH=build/python /usr/bin/python3 bench/bench_usersets.py
"""

import os
import shutil
import statistics
import tempfile
import time

import kivo_python64 as k

LIMIT = 16 << 20          # the largest set file a load takes (README, user sets)
GOAL = 0.25               # a load within a quarter of the heartbeat interval
ROUNDS = 5


class Source(k.TqStreamingChannelSourceDefault):
    """The ready-made source; the benchmark never streams."""


def custom_lines(count=None, size=None):
    """Distinct custom lines: count of them, or as many as size bytes hold (then padded to size)."""
    lines, total, n = [b"# kivo user set\n"], 16, 0
    while count is None or n < count:
        line = b"custom Bench%x %d 00\n" % (n // 8, n % 8)
        if size is not None and total + len(line) > size - 2:
            break
        lines.append(line)
        total += len(line)
        n += 1
    if size is not None:
        lines.append(b"#" + b"x" * (size - total - 2) + b"\n")
    return b"".join(lines), n


def timed_loads(params, rounds):
    """Milliseconds of each of rounds loads of UserSet1, and whether every one succeeded."""
    times, ok = [], True
    for _ in range(rounds):
        start = time.perf_counter()
        ok = params.ExecuteCommand("UserSetLoad").IsOK() and ok
        times.append((time.perf_counter() - start) * 1e3)
    return times, ok


def main():
    store = tempfile.mkdtemp(prefix="kivo-bench-")
    os.environ["XDG_DATA_HOME"] = store
    source = Source()
    device = k.TqSoftDeviceGEV()
    assert device.AddStream(source).IsOK() and device.SetUserSetCount(1).IsOK()
    result = device.Start("00:00:00:00:00:00")
    assert result.IsOK(), str(result.GetDescription())
    value = device.GetRegisterMap().GetRegisterByAddress(0x0024).ReadInt()[1]
    ip = ".".join(str((value >> shift) & 0xFF) for shift in (24, 16, 8, 0))
    result, control = k.TqDevice.CreateAndConnect(ip)
    assert result.IsOK(), str(result.GetDescription())
    try:
        params = control.GetParameters()
        interval = control.GetCommunicationParameters().GetIntegerValue("HeartbeatIntervalInUse")[1]
        assert params.SetEnumValue("UserSetSelector", 1).IsOK() and params.ExecuteCommand("UserSetSave").IsOK()
        [folder] = os.listdir(os.path.join(store, "kivo", "usersets"))
        path = os.path.join(store, "kivo", "usersets", folder, "UserSet1.txt")
        print("UserSetLoad by a controller, %d rounds; the heartbeat interval in use: %d ms" % (ROUNDS, interval))
        print("%-44s %10s %10s %12s %8s  %s" % ("file", "bytes", "lines", "load ms", "ratio", "goal <= %.2f" % GOAL))
        verdicts = []
        for label, (text, lines) in (("100,000 distinct custom lines", custom_lines(count=100_000)),
                                     ("the largest the store takes (16 MiB)", custom_lines(size=LIMIT))):
            with open(path, "wb") as f:
                f.write(text)
            times, ok = timed_loads(params, ROUNDS)
            ratio = statistics.median(times) / interval
            met = ok and ratio <= GOAL
            verdicts.append(met)
            print("%-44s %10d %10d %6.1f (%.1f-%.1f) %6.3f  %s%s" % (
                label, len(text), lines, statistics.median(times), min(times), max(times), ratio,
                "PASS" if met else "MISS", "" if ok else " (the load failed)"))
        with open(path, "wb") as f:
            f.write(custom_lines(size=LIMIT + 1)[0])
        times, loaded = timed_loads(params, 1)
        print("a byte more (%d bytes): %s in %.1f ms" % (LIMIT + 1, "LOADED" if loaded else "refused", times[0]))
        print("Goal: each load within %.2f of a heartbeat interval: %s" % (GOAL, "PASS" if all(verdicts) else "MISS"))
    finally:
        k.TqDevice.Free(control)
        device.Stop()
        shutil.rmtree(store)


if __name__ == "__main__":
    main()
