"""The GigE Vision stream's receive paths: the socket with UDP receive offload (the device's sender
coalesces runs of payload packets to loopback and the receiver reads each run whole and splits it),
the plain socket, and the packet ring (the kernel copies the stream's datagrams into memory shared
with the receiver). All give the same frames, whole and equal to the device's pattern, also when the
device loses packets and the receiver asks for them again; and from a device of hand-made datagrams
(tests/gvsp_tools.py), a block begun in another buffer than the receiver planned leaves the next
block's bytes alone, and a payload packet shorter than a full one before the last never makes a
block whole. Each takes what the kernel delivers to a socket, each datagram once: a frame sent by a
sender outside the SDK as one segmented send, or with IP options, and datagrams the kernel had to
fragment (in a network namespace of the test's own, where loopback's MTU is 1500)."""

import socket
import time

import numpy as np
import pytest

from conftest import connect_soft_device, packet_ring_open, run_in_own_network
from gvsp_tools import (IMAGE_EXTENDED_CHUNK, HandMadeDevice, counting, image_frame, leader_chunk_data, leader_image,
                        payload, trailer_chunk_data, trailer_image)
from test_stream import pattern

FRAME_PERIOD, FRAME_RATE_ENABLE = 0x30000020, 0x30000030   # the engine's feature registers
WIDTH, HEIGHT = 640, 480   # 1500-byte packets: a leader, 210 payload packets, a trailer
FRAMES = 24


def received(k, hooks, soft_devices, drop, path, packet_size=1500):
    """FRAMES frames of a paced software device (one packet in `drop` lost, 0: none) to a stream with
    resends on: [(result, block ID, image)], and the stream's PacketsRecovered."""
    handle, device = connect_soft_device(k, soft_devices, address="127.0.0.2", model="Two Paths",
                                         mac="02:4b:49:63:00:01", width=WIDTH, height=HEIGHT)
    assert device.GetParameters().SetIntegerValue("GevSCPSPacketSize", packet_size).IsOK()
    stream = k.TqStreamGEV()
    got = []
    try:
        assert stream.Open("127.0.0.2").IsOK()
        assert packet_ring_open() == (path == "ring")
        parameters = stream.GetParameters()
        assert parameters.SetIntegerValue("ImageTimeout", 3000).IsOK()   # generous: a loaded machine
        if drop:
            hooks.soft_device_faults(handle, drop_gvsp=drop)
        hooks.soft_device_write(handle, FRAME_RATE_ENABLE, 1)
        hooks.soft_device_write(handle, FRAME_PERIOD, 10000)
        for _ in range(16):
            buffer = k.TqBuffer()
            assert buffer.Alloc(device.GetPayloadSize()).IsOK() and stream.QueueBuffer(buffer).IsOK()
        assert device.StreamEnable().IsOK()
        assert device.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()
        while len(got) < FRAMES:
            result, buffer, operation = stream.RetrieveBuffer(20000)
            assert result.IsOK() and buffer is not None, str(result.GetCodeString())
            got.append((str(operation.GetCodeString()), buffer.GetBlockID(),
                        buffer.GetImage().GetDataPointer().copy() if operation.IsOK() else None))
            assert stream.QueueBuffer(buffer).IsOK()
        device.GetParameters().ExecuteCommand("AcquisitionStop")
        device.StreamDisable()
        recovered = parameters.GetIntegerValue("PacketsRecovered")[1]
    finally:
        stream.Close()
        while stream.RetrieveBuffer(0)[1] is not None:
            pass
        k.TqDevice.Free(device)
    return got, recovered


def assert_whole_pattern_frames(got):
    assert [result for result, _, _ in got] == ["OK"] * FRAMES
    blocks = [block for _, block, _ in got]
    assert blocks == list(range(blocks[0], blocks[0] + FRAMES))
    for _, block, image in got:
        assert image.shape == (HEIGHT, WIDTH) and np.array_equal(image, pattern(WIDTH, HEIGHT, block)), block


