"""TqDevice: the factory typed by kind, exact messages, memory access arguments, the communication
settings, priorities, sinks, and Free leaving no dangling proxy."""

import gc
import sys
import weakref

import numpy as np
import pytest

from conftest import arg, keeps_counts, raises

CREATE_OVERLOAD = ("Wrong number or type of arguments for overloaded function 'TqDevice_CreateAndConnect'.\n"
                   "  Possible C/C++ prototypes are:\n"
                   "    TqDevice::CreateAndConnect(TqDeviceInfo const *,TqResult *)\n"
                   "    TqDevice::CreateAndConnect(TqString const &,TqResult *)\n")


@pytest.fixture
def device(hooks, camera_xml):
    """A device that is not connected."""
    device, _ = hooks.make_device(camera_xml)
    yield device
    hooks.free_device(device)


@pytest.fixture
def camera_xml():
    from conftest import CAMERA_XML
    with open(CAMERA_XML) as f:
        return f.read()


@pytest.fixture
def host(hooks):
    hooks.sim_add_hardware()
    yield {str(i.GetName()): i for i in hooks.sim_interfaces()}
    hooks.sim_remove_hardware()


def test_factory(m, k, host, device):
    raises(TypeError, CREATE_OVERLOAD, m.TqDevice_CreateAndConnect)
    raises(TypeError, CREATE_OVERLOAD, m.TqDevice_CreateAndConnect, 5)
    raises(TypeError, "TqDevice_CreateAndConnect expected at most 1 arguments, got 2\nAdditional information:\n" +
           CREATE_OVERLOAD, m.TqDevice_CreateAndConnect, None, 1)
    result, made = m.TqDevice_CreateAndConnect(None)
    assert result.GetCode() == m.TQ_INVALID_PARAMETER and result.thisown and made is None
    usb = host["USB3 host controller (simulated)"]
    assert k.TqDevice.CreateAndConnect(usb.GetDeviceInfo(1))[0].GetCode() == m.TQ_NOT_SUPPORTED
    # Nothing answers for the simulated GigE Vision record; the communication settings of the new
    # device apply from its first command.
    gev = host["lo"].GetDeviceInfo(0)
    result, made = k.TqDevice.CreateAndConnect(gev)
    assert result.GetCode() == m.TQ_NOT_FOUND and made is None
    # The text form: an empty text names nothing.
    assert k.TqDevice.CreateAndConnect("")[0].GetCode() == m.TQ_INVALID_PARAMETER
    assert m.TqDevice_Free(None) is None and m.delete_TqDevice(None) is None
    assert "Free" in dir(k.TqDevice) and "CreateAndConnect" in dir(k.TqDevice)
    assert not hasattr(m, "new_TqDevice") and not hasattr(m, "TqDevice_swiginit")


def test_self_and_overloads(m, hooks, device):
    zelvra = hooks.make_pointer("_p_TqDeviceZelvraProtocol", 0x1000)
    raises(TypeError, arg("TqDevice_Disconnect", 1, "TqDevice *"), m.TqDevice_Disconnect, zelvra)
    raises(TypeError, arg("TqDevice_Free", 1, "TqDevice *"), m.TqDevice_Free, zelvra)
    raises(TypeError, arg("TqDevice_IsConnected", 1, "TqDevice const *"), m.TqDevice_IsConnected, None)
    stream_overload = ("Wrong number or type of arguments for overloaded function 'TqDevice_StreamEnable'.\n"
                       "  Possible C/C++ prototypes are:\n    TqDevice::StreamEnable(uint32_t)\n"
                       "    TqDevice::StreamEnable()\n")
    for bad in (-1, "1"):
        raises(TypeError, stream_overload, m.TqDevice_StreamEnable, device, bad)
    assert m.TqDevice_StreamEnable(device).GetCode() == m.TQ_NOT_CONNECTED
    assert m.TqDevice_StreamDisable(device, 1).GetCode() == m.TQ_NOT_CONNECTED
    assert m.TqDevice_Connect(device, None).GetCode() == m.TQ_INVALID_PARAMETER
    assert m.TqDevice_Connect(device, "").GetCode() == m.TQ_INVALID_PARAMETER
    raises(TypeError, arg("TqDevice_RegisterEventSink", 2, "TqDeviceEventSink *"), m.TqDevice_RegisterEventSink,
           device, device)


