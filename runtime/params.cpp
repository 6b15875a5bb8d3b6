// The runtime's parameter kinds: one conversion function per kind, shared by every wrapper.
#include "params.h"

#include "numpy_input.h"

namespace kivo::rt {

namespace {

// ---- pointers and references ----

// A proxy whose object was released under it (a part of a freed device, a buffer given back) is of
// the candidate's type: its ReferenceError is set and commits the candidate. Anything else fails
// with code.
int released_or(PyObject* o, int code) {
    return SwigPyObject_RaiseIfReleased(o) ? committed(SwigError_Released) : code;
}

int convert_self(PyObject* o, Slot& s, const ParamShape& p) {
    SwigTypeInfo* ty = p.descriptor();
    void* ptr = nullptr;
    if (o == Py_None && (p.flags & Param_NoneCommits)) return committed(SwigError_Type);
    if (!quick_match(o, ty, &ptr)) {
        int res = SwigPyObject_ConvertPtr(o, &ptr, ty, 0, nullptr);
        if (res < 0) return res == SwigError_Released ? released_or(o, SwigError_Type) : SwigError_Type;
    }
    if (!ptr) return released_or(o, SwigError_Type);   // None, or a proxy whose object was deleted
    s.as<void*>() = ptr;
    return 0;
}

int convert_pointer(PyObject* o, Slot& s, const ParamShape& p) {
    void* ptr = nullptr;
    if (o == Py_None) {
        s.as<void*>() = nullptr;
        return 0;
    }
    if (cannot_carry_this(o)) return SwigError_Failed;
    int res = quick_match(o, p.descriptor(), &ptr) ? 0 : SwigPyObject_ConvertPtr(o, &ptr, p.descriptor(), 0, nullptr);
    if (res == SwigError_Released || (res >= 0 && !ptr)) {
        int code = released_or(o, 0);   // a proxy cleared by its own release stays a null pointer
        if (code < 0) return code;
        res = 0;
    }
    if (res < 0) return res;
    s.as<void*>() = ptr;
    return 0;
}

// void *: the address any proxy carries, whatever its class; None is null. A released proxy is refused.
int convert_void_pointer(PyObject* o, Slot& s, const ParamShape&) {
    void* ptr = nullptr;
    if (o == Py_None) {
        s.as<void*>() = nullptr;
        return 0;
    }
    if (cannot_carry_this(o)) return SwigError_Type;
    const int res = SwigPyObject_ConvertPtr(o, &ptr, nullptr, 0, nullptr);
    if (res == SwigError_Released) return released_or(o, SwigError_Type);
    if (res < 0) return SwigError_Type;
    s.as<void*>() = ptr;
    return 0;
}

// A pointer that must not be null: None is refused like any object of another type.
int convert_pointer_not_none(PyObject* o, Slot& s, const ParamShape& p) {
    if (o == Py_None) return SwigError_Type;
    int res = convert_pointer(o, s, p);
    if (res >= 0 && !s.as<void*>()) return committed(SwigError_Type);   // a proxy whose object is gone
    return res;
}

int convert_reference(PyObject* o, Slot& s, const ParamShape& p) {
    void* ptr = nullptr;
    if (o == Py_None) return SwigError_NullReference;
    if (cannot_carry_this(o)) return SwigError_Failed;
    int res = quick_match(o, p.descriptor(), &ptr) ? 0
                                                   : SwigPyObject_ConvertPtr(o, &ptr, p.descriptor(), SwigConvert_NoNull, nullptr);
    if (res == SwigError_Released) return released_or(o, SwigError_NullReference);
    if (res < 0) return res;
    if (!ptr) return released_or(o, committed(SwigError_NullReference));   // a proxy whose object is gone
    s.as<void*>() = ptr;
    return 0;
}

// ---- numbers ----

template <class T, int (*As)(PyObject*, T*)>
int convert_value(PyObject* o, Slot& s, const ParamShape&) {
    return As(o, &s.as<T>());
}

// ---- text ----

void free_chars(Slot& s) { delete[] s.as<CharSlot>().text; }
void free_wchars(Slot& s) { delete[] s.as<WCharSlot>().text; }
void free_std_string(Slot& s) { delete s.as<StdStringSlot>().text; }

int convert_chars(PyObject* o, Slot& s, const ParamShape&) {
    CharSlot& c = s.as<CharSlot>();
    int res = SwigAs_CharPtrAndSize(o, &c.text, nullptr, &c.alloc);
    if (res >= 0 && c.alloc == SwigFlag_NewObject) s.cleanup = free_chars;
    return res;
}

int convert_wchars(PyObject* o, Slot& s, const ParamShape&) {
    WCharSlot& c = s.as<WCharSlot>();
    // A short str is converted into the slot itself: no heap memory, one pass.
    if (PyUnicode_Check(o)) {
        constexpr Py_ssize_t room = sizeof(c.inline_text) / sizeof(wchar_t);
        Py_ssize_t length = PyUnicode_GetLength(o);
        if (length >= 0 && length < room) {
            Py_ssize_t n = PyUnicode_AsWideChar(o, c.inline_text, length);
            if (n >= 0) {
                c.inline_text[n] = 0;
                c.text = c.inline_text;
                c.alloc = 0;
                return 0;
            }
        }
        if (PyErr_Occurred()) PyErr_Clear();
    }
    int res = SwigAs_WCharPtrAndSize(o, &c.text, nullptr, &c.alloc);
    if (res >= 0 && c.alloc == SwigFlag_NewObject) s.cleanup = free_wchars;
    return res;
}

int convert_std_string(PyObject* o, Slot& s, const ParamShape&) {
    StdStringSlot& c = s.as<StdStringSlot>();
    c.text = nullptr;
    c.res = SwigAs_StdStringPtr(o, &c.text);
    if (c.res < 0) return c.res;
    if (c.res == SwigFlag_NewObject) s.cleanup = free_std_string;
    if (!c.text) return SwigError_NullReference;   // None never reaches the SDK as a reference
    return 0;
}

// ---- NumPy arrays ----

void release_array(Slot& s) { Py_XDECREF(s.as<ArraySlot>().array); }

int convert_array_of_bytes(PyObject* o, Slot& s, const ParamShape& p, bool writable) {
    ArraySlot& a = s.as<ArraySlot>();
    PyObject* array = bytes_of(o, &a.data, &a.length, writable);
    if (!array) {
        // The error NumPy or the dimension check set stays. In overloads an array or any sequence
        // is the candidate's, so its failure is the call's; anything else is no candidate.
        bool candidate = PySequence_Check(o) || is_numpy_array(o);
        return candidate ? committed(SwigError_Type) : SwigError_Type;
    }
    a.array = array;
    s.cleanup = release_array;
    if (a.length > p.limit) return SwigError_Overflow;
    return 0;
}

// Memory the SDK only reads: the caller's array as it is, read-only or not.
int convert_byte_array(PyObject* o, Slot& s, const ParamShape& p) { return convert_array_of_bytes(o, s, p, false); }
// Memory the SDK may write (or keep and write later): never the caller's read-only array.
int convert_writable_byte_array(PyObject* o, Slot& s, const ParamShape& p) {
    return convert_array_of_bytes(o, s, p, true);
}

void report_byte_array(int code, const ParamShape& p, const char* func) {
    if (code == SwigError_Overflow) {
        // The array is too long for the SDK's length parameter, the next position.
        SwigRuntime_ArgumentError(code, func, p.cpos + 1, p.decl2());
    }
    // Otherwise NumPy's own error, or the dimension message, is already set.
}

// A count from Python: a new zero-filled byte array of that many elements for the SDK to fill,
// returned among the outputs. NumPy refuses a negative count with its own error; a count beyond what
// the process can be given is a MemoryError before anything is allocated.
// In overloads the count is the candidate's: a count that is no int, or out of range, fails the call
// (when the later inputs fit; otherwise the error stands before the overload text).
int convert_new_byte_array(PyObject* o, Slot& s, const ParamShape& p) {
    if (!PyLong_Check(o)) {
        PyErr_Format(PyExc_TypeError, "Int dimension expected.  '%s' given.", SwigNumpy_TypeName(o));
        return committed(SwigError_Type);
    }
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (count > 0 && static_cast<uint64_t>(count) > p.limit)) return committed(SwigError_Overflow);
    if (count > 0 && static_cast<uint64_t>(count) > memory_ceiling()) {
        PyErr_Format(PyExc_MemoryError, "an array of %lld bytes is more than the %llu bytes this process can be given",
                     count, static_cast<unsigned long long>(memory_ceiling()));
        return committed(SwigError_Memory);
    }
    ArraySlot& a = s.as<ArraySlot>();
    int64_t dims[1] = {count};
    a.array = memory_view(nullptr, 1, dims, kNpyUByte, nullptr);
    if (!a.array) return SwigError_Type;   // NumPy's error stays
    a.data = array_data(a.array);
    a.length = static_cast<uint64_t>(count);
    s.cleanup = release_array;
    return 0;
}

// The same for an SDK length that is unsigned: a negative count does not fit it either.
int convert_new_unsigned_byte_array(PyObject* o, Slot& s, const ParamShape& p) {
    if (PyLong_Check(o)) {
        int overflow = 0;
        long long count = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow && count < 0) return committed(SwigError_Overflow);
    }
    return convert_new_byte_array(o, s, p);
}

