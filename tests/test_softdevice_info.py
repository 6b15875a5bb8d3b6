"""A running software device's identity, counters and messaging channel, as the application sets them
and as controllers see them: identity texts within their character limits on their registers (UTF-8,
cut at a character), the same bytes over READMEM, in the discovery acknowledge, in the DeviceXxx
features and to aravis; the XML header settable only while the device builds its description; the
counters of real GVCP traffic and presets near their limits; events with their IDs, blocks, channels
and data, retried for a controller that never acknowledges; and the rules of the wrappers' arguments."""

import contextlib
import socket
import struct
import subprocess
import xml.etree.ElementTree as ET

import pytest

from conftest import arg, clean_environment, raises, until
from gvcp_client import CCP, EVENT, EVENTDATA, HEARTBEAT, MCDA, MCP, MCRC, MCTT, WRITEMEM, Client, ip_value

LO = "00:00:00:00:00:00"
STATE_ERROR, INVALID = 28, 16385
READREG = 0x0080
TEXT_ERROR = "Argument %d: failed to create TqString from Python string"

# Each identity text: its name in the setter and getter, its register, the register's size (NUL
# included) and the feature a controller reads it by.
FIELDS = [
    ("ManufacturerName", 0x0048, 32, "DeviceVendorName"),
    ("ModelName", 0x0068, 32, "DeviceModelName"),
    ("DeviceVersion", 0x0088, 32, "DeviceVersion"),
    ("ManufacturerInformation", 0x00A8, 48, "DeviceManufacturerInfo"),
    ("SerialNumber", 0x00D8, 16, "DeviceSerialNumber"),
    ("DeviceFirmwareVersion", 0x3FFF0100, 32, "DeviceFirmwareVersion"),
]

COUNTERS = ["ReadMemsReceived", "WriteMemsReceived", "ReadRegsReceived", "WriteRegsReceived", "DiscoveriesReceived",
            "ActionCommandsReceived", "ForceIpsReceived", "PacketResendRequestsReceived", "PendingAcksIssued",
            "RetriesReceived", "RetriesReceivedMax", "EventsIssued", "EventDatasIssued", "EventRetriesIssued",
            "EventRetriesIssuedMax", "SessionsOpened", "SessionsClosed", "HeartbeatFailedCount",
            "GVSPTestPacketsIssued"]


@pytest.fixture
def running(k, hooks):
    """A started software device and the handle of its engine device."""
    device = k.TqSoftDeviceGEV()
    assert device.Start(LO).IsOK()
    yield device, hooks.soft_device_of(device)
    device.Stop()


def ip_of(hooks, handle):
    return hooks.soft_device_info(handle)["address"]


def register(hooks, handle, address, size):
    status, data = hooks.soft_device_read_memory(handle, address, size)
    assert status == 0
    return data


def held(text, size):
    """What a register of size bytes holds for text: its UTF-8 form up to the last whole character
    that leaves room for the NUL, then zeros."""
    data = b""
    for character in text:
        if len(data) + len(character.encode()) > size - 1:
            break
        data += character.encode()
    return data + b"\0" * (size - len(data))


def counts(statistics):
    return {name: getattr(statistics, "Get" + name)() for name in COUNTERS}


def arv_control(ip, feature):
    proc = subprocess.run(["arv-tool-0.8", "-a", ip, "control", feature], capture_output=True, text=True,
                          env=clean_environment(), timeout=60)
    return proc.stdout + proc.stderr


# ---- identity ----

def test_identity_limits_count_characters_and_the_register_is_cut_at_one(k, hooks, running):
    device, handle = running
    info = device.GetInfo()
    for name, address, size, _ in FIELDS:
        set_text, get_text = getattr(info, "Set" + name), getattr(info, "Get" + name)
        longest = size - 1
        text = (name + "-" * longest)[:longest]
        assert set_text(text).GetCode() == 0 and get_text() == text
        assert register(hooks, handle, address, size) == text.encode() + b"\0"
        # One character more: refused, and neither the text nor the register changes.
        assert set_text(text + "y").GetCode() == INVALID
        assert get_text() == text and register(hooks, handle, address, size) == text.encode() + b"\0"
        # Within the limit in characters, beyond the register in bytes: the getter keeps the text, the
        # register holds whole characters only.
        for wide in ("é" * longest, "a" + "€" * (longest - 1), "😀" * longest):
            assert set_text(wide).GetCode() == 0, (name, wide)
            assert get_text() == wide
            assert register(hooks, handle, address, size) == held(wide, size), (name, wide)
        assert set_text("").GetCode() == 0 and get_text() == ""
        assert register(hooks, handle, address, size) == b"\0" * size
    # A TqString is taken like a str; the getter gives a str.
    assert info.SetSerialNumber(k.TqString("SN-1")).GetCode() == 0
    assert type(info.GetSerialNumber()) is str and info.GetSerialNumber() == "SN-1"


