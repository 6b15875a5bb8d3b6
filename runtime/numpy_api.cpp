#include "numpy_api.h"
#include "ref.h"

namespace kivo::rt {
namespace {

void** g_api = nullptr;

enum : int {
    kVersionEntry = 0,
    kEndiannessEntry = 210,
    kFeatureVersionEntry = 211,
};

constexpr const char* kTroubleshootingPage =
    "https://numpy.org/devdocs/user/troubleshooting-importerror.html#c-api-incompatibility";

// Sets the first error of a failed import, or returns true when the table is usable.
bool load_table() {
    Ref mod(PyImport_ImportModule("numpy.core._multiarray_umath"));
    if (!mod) return false;
    Ref cap(PyObject_GetAttrString(mod.get(), "_ARRAY_API"));
    if (!cap) {
        PyErr_SetString(PyExc_AttributeError, "_ARRAY_API not found");
        return false;
    }
    if (Py_TYPE(cap.get()) != &PyCapsule_Type) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        return false;
    }
    auto** api = static_cast<void**>(PyCapsule_GetPointer(cap.get(), nullptr));   // the module keeps it
    if (!api) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
        return false;
    }
    unsigned abi = reinterpret_cast<unsigned (*)()>(api[kVersionEntry])();
    if (abi != kNumpyAbiVersion) {
        PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     kNumpyAbiVersion, abi);
        return false;
    }
    unsigned feature = reinterpret_cast<unsigned (*)()>(api[kFeatureVersionEntry])();
    if (feature < kNumpyMinFeatureVersion) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against API version 0x%x but this version of numpy is 0x%x . Check the section "
                     "C-API incompatibility at the Troubleshooting ImportError section at %s for indications on how "
                     "to solve this problem .",
                     kNumpyMinFeatureVersion, feature, kTroubleshootingPage);
        return false;
    }
    int endian = reinterpret_cast<int (*)()>(api[kEndiannessEntry])();
    if (endian == 0) {
        PyErr_SetString(PyExc_RuntimeError, "FATAL: module compiled as unknown endian");
        return false;
    }
    if (endian != 1) {
        PyErr_SetString(PyExc_RuntimeError,
                        "FATAL: module compiled as little endian, but detected different endianness at runtime");
        return false;
    }
    g_api = api;
    return true;
}

}  // namespace

bool import_numpy() {
    if (load_table()) return true;
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return false;
}

void** numpy_api() { return g_api; }

}  // namespace kivo::rt
