"""An independent GigE Vision client against the engine's device: aravis (through GObject introspection)
opens the device at 127.0.0.1, reads its identity and features from the served description and
acquires a frame; arv-tool finds the devices without being given an address (discovery at the limited
broadcast address); with one packet in a hundred lost, unpaced, aravis's resend requests find the
packets in the device's resend history; a frame of a format the SDK numbers apart from the wire
reaches our receiver as the SDK's pixel type and aravis as the wire's. The aravis clients run in their
own processes, without the sanitizer preload."""

import json
import subprocess

import numpy as np
import pytest

from conftest import ARAVIS_STATUSES, clean_environment

import _kivo_testhooks as hooks

CLIENT = r"""
import json, sys
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis

camera = Aravis.Camera.new("127.0.0.1")
result = {
    "model": camera.get_model_name(),
    "vendor": camera.get_vendor_name(),
    "width": camera.get_integer("Width"),
    "payload": camera.get_integer("PayloadSize"),
    "formats": sorted(camera.dup_available_pixel_formats_as_strings()),
    "format": camera.get_pixel_format_as_string(),
}
camera.get_device().set_stream_options(Aravis.GvStreamOption.PACKET_SOCKET_DISABLED)
camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
stream = camera.create_stream(None, None)
# Room for whole frames: with the default buffer the first frame may overflow it before aravis's
# thread reads, and aravis asks for nothing when a quarter of a frame is missing.
stream.set_property("socket-buffer", Aravis.GvStreamSocketBuffer.FIXED)
stream.set_property("socket-buffer-size", 4 << 20)
# A loaded machine (the sanitizer build, parallel jobs) may send a frame slower than aravis's default
# 100 ms of retention: give it longer before aravis calls the frame timed out.
stream.set_property("frame-retention", 3000000)
for _ in range(2):
    stream.push_buffer(Aravis.Buffer.new_allocate(result["payload"]))
camera.start_acquisition()
# aravis's thread gives the socket its larger buffer only when it first runs: on a loaded machine the
# first frame may have overflowed the default one by more than aravis asks for again. The device goes
# on sending: the first complete frame of the next few counts.
for _ in range(4):
    buffer = stream.timeout_pop_buffer(5000000)
    if buffer is None or buffer.get_status() == Aravis.BufferStatus.SUCCESS:
        break
    stream.push_buffer(buffer)
camera.stop_acquisition()
result["status"] = buffer.get_status().value_nick if buffer else None
if buffer:
    data = buffer.get_data()
    frame = buffer.get_frame_id()
    width, height = buffer.get_image_width(), buffer.get_image_height()
    result["frame"] = frame
    result["pixel_format"] = buffer.get_image_pixel_format()
    result["size"] = [width, height, len(data)]
    if sys.argv[1:] == ["data"]:
        result["data"] = data.hex()
    result["pattern"] = all(data[y * width + x] == (x + y + frame) & 0xFF
                            for y in range(0, height, 7) for x in range(0, width, 5))
print(json.dumps(result))
"""




@pytest.fixture
def device_at_loopback_one():
    try:
        handle = hooks.soft_device_start(address="127.0.0.1", manufacturer="Kivo Sim", model="Aravis Check",
                                         serial="ARV1", mac="02:4b:49:20:00:01", width=640, height=480)
    except OSError as error:
        pytest.fail("the device needs 127.0.0.1:3956, the only loopback address aravis opens: %s" % error)
    yield handle
    hooks.soft_device_stop(handle)


def test_aravis_reads_features_and_acquires_a_frame(device_at_loopback_one):
    try:
        proc = subprocess.run(["/usr/bin/python3", "-c", CLIENT], capture_output=True, text=True,
                              env=clean_environment(), timeout=90)
    except subprocess.TimeoutExpired as error:
        pytest.fail("the aravis client did not finish: %s" % (error.stderr or b"")[-2000:])
    assert proc.returncode == 0, proc.stderr[-4000:]
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result["model"] == "Aravis Check"
    assert result["vendor"] == "Kivo Sim"
    assert result["width"] == 640
    assert result["payload"] == 640 * 480
    assert result["formats"] == ["BayerRG8", "Mono16", "Mono8", "RGB8"]
    assert result["status"] == "success"
    assert result["size"] == [640, 480, 640 * 480]
    assert result["pattern"]
    stats = hooks.soft_device_statistics(device_at_loopback_one)
    assert stats["sessions_opened"] >= 1 and stats["frames"] >= 1


