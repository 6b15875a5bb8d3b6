"""The link to a GigE Vision device: an outage that outlasts the device's heartbeat timeout is
reported everywhere at once (the device, a waiting stream retrieve, writes, one OnLinkDisconnected)
and a new connection streams again; a device that takes the privilege away ends the link at once;
the heartbeat follows the device's heartbeat timeout; the device's statuses become the result codes
named after them; a command that the device keeps pending for ever ends with TIMEOUT; and reading a
slow device's description ends at DescriptionTimeout, a zipped one is refused before it is read."""

import threading
import time

import numpy as np
import pytest

from conftest import until
from gvcp_client import HEARTBEAT, ScriptedDevice

CCP = 0x0A00
MANUFACTURER = 0x0048
WIDTH = 0x30000000
FEATURES_END = 0x30000040


@pytest.fixture
def camera(soft_devices):
    return soft_devices(address="127.0.0.2", model="Link Camera", mac="02:4b:49:70:00:01", width=64, height=48)


@pytest.fixture
def connect(k):
    """Connects to the camera like CreateAndConnect; frees every device at the end."""
    made = []

    def make(key="127.0.0.2"):
        result, device = k.TqDevice.CreateAndConnect(key)
        assert result.IsOK(), str(result.GetDescription())
        made.append(device)
        return device

    yield make
    for device in made:
        k.TqDevice.Free(device)


def loss_sink(k, stream):
    """An event sink that records, for each OnLinkDisconnected, whether the device and a stream
    opened for it already knew of the loss."""
    class Sink(k.TqDeviceEventSink):
        def OnLinkDisconnected(self, device):
            self.calls.append((device.IsConnected(), stream.RetrieveBuffer(0)[0].GetCode() if stream else None))

    sink = Sink()
    sink.calls = []
    return sink


def test_an_outage_is_reported_everywhere_and_a_new_connection_streams(m, k, hooks, camera, connect):
    device = connect()
    result, stream = k.TqStream.CreateAndOpen("127.0.0.2")
    assert result.IsOK(), str(result.GetDescription())
    sink = loss_sink(k, stream)
    assert device.RegisterEventSink(sink).IsOK()
    waited = []
    waiting = threading.Thread(target=lambda: waited.append(stream.RetrieveBuffer(120000)))
    try:
        waiting.start()
        hooks.soft_device_link(camera, False)
        unplugged = time.monotonic()
        assert until(lambda: sink.calls, 30)
        # The device dropped the controller after its 3 s; the link is down for 5 s in all.
        time.sleep(max(0.0, 5.0 - (time.monotonic() - unplugged)))
        hooks.soft_device_link(camera, True)
        waiting.join(60)
        assert not waiting.is_alive()
        (result, buffer, _), = waited
        assert result.GetCode() == m.TQ_NOT_CONNECTED and buffer is None
        assert sink.calls == [(False, m.TQ_NOT_CONNECTED)]   # told once, after the device and the stream knew
        assert not device.IsConnected()
        assert stream.RetrieveBuffer(60000)[0].GetCode() == m.TQ_NOT_CONNECTED   # at once
        written = device.GetParameters().SetIntegerValue("Width", 32)
        assert written.GetCode() == m.TQ_NOT_CONNECTED
        assert "the link to the device is lost" in str(written.GetDescription())
        written = device.WriteMemory(WIDTH, np.zeros(4, np.uint8))
        assert written.GetCode() == m.TQ_NOT_CONNECTED and "lost" in str(written.GetDescription())
        # A new connection to the same device streams.
        fresh = connect()
        result, second = k.TqStream.CreateAndOpen("127.0.0.2")
        assert result.IsOK(), str(result.GetDescription())
        try:
            frame = k.TqBuffer()
            assert frame.Alloc(fresh.GetPayloadSize()).IsOK() and second.QueueBuffer(frame).IsOK()
            assert fresh.StreamEnable().IsOK()
            assert fresh.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()
            result, buffer, operation = second.RetrieveBuffer(10000)
            assert result.IsOK() and operation.IsOK() and buffer == frame
            fresh.GetParameters().ExecuteCommand("AcquisitionStop")
        finally:
            second.Close()
            k.TqStream.Free(second)
        assert len(sink.calls) == 1
    finally:
        hooks.soft_device_link(camera, True)
        waiting.join(60)
        stream.Close()
        k.TqStream.Free(stream)
        device.UnregisterEventSink(sink)


