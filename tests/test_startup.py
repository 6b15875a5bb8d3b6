"""Start-up of _kivo_python64: the integer constants and enumeration dictionaries it installs, and
the checks of NumPy's C-API table that can make the import fail."""

import re
import textwrap

import pytest


def pairs(text):
    words = text.split()
    return [(words[i], int(words[i + 1], 0)) for i in range(0, len(words), 2)]


RESULT_CODES = pairs("""
    TQ_OK 0 TQ_NOT_INITIALIZED 1541 TQ_NOT_FOUND 25 TQ_CANNOT_OPEN_FILE 6 TQ_NO_MORE_ITEM 21
    TQ_NOT_CONNECTED 23 TQ_STATE_ERROR 28 TQ_THREAD_ERROR 29 TQ_INVALID_DATA_FORMAT 1281 TQ_ABORTED 1
    TQ_NOT_ENOUGH_MEMORY 24 TQ_GENERIC_ERROR 16384 TQ_INVALID_PARAMETER 16385 TQ_CANCEL 16386
    TQ_PENDING 65535 TQ_TIMEOUT 30 TQ_GENICAM_XML_ERROR 2308 TQ_CANT_READ_MANIFEST 2309
    TQ_NOT_IMPLEMENTED 1540 TQ_NOT_SUPPORTED 26 TQ_FILE_ERROR 16 TQ_ERR_OVERFLOW 27 TQ_IMAGE_ERROR 37
    TQ_MISSING_PACKETS 39 TQ_BUFFER_TOO_SMALL 4 TQ_TOO_MANY_RESENDS 2816 TQ_RESENDS_FAILURE 2817
    TQ_TOO_MANY_CONSECUTIVE_RESENDS 2819 TQ_AUTO_ABORTED 2818 TQ_BAD_VERSION 513 TQ_NO_MORE_ENTRY 1539
    TQ_NO_AVAILABLE_DATA 20 TQ_NETWORK_ERROR 19 TQ_NETWORK_CONFIG_ERROR 1536 TQ_RESYNC 40 TQ_BUSY 514
    TQ_CORRUPTED_DATA 771""")

BIT_FIELDS = pairs("""
    TQPIXELMONO 0x01000000 TQPIXELRGB 0x02000000 TQPIXELCOLOR 0x02000000 TQPIXELCUSTOM -2147483648
    TQPIXELCOLORMASK -16777216 TQPIXEL1BIT 0x10000 TQPIXEL2BIT 0x20000 TQPIXEL4BIT 0x40000
    TQPIXEL8BIT 0x80000 TQPIXEL10BIT 0xA0000 TQPIXEL12BIT 0xC0000 TQPIXEL14BIT 0xE0000
    TQPIXEL16BIT 0x100000 TQPIXEL20BIT 0x140000 TQPIXEL24BIT 0x180000 TQPIXEL30BIT 0x1E0000
    TQPIXEL32BIT 0x200000 TQPIXEL36BIT 0x240000 TQPIXEL40BIT 0x280000 TQPIXEL48BIT 0x300000
    TQPIXEL64BIT 0x400000 TQPIXEL96BIT 0x600000 TQBITSPERPIXELMASK 0xFF0000 TQPIXELIDMASK 0xFFFF""")

# Enumerations in order of installation, with their member counts.
ENUMS = pairs("""
    TqLogLevelEnum 6 TqPixelType 241 TqPayloadType 14 TqMultiPartDataType 13 TqComponentType 10
    TqEncodingEnum 2 TqBayerFilterType 2 TqBiColorFilterType 2 TqGenVisibility 5 TqGenType 8
    TqGenRepresentation 8 TqGenNameSpace 3 TqGenAccessMode 6 TqGenCache 4 TqGenRefresh 4
    TqGenEndianness 3 TqGenSign 3 TqAccessType 5 TqActionAckStatusEnum 4 TqUserSetState 4 TqScanType 5
    TqDeviceClass 5 TqUSBStatus 11 TqInterfaceType 3 TqDeviceInfoType 5 TqUSBSpeed 6 TqDeviceType 3
    TqStreamType 4 TqDataReceiverType 4 TqDeviceSerial 11""")

