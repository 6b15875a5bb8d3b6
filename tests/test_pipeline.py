"""The buffer pipeline over a stream from a software device, and its event sink subclassed in Python:
frames through the output queue, callbacks on the threads that make them, the pool balanced across
count changes, drops with a slow consumer, too-small buffers, failing overrides, stops from inside a
callback, kept-alive streams and sinks, and the exact messages."""

import gc
import sys
import textwrap
import threading
import time

import pytest

from conftest import arg, connect_soft_device, raises, recording_sink, run_python, ticks_during

RETRIEVE = ("Wrong number or type of arguments for overloaded function 'TqPipeline_RetrieveNextBuffer'.\n"
            "  Possible C/C++ prototypes are:\n"
            "    TqPipeline::RetrieveNextBuffer(TqBuffer **,uint32_t,TqResult *)\n"
            "    TqPipeline::RetrieveNextBuffer(TqBuffer **,uint32_t)\n"
            "    TqPipeline::RetrieveNextBuffer(TqBuffer **)\n")


def open_streaming(m, k, soft_devices, width, height):
    """A software device at 127.0.0.2 and a stream from it: (device, stream, make_pipeline); acquisition is
    started by the test, and the pipelines made, the stream and the device are stopped and freed
    afterwards (the pipelines first: they use the stream)."""
    _, device = connect_soft_device(k, soft_devices, address="127.0.0.2", model="Pipeline Source",
                                    mac="02:4b:49:61:00:01", width=width, height=height)
    result, stream = k.TqStream.CreateAndOpen("127.0.0.2")
    assert result.IsOK(), str(result.GetDescription())
    made = []

    def make_pipeline():
        pipeline = k.TqPipeline(stream)
        made.append(pipeline)
        return pipeline

    yield device, stream, make_pipeline
    for pipeline in made:
        if pipeline.this.own():
            m.delete_TqPipeline(pipeline)
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    device.StreamDisable()
    stream.Close()
    k.TqStream.Free(stream)
    k.TqDevice.Free(device)


@pytest.fixture
def streaming(m, k, soft_devices):
    """160x120 Mono8 frames (below the pipeline's first automatic buffer size), as open_streaming."""
    yield from open_streaming(m, k, soft_devices, 160, 120)


@pytest.fixture
def streaming_vga(m, k, soft_devices):
    """640x480 Mono8 frames (above the pipeline's first automatic buffer size), as open_streaming."""
    yield from open_streaming(m, k, soft_devices, 640, 480)


def acquire(device):
    assert device.StreamEnable().IsOK()
    assert device.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()


def make_sink(k, overrides=("OnBufferCreated", "OnBufferDeleted", "OnStart", "OnStop", "OnReset", "OnBufferReady",
                            "OnBufferTooSmall")):
    return recording_sink(k.TqPipelineEventSink, *overrides)


def retrieve_frames(pipeline, count, timeout=5000):
    got = []
    deadline = time.time() + 20
    while len(got) < count and time.time() < deadline:
        result, buffer, operation = pipeline.RetrieveNextBuffer(timeout)
        if buffer is None:
            continue
        got.append((buffer.GetBlockID(), str(operation.GetCodeString())))
        assert pipeline.ReleaseBuffer(buffer).IsOK()
    return got


def test_frames_and_callbacks(m, k, streaming):
    device, stream, make_pipeline = streaming
    pipeline = make_pipeline()
    sink = make_sink(k)
    assert pipeline.RegisterEventSink(sink).IsOK()
    main = threading.get_ident()
    assert pipeline.Start().IsOK() and pipeline.IsStarted()
    acquire(device)
    frames = retrieve_frames(pipeline, 5)
    assert len(frames) == 5 and all(code == "OK" for _, code in frames)
    assert pipeline.Reset().IsOK()
    assert pipeline.Stop().IsOK() and not pipeline.IsStarted()
    # Start, Stop and Reset on the caller's thread; ready buffers on the pipeline's own.
    for name in ("OnStart", "OnStop", "OnReset"):
        assert [c[1] for c in sink.names(name)] == [main], name
    ready = sink.names("OnBufferReady")
    assert len(ready) >= 5 and {c[1] for c in ready} != {main}
    # Arguments: new borrowed proxies, typed by their class.
    name, _, (p,) = ready[0]
    assert type(p) is k.TqPipeline and not p.this.own()
    _, _, (p, buffer) = sink.names("OnBufferCreated")[0]
    assert type(buffer) is k.TqBuffer and not buffer.this.own()
    m.delete_TqPipeline(pipeline)
    # Every buffer made was deleted with the pipeline, the sink told of each.
    assert len(sink.names("OnBufferCreated")) == len(sink.names("OnBufferDeleted")) >= 16


