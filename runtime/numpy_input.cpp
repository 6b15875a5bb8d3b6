#include "numpy_input.h"

#include "numpy_api.h"
#include "ref.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

namespace kivo::rt {

namespace {

// The parts of NumPy's array and descriptor objects read here; their layout is NumPy's stable ABI.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    intptr_t* dimensions;
    intptr_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};
struct DescrFields {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
    int elsize;
};

enum : int {
    kArrayTypeEntry = 2,
    kDescrFromTypeEntry = 45,
    kFromAnyEntry = 69,
    kNewEntry = 93,
    kSetBaseObjectEntry = 282,
    kEquivTypenumsEntry = 191,
    kContiguous = 0x1,
    kWriteable = 0x400,
    kRequirements = 0x501,        // C-contiguous, aligned, writeable
    kRequirementsArray = 0x541,   // the same, and a base-class array
};

ArrayFields* fields(PyObject* a) { return reinterpret_cast<ArrayFields*>(a); }

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(numpy_api()[kArrayTypeEntry]); }
PyObject* descr_from_type(int t) { return reinterpret_cast<PyObject* (*)(int)>(numpy_api()[kDescrFromTypeEntry])(t); }
PyObject* from_any(PyObject* o, PyObject* descr, int flags) {
    return reinterpret_cast<PyObject* (*)(PyObject*, PyObject*, int, int, int, PyObject*)>(
        numpy_api()[kFromAnyEntry])(o, descr, 0, 0, flags, nullptr);
}
bool equiv_typenums(int a, int b) {
    return reinterpret_cast<unsigned char (*)(int, int)>(numpy_api()[kEquivTypenumsEntry])(a, b) != 0;
}
int type_num(PyObject* a) { return reinterpret_cast<DescrFields*>(fields(a)->descr)->type_num; }

std::string shape_text(const long* dims, int n) {
    std::string s = "[";
    for (int i = 0; i < n; ++i) {
        char one[32];
        if (dims[i] == -1)
            std::snprintf(one, sizeof one, "*,");
        else
            std::snprintf(one, sizeof one, "%ld,", static_cast<long>(static_cast<int32_t>(dims[i])));
        s += one;
    }
    if (n) s.back() = ']';
    else s += "]";
    return s.substr(0, 254);
}

}  // namespace

bool is_numpy_array(PyObject* obj) {
    if (!numpy_api() && !import_numpy()) {
        PyErr_Clear();
        return false;
    }
    return PyObject_TypeCheck(obj, array_type());
}

void* array_data(PyObject* a) { return fields(a)->data; }
int array_ndim(PyObject* a) { return fields(a)->nd; }
int64_t array_dim(PyObject* a, int i) { return fields(a)->dimensions[i]; }
int64_t array_nbytes(PyObject* a) {
    int64_t n = reinterpret_cast<DescrFields*>(fields(a)->descr)->elsize;
    for (int i = 0; i < fields(a)->nd; ++i) n *= fields(a)->dimensions[i];
    return n;
}

namespace {

// Steps 1 to 3 of the conversion; with writable, an array Python holds read-only is no candidate
// for step 1 and is copied as any other object is.
PyObject* contiguous(PyObject* obj, int typecode, int* is_new, bool writable) {
    PyObject* first = nullptr;
    *is_new = 0;
    if (!numpy_api() && !import_numpy()) return nullptr;   // a module that did not import it at start-up
    if (PyObject_TypeCheck(obj, array_type()) && (typecode == kNpyNoType || equiv_typenums(type_num(obj), typecode)) &&
        (!writable || (fields(obj)->flags & kWriteable))) {
        first = obj;
    } else {
        first = from_any(obj, descr_from_type(typecode), kRequirements);   // steals the descriptor
        *is_new = 1;
        if (!first) return nullptr;
    }
    if (fields(first)->flags & kContiguous) return first;
    PyObject* again = from_any(first, descr_from_type(type_num(first)), kRequirementsArray);
    if (*is_new) Py_DECREF(first);
    *is_new = 1;
    return again;
}

}  // namespace

PyObject* SwigNumpy_ObjToContiguousArray(PyObject* obj, int typecode, int* is_new) {
    return contiguous(obj, typecode, is_new, false);
}

PyObject* writable_contiguous_array(PyObject* obj, int typecode, int* is_new) {
    PyObject* array = contiguous(obj, typecode, is_new, true);
    // NumPy gives a writeable array for the writeable requirement; memory it could not make
    // writeable is refused here rather than handed to the SDK.
    if (array && !(fields(array)->flags & kWriteable)) {
        if (*is_new) Py_DECREF(array);
        PyErr_SetString(PyExc_ValueError, "cannot write to a read-only array");
        return nullptr;
    }
    return array;
}

int SwigNumpy_RequireDimensions(PyObject* array, int n) {
    if (array_ndim(array) == n) return 1;
    PyErr_Format(PyExc_TypeError, "Array must have %d dimensions.  Given array has %d dimensions", n,
                 array_ndim(array));
    return 0;
}

