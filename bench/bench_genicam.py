"""Reading a GenICam integer feature by name on a node map of about 2,000 features: the wrapper's
cost next to the same read done in C++ through the stand-in (the ratio is the binding's share),
and the time to build the map from its XML.

Prints; never fails. Run:  PYTHONPATH=build/python /usr/bin/python3 bench/bench_genicam.py
"""

import os
import time
import timeit

import _kivo_python64 as m
import _kivo_testhooks as hooks
import kivo_python64  # noqa: F401  registers the classes, so the results the calls return are freed

FEATURES = 2000


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


if __name__ == "__main__":
    main()