def test_a_device_that_takes_the_privilege_away_ends_the_link(m, k, hooks, camera, connect):
    # A write the device refuses for want of privilege: the link is lost at once.
    device = connect()
    sink = loss_sink(k, None)
    assert device.RegisterEventSink(sink).IsOK()
    assert hooks.soft_device_write(camera, CCP, 0) == 0   # the device ends the session itself
    written = device.WriteRegister(WIDTH, 32)
    assert written.GetCode() == m.TQ_NOT_CONNECTED and not device.IsConnected()
    assert "no longer grants this application control" in str(written.GetDescription())
    assert until(lambda: sink.calls, 30) and sink.calls == [(False, None)]
    assert device.UnregisterEventSink(sink).IsOK()
    # The heartbeat reads the privilege back: the same without any command of the application's.
    again = connect()
    assert again.GetCommunicationParameters().SetIntegerValue("HeartbeatInterval", 20).IsOK()
    assert hooks.soft_device_write(camera, CCP, 0) == 0
    assert until(lambda: not again.IsConnected(), 30)
    read = again.ReadRegister(WIDTH)
    assert read[0].GetCode() == m.TQ_NOT_CONNECTED and "no longer grants" in str(read[0].GetDescription())
    # The device connects again in place of the lost link.
    assert again.Connect("127.0.0.2").IsOK() and again.IsConnected() and again.ReadRegister(WIDTH)[1] == 64


def test_the_heartbeat_follows_the_devices_timeout(m, k, hooks, camera, connect):
    device = connect()
    settings = device.GetCommunicationParameters()
    in_use = lambda: settings.GetIntegerValue("HeartbeatIntervalInUse")[1]
    assert in_use() == 1000   # a third of the device's 3000 ms
    assert settings.SetIntegerValue("HeartbeatInterval", 5000).IsOK() and in_use() == 1000
    assert settings.SetIntegerValue("HeartbeatInterval", 0).IsOK()
    # The caller shortens the device's timeout below the interval it had: the heartbeat keeps the session.
    assert device.GetParameters().SetIntegerValue("GevHeartbeatTimeout", 900).IsOK()
    assert in_use() == 300
    before = hooks.soft_device_statistics(camera)["read_regs"]
    assert until(lambda: hooks.soft_device_statistics(camera)["read_regs"] >= before + 7, 30)   # two of its timeouts
    assert hooks.soft_device_statistics(camera)["heartbeat_failures"] == 0 and device.IsConnected()
    assert hooks.soft_device_info(camera)["controller"] != ""
    assert settings.SetIntegerValue("HeartbeatInterval", 50).IsOK() and in_use() == 50
    assert device.Disconnect().IsOK() and in_use() == 0


def named(result):
    return result.GetCode(), str(result.GetCodeString()), str(result.GetDescription())


def test_statuses_become_the_result_codes_named_after_them(m, k, hooks, camera, connect):
    device = connect()
    assert named(device.WriteRegister(MANUFACTURER, 1)) == (
        0x8004, "WRITE_PROTECT", "the device answered WRITE_PROTECT (status 0x8004)")
    assert named(device.ReadRegister(0x20000000)[0])[:2] == (0x8003, "INVALID_ADDRESS")
    for status, code, name in ((0x8006, 0x8006, "ACCESS_DENIED"), (0x8007, m.TQ_BUSY, "BUSY"),
                               (0x8001, m.TQ_NOT_IMPLEMENTED, "NOT_IMPLEMENTED"),
                               (0x8123, m.TQ_GENERIC_ERROR, "GENERIC_ERROR")):
        hooks.soft_device_faults(camera, write_status=status, begin=WIDTH, end=FEATURES_END)
        result = device.GetParameters().SetIntegerValue("Width", 32)
        assert named(result)[:2] == (code, name)
        assert str(result.GetDescription()).endswith("(status 0x%04X)" % status if status != 0x8123 else
                                                      "the device answered status 0x8123")
    # An ACCESS_DENIED while the device still grants control leaves the link as it was.
    hooks.soft_device_faults(camera)
    assert device.IsConnected() and device.WriteRegister(WIDTH, 32).IsOK()
    # A second controller, and a connection that only reads, are refused by name.
    other = k.TqDeviceGEV()
    assert named(other.Connect("127.0.0.2")) == (
        0x8006, "ACCESS_DENIED",
        "the device refused control (another application controls it): the device answered ACCESS_DENIED "
        "(status 0x8006)")
    assert other.Connect("127.0.0.2", m.TqAccessReadOnly).IsOK()
    try:
        assert named(other.WriteRegister(WIDTH, 32))[:2] == (0x8006, "ACCESS_DENIED") and other.IsConnected()
    finally:
        other.Disconnect()


