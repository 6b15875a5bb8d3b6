"""Receiving frames from a software device through a stream: 2448x2048 Mono8 frames, unpaced, at
8 KB packets and at the largest packets, queued and retrieved for a few seconds. Prints frames/s,
GB/s and incomplete frames, beside memcpy of the same bytes and a bare sendmmsg/recvmmsg transfer of
the same packets measured in the same run (the receiver's goal: at least 0.8 of the bare transfer); then
the same stream through a pipeline with a Python OnBufferReady, beside the direct stream; and a slow
consumer: 640x480 frames at 100 frames/s through a pipeline whose Python OnBufferReady takes the next
frame and then sleeps 50 ms, with the frames it got, the frames the pipeline and the stream dropped,
and the age of the frames it got (reception time to the callback).

Prints a table; never fails. Run:  PYTHONPATH=build/python /usr/bin/python3 bench/bench_stream.py
"""

import time

import numpy as np

import _kivo_bench as bare
import _kivo_testhooks as hooks
import kivo_python64 as kivo

WIDTH, HEIGHT = 2448, 2048
SECONDS = 5.0


class Counter(kivo.TqPipelineEventSink):
    """A Python OnBufferReady, called on the pipeline's thread for every frame."""

    def __init__(self):
        super().__init__()
        self.ready = 0

    def OnBufferReady(self, pipeline):
        self.ready += 1


def receive(packet_size, through_pipeline=False):
    """Frames/s, GB/s and incomplete frames over SECONDS, straight from the stream or through a
    pipeline with a Python OnBufferReady (then also the callbacks counted)."""
    handle = hooks.soft_device_start(address="127.0.0.2", model="Bench Source", mac="02:4b:49:70:00:01",
                                     width=WIDTH, height=HEIGHT)
    try:
        result, device = kivo.TqDevice.CreateAndConnect("127.0.0.2")
        parameters = device.GetParameters()
        parameters.SetIntegerValue("GevSCPSPacketSize", packet_size)
        if parameters.Get("AcquisitionFrameRateEnable") is not None:   # unpaced
            parameters.Get("AcquisitionFrameRateEnable").FromString("false")
        result, stream = kivo.TqStream.CreateAndOpen("127.0.0.2")
        size = device.GetPayloadSize()
        pipeline = counter = None
        if through_pipeline:
            pipeline, counter = kivo.TqPipeline(stream), Counter()
            pipeline.SetBufferSize(size)
            pipeline.RegisterEventSink(counter)
            pipeline.Start()
            retrieve = lambda: pipeline.RetrieveNextBuffer(2000)
            give_back = pipeline.ReleaseBuffer
        else:
            buffers = []
            for _ in range(16):
                buffer = kivo.TqBuffer()
                buffer.Alloc(size)
                stream.QueueBuffer(buffer)
                buffers.append(buffer)
            retrieve = lambda: stream.RetrieveBuffer(2000)
            give_back = stream.QueueBuffer
        device.StreamEnable()
        parameters.ExecuteCommand("AcquisitionStart")
        frames = incomplete = 0
        started = time.monotonic()
        while time.monotonic() - started < SECONDS:
            result, buffer, operation = retrieve()
            if buffer is None:
                continue
            if operation.IsOK():
                frames += 1
            else:
                incomplete += 1
            give_back(buffer)
        elapsed = time.monotonic() - started
        parameters.ExecuteCommand("AcquisitionStop")
        device.StreamDisable()
        if pipeline is not None:
            pipeline.Stop()
            pipeline.UnregisterEventSink(counter)
            del pipeline
        stream.Close()
        while stream.RetrieveBuffer(0)[1] is not None:
            pass
        kivo.TqStream.Free(stream)
        kivo.TqDevice.Free(device)
        return frames / elapsed, frames * size / elapsed / 1e9, incomplete, counter.ready if counter else None
    finally:
        hooks.soft_device_stop(handle)