def test_controllers_see_a_new_identity_at_once(m, k, hooks, running):
    device, handle = running
    info = device.GetInfo()
    ip = ip_of(hooks, handle)
    texts = {"ManufacturerName": "Fabrique Ünë", "ModelName": "Model31" + "x" * 24, "DeviceVersion": "v€2",
             "ManufacturerInformation": "ß" * 47, "SerialNumber": "S😀😀😀😀", "DeviceFirmwareVersion": "fw 1.2.3"}
    for name, text in texts.items():
        assert getattr(info, "Set" + name)(text).GetCode() == 0
    with contextlib.closing(Client(ip)) as client:
        for name, address, size, _ in FIELDS:
            status, data = client.read_mem(address, size)
            assert (status, data) == (0, held(texts[name], size)), name
        (_, payload), = client.discover()
        for name, address, size, _ in FIELDS:
            if address < len(payload):
                assert payload[address:address + size] == held(texts[name], size), name
    listed = [d for d in hooks.soft_devices() if d["address"] == ip]
    assert [(d["model"], d["serial"]) for d in listed] == [(texts["ModelName"], "S😀😀😀")]
    # aravis reads the model name; a text one character too long changes nothing.
    assert texts["ModelName"] in arv_control(ip, "DeviceModelName")
    assert m.ITqSoftDeviceGEVInfo_SetModelName(info, "Z" * 32).GetCode() == INVALID
    shown = arv_control(ip, "DeviceModelName")
    assert texts["ModelName"] in shown and "Z" * 32 not in shown
    # Our controller's features read the registers, also after a change while it is connected.
    result, connected = k.TqDevice.CreateAndConnect(ip)
    assert result.IsOK(), str(result.GetDescription())
    try:
        params = connected.GetParameters()
        for name, _, size, feature in FIELDS:
            expected = held(texts[name], size).rstrip(b"\0").decode()
            assert params.GetStringValue(feature)[1] == expected, feature
        assert info.SetModelName("Renamed").GetCode() == 0
        assert params.GetStringValue("DeviceModelName")[1] == "Renamed"
    finally:
        k.TqDevice.Free(connected)


