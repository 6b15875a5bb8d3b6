"""ITqGenApiFactory from Python: a Python sink describes features over the registers it made, a
connected TqDeviceGEV and aravis read their values, the wrappers' argument texts, and a factory
proxy kept past its callback."""

import shutil
import subprocess
import xml.etree.ElementTree as ET

import pytest

from conftest import arg, clean_environment, raises

LO = "00:00:00:00:00:00"
OK, INVALID, STATE_ERROR, NOT_INITIALIZED = 0, 16385, 28, 1541
TEXT_ERROR = "Argument %d: failed to create TqString from Python string"
INCHES, VALUE_A, VALUE_B, LABEL, RAW, FLAG, FIRE, MODE, PLAIN = (
    0x20000, 0x20008, 0x2000C, 0x20010, 0x20020, 0x20028, 0x2002C, 0x20030, 0x20034)
CUSTOM = ["MyInchesFeature", "Inches", "ValueA", "ValueB", "Sum", "Label", "Raw", "Enabled", "Go", "Speed", "Root2",
          "Doubled"]


def overload_text(func, *prototypes):
    return ("Wrong number or type of arguments for overloaded function '%s'.\n  Possible C/C++ prototypes are:\n" % func
            + "".join("    ITqGenApiFactory::%s\n" % p for p in prototypes))


def ip_of(hooks, device):
    status, value = hooks.soft_device_read(hooks.soft_device_of(device), 0x0024)
    assert status == 0
    return ".".join(str((value >> shift) & 0xFF) for shift in (24, 16, 8, 0))


def describe_each_kind(k, f, reg, results):
    """One feature of each kind, all in the category Custom."""
    def made(result):
        assert type(result) is k.TqResult
        results.append(result.GetCode())

    f.SetName("MyInchesFeature")
    f.SetCategory("Custom")
    made(f.CreateFloat(reg[INCHES], 0, 1000))
    f.SetName("Inches")
    f.SetCategory("Custom")
    f.SetUnit("cm")
    made(f.CreateFloatConverter("MyInchesFeature", "TO * 2.54", "FROM * 0.3937"))
    for name, address in (("ValueA", VALUE_A), ("ValueB", VALUE_B)):
        f.SetName(name)
        f.SetCategory("Custom")
        made(f.CreateInteger(reg[address], 0, 1000))
    f.SetName("Sum")
    f.SetCategory("Custom")
    f.AddVariable("ValueA")
    f.AddVariable("ValueB")
    made(f.CreateIntSwissKnife("ValueA + ValueB"))
    f.SetName("Label")
    f.SetCategory("Custom")
    made(f.CreateString(reg[LABEL]))
    f.SetName("Raw")
    f.SetCategory("Custom")
    made(f.CreateRegister(reg[RAW]))
    f.SetName("Enabled")
    f.SetCategory("Custom")
    made(f.CreateBoolean(reg[FLAG]))
    f.SetName("Go")
    f.SetCategory("Custom")
    made(f.CreateCommand(reg[FIRE]))
    f.SetName("Speed")
    f.SetCategory("Custom")
    f.AddEnumEntry("Slow", 0)
    f.AddEnumEntry("Fast", 1, "Really fast")
    made(f.CreateEnum(reg[MODE]))
    f.SetName("Root2")
    f.SetCategory("Custom")
    f.AddVariable("ValueA")
    made(f.CreateFloatSwissKnife("SQRT(ValueA)"))
    f.SetName("Doubled")
    f.SetCategory("Custom")
    made(f.CreateIntConverter("ValueA", "TO * 2", "FROM / 2"))


