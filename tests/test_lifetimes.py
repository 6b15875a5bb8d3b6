"""What Python keeps after an explicit release: views of memory hold it (a release takes effect for
the caller at once, the memory lives on until the last view is gone) and are never larger than the
memory behind them; proxies of a released object, and those made from them, raise ReferenceError
naming what was released. Run under the sanitizers, each case would otherwise read or write freed
memory."""

import gc

import numpy as np
import pytest

from conftest import arg, connect_soft_device, raises, until


@pytest.fixture
def blocks(hooks):
    """Asserts that every SDK memory block the test left behind is freed once its views are gone."""
    gc.collect()
    before = hooks.memory_blocks()
    yield
    gc.collect()
    assert hooks.memory_blocks() == before


@pytest.fixture
def connected(m, k, soft_devices):
    """A software device of 320 x 240 Mono8 at 127.0.0.2 with a stream from it: (device, stream).
    Nothing is freed afterwards: the tests free them."""
    _, device = connect_soft_device(k, soft_devices, address="127.0.0.2", model="Lifetimes", mac="02:4b:49:62:00:01",
                                    width=320, height=240)
    result, stream = k.TqStream.CreateAndOpen("127.0.0.2")
    assert result.IsOK(), str(result.GetDescription())
    return device, stream


def start(device):
    assert device.StreamEnable().IsOK()
    assert device.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()


def stop(device):
    device.GetParameters().ExecuteCommand("AcquisitionStop")
    device.StreamDisable()


def close(k, device, stream):
    stop(device)
    stream.Close()
    while stream.RetrieveBuffer(0)[1] is not None:
        pass
    k.TqStream.Free(stream)
    k.TqDevice.Free(device)


def test_a_too_small_block_shows_only_its_memory(m, k, connected, blocks):
    device, stream = connected
    small = k.TqBuffer()
    assert small.Alloc(1000).IsOK() and stream.QueueBuffer(small).IsOK()
    start(device)
    result, buffer, operation = stream.RetrieveBuffer(3000)
    assert result.IsOK() and operation.GetCode() == m.TQ_BUFFER_TOO_SMALL
    image = buffer.GetImage()
    assert (image.GetWidth(), image.GetHeight()) == (320, 240)   # what the block was
    view = image.GetDataPointer()
    assert view.shape == (1000,) and view.dtype == np.uint8   # the bytes that exist
    view[:] = 7
    assert small.GetDataPointer().tolist() == [7] * 1000
    close(k, device, stream)
    del buffer, image, small
    assert view.sum() == 7000   # still held


def test_buffer_views_outlive_free_alloc_and_delete(m, k, blocks):
    buffer = k.TqBuffer()
    assert buffer.Alloc(4096).IsOK()
    first = buffer.GetDataPointer()
    first[:] = np.arange(4096) % 251
    buffer.Free()
    assert buffer.GetSize() == 0 and buffer.GetDataPointer().size == 0   # at once for the caller
    assert buffer.Alloc(64).IsOK()
    second = buffer.GetDataPointer()
    assert buffer.Alloc(128).IsOK()   # allocated over existing memory
    m.delete_TqBuffer(buffer)
    first[5] = 9
    second[:] = 1
    assert first[:5].tolist() == [0, 1, 2, 3, 4] and first[5] == 9 and second.sum() == 64
    raises(TypeError, arg("TqBuffer_GetSize", 1, "TqBuffer const *"), m.TqBuffer_GetSize, buffer)


