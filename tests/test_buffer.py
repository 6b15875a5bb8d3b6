"""TqBuffer: construction, memory allocated or attached from NumPy arrays, the view of its bytes and
its identity. Views lie over the buffer's memory (no copy) and keep what they came from alive."""

import gc
import mmap
import sys

import numpy as np
import pytest

from conftest import arg, raises


def prototypes(func, *lines):
    return ("Wrong number or type of arguments for overloaded function '%s'.\n  Possible C/C++ prototypes are:\n"
            % func + "".join("    %s\n" % line for line in lines))


def is_view(view, size):
    flags = view.flags
    return (type(view) is np.ndarray and view.dtype == np.uint8 and view.shape == (size,) and flags.c_contiguous
            and flags.aligned and flags.writeable and not flags.owndata)


NEW = prototypes("new_TqBuffer", "TqBuffer::TqBuffer(TqPayloadType)", "TqBuffer::TqBuffer()")
RESET = prototypes("TqBuffer_Reset", "TqBuffer::Reset(TqPayloadType)", "TqBuffer::Reset()")
DATA = prototypes("TqBuffer_GetDataPointer", "TqBuffer::GetDataPointer() const", "TqBuffer::GetDataPointer()")


def test_construction_and_overloads(m, k, no_leaks):
    with no_leaks():
        for args in [(), (2,), (-5,), (2**31 - 1,)]:
            raw = m.new_TqBuffer(*args)
            assert type(raw).__name__ == "SwigPyObject" and raw.own()
            del raw
        for args in [("x",), (1.0,), (2**31,), (None,)]:
            raises(TypeError, NEW, m.new_TqBuffer, *args)
        raises(TypeError, "new_TqBuffer expected at most 1 arguments, got 2\nAdditional information:\n" + NEW,
               m.new_TqBuffer, 1, 2)
        buffer = k.TqBuffer(m.TqPayloadTypeRawData)
        assert buffer.Reset().IsOK() and buffer.Reset(m.TqPayloadTypeChunkData).IsOK()
        raises(TypeError, RESET, m.TqBuffer_Reset, buffer, "x")
        raises(TypeError, RESET, m.TqBuffer_Reset, None)
        assert m.delete_TqBuffer(None) is None
        del buffer


def test_memory_and_its_view(m, k, no_leaks):
    with no_leaks():
        buffer = k.TqBuffer()
        empty = buffer.GetDataPointer()
        assert empty.shape == (0,) and empty.dtype == np.uint8
        assert (buffer.IsAllocated(), buffer.IsAttached(), buffer.GetSize()) == (False, False, 0)
        assert buffer.Alloc(64).IsOK() and buffer.IsAllocated() and buffer.GetSize() == 64
        view = buffer.GetDataPointer()
        assert is_view(view, 64) and view.base is buffer and not view.any()
        view[10:20] = 7
        again = m.TqBuffer_GetDataPointer(buffer)
        assert again is not view and again[10:20].tolist() == [7] * 10
        buffer.Free()
        assert (buffer.IsAllocated(), buffer.GetSize()) == (False, 0)
        del buffer, view, again, empty


def test_argument_errors(m, k, no_leaks):
    buffer, result = k.TqBuffer(), k.TqResult(0)
    with no_leaks(buffer, result):
        for value, exc in [(-1, OverflowError), (2**32, OverflowError), (1.5, TypeError), ("1", TypeError)]:
            raises(exc, arg("TqBuffer_Alloc", 2, "uint32_t"), m.TqBuffer_Alloc, buffer, value)
            raises(exc, arg("TqBuffer_AllocChunk", 2, "uint32_t"), m.TqBuffer_AllocChunk, buffer, value)
        for func, decl in [("TqBuffer_Alloc", "TqBuffer *"), ("TqBuffer_Free", "TqBuffer *"),
                           ("TqBuffer_Detach", "TqBuffer *"), ("TqBuffer_GetSize", "TqBuffer const *"),
                           ("TqBuffer_IsAttached", "TqBuffer const *")]:
            args = (None, 1) if func == "TqBuffer_Alloc" else (None,)
            raises(TypeError, arg(func, 1, decl), getattr(m, func), *args)
        for bad in (None, 5, result):
            raises(TypeError, DATA, m.TqBuffer_GetDataPointer, bad)
        del bad
        raises(TypeError, "TqBuffer_Alloc expected 2 arguments, got 1", m.TqBuffer_Alloc, buffer)


def test_attach_uses_the_array_in_place(m, k, no_leaks):
    data = np.arange(10, dtype=np.uint8)
    with no_leaks(data):
        buffer = k.TqBuffer()
        assert buffer.Attach(data).IsOK() and buffer.IsAttached() and buffer.GetSize() == 10
        view = buffer.GetDataPointer()
        view[0] = 99
        data[1] = 98
        assert data[0] == 99 and view[1] == 98
        assert buffer.Alloc(4).GetCode() == m.TQ_STATE_ERROR   # the SDK's answer; nothing changes
        detached = buffer.Detach()
        assert detached is not data and detached.base is data and detached.tolist() == data.tolist()
        assert not buffer.IsAttached()
        detached[2] = 97
        assert data[2] == 97
        del buffer, view, detached


