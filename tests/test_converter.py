"""Pixel conversion and its colour correction: the converter's overloads and their exact messages,
conversions checked pixel by pixel against NumPy, the destination returned as a new borrowed proxy,
failures as values, and the RGB filter's gains, offsets and white balance."""

import subprocess
import sys

import numpy as np
import pytest

from conftest import arg, clean_environment, raises


def prototypes(func, *lines):
    return ("Wrong number or type of arguments for overloaded function '%s'.\n  Possible C/C++ prototypes are:\n"
            % func + "".join("    %s\n" % line for line in lines))


NEW = prototypes("new_TqBufferConverter", "TqBufferConverter::TqBufferConverter(int32_t)",
                 "TqBufferConverter::TqBufferConverter()")
CONVERT = prototypes("TqBufferConverter_Convert", *(
    "TqBufferConverter::Convert(%s const *,TqBuffer *%s)" % (src, flags)
    for src in ("TqBuffer", "ITqImage") for flags in (",bool,bool", ",bool", "")))


def image_buffer(k, hooks, width, height, pixel_type, pixels=None):
    """A buffer whose image is allocated with the geometry and type, filled from pixels when given."""
    buffer = k.TqBuffer()
    image = hooks.buffer_image(buffer)
    assert image.Alloc(width, height, pixel_type).IsOK()
    if pixels is not None:
        view = image.GetDataPointer()
        view[...] = np.asarray(pixels).reshape(view.shape)
    buffer.image = image   # the buffer owns its image: the test keeps them together
    return buffer


def pixels_of(buffer, channels):
    view = np.array(buffer.image.GetDataPointer(), copy=True)
    height, width = buffer.image.GetHeight(), buffer.image.GetWidth()
    return view.reshape(height, width, channels) if channels > 1 else view.reshape(height, width)


def mosaic_rg(rgb):
    """A BayerRG8 mosaic of an RGB image (R at even rows and columns, B at odd ones)."""
    height, width, _ = rgb.shape
    out = np.empty((height, width), np.uint8)
    out[0::2, 0::2] = rgb[0::2, 0::2, 0]
    out[0::2, 1::2] = rgb[0::2, 1::2, 1]
    out[1::2, 0::2] = rgb[1::2, 0::2, 1]
    out[1::2, 1::2] = rgb[1::2, 1::2, 2]
    return out


@pytest.fixture
def conv(k):
    return k.TqBufferConverter()


def test_constructors_and_their_errors(m, k, gil_released, no_leaks):
    with no_leaks():
        for args in [(), (0,), (4,), (-1,), (True,)]:
            converter = m.new_TqBufferConverter(*args)
            m.delete_TqBufferConverter(converter)
        assert m.delete_TqBufferConverter(None) is None
        for args in [(2 ** 31,), ("4",), (None,), (1.0,)]:
            raises(TypeError, NEW, m.new_TqBufferConverter, *args)
        raises(TypeError, "new_TqBufferConverter expected at most 1 arguments, got 2\nAdditional information:\n" + NEW,
               m.new_TqBufferConverter, 1, 2)
        raises(TypeError, arg("delete_TqBufferConverter", 1, "TqBufferConverter *"), m.delete_TqBufferConverter,
               k.TqBufferConverterRGBFilter())
        # The converter is made and destroyed with the GIL released.
        assert gil_released(lambda: m.delete_TqBufferConverter(m.new_TqBufferConverter(2)))


def test_conversion_support(m):
    supported = m.TqBufferConverter_IsConversionSupported
    assert supported(m.TqPixelBayerRG8, m.TqPixelRGB8) is True
    assert supported(m.TqPixelMono12p, m.TqPixelMono16) is True
    assert supported(m.TqPixelRGB8, m.TqPixelBayerRG8) is False
    assert supported(0, -1) is False
    raises(TypeError, "TqBufferConverter_IsConversionSupported expected 2 arguments, got 1",
           supported, m.TqPixelMono8)
    raises(OverflowError, arg("TqBufferConverter_IsConversionSupported", 1, "TqPixelType"), supported, 2 ** 31, 0)


