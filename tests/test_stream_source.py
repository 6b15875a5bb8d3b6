"""A stream source written in Python: the values its methods return, converted or refused with the
exact texts, through the flat ITqStreamingChannelSource_* functions; the interface's own answers for
a subclass's up-call; the buffers AllocBuffer hands over and their ownership; and a running software
device calling each operation for its cause (its start, a controller's feature writes and reads, the
stream destination, the stop), on the device's own threads."""

import ctypes
import gc
import subprocess
import threading

import pytest

from conftest import clean_environment, raises, until

LO = "00:00:00:00:00:00"
P = "ITqStreamingChannelSource_"
MISMATCH = "SWIG director type mismatch "
INVALID = 16385


def flat(m, name):
    return getattr(m, P + name)


def code(result):
    return result.GetCode()


class Values:
    """Each method returns what the test put in `value` (the source's Python side only)."""

    value = None

    def _give(self, *args):
        return self.value


VALUE_METHODS = ["GetWidth", "GetPixelType", "GetChunkModeActive", "SetWidth", "GetWidthInfo",
                 "GetSupportedPixelType", "GetSupportedChunk", "GetGevSCPSPacketSizeInfo", "GetTxNumBuffersToUse",
                 "RetrieveBuffer", "AllocBuffer", "IsPayloadTypeSupported"]


@pytest.fixture
def returning(k):
    """returning(value) -> the proxy (.this) of a Python source whose listed methods return value."""
    made = []

    def make(value):
        cls = type("Returns", (Values, k.ITqStreamingChannelSource), {n: Values._give for n in VALUE_METHODS})
        source = cls()
        source.value = value
        made.append(source)
        return source.this

    return make


def outcome(call, *args):
    """The call's result, or (exception type, text)."""
    try:
        return call(*args)
    except Exception as error:  # noqa: BLE001 - the type and text are what is checked
        return type(error), str(error)


def test_scalar_results_and_their_refusals(m, k, returning):
    u32 = (OverflowError, MISMATCH + "in output value of type 'uint32_t'")
    assert [outcome(flat(m, "GetWidth"), returning(v)) for v in (7, True, 2**32 - 1)] == [7, 1, 2**32 - 1]
    assert [outcome(flat(m, "GetWidth"), returning(v)) for v in (-1, 2**32)] == [u32, u32]
    assert outcome(flat(m, "GetWidth"), returning(1.5)) == (TypeError, MISMATCH + "in output value of type 'uint32_t'")
    # Enumerations: any signed 32-bit value, named by the enumeration.
    assert outcome(flat(m, "GetPixelType"), returning(-5)) == -5
    assert outcome(flat(m, "GetPixelType"), returning(2**31)) == (
        OverflowError, MISMATCH + "in output value of type 'TqPixelType'")
    assert outcome(flat(m, "GetPixelType"), returning("x")) == (
        TypeError, MISMATCH + "in output value of type 'TqPixelType'")
    # bool exactly.
    assert outcome(flat(m, "GetChunkModeActive"), returning(True)) is True
    for value in (1, None):
        assert outcome(flat(m, "GetChunkModeActive"), returning(value)) == (
            TypeError, MISMATCH + "in output value of type 'bool'")
    assert outcome(flat(m, "IsPayloadTypeSupported"), returning(False), 10) is False
    # Result kind: an int32 gives its 32 bits as the code, a TqResult is copied.
    assert [code(flat(m, "SetWidth")(returning(v), 3)) for v in (0, True, -1, k.TqResult(26))] == [0, 1, 2**32 - 1, 26]
    for value in (2**31, None, "1"):
        assert outcome(flat(m, "SetWidth"), returning(value), 3) == (
            TypeError, MISMATCH + "in method SetWidth with output value of type 'TqResult'")


