"""TqResult through its flat functions and the Python class built on them."""

import gc
import threading

import pytest

from conftest import assert_comparison, assert_not_implemented_without_self

PROTOTYPES = (
    "Wrong number or type of arguments for overloaded function 'new_TqResult'.\n"
    "  Possible C/C++ prototypes are:\n"
    "    TqResult::TqResult()\n"
    "    TqResult::TqResult(uint32_t)\n"
    "    TqResult::TqResult(uint32_t,uint32_t)\n"
    "    TqResult::TqResult(uint32_t,TqString const &)\n"
    "    TqResult::TqResult(uint32_t,uint32_t,TqString const &)\n"
    "    TqResult::TqResult(TqResult const &)\n"
)

R, S = object(), object()   # stand for a TqResult and a TqString instance in the tables


def arg(func, n, decl):
    return "in method '%s', argument %d of type '%s'" % (func, n, decl)


def self_message(func, const=True):
    return arg(func, 1, "TqResult const *" if const else "TqResult *")


GETTERS = ["GetCode", "GetCodeString", "GetDescription", "HasDescription", "IsFailure", "IsOK", "IsPending",
           "IsSuccess", "GetInternalCode", "GetOSCode"]

BAD_CALLS = (
    [("TqResult_" + g, (bad,), TypeError, self_message("TqResult_" + g)) for g in GETTERS for bad in (None, 5, S)]
    + [
        ("TqResult_SetCode", (None, 1), TypeError, self_message("TqResult_SetCode", False)),
        ("TqResult_SetCode", (S, 1), TypeError, self_message("TqResult_SetCode", False)),
        ("TqResult_SetCode", (R,), TypeError, "TqResult_SetCode expected 2 arguments, got 1"),
        ("TqResult_SetDescription", (None, S), TypeError, self_message("TqResult_SetDescription", False)),
        ("TqResult_SetDescription", (R, None), TypeError,
         "invalid null reference " + arg("TqResult_SetDescription", 2, "TqString const &")),
        ("TqResult___ior__", (None, R), TypeError, self_message("TqResult___ior__", False)),
        ("TqResult___ior__", (R, None), TypeError,
         "invalid null reference " + arg("TqResult___ior__", 2, "TqResult const &")),
        ("TqResult___ior__", (R,), TypeError, "TqResult___ior__ expected 2 arguments, got 1"),
        ("TqResult___eq__", (R, 5, 5), TypeError, "TqResult___eq__ expected at most 2 arguments, got 3"),
        ("TqResult___ne__", (R, R, R), TypeError, "TqResult___ne__ expected at most 2 arguments, got 3"),
        ("delete_TqResult", (5,), TypeError, arg("delete_TqResult", 1, "TqResult *")),
        ("delete_TqResult", (S,), TypeError, arg("delete_TqResult", 1, "TqResult *")),
    ]
    + [("TqResult_SetCode", (R, v), x, arg("TqResult_SetCode", 2, "uint32_t"))
       for v, x in [(-1, OverflowError), (2**32, OverflowError), (1.0, TypeError), ("1", TypeError)]]
    # A description is taken from a TqString only, never converted from a str.
    + [("TqResult_SetDescription", (R, v), TypeError, arg("TqResult_SetDescription", 2, "TqString const &"))
       for v in ("text", R)]
    + [("TqResult___ior__", (R, v), TypeError, arg("TqResult___ior__", 2, "TqResult const &")) for v in (5, S)]
    + [("new_TqResult", args, TypeError, PROTOTYPES)
       for args in [(None,), ("x",), (-1,), (2**32,), (1.5,), (S,), (5, "text"), (5, None), (-1, S), (5, -1),
                    (R, 5), (5, 7, "text"), (5, 7, None), (5, 2**32, S), (S, 5, 7)]]
    + [("new_TqResult", (1, 2, 3, 4), TypeError,
        "new_TqResult expected at most 3 arguments, got 4\nAdditional information:\n" + PROTOTYPES)]
)


