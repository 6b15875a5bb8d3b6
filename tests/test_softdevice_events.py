"""What a software device tells its event sinks and its user-set notification, from real causes: a
raw GVCP controller taking and releasing control, missing its heartbeat, forcing the address and
resetting the device, aravis reading features and saving a user set; the user sets end to end (their
store, the default set at restart, an unwritable store, a notification that refuses); the two
directors' texts, reports, references and method cache; and an unregistration while a sink sleeps
in Python on the device's thread."""

import gc
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import arg, clean_environment, raises, run_python, until
from gvcp_client import ACCESS_DENIED, CCP, FEATURES, HEARTBEAT, SUCCESS, WIDTH, Client, mac_of

LO = "00:00:00:00:00:00"
ERROR = 0x8FFF
OFFSET_X = FEATURES + 0x08
DEVICE_RESET = FEATURES + 0x104
USER_SETS = 0x32001000
SELECTOR, LOAD, SAVE, DEFAULT, FEATURE_SELECTOR, FEATURE_ENABLE = (USER_SETS + 4 * n for n in range(6))


def recording_sink(k, heard):
    """An event sink that appends (notification, arguments..., whether on the main thread) to heard."""
    main = threading.main_thread()

    class Sink(k.ITqSoftDeviceGEVEventSink):
        def note(self, *what):
            heard.append(what + (threading.current_thread() is main,))

        def OnControlChannelStart(self, dev, mac, ip, mask, gateway, port):
            self.note("start", str(mac), str(ip), str(mask), str(gateway), port)

        def OnControlChannelStop(self, dev):
            self.note("stop")

        def OnApplicationConnect(self, dev, ip, port, access):
            self.note("connect", str(ip), port, access)

        def OnApplicationDisconnect(self, dev):
            self.note("disconnect")

        def OnDeviceResetNetwork(self, dev):
            self.note("network")

        def OnDeviceResetFull(self, dev):
            self.note("reset")

    return Sink()


def recording_notify(k, heard, answers=None):
    """A user-set notification that appends (state, set) to heard and answers answers[state] (0)."""
    class Notify(k.ITqUserSetNotify):
        def UserSetStateNotify(self, state, index):
            heard.append((state, index))
            answer = (answers or {}).get(state, 0)
            if isinstance(answer, Exception):
                raise answer
            return answer

    return Notify()


@pytest.fixture
def store(tmp_path, monkeypatch):
    """The user-set store in a folder of the test's own."""
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path))
    return tmp_path / "kivo" / "usersets"


@pytest.fixture
def source(hooks):
    """A recording stream source: 640 x 480 Mono8 of a 1024 x 768 sensor."""
    handle = hooks.soft_recorder("source")
    yield hooks.soft_recorder_proxy(handle)
    hooks.soft_recorder_free(handle)


@pytest.fixture
def devices(k, source):
    """Makes software devices; each is stopped after the test (before the source goes)."""
    made = []

    def make(count=0, stream=None):
        device = k.TqSoftDeviceGEV()
        assert device.SetUserSetCount(count).IsOK()
        if stream is not None:
            assert device.AddStream(stream).IsOK()
        made.append(device)
        return device

    yield make
    for device in made:
        device.Stop()


def address_of(hooks, device):
    status, value = hooks.soft_device_read(hooks.soft_device_of(device), 0x0024)
    assert status == 0
    return socket.inet_ntoa(value.to_bytes(4, "big"))


def controller(ip):
    """A raw controller holding control (with a heartbeat timeout that a slow machine never misses)."""
    client = Client(ip, timeout=5.0)
    assert client.write_reg(CCP, 2) == SUCCESS and client.write_reg(HEARTBEAT, 60000) == SUCCESS
    return client


# ---- real causes ----

