"""A camera written in Python: a software GigE Vision device with features of its own, controlled and
streamed by our own classes (and, with --serve, by any GigE Vision application such as aravis's
arv-tool-0.8).

What it shows, in the order the device meets it:
- registers of the application's (ITqRegisterFactory, inside OnCreateCustomRegisters), one with an
  event sink that refuses some writes;
- features over them from the GenApi factory (inside OnCreateCustomGenApiFeatures, which gets the
  device: its register map hands out the registers a Create takes): an integer, a float shown through
  a converter, an enumeration, a command, a read-only float, and a feature mapped to a chunk (MapChunk,
  then a Create without a register), each in a category of the device's own or of its own;
- user sets (UserSetSave and UserSetLoad of a controller) that store the Streamable features;
- an event on the messaging channel, heard by the controller;
- frames with a chunk, streamed to our TqStreamGEV and checked: the image, the chunk through the
  buffer and through the chunk-mapped feature.

Run it:  PYTHONPATH=build/python /usr/bin/python3 examples/soft_camera.py [--serve]
User sets are stored under $XDG_DATA_HOME/kivo/usersets/SOFTCAM1 (~/.local/share when unset).
"""

import queue
import struct
import sys
import threading

import numpy as np

import kivo_python64 as kivo

WIDTH, HEIGHT = 320, 240
# The application's registers: multiples of 4 from 0x00010000 on.
GAIN_REG, EXPOSURE_REG, PATTERN_REG, RESET_REG, TEMPERATURE_REG = 0x10000, 0x10008, 0x10010, 0x10014, 0x10018
MAX_GAIN = 24                  # the gain register's sink refuses more
FRAME_COUNT_CHUNK = 0x4001     # the chunk each frame carries: its number, 8 bytes little-endian
EVENT_OVERHEAT = 0x9100


class GainGuard(kivo.ITqRegisterEventSink):
    """The gain register's sink, on the accessing thread: PreWrite sees the staged value and refuses
    gains above MAX_GAIN (the register keeps its value, the controller's write fails)."""

    def PreWrite(self, register):
        value = register.ReadInt()[1]
        return kivo.TQ_OK if value <= MAX_GAIN else kivo.TQ_INVALID_PARAMETER


