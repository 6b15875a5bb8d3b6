"""The GigE Vision stream receiver at the speed of the wire: Mono8 frames of 0.3, 5 and 20 MP at
8192- and 9000-byte packets, unpaced, over loopback, beside a bare sendmmsg -> recvmmsg transfer of
the same packets measured in the same round:
- device -> ours: a software device (the engine's sender) to a TqStreamGEV;
- sender -> ours: the bench's own GVSP sender (sendmmsg like the bare transfer's sender) to a
  TqStreamGEV, which measures the receiver apart from the device's sender;
- device -> aravis ring / socket (when aravis's GObject introspection is installed): the same device
  at 127.0.0.1 to aravis's receiver in a process of its own, with its packet ring (where the process
  may open one; the row says when it could not) and with its plain socket and a 4 MiB buffer;
- fake cam -> ours: aravis's fake camera (a process of its own, 640x480 and its largest 2048x2048,
  at its own pace) to a TqStreamGEV;
each with frames/s, GB/s of complete frames, the receiver thread's CPU per frame and per byte, the
other threads' CPU per frame (the sender), incomplete frames, and the ratio of its GB/s to the bare
transfer's (the goal of each end: at least 0.8). The whole table is measured ROUNDS times and the
ratios are printed best and worst, with our receiver and sender's CPU per frame against aravis's
packet ring with the same sender (goal: at most 1.0), then 10 s of 20 MP frames to ours (goal: no
incomplete frame).

Then a camera-like sender that is not our device (the bench's own, camera_start in bare.cpp): one
datagram per packet (never coalesced), 16-bit block IDs counting up, from the device's stream socket
(its address and the source port it announces), unpaced and paced to 10 and 1 Gb/s line rates, at
each size and packet size into ours and into aravis's ring and socket receivers, the three one after
the other for each row. The camera is a process of its own: a software device at 127.0.0.1 that
serves discovery and control only (its acquisition is never started) and the sender; the receiver
opens its stream on it, the sender sends to the destination read from the device's registers, and
resend requests go to the device, which no longer has those blocks (aravis's receivers are set to ask
for none, as aravis sets itself for a device without resends). Each row: frames/s received and sent,
their ratio, incomplete frames, whether the receiver kept up (every frame complete, frames/s short of
those sent by one frame or 0.5 % at most), resends asked (ours: PacketsRequested, packets; aravis:
n_resend_requests) and the PACKETRESEND commands the device received, the receiver's threads' CPU and
the sender's CPU inside its send calls (on loopback the kernel's receive path runs there) per frame;
ROUNDS rounds, then the worst round, the rounds each receiver kept up, and ours against aravis's
packet ring of the same round, with the goals: receiver + sender CPU per frame at most the ring's
(over the rounds where both kept up), frames received per frame sent at least the ring's (within one
frame of the measured window or 0.5 %), no incomplete frame when paced (PASS or MISS). Only rows
where both kept up in every round compare the two receivers' costs.

Then the stream through a pipeline with a Python OnBufferReady, beside the direct stream; and a slow consumer: 640x480 frames at 100 frames/s through a pipeline
whose Python OnBufferReady takes the next frame and then sleeps 50 ms, with the frames it got, the
frames the pipeline and the stream dropped, and the age of the frames it got (reception to the
callback).

Then a software device streaming from a Python subclass of the SDK's ready-made source (2448x2048
Mono8, 16 pre-filled buffers handed back in turn) to our stream for SOURCE_SECONDS at packets of 1500
and 9000 bytes and the largest the source announces, and the same source into a sink that drops every
frame (the cost of the Python source and the device's loop alone; goal: 5 times the loopback rate).

CPU per thread comes from /proc/self/task/*/schedstat; the receiver thread is the one named
kivo-gvsp-rx. Prints tables; never fails. Pin it for steadier figures:
  PYTHONPATH=build/python taskset -c 0-7 /usr/bin/python3 bench/bench_stream.py [seconds] [rounds] [parts]
(parts "wire": the wire table and the 10 s run alone; "camera": the camera-like sender's table alone).
"""

import collections
import json
import os
import select
import subprocess
import sys
import threading
import time

import numpy as np

import _kivo_bench as bare
import _kivo_testhooks as hooks
import kivo_python64 as kivo

WIDTH, HEIGHT = 2448, 2048
SIZES = (("0.3 MP", 640, 480), ("5 MP", 2448, 2048), ("20 MP", 5472, 3648))
PACKETS = (8192, 9000)
ARGS = sys.argv[1:] if __name__ == "__main__" else []   # imported (by the tests), the defaults
SECONDS = float(ARGS[0]) if len(ARGS) > 0 else 3.0
ROUNDS = int(ARGS[1]) if len(ARGS) > 1 else 3
PARTS = ARGS[2] if len(ARGS) > 2 else "all"   # "wire": the wire table and the 10 s run; "camera": its table
GOAL = 0.8
RECEIVER = "kivo-gvsp-rx"
SOURCE_SECONDS = 10.0
MONO8 = 17301505
ACQUISITION_START, ACQUISITION_STOP = 0x30000018, 0x3000001C
RECEIVER_LARGEST = 65500 + 28   # TqStreamGEV's largest packet buffer, and the IP and UDP headers


