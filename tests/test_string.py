"""TqString through its flat functions and the Python class built on them."""

import gc

import pytest

from conftest import assert_comparison, assert_not_implemented_without_self

PROTOTYPES = (
    "Wrong number or type of arguments for overloaded function 'new_TqString'.\n"
    "  Possible C/C++ prototypes are:\n"
    "    TqString::TqString()\n"
    "    TqString::TqString(TqString const &)\n"
    "    TqString::TqString(char const *)\n"
    "    TqString::TqString(char const *,unsigned int)\n"
    "    TqString::TqString(wchar_t const *)\n"
)
FAILED_STRING = "Argument 2: failed to create TqString from Python string"

ASTRAL = "a\u00e9\u20ac\U0001F600z"
S, R = object(), object()   # stand for a TqString and a TqResult instance in the tables


# (arguments, text, length); "narrow:", "wide:" and "copy:" make a _p_char, a _p_wchar_t or a TqString.
# The text comes back alike from str(), GetUnicode() and GetAscii() (bytes that are not UTF-8 as
# lone surrogates).
CONSTRUCTED = [
    ((), "", 0), (("abc",), "abc", 3), ((ASTRAL,), ASTRAL, 5), (("cut\0here",), "cut", 3),
    (("abcdef", 3), "abc", 3), (("abc", 10), "abc", 3), ((None, 0), "", 0),
    # Two arguments go through UTF-8: two bytes end inside the two-byte "\u00e9".
    (("h\u00e9llo", 2), "h\udcc3", 2),
    (("narrow:\xe9",), "\udce9", 1), (("narrow:caf\xc3\xa9",), "caf\u00e9", 4), (("narrow:abcdef", 2), "ab", 2),
    (("wide:" + ASTRAL,), ASTRAL, 5), (("copy:" + ASTRAL,), ASTRAL, 5),
]


def build(k, hooks, value):
    if isinstance(value, str) and value.startswith("narrow:"):
        return hooks.char_pointer(value[7:].encode("latin-1"))
    if isinstance(value, str) and value.startswith("wide:"):
        return hooks.wchar_pointer(value[5:])
    if isinstance(value, str) and value.startswith("copy:"):
        return k.TqString(value[5:])
    return value


@pytest.mark.parametrize("args, text, length", CONSTRUCTED)
def test_constructors(m, k, hooks, no_leaks, args, text, length):
    args = tuple(build(k, hooks, a) for a in args)
    with no_leaks(*[a for a in args if a is not None]):
        raw = m.new_TqString(*args)
        assert type(raw).__name__ == "SwigPyObject" and raw.own()
        got = (m.TqString___str__(raw), m.TqString_GetUnicode(raw), m.TqString_GetAscii(raw), m.TqString_GetLength(raw))
        assert got == (text, text, text, length)
        del raw, got


@pytest.mark.parametrize(
    "args",
    [(5,), (b"abc",), (1.5,), (bytearray(b"x"),), (R,), ("abc", -1), ("abc", 2**32), ("abc", "3"),
     (b"abc", 3), (5, 3), ("abc", 1.0)],
)
def test_constructor_overload_error(m, k, no_leaks, args):
    args = tuple(k.TqResult(0) if a is R else a for a in args)
    with no_leaks(*args):
        with pytest.raises(TypeError) as info:
            m.new_TqString(*args)
        assert type(info.value) is TypeError and str(info.value) == PROTOTYPES
        del info


def test_too_many_constructor_arguments(m):
    with pytest.raises(TypeError) as info:
        m.new_TqString("a", 1, 2)
    assert str(info.value) == "new_TqString expected at most 2 arguments, got 3\nAdditional information:\n" + PROTOTYPES


def test_copies_have_independent_lifetimes(m, k, no_leaks):
    with no_leaks():
        first = k.TqString("shared")
        second = k.TqString(first)
        assert first.this != second.this and second.thisown
        m.delete_TqString(first)
        assert str(second) == "shared"
        second += "!"
        third = k.TqString(second)
        m.delete_TqString(third)
        assert str(second) == "shared!"
        del first, second, third


def arg_message(func, n, decl):
    return "in method '%s', argument %d of type '%s'" % (func, n, decl)


BAD_CALLS = (
    [(f, (bad,), TypeError, arg_message(f, 1, "TqString const *"))
     for f in ("TqString_GetAscii", "TqString_GetUnicode", "TqString_GetLength") for bad in (None, "abc", R)]
    + [
        ("TqString___str__", (None,), TypeError, arg_message("TqString___str__", 1, "TqString *")),
        ("TqString___iadd__", (None, "x"), TypeError, arg_message("TqString___iadd__", 1, "TqString *")),
        ("TqString___iadd__", ("abc", "x"), TypeError, arg_message("TqString___iadd__", 1, "TqString *")),
        ("TqString___iadd__", (S, None), TypeError, FAILED_STRING),
        ("TqString___iadd__", (S, 5), TypeError, FAILED_STRING),
        ("TqString___iadd__", (S, b"x"), TypeError, FAILED_STRING),
        ("TqString___iadd__", (S, R), TypeError, FAILED_STRING),
        ("TqString___iadd__", (S,), TypeError, "TqString___iadd__ expected 2 arguments, got 1"),
        ("TqString___eq__", (S, "a", "b"), TypeError, "TqString___eq__ expected at most 2 arguments, got 3"),
        ("TqString___ne__", (S, "a", "b"), TypeError, "TqString___ne__ expected at most 2 arguments, got 3"),
        ("delete_TqString", (5,), TypeError, arg_message("delete_TqString", 1, "TqString *")),
        ("delete_TqString", (R,), TypeError, arg_message("delete_TqString", 1, "TqString *")),
    ]
)