def test_tuple_results(m, k, hooks, returning):
    # The limits: three unsigned items, no tuple test; a short tuple's read fails with its IndexError.
    assert flat(m, "GetWidthInfo")(returning((1, 2, 3))) == (1, 2, 3)
    assert outcome(flat(m, "GetWidthInfo"), returning((1, 2))) == (IndexError, "tuple index out of range")
    assert outcome(flat(m, "GetWidthInfo"), returning((1, -1, 3)))[0] is OverflowError
    # A listed pixel type: filled even when the result is an error, back as unsigned.
    result, pixel = flat(m, "GetSupportedPixelType")(returning((INVALID, -(2**31))), 0)
    assert code(result) == INVALID and pixel == 2**31
    assert outcome(flat(m, "GetSupportedPixelType"), returning(5), 0) == (
        TypeError, MISMATCH + "Python method ITqStreamingChannelSource.GetSupportedPixelTypefailed to return a tuple.")
    assert outcome(flat(m, "GetSupportedPixelType"), returning((0,)), 0) == (
        RuntimeError, "GetSupportedPixelType failed to return a 2-tuple")
    assert outcome(flat(m, "GetSupportedPixelType"), returning((0, "x")), 0) == (
        TypeError, MISMATCH + "in output value of type 'TqPixel'")
    # A chunk: its name a str or a character pointer object, None the empty text.
    for name, text in (("ChunkA", "ChunkA"), ("Zählung", "Zählung"), (None, ""),
                       (hooks.char_pointer(b"ChunkB"), "ChunkB"), (hooks.wchar_pointer("ChunkC"), "ChunkC")):
        result, chunk, got = flat(m, "GetSupportedChunk")(returning((0, 9, name)), 1)
        assert (code(result), chunk, got) == (0, 9, text)
    assert outcome(flat(m, "GetSupportedChunk"), returning((0, 9, k.TqString("a"))), 0) == (
        TypeError, MISMATCH + "in output value of type str")
    assert outcome(flat(m, "GetSupportedChunk"), returning([0, 9, "a"]), 0) == (
        TypeError, MISMATCH + "Python method ITqStreamingChannelSource.GetSupportedChunkfailed to return a tuple.")
    assert outcome(flat(m, "GetSupportedChunk"), returning((0, 9)), 0) == (IndexError, "tuple index out of range")
    # The packet size: its result named "... 1".
    result, size = flat(m, "GetGevSCPSPacketSizeInfo")(returning((0, 1500)))
    assert (code(result), size) == (0, 1500)
    assert outcome(flat(m, "GetGevSCPSPacketSizeInfo"), returning((2**31, 1))) == (
        TypeError, MISMATCH + "in method GetGevSCPSPacketSizeInfo 1 with output value of type 'TqResult'")
    assert outcome(flat(m, "GetGevSCPSPacketSizeInfo"), returning((0,))) == (IndexError, "tuple index out of range")
    # No tuple at all, where no tuple test comes first: a type mismatch naming the operation and its shape,
    # never the failed read's SystemError.
    for value in ([1, 2, 3], 5, None):
        assert outcome(flat(m, "GetWidthInfo"), returning(value)) == (
            TypeError, MISMATCH + "GetWidthInfo failed to return a 3-tuple")
        assert outcome(flat(m, "GetGevSCPSPacketSizeInfo"), returning(value)) == (
            TypeError, MISMATCH + "GetGevSCPSPacketSizeInfo failed to return a 2-tuple")
    # The buffer count: the second argument never read, a 2-tuple demanded.
    result, count = flat(m, "GetTxNumBuffersToUse")(returning((0, 8)), object())
    assert (code(result), count) == (0, 8)
    assert outcome(flat(m, "GetTxNumBuffersToUse"), returning((0,)), None) == (
        RuntimeError, "GetTxNumBuffersToUse failed to return a 2-tuple")
    # A retrieved buffer is written through the pointer given.
    cell = ctypes.c_void_p(0)
    slot = hooks.make_pointer("_p_p_TqBuffer", ctypes.addressof(cell))
    buffer = k.TqBuffer()
    assert code(flat(m, "RetrieveBuffer")(returning((0, buffer)), slot)) == 0
    assert cell.value == int(buffer.this) and buffer.this.own()
    assert code(flat(m, "RetrieveBuffer")(returning((11, None)), slot)) == 11 and cell.value is None
    assert outcome(flat(m, "RetrieveBuffer"), returning(()), slot) == (
        RuntimeError, "RetrieveBuffer failed to return a 2-tuple")
    assert outcome(flat(m, "RetrieveBuffer"), returning((0, 5)), slot) == (
        TypeError, MISMATCH + "in output value of type 'TqBuffer *'")


