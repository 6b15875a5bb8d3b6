"""The GenApi factory's links: features mapped to chunks and to events, and the patches of the
device's own features, in the XML, at a connected controller and through aravis; the wrappers' texts."""

import shutil
import struct
import subprocess
import time

import pytest

from conftest import aravis_client, arg, clean_environment, raises, until
from test_genapi_factory import LO, OK, INVALID, STATE_ERROR, TEXT_ERROR, PLAIN, VALUE_A, VALUE_B, FLAG, Described, \
    ip_of, node, overload_text

PREFIX = "KivoSd_"
MONO8 = 17301505


def mapped(k, f, name, create, *, chunk=None, event=None, **kw):
    """One feature named name, mapped by MapChunk(f, *chunk) or MapEvent(f, *event), made by create(f)."""
    f.SetName(name)
    if chunk is not None:
        f.MapChunk(*chunk)
    if event is not None:
        f.MapEvent(*event)
    return create(f).GetCode()


def register_of(root, name):
    """The register node a mapped feature reads (the feature itself for strings and registers)."""
    feature = node(root, name)
    below = feature.findtext("pValue")
    return node(root, below) if below else feature


def test_mappings_in_the_xml(k):
    def describe(k, f, reg, results):
        results.append(mapped(k, f, "Plain", lambda f: f.CreateInteger(), chunk=(0x1234, 4, 4)))
        results.append(mapped(k, f, "Big", lambda f: f.CreateFloat(), chunk=(0x1234, 8, 8, k.TqGenEndiannessBig)))
        results.append(mapped(k, f, "Code", lambda f: f.CreateInteger(), event=(0x9100, 0, 4)))
        results.append(mapped(k, f, "Stamp", lambda f: f.CreateInteger(), event=(0x9100, 8, 8, 1, False)))
        results.append(mapped(k, f, "Word", lambda f: f.CreateString(), event=(0x9200, 4, 12, 0, True)))
        # A second mapping replaces the first; the Create resets it.
        f.MapChunk(0x77, 0, 4)
        results.append(mapped(k, f, "Last", lambda f: f.CreateBoolean(), chunk=(0x1234, 0, 1)))
        f.SetName("Unmapped")
        results.append(f.CreateInteger().GetCode())

    made = Described(k, describe)
    try:
        assert made.results == [OK] * 6 + [INVALID]
        root = made.xml()
        chunk_port, event_port = PREFIX + "Chunk00001234Port", PREFIX + "Event9100Port"
        assert node(root, chunk_port).tag == "Port" and node(root, chunk_port).findtext("ChunkID") == "00001234"
        assert node(root, event_port).findtext("EventID") == "9100"
        assert node(root, PREFIX + "Event9200Port").findtext("EventID") == "9200"
        assert not [n for n in root if n.get("Name") == PREFIX + "Chunk00000077Port"]
        # One port per ID, shared.
        assert len([n for n in root if n.tag == "Port" and n.findtext("ChunkID") == "00001234"]) == 1
        expected = {"Plain": ("IntReg", chunk_port, "0x4", "4", "LittleEndian"),
                    "Big": ("FloatReg", chunk_port, "0x8", "8", "BigEndian"),
                    "Code": ("IntReg", event_port, "0x10", "4", "LittleEndian"),
                    "Stamp": ("IntReg", event_port, "0x8", "8", "BigEndian"),
                    "Word": ("StringReg", PREFIX + "Event9200Port", "0x14", "12", None),
                    "Last": ("IntReg", chunk_port, "0x0", "1", "LittleEndian")}
        for name, (tag, port, address, length, endianness) in expected.items():
            reg = register_of(root, name)
            assert (reg.tag, reg.findtext("pPort"), reg.findtext("Address"), reg.findtext("Length"),
                    reg.findtext("Endianess")) == (tag, port, address, length, endianness), name
            assert reg.findtext("AccessMode") == "RO"
    finally:
        made.stop()


