"""The stream benchmark's camera-like sender (_kivo_bench.camera_start): its packets make the frames it
claims to send (a stream reassembles them byte for byte, block IDs counting up through the 16-bit
wrap), one datagram per packet from the address or the socket it was given, and it sends nowhere but
loopback; aravis's receiver as the bench opens it takes them whole. No timing: a few frames each."""

import json
import os
import socket
import struct
import subprocess
import sys

import numpy as np
import pytest

from conftest import clean_environment, connect_soft_device, free_stream

bare = pytest.importorskip("_kivo_bench")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import bench_stream  # noqa: E402

SCP, SCDA = 0x0D00, 0x0D18
WIDTH, HEIGHT = 320, 240


def expected_frame(width, height, packet):
    """The frame the sender makes: byte k of payload packet n (from 0) is (k + n % 256) % 251."""
    chunk = packet - 28 - 8
    at = np.arange(width * height)
    return (((at % chunk) + (at // chunk) % 256) % 251).astype(np.uint8)


def test_frames_reassemble_in_our_stream(k, hooks, soft_devices):
    # The device only serves control: its acquisition never starts; the sender streams to the
    # destination the stream set, from the device's stream socket (the stream takes the device's
    # source port alone), through the block ID's wrap.
    handle, device = connect_soft_device(k, soft_devices, address="127.0.0.2", model="Bench Camera",
                                         mac="02:4b:49:62:00:01", width=WIDTH, height=HEIGHT)
    packet = 1500
    assert device.GetParameters().SetIntegerValue("GevSCPSPacketSize", packet).IsOK()
    result, stream = k.TqStream.CreateAndOpen("127.0.0.2")
    assert result.IsOK(), str(result.GetDescription())
    buffers = [k.TqBuffer() for _ in range(4)]
    for buffer in buffers:
        buffer.Alloc(WIDTH * HEIGHT)
        stream.QueueBuffer(buffer)
    ip, port = hooks.soft_device_read(handle, SCDA)[1], hooks.soft_device_read(handle, SCP)[1] & 0xFFFF
    assert port == stream.GetLocalPort()
    dotted = socket.inet_ntoa(struct.pack(">I", ip))
    channel = hooks.soft_device_stream_socket(handle)
    assert channel >= 0
    try:
        sender = bare.camera_start(dotted, port, WIDTH, HEIGHT, packet, 1e9, channel, first_block=65534, frames=3)
    finally:
        os.close(channel)
    frames, packets, cpu, seconds, error = bare.camera_stop(sender, True)
    chunk = packet - 36
    assert (frames, packets, error) == (3, 3 * (-(-WIDTH * HEIGHT // chunk) + 2), 0)
    assert cpu >= 0 and seconds > 0
    expected = expected_frame(WIDTH, HEIGHT, packet)
    got = []
    try:
        for _ in range(3):
            result, buffer, operation = stream.RetrieveBuffer(10000)
            assert buffer is not None, str(result.GetDescription())
            assert operation.IsOK(), str(operation.GetDescription())
            image = buffer.GetImage()
            assert (image.GetWidth(), image.GetHeight()) == (WIDTH, HEIGHT)
            assert np.array_equal(np.asarray(buffer.GetDataPointer())[: WIDTH * HEIGHT], expected)
            got.append(buffer.GetBlockID())
            stream.QueueBuffer(buffer)
        assert got == [65534, 65535, 1]
        assert stream.GetParameters().GetIntegerValue("PacketsRequested")[1] == 0
    finally:
        free_stream(k, stream)
        k.TqDevice.Free(device)


def test_one_datagram_a_packet_from_the_given_socket():
    # Handed a socket, it sends from it (a copy: the socket stays the caller's and stays open),
    # every packet one datagram of its own: leader, payload packets, trailer, with the codec's fields.
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    source = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        receiver.bind(("127.0.0.1", 0))
        receiver.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        receiver.settimeout(10)
        source.bind(("127.0.0.3", 0))
        width, height, packet = 100, 30, 576   # 3000 bytes: 6 payload packets of 540 and one of 300
        sender = bare.camera_start("127.0.0.1", receiver.getsockname()[1], width, height, packet, 0.0, source.fileno(),
                                   first_block=7, frames=2)
        assert bare.camera_stop(sender, True)[:2] == (2, 2 * 8)
        del sender
        assert source.getsockname()[0] == "127.0.0.3"   # still open: the sender closed its own copy
        expected = expected_frame(width, height, packet).tobytes()
        for block in (7, 8):
            payload = b""
            for packet_id in range(8):
                data, sender_address = receiver.recvfrom(65536)
                assert sender_address == source.getsockname()
                status, block_id, form, high, low = struct.unpack(">HHBBH", data[:8])
                assert (status, block_id, form & 0x0F, (high << 16) | low) == (
                    0, block, 1 if packet_id == 0 else 2 if packet_id == 7 else 3, packet_id)
                if packet_id == 0:
                    assert len(data) == 8 + 36
                    assert struct.unpack(">HHQIII", data[8:32])[1:] == (1, 0, 0x01080001, width, height)
                elif packet_id == 7:
                    assert len(data) == 8 + 8 and struct.unpack(">HHI", data[8:16])[1:] == (1, height)
                else:
                    assert len(data) == 8 + (540 if packet_id < 6 else 300)
                    payload += data[8:]
            assert payload == expected
    finally:
        receiver.close()
        source.close()


def test_a_sender_behind_its_pace_sends_what_is_due_at_once():
    # Paced to a line so fast that every packet of a frame is due by the time the one before has left,
    # the sender catches up a whole batch at a time, up to each frame's last packet (the sanitizer run
    # sees any look past the frame's pacing table), and every packet arrives.
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        receiver.bind(("127.0.0.1", 0))
        receiver.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        receiver.settimeout(10)
        width, height, packet = 320, 240, 1500   # 53 payload packets: batches of 32 and 23
        per_frame = -(-width * height // (packet - 36)) + 2
        sender = bare.camera_start("127.0.0.1", receiver.getsockname()[1], width, height, packet, 1e12, "127.0.0.1",
                                   frames=4)
        frames, packets, _, _, error = bare.camera_stop(sender, True)
        assert (frames, packets, error) == (4, 4 * per_frame, 0)
        for _ in range(4 * per_frame):
            receiver.recvfrom(65536)
    finally:
        receiver.close()


def test_arguments_refused():
    args = (WIDTH, HEIGHT, 1500, 0.0)
    # Nothing leaves 127.0.0.0/8: neither a destination nor a source address elsewhere is taken.
    with pytest.raises(ValueError, match="loopback"):
        bare.camera_start("10.0.0.1", 4000, *args, "127.0.0.1")
    with pytest.raises(ValueError, match="loopback"):
        bare.camera_start("127.0.0.1", 4000, *args, "192.168.0.1")
    with pytest.raises(ValueError):
        bare.camera_start("127.0.0.1", 0, *args, "127.0.0.1")
    with pytest.raises(ValueError):
        bare.camera_start("127.0.0.1", 4000, WIDTH, HEIGHT, 1500, -1.0, "127.0.0.1")
    with pytest.raises(ValueError):
        bare.camera_start("127.0.0.1", 4000, WIDTH, HEIGHT, 50, 0.0, "127.0.0.1")
    with pytest.raises(ValueError):
        bare.camera_start("127.0.0.1", 4000, *args, "127.0.0.1", first_block=0)
    stream_socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        with pytest.raises(ValueError, match="UDP socket"):
            bare.camera_start("127.0.0.1", 4000, *args, stream_socket.fileno())
    finally:
        stream_socket.close()
    with pytest.raises(ValueError, match="UDP socket"):
        bare.camera_start("127.0.0.1", 4000, *args, -1)
    with pytest.raises(TypeError):
        bare.camera_start("127.0.0.1", 4000, *args, 1.5)
    with pytest.raises(TypeError):
        bare.camera_counts(object())


@pytest.mark.parametrize("mode", ["ring", "socket"])
def test_aravis_receiver_of_the_bench_takes_the_frames_whole(soft_devices, hooks, mode):
    # aravis's stream takes the packet size once, as it is made, for its reads and the payloads' places.
    handle = soft_devices(address="127.0.0.1", mac="02:4b:49:62:00:02", width=WIDTH, height=HEIGHT)
    proc = subprocess.Popen(["/usr/bin/python3", "-c", bench_stream.ARAVIS_PRELUDE + """
camera, stream = open_stream("127.0.0.1", 9000, sys.argv[1], False, resend=False)
print("ready", flush=True)
frames = [stream.timeout_pop_buffer(10000000) for _ in range(3)]
print(json.dumps([[f.get_status().value_nick, f.get_frame_id(), f.get_data().hex()] for f in frames if f]))
""", mode], stdout=subprocess.PIPE, text=True, env=clean_environment())
    assert proc.stdout.readline() == "ready\n"
    ip, port = hooks.soft_device_read(handle, SCDA)[1], hooks.soft_device_read(handle, SCP)[1] & 0xFFFF
    channel = hooks.soft_device_stream_socket(handle)
    bare.camera_stop(bare.camera_start(socket.inet_ntoa(struct.pack(">I", ip)), port, WIDTH, HEIGHT, 9000, 1e9,
                                       channel, frames=3), True)
    os.close(channel)
    expected = expected_frame(WIDTH, HEIGHT, 9000).tobytes().hex()
    assert json.loads(proc.communicate(timeout=60)[0]) == [["success", block, expected] for block in (1, 2, 3)]
