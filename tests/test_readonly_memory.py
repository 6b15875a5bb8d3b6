"""Memory Python holds read-only is never written. Where the SDK may write memory it is given (attached
payloads, images, parts and chunk data, a stream's or a converter's destination) a read-only array is
taken as a new writable copy, which the SDK keeps alive while it uses it; where it only reads, the
caller's array is used as it is."""

import gc
import struct
import tracemalloc

import numpy as np
import pytest

from test_softdevice_streaming import acquiring


def chunk(chunk_id, data):
    return data + struct.pack(">II", chunk_id, len(data))


def read_only(kind, data):
    """An array over a copy of data that Python holds read-only: a bytes object's memory, or an array
    marked so."""
    if kind == "bytes":
        return np.frombuffer(bytes(bytearray(data)), np.uint8)   # a bytes object of its own
    array = np.frombuffer(bytearray(data), np.uint8)
    array.flags.writeable = False
    return array


KINDS = ["bytes", "marked"]


def released():
    """Collects what the caller dropped and fills the heap, so that memory released under the SDK is
    reused (and seen by the sanitizer)."""
    gc.collect()
    return [np.full(4096, 0xEE, np.uint8) for _ in range(64)]


@pytest.mark.parametrize("kind", KINDS)
def test_buffer_attach(m, k, kind):
    original = bytes(range(64))
    array = read_only(kind, original)
    buffer = k.TqBuffer()
    assert buffer.Attach(array).IsOK() and buffer.IsAttached() and buffer.GetSize() == 64
    view = buffer.GetDataPointer()
    assert view.tobytes() == original and view.ctypes.data != array.ctypes.data
    view[:] = 1
    assert array.tobytes() == original and not array.flags.writeable
    # The copy lives while attached, after the caller's array is gone.
    del array, view
    junk = released()
    assert (buffer.GetDataPointer() == 1).all()
    detached = buffer.Detach()
    del junk
    junk = released()
    assert (detached == 1).all() and detached.flags.writeable   # the detached view keeps the copy


@pytest.mark.parametrize("kind", KINDS)
def test_image_attach(m, k, hooks, kind):
    original = bytes(range(48))
    frame = read_only(kind, original).reshape(4, 12)
    buffer = k.TqBuffer()
    image = hooks.buffer_image(buffer)
    assert image.Attach(frame, m.TqPixelMono8).IsOK() and (image.GetWidth(), image.GetHeight()) == (12, 4)
    pixels = image.GetDataPointer()
    assert pixels.tobytes() == original
    pixels[...] = 9
    assert frame.tobytes() == original
    colour = read_only(kind, original).reshape(2, 8, 3)
    assert image.Attach(colour, m.TqPixelRGB8).IsOK()
    image.GetDataPointer()[...] = 3
    assert colour.tobytes() == original
    del frame, colour, pixels
    junk = released()
    assert (image.GetDataPointer() == 3).all()


@pytest.mark.parametrize("kind", KINDS)
def test_raw_data_and_chunk_data_attach(m, k, hooks, kind):
    original = bytes(range(32))
    raw_memory = read_only(kind, original)
    buffer = k.TqBuffer(m.TqPayloadTypeRawData)
    raw = hooks.buffer_raw_data(buffer)
    assert raw.Attach(raw_memory).IsOK() and raw.GetPayloadLength() == 32
    buffer.GetDataPointer()[:] = 0
    assert raw_memory.tobytes() == original

    layout = chunk(1, b"one!") + chunk(2, b"twotwo!!")
    chunks_memory = read_only(kind, layout)
    payload = hooks.make_chunk_data()
    assert payload.Attach(chunks_memory).IsOK() and payload.GetChunkCount() == 2
    payload.GetChunkRawDataByID(2)[:] = 0
    assert chunks_memory.tobytes() == layout
    del chunks_memory, raw_memory
    junk = released()
    assert payload.GetChunkRawDataByID(1).tobytes() == b"one!" and payload.GetChunkRawDataByID(2).sum() == 0
    assert (buffer.GetDataPointer() == 0).all()


@pytest.mark.parametrize("kind", KINDS)
def test_multi_part_attach(m, k, kind):
    buffer = k.TqBuffer(m.TqPayloadTypeMultiPart)
    container = buffer.GetMultiPartContainer()
    assert container.AddImagePart(m.TqMultiPart2DImage, 16, 4, m.TqPixelMono8).IsOK()
    original = bytes(range(64))
    memory = read_only(kind, original)
    assert container.AttachPart(0, memory).IsOK()
    part = container.GetPart(0).GetDataPointer()
    assert part.tobytes() == original
    part[:] = 7
    assert memory.tobytes() == original
    del memory, part
    junk = released()
    assert (container.GetPart(0).GetDataPointer() == 7).all() and container.Validate().IsOK()


