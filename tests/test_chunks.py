"""Chunk data through ITqChunkData (a TqBuffer or a TqChunkData as self) and the chunk-only payload
TqChunkData: adding, finding and viewing chunks, and layouts that do not hold together."""

import gc
import struct
import sys

import numpy as np
import pytest

from conftest import arg, raises


def chunk(chunk_id, data):
    """One chunk as it lies in memory: its data, then its ID and length, big-endian."""
    return data + struct.pack(">II", chunk_id, len(data))


@pytest.fixture(params=["buffer", "chunk data"])
def holder(request, k, hooks):
    """Something that implements ITqChunkData, with 64 bytes of memory for chunks."""
    if request.param == "buffer":
        obj = k.TqBuffer(2)   # raw data: no main-chunk header
        assert obj.Alloc(64).IsOK()
    else:
        obj = hooks.make_chunk_data()
        assert type(obj) is k.TqChunkData and obj.Alloc(64).IsOK()
    yield obj


def test_add_and_find(m, k, holder, no_leaks):
    with no_leaks(holder):
        assert m.ITqChunkData_HasChunks(holder) is False and m.ITqChunkData_GetChunkCount(holder) == 0
        for chunk_id, data in [(7, b"seven"), (3, b""), (7, b"again"), (0xFFFFFFFF, b"\x00\xff")]:
            assert m.ITqChunkData_AddChunk(holder, chunk_id, data).IsOK()
        assert holder.HasChunks() and holder.GetChunkCount() == 4
        ids = [holder.GetChunkIDByIndex(i) for i in range(5)]
        assert [i[1] for i in ids] == [7, 3, 7, 0xFFFFFFFF, 0]
        assert [i[0].GetCode() for i in ids] == [m.TQ_OK] * 4 + [m.TQ_NOT_FOUND]
        assert [holder.GetChunkSizeByIndex(i) for i in range(5)] == [5, 0, 5, 2, 0]
        view = holder.GetChunkRawDataByIndex(0)
        assert view.tobytes() == b"seven" and view.base is holder and not view.flags.owndata
        assert holder.GetChunkRawDataByID(7).tobytes() == b"seven" and holder.GetChunkSizeByID(7) == 5
        assert holder.GetChunkRawDataByIndex(3).tobytes() == b"\x00\xff"
        # Not found: an empty array, never memory of somebody else.
        for missing in (holder.GetChunkRawDataByIndex(4), holder.GetChunkRawDataByID(8),
                        holder.GetChunkRawDataByIndex(2**32 - 1)):
            assert missing.shape == (0,) and missing.dtype == np.uint8
        # Writes go through to the chunk's memory.
        view[0] = ord("S")
        assert holder.GetChunkRawDataByID(7).tobytes() == b"Seven"
        assert holder.GetChunkDataSize() == 5 + 0 + 5 + 2 + 4 * 8 and holder.GetChunkDataCapacity() == 64 - 44
        holder.SetChunkLayoutID(0xABCDEF01)
        assert holder.GetChunkLayoutID() == 0xABCDEF01
        holder.ResetChunks()
        assert holder.GetChunkCount() == 0 and not holder.HasChunks()
        del view, ids, missing


def test_room_runs_out(m, holder):
    assert holder.AddChunk(1, bytes(56)).IsOK()   # 56 + 8 = 64: full
    assert holder.AddChunk(2, b"").GetCode() == m.TQ_BUFFER_TOO_SMALL
    assert holder.GetChunkCount() == 1 and holder.GetChunkDataCapacity() == 0


def test_image_buffer_reserves_the_main_chunk_header(m, k):
    image = k.TqBuffer()
    assert image.Alloc(32).IsOK() and image.AddChunk(1, b"abcd").IsOK()
    assert image.GetChunkDataSize() == 4 + 8 + 8 and image.GetChunkDataCapacity() == 32 - 20


