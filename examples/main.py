"""A tour of what the Kivo binding offers so far: constants, enumerations, results, strings,
buffers whose memory Python sees as NumPy arrays, chunk data, devices and streams, pixel conversion
and lossless compression."""

import threading

import numpy as np

import kivo_python64 as kivo


def main():
    print("Pixel formats known:", len(kivo.TqPixelType))
    mono8 = kivo.TqPixelMono8
    bits = (mono8 & kivo.TQBITSPERPIXELMASK) >> 16
    print("TqPixelMono8 = 0x%08X, %d bits per pixel, mono: %s" % (mono8, bits, bool(mono8 & kivo.TQPIXELMONO)))
    print("A custom pixel flag reads as a signed 32-bit int:", kivo.TQPIXELCUSTOM)
    print("GenICam parameter kinds:", ", ".join(sorted(kivo.TqGenType, key=kivo.TqGenType.get)))

    ok = kivo.TqResult(kivo.TQ_OK)
    timeout = kivo.TqResult(kivo.TQ_TIMEOUT, 0, kivo.TqString("no frame within 1000 ms"))
    for result in (ok, timeout):
        print("Result %-8s code %5d  OK: %-5s  description: %r"
              % (str(result.GetCodeString()), result.GetCode(), result.IsOK(), str(result.GetDescription())))
    combined = kivo.TqResult(kivo.TQ_OK)
    combined |= timeout
    print("OK |= TIMEOUT keeps the failure:", str(combined.GetCodeString()), combined == kivo.TQ_TIMEOUT)

    name = kivo.TqString("Caméra \U0001F4F7")
    print("TqString round trip:", str(name), "length", name.GetLength(), "equal to str:", name == "Caméra \U0001F4F7")
    name += " #1"
    print("After += the name is a str:", repr(name))

    buffer = kivo.TqBuffer()
    buffer.Alloc(64)
    view = buffer.GetDataPointer()        # the buffer's own memory, no copy
    view[:] = np.arange(64, dtype=np.uint8)
    print("Buffer of", buffer.GetSize(), "bytes seen as", view.dtype, view.shape, "->", buffer.GetDataPointer()[:6])
    print("Adding a chunk:", str(buffer.AddChunk(0x1001, b"exposure=12ms").GetCodeString()))
    size = buffer.GetChunkSizeByID(0x1001)
    print("Chunk 0x1001:", bytes(buffer.GetChunkRawDataByID(0x1001)), "(%d bytes)" % size)

    image_buffer = kivo.TqBuffer(kivo.TqPayloadTypeImage)
    image = image_buffer.GetImage()       # the buffer's payload as an image
    image.Alloc(8, 4, kivo.TqPixelMono8)
    pixels = image.GetDataPointer()       # (rows, columns) over the buffer's memory
    pixels[:] = np.arange(8, dtype=np.uint8) * 30
    print("Image payload %dx%d %s seen as %s %s; first row %s"
          % (image.GetWidth(), image.GetHeight(), str(kivo.TqImage.PixelTypeToString(image.GetPixelType())),
             pixels.dtype, pixels.shape, pixels[0].tolist()))

    frame = np.zeros(8, dtype=np.uint8)
    attached = kivo.TqBuffer()
    attached.Attach(frame)                # the buffer now uses the array's memory
    attached.GetDataPointer()[:] = 255
    print("Attached array written through the buffer:", frame)


def genicam_tour(parameters):
    """The GenICam features of a connected device: kinds, ranges, writes the device checks, a state
    stack that puts values back, categories."""
    print("  Device features:", parameters.GetCount(), "in", parameters.GetCategoryCount(), "categories")
    width = parameters.Get("Width")         # typed as its most derived kind
    print("  Width is a", type(width).__name__, "with range", parameters.GetIntegerRange("Width")[1:])
    print("  Setting Width to 320:", str(parameters.SetIntegerValue("Width", 320).GetCodeString()),
          "-> now", parameters.GetIntegerValue("Width")[1])
    print("  Setting Width to 100000 (past its maximum):",
          str(parameters.SetIntegerValue("Width", 100000).GetCodeString()),
          "-> still", parameters.GetIntegerValue("Width")[1])
    stack = kivo.TqGenStateStack(parameters)
    stack.SetIntegerValue("Width", 160)
    print("  Width while the state stack lives:", parameters.GetIntegerValue("Width")[1])
    del stack                               # puts back what it changed
    print("  Width after it:", parameters.GetIntegerValue("Width")[1])
    parameters.SetIntegerValue("Width", parameters.GetIntegerRange("Width")[2])
    model = parameters.Get("DeviceModelName")
    print("  %s: %r (%s)" % (model.GetDisplayName()[1], str(parameters.GetStringValue("DeviceModelName")[1]),
                             type(model).__name__))


