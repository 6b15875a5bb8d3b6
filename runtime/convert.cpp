#include "convert.h"
#include "ref.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <string>

using kivo::rt::Ref;

PyObject* SwigRuntime_ErrorType(int code) {
    switch (code) {
        case SwigError_IO: return PyExc_IOError;
        case SwigError_Index: return PyExc_IndexError;
        case SwigError_Type: return PyExc_TypeError;
        case SwigError_DivisionByZero: return PyExc_ZeroDivisionError;
        case SwigError_Overflow: return PyExc_OverflowError;
        case SwigError_Syntax: return PyExc_SyntaxError;
        case SwigError_Value: return PyExc_ValueError;
        case SwigError_System: return PyExc_SystemError;
        case SwigError_Attribute: return PyExc_AttributeError;
        case SwigError_Memory: return PyExc_MemoryError;
        case SwigError_NullReference: return PyExc_TypeError;
        case SwigError_Released: return PyExc_ReferenceError;
        default: return PyExc_RuntimeError;
    }
}

void SwigRuntime_SetErrorMsg(PyObject* type, const char* message) {
    PyGILState_STATE state = PyGILState_Ensure();
    PyErr_SetString(type, message);
    PyGILState_Release(state);
}

void SwigRuntime_ArgumentError(int code, const char* func, int position, const char* decl, bool null_reference) {
    std::string text = null_reference ? "invalid null reference " : "";
    text += "in method '";
    text += func;
    text += "', argument ";
    text += std::to_string(position);
    text += " of type '";
    text += decl;
    text += "'";
    if (code == SwigError_ReleaseNotOwned) text += ": the proxy does not own its object";
    if (null_reference) code = SwigError_NullReference;
    // A failed pointer match is a wrong type.
    SwigRuntime_SetErrorMsg(SwigRuntime_ErrorType(code == SwigError_Failed ? SwigError_Type : code), text.c_str());
}

void SwigRuntime_CountError(const char* func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given, bool none) {
    const char* word = min == max ? "" : (given < min || none ? "at least " : "at most ");
    int expected = static_cast<int>(given < min || none ? min : max);
    if (none)
        PyErr_Format(PyExc_TypeError, "%s expected %s%d arguments, got none", func, word, expected);
    else
        PyErr_Format(PyExc_TypeError, "%s expected %s%d arguments, got %d", func, word, expected, static_cast<int>(given));
}

bool SwigRuntime_UnpackTuple(PyObject* args, const char* func, Py_ssize_t min, Py_ssize_t max, PyObject** items,
                             Py_ssize_t* count) {
    if (!args) {
        if (min == 0) {
            *count = 0;
            return true;
        }
        SwigRuntime_CountError(func, min, max, 0, true);
        return false;
    }
    if (!PyTuple_Check(args)) {
        PyErr_SetString(PyExc_SystemError, "UnpackTuple() argument list is not a tuple");
        return false;
    }
    Py_ssize_t n = PyTuple_Size(args);
    if (n < min || n > max) {
        SwigRuntime_CountError(func, min, max, n, false);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) items[i] = PyTuple_GetItem(args, i);
    *count = n;
    return true;
}

void SwigRuntime_RaiseOrExtendTypeError(const char* message) {
    PyGILState_STATE state = PyGILState_Ensure();
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject* extended = PyUnicode_FromFormat("%S\nAdditional information:\n%s", value, message);
        if (extended) {
            Py_XDECREF(value);
            PyErr_Restore(type, extended, tb);
        } else {
            PyErr_Clear();
            PyErr_Restore(type, value, tb);
        }
    } else {
        PyErr_SetString(PyExc_TypeError, message);
    }
    PyGILState_Release(state);
}

PyObject* SwigRuntime_AppendOutput(PyObject* result, PyObject* value, int is_void) {
    if (!result) return value;
    Ref kept(result), added(value);
    if (result == Py_None && is_void) return added.release();
    if (!PyList_Check(result)) {
        // The common case, a result and one value: the list is made whole, with room for both.
        Ref pair[] = {std::move(kept), std::move(added)};
        return kivo::rt::list_from(pair);
    }
    if (!added || PyList_Append(result, value) < 0) return nullptr;
    return kept.release();
}

