"""The registers of a software device from Python: the application's registers made by the factory in
OnCreateCustomRegisters, their reads and writes (forms, offsets, byte order, the end, contexts) and the
dispatchers' messages; register event sinks in Python on both paths (an ITqRegister call, a controller's
GVCP access on the device's server thread), their order, refusals and reverts; the map's lock; the
factory's rules; a selector register persisted per suffix through the store."""

import math
import shutil
import struct
import subprocess
import threading

import pytest

from conftest import arg, clean_environment, raises, until

try:
    from gvcp_client import Client, READMEM, WRITEMEM, WRITEREG
except ImportError:   # the client still lives with the wire tests
    from test_engine_wire import Client, READMEM, WRITEMEM, WRITEREG

LO = "00:00:00:00:00:00"
OK, INVALID, STATE_ERROR, TIMEOUT, NOT_IMPLEMENTED = 0, 16385, 28, 30, 1540
TEXT_ERROR = "Argument 2: failed to create TqString from Python string"
CCP, CONTROL = 0x0A00, 2
GVCP_SUCCESS, GVCP_WRITE_PROTECT, GVCP_ERROR = 0x0000, 0x8004, 0x8FFF
MY_REG, WIDE, TEXT, FIXED = 0x20000, 0x20004, 0x20010, 0x20020
WRITES = ("PreWrite", "PostWrite")


def code(result):
    return result.GetCode()


def overload_text(func, *prototypes):
    return ("Wrong number or type of arguments for overloaded function '%s'.\n  Possible C/C++ prototypes are:\n" % func
            + "".join("    %s\n" % p for p in prototypes))


class Recorder:
    """What register event sinks heard, in order, with the thread each call ran on."""

    def __init__(self):
        self.calls = []
        self.lock = threading.Lock()

    def note(self, *what):
        with self.lock:
            self.calls.append(what + (threading.get_ident(),))

    def names(self, *kinds):
        """The calls without their threads; only those of kinds when given (a PreWrite reads the
        register, whose read runs the sinks' PreRead and PostRead inside it)."""
        with self.lock:
            return [c[:-1] for c in self.calls if not kinds or c[1] in kinds]


def recording_sink(k, recorder, label, answers=None):
    """A Python sink that notes each call (with the value a PreWrite sees) and answers from answers."""
    answers = answers if answers is not None else {}

    class Sink(k.ITqRegisterEventSink):
        def PreRead(self, reg):
            recorder.note(label, "PreRead", reg.GetName())
            return answers.get("PreRead", OK)

        def PostRead(self, reg):
            recorder.note(label, "PostRead", reg.GetName())

        def PreWrite(self, reg):
            recorder.note(label, "PreWrite", reg.GetName(), reg.ReadInt()[1])
            return answers.get("PreWrite", OK)

        def PostWrite(self, reg):
            recorder.note(label, "PostWrite", reg.GetName())

    return Sink()


class Custom:
    """A running software device whose Python event sink made the application's registers: MyReg
    (4 bytes, read-write, with the sink `first`), Wide (8), Text (16-byte array), Fixed (read-only)."""

    def __init__(self, k, context):
        self.recorder = Recorder()
        self.answers = {}
        self.first = recording_sink(k, self.recorder, "first", self.answers)
        self.context = context
        # What the device's sink keeps: never the device, which keeps its registered sink alive.
        made = self.made = {}
        first = self.first

        class DeviceSink(k.ITqSoftDeviceGEVEventSink):
            def OnCreateCustomRegisters(self, dev, factory):
                made["factory"] = factory
                made["codes"] = [code(r) for r in (
                    factory.AddRegister("MyReg", MY_REG, 4, k.TqGenAccessModeReadWrite, first, context),
                    factory.AddRegister("Wide", WIDE, 8, k.TqGenAccessModeReadWrite),
                    factory.AddByteArray("Text", TEXT, 16, k.TqGenAccessModeReadWrite, None),
                    factory.AddRegister("Fixed", FIXED, 4, k.TqGenAccessModeReadOnly))]

        self.sink = DeviceSink()
        self.device = k.TqSoftDeviceGEV()
        assert self.device.RegisterEventSink(self.sink).IsOK()
        assert self.device.Start(LO).IsOK()
        assert made["codes"] == [OK] * 4
        self.factory = made["factory"]
        self.map = self.device.GetRegisterMap()

    def reg(self, address):
        found = self.map.GetRegisterByAddress(address)
        assert found is not None
        return found


@pytest.fixture
def custom(k):
    made = Custom(k, k.TqResult(OK))
    yield made
    made.device.Stop()


def ip_of(hooks, device):
    status, value = hooks.soft_device_read(hooks.soft_device_of(device), 0x0024)
    assert status == 0
    return ".".join(str((value >> shift) & 0xFF) for shift in (24, 16, 8, 0))