def test_mapping_refusals(k):
    def describe(k, f, reg, results):
        cases = [
            (lambda f: f.CreateInteger(reg[PLAIN]), (1, 0, 4)),     # a register as well
            (lambda f: f.CreateInteger(), (1, 0, 9)),               # integers take 1 to 8 bytes
            (lambda f: f.CreateInteger(), (1, 0, 0)),
            (lambda f: f.CreateFloat(), (1, 0, 2)),                 # floats 4 or 8
            (lambda f: f.CreateString(), (1, 0, 0)),
            (lambda f: f.CreateInteger(), (1, 0, 4, 5)),            # no endianness
            (lambda f: f.CreateInteger(), (1, 0, 4, -1)),
            (lambda f: f.CreateCommand(), (1, 0, 4)),               # commands are not mapped
            (lambda f: f.CreateBoolean(), (1, 0, 8)),
            (lambda f: f.CreateRegister(), (1, 0, 3)),
            (lambda f: f.CreateEnum(), (1, 0, 2)),
        ]
        for n, (create, chunk) in enumerate(cases):
            if create is cases[-1][0]:
                f.AddEnumEntry("On", 1)
            results.append(mapped(k, f, "F%d" % n, create, chunk=chunk))
        f.SetPValue("F8")
        results.append(mapped(k, f, "PValued", lambda f: f.CreateInteger(), event=(0x9100, 0, 4)))
        results.append(mapped(k, f, "WideEvent", lambda f: f.CreateInteger(), event=(0x10000, 0, 4)))
        results.append(mapped(k, f, "Knife", lambda f: f.CreateIntSwissKnife("1"), chunk=(1, 0, 4)))

    made = Described(k, describe)
    try:
        assert made.results == [INVALID, INVALID, INVALID, INVALID, INVALID, INVALID, INVALID, INVALID, OK, OK, OK,
                                INVALID, INVALID, INVALID]
    finally:
        made.stop()


def patch_all(k, f, reg, results):
    """Features of the application and a patch of each kind on the device's own features."""
    for name, address in (("WidthOn", VALUE_A), ("WidthLock", VALUE_B), ("HeightLimit", PLAIN), ("MonoAllowed", FLAG)):
        f.SetName(name)
        results.append(f.CreateInteger(reg[address]).GetCode())
    for name, formula in (("HeightLow", "8"), ("HeightStep", "2"), ("Poke", "0")):
        f.SetName(name)
        results.append(f.CreateIntSwissKnife(formula).GetCode())
    results.extend(r.GetCode() for r in [
        f.SetPIsAvailableFor("Width", "WidthOn"),
        f.SetPIsLockedFor("Width", "HeightLow"),     # replaced by the next
        f.SetPIsLockedFor("Width", "WidthLock"),
        f.SetPMinFor("Height", "HeightLow"),
        f.SetPMaxFor("Height", "HeightLimit"),
        f.SetPIncFor("Height", "HeightStep"),
        f.AddInvalidatorTo("PixelFormat", "Poke"),
        f.AddInvalidatorTo("PixelFormat", "WidthOn"),
        f.SetPIsAvailableForEnumEntry("PixelFormat", "Mono8", k.TqString("MonoAllowed")),
        f.SetPValueFor("OffsetX", "HeightLimit"),
    ])


def source_device(k, describe, chunk=False, start=True):
    """A Described device with one ready-made stream source (Mono8 and Mono16)."""
    made = Described(k, describe, start=False)
    made.source = type("Plain", (k.TqStreamingChannelSourceDefault,), {})(64, 64, MONO8, 4)
    assert made.device.AddStream(made.source).IsOK()
    if start:
        made.started = made.device.Start(LO)
        assert made.started.IsOK(), str(made.started.GetDescription())
    return made