def test_each_cause_is_told_once_with_its_arguments_on_the_device_thread(k, m, hooks, devices):
    heard = []
    device = devices()
    sink = recording_sink(k, heard)
    assert device.RegisterEventSink(sink).IsOK()
    assert device.Start(LO).IsOK()
    ip = address_of(hooks, device)
    assert heard == [("start", "00.00.00.00.00.00", ip, "255.0.0.0", "0.0.0.0", 3956, True)]
    client = Client(ip, timeout=5.0)
    port = client.sock.getsockname()[1]
    try:
        # Control, released; exclusive access, then a reset by that controller.
        assert client.write_reg(CCP, 2) == SUCCESS
        assert client.write_reg(CCP, 0) == SUCCESS
        assert client.write_reg(CCP, 1) == SUCCESS
        assert client.write_reg(DEVICE_RESET, 1) == SUCCESS
        assert until(lambda: len(heard) == 6)
        assert heard[1:] == [("connect", ip, port, m.TqAccessControl, False), ("disconnect", False),
                             ("connect", ip, port, m.TqAccessExclusive, False), ("disconnect", False),
                             ("reset", False)]
        # A switch-over: the old controller is disconnected before the new one connects.
        other = Client(ip, timeout=5.0)
        try:
            assert client.write_reg(CCP, 0x4B490006) == SUCCESS
            assert other.write_reg(CCP, 0x4B490002) == SUCCESS
            assert other.write_reg(CCP, 0) == SUCCESS
            assert until(lambda: len(heard) == 10)
            assert heard[6:] == [("connect", ip, port, m.TqAccessControl, False), ("disconnect", False),
                                 ("connect", ip, other.sock.getsockname()[1], m.TqAccessControl, False),
                                 ("disconnect", False)]
        finally:
            other.close()
        # A controller that stops its heartbeat loses control after 500 ms.
        assert client.write_reg(CCP, 2) == SUCCESS
        assert client.write_reg(HEARTBEAT, 500) == SUCCESS
        assert until(lambda: len(heard) == 12)
        assert heard[10:] == [("connect", ip, port, m.TqAccessControl, False), ("disconnect", False)]
        assert device.GetStatistics().GetHeartbeatFailedCount() == 1
        # FORCEIP to another device's MAC moves nothing; to this one's, the device moves and says so.
        [(_, payload)] = client.discover()
        with pytest.raises(socket.timeout):
            Client(ip, timeout=0.3).force_ip("02:00:00:00:00:01", "127.0.0.77")
        status, _, _, answered = client.force_ip(mac_of(payload), "127.0.0.77")
        assert (status, answered[0]) == (SUCCESS, "127.0.0.77")
        assert until(lambda: len(heard) == 13)
        assert heard[12] == ("network", False)
    finally:
        client.close()
    assert device.Stop().IsOK()
    assert heard[13:] == [("stop", True)]


def test_a_sink_that_raises_is_reported_and_the_device_carries_on(k, m, hooks, devices, capfd):
    heard = []

    class Raises(k.ITqSoftDeviceGEVEventSink):
        def OnApplicationConnect(self, dev, ip, port, access):
            raise ValueError("no thanks")

    device = devices()
    raising, later = Raises(), recording_sink(k, heard)
    plain = m.new_ITqSoftDeviceGEVEventSink(None)   # its notifications do nothing
    for sink in (plain, raising, later):
        assert device.RegisterEventSink(sink).IsOK()
    assert device.Start(LO).IsOK()
    client = controller(address_of(hooks, device))
    try:
        assert client.read_reg(CCP) == 2   # the next command is answered
        assert until(lambda: any(h[0] == "connect" for h in heard))   # the sink after it is told
    finally:
        client.close()
    assert capfd.readouterr().out == "In method 'OnApplicationConnect': ValueErrorno thanks\n"
    assert device.Stop().IsOK() and device.UnregisterEventSink(plain).IsOK()
    m.delete_ITqSoftDeviceGEVEventSink(plain)


def test_aravis_connects_and_disconnects(k, m, hooks, devices):
    heard = []
    device = devices()
    sink = recording_sink(k, heard)
    assert device.RegisterEventSink(sink).IsOK() and device.Start(LO).IsOK()
    ip = address_of(hooks, device)
    tool = subprocess.run(["arv-tool-0.8", "-a", ip, "features"], capture_output=True, text=True, timeout=60,
                          env=clean_environment())
    assert tool.returncode == 0 and "UserSetSelector" in tool.stdout
    assert until(lambda: len(heard) == 3)
    connect = heard[1]
    assert connect[:2] == ("connect", "127.0.0.1") and connect[3] == m.TqAccessControl
    assert heard[2] == ("disconnect", False)


# ---- user sets ----

def set_file(store, number):
    [folder] = list(store.iterdir())
    return folder / ("UserSet%d.txt" % number)