@pytest.fixture
def controller(hooks, custom):
    """A raw GVCP client holding the control privilege of the custom device."""
    client = Client(ip_of(hooks, custom.device), timeout=5.0)
    assert client.write_reg(CCP, CONTROL) == GVCP_SUCCESS
    yield client
    client.write_reg(CCP, 0)
    client.close()


def test_descriptions_reads_writes_and_byte_order(m, k, custom):
    my, wide, text, fixed = (custom.reg(a) for a in (MY_REG, WIDE, TEXT, FIXED))
    assert [(r.GetName(), r.GetAddress(), r.GetLength(), r.IsArrayOfBytes(), r.IsWritable(), r.IsReadable())
            for r in (my, text, fixed)] == [("MyReg", MY_REG, 4, False, True, True),
                                            ("Text", TEXT, 16, True, True, True),
                                            ("Fixed", FIXED, 4, False, False, True)]
    assert custom.map.GetRegisterByAddress(0).GetName() == "Version"   # the device's own are named too
    # Contexts: the address given, as a bare void * object; None without one. An ITqRegister passes as info.
    context = m.ITqRegisterInfo_GetContext(my)
    assert type(context).__name__ == "SwigPyObject" and int(context) == int(custom.context.this)
    assert m.ITqRegisterInfo_GetContext(wide) is None
    # Values are big-endian; offsets count bytes; ints come back unsigned.
    assert code(wide.Write(b"\x01\x02\x03\x04\xff\xff\xff\xff")) == OK
    assert [wide.ReadInt()[1], wide.ReadInt(4)[1], wide.ReadInt(2)[1]] == [0x01020304, 0xFFFFFFFF, 0x0304FFFF]
    assert code(wide.Write(7, 4)) == OK and list(wide.ReadBytes(4, 4)[1]) == [0, 0, 0, 7]
    assert code(wide.Write(True)) == OK and wide.ReadInt()[1] == 1
    assert code(wide.Write(b"\xAA\xBB")) == OK and list(wide.ReadBytes(4)[1]) == [0xAA, 0xBB, 0, 1]
    assert code(my.WriteFloat(1.5)) == OK and my.ReadInt()[1] == struct.unpack(">I", struct.pack(">f", 1.5))[0]
    assert my.ReadFloat()[1] == 1.5
    assert code(my.WriteFloat(float("inf"))) == OK and my.ReadFloat()[1] == math.inf
    assert code(my.WriteFloat(float("nan"))) == OK and math.isnan(my.ReadFloat()[1])
    assert code(wide.WriteDouble(-2.25)) == OK and wide.ReadDouble()[1] == -2.25
    assert bytes(wide.ReadBytes(8)[1]) == struct.pack(">d", -2.25)
    # Text: UTF-8, zero-filled; too long is refused and touches nothing.
    assert code(text.Write("héllo")) == OK and text.ReadString()[1] == "héllo"
    assert bytes(text.ReadBytes(16)[1]) == "héllo".encode() + bytes(10)
    assert code(text.Write("x" * 17)) == INVALID and text.ReadString()[1] == "héllo"
    # Past the end: refused, nothing touched, the read's array zeroed; reads give None for their value.
    assert code(wide.Write(b"\x09" * 4, 6)) == INVALID and code(wide.Write(1, 8)) == INVALID
    assert bytes(wide.ReadBytes(8)[1]) == struct.pack(">d", -2.25)
    result, data = wide.ReadBytes(9)
    assert code(result) == INVALID and data.dtype.name == "uint8" and list(data) == [0] * 9
    assert [code(my.ReadInt(1)[0]), my.ReadInt(1)[1], code(my.ReadDouble()[0]), my.ReadDouble()[1]] == \
        [INVALID, None, INVALID, None]
    assert [len(wide.ReadBytes(0)[1]), code(wide.ReadBytes(0, 8)[0])] == [0, OK]
    # Read-only binds controllers only: ITqRegister writes store the value.
    assert code(fixed.Write(0x1234)) == OK and fixed.ReadInt()[1] == 0x1234


