"""What the SDK holds of Python's objects, Python keeps: a sink, a source or a notification handed to the
SDK lives on while the SDK holds it, though Python dropped every name of it (each case then makes the SDK
call it), and delete_ of it is refused until it is taken back; a holder that goes, or lets go of what it
held, gives it back. Objects the SDK deletes on its own (a pipeline's trimmed buffers, a default source's
buffers, what an array handed out) leave their proxies raising ReferenceError. Under the sanitizers each
case would otherwise reach freed memory."""

import gc
import struct
import sys
import weakref

import numpy as np
import pytest

from conftest import CAMERA_XML, raises, until
from gvcp_client import CCP, SUCCESS, Client

LO = "00:00:00:00:00:00"
HELD = "the SDK still uses it (registered, queued or opened on); take it back first"
USER_SETS = 0x32001000
SELECTOR, SAVE = USER_SETS, USER_SETS + 8
MY_REG, BYTES, PLAIN = 0x20000, 0x20010, 0x20020


def refused(m, cls, obj):
    delete = getattr(m, "delete_" + cls)
    raises(RuntimeError, "in method 'delete_%s', argument 1 of type '%s *': %s" % (cls, cls, HELD), delete, obj)


def dropped(*objects):
    """Weak references to the objects, once the caller's names are the only others: the caller deletes its
    names, collects, and each reference tells whether the SDK's hold kept the object."""
    return [weakref.ref(o) for o in objects]


def alive(refs):
    gc.collect()
    return [r() is not None for r in refs]


def test_a_device_keeps_its_sinks_until_it_is_freed(m, k, hooks, soft_devices):
    handle = soft_devices(address="127.0.0.2", model="Held", mac="02:4b:49:62:00:11")
    result, device = k.TqDevice.CreateAndConnect("127.0.0.2")
    assert result.IsOK()
    heard = []

    class Sink(k.TqDeviceEventSink):
        def OnEvent(self, dev, event_id, channel, block_id, timestamp, data):
            heard.append(event_id)

    sink, adapter = Sink(), k.TqDeviceAdapter(device)
    assert device.RegisterEventSink(sink).IsOK() and device.RegisterEventSink(adapter).IsOK()
    refused(m, "TqDeviceEventSink", sink)
    refused(m, "TqDeviceAdapter", adapter)   # held as its sink part: the same object
    refs = dropped(sink, adapter)
    del sink, adapter
    assert alive(refs) == [True, True]
    assert hooks.soft_device_fire_event(handle, 0x9001, bytes(8), 3, 0) == 0
    assert until(lambda: heard == [0x9001])
    k.TqDevice.Free(device)   # the holder goes, and with it what it held
    assert alive(refs) == [False, False] and not hooks.live_objects().get("TqDeviceAdapter")


def test_a_feature_keeps_its_sink_while_its_array_lives(m, k, hooks):
    with open(CAMERA_XML) as f:
        device, parameters = hooks.make_device(f.read())
    adapter = k.TqDeviceAdapter(device)
    width = parameters.Get("Width")
    assert m.TqGenParameter_RegisterEventSink(width, adapter).IsOK()
    refused(m, "TqDeviceAdapter", adapter)
    refs = dropped(adapter)
    del adapter
    assert alive(refs) == [True]
    assert parameters.SetIntegerValue("Width", 640).IsOK()   # the feature calls its sink
    assert hooks.adapter_updates(refs[0]()) == ["Width"]
    # Taken back, it may go; registered again, the array's end gives it back.
    removed = m.TqGenParameter_UnregisterEventSink(width, refs[0]())
    assert removed.IsOK() and alive(refs) == [False]
    again = k.TqDeviceAdapter(device)
    assert m.TqGenParameter_RegisterEventSink(width, again).IsOK()
    refs = dropped(again)
    del again
    hooks.free_device(device)   # the array goes with its device, and the features with it
    assert alive(refs) == [False]
    with pytest.raises(ReferenceError, match="^the TqGenParameterArray this TqGenInteger belongs to was deleted$"):
        width.GetValue()
    with pytest.raises(ReferenceError, match="^this TqGenParameterArray was deleted$"):
        parameters.GetCount()


def test_an_array_s_attached_chunks_are_given_back_when_it_goes_with_its_device(m, k, hooks):
    with open(CAMERA_XML) as f:
        device, parameters = hooks.make_device(f.read())
    data = np.frombuffer(struct.pack(">d", 1234.5) + struct.pack(">II", 0x1001, 8), dtype=np.uint8).copy()
    before = sys.getrefcount(data)
    assert parameters.AttachDataChunks(data).IsOK() and sys.getrefcount(data) == before + 1
    hooks.free_device(device)   # the array goes with its device: its memory is no longer used
    assert sys.getrefcount(data) == before


