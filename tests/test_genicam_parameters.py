"""The GenICam parameter base class and the scalar kinds on the camera description
(tests/genicam/camera.xml): attribute and flag shapes, values validated by the node map, selectors,
event sink registration, value text, register transfers, and which proxies each function takes."""

import ctypes
import sys

import pytest

from conftest import arg, ok, raises




def test_attributes_and_flags(m, k, camera, no_leaks):
    width, exposure, temperature = camera.Get("Width"), camera.Get("ExposureTime"), camera.Get("SensorTemperature")
    with no_leaks(camera, width):
        # Every kind is a TqGenParameter as self; text comes back as str.
        assert ok(m.TqGenParameter_GetName(width)) == "Width" and width.GetName()[1] == "Width"
        assert ok(m.TqGenParameter_GetDisplayName(exposure)) == "Exposure Time"
        assert ok(m.TqGenParameter_GetDisplayName(width)) == "Width"   # the name when none is given
        assert ok(m.TqGenParameter_GetCategory(width)) == "ImageFormatControl"
        assert ok(m.TqGenParameter_GetToolTip(width)).startswith("Width of the image")
        assert ok(m.TqGenParameter_GetType(camera.Get("PixelFormat"))) == m.TqGenTypeEnum
        assert ok(m.TqGenParameter_GetType(camera.Get("LUTValueAll"))) == m.TqGenTypeRegister
        assert ok(m.TqGenParameter_GetNameSpace(temperature)) == m.TqGenNameSpaceCustom
        assert ok(m.TqGenParameter_GetVisibility(temperature)) == m.TqGenVisibilityExpert
        # Visibility levels: bool is an int; a level shows the features at or below it.
        assert ok(m.TqGenParameter_IsVisible(temperature, True)) is True
        assert ok(m.TqGenParameter_IsVisible(temperature, m.TqGenVisibilityBeginner)) is False
        raises(OverflowError, arg("TqGenParameter_IsVisible", 2, "TqGenVisibility"), m.TqGenParameter_IsVisible,
               width, 2**31)
        raises(TypeError, arg("TqGenParameter_IsVisible", 2, "TqGenVisibility"), m.TqGenParameter_IsVisible, width, 1.0)
        # Flags: bools, present whatever the result; a sensor that is not there is not available.
        assert [ok(f(temperature)) for f in (m.TqGenParameter_IsImplemented, m.TqGenParameter_IsAvailable,
                                             m.TqGenParameter_IsReadable, m.TqGenParameter_IsWritable)] == \
            [True, False, False, False]
        assert ok(m.TqGenParameter_IsStreamable(width)) is True and ok(m.TqGenParameter_IsPersistent(width)) is True
        assert ok(m.TqGenParameter_IsWritable(camera.Get("DeviceVendorName"))) is False
        assert ok(m.TqGenParameter_IsValueCached(camera.Get("DeviceVendorName"))) is True
        # A failed read: [TqResult, None] for values, each list owning its reference to None.
        failed = m.TqGenFloat_GetValue(temperature)
        assert failed[0].GetCode() == m.TQ_STATE_ERROR and failed[1] is None
        nones = sys.getrefcount(None)
        for _ in range(10000):
            m.TqGenFloat_GetValue(temperature)
        assert abs(sys.getrefcount(None) - nones) < 100   # an unbalanced None would move it by 10000
        del failed
        # The node handle: a new bare pointer object each time, owning nothing.
        one, two = m.TqGenParameter_GetNode(width), m.TqGenParameter_GetNode(width)
        assert one is not two and int(one) == int(two) and "TQ_GENAPI_NS::INode *" in repr(one)
        del one, two
        # Updates: a plain bool, set with strict bools only.
        assert m.TqGenParameter_GetUpdatesEnabled(width) is True
        assert m.TqGenParameter_SetUpdatesEnabled(width, False) is None
        assert m.TqGenParameter_GetUpdatesEnabled(width) is False
        raises(TypeError, arg("TqGenParameter_SetUpdatesEnabled", 2, "bool"), m.TqGenParameter_SetUpdatesEnabled,
               width, 1)
        m.TqGenParameter_SetUpdatesEnabled(width, True)