class SlowConsumer(kivo.TqPipelineEventSink):
    """An OnBufferReady that takes the next ready frame, notes its age (reception to now) and block
    ID, gives it back and then sleeps 50 ms."""

    def __init__(self):
        super().__init__()
        self.ages, self.blocks = [], []

    def OnBufferReady(self, pipeline):
        result, buffer, operation = pipeline.RetrieveNextBuffer(0)
        if buffer is not None:
            self.ages.append((time.monotonic_ns() - buffer.GetReceptionTime()) / 1e6)
            self.blocks.append(buffer.GetBlockID())
            pipeline.ReleaseBuffer(buffer)
        time.sleep(0.05)


def slow_consumer(seconds=SECONDS):
    """640x480 Mono8 at 100 frames/s through a default pipeline whose OnBufferReady takes 50 ms:
    (frames delivered, in order, dropped by the pipeline, dropped by the stream, frames received by the
    stream, median and largest age in ms)."""
    handle = hooks.soft_device_start(address="127.0.0.3", model="Slow Consumer", mac="02:4b:49:70:00:02",
                                     width=640, height=480)
    try:
        result, device = kivo.TqDevice.CreateAndConnect("127.0.0.3")
        parameters = device.GetParameters()
        parameters.SetIntegerValue("GevSCPSPacketSize", 9000)
        parameters.SetFloatValue("AcquisitionFrameRate", 100.0)
        result, stream = kivo.TqStream.CreateAndOpen("127.0.0.3")
        pipeline, consumer = kivo.TqPipeline(stream), SlowConsumer()
        pipeline.RegisterEventSink(consumer)
        pipeline.Start()
        device.StreamEnable()
        parameters.ExecuteCommand("AcquisitionStart")
        time.sleep(seconds)
        parameters.ExecuteCommand("AcquisitionStop")
        pipeline.Stop()
        pipeline.UnregisterEventSink(consumer)
        device.StreamDisable()
        statistics = stream.GetParameters()
        counts = [statistics.GetIntegerValue(name)[1]
                  for name in ("PipelineImagesDropped", "BlocksDropped", "BlocksReceived")]
        del pipeline
        stream.Close()
        kivo.TqStream.Free(stream)
        kivo.TqDevice.Free(device)
        ages = sorted(consumer.ages) or [float("nan")]
        in_order = all(a < b for a, b in zip(consumer.blocks, consumer.blocks[1:]))
        return (len(consumer.blocks), in_order, *counts, ages[len(ages) // 2], ages[-1])
    finally:
        hooks.soft_device_stop(handle)


def memcpy_rate(size):
    source, target = np.ones(size, dtype=np.uint8), np.empty(size, dtype=np.uint8)
    started = time.perf_counter()
    for _ in range(50):
        np.copyto(target, source)
    return 50 * size / (time.perf_counter() - started) / 1e9


def main():
    size = WIDTH * HEIGHT
    print("%-22s %10s %10s %11s %14s %14s" % ("packets", "frames/s", "GB/s", "incomplete", "vs bare UDP", "vs memcpy"))
    copy = memcpy_rate(size)
    direct = {}
    for packet in (8192, 9000):
        fps, rate, incomplete, _ = receive(packet)
        direct[packet] = fps
        bare_rate = bare.udp_transfer(packet - 28, 2.0) / 1e9
        print("%-22s %10.1f %10.2f %11d %13.2fx %13.3fx" % ("%d bytes" % packet, fps, rate, incomplete, rate / bare_rate,
                                                          rate / copy))
    print("memcpy of a frame: %.1f GB/s" % copy)
    fps, rate, incomplete, ready = receive(9000, through_pipeline=True)
    print("through a pipeline with a Python OnBufferReady (9000 bytes): %.1f frames/s, %.2f GB/s, %d incomplete, "
          "%d callbacks; ratio to the direct stream %.3f (goal >= 0.95)" % (fps, rate, incomplete, ready,
                                                                            fps / direct[9000]))
    delivered, in_order, pipeline_dropped, stream_dropped, received, median_age, oldest = slow_consumer()
    print("slow consumer (OnBufferReady of 50 ms, 640x480 at 100 frames/s, %.0f s): %d frames delivered%s, "
          "%d dropped by the pipeline, %d by the stream (of %d received); age of the delivered frames "
          "%.0f ms median, %.0f ms at most" % (SECONDS, delivered, "" if in_order else " (out of order)",
                                              pipeline_dropped, stream_dropped, received, median_age, oldest))


if __name__ == "__main__":
    main()
