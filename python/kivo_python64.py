"""Python classes of the Kivo SDK, built on the flat functions of the extension module _kivo_python64.

The extension names its classes in ``__kivo_classes__``: each with its bases, whether Python may
subclass it, and its functions, each with its member name and its role. Every class becomes a Python
class here, derived at its root from the extension's instance type, which holds the native object's
proxy in a slot read as ``this``. Its ``__init__`` is a constructor descriptor over ``new_<Class>``
(a class without one refuses to be made), ``__swig_destroy__`` is ``delete_<Class>``, each method
becomes a method descriptor (a call goes straight to the flat function, self first), static methods
stay the flat functions, and each member variable is a property over its two functions. A class
that Python subclasses gets ``__init__`` and ``__disown__`` over ``new_<Class>`` and
``disown_<Class>``. The module also re-exports every constant and enumeration dictionary.
"""

import weakref

import _kivo_python64 as _native

_Object = _native.__kivo_object__
_Method = _native.__kivo_method__
_Constructor = _native.__kivo_constructor__

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


def _director_methods(functions, klass):
    """__init__ and __disown__ of a class that Python subclasses: an instance of a subclass gets a
    native object that calls its methods, made from the constructor's arguments when it takes any;
    the class itself cannot be instantiated."""
    new, attach, disown = functions["new"], functions["init"], functions["disown"]

    def __init__(self, *args):
        attach(self, new(None if type(self) is klass() else self, *args))

    def __disown__(self):
        self.this.disown()
        disown(self)
        return weakref.proxy(self)

    return {"__init__": __init__, "__disown__": __disown__}


def _build_classes(namespace):
    rows = {row[0]: row for row in _native.__kivo_classes__}
    built = {}

    def build(cls):
        if cls in built:
            return built[cls]
        _, base_names, members, director = rows[cls]
        bases = tuple(build(b) for b in base_names if b in rows) or (_Object,)
        attrs = {
            "__module__": __name__,
            "thisown": property(lambda x: x.this.own(), lambda x, v: x.this.own(v), doc="The membership flag"),
            "__repr__": _swig_repr,
            "__init__": _no_constructor,
        }
        roles = {}   # role -> flat function, for the roles a class has once
        fields = {}
        for member, flat, role in members:
            function = getattr(_native, flat)
            if role == "method":
                attrs[member] = _Method(function, member)
            elif role == "static":
                attrs[member] = staticmethod(function)
            elif role in ("get", "set"):
                fields.setdefault(member, {})[role] = function
            else:
                roles[role] = function
        for field, accessors in fields.items():
            attrs[field] = property(accessors["get"], accessors.get("set"))
        if "new" in roles:
            attrs["__init__"] = _Constructor(roles["new"])
        if "delete" in roles:
            attrs["__swig_destroy__"] = roles["delete"]
        if director:
            attrs.update(_director_methods(roles, lambda: built[cls]))
        attrs.update(_EXTRAS.get(cls, {}))
        klass = type(cls, bases, attrs)
        roles["register"](klass)
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