def test_attached_memory_outlives_the_callers_array(m, k, no_leaks):
    with no_leaks():
        buffer = k.TqBuffer()
        # A list, another layout, a strided view: each is copied for the SDK, and the copy stays
        # alive for as long as it is attached.
        for source, expected in [([1, 2, 3], [1, 2, 3]), (np.arange(12, dtype=np.uint8)[::3], [0, 3, 6, 9])]:
            assert buffer.Attach(source).IsOK()
            del source
            junk = [np.full(4096, 0xEE, dtype=np.uint8) for _ in range(200)]   # reuse freed memory
            assert buffer.GetDataPointer().tolist() == expected
            del junk
        view = buffer.Detach()
        # The view of the detached memory holds the copy the buffer was attached to.
        assert view.tolist() == [0, 3, 6, 9] and type(view.base) is np.ndarray and view.base.flags.owndata
        del view
        gc.collect()
        del buffer


def test_attached_array_released_on_reattach_free_and_delete(m, k, hooks):
    first, second = np.zeros(8, np.uint8), np.ones(8, np.uint8)
    base = sys.getrefcount(first), sys.getrefcount(second)
    buffer = k.TqBuffer()
    buffer.Attach(first)
    assert sys.getrefcount(first) == base[0] + 1
    buffer.Attach(second)   # re-attach: the first array is let go
    assert (sys.getrefcount(first), sys.getrefcount(second)) == (base[0], base[1] + 1)
    buffer.Reset()           # the memory stays attached
    assert sys.getrefcount(second) == base[1] + 1
    del buffer               # the owning proxy deletes the buffer and lets the array go
    gc.collect()
    assert sys.getrefcount(second) == base[1]
    other = k.TqBuffer()
    other.Attach(first)
    m.delete_TqBuffer(other)
    assert sys.getrefcount(first) == base[0]


def test_attach_refuses_what_it_cannot_take(m, k, no_leaks):
    buffer = k.TqBuffer()
    with no_leaks(buffer):
        raises(TypeError, "Array must have 1 dimensions.  Given array has 2 dimensions", m.TqBuffer_Attach, buffer,
               np.zeros((2, 2), np.uint8))
        with pytest.raises(ValueError):
            buffer.Attach(["x"])
        assert not buffer.IsAttached()
    # 4 GiB cannot be passed as a 32-bit length: refused, never truncated (the pages are never touched).
    memory = mmap.mmap(-1, 2**32)
    huge = np.frombuffer(memory, dtype=np.uint8)
    raises(OverflowError, arg("TqBuffer_Attach", 3, "uint32_t"), m.TqBuffer_Attach, buffer, huge)
    assert not buffer.IsAttached()


def test_view_keeps_its_buffer_alive(m, k, hooks, no_leaks):
    with no_leaks():
        buffer = k.TqBuffer()
        buffer.Alloc(32)
        view = buffer.GetDataPointer()
        del buffer
        gc.collect()
        assert hooks.live_objects().get("TqBuffer") >= 1
        view[:] = 5   # still the buffer's memory
        assert view.sum() == 5 * 32
        del view


def test_identity_of_borrowed_proxies(m, k, hooks, no_leaks):
    buffer = k.TqBuffer()
    with no_leaks(buffer):
        address = int(buffer.this)
        one, two = (hooks.make_pointer("_p_TqBuffer", address) for _ in range(2))
        assert one is not two and type(one) is k.TqBuffer and not one.thisown
        assert one == two and one == buffer and hash(one) == hash(two) == hash(buffer)
        expected = address & 0xFFFFFFFF
        expected = expected - 2**32 if expected >= 2**31 else expected
        assert m.TqBuffer___hash__(buffer) == expected and m.TqBuffer___hash__(None) == 0
        assert (buffer == None) is False and m.TqBuffer___eq__(buffer, None) is False
        assert m.TqBuffer___eq__(buffer, 5) is NotImplemented and (buffer == 5) is False
        assert m.TqBuffer___eq__(None, buffer) is NotImplemented
        assert m.TqBuffer___eq__(buffer, k.TqResult(0)) is NotImplemented
        raises(TypeError, "TqBuffer___eq__ expected 2 arguments, got 3", m.TqBuffer___eq__, buffer, buffer, buffer)
        raises(TypeError, arg("TqBuffer___hash__", 1, "TqBuffer *"), m.TqBuffer___hash__, 5)
        # A borrowed proxy never deletes the buffer.
        raises(RuntimeError, arg("delete_TqBuffer", 1, "TqBuffer *") + ": the proxy does not own its object",
               m.delete_TqBuffer, one)
        del one, two
