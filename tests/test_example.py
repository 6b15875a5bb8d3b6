"""The main example runs from start to end: its software device streams a Python source's frames."""

import os

from conftest import no_leak_check_at_exit, run_python

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "main.py")


def test_the_example_walks_the_whole_road():
    # The software device's and the pipeline's threads wind down as the interpreter exits.
    with open(EXAMPLE) as f:
        assert "_kivo_testhooks" not in f.read()   # the module and its companion layer only
    proc = run_python([EXAMPLE], env=no_leak_check_at_exit(), timeout=300)
    assert proc.returncode == 0, proc.stderr[-4000:]
    for line in ("Adding a Python stream source: OK", "Software device start: OK", "connected: OK",
                 "FireEvent(0x9000): OK", "Stream: OK as TqStreamGEV",
                 "Width while the state stack lives: 160", "Width after it: 320", "decompressed: OK, identical: True",
                 "Pipeline start: OK", "Exclusive connection: OK", "Software device stop: OK"):
        assert line in proc.stdout, proc.stdout[-4000:]
    assert "frame" in proc.stdout and "  no frame:" not in proc.stdout, proc.stdout[-4000:]


SOFT_CAMERA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "soft_camera.py")


def test_the_soft_camera_example_runs_to_its_end(tmp_path):
    with open(SOFT_CAMERA) as f:
        text = f.read()
    assert "_kivo_testhooks" not in text and "_kivo_python64" not in text   # the companion layer only
    env = dict(no_leak_check_at_exit(), XDG_DATA_HOME=str(tmp_path))
    proc = run_python([SOFT_CAMERA], env=env, timeout=300)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    for line in ("Soft camera start: OK", "Gain = 40 refused by the register's sink: True (Gain stays 12)",
                 "ExposureTimeRaw (microseconds) = 2500.0", "UserSetSave: OK", "after the load: Gain 12, ExposureTimeMs 2.5",
                 "event heard by the controller: True", "Frames whole with their chunk: 5 of 5", "Soft camera stop: OK"):
        assert line in proc.stdout, proc.stdout[-4000:]
    assert (tmp_path / "kivo" / "usersets" / "SOFTCAM1" / "UserSet1.txt").is_file()


def test_the_soft_camera_source_gives_buffers_back_while_the_device_stops(tmp_path):
    """Stop while a controller still acquires: the device's register map is gone while its sender
    retrieves the last buffers, and the example's source hands them back aborted instead of raising."""
    code = """
import sys
sys.path.insert(0, %r)
import kivo_python64 as kivo
import soft_camera as camera

for _ in range(3):
    sink = camera.CameraSink()
    device = kivo.TqSoftDeviceGEV()
    device.RegisterEventSink(sink)
    device.AddStream(camera.Frames(device.GetRegisterMap))
    assert device.Start("00:00:00:00:00:00").IsOK()
    result, control = kivo.TqDevice.CreateAndConnect(sink.ip)
    result, stream = kivo.TqStream.CreateAndOpen(sink.ip)
    for _ in range(4):
        buffer = kivo.TqBuffer()
        buffer.Alloc(control.GetPayloadSize())
        stream.QueueBuffer(buffer)
    control.StreamEnable()
    control.GetParameters().ExecuteCommand("AcquisitionStart")
    assert stream.RetrieveBuffer(20000)[1] is not None
    print("stop:", str(device.Stop().GetCodeString()))
    kivo.TqStream.Free(stream)
    kivo.TqDevice.Free(control)
    device.UnregisterEventSink(sink)
""" % os.path.dirname(SOFT_CAMERA)
    proc = run_python(code, env=dict(no_leak_check_at_exit(), XDG_DATA_HOME=str(tmp_path)), timeout=120)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
    assert proc.stdout.splitlines() == ["stop: OK"] * 3, proc.stdout[-4000:]
    assert "RetrieveBuffer" not in proc.stdout + proc.stderr, proc.stdout[-4000:] + proc.stderr[-4000:]
