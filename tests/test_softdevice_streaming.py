"""A software device streaming from a stream source's buffers, seen from Python: our TqStreamGEV and
aravis (through GObject introspection, in its own process) each receive whole frames of the source's
bytes with consecutive block IDs, and after Stop the device has freed every buffer once. The source is
the test module's recording source, which gives back its queued buffers as numbered frames."""

import contextlib

import numpy as np
import pytest

from conftest import ARAVIS_STREAM, aravis_client
from test_softdevice import LO, address_of

MONO8 = 17301505
WIDTH, HEIGHT, BUFFERS = 64, 48, 4

ARAVIS_CLIENT = ARAVIS_STREAM + r"""
count = int(sys.argv[1])
stream.set_property("frame-retention", 3000000)   # a loaded machine may send a frame slowly
for _ in range(count + 54):   # the source is unpaced: room for the frames after the ones looked at
    stream.push_buffer(Aravis.Buffer.new_allocate(payload))
camera.start_acquisition()
frames = []
for _ in range(count):
    buffer = stream.timeout_pop_buffer(5000000)
    if buffer is None:
        frames.append(None)
        break
    frames.append({"status": buffer.get_status().value_nick, "id": buffer.get_frame_id(),
                   "size": [buffer.get_image_width(), buffer.get_image_height()],
                   "data": buffer.get_data().hex()})
camera.stop_acquisition()
print(json.dumps({"payload": payload, "frames": frames}))
"""


def frame_bytes(frame, size):
    """The bytes the recording source puts in frame number `frame` (numbered from 1)."""
    n = np.arange(size, dtype=np.uint64)
    return ((frame * 31 + n * 7 + (n >> 8)) & 0xFF).astype(np.uint8)


@pytest.fixture
def streaming(k, hooks):
    """A started TqSoftDeviceGEV streaming from a recording source: (device, source handle)."""
    handle = hooks.soft_recorder("source", streams=True, buffers=BUFFERS, width=WIDTH, height=HEIGHT,
                                 pixel_types=[MONO8])
    device = k.TqSoftDeviceGEV()
    try:
        assert device.AddStream(hooks.soft_recorder_proxy(handle)).IsOK()
        assert device.Start(LO).IsOK()
        yield device, handle
    finally:
        device.Stop()
        hooks.soft_recorder_free(handle)


def every_buffer_freed_once(hooks, device, handle):
    assert device.Stop().IsOK()
    return hooks.soft_recorder_state(handle)["freed"] == [1] * BUFFERS


@contextlib.contextmanager
def acquiring(k, ip, size, buffers=32, setup=None):
    """Our controller and stream of the device at ip, with buffers of size bytes queued, acquiring:
    yields the stream; the acquisition stops, and the stream and the controller go, after. setup, when
    given, is called with the controller before the acquisition starts."""
    result, control = k.TqDevice.CreateAndConnect(ip)
    assert result.IsOK(), str(result.GetDescription())
    result, stream = k.TqStream.CreateAndOpen(ip)
    assert result.IsOK(), str(result.GetDescription())
    try:
        for _ in range(buffers):
            buffer = k.TqBuffer()
            assert buffer.Alloc(size).IsOK() and stream.QueueBuffer(buffer).IsOK()
        if setup:
            setup(control)
        assert control.StreamEnable().IsOK()
        assert control.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()
        yield stream
        control.GetParameters().ExecuteCommand("AcquisitionStop")
        control.StreamDisable()
    finally:
        stream.Close()
        while stream.RetrieveBuffer(0)[1] is not None:
            pass
        k.TqStream.Free(stream)
        k.TqDevice.Free(control)


def ten_frames(k, ip, size):
    """The first ten frames of the device at ip, received by our stream: [(block ID, image array)].
    A source gives frames as fast as it is asked: the stream has room for more than ten, so that none
    of the first is missed."""
    frames = []
    with acquiring(k, ip, size) as stream:
        for _ in range(10):
            result, buffer, operation = stream.RetrieveBuffer(20000)
            assert result.IsOK() and operation.IsOK(), (str(result.GetCodeString()), str(operation.GetCodeString()))
            frames.append((buffer.GetBlockID(), buffer.GetImage().GetDataPointer().copy()))
    return frames


def test_our_stream_receives_the_source_frames(k, hooks, streaming):
    device, handle = streaming
    frames = ten_frames(k, address_of(hooks, device), WIDTH * HEIGHT)
    assert [block for block, _ in frames] == list(range(1, 11))
    for block, image in frames:
        assert image.shape == (HEIGHT, WIDTH) and image.dtype == np.uint8
        assert np.array_equal(image.reshape(-1), frame_bytes(block, WIDTH * HEIGHT)), block
    assert every_buffer_freed_once(hooks, device, handle)


def test_aravis_receives_the_source_frames(hooks, streaming):
    device, handle = streaming
    if address_of(hooks, device) != "127.0.0.1":
        pytest.fail("aravis opens 127.0.0.1 only, and the device is at %s" % address_of(hooks, device))
    result = aravis_client(ARAVIS_CLIENT, 10, timeout=120)
    assert result["payload"] == WIDTH * HEIGHT
    frames = result["frames"]
    assert len(frames) == 10 and None not in frames, frames
    assert [f["status"] for f in frames] == ["success"] * 10
    ids = [f["id"] for f in frames]
    assert ids == list(range(ids[0], ids[0] + 10))
    for f in frames:
        assert f["size"] == [WIDTH, HEIGHT]
        assert bytes.fromhex(f["data"]) == frame_bytes(f["id"], WIDTH * HEIGHT).tobytes(), f["id"]
    assert every_buffer_freed_once(hooks, device, handle)
