"""Compression and decompression filters: images survive the round trip bit for bit, the header
queries, failures as values (corrupt data included), the thread settings, the priority through a
pointer object or as an output, and the exact messages."""

import sys

import numpy as np
import pytest

from conftest import arg, raises
from test_converter import image_buffer, pixels_of


@pytest.fixture
def filters(k):
    return k.TqCompressionFilter(), k.TqDecompressionFilter()


def compressed(m, k, hooks, compressor, width, height, pixel_type, pixels):
    source = image_buffer(k, hooks, width, height, pixel_type, pixels)
    packed = k.TqBuffer()
    result, returned = compressor.Execute(source, packed)
    assert result.IsOK() and returned == packed and returned is not packed and not returned.this.own()
    assert packed.GetPayloadType() == m.TqPayloadTypeZelvraCompressed
    return packed


@pytest.mark.parametrize("pixel_type,channels,dtype", [("TqPixelMono8", 1, np.uint8), ("TqPixelMono16", 1, np.uint16),
                                                       ("TqPixelRGB8", 3, np.uint8),
                                                       ("TqPixelBayerRG8", 1, np.uint8)])
def test_round_trip(m, k, hooks, filters, no_leaks, pixel_type, channels, dtype):
    compressor, decompressor = filters
    rng = np.random.default_rng(3)
    shape = (37, 53, channels) if channels > 1 else (37, 53)
    # Smooth content with noise on top: what a camera sends.
    ramp = np.add.outer(np.arange(37), np.arange(53)).astype(np.int64)
    if channels > 1:
        ramp = ramp[:, :, None] * np.array([1, 2, 3])
    pixels = ((ramp + rng.integers(0, 4, shape)) % (np.iinfo(dtype).max + 1)).astype(dtype)
    kind = getattr(m, pixel_type)

    def run():
        packed = compressed(m, k, hooks, compressor, 53, 37, kind, pixels)
        assert m.TqDecompressionFilter_IsCompressed(packed) is True
        result, fmt, width, height = m.TqDecompressionFilter_GetOutputFormatFor(packed)
        assert result.IsOK() and (fmt, width, height) == (kind & 0xFFFFFFFF, 53, 37)
        out = image_buffer(k, hooks, 1, 1, m.TqPixelMono8)
        result, returned = decompressor.Execute(packed, out)
        assert result.IsOK() and returned == out
        image = out.GetImage()
        assert (image.GetWidth(), image.GetHeight(), image.GetPixelType()) == (53, 37, kind)
        assert np.array_equal(np.array(image.GetDataPointer()).reshape(pixels.shape), pixels)

    with no_leaks():
        run()


@pytest.mark.parametrize("block_id", [0x10000, 2**40 + 3, 2**64 - 1])
def test_64_bit_block_ids_survive_the_round_trip(m, k, hooks, filters, block_id):
    compressor, decompressor = filters
    source = image_buffer(k, hooks, 16, 8, m.TqPixelMono8, np.arange(128))
    assert not source.IsExtendedID() and source.SetBlockID(block_id).IsOK()
    packed = k.TqBuffer()
    assert compressor.Execute(source, packed)[0].IsOK() and packed.GetBlockID() == block_id
    assert packed.SetBlockID(1).IsOK()   # the frame's header carries the ID on its own
    out = k.TqBuffer()
    assert decompressor.Execute(packed, out)[0].IsOK()
    assert out.GetBlockID() == block_id and out.GetImage().GetBlockID() == block_id
    # The converter hands the image's ID on to the image it makes.
    rgb = image_buffer(k, hooks, 1, 1, m.TqPixelRGB8)
    assert k.TqBufferConverter().Convert(out.GetImage(), rgb)[0].IsOK()
    assert rgb.GetImage().GetBlockID() == block_id


