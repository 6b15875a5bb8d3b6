"""A controller paces the device's stream with GevSCPD, the delay between the packets of a stream channel
in the device's timestamp ticks (GevTimestampTickFrequency): our controller and stream with a software
device whose frames come from a Python source, and aravis as the controller and receiver of an engine
device (the engine's own tests time each packet, and 0). Packet k of an acquisition leaves no earlier
than k delays after its start, so the frame of block b is whole no earlier than (b x packets - 1)
delays after it; a loaded machine may be slower, never faster, so only that lower bound is checked."""

import time

import pytest

from conftest import aravis_client
from test_softdevice import address_of
from test_softdevice_streaming import acquiring
from test_stream_source_default import frames_class

PACKET_SIZE = 1500
PAYLOAD_PER_PACKET = PACKET_SIZE - 20 - 8 - 8   # IP, UDP and GVSP headers


def packets_of(payload):
    """The packets of a block: its leader, its payload packets and its trailer."""
    return -(-payload // PAYLOAD_PER_PACKET) + 2


def paced_run(k, ip, size, frames, delay_ns):
    """Our controller sets GevSCPD to delay_ns in the device's ticks and acquires with our stream until
    `frames` blocks of size bytes came whole: [(block ID, nanoseconds from before AcquisitionStart until
    it came)]."""

    def pace(control):
        parameters = control.GetParameters()
        result, frequency = parameters.GetIntegerValue("GevTimestampTickFrequency")
        assert result.IsOK() and frequency > 0
        ticks = delay_ns * frequency // 1000000000
        assert parameters.SetIntegerValue("GevSCPSPacketSize", PACKET_SIZE).IsOK()
        assert parameters.SetIntegerValue("GevSCPD", ticks).IsOK()
        assert parameters.GetIntegerValue("GevSCPD")[1] == ticks

    came = []
    started = time.monotonic_ns()
    with acquiring(k, ip, size, buffers=8, setup=pace) as stream:
        while len(came) < frames:
            result, buffer, operation = stream.RetrieveBuffer(20000)
            assert buffer is not None, str(result.GetCodeString())
            if operation.IsOK():
                came.append((buffer.GetBlockID(), time.monotonic_ns() - started))
            stream.QueueBuffer(buffer)
    return came


def assert_paced(packets, came, delay_ns):
    for block, at in came:
        assert at >= (block * packets - 1) * delay_ns, (block, at, packets, delay_ns)


def test_a_python_sources_frames_are_paced_the_same(k, hooks):
    source = frames_class(k)(64, 48)
    device = k.TqSoftDeviceGEV()
    assert device.AddStream(source).IsOK()
    assert device.Start("00:00:00:00:00:00").IsOK()
    try:
        size, delay = 64 * 48, 4000000   # 4 ms
        assert packets_of(size) == 5
        assert_paced(5, paced_run(k, address_of(hooks, device), size, 6, delay), delay)
    finally:
        assert device.Stop().IsOK()
    assert sorted(source.freed) == sorted(source.made)


ARAVIS_PACED = r"""
import json, sys, time
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis

frames, delay = int(sys.argv[1]), int(sys.argv[2])
camera = Aravis.Camera.new("127.0.0.1")
camera.set_boolean("AcquisitionFrameRateEnable", False)
camera.get_device().set_stream_options(Aravis.GvStreamOption.PACKET_SOCKET_DISABLED)
camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
payload = camera.get_integer("PayloadSize")
stream = camera.create_stream(None, None)
stream.set_property("frame-retention", 3000000)
camera.gv_set_packet_size(1500)
camera.gv_set_packet_delay(delay)   # nanoseconds: aravis writes them as GevSCPD in the device's ticks
for buffer in [Aravis.Buffer.new_allocate(payload) for _ in range(8)]:
    stream.push_buffer(buffer)
started = time.time_ns()
camera.start_acquisition()
came = []
while len(came) < frames:
    buffer = stream.timeout_pop_buffer(20000000)
    if buffer is None:
        break
    if buffer.get_status() == Aravis.BufferStatus.SUCCESS:
        came.append([buffer.get_frame_id(), buffer.get_system_timestamp() - started])
    stream.push_buffer(buffer)
camera.stop_acquisition()
print(json.dumps({"payload": payload, "scpd": camera.get_integer("GevSCPD"),
                  "frequency": camera.get_integer("GevTimestampTickFrequency"), "came": came}))
"""


def test_aravis_as_the_controller_paces_the_device(soft_devices):
    try:
        soft_devices(address="127.0.0.1", model="Paced Aravis", mac="02:4b:49:62:00:02", width=64, height=100)
    except OSError as error:
        pytest.fail("the device needs 127.0.0.1:3956, the only loopback address aravis opens: %s" % error)
    delay = 3000000
    result = aravis_client(ARAVIS_PACED, 6, delay, timeout=120)
    assert result["scpd"] == delay * result["frequency"] // 1000000000
    assert len(result["came"]) == 6, result
    packets = packets_of(result["payload"])
    # aravis notes a frame's time as its leader comes: block b's leader is packet (b - 1) x packets.
    for block, at in result["came"]:
        assert at >= (block - 1) * packets * delay, (block, at, result)