def test_save_change_load_and_the_store(k, hooks, devices, source, store):
    heard = []
    device = devices(2, source)
    notify = recording_notify(k, heard)
    assert device.SetUserSetNotify(notify).IsOK() and device.Start(LO).IsOK()
    assert heard == []   # Default is loaded at start: nothing to tell
    client = controller(address_of(hooks, device))
    try:
        assert client.write_reg(SELECTOR, 1) == SUCCESS
        assert client.write_reg(SAVE, 1) == SUCCESS
        assert heard == [(0, 1), (1, 1)]
        stored = set_file(store, 1).read_text().splitlines()
        assert stored[0].startswith("#") and "Width 0 640" in stored and "OffsetX 0 0" in stored
        # A narrower image further right: loading must shrink the offset before the width grows.
        assert client.write_reg(WIDTH, 320) == SUCCESS and client.write_reg(OFFSET_X, 600) == SUCCESS
        assert client.write_reg(LOAD, 1) == SUCCESS
        assert heard[2:] == [(2, 1), (3, 1)]
        assert (client.read_reg(WIDTH), client.read_reg(OFFSET_X)) == (640, 0)
        # Set 0 is the start's image; it is never saved; set 3 does not exist; set 2 was never saved.
        assert client.write_reg(WIDTH, 100) == SUCCESS
        assert client.write_reg(SELECTOR, 0) == SUCCESS and client.write_reg(LOAD, 1) == SUCCESS
        assert client.read_reg(WIDTH) == 640
        assert client.write_reg(SAVE, 1) == ACCESS_DENIED
        assert client.write_reg(SELECTOR, 3) != SUCCESS
        assert client.write_reg(SELECTOR, 2) == SUCCESS and client.write_reg(LOAD, 1) == ERROR
        assert heard[4:] == [(2, 0), (3, 0), (2, 2)]
        # A feature a save is told to leave out is not stored.
        assert client.write_reg(FEATURE_SELECTOR, 0) == SUCCESS and client.write_reg(FEATURE_ENABLE, 0) == SUCCESS
        assert client.read_reg(FEATURE_ENABLE) == 0
        assert client.write_reg(SAVE, 1) == SUCCESS
        assert "Width" not in set_file(store, 2).read_text() and "Height 0 480" in set_file(store, 2).read_text()
    finally:
        client.close()
    assert sorted(p.name for p in set_file(store, 1).parent.iterdir()) == ["UserSet1.txt", "UserSet2.txt"]


def test_the_default_set_is_loaded_at_restart_and_a_reset_goes_back_to_it(k, hooks, devices, source, store):
    heard, answers = [], {}
    device = devices(2, source)
    notify = recording_notify(k, heard, answers)
    assert device.SetUserSetNotify(notify).IsOK() and device.Start(LO).IsOK()
    client = controller(address_of(hooks, device))
    try:
        assert client.write_reg(WIDTH, 320) == SUCCESS
        for address, value in ((SELECTOR, 1), (SAVE, 1), (DEFAULT, 1)):
            assert client.write_reg(address, value) == SUCCESS
        assert client.read_reg(DEFAULT) == 1
    finally:
        client.close()
    assert set_file(store, 1).with_name("UserSetDefault.txt").read_text() == "UserSet1\n"
    assert device.Stop().IsOK() and device.Start(LO).IsOK()
    assert heard == [(0, 1), (1, 1), (2, 1), (3, 1)]
    client = controller(address_of(hooks, device))
    try:
        assert (client.read_reg(WIDTH), client.read_reg(DEFAULT)) == (320, 1)
        assert client.write_reg(WIDTH, 100) == SUCCESS and client.write_reg(SELECTOR, 2) == SUCCESS
        assert client.write_reg(DEVICE_RESET, 1) == SUCCESS
    finally:
        client.close()
    client = controller(address_of(hooks, device))
    try:
        assert (client.read_reg(WIDTH), client.read_reg(SELECTOR)) == (320, 0)
        assert client.write_reg(WIDTH, 200) == SUCCESS   # the source keeps it
    finally:
        client.close()
    # A notification that refuses the load at start leaves the start's image (the source's own
    # format, not UserSet1's 320); the device starts.
    answers[2] = -1
    assert device.Stop().IsOK() and device.Start(LO).IsOK()
    assert heard[4:] == [(2, 1)]
    client = controller(address_of(hooks, device))
    try:
        assert client.read_reg(WIDTH) == 200
    finally:
        client.close()


def test_an_unwritable_store_and_a_refusing_notification(k, hooks, devices, source, store, tmp_path, monkeypatch, capfd):
    answers = {}
    heard = []
    device = devices(1, source)
    notify = recording_notify(k, heard, answers)
    assert device.SetUserSetNotify(notify).IsOK() and device.Start(LO).IsOK()
    client = controller(address_of(hooks, device))
    try:
        assert client.write_reg(SELECTOR, 1) == SUCCESS
        # The data home is a file: nothing can be written, the save fails and is not completed.
        (tmp_path / "file").write_text("")
        monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "file"))
        assert client.write_reg(SAVE, 1) == ERROR and client.write_reg(DEFAULT, 1) == ERROR
        assert heard == [(0, 1)] and client.read_reg(DEFAULT) == 0
        monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path))
        # The set's file cannot be replaced (a folder holds its name): nothing is left half-written.
        folder = store / str(device.GetInfo().GetSerialNumber())
        (folder / "UserSet1.txt").mkdir(parents=True)
        del heard[:]
        assert client.write_reg(SAVE, 1) == ERROR and heard == [(0, 1)]
        assert [p.name for p in folder.iterdir()] == ["UserSet1.txt"]
        (folder / "UserSet1.txt").rmdir()
        # Answers at a start state: anything but OK aborts; at a completed state they are ignored.
        for answer, status in ((-1, ERROR), (k.TqResult(5), ERROR), (None, ERROR), ("x", ERROR), (2**31, ERROR),
                               (2**40, ERROR), (ValueError("refused"), ERROR), (k.TqResult(0), SUCCESS),
                               (0, SUCCESS)):
            del heard[:]
            answers[0] = answer
            answers[1] = -1
            assert client.write_reg(SAVE, 1) == status, answer
            assert heard == ([(0, 1)] if status else [(0, 1), (1, 1)])
        # A refused load changes nothing.
        answers[2] = 1
        assert client.write_reg(WIDTH, 100) == SUCCESS and client.write_reg(LOAD, 1) == ERROR
        assert client.read_reg(WIDTH) == 100
        assert client.read_reg(SELECTOR) == 1   # and the device still answers
    finally:
        client.close()
    # A notification that raises is reported; an answer of the wrong type is not.
    assert capfd.readouterr().out == "In method 'UserSetStateNotify': ValueErrorrefused\n"


