"""The RTP stream and SAP session discovery: raw frames by unicast, multicast and TCP equal to what
was sent, H.264 NAL units intact across fragments, damaged packets dropped without harm, GStreamer
as an independent sender, announced sessions found and received, and the exact overload messages."""

import os
import shutil
import subprocess
import threading
import time

import numpy as np
import pytest

from conftest import arg, clean_environment, raises
from rtp_tools import RtpSender, SapAnnouncer, sdp

OPEN = ("Wrong number or type of arguments for overloaded function 'TqStreamRTP_Open'.\n"
        "  Possible C/C++ prototypes are:\n"
        "    TqStreamRTP::Open(TqDeviceInfo const *)\n    TqStreamRTP::Open(TqString const &)\n"
        "    TqStreamRTP::Open(TqSessionInfoSDP const *,TqString const &,uint16_t)\n"
        "    TqStreamRTP::Open(TqSessionInfoSDP const *,TqString const &)\n"
        "    TqStreamRTP::Open(TqString const &,uint16_t)\n"
        "    TqStreamRTP::Open(TqString const &,uint16_t,TqString const &)\n")
PREPARE = ("Wrong number or type of arguments for overloaded function 'TqStreamRTP_PrepareFor'.\n"
           "  Possible C/C++ prototypes are:\n"
           "    TqStreamRTP::PrepareFor(uint32_t,uint32_t,TqPixelType,uint16_t)\n"
           "    TqStreamRTP::PrepareFor(uint32_t,uint32_t,TqPixelType)\n")


def queue(k, stream, count=4, size=64 * 48 * 3):
    buffers = [k.TqBuffer() for _ in range(count)]
    for b in buffers:
        assert b.Alloc(size).IsOK() and stream.QueueBuffer(b).IsOK()
    return buffers


def receive(stream, timeout=3000):
    result, buffer, operation = stream.RetrieveBuffer(timeout)
    assert result.IsOK(), str(result.GetCodeString())
    return buffer, operation


def close(k, stream):
    stream.Close()
    while stream.RetrieveBuffer(0)[1] is not None:
        pass


@pytest.mark.parametrize("mode", ["unicast", "multicast", "tcp"])
@pytest.mark.parametrize("channels", [1, 3])
def test_raw_frames(m, k, mode, channels):
    stream = k.TqStreamRTP()
    sender = None
    if mode == "unicast":
        assert stream.Open("127.0.0.1", 0).IsOK()
        sender = RtpSender("127.0.0.1", stream.GetLocalPort())
    elif mode == "multicast":
        sender_port = 47000 + channels
        assert stream.Open("239.1.2.3", sender_port, "127.0.0.1").IsOK()
        assert str(stream.GetMulticastIPAddress()) == "239.1.2.3"
        sender = RtpSender("239.1.2.3", sender_port, multicast=True)
    else:
        sender = RtpSender("127.0.0.1", 0, tcp=True)
        accepted = threading.Thread(target=sender.accept)
        accepted.start()
        assert stream.OpenTCP("127.0.0.1", sender.port).IsOK()
        accepted.join()
        assert str(stream.GetTCPServerIPAddress()) == "127.0.0.1" and stream.GetTCPServerPort() == sender.port
    pixel = m.TqPixelMono8 if channels == 1 else m.TqPixelRGB8
    assert stream.PrepareFor(64, 48, pixel).IsOK()
    buffers = queue(k, stream)
    rng = np.random.default_rng(channels)
    shape = (48, 64) if channels == 1 else (48, 64, 3)
    frames = [rng.integers(0, 256, shape, dtype=np.uint8) for _ in range(2)]
    try:
        time.sleep(0.05)
        for frame in frames:
            sender.send_raw(frame, packet_size=700)
            buffer, operation = receive(stream)
            assert operation.IsOK(), str(operation.GetCodeString())
            image = buffer.GetImage()
            assert (image.GetWidth(), image.GetHeight(), image.GetPixelType()) == (64, 48, pixel)
            assert np.array_equal(image.GetDataPointer().reshape(shape), frame)
            stream.QueueBuffer(buffer)
    finally:
        sender.close()
        close(k, stream)