def test_both_receive_paths_give_the_frames_whole(k, hooks, soft_devices, receive_path):
    got, recovered = received(k, hooks, soft_devices, drop=0, path=receive_path)
    assert_whole_pattern_frames(got)


def test_both_receive_paths_get_lost_packets_again(k, hooks, soft_devices, receive_path):
    got, recovered = received(k, hooks, soft_devices, drop=100, path=receive_path)
    assert_whole_pattern_frames(got)
    # About two packets of each frame's 212 are lost and asked for again.
    assert recovered >= FRAMES // 2


def hand_made_stream(k, device, buffers, size, timeout_ms=100):
    """A stream of the hand-made device with resends off, `buffers` buffers of `size` bytes queued:
    (stream, [buffers])."""
    stream = k.TqStreamGEV()
    assert stream.Open(device.address).IsOK()
    assert device.destination() is not None
    parameters = stream.GetParameters()
    assert parameters.SetIntegerValue("ImageTimeout", timeout_ms).IsOK()
    assert parameters.SetBooleanValue("RequestMissingPackets", False).IsOK()
    queued = []
    for _ in range(buffers):
        buffer = k.TqBuffer()
        assert buffer.Alloc(size).IsOK() and stream.QueueBuffer(buffer).IsOK()
        queued.append(buffer)
    return stream, queued


def retrieved(stream, count):
    """The next `count` blocks handed back: [(result, block ID, bytes acquired)], each buffer queued
    again (generous timeouts: a loaded machine)."""
    got = []
    for _ in range(count):
        result, buffer, operation = stream.RetrieveBuffer(20000)
        assert result.IsOK() and buffer is not None, str(result.GetCodeString())
        data = bytes(buffer.GetDataPointer()[:buffer.GetAcquiredSize()])
        got.append((str(operation.GetCodeString()), buffer.GetBlockID(), data))
        assert stream.QueueBuffer(buffer).IsOK()
    return got


def closed(stream):
    stream.Close()
    while stream.RetrieveBuffer(0)[1] is not None:
        pass


def test_a_block_begun_outside_the_plan_leaves_the_next_blocks_bytes_alone(k, receive_path):
    """Block 10 alone; after its image timeout, at once: 10's trailer again (which begins block 10
    anew in the buffer meant for 11), 11 without its leader, 12 whole. 12 comes back with its own
    bytes, 10 and 11 incomplete."""
    frames = {block: image_frame(block, 64, 24, counting(64 * 24, block), 540) for block in (10, 11, 12)}
    with HandMadeDevice(packet_size=576) as device:
        stream, _ = hand_made_stream(k, device, 4, 64 * 24)
        try:
            device.send(frames[10], runs=receive_path == "offload")
            assert retrieved(stream, 1) == [("OK", 10, counting(64 * 24, 10))]
            time.sleep(0.3)   # past the image timeout: the receiver is idle again
            late = [frames[10][-1]] + frames[11][1:] + frames[12]
            device.send(late, runs=receive_path == "offload")
            got = sorted(retrieved(stream, 3), key=lambda g: (g[0] != "OK", g[1]))
            assert got[0] == ("OK", 12, counting(64 * 24, 12))
            assert [(result, block) for result, block, _ in got[1:]] == [("MISSING_PACKETS", 10),
                                                                         ("MISSING_PACKETS", 11)]
        finally:
            closed(stream)