@pytest.mark.parametrize("func, args, exc, message", BAD_CALLS)
def test_bad_calls(m, k, no_leaks, func, args, exc, message):
    r = k.TqResult(7, 9, k.TqString("kept"))
    s = k.TqString("other")
    args = tuple(r if a is R else s if a is S else a for a in args)
    with no_leaks(r, s):
        with pytest.raises(exc) as info:
            getattr(m, func)(*args)
        assert type(info.value) is exc and str(info.value) == message
        del info
    # Nothing reached the SDK, and self still owns its object (also when argument 2 was refused).
    assert r.thisown and (r.GetCode(), r.GetOSCode(), str(r.GetDescription())) == (7, 9, "kept")


# (arguments, (code, OS code, has description, description)); unsigned results stay positive.
CONSTRUCTED = [
    ((5,), (5, 0, False, "")), ((True,), (1, 0, False, "")), ((2**32 - 1,), (2**32 - 1, 0, False, "")),
    ((5, 7), (5, 7, False, "")), ((5, S), (5, 0, True, "text")), ((5, 7, S), (5, 7, True, "text")),
    ((2**31, 2**32 - 1, S), (2**31, 2**32 - 1, True, "text")),
]


@pytest.mark.parametrize("args, expected", CONSTRUCTED)
def test_constructors(m, k, no_leaks, args, expected):
    s = k.TqString("text")
    args = tuple(s if a is S else a for a in args)
    with no_leaks(s):
        raw = m.new_TqResult(*args)
        assert type(raw).__name__ == "SwigPyObject" and raw.own()
        state = (m.TqResult_GetCode(raw), m.TqResult_GetOSCode(raw), m.TqResult_HasDescription(raw),
                 str(m.TqResult_GetDescription(raw)))
        assert state == expected
        del raw
    assert str(s) == "text"   # the description was copied, the argument is untouched


def test_default_and_copy(m, k, no_leaks):
    with no_leaks():
        assert k.TqResult().GetCode() == m.TQ_NOT_INITIALIZED
        original = k.TqResult(5, 7, k.TqString("why"))
        copy = k.TqResult(original)
        original.SetCode(0)
        original.SetDescription(k.TqString("changed"))
        assert (copy.GetCode(), copy.GetOSCode(), str(copy.GetDescription())) == (5, 7, "why")
        del original
        gc.collect()
        assert copy.GetCode() == 5 and copy.thisown
        del copy


def test_string_results_are_owned_copies(k, no_leaks):
    with no_leaks():
        r = k.TqResult(0)
        assert not r.HasDescription()
        r.SetDescription(k.TqString("first"))
        assert r.HasDescription()
        for get in (r.GetCodeString, r.GetDescription):
            first, second = get(), get()
            assert type(first) is k.TqString and first.thisown and first is not second
            assert first.this != second.this   # each call makes its own heap copy
        description = r.GetDescription()
        description += "!"
        assert str(r.GetDescription()) == "first"   # changing a copy leaves the result alone
        del r, description, first, second, get


# (self code, other, expected for __eq__); None means NotImplemented.
COMPARISONS = [
    (5, R, True), (5, 5, True), (5, 6, False), (0, True, False), (1, True, True), (2**32 - 1, 2**32 - 1, True),
    (5, "5", None), (5, None, None), (5, -1, None), (5, 2**32, None), (5, 5.0, None), (5, S, None),
]


@pytest.mark.parametrize("code, other, expected", COMPARISONS)
def test_comparisons(m, k, no_leaks, code, other, expected):
    r = k.TqResult(code)
    s = k.TqString("5")
    other = k.TqResult(5, 99, k.TqString("different")) if other is R else s if other is S else other
    with no_leaks(r, NotImplemented, True, False):
        assert_comparison(m.TqResult___eq__, m.TqResult___ne__, r, other, expected)


