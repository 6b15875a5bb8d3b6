"""Sizes beyond what the process can be given: the SDK answers TQ_NOT_ENOUGH_MEMORY (or the wrapper
raises MemoryError) with a text naming the size, allocates nothing up front and lives on. The pipeline's
pool is checked in this process (its sizes are beyond any machine); buffers, chunks, parts, rings,
arrays and texts, whose sizes fit 32 bits, in a child whose address space may grow by a few hundred
megabytes only. scripts/run-tests.sh runs these tests once more under an address-space limit, where a
failure that ended the process would show."""

import json
import os
import re
import textwrap
import time

import pytest

from conftest import CAMERA_XML, connect_soft_device, run_python
from gvcp_client import CCP
from test_device_link import SCRIPTED, description_reads, scripted

pytestmark = pytest.mark.allocation

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

REFUSAL = re.compile(r"^(?P<what>.+) needs (?P<needs>\d+) bytes, more than the (?P<ceiling>\d+) bytes this process "
                     r"can be given$")


def refusal(m, result):
    """The parts of a refusal's text (what asked, the bytes it needs, the ceiling), checking its code."""
    assert result.GetCode() == m.TQ_NOT_ENOUGH_MEMORY, str(result.GetCodeString())
    found = REFUSAL.match(str(result.GetDescription()))
    assert found, str(result.GetDescription())
    return found["what"], int(found["needs"]), int(found["ceiling"])


def made(hooks):
    """What the SDK holds that a refused size might have made: buffers and memory blocks."""
    return hooks.live_objects().get("TqBuffer", 0), hooks.memory_blocks()


def test_a_pipeline_beyond_memory_is_refused_before_a_buffer_is_made(m, k, hooks, soft_devices):
    device = stream = None
    try:
        _, device = connect_soft_device(k, soft_devices, address="127.0.0.2", model="Pool Source",
                                        mac="02:4b:49:61:00:09", width=64, height=48)
        result, stream = k.TqStream.CreateAndOpen("127.0.0.2")
        assert result.IsOK()
        pipeline = k.TqPipeline(stream)
        before = made(hooks)
        # The user's case: the count is refused at once and stays as it was.
        what, needs, ceiling = refusal(m, pipeline.SetBufferCount(10**9))
        assert what == "a pipeline of 1000000000 buffers of 65536 bytes" and needs > 10**9 * 65536
        assert 0 < ceiling <= hooks.memory_ceiling() + (64 << 20)
        assert pipeline.GetBufferCount() == 16 and refusal(m, pipeline.SetBufferCount(2**32 - 1))
        # A size raised after the count: Start holds the pool against memory before making it.
        assert pipeline.SetBufferCount(4096).IsOK() and pipeline.GetBufferCount() == 4096
        pipeline.SetBufferSize(2**32 - 1)
        what, needs, _ = refusal(m, pipeline.Start())
        assert what == "a pipeline of 4096 buffers of 4294967295 bytes" and needs >= 4096 * (2**32 - 1)
        assert not pipeline.IsStarted() and made(hooks) == before
        # Within memory the same pipeline starts and delivers.
        pipeline.SetBufferSize(0)
        assert pipeline.SetBufferCount(8).IsOK() and pipeline.Start().IsOK()
        assert device.StreamEnable().IsOK() and device.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()
        deadline = time.time() + 20
        while time.time() < deadline:
            result, buffer, operation = pipeline.RetrieveNextBuffer(1000)
            if buffer is not None:
                assert operation.IsOK() and pipeline.ReleaseBuffer(buffer).IsOK()
                break
        else:
            pytest.fail("no frame came through the pipeline")
        assert pipeline.Stop().IsOK()
        m.delete_TqPipeline(pipeline)
    finally:
        if device is not None:
            device.GetParameters().ExecuteCommand("AcquisitionStop")
            device.StreamDisable()
        if stream is not None:
            stream.Close()
            k.TqStream.Free(stream)
        if device is not None:
            k.TqDevice.Free(device)