PIXELS = pairs("""
    TqPixelUndefined 0 TqPixelMono8 0x01080001 TqPixelBayerRG8 0x01080009 TqPixelRGB8 0x02180014
    TqPixelMono12Packed 0x010C0006 TqPixelMono32 0x01200111 TqPixelBayerBG10p 0x010A0052
    TqPixelRGB10p 0x021E0052 TqPixelRGB12p 0x0224005C TqPixelRGB14 0x0230005D TqPixelRGBa10 0x0240005E
    TqPixelRGBa10p 0x0228005F TqPixelRGBa12 0x02400060 TqPixelRGBa12p 0x02300061
    TqPixelRGBa14 0x02400062 TqPixelRGBa16 0x02400063""")

MEMBERS = pairs("""
    TqPayloadTypeUndefined -1 TqPayloadTypeDeviceSpecificBase 32768 TqPayloadTypeZelvraCompressed 32999
    TqEncodingUnknown -1 TqGenVisibilityUndefined 999 TqGenTypeFloat 5 TqGenRefreshInvalid -1
    TqUSBStatusNotInitialized -1 TqMultiPartJPEG2000Image 12 TqDeviceSerialBulk7 9 TqStreamTypeRTP 2""")


def enum_dicts(m):
    return {name: value for name, value in vars(m).items() if type(value) is dict}


def test_namespace_holds_only_constants_dicts_and_functions(m):
    kinds = {type(v).__name__ for n, v in vars(m).items() if not (n.startswith("__") and n.endswith("__"))}
    assert kinds == {"int", "dict", "builtin_function_or_method"}
    assert m.__doc__ is None
    ints = [n for n, v in vars(m).items() if type(v) is int]
    assert len(ints) == 465
    assert [(name, len(members)) for name, members in enum_dicts(m).items()] == ENUMS


def test_result_codes_and_bit_fields_stand_alone(m):
    for name, value in RESULT_CODES + BIT_FIELDS:
        assert getattr(m, name) == value, name
    alone = {name for name, _ in RESULT_CODES + BIT_FIELDS}
    members = [n for d in enum_dicts(m).values() for n in d]
    assert len(members) == len(set(members)) == 465 - len(alone)
    assert not alone & set(members)
    assert {n for n, v in vars(m).items() if type(v) is int} == alone | set(members)


def test_enumeration_dicts_share_the_namespace_ints(m):
    for enum, members in enum_dicts(m).items():
        for name, value in members.items():
            assert getattr(m, name) is value, (enum, name)
    assert m.TqGenType["TqGenTypeFloat"] is m.TqGenTypeFloat
    assert list(m.TqLogLevelEnum.values()) == list(range(6))
    for name, value in MEMBERS:
        assert getattr(m, name) == value, name


def test_namespace_order_is_order_of_installation(m):
    constants = [n for n, v in vars(m).items() if type(v) in (int, dict)]
    log_levels = list(m.TqLogLevelEnum)
    expected = [n for n, _ in RESULT_CODES] + [log_levels[0], "TqLogLevelEnum"] + log_levels[1:]
    expected += [n for n, _ in BIT_FIELDS] + ["TqPixelUndefined", "TqPixelType"]
    assert constants[: len(expected)] == expected
    pixels = list(m.TqPixelType)
    assert pixels[:4] == ["TqPixelUndefined", "TqPixelMono8", "TqPixelMono8s", "TqPixelMono10"]
    assert pixels[-3:] == ["TqPixelBayerGB4p", "TqPixelBayerBG4p", "TqPixelMono32"]
    assert constants[len(expected): len(expected) + 240] == pixels[1:]
    assert list(m.TqGenVisibility) == ["TqGenVisibility" + s for s in ("Beginner", "Expert", "Guru", "Invisible",
                                                                       "Undefined")]


