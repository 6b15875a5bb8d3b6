"""What a software device's Python source sends arrives whole in our TqStreamGEV and at aravis: images
with the chunks the ready-made source's buffers now have room for (the buffer's chunk accessors and
a parameter array's chunk-mapped feature read them), also when the source counts its chunks only once
a controller turned chunk mode on, frames short of their chunks marked and counted,
chunk data, two-part multi-part blocks once the controller allows them, and 64-bit block IDs a source
sets (whole with extended IDs on, else their low 16 bits)."""

import struct
import time

import numpy as np
import pytest

from conftest import aravis_client
from test_softdevice import LO, address_of

MONO8 = 17301505
OK, ABORTED, TIMEOUT, INVALID, BUFFER_TOO_SMALL, DATA_OVERRUN = 0, 1, 30, 16385, 4, 0x800D
COUNT_ID, NAME_ID = 0x4001, 0x4002
WIDTH, HEIGHT = 32, 16
CHUNKS_SIZE = 8 + 8 + 4 + 8   # a counter and a name, each with its ID and length


def source_class(k):
    """A ready-made source whose frame n (from 1) is the byte n throughout, with chunk COUNT_ID
    (n, 8 bytes little-endian) and NAME_ID ("kivo"); `kind` makes its buffers multi-part (two images,
    the second 255s) or chunk data; `claimed` is what its GetChunksSize says; `ids(n)` the block ID
    it sets on frame n (0: none)."""

    class Source(k.TqStreamingChannelSourceDefault):
        def __init__(self, kind="image", claimed=CHUNKS_SIZE, ids=lambda n: 0):
            super().__init__(WIDTH, HEIGHT, MONO8, 8)
            self.kind, self.claimed, self.ids = kind, claimed, ids
            self.queued, self.aborted = [], []
            self.frames = 0
            self.chunk_mode = False
            self.multipart_allowed = []

        def GetSupportedChunk(self, index):
            chunks = [(0, COUNT_ID, "ChunkCount"), (0, NAME_ID, "ChunkName")]
            return chunks[index] if index < len(chunks) else (INVALID, 0, None)

        def GetChunkModeActive(self):
            return self.chunk_mode

        def SetChunkModeActive(self, on):
            self.chunk_mode = on
            return OK

        def GetChunkEnable(self, chunk):
            return True

        def SetChunkEnable(self, chunk, on):
            return OK

        def GetChunksSize(self):
            return self.claimed

        def GetPayloadSize(self):   # a multi-part block: its parts' largest sizes
            return WIDTH * HEIGHT + 8 * 4 if self.kind == "parts" else 0

        def IsPayloadTypeSupported(self, payload_type):
            return payload_type in (k.TqPayloadTypeImage, k.TqPayloadTypeMultiPart)

        def SetMultiPartAllowed(self, allowed):
            self.multipart_allowed.append(allowed)

        def CreateGenApiFeatures(self, registers, factory):
            factory.SetName("ChunkCount")
            factory.SetCategory("ChunkDataControl")
            factory.MapChunk(COUNT_ID, 0, 8, k.TqGenEndiannessLittle)
            assert factory.CreateInteger().IsOK()

        def AllocBuffer(self):
            buffer = super().AllocBuffer()
            if buffer is None or self.kind == "image":
                return buffer
            if self.kind == "parts":
                assert buffer.Reset(k.TqPayloadTypeMultiPart).IsOK()
                parts = buffer.GetMultiPartContainer()
                assert parts.AddImagePart(k.TqMultiPart2DImage, WIDTH, HEIGHT, MONO8).IsOK()
                assert parts.AddImagePart(k.TqMultiPartConfidenceMap, 8, 4, MONO8, 1, 2).IsOK()
                assert parts.SetPartIDs(1, 0, 7, 0).IsOK()
                assert parts.AllocAllParts().IsOK()
            else:
                assert buffer.Reset(k.TqPayloadTypeChunkData).IsOK()
                assert buffer.GetChunkData().Alloc(64).IsOK()
            return buffer

        def QueueBuffer(self, buffer):
            self.queued.append(buffer)
            return OK

        def RetrieveBuffer(self, pointer):
            if self.aborted:
                return ABORTED, self.aborted.pop()
            if not self.queued:
                time.sleep(0.002)
                return TIMEOUT, None
            buffer = self.queued.pop(0)
            self.frames += 1
            n = self.frames
            if self.kind == "parts":
                parts = buffer.GetMultiPartContainer()
                parts.GetPart(0).GetDataPointer()[:] = n % 255 + 1   # never 0
                parts.GetPart(1).GetDataPointer()[:] = 255
            elif self.kind == "chunks":
                chunks = buffer.GetChunkData()
                chunks.ResetChunks()
                assert chunks.AddChunk(COUNT_ID, struct.pack("<Q", n)).IsOK()
            else:
                buffer.GetImage().GetDataPointer()[...] = n % 256
                buffer.ResetChunks()
                assert buffer.AddChunk(COUNT_ID, struct.pack("<Q", n)).IsOK()
                assert buffer.AddChunk(NAME_ID, b"kivo").IsOK()
            assert buffer.SetBlockID(self.ids(n)).IsOK()
            return OK, buffer

        def AbortQueuedBuffers(self):
            self.aborted.extend(self.queued)
            self.queued.clear()

    return Source


