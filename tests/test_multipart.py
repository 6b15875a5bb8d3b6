"""Multi-part containers and JPEG parts: the writer's part index and memory through the container a
multi-part buffer hands out, sections typed by their data, views that never reach past a part's
memory, arrays kept alive while attached, proxies that keep their buffer alive, and the exact
overload and argument messages."""

import gc
import sys

import numpy as np
import pytest

from conftest import arg, raises


def prototypes(func, *lines):
    return ("Wrong number or type of arguments for overloaded function '%s'.\n  Possible C/C++ prototypes are:\n"
            % func + "".join("    %s\n" % line for line in lines))


ADD_IMAGE = prototypes("ITqMultiPartContainerWriter_AddImagePart", *(
    "ITqMultiPartContainerWriter::AddImagePart(%s)" % ",".join(
        ["TqMultiPartDataType", "uint32_t", "uint32_t", "TqPixelType"] + extra)
    for extra in (["uint32_t", "uint32_t", "uint16_t"], ["uint32_t", "uint32_t"], ["uint32_t"], [])))
GET_PART = prototypes("ITqMultiPartContainerReader_GetPart", "ITqMultiPartContainerReader::GetPart(uint32_t) const",
                      "ITqMultiPartContainerReader::GetPart(uint32_t)")
SECTION_DATA = prototypes("ITqMultiPartSection_GetDataPointer", "ITqMultiPartSection::GetDataPointer() const",
                          "ITqMultiPartSection::GetDataPointer()")
JPEG_DATA = prototypes("ITqImageJPEG_GetDataPointer", "ITqImageJPEG::GetDataPointer() const",
                       "ITqImageJPEG::GetDataPointer()")


@pytest.fixture
def container(m, k):
    buffer = k.TqBuffer(m.TqPayloadTypeMultiPart)
    return buffer.GetMultiPartContainer()


def three_parts(m, c):
    """An 8x4 Mono8 image, a JPEG of at most 100 bytes and a chunk part of 64 bytes."""
    assert c.AddImagePart(m.TqMultiPart2DImage, 8, 4, m.TqPixelMono8).IsOK()
    assert c.AddJPEGPart(m.TqMultiPartJPEGImage, 100, 0x81, 2 ** 40, 7).IsOK()
    assert c.AddChunkPart(64, 0x1234).IsOK()


def test_container_comes_from_a_multipart_buffer(m, k):
    assert k.TqBuffer(m.TqPayloadTypeImage).GetMultiPartContainer() is None
    buffer = k.TqBuffer(m.TqPayloadTypeMultiPart)
    c = buffer.GetMultiPartContainer()
    assert type(c) is k.ITqMultiPartContainer and not c.this.own()
    # Reader and writer functions take the container proxy.
    assert m.ITqMultiPartContainerReader_GetPartCount(c) == 0
    assert m.ITqMultiPartContainerWriter_Validate(c).GetCode() == m.TQ_STATE_ERROR
    # The container keeps its buffer alive.
    del buffer
    gc.collect()
    assert c.AddImagePart(m.TqMultiPart2DImage, 4, 4, m.TqPixelMono8).IsOK() and c.GetPartCount() == 1


