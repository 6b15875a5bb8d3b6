"""The device kinds: GigE Vision access types with two controllers, stream destinations, packet
sizes and their negotiation, registers, the static operations on a device known by its address;
USB3 Vision devices by record and GUID; the maker's protocol's IP configuration and its release.
Defaults are checked in the log of what the stand-in received."""

import gc

import pytest

from conftest import arg, keeps_counts, raises

SCDA, SCP, SCPS, CCP = 0x0D18, 0x0D00, 0x0D04, 0x0A00
USER_NAME = 0x00E8
CONNECT_OVERLOAD = ("Wrong number or type of arguments for overloaded function 'TqDeviceGEV_Connect'.\n"
                    "  Possible C/C++ prototypes are:\n"
                    "    TqDeviceGEV::Connect(TqDeviceInfo const *)\n"
                    "    TqDeviceGEV::Connect(TqDeviceInfo const *,TqAccessType)\n"
                    "    TqDeviceGEV::Connect(TqString const &)\n"
                    "    TqDeviceGEV::Connect(TqString const &,TqAccessType)\n")


@pytest.fixture
def camera(soft_devices):
    return soft_devices(address="127.0.0.2", manufacturer="Kivo Sim", model="Kind Camera", mac="02:4b:49:50:00:01")


@pytest.fixture
def gev(k):
    """A GigE Vision device of Python's own, disconnected at the end."""
    made = []

    def make():
        device = k.TqDeviceGEV()
        made.append(device)
        return device

    yield make
    for device in made:
        device.Disconnect()


def overloaded(function, *args):
    """The call ends in the overload TypeError of its function."""
    with pytest.raises(TypeError) as info:
        function(*args)
    assert str(info.value).startswith("Wrong number or type of arguments for overloaded function '%s'.\n"
                                      % function.__name__), str(info.value)


def test_access_types_and_two_controllers(m, k, hooks, camera, gev):
    first, second = gev(), gev()
    assert (first.GetClass(), str(first.GetIPAddress()), str(first.GetMACAddress()), first.GetAccessType()) == \
        (m.TqDeviceClassTransmitter, "", "", m.TqAccessUnknown)
    assert first.Connect("127.0.0.2", m.TqAccessControl).GetCode() == m.TQ_OK
    assert (first.GetAccessType(), str(first.GetIPAddress()), str(first.GetMACAddress())) == \
        (m.TqAccessControl, "127.0.0.2", "02:4b:49:50:00:01")
    assert hooks.soft_device_read(camera, CCP)[1] & 0x3 == 2
    assert m.TqDeviceGEV_GetAccessType("127.0.0.2")[1] == m.TqAccessControl
    # A second controller is refused; one that only reads is not, and cannot write.
    assert second.Connect("127.0.0.2", m.TqAccessControl).GetCode() != m.TQ_OK
    assert second.Connect("127.0.0.2", m.TqAccessReadOnly).GetCode() == m.TQ_OK
    assert second.ReadRegister(0x0048)[0].GetCode() == m.TQ_OK
    assert second.WriteRegister(USER_NAME, 1).GetCode() != m.TQ_OK
    second.Disconnect()
    first.Disconnect()
    # Exclusive keeps the others from reading; Open lets them take over.
    assert first.Connect("127.0.0.2", m.TqAccessExclusive).GetCode() == m.TQ_OK
    assert m.TqDeviceGEV_GetAccessType("127.0.0.2")[1] == m.TqAccessExclusive
    assert second.Connect("127.0.0.2", m.TqAccessReadOnly).GetCode() != m.TQ_OK
    first.Disconnect()
    assert first.Connect("127.0.0.2", m.TqAccessOpen).GetCode() == m.TQ_OK
    assert m.TqDeviceGEV_GetAccessType("127.0.0.2")[1] == m.TqAccessOpen
    # Nobody at an address: Unknown with a failing result.
    result, access = m.TqDeviceGEV_GetAccessType("127.1.2.3")
    assert result.GetCode() != m.TQ_OK and access == m.TqAccessUnknown


