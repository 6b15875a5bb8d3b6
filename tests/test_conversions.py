"""Value converters, character strings, output shapes, argument counts and the GIL, through the probe
functions of the test module (built with the same wrapper templates as the public functions)."""

import gc
import sys
import threading
import time

import pytest


def counted(value):
    """The arguments whose reference counts a call must leave alone (None is shared too widely)."""
    return () if value is None else (value,)


def arg_message(probe, decl):
    return "in method '%s', argument 1 of type '%s'" % (probe, decl)


class Number(int):
    pass


class Real(float):
    pass


EMOJI = "\u00e9\u20ac\U0001F600"
FLT_MAX = 3.4028234663852886e38

# probe -> [(value, expected result)], at and inside the edges of each converter.
ACCEPTED = {
    "probe_int32": [(-(2**31), -(2**31)), (2**31 - 1, 2**31 - 1), (True, 1)],
    "probe_uint32": [(0, 0), (2**32 - 1, 2**32 - 1), (True, 1)],
    "probe_uint16": [(65535, 65535), (Number(12), 12)],
    "probe_uint8": [(255, 255)],
    "probe_int64": [(-(2**63), -(2**63)), (2**63 - 1, 2**63 - 1)],
    "probe_uint64": [(2**64 - 1, 2**64 - 1), (2**31, 2**31)],
    "probe_pixel": [(-(2**31), -(2**31)), (2**31 - 1, 2**31 - 1)],
    "probe_bool": [(True, True), (False, False)],
    "probe_double": [(7, 7.0), (2**53, float(2**53)), (Real(2.5), 2.5)],
    # 0.1 really travels as a single-precision value.
    "probe_float": [(0.1, 0.10000000149011612), (FLT_MAX, FLT_MAX), (-FLT_MAX, -FLT_MAX), (float("inf"), float("inf")),
                    (float("-inf"), float("-inf"))],
    "probe_text": [("plain", "plain"), (EMOJI, EMOJI), ("cut\0here", "cut"), (None, None)],
    # A wide character holds a lone surrogate as it is.
    "probe_wide": [(EMOJI, EMOJI), ("\udce9", "\udce9"), ("cut\0here", "cut"), (None, None)],
}


@pytest.mark.parametrize("probe, value, expected", [(p, v, e) for p, rows in ACCEPTED.items() for v, e in rows])
def test_accepted_values_round_trip(hooks, no_leaks, probe, value, expected):
    with no_leaks(*counted(value)):
        result = getattr(hooks, probe)(value)
        assert result == expected and type(result) is type(expected)
        del result


def test_float_nan_passes(hooks):
    result = hooks.probe_float(float("nan"))
    assert result != result


# probe -> (declared type, [(value, exception)])
REFUSED = {
    "probe_int32": ("int32_t", [(2**31, OverflowError), (-(2**31) - 1, OverflowError), (1.5, TypeError),
                                ("1", TypeError)]),
    "probe_uint32": ("uint32_t", [(-1, OverflowError), (2**32, OverflowError), (1.5, TypeError)]),
    "probe_uint16": ("uint16_t", [(65536, OverflowError), (-1, OverflowError)]),
    "probe_uint8": ("uint8_t", [(256, OverflowError), (-1, OverflowError)]),
    "probe_int64": ("int64_t", [(2**63, OverflowError), (-(2**63) - 1, OverflowError), (1.5, TypeError)]),
    "probe_uint64": ("uint64_t", [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError)]),
    "probe_pixel": ("TqPixelType", [(2**31, OverflowError), (-(2**31) - 1, OverflowError), (1.5, TypeError)]),
    "probe_bool": ("bool", [(1, TypeError), (None, TypeError)]),
    "probe_double": ("double", [(2**2000, TypeError), ("1.0", TypeError), (None, TypeError)]),
    "probe_float": ("float", [(1e39, OverflowError), (-1e39, OverflowError), (2**2000, TypeError)]),
    # A lone surrogate has no UTF-8 form: refused rather than passed on mangled.
    "probe_text": ("char const *", [(b"bytes", TypeError), (5, TypeError), ("\udce9", TypeError)]),
    "probe_wide": ("wchar_t const *", [(b"bytes", TypeError), (5, TypeError)]),
}