def test_part_index_and_memory(m, k, container):
    c = container
    three_parts(m, c)
    assert c.GetPartCount() == 3
    # The chunk part is the last: nothing after it.
    assert c.AddImagePart(m.TqMultiPart2DImage, 8, 4, m.TqPixelMono8).GetCode() == m.TQ_STATE_ERROR
    assert c.Validate().GetCode() != m.TQ_OK   # no memory yet
    assert c.AllocAllParts().IsOK() and c.Validate().IsOK()
    image, jpeg, chunks = (c.GetPart(i) for i in range(3))
    assert c.GetPart(3) is None
    assert [p.GetDataType() for p in (image, jpeg, chunks)] == [m.TqMultiPart2DImage, m.TqMultiPartJPEGImage,
                                                                 m.TqMultiPartChunkData]
    assert [p.GetSize() for p in (image, jpeg, chunks)] == [32, 100, 64]
    # Sub-interfaces by data type, each a borrowed proxy.
    assert type(image.GetImage()) is k.ITqImage and image.GetJPEG() is None and image.GetChunkData() is None
    assert jpeg.GetImage() is None and type(jpeg.GetJPEG()) is k.ITqImageJPEG
    assert type(chunks.GetChunkData()) is k.ITqChunkData and not chunks.GetChunkData().this.own()
    # The image part's pixels: the section's view and the image's view are one memory.
    view = image.GetDataPointer()
    assert view.shape == (image.GetEffectiveSize(),) == (32,) and view.dtype == np.uint8 and view.flags.writeable
    view[:] = np.arange(32)
    pixels = image.GetImage().GetDataPointer()
    assert pixels.shape == (4, 8) and pixels[1, 0] == 8
    # Final sizes: a JPEG's length and an image's height, never above the maximum.
    assert c.SetPartFinalLength(1, 40).IsOK() and jpeg.GetEffectiveSize() == 40
    assert c.SetPartFinalLength(1, 101).GetCode() == m.TQ_INVALID_PARAMETER
    assert c.SetPartFinalImageHeight(0, 2).IsOK() and image.GetImage().GetHeight() == 2
    assert image.GetDataPointer().shape == (16,)
    assert c.SetPartFinalImageHeight(0, 5).GetCode() == m.TQ_INVALID_PARAMETER
    assert c.SetPartFinalImageHeight(1, 2).GetCode() == m.TQ_INVALID_PARAMETER
    # IDs and zones, not for the chunk part.
    assert c.SetPartIDs(0, 1, 2, 3).IsOK() and (image.GetSourceID(), image.GetDataPurposeID(),
                                                 image.GetRegionID()) == (1, 2, 3)
    assert c.SetPartZoneInfo(0, 3, 0x80000000).IsOK()
    assert (image.GetAdditionalZones(), image.GetZoneDirectionMask()) == (3, 0x80000000)
    assert c.SetPartIDs(2, 1, 1, 1).GetCode() == m.TQ_INVALID_DATA_FORMAT
    assert c.SetPartZoneInfo(9, 0, 0).GetCode() == m.TQ_INVALID_PARAMETER
    # Chunks written through the chunk part are read back.
    assert chunks.GetChunkData().AddChunk(0x10, b"abcd").IsOK()
    assert bytes(chunks.GetChunkData().GetChunkRawDataByID(0x10)) == b"abcd"
    c.Reset()
    assert c.GetPartCount() == 0 and c.GetPart(0) is None


def test_jpeg_part(m, k, container):
    c = container
    assert c.AddJPEGPart(m.TqMultiPartJPEG2000Image, 3 * 2 ** 20, 255, 2 ** 63 + 5, 0xFFFFFFFF).IsOK()
    assert c.AllocPart(0).IsOK()
    jpeg = c.GetPart(0).GetJPEG()
    assert (jpeg.GetFlag(), jpeg.GetTimestampTickFrequency(), jpeg.GetDataFormat(), jpeg.GetDataSize()) == (
        255, 2 ** 63 + 5, 0xFFFFFFFF, 3 * 2 ** 20)
    view = jpeg.GetDataPointer()
    assert view.shape == (jpeg.GetDataSize(),)
    view[:4] = [0xFF, 0xD8, 0xFF, 0xE0]
    assert list(c.GetPart(0).GetDataPointer()[:4]) == [0xFF, 0xD8, 0xFF, 0xE0]
    assert c.SetPartFinalLength(0, 10).IsOK() and jpeg.GetDataPointer().shape == (10,)
    raises(TypeError, "ITqImageJPEG_GetDataPointer expected at most 1 arguments, got 2\nAdditional information:\n"
           + JPEG_DATA, m.ITqImageJPEG_GetDataPointer, jpeg, 1)
    raises(TypeError, JPEG_DATA, m.ITqImageJPEG_GetDataPointer)
    raises(TypeError, JPEG_DATA, m.ITqImageJPEG_GetDataPointer, c)
    raises(TypeError, arg("ITqImageJPEG_GetFlag", 1, "ITqImageJPEG const *"), m.ITqImageJPEG_GetFlag, None)
    with pytest.raises(RuntimeError, match="does not own its object"):   # the section's, never destroyed here
        m.delete_ITqImageJPEG(jpeg)
    raises(TypeError, arg("delete_ITqImageJPEG", 1, "ITqImageJPEG *"), m.delete_ITqImageJPEG, c)
    assert m.delete_ITqImageJPEG(None) is None


