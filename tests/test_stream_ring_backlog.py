"""The packet ring keeps a backlog: frames that came while the application held every buffer wait in
the ring for the buffers it gives back, instead of being dropped, for a short while (a leader waits at
most 20 ms after the queue ran empty); a frame that finds no buffer after that is dropped as on the
socket paths. The frames come from the device's own stream socket, as a camera sends them."""

import socket
import struct
import time

import numpy as np
import pytest

from conftest import connect_soft_device, free_stream, packet_ring_open
from test_stream import pattern

SCP, SCDA = 0x0D00, 0x0D18
WIDTH, HEIGHT = 320, 240


@pytest.fixture
def ring(k, hooks, soft_devices, receive_path):
    """(stream, send(blocks), statistics) of a stream on the packet ring, with no buffer queued yet."""
    if receive_path != "ring":
        pytest.skip("the packet ring's backlog")
    handle, device = connect_soft_device(k, soft_devices, address="127.0.0.2", model="Backlog",
                                         mac="02:4b:49:64:00:02", width=WIDTH, height=HEIGHT)
    result, stream = k.TqStream.CreateAndOpen("127.0.0.2")
    assert result.IsOK(), str(result.GetDescription())
    assert packet_ring_open()
    ip, port = hooks.soft_device_read(handle, SCDA)[1], hooks.soft_device_read(handle, SCP)[1] & 0xFFFF
    to = (socket.inet_ntoa(struct.pack(">I", ip)), port)
    channel = socket.socket(fileno=hooks.soft_device_stream_socket(handle))

    def send(blocks):
        for block in blocks:
            for packet in hooks.gvsp_frame(WIDTH, HEIGHT, block):
                channel.sendto(packet, to)

    try:
        yield stream, send, stream.GetParameters()
    finally:
        channel.close()
        free_stream(k, stream)
        k.TqDevice.Free(device)


def queue(k, stream, count):
    for _ in range(count):
        buffer = k.TqBuffer()
        assert buffer.Alloc(WIDTH * HEIGHT).IsOK() and stream.QueueBuffer(buffer).IsOK()


def test_frames_beyond_the_queued_buffers_wait_for_the_buffers_given_back(k, hooks, ring):
    stream, send, statistics = ring
    queue(k, stream, 2)
    send(range(1, 9))   # eight frames at once, two buffers
    got = []
    for _ in range(8):
        result, buffer, operation = stream.RetrieveBuffer(5000)
        assert buffer is not None, str(result.GetCodeString())
        assert operation.IsOK(), str(operation.GetCodeString())
        assert np.array_equal(buffer.GetImage().GetDataPointer(), pattern(WIDTH, HEIGHT, buffer.GetBlockID()))
        got.append(buffer.GetBlockID())
        assert stream.QueueBuffer(buffer).IsOK()
    assert got == list(range(1, 9))
    assert statistics.GetIntegerValue("BlocksDropped")[1] == 0
    assert statistics.GetIntegerValue("BlocksReceived")[1] == 8


def test_a_frame_that_finds_no_buffer_for_long_is_dropped(k, ring):
    stream, send, statistics = ring
    queue(k, stream, 1)
    send(range(1, 4))
    time.sleep(0.3)   # the application gives nothing back for far longer than a leader waits
    queue(k, stream, 2)
    result, buffer, operation = stream.RetrieveBuffer(5000)
    assert buffer is not None and operation.IsOK() and buffer.GetBlockID() == 1
    assert stream.RetrieveBuffer(200)[1] is None
    assert statistics.GetIntegerValue("BlocksDropped")[1] == 2
    # The stream goes on with the next frames as they come.
    assert stream.QueueBuffer(buffer).IsOK()
    send(range(4, 6))
    for block in (4, 5):
        result, buffer, operation = stream.RetrieveBuffer(5000)
        assert buffer is not None and operation.IsOK() and buffer.GetBlockID() == block
        assert stream.QueueBuffer(buffer).IsOK()