def test_a_pipeline_keeps_its_sinks_and_its_trimmed_buffers_raise(m, k, hooks, soft_devices):
    soft_devices(address="127.0.0.2", model="Held", mac="02:4b:49:62:00:12", width=64, height=48)
    result, stream = k.TqStream.CreateAndOpen("127.0.0.2")
    assert result.IsOK()
    created, started = [], []

    class Sink(k.TqPipelineEventSink):
        def OnBufferCreated(self, pipeline, buffer):
            created.append(buffer)

        def OnStart(self, pipeline):
            started.append(pipeline)

    pipeline, sink = k.TqPipeline(stream), Sink()
    assert pipeline.SetBufferCount(6).IsOK() and pipeline.RegisterEventSink(sink).IsOK()
    refused(m, "TqPipelineEventSink", sink)
    refs = dropped(sink)
    del sink
    assert alive(refs) == [True]
    assert pipeline.Start().IsOK() and len(started) == 1 and len(created) == 6
    assert pipeline.Stop().IsOK()
    # Fewer buffers: the pipeline deletes the spare ones over the count on its own.
    assert pipeline.SetBufferCount(4).IsOK()
    outcomes = []
    for buffer in created:
        try:
            outcomes.append(buffer.GetSize() >= 0)
        except ReferenceError as error:
            outcomes.append(str(error))
    assert sorted(outcomes, key=str) == [True] * 4 + ["this TqBuffer was deleted"] * 2
    del pipeline, started, created, buffer
    assert alive(refs) == [False]
    k.TqStream.Free(stream)


@pytest.mark.parametrize("payload, attach", [
    ("MultiPart", lambda b, a: (c := b.GetMultiPartContainer()).AddChunkPart(1 << 20, 0).IsOK() and c.AttachPart(0, a)),
    ("ChunkData", lambda b, a: b.GetChunkData().Attach(a))])
def test_arrays_attached_to_a_buffer_s_payload_go_with_the_buffer(m, k, soft_devices, payload, attach):
    soft_devices(address="127.0.0.2", model="Held", mac="02:4b:49:62:00:12", width=64, height=48)
    stream, arrays = k.TqStream.CreateAndOpen("127.0.0.2")[1], []

    class Sink(k.TqPipelineEventSink):
        def OnBufferCreated(self, pipeline, buffer):
            memory = np.zeros(1 << 20, np.uint8)   # freed once let go: a later use is a sanitizer's report
            assert buffer.Reset(getattr(m, "TqPayloadType" + payload)).IsOK() and attach(buffer, memory).IsOK()
            arrays.append(weakref.ref(memory))

    pipeline = k.TqPipeline(stream)
    assert pipeline.SetBufferCount(6).IsOK() and pipeline.RegisterEventSink(Sink()).IsOK() and pipeline.Start().IsOK()
    assert pipeline.Stop().IsOK() and pipeline.SetBufferCount(4).IsOK()   # the pipeline deletes two buffers
    assert sorted(alive(arrays)) == [False] * 2 + [True] * 4
    Sink().OnBufferCreated(None, k.TqBuffer())   # and one of Python's own, gone with its last name
    assert m.delete_TqPipeline(pipeline) is None and alive(arrays) == [False] * 7
    k.TqStream.Free(stream)


def test_a_default_source_keeps_alive_and_its_freed_buffers_raise(m, k):
    allocated = []

    class Source(k.TqStreamingChannelSourceDefault):
        def AllocBuffer(self):
            buffer = k.TqStreamingChannelSourceDefault.AllocBuffer(self)
            if buffer is not None:
                allocated.append(buffer)
            return buffer

    source = Source(64, 48, m.TqPixelMono8, 4)
    device = k.TqSoftDeviceGEV()
    assert device.AddStream(source).IsOK()
    refused(m, "TqStreamingChannelSourceDefault", source)
    refs = dropped(source)
    del source
    assert alive(refs) == [True]
    assert device.Start(LO).IsOK()   # the device asks the source for its geometry and its buffers
    assert len(allocated) == 4 and allocated[0].GetSize() == 64 * 48
    assert device.Stop().IsOK()   # the device gives every buffer back: the source deletes them
    for buffer in allocated:
        with pytest.raises(ReferenceError, match="^this TqBuffer was deleted$"):
            buffer.GetSize()
    del device
    assert alive(refs) == [False]


