"""Feature names given as str: the binding keeps short names as SDK strings between calls and lends
each to one call at a time. Whatever it keeps, every call must see exactly its own name, counts of
SDK objects come back after a collection, and calls from several threads never share a string."""

import gc
import sys
import threading

import pytest

COUNT = 300   # more names than the binding keeps, so that kept names are replaced


def description(count):
    features = "".join(
        '<IntReg Name="F%d"><Address>0x%X</Address><Length>4</Length><AccessMode>RW</AccessMode>'
        '<pPort>Device</pPort><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess></IntReg>' % (i, 4 * i)
        for i in range(count))
    refs = "".join("<pFeature>F%d</pFeature>" % i for i in range(count))
    return ('<?xml version="1.0" encoding="utf-8"?>'
            '<RegisterDescription ModelName="Names" VendorName="Kivo" StandardNameSpace="None"'
            ' SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1"'
            ' MinorVersion="0" SubMinorVersion="0" ToolTip="" ProductGuid="00000000-0000-0000-0000-000000000000"'
            ' VersionGuid="00000000-0000-0000-0000-000000000000" xmlns="http://www.genicam.org/GenApi/Version_1_1">'
            '<Category Name="Root">%s</Category>%s<Port Name="Device"/></RegisterDescription>' % (refs, features))


@pytest.fixture
def array(hooks, k):
    made = hooks.load_parameters(description(COUNT), 4 * COUNT + 64)
    assert type(made) is k.TqGenParameterArray, str(made.GetDescription())
    return made


def fresh(text):
    """An equal str that is not the same object."""
    return "".join(list(text))


def read(m, array, name):
    result, value = m.TqGenParameterArray_GetIntegerValue(array, name)
    assert result.IsOK(), str(result.GetDescription())
    return value


def test_each_call_sees_its_own_name(m, array):
    # Values written through one set of str objects, read through equal but distinct ones and
    # through the companion, in orders that make kept names collide and be replaced.
    for i in range(COUNT):
        assert m.TqGenParameterArray_SetIntegerValue(array, "F%d" % i, 1000 + i).IsOK()
    names = ["F%d" % i for i in range(COUNT)]
    for rounds in range(3):
        for i in list(range(COUNT)) + list(reversed(range(COUNT))):
            assert read(m, array, names[i]) == 1000 + i
            assert read(m, array, fresh(names[i])) == 1000 + i
            result, value = array.GetIntegerValue(names[(i * 7) % COUNT])
            assert result.IsOK() and value == 1000 + (i * 7) % COUNT


def test_names_reach_the_sdk_whole(m, array):
    # Unknown names come back in the SDK's message as it received them: short and long ones (past
    # what is kept, past what is converted on the stack), names differing in their last character,
    # non-ASCII text, and a name given twice to one call (the second is not the lent one).
    for name in ["G", "F0x", "F" * 64, "F" * 65, "F" * 300, "Ga\u00efn", "F1" + "\u00e9" * 70]:
        for given in (name, fresh(name), name):
            result, value = m.TqGenParameterArray_GetIntegerValue(array, given)
            assert not result.IsOK() and value is None
            assert str(result.GetDescription()) == "no integer feature '%s'" % name
    result, echoed = m.TqGenParameterArray_SetEnumValue(array, "F1", "F1")
    assert str(result.GetDescription()) == "no enumeration feature 'F1'" and echoed is None
    assert read(m, array, "F" + "1") == read(m, array, "F1")


def test_str_subclasses_and_proxies_are_converted_for_the_call(m, k, array):
    class Name(str):
        def __hash__(self):
            raise RuntimeError("a name is never hashed")

        def __eq__(self, other):
            raise RuntimeError("a name is never compared")

    assert m.TqGenParameterArray_SetIntegerValue(array, "F5", 55).IsOK()
    assert read(m, array, Name("F5")) == 55
    assert read(m, array, k.TqString("F5")) == 55
    assert read(m, array, "F5") == 55


def test_kept_names_are_let_go_at_each_collection(m, hooks, array, no_leaks):
    gc.collect()
    before = hooks.live_objects().get("TqString", 0)
    with no_leaks():
        for i in range(COUNT):
            read(m, array, "F%d" % i)
    # The strings kept for the names above, and their str objects, are gone after the collection.
    gc.collect()
    assert hooks.live_objects().get("TqString", 0) == before
    name = fresh("F7")
    held = sys.getrefcount(name)
    read(m, array, name)
    gc.collect()
    assert sys.getrefcount(name) == held


def test_threads_never_share_a_kept_name(m, array):
    for i in range(8):
        assert m.TqGenParameterArray_SetIntegerValue(array, "F%d" % i, 70 + i).IsOK()
    failures = []

    def reader(seed):
        try:
            for n in range(3000):
                i = (seed + n) % 8 if n % 3 else 0   # every thread also reads one name they all use
                if read(m, array, "F%d" % i if n % 2 else fresh("F%d" % i)) != 70 + i:
                    failures.append((seed, n))
                if n % 500 == 0:
                    gc.collect()   # kept names let go while other threads hold theirs
        except Exception as error:   # noqa: BLE001  reported below
            failures.append(repr(error))

    threads = [threading.Thread(target=reader, args=(seed,)) for seed in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
