"""Parameter update sinks: a device adapter registered on features hears of their writes (and of the
features a selector selects), can be told of an update by hand, and is destroyed soundly whichever
class deletes it; its proxy keeps its device alive."""

import gc
import sys
import threading

import pytest

from conftest import CAMERA_XML, arg, raises


@pytest.fixture
def device(hooks):
    with open(CAMERA_XML) as f:
        device, parameters = hooks.make_device(f.read())
    yield device, parameters
    gc.collect()
    hooks.free_device(device)


def test_registered_adapter_hears_updates(m, k, hooks, device):
    dev, params = device
    adapter = k.TqDeviceAdapter(dev)
    assert adapter.thisown and hooks.live_objects()["TqDeviceAdapter"] == 1
    width, gain, selector = params.Get("Width"), params.Get("Gain"), params.Get("GainSelector")
    for parameter in (width, gain):
        assert m.TqGenParameter_RegisterEventSink(parameter, adapter).IsOK()
    assert m.TqGenParameter_RegisterEventSink(width, adapter).GetCode() == m.TQ_STATE_ERROR   # once only
    params.SetIntegerValue("Width", 640)
    m.TqGenEnum_SetValue(selector, "Red")   # the selected gain changes with its selector
    assert params.SetIntegerValue("Width", 641).GetCode() == m.TQ_INVALID_PARAMETER   # no update
    # Writes from another thread reach the sink on that thread.
    worker = threading.Thread(target=lambda: m.TqGenFloat_SetValue(gain, 3.5))
    worker.start()
    worker.join()
    assert hooks.adapter_updates(adapter) == ["Width", "Gain", "Gain"]
    # Updates can be paused per parameter.
    m.TqGenParameter_SetUpdatesEnabled(width, False)
    width.SetValue(320)
    m.TqGenParameter_SetUpdatesEnabled(width, True)
    width.SetValue(64)
    assert hooks.adapter_updates(adapter)[3:] == ["Width"]
    for parameter in (width, gain):
        assert m.TqGenParameter_UnregisterEventSink(parameter, adapter).IsOK()
    assert m.TqGenParameter_UnregisterEventSink(width, adapter).GetCode() == m.TQ_NOT_FOUND
    width.SetValue(128)
    assert len(hooks.adapter_updates(adapter)) == 4


def test_update_by_hand_and_conversions(m, k, hooks, device):
    dev, params = device
    adapter = k.TqDeviceAdapter(dev)
    assert m.TqGenEventSink_OnParameterUpdate(adapter, params.Get("ExposureTime")) is None
    assert m.TqGenEventSink_OnParameterUpdate(adapter, None) is None   # the sink's business
    assert hooks.adapter_updates(adapter) == ["ExposureTime", ""]
    for bad in (None, dev, params):
        raises(TypeError, arg("TqGenEventSink_OnParameterUpdate", 1, "TqGenEventSink *"),
               m.TqGenEventSink_OnParameterUpdate, bad, params.Get("Width"))
    raises(TypeError, arg("TqGenEventSink_OnParameterUpdate", 2, "TqGenParameter *"),
           m.TqGenEventSink_OnParameterUpdate, adapter, params.GetCategory(0))
    raises(TypeError, arg("TqGenParameter_RegisterEventSink", 2, "TqGenEventSink *"),
           m.TqGenParameter_RegisterEventSink, params.Get("Width"), dev)
    for bad in (None, params, 3):
        raises(TypeError, arg("new_TqDeviceAdapter", 1, "TqDevice *"), m.new_TqDeviceAdapter, bad)
    raises(TypeError, "TqGenEventSink_OnParameterUpdate expected 2 arguments, got 1",
           m.TqGenEventSink_OnParameterUpdate, adapter)


def test_deleting_sinks(m, k, hooks, device):
    dev, params = device
    assert m.delete_TqGenEventSink(None) is None and m.delete_TqGenEventSink.__doc__ is None
    # A sink proxy that owns nothing is refused: nothing is freed.
    borrowed = hooks.make_pointer("_p_TqGenEventSink", 0x1000, 0)
    with pytest.raises(RuntimeError, match="does not own its object"):
        m.delete_TqGenEventSink(borrowed)
    raises(TypeError, arg("delete_TqGenEventSink", 1, "TqGenEventSink *"), m.delete_TqGenEventSink, dev)
    # An adapter deleted as a sink is destroyed whole (virtual destructor), once.
    adapter = k.TqDeviceAdapter(dev)
    assert m.delete_TqGenEventSink(adapter) is None and not adapter.thisown
    assert hooks.live_objects().get("TqDeviceAdapter", 0) == 0
    raises(TypeError, arg("TqGenEventSink_OnParameterUpdate", 1, "TqGenEventSink *"),
           m.TqGenEventSink_OnParameterUpdate, adapter, None)
    del adapter   # its proxy no longer owns anything: nothing is destroyed twice
    gc.collect()


def test_adapter_keeps_its_device(m, k, hooks, device):
    dev, params = device
    adapter = k.TqDeviceAdapter(dev)
    refs = sys.getrefcount(dev)
    del adapter
    gc.collect()
    assert sys.getrefcount(dev) == refs - 1
    assert hooks.live_objects().get("TqDeviceAdapter", 0) == 0