def test_retrieve_forms_and_messages(m, k, streaming):
    device, stream, make_pipeline = streaming
    pipeline = make_pipeline()
    # Not started: an answer at once, always three items.
    result, buffer, operation = pipeline.RetrieveNextBuffer(0)
    assert result.GetCode() == m.TQ_STATE_ERROR and buffer is None and type(operation) is k.TqResult
    assert pipeline.Start().IsOK()
    answer = m.TqPipeline_RetrieveNextBuffer(pipeline, 0)
    assert type(answer) is tuple and len(answer) == 3 and not answer[0].IsOK() and answer[1] is None
    for args in [(pipeline,), (pipeline, -1), (pipeline, "100"), (pipeline, 1, 2), (None, 0), (stream, 0)]:
        raises(TypeError, RETRIEVE, m.TqPipeline_RetrieveNextBuffer, *args)
    raises(TypeError, "TqPipeline_RetrieveNextBuffer expected at most 3 arguments, got 4\nAdditional information:\n"
           + RETRIEVE, m.TqPipeline_RetrieveNextBuffer, pipeline, 1, 2, 3)
    # The wait runs without the GIL: another thread ticks meanwhile.
    (result, buffer, _), ticks = ticks_during(lambda: pipeline.RetrieveNextBuffer(300))
    assert buffer is None and result.GetCode() == m.TQ_TIMEOUT and ticks >= 10
    raises(TypeError, arg("TqPipeline_SetHandleBufferTooSmall", 2, "bool"), m.TqPipeline_SetHandleBufferTooSmall,
           pipeline, 1)
    raises(OverflowError, arg("TqPipeline_SetBufferSize", 2, "uint32_t"), m.TqPipeline_SetBufferSize, pipeline,
           2 ** 32)
    raises(TypeError, "TqPipeline_SetBufferCount expected 2 arguments, got 1", m.TqPipeline_SetBufferCount,
           pipeline)
    raises(TypeError, arg("TqPipeline_GetBufferCount", 1, "TqPipeline const *"), m.TqPipeline_GetBufferCount, None)
    raises(TypeError, arg("TqPipeline_Start", 1, "TqPipeline *"), m.TqPipeline_Start, stream)
    raises(TypeError, arg("new_TqPipeline", 1, "TqStream *"), m.new_TqPipeline, pipeline)
    assert pipeline.SetBufferCount(3).GetCode() == m.TQ_INVALID_PARAMETER and pipeline.GetBufferCount() == 16
    assert pipeline.SetBufferHandlingThreadPriority(100).GetCode() == m.TQ_INVALID_PARAMETER
    assert pipeline.ReleaseBuffer(None).GetCode() == m.TQ_INVALID_PARAMETER
    assert pipeline.ReleaseBuffer(k.TqBuffer()).GetCode() == m.TQ_INVALID_PARAMETER
    assert pipeline.Stop().IsOK() and pipeline.Reset().GetCode() == m.TQ_STATE_ERROR


def test_pool_balance_drops_and_too_small(m, k, streaming):
    device, stream, make_pipeline = streaming
    pipeline = make_pipeline()
    sink = make_sink(k, ("OnBufferCreated", "OnBufferDeleted", "OnBufferTooSmall"))
    assert pipeline.RegisterEventSink(sink).IsOK()
    assert pipeline.SetBufferCount(4).IsOK() and pipeline.Start().IsOK()
    acquire(device)
    assert len(retrieve_frames(pipeline, 2)) == 2
    # Count changes while running: the pool grows and shrinks, callbacks balance.
    assert pipeline.SetBufferCount(10).IsOK() and pipeline.GetBufferCount() == 10
    assert pipeline.SetBufferCount(5).IsOK() and pipeline.GetBufferCount() == 5
    # A slow consumer: buffers are dropped and counted.
    time.sleep(1.0)
    dropped = stream.GetParameters().GetIntegerValue("PipelineImagesDropped")[1]
    assert dropped > 0
    # Once the buffers in use are back, the pool is what was asked for, each deletion told.
    assert pipeline.Stop().IsOK()
    created, deleted = len(sink.names("OnBufferCreated")), len(sink.names("OnBufferDeleted"))
    assert created - deleted == 5
    # The image grows: a too-small block is re-allocated and asked about when the pipeline handles it.
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    assert pipeline.SetBufferSize(160 * 120) is None and pipeline.GetBufferSize() == 160 * 120
    pipeline.SetHandleBufferTooSmall(True)
    assert pipeline.GetHandleBufferTooSmall() is True
    device.StreamDisable()
    assert device.GetParameters().SetIntegerValue("Width", 640).IsOK()
    assert device.GetParameters().SetIntegerValue("Height", 480).IsOK()   # beyond every buffer of the pool
    assert pipeline.Start().IsOK()
    acquire(device)
    frames = retrieve_frames(pipeline, 3)
    assert len(frames) == 3 and all(code == "OK" for _, code in frames)
    assert len(sink.names("OnBufferTooSmall")) >= 1
    _, _, (p, realloc_all, reset_stats) = sink.names("OnBufferTooSmall")[0]
    assert type(realloc_all).__name__ == "SwigPyObject"
    assert pipeline.Stop().IsOK()
    assert pipeline.UnregisterEventSink(sink).IsOK()


