"""The software device Python creates: its states and refusals, the conversions of its arguments,
the twin functions of the interface and the class, its GenICam XML read by our node map and by
aravis, discovery and connection to it, and a device still running when the interpreter exits."""

import gc
import re
import subprocess
import textwrap
import xml.etree.ElementTree as ET

import pytest

from conftest import arg, clean_environment, raises, run_python, until

LO = "00:00:00:00:00:00"
TEXT_ERROR = "Argument 2: failed to create TqString from Python string"
NOT_SUPPORTED, STATE_ERROR, INVALID = 26, 28, 16385


@pytest.fixture
def device(k):
    """A new software device, stopped (if it was started) after the test."""
    made = k.TqSoftDeviceGEV()
    yield made
    made.Stop()


def code(result):
    return result.GetCode()


def address_of(hooks, device):
    """The device's current IP address as text, read from its bootstrap register 0x0024."""
    status, value = hooks.soft_device_read(hooks.soft_device_of(device), 0x0024)
    assert status == 0
    return ".".join(str((value >> shift) & 0xFF) for shift in (24, 16, 8, 0))


def test_states_and_refusals(m, k, device):
    # Created: no interface, no description, no Stop.
    assert [device.GetInfo(), device.GetRegisterMap(), device.GetStatistics(), device.GetMessagingChannel()] == [None] * 4
    result, text = device.GetGenICamXMLFile()
    assert (code(result), text) == (STATE_ERROR, None)
    assert code(device.Stop()) == STATE_ERROR
    assert code(device.AddStream(None)) == INVALID
    assert code(device.RegisterEventSink(None)) == INVALID
    assert code(device.UnregisterEventSink(None)) == INVALID
    for count, expected in [(True, 0), (0, 0), (256, 0), (257, INVALID)]:
        assert code(device.SetUserSetCount(count)) == expected, count
    assert code(device.SetTCPTransportEnabled(True)) == 0 and code(device.SetRTPProtocolEnabled(False)) == 0
    assert code(device.SetStreamTimestamping(False)) == 0 and code(device.SetUserSetNotify(None)) == 0
    assert code(device.SetActionHandler(None)) == 0
    assert code(device.Start("no address")) == INVALID
    assert code(device.Start("02:00:00:00:00:01")) == INVALID   # no interface of that address
    # Running: the interfaces, the description; no second Start, no new streams.
    assert code(device.Start(LO)) == 0
    first, second = device.GetInfo(), device.GetInfo()
    assert first is not None and first is not second and first.this == second.this
    assert all(x is not None for x in (device.GetRegisterMap(), device.GetStatistics(), device.GetMessagingChannel()))
    result, text = device.GetGenICamXMLFile()
    assert code(result) == 0 and type(text) is str and text.startswith("<?xml")
    assert code(device.Start(LO)) == STATE_ERROR
    assert code(device.AddStream(None)) in (INVALID, STATE_ERROR)
    assert code(device.SetUserSetCount(1)) == STATE_ERROR
    # Stopped: like created, but the description stays.
    assert code(device.Stop()) == 0 and code(device.Stop()) == STATE_ERROR
    assert device.GetInfo() is None and device.GetStatistics() is None
    assert code(device.GetGenICamXMLFile()[0]) == 0


def test_argument_conversions(m, k, device):
    for func, message in [
        (m.TqSoftDeviceGEV_SetUserSetCount, arg("TqSoftDeviceGEV_SetUserSetCount", 2, "uint32_t")),
        (m.ITqSoftDeviceGEV_SetUserSetCount, arg("ITqSoftDeviceGEV_SetUserSetCount", 2, "uint32_t")),
    ]:
        raises(OverflowError, message, func, device, -1)
        raises(OverflowError, message, func, device, 2**32)
        raises(TypeError, message, func, device, 1.0)
    raises(TypeError, arg("TqSoftDeviceGEV_SetTCPTransportEnabled", 2, "bool"), m.TqSoftDeviceGEV_SetTCPTransportEnabled,
           device, 1)
    raises(TypeError, arg("TqSoftDeviceGEV_SetStreamTimestamping", 2, "bool"), m.TqSoftDeviceGEV_SetStreamTimestamping,
           device, None)
    for value in (None, 12):
        raises(TypeError, TEXT_ERROR, m.TqSoftDeviceGEV_Start, device, value)
        raises(TypeError, TEXT_ERROR, m.ITqSoftDeviceGEV_Start, device, value)
    raises(TypeError, arg("TqSoftDeviceGEV_AddStream", 2, "ITqStreamingChannelSource *"), m.TqSoftDeviceGEV_AddStream,
           device, device)
    raises(TypeError, arg("ITqSoftDeviceGEV_RegisterEventSink", 2, "ITqSoftDeviceGEVEventSink *"),
           m.ITqSoftDeviceGEV_RegisterEventSink, device, 3)
    raises(TypeError, arg("TqSoftDeviceGEV_SetActionHandler", 2, "TqVirtualDeviceLib::IActionHandler *"),
           m.TqSoftDeviceGEV_SetActionHandler, device, device)
    raises(TypeError, "ITqSoftDeviceGEV_AddStream expected 2 arguments, got 1", m.ITqSoftDeviceGEV_AddStream, device)
    raises(TypeError, arg("ITqSoftDeviceGEV_GetGenICamXMLFile", 1, "ITqSoftDeviceGEV const *"),
           m.ITqSoftDeviceGEV_GetGenICamXMLFile, None)
    raises(TypeError, arg("TqSoftDeviceGEV_GetGenICamXMLFile", 1, "TqSoftDeviceGEV const *"),
           m.TqSoftDeviceGEV_GetGenICamXMLFile, 3)
    assert m.delete_TqSoftDeviceGEV(None) is None and m.delete_ITqSoftDeviceGEV(None) is None
    # GetGenICamXMLFile gives a tuple, never a list.
    assert type(m.ITqSoftDeviceGEV_GetGenICamXMLFile(device)) is tuple