def test_the_xml_header_is_set_while_the_device_builds_its_description(k, hooks):
    heard = {}
    product, version = "{0123abcd-4567-89ab-cdef-0123456789ab}", "FEDCBA98-7654-3210-FEDC-BA9876543210"

    class Sink(k.ITqSoftDeviceGEVEventSink):
        def OnCreateCustomRegisters(self, dev, factory):
            info = dev.GetInfo()
            heard["follow"] = (info.GetGenICamXMLRegDescModelName() == info.GetModelName(),
                               info.GetGenICamXMLRegDescVendorName() == info.GetManufacturerName())
            heard["sets"] = [
                info.SetGenICamXMLVersion(2, True, 65535).GetCode(),
                info.SetGenICamXMLGUIDs(product, version).GetCode(),
                info.SetManufacturerName('Maker & "Sons" <1>').GetCode(),
                info.SetGenICamXMLRegDescModelName("Modèle " + "m" * 24).GetCode(),
            ]
            heard["refused"] = [
                info.SetGenICamXMLRegDescModelName("m" * 32).GetCode(),
                info.SetGenICamXMLRegDescVendorName("v" * 32).GetCode(),
                info.SetGenICamXMLGUIDs("0123abcd-4567-89ab-cdef-0123456789a", version).GetCode(),
                info.SetGenICamXMLGUIDs(product, "FEDCBA98-7654-3210-FEDC-BA987654321G").GetCode(),
                info.SetGenICamXMLGUIDs("{" + version, version).GetCode(),
                info.SetGenICamXMLGUIDs(version.replace("-", ""), version).GetCode(),
            ]

    sink = Sink()
    device = k.TqSoftDeviceGEV()
    assert device.RegisterEventSink(sink).IsOK()
    assert device.Start(LO).IsOK()
    try:
        assert heard == {"follow": (True, True), "sets": [0] * 4, "refused": [INVALID] * 6}
        info = device.GetInfo()
        versions = (info.GetGenICamXMLVersionMajor(), info.GetGenICamXMLVersionMinor(),
                    info.GetGenICamXMLVersionSubMinor())
        assert versions == (2, 1, 65535)
        assert (info.GetGenICamXMLProductGUID(), info.GetGenICamXMLVersionGUID()) == (product[1:-1], version)
        assert info.GetGenICamXMLRegDescVendorName() == 'Maker & "Sons" <1>'   # follows the manufacturer
        # The description was built from them; from then on the version and GUIDs stay.
        root = ET.fromstring(device.GetGenICamXMLFile()[1].encode())
        assert {name: root.get(name) for name in ("ModelName", "VendorName", "MajorVersion", "MinorVersion",
                                                  "SubMinorVersion", "ProductGuid", "VersionGuid")} == {
            "ModelName": info.GetGenICamXMLRegDescModelName(), "VendorName": info.GetGenICamXMLRegDescVendorName(),
            "MajorVersion": "2", "MinorVersion": "1", "SubMinorVersion": "65535",
            "ProductGuid": info.GetGenICamXMLProductGUID(), "VersionGuid": info.GetGenICamXMLVersionGUID()}
        assert info.SetGenICamXMLVersion(3, 0, 0).GetCode() == STATE_ERROR
        assert info.SetGenICamXMLGUIDs(version, version).GetCode() == STATE_ERROR
        assert versions == (info.GetGenICamXMLVersionMajor(), info.GetGenICamXMLVersionMinor(),
                            info.GetGenICamXMLVersionSubMinor())
        assert info.GetGenICamXMLProductGUID() == product[1:-1]
        # A name set for the description no longer follows the model name.
        assert info.SetModelName("Other").GetCode() == 0
        assert info.GetGenICamXMLRegDescModelName() == "Modèle " + "m" * 24
    finally:
        device.Stop()


def test_the_info_wrappers_convert_as_declared(m, running):
    device, _ = running
    info = device.GetInfo()
    version = "ITqSoftDeviceGEVInfo_SetGenICamXMLVersion"
    setter = getattr(m, version)
    raises(OverflowError, arg(version, 4, "uint16_t"), setter, info, 1, 0, 65536)
    raises(OverflowError, arg(version, 4, "uint16_t"), setter, info, 1, 0, -1)
    raises(TypeError, arg(version, 2, "uint16_t"), setter, info, 1.0, 0, 0)
    raises(TypeError, version + " expected 4 arguments, got 3", setter, info, 1, 0)
    guids = m.ITqSoftDeviceGEVInfo_SetGenICamXMLGUIDs
    raises(TypeError, TEXT_ERROR % 2, guids, info, None, None)   # the product GUID first
    raises(TypeError, TEXT_ERROR % 3, guids, info, "x", 5)
    raises(TypeError, TEXT_ERROR % 2, m.ITqSoftDeviceGEVInfo_SetModelName, info, None)
    for name, decl in [("ITqSoftDeviceGEVInfo_GetGenICamXMLVersionMajor", "ITqSoftDeviceGEVInfo const *"),
                       ("ITqSoftDeviceGEVInfo_GetModelName", "ITqSoftDeviceGEVInfo *"),
                       ("ITqSoftDeviceGEVInfo_GetGenICamXMLProductGUID", "ITqSoftDeviceGEVInfo *"),
                       ("ITqSoftDeviceGEVStatistics_GetReadMemsReceived", "ITqSoftDeviceGEVStatistics const *"),
                       ("ITqSoftDeviceGEVStatistics_Reset", "ITqSoftDeviceGEVStatistics *"),
                       ("ITqMessageChannel_IsOpened", "ITqMessageChannel *")]:
        raises(TypeError, arg(name, 1, decl), getattr(m, name), None)
        raises(TypeError, arg(name, 1, decl), getattr(m, name), device.GetRegisterMap())
    raises(TypeError, arg("ITqSoftDeviceGEVInfo_SetSerialNumber", 1, "ITqSoftDeviceGEVInfo *"),
           m.ITqSoftDeviceGEVInfo_SetSerialNumber, device.GetStatistics(), "x")
    assert m.ITqSoftDeviceGEVStatistics_Reset(device.GetStatistics()) is None


