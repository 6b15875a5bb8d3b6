"""Enumerations and their entries, categories, and parameter lists on the camera description:
the int-before-text overload, entries handed back whatever the result, categories kept apart from
parameters, and lists whose cursor and items follow the SDK."""

import gc

from conftest import arg, ok, raises

SET_VALUE = ("Wrong number or type of arguments for overloaded function 'TqGenEnum_SetValue'.\n"
             "  Possible C/C++ prototypes are:\n    TqGenEnum::SetValue(int64_t)\n    TqGenEnum::SetValue(TqString const &)\n")
MONO8, MONO16, BAYER = 0x01080001, 0x01100007, 0x01080009


def test_enumeration_values_and_overloads(m, k, camera):
    pixels = camera.Get("PixelFormat")
    assert ok(m.TqGenEnum_GetEntriesCount(pixels)) == 4
    assert m.TqGenEnum_SetValue(pixels, MONO16).IsOK()   # the integer form
    assert ok(m.TqGenEnum_GetValueString(pixels)) == "Mono16" and ok(m.TqGenEnum_GetValueInt(pixels)) == MONO16
    assert m.TqGenEnum_SetValue(pixels, k.TqString("Mono8")).IsOK() and ok(pixels.GetValueInt()) == MONO8
    # True is the integer 1, which no entry has; an unavailable entry is refused; the value stays.
    assert m.TqGenEnum_SetValue(pixels, True).GetCode() == m.TQ_INVALID_PARAMETER
    assert m.TqGenEnum_SetValue(pixels, "BayerRG8").GetCode() == m.TQ_INVALID_PARAMETER
    assert ok(pixels.GetValueString()) == "Mono8"
    for args in ((pixels, 2**64), (pixels, b"x"), (pixels,), (camera.Get("Width"), 1)):
        raises(TypeError, SET_VALUE, m.TqGenEnum_SetValue, *args)
    # None as self reaches the form the value chooses, which refuses it.
    raises(TypeError, arg("TqGenEnum_SetValue", 1, "TqGenEnum *"), m.TqGenEnum_SetValue, None, 1)
    raises(TypeError, "TqGenEnum_SetValue expected at most 2 arguments, got 3\nAdditional information:\n" + SET_VALUE,
           m.TqGenEnum_SetValue, pixels, 1, 2)
    # None picks the string form, which refuses it before the SDK sees it.
    raises(TypeError, "Argument 2: failed to create TqString from Python string", m.TqGenEnum_SetValue, pixels, None)
    raises(TypeError, arg("TqGenEnum_GetValueInt", 1, "TqGenEnum *"), m.TqGenEnum_GetValueInt, camera.Get("Width"))
    raises(TypeError, arg("TqGenEnum_GetEntriesCount", 1, "TqGenEnum const *"), m.TqGenEnum_GetEntriesCount, None)
    # Locked: the flag and the write agree.
    m.TqGenInteger_SetValue(camera.Get("TLParamsLocked"), 1)
    assert m.TqGenEnum_SetValue(pixels, "Mono16").GetCode() == m.TQ_STATE_ERROR


def test_entries(m, k, camera, no_leaks):
    pixels = camera.Get("PixelFormat")
    with no_leaks(camera, pixels):
        mono = ok(m.TqGenEnum_GetEntryByName(pixels, "Mono8"))
        assert type(mono) is k.TqGenEnumEntry and not mono.thisown
        assert ok(m.TqGenEnumEntry_GetValue(mono)) == MONO8 and ok(mono.GetDisplayName()) == "Mono 8"
        assert ok(mono.GetName()) == "Mono8" and ok(mono.GetNameSpace()) == m.TqGenNameSpaceStandard
        assert ok(mono.GetVisibility()) == m.TqGenVisibilityBeginner and ok(mono.IsVisible(True)) is True
        again = ok(m.TqGenEnum_GetEntryByValue(pixels, MONO8))
        assert again is not mono and again.this == mono.this
        bayer = ok(pixels.GetEntryByIndex(3))
        assert ok(bayer.GetName()) == "BayerRG8" and ok(bayer.IsAvailable()) is False
        assert ok(bayer.GetDisplayName()) == "BayerRG8" and ok(bayer.GetDescription()).startswith("Raw colour")
        # Misses come back as a failed result and None, never an exception.
        for lookup, key in ((m.TqGenEnum_GetEntryByName, "Mono12"), (m.TqGenEnum_GetEntryByIndex, -1),
                            (m.TqGenEnum_GetEntryByIndex, 4), (m.TqGenEnum_GetEntryByValue, 7)):
            result, entry = lookup(pixels, key)
            assert result.GetCode() == m.TQ_NOT_FOUND and entry is None
        raises(OverflowError, arg("TqGenEnum_GetEntryByIndex", 2, "int64_t"), m.TqGenEnum_GetEntryByIndex, pixels,
               2**63)
        raises(TypeError, "Argument 2: failed to create TqString from Python string", m.TqGenEnum_GetEntryByName,
               pixels, None)
        raises(TypeError, arg("TqGenEnumEntry_IsVisible", 2, "TqGenVisibility"), m.TqGenEnumEntry_IsVisible, mono,
               "1")
        # Entries and parameters are different things.
        raises(TypeError, arg("TqGenParameter_GetName", 1, "TqGenParameter const *"), m.TqGenParameter_GetName, mono)
        raises(TypeError, arg("TqGenEnumEntry_GetName", 1, "TqGenEnumEntry const *"), m.TqGenEnumEntry_GetName,
               pixels)
        del mono, again, bayer, result, entry