def test_image_raw_and_chunk_views_outlive_their_memory(m, k, hooks, blocks):
    buffer = k.TqBuffer()
    image = buffer.GetImage()
    assert image.Alloc(64, 48, m.TqPixelMono8).IsOK()
    pixels = image.GetDataPointer()
    pixels[:] = 3
    image.Free()
    assert image.Alloc(8, 8, m.TqPixelRGB8).IsOK() and image.GetDataPointer().shape == (8, 8, 3)
    assert buffer.AllocChunk(256).IsOK() and buffer.AddChunk(0x42, b"chunk bytes").IsOK()
    chunk = buffer.GetChunkRawDataByID(0x42)
    assert chunk.tobytes() == b"chunk bytes"
    buffer.FreeChunk()
    del image
    m.delete_TqBuffer(buffer)
    assert pixels.shape == (48, 64) and pixels.sum() == 3 * 64 * 48 and chunk.tobytes() == b"chunk bytes"

    raw_buffer = k.TqBuffer(m.TqPayloadTypeRawData)
    raw = raw_buffer.GetRawData()
    assert raw.Alloc(100).IsOK()
    data = raw_buffer.GetDataPointer()
    data[:] = 5
    raw.Free()
    assert raw.GetPayloadLength() == 0 and data.sum() == 500

    chunks = hooks.make_chunk_data()
    assert chunks.Alloc(128).IsOK() and chunks.AddChunk(7, b"seven").IsOK()
    seven = chunks.GetChunkRawDataByID(7)
    chunks.Free()
    del chunks
    assert seven.tobytes() == b"seven"


def test_part_views_outlive_a_reset_container(m, k, blocks):
    buffer = k.TqBuffer(m.TqPayloadTypeMultiPart)
    c = buffer.GetMultiPartContainer()
    assert c.AddImagePart(m.TqMultiPart2DImage, 8, 4, m.TqPixelMono8).IsOK()
    assert c.AddJPEGPart(m.TqMultiPartJPEGImage, 100, 0x81, 2 ** 40, 7).IsOK()
    assert c.AllocAllParts().IsOK()
    section, jpeg = c.GetPart(0), c.GetPart(1).GetJPEG()
    image_bytes, jpeg_bytes = section.GetDataPointer(), jpeg.GetDataPointer()
    image_bytes[:] = 1
    jpeg_bytes[:] = 2
    c.Reset()
    assert c.GetPartCount() == 0
    # The parts are empty for the caller; what was shown stays readable and writable.
    assert section.GetDataPointer().size == 0
    m.delete_TqBuffer(buffer)
    image_bytes += 1
    assert image_bytes.sum() == 2 * image_bytes.size and jpeg_bytes.sum() == 2 * jpeg_bytes.size


def test_converter_output_reallocated_under_a_view(m, k, blocks):
    conv = k.TqBufferConverter()
    source, destination = k.TqBuffer(), k.TqBuffer()
    assert source.GetImage().Alloc(16, 8, m.TqPixelMono8).IsOK()
    source.GetImage().GetDataPointer()[:] = 200
    assert destination.GetImage().Alloc(16, 8, m.TqPixelRGB8).IsOK()
    assert conv.Convert(source, destination)[0].IsOK()
    kept = destination.GetImage().GetDataPointer()
    assert kept.shape == (8, 16, 3) and (kept == 200).all()
    # A larger source makes the converter allocate the destination again.
    assert source.GetImage().Alloc(640, 480, m.TqPixelMono8).IsOK()
    assert conv.Convert(source, destination)[0].IsOK()
    assert destination.GetImage().GetWidth() == 640
    kept[:] = 1
    del destination
    assert kept.sum() == kept.size


def test_event_data_kept_past_the_callback_and_the_device(m, k, hooks, soft_devices, blocks):
    handle = soft_devices(address="127.0.0.2", model="Lifetimes", mac="02:4b:49:62:00:02")
    result, device = k.TqDevice.CreateAndConnect("127.0.0.2")
    assert result.IsOK()
    kept = []

    class Sink(k.TqDeviceEventSink):
        def OnEvent(self, device, event_id, channel, block_id, timestamp, data):
            kept.append((device, data))

    sink = Sink()
    assert device.RegisterEventSink(sink).IsOK()
    payload = bytes(range(16))
    assert hooks.soft_device_fire_event(handle, 0x9001, payload, 3, 0) == 0
    assert until(lambda: kept)
    assert device.UnregisterEventSink(sink).IsOK()
    alias, data = kept[0]
    assert data.tobytes() == payload and alias.this == device.this and alias is not device
    k.TqDevice.Free(device)
    data[:] = 0   # the event's memory is the view's now
    assert data.sum() == 0
    # The device the callback got is the device that was freed.
    with pytest.raises(ReferenceError, match="^this TqDevice was freed$"):
        alias.IsConnected()


