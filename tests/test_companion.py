"""The companion classes' fast path: the instance type that holds "this" in a slot, method and
constructor descriptors over the flat functions, and the classic Python classes (a plain class with
a "this" attribute) that keep working beside them."""

import gc
import sys
import textwrap
import weakref

import pytest

SELF_ERROR = r"in method 'TqResult_GetCode', argument 1 of type 'TqResult const \*'"


def live(hooks, cls="TqResult"):
    return hooks.live_objects().get(cls, 0)


def error_of(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the test compares whatever was raised
        return type(error), str(error)
    return None


def test_classes_are_built_on_the_module_types(m, k):
    root, method, constructor = m.__kivo_object__, m.__kivo_method__, m.__kivo_constructor__
    assert [t.__name__ for t in (root, method, constructor)] == ["Object", "Method", "Constructor"]
    for cls in (k.TqResult, k.TqString):
        assert cls.__mro__[1:] == (root, object)
        assert type(vars(cls)["__init__"]) is constructor
        assert type(vars(cls)["__swig_destroy__"]).__name__ == "builtin_function_or_method"
    get_code = vars(k.TqResult)["GetCode"]
    assert type(get_code) is method and k.TqResult.GetCode is get_code
    assert (get_code.__name__, get_code.__doc__, get_code.__wrapped__) == (
        "GetCode", m.TqResult_GetCode.__doc__, m.TqResult_GetCode)
    assert repr(get_code) == "<method 'GetCode' of flat function 'TqResult_GetCode'>"
    assert vars(k.TqResult)["__init__"].__name__ == "__init__"
    r = k.TqResult(4)
    assert isinstance(r, root) and "this" not in vars(r) and type(r.this).__name__ == "SwigPyObject"
    assert repr(r) == "<kivo_python64.TqResult; proxy of %r >" % r.this
    assert r.thisown is True


def test_this_slot(m, k, hooks, no_leaks):
    with no_leaks():
        empty = k.TqResult.__new__(k.TqResult)
        message = "^'TqResult' object has no attribute 'this'$"
        with pytest.raises(AttributeError, match=message):
            empty.this
        with pytest.raises(AttributeError, match=message):
            del empty.this
        assert not hasattr(empty, "this") and repr(empty) == "<kivo_python64.TqResult;  >"
        proxy = m.new_TqResult(8)
        empty.this = proxy
        assert empty.this is proxy and empty.GetCode() == 8 and "this" not in vars(empty)
        del empty.this
        assert not hasattr(empty, "this")

        class Holder:
            pass

        holder = Holder()
        holder.this = proxy
        empty.this = holder  # the walk goes on through any object's "this"
        assert empty.GetCode() == 8
        empty.this = empty  # a loop ends at the walk's bound
        with pytest.raises(TypeError, match=SELF_ERROR):
            empty.GetCode()
        ref = weakref.ref(empty)
        del empty, holder, proxy
        gc.collect()
        assert ref() is None  # the cycle through the slot is collected


def test_method_calls_reach_the_flat_functions(m, k):
    r, text = k.TqResult(5), k.TqString("x")
    assert r.IsOK() is False and r.GetCode() == 5
    assert r.SetCode(0) is None and r.IsOK() is True and r.GetCode() == 0
    assert k.TqResult.GetCode(r) == 0 and k.TqResult.SetCode(r, 7) is None and r.GetCode() == 7
    assert text.GetLength() == 1 and k.TqString.GetLength(text) == 1
    # A wrong self, a wrong count or keywords give exactly the flat function's errors.
    calls = [
        (k.TqResult.GetCode, m.TqResult_GetCode, (text,), {}),
        (k.TqResult.GetCode, m.TqResult_GetCode, (5,), {}),
        (k.TqResult.GetCode, m.TqResult_GetCode, (None,), {}),
        (k.TqResult.GetCode, m.TqResult_GetCode, (), {}),
        (k.TqResult.GetCode, m.TqResult_GetCode, (r, 1), {}),
        (k.TqResult.GetCode, m.TqResult_GetCode, (r,), {"x": 1}),
        (k.TqResult.SetCode, m.TqResult_SetCode, (text, 1), {}),
        (k.TqResult.SetCode, m.TqResult_SetCode, (r,), {}),
        (k.TqResult.SetCode, m.TqResult_SetCode, (r, "one"), {}),
        (k.TqResult.SetCode, m.TqResult_SetCode, (r, 1), {"aIn": 1}),
        (k.TqResult.__eq__, m.TqResult___eq__, (r, 1, 2), {}),
    ]
    for method, flat, args, kwargs in calls:
        expected = error_of(flat, *args, **kwargs)
        assert expected is not None and error_of(method, *args, **kwargs) == expected, (method, args)
    assert error_of(k.TqResult.GetCode, text) == (TypeError, SELF_ERROR.replace("\\", ""))
    assert error_of(r.GetCode, 1) == error_of(m.TqResult_GetCode, r, 1)
    assert error_of(r.SetCode) == error_of(m.TqResult_SetCode, r)
    assert (r == 7, r != 7, r == k.TqResult(7), r == "x") == (True, False, True, False)


def test_bound_methods(m, k):
    r = k.TqResult(5)
    get_code, set_code = r.GetCode, r.SetCode
    assert type(get_code).__name__ == "BoundMethod" and get_code.__self__ is r
    assert get_code.__func__ is vars(k.TqResult)["GetCode"]
    assert (get_code.__name__, get_code.__doc__) == ("GetCode", m.TqResult_GetCode.__doc__)
    assert repr(get_code) == "<bound method GetCode of %r>" % r
    assert get_code() == 5 and set_code(6) is None and get_code() == 6
    assert error_of(get_code, 1) == error_of(m.TqResult_GetCode, r, 1)
    assert error_of(set_code, x=1) == error_of(m.TqResult_SetCode, r, x=1)
    init = r.__init__
    assert init(9) is None and r.this.next().own() is True  # attached as <Class>_swiginit would
    assert m.TqResult_GetCode(r.this.next()) == 9


def test_constructor(m, k, hooks, no_leaks):
    with no_leaks():
        base = live(hooks)
        r = k.TqResult(3, 4)
        assert (r.GetCode(), r.GetOSCode(), r.this.own(), live(hooks)) == (3, 4, True, base + 1)
        for args in ((1, 2, 3, 4), ("x",), (k.TqString("x"),)):
            assert error_of(k.TqResult, *args) == error_of(m.new_TqResult, *args)
        assert error_of(k.TqResult, code=1) == error_of(m.new_TqResult, code=1)
        assert error_of(k.TqString.__init__) == (TypeError, "descriptor '__init__' needs an argument")
        # Nothing to attach the new object to: the object is destroyed again.
        assert error_of(k.TqResult.__init__, 5, 1) == (AttributeError, "'int' object has no attribute 'this'")
        assert live(hooks) == base + 1
        del r, args


def test_subclasses_in_python(m, k, hooks, no_leaks):
    with no_leaks():
        class Noted(k.TqResult):
            def __init__(self, code, note):
                super().__init__(code)
                self.note = note

            def Doubled(self):
                return self.GetCode() * 2

        class Slotted(k.TqResult):
            __slots__ = ("extra",)

        both = type("Both", (k.TqResult, k.TqString), {})
        x, y = Noted(4, "four"), Slotted(6)
        y.extra = 1
        assert (x.Doubled(), x.note, m.TqResult_GetCode(x), y.GetCode(), y.extra) == (8, "four", 4, 6, 1)
        assert x == 4 and x != y and k.TqResult.GetCode(y) == 6
        assert both.__mro__[-2:] == (m.__kivo_object__, object) and both(2).GetCode() == 2
        view = hooks.make_pointer("_p_TqResult", int(x.this))
        assert type(view) is k.TqResult and view.this.own() is False
        del x, y, view


def test_thisless_objects_refused_cleanly(m, k):
    empty = k.TqResult.__new__(k.TqResult)
    with pytest.raises(TypeError, match=SELF_ERROR):
        m.TqResult_GetCode(empty)
    with pytest.raises(TypeError, match=SELF_ERROR):
        empty.GetCode()
    assert m.TqResult___eq__(empty, 0) is NotImplemented
    assert (k.TqResult(0) == empty, k.TqResult(0) != empty) == (False, True)
    with pytest.raises(TypeError, match="^Wrong number or type of arguments for overloaded function 'new_TqResult'"):
        m.new_TqResult(empty)
    assert sys.exc_info() == (None, None, None)


def test_descriptor_arguments(m):
    method, constructor = m.__kivo_method__, m.__kivo_constructor__
    assert method(len, "size")([1, 2]) == 2  # any built-in taking one object
    for bad in ((lambda x: x, "f"), (print, "f"), (m.TqResult_GetCode,), (m.TqResult_GetCode, 5)):
        with pytest.raises(TypeError):
            method(*bad)
    with pytest.raises(TypeError, match="^Method\\(\\) takes no keyword arguments$"):
        method(m.TqResult_GetCode, name="x")
    with pytest.raises(TypeError):
        constructor(object)


def test_no_leaks_through_the_new_path(k, hooks, no_leaks):
    with no_leaks():
        base = live(hooks)
        for code in range(50):
            r = k.TqResult(code)
            r.keep = r.GetCode  # a cycle through a bound method
            assert r.keep() == code
        del r
        text = k.TqString("abc")
        assert [text.GetLength() for _ in range(3)] == [3, 3, 3]
        del text
        gc.collect()
        assert live(hooks) == base


def test_classic_python_classes(python_run):
    code = textwrap.dedent("""
        import _kivo_python64 as m, _kivo_testhooks as hooks
        class Result:
            __swig_destroy__ = m.delete_TqResult
            def __init__(self, code):
                m.TqResult_swiginit(self, m.new_TqResult(code))
            def GetCode(self):
                return m.TqResult_GetCode(self)
        assert m.TqResult_swigregister(Result) is None and hooks.client_class("_p_TqResult") is Result
        live = lambda: hooks.live_objects().get("TqResult", 0)
        base = live()
        r = Result(5)
        assert vars(r)["this"] is r.this and r.GetCode() == 5 and r.this.own() is True
        view = hooks.make_pointer("_p_TqResult", int(r.this))
        assert type(view) is Result and vars(view)["this"].own() is False and view.GetCode() == 5
        m.TqResult_swiginit(r, m.new_TqResult(6))
        assert vars(r)["this"] is r.this and m.TqResult_GetCode(r.this.next()) == 6
        assert live() == base + 2
        del r, view
        assert live() == base
        print("ok")
    """)
    proc = python_run(code)
    assert (proc.stdout, proc.returncode) == ("ok\n", 0), proc.stderr



def test_classes_from_the_module_class_table(python_run):
    # The class table the module will carry, stood in for here by rows set before the import, with a
    # member variable made of two existing flat functions.
    code = textwrap.dedent("""
        import _kivo_python64 as m
        m.TqResult_Code_get, m.TqResult_Code_set = m.TqResult_GetCode, m.TqResult_SetCode
        registered = ("register", "init", "new", "delete")
        def own(cls, *rows):
            flats = {"register": cls + "_swigregister", "init": cls + "_swiginit", "new": "new_" + cls,
                     "delete": "delete_" + cls}
            return tuple((role, flats[role], role) for role in registered) + rows
        m.__kivo_classes__ = (
            ("TqString", (), own("TqString"), False),
            ("TqResult", ("TqString",), own("TqResult", ("IsOK", "TqResult_IsOK", "static"),
                                             ("GetCode", "TqResult_GetCode", "method"),
                                             ("SetCode", "TqResult_SetCode", "method"),
                                             ("Code", "TqResult_Code_get", "get"), ("Code", "TqResult_Code_set", "set")),
             False),
        )
        import kivo_python64 as k
        names = [n for n in vars(k) if n in ("TqResult", "TqString")]
        assert names == ["TqString", "TqResult"], names
        assert k.TqResult.__bases__ == (k.TqString,) and k.TqString.__bases__ == (m.__kivo_object__,)
        assert isinstance(vars(k.TqResult)["IsOK"], staticmethod) and k.TqResult.IsOK(k.TqResult(0)) is True
        assert type(vars(k.TqResult)["GetCode"]) is m.__kivo_method__
        assert isinstance(vars(k.TqResult)["Code"], property)
        assert not any(n in vars(k.TqResult) for n in ("Code_get", "Code_set"))
        r = k.TqResult(5)
        assert r.Code == 5
        r.Code = 7
        assert r.GetCode() == 7
        print("ok")
    """)
    proc = python_run(code)
    assert (proc.stdout, proc.returncode) == ("ok\n", 0), proc.stderr


def test_director_init_passes_the_constructor_arguments(k):
    """A class Python subclasses: __init__ hands new_<Class> the instance (None for the class itself)
    and every argument it was given, and attaches what new_ made."""
    calls = []
    functions = {"new": lambda *args: ("made",) + args, "init": lambda obj, made: calls.append((obj, made)),
                 "disown": None}
    base = type("Base", (), {})
    init = k._director_methods(functions, lambda: base)["__init__"]
    sub = type("Sub", (base,), {})()
    init(sub, 640, 480, 17301505, 16)
    init(sub)
    itself = base()
    init(itself, 3)
    assert calls == [(sub, ("made", sub, 640, 480, 17301505, 16)), (sub, ("made", sub)),
                     (itself, ("made", None, 3))]