def test_arguments_and_index_refusals(m, k, hooks):
    got = []

    class Source(k.ITqStreamingChannelSource):
        def SetWidth(self, width):
            got.append(width)
            return 0

        def SetPixelType(self, pixel):
            got.append(pixel)
            return 0

        def OnOpen(self, address, port):
            got.append((type(address).__name__, str(address), port))

        def GetTxNumBuffersToUse(self, pointer):
            got.append(type(pointer).__name__)
            return (0, 1)

    source = Source()
    flat(m, "SetWidth")(source.this, 2**32 - 1)
    flat(m, "SetPixelType")(source.this, -(2**31) + 8)
    flat(m, "OnOpen")(source.this, "127.0.0.2", 5000)
    flat(m, "GetTxNumBuffersToUse")(source.this, None)
    assert got == [2**32 - 1, -(2**31) + 8, ("TqString", "127.0.0.2", 5000), "SwigPyObject"]
    raises(RuntimeError, "Invalid index", flat(m, "GetSupportedPixelType"), source, "0")
    raises(OverflowError, "method 'ITqStreamingChannelSource_GetSupportedChunk' expected argument 1 of type int",
           flat(m, "GetSupportedChunk"), source, 2**31)
    raises(TypeError, "in method 'ITqStreamingChannelSource_RetrieveBuffer', argument 2 of type 'TqBuffer **'",
           flat(m, "RetrieveBuffer"), source, None)
    raises(TypeError, "in method 'ITqStreamingChannelSource_GetWidth', argument 1 of type "
           "'ITqStreamingChannelSource const *'", flat(m, "GetWidth"), 1)
    raises(RuntimeError, "accessing abstract class or protected constructor", m.new_ITqStreamingChannelSource, None)
    raises(TypeError, "_kivo_python64.ITqStreamingChannelSource_OnClose() takes exactly one argument (2 given)",
           flat(m, "OnClose"), source, 1)


def test_making_and_deleting_release_the_gil(m, gil_released, no_leaks):
    class Plain:
        pass

    plain = Plain()
    with no_leaks(plain):
        made = []
        assert gil_released(lambda: made.append(m.new_ITqStreamingChannelSource(plain)))
        assert gil_released(lambda: m.delete_ITqStreamingChannelSource(made.pop()))


def test_the_interface_answers_a_subclass_up_call(m, k):
    source = type("Sub", (k.ITqStreamingChannelSource,), {})()
    result, size = flat(m, "GetGevSCPSPacketSizeInfo")(source)
    assert (code(result), size) == (1540, 0)
    assert flat(m, "PreQueueBufferProc")(source) is True
    assert flat(m, "IsPayloadTypeSupported")(source, 10) is False
    assert code(flat(m, "SetTestPayloadFormatMode")(source, 10)) == 26
    for name, args in (("PostRetrieveBufferProc", ()), ("CreateRegisters", (None, None)),
                       ("CreateGenApiFeatures", (None, None)), ("SetMultiPartAllowed", (True,)),
                       ("SetLargeLeaderTrailerEnabled", (True, 10))):
        assert flat(m, name)(source, *args) is None
    for name, args in (("GetWidth", ()), ("SetHeight", (1,)), ("OnClose", ()), ("AllocBuffer", ()),
                       ("QueueBuffer", (None,)), ("AbortQueuedBuffers", ())):
        raises(RuntimeError, "SWIG director pure virtual method called ITqStreamingChannelSource::" + name,
               flat(m, name), source, *args)


def test_each_operation_reaches_its_own_method_and_the_cache_keeps_it(m, k, hooks):
    heard = []
    calls = {"GetWidthInfo": (), "GetHeightInfo": (), "GetChunkEnable": (1,), "GetSupportedPixelType": (0,),
             "GetSupportedChunk": (0,), "GetGevSCPSPacketSizeInfo": (), "SetWidth": (1,), "SetHeight": (1,),
             "SetOffsetX": (1,), "SetOffsetY": (1,), "SetPixelType": (1,), "SetChunkModeActive": (True,),
             "SetChunkEnable": (1, True), "OnOpen": ("1.2.3.4", 1), "FreeBuffer": (None,),
             "GetTxNumBuffersToUse": (None,), "QueueBuffer": (None,), "CreateRegisters": (None, None),
             "CreateGenApiFeatures": (None, None), "IsPayloadTypeSupported": (1,), "SetMultiPartAllowed": (True,),
             "SetLargeLeaderTrailerEnabled": (True, 1), "SetTestPayloadFormatMode": (1,)}
    answers = {"GetWidthInfo": (1, 2, 3), "GetHeightInfo": (1, 2, 3), "GetSupportedPixelType": (0, 1),
               "GetSupportedChunk": (0, 1, "C"), "GetGevSCPSPacketSizeInfo": (0, 1), "GetTxNumBuffersToUse": (0, 1),
               "RetrieveBuffer": (0, None), "AllocBuffer": None, "GetChunkModeActive": True, "GetChunkEnable": True,
               "PreQueueBufferProc": True, "IsPayloadTypeSupported": True}
    names = [n[len(P):] for n in dir(m) if n.startswith(P) and not n.endswith(("_swigregister", "_swiginit"))]
    assert len(names) == 40

    def method(name):
        def call(self, *args):
            heard.append(name)
            return answers.get(name, 0)
        return call

    source = type("All", (k.ITqStreamingChannelSource,), {n: method(n) for n in names})()
    cell = ctypes.c_void_p(0)
    for name in names:
        args = calls.get(name, ())
        if name == "RetrieveBuffer":
            args = (hooks.make_pointer("_p_p_TqBuffer", ctypes.addressof(cell)),)
        flat(m, name)(source.this, *args)
    assert heard == names
    # What the first call found stays: a method replaced later is not asked.
    source.GetWidth = lambda: 99
    assert flat(m, "GetWidth")(source.this) == 0