def following_source_class(k):
    """The source of source_class whose GetChunksSize follows its chunk mode, as PayloadSize does: 0
    until a controller turns chunk mode on, so that its buffers are made without room for chunks."""

    class Following(source_class(k)):
        def GetChunksSize(self):
            return CHUNKS_SIZE if self.chunk_mode else 0

    return Following


@pytest.fixture
def device(k):
    """device(source) -> the running TqSoftDeviceGEV of source and its address; stopped after."""
    made = []

    def start(source):
        dev = k.TqSoftDeviceGEV()
        made.append(dev)
        assert dev.AddStream(source).IsOK()
        started = dev.Start(LO)
        assert started.IsOK(), str(started.GetDescription())
        return dev

    yield start
    for dev in made:
        dev.Stop()


class Controller:
    """Our controller and stream of a device, 16 buffers of 4 KiB queued."""

    def __init__(self, k, ip):
        self.k = k
        result, self.control = k.TqDevice.CreateAndConnect(ip)
        assert result.IsOK(), str(result.GetDescription())
        result, self.stream = k.TqStream.CreateAndOpen(ip)
        assert result.IsOK(), str(result.GetDescription())
        self.params = self.control.GetParameters()
        for _ in range(16):
            buffer = k.TqBuffer()
            assert buffer.Alloc(4096).IsOK() and self.stream.QueueBuffer(buffer).IsOK()

    def start(self):
        assert self.control.StreamEnable().IsOK()
        assert self.params.ExecuteCommand("AcquisitionStart").IsOK()

    def frames(self, count):
        """The next count frames: [(operation code, buffer)], each buffer queued again after the next."""
        out = []
        for _ in range(count):
            result, buffer, operation = self.stream.RetrieveBuffer(20000)
            assert result.IsOK(), str(result.GetDescription())
            out.append((operation.GetCode(), buffer))
        return out

    def close(self):
        self.params.ExecuteCommand("AcquisitionStop")
        self.control.StreamDisable()
        self.stream.Close()
        while self.stream.RetrieveBuffer(0)[1] is not None:
            pass
        self.k.TqStream.Free(self.stream)
        self.k.TqDevice.Free(self.control)


@pytest.fixture
def controller(k):
    made = []

    def make(ip):
        made.append(Controller(k, ip))
        return made[-1]

    yield make
    for c in made:
        c.close()


def test_the_ready_made_sources_buffers_hold_the_chunks_it_counts(k):
    source = source_class(k)()
    buffer = source.AllocBuffer()
    try:
        assert buffer.GetChunkDataCapacity() == CHUNKS_SIZE
        assert buffer.AddChunk(COUNT_ID, bytes(8)).IsOK() and buffer.AddChunk(NAME_ID, b"kivo").IsOK()
        assert buffer.AddChunk(9, b"").GetCode() == BUFFER_TOO_SMALL
        assert buffer.GetImage().GetImageSize() == WIDTH * HEIGHT   # the image keeps its memory
    finally:
        source.FreeBuffer(buffer)


