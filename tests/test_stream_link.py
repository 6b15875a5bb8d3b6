"""A lost link reads the same everywhere: a pipeline answers NOT_CONNECTED with its stream's reason
as soon as the stream knows (never TIMEOUT for ever), and a stream that holds a control session of its
own notices the device dropping it."""

import pytest

from conftest import until

CCP, HEARTBEAT_TIMEOUT = 0x0A00, 0x0938


@pytest.fixture
def camera(soft_devices):
    return soft_devices(address="127.0.0.2", model="Lost Camera", mac="02:4b:49:71:00:01", width=64, height=48)


def test_a_pipeline_answers_not_connected_with_the_streams_reason(m, k, hooks, camera):
    result, device = k.TqDevice.CreateAndConnect("127.0.0.2")
    assert result.IsOK(), str(result.GetDescription())
    result, stream = k.TqStream.CreateAndOpen("127.0.0.2")
    assert result.IsOK(), str(result.GetDescription())
    pipeline = k.TqPipeline(stream)
    try:
        assert device.GetCommunicationParameters().SetIntegerValue("HeartbeatInterval", 20).IsOK()
        assert pipeline.Start().IsOK()
        assert device.StreamEnable().IsOK() and device.GetParameters().ExecuteCommand("AcquisitionStart").IsOK()
        result, buffer, operation = pipeline.RetrieveNextBuffer(10000)
        assert result.IsOK() and operation.IsOK()
        assert pipeline.ReleaseBuffer(buffer).IsOK()
        assert hooks.soft_device_write(camera, CCP, 0) == 0   # the device ends the session
        assert until(lambda: not device.IsConnected(), 30)
        while True:   # the frames that came before, then the loss (a wait that would end in TIMEOUT)
            result, buffer, _ = pipeline.RetrieveNextBuffer(60000)
            if buffer is None:
                break
            pipeline.ReleaseBuffer(buffer)
        assert result.GetCode() == m.TQ_NOT_CONNECTED
        assert str(result.GetDescription()) == str(stream.RetrieveBuffer(0)[0].GetDescription())
        assert "the link to the device is lost" in str(result.GetDescription())
        assert pipeline.RetrieveNextBuffer(0)[0].GetCode() == m.TQ_NOT_CONNECTED
    finally:
        pipeline.Stop()
        m.delete_TqPipeline(pipeline)
        stream.Close()
        k.TqStream.Free(stream)
        k.TqDevice.Free(device)


@pytest.mark.parametrize("drop", ["control", "silence"])
def test_a_stream_with_its_own_session_notices_the_device_dropping_it(m, k, hooks, camera, drop):
    assert hooks.soft_device_write(camera, HEARTBEAT_TIMEOUT, 600) == 0
    stream = k.TqStreamGEV()
    assert stream.Open("127.0.0.2").IsOK()
    try:
        buffer = k.TqBuffer()
        assert buffer.Alloc(64 * 48).IsOK() and stream.QueueBuffer(buffer).IsOK()
        if drop == "control":
            assert hooks.soft_device_write(camera, CCP, 0) == 0   # the heartbeat's answer shows no control
        else:
            hooks.soft_device_link(camera, False)   # no answer for longer than the heartbeat timeout
        result, got, _ = stream.RetrieveBuffer(60000)
        assert got is None and result.GetCode() == m.TQ_NOT_CONNECTED
        reason = str(result.GetDescription())
        assert ("answered without control" if drop == "control" else "heartbeat timeout (600 ms)") in reason, reason
        assert stream.RetrieveBuffer(0)[0].GetCode() == m.TQ_NOT_CONNECTED   # and later retrieves
    finally:
        hooks.soft_device_link(camera, True)
        stream.Close()
        while stream.RetrieveBuffer(0)[1] is not None:
            pass