class Described:
    """A running software device whose Python sink made registers in OnCreateCustomRegisters and
    described features over them in OnCreateCustomGenApiFeatures (describe(k, factory, registers,
    results)); the factory proxy kept."""

    LAYOUT = [("MyInches", INCHES, 8, False), ("A", VALUE_A, 4, False), ("B", VALUE_B, 4, False),
              ("Text", LABEL, 16, True), ("Bytes", RAW, 8, True), ("Flag", FLAG, 4, False), ("Fire", FIRE, 4, False),
              ("Mode", MODE, 4, False), ("Plain", PLAIN, 4, False)]

    def __init__(self, k, describe, start=True):
        kept = self.kept = {"results": []}

        class Sink(k.ITqSoftDeviceGEVEventSink):
            def OnCreateCustomRegisters(self, dev, factory):
                for name, address, length, as_bytes in Described.LAYOUT:
                    add = factory.AddByteArray if as_bytes else factory.AddRegister
                    assert add(name, address, length, k.TqGenAccessModeReadWrite).IsOK()

            def OnCreateCustomGenApiFeatures(self, dev, factory):
                registers = dev.GetRegisterMap()
                reg = {a: registers.GetRegisterByAddress(a) for _, a, _, _ in Described.LAYOUT}
                kept["factory"] = factory
                describe(k, factory, reg, kept["results"])

        self.sink = Sink()
        self.device = k.TqSoftDeviceGEV()
        assert self.device.RegisterEventSink(self.sink).IsOK()
        if start:
            self.started = self.device.Start(LO)
            assert self.started.IsOK(), str(self.started.GetDescription())

    @property
    def results(self):
        return self.kept["results"]

    def reg(self, address):
        return self.device.GetRegisterMap().GetRegisterByAddress(address)

    def xml(self):
        result, text = self.device.GetGenICamXMLFile()
        assert result.IsOK()
        root = ET.fromstring(str(text))
        for node in root.iter():
            node.tag = node.tag.split("}")[-1]
        return root

    def stop(self):
        self.device.Stop()
        self.device.UnregisterEventSink(self.sink)


def node(root, name):
    found = [n for n in root if n.get("Name") == name]
    assert len(found) == 1, name
    return found[0]


@pytest.fixture
def each_kind(k):
    made = Described(k, describe_each_kind)
    yield made
    made.stop()


def test_each_kind_reads_its_values_in_a_connected_device(k, hooks, each_kind):
    assert each_kind.results == [OK] * len(CUSTOM)
    root = each_kind.xml()
    assert [node(root, n).tag for n in CUSTOM] == [
        "Float", "Converter", "Integer", "Integer", "IntSwissKnife", "StringReg", "Register", "Boolean", "Command",
        "Enumeration", "SwissKnife", "IntConverter"]
    assert [e.text for e in node(root, "Custom").findall("pFeature")] == CUSTOM
    # CreateInteger(f, reg, 0, 1000) took increment 1.
    assert node(root, "ValueA").findtext("Inc") == "1"
    assert each_kind.reg(INCHES).WriteDouble(4.0).IsOK()
    result, connected = k.TqDevice.CreateAndConnect(ip_of(hooks, each_kind.device))
    assert result.IsOK(), str(result.GetDescription())
    try:
        assert type(connected) is k.TqDeviceGEV
        params = connected.GetParameters()
        result, cm = params.GetFloatValue("Inches")
        assert result.IsOK() and cm == pytest.approx(10.16)
        assert params.SetFloatValue("Inches", 2.0).IsOK()
        assert each_kind.reg(INCHES).ReadDouble()[1] == pytest.approx(0.7874)
        assert params.SetIntegerValue("ValueA", 4).IsOK() and params.SetIntegerValue("ValueB", 3).IsOK()
        assert params.GetIntegerValue("Sum")[1] == 7
        assert params.GetIntegerValue("Doubled")[1] == 8
        assert params.SetEnumValue("Speed", 1).IsOK()
        assert each_kind.reg(MODE).ReadInt()[1] == 1
    finally:
        k.TqDevice.Free(connected)


@pytest.mark.skipif(shutil.which("arv-tool-0.8") is None, reason="aravis's arv-tool is not installed")
def test_aravis_lists_each_feature_and_reads_the_converter_and_the_swissknife(hooks, each_kind):
    assert each_kind.reg(INCHES).WriteDouble(4.0).IsOK()
    assert each_kind.reg(VALUE_A).Write(4).IsOK() and each_kind.reg(VALUE_B).Write(3).IsOK()
    address = ip_of(hooks, each_kind.device)

    def arv(*args):
        proc = subprocess.run(["arv-tool-0.8", "-a", address] + list(args), capture_output=True, text=True,
                              env=clean_environment(), timeout=60)
        return proc.returncode, proc.stdout + proc.stderr

    status, features = arv("features")
    assert status == 0, features
    category = features.index("'Custom'")
    for name in CUSTOM:
        assert features.find("'%s'" % name, category) > category, name
    assert "Not available" not in features
    status, inches = arv("control", "Inches")
    assert status == 0 and any(line.startswith("Inches = 10.16 cm") for line in inches.splitlines()), inches
    status, total = arv("control", "Sum")
    assert status == 0 and any(line.startswith("Sum = 7") for line in total.splitlines()), total