def test_a_parameter_of_a_freed_device_raises(m, k, connected):
    device, stream = connected
    k.TqStream.Free(stream)
    parameters = device.GetParameters()
    width = parameters.Get("Width")
    pixel_format = parameters.Get("PixelFormat")
    entry = pixel_format.GetEntryByName("Mono8")[1]
    stack = k.TqGenStateStack(parameters)
    assert stack.SetIntegerValue("Width", 160).IsOK() and width.GetValue()[1] == 160
    k.TqDevice.Free(device)
    for call, name in [(lambda: width.GetValue(), "TqGenInteger"), (lambda: parameters.GetCount(), "TqGenParameterArray"),
                       (lambda: entry.GetValue(), "TqGenEnumEntry"), (lambda: pixel_format.GetValueInt(), "TqGenEnum")]:
        with pytest.raises(ReferenceError) as info:
            call()
        assert str(info.value) == "the TqDeviceGEV this %s belongs to was freed" % name
    # Passing one as an argument is refused the same way.
    with pytest.raises(ReferenceError):
        k.TqGenStateStack(parameters)
    # A stack over the freed array reports it, and giving back its change touches nothing.
    result = stack.SetIntegerValue("Height", 10)
    assert result.GetCode() == m.TQ_GENERIC_ERROR and "destroyed" in str(result.GetDescription())
    del stack
    # The proxy Free was given is refused like None.
    raises(TypeError, arg("TqDevice_IsConnected", 1, "TqDevice const *"), m.TqDevice_IsConnected, device)


def test_stream_parameters_of_a_freed_stream_raise(m, k, connected):
    device, stream = connected
    parameters = stream.GetParameters()
    timeout = parameters.Get("ImageTimeout")
    assert parameters.GetIntegerValue("ImageTimeout")[0].IsOK()
    k.TqStream.Free(stream)
    with pytest.raises(ReferenceError, match="^the TqStreamGEV this TqGenParameterArray belongs to was freed$"):
        parameters.GetIntegerValue("ImageTimeout")
    with pytest.raises(ReferenceError, match="^the TqStreamGEV this TqGenInteger belongs to was freed$"):
        timeout.GetValue()
    k.TqDevice.Free(device)


def retrieve(pipeline, count):
    frames = []
    while len(frames) < count:
        result, buffer, operation = pipeline.RetrieveNextBuffer(5000)
        assert result.IsOK() and operation.IsOK(), str(operation.GetCodeString())
        frames.append(buffer)
    return frames


def test_buffers_of_a_deleted_pipeline(m, k, connected, blocks):
    device, stream = connected
    pipeline = k.TqPipeline(stream)
    pipeline.SetBufferSize(device.GetPayloadSize())
    assert pipeline.Start().IsOK()
    start(device)
    frames = retrieve(pipeline, 3)
    views = [b.GetImage().GetDataPointer() for b in frames]
    released = frames.pop()
    assert pipeline.ReleaseBuffer(released).IsOK()
    with pytest.raises(ReferenceError, match="^this TqBuffer was released$"):
        released.GetImage()
    image = frames[0].GetImage()
    assert pipeline.Stop().IsOK()
    stop(device)
    m.delete_TqPipeline(pipeline)
    with pytest.raises(ReferenceError, match="^the TqPipeline this TqBuffer belongs to was deleted$"):
        frames[1].GetBlockID()
    with pytest.raises(ReferenceError, match="^the TqPipeline this TqImage belongs to was deleted$"):
        image.GetWidth()
    stream.Close()
    k.TqStream.Free(stream)
    k.TqDevice.Free(device)
    # Every view is still the frame it showed, the released buffer's too.
    for view in views:
        assert view.shape == (240, 320) and int(view[0, 1]) == (int(view[0, 0]) + 1) & 0xFF
        view[:] = 0
    del view, views


