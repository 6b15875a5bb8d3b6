"""A buffer's payload interfaces, the block's identity, times, reception statistics and missing packet
groups (filled the way a stream fills them), its chunks; the pixel bit count and the display-rate
stabiliser."""

import gc

import numpy as np
import pytest

from conftest import arg, raises

U64 = 2**64 - 1


def prototypes(func, *lines):
    return ("Wrong number or type of arguments for overloaded function '%s'.\n  Possible C/C++ prototypes are:\n"
            % func + "".join("    %s\n" % line for line in lines))


PAYLOADS = [
    ("GetImage", "TqPayloadTypeImage", "TqImage"),
    ("GetRawData", "TqPayloadTypeRawData", "TqRawData"),
    ("GetChunkData", "TqPayloadTypeChunkData", "TqChunkData"),
    ("GetH264AccessUnit", "TqPayloadTypeH264", None),
    ("GetZelvraCompressed", "TqPayloadTypeZelvraCompressed", None),
]


@pytest.mark.parametrize("getter, payload_type, cls", PAYLOADS)
def test_payload_interfaces(m, k, no_leaks, getter, payload_type, cls):
    with no_leaks():
        buffer = k.TqBuffer(getattr(m, payload_type))
        one, two = getattr(buffer, getter)(), getattr(m, "TqBuffer_" + getter)(buffer)
        assert one is not two and int(one.this if cls else one) == int(two.this if cls else two)
        if cls:
            assert type(one) is getattr(k, cls) and not one.thisown
        else:
            assert type(one).__name__ == "SwigPyObject" and not one.own()   # a bare handle
        others = [g for g, _, _ in PAYLOADS if g != getter] + ["GetMultiPartContainer"]
        assert all(getattr(buffer, g)() is None for g in others)
        raises(TypeError, prototypes("TqBuffer_" + getter, "TqBuffer::%s()" % getter, "TqBuffer::%s() const" % getter),
               getattr(m, "TqBuffer_" + getter), None)
        del one, two, buffer


def test_payload_keeps_its_buffer_alive(m, k, no_leaks):
    with no_leaks():
        buffer = k.TqBuffer()
        image = buffer.GetImage()
        del buffer
        gc.collect()
        assert image.Alloc(4, 2, m.TqPixelMono8).IsOK()   # the buffer lives while its image does
        assert image.GetDataPointer().shape == (2, 4) and image.GetBuffer().GetSize() == 8
        del image


def test_the_main_payload_as_an_image_array(m, k):
    buffer = k.TqBuffer()
    image = buffer.GetImage()
    assert image.Alloc(6, 4, m.TqPixelRGB8).IsOK()
    pixels = image.GetDataPointer()
    pixels[..., 0] = 255
    assert pixels.shape == (4, 6, 3) and buffer.GetDataPointer()[:6].tolist() == [255, 0, 0, 255, 0, 0]


def test_identity_and_times(m, k, hooks):
    buffer = k.TqBuffer()
    assert (buffer.GetID(), buffer.GetBlockID(), buffer.GetTimestamp(), buffer.GetDuration()) == (0, 0, 0, 0)
    assert buffer.SetID(U64) is None and buffer.GetID() == U64
    for name in ("Timestamp", "ReceptionTime", "Duration"):
        assert getattr(buffer, "Set" + name)(U64).IsOK() and getattr(buffer, "Get" + name)() == U64
        for value, exc in [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError)]:
            raises(exc, arg("TqBuffer_Set" + name, 2, "uint64_t"), getattr(m, "TqBuffer_Set" + name), buffer, value)
    # Any buffer takes any 64-bit block ID, extended IDs or not.
    assert not buffer.IsExtendedID()
    for value in (0xFFFF, 0x10000, 70000, 2**32 + 1, 2**63 + 5, U64, 0):
        assert buffer.SetBlockID(value).IsOK() and buffer.GetBlockID() == value
    for value, exc in [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError)]:
        raises(exc, arg("TqBuffer_SetBlockID", 2, "uint64_t"), m.TqBuffer_SetBlockID, buffer, value)
    assert buffer.GetBlockID() == 0
    hooks.fill_reception(buffer, m.TqPayloadTypeImage, {"ExtendedID": True})
    assert buffer.IsExtendedID() and buffer.SetBlockID(2**63 + 5).IsOK() and buffer.GetBlockID() == 2**63 + 5
    raises(TypeError, arg("TqBuffer_GetID", 1, "TqBuffer const *"), m.TqBuffer_GetID, None)
    raises(TypeError, arg("TqBuffer_SetID", 1, "TqBuffer *"), m.TqBuffer_SetID, None, 1)


