"""A controller paces the device's stream with GevSCPD, the delay between the packets of a stream channel
in the device's timestamp ticks (GevTimestampTickFrequency): our controller and stream with a software
device whose frames come from a Python source, and aravis as the controller and receiver of an engine
device (the engine's own tests time each packet, and 0). Packet k of an acquisition leaves no earlier
than k delays after its start, so the frame of block b is whole no earlier than (b x packets - 1)
delays after it; a loaded machine may be slower, never faster, so only that lower bound is checked.
Resend requests pace nothing: an unpaced device asked again for a packet of every frame, by its
destination or by another user's process at a multicast group's port, keeps its frame rate."""

import os
import subprocess
import time

import pytest

from conftest import aravis_client, clean_environment
from gvcp_client import ACQUISITION_START, SCDA, SCP, ip_value
from test_softdevice import address_of
from test_softdevice_streaming import acquiring
from test_stream_loss import FRAME_RATE_ENABLE
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


# Binds argv[1] (joining it when it is a group), prints its port, and from a "go" line on until its
# input ends asks the device at argv[2] again for packet 1 of each block it sees; then prints how
# many it asked for. Its tiny socket buffer holds the newest packets, which it reads a few thousand
# times a second.
REQUESTER = r"""
import socket, struct, sys, threading, time
to, device = sys.argv[1], sys.argv[2]
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)
sock.bind((to, 0))
if socket.inet_aton(to)[0] >= 224:
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(to) + socket.inet_aton("127.0.0.1"))
sock.settimeout(0.5)
print(sock.getsockname()[1], flush=True)
sys.stdin.readline()
ended = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), ended.set()), daemon=True).start()
asked, last = 0, None
while not ended.is_set():
    try:
        block = struct.unpack(">H", sock.recv(64)[2:4])[0]
    except socket.timeout:
        continue
    if block and block != last:
        asked, last = asked + 1, block
        sock.sendto(struct.pack(">BBHHHHHII", 0x42, 0, 0x40, 12, asked % 0xFFFF + 1, 0, block, 1, 1), (device, 3956))
    time.sleep(0.0002)
print(asked, flush=True)
"""


@pytest.mark.parametrize("asker", ["destination", "group member of another user"])
def test_resend_requests_leave_an_unpaced_streams_rate_alone(hooks, soft_devices, asker):
    other = asker != "destination"
    if other and os.geteuid() != 0:
        pytest.skip("only root starts a process of another user")
    handle = soft_devices(address="127.0.0.2", model="Asked Again", mac="02:4b:49:62:00:03", width=640, height=480)
    to = "239.255.78.%d" % (handle % 200 + 1) if other else "127.0.0.1"
    requester = subprocess.Popen(["/usr/bin/python3", "-c", REQUESTER, to, "127.0.0.2"], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True, env=clean_environment(), cwd="/",
                                 **(dict(user=65534, group=65534, extra_groups=[]) if other else {}))
    try:
        for register, value in ((SCDA, ip_value(to)), (SCP, int(requester.stdout.readline())),
                                (FRAME_RATE_ENABLE, 0), (ACQUISITION_START, 1)):
            assert hooks.soft_device_write(handle, register, value) == 0

        def rate():
            frames, started = hooks.soft_device_statistics(handle)["frames"], time.monotonic()
            time.sleep(1)
            return (hooks.soft_device_statistics(handle)["frames"] - frames) / (time.monotonic() - started)

        time.sleep(0.2)
        alone = rate()
        requester.stdin.write("go\n")
        requester.stdin.flush()
        time.sleep(0.2)
        asked_again = rate()
    finally:
        requester.stdin.close()
        asked = int(requester.stdout.readline() or 0)
        requester.wait(timeout=20)
    stats = hooks.soft_device_statistics(handle)
    what = (alone, asked_again, asked, {key: stats[key] for key in ("frames", "packets_resent", "resends_refused")})
    assert stats["packets_resent"] >= 20 and stats["resends_refused"] == 0, what
    # A sender that slowed down for requests fell to a tenth or less; a busy machine costs far less than a third.
    assert asked_again * 3 >= alone, what
