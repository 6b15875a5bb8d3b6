"""Proxy objects: the SwigPyObject that carries a native pointer, its "this" chain, registration and
attachment of companion classes, and who destroys the native object when."""

import operator
import os
import sys
import textwrap
import weakref

import pytest

SELF_ERROR = r"in method 'TqResult_GetCode', argument 1 of type 'TqResult const \*'"
DELETE_ERROR = r"^in method 'delete_TqResult', argument 1 of type 'TqResult \*'"


def live(hooks, cls="TqResult"):
    return hooks.live_objects().get(cls, 0)


def bare(hooks, address, name="_p_TqGenInteger"):
    return hooks.make_pointer(name, address, 2)


def test_proxy_type(k):
    proxy_type = type(k.TqResult(1).this)
    assert proxy_type.__name__ == "SwigPyObject"
    assert proxy_type.__doc__ == "Swig object carries a C/C++ instance pointer"
    assert proxy_type.__hash__ is None
    docs = {"disown": "releases ownership of the pointer", "acquire": "acquires ownership of the pointer",
            "own": "returns/sets ownership of the pointer", "append": "appends another 'this' object",
            "next": "returns the next 'this' object"}
    assert {name: getattr(proxy_type, name).__doc__ for name in docs} == docs
    type("Derived", (proxy_type,), {})  # may be subclassed


def test_proxy_types_have_bare_names(m, hooks):
    p, q, packed = m.new_TqResult(1), bare(hooks, 0x10), hooks.make_packed("_p_TqResult", b"\x01\xab")
    for proxy_type, name in ((type(p), "SwigPyObject"), (type(q), "SwigPyObject"), (type(packed), "SwigPyPacked")):
        assert (proxy_type.__name__, proxy_type.__qualname__, proxy_type.__module__) == (name, name, "builtins")
        assert repr(proxy_type) == "<class '%s'>" % name
    assert repr(packed) == "<Swig Packed at _01ab_p_TqResult>" and str(packed) == "_01ab_p_TqResult"
    with pytest.raises(TypeError, match=r"^unhashable type: 'SwigPyObject'$"):
        hash(p)
    for op, sign in ((operator.lt, "<"), (operator.le, "<="), (operator.gt, ">"), (operator.ge, ">=")):
        with pytest.raises(TypeError, match=r"^'%s' not supported between instances of 'SwigPyObject' and "
                                            r"'SwigPyObject'$" % sign):
            op(p, q)
    # Only the runtime makes proxies (one made from Python would hold no reference of its own).
    for proxy_type in (type(p), type(q), type(packed), type("Derived", (type(p),), {})):
        with pytest.raises(TypeError, match=r"^cannot create '\w+' instances$"):
            proxy_type()
    m.delete_TqResult(p)


def test_ownership_methods(hooks):
    p = bare(hooks, 0x10)
    assert p.own() is False and p.own() is False
    assert p.own(1) is False and p.own() is True
    assert p.own([]) is True and p.own("yes") is False and p.own() is True
    assert p.disown() is None and p.own() is False
    assert p.acquire() is None and p.own() is True

    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        p.own(Undecided())
    assert p.own() is True
    with pytest.raises(TypeError, match="own expected at most 1 argument, got 2"):
        p.own(1, 2)
    p.disown()


def test_address_equality_and_order(k, hooks):
    r = k.TqResult(1)
    a, b = (hooks.make_pointer("_p_TqResult", int(r.this)) for _ in range(2))
    assert a is not b and type(a) is k.TqResult and a.this is not b.this
    assert a.this == b.this == r.this and not a.this != r.this
    assert bare(hooks, int(r.this) + 8, "_p_TqResult") != r.this
    high = bare(hooks, 0xFFFF_FFFF_FFFF_FFF0)
    assert int(high) == 0xFFFF_FFFF_FFFF_FFF0 and high == bare(hooks, 0xFFFF_FFFF_FFFF_FFF0)
    assert high != bare(hooks, 0x7FFF_FFFF_FFFF_FFF0)
    assert (r.this == 5) is False and r.this != "x"
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(a.this, b.this)
    with pytest.raises(TypeError):
        hash(r.this)