def test_failing_override_and_defaults(m, k, streaming, capfd):
    device, stream, make_pipeline = streaming

    class Failing(k.TqPipelineEventSink):
        def __init__(self):
            super().__init__()
            self.ready = 0

        def OnBufferReady(self, pipeline):
            self.ready += 1
            raise ValueError("x y")

    pipeline = make_pipeline()
    sink = Failing()
    plain = k.TqPipelineEventSink()
    assert pipeline.RegisterEventSink(sink).IsOK() and pipeline.RegisterEventSink(plain).IsOK()
    assert pipeline.RegisterEventSink(plain).GetCode() == m.TQ_GENERIC_ERROR
    assert pipeline.Start().IsOK()
    acquire(device)
    frames = retrieve_frames(pipeline, 3)
    deadline = time.time() + 10   # a buffer may be retrieved before its callback has run
    while sink.ready < 3 and time.time() < deadline:
        time.sleep(0.01)
    assert len(frames) == 3 and sink.ready >= 3   # the pipeline goes on delivering
    assert pipeline.Stop().IsOK()
    out = capfd.readouterr().out
    assert "In method 'OnBufferReady': ValueErrorx y\n" in out
    # Up-calls of the base class run the SDK's defaults, on a plain sink and from a subclass.
    assert k.TqPipelineEventSink.OnStart(plain, pipeline) is None
    assert m.TqPipelineEventSink_OnBufferTooSmall(sink, pipeline, None, None) is None
    assert m.TqPipelineEventSink_OnStop(sink, None) is None
    raises(TypeError, "TqPipelineEventSink_OnStart expected 2 arguments, got 1", m.TqPipelineEventSink_OnStart, sink)
    raises(TypeError, arg("TqPipelineEventSink_OnStart", 1, "TqPipelineEventSink *"),
           m.TqPipelineEventSink_OnStart, None, pipeline)
    raises(TypeError, arg("TqPipelineEventSink_OnBufferTooSmall", 4, "bool *"),
           m.TqPipelineEventSink_OnBufferTooSmall, sink, pipeline, None, 1)
    raises(TypeError, arg("TqPipelineEventSink_OnBufferCreated", 3, "TqBuffer *"),
           m.TqPipelineEventSink_OnBufferCreated, sink, pipeline, pipeline)
    assert pipeline.UnregisterEventSink(sink).IsOK() and pipeline.UnregisterEventSink(plain).IsOK()
    assert pipeline.UnregisterEventSink(plain).GetCode() == m.TQ_NOT_FOUND


def test_lifetimes(m, k, streaming):
    device, stream, make_pipeline = streaming
    pipeline = make_pipeline()
    # The pipeline's proxy keeps the stream's proxy alive; a registered sink stays alive.
    refs = sys.getrefcount(stream)
    assert k.TqPipeline(stream) is not None
    gc.collect()
    assert sys.getrefcount(stream) == refs
    sink = make_sink(k, ("OnStart",))
    assert pipeline.RegisterEventSink(sink).IsOK()
    del sink
    gc.collect()
    assert pipeline.Start().IsOK() and pipeline.Stop().IsOK()   # the sink still answers
    # disown_ takes one reference, once.
    other = make_sink(k, ("OnStop",))
    before = sys.getrefcount(other)
    m.disown_TqPipelineEventSink(other)
    m.disown_TqPipelineEventSink(other)
    assert sys.getrefcount(other) == before + 1
    assert m.disown_TqPipelineEventSink(None) is None
    # A null stream: failing results, never a crash.
    empty = m.new_TqPipeline(None)
    assert m.TqPipeline_Start(empty).GetCode() != m.TQ_OK
    assert m.TqPipeline_RetrieveNextBuffer(empty, 0)[1] is None
    m.delete_TqPipeline(empty)
    assert m.delete_TqPipeline(None) is None


