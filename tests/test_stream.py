"""Streams: the factory typed by kind, queueing and retrieving buffers filled by a software device
(each frame equal to the device's pattern), incomplete blocks, abort and close from another thread,
multicast to two streams, the receiver's settings, aravis's fake camera as a source, and the exact
messages of the dispatchers."""

import threading

import numpy as np
import pytest

from conftest import arg, connect_soft_device, keeps_counts, raises

OPEN_PROTOTYPES = [
    "TqDeviceInfo const *",
    "TqDeviceInfo const *,uint16_t,uint16_t,TqString const &,uint32_t",
    "TqDeviceInfo const *,uint16_t,uint16_t,TqString const &",
    "TqDeviceInfo const *,uint16_t,uint16_t",
    "TqDeviceInfo const *,uint16_t",
    "TqDeviceInfo const *,TqString const &,uint16_t,uint16_t,TqString const &,uint32_t",
    "TqDeviceInfo const *,TqString const &,uint16_t,uint16_t,TqString const &",
    "TqDeviceInfo const *,TqString const &,uint16_t,uint16_t",
    "TqDeviceInfo const *,TqString const &,uint16_t",
    "TqString const &",
    "TqString const &,uint16_t,uint16_t,TqString const &,uint32_t",
    "TqString const &,uint16_t,uint16_t,TqString const &",
    "TqString const &,uint16_t,uint16_t",
    "TqString const &,uint16_t",
    "TqString const &,TqString const &,uint16_t,uint16_t,TqString const &,uint32_t",
    "TqString const &,TqString const &,uint16_t,uint16_t,TqString const &",
    "TqString const &,TqString const &,uint16_t,uint16_t",
    "TqString const &,TqString const &,uint16_t",
]
OPEN_OVERLOAD = ("Wrong number or type of arguments for overloaded function 'TqStreamGEV_Open'.\n"
                 "  Possible C/C++ prototypes are:\n" +
                 "".join("    TqStreamGEV::Open(%s)\n" % p for p in OPEN_PROTOTYPES))


def overloaded(function, *args):
    with pytest.raises(TypeError) as info:
        function(*args)
    assert str(info.value).startswith("Wrong number or type of arguments for overloaded function '%s'.\n"
                                      % function.__name__), str(info.value)


def pattern(width, height, frame):
    return ((np.add.outer(np.arange(height), np.arange(width)) + frame) & 0xFF).astype(np.uint8)


@pytest.fixture
def source(k, soft_devices):
    """A software device at 127.0.0.2, connected and streaming: (device handle, TqDevice)."""
    handle, device = connect_soft_device(k, soft_devices, address="127.0.0.2", model="Stream Source",
                                         mac="02:4b:49:60:00:01", width=320, height=240)
    yield handle, device
    k.TqDevice.Free(device)


def start(device):
    parameters = device.GetParameters()
    assert device.StreamEnable().IsOK()
    assert parameters.ExecuteCommand("AcquisitionStart").IsOK()


def stop(device):
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    device.StreamDisable()


def queued_buffers(k, stream, count, size):
    buffers = [k.TqBuffer() for _ in range(count)]
    for buffer in buffers:
        assert buffer.Alloc(size).IsOK()
        assert stream.QueueBuffer(buffer).IsOK()
    return buffers


def test_frames_equal_the_pattern(m, k, source):
    handle, device = source
    result, stream = k.TqStream.CreateAndOpen("127.0.0.2")
    assert result.IsOK() and type(stream) is k.TqStreamGEV and not stream.thisown
    try:
        buffers = queued_buffers(k, stream, 4, device.GetPayloadSize())
        assert stream.GetQueuedBufferCount() == 4 and stream.GetQueuedBufferMaximum() == 64
        start(device)
        blocks = []
        for _ in range(10):
            result, buffer, operation = stream.RetrieveBuffer(2000)
            assert result.IsOK() and operation.IsOK(), (str(result.GetCodeString()), str(operation.GetCodeString()))
            assert buffer == buffers[len(blocks) % 4] and buffer is not buffers[len(blocks) % 4]
            image = buffer.GetImage().GetDataPointer()
            assert image.shape == (240, 320) and image.dtype == np.uint8
            blocks.append(buffer.GetBlockID())
            assert np.array_equal(image, pattern(320, 240, blocks[-1]))
            assert stream.QueueBuffer(buffer).IsOK()
        assert blocks == list(range(blocks[0], blocks[0] + 10))
        stop(device)
    finally:
        stream.Close()
        while stream.RetrieveBuffer(0)[1] is not None:
            pass
        k.TqStream.Free(stream)


