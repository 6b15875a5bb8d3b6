"""Reading a GenICam integer feature by name on a node map of about 2,000 features: the wrapper's
cost next to the same read done in C++ through the stand-in (the ratio is the binding's share),
and the time to build the map from its XML; then the time to build the maps of real cameras'
descriptions (../shared/genicam-samples/real beside the repository, when it is there) beside the
time aravis takes to build its document of each (when aravis's GObject introspection is installed).

Prints; never fails. Run:  PYTHONPATH=build/python /usr/bin/python3 bench/bench_genicam.py
"""

import glob
import json
import os
import subprocess
import time
import timeit

import _kivo_python64 as m
import _kivo_testhooks as hooks
import kivo_python64  # noqa: F401  registers the classes, so the results the calls return are freed

FEATURES = 2000
REAL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "..", "shared", "genicam-samples",
                    "real")
ROUNDS = 7

# aravis's load of each description given, the best of ROUNDS, in seconds, as JSON.
ARAVIS_LOADS = r"""
import ctypes, json, sys, time
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis


class Device(Aravis.Device):   # a document needs a device; loading reads nothing from it
    pass


device, best = Device(), {}
for path in sys.argv[2:]:
    with open(path, "rb") as f:
        xml = f.read()
    text = ctypes.create_string_buffer(xml, len(xml))
    times = []
    for _ in range(int(sys.argv[1])):
        start = time.perf_counter()
        document = Aravis.Gc.new(device, ctypes.addressof(text), len(xml))
        times.append(time.perf_counter() - start)
        del document
    best[path] = min(times)
print(json.dumps(best))
"""


def description(count):
    """A device description of count integer features in registers, under one category."""
    features = "".join(
        '<IntReg Name="Feature%d"><Address>0x%X</Address><Length>4</Length><AccessMode>RW</AccessMode>'
        '<pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>' % (i, 4 * i)
        for i in range(count))
    refs = "".join("<pFeature>Feature%d</pFeature>" % i for i in range(count))
    return ('<?xml version="1.0" encoding="utf-8"?>'
            '<RegisterDescription ModelName="Bench" VendorName="Kivo" StandardNameSpace="None" SchemaMajorVersion="1"'
            ' SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0"'
            ' ToolTip="" ProductGuid="00000000-0000-0000-0000-000000000000"'
            ' VersionGuid="00000000-0000-0000-0000-000000000000"'
            ' xmlns="http://www.genicam.org/GenApi/Version_1_1">'
            '<Category Name="Root">%s</Category>%s<Port Name="Device"/></RegisterDescription>' % (refs, features))


def main():
    cpus = sorted(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpus[-1]})
    xml = description(FEATURES)
    start = time.perf_counter()
    array = hooks.load_parameters(xml, 4 * FEATURES + 64)
    load_ms = (time.perf_counter() - start) * 1e3
    assert type(array).__name__ != "TqResult", str(array.GetDescription()) if hasattr(array, "GetDescription") else ""
    ns = {"m": m, "array": array}
    rows = []
    for name in ("Feature0", "Feature1000", "Feature1999"):
        ns["name"] = name
        timer = timeit.Timer("m.TqGenParameterArray_GetIntegerValue(array, name)", globals=ns)
        number = 20000
        wrapper = min(timer.repeat(7, number)) / number * 1e9
        native = min(hooks.integer_reads(array, name, number) for _ in range(7))
        rows.append((name, wrapper, native))
    print("Node map of %d features built from %d bytes of XML in %.1f ms" % (FEATURES, len(xml), load_ms))
    print("%-12s %12s %12s %8s" % ("feature", "wrapper ns", "C++ ns", "ratio"))
    for name, wrapper, native in rows:
        print("%-12s %12.1f %12.1f %8.2f" % (name, wrapper, native, wrapper / native))
    print("The same cost for the first, middle and last feature: lookups by name are hash lookups.")
    real_descriptions()


def real_descriptions():
    """Each real description's load (the best of ROUNDS) over a sparse port of 2^64 - 1 bytes, beside aravis's."""
    paths = sorted(glob.glob(os.path.join(REAL, "*.xml")))
    if not paths:
        print("\nNo real descriptions at %s" % os.path.normpath(REAL))
        return
    ours = {}
    for path in paths:
        with open(path, encoding="utf-8") as f:
            xml = f.read()
        times = []
        for _ in range(ROUNDS):
            start = time.perf_counter()
            array = hooks.load_parameters(xml, 2**64 - 1)
            times.append(time.perf_counter() - start)
            assert type(array).__name__ == "TqGenParameterArray", "%s: %s" % (path, array.GetDescription())
            del array
        ours[path] = min(times)
    env = {key: value for key, value in os.environ.items() if key not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    try:
        proc = subprocess.run(["/usr/bin/python3", "-c", ARAVIS_LOADS, str(ROUNDS)] + paths, capture_output=True,
                              text=True, env=env, timeout=600)
        aravis = json.loads(proc.stdout) if proc.returncode == 0 else {}
    except (OSError, subprocess.TimeoutExpired, ValueError):
        aravis = {}
    print("\nReal cameras' descriptions: the map built (best of %d)%s" %
          (ROUNDS, ", beside aravis's document" if aravis else " (aravis is not installed)"))
    print("%-32s %8s %10s %10s %8s" % ("description", "KiB", "ours ms", "aravis ms", "ratio"))
    for path in paths:
        theirs = aravis.get(path)
        print("%-32s %8d %10.2f %10s %8s" % (os.path.basename(path), os.path.getsize(path) // 1024, ours[path] * 1e3,
                                           "%.2f" % (theirs * 1e3) if theirs else "-",
                                           "%.2f" % (theirs / ours[path]) if theirs else "-"))
    if aravis:
        print("ratio: aravis's time over ours (above 1: ours is faster).")


if __name__ == "__main__":
    main()