@pytest.mark.parametrize("mangled, readable", [
    ("_p_TqResult", "TqResult *"),
    ("_p_TqPixelType", "enum TqPixelType *"),
    ("_p_unsigned_int", "unsigned int *"),
    ("_p_p_TqDeviceInfo", "TqDeviceInfo **"),
    ("_p_std__vectorT_std__string_t", "std::vector< std::string > *"),
])
def test_repr(hooks, mangled, readable):
    p = bare(hooks, 0x10, mangled)
    one = "<Swig Object of type '%s' at 0x%x>" % (readable, id(p))
    assert repr(p) == p.__repr__() == str(p) == one
    q = bare(hooks, 0x20)
    p.append(q)
    assert repr(p) == one + "<Swig Object of type 'TqGenInteger *' at 0x%x>" % id(q)


def test_append_and_next(hooks):
    a, b, c = (bare(hooks, 0x10 * i) for i in (1, 2, 3))
    assert a.next() is None and a.append(b) is None
    assert a.append(c) is None  # inserted right after a
    assert a.next() is c and c.next() is b and b.next() is None
    for head, item in ((a, a), (a, b), (c, a), (b, a), (b, c)):
        with pytest.raises(ValueError, match="^Attempt to append a SwigPyObject already in the chain$"):
            head.append(item)
    for item in (None, 0x10, type("SwigPyObject", (), {})()):
        with pytest.raises(TypeError, match="^Attempt to append a non SwigPyObject$"):
            a.append(item)
    assert a.next() is c and c.next() is b and b.next() is None



def test_a_proxy_made_in_a_dead_one_s_place_starts_empty(m, k, hooks):
    # Dead proxies are kept to be made again: one made again carries nothing of its past (chain, owner,
    # parent, ownership, the address it was found under), and a release that reaches the past's
    # object leaves it alone.
    r = k.TqResult(3)
    base = sys.getrefcount(r)
    for i in range(200):   # more than are kept
        p = hooks.make_owned_pointer("_p_TqResult", int(r.this), 2, r)   # borrowed from r, found by address
        p.append(bare(hooks, 0x10 + i))
        del p
    assert sys.getrefcount(r) == base
    fresh = [bare(hooks, 0x1000 + 16 * i) for i in range(200)]
    assert all(p.next() is None and p.own() is False for p in fresh)
    m.delete_TqResult(r)
    assert [int(p) for p in fresh] == [0x1000 + 16 * i for i in range(200)]
    assert all(str(p).startswith("<Swig Object of type 'TqGenInteger *' at") for p in fresh)


def test_conversion_walks_the_this_chain(m, k, hooks):
    r = k.TqResult(9)
    head = bare(hooks, 0x20, "_p_TqString")
    head.append(bare(hooks, int(r.this), "_p_TqResult"))

    class Holder:
        pass

    outer, inner = Holder(), Holder()
    outer.this, inner.this = inner, head
    assert m.TqResult_GetCode(head) == m.TqResult_GetCode(outer) == 9


def test_only_genuine_proxies_and_bounded_this_walk(m):
    class Holder:
        pass

    fake = type("SwigPyObject", (), {})()
    looped, first, second, fake_holder = Holder(), Holder(), Holder(), Holder()
    looped.this = looped
    first.this, second.this = second, first
    fake_holder.this = fake
    for arg in (fake, looped, first, fake_holder, Holder(), 5, None):
        with pytest.raises(TypeError, match=SELF_ERROR):
            m.TqResult_GetCode(arg)


def test_swiginit(m, hooks):
    class Holder:
        pass

    h, p, q = Holder(), bare(hooks, 0x10, "_p_TqResult"), bare(hooks, 0x20, "_p_TqResult")
    assert m.TqResult_swiginit(h, p) is None and h.this is p
    assert m.TqResult_swiginit(h, q) is None and h.this is p and p.next() is q
    with pytest.raises(TypeError, match="^Attempt to append a non SwigPyObject$"):
        m.TqResult_swiginit(h, 5)
    with pytest.raises(AttributeError):
        m.TqResult_swiginit(object(), p)
    for args in ((), (h,), (h, p, q)):
        with pytest.raises(TypeError, match="^swiginit expected 2 arguments, got %d$" % len(args)):
            m.TqResult_swiginit(*args)