void report_new_byte_array(int code, const ParamShape& p, const char* func) {
    if (!PyErr_Occurred()) SwigRuntime_ArgumentError(code, func, p.cpos, p.decl2());
}

PyObject* out_new_byte_array(Slot& s, const ParamShape&, CallFrame&) {
    PyObject* array = s.as<ArraySlot>().array;
    Py_INCREF(array);
    return array;
}

int convert_bytes(PyObject* o, Slot& s, const ParamShape& p) {
    if (!PyBytes_Check(o)) return SwigError_Type;
    ArraySlot& a = s.as<ArraySlot>();
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(o, &data, &length) < 0) {
        PyErr_Clear();
        return SwigError_Type;
    }
    a.data = data;
    a.length = static_cast<uint64_t>(length);
    a.array = nullptr;   // the caller's object, lent for the call
    // Bytes are the candidate's whatever their length: one too long for the SDK's length parameter
    // is the call's OverflowError, not a reason to try the next candidate.
    if (a.length > p.limit) return committed(SwigError_Overflow);
    return 0;
}

void report_bytes(int code, const ParamShape& p, const char* func) {
    if (code == SwigError_Overflow)
        SwigRuntime_ArgumentError(code, func, p.cpos + 1, p.decl2());
    else
        SwigRuntime_ArgumentError(code, func, p.cpos, p.decl());
}

