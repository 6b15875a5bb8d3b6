"""Device event sinks subclassed in Python and the device adapter: events from a software device's
messaging channel reach OnEvent and OnEventGenICam on the device's own thread, command-link callbacks
follow the node map's accesses, callbacks fired from fresh native threads carry edge values exactly,
failing overrides print their line and the device carries on, and the adapter's operations (with the
added forms of its out-values) over a connected device."""

import gc
import os
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import arg, connect_soft_device, raises, recording_sink, run_python, until

FRAME_END = 0x9001


@pytest.fixture
def connected(k, soft_devices):
    """A software device at 127.0.0.2, connected: (handle, TqDevice)."""
    handle, device = connect_soft_device(k, soft_devices, address="127.0.0.2", model="Event Source",
                                         mac="02:4b:49:62:00:01", width=64, height=48)
    yield handle, device
    k.TqDevice.Free(device)


def test_events_reach_python(m, k, hooks, connected):
    handle, device = connected
    sink = recording_sink(k.TqDeviceEventSink, "OnEvent", "OnEventGenICam")
    assert device.RegisterEventSink(sink).IsOK()
    data = (7).to_bytes(8, "big") + (123456789).to_bytes(8, "big")
    assert hooks.soft_device_fire_event(handle, FRAME_END, data, 7, 0) == 0
    assert hooks.soft_device_fire_event(handle, 0x9005, b"", 0, 0xFFFF) == 0
    assert until(lambda: len([c for c in sink.calls if c[0] == "OnEvent"]) == 2)
    events = [c for c in sink.calls if c[0] == "OnEvent"]
    (_, thread, (dev, event_id, channel, block, timestamp, payload)) = events[0]
    assert thread != threading.get_ident()
    assert type(dev) is k.TqDevice and not dev.this.own()
    assert (event_id, channel, block) == (FRAME_END, 0, 7) and bytes(payload) == data
    assert payload.dtype == np.uint8 and payload.base is None
    (_, _, (_, event_id, channel, block, _, payload)) = events[1]
    assert (event_id, channel, block, payload.shape) == (0x9005, 0xFFFF, 0, (0,))
    # The FrameEnd event belongs to an event port: its parameters read the event's values.
    assert until(lambda: any(c[0] == "OnEventGenICam" for c in sink.calls))
    (_, _, (_, event_id, _, _, _, parameters)) = [c for c in sink.calls if c[0] == "OnEventGenICam"][0]
    assert event_id == FRAME_END and type(parameters) is k.TqGenParameterList
    params = device.GetParameters()
    assert params.GetIntegerValue("EventFrameEndFrameID")[1] == 7
    assert params.GetIntegerValue("EventFrameEndTimestamp")[1] == 123456789
    assert device.UnregisterEventSink(sink).IsOK()


def test_link_loss_fires_once(m, k, hooks, connected):
    handle, device = connected
    sink = recording_sink(k.TqDeviceEventSink, "OnLinkDisconnected", "OnLinkReconnected")
    assert device.RegisterEventSink(sink).IsOK()
    settings = device.GetCommunicationParameters()
    for name, value in (("AnswerTimeout", 20), ("CommandRetryCount", 0), ("HeartbeatInterval", 20),
                        ("HeartbeatMaxRetryCount", 1)):
        assert settings.SetIntegerValue(name, value).IsOK()
    hooks.soft_device_link(handle, False)
    try:
        assert until(lambda: sink.calls)
        time.sleep(0.3)
        assert [c[0] for c in sink.calls] == ["OnLinkDisconnected"]
        (_, thread, (dev,)) = sink.calls[0]
        assert thread != threading.get_ident() and type(dev) is k.TqDevice
    finally:
        hooks.soft_device_link(handle, True)
    assert device.UnregisterEventSink(sink).IsOK()


def test_command_link_callbacks(m, k, connected):
    handle, device = connected
    sink = recording_sink(k.TqDeviceEventSink, "OnCmdLinkRead", "OnCmdLinkWrite")
    assert device.RegisterEventSink(sink).IsOK()
    params = device.GetParameters()
    assert params.SetIntegerValue("Width", 32).IsOK()
    params.InvalidateCache()
    assert params.GetIntegerValue("Width")[1] == 32
    writes = [c for c in sink.calls if c[0] == "OnCmdLinkWrite"]
    reads = [c for c in sink.calls if c[0] == "OnCmdLinkRead"]
    assert writes and reads
    (_, _, ((view, address),)) = writes[-1]
    assert address == 0x30000000 and bytes(view) == (32).to_bytes(4, "big")
    # Direct memory access does not go through the node map's port.
    before = len(sink.calls)
    device.ReadMemory(0x30000000, 4)
    assert len(sink.calls) == before
    assert device.UnregisterEventSink(sink).IsOK()