class ControlPrinter(kivo.ITqSoftDeviceGEVEventSink):
    """Prints what happens to a software device's control channel; called on the device's threads."""

    def OnControlChannelStart(self, device, mac, ip, mask, gateway, port):
        print("  OnControlChannelStart: listening on %s:%d (mask %s, interface %s)" % (ip, port, mask, mac))

    def OnApplicationConnect(self, device, ip, port, access):
        accesses = {value: name for name, value in kivo.TqAccessType.items()}
        print("  OnApplicationConnect: %s port %d took %s" % (ip, port, accesses.get(access, access)))

    def OnApplicationDisconnect(self, device):
        print("  OnApplicationDisconnect")

    def OnControlChannelStop(self, device):
        print("  OnControlChannelStop")


class MosaicSource(kivo.TqStreamingChannelSourceDefault):
    """A Python stream source over the SDK's ready-made one: its buffers (made by the SDK part) come
    back filled with a BayerRG8 mosaic of a colour gradient that drifts from frame to frame. The
    device's streaming loop calls it on its own thread."""

    def __init__(self, width=640, height=480):
        super().__init__(width, height, kivo.TqPixelBayerRG8, 8)
        rows, columns = np.mgrid[0:height, 0:width]
        red = (columns * 255 // max(width - 1, 1)).astype(np.uint8)
        blue = (rows * 255 // max(height - 1, 1)).astype(np.uint8)
        green = np.full((height, width), 128, np.uint8)
        # RGGB: red on even rows and columns, blue on odd ones, green elsewhere.
        self.mosaic = np.where((rows % 2 == 0) & (columns % 2 == 0), red,
                               np.where((rows % 2 == 1) & (columns % 2 == 1), blue, green))
        self.wake = threading.Condition()
        self.queued, self.aborted = [], []
        self.frame = 0

    def QueueBuffer(self, buffer):
        with self.wake:
            self.queued.append(buffer)
            self.wake.notify()
        return kivo.TQ_OK

    def RetrieveBuffer(self, pointer):
        with self.wake:
            if not self.aborted and not self.queued:
                self.wake.wait(0.02)
            if self.aborted:
                return kivo.TQ_ABORTED, self.aborted.pop(0)
            if not self.queued:
                return kivo.TQ_TIMEOUT, None
            buffer = self.queued.pop(0)
        self.frame += 1
        pixels = buffer.GetImage().GetDataPointer()
        np.add(self.mosaic[:pixels.shape[0], :pixels.shape[1]], self.frame % 64, out=pixels, casting="unsafe")
        return kivo.TQ_OK, buffer

    def AbortQueuedBuffers(self):
        with self.wake:
            self.aborted.extend(self.queued)
            self.queued.clear()
            self.wake.notify()


def soft_device_tour():
    """A software GigE Vision device of our own, streaming frames a Python source makes: started on
    the loopback interface, found by discovery, connected to, its features read, an event sent, its
    frames received through a stream and a pipeline, stopped."""
    device = kivo.TqSoftDeviceGEV()
    printer = ControlPrinter()
    device.RegisterEventSink(printer)
    source = MosaicSource()
    print("Adding a Python stream source:", str(device.AddStream(source).GetCodeString()))
    result = device.Start("00:00:00:00:00:00")
    print("Software device start:", str(result.GetCodeString()))
    if not result.IsOK():
        print("  ", str(result.GetDescription()))
        return
    info = device.GetInfo()               # the identity controllers read; it may change while running
    info.SetManufacturerName("Kivo Example")
    info.SetModelName("Soft Camera")
    info.SetSerialNumber("SOFT0001")
    result, xml = device.GetGenICamXMLFile()
    print("  its GenICam description: %d characters" % len(xml))
    system = kivo.TqSystem()
    system.SetDetectionTimeout(500)
    system.Find()
    records = [system.GetDeviceInfo(i) for i in range(system.GetDeviceCount())]
    print("  discovery finds", ", ".join("%s at %s" % (str(r.GetModelName()), str(r.GetConnectionID()))
                                        for r in records))
    if records:
        result, controller = kivo.TqDevice.CreateAndConnect(records[0])
        print("  connected:", str(result.GetCodeString()))
        if controller is not None:
            parameters = controller.GetParameters()
            for name in ("DeviceVendorName", "DeviceModelName", "DeviceSerialNumber"):
                print("    %s = %s" % (name, parameters.GetStringValue(name)[1]))
            # An event of the device's own, sent on its messaging channel to the connected controller.
            events = EventPrinter()
            controller.RegisterEventSink(events)
            channel = device.GetMessagingChannel()
            print("  messaging channel open:", channel.IsOpened())
            result = channel.FireEvent(0x9000, b"\x01\x02\x03\x04")
            print("  FireEvent(0x9000):", str(result.GetCodeString()))
            events.seen.wait(5)
            print("  events issued:", device.GetStatistics().GetEventDatasIssued())
            controller.UnregisterEventSink(events)
            kivo.TqDevice.Free(controller)
        device_tour(records[0])
    print("Software device stop:", str(device.Stop().GetCodeString()))
    device.UnregisterEventSink(printer)


def device_tour(record):
    """The whole road on a connected device: its image format, a stream, ten frames seen as NumPy
    arrays and converted to RGB, a pipeline, an exclusive connection."""
    result, device = kivo.TqDevice.CreateAndConnect(record)
    print("Connecting:", str(result.GetCodeString()), "as", type(device).__name__)
    if device is None:
        return
    parameters = device.GetParameters()
    genicam_tour(parameters)
    pixel_format = parameters.GetEnum("PixelFormat")
    entries = [pixel_format.GetEntryByIndex(i)[1] for i in range(pixel_format.GetEntriesCount()[1])]
    print("  %dx%d %s, PayloadSize %d; PixelFormat entries %s"
          % (parameters.GetIntegerValue("Width")[1], parameters.GetIntegerValue("Height")[1],
             parameters.GetEnumValueString("PixelFormat")[1], device.GetPayloadSize(),
             ", ".join(str(entry.GetName()[1]) for entry in entries)))
    result, stream = kivo.TqStream.CreateAndOpen(record)
    print("Stream:", str(result.GetCodeString()), "as", type(stream).__name__)
    if stream is not None:
        converter = kivo.TqBufferConverter()
        rgb = kivo.TqBuffer(kivo.TqPayloadTypeImage)
        rgb.GetImage().Alloc(1, 1, kivo.TqPixelRGB8)    # the wanted pixel type; Convert sizes it
        buffers = []
        for _ in range(4):
            buffer = kivo.TqBuffer()
            buffer.Alloc(device.GetPayloadSize())
            stream.QueueBuffer(buffer)
            buffers.append(buffer)
        device.StreamEnable()
        parameters.ExecuteCommand("AcquisitionStart")
        for _ in range(10):
            result, buffer, operation = stream.RetrieveBuffer(2000)
            if buffer is None:
                print("  no frame:", str(result.GetCodeString()))
                continue
            image = buffer.GetImage().GetDataPointer()
            converted, _ = converter.Convert(buffer, rgb)   # Bayer mosaic to RGB, bilinear
            colour = rgb.GetImage().GetDataPointer()
            print("  frame %5d: %s %s -> %s %s %s, mean R G B %s (%s)"
                  % (buffer.GetBlockID(), image.shape, image.dtype, str(converted.GetCodeString()), colour.shape,
                     colour.dtype, np.round(colour.reshape(-1, 3).mean(axis=0), 1).tolist(),
                     str(operation.GetCodeString())))
            stream.QueueBuffer(buffer)
        compression_tour(rgb)
        parameters.ExecuteCommand("AcquisitionStop")
        device.StreamDisable()
        stream.Close()
        while stream.RetrieveBuffer(0)[1] is not None:   # the aborted buffers come back
            pass
        kivo.TqStream.Free(stream)
    kivo.TqDevice.Free(device)
    pipeline_tour(record)

    # A GigE Vision device of our own, connected with exclusive access.
    camera = kivo.TqDeviceGEV()
    result = camera.Connect(record, kivo.TqAccessExclusive)
    classes = {value: name for name, value in kivo.TqDeviceClass.items()}
    accesses = {value: name for name, value in kivo.TqAccessType.items()}
    print("Exclusive connection:", str(result.GetCodeString()), "- class", classes[camera.GetClass()],
          "- access", accesses[camera.GetAccessType()], "- at", str(camera.GetIPAddress()))
    camera.Disconnect()


class EventPrinter(kivo.TqDeviceEventSink):
    """Prints the device's events; called on the device's own event thread."""

    def __init__(self):
        super().__init__()
        self.seen = threading.Event()

    def OnEvent(self, device, event_id, channel, block_id, timestamp, data):
        print("  OnEvent: ID 0x%04X, channel %d, block %d, %d bytes of data %s"
              % (event_id, channel, block_id, len(data), bytes(data).hex()))
        self.seen.set()

    def OnEventGenICam(self, device, event_id, channel, block_id, timestamp, parameters):
        print("  OnEventGenICam: ID 0x%04X invalidated %d parameters" % (event_id, parameters.GetSize()))
        self.seen.set()


class ReadyCounter(kivo.TqPipelineEventSink):
    """Counts the buffers a pipeline has ready; called on the pipeline's own thread."""

    def __init__(self):
        super().__init__()
        self.ready = 0

    def OnBufferReady(self, pipeline):
        self.ready += 1


def pipeline_tour(record):
    """Ten frames through a buffer pipeline, which keeps the stream supplied with buffers sized from
    the device's PayloadSize; each frame's operation result tells whether it arrived whole."""
    result, device = kivo.TqDevice.CreateAndConnect(record)
    result, stream = kivo.TqStream.CreateAndOpen(record)
    pipeline = kivo.TqPipeline(stream)
    counter = ReadyCounter()
    pipeline.RegisterEventSink(counter)
    result = pipeline.Start()
    print("Pipeline start:", str(result.GetCodeString()), "- PayloadSize", device.GetPayloadSize())
    device.StreamEnable()
    device.GetParameters().ExecuteCommand("AcquisitionStart")
    whole = shown = 0
    while shown < 10:
        result, buffer, operation = pipeline.RetrieveNextBuffer(2000)
        if buffer is None:
            print("  no frame:", str(result.GetCodeString()))
            break
        shown += 1
        whole += operation.IsOK()
        print("  frame %5d: %-16s %d of %d bytes in a buffer of %d"
              % (buffer.GetBlockID(), str(operation.GetCodeString()), buffer.GetAcquiredSize(),
                 buffer.GetRequiredSize(), buffer.GetSize()))
        pipeline.ReleaseBuffer(buffer)
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    device.StreamDisable()
    pipeline.Stop()
    print("Pipeline of %d buffers: %d of %d frames whole, OnBufferReady called %d times"
          % (pipeline.GetBufferCount(), whole, shown, counter.ready))
    pipeline.UnregisterEventSink(counter)
    del pipeline
    stream.Close()
    kivo.TqStream.Free(stream)
    kivo.TqDevice.Free(device)


def compression_tour(frame):
    """A frame compressed losslessly into the SDK's compressed payload and back."""
    packed, restored = kivo.TqBuffer(), kivo.TqBuffer()
    result, _ = kivo.TqCompressionFilter().Execute(frame, packed)
    print("Compressed %d bytes into %d: %s" % (frame.GetImage().GetImageSize(), packed.GetSize(),
                                               str(result.GetCodeString())))
    result, fmt, width, height = kivo.TqDecompressionFilter.GetOutputFormatFor(packed)
    print("  inside: %s %dx%d" % (str(kivo.TqImage.PixelTypeToString(fmt)), width, height))
    result, _ = kivo.TqDecompressionFilter().Execute(packed, restored)
    same = np.array_equal(restored.GetImage().GetDataPointer(), frame.GetImage().GetDataPointer())
    print("  decompressed: %s, identical: %s" % (str(result.GetCodeString()), same))


if __name__ == "__main__":
    main()
    soft_device_tour()