def test_patches_in_the_xml(k):
    made = source_device(k, patch_all)
    try:
        assert made.results == [OK] * 17
        root = made.xml()
        width, height, pixel = node(root, "Width"), node(root, "Height"), node(root, "PixelFormat")
        assert width.findtext("pIsAvailable") == "WidthOn"
        assert [e.text for e in width.findall("pIsLocked")] == ["WidthLock"]
        assert (height.findtext("pMin"), height.findtext("pMax"), height.findtext("pInc")) == (
            "HeightLow", "HeightLimit", "HeightStep")
        assert height.find("Min") is None and height.find("Max") is None and height.find("Inc") is None
        assert [e.text for e in pixel.findall("pInvalidator")][-2:] == ["Poke", "WidthOn"]
        mono8 = [e for e in pixel.findall("EnumEntry") if e.get("Name") == "Mono8"][0]
        assert mono8.findtext("pIsAvailable") == "MonoAllowed"
        assert [e.text for e in node(root, "OffsetX").findall("pValue")] == ["HeightLimit"]
        # Elements keep the schema's order: pIsAvailable and pIsLocked before the value.
        tags = [c.tag for c in width]
        assert tags.index("pIsAvailable") < tags.index("pIsLocked") < tags.index("pValue")
    finally:
        made.stop()


def test_patch_refusals_and_late_calls(k):
    def describe(k, f, reg, results):
        results.extend(r.GetCode() for r in [
            f.SetPMinFor("NoSuchFeature", "X"),
            f.SetPIsAvailableForEnumEntry("PixelFormat", "NoSuchEntry", "X"),
            f.SetPIsAvailableForEnumEntry("Width", "Mono8", "X"),
            f.SetPMinFor("AcquisitionMode", "X"),     # not numeric
            f.SetPMaxFor("AcquisitionStart", "X"),
            f.SetPIncFor("AcquisitionMode", "X"),
            f.SetPValueFor("Width", "not a name"),
            f.SetPIsLockedFor("Root", "X"),           # a category
        ])

    made = source_device(k, describe)
    try:
        assert made.results == [INVALID] * 8
        late = made.kept["factory"]
        assert late.SetPMaxFor("Height", "X").GetCode() == STATE_ERROR
    finally:
        made.stop()

    # A feature named but never created fails the start.
    def dangling(k, f, reg, results):
        results.append(f.SetPMaxFor("Height", "NeverMade").GetCode())

    made = source_device(k, dangling, start=False)
    try:
        started = made.device.Start(LO)
        assert not started.IsOK() and "NeverMade" in str(started.GetDescription())
        assert made.results == [OK]
    finally:
        made.stop()


# ---- end to end: chunks and events at a connected controller ----

CHUNK_ID, EVENT_ID = 0x4001, 0x9100
CHUNK_DATA = struct.pack("<I", 1234) + struct.pack(">I", 1234)


def chunk_source(k):
    """A ready-made source of 64 x 64 Mono8 frames in chunk mode whose every buffer carries chunk
    0x4001: 1234 little-endian, then 1234 big-endian."""

    class Chunked(k.TqStreamingChannelSourceDefault):
        def __init__(self):
            super().__init__(64, 64, MONO8, 8)
            self.queued, self.aborted = [], []

        def GetSupportedChunk(self, index):
            return (0, CHUNK_ID, "ChunkValue") if index == 0 else (INVALID, 0, None)

        def GetChunkModeActive(self):
            return True

        def GetChunksSize(self):
            return len(CHUNK_DATA) + 8

        def AllocBuffer(self):
            buffer = super().AllocBuffer()
            if buffer is not None:
                assert buffer.AllocChunk(64).IsOK()
            return buffer

        def QueueBuffer(self, buffer):
            self.queued.append(buffer)
            return 0

        def RetrieveBuffer(self, pointer):
            if self.aborted:
                return 1, self.aborted.pop()
            if not self.queued:
                time.sleep(0.005)
                return 30, None
            buffer = self.queued.pop(0)
            buffer.ResetChunks()
            assert buffer.AddChunk(CHUNK_ID, CHUNK_DATA).IsOK()
            return 0, buffer

        def AbortQueuedBuffers(self):
            self.aborted.extend(self.queued)
            self.queued.clear()

    return Chunked()


