"""Parameter arrays built from a camera's GenICam description (tests/genicam/camera.xml): lookup by
position and name with most-derived typing, categories, typed access by name with its exact result
shapes, chunk data, and the state stack that gives values back when it dies."""

import gc
import os
import struct
import sys

import numpy as np
import pytest

from conftest import arg, raises

from conftest import CAMERA_XML as FIXTURE
NO_STRING = "Argument %d: failed to create TqString from Python string"


def prototypes(func, *lines):
    return ("Wrong number or type of arguments for overloaded function '%s'.\n  Possible C/C++ prototypes are:\n"
            % func + "".join("    %s\n" % line for line in lines))


GET = prototypes("TqGenParameterArray_Get", "TqGenParameterArray::Get(uint32_t)",
                 "TqGenParameterArray::Get(TqString const &)")
GETITEM = prototypes("TqGenParameterArray___getitem__", "TqGenParameterArray::operator [](uint32_t)",
                     "TqGenParameterArray::operator [](TqString const &)")
SET_ENUM = prototypes("TqGenParameterArray_SetEnumValue",
                      "TqGenParameterArray::SetEnumValue(TqString const &,TqString const &)",
                      "TqGenParameterArray::SetEnumValue(TqString const &,int64_t)")



KINDS = [("Width", "TqGenInteger"), ("ExposureTime", "TqGenFloat"), ("PixelFormat", "TqGenEnum"),
         ("ReverseX", "TqGenBoolean"), ("AcquisitionStart", "TqGenCommand"), ("DeviceUserID", "TqGenString"),
         ("LUTValueAll", "TqGenRegister"), ("TemperatureOffset", "TqGenInteger")]


def test_lookup_and_most_derived_typing(m, k, camera, no_leaks):
    with no_leaks(camera):
        count = camera.GetCount()
        assert count > 20
        for name, cls in KINDS:
            by_name = camera.Get(name)
            assert type(by_name) is getattr(k, cls) and not by_name.thisown, name
            assert type(camera[name]) is getattr(k, cls) and m.TqGenParameterArray___getitem__(camera, name).this == by_name.this
        one, two = camera.Get("Width"), camera.Get(k.TqString("Width"))
        assert one is not two and one.this == two.this
        assert camera.Get(True).this == camera.Get(1).this
        # Past the end and unknown names: None, never an exception; iteration stops at the count.
        assert camera.Get(count) is None and camera[count] is None and camera.Get("NoSuchFeature") is None
        items = list(camera)
        assert len(items) == count and all(isinstance(p, k.TqGenParameter) for p in items)
        for key in (-1, 2**32, 1.5, None, b"Width"):
            raises(TypeError, NO_STRING % 2, m.TqGenParameterArray_Get, camera, key)
        del one, two, by_name, items


def test_lookup_errors(m, k, camera):
    raises(TypeError, GET, m.TqGenParameterArray_Get, camera)
    raises(TypeError, "TqGenParameterArray_Get expected at most 2 arguments, got 3\nAdditional information:\n" + GET,
           m.TqGenParameterArray_Get, camera, 1, 2)
    raises(TypeError, GETITEM, m.TqGenParameterArray___getitem__, k.TqBuffer(), 0)
    raises(TypeError, arg("TqGenParameterArray_Get", 1, "TqGenParameterArray *"), m.TqGenParameterArray_Get, None, 0)
    raises(TypeError, arg("TqGenParameterArray_GetCount", 1, "TqGenParameterArray const *"),
           m.TqGenParameterArray_GetCount, None)
    assert m.delete_TqGenParameterArray(None) is None


def test_categories_node_map_and_access(m, k, camera):
    root = camera.GetCategory("Root")
    assert type(root) is k.TqGenCategory and not root.thisown
    assert camera.GetCategory(camera.GetCategoryCount()) is None and camera.GetCategory("Width") is None
    assert type(camera.GetCategory(0)) is k.TqGenCategory
    node_map = camera.GetNodeMap()
    assert type(node_map).__name__ == "SwigPyObject" and not node_map.own()
    assert camera.GetAccessMode() == m.TqGenAccessModeReadWrite
    assert camera.InvalidateCache().IsOK() and camera.Poll().IsOK()
    empty = k.TqGenParameterArray()
    assert empty.GetCount() == 0 and empty.Get(0) is None and empty.GetAccessMode() == m.TqGenAccessModeNotAvailable