def test_chunks_arrive_in_the_buffers_accessors_and_the_mapped_feature(k, hooks, device, controller):
    dev = device(source_class(k)())
    c = controller(address_of(hooks, dev))
    assert c.params.SetBooleanValue("ChunkModeActive", True).IsOK()
    # PayloadSize: the image, the image chunk's 8 bytes and the chunks.
    assert c.params.GetIntegerValue("PayloadSize")[1] == WIDTH * HEIGHT + 8 + CHUNKS_SIZE
    c.start()
    for code, buffer in c.frames(6):
        assert code == OK and not buffer.IsExtendedID() and buffer.GetBlockID() < 65536
        n = struct.unpack("<Q", bytes(buffer.GetChunkRawDataByID(COUNT_ID)))[0]
        assert buffer.HasChunks() and buffer.GetChunkCount() == 2
        assert bytes(buffer.GetChunkRawDataByID(NAME_ID)) == b"kivo"
        assert buffer.GetChunkDataSize() == 8 + CHUNKS_SIZE
        image = buffer.GetImage().GetDataPointer()
        assert image.shape == (HEIGHT, WIDTH) and (image == n % 256).all()
        assert buffer.GetPayloadSize() == WIDTH * HEIGHT + 8 + CHUNKS_SIZE
        assert c.params.AttachDataChunks(buffer.GetDataPointer()[:buffer.GetPayloadSize()]).IsOK()
        assert c.params.GetIntegerValue("ChunkCount")[1] == n
        assert c.params.DetachDataChunks().IsOK()
        assert c.stream.QueueBuffer(buffer).IsOK()


def test_frames_short_of_their_chunks_are_marked_and_counted(k, hooks, device, controller):
    dev = device(source_class(k)(claimed=CHUNKS_SIZE + 16))   # counts chunks it never adds
    handle = hooks.soft_device_of(dev)
    c = controller(address_of(hooks, dev))
    assert c.params.SetBooleanValue("ChunkModeActive", True).IsOK()
    c.start()
    frames = c.frames(3)
    for code, buffer in frames:
        assert code == DATA_OVERRUN and buffer.GetOperationResult().GetCode() == DATA_OVERRUN
        assert buffer.GetImage().IsDataOverrun()
        assert buffer.GetChunkCount() == 2   # what came is whole
    assert hooks.soft_device_statistics(handle)["frames_overrun"] >= 3


def test_chunks_turned_on_after_start_reach_our_stream_on_every_frame(k, hooks, device, controller):
    source = following_source_class(k)()
    dev = device(source)
    handle = hooks.soft_device_of(dev)
    c = controller(address_of(hooks, dev))
    assert c.params.SetBooleanValue("ChunkModeActive", True).IsOK() and source.chunk_mode
    assert c.params.GetIntegerValue("PayloadSize")[1] == WIDTH * HEIGHT + 8 + CHUNKS_SIZE
    c.start()
    for code, buffer in c.frames(6):
        assert code == OK, "a frame without its chunks (the source's AddChunk found no room)"
        assert buffer.GetChunkCount() == 2 and buffer.GetChunkDataSize() == 8 + CHUNKS_SIZE
        n = struct.unpack("<Q", bytes(buffer.GetChunkRawDataByID(COUNT_ID)))[0]
        assert (buffer.GetImage().GetDataPointer() == n % 256).all()   # the chunk of that very frame
        assert bytes(buffer.GetChunkRawDataByIndex(1)) == b"kivo"
        assert c.params.AttachDataChunks(buffer.GetDataPointer()[:buffer.GetPayloadSize()]).IsOK()
        assert c.params.GetIntegerValue("ChunkCount")[1] == n
        assert c.params.DetachDataChunks().IsOK()
        assert c.stream.QueueBuffer(buffer).IsOK()
    assert hooks.soft_device_statistics(handle)["frames_overrun"] == 0

    # Chunk mode off again: the frames go out whole, without chunks, and the payload shrinks back.
    c.params.ExecuteCommand("AcquisitionStop")
    assert c.control.StreamDisable().IsOK()
    while True:   # what the first acquisition left in the stream goes back to its queue
        result, buffer, _ = c.stream.RetrieveBuffer(500)
        if buffer is None:
            break
        assert c.stream.QueueBuffer(buffer).IsOK()
    assert c.params.SetBooleanValue("ChunkModeActive", False).IsOK() and not source.chunk_mode
    assert c.params.GetIntegerValue("PayloadSize")[1] == WIDTH * HEIGHT
    c.start()
    for code, buffer in c.frames(3):
        assert code == OK and buffer.GetChunkCount() == 0
        assert buffer.GetPayloadSize() == WIDTH * HEIGHT
        assert c.stream.QueueBuffer(buffer).IsOK()


