"""A software device started, streamed from and stopped again and again holds nothing of its earlier
runs: after twenty runs of ten 640 x 480 RGB8 frames each to a TqStreamGEV, the memory the allocator
hands out and the process's threads are what they were after the first, and every buffer the source
made was freed once."""

import ctypes
import gc
import os

from conftest import until
from test_softdevice import LO, address_of
from test_softdevice_streaming import acquiring
from test_stream_source_default import RGB8, frames_class

WIDTH, HEIGHT, FRAMES, RUNS = 640, 480, 10, 20
SLACK = 10 << 20


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def allocated_bytes():
    """Bytes the allocator has handed out and not been given back: the sanitizer's count under the
    sanitizer (whose quarantine keeps freed memory resident), else glibc's."""
    process = ctypes.CDLL(None)
    try:
        count = process.__sanitizer_get_current_allocated_bytes
    except AttributeError:
        process.mallinfo2.restype = _Mallinfo2
        info = process.mallinfo2()
        return info.uordblks + info.hblkhd
    count.restype = ctypes.c_size_t
    return count()


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