GAIN = 0x50000


def test_registers_whose_sinks_persist_them_travel_with_the_set(k, hooks, devices, source, store):
    """A custom register and the device's own Width with Python sinks that persist them through the
    store: a controller's save puts their values in the set file (Width not as a raw feature), a
    change and a load bring them back through the sinks, a sink's refusal fails the command."""
    calls, answers = [], {}

    class Persisting(k.ITqRegisterEventSink):
        def __init__(self, suffixes):
            super().__init__()
            self.suffixes = suffixes

        def Persist(self, reg, kept):
            calls.append((reg.GetName(), threading.get_ident()))
            answer = answers.get(reg.GetName(), 0)
            if answer:
                return answer
            for suffix in self.suffixes:
                result = kept.Persist(reg, suffix)
                if not result.IsOK():
                    return result
            return 0

    gain_sink, width_sink, plain = Persisting(["_a", " b%"]), Persisting([""]), k.ITqRegisterEventSink()

    class Maker(k.ITqSoftDeviceGEVEventSink):
        def OnCreateCustomRegisters(self, dev, factory):
            factory.AddRegister("Gain", GAIN, 4, k.TqGenAccessModeReadWrite, gain_sink)
            factory.AddRegister("Other", GAIN + 4, 4, k.TqGenAccessModeReadWrite, plain)

    heard = []
    maker, notify = Maker(), recording_notify(k, heard)
    device = devices(1, source)
    assert device.RegisterEventSink(maker).IsOK() and device.SetUserSetNotify(notify).IsOK()
    assert device.Start(LO).IsOK()
    width = device.GetRegisterMap().GetRegisterByAddress(WIDTH)
    assert width.AddEventSink(width_sink).IsOK()
    client = controller(address_of(hooks, device))
    try:
        for address, value in ((GAIN, 7), (GAIN + 4, 3), (WIDTH, 320), (SELECTOR, 1), (SAVE, 1)):
            assert client.write_reg(address, value) == SUCCESS, hex(address)
        assert sorted(name for name, _ in calls) == ["Gain", "Width0"]
        assert all(thread != threading.get_ident() for _, thread in calls)   # the server thread's
        lines = set_file(store, 1).read_text().splitlines()
        assert {"register Gain_a 00000007", "register Gain%20b%25 00000007", "register Width0 00000140",
                "Height 0 480"} <= set(lines)
        assert not any(line.startswith("Width ") or "Other" in line for line in lines)
        # Changed, then loaded: the sinks write the stored values back; a register without a
        # persisting sink keeps its value.
        for address, value in ((GAIN, 9), (GAIN + 4, 4), (WIDTH, 640), (LOAD, 1)):
            assert client.write_reg(address, value) == SUCCESS, hex(address)
        assert [client.read_reg(a) for a in (GAIN, GAIN + 4, WIDTH)] == [7, 4, 320]
        assert width.ReadInt()[1] == 320
        assert heard == [(0, 1), (1, 1), (2, 1), (3, 1)]
        # A sink that refuses fails the save before anything is written, and the load likewise.
        del heard[:]
        answers["Gain"] = 16385
        before = set_file(store, 1).read_text()
        assert client.write_reg(GAIN, 1) == SUCCESS
        assert client.write_reg(SAVE, 1) == ERROR and client.write_reg(LOAD, 1) == ERROR
        assert heard == [(0, 1), (2, 1)] and set_file(store, 1).read_text() == before
        # A sink that does not persist (the default answer) leaves Width to the raw copy.
        answers.clear()
        assert width.RemoveEventSink(width_sink).IsOK() and width.AddEventSink(plain).IsOK()
        assert client.write_reg(SAVE, 1) == SUCCESS
        lines = set_file(store, 1).read_text().splitlines()
        assert "Width 0 320" in lines and "register Gain_a 00000001" in lines
        assert not any(line.startswith("register Width0") for line in lines)
        # A set whose stored value is missing or malformed does not load.
        for broken in ([l for l in lines if not l.startswith("register Gain_a")],
                       [l.replace("register Gain_a 00000001", "register Gain_a 0000001") for l in lines]):
            set_file(store, 1).write_text("\n".join(broken) + "\n")
            assert client.write_reg(GAIN, 5) == SUCCESS and client.write_reg(LOAD, 1) == ERROR
            assert client.read_reg(GAIN) == 5
    finally:
        client.close()
        device.Stop()