def test_forms_reach_their_operations(k):
    """Counts pick the operations: SetCategory's two forms, AddEnumEntry's three, a None register, an
    enumeration value out of its enumeration passed on, True as 1."""
    def describe(k, f, reg, results):
        f.SetName("A")
        f.SetCategory("Top")
        f.AddEnumEntry("Two", 2)
        f.AddEnumEntry("Three", 3, "")
        f.AddEnumEntry("Four", True, "Four!", k.TqGenNameSpaceStandard)
        results.append(f.CreateEnum(reg[MODE]).GetCode())
        f.SetName("B")
        f.SetCategory("Top\\Inner", "Inner things")
        f.SetPValue("P")
        results.append(f.CreateInteger(None).GetCode())
        f.SetName("P")
        results.append(f.CreateInteger(reg[PLAIN]).GetCode())
        f.SetName("C")
        f.SetAccessMode(999)
        results.append(f.CreateInteger(reg[PLAIN]).GetCode())
        f.SetName("D")
        f.SetTLLocked(True)
        f.SetStreamable(True)
        f.SetPollingTime(4294967295)
        results.append(f.CreateBoolean(reg[FLAG]).GetCode())
        results.append(f.CreateIntSwissKnife("").GetCode())
        f.SetName("E")
        results.append(f.CreateEnum(reg[PLAIN]).GetCode())
        results.append(f.CreateCommand().GetCode())

    made = Described(k, describe)
    try:
        assert made.results == [OK, OK, OK, INVALID, OK, NOT_INITIALIZED, INVALID, NOT_INITIALIZED]
        root = made.xml()
        entries = node(root, "A").findall("EnumEntry")
        assert [(e.get("Name"), e.findtext("Value"), e.get("NameSpace")) for e in entries] == [
            ("Two", "2", "Custom"), ("Three", "3", "Custom"), ("Four", "1", "Standard")]
        assert entries[2].findtext("DisplayName") == "Four!"
        assert node(root, "Inner").findtext("DisplayName") == "Inner things"
        assert node(root, "B").findtext("pValue") == "P"
        assert node(root, "D").findtext("Streamable") == "Yes"
        assert node(root, "D").findtext("pIsLocked") == "TLParamsLocked"
    finally:
        made.stop()


def test_a_factory_kept_past_its_callback_answers_state_error(k, m, each_kind):
    f = each_kind.kept["factory"]
    f.SetName("Late")
    f.AddEnumEntry("On", 1)
    for create in (lambda: f.CreateInteger(None), lambda: f.CreateFloat(None, 0, 1), lambda: f.CreateEnum(),
                   lambda: f.CreateIntSwissKnife("1"), lambda: f.CreateFloatConverter("A", "TO", "FROM")):
        assert create().GetCode() == STATE_ERROR
    raises(RuntimeError, arg("delete_ITqGenApiFactory", 1, "ITqGenApiFactory *") + ": the proxy does not own its "
           "object", m.delete_ITqGenApiFactory, f)
    each_kind.device.Stop()
    assert f.CreateString().GetCode() == STATE_ERROR
    # The next start describes its features again through the same factory.
    assert each_kind.device.Start(LO).IsOK()
    assert each_kind.results == [OK] * (2 * len(CUSTOM))
    assert f.CreateString().GetCode() == STATE_ERROR