def test_conversions_match_numpy(m, k, hooks, conv, no_leaks):
    rng = np.random.default_rng(7)
    rgb = rng.integers(0, 256, (6, 8, 3), dtype=np.uint8)

    def run():
        source = image_buffer(k, hooks, 8, 6, m.TqPixelRGB8, rgb)
        bgr = image_buffer(k, hooks, 1, 1, m.TqPixelBGR8)
        result, returned = conv.Convert(source, bgr)
        assert result.IsOK()
        assert (bgr.image.GetWidth(), bgr.image.GetHeight(), bgr.image.GetPixelType()) == (8, 6, m.TqPixelBGR8)
        assert np.array_equal(pixels_of(bgr, 3), rgb[:, :, ::-1])
        # Mono8 is the luma, truncated.
        mono = image_buffer(k, hooks, 8, 6, m.TqPixelMono8)
        assert conv.Convert(source, mono)[0].IsOK()
        wide = rgb.astype(np.uint32)
        luma = (77 * wide[:, :, 0] + 150 * wide[:, :, 1] + 29 * wide[:, :, 2] + 128) // 256
        assert np.array_equal(pixels_of(mono, 1), luma.astype(np.uint8))
        # Flipped vertically with the fourth flag.
        flipped = image_buffer(k, hooks, 8, 6, m.TqPixelRGB8)
        assert conv.Convert(source, flipped, True, True)[0].IsOK()
        assert np.array_equal(pixels_of(flipped, 3), rgb[::-1])
        # Mono8 to RGBa8: the level in each colour, alpha at its maximum.
        rgba = image_buffer(k, hooks, 8, 6, m.TqPixelRGBa8)
        assert conv.Convert(mono, rgba)[0].IsOK()
        expected = np.dstack([luma, luma, luma, np.full_like(luma, 255)]).astype(np.uint8)
        assert np.array_equal(pixels_of(rgba, 4), expected)

    with no_leaks():
        run()


@pytest.mark.parametrize("bayer_filter", ["TqBayerFilterSimple", "TqBayerFilter3X3"])
def test_bayer_of_a_flat_colour_gives_that_colour(m, k, hooks, conv, bayer_filter):
    """The mosaic's colour sites are where BayerRG8 puts them: a flat colour comes back whole, with
    either demosaicing filter."""
    assert conv.SetBayerFilter(getattr(m, bayer_filter)).IsOK()
    assert conv.GetBayerFilter() == getattr(m, bayer_filter)
    colour = np.array([200, 100, 50], np.uint8)
    flat = np.broadcast_to(colour, (8, 10, 3))
    source = image_buffer(k, hooks, 10, 8, m.TqPixelBayerRG8, mosaic_rg(flat))
    destination = image_buffer(k, hooks, 10, 8, m.TqPixelRGB8)
    assert conv.Convert(source, destination)[0].IsOK()
    assert np.array_equal(pixels_of(destination, 3), flat)


def test_returned_buffer_is_a_new_borrowed_proxy(m, k, hooks, conv, no_leaks):
    def run():
        source = image_buffer(k, hooks, 4, 2, m.TqPixelMono8, np.arange(8))
        destination = image_buffer(k, hooks, 4, 2, m.TqPixelRGB8)
        result, returned = m.TqBufferConverter_Convert(conv, source, destination)
        assert result.IsOK() and type(returned) is k.TqBuffer
        assert returned is not destination and returned == destination and not returned.this.own()
        del returned   # dropping the borrowed proxy leaves the buffer alone
        assert destination.image.GetWidth() == 4
        # A TqImage reaches the ITqImage form with every count.
        for flags in [(), (True,), (True, False)]:
            assert conv.Convert(source.image, destination, *flags)[0].IsOK()

    with no_leaks():
        run()


def test_failures_are_values(m, k, hooks, conv, no_leaks):
    source = image_buffer(k, hooks, 8, 6, m.TqPixelMono8, np.zeros(48))

    def run():
        # A pair without an algorithm.
        result, returned = conv.Convert(source, image_buffer(k, hooks, 8, 6, m.TqPixelBayerRG8))
        assert result.GetCode() == m.TQ_GENERIC_ERROR and returned is None
        # Null source or destination: passed through, answered by the SDK.
        for args in [(None, image_buffer(k, hooks, 1, 1, m.TqPixelRGB8)), (source, None), (None, None)]:
            result, returned = conv.Convert(*args)
            assert result.GetCode() == m.TQ_INVALID_PARAMETER and returned is None
        # Memory too small and reallocation refused.
        small = image_buffer(k, hooks, 2, 2, m.TqPixelRGB8)
        result, returned = conv.Convert(source, small, False)
        assert result.GetCode() == m.TQ_GENERIC_ERROR and returned is None

    with no_leaks():
        run()
    # None is stored with a reference of its own: many failures leave its count where it was.
    bad = image_buffer(k, hooks, 8, 6, m.TqPixelBayerRG8)
    before = sys.getrefcount(None)
    for _ in range(500):
        conv.Convert(source, bad)
    assert abs(sys.getrefcount(None) - before) < 10