@pytest.mark.parametrize("func, args, exc, message", BAD_CALLS)
def test_bad_calls(m, k, no_leaks, func, args, exc, message):
    s, r = k.TqString("kept"), k.TqResult(0)
    args = tuple(s if a is S else r if a is R else a for a in args)
    with no_leaks(s, r):
        with pytest.raises(exc) as info:
            getattr(m, func)(*args)
        assert type(info.value) is exc and str(info.value) == message
        del info
    assert s.thisown and str(s) == "kept"


# (other, expected for __eq__ with "abc"); None means NotImplemented.
COMPARISONS = [
    ("abc", True), ("abd", False), ("ab", False), ("ABC", False), ("copy:abc", True), ("copy:abcd", False),
    ("wide:abc", True), ("narrow:abc", True), ("narrow:abx", False),
    (3, None), (b"abc", None), (1.5, None), (R, None),
]


@pytest.mark.parametrize("other, expected", COMPARISONS)
def test_comparisons(m, k, hooks, no_leaks, other, expected):
    s = k.TqString("abc")
    other = k.TqResult(0) if other is R else build(k, hooks, other)
    with no_leaks(s, other, NotImplemented, True, False):
        assert_comparison(m.TqString___eq__, m.TqString___ne__, s, other, expected)


def test_comparison_without_a_proper_self_is_not_implemented(m, k):
    assert_not_implemented_without_self(m.TqString___eq__, m.TqString___ne__, [(None, "abc"), ("abc", "abc"), (k.TqResult(0), "abc"), (k.TqString("abc"),), ()])


def test_comparisons_in_python(k):
    s = k.TqString(ASTRAL)
    assert s == ASTRAL and not (s != ASTRAL) and s == k.TqString(ASTRAL)
    assert (s == 3) is False and (s != 3) is True
    assert (k.TqString("abc") == "ABC") is False   # case-sensitive


@pytest.mark.parametrize(
    "addition, expected",
    [("def", "abcdef"), (ASTRAL, "abc" + ASTRAL), ("copy:!", "abc!"), ("wide:\U0001F600", "abc\U0001F600"),
     ("narrow:\xe9", "abc\udce9"), ("x\0y", "abcx")],
)
def test_in_place_add_returns_the_text(m, k, hooks, no_leaks, addition, expected):
    s = k.TqString("abc")
    addition = build(k, hooks, addition)
    with no_leaks(s, addition):
        result = m.TqString___iadd__(s, addition)
        assert type(result) is str and result == expected
        assert s.thisown and str(s) == expected and s.GetLength() == len(expected)
        del result


def test_in_place_add_rebinds_the_name_and_keeps_the_object(k, no_leaks):
    with no_leaks():
        s = k.TqString("ab")
        kept = s
        s += "cd"
        assert s == "abcd" and type(s) is str
        assert kept.thisown and str(kept) == "abcd"
        del s
        gc.collect()
        assert kept.GetAscii() == "abcd"
        del kept


def test_delete(m, k, hooks, no_leaks):
    with no_leaks():
        assert m.delete_TqString(None) is None
        owner = k.TqString("mine")
        borrowed = hooks.make_pointer("_p_TqString", int(owner.this))
        with pytest.raises(RuntimeError) as info:
            m.delete_TqString(borrowed)
        assert str(info.value).startswith(arg_message("delete_TqString", 1, "TqString *"))
        assert str(owner) == "mine"
        m.delete_TqString(owner)
        with pytest.raises(TypeError) as info:
            str(owner)
        assert str(info.value) == arg_message("TqString___str__", 1, "TqString *")
        del owner, borrowed, info


def test_sdk_calls_run_without_the_gil(m, k, hooks, gil_released):
    s, narrow, raw = k.TqString("d"), hooks.char_pointer(b"n"), m.new_TqString()
    calls = {
        "new": lambda: m.new_TqString("abc"), "sized": lambda: m.new_TqString("abc", 2),
        "narrow": lambda: m.new_TqString(narrow), "copy": lambda: m.new_TqString(s),
        "delete": lambda: m.delete_TqString(raw),
    }
    assert [name for name, call in calls.items() if not gil_released(call)] == []


def test_docstrings(m):
    assert m.delete_TqString.__doc__ == "Destructor"
    doc = m.new_TqString.__doc__
    positions = [doc.index("*Overload %d:*" % i) for i in range(1, 6)]
    assert positions == sorted(positions) and "*Overload 6:*" not in doc
    assert ":type aN:" in doc[positions[3]:positions[4]] and ":type aN:" not in doc[positions[4]:]
    assert "*Overload 3:*" in m.TqString___eq__.__doc__ and ":type aValue:" in m.TqString___ne__.__doc__
    for name in ("TqString___iadd__", "TqString_GetAscii", "TqString_GetUnicode", "TqString_GetLength"):
        assert getattr(m, name).__doc__, name
    assert m.TqString___str__.__doc__ is None


def test_no_leaks_over_all_paths(m, k, hooks, no_leaks):
    narrow, wide = hooks.char_pointer(b"n\xe9"), hooks.wchar_pointer("w")
    with no_leaks(narrow, wide, k.TqString):
        for _ in range(200):
            s = k.TqString(ASTRAL)
            t = k.TqString(s)
            u = k.TqString("abcdef", 4)
            v, w = k.TqString(narrow), k.TqString(wide)
            s == t, s != "x", s == narrow, s == wide, s == 3, str(u), v.GetAscii(), w.GetUnicode()
            s += t
            for bad in [(5,), (b"x",), (1, 2, 3)]:
                with pytest.raises(TypeError):
                    m.new_TqString(*bad)
            with pytest.raises(TypeError):
                m.TqString___iadd__(t, None)
        del s, t, u, v, w