# ---- counters ----

def test_counters_of_real_traffic_and_their_presets(k, hooks, running):
    device, handle = running
    statistics = device.GetStatistics()
    statistics.Reset()
    assert counts(statistics) == dict.fromkeys(COUNTERS, 0)
    with contextlib.closing(Client(ip_of(hooks, handle))) as client:
        assert client.write_reg(CCP, 2) == 0
        for n in range(3):
            assert client.command(WRITEMEM, struct.pack(">I4s", 0x00E8, b"u%d\0\0" % n))[0] == 0
        assert statistics.GetWriteMemsReceived() == 3 and statistics.GetWriteRegsReceived() == 1
        # The same request ID again: its command once more, and a retry.
        request = client.send(READREG, struct.pack(">I", CCP))
        client.sock.sendto(struct.pack(">BBHHHI", 0x42, 1, READREG, 4, request, CCP), (client.device, 3956))
        for _ in range(2):
            assert client.receive(request)[0] == 0
        assert (statistics.GetReadRegsReceived(), statistics.GetRetriesReceived(),
                statistics.GetRetriesReceivedMax()) == (2, 1, 1)
        # The controller stops its heartbeat: its session ends as failed.
        assert client.write_reg(HEARTBEAT, 500) == 0
        assert until(lambda: statistics.GetHeartbeatFailedCount() == 1)
        assert (statistics.GetSessionsOpened(), statistics.GetSessionsClosed()) == (1, 1)
    assert statistics.GetPendingAcksIssued() == 0
    # Counts near the limits read back whole, never negative; Reset zeroes all, maxima included.
    presets = {"read_mems": 2**31, "write_mems": 2**64 - 1, "retries_max": 2**32, "event_retries_max": 2**64 - 2}
    hooks.soft_device_preset_statistics(handle, presets)
    assert (statistics.GetReadMemsReceived(), statistics.GetWriteMemsReceived(), statistics.GetRetriesReceivedMax(),
            statistics.GetEventRetriesIssuedMax()) == (2**31, 2**64 - 1, 2**32, 2**64 - 2)
    statistics.Reset()
    assert counts(statistics) == dict.fromkeys(COUNTERS, 0)
    # A restart starts from zero.
    hooks.soft_device_preset_statistics(handle, {"discoveries": 5})
    assert device.Stop().IsOK() and device.Start(LO).IsOK()
    assert counts(device.GetStatistics()) == dict.fromkeys(COUNTERS, 0)


# ---- messaging channel ----

def fired(events):
    """(command, request, event ID, stream channel, block ID, data) of the next event command."""
    packet, source = events.recvfrom(2048)
    _, _, command, length, request = struct.unpack(">BBHHH", packet[:8])
    assert length == len(packet) - 8
    _, event_id, channel, block = struct.unpack(">HHHH", packet[8:16])
    return (command, request, event_id, channel, block, packet[24:]), source


def acknowledge(events, event, source):
    events.sendto(struct.pack(">HHHH", 0, event[0] + 1, 0, event[1]), source)


