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