def test_a_command_pending_for_ever_times_out(m, k, hooks, camera, connect):
    device = connect()
    settings = device.GetCommunicationParameters()
    assert settings.GetIntegerValue("CommandTimeout")[1] == 10000
    assert settings.SetIntegerValue("CommandTimeout", 300).IsOK()
    # "Pending, 5 s", said again every 2.5 s for every read and write of the features.
    hooks.soft_device_faults(camera, begin=WIDTH, end=FEATURES_END, pending_ms=5000)
    try:
        read = device.ReadRegister(WIDTH)[0]
        assert read.GetCode() == m.TQ_TIMEOUT and "pending" in str(read.GetDescription())
        assert device.WriteRegister(WIDTH, 32).GetCode() == m.TQ_TIMEOUT
        assert device.GetParameters().SetIntegerValue("Width", 32).GetCode() == m.TQ_TIMEOUT
        assert hooks.soft_device_statistics(camera)["pending_acks"] >= 3
    finally:
        hooks.soft_device_faults(camera)
    assert device.IsConnected() and device.ReadRegister(WIDTH)[1] == 64


SCRIPTED = "127.0.0.9"
DESCRIPTION = 0x10000


def scripted(name, length, xml=b"", delay=0.0):
    """A scripted device whose first URL names `name` of length bytes at DESCRIPTION (xml, padded with
    spaces), each READMEM of it answered after delay seconds."""
    url = "Local:%s;%x;%x" % (name, DESCRIPTION, length)
    memory = {DESCRIPTION: xml.ljust((length + 3) & ~3, b" ")}
    return ScriptedDevice(SCRIPTED, url, memory, registers={HEARTBEAT: 60000}, slow_from=DESCRIPTION, delay=delay)


def description_reads(peer):
    return sum(count for address, count in peer.reads.items() if address >= DESCRIPTION)


def timed_connect(device):
    start = time.monotonic()
    result = device.Connect(SCRIPTED)
    return result, time.monotonic() - start


def test_a_slow_devices_description_is_read_within_the_description_timeout(m, k):
    device = k.TqDeviceGEV()
    settings = device.GetCommunicationParameters()
    assert settings.GetIntegerValue("DescriptionTimeout")[1] == 30000
    assert settings.SetIntegerValue("DescriptionTimeout", 1000).IsOK()
    # 1 MiB at 50 ms an answer: some 1960 READMEMs of 536 bytes, over a minute and a half.
    peer = scripted("Slow.xml", 1 << 20, delay=0.05)
    try:
        result, took = timed_connect(device)
    finally:
        peer.close()
    assert result.GetCode() == m.TQ_TIMEOUT
    assert str(result.GetDescription()) == "the device's description was not read within DescriptionTimeout (1000 ms)"
    assert took < 15 and description_reads(peer) < 200, (took, description_reads(peer))
    assert not device.IsConnected()


def test_a_description_that_comes_in_time_is_loaded(m, k, hooks, soft_devices):
    xml = hooks.soft_device_xml(soft_devices(address="127.0.0.10", model="Scripted Model")).encode()
    device = k.TqDeviceGEV()
    peer = scripted("Device.xml", len(xml), xml, delay=0.001)
    try:
        result, _ = timed_connect(device)
        assert result.IsOK(), str(result.GetDescription())
        assert device.IsConnected() and description_reads(peer) >= (len(xml) + 535) // 536
        assert device.GetParameters().Get("Width") is not None
        assert device.Disconnect().IsOK()
    finally:
        peer.close()


@pytest.mark.parametrize("name", ["Device.zip", "DEVICE.ZIP", "x.zip ", "x.zip\t", "x.zip?SchemaVersion=1.0.0"])
def test_a_zipped_description_is_refused_before_it_is_read(m, k, name):
    device = k.TqDeviceGEV()
    peer = scripted(name, 64 << 20, delay=0.05)   # the largest a URL may name, which would take hours
    try:
        result, took = timed_connect(device)
    finally:
        peer.close()
    assert (result.GetCode(), str(result.GetDescription())) == (m.TQ_NOT_SUPPORTED, "zipped descriptions are not supported")
    assert description_reads(peer) == 0 and took < 15
    assert not device.IsConnected()