def test_comparison_without_a_proper_self_is_not_implemented(m, k):
    assert_not_implemented_without_self(m.TqResult___eq__, m.TqResult___ne__, [(None, 5), ("x", 5), (k.TqString("5"), 5), (k.TqResult(5),), ()])


def test_comparisons_in_python(k):
    r = k.TqResult(0)
    assert r == 0 and not (r != 0) and r == k.TqResult(0, 1)
    assert (r == None) is False and (r != None) is True  # noqa: E711
    assert (r == "0") is False and (r != "0") is True
    assert k.TqResult(3, 0, k.TqString("a")) == k.TqResult(3, 0, k.TqString("b"))


def live(hooks):
    gc.collect()
    return hooks.live_objects().get("TqResult", 0)


def test_in_place_or_hands_ownership_to_the_result(m, k, hooks, no_leaks):
    with no_leaks():
        base = live(hooks)
        a, b = k.TqResult(0), k.TqResult(3)
        combined = m.TqResult___ior__(a, b)
        assert type(combined) is k.TqResult and combined is not a
        assert combined.thisown and not a.thisown
        assert combined.GetCode() == 3 and a.GetCode() == 3   # one object, two proxies
        del a
        assert live(hooks) == base + 2   # the old proxy's death frees nothing
        del combined
        assert live(hooks) == base + 1
        x = k.TqResult(0)
        x |= b
        assert x.GetCode() == 3 and x.thisown and live(hooks) == base + 2
        del x, b


def test_in_place_or_on_a_borrowed_proxy_returns_a_borrowed_proxy(m, hooks, no_leaks):
    with no_leaks():
        owner = m.new_TqResult(0)
        borrowed = hooks.make_pointer("_p_TqResult", int(owner))
        combined = m.TqResult___ior__(borrowed, m.new_TqResult(4))
        assert not combined.thisown and not borrowed.thisown and owner.own()
        del combined, borrowed
        assert m.TqResult_GetCode(owner) == 4
        del owner


def test_delete(m, k, hooks, no_leaks):
    with no_leaks():
        assert m.delete_TqResult(None) is None
        owner = k.TqResult(1)
        borrowed = hooks.make_pointer("_p_TqResult", int(owner.this))
        base = live(hooks)
        with pytest.raises(RuntimeError) as info:
            m.delete_TqResult(borrowed)
        assert str(info.value).startswith(arg("delete_TqResult", 1, "TqResult *"))
        assert live(hooks) == base and owner.GetCode() == 1
        del borrowed, info
        assert m.delete_TqResult(owner) is None
        assert live(hooks) == base - 1 and not owner.thisown
        with pytest.raises(RuntimeError) as info:
            m.delete_TqResult(owner)
        assert str(info.value).startswith(arg("delete_TqResult", 1, "TqResult *"))
        with pytest.raises(TypeError) as info:
            owner.GetCode()   # a deleted object is refused like None
        assert str(info.value) == self_message("TqResult_GetCode")
        del owner, info   # its death destroys nothing more
        assert live(hooks) == base - 1


def test_deleted_proxies_are_refused_as_arguments(m, k, no_leaks):
    with no_leaks():
        gone_result, gone_string, r = k.TqResult(1), k.TqString("x"), k.TqResult(2)
        m.delete_TqResult(gone_result), m.delete_TqString(gone_string)
        for func, args, position, decl in [
            ("TqResult_SetDescription", (r, gone_string), 2, "TqString const &"),
            ("TqResult___ior__", (r, gone_result), 2, "TqResult const &"),
            ("new_TqResult", (gone_result,), 1, "TqResult const &"),
            ("new_TqResult", (5, gone_string), 2, "TqString const &"),
        ]:
            with pytest.raises(TypeError) as info:
                getattr(m, func)(*args)
            assert str(info.value) == "invalid null reference " + arg(func, position, decl)
        assert m.TqResult___eq__(r, gone_result) is NotImplemented and r.thisown and r.GetCode() == 2
        del r, gone_result, gone_string, args, info