def test_wrapper_messages(m, custom):
    my = custom.reg(MY_REG)
    write = overload_text("ITqRegister_Write", "ITqRegister::Write(uint8_t const *,uint32_t,uint32_t)",
                          "ITqRegister::Write(uint8_t const *,uint32_t)", "ITqRegister::Write(uint32_t,uint32_t)",
                          "ITqRegister::Write(uint32_t)", "ITqRegister::Write(TqString const &)")
    read_bytes = overload_text("ITqRegister_ReadBytes", "ITqRegister::ReadBytes(uint8_t *,uint32_t,uint32_t)",
                               "ITqRegister::ReadBytes(uint8_t *,uint32_t)")
    lock = overload_text("ITqRegisterMap_Lock", "ITqRegisterMap::Lock()", "ITqRegisterMap::Lock(uint32_t)")
    context = overload_text("ITqRegisterInfo_GetContext", "ITqRegisterInfo::GetContext() const",
                            "ITqRegisterInfo::GetContext()")
    read_int = overload_text("ITqRegister_ReadInt", "ITqRegister::ReadInt(uint32_t &,uint32_t)",
                             "ITqRegister::ReadInt(uint32_t &)")
    count = "%s expected at most %d arguments, got %d\nAdditional information:\n"
    length = "Int dimension expected.  '%s' given."
    cases = [
        (m.ITqRegister_Write, (my, -1), TypeError, TEXT_ERROR),
        (m.ITqRegister_Write, (my, 2**32), TypeError, TEXT_ERROR),
        (m.ITqRegister_Write, (my, 1.5), TypeError, TEXT_ERROR),
        (m.ITqRegister_Write, (my, None), TypeError, TEXT_ERROR),
        (m.ITqRegister_Write, (my, "x", 0), TypeError, write),
        (m.ITqRegister_Write, (my, b"x", -1), TypeError, write),
        (m.ITqRegister_Write, (my,), TypeError, write),
        (m.ITqRegister_Write, (my, 1, 2, 3), TypeError, count % ("ITqRegister_Write", 3, 4) + write),
        (m.ITqRegister_ReadInt, (my, -1), TypeError, read_int),
        (m.ITqRegister_ReadBytes, (my, "8"), TypeError, length % "unknown type"),
        (m.ITqRegister_ReadBytes, (my, b"8"), TypeError, length % "string"),
        (m.ITqRegister_ReadBytes, (my, 8.0), TypeError, length % "float"),
        (m.ITqRegister_ReadBytes, (my, [8], 0), TypeError, length % "list"),
        (m.ITqRegister_ReadBytes, (my, 8, -1), TypeError, read_bytes),
        (m.ITqRegister_ReadBytes, (my, 8.0, -1), TypeError, length % "float" + "\nAdditional information:\n"
         + read_bytes),
        # A length that commits its form stands before the overload text, with None as self too.
        (m.ITqRegister_ReadBytes, (my, "8", -1), TypeError, length % "unknown type" + "\nAdditional information:\n"
         + read_bytes),
        (m.ITqRegister_ReadBytes, (None, "8", -1), TypeError, length % "unknown type" + "\nAdditional information:\n"
         + read_bytes),
        (m.ITqRegister_ReadBytes, (None, 8, -1), TypeError, read_bytes),
        (m.ITqRegister_ReadBytes, (my, -1), OverflowError, arg("ITqRegister_ReadBytes", 2, "uint32_t")),
        (m.ITqRegister_ReadBytes, (my, 2**32 + 8), OverflowError, arg("ITqRegister_ReadBytes", 2, "uint32_t")),
        (m.ITqRegister_ReadBytes, (my, 2**31), OverflowError, arg("ITqRegister_ReadBytes", 2, "uint32_t")),
        (m.ITqRegister_WriteFloat, (my, 1e39), OverflowError, arg("ITqRegister_WriteFloat", 2, "float")),
        (m.ITqRegister_WriteFloat, (my, "1"), TypeError, arg("ITqRegister_WriteFloat", 2, "float")),
        (m.ITqRegister_WriteDouble, (my, 10**400), TypeError, arg("ITqRegister_WriteDouble", 2, "double")),
        (m.ITqRegister_AddEventSink, (my, 5), TypeError, arg("ITqRegister_AddEventSink", 2, "ITqRegisterEventSink *")),
        (m.ITqRegisterInfo_GetAddress, (None,), TypeError, arg("ITqRegisterInfo_GetAddress", 1,
                                                               "ITqRegisterInfo const *")),
        (m.ITqRegisterInfo_GetContext, (my, 1), TypeError, count % ("ITqRegisterInfo_GetContext", 1, 2) + context),
        (m.ITqRegisterInfo_GetContext, (custom.map,), TypeError, context),
        (m.ITqRegisterMap_GetRegisterByIndex, (custom.map, -1), OverflowError,
         arg("ITqRegisterMap_GetRegisterByIndex", 2, "size_t")),
        (m.ITqRegisterMap_GetRegisterByAddress, (custom.map, 2**32), OverflowError,
         arg("ITqRegisterMap_GetRegisterByAddress", 2, "uint32_t")),
        (m.ITqRegisterMap_Lock, (custom.map, -1), TypeError, lock),
        (m.ITqRegisterMap_Lock, (custom.map, 1.5), TypeError, lock),
        (m.ITqRegisterMap_Lock, (custom.map, 1, 2), TypeError, count % ("ITqRegisterMap_Lock", 2, 3) + lock),
        (m.ITqRegisterMap_Release, (my,), TypeError, arg("ITqRegisterMap_Release", 1, "ITqRegisterMap *")),
        (m.ITqRegisterStore_Persist, (None, my, "s"), TypeError, arg("ITqRegisterStore_Persist", 1,
                                                                     "ITqRegisterStore *")),
        (m.delete_ITqRegister, (my,), RuntimeError, arg("delete_ITqRegister", 1, "ITqRegister *")
         + ": the proxy does not own its object"),
    ]
    for func, args, exc, message in cases:
        with pytest.raises(exc) as info:
            func(*args)
        if message is not None:
            assert str(info.value) == message, (func.__name__, args)
    assert [m.delete_ITqRegister(None), m.delete_ITqRegisterMap(None), m.delete_ITqRegisterStore(None)] == [None] * 3
    assert m.ITqRegister_ReadInt(my, 0)[1] is not None and m.ITqRegisterMap_Release(custom.map) is None
    assert m.delete_ITqRegister.__doc__.strip() == "Virtual destructor." and not m.delete_ITqRegisterStore.__doc__