def test_typed_access_by_name(m, k, camera):
    assert camera.GetInteger("ExposureTime") is None and type(camera.GetFloat("ExposureTime")) is k.TqGenFloat
    for getter, name, cls in [("GetInteger", "Width", "TqGenInteger"), ("GetEnum", "PixelFormat", "TqGenEnum"),
                              ("GetBoolean", "ReverseX", "TqGenBoolean"), ("GetCommand", "AcquisitionStart",
                                                                          "TqGenCommand"),
                              ("GetString", "DeviceUserID", "TqGenString"), ("GetRegister", "LUTValueAll",
                                                                             "TqGenRegister")]:
        assert type(getattr(camera, getter)(name)) is getattr(k, cls)
        assert getattr(camera, getter)("ExposureTime") is None
    # Integers: validated writes, the value unchanged after a refused one.
    assert camera.SetIntegerValue("Width", 640).IsOK()
    result, value = camera.GetIntegerValue("Width")
    assert result.IsOK() and value == 640
    for bad in (641, 8, 2**40):
        assert not camera.SetIntegerValue("Width", bad).IsOK()
    assert camera.GetIntegerValue("Width")[1] == 640
    missing = camera.GetIntegerValue("NoSuchFeature")
    assert type(missing) is list and missing[0].GetCode() == m.TQ_NOT_FOUND and missing[1] is None
    assert camera.SetIntegerValue("SensorWidth", 100).IsOK() is False   # read-only
    assert camera.GetIntegerValue("SensorWidth")[1] == 2048
    raises(OverflowError, arg("TqGenParameterArray_SetIntegerValue", 3, "int64_t"), m.TqGenParameterArray_SetIntegerValue,
           camera, "Width", 2**63)
    raises(TypeError, NO_STRING % 2, m.TqGenParameterArray_SetIntegerValue, camera, 5, 1)
    raises(TypeError, "TqGenParameterArray_GetIntegerValue expected 2 arguments, got 1",
           m.TqGenParameterArray_GetIntegerValue, camera)
    # Floats: an int is a float's value.
    assert camera.SetFloatValue("ExposureTime", 5000).IsOK() and camera.GetFloatValue("ExposureTime")[1] == 5000.0
    assert not camera.SetFloatValue("ExposureTime", 1e9).IsOK() and camera.GetFloatValue("ExposureTime")[1] == 5000.0
    raises(TypeError, arg("TqGenParameterArray_SetFloatValue", 3, "double"), m.TqGenParameterArray_SetFloatValue,
           camera, "ExposureTime", 2**2000)
    result, low, high = camera.GetFloatRange("ExposureTime")
    assert result.IsOK() and (low, high) == (10.0, 1000000.0)
    assert camera.GetIntegerRange("ExposureTime")[1:] == (None, None)
    assert type(camera.GetIntegerRange("Width")) is tuple and camera.GetIntegerRange("Width")[1:] == (16, 2048)


def test_enumerations_booleans_strings_commands(m, k, camera):
    echoed = camera.SetEnumValue("PixelFormat", "Mono16")
    assert type(echoed) is list and echoed[0].IsOK() and echoed[1] == "Mono16"
    assert camera.GetEnumValueString("PixelFormat")[1] == "Mono16"
    assert camera.GetEnumValueInt("PixelFormat")[1] == m.TqPixelMono16
    by_int = camera.SetEnumValue("PixelFormat", m.TqPixelRGB8)
    assert type(by_int) is k.TqResult and by_int.IsOK() and camera.GetEnumValueString("PixelFormat")[1] == "RGB8"
    refused = camera.SetEnumValue("PixelFormat", "NotAFormat")
    assert refused[0].IsOK() is False and refused[1] is None
    assert camera.GetEnumValueString("PixelFormat")[1] == "RGB8"
    assert type(camera.SetEnumValue("AcquisitionMode", True)) is k.TqResult   # True is the integer form
    raises(TypeError, NO_STRING % 3, m.TqGenParameterArray_SetEnumValue, camera, "PixelFormat", 2**64)
    raises(TypeError, SET_ENUM, m.TqGenParameterArray_SetEnumValue, camera, "PixelFormat")
    assert camera.SetBooleanValue("ReverseX", True).IsOK() and camera.GetBooleanValue("ReverseX")[1] is True
    missing = camera.GetBooleanValue("NoSuchFeature")
    assert missing[0].GetCode() == m.TQ_NOT_FOUND and missing[1] is False
    raises(TypeError, arg("TqGenParameterArray_SetBooleanValue", 3, "bool"), m.TqGenParameterArray_SetBooleanValue,
           camera, "ReverseX", 1)
    sent = camera.SetStringValue("DeviceUserID", "left camera")
    assert type(sent) is list and sent[0].IsOK() and sent[1] == "left camera"
    assert camera.GetStringValue("DeviceUserID")[1] == "left camera"
    too_long = camera.SetStringValue("DeviceUserID", "x" * 100)
    assert not too_long[0].IsOK() and too_long[1] is None and camera.GetStringValue("DeviceUserID")[1] == "left camera"
    raises(TypeError, NO_STRING % 3, m.TqGenParameterArray_SetStringValue, camera, "DeviceUserID", None)
    assert camera.ExecuteCommand("AcquisitionStart").IsOK()
    assert camera.ExecuteCommand("Width").GetCode() == m.TQ_NOT_FOUND