def test_incomplete_blocks_abort_and_close(m, k, hooks, source):
    handle, device = source
    stream = k.TqStreamGEV()
    assert stream.Open("127.0.0.2").IsOK()
    parameters = stream.GetParameters()
    parameters.SetIntegerValue("ImageTimeout", 200)
    assert parameters.SetBooleanValue("RequestMissingPackets", False).IsOK()   # the loss stays
    hooks.soft_device_faults(handle, 0, 0, 0, 0xFFFFFFFF, 7, 0)   # every 7th packet is lost
    queued_buffers(k, stream, 2, device.GetPayloadSize())
    start(device)
    result, buffer, operation = stream.RetrieveBuffer(3000)
    assert result.IsOK() and operation.GetCode() == m.TQ_MISSING_PACKETS
    stop(device)
    hooks.soft_device_faults(handle, 0, 0, 0, 0xFFFFFFFF, 0, 0)
    while stream.RetrieveBuffer(300)[1] is not None:   # what was still arriving
        pass
    # A blocked retrieve ends when another thread aborts; each queued buffer comes back once.
    queued_buffers(k, stream, 1, device.GetPayloadSize())
    timer = threading.Timer(0.2, stream.AbortQueuedBuffers)
    timer.start()
    result, buffer, operation = stream.RetrieveBuffer()
    timer.join()
    assert buffer is not None and operation.GetCode() == m.TQ_ABORTED
    result, buffer, operation = stream.RetrieveBuffer(100)
    assert result.GetCode() == m.TQ_TIMEOUT and buffer is None
    queued_buffers(k, stream, 1, 16)   # too small for a frame
    start(device)
    result, buffer, operation = stream.RetrieveBuffer(3000)
    assert operation.GetCode() == m.TQ_BUFFER_TOO_SMALL
    stop(device)
    queued_buffers(k, stream, 1, device.GetPayloadSize())
    threading.Timer(0.2, stream.Close).start()
    result, buffer, operation = stream.RetrieveBuffer()
    assert operation.GetCode() == m.TQ_ABORTED
    assert not stream.IsOpen() and stream.RetrieveBuffer(5000)[0].GetCode() != m.TQ_OK   # answers at once


def test_queued_buffers_are_kept_alive(k, source):
    handle, device = source
    stream = k.TqStreamGEV()
    assert stream.Open("127.0.0.2").IsOK()
    with keeps_counts():
        buffer = k.TqBuffer()
        buffer.Alloc(device.GetPayloadSize())
        stream.QueueBuffer(buffer)
        del buffer   # the stream holds it while it is queued
        start(device)
        result, returned, operation = stream.RetrieveBuffer(3000)
        stop(device)
        assert operation.IsOK() and returned.GetSize() == device.GetPayloadSize()
        del returned, result, operation
    stream.Close()


def test_multicast_to_two_streams(m, k, source):
    handle, device = source
    streams = [k.TqStreamGEV(), k.TqStreamGEV()]
    for stream in streams:
        assert stream.Open("127.0.0.2", "239.1.2.3", 15000).IsOK()
        assert str(stream.GetMulticastIPAddress()) == "239.1.2.3"
        queued_buffers(k, stream, 2, device.GetPayloadSize())
    gev = device
    assert m.TqDeviceGEV_SetStreamDestination(gev, "239.1.2.3", 15000).IsOK()
    start(device)
    frames = []
    for stream in streams:
        result, buffer, operation = stream.RetrieveBuffer(3000)
        assert operation.IsOK()
        frames.append(buffer.GetBlockID())
    stop(device)
    for stream in streams:
        stream.Close()
    assert len(frames) == 2


def test_receiver_settings(m, k):
    stream = k.TqStreamGEV()
    assert stream.GetDataReceiverType() == m.TqDataReceiverTypeUserMode
    assert stream.SetUserModeRxPacketBufferSize(100).IsOK()   # clamped by the library
    assert stream.SetUserModeSocketRxBufferSize(1 << 20).GetCode() in (m.TQ_OK, m.TQ_INVALID_PARAMETER)
    assert stream.SetWaitForFirstPacketOfBlockToStart(True).IsOK() and stream.GetWaitForFirstPacketOfBlockToStart()
    raises(TypeError, arg("TqStreamGEV_SetWaitForFirstPacketOfBlockToStart", 2, "bool"),
           m.TqStreamGEV_SetWaitForFirstPacketOfBlockToStart, stream, 1)
    raises(OverflowError, arg("TqStreamGEV_SetUserModeRxPacketBufferSize", 2, "uint32_t"),
           m.TqStreamGEV_SetUserModeRxPacketBufferSize, stream, 2**32)
    result, size = stream.GetUserModeSocketRxBufferSize()
    assert size is None or size >= 0
    assert isinstance(stream.GetLocalIPAddress(), k.TqString) and stream.GetSpecificLocalPort() == 0