def test_pixel_types(m):
    pixels = m.TqPixelType
    assert all(name.startswith("TqPixel") for name in pixels)
    for name, value in PIXELS:
        assert pixels[name] == value, name
    # Identifiers run upward with the installation order, apart from a few known gaps.
    jumps = {"TqPixelBayerBG10p": 0x52, "TqPixelYCbCr422_10": 0x65, "TqPixelCoord3D_ABC12p": 0xDE,
             "TqPixelCoord3D_AC10p": 0xF0, "TqPixelMono14p": 0x104}
    expected_id = 0
    for name, value in pixels.items():
        assert value & 0xFFFF == jumps.get(name, expected_id), name
        expected_id = (value & 0xFFFF) + 1
        if name != "TqPixelUndefined":
            mono = re.match(r"(Mono|Bayer|SCF1|Confidence|[RGB]\d|Coord3D_[ABC]\d)", name[len("TqPixel"):])
            assert value & m.TQPIXELCOLORMASK == (m.TQPIXELMONO if mono else m.TQPIXELCOLOR), name
    assert not any(v & 0xFFFF == 0x64 for v in pixels.values())
    assert (pixels["TqPixelConfidence1"] >> 16) & 0xFF == 8 and (pixels["TqPixelConfidence1p"] >> 16) & 0xFF == 1


# A fresh interpreter per case: NumPy's table is replaced by a stand-in before the import.
NUMPY_CASE = textwrap.dedent("""
    import sys, types
    import _kivo_testhooks as hooks
    for name in ("numpy", "numpy.core"):
        sys.modules[name] = types.ModuleType(name)
        sys.modules[name].__path__ = []
    fake = types.ModuleType("numpy.core._multiarray_umath")
    {setup}
    sys.modules["numpy.core._multiarray_umath"] = fake
    try:
        import _kivo_python64 as m
    except ImportError as error:
        sys.stderr.write("outcome: %s: %s\\n" % (type(error).__name__, error))
        assert "_kivo_python64" not in sys.modules
    else:
        print("loaded", sum(type(v) is dict for v in vars(m).values()))
""")

FAILED = "outcome: ImportError: numpy.core.multiarray failed to import"

TABLE = "fake._ARRAY_API = hooks.fake_array_api(0x%x, %d, %d)"
NUMPY_FAILURES = {
    "feature": (TABLE % (0x1000009, 15, 1), "RuntimeError: module compiled against API version 0x10 but this version "
                "of numpy is 0xf . Check the section C-API incompatibility at the Troubleshooting ImportError "
                "section at "),
    "abi": (TABLE % (0x1000008, 16, 1),
            "RuntimeError: module compiled against ABI version 0x1000009 but this version of numpy is 0x1000008"),
    "endian-unknown": (TABLE % (0x1000009, 16, 0), "RuntimeError: FATAL: module compiled as unknown endian"),
    "endian-big": (TABLE % (0x1000009, 16, 2), "RuntimeError: FATAL: module compiled as little endian, but "
                   "detected different endianness at runtime"),
    "no-table": ("pass", "AttributeError: _ARRAY_API not found"),
    "not-capsule": ("fake._ARRAY_API = b'table'", "RuntimeError: _ARRAY_API is not PyCapsule object"),
    "no-numpy": ("sys.modules['numpy'] = None", "ModuleNotFoundError: import of numpy halted; None in sys.modules"),
    "no-multiarray": ("fake = None", "import of numpy.core._multiarray_umath halted; None in sys.modules"),
}
# A capsule holding a null pointer ("_ARRAY_API is NULL pointer") cannot be made from Python.


@pytest.mark.parametrize("case", NUMPY_FAILURES)
def test_numpy_failure_makes_import_fail(python_run, case):
    setup, first_error = NUMPY_FAILURES[case]
    proc = python_run(NUMPY_CASE.format(setup=setup))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""
    assert first_error in proc.stderr
    assert proc.stderr.index(first_error) < proc.stderr.index(FAILED)
    assert proc.stderr.count(FAILED) == 1


@pytest.mark.parametrize("feature", [16, 17])
def test_usable_numpy_table_lets_every_enumeration_in(python_run, feature):
    proc = python_run(NUMPY_CASE.format(setup=TABLE % (0x1000009, feature, 1)))
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "loaded 30\n", "")


def test_the_module_tables_agree(hooks):
    """The type table is sorted for its binary search, every wrapped class is bound to its descriptor
    and every bound class has a row of the class table (a debug build refuses to import otherwise)."""
    assert hooks.table_problems() == []