int SwigPyObject_ConvertPtr(PyObject* obj, void** ptr, SwigTypeInfo* ty, int flags, int* own) {
    return SwigPyObject_ConvertPtrMatch(obj, ptr, ty, flags, own, nullptr);
}

int SwigPyObject_ConvertPtrMatch(PyObject* obj, void** ptr, SwigTypeInfo* ty, int flags, int* own,
                                 SwigPyObject** matched) {
    if (matched) *matched = nullptr;
    if (!obj) return SwigError_Failed;
    if (own) *own = 0;
    if (obj == Py_None && !(flags & SwigConvert_ImplicitConv)) {
        if (flags & SwigConvert_NoNull) return SwigError_NullReference;
        if (ptr) *ptr = nullptr;
        return 0;
    }
    if (SwigPyObject* sobj = SwigPyObject_Match(obj, ty, ptr)) {
        if (matched) *matched = sobj;
        if (sobj->gone) {
            if (ptr) *ptr = nullptr;
            return SwigError_Released;
        }
        if ((flags & (SwigConvert_Disown | SwigConvert_Clear)) == (SwigConvert_Disown | SwigConvert_Clear) &&
            sobj->own != 1)
            return SwigError_ReleaseNotOwned;
        if (own) *own += sobj->own;
        if (flags & SwigConvert_Disown) SwigPyObject_SetOwn(sobj, 0);
        if (flags & SwigConvert_Clear) SwigPyObject_ClearPointer(sobj);
        return 0;
    }
    if ((flags & SwigConvert_ImplicitConv) && ty && ty->clientdata && !ty->clientdata->implicitconv) {
        SwigClientData* data = ty->clientdata;
        data->implicitconv = 1;
        Ref made(PyObject_CallFunctionObjArgs(data->klass, obj, nullptr));
        data->implicitconv = 0;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            made.reset();
        }
        int res = SwigError_Failed;
        if (SwigPyObject* iobj = made ? SwigPyObject_GetThis(made.get()) : nullptr) {
            void* vptr = nullptr;
            if (SwigPyObject_ConvertPtr(reinterpret_cast<PyObject*>(iobj), &vptr, ty, 0, nullptr) == 0) {
                SwigPyObject_SetOwn(iobj, 0);   // the pointer now belongs to the caller
                if (ptr) *ptr = vptr;
                res = SwigFlag_NewObject;
            }
        }
        if (res >= 0) return res;
        if (obj == Py_None) {
            if (ptr) *ptr = nullptr;
            PyErr_Clear();
            return 0;
        }
    }
    return SwigError_Failed;
}

namespace {

// The integer value of an int object as a C long; -5 for a non-int, -7 on overflow.
template <class T, class Fn>
int as_integer(PyObject* obj, Fn read, T* out) {
    if (!PyLong_Check(obj)) return SwigError_Type;
    auto v = read(obj);
    // The readers answer -1 (as their type) on failure; only then can an error be pending.
    if (v == static_cast<decltype(v)>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return SwigError_Overflow;
    }
    *out = v;
    return 0;
}

template <class T>
int as_unsigned_bounded(PyObject* obj, T* val, unsigned long max) {
    unsigned long v = 0;
    int res = as_integer(obj, PyLong_AsUnsignedLong, &v);
    if (res < 0) return res;
    if (v > max) return SwigError_Overflow;
    if (val) *val = static_cast<T>(v);
    return 0;
}

}  // namespace

int SwigAs_Int32(PyObject* obj, int32_t* val) {
    long v = 0;
    int res = as_integer(obj, PyLong_AsLong, &v);
    if (res < 0) return res;
    if (v < INT32_MIN || v > INT32_MAX) return SwigError_Overflow;
    if (val) *val = static_cast<int32_t>(v);
    return 0;
}