def test_chunk_data_blocks_arrive_as_chunk_data(k, hooks, device, controller):
    dev = device(source_class(k)(kind="chunks"))
    c = controller(address_of(hooks, dev))
    c.start()
    for code, buffer in c.frames(3):
        assert code == OK and buffer.GetPayloadType() == k.TqPayloadTypeChunkData
        chunks = buffer.GetChunkData()
        assert chunks.GetChunkCount() == 1 and chunks.GetChunkDataPayloadLength() == 16
        assert struct.unpack("<Q", bytes(chunks.GetChunkRawDataByID(COUNT_ID)))[0] >= 1


def test_two_part_blocks_fill_the_container_once_the_controller_allows_them(k, hooks, device, controller):
    source = source_class(k)(kind="parts")
    dev = device(source)
    c = controller(address_of(hooks, dev))
    c.start()
    # Not allowed: nothing is sent.
    result, buffer, _ = c.stream.RetrieveBuffer(300)
    assert buffer is None and result.GetCode() == TIMEOUT
    c.params.ExecuteCommand("AcquisitionStop")
    assert c.control.StreamDisable().IsOK()
    assert c.params.SetBooleanValue("GevSCCFGMultiPartEnabled", True).IsOK()
    assert source.multipart_allowed == [True]
    c.start()
    for code, buffer in c.frames(4):
        assert code == OK and buffer.GetPayloadType() == k.TqPayloadTypeMultiPart
        parts = buffer.GetMultiPartContainer()
        assert parts.GetPartCount() == 2
        first, second = parts.GetPart(0), parts.GetPart(1)
        assert (first.GetDataType(), second.GetDataType()) == (k.TqMultiPart2DImage, k.TqMultiPartConfidenceMap)
        image = second.GetImage()
        assert (image.GetWidth(), image.GetHeight(), image.GetOffsetX(), image.GetOffsetY()) == (8, 4, 1, 2)
        assert second.GetDataPurposeID() == 7
        data = first.GetDataPointer()
        assert data.size == WIDTH * HEIGHT and (data == data[0]).all() and data[0] > 0
        assert (second.GetDataPointer() == 255).all()


def test_block_ids_above_32_bits_arrive_whole_with_extended_ids(k, hooks, device, controller):
    dev = device(source_class(k)(ids=lambda n: 2**40 + n))
    c = controller(address_of(hooks, dev))
    assert c.params.SetEnumValue("GevGVSPExtendedIDMode", "On")[0].IsOK()
    c.start()
    ids = []
    for code, buffer in c.frames(4):
        assert code == OK and buffer.IsExtendedID()
        ids.append(buffer.GetBlockID())
        assert buffer.GetImage().GetBlockID() == ids[-1]
        assert c.stream.QueueBuffer(buffer).IsOK()
    assert all(i > 2**40 for i in ids) and ids == sorted(ids)


@pytest.mark.parametrize("extended", [False, True])
def test_a_sources_64_bit_block_ids_go_out_whole_or_as_their_low_16_bits(k, hooks, device, controller, extended):
    base = 2**64 - 2**20   # beyond 32 bits, and low 16 bits of 0 only far after the frames taken
    dev = device(source_class(k)(ids=lambda n: base + 0x1000 + n))
    c = controller(address_of(hooks, dev))
    if extended:
        assert c.params.SetEnumValue("GevGVSPExtendedIDMode", "On")[0].IsOK()
    c.start()
    ids = []
    for code, buffer in c.frames(4):
        assert code == OK and buffer.IsExtendedID() == extended
        ids.append(buffer.GetBlockID())
        assert buffer.GetImage().GetBlockID() == ids[-1]
        assert c.stream.QueueBuffer(buffer).IsOK()
    sent = [base + 0x1000 + n for n in range(1, 64)]
    assert ids == sorted(ids) and len(set(ids)) == 4
    assert all(i in (sent if extended else [s & 0xFFFF for s in sent]) for i in ids), [hex(i) for i in ids]