// Image memory: a candidate for any array or sequence; one of those that does not become a 2-D or
// 3-D uint8 array commits the call and is refused.
int convert_image_array(PyObject* o, Slot& s, const ParamShape&) {
    if (!PySequence_Check(o) && !is_numpy_array(o)) return SwigError_Type;
    ImageArraySlot& a = s.as<ImageArraySlot>();
    int is_new = 0;
    PyObject* array = writable_contiguous_array(o, kNpyUByte, &is_new);   // the SDK writes an image's memory
    if (!array) return committed(SwigError_Type);
    if (!is_new) Py_INCREF(array);
    a.array = array;
    s.cleanup = release_array;
    static const int counts[] = {2, 3};
    if (!SwigNumpy_RequireDimensionsOneOf(array, counts, 2)) return committed(SwigError_Type);
    int64_t rows = array_dim(array, 0), cols = array_dim(array, 1);
    if (rows > UINT32_MAX || cols > UINT32_MAX) return committed(SwigError_Overflow);
    a.data = array_data(array);
    a.length = static_cast<uint64_t>(array_nbytes(array));
    a.width = static_cast<uint32_t>(cols);
    a.height = static_cast<uint32_t>(rows);
    return 0;
}

void report_image_array(int code, const ParamShape& p, const char* func) {
    if (PyErr_Occurred()) PyErr_Clear();   // the conversion's own message gives way to the argument's
    std::string text = std::string("in method '") + func + "', argument 1 of type array";
    if (code == SwigError_Overflow) {
        SwigRuntime_ArgumentError(code, func, p.cpos + 1, "uint32_t");   // a width of 2^32 or more
        return;
    }
    SwigRuntime_SetErrorMsg(PyExc_TypeError, text.c_str());
}

