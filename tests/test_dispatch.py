"""The one dispatcher behind every wrapper: argument positions in messages, C++ exceptions, NumPy
arrays that feed a pointer and a length, default arguments, overload order, static methods and
member variables (probes of the test module, declared like the module's own wrappers)."""

import gc
import sys
import textwrap

import numpy as np
import pytest

from conftest import arg, raises


def test_positions_count_cpp_parameters(hooks):
    # An output parameter before the input still takes its number.
    raises(OverflowError, arg("probe_out_first", 2, "uint32_t"), hooks.probe_out_first, -1)
    raises(TypeError, arg("probe_out_first", 2, "uint32_t"), hooks.probe_out_first, "1")
    assert hooks.probe_out_first(5) == 5
    # An array feeds two parameters: the next argument is number 3.
    raises(OverflowError, arg("probe_sum_bytes", 3, "uint32_t"), hooks.probe_sum_bytes, [1], -1)
    # A static method has no self: its first argument is number 1.
    raises(OverflowError, arg("TqResult_probe_static", 1, "uint32_t"), hooks.TqResult_probe_static, -1, 1)
    raises(OverflowError, arg("TqResult_probe_static", 2, "uint32_t"), hooks.TqResult_probe_static, 1, -1)
    assert hooks.TqResult_probe_static(1, 2) == 102


@pytest.mark.parametrize("kind, exc, message", [
    (1, MemoryError, ""),
    (2, RuntimeError, "the SDK failed: text"),
    (3, RuntimeError, "unknown C++ exception"),
    (4, MemoryError, ""),
])
def test_cpp_exceptions_become_python_errors(hooks, no_leaks, kind, exc, message):
    text = "text"
    with no_leaks(text):
        raises(exc, message, hooks.probe_throw, text, kind)
        # The TqString made from the str for the call is gone too.
        raises(exc, message, hooks.probe_throw, text, kind)
    assert hooks.probe_throw(text, 7) == 7


DESTRUCTOR_FAILURE = textwrap.dedent("""
    import sys
    import _kivo_python64, _kivo_testhooks as hooks
    seen = []
    sys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, str(u.exc_value), u.object))
    live = lambda: hooks.live_objects().get("ProbeRecord", 0)
    # A proxy that dies with its object: the typed destructor runs through the same call.
    hooks.register_class("_p_std__vectorT_TqSystemLib__IPConfig_t",
                         type("Record", (), {"__swig_destroy__": hooks.delete_ProbeRecord}))
    record = hooks.new_ProbeRecord()
    hooks.ProbeRecord_mFailure_set(record, "the SDK failed: as the proxy died")
    del record
    assert seen == [("RuntimeError", "the SDK failed: as the proxy died", hooks.delete_ProbeRecord)], seen
    assert live() == 0
    print("ok")
""")


def test_a_destructor_that_throws_gives_the_error_of_any_call(hooks, python_run):
    before = hooks.live_objects().get("ProbeRecord", 0)
    record = hooks.new_ProbeRecord()
    hooks.ProbeRecord_mFailure_set(record, "the SDK failed: in a destructor")
    raises(RuntimeError, "the SDK failed: in a destructor", hooks.delete_ProbeRecord, record)
    # The object went all the same, and its proxy with it.
    assert hooks.live_objects().get("ProbeRecord", 0) == before
    raises(TypeError, arg("ProbeRecord_mCount_get", 1, "ProbeRecord *"), hooks.ProbeRecord_mCount_get, record)
    proc = python_run(DESTRUCTOR_FAILURE)
    assert (proc.stdout, proc.returncode) == ("ok\n", 0), proc.stderr


def test_byte_arrays_feed_pointer_and_length(hooks):
    data = np.arange(5, dtype=np.uint8)
    before = sys.getrefcount(data)
    assert hooks.probe_sum_bytes(data, 2) == 10 * 2 * 1000000 + 5
    assert sys.getrefcount(data) == before
    # Converted input: a list, a strided view (copied for the call).
    assert hooks.probe_sum_bytes([1, 2, 3], 1) == 6000003
    assert hooks.probe_sum_bytes(np.arange(10, dtype=np.uint8)[::2], 1) == 20000005
    assert hooks.probe_sum_bytes(np.zeros(0, np.uint8), 1) == 0
    raises(TypeError, "Array must have 1 dimensions.  Given array has 2 dimensions",
           hooks.probe_sum_bytes, np.zeros((2, 2), np.uint8), 1)
    with pytest.raises(ValueError):
        hooks.probe_sum_bytes(["x"], 1)   # NumPy's own error passes through


def test_array_longer_than_its_length_parameter(hooks):
    assert hooks.probe_short_bytes(np.zeros(255, np.uint8)) == 255
    raises(OverflowError, arg("probe_short_bytes", 2, "uint8_t"), hooks.probe_short_bytes, np.zeros(256, np.uint8))


DEFAULT_PROTOTYPES = (
    "Wrong number or type of arguments for overloaded function 'probe_default'.\n"
    "  Possible C/C++ prototypes are:\n"
    "    probe_default(uint32_t,uint32_t)\n"
    "    probe_default(uint32_t)\n"
)