class CameraSink(kivo.ITqSoftDeviceGEVEventSink):
    """The device's callbacks: the registers, then the features over them."""

    def __init__(self):
        super().__init__()
        self.guard = GainGuard()
        self.ip = None

    def OnControlChannelStart(self, device, mac, ip, mask, gateway, port):
        self.ip = str(ip)   # where controllers reach the camera

    def OnCreateCustomRegisters(self, device, factory):
        rw, ro = kivo.TqGenAccessModeReadWrite, kivo.TqGenAccessModeReadOnly
        for name, address, length, access, sink in (("GainReg", GAIN_REG, 4, rw, self.guard),
                                                    ("ExposureReg", EXPOSURE_REG, 8, rw, None),
                                                    ("PatternReg", PATTERN_REG, 4, rw, None),
                                                    ("ResetReg", RESET_REG, 4, rw, None),
                                                    ("TemperatureReg", TEMPERATURE_REG, 8, ro, None)):
            result = factory.AddRegister(name, address, length, access, sink) if sink else \
                factory.AddRegister(name, address, length, access)
            assert result.IsOK(), str(result.GetDescription())
        register = device.GetRegisterMap().GetRegisterByAddress
        register(EXPOSURE_REG).WriteDouble(10000.0)   # microseconds
        register(TEMPERATURE_REG).WriteDouble(41.5)

    def OnCreateCustomGenApiFeatures(self, device, factory):
        register = device.GetRegisterMap().GetRegisterByAddress   # the registers a Create takes
        made = []
        # An integer, stored in user sets; in the device's own ImageFormatControl.
        factory.SetName("Gain")
        factory.SetCategory("ImageFormatControl")
        factory.SetStreamable(True)
        factory.SetUnit("dB")
        made.append(factory.CreateInteger(register(GAIN_REG), 0, 48, 1))
        # A float in microseconds, and its converter in milliseconds: the converter's "from" formula
        # reads the underlying feature's value as TO, its "to" formula its own value as FROM.
        factory.SetName("ExposureTimeRaw")
        factory.SetCategory("Camera\\Exposure")
        factory.SetVisibility(kivo.TqGenVisibilityGuru)
        factory.SetStreamable(True)
        made.append(factory.CreateFloat(register(EXPOSURE_REG), 10.0, 1000000.0))
        factory.SetName("ExposureTimeMs")
        factory.SetCategory("Camera\\Exposure")
        factory.SetUnit("ms")
        made.append(factory.CreateFloatConverter("ExposureTimeRaw", "TO / 1000", "FROM * 1000"))
        # An enumeration and a command.
        factory.SetName("TestPattern")
        factory.SetCategory("Camera")
        factory.AddEnumEntry("Flat", 0)
        factory.AddEnumEntry("Gradient", 1, "Horizontal gradient")
        made.append(factory.CreateEnum(register(PATTERN_REG)))
        factory.SetName("FrameCountReset")
        factory.SetCategory("Camera")
        made.append(factory.CreateCommand(register(RESET_REG)))
        # A read-only float.
        factory.SetName("SensorTemperature")
        factory.SetCategory("Camera")
        factory.SetAccessMode(kivo.TqGenAccessModeReadOnly)
        factory.SetUnit("C")
        made.append(factory.CreateFloat(register(TEMPERATURE_REG)))
        # The chunk's feature: MapChunk, then a Create without a register; in ChunkDataControl.
        factory.SetName("ChunkFrameCount")
        factory.SetCategory("ChunkDataControl")
        factory.MapChunk(FRAME_COUNT_CHUNK, 0, 8, kivo.TqGenEndiannessLittle)
        made.append(factory.CreateInteger())
        for result in made:
            assert result.IsOK(), str(result.GetDescription())