def test_channel_registers_and_packet_sizes(m, hooks, soft_devices, camera, gev):
    device = gev()
    assert device.SetStreamDestination("127.0.0.1", 4000).GetCode() == m.TQ_NOT_CONNECTED
    assert device.Connect("127.0.0.2").GetCode() == m.TQ_OK
    assert hooks.call_log("TqDeviceGEV::Connect") == "127.0.0.2,2"   # the one-argument form uses Control
    assert device.SetStreamDestination("127.0.0.1", 4000).GetCode() == m.TQ_OK
    assert hooks.call_log("TqDeviceGEV::SetStreamDestination") == "127.0.0.1,4000,0"
    assert (hooks.soft_device_read(camera, SCDA)[1], hooks.soft_device_read(camera, SCP)[1]) == (0x7F000001, 4000)
    assert device.ResetStreamDestination().GetCode() == m.TQ_OK
    assert hooks.call_log("TqDeviceGEV::ResetStreamDestination") == "0"
    assert (hooks.soft_device_read(camera, SCDA)[1], hooks.soft_device_read(camera, SCP)[1]) == (0, 0)
    assert device.SetStreamDestination("127.0.0.1", 4000, 1).GetCode() == m.TQ_GENERIC_ERROR   # one channel only
    assert device.SetPacketSize(1476).GetCode() == m.TQ_OK and hooks.call_log("TqDeviceGEV::SetPacketSize") == "1476,0"
    assert hooks.soft_device_read(camera, SCPS)[1] & 0xFFFF == 1476
    # Negotiation: the largest test packet that arrives on loopback, and the destination reset.
    assert device.NegotiatePacketSize().GetCode() == m.TQ_OK
    assert hooks.call_log("TqDeviceGEV::NegotiatePacketSize") == "0,0"
    assert hooks.soft_device_read(camera, SCPS)[1] & 0xFFFF == 8976
    assert hooks.soft_device_read(camera, SCDA)[1] == 0
    small = soft_devices(address="127.0.0.3", mac="02:4b:49:50:00:02", max_packet=1500)
    narrow = gev()
    assert narrow.Connect("127.0.0.3").GetCode() == m.TQ_OK
    assert narrow.NegotiatePacketSize(0, 1476).GetCode() == m.TQ_OK
    assert hooks.soft_device_read(small, SCPS)[1] & 0xFFFF == 1476
    # Registers, big-endian and unsigned.
    assert device.WriteRegister(USER_NAME, 0xFFFFFFFF).GetCode() == m.TQ_OK
    assert hooks.call_log("TqDeviceGEV::WriteRegister") == "%d,4294967295,true" % USER_NAME
    result, value = device.ReadRegister(USER_NAME)
    assert result.GetCode() == m.TQ_OK and value == 4294967295
    assert device.WriteRegister(USER_NAME, 0x4B495600, False).GetCode() == m.TQ_OK
    assert hooks.call_log("TqDeviceGEV::WriteRegister").endswith(",false")
    assert device.ReadRegister(2) == (device.ReadRegister(2)[0], None)