def test_a_missing_method_is_the_attribute_error(m, capfd):
    class Plain:
        pass

    plain = Plain()
    source = m.new_ITqStreamingChannelSource(plain)
    try:
        with pytest.raises(AttributeError) as info:
            flat(m, "GetHeight")(source)
        assert str(info.value) == "'Plain' object has no attribute 'GetHeight'"
    finally:
        m.delete_ITqStreamingChannelSource(source)
    assert capfd.readouterr().out == ""


def test_alloc_buffer_hands_over_ownership(m, k, no_leaks):
    class Source(k.ITqStreamingChannelSource):
        given = None

        def AllocBuffer(self):
            return self.given

    with no_leaks():
        source = Source()
        source.given = buffer = k.TqBuffer()
        given = flat(m, "AllocBuffer")(source.this)
        # The returned proxy gave up its ownership; the flat function's proxy took it back.
        assert not buffer.this.own() and given.this.own() and int(given.this) == int(buffer.this)
        again = flat(m, "AllocBuffer")(source.this)   # a second fetch finds no record
        assert not again.this.own() and not buffer.this.own()
        del again, given, buffer
        # A buffer that was not owned is handed back borrowed; None is None.
        source.given = borrowed = k.TqBuffer()
        borrowed.this.own(False)
        assert not flat(m, "AllocBuffer")(source.this).this.own()
        borrowed.this.own(True)
        source.given = None
        assert flat(m, "AllocBuffer")(source.this) is None
        del source, borrowed


# ---- a software device calling its Python source ----


class Camera:
    """A 64 x 48 Mono8 source (Mono16 offered too) that notes each call with whether it came on the
    main thread, and makes a new buffer for each AllocBuffer."""

    def __init__(self, refuse=(), chunks=(), multipart=False, payload=0):
        super().__init__()
        self.values = {"Width": 64, "Height": 48, "OffsetX": 0, "OffsetY": 0}
        self.pixel, self.mode, self.enabled = 0x01080001, False, {}
        self.refuse, self.chunks, self.multipart, self.payload = set(refuse), list(chunks), multipart, payload
        self.calls, self.freed = [], []

    def note(self, *what):
        self.calls.append(what + (threading.current_thread() is threading.main_thread(),))

    def named(self, name):
        return [c[1:-1] for c in self.calls if c[0] == name]

    def GetPixelType(self):
        return self.pixel

    def GetWidthInfo(self):
        return (8, 64, 8)

    def GetHeightInfo(self):
        return (8, 48, 8)

    def GetChunksSize(self):
        return 16 if self.mode else 0

    def GetPayloadSize(self):
        self.note("GetPayloadSize")
        return self.payload

    def GetScanType(self):
        return 0

    def GetChunkModeActive(self):
        return self.mode

    def GetChunkEnable(self, chunk):
        self.note("GetChunkEnable", chunk)
        return self.enabled.get(chunk, False)

    def GetSupportedPixelType(self, index):
        return (0, [0x01080001, 0x01100007][index]) if index < 2 else (INVALID, 0)

    def GetSupportedChunk(self, index):
        return (0,) + self.chunks[index] if index < len(self.chunks) else (INVALID, 0, None)

    def _set(self, name, value):
        self.note("Set" + name, value)
        if name in self.refuse:
            return INVALID
        self.values[name] = value
        return 0

    def SetPixelType(self, value):
        self.note("SetPixelType", value)
        self.pixel = value
        return 0

    def SetChunkModeActive(self, value):
        self.note("SetChunkModeActive", value)
        self.mode = value
        return 0

    def SetChunkEnable(self, chunk, value):
        self.note("SetChunkEnable", chunk, value)
        self.enabled[chunk] = value
        return 0

    def OnOpen(self, address, port):
        self.note("OnOpen", str(address), port)

    def OnClose(self):
        self.note("OnClose")

    def AllocBuffer(self):
        self.note("AllocBuffer")
        made = self.k.TqBuffer()
        made.Alloc(64 * 48 * 2)
        return made

    def FreeBuffer(self, buffer):
        self.freed.append(int(buffer.this))

    def IsPayloadTypeSupported(self, payload_type):
        return self.multipart and payload_type == 10

    def SetMultiPartAllowed(self, allowed):
        self.note("SetMultiPartAllowed", allowed)

    def SetLargeLeaderTrailerEnabled(self, enabled, count):
        self.note("SetLargeLeaderTrailerEnabled", enabled, count)