int SwigAs_UInt32(PyObject* obj, uint32_t* val) { return as_unsigned_bounded(obj, val, UINT32_MAX); }
int SwigAs_UInt16(PyObject* obj, uint16_t* val) { return as_unsigned_bounded(obj, val, UINT16_MAX); }
int SwigAs_UInt8(PyObject* obj, uint8_t* val) { return as_unsigned_bounded(obj, val, UINT8_MAX); }

int SwigAs_Int64(PyObject* obj, int64_t* val) {
    long long v = 0;
    int res = as_integer(obj, PyLong_AsLongLong, &v);
    if (res >= 0 && val) *val = v;
    return res;
}

int SwigAs_UInt64(PyObject* obj, uint64_t* val) {
    unsigned long long v = 0;
    int res = as_integer(obj, PyLong_AsUnsignedLongLong, &v);
    if (res >= 0 && val) *val = v;
    return res;
}

int SwigAs_Double(PyObject* obj, double* val) {
    double v;
    if (PyFloat_Check(obj)) {
        v = PyFloat_AsDouble(obj);
    } else if (PyLong_Check(obj)) {
        v = PyLong_AsDouble(obj);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return SwigError_Type;
        }
    } else {
        return SwigError_Type;
    }
    if (val) *val = v;
    return 0;
}

int SwigAs_Float(PyObject* obj, float* val) {
    double v = 0;
    int res = SwigAs_Double(obj, &v);
    if (res < 0) return res;
    if (std::isfinite(v) && (v < -FLT_MAX || v > FLT_MAX)) return SwigError_Overflow;
    if (val) *val = static_cast<float>(v);
    return 0;
}

int SwigAs_Bool(PyObject* obj, bool* val) {
    if (Py_TYPE(obj) != &PyBool_Type) return SwigError_Type;
    int r = PyObject_IsTrue(obj);
    if (r < 0) return SwigError_Type;
    if (val) *val = r != 0;
    return 0;
}

SwigTypeInfo* SwigRuntime_CharDescriptor() {
    static SwigTypeInfo* info = SwigRuntime_QueryType("_p_char");
    return info;
}

SwigTypeInfo* SwigRuntime_WCharDescriptor() {
    static SwigTypeInfo* info = SwigRuntime_QueryType("_p_wchar_t");
    return info;
}

int SwigAs_CharPtrAndSize(PyObject* obj, char** cptr, std::size_t* psize, int* alloc) {
    if (alloc) *alloc = 0;
    if (PyUnicode_Check(obj)) {
        Ref bytes(PyUnicode_AsUTF8String(obj));
        if (!bytes) {
            PyErr_Clear();
            return SwigError_Type;
        }
        char* data = nullptr;
        Py_ssize_t len = 0;
        PyBytes_AsStringAndSize(bytes.get(), &data, &len);
        if (cptr) {
            *cptr = new char[len + 1];
            std::memcpy(*cptr, data, len + 1);
            if (alloc) *alloc = SwigFlag_NewObject;
        }
        if (psize) *psize = static_cast<std::size_t>(len) + 1;
        return 0;
    }
    if (obj == Py_None) {
        if (cptr) *cptr = nullptr;
        if (psize) *psize = 0;
        return 0;
    }
    SwigTypeInfo* pchar = SwigRuntime_CharDescriptor();
    void* vptr = nullptr;
    if (pchar && SwigPyObject_ConvertPtr(obj, &vptr, pchar, 0, nullptr) == 0) {
        if (cptr) *cptr = static_cast<char*>(vptr);
        if (psize) *psize = vptr ? std::strlen(static_cast<char*>(vptr)) + 1 : 0;
        return 0;
    }
    return SwigError_Type;
}