TUNE, LUT, KEPT = 0x60000, 0x60010, 0x60020
IMAGE_FORMAT = ["Width", "Height", "OffsetX", "OffsetY", "PixelFormat"]


def streamable_maker(k, tune_sink=None):
    """A sink that makes the registers TuneReg (4 bytes, with tune_sink), LutReg (a 12-byte array) and
    KeptReg, and describes Tune (an Integer) and Lut (a Register) over them as Streamable features,
    Kept as a plain one."""
    class Maker(k.ITqSoftDeviceGEVEventSink):
        def OnCreateCustomRegisters(self, dev, factory):
            rw = k.TqGenAccessModeReadWrite
            assert factory.AddRegister("TuneReg", TUNE, 4, rw, tune_sink).IsOK()
            assert factory.AddByteArray("LutReg", LUT, 12, rw).IsOK()
            assert factory.AddRegister("KeptReg", KEPT, 4, rw).IsOK()

        def OnCreateCustomGenApiFeatures(self, dev, factory):
            registers = dev.GetRegisterMap()
            for name, address, create in (("Tune", TUNE, factory.CreateInteger), ("Lut", LUT, factory.CreateRegister),
                                          ("Kept", KEPT, factory.CreateInteger)):
                factory.SetName(name)
                factory.SetStreamable(name != "Kept")
                assert create(registers.GetRegisterByAddress(address)).IsOK()

    return Maker()


def entry_names(enumeration):
    return [str(enumeration.GetEntryByIndex(i)[1].GetName()[1]) for i in range(enumeration.GetEntriesCount()[1])]