def test_self_of_each_function(m, k, camera):
    width, exposure = camera.Get("Width"), camera.Get("ExposureTime")
    # Categories and None are not parameters; the const methods name the const self.
    for bad in (None, camera.GetCategory(0), camera, k.TqString("Width")):
        raises(TypeError, arg("TqGenParameter_GetName", 1, "TqGenParameter const *"), m.TqGenParameter_GetName, bad)
    raises(TypeError, arg("TqGenParameter_FromString", 1, "TqGenParameter *"), m.TqGenParameter_FromString, None, "1")
    raises(TypeError, arg("TqGenParameter_GetNode", 1, "TqGenParameter *"), m.TqGenParameter_GetNode, None)
    # A kind takes only its own proxies.
    raises(TypeError, arg("TqGenInteger_GetValue", 1, "TqGenInteger const *"), m.TqGenInteger_GetValue, exposure)
    raises(TypeError, arg("TqGenInteger_SetValue", 1, "TqGenInteger *"), m.TqGenInteger_SetValue, None, 1)
    raises(TypeError, arg("TqGenCommand_IsDone", 1, "TqGenCommand *"), m.TqGenCommand_IsDone, width)
    raises(TypeError, arg("TqGenRegister_Get", 1, "TqGenRegister const *"), m.TqGenRegister_Get, width, None, 0)
    raises(TypeError, "TqGenParameter_IsVisible expected 2 arguments, got 1", m.TqGenParameter_IsVisible, width)
    raises(TypeError, "TqGenRegister_Set expected 3 arguments, got 2", m.TqGenRegister_Set, width, None)


def test_integers_and_floats(m, k, camera):
    width, exposure = camera.Get("Width"), camera.Get("ExposureTime")
    assert [ok(f(width)) for f in (m.TqGenInteger_GetMin, m.TqGenInteger_GetMax, m.TqGenInteger_GetIncrement)] == \
        [16, 2048, 4]
    assert ok(m.TqGenInteger_GetRepresentation(width)) == m.TqGenRepresentationLinear
    assert m.TqGenInteger_SetValue(width, 640).IsOK() and ok(m.TqGenInteger_GetValue(width)) == 640
    # Refused writes leave the value alone and raise nothing.
    for bad in (642, 4096, 8):
        assert m.TqGenInteger_SetValue(width, bad).GetCode() == m.TQ_INVALID_PARAMETER
    assert ok(m.TqGenInteger_GetValue(width)) == 640
    raises(OverflowError, arg("TqGenInteger_SetValue", 2, "int64_t"), m.TqGenInteger_SetValue, width, 2**63)
    raises(TypeError, arg("TqGenInteger_SetValue", 2, "int64_t"), m.TqGenInteger_SetValue, width, 1.5)
    # A signed register: negative values come back negative.
    offset = camera.Get("TemperatureOffset")
    for value in (-1, -300, 300):
        assert m.TqGenInteger_SetValue(offset, value).IsOK() and ok(m.TqGenInteger_GetValue(offset)) == value
    # Floats: ints are taken as doubles; huge ints and text are not.
    assert [ok(f(exposure)) for f in (m.TqGenFloat_GetMin, m.TqGenFloat_GetMax)] == [10.0, 1000000.0]
    assert ok(m.TqGenFloat_GetUnit(exposure)) == "us" and ok(m.TqGenInteger_GetUnit(width)) == ""
    assert m.TqGenFloat_SetValue(exposure, 3000).IsOK() and ok(m.TqGenFloat_GetValue(exposure)) == 3000.0
    assert m.TqGenFloat_SetValue(exposure, 5.0).GetCode() == m.TQ_INVALID_PARAMETER
    for bad in (10**400, "1.0", None):
        raises(TypeError, arg("TqGenFloat_SetValue", 2, "double"), m.TqGenFloat_SetValue, exposure, bad)


