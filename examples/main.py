"""A tour of what the Kivo binding offers so far: constants, enumerations, results and strings."""

import kivo_python64 as kivo


def main():
    print("Pixel formats known:", len(kivo.TqPixelType))
    mono8 = kivo.TqPixelMono8
    bits = (mono8 & kivo.TQBITSPERPIXELMASK) >> 16
    print("TqPixelMono8 = 0x%08X, %d bits per pixel, mono: %s" % (mono8, bits, bool(mono8 & kivo.TQPIXELMONO)))
    print("A custom pixel flag reads as a signed 32-bit int:", kivo.TQPIXELCUSTOM)
    print("GenICam parameter kinds:", ", ".join(sorted(kivo.TqGenType, key=kivo.TqGenType.get)))

    ok = kivo.TqResult(kivo.TQ_OK)
    timeout = kivo.TqResult(kivo.TQ_TIMEOUT, 0, kivo.TqString("no frame within 1000 ms"))
    for result in (ok, timeout):
        print("Result %-8s code %5d  OK: %-5s  description: %r"
              % (str(result.GetCodeString()), result.GetCode(), result.IsOK(), str(result.GetDescription())))
    combined = kivo.TqResult(kivo.TQ_OK)
    combined |= timeout
    print("OK |= TIMEOUT keeps the failure:", str(combined.GetCodeString()), combined == kivo.TQ_TIMEOUT)

    name = kivo.TqString("Caméra \U0001F4F7")
    print("TqString round trip:", str(name), "length", name.GetLength(), "equal to str:", name == "Caméra \U0001F4F7")
    name += " #1"
    print("After += the name is a str:", repr(name))


if __name__ == "__main__":
    main()
