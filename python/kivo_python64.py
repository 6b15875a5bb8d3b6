"""Python classes of the Kivo SDK, built on the flat functions of the extension module _kivo_python64.

Every class registered by the extension (it has a ``<Class>_swigregister`` function) becomes a Python
class here: its constructor calls ``new_<Class>`` and attaches the result with ``<Class>_swiginit``,
``__swig_destroy__`` is ``delete_<Class>``, and each ``<Class>_<Method>`` function becomes a method.
The module also re-exports every constant and enumeration dictionary of the extension.
"""

import _kivo_python64 as _native

# Base classes, as the SDK declares them (classes not listed derive from object only).
_BASES = {
    "TqBuffer": ("ITqChunkData",),
    "TqChunkData": ("ITqChunkData",),
    "TqImage": ("ITqImage",),
    "ITqMultiPartContainer": ("ITqMultiPartContainerReader", "ITqMultiPartContainerWriter"),
    "ITqMultiPartContainerWriter": ("ITqMultiPartContainerReader",),
    "ITqRegister": ("ITqRegisterInfo",),
    "TqSoftDeviceGEV": ("ITqSoftDeviceGEV",),
    "TqStreamingChannelSourceDefault": ("ITqStreamingChannelSource",),
    "TqDeviceGEV": ("TqDevice",),
    "TqDeviceU3V": ("TqDevice",),
    "TqDeviceAdapter": ("ITqDeviceAdapter", "TqDeviceEventSink", "TqGenEventSink"),
    "TqDeviceInfoGEV": ("TqDeviceInfo",),
    "TqDeviceInfoZelvraProtocol": ("TqDeviceInfo",),
    "TqDeviceInfoUSB": ("TqDeviceInfo",),
    "TqDeviceInfoU3V": ("TqDeviceInfoUSB",),
    "TqGenInteger": ("TqGenParameter",),
    "TqGenFloat": ("TqGenParameter",),
    "TqGenEnum": ("TqGenParameter",),
    "TqGenBoolean": ("TqGenParameter",),
    "TqGenCommand": ("TqGenParameter",),
    "TqGenString": ("TqGenParameter",),
    "TqGenRegister": ("TqGenParameter",),
    "TqNetworkAdapter": ("TqInterface",),
    "TqUSBHostController": ("TqInterface",),
    "TqStreamGEV": ("TqStream",),
    "TqStreamU3V": ("TqStream",),
    "TqStreamRTP": ("TqStream",),
}

# Static SDK methods, per class: they take no instance.
_STATICS = {}

_RUNTIME_SUFFIXES = ("swigregister", "swiginit")


def _swig_repr(self):
    try:
        this = "proxy of " + repr(self.this)
    except AttributeError:
        this = ""
    return "<%s.%s; %s >" % (self.__class__.__module__, self.__class__.__name__, this)


def _no_constructor(self, *args, **kwargs):
    raise AttributeError("No constructor defined")


def _forward(function):
    def method(self, *args):
        return function(self, *args)

    method.__name__ = function.__name__
    method.__doc__ = function.__doc__
    return method


def _constructor(new, init):
    def __init__(self, *args):
        init(self, new(*args))

    return __init__


def _class_names(names):
    suffix = "_swigregister"
    return sorted(n[: -len(suffix)] for n in names if n.endswith(suffix))


def _methods_by_class(names, classes):
    """Maps each class to {method: function} from the flat names <Class>_<Method>."""
    longest_first = sorted(classes, key=len, reverse=True)
    methods = {c: {} for c in classes}
    for name in names:
        for cls in longest_first:
            if name.startswith(cls + "_"):
                member = name[len(cls) + 1:]
                if member not in _RUNTIME_SUFFIXES:
                    methods[cls][member] = getattr(_native, name)
                break
    return methods


def _build_classes(namespace):
    names = [n for n in dir(_native) if callable(getattr(_native, n))]
    classes = _class_names(names)
    methods = _methods_by_class(names, classes)
    built = {}

    def build(cls):
        if cls in built:
            return built[cls]
        bases = tuple(build(b) for b in _BASES.get(cls, ()) if b in methods) or (object,)
        attrs = {
            "__module__": __name__,
            "thisown": property(lambda x: x.this.own(), lambda x, v: x.this.own(v), doc="The membership flag"),
            "__repr__": _swig_repr,
        }
        new = getattr(_native, "new_" + cls, None)
        init = getattr(_native, cls + "_swiginit", None)
        attrs["__init__"] = _constructor(new, init) if new and init else _no_constructor
        delete = getattr(_native, "delete_" + cls, None)
        if delete is not None:
            attrs["__swig_destroy__"] = delete
        statics = _STATICS.get(cls, ())
        for member, function in methods[cls].items():
            attrs[member] = staticmethod(function) if member in statics else _forward(function)
        klass = type(cls, bases, attrs)
        getattr(_native, cls + "_swigregister")(klass)
        built[cls] = klass
        return klass

    for cls in classes:
        namespace[cls] = build(cls)


def _export_constants(namespace):
    for name in dir(_native):
        value = getattr(_native, name)
        if isinstance(value, (int, dict)) and not name.startswith("_"):
            namespace[name] = value


_export_constants(globals())
_build_classes(globals())