def test_the_interface_and_the_class(m, k, hooks, device):
    # A TqSoftDeviceGEV proxy stands for the interface; the interface's proxy (a callback's) does not stand
    # for the class.
    assert code(m.ITqSoftDeviceGEV_SetUserSetCount(device, 3)) == 0
    interface = hooks.make_pointer("_p_ITqSoftDeviceGEV", int(device.this))
    assert code(m.ITqSoftDeviceGEV_SetUserSetCount(interface, 2)) == 0
    raises(TypeError, arg("TqSoftDeviceGEV_Stop", 1, "TqSoftDeviceGEV *"), m.TqSoftDeviceGEV_Stop, interface)
    raises(TypeError, arg("delete_TqSoftDeviceGEV", 1, "TqSoftDeviceGEV *"), m.delete_TqSoftDeviceGEV, interface)
    assert type(device) is k.TqSoftDeviceGEV and issubclass(k.TqSoftDeviceGEV, k.ITqSoftDeviceGEV)
    assert device.this.own()


def test_aravis_and_our_discovery_see_the_device(m, k, hooks, device):
    assert code(device.Start(LO)) == 0
    ip = address_of(hooks, device)
    text = device.GetGenICamXMLFile()[1]
    ET.fromstring(text.encode())   # well-formed
    # Our node map reads it from the device like any other device's.
    system = k.TqSystem()
    system.SetDetectionTimeout(500)
    assert system.Find().IsOK()
    found = [system.GetDeviceInfo(i) for i in range(system.GetDeviceCount())]
    assert any(str(info.GetConnectionID()) == ip for info in found)
    result, connected = k.TqDevice.CreateAndConnect(ip)
    assert result.IsOK(), str(result.GetDescription())
    try:
        model = connected.GetParameters().GetStringValue("DeviceModelName")[1]
        assert model == device.GetInfo().GetModelName()
    finally:
        k.TqDevice.Free(connected)
    env = clean_environment()
    features = subprocess.run(["arv-tool-0.8", "-a", ip, "features"], capture_output=True, text=True, env=env,
                              timeout=60)
    assert features.returncode == 0, features.stderr
    for name in ("Root", "DeviceControl", "DeviceModelName"):
        assert re.search(r"\b%s\b" % name, features.stdout), name
    control = subprocess.run(["arv-tool-0.8", "-a", ip, "control", "DeviceModelName"], capture_output=True, text=True,
                             env=env, timeout=60)
    assert control.returncode == 0 and model in control.stdout, control.stdout + control.stderr
    assert code(device.Stop()) == 0
    gone = subprocess.run(["arv-tool-0.8", "-a", ip, "control", "DeviceModelName"], capture_output=True, text=True,
                          env=env, timeout=60)
    assert model not in gone.stdout


@pytest.mark.parametrize("companion", [False, True])
def test_a_device_running_at_exit(companion, tmp_path):
    if companion:
        # Its sink hears the device stop while Python still runs: the module stops it when
        # finalisation begins.
        code_text = """
            import kivo_python64 as k
            class Sink(k.ITqSoftDeviceGEVEventSink):
                def OnControlChannelStop(self, device):
                    with open(%r, "w") as out:
                        out.write("stopped")
            sink = Sink()
            device = k.TqSoftDeviceGEV()
            assert device.RegisterEventSink(sink).IsOK()
            assert device.Start("00:00:00:00:00:00").IsOK()
            """ % str(tmp_path / "heard")
    else:
        # Flat functions alone (the results' class registered, so that they are freed).
        code_text = """
            import _kivo_python64 as m
            m.TqResult_swigregister(type("TqResult", (), {"__swig_destroy__": m.delete_TqResult}))
            device = m.new_TqSoftDeviceGEV()
            assert m.TqResult_GetCode(m.TqSoftDeviceGEV_Start(device, "00:00:00:00:00:00")) == 0
            """
    proc = run_python(textwrap.dedent(code_text), timeout=60)
    assert (proc.returncode, proc.stderr) == (0, "")
    if companion:
        assert (tmp_path / "heard").read_text() == "stopped"


