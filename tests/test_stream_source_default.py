"""The SDK's ready-made stream source subclassed in Python: its constructor's forms and their texts,
the SDK's own operations reached by the subclass, the interface's pure ones, and a device streaming
the subclass's frames to our TqStreamGEV and to aravis, with every buffer freed once at Stop; a
subclass that cannot give frames ends the acquisition and leaves the device serving."""

import collections
import gc
import ctypes
import textwrap
import threading

import pytest

from conftest import aravis_client, raises, run_python
from test_softdevice import address_of
from test_softdevice_streaming import ARAVIS_CLIENT, ten_frames

MONO8, RGB8 = 17301505, 35127316
OK, ABORTED, TIMEOUT, INVALID = 0, 1, 30, 16385
CLASS = "TqStreamingChannelSourceDefault"
FORMS = ("Wrong number or type of arguments for overloaded function 'new_%s'.\n"
         "  Possible C/C++ prototypes are:\n" % CLASS +
         "".join("    %s::%s(%s)\n" % (CLASS, CLASS, p) for p in
                 ("uint32_t,uint32_t,TqPixelType,size_t", "uint32_t,uint32_t,TqPixelType", "uint32_t,uint32_t",
                  "uint32_t", "PyObject *")))


def frames_class(k):
    """A subclass of the ready-made source whose frame i (from 1) is the byte i % 256 throughout; it
    notes the buffers the SDK part made and those freed."""

    class Frames(k.TqStreamingChannelSourceDefault):
        def __init__(self, *args):
            super().__init__(*args)
            self.wake = threading.Condition()
            self.queued, self.aborted = collections.deque(), collections.deque()
            self.frame = 0
            self.made, self.freed = [], []

        def AllocBuffer(self):
            buffer = super().AllocBuffer()
            if buffer is not None:
                self.made.append(int(buffer.this))
            return buffer

        def FreeBuffer(self, buffer):
            self.freed.append(int(buffer.this))
            super().FreeBuffer(buffer)

        def QueueBuffer(self, buffer):
            with self.wake:
                self.queued.append(buffer)
                self.wake.notify()
            return OK

        def RetrieveBuffer(self, pointer):
            with self.wake:
                if not self.aborted and not self.queued:
                    self.wake.wait(0.01)
                if self.aborted:
                    return ABORTED, self.aborted.popleft()
                if not self.queued:
                    return TIMEOUT, None
                buffer = self.queued.popleft()
            self.frame += 1
            buffer.GetImage().GetDataPointer()[...] = self.frame % 256
            return OK, buffer

        def AbortQueuedBuffers(self):
            with self.wake:
                self.aborted.extend(self.queued)
                self.queued.clear()
                self.wake.notify()

    return Frames


@pytest.fixture
def streaming(k):
    """streaming(source) -> a started TqSoftDeviceGEV streaming from source; stopped after the test."""
    devices = []

    def start(source):
        device = k.TqSoftDeviceGEV()
        devices.append(device)
        assert device.AddStream(source).IsOK()
        result = device.Start("00:00:00:00:00:00")
        assert result.IsOK(), str(result.GetDescription())
        return device

    yield start
    for device in devices:
        device.Stop()


def test_the_constructor_forms(m, k):
    class Plain(k.TqStreamingChannelSourceDefault):
        pass

    for args, facts in (((), (640, 480, MONO8)), ((64,), (64, 480, MONO8)), ((64, 48, RGB8, 2), (64, 48, RGB8))):
        source = Plain(*args)
        assert (source.GetWidth(), source.GetHeight(), source.GetPixelType()) == facts
    raises(TypeError, FORMS, m.new_TqStreamingChannelSourceDefault)
    raises(TypeError, "new_%s expected at most 5 arguments, got 6\nAdditional information:\n%s" % (CLASS, FORMS),
           m.new_TqStreamingChannelSourceDefault, Plain, 1, 2, 3, 4, 5)
    for bad in ((-1,), (2 ** 32,), (1, 2, "Mono8"), (1, 2, MONO8, -1)):
        raises(TypeError, FORMS, m.new_TqStreamingChannelSourceDefault, object(), *bad)
    raises(RuntimeError, "accessing abstract class or protected constructor", k.TqStreamingChannelSourceDefault)
    raises(RuntimeError, "accessing abstract class or protected constructor", m.new_TqStreamingChannelSourceDefault,
           None, 64, 48)