def test_attached_arrays(m, k, container):
    c = container
    assert c.AddImagePart(m.TqMultiPart2DImage, 16, 4, m.TqPixelMono8).IsOK()
    memory = np.zeros(64, np.uint8)
    before = sys.getrefcount(memory)
    assert c.AttachPart(0, memory).IsOK()
    assert sys.getrefcount(memory) == before + 1   # kept while attached
    section = c.GetPart(0)
    section.GetDataPointer()[:] = 7
    assert memory.sum() == 7 * 64 and c.Validate().IsOK()
    # A temporary array made by the conversion stays alive too: the part never points into freed memory.
    assert c.AttachPart(0, list(range(64))).IsOK()
    assert sys.getrefcount(memory) == before
    gc.collect()
    assert list(section.GetDataPointer()[:3]) == [0, 1, 2]
    # Too short, 2-D, out of range.
    assert c.AttachPart(0, np.zeros(63, np.uint8)).GetCode() == m.TQ_INVALID_PARAMETER
    assert c.AttachPart(5, memory).GetCode() == m.TQ_NOT_FOUND
    raises(TypeError, "Array must have 1 dimensions.  Given array has 2 dimensions",
           m.ITqMultiPartContainerWriter_AttachPart, c, 0, np.zeros((8, 8), np.uint8))
    raises(OverflowError, arg("ITqMultiPartContainerWriter_AttachPart", 2, "uint32_t"),
           m.ITqMultiPartContainerWriter_AttachPart, c, -1, memory)
    # Memory of the part's own, Reset, and the buffer's end let the arrays go.
    gc.collect()   # the tracebacks of the errors above held the array
    assert c.AttachPart(0, memory).IsOK() and sys.getrefcount(memory) == before + 1
    assert c.AllocPart(0).IsOK() and sys.getrefcount(memory) == before
    assert c.AttachPart(0, memory).IsOK() and c.AllocAllParts().IsOK() and sys.getrefcount(memory) == before
    assert c.AttachPart(0, memory).IsOK()
    c.Reset()
    assert sys.getrefcount(memory) == before
    buffer = k.TqBuffer(m.TqPayloadTypeMultiPart)
    other = buffer.GetMultiPartContainer()
    assert other.AddImagePart(m.TqMultiPart2DImage, 16, 4, m.TqPixelMono8).IsOK() and other.AttachPart(0,
                                                                                                        memory).IsOK()
    assert buffer.Reset(m.TqPayloadTypeMultiPart).IsOK() and sys.getrefcount(memory) == before
    assert other.AddImagePart(m.TqMultiPart2DImage, 16, 4, m.TqPixelMono8).IsOK() and other.AttachPart(0,
                                                                                                        memory).IsOK()
    del other, buffer
    gc.collect()
    assert sys.getrefcount(memory) == before


def test_sections_keep_the_buffer_alive(m, k, no_leaks):
    def run():
        buffer = k.TqBuffer(m.TqPayloadTypeMultiPart)
        c = buffer.GetMultiPartContainer()
        three_parts(m, c)
        assert c.AllocAllParts().IsOK()
        image = c.GetPart(0).GetImage()
        jpeg = c.GetPart(1).GetJPEG()
        view = c.GetPart(2).GetDataPointer()
        del buffer, c
        gc.collect()
        # Everything taken from the container still works: the buffer lives while they do.
        assert image.GetWidth() == 8 and jpeg.GetDataSize() == 100 and view.shape == (64,)
        view[:] = 1

    with no_leaks():
        run()


