"""Calls every function of the extension's method table with a fixed set of wrong argument shapes.

Run by test_sweep.py in a child interpreter, so that a crash is reported with the function's name:
before each function it prints "CALL <name>"; each call that ends in neither a result nor a proper
exception (a SystemError, or an exception without a message) is printed as "BAD <name> <shape> ...".
"""

import sys

import _kivo_python64 as m
import kivo_python64 as k


class Stranger:
    """A Python class named like the proxy type: must never be taken for one."""


Stranger.__name__ = "SwigPyObject"

BAD_VALUES = [None, "text", b"bytes", 1.5, 2**64, -(2**63) - 1, -1, [1, 2], Stranger()]


def fresh_objects():
    """One valid instance of every class that Python can construct, made anew for each function."""
    objects = {}
    for name in dir(k):
        cls = getattr(k, name)
        if isinstance(cls, type) and hasattr(m, "new_" + name):
            try:
                objects[name] = cls()
            except Exception:
                pass
    if "TqSystem" in objects:
        objects["TqSystem"].SetDetectionTimeout(100)   # every find blocks for this long
    return objects


def shapes(objects):
    yield "no arguments", ()
    for value in BAD_VALUES:
        yield "one %r" % type(value).__name__, (value,)
    yield "two None", (None, None)
    yield "too many", tuple(range(9))
    for cls_name, obj in objects.items():
        yield "self %s" % cls_name, (obj,)
        for value in BAD_VALUES:
            yield "self %s, %r" % (cls_name, type(value).__name__), (obj, value)
            yield "self %s, %r, %r" % (cls_name, type(value).__name__, type(value).__name__), (obj, value, value)
    for other_name, other in objects.items():
        yield "wrong proxy %s" % other_name, (other.this, other.this)


def call(function, args):
    try:
        function(*args)
    except SystemError as error:
        return "SystemError: %s" % error
    except BaseException as error:  # noqa: BLE001 - every exception is checked the same way
        if not str(error):
            return "%s without a message" % type(error).__name__
    return None


def restore_registrations():
    for name in dir(m):
        if name.endswith("_swigregister"):
            getattr(m, name)(getattr(k, name[: -len("_swigregister")]))


def main():
    bad = 0
    names = [n for n in sorted(dir(m)) if callable(getattr(m, n))]
    for name in names:
        print("CALL", name, flush=True)
        function = getattr(m, name)
        for label, args in shapes(fresh_objects()):
            problem = call(function, args)
            if problem:
                bad += 1
                print("BAD", name, "|", label, "|", problem, flush=True)
            if name.endswith("_swigregister"):
                restore_registrations()   # a junk registration would outlive the call
    print("SWEPT %d functions, %d bad calls" % (len(names), bad), flush=True)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