def thread_times():
    """{thread id: (name, CPU ns)} of this process's threads."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/%s/comm" % tid) as f:
                name = f.read().strip()
            with open("/proc/self/task/%s/schedstat" % tid) as f:
                ns = int(f.read().split()[0])
        except OSError:
            continue
        out[int(tid)] = (name, ns)
    return out


def cpu_split(before, after):
    """(receiver CPU s, other threads' CPU s) between two thread_times(), the calling thread left out."""
    me = threading.get_native_id()
    receiver = other = 0
    for tid, (name, ns) in after.items():
        spent = ns - before.get(tid, (name, 0))[1]
        if tid == me:
            continue
        if name == RECEIVER:
            receiver += spent
        else:
            other += spent
    return receiver / 1e9, other / 1e9


def measured(retrieve, give_back, seconds):
    """Retrieves frames for the seconds, giving each back: (complete, incomplete, seconds taken,
    receiver CPU s, other threads' CPU s)."""
    frames = incomplete = 0
    times = thread_times()
    started = time.monotonic()
    while time.monotonic() - started < seconds:
        result, buffer, operation = retrieve()
        if buffer is None:
            continue
        if operation.IsOK():
            frames += 1
        else:
            incomplete += 1
        give_back(buffer)
    elapsed = time.monotonic() - started
    receiver_cpu, other_cpu = cpu_split(times, thread_times())
    return frames, incomplete, elapsed, receiver_cpu, other_cpu


class Counter(kivo.TqPipelineEventSink):
    """A Python OnBufferReady, called on the pipeline's thread for every frame."""

    def __init__(self):
        super().__init__()
        self.ready = 0

    def OnBufferReady(self, pipeline):
        self.ready += 1


def receive(packet_size, width=WIDTH, height=HEIGHT, source="device", through_pipeline=False, seconds=SECONDS):
    """Frames from a software device (source "device") or from the bench's GVSP sender ("sender")
    for the given seconds, straight from the stream or through a pipeline with a Python OnBufferReady:
    a dict of frames/s, GB/s, incomplete frames, receiver and other CPU seconds per frame, callbacks."""
    handle = hooks.soft_device_start(address="127.0.0.2", model="Bench Source", mac="02:4b:49:70:00:01",
                                     width=width, height=height)
    try:
        result, device = kivo.TqDevice.CreateAndConnect("127.0.0.2")
        parameters = device.GetParameters()
        parameters.SetIntegerValue("GevSCPSPacketSize", packet_size)
        if parameters.Get("AcquisitionFrameRateEnable") is not None:   # unpaced
            parameters.Get("AcquisitionFrameRateEnable").FromString("false")
        result, stream = kivo.TqStream.CreateAndOpen("127.0.0.2")
        size = width * height
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
            for _ in range(max(4, min(16, (256 << 20) // size))):
                buffer = kivo.TqBuffer()
                buffer.Alloc(size)
                stream.QueueBuffer(buffer)
                buffers.append(buffer)
            retrieve = lambda: stream.RetrieveBuffer(2000)
            give_back = stream.QueueBuffer
        sender = None
        if source == "device":
            device.StreamEnable()
            parameters.ExecuteCommand("AcquisitionStart")
        else:
            port = stream.GetLocalPort()
            channel = hooks.soft_device_stream_socket(handle)   # the stream takes the device's datagrams alone
            sender = threading.Thread(target=bare.gvsp_send,
                                      args=(port, width, height, packet_size, seconds + 0.3, 1, channel))
            sender.start()
        frames, incomplete, elapsed, receiver_cpu, other_cpu = measured(retrieve, give_back, seconds)
        if sender is not None:
            sender.join()
            os.close(channel)
        else:
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
        per = max(frames, 1)
        return {"fps": frames / elapsed, "gbs": frames * size / elapsed / 1e9, "incomplete": incomplete,
                "rx": receiver_cpu / per, "other": other_cpu / per, "rx_byte": receiver_cpu / per / size,
                "ready": counter.ready if counter else None}
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


def queued_buffers(stream, size, count=16):
    """count buffers of size bytes, queued in the stream."""
    buffers = [kivo.TqBuffer() for _ in range(count)]
    for buffer in buffers:
        buffer.Alloc(size)
        stream.QueueBuffer(buffer)
    return buffers


def close(stream):
    """Closes the stream, takes back every buffer still in it and frees it."""
    stream.Close()
    while stream.RetrieveBuffer(0)[1] is not None:
        pass
    kivo.TqStream.Free(stream)



class PrefilledSource(kivo.TqStreamingChannelSourceDefault):
    """The ready-made source with 16 buffers filled once, handed back in turn as frames; every call
    comes on the device's loop thread."""

    LARGEST = 65535

    def __init__(self):
        super().__init__(WIDTH, HEIGHT, MONO8, 16)
        self.queued = collections.deque()
        self.aborting = False
        self.frames = 0

    def GetGevSCPSPacketSizeInfo(self):
        return 0, self.LARGEST

    def AllocBuffer(self):
        buffer = super().AllocBuffer()
        if buffer is not None:
            buffer.GetImage().GetDataPointer()[...] = 0x5A
        return buffer

    def OnStreamingStart(self):
        self.aborting = False

    def QueueBuffer(self, buffer):
        self.queued.append(buffer)
        return 0

    def RetrieveBuffer(self, pointer):
        if not self.queued:
            return 30, None
        if self.aborting:
            return 1, self.queued.popleft()
        self.frames += 1
        return 0, self.queued.popleft()

    def AbortQueuedBuffers(self):
        self.aborting = True


def python_source(packet_size=None, seconds=SOURCE_SECONDS):
    """(packet size, frames/s, GB/s, incomplete frames) of a PrefilledSource: received by our stream at packet_size (or
    "largest": the largest the source announces), or (None) made and dropped by the device without a
    send."""
    source = PrefilledSource()
    device = kivo.TqSoftDeviceGEV()
    device.AddStream(source)
    if not device.Start("00:00:00:00:00:00").IsOK():
        return packet_size, float("nan"), float("nan"), 0
    try:
        handle = hooks.soft_device_of(device)
        size = WIDTH * HEIGHT
        if packet_size is None:
            hooks.soft_device_discard(handle, True)
            hooks.soft_device_write(handle, ACQUISITION_START, 1)
            started = time.monotonic()
            time.sleep(seconds)
            frames, elapsed = source.frames, time.monotonic() - started
            hooks.soft_device_write(handle, ACQUISITION_STOP, 1)
            hooks.soft_device_discard(handle, False)
            return None, frames / elapsed, frames * size / elapsed / 1e9, 0
        value = hooks.soft_device_read(handle, 0x0024)[1]
        ip = ".".join(str((value >> shift) & 0xFF) for shift in (24, 16, 8, 0))
        result, control = kivo.TqDevice.CreateAndConnect(ip)
        parameters = control.GetParameters()
        if packet_size == "largest":
            # The source's, as the device offers it (a multiple of its step), within what our
            # stream's packet buffer takes (RECEIVER_LARGEST).
            node = parameters.Get("GevSCPSPacketSize")
            largest, step = min(node.GetMax()[1], RECEIVER_LARGEST), node.GetIncrement()[1]
            packet_size = largest - largest % step
        if not parameters.SetIntegerValue("GevSCPSPacketSize", packet_size).IsOK():
            kivo.TqDevice.Free(control)
            return packet_size, float("nan"), float("nan"), 0
        result, stream = kivo.TqStream.CreateAndOpen(ip)
        buffers = queued_buffers(stream, size)
        control.StreamEnable()
        parameters.ExecuteCommand("AcquisitionStart")
        frames, incomplete, elapsed = measured(lambda: stream.RetrieveBuffer(2000), stream.QueueBuffer, seconds)[:3]
        parameters.ExecuteCommand("AcquisitionStop")
        control.StreamDisable()
        close(stream)
        kivo.TqDevice.Free(control)
        return packet_size, frames / elapsed, frames * size / elapsed / 1e9, incomplete
    finally:
        device.Stop()


# ---- aravis as the receiver of the device, and aravis's fake camera as the source of our receiver.
# aravis runs in processes of its own (as the tests run it), without a sanitizer preload. Its receiver
# tells its stream threads' CPU (all its threads but the one that pops the buffers, as ours leaves out
# the thread that retrieves them), whether its packet ring was in use, and marks its window on stdout.

# What both of aravis's receiver scripts do: open the camera at an address with its stream (mode
# "ring": its packet socket where the process may open one, "socket": its plain socket), with a 4 MiB
# socket buffer and buffers pushed; then receive, popping and pushing back, for the seconds between a
# "start" and a "stop" line on stdout. The packet size is set before the stream is made: aravis's
# stream reads it once, as it is made, and sizes its socket's reads (a longer datagram is cut short)
# and places payloads by it.
ARAVIS_PRELUDE = r"""
import json, os, sys, threading, time
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis

def stream_cpu():
    me, total = threading.get_native_id(), 0
    for tid in os.listdir("/proc/self/task"):
        if int(tid) != me:
            with open("/proc/self/task/%s/schedstat" % tid) as f:
                total += int(f.read().split()[0])
    return total / 1e9

def packet_ring():
    try:
        with open("/proc/self/net/packet") as f:
            inodes = {line.split()[-1] for line in f.readlines()[1:]}
    except OSError:
        return False
    for fd in os.listdir("/proc/self/fd"):
        try:
            link = os.readlink("/proc/self/fd/" + fd)
        except OSError:
            continue
        if link.startswith("socket:[") and link[8:-1] in inodes:
            return True
    return False

def open_stream(address, packet, mode, acquire, resend=True):
    camera = Aravis.Camera.new(address)
    if acquire:
        camera.set_boolean("AcquisitionFrameRateEnable", False)
        camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
    if mode == "socket":
        camera.get_device().set_stream_options(Aravis.GvStreamOption.PACKET_SOCKET_DISABLED)
    payload = camera.get_integer("PayloadSize")
    camera.gv_set_packet_size(packet)
    stream = camera.create_stream(None, None)
    if not resend:
        stream.set_property("packet-resend", Aravis.GvStreamPacketResend.NEVER)
    stream.set_property("socket-buffer", Aravis.GvStreamSocketBuffer.FIXED)
    stream.set_property("socket-buffer-size", 4 << 20)
    for _ in range(max(4, min(16, (256 << 20) // payload))):
        stream.push_buffer(Aravis.Buffer.new_allocate(payload))
    return camera, stream

def receive(stream, seconds):
    frames = incomplete = 0
    print("start", flush=True)
    cpu, started = stream_cpu(), time.monotonic()
    while time.monotonic() - started < seconds:
        buffer = stream.timeout_pop_buffer(1000000)
        if buffer is None:
            continue
        if buffer.get_status() == Aravis.BufferStatus.SUCCESS:
            frames += 1
        else:
            incomplete += 1
        stream.push_buffer(buffer)
    elapsed, cpu = time.monotonic() - started, stream_cpu() - cpu
    print("stop", flush=True)
    return {"frames": frames, "incomplete": incomplete, "elapsed": elapsed, "rx": cpu}
"""

ARAVIS_RECEIVER = ARAVIS_PRELUDE + r"""
packet, seconds, mode = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
camera, stream = open_stream("127.0.0.1", packet, mode, True)
camera.start_acquisition()
first = stream.timeout_pop_buffer(5000000)
if first is not None:
    stream.push_buffer(first)
got = receive(stream, seconds)
ring = packet_ring()
camera.stop_acquisition()
print(json.dumps(dict(got, packet=camera.gv_get_packet_size(), ring=ring)))
"""

# aravis's receiver of the camera-like sender: the camera opened with its stream (that sets the
# device's destination), no acquisition started (the device does not stream: the bench's sender
# does); "ready" once the stream waits, then the figures of the measured seconds from the first frame
# on, with its stream's statistics over them (n_resend_requests among them).
# It asks for no resends, as aravis sets itself for a device that offers none: the camera's device
# answers every request that it no longer has the block, and aravis, while it may ask, keeps a frame
# it cannot complete, and every later one behind it, for its frame retention (100 ms) whatever the
# answer. At thousands of frames a second its buffers run out meanwhile, the frames that find none
# are dropped, and the buffer that comes back begins in the middle of a frame, another one it cannot
# complete: after one lost packet, or one moment its buffers ran out, it completes about one frame in
# thirty. Without resends it hands an incomplete frame back as soon as a newer one begins.
ARAVIS_CAMERA_RECEIVER = ARAVIS_PRELUDE + r"""
address, packet, seconds, mode = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
camera, stream = open_stream(address, packet, mode, False, resend=False)

def infos():
    return {stream.get_info_name(i): stream.get_info_uint64(i) for i in range(stream.get_n_infos())
            if stream.get_info_type(i).name == "guint64"}

print("ready", flush=True)
first = stream.timeout_pop_buffer(10000000)
if first is None:
    sys.exit("no frame came")
stream.push_buffer(first)
before = infos()
got = receive(stream, seconds)
after = infos()
print(json.dumps(dict(got, packet=camera.gv_get_packet_size(), ring=packet_ring(),
                      infos={name: value - before.get(name, 0) for name, value in after.items()})))
"""

FAKE_CAMERA = r"""
import sys, gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis
camera = Aravis.GvFakeCamera.new("127.0.0.1", "GV01")
print("ready" if camera is not None else "failed", flush=True)
sys.stdin.read()
"""
FAKE_SIZES = (("0.3 MP", 640, 480), ("4.2 MP", 2048, 2048))   # the fake camera's largest is 2048 x 2048
FAKE_RATE = 1000.0   # its highest frame rate: it keeps a pace of its own


def clean_environment():
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")}


def aravis_installed():
    try:
        return subprocess.run(["/usr/bin/python3", "-c", "import gi; gi.require_version('Aravis', '0.8'); "
                               "from gi.repository import Aravis"], env=clean_environment(), capture_output=True,
                              timeout=60).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def process_cpu(pid):
    """CPU seconds of every thread of a process."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def device_to_aravis(packet_size, width, height, mode, seconds=SECONDS):
    """The engine's device at 127.0.0.1 to aravis's receiver (mode "ring": its packet socket where it
    can open one, "socket": its plain socket with a 4 MiB buffer): the dict receive() gives, with
    the receiver's figures from aravis's process and ring: whether its packet ring was in use."""
    handle = hooks.soft_device_start(address="127.0.0.1", model="Bench Aravis", mac="02:4b:49:70:00:03",
                                     width=width, height=height)
    try:
        proc = subprocess.Popen(["/usr/bin/python3", "-c", ARAVIS_RECEIVER, str(packet_size), str(seconds), mode],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=clean_environment(),
                                cwd="/")
        marks = {}
        try:
            for line in proc.stdout:
                line = line.strip()
                if line in ("start", "stop"):
                    marks[line] = thread_times()
                elif line.startswith("{"):
                    got = json.loads(line)
            proc.wait(timeout=60)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if proc.returncode != 0 or len(marks) != 2:
            print("  (aravis's receiver failed: %s)" % proc.stderr.read()[-300:].strip())
            return None
        _, sender_cpu = cpu_split(marks["start"], marks["stop"])
        per, size = max(got["frames"], 1), width * height
        return {"fps": got["frames"] / got["elapsed"], "gbs": got["frames"] * size / got["elapsed"] / 1e9,
                "incomplete": got["incomplete"], "rx": got["rx"] / per, "other": sender_cpu / per,
                "rx_byte": got["rx"] / per / size, "ring": got["ring"]}
    finally:
        hooks.soft_device_stop(handle)


def fake_to_ours(packet_size, width, height, seconds=SECONDS):
    """aravis's fake camera (its own pace, at its highest frame rate) to our stream: the dict
    receive() gives, the sender's CPU being the fake camera's process's."""
    proc = subprocess.Popen(["/usr/bin/python3", "-c", FAKE_CAMERA], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=clean_environment(), cwd="/")
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 20)
        if not ready or proc.stdout.readline().strip() != "ready":
            return None
        result, device = kivo.TqDevice.CreateAndConnect("127.0.0.1")
        if not result.IsOK():
            return None
        parameters = device.GetParameters()
        for name, value in (("Width", width), ("Height", height), ("GevSCPSPacketSize", packet_size)):
            parameters.SetIntegerValue(name, value)
        parameters.SetFloatValue("AcquisitionFrameRate", FAKE_RATE)
        result, stream = kivo.TqStream.CreateAndOpen("127.0.0.1")
        size = width * height
        buffers = queued_buffers(stream, size, max(4, min(16, (256 << 20) // size)))
        device.StreamEnable()
        parameters.ExecuteCommand("AcquisitionStart")
        sender = process_cpu(proc.pid)
        frames, incomplete, elapsed, receiver_cpu, _ = measured(lambda: stream.RetrieveBuffer(2000),
                                                               stream.QueueBuffer, seconds)
        sender = process_cpu(proc.pid) - sender
        parameters.ExecuteCommand("AcquisitionStop")
        device.StreamDisable()
        close(stream)
        kivo.TqDevice.Free(device)
        per = max(frames, 1)
        return {"fps": frames / elapsed, "gbs": frames * size / elapsed / 1e9, "incomplete": incomplete,
                "rx": receiver_cpu / per, "other": sender / per, "rx_byte": receiver_cpu / per / size}
    finally:
        proc.stdin.close()
        proc.wait(timeout=20)


# ---- The camera-like sender (bench/bare.cpp, camera_start): one datagram per packet from the
# device's stream socket, unpaced or paced to a line rate, into ours and into aravis's receivers. The
# engine's software device, in the camera's process of its own with the sender, serves discovery and
# control only (its acquisition is never started): the receiver opens its stream on it, which sets
# the destination, and the sender reads the destination from the device's registers. Resend requests
# go to the device, which has none of those blocks and answers that it has not.

CAMERA_ADDRESS = "127.0.0.1"
PACES = (("unpaced", 0.0), ("10 Gb/s", 10e9), ("1 Gb/s", 1e9))
CAMERA_RECEIVERS = (("ours", "ours"), ("ring", "aravis ring"), ("socket", "aravis socket"))
FIRST_FRAME = 10.0   # seconds a receiver waits for its first frame
LINE_OVERHEAD = 38 + 28   # Ethernet framing and gap, IP and UDP headers: bytes on the line beside a datagram
GVSP_HEADER, LEADER, TRAILER = 8, 8 + 36, 8 + 8


def line_frames_per_second(width, height, packet, rate):
    """Frames a second that fit a line of rate bits/s, as the sender paces them."""
    size, chunk = width * height, packet - 28 - GVSP_HEADER
    payloads = -(-size // chunk)
    on_line = LEADER + TRAILER + size + payloads * GVSP_HEADER + (payloads + 2) * LINE_OVERHEAD
    return rate / 8 / on_line


# The camera: the software device and the sender in a process of their own, as a camera is not in
# the receiver's process (our receiver takes the path it takes for such a device). It answers a line
# of JSON to each command: "start <packet> <rate>" starts the sender toward the destination the
# receiver set, from the device's stream socket (its address and the source port it announces);
# "counts" gives the sender's (frames, packets, send CPU s, s, errno) and the PACKETRESEND commands the
# device received; "stop" stops the sender.
CAMERA_PROCESS = r"""
import json, os, sys
import _kivo_bench as bare
import _kivo_testhooks as hooks
address, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
SCP, SCDA = 0x0D00, 0x0D18
handle = hooks.soft_device_start(address=address, model="Bench Camera", mac="02:4b:49:70:00:04",
                                 width=width, height=height)
print(json.dumps({"ready": True}), flush=True)
sender = None
for line in sys.stdin:
    command = line.split()
    if command[0] == "start":
        ip = hooks.soft_device_read(handle, SCDA)[1]
        port = hooks.soft_device_read(handle, SCP)[1] & 0xFFFF
        dotted = ".".join(str((ip >> shift) & 0xFF) for shift in (24, 16, 8, 0))
        channel = hooks.soft_device_stream_socket(handle)
        sender = bare.camera_start(dotted, port, width, height, int(command[1]), float(command[2]),
                                   channel if channel >= 0 else address)
        if channel >= 0:
            os.close(channel)
        print(json.dumps({"started": True}), flush=True)
    elif command[0] == "counts":
        print(json.dumps({"counts": list(bare.camera_counts(sender)),
                          "commands": hooks.soft_device_statistics(handle)["packet_resends"]}), flush=True)
    elif command[0] == "stop":
        if sender is not None:
            bare.camera_stop(sender)
        sender = None
        print(json.dumps({"stopped": True}), flush=True)
hooks.soft_device_stop(handle)
"""


class Camera:
    """The camera process (CAMERA_PROCESS) for frames of width x height."""

    def __init__(self, width, height):
        here = [os.path.dirname(module.__file__) for module in (bare, hooks)]
        env = dict(clean_environment(), PYTHONPATH=os.pathsep.join(here + [os.environ.get("PYTHONPATH", "")]))
        self.proc = subprocess.Popen(["/usr/bin/python3", "-c", CAMERA_PROCESS, CAMERA_ADDRESS, str(width),
                                      str(height)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.answer()

    def ask(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self.answer()

    def answer(self):
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("the camera process ended")
        return json.loads(line)

    def start(self, packet, rate):
        self.ask("start %d %r" % (packet, rate))

    def counts(self):
        """(the sender's counts, PACKETRESEND commands the device received)."""
        got = self.ask("counts")
        return got["counts"], got["commands"]

    def stop(self):
        self.ask("stop")

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=20)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


KEPT_UP_SHORT = 0.005   # of the frames sent, what a receiver that kept up may miss (the two windows differ)


def kept_up(fps, sent, incomplete, elapsed):
    """Whether a receiver kept up with the sender: every frame it handed back complete, and its
    frames/s at least those sent, short by one frame of its window or 0.5 % at most (the sender's
    window opens and closes when the bench asks for its counts, a few milliseconds off the receiver's)."""
    return incomplete == 0 and fps >= sent - max(1.0 / elapsed, KEPT_UP_SHORT * sent)


def camera_figures(frames, incomplete, elapsed, rx, sent_before, sent_after, asked, commands, size):
    """The dict of a camera row: frames/s, frames/s sent (over the sender's own clock), incomplete
    frames, whether the receiver kept up, resends asked (by the receiver's count) and PACKETRESEND
    commands the device received, receiver and sender CPU per frame."""
    per = max(frames, 1)
    fps = frames / elapsed
    sent = (sent_after[0] - sent_before[0]) / max(sent_after[3] - sent_before[3], 1e-9)
    return {"fps": fps, "sent": sent, "incomplete": incomplete, "kept": kept_up(fps, sent, incomplete, elapsed),
            "asked": asked, "commands": commands, "rx": rx / per, "tx": (sent_after[2] - sent_before[2]) / per,
            "error": sent_after[4]}


def camera_to_ours(packet, width, height, rate, seconds=SECONDS):
    """The sender to a TqStreamGEV: the dict camera_figures gives."""
    camera = Camera(width, height)
    try:
        result, device = kivo.TqDevice.CreateAndConnect(CAMERA_ADDRESS)
        device.GetParameters().SetIntegerValue("GevSCPSPacketSize", packet)
        result, stream = kivo.TqStream.CreateAndOpen(CAMERA_ADDRESS)
        size = width * height
        buffers = queued_buffers(stream, size, max(4, min(16, (256 << 20) // size)))
        statistics = stream.GetParameters()
        camera.start(packet, rate)
        try:
            waited = time.monotonic()
            while time.monotonic() - waited < FIRST_FRAME:
                buffer = stream.RetrieveBuffer(1000)[1]
                if buffer is not None:
                    stream.QueueBuffer(buffer)
                    break
            asked = statistics.GetIntegerValue("PacketsRequested")[1]
            sent, commands = camera.counts()
            frames, incomplete, elapsed, rx, _ = measured(lambda: stream.RetrieveBuffer(2000), stream.QueueBuffer,
                                                          seconds)
            sent_after, commands_after = camera.counts()
            asked = statistics.GetIntegerValue("PacketsRequested")[1] - asked
        finally:
            camera.stop()
        close(stream)
        kivo.TqDevice.Free(device)
        return camera_figures(frames, incomplete, elapsed, rx, sent, sent_after, asked, commands_after - commands,
                              size)
    finally:
        camera.close()


def camera_to_aravis(packet, width, height, rate, mode, seconds=SECONDS):
    """The sender to aravis's receiver in a process of its own (mode "ring" or "socket"): the dict
    camera_figures gives, with ring: whether its packet ring was in use, and its stream's statistics."""
    camera = Camera(width, height)
    started = False
    try:
        proc = subprocess.Popen(["/usr/bin/python3", "-c", ARAVIS_CAMERA_RECEIVER, CAMERA_ADDRESS, str(packet),
                                 str(seconds), mode], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=clean_environment(), cwd="/")
        watchdog = threading.Timer(seconds + FIRST_FRAME + 60, proc.kill)
        watchdog.start()
        marks, got = {}, None
        try:
            for line in proc.stdout:
                line = line.strip()
                if line == "ready":
                    camera.start(packet, rate)
                    started = True
                elif line in ("start", "stop") and started:
                    marks[line] = camera.counts()
                elif line.startswith("{"):
                    got = json.loads(line)
            proc.wait(timeout=60)
        finally:
            watchdog.cancel()
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if proc.returncode != 0 or len(marks) != 2 or got is None:
            print("  (aravis's receiver failed: %s)" % proc.stderr.read()[-300:].strip())
            return None
        (sent, commands), (sent_after, commands_after) = marks["start"], marks["stop"]
        figures = camera_figures(got["frames"], got["incomplete"], got["elapsed"], got["rx"], sent, sent_after,
                                 got["infos"].get("n_resend_requests", 0), commands_after - commands, width * height)
        figures["ring"] = got["ring"]
        return figures
    finally:
        if started:
            camera.stop()
        camera.close()


def camera_round():
    """One round of the camera table: {(size name, packet, pace): {receiver: the dict camera_figures
    gives}}, the receivers of a row one after the other."""
    out = {}
    for name, width, height in SIZES:
        for packet in PACKETS:
            for pace, rate in PACES:
                row = {"ours": camera_to_ours(packet, width, height, rate)}
                for mode in ("ring", "socket") if ARAVIS else ():
                    row[mode] = camera_to_aravis(packet, width, height, rate, mode)
                out[(name, packet, pace)] = row
    return out


def print_camera_round(index, table):
    print("camera round %d (load average %.1f)" % (index + 1, os.getloadavg()[0]))
    print("  %-7s %6s %-8s | %-14s %9s %9s %8s %7s %7s %8s %8s %9s %9s %11s" % (
        "frames", "packet", "pace", "receiver", "frames/s", "sent/s", "got/sent", "incompl", "kept up", "resends",
        "commands", "rx ms/fr", "tx ms/fr", "rx+tx ms/fr"))
    for (name, packet, pace), row in table.items():
        for receiver, label in CAMERA_RECEIVERS:
            if receiver not in row:
                continue
            r = row[receiver]
            if r is None:
                print("  %-7s %6d %-8s | %-14s (failed)" % (name, packet, pace, label))
                continue
            notes = ("  (no packet ring: plain socket)" if receiver == "ring" and not r["ring"] else "") + (
                "  (the sender stopped: errno %d)" % r["error"] if r["error"] else "")
            print("  %-7s %6d %-8s | %-14s %9.1f %9.1f %8.3f %7d %7s %8d %8d %9.3f %9.3f %11.3f%s" % (
                name, packet, pace, label, r["fps"], r["sent"], r["fps"] / max(r["sent"], 1e-12), r["incomplete"],
                "yes" if r["kept"] else "NO", r["asked"], r["commands"], r["rx"] * 1e3, r["tx"] * 1e3,
                (r["rx"] + r["tx"]) * 1e3, notes))


def camera_summary(rounds):
    """Worst of the rounds, the rounds each receiver kept up, and ours against aravis's packet ring of
    the same round: receiver + sender CPU per frame at most the ring's over the rounds where both kept
    up (a receiver that fell behind spends less on the frames it lets go), frames received per frame
    sent at least the ring's in every round (within one frame of the measured window or 0.5 %); and no
    incomplete frame of ours when paced."""
    print("camera-like sender, worst of %d rounds: ours beside aravis's ring and socket receivers (frames/s, "
          "incomplete frames, rounds it kept up, resends asked, receiver + sender CPU ms per frame), and ours "
          "against the ring of the same round where both kept up" % len(rounds))
    print("  %-7s %6s %-8s | %-24s | %-17s | %-13s | %-20s | %-23s | %-s" % (
        "frames", "packet", "pace", "frames/s ours ring sock", "incompl o r s", "kept up o r s", "resends o r s",
        "rx+tx ms/fr o r s", "goals"))
    verdict = lambda ok: "PASS" if ok else "MISS"
    for key in rounds[0]:
        name, packet, pace = key
        rows = [r[key] for r in rounds]
        worst = {}
        for receiver, _ in CAMERA_RECEIVERS:
            got = [row[receiver] for row in rows if row.get(receiver)]
            worst[receiver] = got and {"fps": min(r["fps"] for r in got), "incomplete": max(r["incomplete"] for r in got),
                                       "asked": max(r["asked"] for r in got),
                                       "cost": max(r["rx"] + r["tx"] for r in got)}
        figure = lambda field, form: " ".join(form % worst[r][field] if worst[r] else "-" for r, _ in CAMERA_RECEIVERS)
        kept_rounds = " ".join("%d" % sum(bool(row.get(r) and row[r]["kept"]) for row in rows)
                               if any(r in row for row in rows) else "-" for r, _ in CAMERA_RECEIVERS)
        pairs = [(row["ours"], row["ring"]) for row in rows if row.get("ours") and row.get("ring")]
        both = [(o, r) for o, r in pairs if o["kept"] and r["kept"]]
        goals = "no ring to compare" if not pairs else "CPU not compared (no round where both kept up)"
        if both:
            cpu = max((o["rx"] + o["tx"]) / max(r["rx"] + r["tx"], 1e-12) for o, r in both)
            goals = "CPU %.2f (<= 1.0) %s%s" % (cpu, verdict(cpu <= 1.0), "" if len(both) == len(rows) else
                                               " (%d of %d rounds)" % (len(both), len(rows)))
        if pairs:
            share = lambda r: r["fps"] / max(r["sent"], 1e-12)   # frames received per frame sent
            fps = min(share(o) / max(share(r), 1e-12) for o, r in pairs)
            fps_met = all(share(o) >= share(r) - max(1.0 / SECONDS / max(o["sent"], 1e-12), KEPT_UP_SHORT)
                          for o, r in pairs)
            goals += ", frames/sent %.2f (>= 1.0) %s" % (fps, verdict(fps_met))
        incomplete = max((row["ours"]["incomplete"] for row in rows if row.get("ours")), default=0)
        if pace != "unpaced":
            goals += ", incomplete %d (0) %s" % (incomplete, verdict(incomplete == 0 and worst["ours"]))
        print("  %-7s %6d %-8s | %-24s | %-17s | %-13s | %-20s | %-23s | %s" % (
            name, packet, pace, figure("fps", "%.1f"), figure("incomplete", "%d"), kept_rounds, figure("asked", "%d"),
            " ".join("%.3f" % (worst[r]["cost"] * 1e3) if worst[r] else "-" for r, _ in CAMERA_RECEIVERS), goals))
    print("  (kept up: the rounds in which the receiver handed back every frame complete and at least the frames/s "
          "sent, short by one frame or 0.5 % at most; quote a row only where ours and aravis's receiver both kept "
          "up in every round. The CPU goal compares the rounds where both kept up, frames/sent the frames received "
          "per frame sent in every round, within one frame or 0.5 %. resends: ours counts packets asked for again, "
          "aravis its resend requests (it asks for none of this camera))")


def camera_table():
    print("camera-like sender: one datagram per packet from the device's address (%s), %.0f s a measurement, "
          "line rates of the paced rows in frames/s:" % (CAMERA_ADDRESS, SECONDS))
    for name, width, height in SIZES:
        print("  %-7s %s" % (name, ", ".join("%d bytes %s %.1f" % (packet, pace, line_frames_per_second(
            width, height, packet, rate)) for packet in PACKETS for pace, rate in PACES if rate)))
    rounds = []
    for index in range(ROUNDS):
        rounds.append(camera_round())
        print_camera_round(index, rounds[-1])
    camera_summary(rounds)


def memcpy_rate(size):
    source, target = np.ones(size, dtype=np.uint8), np.empty(size, dtype=np.uint8)
    started = time.perf_counter()
    for _ in range(50):
        np.copyto(target, source)
    return 50 * size / (time.perf_counter() - started) / 1e9


ARAVIS = False   # set by main: aravis's GObject introspection is installed
LABELS = {"device": "device -> ours", "sender": "sender -> ours", "ring": "device -> aravis ring",
          "socket": "device -> aravis socket", "fake": "fake cam -> ours"}


def sources():
    return ("device", "sender") + (("ring", "socket") if ARAVIS else ())


def wire_round():
    """One round of the table: {(size name, packet): {"bare": GB/s, source: the dict receive() gives}}
    for the sources, then aravis's fake camera to ours at its sizes."""
    out = {}
    for name, width, height in SIZES:
        for packet in PACKETS:
            row = {"bare": bare.udp_transfer(packet - 28, min(SECONDS, 2.0)) / 1e9}
            for source in ("device", "sender"):
                row[source] = receive(packet, width, height, source)
            for mode in sources()[2:]:
                row[mode] = device_to_aravis(packet, width, height, mode)
            out[(name, packet)] = row
    if ARAVIS:
        for name, width, height in FAKE_SIZES:
            for packet in PACKETS:
                row = out.get((name, packet)) or {"bare": bare.udp_transfer(packet - 28, min(SECONDS, 2.0)) / 1e9}
                row["fake"] = fake_to_ours(packet, width, height)
                out[(name, packet)] = row
    return out


def print_round(index, table):
    print("round %d (load average %.1f)" % (index + 1, os.getloadavg()[0]))
    print("  %-7s %6s %9s | %-24s %9s %7s %7s %10s %10s %8s %6s" % (
        "frames", "packet", "bare GB/s", "source", "frames/s", "GB/s", "ratio", "rx ms/fr", "tx ms/fr",
        "rx ns/B", "incompl"))
    for (name, packet), row in table.items():
        for source in LABELS:
            r = row.get(source)
            if source not in row:
                continue
            if r is None:
                print("  %-7s %6d %9.2f | %-24s (failed)" % (name, packet, row["bare"], LABELS[source]))
                continue
            note = "" if r.get("ring", True) else "  (no packet ring: plain socket)"
            print("  %-7s %6d %9.2f | %-24s %9.1f %7.2f %7.2f %10.3f %10.3f %8.3f %6d%s" % (
                name, packet, row["bare"], LABELS[source], r["fps"], r["gbs"], r["gbs"] / row["bare"],
                r["rx"] * 1e3, r["other"] * 1e3, r["rx_byte"] * 1e9, r["incomplete"], note))


def summary(rounds):
    print("summary over %d rounds: GB/s / bare transfer of the same round, best (worst-best), goal >= %.1f; "
          "CPU per frame at the best round" % (len(rounds), GOAL))
    for key in rounds[0]:
        parts = []
        for source in LABELS:
            results = [(r[key][source], r[key]["bare"]) for r in rounds if r[key].get(source)]
            if not results:
                continue
            ratios = [r["gbs"] / b for r, b in results]
            best = max(results, key=lambda rb: rb[0]["gbs"] / rb[1])[0]
            incomplete = sum(r["incomplete"] for r, _ in results)
            goal = "" if source == "fake" else (", met" if max(ratios) >= GOAL else ", MISS")
            parts.append("%s %.2f (%.2f-%.2f%s), rx+tx %.2f ms/frame, %d incomplete" % (
                LABELS[source], max(ratios), min(ratios), max(ratios), goal, (best["rx"] + best["other"]) * 1e3,
                incomplete))
        print("  %-7s %5d: %s" % (key[0], key[1], "; ".join(parts)))
        ours = [r[key]["device"] for r in rounds if r[key].get("device")]
        ring = [r[key]["ring"] for r in rounds if r[key].get("ring")]
        if ours and ring:
            cost = lambda r: r["rx"] + r["other"]
            print("  %-7s %5s  receiver + sender CPU per frame, ours / aravis's ring (best rounds): %.2f (goal <= 1.0)"
                  % ("", "", min(map(cost, ours)) / min(map(cost, ring))))


def long_run(seconds=10.0):
    """20 MP unpaced at 9000-byte packets for the seconds: (frames, incomplete)."""
    name, width, height = SIZES[-1]
    r = receive(9000, width, height, "device", seconds=seconds)
    return int(round(r["fps"] * seconds)), r["incomplete"]


def main():
    global ARAVIS
    ARAVIS = aravis_installed()
    print("%d processors (%d usable), load average %.1f, %.0f s a measurement, aravis %s" % (
        os.cpu_count() or 1, len(os.sched_getaffinity(0)), os.getloadavg()[0], SECONDS,
        "installed" if ARAVIS else "not installed: no aravis rows"))
    if PARTS == "camera":
        camera_table()
        return
    rounds = []
    for index in range(ROUNDS):
        rounds.append(wire_round())
        print_round(index, rounds[-1])
    summary(rounds)
    frames, incomplete = long_run()
    print("device -> ours, 20 MP unpaced at 9000 bytes for 10 s: %d frames, %d incomplete (goal 0)" % (frames, incomplete))
    if PARTS == "wire":
        return
    print()
    camera_table()
    print()
    size = WIDTH * HEIGHT
    print("memcpy of a 5 MP frame: %.1f GB/s" % memcpy_rate(size))
    direct = receive(9000)
    piped = receive(9000, through_pipeline=True)
    print("through a pipeline with a Python OnBufferReady (5 MP, 9000 bytes): %.1f frames/s, %.2f GB/s, %d "
          "incomplete, %d callbacks; ratio to the direct stream %.3f (goal >= 0.95)"
          % (piped["fps"], piped["gbs"], piped["incomplete"], piped["ready"], piped["fps"] / direct["fps"]))
    delivered, in_order, pipeline_dropped, stream_dropped, received, median_age, oldest = slow_consumer()
    print("slow consumer (OnBufferReady of 50 ms, 640x480 at 100 frames/s, %.0f s): %d frames delivered%s, "
          "%d dropped by the pipeline, %d by the stream (of %d received); age of the delivered frames "
          "%.0f ms median, %.0f ms at most" % (SECONDS, delivered, "" if in_order else " (out of order)",
                                              pipeline_dropped, stream_dropped, received, median_age, oldest))

    print()
    print("a Python subclass of the ready-made source, %dx%d Mono8, 16 pre-filled buffers, %.0f s:"
          % (WIDTH, HEIGHT, SOURCE_SECONDS))
    print("%-22s %10s %10s %11s %14s %14s" % ("packets", "frames/s", "GB/s", "incomplete", "vs bare UDP",
                                               "vs memcpy"))
    copy = memcpy_rate(size)
    loopback = 0.0
    for asked in (1500, 9000, "largest"):
        packet, fps, rate, incomplete = python_source(asked)
        bare_rate = bare.udp_transfer(min(packet, 65000 + 28) - 28, 2.0) / 1e9
        loopback = max(loopback, rate) if rate == rate else loopback
        print("%-22s %10.1f %10.2f %11d %13.2fx %13.3fx" % ("%d bytes" % packet, fps, rate, incomplete,
                                                          rate / bare_rate, rate / copy))
    _, fps, rate, _ = python_source(None)
    print("%-22s %10.1f %10.2f %11s %14s %13.3fx" % ("no send (loop alone)", fps, rate, "", "", rate / copy))
    print("the loop alone against the best loopback rate: %.1fx (goal >= 5)"
          % (rate / loopback if loopback else float("nan")))


if __name__ == "__main__":
    main()
