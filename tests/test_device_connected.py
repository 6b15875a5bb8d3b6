"""Connected devices: software GigE Vision devices found and connected by every key, memory and
description round trips, parameters over the control channel, stream locking, link loss, connect
cycles that leave nothing behind, simulated kinds, and aravis's fake camera as an independent
device."""

import os

import numpy as np
import pytest

from conftest import keeps_counts, raises, ticks_during, until

MANUFACTURER = 0x0048
USER_NAME = 0x00E8
TL_PARAMS_LOCKED = 0x30000028


@pytest.fixture
def system(k):
    system = k.TqSystem()
    system.SetDetectionTimeout(300)
    return system


@pytest.fixture
def camera(hooks, soft_devices):
    handle = soft_devices(address="127.0.0.2", manufacturer="Kivo Sim", model="Loop Camera", serial="LC0001",
                          user_name="cam-a", mac="02:4b:49:30:00:0a")
    return handle


def found(system, model):
    system.Find()
    return [system.GetDeviceInfo(i) for i in range(system.GetDeviceCount())
            if str(system.GetDeviceInfo(i).GetModelName()) == model]


def test_found_and_connected_by_every_key(m, k, system, camera):
    (record,) = found(system, "Loop Camera")
    assert type(record) is k.TqDeviceInfoGEV
    assert (str(record.GetIPAddress()), str(record.GetMACAddress()), str(record.GetUserDefinedName())) == \
        ("127.0.0.2", "02:4b:49:30:00:0a", "cam-a")
    for key in ("02:4B:49:30:00:0A", "127.0.0.2", "cam-a"):
        assert system.FindDevice(key, None).GetCode() == m.TQ_OK, key
    for how in (record, "127.0.0.2", "02:4b:49:30:00:0a", "cam-a"):
        result, device = k.TqDevice.CreateAndConnect(how)
        assert result.GetCode() == m.TQ_OK, (how, str(result.GetDescription()))
        assert type(device) is k.TqDeviceGEV and device.IsConnected() and not device.thisown
        assert device.GetUniqueID() == (device.GetUniqueID()[0], "gev:02:4b:49:30:00:0a")
        # Only one application controls the device.
        assert k.TqDevice.CreateAndConnect("127.0.0.2")[0].GetCode() != m.TQ_OK
        k.TqDevice.Free(device)
        raises(TypeError, "in method 'TqDevice_IsConnected', argument 1 of type 'TqDevice const *'",
               m.TqDevice_IsConnected, device)


def test_memory_description_and_parameters(m, k, hooks, tmp_path, camera):
    result, device = k.TqDevice.CreateAndConnect("127.0.0.2")
    assert result.GetCode() == m.TQ_OK, str(result.GetDescription())
    try:
        result, data = device.ReadMemory(MANUFACTURER, 32)
        assert result.GetCode() == m.TQ_OK and bytes(data).rstrip(b"\0") == b"Kivo Sim"
        name = np.frombuffer(b"renamed-camera\0\0", dtype=np.uint8)
        assert device.WriteMemory(USER_NAME, name).GetCode() == m.TQ_OK
        assert bytes(device.ReadMemory(USER_NAME, 16)[1]) == name.tobytes()
        assert device.ReadMemory(2, 4)[0].GetCode() == m.TQ_INVALID_PARAMETER
        # The description as stored, and the name its URL gives.
        assert device.GetDefaultGenICamXMLFilename() == (device.GetDefaultGenICamXMLFilename()[0], "kivo_device.xml")
        path = str(tmp_path / "dump.xml")
        assert device.DumpGenICamXML(path).GetCode() == m.TQ_OK
        with open(path) as f:
            assert f.read().rstrip("\0") == hooks.soft_device_xml(camera).rstrip("\0")
        parameters = device.GetParameters()
        assert parameters.GetIntegerValue("Width")[1] == 640 and parameters.GetIntegerValue("Height")[1] == 480
        assert device.GetPayloadSize() == 640 * 480
        assert parameters.SetIntegerValue("Width", 320).GetCode() == m.TQ_OK and device.GetPayloadSize() == 320 * 480
        assert parameters.GetFloatValue("AcquisitionFrameRate")[0].GetCode() == m.TQ_OK
        # Streaming locks the transport layer parameters of the channel.
        assert device.StreamEnable().GetCode() == m.TQ_OK
        assert hooks.soft_device_read(camera, TL_PARAMS_LOCKED) == (0, 1)
        assert device.StreamDisable(0).GetCode() == m.TQ_OK
        assert hooks.soft_device_read(camera, TL_PARAMS_LOCKED) == (0, 0)
        assert device.StreamEnable(1).GetCode() == m.TQ_INVALID_PARAMETER
        assert device.WaitForMessagingChannelIdle(100).GetCode() == m.TQ_OK
    finally:
        k.TqDevice.Free(device)


