"""Pixel conversion and compression on 2448x2048 frames, each beside a reference measured in the
same run:
- BayerRG8 to RGB8 (bilinear) at 1, 2, 4 and 8 threads against OpenCV's cvtColor at the same thread
  counts, in three rounds (goal: ratio <= 1 at 8 threads in every round), with our scaling from one
  thread and the pool's start and wake costs;
- RGB8 to BGR8 and Mono16 to Mono8 at 1 and 8 threads against OpenCV doing the same at the same
  thread count between buffers' memory, in five rounds (goal: ratio <= 1 in the median round), with
  OpenCV between NumPy's own arrays beside them;
- compression of a smooth 8-bit gradient with Gaussian noise (sigma 2): the ratio (goal >= 2.0), MB/s
  of one thread (goal >= 500) and decompression's speed against it (goal >= 2).

Prints a table; never fails. Pin it for steadier figures (taskset -c 0-7); the load average is printed. OpenCV (Debian's python3-opencv) is optional: without it those rows
say so. Run:  PYTHONPATH=build/python /usr/bin/python3 bench/bench_convert.py
"""

import os
import time

import numpy as np

import _kivo_testhooks as hooks
import kivo_python64 as kivo

WIDTH, HEIGHT = 2448, 2048
THREADS = (1, 2, 4, 8)
ROUNDS = 3
CONVERSION_ROUNDS = 5


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


def bayer_round(mosaic, source, destination, cv2):
    """One round of BayerRG8 -> RGB8 at 1, 2, 4 and 8 threads: {threads: (ours, OpenCV or None)}."""
    times = {}
    default_threads = cv2.getNumThreads() if cv2 else 0
    for threads in THREADS:
        converter = kivo.TqBufferConverter(threads)
        ours = best_of(lambda: converter.Convert(source, destination))
        theirs = None
        if cv2:
            cv2.setNumThreads(threads)
            theirs = best_of(lambda: cv2.cvtColor(mosaic, cv2.COLOR_BayerRGGB2RGB))
        times[threads] = (ours, theirs)
    if cv2:
        cv2.setNumThreads(default_threads)
    return times


def pool_start(source, destination, threads=8):
    """The pool's costs on a full frame: (first conversion of a new converter, which starts its threads;
    a conversion after the workers went to sleep; back to back), best of several in ms."""
    first, idle, steady = [], [], []
    for _ in range(7):
        converter = kivo.TqBufferConverter(threads)
        started = time.perf_counter()
        converter.Convert(source, destination)
        first.append(time.perf_counter() - started)
        time.sleep(0.01)   # the workers stop spinning and sleep
        started = time.perf_counter()
        converter.Convert(source, destination)
        idle.append(time.perf_counter() - started)
        steady.append(best_of(lambda: converter.Convert(source, destination), 5))
        del converter
    return min(first) * 1e3, min(idle) * 1e3, min(steady) * 1e3