def test_wrapper_texts(k, m, each_kind):
    f = each_kind.kept["factory"]
    reg = each_kind.reg(VALUE_A)
    G = "ITqGenApiFactory_"
    integer = ("CreateInteger(ITqRegister *,int64_t,int64_t,int64_t)", "CreateInteger(ITqRegister *,int64_t,int64_t)",
               "CreateInteger(ITqRegister *)", "CreateInteger()")
    floating = ("CreateFloat(ITqRegister *,double,double)", "CreateFloat(ITqRegister *)", "CreateFloat()")
    category = ("SetCategory(TqString const &)", "SetCategory(TqString const &,TqString const &)")
    entry = ("AddEnumEntry(TqString const &,uint32_t)",
             "AddEnumEntry(TqString const &,uint32_t,TqString const &,TqGenNameSpace)",
             "AddEnumEntry(TqString const &,uint32_t,TqString const &)")

    def kind(name):
        return ("%s(ITqRegister *)" % name, "%s()" % name)

    def count(func, expected, given, at_most=True):
        return "%s expected %s%d arguments, got %d" % (G + func, "at most " if at_most else "", expected, given)

    extend = "\nAdditional information:\n"
    cases = [
        # The Create dispatchers.
        ("CreateInteger", (), TypeError, overload_text(G + "CreateInteger", *integer)),
        ("CreateInteger", (f, reg, 0), TypeError, overload_text(G + "CreateInteger", *integer)),
        ("CreateInteger", (f, reg, 0, 2**63), TypeError, overload_text(G + "CreateInteger", *integer)),
        ("CreateInteger", (f, k.TqResult(0)), TypeError, overload_text(G + "CreateInteger", *integer)),
        ("CreateInteger", (None, reg, 0, 1), TypeError, arg(G + "CreateInteger", 1, "ITqGenApiFactory *")),
        ("CreateFloat", (f, reg, 0.5), TypeError, overload_text(G + "CreateFloat", *floating)),
        ("CreateFloat", (f, reg, 0.0, 10**400), TypeError, overload_text(G + "CreateFloat", *floating)),
        ("CreateString", (f, reg, 1), TypeError,
         count("CreateString", 2, 3) + extend + overload_text(G + "CreateString", *kind("CreateString"))),
        ("CreateRegister", (f, "reg"), TypeError, overload_text(G + "CreateRegister", *kind("CreateRegister"))),
        ("CreateBoolean", (None,), TypeError, arg(G + "CreateBoolean", 1, "ITqGenApiFactory *")),
        ("CreateCommand", (f, 5), TypeError, overload_text(G + "CreateCommand", *kind("CreateCommand"))),
        ("CreateEnum", (), TypeError, overload_text(G + "CreateEnum", *kind("CreateEnum"))),
        # The formula wrappers.
        ("CreateIntSwissKnife", (f,), TypeError, count("CreateIntSwissKnife", 2, 1, False)),
        ("CreateFloatSwissKnife", (f, 42), TypeError, TEXT_ERROR % 2),
        ("CreateIntConverter", (f, "A", "TO"), TypeError, count("CreateIntConverter", 4, 3, False)),
        ("CreateFloatConverter", (f, "A", "TO", 5), TypeError, TEXT_ERROR % 4),
        ("CreateIntSwissKnife", (None, "1"), TypeError, arg(G + "CreateIntSwissKnife", 1, "ITqGenApiFactory *")),
        # SetCategory and AddEnumEntry.
        ("SetCategory", (f,), TypeError, overload_text(G + "SetCategory", *category)),
        ("SetCategory", (f, 5), TypeError, TEXT_ERROR % 2),
        ("SetCategory", (f, "A", 5), TypeError, TEXT_ERROR % 3),
        ("SetCategory", (f, "A", "B", "C"), TypeError,
         count("SetCategory", 3, 4) + extend + overload_text(G + "SetCategory", *category)),
        ("SetCategory", (None, "A"), TypeError, arg(G + "SetCategory", 1, "ITqGenApiFactory *")),
        ("AddEnumEntry", (f, "On", "1"), TypeError, overload_text(G + "AddEnumEntry", *entry)),
        ("AddEnumEntry", (f, 5, 1), TypeError, TEXT_ERROR % 2),
        ("AddEnumEntry", (f, "On", 1, 5), TypeError, TEXT_ERROR % 4),
        ("AddEnumEntry", (f, "On", -1), TypeError, overload_text(G + "AddEnumEntry", *entry)),
        ("AddEnumEntry", (f, "On", 1, "", 2**31), TypeError, overload_text(G + "AddEnumEntry", *entry)),
        ("AddEnumEntry", (f, "On", 1, "", 1, 2), TypeError,
         count("AddEnumEntry", 5, 6) + extend + overload_text(G + "AddEnumEntry", *entry)),
        # The setters.
        ("SetName", (f,), TypeError, count("SetName", 2, 1, False)),
        ("SetName", (f, None), TypeError, TEXT_ERROR % 2),
        ("SetPIsLocked", (f, 5), TypeError, TEXT_ERROR % 2),
        ("SetName", (None, "A"), TypeError, arg(G + "SetName", 1, "ITqGenApiFactory *")),
        ("SetAccessMode", (f, 2**31), OverflowError, arg(G + "SetAccessMode", 2, "TqGenAccessMode")),
        ("SetAccessMode", (f, 1.0), TypeError, arg(G + "SetAccessMode", 2, "TqGenAccessMode")),
        ("SetRepresentation", (f, -2**31 - 1), OverflowError, arg(G + "SetRepresentation", 2, "TqGenRepresentation")),
        ("SetVisibility", (f, "1"), TypeError, arg(G + "SetVisibility", 2, "TqGenVisibility")),
        ("SetCachable", (f, 2**40), OverflowError, arg(G + "SetCachable", 2, "TqGenCache")),
        ("SetNameSpace", (f, None), TypeError, arg(G + "SetNameSpace", 2, "TqGenNameSpace")),
        ("SetPollingTime", (f, -1), OverflowError, arg(G + "SetPollingTime", 2, "uint32_t")),
        ("SetPollingTime", (f, 2**32), OverflowError, arg(G + "SetPollingTime", 2, "uint32_t")),
        ("SetTLLocked", (f, 1), TypeError, arg(G + "SetTLLocked", 2, "bool")),
        ("SetStreamable", (f, None), TypeError, arg(G + "SetStreamable", 2, "bool")),
    ]
    for func, args, exc, message in cases:
        with pytest.raises(exc) as info:
            getattr(m, G + func)(*args)
        assert type(info.value) is exc and str(info.value) == message, (func, args)
    # What passes the same checks.
    assert m.ITqGenApiFactory_SetAccessMode(f, 999) is None and m.ITqGenApiFactory_SetPollingTime(f, 2**32 - 1) is None
    assert m.delete_ITqGenApiFactory(None) is None
    assert m.delete_ITqGenApiFactory.__doc__.strip() == "Virtual destructor."
    assert not m.ITqGenApiFactory_SetPIsLocked.__doc__ and not m.ITqGenApiFactory_CreateRegister.__doc__
    assert m.ITqGenApiFactory_SetName.__doc__ and m.ITqGenApiFactory_CreateInteger.__doc__