int SwigAs_WCharPtrAndSize(PyObject* obj, wchar_t** cptr, std::size_t* psize, int* alloc) {
    if (alloc) *alloc = 0;
    if (PyUnicode_Check(obj)) {
        Py_ssize_t len = PyUnicode_AsWideChar(obj, nullptr, 0);   // terminating zero included
        if (len < 0) {
            PyErr_Clear();
            return SwigError_Type;
        }
        if (cptr) {
            auto* buf = new wchar_t[len + 1]();
            if (PyUnicode_AsWideChar(obj, buf, len) < 0) {
                PyErr_Clear();
                delete[] buf;
                return SwigError_Type;
            }
            buf[len] = 0;
            *cptr = buf;
            if (alloc) *alloc = SwigFlag_NewObject;
        }
        if (psize) *psize = static_cast<std::size_t>(len);
        return 0;
    }
    if (obj == Py_None) {
        if (cptr) *cptr = nullptr;
        if (psize) *psize = 0;
        return 0;
    }
    SwigTypeInfo* pwchar = SwigRuntime_WCharDescriptor();
    void* vptr = nullptr;
    if (pwchar && SwigPyObject_ConvertPtr(obj, &vptr, pwchar, 0, nullptr) == 0) {
        if (cptr) *cptr = static_cast<wchar_t*>(vptr);
        if (psize) *psize = vptr ? std::wcslen(static_cast<wchar_t*>(vptr)) + 1 : 0;
        return 0;
    }
    return SwigError_Type;
}

int SwigAs_StdStringPtr(PyObject* obj, std::string** val) {
    char* buf = nullptr;
    std::size_t size = 0;
    int alloc = 0;
    if (SwigAs_CharPtrAndSize(obj, &buf, &size, &alloc) >= 0) {
        if (!buf) {
            if (val) *val = nullptr;
            return 0;
        }
        if (val) *val = new std::string(buf, size - 1);
        if (alloc == SwigFlag_NewObject) delete[] buf;
        return SwigFlag_NewObject;
    }
    PyErr_Clear();
    static SwigTypeInfo* descriptor = SwigRuntime_QueryType("std::string *");
    void* vptr = nullptr;
    if (descriptor && SwigPyObject_ConvertPtr(obj, &vptr, descriptor, 0, nullptr) >= 0) {
        if (val) *val = static_cast<std::string*>(vptr);
        return 0;
    }
    return SwigError_Type;
}

PyObject* SwigFrom_StdString(const std::string& text) { return SwigFrom_CharPtrAndSize(text.data(), text.size()); }

PyObject* SwigFrom_CharPtrAndSize(const char* text, std::size_t size) {
    if (!text) Py_RETURN_NONE;
    if (size > INT_MAX) {
        SwigTypeInfo* pchar = SwigRuntime_CharDescriptor();
        if (!pchar) Py_RETURN_NONE;
        return SwigPyObject_NewPointerObject(const_cast<char*>(text), pchar, 0);
    }
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "surrogateescape");
}

PyObject* SwigFrom_CharPtr(const char* text) { return SwigFrom_CharPtrAndSize(text, text ? std::strlen(text) : 0); }

PyObject* SwigFrom_WCharPtr(const wchar_t* text) {
    if (!text) Py_RETURN_NONE;
    std::size_t size = std::wcslen(text);
    if (size > INT_MAX) {
        SwigTypeInfo* pwchar = SwigRuntime_WCharDescriptor();
        if (!pwchar) Py_RETURN_NONE;
        return SwigPyObject_NewPointerObject(const_cast<wchar_t*>(text), pwchar, 0);
    }
    return PyUnicode_FromWideChar(text, static_cast<Py_ssize_t>(size));
}

PyObject* SwigFrom_Int64(int64_t value) {
    if (value >= LONG_MIN && value <= LONG_MAX && value >= INT32_MIN && value <= INT32_MAX)
        return PyLong_FromLong(static_cast<long>(value));
    return PyLong_FromLongLong(value);
}

PyObject* SwigFrom_UInt64(uint64_t value) {
    if (value < (1ull << 31)) return PyLong_FromLong(static_cast<long>(value));
    return PyLong_FromUnsignedLongLong(value);
}
