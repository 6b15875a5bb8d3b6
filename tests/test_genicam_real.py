"""Real cameras' GenICam descriptions (../shared/genicam-samples/real beside the repository, and the two older
samples beside them), read over a sparse port of zeros (registers up to 0xFFFFFFFF): each loads, every readable
feature reads with its limits and entries, refusing only what zeroed registers cannot give back (an enumeration
value that no entry has, a boolean neither on nor off, an increment that is not positive); conversions between
the interfaces that real descriptions rely on read and write; and, where aravis is installed, every feature that
both read has the same value there (aravis over a device whose memory reads as zeros, in a process of its own
without the sanitizer preload)."""

import glob
import json
import math
import os
import subprocess

import pytest

from conftest import clean_environment

SAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "..", "shared",
                       "genicam-samples")
FILES = sorted(glob.glob(os.path.join(SAMPLES, "real", "*.xml"))) + sorted(glob.glob(os.path.join(SAMPLES, "*.xml")))
PORT = 2**64 - 1

# What a register of zeros may leave unreadable: the value as data the description cannot read back.
DATA_REFUSALS = ("which no entry has", "neither the on value", "is not positive")


def description(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


@pytest.fixture(scope="module")
def samples():
    if len(FILES) < 11:
        pytest.skip("the sample descriptions are not at %s" % os.path.normpath(SAMPLES))
    return FILES


def load(hooks, k, path):
    array = hooks.load_parameters(description(path), PORT)
    assert type(array) is k.TqGenParameterArray, "%s: %s" % (os.path.basename(path), array.GetDescription())
    return array


def read_all(m, array):
    """Every readable feature's value (with limits, entries): {name: (kind, ...)}, and what failed."""
    values, failures = {}, []

    def get(name, what, out, allowed=()):
        result, value = (out[0], out[1]) if isinstance(out, list) else (out, None)
        if result.IsOK():
            return value
        text = str(result.GetDescription())
        if not (result.GetCode() == m.TQ_INVALID_DATA_FORMAT and any(r in text for r in DATA_REFUSALS)) \
                and not any(r in text for r in allowed):
            failures.append("%s (%s): %s %s" % (name, what, result.GetCodeString(), text))
        return None

    for i in range(array.GetCount()):
        p = array.Get(i)
        name = m.TqGenParameter_GetName(p)[1]
        if not m.TqGenParameter_IsReadable(p)[1]:
            continue
        kind = m.TqGenParameter_GetType(p)[1]
        # A limit may be read from chunk data, which no buffer has attached here.
        limit = ("no chunk data attached",)
        if kind == m.TqGenTypeInteger:
            values[name] = ("int", get(name, "value", m.TqGenInteger_GetValue(p)),
                            get(name, "min", m.TqGenInteger_GetMin(p), limit),
                            get(name, "max", m.TqGenInteger_GetMax(p), limit))
            get(name, "increment", m.TqGenInteger_GetIncrement(p), limit)
        elif kind == m.TqGenTypeFloat:
            values[name] = ("float", get(name, "value", m.TqGenFloat_GetValue(p)),
                            get(name, "min", m.TqGenFloat_GetMin(p), limit),
                            get(name, "max", m.TqGenFloat_GetMax(p), limit))
        elif kind == m.TqGenTypeEnum:
            available = set()
            for j in range(m.TqGenEnum_GetEntriesCount(p)[1]):
                entry = m.TqGenEnum_GetEntryByIndex(p, j)[1]
                if m.TqGenEnumEntry_IsAvailable(entry)[1]:
                    available.add(m.TqGenEnumEntry_GetName(entry)[1])
            get(name, "entry", m.TqGenEnum_GetValueString(p))
            values[name] = ("enum", get(name, "value", m.TqGenEnum_GetValueInt(p)), sorted(available))
        elif kind == m.TqGenTypeBoolean:
            values[name] = ("bool", get(name, "value", m.TqGenBoolean_GetValue(p)))
        elif kind == m.TqGenTypeString:
            values[name] = ("str", get(name, "value", m.TqGenString_GetValue(p)))
        elif kind == m.TqGenTypeRegister:
            get(name, "bytes", m.TqGenParameter_ToString(p))
    return values, failures


def test_every_description_loads_and_every_readable_feature_reads(m, k, hooks, samples):
    for path in samples:
        array = load(hooks, k, path)
        values, failures = read_all(m, array)
        assert failures == [], os.path.basename(path)
        assert len(values) > array.GetCount() // 2, os.path.basename(path)


def test_what_real_descriptions_rely_on(m, k, hooks, samples):
    real = {os.path.basename(path): path for path in samples}
    # A Float over an Integer: floats go down rounded, come back whole.
    adimec = load(hooks, k, real["Adimec_Q12A180CXP_1_1_5.xml"])
    assert adimec.SetFloatValue("ExposureTime", 250.4).IsOK()
    assert adimec.GetIntegerValue("ExposureTimeRaw")[1] == 250 and adimec.GetFloatValue("ExposureTime")[1] == 250.0
    assert adimec.SetIntegerValue("ExposureTimeRaw", 77).IsOK() and adimec.GetFloatValue("ExposureTime")[1] == 77.0
    assert adimec.GetFloatRange("ExposureTime")[1:] == (1.0, 100000.0)
    assert adimec.SetFloatValue("ExposureTime", 100000.5).GetCode() == m.TQ_INVALID_PARAMETER
    # An Integer over a Converter: the float's integer part, and what is written reads back whole.
    teledyne = load(hooks, k, real["Teledyne_ShadoBox.xml"])
    assert teledyne.GetIntegerValue("ExtendedExposure")[1] == -627   # (0 + 43970) / 65 - 1304.2
    for value in (100, 744, 65535):
        assert teledyne.SetIntegerValue("ExtendedExposure", value).IsOK(), value
        assert teledyne.GetIntegerValue("ExtendedExposure")[1] == value
    # A Register whose length another node gives (0 while that register reads 0).
    buffer = teledyne.GetRegister("FileAccessBuffer")
    assert m.TqGenRegister_GetLength(buffer)[1] == 0 and m.TqGenParameter_ToString(buffer)[1] == ""
    # Bounds that read each other's values: Height's maximum reads OffsetY, OffsetY's reads Height.
    sony = load(hooks, k, real["Sony_CVC_EH6300.xml"])
    assert sony.GetIntegerRange("Height")[1:] == (2, 0) and sony.GetIntegerRange("OffsetY")[1:] == (0, 0)
    # A selector whose pIsImplemented formula reads selectors that are not implemented themselves:
    # the formula's value decides, so the selector is there.
    basler = load(hooks, k, real["Basler-acA1920-25gm.xml"])
    selector = basler.Get("ColorTransformationValueSelector")
    assert m.TqGenParameter_IsImplemented(selector)[1] and basler.GetEnumValueString("ColorTransformationValueSelector")[1]
    assert not m.TqGenParameter_IsImplemented(basler.Get("ColorTransformationSelector"))[1]
    # A register just below 4 GiB (0xFFFFFF70) reads as zeros and keeps what is written.
    pco = load(hooks, k, real["PCO1600.xml"])
    assert pco.GetIntegerValue("RegR2RDelay")[1] == 0
    assert pco.SetIntegerValue("RegR2RDelay", 0x12345678).IsOK() and pco.InvalidateCache().IsOK()
    assert pco.GetIntegerValue("RegR2RDelay")[1] == 0x12345678


ARAVIS = r"""
import ctypes, json, math, sys
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis, GObject


class ZeroDevice(Aravis.Device):
    pass


# Introspection hands a Python read_memory no buffer to fill, so the class's four register functions (the last
# function pointers of its class structure before control_lost) are set to C callbacks made by ctypes.
gobject = ctypes.CDLL("libgobject-2.0.so.0")
gobject.g_type_class_ref.restype = ctypes.c_void_p
gobject.g_type_class_ref.argtypes = [ctypes.c_size_t]
MEMORY = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint32, ctypes.c_void_p, ctypes.c_void_p)
GET = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.POINTER(ctypes.c_uint32), ctypes.c_void_p)
SET = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint32, ctypes.c_void_p)


def read_memory(device, address, size, buffer, error):
    ctypes.memset(buffer, 0, size)
    return 1


def read_register(device, address, value, error):
    value[0] = 0
    return 1


callbacks = [MEMORY(read_memory), MEMORY(lambda *a: 1), GET(read_register), SET(lambda *a: 1)]
size = GObject.type_query(Aravis.Device.__gtype__).class_size
cls = gobject.g_type_class_ref(hash(ZeroDevice.__gtype__))
for i, f in enumerate(callbacks):
    ctypes.c_void_p.from_address(cls + size - 5 * 8 + 8 * i).value = ctypes.cast(f, ctypes.c_void_p).value


def number(x):
    return x if math.isfinite(x) else repr(x)


# aravis's formulas read integer and float variables only: one that names a Boolean is left out of the
# formula, and so is what reads such a formula.
VALUE_REFERENCES = ("pValue", "pVariable", "pIndex", "pValueIndexed", "pValueDefault")


def reads_a_boolean_variable(gc, name, memo):
    if name not in memo:
        memo[name] = False   # a reference back (none loads) ends here
        node, found = gc.get_node(name), False
        child = node.get_first_child() if node is not None else None
        while child is not None and not found:
            text = child.get_first_child()
            if child.get_node_name() in VALUE_REFERENCES and text is not None:
                target = text.get_node_value().strip()
                found = (child.get_node_name() == "pVariable" and isinstance(gc.get_node(target), Aravis.GcBoolean)) \
                    or reads_a_boolean_variable(gc, target, memo)
            child = child.get_next_sibling()
        memo[name] = found
    return memo[name]


out = {}
for path, names in json.load(sys.stdin).items():
    xml = open(path, "rb").read()
    text = ctypes.create_string_buffer(xml, len(xml))
    device = ZeroDevice()   # the document keeps no reference to its device
    gc = Aravis.Gc.new(device, ctypes.addressof(text), len(xml))
    values = out[path] = {}
    memo = {}
    for name in names:
        node = gc.get_node(name)
        if reads_a_boolean_variable(gc, name, memo):
            continue
        try:
            if isinstance(node, Aravis.GcEnumeration):
                values[name] = ["enum", node.get_int_value(), sorted(node.dup_available_string_values())]
            elif isinstance(node, Aravis.GcBoolean):
                values[name] = ["bool", node.get_value()]
            elif isinstance(node, Aravis.GcInteger):
                values[name] = ["int", node.get_value()]
            elif isinstance(node, Aravis.GcFloat):
                values[name] = ["float", number(node.get_value())]
            elif isinstance(node, Aravis.GcString):
                values[name] = ["str", node.get_value()]
        except Exception:
            pass   # what aravis cannot read is not compared
print(json.dumps(out))
"""


def aravis_installed():
    probe = 'import gi; gi.require_version("Aravis", "0.8"); from gi.repository import Aravis'
    return subprocess.run(["/usr/bin/python3", "-c", probe], capture_output=True, env=clean_environment()).returncode == 0


def same(ours, theirs):
    if ours[0] == "float":
        a, b = ours[1], float(theirs[1])
        if (math.isnan(a) and math.isnan(b)) or a == b or abs(a - b) <= 1e-9 * max(abs(a), abs(b)):
            return True
        # A float formula's division by zero: IEEE's infinity or NaN here, an error in aravis, which reads
        # it as 0.0.
        return not math.isfinite(a) and b == 0.0
    if ours[0] == "enum":
        return ours[1] == theirs[1] and ours[2] == theirs[2]
    return ours[1] == theirs[1]


def test_values_agree_with_aravis(m, k, hooks, samples):
    if not aravis_installed():
        pytest.skip("aravis's GObject introspection (python3-gi, gir1.2-aravis-0.8) is not installed")
    ours = {}
    for path in samples:
        values, _ = read_all(m, load(hooks, k, path))
        ours[path] = {name: value for name, value in values.items() if value[1] is not None}
    request = {path: sorted(values) for path, values in ours.items()}
    try:
        proc = subprocess.run(["/usr/bin/python3", "-c", ARAVIS], input=json.dumps(request), capture_output=True,
                              text=True, env=clean_environment(), timeout=300)
    except subprocess.TimeoutExpired as error:
        pytest.fail("aravis did not finish: %s" % (error.stderr or "")[-2000:])
    assert proc.returncode == 0, proc.stderr[-4000:]
    theirs = json.loads(proc.stdout)
    for path in samples:
        compared, differ = 0, []
        for name, value in ours[path].items():
            other = theirs[path].get(name)
            if other is None or other[0] != value[0]:
                continue
            compared += 1
            if not same(value, other):
                differ.append((name, value, other))
        assert differ == [], os.path.basename(path)
        assert compared > len(ours[path]) // 2, (os.path.basename(path), compared, len(ours[path]))
