"""A software device started, streamed from and stopped again and again holds nothing of its earlier
runs: after twenty runs of ten 640 x 480 RGB8 frames each to a TqStreamGEV, the memory the allocator
hands out and the process's threads are what they were after the first, and every buffer the source
made was freed once. A camera written in Python that streamed, unpaced, to aravis (its resend history
full) holds after Stop what it held before it streamed."""

import ctypes
import gc
import os

import pytest

from conftest import ARAVIS_STATUSES, aravis_client, until
from test_softdevice import LO, address_of
from test_softdevice_streaming import acquiring
from test_stream_source_default import RGB8, frames_class

WIDTH, HEIGHT, FRAMES, RUNS = 640, 480, 10, 20
SLACK = 10 << 20


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def sanitizer_count():
    """The sanitizer's count of the bytes its allocator handed out, or None without the sanitizer."""
    try:
        count = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except AttributeError:
        return None
    count.restype = ctypes.c_size_t
    return count


def allocated_bytes():
    """Bytes the allocator has handed out and not been given back: the sanitizer's count under the
    sanitizer (whose quarantine keeps freed memory resident), else glibc's."""
    count = sanitizer_count()
    if count:
        return count()
    process = ctypes.CDLL(None)
    process.mallinfo2.restype = _Mallinfo2
    info = process.mallinfo2()
    return info.uordblks + info.hblkhd


def held_bytes(hooks):
    """What the process holds: its resident pages; under the sanitizer, whose quarantine keeps freed
    memory resident, what its allocator hands out and what the engine maps for payloads."""
    if sanitizer_count():
        return allocated_bytes() + hooks.engine_payload_memory()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def threads():
    return len(os.listdir("/proc/self/task"))


def one_run(k, hooks, device):
    """Starts the device, receives FRAMES frames through a controller and a stream, stops it."""
    result = device.Start(LO)
    assert result.IsOK(), str(result.GetDescription())
    with acquiring(k, address_of(hooks, device), WIDTH * HEIGHT * 3, buffers=FRAMES + 2) as stream:
        for _ in range(FRAMES):
            result, buffer, _ = stream.RetrieveBuffer(20000)
            assert result.IsOK(), str(result.GetCodeString())
            assert stream.QueueBuffer(buffer).IsOK()
    assert device.Stop().IsOK()
    gc.collect()


def test_runs_after_the_first_hold_nothing_of_the_ones_before(k, hooks):
    source = frames_class(k)(WIDTH, HEIGHT, RGB8, 8)
    device = k.TqSoftDeviceGEV()
    assert device.AddStream(source).IsOK()
    one_run(k, hooks, device)
    memory, running = allocated_bytes(), threads()
    for _ in range(RUNS - 1):
        one_run(k, hooks, device)
    grown = allocated_bytes() - memory
    assert grown < SLACK, "%.1f MB more after %d runs than after the first" % (grown / 2**20, RUNS)
    assert until(lambda: threads() <= running), (threads(), running)
    assert len(source.made) == RUNS * 8 and sorted(source.freed) == sorted(source.made)




def test_a_python_camera_that_streamed_to_aravis_gives_its_memory_back_at_stop(k, hooks):
    # 320 x 240 Mono8, as the example camera: each frame's copy in the resend history is carved out
    # of the channel's slabs. (The history held 128 MiB and the process some 68 MB more after Stop
    # when that memory came from the allocator.)
    source = frames_class(k)(320, 240, k.TqPixelMono8, 8)
    device = k.TqSoftDeviceGEV()
    assert device.AddStream(source).IsOK()
    assert device.Start(LO).IsOK()
    try:
        if address_of(hooks, device) != "127.0.0.1":
            pytest.fail("aravis opens 127.0.0.1 only, and the device is at %s" % address_of(hooks, device))
        gc.collect()
        before, mapped = held_bytes(hooks), hooks.engine_payload_memory()
        statuses = aravis_client(ARAVIS_STATUSES, 1500, timeout=240)
        assert statuses.get("success", 0) >= 100, statuses
        assert hooks.engine_payload_memory() > mapped   # the history kept what was sent
    finally:
        assert device.Stop().IsOK()
    gc.collect()
    grown = held_bytes(hooks) - before
    assert grown < 20 << 20, "%.1f MB more after Stop than before streaming" % (grown / 2**20)
    assert hooks.engine_payload_memory() <= mapped