COUNTERS = {
    "PacketsRecovered": "GetPacketsRecoveredCount", "PacketsRecoveredSingleResend":
    "GetPacketsRecoveredSingleResendCount", "ResendGroupsRequested": "GetResendGroupRequestedCount",
    "ResendPacketsRequested": "GetResendPacketRequestedCount", "LostPackets": "GetLostPacketCount",
    "IgnoredPackets": "GetIgnoredPacketCount", "RedundantPackets": "GetRedundantPacketCount",
    "PacketsOutOfOrder": "GetPacketOutOfOrderCount", "AcquiredSize": "GetAcquiredSize",
    "RequiredSize": "GetRequiredSize", "PayloadSize": "GetPayloadSize",
}


def test_reception_record(m, k, hooks):
    buffer = k.TqBuffer()
    fields = {name: 2**32 - 1 - i for i, name in enumerate(COUNTERS)}
    fields.update(OperationResult=m.TQ_MISSING_PACKETS, HeaderValid=True, TrailerValid=False, LargeLeaderTrailer=True,
                  Timestamp=2**40, ReceptionTime=123, BlockID=77,
                  MissingPacketGroups=[(3, 5), (9, 0xFFFFFFFF)], ExtendedID=True)
    hooks.fill_reception(buffer, m.TqPayloadTypeRawData, fields)
    assert buffer.GetPayloadType() == m.TqPayloadTypeRawData and buffer.GetImage() is None
    for name, getter in COUNTERS.items():
        assert getattr(buffer, getter)() == fields[name], getter
    result = buffer.GetOperationResult()
    assert type(result) is k.TqResult and result.thisown and result.GetCode() == m.TQ_MISSING_PACKETS
    assert (buffer.IsHeaderValid(), buffer.IsTrailerValid(), buffer.IsLargeLeaderTrailerEnabled()) == (
        True, False, True)
    assert (buffer.GetTimestamp(), buffer.GetReceptionTime(), buffer.GetBlockID()) == (2**40, 123, 77)
    count = buffer.GetMissingPacketIdsCount()
    assert type(count) is list and count[0].IsOK() and count[1] == 2
    groups = [buffer.GetMissingPacketIds(i) for i in range(3)]
    assert [g[1:] for g in groups] == [[3, 5], [9, 4294967295], [0, 0]]
    assert [g[0].GetCode() for g in groups] == [m.TQ_OK, m.TQ_OK, m.TQ_NOT_FOUND]
    raises(OverflowError, arg("TqBuffer_GetMissingPacketIds", 2, "uint32_t"), m.TqBuffer_GetMissingPacketIds, buffer,
           -1)
    buffer.Reset()
    assert buffer.GetLostPacketCount() == 0 and buffer.GetMissingPacketIdsCount()[1] == 0