def test_a_stop_at_exit_that_throws_is_reported_and_the_others_still_stop(tmp_path):
    code_text = """
        import _kivo_testhooks as hooks
        import kivo_python64 as k
        class Sink(k.ITqSoftDeviceGEVEventSink):
            def __init__(self, name):
                super().__init__()
                self.name = name
            def OnControlChannelStop(self, device):
                with open(%r, "a") as out:
                    out.write(self.name + "\\n")
        sinks = [Sink("first"), Sink("second")]
        devices = [k.TqSoftDeviceGEV(), k.TqSoftDeviceGEV()]
        for device, sink in zip(devices, sinks):
            assert device.RegisterEventSink(sink).IsOK()
            assert device.Start("00:00:00:00:00:00").IsOK()
        hooks.soft_device_fail_stop(devices[0], "the SDK failed: stopping")
        print("ok")
        """ % str(tmp_path / "heard")
    proc = run_python(textwrap.dedent(code_text), timeout=60)
    # The first stop at exit threw: it is reported as any call's exception is, the process ends as it
    # would have, and the second device still stopped while Python ran (its sink heard it); the first
    # stopped when it was destroyed, its callbacks refused by then.
    assert (proc.stdout, proc.returncode) == ("ok\n", 0), proc.stderr
    assert proc.stderr == ("Exception ignored in: 'the stop of a running TqSoftDeviceGEV at exit'\n"
                           "RuntimeError: the SDK failed: stopping\n")
    assert (tmp_path / "heard").read_text() == "second\n"


def test_a_python_sink_hears_the_start_and_a_controller(m, k, hooks, device):
    heard = []

    class Sink(k.ITqSoftDeviceGEVEventSink):
        def OnCreateCustomRegisters(self, dev, factory):
            heard.append(("registers", type(dev), type(factory).__name__))

        def OnCreateCustomGenApiFeatures(self, dev, factory):
            heard.append(("features", type(dev), type(factory).__name__))

        def OnControlChannelStart(self, dev, mac, ip, mask, gateway, port):
            heard.append(("start", str(mac), str(ip), str(mask), str(gateway), port))

        def OnApplicationConnect(self, dev, ip, port, access):
            heard.append(("connect", type(ip).__name__, str(ip), access, dev.Stop().GetCode()))

        def OnApplicationDisconnect(self, dev):
            heard.append(("disconnect",))

        def OnControlChannelStop(self, dev):
            heard.append(("stop",))

    sink = Sink()
    assert device.RegisterEventSink(sink).IsOK()
    assert device.Start(LO).IsOK()
    ip = address_of(hooks, device)
    assert heard[0] == ("registers", k.ITqSoftDeviceGEV, "ITqRegisterFactory")
    assert heard[1][:2] == ("features", k.ITqSoftDeviceGEV)
    assert heard[2] == ("start", "00.00.00.00.00.00", ip, "255.0.0.0", "0.0.0.0", 3956)
    # A controller connects: the sink hears it on the device's thread, and a Stop from there is refused.
    result, connected = k.TqDevice.CreateAndConnect(ip)
    assert result.IsOK()
    k.TqDevice.Free(connected)
    assert until(lambda: ("disconnect",) in heard)
    connect = [h for h in heard if h[0] == "connect"][0]
    assert connect[1:3] == ("TqString", "127.0.0.1") and connect[3] == m.TqAccessControl and connect[4] == STATE_ERROR
    # Unregistered and gone, the sink is not told of the stop.
    assert device.UnregisterEventSink(sink).IsOK()
    del sink
    gc.collect()
    assert device.Stop().IsOK() and ("stop",) not in heard


def test_a_failed_start_leaves_its_description(m, k, device):
    """Once Start was called the description is there, whether the start succeeded or failed: a start
    that failed before it described the device leaves the device without its streams."""
    assert code(device.GetGenICamXMLFile()[0]) == STATE_ERROR   # never started
    assert code(device.Start("not a MAC address")) == INVALID
    result, text = device.GetGenICamXMLFile()
    assert code(result) == 0 and text.startswith("<?xml") and 'Name="DeviceControl"' in text
    assert 'Name="Width"' not in text