def test_failures_are_values(m, k, hooks, filters):
    compressor, decompressor = filters
    plain = image_buffer(k, hooks, 8, 8, m.TqPixelMono8, np.arange(64))
    packed = compressed(m, k, hooks, compressor, 8, 8, m.TqPixelMono8, np.arange(64))
    out = k.TqBuffer()
    for f, args, code in [(compressor, (None, out), m.TQ_INVALID_PARAMETER), (compressor, (plain, plain), None),
                          (decompressor, (None, out), m.TQ_INVALID_PARAMETER), (decompressor, (plain, out), None),
                          (decompressor, (packed, None), m.TQ_INVALID_PARAMETER)]:
        result, returned = f.Execute(*args)
        assert not result.IsOK() and returned is None
        assert code is None or result.GetCode() == code
    # A frame damaged in transit is refused, never trusted.
    raw = packed.GetDataPointer()
    raw[len(raw) // 2] ^= 0x5A
    result, returned = decompressor.Execute(packed, out)
    assert result.GetCode() == m.TQ_IMAGE_ERROR and returned is None
    # The header queries of something that is not compressed.
    assert m.TqDecompressionFilter_IsCompressed(None) is False
    assert m.TqDecompressionFilter_IsCompressed(plain) is False
    for source in (None, plain):
        answer = m.TqDecompressionFilter_GetOutputFormatFor(source)
        assert len(answer) == 4 and not answer[0].IsOK() and answer[1:] == (0, 0, 0)
    # None keeps its count through many failures.
    before = sys.getrefcount(None)
    for _ in range(300):
        decompressor.Execute(None, out)
    assert abs(sys.getrefcount(None) - before) < 10


def test_damaged_frames_never_escape(m, k, hooks, filters):
    """Seeded damage (bytes changed, the payload cut short): each frame is refused or decodes to
    exactly the original; under the sanitizer run nothing reads or writes out of bounds."""
    compressor, decompressor = filters
    rng = np.random.default_rng(5)
    pixels = (np.add.outer(np.arange(40), np.arange(60)) + rng.integers(0, 3, (40, 60))).astype(np.uint8)
    packed = compressed(m, k, hooks, compressor, 60, 40, m.TqPixelMono8, pixels)
    original = bytes(packed.GetDataPointer()[:hooks.payload_length(packed)])
    out = k.TqBuffer()
    outcomes = {True: 0, False: 0}
    for round in range(400):
        damaged = bytearray(original)
        for _ in range(int(rng.integers(1, 4))):
            damaged[int(rng.integers(0, len(damaged)))] = int(rng.integers(0, 256))
        if round % 4 == 0:
            damaged = damaged[:int(rng.integers(0, len(damaged)))]
        frame = k.TqBuffer(m.TqPayloadTypeZelvraCompressed)
        frame.Alloc(max(len(damaged), 1))
        frame.GetDataPointer()[:len(damaged)] = np.frombuffer(bytes(damaged), np.uint8)
        hooks.set_payload_length(frame, len(damaged))
        result, returned = decompressor.Execute(frame, out)
        answer = m.TqDecompressionFilter_GetOutputFormatFor(frame)
        outcomes[result.IsOK()] += 1
        if result.IsOK():
            assert np.array_equal(np.array(out.GetImage().GetDataPointer()), pixels)
        else:
            assert result.GetCode() in (m.TQ_IMAGE_ERROR, m.TQ_NOT_SUPPORTED, m.TQ_INVALID_PARAMETER)
            assert returned is None
        assert len(answer) == 4
    assert outcomes[False] > 300   # damage is noticed (a byte rewritten to its own value is not damage)


def test_thread_settings(m, k, filters):
    compressor, decompressor = filters
    assert compressor.GetThreadCount() == 1
    assert compressor.SetThreadCount(4).GetCode() == m.TQ_NOT_SUPPORTED
    assert compressor.SetThreadsPriority(3).GetCode() == m.TQ_NOT_SUPPORTED
    assert compressor.SetThreadsPriority(100).GetCode() == m.TQ_INVALID_PARAMETER
    assert decompressor.GetThreadCount() >= 1
    assert decompressor.SetThreadCount(3).IsOK() and decompressor.GetThreadCount() == 3
    assert decompressor.SetThreadCount(65).GetCode() == m.TQ_INVALID_PARAMETER
    assert decompressor.SetThreadCount(0).GetCode() == m.TQ_INVALID_PARAMETER
    raises(OverflowError, arg("TqDecompressionFilter_SetThreadCount", 2, "uint32_t"),
           m.TqDecompressionFilter_SetThreadCount, decompressor, -1)
    assert decompressor.SetThreadsPriority(0).IsOK()
    assert decompressor.SetThreadsPriority(100).GetCode() == m.TQ_INVALID_PARAMETER
    assert compressor.SetEncoding(m.TqEncodingPTC1).IsOK() and compressor.GetEncoding() == 0
    assert compressor.SetEncoding(m.TqEncodingUnknown).GetCode() == m.TQ_NOT_SUPPORTED
    assert compressor.GetEncoding() == 0
    raises(TypeError, arg("TqCompressionFilter_SetEncoding", 2, "TqEncodingEnum"),
           m.TqCompressionFilter_SetEncoding, compressor, "PTC1")


def test_priority_reference_and_output(m, k, hooks, filters):
    compressor, decompressor = filters
    # Given only self: [TqResult, priority].
    result, priority = decompressor.GetThreadsPriority()
    assert result.IsOK() and priority == 3
    result, priority = compressor.GetThreadsPriority()
    assert result.GetCode() == m.TQ_NOT_SUPPORTED and priority == 0
    # The documented form writes through a pointer object of an unsigned int.
    memory = np.array([7], np.uint32)
    cell = hooks.make_pointer("_p_unsigned_int", memory.ctypes.data)
    assert m.TqDecompressionFilter_GetThreadsPriority(decompressor, cell).IsOK()
    assert memory[0] == 3
    for name, f in [("TqCompressionFilter", compressor), ("TqDecompressionFilter", decompressor)]:
        func = getattr(m, name + "_GetThreadsPriority")
        raises(TypeError, arg(func.__name__, 2, "uint32_t &"), func, f, 3)
        raises(TypeError, "invalid null reference " + arg(func.__name__, 2, "uint32_t &"), func, f, None)
        raises(TypeError, "invalid null reference " + arg(func.__name__, 2, "uint32_t &"), func, f,
               hooks.make_pointer("_p_unsigned_int", 0))
        raises(TypeError, arg(func.__name__, 1, name + " const *"), func, None, cell)


def test_messages_and_lifetime(m, k, hooks, filters, gil_released, no_leaks):
    compressor, decompressor = filters
    raises(TypeError, arg("TqCompressionFilter_Execute", 1, "TqCompressionFilter *"),
           m.TqCompressionFilter_Execute, decompressor, None, None)
    raises(TypeError, arg("TqCompressionFilter_Execute", 2, "TqBuffer const *"),
           m.TqCompressionFilter_Execute, compressor, compressor, None)
    raises(TypeError, arg("TqCompressionFilter_Execute", 3, "TqBuffer *"),
           m.TqCompressionFilter_Execute, compressor, None, 1)
    raises(TypeError, "TqCompressionFilter_Execute expected 3 arguments, got 2", m.TqCompressionFilter_Execute,
           compressor, None)
    raises(TypeError, arg("TqDecompressionFilter_GetThreadCount", 1, "TqDecompressionFilter const *"),
           m.TqDecompressionFilter_GetThreadCount, compressor)
    raises(TypeError, arg("TqDecompressionFilter_IsCompressed", 1, "TqBuffer const *"),
           m.TqDecompressionFilter_IsCompressed, 5)
    raises(TypeError, arg("TqDecompressionFilter_GetOutputFormatFor", 1, "TqBuffer const *"),
           m.TqDecompressionFilter_GetOutputFormatFor, compressor)
    raises(TypeError, arg("delete_TqDecompressionFilter", 1, "TqDecompressionFilter *"),
           m.delete_TqDecompressionFilter, compressor)
    for doc in (m.TqCompressionFilter_Execute.__doc__, m.TqDecompressionFilter_Execute.__doc__):
        assert doc.startswith("Convert(self, aIn, aOut) -> TqResult, TqBuffer")
    assert m.TqDecompressionFilter_GetOutputFormatFor.__doc__.startswith(
        "Convert(self, aIn) -> TqResult, TqPixelType, int, int")
    with pytest.raises(TypeError):
        m.new_TqCompressionFilter(1)
    assert m.delete_TqDecompressionFilter(None) is None
    with no_leaks():
        for cls in ("TqCompressionFilter", "TqDecompressionFilter"):
            made = getattr(m, "new_" + cls)()
            getattr(m, "delete_" + cls)(made)
            assert not made.own()
            assert gil_released(lambda: getattr(m, "delete_" + cls)(getattr(m, "new_" + cls)()))
    # Static methods on the class, no self.
    assert k.TqDecompressionFilter.IsCompressed(None) is False