@pytest.mark.parametrize("kind", KINDS)
def test_attached_data_chunks(camera, kind):
    layout = struct.pack(">d", 1234.5) + struct.pack(">II", 0x1001, 8)
    memory = read_only(kind, layout)
    assert camera.AttachDataChunks(memory).IsOK()
    assert camera.GetFloatValue("ChunkExposureTime")[1] == 1234.5
    del memory
    junk = released()
    assert camera.GetFloatValue("ChunkExposureTime")[1] == 1234.5   # the copy it reads lives on
    assert camera.DetachDataChunks().IsOK()


def pattern(width, height, frame):
    return ((np.add.outer(np.arange(height), np.arange(width)) + frame) & 0xFF).astype(np.uint8)


@pytest.mark.parametrize("kind", KINDS)
def test_a_stream_fills_a_copy(k, soft_devices, kind):
    soft_devices(address="127.0.0.2", model="Read Only", mac="02:4b:49:60:00:21", width=64, height=32)
    original = bytes(64 * 32)
    memory = read_only(kind, original)
    buffer = k.TqBuffer()
    assert buffer.Attach(memory).IsOK()
    with acquiring(k, "127.0.0.2", len(original), buffers=0) as stream:
        assert stream.QueueBuffer(buffer).IsOK()
        del buffer
        junk = released()   # the stream holds the buffer, the buffer the copy
        result, buffer, operation = stream.RetrieveBuffer(10000)
        assert result.IsOK() and operation.IsOK(), str(operation.GetCodeString())
        image = buffer.GetImage().GetDataPointer()
        assert np.array_equal(image, pattern(64, 32, buffer.GetBlockID()))
        assert memory.tobytes() == original


@pytest.mark.parametrize("kind", KINDS)
def test_a_converter_and_a_filter_write_into_copies(m, k, hooks, kind):
    rgb = np.random.default_rng(3).integers(0, 256, (6, 8, 3), dtype=np.uint8)
    source = k.TqBuffer()
    source_image = hooks.buffer_image(source)
    assert source_image.Alloc(8, 6, m.TqPixelRGB8).IsOK()
    source_image.GetDataPointer()[...] = rgb
    original = bytes(6 * 8 * 3)
    memory = read_only(kind, original).reshape(6, 8, 3)
    destination = k.TqBuffer()
    assert hooks.buffer_image(destination).Attach(memory, m.TqPixelBGR8).IsOK()
    assert k.TqBufferConverter().Convert(source, destination)[0].IsOK()
    converted = destination.GetImage().GetDataPointer()
    assert np.array_equal(converted.reshape(6, 8, 3), rgb[:, :, ::-1]) and memory.tobytes() == original
    # A decompression filter writes the image into the memory attached to its destination.
    compressed, out = k.TqBuffer(), k.TqBuffer()
    mono = k.TqBuffer()
    assert hooks.buffer_image(mono).Alloc(16, 8, m.TqPixelMono8).IsOK()
    mono.GetImage().GetDataPointer()[...] = np.arange(128, dtype=np.uint8).reshape(8, 16)
    assert k.TqCompressionFilter().Execute(mono, compressed)[0].IsOK()
    target = read_only(kind, bytes(128))
    assert out.Attach(target).IsOK()
    assert k.TqDecompressionFilter().Execute(compressed, out)[0].IsOK()
    assert out.GetImage().GetDataPointer().tobytes() == bytes(range(128)) and target.tobytes() == bytes(128)


def peak_while(call):
    """The most memory traced (NumPy's arrays among it) while call runs, beyond what was there before."""
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        call()
        return tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()


def test_functions_that_only_read_use_the_callers_memory(m, k, hooks):
    big = np.frombuffer(bytes(16 << 20), np.uint8)
    sink = k.TqDeviceEventSink()
    assert peak_while(lambda: m.TqDeviceEventSink_OnEvent(sink, None, 1, 2, 3, 4, big)) < (1 << 20)
    assert peak_while(lambda: hooks.probe_read_address(big)) < (1 << 20)
    # A function that may write copies it (the measure sees a copy).
    assert peak_while(lambda: hooks.probe_write_address(big)) >= (16 << 20)
