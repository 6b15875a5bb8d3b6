// Conversions of the SDK's value types TqString and TqResult.
#include "directors.h"
#include "sdk_types.h"

#include <cstring>
#include <memory>
#include <new>

namespace kivo::module {

using namespace kivo::rt;

namespace {

void destroy_local(Slot& s) { std::launder(reinterpret_cast<TqString*>(s.as<TextSlot>().local))->~TqString(); }

template <class... A>
void make_local(Slot& s, A... a) {
    TextSlot& t = s.as<TextSlot>();
    t.text = ::new (t.local) TqString(a...);
    s.cleanup = destroy_local;
}

// The wide characters of a str of length characters into buffer (length + 1 characters), ended by
// a NUL; false (no error left set) when it does not convert.
bool wide_into(PyObject* o, Py_ssize_t length, wchar_t* buffer) {
    Py_ssize_t n = PyUnicode_AsWideChar(o, buffer, length);
    if (n < 0) {
        PyErr_Clear();
        return false;
    }
    buffer[n] = 0;
    return true;
}

// A str becomes wide characters in one pass; short texts need no heap memory. Memory that runs out
// on the way throws (the call's MemoryError).
bool text_from_str(PyObject* o, Slot& s) {
    constexpr Py_ssize_t kShort = 255;
    Py_ssize_t length = PyUnicode_GetLength(o);
    if (length < 0) {
        PyErr_Clear();
        return false;
    }
    wchar_t small[kShort + 1];
    std::unique_ptr<wchar_t[]> large(length <= kShort ? nullptr : new wchar_t[length + 1]);
    wchar_t* wide = large ? large.get() : small;
    const bool ok = wide_into(o, length, wide);
    if (ok) make_local(s, static_cast<const wchar_t*>(wide));
    return ok;
}

// ---- names kept between calls ----
//
// Feature names reach the SDK again and again, mostly the same str objects (literals of the caller).
// Each of a few entries keeps one str (held) and its TqString; a call given that str, or an equal
// one, borrows the entry's string for its duration. An entry lent to a call (which runs without the
// GIL, and may call back into Python and ask for the same name) is lent to no other and survives a
// drop; that call converts its own. Everything runs with the GIL held.
struct KeptName {
    PyObject* key = nullptr;   // the str, held
    Py_hash_t hash = 0;
    bool lent = false;
    alignas(TqString) unsigned char text[sizeof(TqString)];