def test_python_sinks_run_in_order_refuse_and_revert(m, k, custom):
    my, rec = custom.reg(MY_REG), custom.recorder
    assert code(my.Write(5)) == OK
    assert rec.names(*WRITES) == [("first", "PreWrite", "MyReg", 5), ("first", "PostWrite", "MyReg")]
    second_answers = {}
    second = recording_sink(k, rec, "second", second_answers)
    assert code(my.AddEventSink(second)) == OK
    assert [code(my.AddEventSink(second)), code(my.AddEventSink(None)), code(my.RemoveEventSink(None))] == [INVALID] * 3
    del rec.calls[:]
    assert my.ReadInt()[1] == 5
    assert rec.names() == [("first", "PreRead", "MyReg"), ("second", "PreRead", "MyReg"),
                           ("first", "PostRead", "MyReg"), ("second", "PostRead", "MyReg")]
    # The first refusal fails the read with its code: the later sinks are not asked.
    custom.answers["PreRead"] = 16386
    del rec.calls[:]
    result, value = my.ReadInt()
    assert (code(result), value, rec.names()) == (16386, None, [("first", "PreRead", "MyReg")])
    custom.answers.clear()
    # A refused write is staged (the sinks read the new value), then reverted.
    second_answers["PreWrite"] = k.TqResult(INVALID)
    del rec.calls[:]
    assert code(my.Write(9)) == INVALID
    assert rec.names(*WRITES) == [("first", "PreWrite", "MyReg", 9), ("second", "PreWrite", "MyReg", 9)]
    assert my.ReadInt()[1] == 5
    # A removed sink is asked no more; an unknown one cannot be removed.
    assert code(my.RemoveEventSink(second)) == OK and code(my.RemoveEventSink(second)) == INVALID
    assert code(my.Write(6)) == OK and my.ReadInt()[1] == 6
    # Up-calls to the defaults, and the plain sink None makes.
    plain = m.new_ITqRegisterEventSink(None)
    for sink in (custom.first, plain):
        assert [code(m.ITqRegisterEventSink_PreRead(sink, my)) if sink is plain else
                code(k.ITqRegisterEventSink.PreRead(sink, my)),
                m.ITqRegisterEventSink_PostRead(sink, my), code(m.ITqRegisterEventSink_PreWrite(sink, None)),
                m.ITqRegisterEventSink_PostWrite(sink, my), code(m.ITqRegisterEventSink_Persist(sink, my, None))] \
            == [OK, None, OK, None, NOT_IMPLEMENTED]
    m.delete_ITqRegisterEventSink(plain)


def test_a_sink_failing_in_python_makes_the_call_raise(k, custom, capfd):
    my = custom.reg(MY_REG)
    answers = {}

    class Odd(k.ITqRegisterEventSink):
        def PreRead(self, reg):
            if answers.get("raise"):
                raise ValueError("no reading now")
            return answers.get("result")

    odd = Odd()
    assert code(my.AddEventSink(odd)) == OK
    for bad in (None, "0", 2**40):
        answers["result"] = bad
        raises(TypeError, "SWIG director type mismatch in method PreRead with output value of type 'TqResult'",
               my.ReadInt)
    answers["raise"] = True
    capfd.readouterr()
    with pytest.raises(RuntimeError, match="In method 'PreRead': ValueErrorno reading now"):
        my.ReadInt()
    assert capfd.readouterr().out.count("In method 'PreRead': ValueErrorno reading now") == 1
    answers.clear()
    answers["result"] = 0
    assert code(my.ReadInt()[0]) == OK   # nothing left pending
    assert code(my.RemoveEventSink(odd)) == OK

    # A PostWrite that raises: the write was done, the call raises once.
    class Late(k.ITqRegisterEventSink):
        def PostWrite(self, reg):
            raise KeyError("late")

    late = Late()
    assert code(my.AddEventSink(late)) == OK
    with pytest.raises(RuntimeError, match="In method 'PostWrite': KeyError'late'"):
        my.Write(12345)
    assert my.ReadInt()[1] == 12345 and code(my.RemoveEventSink(late)) == OK