def test_a_factory_kept_past_its_device_raises_reference_error(k, m):
    made = Described(k, lambda k, f, reg, results: None)
    f = made.kept["factory"]
    assert f.CreateInteger().GetCode() == STATE_ERROR
    made.stop()
    m.delete_TqSoftDeviceGEV(made.device)
    for call in (lambda: f.SetName("Late"), lambda: f.CreateInteger(), lambda: f.AddEnumEntry("On", 1)):
        with pytest.raises(ReferenceError):
            call()


@pytest.mark.parametrize("chunks", [True, False])
def test_a_feature_joins_any_of_the_devices_own_categories(k, chunks):
    """SetCategory with a category of the device's own (ChunkDataControl with or without chunks,
    UserSetControl, ImageFormatControl) puts the feature there; no second node of that name."""
    def describe(k, f, reg, results):
        for name, category, address in (("Counter", "ChunkDataControl", VALUE_A), ("Saved", "UserSetControl", VALUE_B),
                                         ("Gain", "ImageFormatControl", PLAIN)):
            f.SetName(name)
            f.SetCategory(category)
            results.append(f.CreateInteger(reg[address], 0, 100).GetCode())

    made = Described(k, describe, start=False)
    source = type("Plain", (k.TqStreamingChannelSourceDefault,), {})(64, 64, 17301505, 4)
    if chunks:
        source.GetSupportedChunk = lambda index: (0, 0x4001, "ChunkCounter") if index == 0 else (INVALID, 0, None)
    try:
        assert made.device.AddStream(source).IsOK()
        started = made.device.Start(LO)
        assert started.IsOK(), str(started.GetDescription())
        assert made.results == [OK] * 3
        root = made.xml()
        assert [n.get("Name") for n in root if n.get("Name") == "ChunkDataControl"] == ["ChunkDataControl"]
        chunk_category = [e.text for e in node(root, "ChunkDataControl").findall("pFeature")]
        assert chunk_category[-1] == "Counter" and ("ChunkModeActive" in chunk_category) == chunks
        assert "ChunkDataControl" in [e.text for e in node(root, "Root").findall("pFeature")]
        assert [e.text for e in node(root, "UserSetControl").findall("pFeature")][-1] == "Saved"
        assert [e.text for e in node(root, "ImageFormatControl").findall("pFeature")][-1] == "Gain"
    finally:
        made.stop()
