"""The GigE Vision stream's receive paths: the socket with UDP receive offload (the device's sender
coalesces runs of payload packets to loopback and the receiver reads each run whole and splits it),
the plain socket, and the packet ring (the kernel copies the stream's datagrams into memory shared
with the receiver). All give the same frames, whole and equal to the device's pattern, also when the
device loses packets and the receiver asks for them again."""

import numpy as np
import pytest

from conftest import connect_soft_device, packet_ring_open
from test_stream import pattern

FRAME_PERIOD, FRAME_RATE_ENABLE = 0x30000020, 0x30000030   # the engine's feature registers
WIDTH, HEIGHT = 640, 480   # 1500-byte packets: a leader, 210 payload packets, a trailer
FRAMES = 24


def received(k, hooks, soft_devices, drop, path):
    """FRAMES frames of a paced software device (one packet in `drop` lost, 0: none) to a stream with
    resends on: [(result, block ID, image)], and the stream's PacketsRecovered."""
    handle, device = connect_soft_device(k, soft_devices, address="127.0.0.2", model="Two Paths",
                                         mac="02:4b:49:63:00:01", width=WIDTH, height=HEIGHT)
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