def test_controllers_reach_the_sinks_on_the_server_thread(k, custom, controller):
    my, rec = custom.reg(MY_REG), custom.recorder
    main = threading.get_ident()
    assert controller.write_reg(MY_REG, 7) == GVCP_SUCCESS
    calls = list(rec.calls)
    assert rec.names(*WRITES) == [("first", "PreWrite", "MyReg", 7), ("first", "PostWrite", "MyReg")]
    assert all(c[-1] != main for c in calls)
    assert my.ReadInt()[1] == 7 and controller.read_reg(MY_REG) == 7
    # A refusal is the controller's error status; the value stays.
    custom.answers["PreWrite"] = INVALID
    assert controller.write_reg(MY_REG, 8) != GVCP_SUCCESS and my.ReadInt()[1] == 7
    custom.answers.clear()
    # A retry (the same request ID) is answered again without running the sinks again.
    del rec.calls[:]
    request = controller.send(WRITEREG, struct.pack(">II", MY_REG, 11))
    assert controller.receive(request)[0] == GVCP_SUCCESS
    controller.sock.sendto(struct.pack(">BBHHH", 0x42, 1, WRITEREG, 8, request) + struct.pack(">II", MY_REG, 11),
                           (controller.device, 3956))
    assert controller.receive(request)[0] == GVCP_SUCCESS
    assert rec.names(*WRITES) == [("first", "PreWrite", "MyReg", 11), ("first", "PostWrite", "MyReg")]
    # One WRITEMEM across MyReg and Wide: both written; a refusal of MyReg writes neither.
    second = recording_sink(k, rec, "wide", {})
    assert code(custom.reg(WIDE).AddEventSink(second)) == OK
    del rec.calls[:]
    status, _ = controller.command(WRITEMEM, struct.pack(">I", MY_REG) + struct.pack(">III", 1, 2, 3))
    assert status == GVCP_SUCCESS and [my.ReadInt()[1], custom.reg(WIDE).ReadInt(4)[1]] == [1, 3]
    assert {c[1] for c in rec.names()} == {"PreWrite", "PostWrite", "PreRead", "PostRead"}
    custom.answers["PreWrite"] = INVALID
    status, _ = controller.command(WRITEMEM, struct.pack(">I", MY_REG) + struct.pack(">III", 4, 5, 6))
    assert status != GVCP_SUCCESS and [my.ReadInt()[1], custom.reg(WIDE).ReadInt()[1]] == [1, 2]
    custom.answers.clear()
    status, data = controller.command(READMEM, struct.pack(">IHH", MY_REG, 0, 12))
    assert status == GVCP_SUCCESS and data[4:] == struct.pack(">III", 1, 2, 3)
    # Read-only binds the controller.
    assert controller.write_reg(FIXED, 1) == GVCP_WRITE_PROTECT
    assert code(custom.reg(WIDE).RemoveEventSink(second)) == OK


WIDTH, SCP = 0x30000000, 0x0D00


