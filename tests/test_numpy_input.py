"""Array input as the attaching wrappers run it: conversion to a C-contiguous uint8 array, the
dimension and shape checks with their exact messages, and the short type names."""

import numpy as np
import pytest


def test_conversion(hooks):
    own = np.zeros(4, np.uint8)
    assert hooks.array_input(own, [1], [-1]) == (0, 1)                       # used as it is
    assert hooks.array_input(np.zeros(8, np.uint8)[::2], [1], [-1]) == (1, 1)   # strided: copied
    assert hooks.array_input([1, 2, 3], [1], [-1]) == (1, 1)                 # a list: a new array
    with pytest.raises(ValueError):
        hooks.array_input(["a"], [1], [-1])                                  # NumPy's own error


def read_only_arrays():
    """A bytes object's memory and an array marked read-only, each with what it holds."""
    held = bytes(range(16))
    marked = np.arange(16, dtype=np.uint8)
    marked.flags.writeable = False
    return [np.frombuffer(held, np.uint8), marked]


def test_memory_the_sdk_may_write_is_never_read_only(hooks):
    for array in read_only_arrays():
        assert hooks.array_input(array, [1], [-1]) == (0, 1)          # read only: used as it is
        assert hooks.array_input(array, [1], [-1], True) == (1, 1)    # written: a writable copy
    assert hooks.array_input(np.zeros(4, np.uint8), [1], [-1], True) == (0, 1)
    assert hooks.array_input(np.zeros(8, np.uint8)[::2], [1], [-1], True) == (1, 1)
    assert hooks.array_input(memoryview(bytes(4)), [1], [-1], True) == (1, 1)


def test_the_pointer_the_sdk_gets(hooks):
    # A function that reads gets the caller's memory, read-only or not; one that writes never gets
    # memory Python holds read-only.
    for array in read_only_arrays():
        before = array.tobytes()
        assert hooks.probe_read_address(array) == array.ctypes.data
        assert hooks.probe_write_address(array) != array.ctypes.data
        assert array.tobytes() == before and not array.flags.writeable
    own = np.zeros(8, np.uint8)
    assert hooks.probe_write_address(own) == own.ctypes.data and (own == 0xA5).all()
    assert hooks.probe_read_address(own) == own.ctypes.data


@pytest.mark.parametrize("shape, counts, wanted, message", [
    ((2, 2), [1], [-1], "Array must have 1 dimensions.  Given array has 2 dimensions"),
    ((4,), [2, 3], [], "Array must have 2,  or 3 dimensions.  Given array has 1 dimensions"),
    ((2, 2, 2, 2), [1, 2, 3], [], "Array must have 1, 2,  or 3 dimensions.  Given array has 4 dimensions"),
    ((3, 4), [2], [3, 5], "Array must have shape of [3,5].  Given array has shape of [3,4]"),
    ((3, 4), [2], [-1, 5], "Array must have shape of [*,5].  Given array has shape of [3,4]"),
])
def test_dimension_and_shape_messages(hooks, shape, counts, wanted, message):
    with pytest.raises(TypeError) as info:
        hooks.array_input(np.zeros(shape, np.uint8), counts, wanted)
    assert str(info.value) == message


def test_checks_that_pass(hooks):
    assert hooks.array_input(np.zeros((2, 3), np.uint8), [2, 3], [2, 3]) == (0, 2)
    assert hooks.array_input(np.zeros((2, 3, 4), np.uint8), [2, 3], []) == (0, 3)


@pytest.mark.parametrize("value, name", [
    (None, "Python None"), (len, "callable"), (b"x", "string"), (5, "int"), (True, "int"), (1.5, "float"),
    ({}, "dict"), ([], "list"), ((), "tuple"), ("text", "unknown type"), (np.zeros(1), "unknown type"),
])
def test_type_names(hooks, value, name):
    assert hooks.type_name(value) == name


MONO, COLOUR = 0x01000000, 0x02000000


@pytest.mark.parametrize("geometry, shape, dtype", [
    # bpp, padding y, height, padding x, width, pixel type, image size
    ((8, 0, 480, 0, 640, MONO | 0x080001, 480 * 640), (480, 640), np.uint8),
    ((8, 0, 480, 4, 640, MONO | 0x080001, 480 * 644), (480, 644), np.uint8),
    ((16, 0, 2, 0, 3, MONO | 0x100007, 12), (2, 3), np.uint16),
    ((12, 0, 2, 0, 4, MONO | 0x0C0006, 12), (12,), np.uint8),            # packed: the bytes
    ((24, 0, 2, 0, 4, COLOUR | 0x180014, 24), (2, 4, 3), np.uint8),
    ((32, 0, 2, 0, 4, COLOUR | 0x200016, 32), (2, 4, 4), np.uint8),
    ((16, 0, 2, 0, 4, COLOUR | 0x100032, 16), (2, 4, 2), np.uint8),      # YUV422
    ((48, 0, 2, 0, 4, COLOUR | 0x30001D, 48), (2, 4, 3), np.uint16),
    ((64, 0, 2, 0, 4, COLOUR | 0x400016, 64), (2, 4, 4), np.uint16),
    ((96, 0, 1, 0, 2, COLOUR | 0x6000C0, 24), (1, 2, 12), np.uint8),
    ((32, 0, 2, 0, 2, MONO | 0x200111, 16), (16,), np.uint8),            # mono 32: the bytes
    ((8, 0, 2, 0, 2, 0x080001, 4), (4,), np.uint8),                      # neither flag: the bytes
    ((8, 2, 4, 0, 4, MONO | 0x080001, 16), (16,), np.uint8),             # padding past the memory
    ((24, 0, 4, 4, 4, COLOUR | 0x180014, 48), (48,), np.uint8),
])
def test_image_views(hooks, geometry, shape, dtype):
    view = hooks.image_view(*geometry)
    assert view.shape == shape and view.dtype == dtype and view.flags.c_contiguous and view.flags.writeable
    assert view.nbytes <= geometry[-1] and type(view.base) is bytearray


def test_view_of_no_memory_is_zero_filled(hooks):
    # Without memory NumPy allocates the array itself: it must never show what that memory held.
    for _ in range(20):
        view = hooks.image_view(16, 0, 64, 0, 64, MONO | 0x100007, 64 * 64 * 2, True)
        assert view.shape == (64, 64) and view.flags.owndata and view.base is None and not view.any()
    assert hooks.image_view(8, 0, 2, 0, 2, MONO | 0x080001, 4).tolist() == [[0xAB] * 2] * 2