@pytest.mark.parametrize(
    "probe, value, exc, decl", [(p, v, x, d) for p, (d, rows) in REFUSED.items() for v, x in rows]
)
def test_refused_values(hooks, no_leaks, probe, value, exc, decl):
    with no_leaks(*counted(value)):
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


@pytest.mark.parametrize("probe, shape", [("probe_outputs", list), ("probe_outputs_tuple", tuple)])
def test_outputs(hooks, k, no_leaks, probe, shape):
    with no_leaks():
        for code, values in [(0, [42, True, "filled"]), (3, [None, True, None]), (65535, [None, True, None])]:
            # The owned result first; values that depend on success are None unless OK, the flag always there.
            out = getattr(hooks, probe)(code)
            assert type(out) is shape and list(out[1:]) == values
            assert type(out[0]) is k.TqResult and out[0].thisown and out[0].GetCode() == code
        del out


def test_void_result_is_replaced_by_the_output(hooks):
    assert hooks.probe_void_output() == -5


@pytest.mark.parametrize(
    "probe, value", [("probe_outputs", 3), ("probe_outputs_tuple", 3), ("probe_text", None), ("probe_wide", None)]
)
def test_none_results_keep_the_reference_count_of_none(hooks, probe, value):
    call = getattr(hooks, probe)
    # Each shadow instance made marks its class modified, so the interpreter's attribute cache keeps
    # taking fresh slots, each giving up the reference to None it started with: fill the cache first.
    for _ in range(20000):
        call(value)
    gc.collect()
    gc.disable()   # collecting older garbage would release references to None as well
    try:
        before = sys.getrefcount(None)
        for _ in range(1000):
            call(value)
        after = sys.getrefcount(None)
    finally:
        gc.enable()
    assert after == before


# ---------------------------------------------------------------------------------------------
# Argument counts of METH_VARARGS wrappers.

COUNT_ERRORS = [
    ("TqResult_SetCode", 0, "expected 2 arguments, got 0"),
    ("TqResult_SetCode", 1, "expected 2 arguments, got 1"),
    ("TqResult_SetCode", 3, "expected 2 arguments, got 3"),
    ("TqResult_SetDescription", 1, "expected 2 arguments, got 1"),
    ("TqResult___ior__", 3, "expected 2 arguments, got 3"),
    ("TqString___iadd__", 1, "expected 2 arguments, got 1"),
    ("TqResult___eq__", 3, "expected at most 2 arguments, got 3"),
    ("TqResult___ne__", 4, "expected at most 2 arguments, got 4"),
    ("TqString___eq__", 3, "expected at most 2 arguments, got 3"),
    ("TqString___ne__", 3, "expected at most 2 arguments, got 3"),
]


@pytest.mark.parametrize("name, count, message", COUNT_ERRORS)
def test_argument_count_messages(m, name, count, message):
    with pytest.raises(TypeError) as info:
        getattr(m, name)(*[None] * count)
    assert type(info.value) is TypeError and str(info.value) == name + " " + message


# ---------------------------------------------------------------------------------------------
# The GIL around the SDK call.


@pytest.mark.parametrize("probe, other_thread_ran", [("probe_release_gil", True), ("probe_keep_gil", False)])
def test_gil_around_the_sdk_call(hooks, probe, other_thread_ran):
    """The probe waits in the SDK call for another Python thread to tick (the callback-class policy keeps
    the GIL, so there it cannot)."""
    stop, started = threading.Event(), threading.Event()

    def ticker():
        while not stop.is_set():
            hooks.tick()
            started.set()
            time.sleep(0.0005)

    thread = threading.Thread(target=ticker, daemon=True)
    thread.start()
    try:
        assert started.wait(5)
        assert getattr(hooks, probe)(1) is other_thread_ran
    finally:
        stop.set()
        thread.join(5)


def test_calling_convention_can_be_chosen_per_function(hooks):
    assert hooks.probe_flags_varargs(True) is True
    with pytest.raises(TypeError) as err:
        hooks.probe_flags_varargs()
    assert str(err.value) == "probe_flags_varargs expected 1 arguments, got 0"