STOP_INSIDE = """
import sys, threading, time
sys.path.insert(0, {tests!r})
import _kivo_testhooks as hooks
import kivo_python64 as k


def main():
    hooks.soft_device_start(address="127.0.0.3", model="Stop Inside", mac="02:4b:49:61:00:03", width=64, height=48)
    result, device = k.TqDevice.CreateAndConnect("127.0.0.3")
    result, stream = k.TqStream.CreateAndOpen("127.0.0.3")
    pipeline = k.TqPipeline(stream)
    done = threading.Event()

    class Sink(k.TqPipelineEventSink):
        def OnBufferReady(self, p):
            if not done.is_set():
                done.set()
                print("stop inside:", p.Stop().GetCodeString(), flush=True)
                print("unregister inside:", p.UnregisterEventSink(self).GetCodeString(), flush=True)

    sink = Sink()
    pipeline.RegisterEventSink(sink)
    pipeline.Start()
    device.StreamEnable()
    device.GetParameters().ExecuteCommand("AcquisitionStart")
    assert done.wait(10), "no frame"
    time.sleep(0.2)
    print("started:", pipeline.IsStarted())
    del pipeline
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    stream.Close()
    k.TqStream.Free(stream)
    k.TqDevice.Free(device)
    print("done")


main()   # everything made here is gone before the interpreter ends
"""


def test_stop_and_unregister_inside_a_callback():
    import os
    tests = os.path.dirname(os.path.abspath(__file__))
    proc = run_python(textwrap.dedent(STOP_INSIDE.format(tests=tests)), timeout=60)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "stop inside: OK" in proc.stdout and "unregister inside: OK" in proc.stdout
    assert "started: False" in proc.stdout and "done" in proc.stdout.splitlines()


def counters(stream, *names):
    parameters = stream.GetParameters()
    return [parameters.GetIntegerValue(name)[1] for name in names]


def test_buffers_sized_from_the_devices_payload(m, k, streaming_vga):
    device, stream, make_pipeline = streaming_vga
    pipeline = make_pipeline()
    assert pipeline.GetBufferSize() == 0   # automatic
    assert pipeline.Start().IsOK()
    acquire(device)
    # The very first frame fits: the pool took the device's PayloadSize from the stream at Start.
    result, buffer, operation = pipeline.RetrieveNextBuffer(5000)
    assert buffer is not None, str(result.GetCodeString())
    assert str(operation.GetCodeString()) == "OK"
    assert buffer.GetSize() == device.GetPayloadSize() == 640 * 480
    assert counters(stream, "BlocksBufferTooSmall") == [0]
    assert pipeline.ReleaseBuffer(buffer).IsOK()
    assert pipeline.Stop().IsOK()
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    device.StreamDisable()
    # Larger frames: the next Start asks again, so again nothing arrives too small.
    assert device.GetParameters().SetIntegerValue("Width", 1024).IsOK()
    assert device.GetParameters().SetIntegerValue("Height", 768).IsOK()
    assert pipeline.Start().IsOK()
    acquire(device)
    frames = retrieve_frames(pipeline, 3)
    assert len(frames) == 3 and all(code == "OK" for _, code in frames)
    assert counters(stream, "BlocksBufferTooSmall") == [0]
    assert pipeline.Stop().IsOK()


def slow_consumer(k):
    """A sink whose OnBufferReady takes the next ready buffer, notes its block ID and how many buffers
    still wait, gives it back and then takes 50 ms."""

    class SlowConsumer(k.TqPipelineEventSink):
        def __init__(self):
            super().__init__()
            self.blocks, self.waiting = [], []

        def OnBufferReady(self, pipeline):
            result, buffer, operation = pipeline.RetrieveNextBuffer(0)
            if buffer is not None:
                self.blocks.append(buffer.GetBlockID())
                self.waiting.append(pipeline.GetOutputQueueSize())
                pipeline.ReleaseBuffer(buffer)
            time.sleep(0.05)

    return SlowConsumer()