def test_a_kept_buffer_keeps_its_pipeline(m, k, hooks, connected):
    device, stream = connected
    pipeline = k.TqPipeline(stream)
    pipeline.SetBufferSize(device.GetPayloadSize())
    assert pipeline.Start().IsOK()
    start(device)
    (buffer,) = retrieve(pipeline, 1)
    assert pipeline.Stop().IsOK()
    stop(device)
    del pipeline
    gc.collect()
    assert hooks.live_objects().get("TqPipeline") == 1
    assert buffer.GetImage().GetWidth() == 320 and buffer.GetImage().GetDataPointer().shape == (240, 320)
    del buffer
    gc.collect()
    assert not hooks.live_objects().get("TqPipeline")
    stream.Close()
    k.TqStream.Free(stream)
    k.TqDevice.Free(device)


def test_what_the_sdk_uses_is_not_deleted_under_it(m, k, connected):
    device, stream = connected
    buffer = k.TqBuffer()
    assert buffer.Alloc(device.GetPayloadSize()).IsOK() and stream.QueueBuffer(buffer).IsOK()
    queued = "in method 'delete_TqBuffer', argument 1 of type 'TqBuffer *': the SDK still uses it (registered, " \
             "queued or opened on); take it back first"
    raises(RuntimeError, queued, m.delete_TqBuffer, buffer)
    # The receiver writes into the memory of a queued buffer: it stays where it is meanwhile.
    size = buffer.GetSize()
    refused = buffer.Alloc(64)
    assert refused.GetCode() == m.TQ_STATE_ERROR and str(refused.GetDescription()) == "the buffer is queued in a stream"
    buffer.Free()
    assert buffer.GetSize() == size and buffer.Reset().GetCode() == m.TQ_STATE_ERROR
    assert stream.QueueBuffer(buffer).GetCode() == m.TQ_INVALID_PARAMETER   # queued already

    class Sink(k.TqDeviceEventSink):
        pass

    sink = Sink()
    assert device.RegisterEventSink(sink).IsOK()
    with pytest.raises(RuntimeError, match="the SDK still uses it"):
        m.delete_TqDeviceEventSink(sink)
    # Once taken back, both go as usual.
    assert device.UnregisterEventSink(sink).IsOK()
    m.delete_TqDeviceEventSink(sink)
    assert stream.AbortQueuedBuffers().IsOK()
    result, returned, operation = stream.RetrieveBuffer(1000)
    assert returned.this == buffer.this and buffer.Alloc(64).IsOK()
    m.delete_TqBuffer(buffer)
    with pytest.raises(ReferenceError, match="^this TqBuffer was deleted$"):
        returned.GetSize()
    close(k, device, stream)


# ---- whatever carries the proxy ----

# The companion pattern of classes of one's own: each instance holds its proxy in "this" (an attribute),
# calls go to the flat functions. With "bare", no class but TqResult's is registered, so the device,
# stream, arrays and parameters come back as bare proxies.
ANY_CLASS_LAYER = """
import sys
import _kivo_python64 as m, _kivo_testhooks as hooks

def classic(name):
    def __init__(self, *args):
        getattr(m, name + "_swiginit")(self, getattr(m, "new_" + name)(*args))
    cls = type(name, (), {"__swig_destroy__": getattr(m, "delete_" + name, None), "__init__": __init__})
    getattr(m, name + "_swigregister")(cls)

def main(bare):
    result, device = m.TqDevice_CreateAndConnect("127.0.0.2")
    assert m.TqResult_IsOK(result) and type(device).__name__ == ("SwigPyObject" if bare else "TqDeviceGEV")
    result, stream = m.TqStream_CreateAndOpen("127.0.0.2")
    parameters = m.TqDevice_GetParameters(device)
    width = m.TqGenParameterArray_Get(parameters, "Width")
    entry = m.TqGenEnum_GetEntryByName(m.TqGenParameterArray_Get(parameters, "PixelFormat"), "Mono8")[1]
    timeout = m.TqGenParameterArray_Get(m.TqStream_GetParameters(stream), "ImageTimeout")
    assert m.TqGenInteger_GetValue(width)[1] == 320
    m.TqStream_Free(stream)
    m.TqDevice_Free(device)
    for call in (lambda: m.TqGenInteger_GetValue(width), lambda: m.TqGenParameterArray_GetCount(parameters),
                 lambda: m.TqGenEnumEntry_GetValue(entry), lambda: m.TqGenInteger_GetValue(timeout)):
        try:
            call()
            print("answered")
        except ReferenceError as error:
            print(error)

bare = sys.argv[1] == "bare"
for name in ["TqResult"] + ([] if bare else ["TqDeviceGEV", "TqStreamGEV", "TqGenParameterArray", "TqGenInteger",
                                            "TqGenEnum", "TqGenEnumEntry"]):
    classic(name)
handle = hooks.soft_device_start(address="127.0.0.2", model="Classes", mac="02:4b:49:62:00:03", width=320, height=240)
main(bare)
hooks.soft_device_stop(handle)
"""