def test_streamable_custom_features_join_the_user_sets(k, hooks, devices, source, store):
    """The application's Streamable features follow the image format in UserSetFeatureSelector; a
    controller's save copies their registers' bytes, a load writes them back through the register's
    write path (its sink's PreWrite sees the value and may refuse it); Default holds their values at
    start; a set file written before these features existed still loads."""
    writes, refuse = [], {}

    class Watch(k.ITqRegisterEventSink):
        def PreWrite(self, reg):
            writes.append(("PreWrite", reg.ReadInt()[1], threading.current_thread() is threading.main_thread()))
            return refuse.get("answer", 0)

        def PostWrite(self, reg):
            writes.append(("PostWrite", reg.ReadInt()[1]))

    heard = []
    watch = Watch()
    maker, notify = streamable_maker(k, watch), recording_notify(k, heard)
    device = devices(2, source)
    assert device.RegisterEventSink(maker).IsOK() and device.SetUserSetNotify(notify).IsOK()
    assert device.Start(LO).IsOK()
    reg = device.GetRegisterMap().GetRegisterByAddress
    lut = bytes(range(1, 13))
    result, connected = k.TqDevice.CreateAndConnect(address_of(hooks, device))
    assert result.IsOK(), str(result.GetDescription())
    try:
        params = connected.GetParameters()
        features = params.Get("UserSetFeatureSelector")
        assert entry_names(features) == IMAGE_FORMAT + ["Tune", "Lut"]
        assert params.Get("Tune").IsStreamable()[1] and not params.Get("Kept").IsStreamable()[1]
        # Saved: both features' registers, the plain feature's not.
        for name, value in (("Tune", 7), ("Kept", 3), ("Width", 320)):
            assert params.SetIntegerValue(name, value).IsOK(), name
        assert reg(LUT).Write(lut).IsOK()
        assert params.SetEnumValue("UserSetSelector", 1).IsOK() and params.ExecuteCommand("UserSetSave").IsOK()
        lines = set_file(store, 1).read_text().splitlines()
        assert {"Width 0 320", "custom Tune device 00000007", "custom Lut device " + lut.hex()} <= set(lines)
        assert not any("Kept" in line for line in lines)
        # Changed, then loaded: back through the register's write path, on the device's thread.
        assert params.SetIntegerValue("Tune", 9).IsOK() and params.SetIntegerValue("Kept", 4).IsOK()
        assert reg(LUT).Write(bytes(12)).IsOK() and params.SetIntegerValue("Width", 640).IsOK()
        del writes[:]
        assert params.ExecuteCommand("UserSetLoad").IsOK()
        assert [params.GetIntegerValue(n)[1] for n in ("Tune", "Kept", "Width")] == [7, 4, 320]
        assert bytes(reg(LUT).ReadBytes(12)[1]) == lut
        assert writes == [("PreWrite", 7, False), ("PostWrite", 7)]
        # A refusing PreWrite fails the load and leaves the register as it was.
        assert params.SetIntegerValue("Tune", 5).IsOK()
        refuse["answer"] = 16385
        assert not params.ExecuteCommand("UserSetLoad").IsOK()
        assert params.GetIntegerValue("Tune")[1] == 5
        refuse.clear()
        # A feature the save is told to leave out is not stored.
        assert params.SetEnumValue("UserSetFeatureSelector", 5).IsOK()
        assert params.SetBooleanValue("UserSetFeatureEnable", False).IsOK()
        assert params.SetEnumValue("UserSetFeatureSelector", 6).IsOK()
        assert params.GetBooleanValue("UserSetFeatureEnable")[1]
        assert params.SetEnumValue("UserSetSelector", 2).IsOK() and params.ExecuteCommand("UserSetSave").IsOK()
        text = set_file(store, 2).read_text()
        assert "custom Lut device" in text and "Tune" not in text
        # Default: the values the start found (Tune 0, Lut zeros).
        assert params.SetEnumValue("UserSetSelector", 0).IsOK() and params.ExecuteCommand("UserSetLoad").IsOK()
        assert params.GetIntegerValue("Tune")[1] == 0 and bytes(reg(LUT).ReadBytes(12)[1]) == bytes(12)
        # A set saved before these features existed loads; one of a feature no longer described is
        # passed over; bytes that do not fit the register fail the load.
        for extra, loads in (("", True), ("custom Gone device 00000001\n", True), ("custom Tune 0 00000001\n", True),
                             ("custom Tune device 0000000001\n", False), ("custom Tune device 0g000001\n", False),
                             ("custom Tune device 00000001\ncustom Tune device 00000002\n", False)):
            set_file(store, 1).write_text("# kivo user set\nWidth 0 256\n" + extra)
            assert params.SetIntegerValue("Width", 640).IsOK() and params.SetIntegerValue("Tune", 6).IsOK()
            assert params.SetEnumValue("UserSetSelector", 1).IsOK()
            assert params.ExecuteCommand("UserSetLoad").IsOK() == loads, extra
            assert params.GetIntegerValue("Tune")[1] == 6, extra
            assert params.GetIntegerValue("Width")[1] == (256 if loads else 640), extra
    finally:
        k.TqDevice.Free(connected)
    assert heard[:4] == [(0, 1), (1, 1), (2, 1), (3, 1)]


def test_streamable_custom_features_of_a_device_without_streams(k, hooks, devices, store):
    """Without stream channels the selector offers the application's features alone, from the first
    of them (aravis lists them and saves and loads Tune); the image format's values are refused."""
    maker = streamable_maker(k)
    device = devices(1)
    assert device.RegisterEventSink(maker).IsOK() and device.Start(LO).IsOK()
    client = controller(address_of(hooks, device))
    try:
        assert client.read_reg(FEATURE_SELECTOR) == 5
        assert client.write_reg(FEATURE_SELECTOR, 0) != SUCCESS and client.write_reg(FEATURE_SELECTOR, 7) != SUCCESS
        for address, value in ((TUNE, 11), (SELECTOR, 1), (SAVE, 1), (TUNE, 12), (LOAD, 1)):
            assert client.write_reg(address, value) == SUCCESS, hex(address)
        assert client.read_reg(TUNE) == 11
        assert set_file(store, 1).read_text().splitlines()[1:] == [
            "custom Tune device 0000000b", "custom Lut device " + "00" * 12]
    finally:
        client.write_reg(CCP, 0)
        client.close()
    if shutil.which("arv-tool-0.8") is None:
        return

    def arv(*args):
        tool = subprocess.run(["arv-tool-0.8", "-a", address_of(hooks, device)] + list(args), capture_output=True,
                              text=True, timeout=60, env=clean_environment())
        assert tool.returncode == 0, tool.stdout + tool.stderr
        return tool.stdout.splitlines()

    listed = arv("features", "UserSetControl")
    selector = listed.index(next(line for line in listed if "'UserSetFeatureSelector'" in line))
    assert {"EnumEntry   : 'Tune'", "EnumEntry   : 'Lut'"} <= {line.strip() for line in listed[selector:]}
    said = arv("control", "UserSetFeatureSelector", "Tune=9", "UserSetSelector=UserSet1", "UserSetSave", "Tune=3",
               "UserSetLoad", "Tune")
    assert said[0] == "UserSetFeatureSelector = Tune" and said[-1].startswith("Tune = 9"), said