def chunk_features(k, f, reg, results):
    results.append(mapped(k, f, "ChunkValueFeature", lambda f: f.CreateInteger(), chunk=(CHUNK_ID, 0, 4)))
    results.append(mapped(k, f, "ChunkValueBig", lambda f: f.CreateInteger(),
                          chunk=(CHUNK_ID, 4, 4, k.TqGenEndiannessBig)))
    results.append(mapped(k, f, "ChunkBeyond", lambda f: f.CreateInteger(), chunk=(CHUNK_ID, 6, 4)))


def chunk_device(k):
    made = Described(k, chunk_features, start=False)
    made.source = chunk_source(k)
    assert made.device.AddStream(made.source).IsOK()
    started = made.device.Start(LO)
    assert started.IsOK(), str(started.GetDescription())
    return made


def test_chunk_features_read_the_received_block(k, hooks):
    made = chunk_device(k)
    ip = ip_of(hooks, made.device)
    result, control = k.TqDevice.CreateAndConnect(ip)
    assert result.IsOK(), str(result.GetDescription())
    result, stream = k.TqStream.CreateAndOpen(ip)
    assert result.IsOK(), str(result.GetDescription())
    try:
        params = control.GetParameters()
        # PayloadSize: the image, the image's chunk trailer and the source's chunk size.
        assert params.GetIntegerValue("PayloadSize")[1] == 64 * 64 + 8 + len(CHUNK_DATA) + 8
        buffers = [k.TqBuffer() for _ in range(8)]
        for buffer in buffers:
            assert buffer.Alloc(64 * 64 + 256).IsOK() and stream.QueueBuffer(buffer).IsOK()
        assert control.StreamEnable().IsOK()
        assert params.ExecuteCommand("AcquisitionStart").IsOK()
        result, buffer, operation = stream.RetrieveBuffer(20000)
        assert result.IsOK() and operation.IsOK(), str(operation.GetCodeString())
        params.ExecuteCommand("AcquisitionStop")
        control.StreamDisable()
        size = buffer.GetAcquiredSize()
        assert size == 64 * 64 + 8 + len(CHUNK_DATA) + 8
        payload = buffer.GetDataPointer()[:size].copy()
        # One chunk layout read from its end: the source's chunk, then the image as the first chunk.
        assert bytes(payload[-8:]) == struct.pack(">II", CHUNK_ID, len(CHUNK_DATA))
        assert bytes(payload[64 * 64:64 * 64 + 8]) == struct.pack(">II", 0, 64 * 64)
        assert params.AttachDataChunks(payload).IsOK()
        assert params.GetIntegerValue("ChunkValueFeature")[1] == 1234
        assert params.GetIntegerValue("ChunkValueBig")[1] == 1234
        # A read past the chunk's data fails in the node map.
        assert params.GetIntegerValue("ChunkBeyond")[0].GetCode() == k.TQ_ERR_OVERFLOW
    finally:
        stream.Close()
        while stream.RetrieveBuffer(0)[1] is not None:
            pass
        k.TqStream.Free(stream)
        k.TqDevice.Free(control)
        made.stop()


def event_features(k, f, reg, results):
    results.append(mapped(k, f, "EventCode", lambda f: f.CreateInteger(), event=(EVENT_ID, 0, 4)))
    results.append(mapped(k, f, "EventStamp", lambda f: f.CreateInteger(), event=(EVENT_ID, 8, 8, 1, False)))
    results.append(mapped(k, f, "EventBlock", lambda f: f.CreateInteger(), event=(EVENT_ID, 6, 2, 1, False)))
    results.append(mapped(k, f, "EventLate", lambda f: f.CreateInteger(), event=(EVENT_ID, 4, 8)))