def test_messages_and_overloads(m, k, hooks, gev):
    device = gev()
    raises(TypeError, CONNECT_OVERLOAD, m.TqDeviceGEV_Connect, device)
    for bad in (5, b"127.0.0.2"):
        raises(TypeError, CONNECT_OVERLOAD, m.TqDeviceGEV_Connect, device, bad)
    raises(TypeError, CONNECT_OVERLOAD, m.TqDeviceGEV_Connect, device, k.TqDeviceInfoGEV(), 2.0)
    # None passes both the record and the text check; 2.0 then fits neither form.
    raises(TypeError, CONNECT_OVERLOAD, m.TqDeviceGEV_Connect, device, None, 2.0)
    raises(TypeError, "TqDeviceGEV_Connect expected at most 3 arguments, got 4\nAdditional information:\n" +
           CONNECT_OVERLOAD, m.TqDeviceGEV_Connect, device, None, 2, 3)
    raises(TypeError, arg("TqDeviceGEV_Connect", 1, "TqDeviceGEV *"), m.TqDeviceGEV_Connect, None, "127.0.0.2")
    plain, _ = hooks.make_device(open(__import__("conftest").CAMERA_XML).read())
    try:
        raises(TypeError, CONNECT_OVERLOAD, m.TqDeviceGEV_Connect, plain, "127.0.0.2")   # a plain TqDevice
        raises(TypeError, arg("TqDeviceGEV_GetClass", 1, "TqDeviceGEV const *"), m.TqDeviceGEV_GetClass, plain)
    finally:
        hooks.free_device(plain)
    # None takes the record form; True passes 1.
    assert device.Connect(None).GetCode() == m.TQ_INVALID_PARAMETER
    assert hooks.call_log("TqDeviceGEV::Connect") == "null,2"
    device.Connect(None, True)
    assert hooks.call_log("TqDeviceGEV::Connect") == "null,1"
    for bad in (65536, -1):
        overloaded(m.TqDeviceGEV_SetStreamDestination, device, "127.0.0.1", bad)
    raises(TypeError, "Argument 2: failed to create TqString from Python string", m.TqDeviceGEV_SetStreamDestination,
           device, None, 4000)
    overloaded(m.TqDeviceGEV_WriteRegister, device, 0, 1, 1)
    overloaded(m.TqDeviceGEV_WriteRegister, device, 0, 2**32)
    raises(OverflowError, arg("TqDeviceGEV_ReadRegister", 2, "int64_t"), m.TqDeviceGEV_ReadRegister, device, 2**63)
    raises(TypeError, arg("TqDeviceGEV_ReadRegister", 2, "int64_t"), m.TqDeviceGEV_ReadRegister, device, "0")
    raises(TypeError, "TqDeviceGEV_ReadRegister expected 2 arguments, got 3", m.TqDeviceGEV_ReadRegister, device, 0, 1)
    raises(TypeError, arg("TqDeviceGEV_GetAccessType", 1, "TqDeviceGEV const *"), m.TqDeviceGEV_GetAccessType, None)
    access_overload = ("Wrong number or type of arguments for overloaded function 'TqDeviceGEV_GetAccessType'.\n"
                       "  Possible C/C++ prototypes are:\n    TqDeviceGEV::GetAccessType() const\n"
                       "    TqDeviceGEV::GetAccessType(TqString const &,TqAccessType &)\n"
                       "    TqDeviceGEV::GetAccessType(TqString const &)\n")
    raises(TypeError, access_overload, m.TqDeviceGEV_GetAccessType, "127.0.0.2", None)
    raises(TypeError, access_overload, m.TqDeviceGEV_GetAccessType, 5, hooks.make_pointer("_p_TqAccessType", 8))
    # The documented two-item form writes through the pointer it is given and returns the result.
    target = __import__("numpy").zeros(1, dtype="int32")
    pointer = hooks.make_pointer("_p_TqAccessType", target.ctypes.data)
    result = m.TqDeviceGEV_GetAccessType("127.1.2.3", pointer)
    assert isinstance(result, k.TqResult) and target[0] == m.TqAccessUnknown
    # Static IP configuration: defaults and messages.
    m.TqDeviceGEV_SetIPConfiguration("02:4b:49:00:99:99", "127.0.0.9")
    assert hooks.call_log("TqDeviceGEV::SetIPConfiguration") == "02:4b:49:00:99:99,127.0.0.9,255.255.255.0,0.0.0.0"
    m.TqDeviceGEV_SetIPConfiguration("02:4b:49:00:99:99", "127.0.0.9", "255.0.0.0")
    assert hooks.call_log("TqDeviceGEV::SetIPConfiguration").endswith(",255.0.0.0,0.0.0.0")
    raises(TypeError, "Argument 4: failed to create TqString from Python string", m.TqDeviceGEV_SetIPConfiguration,
           "a", "b", "c", None)
    overloaded(m.TqDeviceGEV_SetIPConfiguration, "a")
    assert m.TqDeviceGEV_SetIPConfiguration("02:4b:49:00:99:99", "10.0.0.9").GetCode() == m.TQ_INVALID_PARAMETER
    assert m.delete_TqDeviceGEV(None) is None and m.new_TqDeviceGEV.__doc__ == "Constructor."


def test_force_ip_moves_a_device(m, k, hooks, soft_devices, gev):
    handle = soft_devices(address="127.0.0.4", model="Movable", mac="02:4b:49:50:00:04")
    controller = gev()
    assert controller.Connect("127.0.0.4").GetCode() == m.TQ_OK
    assert k.TqDeviceGEV.SetIPConfiguration("02:4b:49:50:00:04", "127.0.0.44").GetCode() == m.TQ_INVALID_PARAMETER
    controller.Disconnect()
    assert k.TqDeviceGEV.SetIPConfiguration("02:4B:49:50:00:04", "127.0.0.44").GetCode() == m.TQ_OK
    assert hooks.soft_device_info(handle)["address"] == "127.0.0.44"
    system = k.TqSystem()
    system.SetDetectionTimeout(300)
    system.Find()
    moved = [system.GetDeviceInfo(i) for i in range(system.GetDeviceCount())
             if str(system.GetDeviceInfo(i).GetModelName()) == "Movable"]
    assert [str(r.GetIPAddress()) for r in moved] == ["127.0.0.44"]
    assert k.TqDeviceGEV.SetIPConfiguration("02:4b:49:50:99:99", "127.0.0.45").GetCode() == m.TQ_INVALID_PARAMETER