ARAVIS_CLIENT = r"""
import json, sys
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis

mode = sys.argv[2]
camera = Aravis.Camera.new(sys.argv[1])
device = camera.get_device()
device.set_stream_options(Aravis.GvStreamOption.PACKET_SOCKET_DISABLED)
out = {}
if "extended" in mode:
    device.set_string_feature_value("GevGVSPExtendedIDMode", "On")
if "parts" in mode:
    camera.gv_set_multipart(True)
    out["multipart"] = camera.gv_get_multipart()
if "chunks" in mode:
    camera.set_chunk_mode(True)
camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
payload = camera.get_integer("PayloadSize")
stream = camera.create_stream(None, None)
stream.set_property("frame-retention", 3000000)
for _ in range(16):
    stream.push_buffer(Aravis.Buffer.new_allocate(payload))
parser = camera.create_chunk_parser()
camera.start_acquisition()
frames = []
for _ in range(5):
    buffer = stream.timeout_pop_buffer(10000000)
    if buffer is None:
        frames.append(None)
        break
    frame = {"status": buffer.get_status().value_nick, "id": buffer.get_frame_id()}
    if buffer.get_status() == Aravis.BufferStatus.SUCCESS:
        if "chunks" in mode:
            frame["count"] = parser.get_integer_value(buffer, "ChunkCount")
            frame["image"] = bytes(buffer.get_image_data())[:1].hex()
        if "parts" in mode:
            frame["parts"] = [bytes(buffer.get_part_data(i)).hex()[:4] for i in range(buffer.get_n_parts())]
    frames.append(frame)
    stream.push_buffer(buffer)
camera.stop_acquisition()
out["payload"] = payload
out["frames"] = frames
print(json.dumps(out))
"""


def aravis(hooks, dev, mode):
    ip = address_of(hooks, dev)
    if ip != "127.0.0.1":
        pytest.fail("aravis opens 127.0.0.1 only, and the device is at %s" % ip)
    result = aravis_client(ARAVIS_CLIENT, ip, mode, timeout=120)
    frames = result["frames"]
    assert len(frames) == 5 and None not in frames, result
    assert [f["status"] for f in frames] == ["success"] * 5, result
    return result


def test_aravis_reads_the_chunk_mapped_feature_of_every_frame(k, hooks, device):
    dev = device(source_class(k)())
    result = aravis(hooks, dev, "chunks extended")
    assert result["payload"] == WIDTH * HEIGHT + 8 + CHUNKS_SIZE
    for frame in result["frames"]:
        assert frame["count"] % 256 == int(frame["image"], 16)   # the chunk of that very frame
        assert frame["id"] >= 1


def test_aravis_parses_the_chunks_of_a_source_that_counts_them_once_chunk_mode_is_on(k, hooks, device):
    source = following_source_class(k)()
    dev = device(source)
    result = aravis(hooks, dev, "chunks")
    assert source.chunk_mode   # aravis turned it on
    assert result["payload"] == WIDTH * HEIGHT + 8 + CHUNKS_SIZE
    for frame in result["frames"]:
        assert frame["count"] % 256 == int(frame["image"], 16)


def test_aravis_takes_two_part_blocks_and_64_bit_ids(k, hooks, device):
    dev = device(source_class(k)(kind="parts", ids=lambda n: 2**33 + n))
    result = aravis(hooks, dev, "parts extended")
    assert result["multipart"] is True   # GevSCCFGMultiPartEnabled where aravis looks for it
    for frame in result["frames"]:
        assert frame["id"] > 2**33
        assert frame["parts"][1] == "ffff" and frame["parts"][0][:2] == frame["parts"][0][2:]