def test_sinks_of_a_register_a_stream_source_owns_run_for_controllers(k, hooks):
    """Width0, which the stream source serves, with a Python sink: a controller's read runs PreRead
    before the source's getter and PostRead after it; a write runs the source's setter, then PreWrite
    (which reads the new value), then PostWrite; a refusing PreWrite sets the value before back
    through the setter and fails the write, as a failing PreRead fails the read; the local side's
    accesses run the sink once; without a sink nothing runs."""
    handle = hooks.soft_recorder("source")
    calls = lambda operation: [a for op, a, _ in hooks.soft_recorder_calls(handle) if op == "source." + operation]
    seen, answers = [], {}

    class Sink(k.ITqRegisterEventSink):
        def PreRead(self, reg):
            seen.append(("PreRead", len(calls("GetWidth"))))
            return answers.get("PreRead", OK)

        def PostRead(self, reg):
            seen.append(("PostRead", len(calls("GetWidth"))))

        def PreWrite(self, reg):
            seen.append(("PreWrite", reg.ReadInt()[1], calls("SetWidth")[-1:],
                         threading.current_thread() is threading.main_thread()))
            return answers.get("PreWrite", OK)

        def PostWrite(self, reg):
            seen.append(("PostWrite", reg.GetName()))

    sink = Sink()
    device = k.TqSoftDeviceGEV()
    try:
        assert device.AddStream(hooks.soft_recorder_proxy(handle)).IsOK() and device.Start(LO).IsOK()
        width = device.GetRegisterMap().GetRegisterByAddress(WIDTH)
        assert code(width.AddEventSink(sink)) == OK
        client = Client(ip_of(hooks, device), timeout=5.0)
        try:
            assert client.write_reg(CCP, CONTROL) == GVCP_SUCCESS
            getters = len(calls("GetWidth"))
            assert client.read_reg(WIDTH) == 640
            assert seen == [("PreRead", getters), ("PostRead", getters + 1)]
            del seen[:]
            assert client.write_reg(WIDTH, 320) == GVCP_SUCCESS
            writes = [c for c in seen if c[0] in WRITES]
            assert writes == [("PreWrite", 320, ["320"], False), ("PostWrite", "Width0")]
            # Refused: the setter hears the value before again; the controller gets the sink's status.
            del seen[:]
            answers["PreWrite"] = INVALID
            assert client.write_reg(WIDTH, 256) == 0x8002
            assert calls("SetWidth")[-2:] == ["256", "320"] and [c[0] for c in seen if c[0] in WRITES] == ["PreWrite"]
            answers.clear()
            answers["PreRead"] = INVALID
            status, _ = client.read_regs(WIDTH)
            assert status == 0x8002
            answers.clear()
            assert client.read_reg(WIDTH) == 320
            # An access of several registers: only Width0's sink runs, once.
            del seen[:]
            status, data = client.command(READMEM, struct.pack(">IHH", WIDTH, 0, 12))
            assert status == GVCP_SUCCESS and struct.unpack(">III", data[4:]) == (320, 480, 0)
            assert [c[0] for c in seen] == ["PreRead", "PostRead"]
            # The local side: the sink once, the source's setter once.
            del seen[:]
            setters = len(calls("SetWidth"))
            assert code(width.Write(400)) == OK and width.ReadInt()[1] == 400
            assert [c[0] for c in seen if c[0] in WRITES] == ["PreWrite", "PostWrite"]
            assert calls("SetWidth")[setters:] == ["400"] and client.read_reg(WIDTH) == 400
            # The stream channel's port, which the device keeps for the source: refused, it stays unset.
            port = device.GetRegisterMap().GetRegisterByAddress(SCP)
            assert code(port.AddEventSink(sink)) == OK
            del seen[:]
            answers["PreWrite"] = INVALID
            assert client.write_reg(SCP, 5000) == 0x8002 and client.read_reg(SCP) == 0
            assert [c[:2] for c in seen if c[0] in WRITES] == [("PreWrite", 5000)]
            answers.clear()
            assert client.write_reg(SCP, 5000) == GVCP_SUCCESS and client.read_reg(SCP) == 5000
            assert code(port.RemoveEventSink(sink)) == OK
            # Removed: a controller's accesses run nothing.
            assert code(width.RemoveEventSink(sink)) == OK
            del seen[:]
            assert client.write_reg(WIDTH, 512) == GVCP_SUCCESS and client.read_reg(WIDTH) == 512 and seen == []
            assert client.write_reg(CCP, 0) == GVCP_SUCCESS
        finally:
            client.close()
    finally:
        device.Stop()
        hooks.soft_recorder_free(handle)


@pytest.mark.skipif(shutil.which("arv-tool-0.8") is None, reason="aravis's arv-tool is not installed")
def test_arv_tool_writes_a_register_a_python_sink_guards(hooks, custom):
    my, rec = custom.reg(MY_REG), custom.recorder
    address = ip_of(hooks, custom.device)

    def arv(assignment):
        proc = subprocess.run(["arv-tool-0.8", "-a", address, "control", assignment], capture_output=True, text=True,
                              env=clean_environment(), timeout=60)
        return proc.stdout + proc.stderr

    assert "R[0x00020000] = 0x00000007" in arv("R[0x20000]=7")
    heard = [c for c in rec.calls if c[1] in ("PreWrite", "PostWrite")]
    assert [c[1] for c in heard] == ["PreWrite", "PostWrite"] and all(c[-1] != threading.get_ident() for c in heard)
    assert (code(my.ReadInt()[0]), my.ReadInt()[1]) == (OK, 7)
    custom.answers["PreWrite"] = INVALID
    assert "R[0x00020000] write error" in arv("R[0x20000]=8")
    assert my.ReadInt()[1] == 7


