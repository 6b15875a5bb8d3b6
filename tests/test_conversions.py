"""Value converters, character strings, output shapes, argument counts and the GIL, through the probe
functions of the test module (built with the same wrapper templates as the public functions)."""

import gc
import sys
import threading
import time

import pytest


def arg_message(probe, decl):
    return "in method '%s', argument 1 of type '%s'" % (probe, decl)


# (probe, value, expected result) -- values at and inside the edges of each converter.
ACCEPTED = [
    ("probe_int32", -(2**31), -(2**31)),
    ("probe_int32", 2**31 - 1, 2**31 - 1),
    ("probe_int32", True, 1),
    ("probe_uint32", 0, 0),
    ("probe_uint32", 2**32 - 1, 2**32 - 1),
    ("probe_uint32", True, 1),
    ("probe_uint16", 65535, 65535),
    ("probe_uint8", 255, 255),
    ("probe_uint8", False, 0),
    ("probe_int64", -(2**63), -(2**63)),
    ("probe_int64", 2**63 - 1, 2**63 - 1),
    ("probe_int64", -(2**31) - 1, -(2**31) - 1),
    ("probe_uint64", 2**64 - 1, 2**64 - 1),
    ("probe_uint64", 2**31, 2**31),
    ("probe_pixel", -(2**31), -(2**31)),
    ("probe_pixel", 2**31 - 1, 2**31 - 1),
    ("probe_bool", True, True),
    ("probe_bool", False, False),
    ("probe_double", 7, 7.0),
    ("probe_double", 2**53, float(2**53)),
    ("probe_double", 1e300, 1e300),
    ("probe_float", 0.1, 0.10000000149011612),   # really passed as a single-precision value
    ("probe_float", 3.4028234663852886e38, 3.4028234663852886e38),
    ("probe_float", -3.4028234663852886e38, -3.4028234663852886e38),
    ("probe_float", float("inf"), float("inf")),
    ("probe_float", float("-inf"), float("-inf")),
    ("probe_text", "plain", "plain"),
    ("probe_text", "\u00e9\u20ac\U0001F600", "\u00e9\u20ac\U0001F600"),
    ("probe_text", "cut\0here", "cut"),
    ("probe_text", None, None),
    ("probe_wide", "\u00e9\u20ac\U0001F600", "\u00e9\u20ac\U0001F600"),
    ("probe_wide", "\udce9", "\udce9"),   # a wide character holds a lone surrogate as it is
    ("probe_wide", "cut\0here", "cut"),
    ("probe_wide", None, None),
]


@pytest.mark.parametrize("probe, value, expected", ACCEPTED)
def test_accepted_values_round_trip(hooks, no_leaks, probe, value, expected):
    with no_leaks(value):
        result = getattr(hooks, probe)(value)
        assert result == expected and type(result) is type(expected)
        del result


def test_float_nan_passes(hooks):
    result = hooks.probe_float(float("nan"))
    assert result != result


class Number(int):
    pass


class Real(float):
    pass


def test_subclasses_of_int_and_float_are_accepted(hooks):
    assert hooks.probe_uint16(Number(12)) == 12
    assert hooks.probe_double(Real(2.5)) == 2.5
    assert hooks.probe_float(Real(2.5)) == 2.5


# (probe, value, exception, declared type in the message)
REFUSED = [
    ("probe_int32", 2**31, OverflowError, "int32_t"),
    ("probe_int32", -(2**31) - 1, OverflowError, "int32_t"),
    ("probe_int32", 1.5, TypeError, "int32_t"),
    ("probe_int32", "1", TypeError, "int32_t"),
    ("probe_uint32", -1, OverflowError, "uint32_t"),
    ("probe_uint32", 2**32, OverflowError, "uint32_t"),
    ("probe_uint32", 1.5, TypeError, "uint32_t"),
    ("probe_uint16", 65536, OverflowError, "uint16_t"),
    ("probe_uint16", -1, OverflowError, "uint16_t"),
    ("probe_uint16", 1.5, TypeError, "uint16_t"),
    ("probe_uint8", 256, OverflowError, "uint8_t"),
    ("probe_uint8", -1, OverflowError, "uint8_t"),
    ("probe_uint8", 1.5, TypeError, "uint8_t"),
    ("probe_int64", 2**63, OverflowError, "int64_t"),
    ("probe_int64", -(2**63) - 1, OverflowError, "int64_t"),
    ("probe_int64", 1.5, TypeError, "int64_t"),
    ("probe_uint64", -1, OverflowError, "uint64_t"),
    ("probe_uint64", 2**64, OverflowError, "uint64_t"),
    ("probe_uint64", 1.5, TypeError, "uint64_t"),
    ("probe_pixel", 2**31, OverflowError, "TqPixelType"),
    ("probe_pixel", -(2**31) - 1, OverflowError, "TqPixelType"),
    ("probe_pixel", 1.5, TypeError, "TqPixelType"),
    ("probe_bool", 1, TypeError, "bool"),
    ("probe_bool", 0, TypeError, "bool"),
    ("probe_bool", None, TypeError, "bool"),
    ("probe_double", 2**2000, TypeError, "double"),
    ("probe_double", "1.0", TypeError, "double"),
    ("probe_double", None, TypeError, "double"),
    ("probe_float", 1e39, OverflowError, "float"),
    ("probe_float", -1e39, OverflowError, "float"),
    ("probe_float", 2**2000, TypeError, "float"),
    ("probe_text", b"bytes", TypeError, "char const *"),
    ("probe_text", bytearray(b"x"), TypeError, "char const *"),
    ("probe_text", 5, TypeError, "char const *"),
    # A lone surrogate has no UTF-8 form: refused rather than passed on mangled.
    ("probe_text", "\udce9", TypeError, "char const *"),
    ("probe_wide", b"bytes", TypeError, "wchar_t const *"),
    ("probe_wide", 5, TypeError, "wchar_t const *"),
]