def test_a_software_device_keeps_its_sink_and_notification(m, k, hooks, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path))
    connected, told = [], []

    class Sink(k.ITqSoftDeviceGEVEventSink):
        def OnApplicationConnect(self, dev, ip, port, access):
            connected.append(ip)

    class Notify(k.ITqUserSetNotify):
        def UserSetStateNotify(self, state, index):
            told.append((state, index))
            return 0

    device, sink, notify = k.TqSoftDeviceGEV(), Sink(), Notify()
    assert device.SetUserSetCount(1).IsOK() and device.RegisterEventSink(sink).IsOK()
    assert device.SetUserSetNotify(notify).IsOK()
    refused(m, "ITqSoftDeviceGEVEventSink", sink)
    refused(m, "ITqUserSetNotify", notify)
    refs = dropped(sink, notify)
    del sink, notify
    assert alive(refs) == [True, True]
    assert device.Start(LO).IsOK()
    status, value = hooks.soft_device_read(hooks.soft_device_of(device), 0x0024)
    client = Client(".".join(str((value >> s) & 0xFF) for s in (24, 16, 8, 0)), timeout=5.0)
    try:
        assert client.write_reg(CCP, 2) == SUCCESS and until(lambda: connected)
        assert client.write_reg(SELECTOR, 1) == SUCCESS and client.write_reg(SAVE, 1) == SUCCESS
        assert told == [(0, 1), (1, 1)]
    finally:
        client.close()
    # Replaced, the notification is given back, and may be deleted.
    assert device.SetUserSetNotify(None).IsOK()
    assert alive(refs) == [True, False]
    assert device.Stop().IsOK()
    del device
    assert alive(refs) == [False, False]


def test_the_logging_core_keeps_its_sinks(m, k, hooks):
    texts = []

    class Sink(k.TqLogSink):
        def Log(self, level, logger, line, source, text, details):
            texts.append(text)

    sink = Sink()
    hooks.log_add_sink(sink)   # (no public function adds one: the test module stands in for the SDK)
    refused(m, "TqLogSink", sink)
    refs = dropped(sink)
    del sink
    assert alive(refs) == [True]
    k.TqLogger("held").LogError("held.cpp", 1, "kept", None)
    removed = hooks.log_remove_sink(refs[0]())
    assert removed and texts == ["kept"] and alive(refs) == [False]


class Registers:
    """A running software device whose sink adds, at its first start, MyReg with the sink `given` and a
    byte array with the sink `bytes`, and at each start a plain register; each sink counts its PreReads."""

    def __init__(self, k):
        self.reads = reads = {}

        def counting(name):
            class Counting(k.ITqRegisterEventSink):
                def PreRead(self, reg):
                    reads[name] = reads.get(name, 0) + 1
                    return 0
            return Counting()

        self.given, self.bytes, self.later = counting("given"), counting("bytes"), counting("later")
        first = [self.given, self.bytes]

        class Maker(k.ITqSoftDeviceGEVEventSink):
            def OnCreateCustomRegisters(self, dev, factory):
                if first:
                    given, in_bytes = first.pop(0), first.pop(0)
                    assert factory.AddRegister("MyReg", MY_REG, 4, k.TqGenAccessModeReadWrite, given).IsOK()
                    assert factory.AddByteArray("Bytes", BYTES, 8, k.TqGenAccessModeReadWrite, in_bytes).IsOK()
                assert factory.AddRegister("Plain", PLAIN, 4, k.TqGenAccessModeReadWrite).IsOK()

        self.maker = Maker()
        self.device = k.TqSoftDeviceGEV()
        assert self.device.RegisterEventSink(self.maker).IsOK() and self.device.Start(LO).IsOK()

    def read(self, address):
        reg = self.device.GetRegisterMap().GetRegisterByAddress(address)
        assert reg is not None and reg.ReadBytes(4)[0].IsOK()
        return reg


def test_registers_keep_their_sinks_until_removed_or_retired(m, k):
    made = Registers(k)
    plain = made.read(PLAIN)
    assert plain.AddEventSink(made.later).IsOK()
    for sink in (made.given, made.bytes, made.later):
        refused(m, "ITqRegisterEventSink", sink)
    refs = dropped(made.given, made.bytes, made.later)
    del made.given, made.bytes, made.later, sink
    assert alive(refs) == [True, True, True]
    for address in (MY_REG, BYTES, PLAIN):
        made.read(address)   # each read runs the register's sink
    assert made.reads == {"given": 1, "bytes": 1, "later": 1}
    # Removed, a sink is given back; a stop keeps the registers and their sinks; the next start
    # retires them, and they let go of their sinks.
    removed = plain.RemoveEventSink(refs[2]())   # (an assert would keep the argument for its message)
    assert removed.IsOK() and alive(refs) == [True, True, False]
    assert made.device.Stop().IsOK() and alive(refs) == [True, True, False]
    assert made.device.Start(LO).IsOK() and alive(refs) == [False, False, False]
    assert plain.ReadBytes(4)[0].GetCode() == 28   # STATE_ERROR: retired, kept for its proxies
    made.read(PLAIN)
    assert made.device.Stop().IsOK()