def test_a_slow_on_buffer_ready_leaves_the_stream_fed_and_gets_the_newest_frames(m, k, streaming):
    device, stream, make_pipeline = streaming
    assert device.GetParameters().SetFloatValue("AcquisitionFrameRate", 100.0).IsOK()
    pipeline = make_pipeline()
    consumer = slow_consumer(k)
    assert pipeline.RegisterEventSink(consumer).IsOK()
    assert pipeline.Start().IsOK()
    acquire(device)
    deadline = time.time() + 60
    while len(consumer.blocks) < 25 and time.time() < deadline:
        time.sleep(0.05)
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    assert pipeline.Stop().IsOK()
    assert pipeline.UnregisterEventSink(consumer).IsOK()
    blocks = list(consumer.blocks)
    assert len(blocks) >= 25
    stream_dropped, pipeline_dropped = counters(stream, "BlocksDropped", "PipelineImagesDropped")
    # The consumer takes about one frame in five: the pipeline drops the rest, the stream (almost) none.
    assert pipeline_dropped > 0
    assert stream_dropped <= max(3, pipeline_dropped // 4), (stream_dropped, pipeline_dropped)
    # Ever newer frames, from a ready queue that never holds more than half the pool.
    assert all(a < b for a, b in zip(blocks, blocks[1:]))
    assert max(consumer.waiting) <= pipeline.GetBufferCount() // 2


FREE_RUNNING = """
import sys, threading
sys.path.insert(0, {tests!r})
import _kivo_testhooks as hooks
import kivo_python64 as k


class Sink(k.TqPipelineEventSink):
    def __init__(self):
        super().__init__()
        self.stops = 0

    def OnStop(self, pipeline):
        self.stops += 1


def running_pipeline(device):
    result, stream = k.TqStream.CreateAndOpen("127.0.0.4")
    pipeline = k.TqPipeline(stream)
    sink = Sink()
    pipeline.RegisterEventSink(sink)
    assert pipeline.Start().IsOK()
    device.StreamEnable()
    device.GetParameters().ExecuteCommand("AcquisitionStart")
    result, buffer, operation = pipeline.RetrieveNextBuffer(10000)
    assert buffer is not None, str(result.GetCodeString())
    return stream, pipeline, sink, buffer


def main():
    handle = hooks.soft_device_start(address="127.0.0.4", model="Freed Under", mac="02:4b:49:61:00:04",
                                     width=640, height=480)
    result, device = k.TqDevice.CreateAndConnect("127.0.0.4")

    stream, pipeline, sink, held = running_pipeline(device)
    k.TqStream.Free(stream)
    print("started:", pipeline.IsStarted(), "stops:", sink.stops, flush=True)
    print("start again:", pipeline.Start().GetCodeString(), flush=True)
    print("retrieve:", pipeline.RetrieveNextBuffer(0)[0].GetCodeString(), flush=True)
    print("release held:", pipeline.ReleaseBuffer(held).GetCodeString(), flush=True)
    del pipeline
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    device.StreamDisable()

    # Closed while running, then freed; this pipeline goes only when main returns.
    stream, pipeline, sink, held = running_pipeline(device)
    pipeline.ReleaseBuffer(held)
    print("close:", stream.Close().GetCodeString(), flush=True)
    print("retrieve after close:", pipeline.RetrieveNextBuffer(100)[0].GetCodeString(), flush=True)
    k.TqStream.Free(stream)
    print("started after close and free:", pipeline.IsStarted(), "stops:", sink.stops, flush=True)

    device.GetParameters().ExecuteCommand("AcquisitionStop")
    k.TqDevice.Free(device)
    hooks.soft_device_stop(handle)
    print("done", flush=True)


main()
"""


def test_freeing_the_stream_of_a_running_pipeline_stops_it():
    import os
    tests = os.path.dirname(os.path.abspath(__file__))
    proc = run_python(textwrap.dedent(FREE_RUNNING.format(tests=tests)), timeout=120)   # a hang fails here
    assert proc.returncode == 0, proc.stderr[-3000:]
    out = proc.stdout.splitlines()
    assert out == ["started: False stops: 1", "start again: STATE_ERROR", "retrieve: STATE_ERROR",
                   "release held: OK", "close: OK", "retrieve after close: TIMEOUT",
                   "started after close and free: False stops: 1", "done"], proc.stdout + proc.stderr[-3000:]
