"""An independent GigE Vision client against the engine's device: aravis (through GObject introspection)
opens the device at 127.0.0.1, reads its identity and features from the served description and
acquires a frame; arv-tool finds the devices without being given an address (discovery at the limited
broadcast address); with one packet in a hundred lost, unpaced, aravis's resend requests find the
packets in the device's resend history. The aravis clients run in their own processes, without the
sanitizer preload."""

import json
import subprocess

import pytest

from conftest import clean_environment

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
}
camera.get_device().set_stream_options(Aravis.GvStreamOption.PACKET_SOCKET_DISABLED)
camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
stream = camera.create_stream(None, None)
# Room for whole frames: with the default buffer the first frame may overflow it before aravis's
# thread reads, and aravis asks for nothing when a quarter of a frame is missing.
stream.set_property("socket-buffer", Aravis.GvStreamSocketBuffer.FIXED)
stream.set_property("socket-buffer-size", 4 << 20)
for _ in range(2):
    stream.push_buffer(Aravis.Buffer.new_allocate(result["payload"]))
camera.start_acquisition()
buffer = stream.timeout_pop_buffer(5000000)
camera.stop_acquisition()
result["status"] = buffer.get_status().value_nick if buffer else None
if buffer:
    data = buffer.get_data()
    frame = buffer.get_frame_id()
    width, height = buffer.get_image_width(), buffer.get_image_height()
    result["frame"] = frame
    result["size"] = [width, height, len(data)]
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


LOSSY_CLIENT = r"""
import json, sys
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis

frames = int(sys.argv[1])
camera = Aravis.Camera.new("127.0.0.1")
camera.set_boolean("AcquisitionFrameRateEnable", False)   # unpaced
camera.get_device().set_stream_options(Aravis.GvStreamOption.PACKET_SOCKET_DISABLED)
camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
payload = camera.get_integer("PayloadSize")
stream = camera.create_stream(None, None)
# A socket buffer that holds a burst of frames (at most rmem_max), so that what aravis asks for again
# is what the device dropped.
stream.set_property("socket-buffer", Aravis.GvStreamSocketBuffer.FIXED)
stream.set_property("socket-buffer-size", 4 << 20)
for _ in range(32):
    stream.push_buffer(Aravis.Buffer.new_allocate(payload))
camera.start_acquisition()
statuses = {}
for _ in range(frames):
    buffer = stream.timeout_pop_buffer(5000000)
    nick = buffer.get_status().value_nick if buffer else "none"
    statuses[nick] = statuses.get(nick, 0) + 1
    if buffer:
        stream.push_buffer(buffer)
camera.stop_acquisition()
print(json.dumps(statuses))
"""


def test_aravis_gets_lost_packets_again_at_full_rate(device_at_loopback_one):
    hooks.soft_device_faults(device_at_loopback_one, drop_gvsp=100)   # one packet in a hundred
    frames = 300
    try:
        proc = subprocess.run(["/usr/bin/python3", "-c", LOSSY_CLIENT, str(frames)], capture_output=True, text=True,
                              env=clean_environment(), timeout=240)
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