def test_the_maps_lock_and_restarts(k, custom):
    lock_map = custom.map
    assert code(lock_map.Lock()) == OK and code(lock_map.Lock(10)) == OK   # recursive
    seen = []
    waiter = threading.Thread(target=lambda: seen.append(code(lock_map.Lock(10))))
    waiter.start()
    waiter.join()
    assert seen == [TIMEOUT]
    lock_map.Release()
    # Still held once: a waiting thread blocks without the GIL until the last Release.
    waiter = threading.Thread(target=lambda: (seen.append(code(lock_map.Lock())), lock_map.Release()))
    waiter.start()
    assert until(lambda: waiter.is_alive()) and len(seen) == 1
    lock_map.Release()
    waiter.join(30)
    assert seen == [TIMEOUT, OK]
    lock_map.Release()   # a stray release does nothing
    assert code(lock_map.Lock(10)) == OK
    lock_map.Release()
    count = lock_map.GetRegisterCount()
    assert lock_map.GetRegisterByIndex(count) is None and lock_map.GetRegisterByIndex(count - 1) is not None
    first, again = lock_map.GetRegisterByIndex(0), lock_map.GetRegisterByIndex(0)
    assert first is not again and first.this == again.this
    # Stopped: the registers stay, the lock is refused; a restart makes new ones and retires the old.
    my = custom.reg(MY_REG)
    assert code(my.Write(3)) == OK
    assert custom.device.Stop().IsOK()
    assert code(lock_map.Lock()) == STATE_ERROR and my.ReadInt()[1] == 3
    assert custom.device.Start(LO).IsOK()
    assert [code(my.ReadInt()[0]), code(my.Write(1)), code(my.AddEventSink(custom.first)), code(lock_map.Lock())] == \
        [STATE_ERROR] * 4
    fresh = custom.device.GetRegisterMap().GetRegisterByAddress(MY_REG)
    assert fresh.this != my.this and fresh.ReadInt()[1] == 0
    assert code(custom.factory.AddRegister("Late", 0x30000, 4, 0)) == STATE_ERROR


def test_factory_rules(m, k, custom):
    results = {}
    sink = recording_sink(k, Recorder(), "x")
    rw = k.TqGenAccessModeReadWrite
    add = m.ITqRegisterFactory_AddRegister
    cases = {
        "length5": ("A", 0x40000, 5, rw), "length8": ("A8", 0x40000, 8, rw), "access3": ("B", 0x40010, 4, 3),
        "access999": ("B", 0x40010, 4, 999), "badname": ("1B", 0x40010, 4, rw), "underscore": ("B_1", 0x40010, 4, rw),
        "same name": ("A8", 0x40020, 4, rw), "overlap": ("C", 0x40004, 4, rw), "unaligned": ("C", 0x40022, 4, rw),
        "low": ("C", 0xFFFC, 4, rw), "high": ("C", 0x0FFFFFFC, 8, rw),
        "context": ("D", 0x40030, 4, rw, None, k.TqResult()), "sink": ("E", 0x40040, 4, 0, sink),
    }
    arrays = {"zero": ("F", 0x40100, 0, rw), "six": ("F", 0x40100, 6, rw), "twelve": ("F", 0x40100, 12, 2)}
    messages = {}

    class Maker(k.ITqSoftDeviceGEVEventSink):
        def OnCreateCustomRegisters(self, dev, factory):
            for name, args in cases.items():
                results[name] = code(add(factory, *args))
            for name, args in arrays.items():
                results[name] = code(m.ITqRegisterFactory_AddByteArray(factory, *args))
            for name, args in {"text": (5, 0x40200, 4, rw), "address": ("G", -1, 4, rw), "four": ("G", 1, 2),
                               "sink proxy": ("G", 0x40200, 4, rw, k.TqResult()),
                               "nine": ("G", 1, 2, 3, 4, 5, 6, 7)}.items():
                try:
                    add(factory, *args)
                except TypeError as e:
                    messages[name] = str(e)

    maker = Maker()
    device = k.TqSoftDeviceGEV()
    assert device.RegisterEventSink(maker).IsOK() and device.Start(LO).IsOK()
    try:
        assert results == {"length5": INVALID, "length8": OK, "access3": INVALID, "access999": INVALID,
                           "badname": INVALID, "underscore": OK, "same name": INVALID, "overlap": INVALID,
                           "unaligned": INVALID, "low": INVALID, "high": INVALID, "context": OK, "sink": OK,
                           "zero": INVALID, "six": INVALID, "twelve": OK}
        factory_text = overload_text(
            "ITqRegisterFactory_AddRegister",
            "ITqRegisterFactory::AddRegister(TqString const &,uint32_t,uint32_t,TqGenAccessMode,ITqRegisterEventSink *,"
            "void *)",
            "ITqRegisterFactory::AddRegister(TqString const &,uint32_t,uint32_t,TqGenAccessMode,ITqRegisterEventSink *)",
            "ITqRegisterFactory::AddRegister(TqString const &,uint32_t,uint32_t,TqGenAccessMode)")
        assert messages == {"text": TEXT_ERROR, "address": factory_text, "four": factory_text,
                            "sink proxy": factory_text,
                            "nine": "ITqRegisterFactory_AddRegister expected at most 7 arguments, got 9\n"
                                    "Additional information:\n" + factory_text}
        regs = device.GetRegisterMap()
        twelve = regs.GetRegisterByAddress(0x40100)
        assert (twelve.GetLength(), twelve.IsArrayOfBytes(), twelve.IsReadable(), twelve.IsWritable()) == \
            (12, True, False, True)
        assert regs.GetRegisterByAddress(0x40040).IsWritable() is False
        assert code(regs.GetRegisterByAddress(0x40040).RemoveEventSink(sink)) == OK   # added by the factory
    finally:
        device.Stop()


