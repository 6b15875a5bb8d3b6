"""The type registry shared through the runtime capsule: queries by name, the cache, cast lists with
their pointer adjustments and the client data that ties a descriptor to its Python class."""

import sys
import textwrap

import pytest

QUERIES = [
    ("_p_TqString", "_p_TqString"), ("TqString *", "_p_TqString"), ("TqString*", "_p_TqString"),
    ("  Tq String  *  ", "_p_TqString"), ("unsigned int *", "_p_unsigned_int"), ("unsignedint*", "_p_unsigned_int"),
    ("uint32_t *", "_p_unsigned_int"), ("uintptr_t *", "_p_unsigned_int"), ("int *", "_p_int"),
    ("long long *", "_p_long_long"), ("unsigned long long *", "_p_unsigned_long_long"), ("char *", "_p_char"),
    ("signed char *", "_p_signed_char"), ("TqPixelType *", "_p_TqPixelType"),
    ("enum TqPixelType *", "_p_TqPixelType"), ("std::vector< std::string > *", "_p_std__vectorT_std__string_t"),
    ("TqSystemLib::GatewayVector *", "_p_std__vectorT_std__string_t"),
    ("TQ_GENAPI_NS::INodeMap *", "_p_TQ_GENAPI_NS__INodeMap"), ("TqDeviceInfo **", "_p_p_TqDeviceInfo"),
    ("_p_TqDeviceGEV", "_p_TqDeviceGEV"), ("_p_ITqChunkData", "_p_ITqChunkData"), ("_p_wchar_t", "_p_wchar_t"),
    # Near misses: prefixes, extensions and other pointer levels are different names.
    ("TqString", None), ("TqStrin *", None), ("TqString **", None), ("TqString * const", None),
    ("_p_TqStrin", None), ("_p_TqDeviceGEVX", None), ("_p_", None), ("", None),
]


@pytest.mark.parametrize("name, mangled", QUERIES)
def test_query_by_mangled_or_declared_name(hooks, name, mangled):
    assert hooks.query(name) == mangled
    assert hooks.query(name) == mangled  # answered again, now possibly from the cache
    assert (name in hooks.cache_keys()) == (mangled is not None)


def test_cache_keeps_hits_only(hooks):
    assert hooks.query("unsigned short *") == "_p_unsigned_short"
    assert "unsigned short *" in hooks.cache_keys()
    for _ in range(2):
        assert hooks.query("unsigned  shorts *") is None
        assert "unsigned  shorts *" not in hooks.cache_keys()


def test_capsule_shared_between_modules(m, k, hooks, no_leaks):
    runtime = sys.modules["swig_runtime_data4"]
    assert type(runtime.type_pointer_capsule).__name__ == "PyCapsule"
    assert '"swig_runtime_data4.type_pointer_capsule"' in repr(runtime.type_pointer_capsule)
    # The class the main module registered is seen through the test module's descriptor.
    assert hooks.client_class("_p_TqResult") is k.TqResult
    with no_leaks():
        owner = k.TqResult(7)
        address = int(owner.this)
        borrowed = hooks.make_pointer("_p_TqResult", address)
        bare = hooks.make_pointer("_p_TqResult", address, 2)
        assert type(borrowed) is k.TqResult
        assert type(bare) is hooks.proxy_type() is not type(owner.this)
        assert m.TqResult_GetCode(borrowed) == m.TqResult_GetCode(bare) == 7
        assert borrowed.this == owner.this and owner.this == bare
        del borrowed, bare, owner


CASTS = [
    ("_p_TqDeviceGEV", "_p_TqDevice", 0), ("_p_TqDeviceU3V", "_p_TqDevice", 0),
    ("_p_TqDeviceAdapter", "_p_TqDeviceEventSink", 8), ("_p_TqDeviceAdapter", "_p_TqGenEventSink", 16),
    ("_p_TqDeviceAdapter", "_p_ITqDeviceAdapter", 0), ("_p_TqDeviceInfoU3V", "_p_TqDeviceInfoUSB", 0),
    ("_p_TqDeviceInfoU3V", "_p_TqDeviceInfo", 0), ("_p_p_TqDeviceInfoGEV", "_p_p_TqDeviceInfo", 0),
    ("_p_TqGenInteger", "_p_TqGenParameter", 0), ("_p_TqBuffer", "_p_ITqChunkData", 0),
    ("_p_ITqMultiPartContainer", "_p_ITqMultiPartContainerReader", 0), ("_p_TqStreamRTP", "_p_TqStream", 0),
    ("_p_TqDevice", "_p_TqDevice", 0),
    # A base never stands for a derived type, nor a type for an unrelated one.
    ("_p_TqDevice", "_p_TqDeviceGEV", None), ("_p_TqDeviceEventSink", "_p_TqDeviceAdapter", None),
    ("_p_TqDeviceAdapter", "_p_TqDevice", None), ("_p_TqDeviceInfoGEV", "_p_TqDeviceInfoUSB", None),
    ("_p_TqGenParameter", "_p_TqGenEventSink", None), ("_p_TqDeviceInfoGEV", "_p_p_TqDeviceInfo", None),
]


@pytest.mark.parametrize("derived, wanted, offset", CASTS)
def test_cast_lists(hooks, derived, wanted, offset):
    for address in (0x1000, 0xFFFF_FFFF_FFFF_0000):
        code, found = hooks.convert(hooks.make_pointer(derived, address, 2), wanted)
        if offset is None:
            assert code < 0
        else:
            assert (code, found) == (0, address + offset)


def test_cast_hit_moves_to_front(hooks):
    entries = set(hooks.casts("_p_TqGenParameter"))
    assert len(entries) == 8 and "_p_TqGenParameter" in entries
    for derived in ("_p_TqGenFloat", "_p_TqGenBoolean", "_p_TqGenString", "_p_TqGenFloat"):
        assert hooks.convert(hooks.make_pointer(derived, 0x10, 2), "_p_TqGenParameter") == (0, 0x10)
        order = hooks.casts("_p_TqGenParameter")
        assert order[0] == derived and set(order) == entries and len(order) == 8
    # A miss leaves the order alone.
    assert hooks.convert(hooks.make_pointer("_p_TqDevice", 0x10, 2), "_p_TqGenParameter")[0] < 0
    assert hooks.casts("_p_TqGenParameter") == order


def test_registration_sets_only_its_own_descriptor(python_run):
    code = textwrap.dedent("""
        import _kivo_testhooks as hooks
        derived = ("_p_TqDeviceGEV", "_p_TqDeviceU3V")
        class TqDevice: pass
        class TqDeviceGEV: pass
        hooks.register_class("_p_TqDevice", TqDevice)
        assert hooks.client_class("_p_TqDevice") is TqDevice
        assert [hooks.client_class(n) for n in derived] == [None, None]
        hooks.register_class("_p_TqDeviceGEV", TqDeviceGEV)
        hooks.register_class("_p_TqDevice", TqDevice)
        assert [hooks.client_class(n) for n in derived] == [TqDeviceGEV, None]
        class TqDeviceAdapter: pass
        hooks.register_class("_p_TqDeviceAdapter", TqDeviceAdapter)
        sinks = ("_p_ITqDeviceAdapter", "_p_TqDeviceEventSink", "_p_TqGenEventSink")
        assert [hooks.client_class(n) for n in sinks] == [None, None, None]
        print("ok")
    """)
    proc = python_run(code)
    assert (proc.stdout, proc.returncode) == ("ok\n", 0), proc.stderr
