"""Python classes of the Kivo SDK, built on the flat functions of the extension module _kivo_python64.

Every class registered by the extension (it has a ``<Class>_swigregister`` function) becomes a Python
class here, derived at its root from the extension's instance type, which holds the native object's
proxy in a slot read as ``this``. Its ``__init__`` is a constructor descriptor over ``new_<Class>``,
``__swig_destroy__`` is ``delete_<Class>``, each ``<Class>_<Method>`` function becomes a method
descriptor (a call goes straight to the flat function, self first), static methods stay the flat
functions, and each member variable is a property over ``<Class>_<field>_get`` and ``_set``.
The module also re-exports every constant and enumeration dictionary of the extension.
"""

import weakref

import _kivo_python64 as _native

_Object = _native.__kivo_object__
_Method = _native.__kivo_method__
_Constructor = _native.__kivo_constructor__

_RUNTIME_SUFFIXES = ("swigregister", "swiginit")


def _iterate_parameters(self):
    """Each parameter in turn: lookups past the end give None and never raise, so iteration counts."""
    for index in range(self.GetCount()):
        yield self.Get(index)


def _iterate_list(self):
    """Each item in turn, by position (the list's own cursor is left alone)."""
    for index in range(self.GetSize()):
        yield self.GetItem(index)


# Python protocols a class gets beyond its flat functions.
_EXTRAS = {"TqGenParameterArray": {"__iter__": _iterate_parameters},
           "TqGenParameterList": {"__iter__": _iterate_list}}


def _swig_repr(self):
    try:
        this = "proxy of " + repr(self.this)
    except AttributeError:
        this = ""
    return "<%s.%s; %s >" % (self.__class__.__module__, self.__class__.__name__, this)


def _no_constructor(self, *args, **kwargs):
    raise AttributeError("No constructor defined")


def _director_methods(cls, built):
    """__init__ and __disown__ of a class that Python subclasses: an instance of a subclass gets a
    native object that calls its methods; the class itself cannot be instantiated."""
    new = getattr(_native, "new_" + cls)
    attach = getattr(_native, cls + "_swiginit")
    disown = getattr(_native, "disown_" + cls)

    def __init__(self):
        attach(self, new(None if type(self) is built[cls] else self))

    def __disown__(self):
        self.this.disown()
        disown(self)
        return weakref.proxy(self)

    return {"__init__": __init__, "__disown__": __disown__}


def _flat_names():
    return [n for n in dir(_native) if callable(getattr(_native, n))]


def _members_by_class(names, classes):
    """Maps each class to {member: flat function} from the flat names <Class>_<Member>."""
    longest_first = sorted(classes, key=len, reverse=True)
    members = {c: {} for c in classes}
    for name in names:
        for cls in longest_first:
            if name.startswith(cls + "_"):
                member = name[len(cls) + 1:]
                if member not in _RUNTIME_SUFFIXES:
                    members[cls][member] = getattr(_native, name)
                break
    return members


def _build_classes(namespace):
    names = _flat_names()
    rows = {row[0]: row for row in _native.__kivo_classes__}
    members = _members_by_class(names, rows)
    built = {}

    def build(cls):
        if cls in built:
            return built[cls]
        _, base_names, statics, fields, director = rows[cls]
        bases = tuple(build(b) for b in base_names if b in rows) or (_Object,)
        attrs = {
            "__module__": __name__,
            "thisown": property(lambda x: x.this.own(), lambda x, v: x.this.own(v), doc="The membership flag"),
            "__repr__": _swig_repr,
        }
        new = getattr(_native, "new_" + cls, None)
        attrs["__init__"] = _Constructor(new) if new is not None else _no_constructor
        delete = getattr(_native, "delete_" + cls, None)
        if delete is not None:
            attrs["__swig_destroy__"] = delete
        accessors = {f + suffix for f in fields for suffix in ("_get", "_set")}
        for member, function in members[cls].items():
            if member in statics:
                attrs[member] = staticmethod(function)
            elif member not in accessors:
                attrs[member] = _Method(function, member)
        for field in fields:
            getter = members[cls][field + "_get"]
            attrs[field] = property(getter, members[cls].get(field + "_set"))
        if director:
            attrs.update(_director_methods(cls, built))
        attrs.update(_EXTRAS.get(cls, {}))
        klass = type(cls, bases, attrs)
        getattr(_native, cls + "_swigregister")(klass)
        built[cls] = klass
        return klass

    for cls in rows:
        namespace[cls] = build(cls)


def _export_constants(namespace):
    for name in dir(_native):
        value = getattr(_native, name)
        if isinstance(value, (int, dict)) and not name.startswith("_"):
            namespace[name] = value


_export_constants(globals())
_build_classes(globals())
