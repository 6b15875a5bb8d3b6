"""The USB3 Vision stream from a simulated device: frames equal to the device's pattern, one stream
per device, the defaults and overrides of its opening forms as the SDK received them, and the exact
overload messages."""

import numpy as np
import pytest

from conftest import arg, raises

GUID = "4B4956000417"
PROTOTYPES = ["TqDeviceInfo const *", "TqDeviceInfo const *,uint16_t,uint32_t,uint32_t,uint32_t",
              "TqDeviceInfo const *,uint16_t,uint32_t,uint32_t", "TqDeviceInfo const *,uint16_t,uint32_t",
              "TqDeviceInfo const *,uint16_t", "TqString const &", "TqString const &,uint16_t,uint32_t,uint32_t,uint32_t",
              "TqString const &,uint16_t,uint32_t,uint32_t", "TqString const &,uint16_t,uint32_t",
              "TqString const &,uint16_t"]
OPEN = ("Wrong number or type of arguments for overloaded function 'TqStreamU3V_Open'.\n"
        "  Possible C/C++ prototypes are:\n" + "".join("    TqStreamU3V::Open(%s)\n" % p for p in PROTOTYPES))


@pytest.fixture
def u3v(k, hooks):
    """The simulated USB3 Vision device, connected: (record, device)."""
    hooks.sim_add_hardware()
    interfaces = {str(i.GetName()): i for i in hooks.sim_interfaces()}
    record = interfaces["USB3 host controller (simulated)"].GetDeviceInfo(0)
    device = k.TqDeviceU3V()
    assert device.Connect(record).IsOK()
    device.GetParameters().SetIntegerValue("Width", 64)
    device.GetParameters().SetIntegerValue("Height", 48)
    yield record, device
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    device.Disconnect()
    del device
    hooks.sim_remove_hardware()


def pattern(width, height, frame):
    return ((np.add.outer(np.arange(height), np.arange(width)) + frame) & 0xFF).astype(np.uint8)


def test_frames_equal_the_pattern(m, k, u3v):
    record, device = u3v
    stream = k.TqStreamU3V()
    assert stream.Open(record).IsOK() and stream.GetType() == m.TqStreamTypeU3V == 1
    assert str(stream.GetGUID()) == GUID
    # One stream per device.
    assert k.TqStreamU3V().Open(GUID, 0).GetCode() == m.TQ_BUSY
    buffers = [k.TqBuffer() for _ in range(4)]
    for buffer in buffers:
        buffer.Alloc(64 * 48)
        assert stream.QueueBuffer(buffer).IsOK()
    device.StreamEnable()
    assert device.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()
    frames = 0
    while frames < 10:
        result, buffer, operation = stream.RetrieveBuffer(5000)
        assert result.IsOK() and operation.IsOK(), str(operation.GetCodeString())
        image = buffer.GetImage()
        assert np.array_equal(image.GetDataPointer(), pattern(64, 48, buffer.GetBlockID()))
        frames += 1
        stream.QueueBuffer(buffer)
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    stream.Close()
    while stream.RetrieveBuffer(0)[1] is not None:
        pass
    guid = stream.GetGUID()
    del stream
    assert str(guid) == GUID   # an owned copy outlives the stream


def test_open_forms_reach_the_sdk(m, k, hooks, u3v):
    record, device = u3v
    for args, logged in [((record,), "virtual"), ((record, 2), "2,64,512,64"), ((record, 2, 32), "2,32,512,64"),
                         ((record, 2, 32, 1024), "2,32,1024,64"), ((GUID, 1, 8, 16, 4), "1,8,16,4"),
                         ((record, True), "1,64,512,64"), ((GUID,), "virtual")]:
        stream = k.TqStreamU3V()
        m.TqStreamU3V_Open(stream, *args)
        assert hooks.call_log("TqStreamU3V::Open") == logged, args
        stream.Close()
        del stream
    # None is the record form.
    stream = k.TqStreamU3V()
    assert m.TqStreamU3V_Open(stream, None, 1).GetCode() == m.TQ_INVALID_PARAMETER
    assert hooks.call_log("TqStreamU3V::Open") == "1,64,512,64"
    # A U3V record through the factory.
    result, made = k.TqStream.CreateAndOpen(record)
    assert result.IsOK() and type(made) is k.TqStreamU3V and not made.this.own()
    made.Close()
    k.TqStream.Free(made)


def test_messages(m, k):
    stream = k.TqStreamU3V()
    for args in [(42,), (b"4B4956000417",), (None, 65536), (None, -1), (None, 0, 2 ** 32), ()]:
        raises(TypeError, OPEN, m.TqStreamU3V_Open, stream, *args)
    raises(TypeError, "TqStreamU3V_Open expected at most 6 arguments, got 7\nAdditional information:\n" + OPEN,
           m.TqStreamU3V_Open, stream, None, 0, 1, 2, 3, 4)
    raises(TypeError, arg("TqStreamU3V_Open", 1, "TqStreamU3V *"), m.TqStreamU3V_Open, None, None)
    raises(TypeError, arg("TqStreamU3V_GetType", 1, "TqStreamU3V const *"), m.TqStreamU3V_GetType, None)
    raises(TypeError, arg("delete_TqStreamU3V", 1, "TqStreamU3V *"), m.delete_TqStreamU3V, k.TqBuffer())
    assert m.delete_TqStreamU3V(None) is None
    assert str(stream.GetGUID()) == ""