def test_default_arguments_make_shorter_overloads(hooks):
    assert hooks.probe_default(1) == 107 and hooks.probe_default(1, 2) == 102
    raises(TypeError, DEFAULT_PROTOTYPES, hooks.probe_default)
    raises(TypeError, DEFAULT_PROTOTYPES, hooks.probe_default, -1)
    raises(TypeError, "probe_default expected at most 2 arguments, got 3\nAdditional information:\n"
           + DEFAULT_PROTOTYPES, hooks.probe_default, 1, 2, 3)
    doc = hooks.probe_default.__doc__
    assert doc.index("*Overload 1:*") < doc.index(":type aB:") < doc.index("*Overload 2:*")
    assert ":type aB:" not in doc[doc.index("*Overload 2:*"):]


def test_overloads_are_tried_by_parameter_rank(m, k, hooks):
    # Declared text, result, number; tried proxy first, then number, then text.
    assert hooks.probe_order(5) == "number"
    assert hooks.probe_order(True) == "number"
    assert hooks.probe_order("x") == "text"
    assert hooks.probe_order(k.TqString("x")) == "text"
    assert hooks.probe_order(k.TqResult(1)) == "result"
    message = ("Wrong number or type of arguments for overloaded function 'probe_order'.\n"
               "  Possible C/C++ prototypes are:\n"
               "    probe_order(TqString const &)\n"
               "    probe_order(TqResult const &)\n"
               "    probe_order(uint32_t)\n")
    raises(TypeError, message, hooks.probe_order, 1.5)
    raises(TypeError, message, hooks.probe_order, None)



def test_overloads_reach_what_converts_whatever_carries_it(m, k, hooks):
    # Self and the arguments matched at once or walked to: whatever converts must reach its candidate,
    # and whatever commits one must still commit it.
    class Number(int):
        pass

    class Carrier:   # any object carrying a proxy as "this"
        pass

    class Derived(k.TqResult):
        pass

    carrier, gone = Carrier(), k.TqResult(4)
    carrier.this = k.TqResult(3).this
    m.delete_TqResult(gone)
    assert [hooks.probe_order(a) for a in (Number(5), carrier, Derived(2), k.TqResult(1).this)] == [
        "number", "result", "result", "result"]
    for a in (np.int64(5), 5.0, b"x", Carrier()):
        with pytest.raises(TypeError, match="^Wrong number or type of arguments for overloaded function 'probe_order'"):
            hooks.probe_order(a)
    # A proxy without its object commits the candidate that takes it: its error, not the overload text.
    raises(TypeError, "invalid null reference in method 'probe_order', argument 1 of type 'TqResult const &'",
           hooks.probe_order, gone)
    # Self as a subclass instance or a carrier, the other as an int subclass or any proxy's carrier.
    for self in (Derived(3), carrier):
        assert m.TqResult___eq__(self, Number(3)) is True and m.TqResult___eq__(self, carrier) is True
        assert m.TqResult___ne__(self, Derived(4)) is True and m.TqResult___eq__(self, 3.0) is NotImplemented


def test_member_variables(hooks, no_leaks):
    with no_leaks():
        record = hooks.new_ProbeRecord()
        assert (hooks.ProbeRecord_mCount_get(record), hooks.ProbeRecord_mLevel_get(record),
                hooks.ProbeRecord_mName_get(record)) == (3, 0.5, "first")
        assert hooks.ProbeRecord_mCount_set(record, 9) is None
        hooks.ProbeRecord_mLevel_set(record, 2)
        hooks.ProbeRecord_mName_set(record, "second \U0001F600")
        assert (hooks.ProbeRecord_mCount_get(record), hooks.ProbeRecord_mLevel_get(record),
                hooks.ProbeRecord_mName_get(record)) == (9, 2.0, "second \U0001F600")
        raises(OverflowError, arg("ProbeRecord_mCount_set", 2, "uint32_t"), hooks.ProbeRecord_mCount_set, record, -1)
        raises(TypeError, arg("ProbeRecord_mName_set", 2, "std::string const &"),
               hooks.ProbeRecord_mName_set, record, 5)
        raises(TypeError, "invalid null reference " + arg("ProbeRecord_mName_set", 2, "std::string const &"),
               hooks.ProbeRecord_mName_set, record, None)
        raises(TypeError, arg("ProbeRecord_mCount_get", 1, "ProbeRecord *"), hooks.ProbeRecord_mCount_get, None)
        raises(TypeError, "_kivo_testhooks.ProbeRecord_mCount_get() takes exactly one argument (0 given)",
               hooks.ProbeRecord_mCount_get)
        assert hooks.delete_ProbeRecord(record) is None
        raises(TypeError, arg("ProbeRecord_mCount_get", 1, "ProbeRecord *"), hooks.ProbeRecord_mCount_get, record)
        del record


def test_returned_proxy_keeps_its_argument_alive(k, hooks, no_leaks):
    with no_leaks():
        text = k.TqString("kept")
        same = hooks.probe_same_string(text)
        assert type(same) is k.TqString and same.this == text.this and not same.thisown
        del text
        gc.collect()
        # The borrowed proxy holds the owning one: the string lives as long as it does.
        assert hooks.live_objects()["TqString"] >= 1 and str(same) == "kept"
        del same