def test_convert_overload_errors(m, k, hooks, conv):
    source = image_buffer(k, hooks, 4, 2, m.TqPixelMono8)
    destination = image_buffer(k, hooks, 4, 2, m.TqPixelRGB8)
    for args in [(conv, source, destination, 1), (conv, source, source.image), (conv, source, destination, True, 0),
                 (conv, "x", destination), (conv, source), (conv,)]:
        raises(TypeError, CONVERT, m.TqBufferConverter_Convert, *args)
    raises(TypeError, "TqBufferConverter_Convert expected at most 5 arguments, got 6\nAdditional information:\n"
           + CONVERT, m.TqBufferConverter_Convert, conv, source, destination, True, True, True)
    raises(TypeError, arg("TqBufferConverter_Convert", 1, "TqBufferConverter *"),
           m.TqBufferConverter_Convert, None, source, destination)
    assert m.TqBufferConverter_Convert.__doc__.startswith("Convert(*args) -> TqResult, TqBuffer")


def test_filters_and_priority(m, k, conv):
    assert conv.GetBayerFilter() == m.TqBayerFilter3X3
    assert conv.SetBiColorFilter(m.TqBiColorFilter1X3).IsOK() and conv.GetBiColorFilter() == m.TqBiColorFilter1X3
    assert conv.ResetRGBFilter().IsOK()
    raises(TypeError, "invalid null reference " + arg("TqBufferConverter_SetRGBFilter", 2,
                                                      "TqBufferConverterRGBFilter &"),
           m.TqBufferConverter_SetRGBFilter, conv, None)
    assert conv.SetConversionThreadsPriority(10).IsOK() and conv.GetConversionThreadsPriority() == 10
    raises(OverflowError, arg("TqBufferConverter_SetConversionThreadsPriority", 2, "uint32_t"),
           m.TqBufferConverter_SetConversionThreadsPriority, conv, -1)
    raises(TypeError, arg("TqBufferConverter_GetBayerFilter", 1, "TqBufferConverter const *"),
           m.TqBufferConverter_GetBayerFilter, k.TqBufferConverterRGBFilter())


def test_rgb_filter_values_and_messages(m, k, no_leaks):
    with no_leaks():
        f = k.TqBufferConverterRGBFilter()
        assert [f.GetGainR(), f.GetGainG(), f.GetGainB(), f.GetOffsetR(), f.GetOffsetG(), f.GetOffsetB()] == [
            1.0, 1.0, 1.0, 0, 0, 0]
        f.SetGainR(2)
        assert f.GetGainR() == 2.0 and type(f.GetGainR()) is float
        f.SetGainG(True)
        assert f.GetGainG() == 1.0
        f.SetGainB(float("nan"))
        assert f.GetGainB() != f.GetGainB()
        for bad in ["2", None, 10 ** 400]:
            raises(TypeError, arg("TqBufferConverterRGBFilter_SetGainR", 2, "double"),
                   m.TqBufferConverterRGBFilter_SetGainR, f, bad)
        f.SetOffsetB(-20)
        assert f.GetOffsetB() == -20
        raises(OverflowError, arg("TqBufferConverterRGBFilter_SetOffsetB", 2, "int32_t"),
               m.TqBufferConverterRGBFilter_SetOffsetB, f, 2 ** 31)
        raises(TypeError, arg("TqBufferConverterRGBFilter_SetOffsetB", 2, "int32_t"),
               m.TqBufferConverterRGBFilter_SetOffsetB, f, 1.5)
        f.Reset()
        assert [f.GetGainR(), f.GetGainB(), f.GetOffsetB()] == [1.0, 1.0, 0]
        assert f.WhiteBalance(None).GetCode() == m.TQ_INVALID_PARAMETER
        raises(TypeError, arg("TqBufferConverterRGBFilter_WhiteBalance", 2, "TqBuffer *"),
               m.TqBufferConverterRGBFilter_WhiteBalance, f, f)
        raises(TypeError, arg("TqBufferConverterRGBFilter_GetGainR", 1, "TqBufferConverterRGBFilter const *"),
               m.TqBufferConverterRGBFilter_GetGainR, None)
        raises(TypeError, "TqBufferConverterRGBFilter_SetGainR expected 2 arguments, got 1",
               m.TqBufferConverterRGBFilter_SetGainR, f)
        with pytest.raises(TypeError):
            m.new_TqBufferConverterRGBFilter(1)
        assert m.delete_TqBufferConverterRGBFilter(None) is None
        del f