def test_native_threads_edge_values(m, k, hooks, capfd):
    sink = recording_sink(k.TqDeviceEventSink, "OnEvent", "OnCmdLinkRead", "OnLinkDisconnected")
    assert hooks.fire_device_sink(sink, "OnEvent", None, 0xFFFF, 0xFFFF, 2 ** 63, 2 ** 64 - 1, b"\x01\x02") == "ok"
    (_, thread, (dev, event_id, channel, block, timestamp, data)) = sink.calls[-1]
    assert dev is None and (event_id, channel, block, timestamp) == (0xFFFF, 0xFFFF, 2 ** 63, 2 ** 64 - 1)
    assert block == 9223372036854775808 and list(data) == [1, 2]
    # Null data: an empty array, whatever the length said.
    assert hooks.fire_device_sink(sink, "OnEvent", None, 1, 2, 3, 4, None, 16) == "ok"
    assert sink.calls[-1][2][5].shape == (0,)
    assert hooks.fire_device_sink(sink, "OnCmdLinkRead", b"\x00\x00\x01\x00", -8) == "ok"
    ((view, address),) = sink.calls[-1][2]
    assert bytes(view) == b"\x00\x00\x01\x00" and address == -8
    # Members not overridden run the SDK's own (nothing); a failing override prints and throws.
    assert hooks.fire_device_sink(sink, "OnLinkReconnected", None) == "ok"

    class Failing(k.TqDeviceEventSink):
        def OnEvent(self, *args):
            raise ValueError("x y")

        def OnLinkDisconnected(self, device):
            return 5   # ignored

    failing = Failing()
    assert hooks.fire_device_sink(failing, "OnEvent", None, 1, 2, 3, 4, b"") == "threw"
    assert hooks.fire_device_sink(failing, "OnLinkDisconnected", None) == "ok"
    out = capfd.readouterr().out
    assert "In method 'OnEvent': ValueErrorx y\n" in out
    # An object without the method: the missing-method error, nothing called.
    bare = m.new_TqDeviceEventSink(object())
    assert hooks.fire_device_sink(bare, "OnEvent", None, 1, 2, 3, 4, b"") == "threw"
    m.delete_TqDeviceEventSink(bare)


def test_up_calls_and_messages(m, k):
    sink = k.TqDeviceEventSink()
    assert m.TqDeviceEventSink_OnEvent(sink, None, 1, 2, 3, 4, np.zeros(3, np.uint8)) is None
    assert m.TqDeviceEventSink_OnCmdLinkRead(sink, ((1, 2, 3), 4, 5)) is None
    for bad, text in [([np.zeros(3, np.uint8), 1], "requires tuple argument"),
                      ((np.zeros(3, np.uint8),), "requires a tuple with two elements as an argument"),
                      ((np.zeros(3, np.uint8), "4"), "requires an integer as the second tuple element"),
                      ((object(), 4), "requires a numpy array as the first tuple element"),
                      ((np.uint8(5), 4), "requires a numpy array as the first tuple element")]:
        raises(TypeError, "Error: TqDeviceEventSink_OnCmdLinkWrite " + text, m.TqDeviceEventSink_OnCmdLinkWrite,
               sink, bad)
    raises(OverflowError, arg("TqDeviceEventSink_OnEvent", 3, "uint16_t"), m.TqDeviceEventSink_OnEvent, sink, None,
           65536, 0, 0, 0, b"")
    raises(OverflowError, arg("TqDeviceEventSink_OnEvent", 5, "uint64_t"), m.TqDeviceEventSink_OnEvent, sink, None,
           1, 0, -1, 0, b"")
    raises(TypeError, "Array must have 1 dimensions.  Given array has 2 dimensions", m.TqDeviceEventSink_OnEvent,
           sink, None, 1, 0, 0, 0, np.zeros((2, 2), np.uint8))
    raises(TypeError, arg("TqDeviceEventSink_OnEvent", 1, "TqDeviceEventSink *"), m.TqDeviceEventSink_OnEvent, None,
           None, 1, 0, 0, 0, b"")
    raises(TypeError, arg("TqDeviceEventSink_OnEventGenICam", 7, "TqGenParameterList *"),
           m.TqDeviceEventSink_OnEventGenICam, sink, None, 1, 0, 0, 0, sink)
    raises(TypeError, "TqDeviceEventSink_OnEvent expected 7 arguments, got 6", m.TqDeviceEventSink_OnEvent, sink,
           None, 1, 0, 0, 0)
    # disown_ takes one reference, once.
    sub = recording_sink(k.TqDeviceEventSink, "OnEvent")
    before = sys.getrefcount(sub)
    m.disown_TqDeviceEventSink(sub)
    m.disown_TqDeviceEventSink(sub)
    assert sys.getrefcount(sub) == before + 1
    assert m.disown_TqDeviceEventSink(None) is None and m.delete_TqDeviceEventSink(None) is None


