// Start-up of the module: runtime objects, the module, the type registry, the constants and
// NumPy's C API, in that order.
#include "attached.h"
#include "constants.h"
#include "numpy_api.h"
#include "proxy.h"
#include "startup.h"

namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_kivo_python64",
    nullptr,   // no docstring
    -1,        // state lives in process-wide objects
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Sets one int in the namespace and, for an enumeration member, the same object in its dictionary.
bool install(PyObject* ns, const kivo::module::IntConstant& c, const char* enum_name) {
    PyObject* value = PyLong_FromLong(c.value);
    if (!value) return false;
    bool ok = PyDict_SetItemString(ns, c.name, value) == 0;
    if (ok && enum_name) {
        PyObject* dict = PyDict_GetItemString(ns, enum_name);   // borrowed
        if (!dict) {
            dict = PyDict_New();
            ok = dict && PyDict_SetItemString(ns, enum_name, dict) == 0;
            Py_XDECREF(dict);
        }
        ok = ok && PyDict_SetItemString(dict, c.name, value) == 0;
    }
    Py_DECREF(value);
    return ok;
}

bool install_all(PyObject* ns, std::span<const kivo::module::IntConstant> rows, const char* enum_name) {
    for (const auto& c : rows)
        if (!install(ns, c, enum_name)) return false;
    return true;
}

bool install_enum(PyObject* ns, const kivo::module::EnumTable& e) { return install_all(ns, e.members, e.name); }

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kivo_python64() {
    using namespace kivo::module;
    PyObject* m = start(g_definition, method_rows());
    if (!m) return nullptr;
    follow_sdk_releases();   // this module's tables are the ones the SDK's news reach
    PyObject* held = PyCapsule_New(const_cast<HeldTable*>(&kHeldTable), kHeldCapsule, nullptr);
    if (!held || PyModule_AddObject(m, "__kivo_held__", held) < 0) {
        Py_XDECREF(held);
        Py_DECREF(m);
        return nullptr;
    }
    if (kivo::rt::install_companion_support(m) < 0) return Py_DECREF(m), nullptr;
    PyObject* ns = PyModule_GetDict(m);   // borrowed

    bool ok = install_all(ns, kResultCodes, nullptr) && install_enum(ns, kLogLevelEnum) &&
              install_all(ns, kPixelBitFields, nullptr) && install_enum(ns, kPixelTypeEnum);
    if (ok && !kivo::rt::import_numpy()) ok = false;
    for (const EnumTable& e : kLateEnums) ok = ok && install_enum(ns, e);
    // What the companion layer builds its classes from.
    if (ok) {
        PyObject* facts = class_facts();
        ok = facts && PyModule_AddObject(m, "__kivo_classes__", facts) == 0;
        if (!ok) Py_XDECREF(facts);
    }
    if (!ok) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