@pytest.mark.allocation
def test_memory_arguments(m, device):
    raises(TypeError, "Int dimension expected.  'float' given.", m.TqDevice_ReadMemory, device, 0, 4.0)
    raises(ValueError, "negative dimensions are not allowed", m.TqDevice_ReadMemory, device, 0, -4)
    raises(OverflowError, arg("TqDevice_ReadMemory", 3, "int64_t"), m.TqDevice_ReadMemory, device, 0, 2**31)
    raises(OverflowError, arg("TqDevice_ReadMemory", 2, "int64_t"), m.TqDevice_ReadMemory, device, 2**63, 4)
    result, data = m.TqDevice_ReadMemory(device, 0, 4)
    assert result.GetCode() == m.TQ_NOT_CONNECTED
    assert data.dtype == np.uint8 and data.shape == (4,) and not data.any()
    raises(TypeError, "Array must have 1 dimensions.  Given array has 2 dimensions", m.TqDevice_WriteMemory, device, 0,
           [[1, 2], [3, 4]])
    assert m.TqDevice_WriteMemory(device, 0, [1, 2, 3, 4]).GetCode() == m.TQ_NOT_CONNECTED


def test_settings_priorities_and_sinks(m, k, hooks, device, camera_xml):
    result, text = m.TqDevice_GetUniqueID(device)
    assert result.GetCode() == m.TQ_NOT_CONNECTED and text is None
    before = sys.getrefcount(None)
    for _ in range(1000):
        m.TqDevice_GetUniqueID(device)
    assert abs(sys.getrefcount(None) - before) < 10   # None is never released for good
    assert m.TqDevice_GetDefaultGenICamXMLFilename(device)[1] is None and device.GetPayloadSize() == 0
    assert device.SetHeartbeatThreadPriority(99).GetCode() == m.TQ_OK and device.GetHeartbeatThreadPriority() == 99
    assert device.SetInterruptQueueThreadPriority(100).GetCode() == m.TQ_INVALID_PARAMETER
    raises(OverflowError, arg("TqDevice_SetHeartbeatThreadPriority", 2, "uint32_t"),
           m.TqDevice_SetHeartbeatThreadPriority, device, -1)
    settings = device.GetCommunicationParameters()
    assert settings.GetIntegerValue("AnswerTimeout")[1] == 200 and settings.GetIntegerValue("CommandRetryCount")[1] == 3
    assert settings.SetIntegerValue("AnswerTimeout", 20).GetCode() == m.TQ_OK
    assert settings.GetIntegerValue("AnswerTimeout")[1] == 20
    assert settings.SetIntegerValue("AnswerTimeout", 5).GetCode() != m.TQ_OK   # below its minimum
    # Sinks: any TqDeviceEventSink, the adapter included; once each.
    adapter = k.TqDeviceAdapter(device)
    assert device.RegisterEventSink(None).GetCode() == m.TQ_INVALID_PARAMETER
    assert device.UnregisterEventSink(adapter).GetCode() == m.TQ_NOT_FOUND
    assert device.RegisterEventSink(adapter).GetCode() == m.TQ_OK
    assert device.RegisterEventSink(adapter).GetCode() == m.TQ_GENERIC_ERROR
    # A registered sink lives while it is registered.
    alive = weakref.ref(adapter)
    del adapter
    gc.collect()
    assert alive() is not None
    assert device.UnregisterEventSink(alive()).GetCode() == m.TQ_OK
    gc.collect()
    assert alive() is None