def test_events_reach_a_controller_intact_and_are_retried(m, hooks, running):
    device, handle = running
    channel, statistics = device.GetMessagingChannel(), device.GetStatistics()
    fire = m.ITqMessageChannel_FireEvent
    data = bytes(range(8))
    forms = [(0x9000,), (0x9000, 5), (0x9000, 5, 0), (0x9000, data), (0x9000, data, 7), (0x9000, data, 7, 1)]
    assert channel.IsOpened() is False
    assert [fire(channel, *form).GetCode() for form in forms] == [STATE_ERROR] * 6
    events = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    events.bind(("127.0.0.1", 0))
    events.settimeout(10)
    with contextlib.closing(events), contextlib.closing(Client(ip_of(hooks, handle))) as client:
        for address, value in [(CCP, 2), (MCDA, ip_value("127.0.0.1")), (MCTT, 10000), (MCRC, 2)]:
            assert client.write_reg(address, value) == 0
        assert channel.IsOpened() is False   # no port yet
        assert client.write_reg(MCP, events.getsockname()[1]) == 0
        assert channel.IsOpened() is True
        statistics.Reset()
        largest = bytes(range(256)) * 2 + b"\xff" * 12
        sent = [((0x9005, data, 0xFFFF, 2), (EVENTDATA, 0x9005, 2, 0xFFFF, data)),
                ((0x9006, 9, 3), (EVENT, 0x9006, 3, 9, b"")),
                ((0x9007,), (EVENT, 0x9007, 0xFFFF, 0, b"")),
                ((0x9008, largest), (EVENTDATA, 0x9008, 0xFFFF, 0, largest))]
        for args, expected in sent:
            assert fire(channel, *args).GetCode() == 0
            event, source = fired(events)
            assert (event[0],) + event[2:] == expected
            acknowledge(events, event, source)
        assert hooks.soft_device_wait_events(handle, 5000)
        assert (statistics.GetEventsIssued(), statistics.GetEventDatasIssued(), statistics.GetEventRetriesIssued()) == (
            2, 2, 0)
        # Data the event cannot carry.
        for args in [(0x9000, b"abc"), (0x9000, b""), (0x9000, largest + b"1234")]:
            assert fire(channel, *args).GetCode() == INVALID, args
        # Any block ID: without extended IDs the event carries its low 16 bits, as a block ID wraps.
        for args, expected in [((0x900A, 0x10005), (EVENT, 0x900A, 0xFFFF, 5, b"")),
                               ((0x900B, data, 2**64 - 1, 0), (EVENTDATA, 0x900B, 0, 0xFFFF, data))]:
            assert fire(channel, *args).GetCode() == 0, args
            event, source = fired(events)
            assert (event[0],) + event[2:] == expected
            acknowledge(events, event, source)
        assert hooks.soft_device_wait_events(handle, 5000)
        # A controller that never acknowledges gets the command MCRC more times.
        assert client.write_reg(MCTT, 50) == 0 and client.write_reg(MCRC, 3) == 0
        assert fire(channel, 0x9009, b"\0\0\0\1").GetCode() == 0
        copies = [fired(events)[0] for _ in range(4)]
        assert len(set(copies)) == 1 and copies[0][2] == 0x9009
        assert hooks.soft_device_wait_events(handle, 5000)
        assert (statistics.GetEventDatasIssued(), statistics.GetEventRetriesIssued(),
                statistics.GetEventRetriesIssuedMax()) == (4, 3, 3)
        # The session ends: the channel closes.
        assert client.write_reg(CCP, 0) == 0
        assert channel.IsOpened() is False and fire(channel, 0x9000).GetCode() == STATE_ERROR


def test_a_connected_device_hears_the_event(m, k, hooks, running):
    device, handle = running
    heard = []

    class Sink(k.TqDeviceEventSink):
        def OnEvent(self, dev, event_id, channel, block, timestamp, data):
            heard.append((event_id, channel, block, bytes(data)))

    sink = Sink()
    result, connected = k.TqDevice.CreateAndConnect(ip_of(hooks, handle))
    assert result.IsOK(), str(result.GetDescription())
    try:
        assert type(connected) is k.TqDeviceGEV and connected.RegisterEventSink(sink).IsOK()
        channel = device.GetMessagingChannel()
        assert m.ITqMessageChannel_IsOpened(channel) is True
        assert m.ITqMessageChannel_FireEvent(channel, 0x9000, b"\x01\x02\x03\x04").GetCode() == 0
        assert until(lambda: heard)
        assert heard == [(0x9000, 0xFFFF, 0, b"\x01\x02\x03\x04")]
        assert device.GetStatistics().GetEventDatasIssued() == 1
        assert m.ITqMessageChannel_FireEvent(channel, 0x9000, b"abc").GetCode() == INVALID
        assert connected.UnregisterEventSink(sink).IsOK()
    finally:
        k.TqDevice.Free(connected)