def test_chunks_through_the_buffer(m, k):
    buffer = k.TqBuffer(m.TqPayloadTypeRawData)
    buffer.Alloc(32)
    buffer.ResetChunks()
    buffer.SetChunkLayoutID(9)
    assert buffer.AddChunk(4, b"").IsOK() and buffer.AddChunk(5, b"abc").IsOK()
    assert buffer.HasChunks() and buffer.GetChunkCount() == 2 and buffer.GetChunkLayoutID() == 9
    id_and_result = buffer.GetChunkIDByIndex(7)
    assert len(id_and_result) == 2 and id_and_result[1] == 0 and id_and_result[0].GetCode() == m.TQ_NOT_FOUND
    assert buffer.GetChunkRawDataByID(5).tobytes() == b"abc" and buffer.GetChunkSizeByID(4) == 0
    missing = buffer.GetChunkRawDataByID(6)
    assert missing.shape == (0,) and missing.dtype == np.uint8
    raises(TypeError, arg("TqBuffer_AddChunk", 3, "uint8_t const *"), m.TqBuffer_AddChunk, buffer, 1, bytearray(b"ab"))
    raises(TypeError, arg("TqBuffer_GetChunkCount", 1, "TqBuffer *"), m.TqBuffer_GetChunkCount, k.TqResult(0))
    raises(TypeError, arg("TqBuffer_HasChunks", 1, "TqBuffer const *"), m.TqBuffer_HasChunks, None)
    assert buffer.AddChunk(6, bytes(64)).GetCode() == m.TQ_BUFFER_TOO_SMALL


def test_pixel_bit_count(m):
    assert [m.TqGetPixelBitCount(p) for p in (m.TqPixelMono8, m.TqPixelMono12Packed, m.TqPixelRGB8,
                                               m.TqPixelRGBa16)] == [8, 12, 24, 64]
    assert m.TqGetPixelBitCount(m.TQPIXELCUSTOM | m.TQPIXEL16BIT) == 16
    for bad, exc in [("Mono8", TypeError), (2**31, OverflowError), (1.0, TypeError)]:
        raises(exc, arg("TqGetPixelBitCount", 1, "TqPixelType"), m.TqGetPixelBitCount, bad)
    assert ":type aType: int, in" in m.TqGetPixelBitCount.__doc__ and ":rtype: int" in m.TqGetPixelBitCount.__doc__


def test_fps_stabilizer(m, k, no_leaks, gil_released):
    with no_leaks():
        raw = m.new_TqFPSStabilizer()
        assert type(raw).__name__ == "SwigPyObject" and raw.own()
        del raw
        stabilizer = k.TqFPSStabilizer()
        # Frames coming in faster than the target: the first ten of the second are shown, no more.
        shown = [stabilizer.IsTimeToDisplay(10) for _ in range(50)]
        assert shown[:10] == [True] * 10 and not any(shown[10:])
        assert stabilizer.GetAverage() == 10
        assert stabilizer.Reset() is None and stabilizer.GetAverage() == 0 and stabilizer.IsTimeToDisplay(1)
        assert stabilizer.IsTimeToDisplay(0) is False
        raises(OverflowError, arg("TqFPSStabilizer_IsTimeToDisplay", 2, "uint32_t"), m.TqFPSStabilizer_IsTimeToDisplay,
               stabilizer, -1)
        raises(TypeError, "TqFPSStabilizer_IsTimeToDisplay expected 2 arguments, got 1",
               m.TqFPSStabilizer_IsTimeToDisplay, stabilizer)
        raises(TypeError, arg("TqFPSStabilizer_GetAverage", 1, "TqFPSStabilizer *"), m.TqFPSStabilizer_GetAverage,
               None)
        raises(TypeError, "_kivo_python64.new_TqFPSStabilizer() takes no arguments (1 given)", m.new_TqFPSStabilizer, 1)
        assert m.delete_TqFPSStabilizer(None) is None
        assert (m.new_TqFPSStabilizer.__doc__, m.delete_TqFPSStabilizer.__doc__, m.TqFPSStabilizer_Reset.__doc__) == (
            "Constructor.", "Destructor.", "Resets the history.")
        assert gil_released(lambda: m.new_TqFPSStabilizer())
        del stabilizer