def test_messages(m, k, hooks):
    stream = k.TqStreamGEV()
    raises(TypeError, OPEN_OVERLOAD, m.TqStreamGEV_Open, stream)
    raises(TypeError, "TqStreamGEV_Open expected at most 7 arguments, got 8\nAdditional information:\n" + OPEN_OVERLOAD,
           m.TqStreamGEV_Open, stream, 1, 2, 3, 4, 5, 6, 7)
    for args in (("127.0.0.2", 65536), ("127.0.0.2", -1), ("127.0.0.2", 1.5), (5,), (k.TqDeviceInfoGEV(), 5, 6, 7)):
        overloaded(m.TqStreamGEV_Open, stream, *args)
    raises(TypeError, "Argument 3: failed to create TqString from Python string", m.TqStreamGEV_Open, stream,
           "127.0.0.2", None, 1042)
    raises(TypeError, arg("TqStreamGEV_Open", 1, "TqStreamGEV *"), m.TqStreamGEV_Open, None, "127.0.0.2")
    create_overload = ("Wrong number or type of arguments for overloaded function 'TqStream_CreateAndOpen'.\n"
                       "  Possible C/C++ prototypes are:\n"
                       "    TqStream::CreateAndOpen(TqDeviceInfo const *,TqResult *)\n"
                       "    TqStream::CreateAndOpen(TqString const &,TqResult *)\n")
    raises(TypeError, create_overload, m.TqStream_CreateAndOpen)
    raises(TypeError, "TqStream_CreateAndOpen expected at most 1 arguments, got 2\nAdditional information:\n" +
           create_overload, m.TqStream_CreateAndOpen, None, None)
    result, made = m.TqStream_CreateAndOpen(None)
    assert result.GetCode() != m.TQ_OK and made is None
    for bad in (-1, 2**32):
        overloaded(m.TqStream_RetrieveBuffer, stream, bad)
    assert m.TqStream_RetrieveBuffer(stream, True)[0].GetCode() != m.TQ_OK   # not open: at once
    raises(TypeError, arg("TqStream_GetType", 1, "TqStream const *"), m.TqStream_GetType, None)
    assert m.delete_TqStream(None) is None and m.TqStream_Free(None) is None
    # IsDriverInstalled: the documented forms need pointer objects; the short form gives the flag.
    overloaded(m.TqStreamGEV_IsDriverInstalled, "127.0.0.2", True)
    flag = hooks.make_pointer("_p_bool", np.zeros(1, dtype=bool).ctypes.data)
    raises(TypeError, arg("TqStreamGEV_IsDriverInstalled", 1, "TqString &"), m.TqStreamGEV_IsDriverInstalled,
           "127.0.0.2", flag)
    raises(TypeError, "invalid null reference " + arg("TqStreamGEV_IsDriverInstalled", 1, "TqString &"),
           m.TqStreamGEV_IsDriverInstalled, None, flag)
    result, installed = m.TqStreamGEV_IsDriverInstalled("127.0.0.2")
    assert result.IsOK() and installed is False


def test_aravis_fake_camera_frames(m, k, aravis_fake_camera):
    result, device = k.TqDevice.CreateAndConnect("127.0.0.1")
    assert result.IsOK(), str(result.GetDescription())
    try:
        result, stream = k.TqStream.CreateAndOpen("127.0.0.1")
        assert result.IsOK(), str(result.GetDescription())
        queued_buffers(k, stream, 3, device.GetPayloadSize())
        start(device)
        frames = []
        for _ in range(5):
            result, buffer, operation = stream.RetrieveBuffer(5000)
            assert operation.IsOK(), str(operation.GetCodeString())
            image = buffer.GetImage().GetDataPointer()
            assert image.shape == (512, 512) and image.dtype == np.uint8
            frames.append((buffer.GetBlockID(), image.copy()))
            stream.QueueBuffer(buffer)
        stop(device)
        ids = [f[0] for f in frames]
        assert ids == list(range(ids[0], ids[0] + 5))
        assert not np.array_equal(frames[0][1], frames[1][1])
        stream.Close()
        k.TqStream.Free(stream)
    finally:
        k.TqDevice.Free(device)