@pytest.mark.parametrize("layer", ["bare", "classic"])
def test_proxies_of_a_freed_device_raise_whatever_class_carries_them(python_run, layer):
    proc = python_run(["-c", ANY_CLASS_LAYER, layer])
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.splitlines() == ["the TqDeviceGEV this %s belongs to was freed" % name for name in
                                        ("TqGenInteger", "TqGenParameterArray", "TqGenEnumEntry")] + \
        ["the TqStreamGEV this TqGenInteger belongs to was freed"]


def test_a_delete_releases_the_proxy_it_matched(m, hooks):
    class Holder:
        pass

    counts = lambda: {name: hooks.live_objects().get(name, 0) for name in ("TqResult", "TqString")}
    gc.collect()
    before = counts()
    holder, text, result = Holder(), m.new_TqString("kept"), m.new_TqResult(3)
    m.TqResult_swiginit(holder, text)
    m.TqResult_swiginit(holder, result)   # the chain: the string, then the result
    assert m.delete_TqResult(holder) is None
    # The result went; the string the chain starts with is the holder's still, and its own.
    assert counts() == {"TqResult": before["TqResult"], "TqString": before["TqString"] + 1}
    assert text.own() is True and m.TqString___str__(text) == "kept" and m.TqString___str__(holder) == "kept"
    assert result.own() is False
    raises(TypeError, arg("TqResult_GetCode", 1, "TqResult const *"), m.TqResult_GetCode, holder)
    del holder, text, result
    gc.collect()   # the traceback the refusal left
    assert counts() == before


def test_a_released_buffer_holds_nothing(m, k, hooks, connected):
    device, stream = connected
    deleted = []

    class Sink(k.TqPipelineEventSink):
        def OnBufferDeleted(self, pipeline, buffer):
            deleted.append(buffer)

    pipeline, sink = k.TqPipeline(stream), Sink()
    assert pipeline.RegisterEventSink(sink).IsOK()
    pipeline.SetBufferSize(device.GetPayloadSize())
    assert pipeline.Start().IsOK()
    start(device)
    last = pipeline.RetrieveNextBuffer(5000)   # the loop variable of a retrieval loop
    assert last[0].IsOK() and pipeline.ReleaseBuffer(last[1]).IsOK()
    assert pipeline.Stop().IsOK()
    stop(device)
    count = pipeline.GetBufferCount()
    del pipeline
    gc.collect()
    # The pipeline went with its last name, its buffers with it, though the released one is still named.
    assert not hooks.live_objects().get("TqPipeline") and len(deleted) == count
    with pytest.raises(ReferenceError, match="^this TqBuffer was released$"):
        last[1].GetBlockID()
    with pytest.raises(ReferenceError, match="^the TqPipeline this TqBuffer belongs to was deleted$"):
        deleted[0].GetBlockID()   # a callback's buffer goes with the callback's pipeline
    close(k, device, stream)