def test_our_node_map_drives_the_user_sets(k, hooks, devices, source, store):
    heard = []
    device = devices(2, source)
    notify = recording_notify(k, heard)
    assert device.SetUserSetNotify(notify).IsOK() and device.Start(LO).IsOK()
    result, connected = k.TqDevice.CreateAndConnect(address_of(hooks, device))
    assert result.IsOK(), str(result.GetDescription())
    try:
        params = connected.GetParameters()
        for name in ("Width", "Height", "OffsetX", "OffsetY", "PixelFormat"):
            result, streamable = params.Get(name).IsStreamable()
            assert result.IsOK() and streamable, name
        assert not params.Get("UserSetSelector").IsStreamable()[1]
        entries = params.Get("UserSetSelector")
        assert [str(entries.GetEntryByIndex(i)[1].GetName()[1]) for i in range(entries.GetEntriesCount()[1])] == [
            "Default", "UserSet1", "UserSet2"]
        features = params.Get("UserSetFeatureSelector")
        assert features.GetEntriesCount()[1] == 5
        assert params.SetEnumValue("UserSetSelector", 2).IsOK()
        assert params.ExecuteCommand("UserSetSave").IsOK()
        assert params.SetIntegerValue("Width", 256).IsOK()
        assert params.ExecuteCommand("UserSetLoad").IsOK()
        assert params.GetIntegerValue("Width")[1] == 640
        # Saving Default is refused, and the refusal reaches the application.
        assert params.SetEnumValue("UserSetSelector", 0).IsOK()
        assert not params.ExecuteCommand("UserSetSave").IsOK()
        assert params.SetEnumValue("UserSetDefault", 2).IsOK()
    finally:
        k.TqDevice.Free(connected)
    assert heard == [(0, 2), (1, 2), (2, 2), (3, 2)]
    assert set_file(store, 2).with_name("UserSetDefault.txt").read_text() == "UserSet2\n"


def test_aravis_saves_a_user_set(k, hooks, devices, source, store):
    heard = []
    device = devices(2, source)
    notify = recording_notify(k, heard)
    assert device.SetUserSetNotify(notify).IsOK() and device.Start(LO).IsOK()
    tool = subprocess.run(["arv-tool-0.8", "-a", address_of(hooks, device), "control", "UserSetSelector=UserSet1",
                           "UserSetSave"], capture_output=True, text=True, timeout=60, env=clean_environment())
    assert tool.returncode == 0 and "UserSetSave executed" in tool.stdout
    assert heard == [(0, 1), (1, 1)]
    assert set_file(store, 1).is_file()


# ---- the directors ----

def test_director_texts_up_calls_and_references(k, m):
    raises(RuntimeError, "accessing abstract class or protected constructor", m.new_ITqUserSetNotify, None)
    plain = m.new_ITqSoftDeviceGEVEventSink(None)
    assert m.ITqSoftDeviceGEVEventSink_OnDeviceResetFull(plain, None) is None
    m.delete_ITqSoftDeviceGEVEventSink(plain)

    class Notify(k.ITqUserSetNotify):
        def UserSetStateNotify(self, state, index):
            return 0

    notify = Notify()
    raises(RuntimeError, "SWIG director pure virtual method called ITqUserSetNotify::UserSetStateNotify",
           k.ITqUserSetNotify.UserSetStateNotify, notify, 0, 1)
    up_notify = "ITqUserSetNotify_UserSetStateNotify"
    raises(OverflowError, arg(up_notify, 2, "TqUserSetState"), k.ITqUserSetNotify.UserSetStateNotify, notify, 2**31, 1)
    raises(OverflowError, arg(up_notify, 3, "uint32_t"), k.ITqUserSetNotify.UserSetStateNotify, notify, 0, -1)
    heard = []
    sink = recording_sink(k, heard)
    Sink = k.ITqSoftDeviceGEVEventSink
    assert Sink.OnApplicationConnect(sink, None, "127.0.0.1", 65535, -2**31) is None
    assert Sink.OnControlChannelStart(sink, None, "a", "b", "c", "d", 0) is None
    assert heard == []   # the up-call runs the SDK's own default: Python is not called
    connect, start = "ITqSoftDeviceGEVEventSink_OnApplicationConnect", "ITqSoftDeviceGEVEventSink_OnControlChannelStart"
    raises(OverflowError, arg(connect, 4, "uint16_t"), Sink.OnApplicationConnect, sink, None, "127.0.0.1", 65536, 2)
    raises(OverflowError, arg(connect, 5, "TqAccessType"), Sink.OnApplicationConnect, sink, None, "127.0.0.1", 1, 2**31)
    raises(TypeError, arg(connect, 5, "TqAccessType"), Sink.OnApplicationConnect, sink, None, "127.0.0.1", 1, "x")
    raises(TypeError, "Argument 3: failed to create TqString from Python string", Sink.OnApplicationConnect, sink,
           None, 5, 1, 2)
    raises(TypeError, "Argument 6: failed to create TqString from Python string", Sink.OnControlChannelStart, sink,
           None, "a", "b", "c", 5, 1)
    raises(OverflowError, arg(start, 7, "uint16_t"), Sink.OnControlChannelStart, sink, None, "a", "b", "c", "d", -1)
    for obj, disown, delete in ((notify, m.disown_ITqUserSetNotify, m.delete_ITqUserSetNotify),
                                (sink, m.disown_ITqSoftDeviceGEVEventSink, m.delete_ITqSoftDeviceGEVEventSink)):
        before = sys.getrefcount(obj)
        disown(obj)
        disown(obj)
        assert sys.getrefcount(obj) == before + 1
        delete(obj)   # the director goes, and the reference it held with it
        assert sys.getrefcount(obj) == before