def test_event_features_read_the_fired_event(k, m, hooks):
    made = Described(k, event_features)
    heard = []

    class Sink(k.TqDeviceEventSink):
        def OnEvent(self, dev, event_id, channel, block, timestamp, data):
            heard.append((event_id, timestamp, bytes(data)))

    sink = Sink()
    result, control = k.TqDevice.CreateAndConnect(ip_of(hooks, made.device))
    assert result.IsOK(), str(result.GetDescription())
    try:
        assert made.results == [OK] * 4
        assert control.RegisterEventSink(sink).IsOK()
        params = control.GetParameters()
        channel = made.device.GetMessagingChannel()
        # Data shorter than a mapped feature still goes out; that feature's read fails, never past the data.
        assert m.ITqMessageChannel_FireEvent(channel, EVENT_ID, struct.pack("<II", 4321, 7)).GetCode() == OK
        assert until(lambda: heard, 30)
        assert params.GetIntegerValue("EventCode")[1] == 4321
        assert params.GetIntegerValue("EventStamp")[1] == heard[0][1]
        assert params.GetIntegerValue("EventBlock")[1] == 0
        assert params.GetIntegerValue("EventLate")[0].GetCode() == k.TQ_ERR_OVERFLOW
        assert m.ITqMessageChannel_FireEvent(channel, EVENT_ID, struct.pack("<I", 55)).GetCode() == OK
        assert until(lambda: len(heard) == 2, 30)
        assert params.GetIntegerValue("EventCode")[1] == 55
        assert params.GetIntegerValue("EventStamp")[1] == heard[1][1]
        assert control.UnregisterEventSink(sink).IsOK()
    finally:
        k.TqDevice.Free(control)
        made.stop()


# ---- patches at a controller, and through aravis ----

def controlled(k, hooks, made):
    result, control = k.TqDevice.CreateAndConnect(ip_of(hooks, made.device))
    assert result.IsOK(), str(result.GetDescription())
    return control


def test_patched_features_at_a_controller(k, hooks):
    made = source_device(k, patch_all)
    control = controlled(k, hooks, made)
    try:
        params = control.GetParameters()
        width = params.Get("Width")

        def flags():
            params.InvalidateCache()
            return width.IsAvailable()[1], width.IsWritable()[1]

        for address, value in ((VALUE_A, 1), (VALUE_B, 0), (PLAIN, 40), (FLAG, 1)):
            assert made.reg(address).Write(value).IsOK()
        assert flags() == (True, True)
        # Height: pMin 8 (a SwissKnife), pMax 40 (a register), pInc 2.
        assert params.SetIntegerValue("Height", 40).IsOK()
        assert params.SetIntegerValue("Height", 42).GetCode() != OK
        assert params.SetIntegerValue("Height", 6).GetCode() != OK
        assert params.SetIntegerValue("Height", 33).GetCode() != OK
        assert params.SetIntegerValue("Height", 10).IsOK()
        assert params.GetIntegerValue("Height")[1] == 10
        # Width unavailable while its pIsAvailable reads 0, locked while its pIsLocked is non-zero.
        assert made.reg(VALUE_A).Write(0).IsOK()
        assert flags() == (False, False)
        assert params.SetIntegerValue("Width", 32).GetCode() != OK
        assert made.reg(VALUE_A).Write(1).IsOK() and made.reg(VALUE_B).Write(3).IsOK()
        assert flags() == (True, False)
        assert params.SetIntegerValue("Width", 32).GetCode() != OK
        assert made.reg(VALUE_B).Write(0).IsOK()
        assert flags() == (True, True)
        assert params.SetIntegerValue("Width", 32).IsOK()
        # OffsetX reads and writes through HeightLimit.
        assert params.GetIntegerValue("OffsetX")[1] == 40
    finally:
        k.TqDevice.Free(control)
        made.stop()


def arv(address, *args):
    proc = subprocess.run(["arv-tool-0.8", "-a", address] + list(args), capture_output=True, text=True,
                          env=clean_environment(), timeout=60)
    return proc.returncode, proc.stdout + proc.stderr


