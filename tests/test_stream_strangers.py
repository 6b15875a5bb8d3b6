"""A GigE Vision stream takes GVSP from the device it streams from alone. A stranger on another local
address, or on the device's own address at another port once the device's source port is known,
sending to the stream's port: nothing of it is handed back, none of its packets lands in a frame of
the device's, none is answered with a resend request, and a flood of it leaves the device's frames
whole. The kernel drops the strangers before the receiver reads them: the stream receives no more
datagrams than the device sent. Nor does a frame in the device's name that the kernel's IP or UDP
layer drops reach a block. Each case on every receive path (the receive_path fixture)."""

import os
import pickle
import random
import socket
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import connect_soft_device
from gvcp_client import ACQUISITION_START
from test_stream import pattern
from test_stream_receive_paths import FRAME_PERIOD, FRAME_RATE_ENABLE

DEVICE, STRANGER, GROUP = "127.0.0.2", "127.0.0.66", "239.255.66.1"
WIDTH, HEIGHT = 320, 240   # 1500-byte packets: a leader, 53 payload packets, a trailer
SCP, SCSP = 0x0D00, 0x0D1C  # channel 0's port and source port
SOL_UDP, UDP_SEGMENT = 17, 103
ACQUISITION_STOP = ACQUISITION_START + 4