UNREGISTER_INSIDE = """
import sys, threading
sys.path.insert(0, {tests!r})
import _kivo_testhooks as hooks
import kivo_python64 as k


def main():
    handle = hooks.soft_device_start(address="127.0.0.3", model="Inside", mac="02:4b:49:62:00:03", width=64, height=48)
    result, device = k.TqDevice.CreateAndConnect("127.0.0.3")
    done = threading.Event()

    class Sink(k.TqDeviceEventSink):
        def OnEvent(self, dev, *args):
            print("unregister inside:", device.UnregisterEventSink(self).GetCodeString(), flush=True)
            done.set()

    sink = Sink()
    device.RegisterEventSink(sink)
    hooks.soft_device_fire_event(handle, 0x9005, b"", 0, 0xFFFF)
    assert done.wait(10), "no event"
    k.TqDevice.Free(device)
    hooks.soft_device_stop(handle)
    print("done")


main()   # everything made here is gone before the interpreter ends
"""


def test_unregister_inside_a_callback():
    tests = os.path.dirname(os.path.abspath(__file__))
    proc = run_python(textwrap.dedent(UNREGISTER_INSIDE.format(tests=tests)), timeout=60)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "unregister inside: OK" in proc.stdout and "done" in proc.stdout.splitlines()


def test_adapter_operations(m, k, hooks, connected):
    handle, device = connected
    adapter = k.TqDeviceAdapter(device)
    assert adapter.IsConnected() and adapter.IsGigEVision() and not adapter.IsUSB3Vision()
    assert not adapter.IsZelvraPowered()
    assert adapter.IsGenIntegerInNodeMap("Width") and not adapter.IsGenIntegerInNodeMap("PixelFormat")
    assert adapter.IsGenEnumInNodeMap("PixelFormat") and adapter.IsGenEnumEntryAvailable("PixelFormat", "Mono8")
    assert adapter.IsGenReadable("Width") and adapter.IsGenWritable("Width") and not adapter.IsGenReadable("Nope")
    # The added forms give the out-values.
    result, width = adapter.GetGenIntegerValue("Width")
    assert result.IsOK() and width == 64
    result, entries = adapter.GetGenEnumEntriesAvailable("PixelFormat")
    assert result.IsOK() and "Mono8" in entries and all(type(e) is str for e in entries)
    result, enabled = adapter.GetGenBooleanValue("AcquisitionFrameRateEnable")
    assert result.IsOK() and type(enabled) is bool
    assert adapter.SetGenBooleanValue("AcquisitionFrameRateEnable", not enabled).IsOK()
    assert adapter.GetGenBooleanValue("AcquisitionFrameRateEnable")[1] is (not enabled)
    assert adapter.GetGenIntegerValue("Nope")[0].GetCode() == m.TQ_NOT_FOUND
    # The documented forms write through pointer objects.
    cell = np.zeros(1, np.int64)
    assert m.TqDeviceAdapter_GetGenIntegerValue(adapter, "Width", hooks.make_pointer("_p_long_long",
                                                                                    cell.ctypes.data)).IsOK()
    assert cell[0] == 64
    entries = hooks.string_list()
    assert m.TqDeviceAdapter_GetGenEnumEntriesAvailable(adapter, "PixelFormat", entries).IsOK()
    assert "Mono8" in hooks.string_list_items(entries)
    hooks.free_string_list(entries)
    text = k.TqString()
    assert adapter.GetGenEnumValue("PixelFormat", text).IsOK() and str(text) == "Mono8"
    assert adapter.SetGenEnumValue("PixelFormat", "Mono16").IsOK()
    assert adapter.GetGenStringValue("DeviceModelName", text).IsOK() and str(text) == "Event Source"
    # Registers and memory.
    result, value = adapter.ReadRegister(0x30000000)
    assert result.IsOK() and value == 64
    assert adapter.WriteRegister(0x30000000, 48).IsOK() and adapter.ReadRegister(0x30000000)[1] == 48
    assert adapter.ReadRegister(0x10000)[1] is None
    memory = np.zeros(16, np.uint8)
    pointer = hooks.make_pointer("_p_unsigned_char", memory.ctypes.data)
    assert adapter.ReadMemory(pointer, 0x0048, 16).IsOK() and bytes(memory[:8]) == b"Kivo Sim"
    assert adapter.ReadMemory(pointer, 0x0048, -4).GetCode() == m.TQ_INVALID_PARAMETER
    assert adapter.WaitForMessagingChannelIdle(100).IsOK()
    result, unique = adapter.GetUniqueID()
    assert result.IsOK() and type(unique) is str and unique
    # Invalidators and generic sinks: the adapter hears updates and forwards device events.
    assert adapter.RegisterGenInvalidator("Width").IsOK()
    assert adapter.RegisterGenInvalidator("Width").GetCode() == m.TQ_STATE_ERROR
    assert adapter.UnregisterGenInvalidator("Width").IsOK()
    generic = hooks.generic_sink()
    assert adapter.RegisterEventSink(generic).IsOK() and device.RegisterEventSink(adapter).IsOK()
    assert hooks.soft_device_fire_event(handle, 0x9005, b"\x05\x06\x07\x08", 3, 0) == 0
    assert until(lambda: hooks.generic_sink_events(generic))
    event = hooks.generic_sink_events(generic)[0]
    assert event[:3] == (0x9005, 0, 3) and event[4] == b"\x05\x06\x07\x08"
    assert device.UnregisterEventSink(adapter).IsOK() and adapter.UnregisterEventSink(generic).IsOK()
    hooks.free_generic_sink(generic)