def test_chunk_data(m, k, camera):
    chunk = struct.pack(">d", 1234.5) + struct.pack(">II", 0x1001, 8)
    data = np.frombuffer(chunk, dtype=np.uint8).copy()
    before = sys.getrefcount(data)
    assert camera.AttachDataChunks(data).IsOK()
    assert sys.getrefcount(data) == before + 1   # kept while attached
    result, value = camera.GetFloatValue("ChunkExposureTime")
    assert result.IsOK() and value == 1234.5
    assert camera.DetachDataChunks().IsOK() and sys.getrefcount(data) == before
    assert camera.AttachDataChunks(np.zeros(0, np.uint8)).GetCode() == m.TQ_INVALID_PARAMETER
    bad = np.frombuffer(b"xy" + struct.pack(">II", 0x1001, 500), dtype=np.uint8).copy()
    assert camera.AttachDataChunks(bad).GetCode() == m.TQ_INVALID_DATA_FORMAT
    raises(TypeError, "Array must have 1 dimensions.  Given array has 2 dimensions",
           m.TqGenParameterArray_AttachDataChunks, camera, np.zeros((2, 2), np.uint8))
    # A converted copy stays alive while attached.
    assert camera.AttachDataChunks(list(chunk)).IsOK()
    gc.collect()
    junk = [np.full(16, 0xEE, np.uint8) for _ in range(200)]
    assert camera.GetFloatValue("ChunkExposureTime")[1] == 1234.5
    del junk
    camera.DetachDataChunks()


def test_state_stack_gives_values_back(m, k, camera, no_leaks):
    assert camera.SetIntegerValue("Width", 1024).IsOK() and camera.SetFloatValue("ExposureTime", 100.0).IsOK()
    with no_leaks():
        stack = k.TqGenStateStack(camera)
        assert stack.SetIntegerValue("Width", 512).IsOK() and stack.SetIntegerValue("Width", 256).IsOK()
        assert stack.SetFloatValue("ExposureTime", 200.0).IsOK()
        echoed = stack.SetEnumValue("PixelFormat", "Mono8")
        assert echoed[0].IsOK() and echoed[1] == "Mono8"
        assert type(stack.SetEnumValue("PixelFormat", m.TqPixelMono16)) is k.TqResult
        assert stack.SetStringValue("DeviceUserID", "temporary")[1] == "temporary"
        assert not stack.SetIntegerValue("Width", 3).IsOK()
        assert camera.GetIntegerValue("Width")[1] == 256
        raises(TypeError, arg("TqGenStateStack_SetBooleanValue", 3, "bool"), m.TqGenStateStack_SetBooleanValue, stack,
               "ReverseX", 1)
        del stack, echoed
        gc.collect()
    assert camera.GetIntegerValue("Width")[1] == 1024 and camera.GetFloatValue("ExposureTime")[1] == 100.0


def test_state_stack_keeps_its_array(m, k, hooks, camera):
    raises(TypeError, arg("new_TqGenStateStack", 1, "TqGenParameterArray *"), m.new_TqGenStateStack, None)
    raises(TypeError, arg("new_TqGenStateStack", 1, "TqGenParameterArray *"), m.new_TqGenStateStack, k.TqBuffer())
    stack = k.TqGenStateStack(camera)
    address = int(camera.this)
    del camera
    gc.collect()
    # The array lives on for the stack: the setters and the restoring at the stack's end are safe.
    assert stack.SetIntegerValue("Width", 64).IsOK()
    del stack
    gc.collect()
    assert m.delete_TqGenStateStack(None) is None
    assert address


def test_broken_descriptions_fail_cleanly(m, k, hooks):
    with open(FIXTURE) as f:
        good = f.read()
    broken = [
        good[: len(good) // 2],                                                   # cut short
        good.replace("<pValue>WidthReg</pValue>", "<pValue>NoSuchNode</pValue>"),  # dangling reference
        good.replace("<IntReg Name=\"WidthReg\">", "<Frobnicator Name=\"WidthReg\">").replace(
            "</IntReg>", "</Frobnicator>", 1),                                    # unknown kind
        "<RegisterDescription>",                                                  # not a description
        "",
    ]
    for text in broken:
        result = hooks.load_parameters(text)
        assert type(result) is k.TqResult and result.GetCode() == m.TQ_GENICAM_XML_ERROR
        assert str(result.GetDescription())


def test_none_as_self_reaches_the_chosen_form(m):
    """None as self passes the dispatcher's test of self: the form the other arguments choose refuses
    it with its argument-1 message."""
    for func, decl, args in [
        (m.TqGenParameterArray_SetEnumValue, "TqGenParameterArray *", [("Gain", "Low"), ("Gain", 3)]),
        (m.TqGenStateStack_SetEnumValue, "TqGenStateStack *", [("Gain", "Low"), ("Gain", 3)]),
        (m.TqGenEnum_SetValue, "TqGenEnum *", [("Low",), (3,)]),
    ]:
        for rest in args:
            with pytest.raises(TypeError) as info:
                func(None, *rest)
            assert str(info.value) == "in method '%s', argument 1 of type '%s'" % (func.__name__, decl)