class Stranger:
    """A UDP socket bound to address (any port) that sends GVSP of its own making to a stream's port;
    to a group only through loopback."""

    def __init__(self, address=STRANGER):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 0))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 0)
        self.sent = 0

    def send(self, packets, to):
        for packet in packets:
            self.sock.sendto(packet, to)
            self.sent += 1

    def send_runs(self, packets, to):
        """Packets of one size (the last may be shorter) as coalesced sends of as many as a datagram
        holds."""
        size = len(packets[0])
        most = min(64, 65507 // size)
        for at in range(0, len(packets), most):
            run = packets[at:at + most]
            self.sock.sendmsg([b"".join(run)], [(SOL_UDP, UDP_SEGMENT, struct.pack("=H", size))], 0, to)
            self.sent += len(run)

    def close(self):
        self.sock.close()


class Rig:
    """The software device at DEVICE and a stream of it. With a controller the device is connected
    (a TqDevice of this process points it at the stream); without, the stream points it through a
    session of its own. With group the stream receives the group the controller points the device at."""

    def __init__(self, k, hooks, soft_devices, controller=True, group=None, image_timeout=3000):
        self.k, self.hooks = k, hooks
        kwargs = dict(address=DEVICE, model="Strangers", mac="02:4b:49:63:00:66", width=WIDTH, height=HEIGHT)
        if controller:
            self.handle, self.device = connect_soft_device(k, soft_devices, **kwargs)
        else:
            self.handle, self.device = soft_devices(**kwargs), None
        self.stream = k.TqStreamGEV()
        self.port = 0
        if group:
            self.port = 15066
            assert self.device.SetStreamDestination(group, self.port).IsOK()
            assert self.stream.Open(DEVICE, group, self.port).IsOK()
            self.to = (group, self.port)
        else:
            assert self.stream.Open(DEVICE).IsOK()
            self.to = ("127.0.0.1", self.stream.GetLocalPort())
        self.parameters = self.stream.GetParameters()
        assert self.parameters.SetIntegerValue("ImageTimeout", image_timeout).IsOK()
        for _ in range(16):
            buffer = k.TqBuffer()
            assert buffer.Alloc(WIDTH * HEIGHT).IsOK() and self.stream.QueueBuffer(buffer).IsOK()

    def source_port(self):
        status, port = self.hooks.soft_device_read(self.handle, SCSP)
        assert status == 0
        return port

    def start(self, period=20000):
        self.hooks.soft_device_write(self.handle, FRAME_RATE_ENABLE, 1)
        self.hooks.soft_device_write(self.handle, FRAME_PERIOD, period)
        if self.device:
            assert self.device.StreamEnable().IsOK()
            assert self.device.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()
        else:
            self.hooks.soft_device_write(self.handle, ACQUISITION_START, 1)

    def stop(self):
        if self.device:
            self.device.GetParameters().ExecuteCommand("AcquisitionStop")
            self.device.StreamDisable()
        else:
            self.hooks.soft_device_write(self.handle, ACQUISITION_STOP, 1)

    def take(self, count):
        """The next count frames: [(result, block ID, image or None)], each buffer queued again."""
        got = []
        while len(got) < count:
            result, buffer, operation = self.stream.RetrieveBuffer(20000)
            assert result.IsOK() and buffer is not None, str(result.GetCodeString())
            got.append((str(operation.GetCodeString()), buffer.GetBlockID(),
                        buffer.GetImage().GetDataPointer().copy() if operation.IsOK() else None))
            assert self.stream.QueueBuffer(buffer).IsOK()
        return got

    def nothing_handed_back(self, wait_ms):
        result, buffer, operation = self.stream.RetrieveBuffer(wait_ms)
        assert buffer is None, (buffer.GetBlockID(), str(operation.GetCodeString()))

    def assert_no_datagram_but_the_devices(self):
        """The receiver read no datagram the device did not send: the kernel dropped the others."""
        statistics = self.hooks.soft_device_statistics(self.handle)
        received = self.parameters.GetIntegerValue("PacketsReceived")[1]
        assert received <= statistics["gvsp_packets"] + statistics["packets_resent"] + statistics["resends_unavailable"]
        assert self.parameters.GetIntegerValue("PacketsBad")[1] == 0

    def close(self):
        self.stream.Close()
        while self.stream.RetrieveBuffer(0)[1] is not None:
            pass
        if self.device:
            self.k.TqDevice.Free(self.device)


def connected_peer(port):
    """The peer a UDP socket of this network namespace at local port port is connected to, from
    /proc/net/udp (("0.0.0.0", 0): none)."""
    with open("/proc/net/udp") as table:
        for line in list(table)[1:]:
            local, remote = line.split()[1:3]
            if int(local.split(":")[1], 16) == port:
                address, peer = remote.split(":")
                return socket.inet_ntoa(struct.pack("<I", int(address, 16))), int(peer, 16)
    raise AssertionError("no UDP socket at port %d" % port)


@pytest.fixture
def rigs(k, hooks, soft_devices):
    made = []

    def make(**kwargs):
        made.append(Rig(k, hooks, soft_devices, **kwargs))
        return made[-1]

    yield make
    for rig in made:
        rig.close()


def assert_device_frames(got, below=65536):
    """Every frame OK, of the device's blocks in their order (below the strangers' block IDs; one
    that found no buffer on a loaded machine may be left out), each exactly the device's pattern."""
    assert [result for result, _, _ in got] == ["OK"] * len(got)
    blocks = [block for _, block, _ in got]
    assert blocks == sorted(set(blocks)) and blocks[-1] < below
    for _, block, image in got:
        assert image.shape == (HEIGHT, WIDTH) and np.array_equal(image, pattern(WIDTH, HEIGHT, block)), block


def while_streaming(rig, frames, stranger_sends):
    """The device streams while stranger_sends(stop) runs on another thread: the frames taken."""
    stop = threading.Event()
    thread = threading.Thread(target=stranger_sends, args=(stop,))
    thread.start()
    try:
        rig.start()
        return rig.take(frames)
    finally:
        stop.set()
        thread.join()
        rig.stop()


def forging(hooks, strangers, to, blocks=range(1, 40)):
    """What sends, until stopped, from each stranger payload packet 1 of each of the device's blocks,
    its bytes 0xEE."""
    forged = [hooks.gvsp_frame(WIDTH, HEIGHT, block, fill=0xEE)[1] for block in blocks]

    def run(stop):
        while not stop.is_set():
            for stranger in strangers:
                stranger.send(forged, to)
            time.sleep(0.001)

    return run


def test_whole_frames_of_a_stranger_are_never_handed_back(hooks, rigs, receive_path):
    rig = rigs()
    stranger = Stranger()
    try:
        for block in range(1000, 1005):
            stranger.send(hooks.gvsp_frame(WIDTH, HEIGHT, block), rig.to)
        rig.nothing_handed_back(500)

        def frames(stop):
            block = 40000
            while not stop.is_set():
                stranger.send(hooks.gvsp_frame(WIDTH, HEIGHT, block), rig.to)
                block += 1
                time.sleep(0.002)

        got = while_streaming(rig, 12, frames)
        assert_device_frames(got, below=1000)
        rig.assert_no_datagram_but_the_devices()
    finally:
        stranger.close()


def test_a_forged_payload_packet_never_lands_in_a_frame_of_the_device(hooks, rigs, receive_path):
    rig = rigs()
    stranger = Stranger()
    try:
        got = while_streaming(rig, 16, forging(hooks, [stranger], rig.to))
        assert_device_frames(got)
        assert stranger.sent > 0
        rig.assert_no_datagram_but_the_devices()
    finally:
        stranger.close()


def test_a_coalesced_run_of_a_strangers_frames_is_never_handed_back(hooks, rigs, receive_path):
    # The kernel takes and delivers runs here: a plain socket receives this one as its datagrams.
    stranger = Stranger()
    witness = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    witness.bind(("127.0.0.1", 0))
    witness.settimeout(5)
    try:
        frame = hooks.gvsp_frame(WIDTH, HEIGHT, 3000)
        try:
            stranger.send_runs(frame[1:-1], witness.getsockname())
        except OSError as error:
            pytest.skip("the kernel takes no coalesced sends: %s" % error)
        assert witness.recv(2000) == frame[1]
        rig = rigs()
        for block in range(3000, 3006):
            frame = hooks.gvsp_frame(WIDTH, HEIGHT, block)
            stranger.send(frame[:1], rig.to)
            stranger.send_runs(frame[1:-1], rig.to)
            stranger.send(frame[-1:], rig.to)
        rig.nothing_handed_back(500)
        rig.start()
        got = rig.take(8)
        rig.stop()
        assert_device_frames(got, below=3000)
        rig.assert_no_datagram_but_the_devices()
    finally:
        witness.close()
        stranger.close()


def test_lone_packets_of_a_stranger_bring_no_resend_request(hooks, rigs, receive_path):
    rig = rigs(image_timeout=300)
    assert rig.parameters.GetBooleanValue("RequestMissingPackets")[1]
    stranger = Stranger()
    try:
        for block in range(5000, 5200):
            stranger.send([hooks.gvsp_payload_packet(block, 0xFFFFFE, bytes(1464))], rig.to)
        rig.nothing_handed_back(1500)   # five times the image timeout
        assert hooks.soft_device_statistics(rig.handle)["packet_resends"] == 0
        assert rig.parameters.GetIntegerValue("PacketsRequested")[1] == 0
        assert rig.parameters.GetIntegerValue("PacketsReceived")[1] == 0
    finally:
        stranger.close()


def test_a_flood_of_a_stranger_leaves_every_frame_of_the_device_whole(hooks, rigs, receive_path):
    rig = rigs()
    stranger = Stranger()
    rng = random.Random(20260607)
    frame = hooks.gvsp_frame(WIDTH, HEIGHT, 1)
    noise = []
    for n in range(2000):
        kind = n % 4
        if kind == 0:   # anything of any length
            noise.append(os.urandom(rng.randrange(1, 1500)))
        elif kind == 1:   # a payload packet of one of the device's blocks, its bytes random
            noise.append(hooks.gvsp_payload_packet(rng.randrange(1, 40), rng.randrange(1, 60), os.urandom(1464)))
        elif kind == 2:   # a packet of the device's frame with a few bytes changed
            packet = bytearray(frame[rng.randrange(len(frame))])
            for _ in range(3):
                packet[rng.randrange(len(packet))] = rng.randrange(256)
            noise.append(bytes(packet))
        else:   # a lone packet of a new block
            noise.append(hooks.gvsp_payload_packet(rng.randrange(100, 65536), 0xFFFFFE, os.urandom(64)))

    def flood(stop):
        while not stop.is_set():
            stranger.send(noise, rig.to)

    try:
        stop = threading.Event()
        thread = threading.Thread(target=flood, args=(stop,))
        thread.start()
        try:
            rig.start(period=40000)   # 30 frames in about 1.2 s
            got = rig.take(30)
        finally:
            stop.set()
            thread.join()
            rig.stop()
        assert_device_frames(got)
        assert stranger.sent >= len(noise)
        rig.assert_no_datagram_but_the_devices()
        assert hooks.soft_device_statistics(rig.handle)["packet_resends"] == 0
    finally:
        stranger.close()


@pytest.mark.parametrize("controller", [True, False], ids=["controller", "own-session"])
def test_a_stranger_at_the_devices_own_address_is_dropped_once_its_source_port_is_known(hooks, rigs, receive_path,
                                                                                         controller):
    rig = rigs(controller=controller)
    source = rig.source_port()
    assert source != 0   # known as soon as the destination was set
    assert connected_peer(rig.to[1]) == (DEVICE, source)   # the kernel hands the socket nothing else
    stranger = Stranger(DEVICE)
    try:
        assert stranger.sock.getsockname()[1] != source
        for block in range(2000, 2004):
            stranger.send(hooks.gvsp_frame(WIDTH, HEIGHT, block), rig.to)
        rig.nothing_handed_back(500)
        got = while_streaming(rig, 12, forging(hooks, [stranger], rig.to))
        assert_device_frames(got, below=2000)
        assert rig.source_port() == source
        rig.assert_no_datagram_but_the_devices()
    finally:
        stranger.close()


def test_a_multicast_stream_takes_the_devices_source_port_alone(hooks, rigs, receive_path):
    rig = rigs(group=GROUP)
    source = rig.source_port()
    assert source != 0
    assert connected_peer(rig.port) == ("0.0.0.0", 0)   # shared with the group's other receivers
    # Another receiver of the group's port: the strangers' datagrams do reach the group.
    witness = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    witness.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    witness.bind((GROUP, rig.port))
    witness.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                       socket.inet_aton(GROUP) + socket.inet_aton("127.0.0.1"))
    witness.settimeout(5)
    strangers = [Stranger(), Stranger(DEVICE)]
    try:
        for stranger in strangers:
            stranger.send(hooks.gvsp_frame(WIDTH, HEIGHT, 2500)[:1], rig.to)
            _, (address, port) = witness.recvfrom(2000)
            assert (address, port) == stranger.sock.getsockname() and port != source
        for stranger in strangers:
            stranger.send(hooks.gvsp_frame(WIDTH, HEIGHT, 2501), rig.to)
        rig.nothing_handed_back(500)
        got = while_streaming(rig, 12, forging(hooks, strangers, rig.to))
        assert_device_frames(got, below=2500)
        rig.assert_no_datagram_but_the_devices()
    finally:
        witness.close()
        for stranger in strangers:
            stranger.close()