@pytest.mark.parametrize("kind", ["chunk data", "image with chunks"])
def test_a_short_payload_packet_before_the_last_never_makes_a_block_whole(k, receive_path, kind):
    """Where only the trailer tells the size (3 x 1464 bytes), payload packets of 1464, 100 and 1464
    bytes: the block comes back incomplete, packet 2 missing; the next block, whole, is OK."""
    def block(number, lengths):
        data = counting(3 * 1464, number)
        if kind == "chunk data":
            ends = [leader_chunk_data(number), trailer_chunk_data(number, 4, len(data))]
        else:
            ends = [leader_image(number, 64, 64, IMAGE_EXTENDED_CHUNK), trailer_image(number, 4, 64, len(data))]
        packets = [payload(number, n + 1, data[1464 * n:1464 * n + length]) for n, length in enumerate(lengths)]
        return [ends[0]] + packets + [ends[1]], data

    with HandMadeDevice(packet_size=1500) as device:
        stream, buffers = hand_made_stream(k, device, 2, 3 * 1464)
        try:
            for memory in buffers:
                memory.GetDataPointer()[:] = 0xC3   # what the buffers held before
            short, _ = block(7, [1464, 100, 1464])
            device.send(short, runs=receive_path == "offload")
            result, buffer, operation = stream.RetrieveBuffer(20000)
            assert result.IsOK() and str(operation.GetCodeString()) == "MISSING_PACKETS"
            assert buffer.GetBlockID() == 7 and buffer.GetLostPacketCount() == 1
            assert buffer.GetMissingPacketIds(0)[1:] == [2, 2]
            assert stream.QueueBuffer(buffer).IsOK()
            whole, data = block(8, [1464, 1464, 1464])
            device.send(whole, runs=receive_path == "offload")
            assert retrieved(stream, 1) == [("OK", 8, data)]
            assert stream.GetParameters().GetIntegerValue("PacketsBad")[1] == 0
        finally:
            closed(stream)


@pytest.mark.parametrize("how", ["segmented", "ip options"])
def test_a_frame_sent_as_the_kernel_allows_comes_back_whole_each_packet_once(k, receive_path, how):
    """A leader alone, four payload packets (the last shorter) in one segmented send and a trailer
    alone; or every packet with IP options (no-operations)."""
    data = counting(3 * 540 + 400, 9)
    with HandMadeDevice(packet_size=576) as device:
        stream, _ = hand_made_stream(k, device, 1, len(data))
        try:
            if how == "ip options":
                device.gvsp.setsockopt(socket.IPPROTO_IP, socket.IP_OPTIONS, b"\x01\x01\x01\x00")
            device.send(image_frame(9, 101, 20, data, 540), runs=how == "segmented")
            assert retrieved(stream, 1) == [("OK", 9, data)]
            parameters = stream.GetParameters()
            assert [parameters.GetIntegerValue(name)[1] for name in ("PacketsReceived", "PacketsRedundant")] == [6, 0]
        finally:
            closed(stream)


def test_datagrams_the_kernel_fragmented_come_back_whole(receive_path):
    # In a network namespace of its own, where loopback's MTU is 1500: packets of 8000 bytes.
    script = """import kivo_python64 as k, _kivo_testhooks as hooks
from test_stream_receive_paths import received, assert_whole_pattern_frames
assert_whole_pattern_frames(received(k, hooks, hooks.soft_device_start, 0, "%s", packet_size=8000)[0])""" % receive_path
    proc = run_in_own_network(script, ["link", "set", "lo", "mtu", "1500"])
    assert proc.returncode == 0, proc.stderr[-4000:]


def test_datagrams_of_another_sender_have_a_statistic_of_their_own(k):
    """PacketsForeign, the last of the stream's statistics: what it counts, read-only, zero on a new
    stream."""
    parameters = k.TqStreamGEV().GetParameters()
    foreign = parameters.Get("PacketsForeign")
    assert foreign.GetCategory()[1] == "Statistics"
    assert foreign.GetDescription()[1] == "Datagrams from another sender than the device, dropped."
    assert foreign.IsWritable()[1] is False
    assert parameters.GetIntegerValue("PacketsForeign")[1] == 0
    # The registers after the statistics are still their own.
    assert parameters.GetIntegerValue("PacketsRecovered")[1] == 0
    assert parameters.GetBooleanValue("RequestMissingPackets")[1] is True
    assert parameters.GetStringValue("LocalIPAddress")[1] == ""