def test_h264_and_damage(m, k):
    stream = k.TqStreamRTP()
    assert stream.Open("127.0.0.1", 0).IsOK() and stream.PrepareForH264().IsOK()
    queue(k, stream, size=1 << 16)
    nals = [b"\x67" + bytes(range(20)), b"\x68\x01\x02", b"\x65" + os.urandom(5000)]
    with RtpSender("127.0.0.1", stream.GetLocalPort()) as sender:
        time.sleep(0.05)
        sender.send_h264(nals, packet_size=1000)   # the last NAL goes as FU-A fragments
        buffer, operation = receive(stream)
        assert operation.IsOK() and buffer.GetPayloadType() == m.TqPayloadTypeH264
        expected = b"".join(b"\x00\x00\x00\x01" + n for n in nals)
        assert bytes(buffer.GetDataPointer()[:len(expected)]) == expected
        stream.QueueBuffer(buffer)
        # Damaged packets: truncated, random and lying headers never harm the receiver.
        rng = np.random.default_rng(9)
        for packet in sender.h264_packets(nals, packet_size=1000):
            cut = packet[:int(rng.integers(0, len(packet)))]
            sender.send(cut)
            sender.send(bytes(rng.integers(0, 256, int(rng.integers(1, 64)), dtype=np.uint8)))
        sender.send_h264(nals, packet_size=1000)
        deadline = time.time() + 5
        while time.time() < deadline:
            result, buffer, operation = stream.RetrieveBuffer(1000)
            if buffer is None:
                break
            stream.QueueBuffer(buffer)
    bad = stream.GetParameters().GetIntegerValue("PacketsBad")[1]
    assert bad > 0
    close(k, stream)


def test_no_payload_prepared(m, k):
    stream = k.TqStreamRTP()
    assert stream.Open("127.0.0.1", 0).IsOK()
    queue(k, stream)
    with RtpSender("127.0.0.1", stream.GetLocalPort()) as sender:
        time.sleep(0.05)
        sender.send_raw(np.zeros((4, 4), np.uint8))
        buffer, operation = receive(stream)
        assert not operation.IsOK()
    close(k, stream)


@pytest.mark.skipif(not shutil.which("gst-launch-1.0"), reason="GStreamer is not installed")
def test_gstreamer_sender(m, k, tmp_path):
    stream = k.TqStreamRTP()
    assert stream.Open("127.0.0.1", 0).IsOK() and stream.PrepareFor(64, 48, m.TqPixelRGB8).IsOK()
    queue(k, stream, count=8)
    source = "videotestsrc num-buffers=5 ! video/x-raw,format=RGB,width=64,height=48"
    reference = tmp_path / "frames.rgb"
    env = clean_environment()
    subprocess.run(["gst-launch-1.0", "-q"] + (source + " ! filesink location=" + str(reference)).split(),
                   check=True, env=env, timeout=60, capture_output=True)
    subprocess.run(["gst-launch-1.0", "-q"] + (source + " ! rtpvrawpay ! udpsink host=127.0.0.1 port=%d"
                                               % stream.GetLocalPort()).split(),
                   check=True, env=env, timeout=60, capture_output=True)
    expected = np.fromfile(reference, np.uint8).reshape(5, 48, 64, 3)
    got = []
    while len(got) < 5:
        result, buffer, operation = stream.RetrieveBuffer(3000)
        if buffer is None:
            break
        if operation.IsOK():
            got.append(np.array(buffer.GetImage().GetDataPointer()).reshape(48, 64, 3))
        stream.QueueBuffer(buffer)
    close(k, stream)
    assert len(got) == 5 and all(np.array_equal(g, e) for g, e in zip(got, expected))