def test_a_selector_register_persists_per_suffix(m, k, hooks):
    selector = {"at": 0}
    values = {0: 10, 1: 11}

    class PerSelector(k.ITqRegisterEventSink):
        """Gain: one value per selector position, kept here; the register shows the selected one."""

        def PostWrite(self, reg):
            values[selector["at"]] = reg.ReadInt()[1]

        def PreRead(self, reg):
            return OK

        def Persist(self, reg, store):
            self.store = store
            for at in (0, 1):
                selector["at"] = at
                reg.Write(values[at])
                result = store.Persist(reg, "_%d" % at)
                if not result.IsOK():
                    return result
            return OK

    per = PerSelector()
    plain = k.ITqRegisterEventSink()

    class Maker(k.ITqSoftDeviceGEVEventSink):
        def OnCreateCustomRegisters(self, dev, factory):
            factory.AddRegister("Gain", 0x50000, 4, k.TqGenAccessModeReadWrite, per)
            factory.AddRegister("Other", 0x50004, 4, k.TqGenAccessModeReadWrite, plain)

    maker = Maker()
    device = k.TqSoftDeviceGEV()
    assert hooks.soft_device_persist(device, False, {})[0] == STATE_ERROR   # no registers before a start
    assert device.RegisterEventSink(maker).IsOK() and device.Start(LO).IsOK()
    try:
        result, saved, handled = hooks.soft_device_persist(device, False, {})
        assert (result, handled) == (OK, ["Gain"])
        assert saved == {"Gain_0": struct.pack(">I", 10), "Gain_1": struct.pack(">I", 11)}
        assert code(per.store.Persist(None, "_0")) == INVALID
        gain = device.GetRegisterMap().GetRegisterByAddress(0x50000)
        assert code(per.store.Persist(gain, "_0")) == STATE_ERROR   # the store outlives its save, closed
        raises(TypeError, "Argument 3: failed to create TqString from Python string", m.ITqRegisterStore_Persist,
               per.store, gain, 5)
        values.update({0: 0, 1: 0})
        result, _, handled = hooks.soft_device_persist(device, True, {"Gain_0": struct.pack(">I", 20),
                                                                      "Gain_1": struct.pack(">I", 21)})
        assert (result, handled, values) == (OK, ["Gain"], {0: 20, 1: 21})
        # A load without a value the sink asks for fails.
        assert hooks.soft_device_persist(device, True, {"Gain_0": struct.pack(">I", 1)})[0] == INVALID
    finally:
        device.Stop()


REMOVAL_DURING_A_CALL = r"""
import gc, socket, struct, sys, threading
import kivo_python64 as k

entered, go, removed = threading.Event(), threading.Event(), threading.Event()

class Slow(k.ITqRegisterEventSink):
    def PreRead(self, reg):
        entered.set()
        go.wait(60)
        return 0

slow = Slow()
kept = {}

class Maker(k.ITqSoftDeviceGEVEventSink):
    def OnCreateCustomRegisters(self, dev, factory):
        kept["code"] = factory.AddRegister("Slow", 0x20000, 4, 1, slow).GetCode()

maker = Maker()
device = k.TqSoftDeviceGEV()
assert device.RegisterEventSink(maker).IsOK() and device.Start("00:00:00:00:00:00").IsOK() and kept["code"] == 0
reg = device.GetRegisterMap().GetRegisterByAddress(0x20000)
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.settimeout(60)
# The controller: the device's address from its bootstrap register, read through the map.
address = socket.inet_ntoa(struct.pack(">I", device.GetRegisterMap().GetRegisterByAddress(0x0024).ReadInt()[1]))
sock.sendto(struct.pack(">BBHHH", 0x42, 1, 0x0080, 4, 1) + struct.pack(">I", 0x20000), (address, 3956))
assert entered.wait(60)
def remove():
    kept["removed"] = reg.RemoveEventSink(slow).GetCode()
    removed.set()
remover = threading.Thread(target=remove)
remover.start()
early = removed.wait(0.3)     # the removal waits for the call under way on the server thread
go.set()
remover.join(60)
reply = sock.recv(64)
print("early", early, "removed", kept["removed"], "status", struct.unpack(">H", reply[:2])[0])
del slow
gc.collect()
assert reg.ReadInt()[0].IsOK()    # the sink is gone and never called again
assert device.Stop().IsOK()
print("done")
"""


def test_a_sink_removed_during_its_call_on_another_thread_is_waited_for(python_run):
    proc = python_run(REMOVAL_DURING_A_CALL)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "early False removed 0 status 0" in proc.stdout and "done" in proc.stdout