def test_booleans_commands_strings(m, k, camera):
    reverse, start, user = camera.Get("ReverseX"), camera.Get("AcquisitionStart"), camera.Get("DeviceUserID")
    assert ok(m.TqGenBoolean_GetValue(reverse)) is False
    assert m.TqGenBoolean_SetValue(reverse, True).IsOK() and ok(m.TqGenBoolean_GetValue(reverse)) is True
    raises(TypeError, arg("TqGenBoolean_SetValue", 2, "bool"), m.TqGenBoolean_SetValue, reverse, 1)
    assert m.TqGenCommand_Execute(start).IsOK()
    done = m.TqGenCommand_IsDone(start)
    assert done[0].IsOK() and done[1] in (True, False)
    assert ok(m.TqGenString_GetMaxLength(user)) == 16
    assert m.TqGenString_SetValue(user, "left camera").IsOK() and ok(m.TqGenString_GetValue(user)) == "left camera"
    assert m.TqGenString_SetValue(user, "") .IsOK() and ok(m.TqGenString_GetValue(user)) == ""
    assert m.TqGenString_SetValue(user, "x" * 17).GetCode() == m.TQ_INVALID_PARAMETER
    raises(TypeError, "Argument 2: failed to create TqString from Python string", m.TqGenString_SetValue, user, None)
    # Booleans on a locked map: the flag says so, and the write is refused.
    locked = camera.Get("TLParamsLocked")
    assert m.TqGenInteger_SetValue(locked, 1).IsOK()
    assert ok(m.TqGenParameter_IsWritable(camera.Get("Width"))) is False
    assert m.TqGenInteger_SetValue(camera.Get("Width"), 64).GetCode() == m.TQ_STATE_ERROR


def test_value_text(m, k, camera):
    width, exposure, reverse = camera.Get("Width"), camera.Get("ExposureTime"), camera.Get("ReverseX")
    assert m.TqGenParameter_FromString(width, "0x100").IsOK() and ok(m.TqGenParameter_ToString(width)) == "256"
    assert m.TqGenParameter_FromString(width, k.TqString("320")).IsOK() and ok(m.TqGenInteger_GetValue(width)) == 320
    assert m.TqGenParameter_FromString(exposure, "2500.5").IsOK() and ok(m.TqGenParameter_ToString(exposure)) == "2500.5"
    assert m.TqGenParameter_FromString(reverse, "true").IsOK() and ok(m.TqGenParameter_ToString(reverse)) == "true"
    assert m.TqGenParameter_FromString(camera.Get("GainSelector"), "All").IsOK()
    assert ok(m.TqGenParameter_ToString(camera.Get("GainSelector"))) == "All"
    assert ok(m.TqGenParameter_ToString(camera.Get("LUTValueAll"))) == "00" * 16
    for parameter, text in ((width, "12abc"), (width, ""), (exposure, "fast"), (reverse, "yes")):
        assert m.TqGenParameter_FromString(parameter, text).GetCode() == m.TQ_INVALID_PARAMETER, text
    assert ok(m.TqGenInteger_GetValue(width)) == 320
    # A command has no value: the result says so, the value is None.
    result, value = m.TqGenParameter_ToString(camera.Get("AcquisitionStart"))
    assert result.GetCode() == m.TQ_NOT_SUPPORTED and value is None
    raises(TypeError, "Argument 2: failed to create TqString from Python string", m.TqGenParameter_FromString,
           width, None)