@pytest.mark.skipif(shutil.which("arv-tool-0.8") is None, reason="aravis's arv-tool is not installed")
def test_aravis_reads_the_patched_limits_and_entries(k, hooks):
    def describe(k, f, reg, results):
        f.SetName("HeightLimit")
        results.append(f.CreateInteger(reg[PLAIN]).GetCode())
        f.SetName("MonoAllowed")
        results.append(f.CreateInteger(reg[FLAG]).GetCode())
        results.append(f.SetPMaxFor("Height", "HeightLimit").GetCode())
        results.append(f.SetPIsAvailableForEnumEntry("PixelFormat", "Mono8", "MonoAllowed").GetCode())

    made = source_device(k, describe, start=False)
    try:
        assert made.device.Start(LO).IsOK()
        assert made.results == [OK] * 4
        assert made.reg(PLAIN).Write(40).IsOK() and made.reg(FLAG).Write(0).IsOK()
        address = ip_of(hooks, made.device)
        status, height = arv(address, "control", "Height")
        assert status == 0 and any("max:40" in line for line in height.splitlines()), height
        status, features = arv(address, "features")
        assert status == 0, features
        assert any("Mono8" in line and "(Not available)" in line for line in features.splitlines()), features
    finally:
        made.stop()


ARAVIS_CHUNKS = r"""
import json, sys
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis

camera = Aravis.Camera.new(sys.argv[1])
camera.get_device().set_stream_options(Aravis.GvStreamOption.PACKET_SOCKET_DISABLED)
camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
payload = camera.get_integer("PayloadSize")
stream = camera.create_stream(None, None)
for _ in range(8):
    stream.push_buffer(Aravis.Buffer.new_allocate(payload))
camera.start_acquisition()
buffer = stream.timeout_pop_buffer(10000000)
camera.stop_acquisition()
out = {"payload": payload, "status": buffer.get_status().value_nick if buffer else None}
if buffer is not None and buffer.get_status() == Aravis.BufferStatus.SUCCESS:
    parser = camera.create_chunk_parser()
    out["little"] = parser.get_integer_value(buffer, "ChunkValueFeature")
    out["big"] = parser.get_integer_value(buffer, "ChunkValueBig")
print(json.dumps(out))
"""


@pytest.mark.skipif(shutil.which("arv-tool-0.8") is None, reason="aravis is not installed")
def test_aravis_chunk_parser_reads_the_mapped_chunk(k, hooks):
    made = chunk_device(k)
    try:
        result = aravis_client(ARAVIS_CHUNKS, ip_of(hooks, made.device), timeout=120)
        assert result == {"payload": 64 * 64 + 8 + len(CHUNK_DATA) + 8, "status": "success", "little": 1234,
                          "big": 1234}
    finally:
        made.stop()


# ---- the wrappers' texts ----

PATCHES = ["AddInvalidatorTo", "SetPIsAvailableFor", "SetPIsLockedFor", "SetPValueFor", "SetPMinFor", "SetPMaxFor",
           "SetPIncFor"]