def test_swigregister_and_owned_instance_destroyed_once(m, k, hooks, no_leaks):
    for arg in ((), (k.TqResult, k.TqResult)):
        with pytest.raises(TypeError, match="^swigregister expected 1 arguments, got %d$" % len(arg)):
            m.TqResult_swigregister(arg)
    assert m.TqResult_swigregister((k.TqResult,)) is None  # registers again, from a one-tuple
    assert hooks.client_class("_p_TqResult") is k.TqResult
    with no_leaks():
        base = live(hooks)
        r = k.TqResult(3)
        assert r.this.own() is True and live(hooks) == base + 1
        view = hooks.make_pointer("_p_TqResult", int(r.this))
        assert view.this.own() is False
        del view
        assert live(hooks) == base + 1 and m.TqResult_GetCode(r) == 3
        del r
        assert live(hooks) == base


def test_delete(m, k, hooks, no_leaks):
    with no_leaks():
        base = live(hooks)
        r, owner, text = k.TqResult(3), k.TqResult(4), k.TqString("x")
        assert m.delete_TqResult(r) is None
        assert live(hooks) == base + 1 and int(r.this) == 0 and r.this.own() is False
        with pytest.raises(RuntimeError, match=DELETE_ERROR):
            m.delete_TqResult(r)
        with pytest.raises(TypeError, match=SELF_ERROR):
            m.TqResult_GetCode(r)
        borrowed = hooks.make_pointer("_p_TqResult", int(owner.this))
        with pytest.raises(RuntimeError, match=DELETE_ERROR):
            m.delete_TqResult(borrowed)
        assert m.TqResult_GetCode(borrowed) == m.TqResult_GetCode(owner) == 4 and live(hooks) == base + 1
        for wrong in (text, 5, type("SwigPyObject", (), {})()):
            with pytest.raises(TypeError, match=DELETE_ERROR):
                m.delete_TqResult(wrong)
        assert m.delete_TqResult(None) is None
        del r, owner, borrowed, text
        assert live(hooks) == base


def test_capsule_references_balanced(m, k):
    capsule = sys.modules["swig_runtime_data4"].type_pointer_capsule
    before = sys.getrefcount(capsule)
    r = k.TqResult(1)
    m.delete_TqResult(r)
    del r
    assert sys.getrefcount(capsule) == before


def test_destroy_functions_and_leaks(python_run):
    code = textwrap.dedent("""
        import _kivo_testhooks as hooks
        seen = []
        class Leaky:
            def __init__(self):
                seen.append("init")
        def destroy(proxy):
            seen.append((int(proxy), proxy.own(), type(proxy).__name__))
            raise ValueError("destroy failed")
        class Raising:
            __swig_destroy__ = destroy
        class Broken:
            def __new__(cls, *args):
                raise KeyError("no instance")
        hooks.register_class("_p_TqGenInteger", Leaky)
        hooks.register_class("_p_TqGenFloat", Raising)
        hooks.register_class("_p_TqGenCommand", Broken)
        p = hooks.make_pointer("_p_TqGenInteger", 0x10, 1)
        assert type(p) is Leaky and p.this.own()
        del p
        hooks.make_pointer("_p_TqGenBoolean", 0x20, 3)
        hooks.make_pointer("_p_TqGenInteger", 0x30, 0)
        hooks.make_pointer("_p_TqGenInteger", 0x40, 1).this.disown()
        hooks.make_pointer("_p_TqGenFloat", 0x50, 1)
        try:
            hooks.make_pointer("_p_TqGenCommand", 0x60)
        except KeyError as error:
            seen.append(str(error))
        print(seen)
    """)
    proc = python_run(code)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[-1] == str([(0x50, False, "SwigPyObject"), "'no instance'"])
    assert sorted(lines[:-1]) == ["swig/python detected a memory leak of type '%s *', no destructor found." % name
                                  for name in ("TqGenBoolean", "TqGenInteger")]
    assert "Exception ignored in" in proc.stderr and "ValueError: destroy failed" in proc.stderr


