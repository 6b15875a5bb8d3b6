"""Images and raw data: ITqImage (a TqImage as self too), TqImage's memory, status and statics, and
TqRawData. Views are shaped by the image's geometry, lie over its memory and keep their owner alive;
attached arrays stay alive while attached and are never smaller than the SDK will use."""

import gc
import mmap
import sys

import numpy as np
import pytest

from conftest import arg, raises


def prototypes(func, *lines):
    return ("Wrong number or type of arguments for overloaded function '%s'.\n  Possible C/C++ prototypes are:\n"
            % func + "".join("    %s\n" % line for line in lines))


ALLOC = prototypes("TqImage_Alloc", *("TqImage::Alloc(%s)" % ",".join(p) for p in [
    ("uint32_t", "uint32_t", "TqPixelType", "uint16_t", "uint16_t", "uint32_t"),
    ("uint32_t", "uint32_t", "TqPixelType", "uint16_t", "uint16_t"),
    ("uint32_t", "uint32_t", "TqPixelType", "uint16_t"), ("uint32_t", "uint32_t", "TqPixelType")]))
ATTACH = prototypes("TqImage_Attach", *("TqImage::Attach(void *,uint32_t,uint32_t,%s)" % ",".join(p) for p in [
    ("TqPixelType", "uint16_t", "uint16_t", "uint32_t"), ("TqPixelType", "uint16_t", "uint16_t"),
    ("TqPixelType", "uint16_t"), ("TqPixelType",)]))
EOF_BY_LINES = prototypes("TqImage_SetEOFByLineCount", "TqImage::SetEOFByLineCount(bool)",
                          "TqImage::SetEOFByLineCount()")
DATA = prototypes("ITqImage_GetDataPointer", "ITqImage::GetDataPointer() const", "ITqImage::GetDataPointer()")
RAW_ALLOC = prototypes("TqRawData_Alloc", "TqRawData::Alloc(uint64_t,uint32_t)", "TqRawData::Alloc(uint64_t)")
RAW_ATTACH = prototypes("TqRawData_Attach", "TqRawData::Attach(void *,uint64_t,uint32_t)",
                        "TqRawData::Attach(void *,uint64_t)")


@pytest.fixture
def image(k, hooks):
    buffer = k.TqBuffer()
    image = hooks.buffer_image(buffer)
    assert type(image) is k.TqImage
    image.buffer = buffer   # the buffer owns the image: keep it for the test
    return image


def test_alloc_and_geometry(m, k, image, no_leaks):
    with no_leaks():
        assert image.Alloc(640, 480, m.TqPixelMono8).IsOK() and image.IsAllocated() and not image.IsAttached()
        assert (image.GetWidth(), image.GetHeight(), image.GetPixelType(), image.GetBitsPerPixel()) == (
            640, 480, m.TqPixelMono8, 8)
        assert (image.GetPaddingX(), image.GetPaddingY(), image.GetImageSize()) == (0, 0, 640 * 480)
        view = image.GetDataPointer()
        assert view.shape == (480, 640) and view.dtype == np.uint8 and view.base is image and not view.flags.owndata
        # The same memory as the buffer's.
        view[1, 2] = 77
        assert image.buffer.GetDataPointer()[640 + 2] == 77
        # Five arguments: the last is padding X; padding Y and the chunk length are 0.
        assert image.Alloc(4, 2, m.TqPixelMono16, 8).IsOK()
        assert (image.GetPaddingX(), image.GetPaddingY(), image.GetImageSize()) == (8, 0, (8 + 8) * 2)
        assert image.GetEffectiveImageSize() == 16
        assert image.Alloc(4, 2, m.TqPixelBGR16, 0, 0, 64).IsOK() and image.GetMaximumChunkLength() >= 64
        rgb = m.ITqImage_GetDataPointer(image)
        assert rgb.shape == (2, 4, 3) and rgb.dtype == np.uint16 and rgb.nbytes == 48
        image.Free()
        assert not image.IsAllocated()
        del view, rgb