def test_the_notification_method_is_looked_up_once(k, hooks, devices, source, store):
    heard = []
    device = devices(1, source)
    notify = recording_notify(k, heard)
    assert device.SetUserSetNotify(notify).IsOK() and device.Start(LO).IsOK()
    client = controller(address_of(hooks, device))
    try:
        assert client.write_reg(SELECTOR, 1) == SUCCESS and client.write_reg(SAVE, 1) == SUCCESS
        notify.UserSetStateNotify = lambda state, index: -1   # the cache keeps what the first call found
        assert client.write_reg(SAVE, 1) == SUCCESS
        assert heard == [(0, 1), (1, 1)] * 2
        # Replaced, the old notification is told no more.
        assert device.SetUserSetNotify(None).IsOK()
        assert client.write_reg(SAVE, 1) == SUCCESS and len(heard) == 4
    finally:
        client.close()


# ---- unregistration while a sink is in a callback ----

UNREGISTER_WHILE_SLEEPING = """
import gc, os, socket, sys, threading, time
sys.path.insert(0, os.environ["TESTS_DIR"])
import kivo_python64 as k
from gvcp_client import CCP, Client

inside, events = threading.Event(), []

class Sink(k.ITqSoftDeviceGEVEventSink):
    def OnApplicationConnect(self, dev, ip, port, access):
        inside.set()
        time.sleep(0.3)
        events.append("left")

class Notify(k.ITqUserSetNotify):
    def UserSetStateNotify(self, state, index):
        inside.set()
        time.sleep(0.3)
        events.append("left")
        return 0

device = k.TqSoftDeviceGEV()
device.SetUserSetCount(1)
sink, notify = Sink(), Notify()
device.RegisterEventSink(sink)
device.SetUserSetNotify(notify)
assert device.Start("00:00:00:00:00:00").IsOK()
info = device.GetInfo()
client = Client("127.0.0.1", timeout=10)
rounds = ((lambda: client.write_reg(CCP, 2), lambda: device.UnregisterEventSink(sink)),
          (lambda: (client.write_reg(CCP, 2), client.write_reg(0x32001000, 1), client.write_reg(0x32001008, 1)),
           lambda: device.SetUserSetNotify(None)))
for commands, replace in rounds:
    inside.clear()
    del events[:]
    worker = threading.Thread(target=commands)
    worker.start()
    assert inside.wait(30)
    assert replace().IsOK()
    events.append("returned")   # only once the call into the object has left it
    worker.join()
    print(events)
    client.write_reg(CCP, 0)
del sink, notify
gc.collect()
client.write_reg(CCP, 2)   # nothing is left to call
client.write_reg(CCP, 0)

# From inside its own call an object removes itself without waiting for that very call.
class SelfSink(k.ITqSoftDeviceGEVEventSink):
    def OnApplicationConnect(self, dev, ip, port, access):
        events.append(("sink", dev.UnregisterEventSink(self).GetCode()))

class SelfNotify(k.ITqUserSetNotify):
    def UserSetStateNotify(self, state, index):
        events.append(("notify", state, device.SetUserSetNotify(None).GetCode()))
        return 0

del events[:]
sink, notify = SelfSink(), SelfNotify()
device.RegisterEventSink(sink)
device.SetUserSetNotify(notify)
print(client.write_reg(CCP, 2), client.write_reg(0x32001008, 1), client.write_reg(CCP, 0), client.write_reg(CCP, 2))
print(events)
client.close()
print(device.Stop().GetCode())
"""


def test_unregistering_waits_for_the_call_under_way(store):
    here = os.path.dirname(os.path.abspath(__file__))
    proc = run_python(textwrap.dedent(UNREGISTER_WHILE_SLEEPING), env={"TESTS_DIR": here}, timeout=120)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout == ("['left', 'returned']\n['left', 'returned']\n0 0 0 0\n"
                           "[('sink', 0), ('notify', 0, 0)]\n0\n")