def test_typed_destructors(python_run):
    # The typed destructor of result_delete deletes the TqResult with the GIL released; the entry
    # itself, called as a built-in, would count the call.
    code = textwrap.dedent("""
        import sys
        sys.path.insert(0, %r)
        from conftest import releases_gil
        import _kivo_python64 as m, _kivo_testhooks as hooks
        class Typed:
            __swig_destroy__ = hooks.result_delete
        class Throwing:
            __swig_destroy__ = hooks.throwing_delete
        hooks.register_class("_p_TqGenInteger", Typed)
        hooks.register_class("_p_TqGenFloat", Throwing)
        live = lambda: hooks.live_objects().get("TqResult", 0)
        def handed_over(code):
            # A TqResult that a proxy of the registered type owns.
            made = m.new_TqResult(code)
            made.disown()
            return hooks.make_pointer("_p_TqGenInteger", int(made), 3)
        base = live()
        p = handed_over(1)
        del p
        assert (hooks.generic_deletes(), live()) == (1, base)
        hooks.register_typed_deletes()
        p = handed_over(2)
        assert live() == base + 1
        def drop():
            global p
            del p
        assert releases_gil(drop)
        assert (hooks.generic_deletes(), live()) == (1, base)
        hooks.make_pointer("_p_TqGenFloat", 0x10, 3)
        assert hooks.generic_deletes() == 1
        print("ok")
    """ % os.path.dirname(os.path.abspath(__file__)))
    proc = python_run(code)
    assert (proc.stdout, proc.returncode) == ("ok\n", 0), proc.stderr
    assert "Exception ignored in: <built-in function throwing_delete>" in proc.stderr
    assert "\nRuntimeError: typed destroy failed\n" in proc.stderr   # as a call that throws gives it


def test_owner_lives_as_long_as_the_proxy(k, hooks, no_leaks):
    class Owner:
        pass

    r = k.TqResult(3)
    address = int(r.this)
    with no_leaks(r):
        owner = Owner()
        ref = weakref.ref(owner)
        base = sys.getrefcount(owner)
        view = hooks.make_owned_pointer("_p_TqResult", address, 0, owner)
        lone = hooks.make_owned_pointer("_p_TqResult", address, 2, owner)
        assert hooks.make_owned_pointer("_p_TqResult", 0, 0, owner) is None
        assert sys.getrefcount(owner) == base + 2
        assert type(view) is k.TqResult and view == r and lone == r.this and view.this.own() is False
        # With a class instance the bare proxy ("this") holds the owner, not the instance.
        proxy = view.this
        del owner, view, lone
        assert ref() is not None
        del proxy
        assert ref() is None
    assert r.GetCode() == 3


def test_owner_released_after_the_object_is_destroyed(python_run):
    code = textwrap.dedent("""
        import _kivo_testhooks as hooks
        seen = []
        class Owner:
            def __del__(self):
                seen.append("owner released")
        class Registered:
            def __swig_destroy__(proxy):
                seen.append("destroyed 0x%x" % int(proxy))
        hooks.register_class("_p_TqGenInteger", Registered)
        p = hooks.make_owned_pointer("_p_TqGenInteger", 0x10, 1, Owner())
        assert type(p) is Registered
        del p
        seen.append("-")
        q = hooks.make_owned_pointer("_p_TqGenInteger", 0x20, 0, Owner())
        del q
        print(seen)
    """)
    proc = python_run(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == str(["destroyed 0x10", "owner released", "-", "owner released"]) + "\n"


def test_objects_that_cannot_carry_a_proxy(m, k):
    r = k.TqResult(9)
    exact = (5, True, 1.5, "text", b"bytes", None, (r,), [r], {"this": r.this})
    for arg in exact:
        with pytest.raises(TypeError, match=SELF_ERROR):
            m.TqResult_GetCode(arg)
        assert m.TqResult___eq__(arg, r) is NotImplemented  # nothing left raised behind
    # Subclasses of the same types may carry one: their "this" is looked up as for any object.
    for base in (int, float, str, bytes, tuple, list, dict):
        derived = type("Derived", (base,), {})()
        derived.this = r.this
        assert m.TqResult_GetCode(derived) == 9

    class Failing:
        def __getattr__(self, name):
            raise ZeroDivisionError(name)

    with pytest.raises(TypeError, match=SELF_ERROR):  # whatever the lookup raised is dropped
        m.TqResult_GetCode(Failing())
    assert sys.exc_info() == (None, None, None)