def test_the_interface_sees_the_same_image(m, k, hooks, image):
    assert image.Alloc(8, 4, m.TqPixelRGB8).IsOK()
    interface = hooks.image_interface(image)
    assert type(interface) is k.ITqImage and not isinstance(interface, k.TqImage)
    for getter in ("GetWidth", "GetHeight", "GetPixelType", "GetImageSize", "GetBitsPerPixel"):
        assert getattr(m, "ITqImage_" + getter)(interface) == getattr(m, "ITqImage_" + getter)(image)
    view = interface.GetDataPointer()
    assert view.shape == (4, 8, 3) and view.base is interface
    raises(TypeError, arg("TqImage_Free", 1, "TqImage *"), m.TqImage_Free, interface)   # only a TqImage
    hooks.set_image_info(image, 2**40, 2**63, 5)
    assert (interface.GetBlockID(), interface.GetTimestamp(), interface.GetReceptionTime()) == (2**40, 2**63, 5)


def test_argument_errors(m, k, image):
    for args in [(640, 480), (-1, 480, m.TqPixelMono8), (640, 480, 2**31), (640, 480, 1, 65536),
                 ]:
        raises(TypeError, ALLOC, m.TqImage_Alloc, image, *args)
    raises(TypeError, ALLOC, m.TqImage_Alloc, None, 640, 480, m.TqPixelMono8)
    raises(TypeError, "TqImage_Alloc expected at most 7 arguments, got 8\nAdditional information:\n" + ALLOC,
           m.TqImage_Alloc, image, 1, 2, 3, 4, 5, 6, 7)
    raises(OverflowError, arg("TqImage_SetOffsetX", 2, "uint32_t"), m.TqImage_SetOffsetX, image, -1)
    raises(TypeError, arg("TqImage_SetFullLineMissing", 2, "bool"), m.TqImage_SetFullLineMissing, image, 1, 2)
    raises(OverflowError, arg("TqImage_SetFullLineMissing", 3, "uint32_t"), m.TqImage_SetFullLineMissing, image,
           True, -2)
    raises(TypeError, "TqImage_SetOffsetY expected 2 arguments, got 3", m.TqImage_SetOffsetY, image, 1, 2)
    raises(TypeError, arg("TqImage_GetPixelSize", 1, "TqPixelType"), m.TqImage_GetPixelSize, "Mono8")
    raises(OverflowError, arg("TqImage_GetPixelSize", 1, "TqPixelType"), m.TqImage_GetPixelSize, 2**31)
    raises(TypeError, arg("TqImage_IsAllocated", 1, "TqImage const *"), m.TqImage_IsAllocated, None)
    raises(TypeError, arg("ITqImage_GetHeight", 1, "ITqImage const *"), m.ITqImage_GetHeight, k.TqBuffer())
    for bad in [(), (None,), (5,)]:
        raises(TypeError, DATA, m.ITqImage_GetDataPointer, *bad)
    raises(TypeError, "ITqImage_GetDataPointer expected at most 1 arguments, got 2\nAdditional information:\n" + DATA,
           m.ITqImage_GetDataPointer, image, 1)
    assert m.delete_ITqImage(None) is None and m.delete_TqImage(None) is None and m.delete_TqRawData(None) is None


def test_status_bits(m, image):
    assert not image.IsEOFByLineCount() and not image.IsFullLineMissing()
    image.SetEOFByLineCount()
    assert image.IsEOFByLineCount()
    image.SetEOFByLineCount(False)
    assert not image.IsEOFByLineCount()
    raises(TypeError, EOF_BY_LINES, m.TqImage_SetEOFByLineCount, image, 1)
    image.SetFullLineMissing(True, 3)
    image.SetEOFByLineCount(True)
    assert image.IsFullLineMissing() and image.IsEOFByLineCount()
    image.ClearEOFStatus()
    assert not image.IsFullLineMissing() and not image.IsEOFByLineCount()
    assert [getattr(image, f)() for f in ("IsPartialLineMissing", "IsInterlacedEven", "IsInterlacedOdd",
                                           "IsImageDropped", "IsDataOverrun")] == [False] * 5
    image.SetOffsetX(12)
    image.SetOffsetY(2**32 - 1)
    assert (image.GetOffsetX(), image.GetOffsetY()) == (12, 2**32 - 1)