def test_wrapper_texts(k, m):
    made = Described(k, lambda k, f, reg, results: None)
    f = made.kept["factory"]   # closed: what gets through does nothing
    G = "ITqGenApiFactory_"
    chunk = overload_text(G + "MapChunk", "MapChunk(uint32_t,uint32_t,size_t,TqGenEndianness)",
                          "MapChunk(uint32_t,uint32_t,size_t)")
    event = overload_text(G + "MapEvent", "MapEvent(uint32_t,uint32_t,size_t,TqGenEndianness,bool)",
                          "MapEvent(uint32_t,uint32_t,size_t,TqGenEndianness)", "MapEvent(uint32_t,uint32_t,size_t)")
    extend = "\nAdditional information:\n"

    def count(func, expected, given, at_most=False):
        return "%s expected %s%d arguments, got %d" % (G + func, "at most " if at_most else "", expected, given)

    cases = [
        ("MapChunk", (f, 1, 0), chunk),
        ("MapChunk", (f, 1, 0, 4, 0, 0), count("MapChunk", 5, 6, True) + extend + chunk),
        ("MapChunk", (f, -1, 0, 4), chunk),
        ("MapChunk", (f, 2**32, 0, 4), chunk),
        ("MapChunk", (f, 1, -1, 4), chunk),
        ("MapChunk", (f, 1, 2**32, 4), chunk),
        ("MapChunk", (f, 1, 0, -1), chunk),
        ("MapChunk", (f, 1, 0, 2**64), chunk),
        ("MapChunk", (f, 1, 0, 4, 2**31), chunk),
        ("MapChunk", (f, 1.0, 0, 4), chunk),
        ("MapChunk", (k.TqResult(0), 1, 0, 4), chunk),
        ("MapChunk", (None, 1, 0, 4), arg(G + "MapChunk", 1, "ITqGenApiFactory *")),
        ("MapEvent", (f, 1, 0), event),
        ("MapEvent", (f, 1, 0, 4, 0, True, 0), count("MapEvent", 6, 7, True) + extend + event),
        ("MapEvent", (f, 1, 0, 4, 0, 1), event),
        ("MapEvent", (f, 2**32, 0, 4), event),
        ("MapEvent", (f, 1, 0, 2**64, 0), event),
        ("MapEvent", (f, 1, 0, 4, -2**31 - 1, True), event),
        ("MapEvent", (None, 1, 0, 4, 0, False), arg(G + "MapEvent", 1, "ITqGenApiFactory *")),
        ("SetPIsAvailableForEnumEntry", (f, "PixelFormat", "Mono8"), count("SetPIsAvailableForEnumEntry", 4, 3)),
        ("SetPIsAvailableForEnumEntry", (f, "PixelFormat", "Mono8", "A", "B"),
         count("SetPIsAvailableForEnumEntry", 4, 5)),
        ("SetPIsAvailableForEnumEntry", (f, "PixelFormat", "Mono8", None), TEXT_ERROR % 4),
        ("SetPIsAvailableForEnumEntry", (f, "PixelFormat", 8, "A"), TEXT_ERROR % 3),
        ("SetPIsAvailableForEnumEntry", (None, "P", "M", "A"),
         arg(G + "SetPIsAvailableForEnumEntry", 1, "ITqGenApiFactory *")),
    ]
    for name in PATCHES:
        cases += [(name, (f, "Width"), count(name, 3, 2)),
                  (name, (f, "Width", "A", "B"), count(name, 3, 4)),
                  (name, (f, None, "A"), TEXT_ERROR % 2),
                  (name, (f, "Width", None), TEXT_ERROR % 3),
                  (name, (None, "Width", "A"), arg(G + name, 1, "ITqGenApiFactory *"))]
    try:
        for func, args, message in cases:
            with pytest.raises(TypeError) as info:
                getattr(m, G + func)(*args)
            assert type(info.value) is TypeError and str(info.value) == message, (func, args)
        # What passes: the defaults, any signed 32-bit endianness, exact bools, bools as numbers.
        assert m.ITqGenApiFactory_MapChunk(f, True, 0, 2**64 - 1) is None
        assert m.ITqGenApiFactory_MapChunk(f, 2**32 - 1, 2**32 - 1, 4, -2**31) is None
        assert m.ITqGenApiFactory_MapEvent(f, 1, 0, 4) is None and m.ITqGenApiFactory_MapEvent(f, 1, 0, 4, 5) is None
        assert m.ITqGenApiFactory_MapEvent(f, 1, 0, 4, 2**31 - 1, False) is None
        # Each patch gives a new owned result, also a failing one; TqString proxies and str mix.
        for name in PATCHES:
            first = getattr(m, G + name)(f, k.TqString("Width"), "A")
            second = getattr(m, G + name)(f, "Width", k.TqString("A"))
            assert type(first) is k.TqResult and first.this.own() and first.GetCode() == STATE_ERROR
            assert second.this.own() and int(second.this) != int(first.this)
        entry = m.ITqGenApiFactory_SetPIsAvailableForEnumEntry(f, "PixelFormat", k.TqString("Mono8"), "A")
        assert type(entry) is k.TqResult and entry.this.own() and entry.GetCode() == STATE_ERROR
        assert not m.ITqGenApiFactory_SetPIsLockedFor.__doc__
        for name in PATCHES + ["SetPIsAvailableForEnumEntry", "MapChunk"]:
            if name != "SetPIsLockedFor":
                assert getattr(m, G + name).__doc__, name
        assert "16" in m.ITqGenApiFactory_MapEvent.__doc__ and "ADVANCED" in m.ITqGenApiFactory_SetPMaxFor.__doc__
    finally:
        made.stop()