def test_selectors_give_owned_lists(m, k, hooks, camera, no_leaks):
    selector, gain, width = camera.Get("GainSelector"), camera.Get("Gain"), camera.Get("Width")
    with no_leaks(camera, selector):
        assert ok(m.TqGenParameter_IsSelector(selector)) is True and ok(m.TqGenParameter_IsSelector(gain)) is False
        for call, parameter, size in ((m.TqGenParameter_GetSelectedParameters, selector, 1),
                                      (m.TqGenParameter_GetSelectingParameters, gain, 1),
                                      (m.TqGenParameter_GetSelectedParameters, width, 0)):
            result, found = call(parameter)
            assert result.IsOK() and type(found) is k.TqGenParameterList and found.thisown
            assert hooks.live_objects()["TqGenParameterList"] >= 1
            assert hooks.parameter_list_names(found) == (["Gain"] if parameter is selector else
                                                          ["GainSelector"] if parameter is gain else [])
            del found, result
    assert hooks.live_objects().get("TqGenParameterList", 0) == 0
    # Selecting really selects: each gain value lives at its own address.
    for name, value in (("All", 1.5), ("Red", 2.5)):
        assert m.TqGenParameter_FromString(selector, name).IsOK() and m.TqGenFloat_SetValue(gain, value).IsOK()
    m.TqGenParameter_FromString(selector, "All")
    assert ok(m.TqGenFloat_GetValue(gain)) == 1.5


def test_event_sinks(m, k, hooks, camera):
    width = camera.Get("Width")
    raises(TypeError, arg("TqGenParameter_RegisterEventSink", 2, "TqGenEventSink *"),
           m.TqGenParameter_RegisterEventSink, width, camera)
    raises(TypeError, arg("TqGenParameter_UnregisterEventSink", 2, "TqGenEventSink *"),
           m.TqGenParameter_UnregisterEventSink, width, 3)
    # A null sink reaches the SDK, which refuses it; unregistering what is not there is NOT_FOUND.
    assert m.TqGenParameter_RegisterEventSink(width, None).GetCode() == m.TQ_INVALID_PARAMETER
    assert m.TqGenParameter_UnregisterEventSink(width, None).GetCode() == m.TQ_NOT_FOUND


def test_register_transfers(m, k, hooks, camera):
    lut = camera.Get("LUTValueAll")
    assert ok(m.TqGenRegister_GetLength(lut)) == 16
    # Only wrapped byte pointers; None (a null buffer) is refused before the SDK sees it.
    for bad in (None, bytearray(16), b"x" * 16, 0):
        raises(TypeError, arg("TqGenRegister_Set", 2, "uint8_t const *"), m.TqGenRegister_Set, lut, bad, 16)
        raises(TypeError, arg("TqGenRegister_Get", 2, "uint8_t *"), m.TqGenRegister_Get, lut, bad, 16)
    # Through memory the test module lends: whole and partial transfers, never past the register.
    memory = bytearray(range(1, 17)) + bytearray(16)
    pointer = hooks.make_pointer("_p_unsigned_char", ctypes.addressof((ctypes.c_char * 32).from_buffer(memory)))
    raises(OverflowError, arg("TqGenRegister_Set", 3, "int64_t"), m.TqGenRegister_Set, lut, pointer, 2**63)
    assert m.TqGenRegister_Set(lut, pointer, 16).IsOK()
    assert ok(m.TqGenParameter_ToString(lut)) == bytes(range(1, 17)).hex().upper()
    memory[:] = bytes(32)
    assert m.TqGenRegister_Get(lut, pointer, 4).IsOK() and memory[:5] == b"\x01\x02\x03\x04\x00"
    assert m.TqGenRegister_Get(lut, pointer, 0).IsOK()
    for length in (17, 32, -1):
        assert m.TqGenRegister_Get(lut, pointer, length).GetCode() == m.TQ_INVALID_PARAMETER
        assert m.TqGenRegister_Set(lut, pointer, length).GetCode() == m.TQ_INVALID_PARAMETER
    assert memory[4:] == bytes(28)
    assert m.TqGenParameter_FromString(lut, "zz" * 16).GetCode() == m.TQ_INVALID_PARAMETER