def test_owning_buffer(k, image):
    one, two = image.GetBuffer(), image.GetBuffer()
    assert one is not two and one == two == image.buffer and not one.thisown


def test_pixel_statics(m, k):
    assert k.TqImage.GetPixelSize(m.TqPixelMono8) == 8 and m.TqImage_GetPixelSize(m.TqPixelRGB16) == 48
    assert (m.TqImage_IsPixelColor(m.TqPixelRGB8), m.TqImage_IsPixelColor(m.TqPixelMono8)) == (True, False)
    assert (m.TqImage_IsPixelHighRes(m.TqPixelMono12), m.TqImage_IsPixelHighRes(m.TqPixelRGB8)) == (True, False)
    assert [m.TqImage_GetBitsPerComponent(p) for p in (m.TqPixelMono8, m.TqPixelRGBa8, m.TqPixelMono16,
                                                        m.TqPixelRGB16, m.TqPixelBayerRG16)] == [8, 8, 16, 16, 16]
    text = m.TqImage_PixelTypeToString(m.TqPixelMono8)
    assert type(text) is k.TqString and text.thisown and "Mono8" in str(text)


def test_attach_an_array(m, k, image, no_leaks):
    frame = np.arange(480 * 640, dtype=np.uint32).astype(np.uint8).reshape(480, 640).copy()
    before = sys.getrefcount(frame)
    assert image.Attach(frame, m.TqPixelMono8).IsOK() and image.IsAttached()
    assert (image.GetWidth(), image.GetHeight()) == (640, 480)
    assert sys.getrefcount(frame) == before + 1   # kept while attached
    view = image.GetDataPointer()
    view[0, 0] = 200
    assert frame[0, 0] == 200
    detached = image.Detach()
    refs = sys.getrefcount(frame)
    # The detached view has the array as its base; the view made while attached holds it too.
    assert refs == before + 2 and detached.base is frame and detached.shape == (480, 640)
    del detached
    assert sys.getrefcount(frame) == before + 1 and view[0, 0] == 200
    colour = np.zeros((2, 4, 3), np.uint8)
    assert image.Attach(colour, m.TqPixelRGB8).IsOK() and (image.GetWidth(), image.GetHeight()) == (4, 2)
    assert image.GetDataPointer().shape == (2, 4, 3)
    image.Detach()
    del view
    assert sys.getrefcount(frame) == before


def test_attach_refuses(m, image):
    for bad in (np.zeros(10, np.uint8), np.zeros((2, 2, 2, 2), np.uint8), [["x"]]):
        raises(TypeError, "in method 'TqImage_Attach', argument 1 of type array", m.TqImage_Attach, image, bad,
               m.TqPixelMono8)
    for args in [(5, m.TqPixelMono8), (np.zeros((2, 2), np.uint8),), (np.zeros((2, 2), np.uint8), "x")]:
        raises(TypeError, ATTACH, m.TqImage_Attach, image, *args)
    # Scalars that do not fit are a candidate that does not fit: the overload error.
    frame = np.zeros((2, 2), np.uint8)
    for args in [(2**31,), (m.TqPixelMono8, -1), (m.TqPixelMono8, 0, 0, -1)]:
        raises(TypeError, ATTACH, m.TqImage_Attach, image, frame, *args)
    # An array smaller than the geometry needs: Mono16 over 8-bit data would be read past its end.
    with pytest.raises(ValueError):
        image.Attach(np.zeros((480, 640), np.uint8), m.TqPixelMono16)
    with pytest.raises(ValueError):
        image.Attach(np.zeros((4, 4), np.uint8), m.TqPixelMono8, 0, 0, 1)   # no room for a chunk byte
    assert not image.IsAttached()
    # A converted array (a copy of a strided one) stays alive while attached.
    assert image.Attach(np.arange(32, dtype=np.uint8).reshape(4, 8)[:, ::2], m.TqPixelMono8).IsOK()   # strided
    gc.collect()
    junk = [np.full(16, 0xEE, np.uint8) for _ in range(200)]
    assert image.GetDataPointer()[1].tolist() == [8, 10, 12, 14]
    del junk
    image.Detach()