def test_rgb_filter_applies_and_white_balances(m, k, hooks, conv):
    grey = np.broadcast_to(np.array([100, 50, 25], np.uint8), (4, 4, 3))
    source = image_buffer(k, hooks, 4, 4, m.TqPixelRGB8, grey)
    f = k.TqBufferConverterRGBFilter()
    assert f.WhiteBalance(source).IsOK()
    assert (f.GetGainR(), f.GetGainG(), f.GetGainB()) == (1.0, 2.0, 4.0)
    f.SetOffsetR(-10)
    assert conv.SetRGBFilter(f).IsOK()
    del f   # the converter copied the settings
    destination = image_buffer(k, hooks, 4, 4, m.TqPixelRGB8)
    assert conv.Convert(source, destination)[0].IsOK()
    assert np.array_equal(pixels_of(destination, 3), np.broadcast_to(np.array([90, 100, 100], np.uint8), (4, 4, 3)))
    # Reset: the colours pass unchanged again.
    assert conv.ResetRGBFilter().IsOK() and conv.Convert(source, destination)[0].IsOK()
    assert np.array_equal(pixels_of(destination, 3), grey)


OPENCV_DEMOSAIC = """
import sys
import numpy as np
try:
    import cv2
except ImportError:
    sys.exit(3)
height, width = int(sys.argv[1]), int(sys.argv[2])
bayer = np.frombuffer(sys.stdin.buffer.read(), np.uint8).reshape(height, width)
sys.stdout.buffer.write(cv2.cvtColor(bayer, getattr(cv2, sys.argv[3])).tobytes())
"""


def opencv_demosaic(bayer, code):
    """OpenCV's demosaicing of the mosaic, in an interpreter of its own (OpenCV runs uninstrumented)."""
    height, width = bayer.shape
    proc = subprocess.run(["/usr/bin/python3", "-c", OPENCV_DEMOSAIC, str(height), str(width), code],
                          input=bayer.tobytes(), capture_output=True, env=clean_environment(), cwd="/", timeout=60)
    if proc.returncode == 3:
        pytest.skip("OpenCV is not installed")
    assert proc.returncode == 0, proc.stderr.decode()
    return np.frombuffer(proc.stdout, np.uint8).reshape(height, width, 3)


@pytest.mark.parametrize("phase", ["RG", "GR", "GB", "BG"])
def test_bilinear_matches_opencv(m, k, hooks, phase):
    """An independent bilinear demosaic: away from the one-pixel border (where the two treat edges
    differently) every pixel is the same, for each phase and with several threads."""
    codes = {"RG": "RGGB", "GR": "GRBG", "GB": "GBRG", "BG": "BGGR"}
    rng = np.random.default_rng(11)
    bayer = rng.integers(0, 256, (96, 130), dtype=np.uint8)
    expected = opencv_demosaic(bayer, "COLOR_Bayer%s2RGB" % codes[phase])
    for threads in (1, 3):
        converter = k.TqBufferConverter(threads)
        source = image_buffer(k, hooks, 130, 96, getattr(m, "TqPixelBayer%s8" % phase), bayer)
        destination = image_buffer(k, hooks, 1, 1, m.TqPixelRGB8)
        assert converter.Convert(source, destination)[0].IsOK()
        assert np.array_equal(pixels_of(destination, 3)[1:-1, 1:-1], expected[1:-1, 1:-1])