def test_categories(m, k, camera):
    root, control = camera.GetCategory("Root"), camera.GetCategory("DeviceControl")
    assert ok(m.TqGenCategory_GetName(root)) == "Root" and ok(control.GetDisplayName()) == "Device Control"
    assert ok(root.GetDisplayName()) == "Root" and ok(root.GetNameSpace()) == m.TqGenNameSpaceStandard
    assert ok(control.IsImplemented()) is True and ok(control.GetVisibility()) == m.TqGenVisibilityBeginner
    assert ok(control.IsVisible(m.TqGenVisibilityBeginner)) is True
    # Out-of-range levels reach the SDK, which refuses them; the bool is still there.
    result, visible = m.TqGenCategory_IsVisible(control, 999)
    assert result.GetCode() == m.TQ_INVALID_PARAMETER and visible is False
    raises(OverflowError, arg("TqGenCategory_IsVisible", 2, "TqGenVisibility"), m.TqGenCategory_IsVisible, root,
           2**31)
    one, two = m.TqGenCategory_GetNode(root), m.TqGenCategory_GetNode(root)
    assert one is not two and int(one) == int(two) and int(one) != int(m.TqGenCategory_GetNode(control))
    raises(TypeError, arg("TqGenCategory_GetNode", 1, "TqGenCategory *"), m.TqGenCategory_GetNode, None)
    raises(TypeError, arg("TqGenCategory_GetName", 1, "TqGenCategory const *"), m.TqGenCategory_GetName,
           camera.Get("Width"))
    raises(TypeError, arg("TqGenParameter_GetName", 1, "TqGenParameter const *"), m.TqGenParameter_GetName, root)


def test_parameter_lists(m, k, hooks, camera):
    before = hooks.live_objects().get("TqGenParameterList", 0)
    items = k.TqGenParameterList()
    assert items.thisown and items.GetSize() == 0 and items.GetFirst() is None and items.GetNext() is None
    width = camera.Get("Width")
    items.Add(width)
    items.Add(camera.Get("ExposureTime"))
    del width   # the list holds the parameter, not its proxy
    first, second = items.GetItem(0), items[1]
    assert type(first) is k.TqGenInteger and type(second) is k.TqGenFloat and not first.thisown
    assert items.GetItem(0) is not first and items.GetItem(2) is None and items[2**32 - 1] is None
    assert [ok(p.GetName()) for p in items] == ["Width", "ExposureTime"]   # iteration ends at the size
    # The cursor: GetNext without GetFirst starts at the first item; Add starts it over.
    assert ok(items.GetNext().GetName()) == "Width" and ok(items.GetNext().GetName()) == "ExposureTime"
    assert items.GetNext() is None and items.GetNext() is None
    assert ok(items.GetFirst().GetName()) == "Width"
    items.Add(camera.Get("PixelFormat"))
    assert type(items.GetNext()) is k.TqGenInteger and items.GetSize() == 3
    assert type(items.GetItem(2)) is k.TqGenEnum
    items.Add(None)
    assert items.GetSize() == 4 and items.GetItem(3) is None
    # Conversions.
    raises(TypeError, arg("TqGenParameterList_Add", 2, "TqGenParameter *"), m.TqGenParameterList_Add, items,
           camera.GetCategory(0))
    raises(OverflowError, arg("TqGenParameterList_GetItem", 2, "uint32_t"), m.TqGenParameterList_GetItem, items, -1)
    raises(TypeError, arg("TqGenParameterList___getitem__", 2, "uint32_t"), m.TqGenParameterList___getitem__, items,
           1.0)
    raises(TypeError, arg("TqGenParameterList_GetSize", 1, "TqGenParameterList const *"),
           m.TqGenParameterList_GetSize, camera)
    raises(TypeError, arg("delete_TqGenParameterList", 1, "TqGenParameterList *"), m.delete_TqGenParameterList,
           camera)
    assert m.TqGenParameterList_Clear(items) is None and items.GetSize() == 0 and items.GetFirst() is None
    assert m.delete_TqGenParameterList(None) is None
    assert (m.new_TqGenParameterList.__doc__, m.delete_TqGenParameterList.__doc__,
            m.TqGenParameterList_Clear.__doc__) == ("Constructor", "Destructor", "Clears the parameter list")
    del items, first, second
    gc.collect()   # the exceptions checked above hold their frames in cycles
    assert hooks.live_objects().get("TqGenParameterList", 0) == before
    # A list outlives nothing it holds: clearing and deleting it leaves the parameters alone.
    kept = k.TqGenParameterList()
    kept.Add(camera.Get("Width"))
    del kept
    assert ok(camera.Get("Width").GetName()) == "Width"