def test_sessions_discovered_and_received(m, k):
    system = k.TqSystem()
    system.SetDetectionTimeout(600)
    announcements = [sdp("Left camera", "239.5.5.1", 47010), sdp("Right camera", "239.5.5.2", 47011)]
    stop = threading.Event()

    def announce():
        with SapAnnouncer() as sap:
            while not stop.is_set():
                for i, text in enumerate(announcements):
                    sap.announce(text, 100 + i)
                time.sleep(0.1)

    announcer = threading.Thread(target=announce)
    announcer.start()
    try:
        count = m.TqSystem_DiscoverSessions(system)
    finally:
        stop.set()
        announcer.join()
    assert type(count) is int and count == 2
    found = {}
    for i in range(count):
        info = k.TqSessionInfo()
        assert system.GetSessionInfo(i, info).IsOK()
        found[str(info.mName)] = (str(info.mAddress), info.mPort, str(info.mLocalAddress))
    assert found == {"Left camera": ("239.5.5.1", 47010, "127.0.0.1"), "Right camera": ("239.5.5.2", 47011, "127.0.0.1")}
    untouched = k.TqSessionInfo()
    assert system.GetSessionInfo(2, untouched).GetCode() == m.TQ_NOT_FOUND and str(untouched.mName) == ""
    raises(TypeError, "invalid null reference " + arg("TqSystem_GetSessionInfo", 3, "TqSessionInfo &"),
           m.TqSystem_GetSessionInfo, system, 0, None)
    # Each session opened as a multicast RTP stream and received.
    for name, (address, port, local) in found.items():
        stream = k.TqStreamRTP()
        assert stream.Open(address, port, local).IsOK() and stream.PrepareFor(8, 2, m.TqPixelMono8).IsOK()
        queue(k, stream, count=2, size=16)
        with RtpSender(address, port, multicast=True) as sender:
            time.sleep(0.05)
            frame = np.arange(16, dtype=np.uint8).reshape(2, 8)
            sender.send_raw(frame)
            buffer, operation = receive(stream)
            assert operation.IsOK() and np.array_equal(buffer.GetImage().GetDataPointer(), frame)
        close(k, stream)


def test_messages(m, k):
    stream = k.TqStreamRTP()
    assert m.TqStreamRTP_Open(stream, None, "127.0.0.1").GetCode() == m.TQ_NOT_SUPPORTED   # the SDP form
    assert m.TqStreamRTP_Open(stream, None).GetCode() == m.TQ_NOT_SUPPORTED
    raises(TypeError, "Argument 2: failed to create TqString from Python string", m.TqStreamRTP_Open, stream, None, 5)
    raises(TypeError, "Argument 3: failed to create TqString from Python string", m.TqStreamRTP_Open, stream, None,
           None)
    raises(TypeError, OPEN, m.TqStreamRTP_Open, stream, "a", "b")
    raises(TypeError, "TqStreamRTP_Open expected at most 4 arguments, got 5\nAdditional information:\n" + OPEN,
           m.TqStreamRTP_Open, stream, 1, 2, 3, 4)
    for args in [(-1, 48, 1), (64, 48, 1, 65536), (64, 48)]:
        raises(TypeError, PREPARE, m.TqStreamRTP_PrepareFor, stream, *args)
    assert m.TqStreamRTP_PrepareFor(stream, 64, 48, -5).GetCode() != m.TQ_OK   # the pixel type unchecked here
    raises(OverflowError, arg("TqStreamRTP_OpenTCP", 3, "uint16_t"), m.TqStreamRTP_OpenTCP, stream, "127.0.0.1",
           70000)
    raises(TypeError, "TqStreamRTP_SetThreadPriority expected 2 arguments, got 1", m.TqStreamRTP_SetThreadPriority,
           stream)
    raises(TypeError, arg("TqStreamRTP_GetLocalPort", 1, "TqStreamRTP const *"), m.TqStreamRTP_GetLocalPort, None)
    assert stream.GetType() == m.TqStreamTypeRTP == 2
    assert stream.SetThreadPriority(10).IsOK() and stream.GetThreadPriority() == 10
    address = stream.GetLocalIPAddress()
    del stream
    assert str(address) == ""   # an owned copy outlives the stream