for _name in ("Width", "Height", "OffsetX", "OffsetY"):
    setattr(Camera, "Get" + _name, lambda self, name=_name: self.values[name])
    setattr(Camera, "Set" + _name, lambda self, value, name=_name: self._set(name, value))


@pytest.fixture
def camera_on(k, hooks):
    """camera_on(**options) -> (device, source, ip): a started device streaming a Camera; stopped after."""
    devices = []

    def start(**options):
        cls = type("PyCamera", (Camera, k.ITqStreamingChannelSource), {"k": k})
        source = cls(**options)
        device = k.TqSoftDeviceGEV()
        devices.append(device)
        assert code(device.AddStream(source)) == 0
        result = device.Start(LO)
        assert result.IsOK(), str(result.GetDescription())
        status, value = hooks.soft_device_read(hooks.soft_device_of(device), 0x0024)
        assert status == 0
        return device, source, ".".join(str((value >> s) & 0xFF) for s in (24, 16, 8, 0))

    yield start
    for device in devices:
        device.Stop()


@pytest.fixture
def controller(k):
    """controller(ip) -> a connected TqDevice (freed after the test)."""
    made = []

    def connect(ip):
        result, device = k.TqDevice.CreateAndConnect(ip)
        assert result.IsOK(), str(result.GetDescription())
        made.append(device)
        return device

    yield connect
    for device in made:
        k.TqDevice.Free(device)


def value_of(params, name):
    result, value = params.GetIntegerValue(name)
    assert result.IsOK(), str(result.GetDescription())
    return value


def test_a_controller_writes_and_reads_through_the_source(k, camera_on, controller):
    device, source, ip = camera_on(refuse={"OffsetX"})
    # Inside Start on the caller's thread: 64 buffers asked for, no more.
    assert source.named("AllocBuffer") == [()] * 64 and all(c[-1] for c in source.calls)
    source.calls.clear()
    connected = controller(ip)
    params = connected.GetParameters()
    assert params.SetIntegerValue("Width", 32).IsOK()
    assert source.named("SetWidth") == [(32,)] and source.values["Width"] == 32
    assert not [c for c in source.calls if c[-1]], "asked on the main thread"
    # A refusal is the controller's error; the register keeps what the source says.
    assert not params.SetIntegerValue("OffsetX", 8).IsOK()
    assert source.named("SetOffsetX") == [(8,)] and value_of(params, "OffsetX") == 0
    assert params.SetIntegerValue("Height", 24).IsOK() and params.SetIntegerValue("OffsetY", 16).IsOK()
    assert (source.named("SetHeight"), source.named("SetOffsetY")) == ([(24,)], [(16,)])
    # Reads ask the source: it owns the value.
    source.values["Width"] = 48
    assert value_of(params, "Width") == 48
    assert params.SetEnumValue("PixelFormat", "Mono16")[0].IsOK()
    assert source.named("SetPixelType") == [(0x01100007,)]
    # PayloadSize: the source's own when not 0, else the image's.
    assert value_of(params, "PayloadSize") == 48 * 24 * 2 and source.named("GetPayloadSize")
    source.payload = 5000
    assert value_of(params, "PayloadSize") == 5000
    # Locked transport parameters: refused without asking.
    assert params.SetIntegerValue("TLParamsLocked", 1).IsOK()
    source.calls.clear()
    assert not params.SetIntegerValue("Width", 16).IsOK() and source.named("SetWidth") == []
    assert params.SetIntegerValue("TLParamsLocked", 0).IsOK()
    # The destination: open once address and port are set, closed at 0 and when the session ends.
    assert connected.SetStreamDestination("127.0.0.1", 5000).IsOK()
    assert source.named("OnOpen") == [("127.0.0.1", 5000)]
    assert connected.ResetStreamDestination().IsOK()
    assert source.named("OnClose") == [()]
    assert connected.SetStreamDestination("127.0.0.1", 5002).IsOK()
    k.TqDevice.Free(connected)
    assert until(lambda: len(source.named("OnClose")) == 2)
    assert source.named("OnOpen")[-1] == ("127.0.0.1", 5002)
    assert code(device.Stop()) == 0
    assert len(source.freed) == 64 and len(set(source.freed)) == 64