int SwigNumpy_RequireDimensionsOneOf(PyObject* array, const int* counts, int n) {
    for (int i = 0; i < n; ++i)
        if (array_ndim(array) == counts[i]) return 1;
    std::string list;
    char one[32];
    for (int i = 0; i < n - 1; ++i) {
        std::snprintf(one, sizeof one, "%d, ", counts[i]);
        list += one;
    }
    std::snprintf(one, sizeof one, " or %d", counts[n - 1]);
    list += one;
    PyErr_Format(PyExc_TypeError, "Array must have %s dimensions.  Given array has %d dimensions",
                 list.substr(0, 254).c_str(), array_ndim(array));
    return 0;
}

int SwigNumpy_RequireShape(PyObject* array, const long* shape, int n) {
    bool ok = true;
    for (int i = 0; i < n; ++i)
        if (shape[i] != -1 && shape[i] != array_dim(array, i)) ok = false;
    if (ok) return 1;
    long actual[32];
    int nd = array_ndim(array) < 32 ? array_ndim(array) : 32;
    for (int i = 0; i < nd; ++i) actual[i] = static_cast<long>(array_dim(array, i));
    PyErr_Format(PyExc_TypeError, "Array must have shape of %s.  Given array has shape of %s",
                 shape_text(shape, n).c_str(), shape_text(actual, nd).c_str());
    return 0;
}

const char* SwigNumpy_TypeName(PyObject* obj) {
    if (!obj) return "C NULL value";
    if (obj == Py_None) return "Python None";
    if (PyCallable_Check(obj)) return "callable";
    if (PyBytes_Check(obj)) return "string";
    if (PyLong_Check(obj)) return "int";
    if (PyFloat_Check(obj)) return "float";
    if (PyDict_Check(obj)) return "dict";
    if (PyList_Check(obj)) return "list";
    if (PyTuple_Check(obj)) return "tuple";
    return "unknown type";
}

PyObject* memory_view(void* data, int nd, const int64_t* dims, int typenum, PyObject* base) {
    if (!numpy_api() && !import_numpy()) return nullptr;
    using New = PyObject* (*)(PyTypeObject*, int, const intptr_t*, int, const intptr_t*, void*, int, int, PyObject*);
    intptr_t shape[3];
    for (int i = 0; i < nd; ++i) shape[i] = static_cast<intptr_t>(dims[i]);
    PyObject* array = reinterpret_cast<New>(numpy_api()[kNewEntry])(array_type(), nd, shape, typenum, nullptr, data, 0,
                                                                    kRequirements, nullptr);
    if (!array) return nullptr;
    if (!data) {
        // NumPy allocated the memory: never show what it held before.
        std::memset(array_data(array), 0, static_cast<std::size_t>(array_nbytes(array)));
        return array;
    }
    if (base) {
        using SetBase = int (*)(PyObject*, PyObject*);
        Ref made(array);
        Py_INCREF(base);
        if (reinterpret_cast<SetBase>(numpy_api()[kSetBaseObjectEntry])(array, base) < 0) return nullptr;   // takes base
        return made.release();
    }
    return array;
}

PyObject* bytes_of(PyObject* obj, void** data, uint64_t* length, bool writable) {
    int is_new = 0;
    PyObject* found = writable ? writable_contiguous_array(obj, kNpyUByte, &is_new)
                               : SwigNumpy_ObjToContiguousArray(obj, kNpyUByte, &is_new);
    Ref array = is_new ? Ref(found) : Ref::borrow(found);
    if (!array) return nullptr;
    static const long any_length[1] = {-1};
    if (!SwigNumpy_RequireDimensions(array.get(), 1) || !SwigNumpy_RequireShape(array.get(), any_length, 1))
        return nullptr;
    *data = array_data(array.get());
    *length = static_cast<uint64_t>(array_nbytes(array.get()));
    return array.release();
}

namespace {

struct Tied {
    void (*drop)(const void*);
    const void* token;
};

// Weak reference -> what it keeps; the table holds the weak references. Used with the GIL held.
std::unordered_map<PyObject*, Tied>& tied() {
    static auto* table = new std::unordered_map<PyObject*, Tied>;   // lives as long as the process
    return *table;
}

PyObject* untie(PyObject*, PyObject* ref) {
    auto& table = tied();
    auto it = table.find(ref);
    if (it != table.end()) {
        Tied t = it->second;
        table.erase(it);
        Py_DECREF(ref);
        t.drop(t.token);
    }
    Py_RETURN_NONE;
}

PyMethodDef untie_def = {"untie", untie, METH_O, nullptr};

}  // namespace

int tie(PyObject* object, void (*drop)(const void*), const void* token) {
    static PyObject* callback = PyCFunction_NewEx(&untie_def, nullptr, nullptr);   // lives as long as the process
    PyObject* ref = callback ? PyWeakref_NewRef(object, callback) : nullptr;
    if (!ref) {
        drop(token);
        return -1;
    }
    try {
        tied().emplace(ref, Tied{drop, token});
    } catch (...) {
        Py_DECREF(ref);
        drop(token);
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

std::size_t tied_count() { return tied().size(); }

}  // namespace kivo::rt