def test_add_image_part_overloads(m, k, container, gil_released):
    c = container
    assert m.ITqMultiPartContainerWriter_AddImagePart(c, 1, 640, 480, m.TqPixelMono8).IsOK()
    assert m.ITqMultiPartContainerWriter_AddImagePart(c, 1, 8, 8, m.TqPixelMono8, 3, 4).IsOK()
    assert m.ITqMultiPartContainerWriter_AddImagePart(c, 9, 8, 8, m.TqPixelMono16, 3, 4, 2).IsOK()
    image = c.GetPart(2).GetImage()
    assert (image.GetOffsetX(), image.GetOffsetY(), image.GetPaddingX()) == (3, 4, 2)
    assert c.GetPart(2).GetSize() == (8 * 2 + 2) * 8
    for args in [(c, 1, 8, 8, 1, 0, 0, 65536), (c, 1, "8", 8, 1), (c, 1, 8, 8), (None, 1, 8, 8, 1),
                 (c, 1, 8, 8, 2 ** 31), (c.GetPart(0), 1, 8, 8, 1)]:
        raises(TypeError, ADD_IMAGE, m.ITqMultiPartContainerWriter_AddImagePart, *args)
    raises(TypeError, "ITqMultiPartContainerWriter_AddImagePart expected at most 8 arguments, got 9\n"
           "Additional information:\n" + ADD_IMAGE, m.ITqMultiPartContainerWriter_AddImagePart, c, 1, 8, 8, 1, 0,
           0, 0, 0)
    # Refused by the writer, not the wrapper: a zero size, a data type of another kind.
    assert c.AddImagePart(1, 0, 8, m.TqPixelMono8).GetCode() == m.TQ_INVALID_PARAMETER
    assert c.AddImagePart(m.TqMultiPartJPEGImage, 8, 8, m.TqPixelMono8).GetCode() == m.TQ_INVALID_PARAMETER
    # The part index overflows at the most parts a block may carry.
    while c.GetPartCount() < 10:
        assert c.AddImagePart(1, 2, 2, m.TqPixelMono8).IsOK()
    assert c.AddImagePart(1, 2, 2, m.TqPixelMono8).GetCode() == m.TQ_ERR_OVERFLOW
    assert c.AddChunkPart(8, 0).GetCode() == m.TQ_ERR_OVERFLOW


def test_argument_messages(m, k, container):
    c = container
    raises(OverflowError, arg("ITqMultiPartContainerWriter_SetPartZoneInfo", 3, "uint8_t"),
           m.ITqMultiPartContainerWriter_SetPartZoneInfo, c, 0, 256, 0)
    raises(OverflowError, arg("ITqMultiPartContainerWriter_AddJPEGPart", 4, "uint8_t"),
           m.ITqMultiPartContainerWriter_AddJPEGPart, c, 11, 100, 256, 0, 0)
    raises(OverflowError, arg("ITqMultiPartContainerWriter_AddJPEGPart", 5, "uint64_t"),
           m.ITqMultiPartContainerWriter_AddJPEGPart, c, 11, 100, 0, -1, 0)
    raises(TypeError, "ITqMultiPartContainerWriter_AddChunkPart expected 3 arguments, got 2",
           m.ITqMultiPartContainerWriter_AddChunkPart, c, 8)
    raises(TypeError, arg("ITqMultiPartContainerWriter_Validate", 1, "ITqMultiPartContainerWriter *"),
           m.ITqMultiPartContainerWriter_Validate, None)
    raises(TypeError, arg("ITqMultiPartContainerReader_GetPartCount", 1, "ITqMultiPartContainerReader *"),
           m.ITqMultiPartContainerReader_GetPartCount, k.TqBuffer())
    for args in [(None, 0), (c, -1), (c, "0"), (c,)]:
        raises(TypeError, GET_PART, m.ITqMultiPartContainerReader_GetPart, *args)
    raises(TypeError, "ITqMultiPartContainerReader_GetPart expected at most 2 arguments, got 3\n"
           "Additional information:\n" + GET_PART, m.ITqMultiPartContainerReader_GetPart, c, 0, 0)
    assert c.AddImagePart(1, 2, 2, m.TqPixelMono8).IsOK()
    section = c.GetPart(0)
    # No memory yet: an empty view.
    assert section.GetDataPointer().shape == (0,) and section.GetEffectiveSize() == 0
    raises(TypeError, SECTION_DATA, m.ITqMultiPartSection_GetDataPointer, c)
    raises(TypeError, arg("ITqMultiPartSection_GetSize", 1, "ITqMultiPartSection const *"),
           m.ITqMultiPartSection_GetSize, c)
    raises(TypeError, arg("ITqMultiPartSection_GetImage", 1, "ITqMultiPartSection *"),
           m.ITqMultiPartSection_GetImage, None)
    # Borrowed objects are never destroyed by a delete function.
    for func, obj in [(m.delete_ITqMultiPartSection, section), (m.delete_ITqMultiPartContainer, c),
                      (m.delete_ITqMultiPartContainerReader, c), (m.delete_ITqMultiPartContainerWriter, c)]:
        with pytest.raises(RuntimeError, match="does not own its object"):
            func(obj)
        assert func(None) is None
    assert c.GetPartCount() == 1


def test_part_memory_out_of_range(m, container):
    three_parts(m, container)
    for index in (3, 10, 2 ** 32 - 1):
        assert container.AllocPart(index).GetCode() == m.TQ_INVALID_PARAMETER
    assert container.AllocPart(2).IsOK()