def test_link_loss(m, k, hooks, camera):
    result, device = k.TqDevice.CreateAndConnect("127.0.0.2")
    assert result.GetCode() == m.TQ_OK
    try:
        settings = device.GetCommunicationParameters()
        for name, value in (("AnswerTimeout", 20), ("CommandRetryCount", 0), ("HeartbeatInterval", 20),
                            ("HeartbeatMaxRetryCount", 1)):
            assert settings.SetIntegerValue(name, value).GetCode() == m.TQ_OK
        hooks.soft_device_link(camera, False)
        assert until(lambda: not device.IsConnected())
        assert device.ReadMemory(0, 4)[0].GetCode() == m.TQ_NOT_CONNECTED
    finally:
        hooks.soft_device_link(camera, True)
        k.TqDevice.Free(device)


def native_threads():
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


def test_connect_cycles_leave_nothing_behind(m, k, camera):
    k.TqDevice.Free(k.TqDevice.CreateAndConnect("127.0.0.2")[1])   # first use of the libraries
    before = native_threads()
    with keeps_counts():
        for _ in range(3):
            result, device = k.TqDevice.CreateAndConnect("127.0.0.2")
            assert result.GetCode() == m.TQ_OK
            device.GetParameters().GetIntegerValue("Width")
            assert device.Disconnect().GetCode() == m.TQ_OK and device.Disconnect().GetCode() == m.TQ_NOT_CONNECTED
            assert device.Connect("127.0.0.2").GetCode() == m.TQ_OK
            k.TqDevice.Free(device)
            del device, result
    assert native_threads() == before


def test_connect_releases_the_gil(m, k):
    (result, device), ticks = ticks_during(lambda: k.TqDevice.CreateAndConnect("127.1.2.3"))   # nobody there
    assert result.GetCode() == m.TQ_NOT_FOUND and device is None and ticks >= 5


def test_simulated_kinds(m, k, hooks):
    hooks.sim_add_hardware()
    try:
        interfaces = {str(i.GetName()): i for i in hooks.sim_interfaces()}
        u3v = interfaces["USB3 host controller (simulated)"].GetDeviceInfo(0)
        for how, kind in ((u3v, k.TqDeviceU3V), ("4b4956000417", k.TqDeviceU3V),
                          (interfaces["zel0"].GetDeviceInfo(0), k.TqDeviceZelvraProtocol),
                          (interfaces["sim-other"].GetDeviceInfo(0), k.TqDevice)):
            result, device = m.TqDevice_CreateAndConnect(how)
            assert result.GetCode() == m.TQ_OK and type(device) is kind, (how, str(result.GetDescription()))
            if kind is not k.TqDeviceZelvraProtocol:
                assert device.GetParameters().GetIntegerValue("Width")[1] == 640
                k.TqDevice.Free(device)
            else:
                # A proxy of this kind is refused where a TqDevice is taken (the stand-in's device is
                # one all the same, at the same address).
                raises(TypeError, "in method 'TqDevice_Free', argument 1 of type 'TqDevice *'", m.TqDevice_Free,
                       device)
                k.TqDevice.Free(hooks.make_pointer("_p_TqDevice", int(device.this)))
        assert k.TqDevice.CreateAndConnect("000000000000")[0].GetCode() == m.TQ_NOT_FOUND
    finally:
        hooks.sim_remove_hardware()


def test_aravis_fake_camera(m, k, system, aravis_fake_camera, tmp_path):
    (record,) = found(system, "Fake")
    assert record.GetGEVVersion() == 0   # version 0.0 is accepted
    for how in (record, "127.0.0.1"):
        result, device = k.TqDevice.CreateAndConnect(how)
        assert result.GetCode() == m.TQ_OK, str(result.GetDescription())
        try:
            assert device.GetDefaultGenICamXMLFilename()[1] == "arv-fake-camera.xml"
            result, data = device.ReadMemory(0x0048, 32)   # its manufacturer name
            assert result.GetCode() == m.TQ_OK and bytes(data).rstrip(b"\0") == b"Aravis"
            parameters = device.GetParameters()
            assert parameters.GetIntegerValue("Width")[1] == 512
            assert parameters.GetEnumValueString("PixelFormat")[1] == "Mono8"
            assert device.GetPayloadSize() == 262144
            assert parameters.GetFloatValue("AcquisitionFrameRate")[0].GetCode() == m.TQ_OK
            url = device.ReadMemory(0x0200, 512)[1]
            name, address, length = bytes(url).rstrip(b"\0").decode().split(";")
            xml = bytes(device.ReadMemory(int(address, 16), (int(length, 16) + 3) // 4 * 4)[1])[:int(length, 16)]
            dumped = str(tmp_path / "fake.xml")
            assert device.DumpGenICamXML(dumped).GetCode() == m.TQ_OK
            with open(dumped, "rb") as f:
                assert f.read().rstrip(b"\0") == xml.rstrip(b"\0")
        finally:
            k.TqDevice.Free(device)