def test_adapter_messages(m, k, connected):
    handle, device = connected
    adapter = k.TqDeviceAdapter(device)
    raises(TypeError, arg("TqDeviceAdapter_IsConnected", 1, "TqDeviceAdapter *"), m.TqDeviceAdapter_IsConnected,
           None)
    raises(TypeError, arg("new_TqDeviceAdapter", 1, "TqDevice *"), m.new_TqDeviceAdapter, None)
    raises(TypeError, "invalid null reference " + arg("TqDeviceAdapter_GetGenIntegerValue", 3, "int64_t &"),
           m.TqDeviceAdapter_GetGenIntegerValue, adapter, "Width", None)
    raises(TypeError, arg("TqDeviceAdapter_GetGenIntegerValue", 3, "int64_t &"),
           m.TqDeviceAdapter_GetGenIntegerValue, adapter, "Width", 5)
    raises(TypeError, arg("TqDeviceAdapter_GetGenEnumValue", 3, "TqString &"), m.TqDeviceAdapter_GetGenEnumValue,
           adapter, "PixelFormat", "x")
    raises(TypeError, arg("TqDeviceAdapter_SetGenBooleanValue", 3, "bool"), m.TqDeviceAdapter_SetGenBooleanValue,
           adapter, "AcquisitionFrameRateEnable", 1)
    raises(OverflowError, arg("TqDeviceAdapter_ReadRegister", 2, "int64_t"), m.TqDeviceAdapter_ReadRegister, adapter,
           2 ** 63)
    raises(TypeError, arg("TqDeviceAdapter_ReadRegister", 2, "int64_t"), m.TqDeviceAdapter_ReadRegister, adapter,
           1.0)
    raises(TypeError, arg("TqDeviceAdapter_ReadMemory", 2, "uint8_t *"), m.TqDeviceAdapter_ReadMemory, adapter,
           None, 0, 4)
    raises(TypeError, arg("TqDeviceAdapter_SetGenRegisterData", 3, "uint8_t const *"),
           m.TqDeviceAdapter_SetGenRegisterData, adapter, "Width", np.zeros(4, np.uint8), 4)
    raises(TypeError, arg("TqDeviceAdapter_RegisterEventSink", 2, "ITqDeviceEventSink *"),
           m.TqDeviceAdapter_RegisterEventSink, adapter, k.TqDeviceEventSink())
    raises(TypeError, "Argument 2: failed to create TqString from Python string",
           m.TqDeviceAdapter_IsGenReadable, adapter, None)
    raises(TypeError, "Argument 3: failed to create TqString from Python string",
           m.TqDeviceAdapter_IsGenEnumEntryAvailable, adapter, "PixelFormat", 3)
    assert m.TqDeviceAdapter_RegisterEventSink(adapter, None).GetCode() == m.TQ_INVALID_PARAMETER
    # An adapter is accepted as a device event sink.
    assert device.RegisterEventSink(adapter).IsOK() and device.UnregisterEventSink(adapter).IsOK()