@pytest.mark.parametrize("probe, value, exc, decl", REFUSED)
def test_refused_values(hooks, no_leaks, probe, value, exc, decl):
    with no_leaks(value):
        with pytest.raises(exc) as info:
            getattr(hooks, probe)(value)
    assert type(info.value) is exc
    assert str(info.value) == arg_message(probe, decl)


def test_character_pointer_objects(hooks, no_leaks):
    narrow = hooks.char_pointer(b"from a pointer")
    wide = hooks.wchar_pointer("wide \U0001F600")
    with no_leaks(narrow, wide):
        assert hooks.probe_text(narrow) == "from a pointer"
        assert hooks.probe_wide(wide) == "wide \U0001F600"
        # A pointer of the other character type is not a string of this one.
        for probe, other, decl in (("probe_text", wide, "char const *"), ("probe_wide", narrow, "wchar_t const *")):
            with pytest.raises(TypeError) as info:
                getattr(hooks, probe)(other)
            assert str(info.value) == arg_message(probe, decl)
        del other, info


def test_probe_text_gives_bytes_that_are_not_utf8_back_escaped(hooks):
    assert hooks.probe_text(hooks.char_pointer(b"a\xe9b")) == "a\udce9b"


# ---------------------------------------------------------------------------------------------
# Output values.


def test_outputs_as_list(hooks, k, no_leaks):
    with no_leaks():
        ok = hooks.probe_outputs(0)
        assert type(ok) is list and len(ok) == 4
        assert isinstance(ok[0], k.TqResult) and ok[0].thisown and ok[0].GetCode() == 0
        assert ok[1:] == [42, True, "filled"]
        failed = hooks.probe_outputs(3)
        assert type(failed) is list
        assert failed[0].GetCode() == 3 and failed[0].thisown
        # Values that depend on success are None; the flag is always there.
        assert failed[1:] == [None, True, None]
        del ok, failed


def test_outputs_as_tuple(hooks, k, no_leaks):
    with no_leaks():
        ok = hooks.probe_outputs_tuple(0)
        assert type(ok) is tuple and ok[1:] == (42, True, "filled")
        assert isinstance(ok[0], k.TqResult) and ok[0].thisown
        failed = hooks.probe_outputs_tuple(65535)   # pending is not OK either
        assert failed[0].IsPending() and failed[1:] == (None, True, None)
        del ok, failed


def test_void_result_is_replaced_by_the_output(hooks):
    assert hooks.probe_void_output() == -5


@pytest.mark.parametrize(
    "call",
    [
        lambda h: h.probe_outputs(3),
        lambda h: h.probe_outputs_tuple(3),
        lambda h: h.probe_text(None),
        lambda h: h.probe_wide(None),
    ],
    ids=["list", "tuple", "text", "wide"],
)
def test_none_results_keep_the_reference_count_of_none(hooks, call):
    call(hooks)
    gc.collect()
    gc.disable()   # collecting older garbage would release references to None as well
    try:
        before = sys.getrefcount(None)
        for _ in range(1000):
            call(hooks)
        after = sys.getrefcount(None)
    finally:
        gc.enable()
    assert after == before


def test_outputs_leave_nothing_behind(hooks, no_leaks):
    with no_leaks():
        for code in (0, 3) * 200:
            hooks.probe_outputs(code)
            hooks.probe_outputs_tuple(code)


# ---------------------------------------------------------------------------------------------
# Argument counts of METH_VARARGS wrappers.

COUNT_ERRORS = [
    ("TqResult_SetCode", (), "TqResult_SetCode expected 2 arguments, got 0"),
    ("TqResult_SetCode", (None,), "TqResult_SetCode expected 2 arguments, got 1"),
    ("TqResult_SetCode", (None, 1, 2), "TqResult_SetCode expected 2 arguments, got 3"),
    ("TqResult_SetDescription", (None,), "TqResult_SetDescription expected 2 arguments, got 1"),
    ("TqResult___ior__", (None, None, None), "TqResult___ior__ expected 2 arguments, got 3"),
    ("TqString___iadd__", ("x",), "TqString___iadd__ expected 2 arguments, got 1"),
    ("TqResult___eq__", (None, 1, 2), "TqResult___eq__ expected at most 2 arguments, got 3"),
    ("TqResult___ne__", (None, 1, 2, 3), "TqResult___ne__ expected at most 2 arguments, got 4"),
    ("TqString___eq__", (None, 1, 2), "TqString___eq__ expected at most 2 arguments, got 3"),
    ("TqString___ne__", (None, 1, 2), "TqString___ne__ expected at most 2 arguments, got 3"),
]


@pytest.mark.parametrize("name, args, message", COUNT_ERRORS)
def test_argument_count_messages(m, name, args, message):
    with pytest.raises(TypeError) as info:
        getattr(m, name)(*args)
    assert type(info.value) is TypeError and str(info.value) == message


# ---------------------------------------------------------------------------------------------
# The GIL around the SDK call.


class Ticker:
    """Calls hooks.tick() from another Python thread for as long as it runs."""

    def __init__(self, hooks):
        self.hooks = hooks
        self.stop = threading.Event()
        self.started = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            self.hooks.tick()
            self.started.set()
            time.sleep(0.0005)

    def __enter__(self):
        self.thread.start()
        assert self.started.wait(5)
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(5)


def test_wrapper_releases_the_gil_around_the_sdk_call(hooks):
    with Ticker(hooks):
        assert hooks.probe_release_gil(1) is True


def test_callback_class_wrapper_keeps_the_gil(hooks):
    with Ticker(hooks):
        assert hooks.probe_keep_gil(1) is False