def test_image_view_keeps_the_image_alive(m, k, hooks, no_leaks):
    with no_leaks():
        buffer = k.TqBuffer()
        image = hooks.buffer_image(buffer)
        image.Alloc(4, 4, m.TqPixelMono8)
        view = image.GetDataPointer()
        del image
        gc.collect()
        view[:] = 1   # the borrowed image proxy is the view's base; the buffer still owns the memory
        del view, buffer


def test_raw_data(m, k, hooks, no_leaks):
    with no_leaks():
        buffer = k.TqBuffer(m.TqPayloadTypeRawData)
        raw = hooks.buffer_raw_data(buffer)
        assert type(raw) is k.TqRawData and hooks.buffer_image(buffer) is None
        assert raw.Alloc(1000).IsOK() and raw.GetPayloadLength() == 1000 and buffer.GetSize() == 1000
        assert raw.Alloc(1000, 64).IsOK() and buffer.GetSize() == 1064
        raw.Free()
        for args in [(-1,), (1.0,), (1, -1), ("1",)]:
            raises(TypeError, RAW_ALLOC, m.TqRawData_Alloc, raw, *args)
        raises(TypeError, "TqRawData_Alloc expected at most 3 arguments, got 4\nAdditional information:\n"
               + RAW_ALLOC, m.TqRawData_Alloc, raw, 1, 2, 3)
        data = np.arange(4096, dtype=np.uint16).astype(np.uint8)
        assert raw.Attach(data).IsOK() and raw.GetPayloadLength() == 4096
        detached = raw.Detach()
        assert detached.base is data and detached.shape == (4096,) and detached[5] == 5
        assert raw.Attach([1, 2, 3], 0).IsOK() and raw.GetPayloadLength() == 3
        gc.collect()
        assert buffer.GetDataPointer().tolist() == [1, 2, 3]
        raw.Detach()
        raises(TypeError, "Array must have 1 dimensions.  Given array has 2 dimensions", m.TqRawData_Attach, raw,
               np.zeros((2, 2), np.uint8))
        raises(TypeError, RAW_ATTACH, m.TqRawData_Attach, raw, 5)
        raises(TypeError, RAW_ATTACH, m.TqRawData_Attach, raw, data, -1)   # a candidate that does not fit
        raises(TypeError, arg("TqRawData_GetPayloadLength", 1, "TqRawData const *"), m.TqRawData_GetPayloadLength,
               buffer)
        del raw, detached, buffer


def test_lengths_and_dimensions_are_never_cut(m, k, hooks, image):
    # Mappings that are never touched: 2 GiB + 1 of raw data keeps its exact length; an image row of
    # 2^32 pixels cannot be passed as a 32-bit width and is refused.
    memory = mmap.mmap(-1, 2**32)
    whole = np.frombuffer(memory, dtype=np.uint8)
    buffer = k.TqBuffer(m.TqPayloadTypeRawData)
    raw = hooks.buffer_raw_data(buffer)
    assert raw.Attach(whole[: 2**31 + 1]).IsOK() and raw.GetPayloadLength() == 2**31 + 1
    raw.Detach()
    raises(OverflowError, arg("TqImage_Attach", 3, "uint32_t"), m.TqImage_Attach, image, whole.reshape(1, 2**32),
           m.TqPixelMono8)
    assert not image.IsAttached()