def test_a_channel_opened_again_keeps_its_source_port_and_the_stream_its_frames(hooks, rigs, receive_path):
    # A controller closes the channel and points it at the stream again: the stream that learnt the
    # port keeps receiving the device's frames.
    rig = rigs()
    port = rig.source_port()
    assert port != 0
    assert rig.device.ResetStreamDestination(0).IsOK() and rig.source_port() == 0
    assert rig.device.SetStreamDestination(*rig.to).IsOK()
    assert rig.source_port() == port
    rig.start()
    try:
        assert_device_frames(rig.take(5))
    finally:
        rig.stop()


# A process of another user that binds where it is told (with both reuse options, as one that shares a
# port would), says so, and sends from there frames of its own (block IDs from 40000) to a stream.
OTHER_USER = """
import pickle, socket, sys, time
at, to, frames = pickle.loads(sys.stdin.buffer.read())
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
[sock.setsockopt(socket.SOL_SOCKET, option, 1) for option in (socket.SO_REUSEADDR, socket.SO_REUSEPORT)]
sock.bind(at)
print(flush=True)
while not time.sleep(0.002):
    [sock.sendto(frame, to) for frame in frames]
"""


@pytest.mark.parametrize("acquiring, freed", [(True, False), (False, False), (False, True)],
                         ids=["closed-while-acquiring", "closed-while-stopped", "controller-freed"])