def test_argument_errors(m, k, holder):
    raises(TypeError, arg("ITqChunkData_AddChunk", 3, "uint8_t const *"), m.ITqChunkData_AddChunk, holder, 1,
           bytearray(b"x"))
    raises(TypeError, arg("ITqChunkData_AddChunk", 3, "uint8_t const *"), m.ITqChunkData_AddChunk, holder, 1, "x")
    raises(OverflowError, arg("ITqChunkData_AddChunk", 2, "uint32_t"), m.ITqChunkData_AddChunk, holder, -1, b"")
    raises(TypeError, arg("ITqChunkData_AddChunk", 2, "uint32_t"), m.ITqChunkData_AddChunk, holder, 1.5, b"")
    raises(OverflowError, arg("ITqChunkData_SetChunkLayoutID", 2, "uint32_t"), m.ITqChunkData_SetChunkLayoutID,
           holder, 2**32)
    raises(TypeError, "ITqChunkData_GetChunkSizeByID expected 2 arguments, got 1", m.ITqChunkData_GetChunkSizeByID,
           holder)

    class Data(bytes):
        pass

    assert m.ITqChunkData_AddChunk(holder, 1, Data(b"sub")).IsOK()   # a bytes subclass is bytes
    for func in ("ITqChunkData_GetChunkCount", "ITqChunkData_ResetChunks"):
        for bad in (None, 5, k.TqResult(0)):
            raises(TypeError, arg(func, 1, "ITqChunkData *"), getattr(m, func), bad)
    raises(TypeError, arg("ITqChunkData_HasChunks", 1, "ITqChunkData const *"), m.ITqChunkData_HasChunks, None)
    raises(TypeError, arg("TqChunkData_Alloc", 1, "TqChunkData *"), m.TqChunkData_Alloc, k.TqBuffer(), 4)
    assert m.delete_ITqChunkData(None) is None and m.delete_TqChunkData(None) is None


def test_corrupt_layouts_are_read_safely(m, k):
    buffer = k.TqBuffer(2)
    assert buffer.Alloc(32).IsOK() and buffer.AddChunk(5, b"abcd").IsOK() and buffer.AddChunk(6, b"xy").IsOK()
    memory = buffer.GetDataPointer()
    # The last trailer claims more bytes than lie before it: nothing past the start is read.
    memory[22:30] = np.frombuffer(struct.pack(">II", 6, 1000), dtype=np.uint8)
    count = buffer.GetChunkCount()
    assert count in (0, 1, 2)
    for i in range(count + 1):
        data = buffer.GetChunkRawDataByIndex(i)
        assert data.size == buffer.GetChunkSizeByIndex(i) <= 32
    # Random bytes everywhere: every answer stays within the memory.
    rng = np.random.default_rng(1)
    for _ in range(50):
        memory[:] = rng.integers(0, 256, 32, dtype=np.uint8)
        for i in range(buffer.GetChunkCount() + 1):
            assert buffer.GetChunkRawDataByIndex(i).size <= 32


def test_chunk_data_payload_memory(m, k, hooks, no_leaks):
    with no_leaks():
        payload = hooks.make_chunk_data()
        raw = chunk(1, b"one") + chunk(2, b"") + chunk(1, b"ONE!")
        data = np.frombuffer(raw, dtype=np.uint8).copy()
        before = sys.getrefcount(data)
        assert payload.Attach(data).IsOK()
        assert payload.GetChunkDataPayloadLength() == len(raw) and payload.GetChunkCount() == 3
        assert [payload.GetChunkIDByIndex(i)[1] for i in range(3)] == [1, 2, 1]
        assert payload.GetChunkRawDataByID(1).tobytes() == b"one"
        assert sys.getrefcount(data) == before + 1   # kept while attached
        detached = payload.Detach()
        refs = sys.getrefcount(data)   # read before any assertion holds a reference of its own
        assert refs == before + 1 and detached.base is data and detached.tobytes() == raw
        del detached
        assert sys.getrefcount(data) == before
        raises(TypeError, "Array must have 1 dimensions.  Given array has 2 dimensions", m.TqChunkData_Attach,
               payload, np.zeros((2, 2), np.uint8))
        # A converted copy stays alive while attached.
        assert payload.Attach(list(raw)).IsOK()
        gc.collect()
        junk = [np.full(64, 0xEE, dtype=np.uint8) for _ in range(200)]
        assert payload.GetChunkRawDataByIndex(2).tobytes() == b"ONE!"
        del junk, payload
        gc.collect()
        empty = hooks.make_chunk_data()
        assert empty.Detach().shape == (0,)
        del empty