@pytest.mark.parametrize("refuse", [False, True])
def test_aravis_writes_the_width(camera_on, refuse):
    device, source, ip = camera_on(refuse={"Width"} if refuse else ())
    env = clean_environment()

    def control(*args):
        return subprocess.run(["arv-tool-0.8", "-a", ip, "control"] + list(args), capture_output=True, text=True,
                              env=env, timeout=60).stdout

    written = control("Width=32")
    assert written.startswith("Width write error: " if refuse else "Width = 32"), written
    assert source.named("SetWidth") == [(32,)]
    assert control("Width").startswith("Width = %d" % (64 if refuse else 32))


def test_a_failing_source_is_reported_and_refuses(k, camera_on, controller, capfd):
    device, source, ip = camera_on()

    def fails(value):
        raise ValueError("no width %d" % value)

    type(source).SetWidth = lambda self, value: fails(value)
    type(source).SetPixelType = lambda self, value: "yes"
    params = controller(ip).GetParameters()
    assert not params.SetIntegerValue("Width", 32).IsOK()
    assert not params.SetEnumValue("PixelFormat", "Mono16")[0].IsOK()
    # The device goes on.
    assert value_of(params, "Width") == 64 and params.SetIntegerValue("Height", 24).IsOK()
    out = capfd.readouterr().out
    assert out.count("In method 'SetWidth': ValueErrorno width 32\n") == 1, out


def test_chunks_and_multi_part_reach_the_source(k, m, camera_on, controller):
    device, source, ip = camera_on(chunks=[(7, "ChunkTimestamp"), (9, "Zone_2")], multipart=True)
    params = controller(ip).GetParameters()
    assert params.SetBooleanValue("ChunkModeActive", True).IsOK()
    assert params.SetEnumValue("ChunkSelector", "Zone_2")[0].IsOK()
    assert params.SetBooleanValue("ChunkEnable", True).IsOK()
    assert params.GetBooleanValue("ChunkEnable")[1] is True
    assert source.named("SetChunkModeActive") == [(True,)] and source.named("SetChunkEnable") == [(9, True)]
    assert source.named("GetChunkEnable")[-1] == (9,)
    assert params.SetEnumValue("ChunkSelector", "Timestamp")[0].IsOK()
    assert params.GetBooleanValue("ChunkEnable")[1] is False
    assert value_of(params, "PayloadSize") == 64 * 48 + 8 + 16   # the image chunk's trailer, the chunks
    assert params.SetBooleanValue("GevSCCFGMultiPartEnabled", True).IsOK()
    assert params.SetBooleanValue("GevSCCFGLargeLeaderTrailerEnabled", True).IsOK()
    assert source.named("SetMultiPartAllowed") == [(True,)]
    (enabled, count), = source.named("SetLargeLeaderTrailerEnabled")
    assert enabled is True and count >= 10


@pytest.mark.parametrize("name", ["", "3D", None])
def test_a_chunk_without_a_genicam_name_fails_the_start(k, name):
    cls = type("PyCamera", (Camera, k.ITqStreamingChannelSource), {"k": k})
    source = cls(chunks=[(0x51, name)])
    device = k.TqSoftDeviceGEV()
    assert code(device.AddStream(source)) == 0
    result = device.Start(LO)
    try:
        assert code(result) == INVALID and "0x51" in str(result.GetDescription())
    finally:
        device.Stop()


def test_owned_buffers_are_freed_once_the_source_goes(k, no_leaks):
    with no_leaks():
        source = type("PyCamera", (Camera, k.ITqStreamingChannelSource), {"k": k})()
        device = k.TqSoftDeviceGEV()
        assert code(device.AddStream(source)) == 0 and code(device.Start(LO)) == 0
        assert len(source.named("AllocBuffer")) == 64
        assert code(device.Stop()) == 0 and len(source.freed) == 64
        del device, source
        gc.collect()