    TqString* string() { return std::launder(reinterpret_cast<TqString*>(text)); }
    void drop() {
        if (!key || lent) return;
        string()->~TqString();
        Py_CLEAR(key);
    }
};

constexpr int kKeptNames = 64;          // a power of two: entries are picked by the str's hash
constexpr Py_ssize_t kLongestKept = 64; // longer texts are converted for each call
KeptName* kept_names() {
    static auto* names = new KeptName[kKeptNames];   // let go by drop_kept_names, never destroyed
    return names;
}

void give_back(Slot& s) {
    static_cast<KeptName*>(s.as<TextSlot>().lent)->lent = false;
    s.cleanup = nullptr;
}

// Lends the kept string of an exact str to the call; false when the str is not kept and cannot be
// (too long, or its entry is lent): the caller converts it for the call alone.
bool lend_kept(PyObject* o, Slot& s) {
    Py_hash_t hash = PyObject_Hash(o);   // computed once per str, then cached in it
    if (hash == -1) {
        PyErr_Clear();
        return false;
    }
    KeptName& e = kept_names()[static_cast<std::size_t>(hash) & (kKeptNames - 1)];
    if (e.lent) return false;
    bool same = e.key == o;
    if (!same && e.key && e.hash == hash) {
        int cmp = PyUnicode_Compare(e.key, o);
        if (cmp == -1 && PyErr_Occurred()) PyErr_Clear();
        same = cmp == 0;
    }
    if (!same) {
        const Py_ssize_t length = PyUnicode_GetLength(o);
        wchar_t wide[kLongestKept + 1];
        if (length < 0 || length > kLongestKept || !wide_into(o, length, wide)) {
            if (PyErr_Occurred()) PyErr_Clear();
            return false;
        }
        e.drop();
        ::new (e.text) TqString(static_cast<const wchar_t*>(wide));
        Py_INCREF(o);
        e.key = o;
        e.hash = hash;
    }
    e.lent = true;
    TextSlot& t = s.as<TextSlot>();
    t.text = e.string();
    t.lent = &e;
    s.cleanup = give_back;
    return true;
}

int convert_text_as(PyObject* o, Slot& s, const ParamShape& shape, bool may_borrow) {
    // No string: never a null reference. In an overload, None (or any refused object, below) may pick
    // this candidate to be refused.
    if (o == Py_None) return (shape.flags & Param_NoneCommits) ? committed(SwigError_Type) : SwigError_Type;
    if (may_borrow && PyUnicode_CheckExact(o) && lend_kept(o, s)) return 0;
    void* p = nullptr;
    if (quick_match(o, TypeOf<TqString>::descriptor(), &p) ||
        SwigPyObject_ConvertPtr(o, &p, TypeOf<TqString>::descriptor(), SwigConvert_NoNull, nullptr) >= 0) {
        if (!p) return SwigError_Type;
        s.as<TextSlot>().text = static_cast<TqString*>(p);
        return 0;
    }
    if (PyUnicode_Check(o)) {
        if (text_from_str(o, s)) return 0;
    } else if (SwigTypeInfo* pwchar = SwigRuntime_WCharDescriptor();
               pwchar && SwigPyObject_ConvertPtr(o, &p, pwchar, 0, nullptr) >= 0 && p) {
        make_local(s, static_cast<const wchar_t*>(p));
        return 0;
    }
    char* narrow = nullptr;
    int alloc = 0;
    if (SwigAs_CharPtrAndSize(o, &narrow, nullptr, &alloc) >= 0 && narrow) {
        make_local(s, static_cast<const char*>(narrow));
        if (alloc == SwigFlag_NewObject) delete[] narrow;
        return 0;
    }
    // In an overload that says so, any refused object commits: the candidate is the call's when its
    // later inputs fit.
    return (shape.flags & Param_RefusalCommits) ? committed(SwigError_Type) : SwigError_Type;
}

int convert_text(PyObject* o, Slot& s, const ParamShape& shape) { return convert_text_as(o, s, shape, true); }
int convert_own_text(PyObject* o, Slot& s, const ParamShape& shape) { return convert_text_as(o, s, shape, false); }

void report_text(int, const ParamShape& p, const char*) {
    std::string text = "Argument " + std::to_string(p.cpos) + ": failed to create TqString from Python string";
    SwigRuntime_SetErrorMsg(PyExc_TypeError, text.c_str());
}

void prepare_out_text(Slot& s) { make_local(s); }

PyObject* out_text(Slot& s, const ParamShape&, CallFrame&) {
    return SwigFrom_WCharPtr(s.as<TextSlot>().text->GetUnicode());
}

PyObject* out_narrow_text(Slot& s, const ParamShape&, CallFrame&) {
    return SwigFrom_CharPtr(s.as<TextSlot>().text->GetAscii());
}

std::string string_doc(const ParamShape&) { return "string"; }

PyObject* make_text(void* storage, CallFrame&) {
    return SwigFrom_WCharPtr(static_cast<TqString*>(result_as<void*>(storage))->GetUnicode());
}

PyObject* make_result(void* storage, CallFrame&) {
    return make_owned(storage, TypeOf<TqResult>::descriptor(), &delete_object<TqResult>);
}

bool result_ok(const void* storage) {
    return (*static_cast<TqResult* const*>(storage))->IsOK();
}

std::string result_doc() { return class_doc_type("TqResult"); }

}  // namespace

const ParamKind kTextKind{convert_text, report_text, nullptr, nullptr, Rank_TextObject, false, string_doc};
const ParamKind kOwnTextKind{convert_own_text, report_text, nullptr, nullptr, Rank_TextObject, false, string_doc};
const ParamKind kEchoTextKind{convert_text, report_text, nullptr, out_text, Rank_TextObject, false, string_doc};
const ParamKind kOutTextKind{nullptr, nullptr, prepare_out_text, out_text, 0, false, string_doc};
const ParamKind kOutNarrowTextKind{nullptr, nullptr, prepare_out_text, out_narrow_text, 0, true, string_doc};
std::string string_result_doc() { return "string"; }

const ResultKind kTextResult{make_text, nullptr, nullptr, &decl_text<const TqString&>, string_result_doc};
const ResultKind kResultResult{make_result, nullptr, result_ok, &decl_text<TqResult>, result_doc};

void drop_kept_names() {
    KeptName* names = kept_names();
    for (int i = 0; i < kKeptNames; ++i) names[i].drop();
}

}  // namespace kivo::module

// A text from an override: a str (always as wide characters), a wide or narrow character pointer
// object; None gives the empty text. Anything else, a TqString proxy included, is a type mismatch.
TqString kivo::rt::CallbackResult<TqString>::from(PyObject* o, const char*) {
    wchar_t* wide = nullptr;
    int alloc = 0;
    if (SwigAs_WCharPtrAndSize(o, &wide, nullptr, &alloc) >= 0) {
        TqString text(wide ? wide : L"");
        if (alloc == SwigFlag_NewObject) delete[] wide;
        return text;
    }
    char* narrow = nullptr;
    if (SwigAs_CharPtrAndSize(o, &narrow, nullptr, &alloc) >= 0) {
        TqString text(narrow ? narrow : "");
        if (alloc == SwigFlag_NewObject) delete[] narrow;
        return text;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    Swig::DirectorTypeMismatchException::raise_TypeError("in output value of type str");
}
