#include "results.h"

namespace kivo::rt {

namespace {

template <class T>
T& at(void* storage) {
    return result_as<T>(storage);
}

PyObject* make_none(void*, CallFrame&) { Py_RETURN_NONE; }
PyObject* make_bool(void* s, CallFrame&) { return PyBool_FromLong(at<bool>(s)); }
// 32-bit values (enumerations included) come back signed: a value with bit 31 set is negative.
PyObject* make_int32(void* s, CallFrame&) { return PyLong_FromLong(at<int32_t>(s)); }
PyObject* make_uint32(void* s, CallFrame&) { return PyLong_FromSize_t(at<uint32_t>(s)); }
PyObject* make_int64(void* s, CallFrame&) { return SwigFrom_Int64(at<int64_t>(s)); }
PyObject* make_uint64(void* s, CallFrame&) { return SwigFrom_UInt64(at<uint64_t>(s)); }
PyObject* make_double(void* s, CallFrame&) { return PyFloat_FromDouble(at<double>(s)); }
PyObject* make_chars(void* s, CallFrame&) { return SwigFrom_CharPtr(at<const char*>(s)); }
PyObject* make_wchars(void* s, CallFrame&) { return SwigFrom_WCharPtr(at<const wchar_t*>(s)); }
PyObject* make_std_string(void* s, CallFrame&) { return SwigFrom_StdString(at<std::string>(s)); }
void destroy_std_string(void* s) { at<std::string>(s).~basic_string(); }

}  // namespace

const ResultKind kVoidResult{make_none, nullptr, nullptr, &decl_text<void>, nullptr};
const ResultKind kBoolResult{make_bool, nullptr, nullptr, &decl_text<bool>, nullptr};
const ResultKind kInt32Result{make_int32, nullptr, nullptr, &decl_text<int32_t>, nullptr};
const ResultKind kUInt32Result{make_uint32, nullptr, nullptr, &decl_text<uint32_t>, nullptr};
const ResultKind kInt64Result{make_int64, nullptr, nullptr, &decl_text<int64_t>, nullptr};
const ResultKind kUInt64Result{make_uint64, nullptr, nullptr, &decl_text<uint64_t>, nullptr};
const ResultKind kDoubleResult{make_double, nullptr, nullptr, &decl_text<double>, nullptr};
const ResultKind kCharPtrResult{make_chars, nullptr, nullptr, &decl_text<const char*>, nullptr};
const ResultKind kWCharPtrResult{make_wchars, nullptr, nullptr, &decl_text<const wchar_t*>, nullptr};
const ResultKind kStdStringResult{make_std_string, destroy_std_string, nullptr, &decl_text<std::string>, nullptr};

// What a method hands out that it does not give away belongs to the object it was called on: the
// proxy keeps self alive (and a release of self reaches it). A KeepAlive policy names another argument.
// The proxy keeps the one of that object that the call converted.
PyObject* new_result_proxy(void* ptr, SwigTypeInfo* ty, int flags, CallFrame& f) {
    int cpos = 0;
    if (f.shape->policy & Policy_KeepAlive)
        cpos = f.shape->keep_cpos;
    else if (!(flags & SwigNew_Own) && f.shape->count > 0 && (f.shape->params[0].flags & Param_Self) && f.nitems > 0)
        cpos = 1;
    if (!cpos) return SwigPyObject_NewPointerObject(ptr, ty, flags);
    return SwigPyObject_NewPointerObject(ptr, ty, flags, f.item_at(cpos), f.descriptor_at(cpos));
}

PyObject* make_borrowed(void* storage, CallFrame& f, SwigTypeInfo* ty) {
    return new_result_proxy(at<void*>(storage), ty, f.result_own, f);
}

PyObject* make_owned(void* storage, SwigTypeInfo* ty, void (*destroy)(void*)) {
    void* copy = at<void*>(storage);
    PyObject* result = SwigPyObject_NewPointerObject(copy, ty, SwigNew_Own);
    if (!result) destroy(copy);
    return result;
}

PyObject* make_constructed(void* storage, SwigTypeInfo* ty, void (*destroy)(void*), CallFrame& f) {
    void* made = at<void*>(storage);
    PyObject* result = new_result_proxy(made, ty, SwigNew_Own | SwigNew_NoShadow, f);
    if (!result) destroy(made);
    return result;
}

void release_argument(CallFrame& f, int cpos, const char* verb, bool only_borrowed, bool name_given,
                      void (*forget)(void*)) {
    PyObject* given = f.item_at(cpos);
    SwigTypeInfo* ty = f.descriptor_at(cpos);
    if (!given || !ty) return;
    int own = 0;
    void* object = nullptr;
    SwigPyObject* matched = nullptr;
    if (SwigPyObject_ConvertPtrMatch(given, &object, ty, 0, &own, &matched) < 0 || !object) return;
    if (only_borrowed && own) return;
    SwigPyObject_Release(object, matched, verb, name_given);
    if (forget) forget(object);
}

std::string class_doc_type(const char* name) { return ":py:class:`" + std::string(name) + "`"; }

}  // namespace kivo::rt