def bayer():
    rng = np.random.default_rng(1)
    mosaic = rng.integers(0, 256, (HEIGHT, WIDTH), dtype=np.uint8)
    source, destination = image(kivo.TqPixelBayerRG8, mosaic), image(kivo.TqPixelRGB8)
    try:
        import cv2
    except ImportError:
        cv2 = None
    rounds = [bayer_round(mosaic, source, destination, cv2) for _ in range(ROUNDS)]
    print("BayerRG8 -> RGB8 (bilinear), %d rounds, best of 15 in each; ms as best / worst round" % ROUNDS)
    print("%8s %16s %16s %14s %20s %14s" % ("threads", "ours ms", "OpenCV ms", "ratio", "ratio spread", "our scaling"))
    one = min(r[1][0] for r in rounds)
    for threads in THREADS:
        ours = [r[threads][0] for r in rounds]
        scaling = one / min(ours)
        if cv2 is None:
            print("%8d %7.2f / %6.2f %16s %14s %20s %13.2fx" % (threads, min(ours) * 1e3, max(ours) * 1e3, "-", "-", "-",
                                                               scaling))
            continue
        theirs = [r[threads][1] for r in rounds]
        ratios = [r[threads][0] / r[threads][1] for r in rounds]
        goal = "goal <= 1: %s" % ("met" if max(ratios) <= 1 else "MISS") if threads == 8 else ""
        print("%8d %7.2f / %6.2f %7.2f / %6.2f %14.2f %9.2f - %-8.2f %13.2fx  %s"
              % (threads, min(ours) * 1e3, max(ours) * 1e3, min(theirs) * 1e3, max(theirs) * 1e3,
                 sorted(ratios)[len(ratios) // 2], min(ratios), max(ratios), scaling, goal))
    if cv2 is None:
        print("  (OpenCV not installed: no ratios; scaling is against our own one-thread time)")
    else:
        cv_scaling = min(r[1][1] for r in rounds) / min(r[8][1] for r in rounds)
        print("  scaling 1 -> 8 threads: ours %.2fx, OpenCV %.2fx; ratio column: median round, spread over rounds"
              % (one / min(r[8][0] for r in rounds), cv_scaling))
    first, idle, steady = pool_start(source, destination)
    print("  pool of 8 threads: first conversion %.2f ms (starts the threads), after 10 ms idle %.2f ms (wakes "
          "them), back to back %.2f ms: start cost %.2f ms, wake cost %.2f ms"
          % (first, idle, steady, first - steady, idle - steady))


def versus_opencv_rows(name, ours, theirs, aside):
    """Rows of one conversion at 1 and 8 threads. ours(threads) times one call; theirs(threads) times
    each OpenCV counterpart ({name: seconds}, None without OpenCV), of which a round takes the
    fastest; aside(threads) does the same between NumPy's own arrays, shown for comparison. All side
    by side in each of several rounds, each the best of several calls, so that a burst of load hits
    them alike: times are the best round's, the ratio is the median round's (the goal's), with the
    spread over rounds."""
    for threads in (1, 8):
        label = "%s, %d thread%s" % (name, threads, "" if threads == 1 else "s")
        if theirs is None:
            mine = min(best_of(lambda: ours(threads)) for _ in range(CONVERSION_ROUNDS))
            print("%-30s %8.2f ms  OpenCV        -  (no OpenCV)" % (label, mine * 1e3))
            continue
        mine, other, numpy_arrays, ratios, ways = [], [], [], [], set()
        for _ in range(CONVERSION_ROUNDS):
            mine.append(best_of(lambda: ours(threads)))
            times = theirs(threads)
            way = min(times, key=times.get)
            ways.add(way)
            other.append(times[way])
            ratios.append(mine[-1] / other[-1])
            numpy_arrays.append(min(aside(threads).values()))
        ratio = sorted(ratios)[len(ratios) // 2]
        print("%-30s %6.2f ms  OpenCV %6.2f ms  ratio %5.2f (%.2f - %.2f)  goal 1.0 %-4s  %s; between NumPy "
              "arrays %.2f ms" % (label, min(mine) * 1e3, min(other) * 1e3, ratio, min(ratios), max(ratios),
                                  "PASS" if ratio <= 1.0 else "MISS", "/".join(sorted(ways)), min(numpy_arrays) * 1e3))


def opencv_timer(cv2, calls):
    """Times each of calls ({name: call}) with OpenCV at a thread count (None without OpenCV); OpenCV's
    own count is set back."""
    if cv2 is None:
        return None

    def timed(threads):
        default = cv2.getNumThreads()
        cv2.setNumThreads(threads)
        try:
            return {name: best_of(call) for name, call in calls.items()}
        finally:
            cv2.setNumThreads(default)
    return timed


def conversions():
    """RGB8 -> BGR8 and Mono16 -> Mono8 beside OpenCV. OpenCV reads the source buffer's memory and
    writes another buffer's, made once, so that both convert between the same kind of memory: NumPy
    asks the kernel for huge pages for large arrays of its own, the buffers' memory has ordinary
    pages, and these conversions are bound by memory, so OpenCV between NumPy's own arrays (shown
    beside) can be faster for that alone."""
    try:
        import cv2
    except ImportError:
        cv2 = None
    rng = np.random.default_rng(2)
    converters = {threads: kivo.TqBufferConverter(threads) for threads in (1, 8)}

    def ours(source, destination):
        return lambda threads: converters[threads].Convert(source, destination)

    def view(buffer, shape):
        return buffer.GetImage().GetDataPointer().reshape(shape)

    pixels = rng.integers(0, 256, (HEIGHT, WIDTH, 3), dtype=np.uint8)
    rgb, bgr, theirs = image(kivo.TqPixelRGB8, pixels), image(kivo.TqPixelBGR8), image(kivo.TqPixelBGR8)
    source, target = view(rgb, pixels.shape), view(theirs, pixels.shape)
    own, own_target = pixels.copy(), np.empty_like(pixels)
    if cv2 is not None:
        converters[1].Convert(rgb, bgr)
        cv2.cvtColor(source, cv2.COLOR_RGB2BGR, dst=target)
        print("RGB8 -> BGR8 against cvtColor: the same bytes %s" % np.array_equal(view(bgr, pixels.shape), target))
    versus_opencv_rows("RGB8 -> BGR8", ours(rgb, bgr),
                       opencv_timer(cv2, {"cvtColor": lambda: cv2.cvtColor(source, cv2.COLOR_RGB2BGR, dst=target)}),
                       opencv_timer(cv2, {"": lambda: cv2.cvtColor(own, cv2.COLOR_RGB2BGR, dst=own_target)}))

    # Ours keeps the high byte of each level (level >> 8). OpenCV's extractChannel of the high byte of
    # each little-endian pair gives the same bytes; convertScaleAbs with a scale of 1/256 rounds
    # (a level of 0x0180 gives 2, ours 1), a little more work for a different result, but it is
    # OpenCV's usual way from 16 to 8 bits and often the faster: the row takes the faster.
    levels = rng.integers(0, 65536, (HEIGHT, WIDTH), dtype=np.uint16)
    mono16, mono8, high = image(kivo.TqPixelMono16, levels), image(kivo.TqPixelMono8), image(kivo.TqPixelMono8)
    words, target8 = view(mono16, levels.shape), view(high, levels.shape)
    pairs = words.view(np.uint8).reshape(HEIGHT, WIDTH, 2)
    own, own_target = levels.copy(), np.empty(levels.shape, np.uint8)
    own_pairs = own.view(np.uint8).reshape(HEIGHT, WIDTH, 2)
    if cv2 is not None:
        converters[1].Convert(mono16, mono8)
        cv2.extractChannel(pairs, 1, dst=target8)
        print("Mono16 -> Mono8 against extractChannel of the high bytes: the same bytes %s"
              % np.array_equal(view(mono8, levels.shape), target8))
    versus_opencv_rows("Mono16 -> Mono8", ours(mono16, mono8),
                       opencv_timer(cv2, {"extractChannel": lambda: cv2.extractChannel(pairs, 1, dst=target8),
                                          "convertScaleAbs": lambda: cv2.convertScaleAbs(words, dst=target8,
                                                                                         alpha=1 / 256)}),
                       opencv_timer(cv2, {"extractChannel": lambda: cv2.extractChannel(own_pairs, 1, dst=own_target),
                                          "convertScaleAbs": lambda: cv2.convertScaleAbs(own, dst=own_target,
                                                                                         alpha=1 / 256)}))


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
    print("%dx%d frames, best of several runs, %d processors (%d usable), load average %.1f"
          % (WIDTH, HEIGHT, os.cpu_count() or 1, len(os.sched_getaffinity(0)), os.getloadavg()[0]))
    bayer()
    conversions()
    compression()