def test_usb3_vision(m, k, hooks):
    hooks.sim_add_hardware()
    try:
        interfaces = {str(i.GetName()): i for i in hooks.sim_interfaces()}
        record = interfaces["USB3 host controller (simulated)"].GetDeviceInfo(0)
        with keeps_counts():
            device = k.TqDeviceU3V()
            assert str(device.GetGUID()) == "" and device.thisown
            assert device.Connect("00000000BEEF").GetCode() == m.TQ_NOT_FOUND
            assert device.Connect(interfaces["lo"].GetDeviceInfo(0)).GetCode() == m.TQ_INVALID_PARAMETER
            assert device.Connect(record).GetCode() == m.TQ_OK and str(device.GetGUID()) == "4B4956000417"
            assert device.GetParameters().GetIntegerValue("Width")[1] == 640 and device.GetPayloadSize() == 640 * 480
            assert device.ReadMemory(0x0048, 8)[0].GetCode() == m.TQ_OK
            assert device.Disconnect().GetCode() == m.TQ_OK and str(device.GetGUID()) == ""
            assert device.Connect("4b4956000417").GetCode() == m.TQ_OK
            device.Disconnect()
            del device
        # A description that no longer holds together.
        hooks.sim_device_xml("4B4956000417", "<RegisterDescription><Integer Name='Width'/>")
        assert k.TqDevice.CreateAndConnect(record)[0].GetCode() == m.TQ_GENICAM_XML_ERROR
        overload = ("Wrong number or type of arguments for overloaded function 'TqDeviceU3V_Connect'.\n"
                    "  Possible C/C++ prototypes are:\n    TqDeviceU3V::Connect(TqString const &)\n"
                    "    TqDeviceU3V::Connect(TqDeviceInfo const *)\n")
        device = k.TqDeviceU3V()
        raises(TypeError, overload, m.TqDeviceU3V_Connect, device, 5)
        raises(TypeError, overload, m.TqDeviceU3V_Connect, device)
        raises(TypeError, "TqDeviceU3V_Connect expected at most 2 arguments, got 3\nAdditional information:\n" + overload,
               m.TqDeviceU3V_Connect, device, "a", "b")
        raises(TypeError, overload, m.TqDeviceU3V_Connect, k.TqDeviceGEV(), "4B4956000417")
        raises(TypeError, arg("TqDeviceU3V_GetGUID", 1, "TqDeviceU3V const *"), m.TqDeviceU3V_GetGUID, None)
        assert m.TqDeviceU3V_Connect(device, None).GetCode() == m.TQ_INVALID_PARAMETER
    finally:
        hooks.sim_remove_hardware()


def test_makers_protocol(m, k, hooks):
    hooks.sim_add_hardware()
    try:
        zel = {str(i.GetName()): i for i in hooks.sim_interfaces()}["zel0"]
        assert k.TqDeviceZelvraProtocol.SetIPConfiguration("02:4B:49:56:10:C8", "192.168.50.77").GetCode() == m.TQ_OK
        assert hooks.call_log("TqDeviceZelvraProtocol::SetIPConfiguration") == \
            "02:4B:49:56:10:C8,192.168.50.77,255.255.255.0,0.0.0.0"
        assert str(zel.GetDeviceInfo(0).GetIPAddress()) == "192.168.50.77"
        assert m.TqDeviceZelvraProtocol_SetIPConfiguration("02:00:00:00:00:01", "192.168.50.78").GetCode() == \
            m.TQ_INVALID_PARAMETER
        raises(TypeError, "Argument 1: failed to create TqString from Python string",
               m.TqDeviceZelvraProtocol_SetIPConfiguration, None, "1.2.3.4")
        overloaded(m.TqDeviceZelvraProtocol_SetIPConfiguration, 5, "1")
        with pytest.raises(TypeError, match="^TqDeviceZelvraProtocol_SetIPConfiguration expected at most 4 arguments, "
                                            "got 5\nAdditional information:\nWrong number"):
            m.TqDeviceZelvraProtocol_SetIPConfiguration("a", "b", "c", "d", "e")
        # Its one release takes the proxy CreateAndConnect handed out, once.
        with keeps_counts():
            result, device = k.TqDevice.CreateAndConnect(zel.GetDeviceInfo(0))
            assert result.GetCode() == m.TQ_OK and type(device) is k.TqDeviceZelvraProtocol and not device.thisown
            assert m.delete_TqDeviceZelvraProtocol(device) is None
            raises(TypeError, arg("delete_TqDeviceZelvraProtocol", 1, "TqDeviceZelvraProtocol *"),
                   m.delete_TqDeviceZelvraProtocol, device)
            del device, result
            gc.collect()
        assert m.delete_TqDeviceZelvraProtocol(None) is None
    finally:
        hooks.sim_remove_hardware()
