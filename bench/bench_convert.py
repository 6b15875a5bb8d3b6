"""Pixel conversion and compression on 2448x2048 frames, each beside a reference measured in the
same run:
- BayerRG8 to RGB8 (bilinear) with one thread against OpenCV's cvtColor limited to one thread, and
  with all threads against OpenCV with its default threading (goal: ratio <= 1 for both);
- RGB8 to BGR8 and Mono16 to Mono8 against a memory copy of the same bytes (goal: <= 1.5);
- compression of a smooth 8-bit gradient with Gaussian noise (sigma 2): the ratio (goal >= 2.0), MB/s
  of one thread (goal >= 500) and decompression's speed against it (goal >= 2).

Prints a table; never fails. OpenCV (Debian's python3-opencv) is optional: without it those rows
say so. Run:  PYTHONPATH=build/python /usr/bin/python3 bench/bench_convert.py
"""

import os
import time

import numpy as np

import _kivo_testhooks as hooks
import kivo_python64 as kivo

WIDTH, HEIGHT = 2448, 2048


def best_of(call, repeat=15):
    call()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def image(pixel_type, pixels=None):
    buffer = kivo.TqBuffer()
    img = hooks.buffer_image(buffer)
    img.Alloc(WIDTH, HEIGHT, pixel_type)
    if pixels is not None:
        view = img.GetDataPointer()
        view[...] = pixels.reshape(view.shape)
    buffer.image = img
    return buffer


def copy_time(nbytes):
    src = np.random.default_rng(0).integers(0, 256, nbytes, dtype=np.uint8)
    dst = np.empty_like(src)
    return best_of(lambda: np.copyto(dst, src))


def row(name, ours, reference, reference_name, goal):
    ratio = ours / reference
    print("%-34s %8.2f ms  %-26s %8.2f ms  ratio %5.2f  (goal %s)"
          % (name, ours * 1e3, reference_name, reference * 1e3, ratio, goal))


def bayer():
    rng = np.random.default_rng(1)
    mosaic = rng.integers(0, 256, (HEIGHT, WIDTH), dtype=np.uint8)
    source, destination = image(kivo.TqPixelBayerRG8, mosaic), image(kivo.TqPixelRGB8)
    one, every = kivo.TqBufferConverter(1), kivo.TqBufferConverter(0)
    ours_one = best_of(lambda: one.Convert(source, destination))
    ours_all = best_of(lambda: every.Convert(source, destination))
    try:
        import cv2
    except ImportError:
        print("BayerRG8 -> RGB8: one thread %.2f ms, all threads %.2f ms (OpenCV not installed: no ratio)"
              % (ours_one * 1e3, ours_all * 1e3))
        return
    default_threads = cv2.getNumThreads()
    cv2.setNumThreads(1)
    cv_one = best_of(lambda: cv2.cvtColor(mosaic, cv2.COLOR_BayerRGGB2RGB))
    cv2.setNumThreads(default_threads)
    cv_all = best_of(lambda: cv2.cvtColor(mosaic, cv2.COLOR_BayerRGGB2RGB))
    row("BayerRG8 -> RGB8, one thread", ours_one, cv_one, "OpenCV, one thread", "<= 1")
    row("BayerRG8 -> RGB8, %d threads" % every.GetMaxNumberOfThreads() if hasattr(every, "GetMaxNumberOfThreads")
        else "BayerRG8 -> RGB8, all threads", ours_all, cv_all, "OpenCV, %d threads" % default_threads, "< 1")


def copies():
    rng = np.random.default_rng(2)
    one = kivo.TqBufferConverter(1)
    rgb = image(kivo.TqPixelRGB8, rng.integers(0, 256, (HEIGHT, WIDTH, 3), dtype=np.uint8))
    bgr = image(kivo.TqPixelBGR8)
    row("RGB8 -> BGR8, one thread", best_of(lambda: one.Convert(rgb, bgr)), copy_time(WIDTH * HEIGHT * 3),
        "copy of the same bytes", "<= 1.5")
    mono16 = image(kivo.TqPixelMono16, rng.integers(0, 65536, (HEIGHT, WIDTH), dtype=np.uint16))
    mono8 = image(kivo.TqPixelMono8)
    row("Mono16 -> Mono8, one thread", best_of(lambda: one.Convert(mono16, mono8)), copy_time(WIDTH * HEIGHT * 2),
        "copy of the source's bytes", "<= 1.5")


def compression():
    rng = np.random.default_rng(3)
    gradient = np.add.outer(np.linspace(0, 180, HEIGHT), np.linspace(0, 60, WIDTH))
    pixels = np.clip(np.rint(gradient + rng.normal(0, 2, (HEIGHT, WIDTH))), 0, 255).astype(np.uint8)
    source, packed, restored = image(kivo.TqPixelMono8, pixels), kivo.TqBuffer(), kivo.TqBuffer()
    compressor, decompressor = kivo.TqCompressionFilter(), kivo.TqDecompressionFilter()
    decompressor.SetThreadCount(1)
    packing = best_of(lambda: compressor.Execute(source, packed), 10)
    unpacking = best_of(lambda: decompressor.Execute(packed, restored), 10)
    ratio = WIDTH * HEIGHT / hooks.payload_length(packed)
    same = np.array_equal(restored.GetImage().GetDataPointer(), pixels)
    megabytes = WIDTH * HEIGHT / 1e6
    print("Compression of a noisy gradient: ratio %.2f (goal >= 2.0), %.0f MB/s on one thread (goal >= 500); "
          "decompression %.0f MB/s on one thread, %.2fx compression (goal >= 2); lossless: %s"
          % (ratio, megabytes / packing, megabytes / unpacking, packing / unpacking, same))
    decompressor.SetThreadCount(max(1, (os.cpu_count() or 2) // 2))
    unpacking = best_of(lambda: decompressor.Execute(packed, restored), 10)
    print("  decompression on %d threads: %.0f MB/s" % (decompressor.GetThreadCount(), megabytes / unpacking))


if __name__ == "__main__":
    print("%dx%d frames, best of several runs, %d processors" % (WIDTH, HEIGHT, os.cpu_count() or 1))
    bayer()
    copies()
    compression()