# Runs under an address space that may grow by ROOM bytes: every size below is beyond it, and each
# refusal is recorded as [code, text] (or the exception's type and text); the child must live on to
# print them all.
CHILD = textwrap.dedent("""
    import json, os, resource
    import numpy as np
    import _kivo_python64 as m, _kivo_testhooks as hooks, kivo_python64 as k

    ROOM = 384 << 20
    device, _ = hooks.make_device(open(CAMERA_XML).read())
    port = k.TqDeviceSerialPort()
    text = "x" * (160 << 20)   # made before the limit: its wide form needs 640 MiB
    with open("/proc/self/statm") as f:
        space = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (space + ROOM, resource.getrlimit(resource.RLIMIT_AS)[1]))

    out = {"ceiling": hooks.memory_ceiling(), "blocks": hooks.memory_blocks()}
    def answer(name, call):
        try:
            result = call()
            out[name] = [result.GetCode(), str(result.GetDescription())]
        except Exception as error:
            out[name] = [type(error).__name__, str(error)]

    buffer = k.TqBuffer()
    answer("buffer", lambda: buffer.Alloc(2**32 - 1))
    answer("chunk area", lambda: buffer.AllocChunk(3 << 30))
    answer("image", lambda: buffer.GetImage().Alloc(32768, 32768, m.TqPixelMono8))
    raw = k.TqBuffer(m.TqPayloadTypeRawData)
    answer("raw data", lambda: hooks.buffer_raw_data(raw).Alloc(2**32 - 4096, 4095))
    answer("chunk data", lambda: hooks.make_chunk_data().Alloc(2**31))
    parts = k.TqBuffer(m.TqPayloadTypeMultiPart).GetMultiPartContainer()
    parts.AddJPEGPart(m.TqMultiPartJPEGImage, 2**31, 0, 0, 0)
    parts.AddChunkPart(2**30, 1)
    answer("parts", parts.AllocAllParts)
    answer("part", lambda: parts.AllocPart(0))
    answer("ring", lambda: port.SetRxBufferSize(2**32 - 1))
    out["blocks after"] = hooks.memory_blocks()
    answer("read memory", lambda: m.TqDevice_ReadMemory(device, 0, 2**31 - 4)[0])
    answer("serial read", lambda: port.Read(2**31 - 1, 0)[0])
    # Under AddressSanitizer a new that fails ends the process by design: texts are left out there.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        answer("text", lambda: k.TqString(text))
        answer("argument text", lambda: m.TqDevice_Connect(device, text))
    # Within the room all of it works as before.
    out["small"] = [buffer.Alloc(1 << 20).GetCode(), port.SetRxBufferSize(1 << 20).GetCode(),
                    len(m.TqDevice_ReadMemory(device, 0, 4096)[1]), str(k.TqString(text[:1000]))[:3]]
    hooks.free_device(device)
    print(json.dumps(out))
""")


def test_sizes_beyond_the_address_space_are_refused_and_the_process_lives_on(m):
    proc = run_python("CAMERA_XML = %r\n" % CAMERA_XML + CHILD, timeout=300)
    assert proc.returncode == 0, proc.stderr[-4000:]
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    ceiling = out["ceiling"]
    assert 0 < ceiling <= 384 << 20

    def refused(name, what, needs):
        code, text = out[name]
        assert code == m.TQ_NOT_ENOUGH_MEMORY, (name, code, text)
        found = REFUSAL.match(text)
        assert found and found["what"] == what and int(found["needs"]) == needs, (name, text)
        assert int(found["ceiling"]) <= ceiling + (64 << 20), (name, text)

    refused("buffer", "a buffer", 2**32 - 1)
    refused("chunk area", "a chunk area", 3 << 30)
    refused("image", "a buffer", 2**30)
    refused("raw data", "a buffer", 2**32 - 1)
    refused("chunk data", "chunk data", 2**31)
    refused("parts", "the parts of a multi-part buffer", 3 << 30)
    refused("part", "a part of a multi-part buffer", 2**31)
    refused("ring", "a receive buffer", 2**32 - 1)
    assert out["blocks after"] == out["blocks"]   # nothing was allocated for any of them
    for name, count in (("read memory", 2**31 - 4), ("serial read", 2**31 - 1)):
        assert out[name][0] == "MemoryError", out[name]
        assert re.fullmatch(r"an array of %d bytes is more than the \d+ bytes this process can be given" % count,
                            out[name][1]), out[name]
    if not SANITIZED:
        assert out["text"][0] == "MemoryError" and out["argument text"][0] == "MemoryError"
    assert out["small"] == [m.TQ_OK, m.TQ_OK, 4096, "xxx"]


# Connects, in a process whose address space may grow by 100 MiB, to a device in another (this one)
# that offers a description of 64 MiB: [code, text, connected, threads left behind].
CONNECT_CHILD = textwrap.dedent("""
    import json, os, resource
    import kivo_python64 as k
    device, tasks = k.TqDeviceGEV(), lambda: len(os.listdir("/proc/self/task"))
    threads, space = tasks(), int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    limit = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (space + (100 << 20), limit[1]))
    result = device.Connect(SCRIPTED)
    resource.setrlimit(resource.RLIMIT_AS, limit)   # the sanitizer's leak check at exit needs room
    print(json.dumps([result.GetCode(), str(result.GetDescription()), device.IsConnected(), tasks() - threads]))
""")


def test_a_description_beyond_the_address_space_is_refused_before_it_is_read(m):
    peer = scripted("Device.xml", 64 << 20)
    try:
        proc = run_python("SCRIPTED = %r\n" % SCRIPTED + CONNECT_CHILD, timeout=300)
    finally:
        peer.close()
    assert proc.returncode == 0, proc.stderr[-4000:]
    code, text, connected, threads = json.loads(proc.stdout.strip().splitlines()[-1])
    assert code == m.TQ_NOT_ENOUGH_MEMORY, text
    assert REFUSAL.match(text)["what"] == "loading the device's description of %d bytes" % (64 << 20)
    assert description_reads(peer) == 0 and not connected
    assert peer.registers.get(CCP) == 0 and threads == 0   # control given back, no heartbeat left