void report_invalid_index(int, const ParamShape&, const char*) {
    SwigRuntime_SetErrorMsg(PyExc_RuntimeError, "Invalid index");
}

void report_int_argument(int code, const ParamShape& p, const char* func) {
    const std::string text =
        std::string("method '") + func + "' expected argument " + std::to_string(p.cpos - 1) + " of type int";
    SwigRuntime_SetErrorMsg(code == SwigError_Overflow ? PyExc_OverflowError : PyExc_TypeError, text.c_str());
}

// ---- outputs ----

template <class T>
void zero(Slot& s) {
    s.as<T>() = T{};
}

PyObject* out_bool(Slot& s, const ParamShape&, CallFrame&) { return PyBool_FromLong(s.as<bool>()); }
PyObject* out_int32(Slot& s, const ParamShape&, CallFrame&) { return PyLong_FromLong(s.as<int32_t>()); }
PyObject* out_uint32(Slot& s, const ParamShape&, CallFrame&) { return PyLong_FromSize_t(s.as<uint32_t>()); }
PyObject* out_int64(Slot& s, const ParamShape&, CallFrame&) { return SwigFrom_Int64(s.as<int64_t>()); }
PyObject* out_uint64(Slot& s, const ParamShape&, CallFrame&) { return SwigFrom_UInt64(s.as<uint64_t>()); }
PyObject* out_double(Slot& s, const ParamShape&, CallFrame&) { return PyFloat_FromDouble(s.as<double>()); }
PyObject* out_float(Slot& s, const ParamShape&, CallFrame&) { return PyFloat_FromDouble(s.as<float>()); }
PyObject* out_pointer(Slot& s, const ParamShape& p, CallFrame& f) {
    return new_result_proxy(s.as<void*>(), p.descriptor(), 0, f);
}

std::string array_doc_type(const ParamShape&) { return ":py:class:`numpy.ndarray`"; }
std::string bytes_doc_type(const ParamShape&) { return ":py:class:`bytes`"; }

}  // namespace

// The proxy takes the object over: the slot's cleanup no longer deletes it.
PyObject* out_made(Slot& s, const ParamShape& p, CallFrame&) {
    PyObject* proxy = SwigPyObject_NewPointerObject(s.as<void*>(), p.descriptor(), SwigNew_Own);
    if (proxy) s.cleanup = nullptr;
    return proxy;
}

// {convert, report, prepare, output, precedence, always_present, doc_type}
const ParamKind kSelfKind{convert_self, nullptr, nullptr, nullptr, Rank_Pointer, false, nullptr};
const ParamKind kConstSelfKind{convert_self, nullptr, nullptr, nullptr, Rank_Pointer + 1, false, nullptr};
const ParamKind kPointerKind{convert_pointer, nullptr, nullptr, nullptr, Rank_Pointer, false, nullptr};
const ParamKind kNotNonePointerKind{convert_pointer_not_none, nullptr, nullptr, nullptr, Rank_Pointer, false, nullptr};
const ParamKind kVoidPointerKind{convert_void_pointer, nullptr, nullptr, nullptr, Rank_Pointer, false, nullptr};
const ParamKind kReferenceKind{convert_reference, nullptr, nullptr, nullptr, Rank_Pointer, false, nullptr};

const ParamKind kBoolKind{convert_value<bool, SwigAs_Bool>, nullptr, nullptr, nullptr, Rank_Bool, false, nullptr};
const ParamKind kInt32Kind{convert_value<int32_t, SwigAs_Int32>, nullptr, nullptr, nullptr, Rank_Int32, false, nullptr};
const ParamKind kUInt32Kind{convert_value<uint32_t, SwigAs_UInt32>, nullptr, nullptr, nullptr, Rank_UInt32, false,
                            nullptr};