def test_arv_tool_lists_the_devices_without_an_address(device_at_loopback_one, soft_devices):
    soft_devices(address="127.0.0.7", manufacturer="Kivo Sim", model="Aravis Far", serial="ARV2",
                 mac="02:4b:49:20:00:02")
    proc = subprocess.run(["arv-tool-0.8"], capture_output=True, text=True, env=clean_environment(), timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == ["Kivo Sim-Aravis Check-ARV1 (127.0.0.1)", "Kivo Sim-Aravis Far-ARV2 (127.0.0.7)"]
    assert hooks.soft_device_statistics(device_at_loopback_one)["discoveries"] >= 1




def test_aravis_gets_lost_packets_again_at_full_rate(device_at_loopback_one):
    hooks.soft_device_faults(device_at_loopback_one, drop_gvsp=100)   # one packet in a hundred
    frames = 300
    try:
        # Its socket buffer holds a burst of frames (at most rmem_max): what aravis asks for again is what
        # the device dropped.
        proc = subprocess.run(["/usr/bin/python3", "-c", ARAVIS_STATUSES, str(frames), "unpaced"], capture_output=True,
                              text=True, env=clean_environment(), timeout=240)
    except subprocess.TimeoutExpired as error:
        pytest.fail("the aravis client did not finish: %s" % (error.stderr or b"")[-2000:])
    assert proc.returncode == 0, proc.stderr[-4000:]
    statuses = json.loads(proc.stdout.strip().splitlines()[-1])
    stats = hooks.soft_device_statistics(device_at_loopback_one)
    # Nearly every frame lost packets; aravis asked for them and the device still had them. (With
    # only the last four frames kept, hardly any frame was completed: 4 of 300.)
    assert stats["gvsp_dropped"] >= frames, stats
    assert stats["packets_resent"] >= frames // 2, stats
    assert statuses.get("success", 0) >= frames * 3 // 4, statuses


RGBA16 = 0x02400064   # RGBa16 on the wire; the SDK numbers it one lower (TqPixelRGBa16 == 0x02400063)

def rgba16_pattern(width, height, frame):
    """The engine's RGBa16 test pattern: R = 256 y + x + f, G = 256 x + y + f, B = x + y, A = f."""
    y, x = np.mgrid[0:height, 0:width]
    return (np.stack([256 * y + x + frame, 256 * x + y + frame, x + y, np.full_like(x, frame)], axis=-1)
            & 0xFFFF).astype(np.uint16)


def test_a_renumbered_format_reaches_our_receiver_and_aravis(m, k):
    """RGBa16 is one of the formats whose SDK value is one below the wire's: our receiver reports the
    SDK's TqPixelRGBa16 (64 bits, four 16-bit components) for the device's frame, aravis the wire's."""
    width, height = 64, 48
    handle = hooks.soft_device_start(address="127.0.0.1", model="Renumbered", mac="02:4b:49:20:00:03",
                                     width=width, height=height, pixel_format=RGBA16)
    try:
        result, device = k.TqDevice.CreateAndConnect("127.0.0.1")
        assert result.IsOK(), str(result.GetDescription())
        try:
            assert device.GetPayloadSize() == width * height * 8
            result, stream = k.TqStream.CreateAndOpen("127.0.0.1")
            assert result.IsOK(), str(result.GetDescription())
            try:
                buffers = [k.TqBuffer() for _ in range(2)]
                for buffer in buffers:
                    assert buffer.Alloc(width * height * 8).IsOK() and stream.QueueBuffer(buffer).IsOK()
                assert device.StreamEnable().IsOK()
                assert device.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()
                result, buffer, operation = stream.RetrieveBuffer(5000)
                device.GetParameters().ExecuteCommand("AcquisitionStop")
                device.StreamDisable()
                assert result.IsOK() and operation.IsOK(), str(operation.GetCodeString())
                image = buffer.GetImage()
                assert image.GetPixelType() == m.TqPixelRGBa16 == RGBA16 - 1
                assert (image.GetBitsPerPixel(), image.GetImageSize()) == (64, width * height * 8)
                view = image.GetDataPointer()
                assert view.shape == (height, width, 4) and view.dtype == np.uint16
                assert np.array_equal(view, rgba16_pattern(width, height, buffer.GetBlockID()))
            finally:
                stream.Close()
                while stream.RetrieveBuffer(0)[1] is not None:
                    pass
                k.TqStream.Free(stream)
        finally:
            k.TqDevice.Free(device)

        try:
            proc = subprocess.run(["/usr/bin/python3", "-c", CLIENT, "data"], capture_output=True, text=True,
                                  env=clean_environment(), timeout=90)
        except subprocess.TimeoutExpired as error:
            pytest.fail("the aravis client did not finish: %s" % (error.stderr or b"")[-2000:])
        assert proc.returncode == 0, proc.stderr[-4000:]
        seen = json.loads(proc.stdout.strip().splitlines()[-1])
        assert (seen["format"], seen["payload"], seen["status"]) == ("RGBa16", width * height * 8, "success")
        assert seen["pixel_format"] == RGBA16
        assert seen["size"] == [width, height, width * height * 8]
        data = np.frombuffer(bytes.fromhex(seen["data"]), dtype="<u2").reshape(height, width, 4)
        assert np.array_equal(data, rgba16_pattern(width, height, seen["frame"]))
    finally:
        hooks.soft_device_stop(handle)