def test_sdk_calls_run_without_the_gil(m, k, gil_released):
    r, s, raw = k.TqResult(5), k.TqString("d"), m.new_TqResult(1)
    calls = {
        "new": lambda: m.new_TqResult(5), "copy": lambda: m.new_TqResult(r),
        "described": lambda: m.new_TqResult(5, 7, s),
        "GetCodeString": r.GetCodeString, "GetDescription": r.GetDescription, "delete": lambda: m.delete_TqResult(raw),
    }
    assert [name for name, call in calls.items() if not gil_released(call)] == []



def test_dropped_values_are_destroyed_with_the_gil_held(m, k, gil_released):
    # A result's or a text's destructor never blocks: the death of its owning proxy destroys it without
    # letting the GIL go (the armed gate then waits out its time unopened). The explicit delete still
    # releases it, and so does the death of an object whose destructor may wait.
    for make in (lambda: k.TqResult(5), lambda: m.new_TqResult(1), lambda: k.TqString("d"),
                 lambda: k.TqResult(5).GetDescription()):
        held = [make()]
        assert not gil_released(held.clear, timeout_ms=50)
    assert gil_released(lambda: m.delete_TqResult(m.new_TqResult(1)))
    held = [m.new_TqFPSStabilizer()]
    assert gil_released(held.clear)


def test_values_made_and_dropped_on_other_threads(m, k, no_leaks):
    # Results and texts made on one thread and dropped on another, and threads that end with the
    # memory of dropped ones: every value kept stays whole, and nothing is left behind.
    def work(kept, base):
        dropped = [(k.TqResult(base + i, i, k.TqString("t%d" % i)), k.TqString("s%d" % i)) for i in range(100)]
        kept.extend(dropped[::2])
        del dropped   # the other half dies on this thread

    with no_leaks():
        kept = []
        threads = [threading.Thread(target=work, args=(kept, 1000 * t)) for t in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(kept) == 200
        for r, s in kept:
            code = r.GetCode()
            assert (r.GetOSCode(), str(r.GetDescription()), str(s)) == (code % 1000, "t%d" % (code % 1000),
                                                                         "s%d" % (code % 1000))
        # The main thread drops them, then makes as many again from what it keeps.
        del kept[:], r, s
        again = [k.TqResult(i) for i in range(200)]
        assert [r.GetCode() for r in again] == list(range(200))
        del again


def test_docstrings(m):
    assert m.delete_TqResult.__doc__ == "Destructor"
    doc = m.new_TqResult.__doc__
    positions = [doc.index("*Overload %d:*" % i) for i in range(1, 7)]   # in declaration order
    assert positions == sorted(positions) and "*Overload 7:*" not in doc and ":type aResult:" in doc[positions[5]:]
    assert ":type aB:" in m.TqResult___eq__.__doc__ and ":type aIn:" in m.TqResult_SetCode.__doc__
    for name in dir(m):
        if name.startswith("TqResult_") and not name.endswith(("_swigregister", "_swiginit")):
            assert getattr(m, name).__doc__, name
    assert m.TqResult_swigregister.__doc__ is None and m.TqResult_swiginit.__doc__ is None


def test_no_leaks_over_all_paths(m, k, hooks, no_leaks):
    # Every instance holds its class: a leaked proxy shows in the classes' counts too.
    with no_leaks(k.TqResult, k.TqString):
        for _ in range(200):
            s = k.TqString("d")
            r = k.TqResult(k.TqResult(3, 4, s))
            r.SetDescription(s)
            r.GetCodeString(), r.GetDescription(), r == r, r != 3, r == "x"
            r |= k.TqResult(0)
            for bad in [(None,), (5, "x"), (1, 2, 3, 4)]:
                with pytest.raises(TypeError):
                    m.new_TqResult(*bad)
            with pytest.raises(TypeError):
                m.TqResult___ior__(r, None)
            outputs = hooks.probe_outputs(0)
        del s, r, outputs