const ParamKind kUInt16Kind{convert_value<uint16_t, SwigAs_UInt16>, nullptr, nullptr, nullptr, Rank_UInt16, false,
                            nullptr};
const ParamKind kUInt8Kind{convert_value<uint8_t, SwigAs_UInt8>, nullptr, nullptr, nullptr, Rank_UInt8, false, nullptr};
const ParamKind kInt64Kind{convert_value<int64_t, SwigAs_Int64>, nullptr, nullptr, nullptr, Rank_Int64, false, nullptr};
const ParamKind kUInt64Kind{convert_value<uint64_t, SwigAs_UInt64>, nullptr, nullptr, nullptr, Rank_UInt64, false,
                            nullptr};
const ParamKind kDoubleKind{convert_value<double, SwigAs_Double>, nullptr, nullptr, nullptr, Rank_Double, false,
                            nullptr};
const ParamKind kFloatKind{convert_value<float, SwigAs_Float>, nullptr, nullptr, nullptr, Rank_Float, false, nullptr};
const ParamKind kCharPtrKind{convert_chars, nullptr, nullptr, nullptr, Rank_String, false, nullptr};
const ParamKind kWCharPtrKind{convert_wchars, nullptr, nullptr, nullptr, Rank_WideString, false, nullptr};
const ParamKind kStdStringKind{convert_std_string, nullptr, nullptr, nullptr, Rank_StdString, false, nullptr};
const ParamKind kByteArrayKind{convert_byte_array, report_byte_array, nullptr, nullptr, Rank_Array, false,
                               array_doc_type};
const ParamKind kWritableByteArrayKind{convert_writable_byte_array, report_byte_array, nullptr, nullptr, Rank_Array,
                                       false, array_doc_type};

const ParamKind kNewByteArrayKind{convert_new_byte_array, report_new_byte_array, nullptr, out_new_byte_array,
                                  Rank_Array, true, nullptr};
const ParamKind kNewUnsignedByteArrayKind{convert_new_unsigned_byte_array, report_new_byte_array, nullptr,
                                          out_new_byte_array, Rank_Array, true, nullptr};

const ParamKind kImageArrayKind{convert_image_array, report_image_array, nullptr, nullptr, Rank_Array, false,
                                array_doc_type};
const ParamKind kBytesKind{convert_bytes, report_bytes, nullptr, nullptr, Rank_Array, false, bytes_doc_type};

const ParamKind kInvalidIndexKind{convert_value<int32_t, SwigAs_Int32>, report_invalid_index, nullptr, nullptr,
                                  Rank_Int32, false, nullptr};
const ParamKind kIntArgumentKind{convert_value<int32_t, SwigAs_Int32>, report_int_argument, nullptr, nullptr,
                                 Rank_Int32, false, nullptr};

const ParamKind kOutBoolKind{nullptr, nullptr, zero<bool>, out_bool, 0, true, nullptr};
const ParamKind kOutInt32Kind{nullptr, nullptr, zero<int32_t>, out_int32, 0, false, nullptr};
const ParamKind kOutUInt32Kind{nullptr, nullptr, zero<uint32_t>, out_uint32, 0, false, nullptr};
const ParamKind kOutInt64Kind{nullptr, nullptr, zero<int64_t>, out_int64, 0, false, nullptr};
const ParamKind kOutUInt64Kind{nullptr, nullptr, zero<uint64_t>, out_uint64, 0, false, nullptr};
const ParamKind kOutDoubleKind{nullptr, nullptr, zero<double>, out_double, 0, false, nullptr};
const ParamKind kOutFloatKind{nullptr, nullptr, zero<float>, out_float, 0, false, nullptr};
const ParamKind kOutPointerKind{nullptr, nullptr, zero<void*>, out_pointer, 0, false, nullptr};

}  // namespace kivo::rt
