"""aravis's receiver (in a process of its own, its plain socket of the default size) takes our device's
unpaced 640 x 480 RGB8 stream: whenever the device runs ahead of it the socket overflows, it asks for
what it lost and gets it again from the device's resend history, and no frame it hands out is broken.
The device does not slow down for its receiver (only a controller's GevSCPD paces it), as a camera
does not: a frame whose resent packets drown in the same overflowing socket times out."""

import pytest

from conftest import aravis_client

RGB8 = 0x02180014

RECEIVER = r"""
import collections, json, sys, time
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis

seconds = float(sys.argv[1])
camera = Aravis.Camera.new("127.0.0.1")
camera.set_boolean("AcquisitionFrameRateEnable", False)   # unpaced
camera.set_pixel_format_from_string("RGB8")
camera.get_device().set_stream_options(Aravis.GvStreamOption.PACKET_SOCKET_DISABLED)
camera.set_acquisition_mode(Aravis.AcquisitionMode.CONTINUOUS)
payload = camera.get_integer("PayloadSize")
stream = camera.create_stream(None, None)
# It asks for all it lost (by default it gives a frame up once a quarter of it is missing at once, as
# after a stall of its thread on a loaded machine), and gives a frame a second before calling it timed
# out.
stream.set_property("packet-request-ratio", 1.0)
stream.set_property("frame-retention", 1000000)
for _ in range(16):
    stream.push_buffer(Aravis.Buffer.new_allocate(payload))
camera.start_acquisition()
statuses = collections.Counter()
deadline = time.monotonic() + seconds
while time.monotonic() < deadline:
    buffer = stream.timeout_pop_buffer(5000000)
    statuses[buffer.get_status().value_nick if buffer else "none"] += 1
    if buffer is None:
        break
    stream.push_buffer(buffer)
camera.stop_acquisition()
info = {name: stream.get_info_uint64_by_name(name)
        for name in ("n_missing_packets", "n_resend_requests", "n_resent_packets", "n_underruns")}
print(json.dumps({"payload": payload, "statuses": statuses, "info": info}))
"""


def test_aravis_gets_its_lost_packets_again_and_no_broken_frame_from_an_unpaced_device(hooks, soft_devices):
    try:
        handle = soft_devices(address="127.0.0.1", model="Recovery", mac="02:4b:49:63:00:01", width=640, height=480,
                              pixel_format=RGB8)
    except OSError as error:
        pytest.fail("the device needs 127.0.0.1:3956, the only loopback address aravis opens: %s" % error)
    result = aravis_client(RECEIVER, 3, timeout=120)
    stats = hooks.soft_device_statistics(handle)
    what = (result, {key: stats[key] for key in ("frames", "packet_resends", "packets_resent", "resends_unavailable",
                                                  "resends_refused")})
    assert result["payload"] == 640 * 480 * 3
    statuses = result["statuses"]
    assert set(statuses) <= {"success", "timeout"}, what
    assert statuses["success"] >= 10, what
    assert result["info"]["n_resent_packets"] > 0, what