def test_with_extended_ids_an_event_carries_the_whole_block_id(m, k, hooks, running):
    device, handle = running
    heard = []

    class Sink(k.TqDeviceEventSink):
        def OnEvent(self, dev, event_id, channel, block, timestamp, data):
            heard.append((event_id, block, bytes(data)))

    sink = Sink()
    result, connected = k.TqDevice.CreateAndConnect(ip_of(hooks, handle))
    assert result.IsOK(), str(result.GetDescription())
    try:
        assert connected.RegisterEventSink(sink).IsOK()
        channel = device.GetMessagingChannel()
        assert m.ITqMessageChannel_FireEvent(channel, 0x9000, 2**40 + 0x1234).GetCode() == 0
        assert until(lambda: len(heard) == 1)
        assert connected.GetParameters().SetEnumValue("GevGVSPExtendedIDMode", "On")[0].IsOK()
        assert m.ITqMessageChannel_FireEvent(channel, 0x9001, 2**40 + 0x1234).GetCode() == 0
        assert m.ITqMessageChannel_FireEvent(channel, 0x9002, b"\x01\x02\x03\x04", 2**64 - 1).GetCode() == 0
        assert until(lambda: len(heard) == 3)
        assert heard == [(0x9000, 0x1234, b""), (0x9001, 2**40 + 0x1234, b""), (0x9002, 2**64 - 1, b"\x01\x02\x03\x04")]
        assert connected.UnregisterEventSink(sink).IsOK()
    finally:
        k.TqDevice.Free(connected)


def test_fire_event_dispatcher(m, hooks, running):
    device, _ = running
    channel = device.GetMessagingChannel()   # closed: a form that is taken answers STATE_ERROR
    fire = m.ITqMessageChannel_FireEvent
    prototypes = ["(uint16_t,uint64_t,uint16_t)", "(uint16_t,uint64_t)", "(uint16_t)",
                  "(uint16_t,uint8_t *,uint32_t,uint64_t,uint16_t)", "(uint16_t,uint8_t *,uint32_t,uint64_t)",
                  "(uint16_t,uint8_t *,uint32_t)"]
    overload = ("Wrong number or type of arguments for overloaded function 'ITqMessageChannel_FireEvent'.\n"
                "  Possible C/C++ prototypes are:\n"
                + "".join("    ITqMessageChannel::FireEvent%s\n" % p for p in prototypes))

    class Data(bytes):
        pass

    taken = [((channel, True), STATE_ERROR), ((channel, 0x9000, 2**64 - 1), STATE_ERROR),
             ((channel, 0x9000, Data(b"abcd")), STATE_ERROR), ((channel, 0x9000, b"abc", 0, 0), INVALID)]
    for args, code in taken:
        assert fire(*args).GetCode() == code, args
    for args in [(channel,), (channel, 65536), (channel, -1), (channel, 0x9000, -1), (channel, 0x9000, 2**64),
                 (channel, 0x9000, bytearray(4)), (channel, 0x9000, memoryview(b"abcd")), (channel, 0x9000, "abcd"),
                 (channel, 0x9000, 5, 65536), (channel, 0x9000, b"abcd", 5, -1), (3, 0x9000), ()]:
        raises(TypeError, overload, fire, *args)
    for args in [(None, 0x9000), (None, 0x9000, b"abcd", 1, 2)]:
        raises(TypeError, arg("ITqMessageChannel_FireEvent", 1, "ITqMessageChannel *"), fire, *args)
    raises(TypeError, "ITqMessageChannel_FireEvent expected at most 5 arguments, got 7\nAdditional information:\n"
           + overload, fire, channel, 1, b"abcd", 2, 3, 4, 5)
    # Bytes too long for the length parameter are the call's OverflowError, never a reason to try
    # another form (shown on a probe whose length has 8 bits).
    probe = hooks.probe_short_bytes_or_block
    assert (probe(1, b"x" * 255), probe(1, 7)) == (255, 7)
    raises(OverflowError, arg("probe_short_bytes_or_block", 3, "uint8_t"), probe, 1, b"x" * 256)