def test_up_calls_reach_the_sdk_and_the_interface_stays_pure(m, k, hooks, no_leaks):
    with no_leaks():
        source = type("Sub", (k.TqStreamingChannelSourceDefault,), {})(100, 50, RGB8, 2)
        assert source.GetWidthInfo() == (1, 100, 1)
        assert source.SetWidth(101).GetCode() == INVALID and source.SetWidth(60).IsOK()
        assert source.GetWidth() == 60
        assert [source.GetSupportedPixelType(i)[1] for i in (0, 1)] == [RGB8, MONO8]
        assert source.GetSupportedPixelType(2)[0].GetCode() == INVALID
        assert source.GetPayloadSize() == 0 and source.GetChunkModeActive() is False
        assert source.GetTxNumBuffersToUse(None)[0].GetCode() == 1540
        buffers = [source.AllocBuffer() for _ in range(3)]
        assert buffers[2] is None and all(b is not None and not b.thisown for b in buffers[:2])
        for buffer in buffers[:2]:
            source.FreeBuffer(buffer)
        # Through the interface's functions the operations the SDK class leaves pure stay so, and so
        # does GetWidth, which the interface itself does not implement.
        cell = ctypes.c_void_p(0)
        slot = hooks.make_pointer("_p_p_TqBuffer", ctypes.addressof(cell))
        for name, args in (("GetWidth", ()), ("QueueBuffer", (None,)), ("RetrieveBuffer", (slot,))):
            raises(RuntimeError, "SWIG director pure virtual method called ITqStreamingChannelSource::" + name,
                   getattr(m, "ITqStreamingChannelSource_" + name), source, *args)
        raises(TypeError, "in method '%s_GetWidth', argument 1 of type '%s const *'" % (CLASS, CLASS),
               m.TqStreamingChannelSourceDefault_GetWidth, k.ITqStreamingChannelSource.__new__(k.ITqStreamingChannelSource))
        del source, buffers, slot


def test_the_twin_director_names_its_class(m, k):
    class Odd(k.TqStreamingChannelSourceDefault):
        def GetSupportedPixelType(self, index):
            return 5

        def GetTxNumBuffersToUse(self, pointer):
            return (0,)

    odd = Odd()
    raises(TypeError, "SWIG director type mismatch Python method %s.GetSupportedPixelTypefailed to return a tuple."
           % CLASS, m.TqStreamingChannelSourceDefault_GetSupportedPixelType, odd.this, 0)
    odd.GetHeightInfo = lambda: [1, 2, 3]   # read by index with no tuple test first: still a type mismatch
    raises(TypeError, "SWIG director type mismatch GetHeightInfo failed to return a 3-tuple",
           m.TqStreamingChannelSourceDefault_GetHeightInfo, odd.this)
    assert m.delete_TqStreamingChannelSourceDefault.__doc__ == "Destructor"
    raises(RuntimeError, "GetTxNumBuffersToUse failed to return a 2-tuple",
           m.TqStreamingChannelSourceDefault_GetTxNumBuffersToUse, odd.this, None)
    # The interface's function on the same object reaches the same override.
    raises(TypeError, "SWIG director type mismatch Python method %s.GetSupportedPixelTypefailed to return a tuple."
           % CLASS, m.ITqStreamingChannelSource_GetSupportedPixelType, odd.this, 0)


def test_frames_reach_our_stream(k, hooks, streaming):
    source = frames_class(k)(64, 48)
    device = streaming(source)
    frames = ten_frames(k, address_of(hooks, device), 64 * 48)
    assert [block for block, _ in frames] == list(range(1, 11))
    for block, image in frames:
        assert image.shape == (48, 64) and (image == block % 256).all(), block
    assert device.Stop().IsOK()
    assert len(source.made) == 16 and sorted(source.freed) == sorted(source.made)


def live(hooks):
    gc.collect()
    return {name: n for name, n in hooks.live_objects().items() if n}