class Frames(kivo.TqStreamingChannelSourceDefault):
    """The stream source: the ready-made source's buffers (each with a chunk area of GetChunksSize),
    filled with the test pattern scaled by the gain, each with its frame number as a chunk. The
    device calls it on its streaming thread."""

    def __init__(self, registers):
        super().__init__(WIDTH, HEIGHT, kivo.TqPixelMono8, 8)
        self.registers = registers   # the device's register map, once it runs
        self.buffers = queue.Queue()   # (result, buffer) in the order they are to come back
        self.count = 0
        self.chunk_mode = False

    def GetSupportedChunk(self, index):
        return (kivo.TQ_OK, FRAME_COUNT_CHUNK, "ChunkFrameCount") if index == 0 else \
            (kivo.TQ_INVALID_PARAMETER, 0, None)

    def GetChunkModeActive(self):
        return self.chunk_mode

    def SetChunkModeActive(self, active):
        self.chunk_mode = active
        return kivo.TQ_OK

    def GetChunkEnable(self, chunk_id):
        return chunk_id == FRAME_COUNT_CHUNK

    def SetChunkEnable(self, chunk_id, enabled):
        return kivo.TQ_OK if chunk_id == FRAME_COUNT_CHUNK and enabled else kivo.TQ_INVALID_PARAMETER

    def GetChunksSize(self):
        return 8 + 8   # the count, its ID and its length

    def QueueBuffer(self, buffer):
        self.buffers.put((kivo.TQ_OK, buffer))
        return kivo.TQ_OK

    def RetrieveBuffer(self, pointer):
        try:
            result, buffer = self.buffers.get(timeout=0.02)
        except queue.Empty:
            return kivo.TQ_TIMEOUT, None
        if result != kivo.TQ_OK:   # given back unfilled
            return result, buffer
        registers = self.registers()
        if registers is None:   # the device is stopping: the buffer goes back unfilled
            return kivo.TQ_ABORTED, buffer
        if registers.GetRegisterByAddress(RESET_REG).ReadInt()[1]:   # FrameCountReset was executed
            registers.GetRegisterByAddress(RESET_REG).Write(0)
            self.count = 0
        self.count += 1
        gain = registers.GetRegisterByAddress(GAIN_REG).ReadInt()[1]
        gradient = registers.GetRegisterByAddress(PATTERN_REG).ReadInt()[1] == 1
        pixels = buffer.GetImage().GetDataPointer()
        pixels[...] = (np.arange(pixels.shape[1]) if gradient else 100) * (1 + gain // 8) % 256
        buffer.ResetChunks()
        buffer.AddChunk(FRAME_COUNT_CHUNK, struct.pack("<Q", self.count))
        return kivo.TQ_OK, buffer

    def AbortQueuedBuffers(self):
        # Every buffer still queued comes back aborted, in turn.
        waiting = []
        while not self.buffers.empty():
            waiting.append(self.buffers.get_nowait()[1])
        for buffer in waiting:
            self.buffers.put((kivo.TQ_ABORTED, buffer))


class Listener(kivo.TqDeviceEventSink):
    """The controller's events, on its event thread."""

    def __init__(self):
        super().__init__()
        self.heard = threading.Event()

    def OnEvent(self, device, event_id, channel, block_id, timestamp, data):
        print("  event 0x%04X heard: %s" % (event_id, bytes(data).hex()))
        self.heard.set()


def check(what, result):
    """Prints a call's result (a TqResult, or the TqResult of a [result, value] list)."""
    result = result[0] if isinstance(result, list) else result
    print("  %s: %s" % (what, "OK" if result.IsOK() else str(result.GetDescription())))
    return result.IsOK()


def control(ip):
    """Our own controller: the features, the refused write, user sets, an event."""
    result, camera = kivo.TqDevice.CreateAndConnect(ip)
    print("Connected to the camera:", str(result.GetCodeString()))
    features = camera.GetParameters()
    print("  Gain %d %s, ExposureTimeMs %.1f, TestPattern %s, SensorTemperature %.1f (read-only: %s)"
          % (features.GetIntegerValue("Gain")[1], features.Get("Gain").GetUnit()[1],
             features.GetFloatValue("ExposureTimeMs")[1], features.GetEnumValueString("TestPattern")[1],
             features.GetFloatValue("SensorTemperature")[1],
             not features.SetFloatValue("SensorTemperature", 20.0).IsOK()))
    check("Gain = 12", features.SetIntegerValue("Gain", 12))
    refused = features.SetIntegerValue("Gain", 40)
    print("  Gain = 40 refused by the register's sink: %s (Gain stays %d)"
          % (not refused.IsOK(), features.GetIntegerValue("Gain")[1]))
    check("ExposureTimeMs = 2.5", features.SetFloatValue("ExposureTimeMs", 2.5))
    print("  ExposureTimeRaw (microseconds) =", features.GetFloatValue("ExposureTimeRaw")[1])
    check("TestPattern = Gradient", features.SetEnumValue("TestPattern", "Gradient"))
    # User sets: save the settings, change them, load them back.
    check("UserSetSelector = UserSet1", features.SetEnumValue("UserSetSelector", "UserSet1"))
    check("UserSetSave", features.ExecuteCommand("UserSetSave"))
    features.SetIntegerValue("Gain", 3)
    features.SetFloatValue("ExposureTimeMs", 9.0)
    check("UserSetLoad", features.ExecuteCommand("UserSetLoad"))
    print("  after the load: Gain %d, ExposureTimeMs %.1f"
          % (features.GetIntegerValue("Gain")[1], features.GetFloatValue("ExposureTimeMs")[1]))
    return camera


def stream(ip, camera, frames=5):
    """Frames with their chunk through our TqStreamGEV, checked: the pattern, the chunk in the
    buffer, the same value through the chunk-mapped feature."""
    features = camera.GetParameters()
    check("ChunkModeActive = True", features.SetBooleanValue("ChunkModeActive", True))
    print("  PayloadSize %d (the image, the image chunk's 8 bytes, the chunk's 16)" % camera.GetPayloadSize())
    result, receiver = kivo.TqStream.CreateAndOpen(ip)
    print("Stream:", str(result.GetCodeString()))
    for _ in range(8):
        buffer = kivo.TqBuffer()
        buffer.Alloc(camera.GetPayloadSize())
        receiver.QueueBuffer(buffer)
    check("FrameCountReset", features.ExecuteCommand("FrameCountReset"))
    camera.StreamEnable()
    features.ExecuteCommand("AcquisitionStart")
    good = 0
    for _ in range(frames):
        result, buffer, operation = receiver.RetrieveBuffer(5000)
        if buffer is None:
            print("  no frame:", str(result.GetCodeString()))
            break
        count = struct.unpack("<Q", bytes(buffer.GetChunkRawDataByID(FRAME_COUNT_CHUNK)))[0]
        features.AttachDataChunks(buffer.GetDataPointer()[:buffer.GetPayloadSize()])
        mapped = features.GetIntegerValue("ChunkFrameCount")[1]
        features.DetachDataChunks()
        image = buffer.GetImage().GetDataPointer()
        expected = (np.arange(WIDTH) * (1 + 12 // 8) % 256).astype(np.uint8)
        whole = operation.IsOK() and count == mapped and (image == expected).all()
        good += whole
        print("  frame %d: %s, %s, chunk FrameCount %d, feature ChunkFrameCount %d, image as sent: %s"
              % (buffer.GetBlockID(), str(operation.GetCodeString()), image.shape, count, mapped,
                 bool((image == expected).all())))
        receiver.QueueBuffer(buffer)
    features.ExecuteCommand("AcquisitionStop")
    camera.StreamDisable()
    receiver.Close()
    while receiver.RetrieveBuffer(0)[1] is not None:
        pass
    kivo.TqStream.Free(receiver)
    print("Frames whole with their chunk: %d of %d" % (good, frames))
    return good == frames


def main(serve=False):
    camera_sink = CameraSink()
    device = kivo.TqSoftDeviceGEV()
    device.RegisterEventSink(camera_sink)
    device.SetUserSetCount(1)
    source = Frames(device.GetRegisterMap)
    device.AddStream(source)
    result = device.Start("00:00:00:00:00:00")
    print("Soft camera start:", str(result.GetCodeString()))
    if not result.IsOK():
        print("  ", str(result.GetDescription()))
        return 1
    info = device.GetInfo()
    info.SetModelName("Python Soft Camera")
    info.SetSerialNumber("SOFTCAM1")
    ip = camera_sink.ip
    print("  listening at %s" % ip)
    try:
        camera = control(ip)
        listener = Listener()
        camera.RegisterEventSink(listener)
        result = device.GetMessagingChannel().FireEvent(EVENT_OVERHEAT, struct.pack(">f", 41.5))
        print("  FireEvent(0x%04X): %s" % (EVENT_OVERHEAT, str(result.GetCodeString())))
        print("  event heard by the controller:", listener.heard.wait(10))
        camera.UnregisterEventSink(listener)
        whole = stream(ip, camera)
        kivo.TqDevice.Free(camera)
        if serve:
            print("Serving at %s until Enter (try: arv-tool-0.8 -a %s control Gain ExposureTimeMs)" % (ip, ip))
            sys.stdin.readline()
    finally:
        print("Soft camera stop:", str(device.Stop().GetCodeString()))
        device.UnregisterEventSink(camera_sink)
    return 0 if whole else 1


if __name__ == "__main__":
    sys.exit(main(serve="--serve" in sys.argv[1:]))