def test_the_device_keeps_its_source_port_while_its_channel_is_closed(k, hooks, rigs, receive_path, acquiring, freed):
    # The channel closes and opens again (SCP 0 and back, or a new controller's after the first was
    # freed), a process of another user (where the test may start one) taking the old port meanwhile.
    rig, other = rigs(), None
    port = rig.source_port()
    if acquiring:
        rig.start()
    if freed:
        k.TqDevice.Free(rig.device)
        rig.device = None
    else:
        assert rig.device.WriteRegister(SCP, 0).IsOK()
    if os.geteuid() == 0:
        frames = [p for block in range(40000, 40008) for p in hooks.gvsp_frame(WIDTH, HEIGHT, block)]
        other = subprocess.Popen([sys.executable, "-c", OTHER_USER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, user=65534, group=65534, extra_groups=[], cwd="/", env={})
        other.stdin.write(pickle.dumps(((DEVICE, port), rig.to, frames)))
        other.stdin.close()
        other.stdout.readline()   # bound, or ended as it could not
    try:
        if freed:
            rig.device = k.TqDevice.CreateAndConnect(DEVICE)[1]
        assert (rig.device.SetStreamDestination(*rig.to) if freed else rig.device.WriteRegister(SCP, rig.to[1])).IsOK()
        if not acquiring:
            rig.start()
        assert_device_frames(rig.take(5), below=40000)
        assert rig.source_port() == port
    finally:
        rig.stop()
        if other:
            other.kill()
            other.wait()


def link_frame(payload, source, to, fault):
    """The Ethernet frame of a UDP datagram from source to to ((address, port) each) as loopback
    carries it, spoilt by fault so that the kernel drops it."""
    def checksum(data):
        total = sum(struct.unpack("!%dH" % ((len(data) + 1) // 2), data + b"\0" * (len(data) % 2)))
        total = (total & 0xFFFF) + (total >> 16)
        return ~(total + (total >> 16)) & 0xFFFF

    ends, length = socket.inet_aton(source[0]) + socket.inet_aton(to[0]), 8 + len(payload)
    udp = struct.pack("!HHH", source[1], to[1], length)
    udp += struct.pack("!H", (checksum(ends + struct.pack("!HH", 17, length) + udp + b"\0\0" + payload) or 0xFFFF)
                       ^ (fault == "udp checksum")) + payload
    options = b"\x44\x03\x05\x00" if fault == "ip options" else b""   # a timestamp option shorter than any
    ip = struct.pack("!BBHIBB", 0x45 + len(options) // 4, 0, 20 + len(options) + length, 0, 64, 17)
    ip += struct.pack("!H", checksum(ip + b"\0\0" + ends + options) ^ (fault == "ip checksum")) + ends + options
    link = (b"\x02\0\0\0\0\x09" if fault == "another host" else bytes(6)) + bytes(6)
    return link + (b"\x81\x00\x00\x05" if fault == "vlan" else b"") + b"\x08\x00" + ip + udp


@pytest.mark.parametrize("fault", ["udp checksum", "ip checksum", "another host", "vlan", "ip options"])
def test_a_frame_the_kernel_drops_never_lands_in_a_frame_of_the_device(hooks, rigs, receive_path, fault):
    # Sent on loopback with a packet socket before the device streams: payload packet 1 of each of its
    # first blocks, from its address and source port, its bytes 0xEE, each with the fault.
    rig = rigs()
    try:
        link = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    except PermissionError:
        pytest.skip("this process may not open a packet socket")
    with link:
        link.bind(("lo", 0))
        for block in range(1, 40):
            link.send(link_frame(hooks.gvsp_frame(WIDTH, HEIGHT, block, fill=0xEE)[1], (DEVICE, rig.source_port()),
                                 rig.to, fault))
    rig.nothing_handed_back(300)
    assert_device_frames(while_streaming(rig, 12, lambda stop: None))
    rig.assert_no_datagram_but_the_devices()