def test_buffers_it_never_queued_are_not_sent_and_nothing_stays(k, hooks):
    """A RetrieveBuffer answering OK with a temporary buffer or none: nothing is sent for it (a report
    in the SDK's log: its logger, made once, stays) and the frames after it go out in order; once the
    device stopped and the source went, no SDK object is left of either."""
    before = live(hooks)

    class Odd(frames_class(k)):
        odd = [lambda: k.TqBuffer(), lambda: None]

        def RetrieveBuffer(self, pointer):
            if self.odd:
                return OK, self.odd.pop(0)()
            return super().RetrieveBuffer(pointer)

    source = Odd(64, 48, MONO8, 4)
    device = k.TqSoftDeviceGEV()
    assert device.AddStream(source).IsOK() and device.Start("00:00:00:00:00:00").IsOK()
    frames = ten_frames(k, address_of(hooks, device), 64 * 48)
    assert [block for block, _ in frames] == list(range(1, 11))
    assert all((image == block % 256).all() for block, image in frames)
    assert not source.odd
    assert device.Stop().IsOK()
    assert sorted(source.freed) == sorted(source.made) and len(source.made) == 4
    del device, source, frames
    after = live(hooks)
    # The device's logger of streaming reports is made by the first and stays.
    assert after.pop("TqLogger", 0) - before.pop("TqLogger", 0) in (0, 1)
    assert after == before


def test_frames_reach_aravis(k, hooks, streaming):
    source = frames_class(k)(64, 48)
    device = streaming(source)
    assert address_of(hooks, device) == "127.0.0.1", "aravis opens 127.0.0.1 only"
    result = aravis_client(ARAVIS_CLIENT, 10, timeout=120)
    assert result["payload"] == 64 * 48
    frames = result["frames"]
    assert None not in frames and [f["status"] for f in frames] == ["success"] * 10, frames
    ids = [f["id"] for f in frames]
    assert ids == list(range(ids[0], ids[0] + 10))
    for f in frames:
        assert f["size"] == [64, 48] and bytes.fromhex(f["data"]) == bytes([f["id"] % 256]) * (64 * 48), f["id"]
    assert device.Stop().IsOK()
    assert len(source.made) == 16 and sorted(source.freed) == sorted(source.made)


@pytest.mark.parametrize("missing", ["QueueBuffer", "RetrieveBuffer"])
def test_a_source_without_frames_ends_the_acquisition(missing):
    """Without QueueBuffer or RetrieveBuffer the acquisition ends at once, one report per start; the
    device goes on serving its controller and a new start tries again; Stop frees every buffer."""
    code = textwrap.dedent("""
        import json, time
        import kivo_python64 as k
        import _kivo_testhooks as hooks

        class Source(k.TqStreamingChannelSourceDefault):
            stops = 0
            def QueueBuffer(self, buffer):
                return 0
            def RetrieveBuffer(self, pointer):
                return 30, None
            def OnStreamingStop(self):
                Source.stops += 1
            def FreeBuffer(self, buffer):
                self.freed = getattr(self, "freed", 0) + 1
                super().FreeBuffer(buffer)
        del Source.%s

        def main():
            source = Source(32, 8, 17301505, 4)
            device = k.TqSoftDeviceGEV()
            assert device.AddStream(source).IsOK() and device.Start("00:00:00:00:00:00").IsOK()
            value = hooks.soft_device_read(hooks.soft_device_of(device), 0x0024)[1]
            ip = ".".join(str((value >> s) & 0xFF) for s in (24, 16, 8, 0))
            result, control = k.TqDevice.CreateAndConnect(ip)
            assert result.IsOK(), str(result.GetDescription())
            params = control.GetParameters()
            result, stream = k.TqStream.CreateAndOpen(ip)   # the channel's destination
            assert result.IsOK(), str(result.GetDescription())
            assert control.StreamEnable().IsOK()
            widths = []
            for start in (1, 2):
                assert params.ExecuteCommand("AcquisitionStart").IsOK()
                deadline = time.monotonic() + 30
                while Source.stops < start and time.monotonic() < deadline:
                    time.sleep(0.01)
                widths.append(params.GetIntegerValue("Width")[1])
            stream.Close()
            k.TqStream.Free(stream)
            k.TqDevice.Free(control)
            assert device.Stop().IsOK()
            print(json.dumps({"stops": Source.stops, "widths": widths, "freed": source.freed}))

        main()   # everything it made is gone before the interpreter exits
        """ % missing)
    proc = run_python(code, timeout=120)
    assert proc.returncode == 0, proc.stderr[-4000:]
    lines = proc.stdout.strip().splitlines()
    assert lines[-1] == '{"stops": 2, "widths": [32, 32], "freed": 4}', proc.stdout
    reports = [line for line in lines[:-1] if missing in line]
    assert len(reports) == 2, proc.stdout
