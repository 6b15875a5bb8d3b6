// Start-up of the module: runtime objects, the module, the type registry, the constants and
// NumPy's C API, in that order.
#include "attached.h"
#include "constants.h"
#include "numpy_api.h"
#include "proxy.h"
#include "ref.h"
#include "startup.h"
#include "views.h"

namespace {

using kivo::rt::Ref;

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
    Ref value(PyLong_FromLong(c.value));
    if (!value || PyDict_SetItemString(ns, c.name, value.get()) < 0) return false;
    if (!enum_name) return true;
    PyObject* dict = PyDict_GetItemString(ns, enum_name);   // borrowed
    if (!dict) {
        Ref made(PyDict_New());
        if (!made || PyDict_SetItemString(ns, enum_name, made.get()) < 0) return false;
        dict = made.get();   // the namespace keeps it
    }
    return PyDict_SetItemString(dict, c.name, value.get()) == 0;
}

bool install_all(PyObject* ns, std::span<const kivo::module::IntConstant> rows, const char* enum_name) {
    for (const auto& c : rows)
        if (!install(ns, c, enum_name)) return false;
    return true;
}

bool install_enum(PyObject* ns, const kivo::module::EnumTable& e) { return install_all(ns, e.members, e.name); }

// Adds a new object (null: a failure already set) to the module under name.
bool add_object(PyObject* m, const char* name, PyObject* made) {
    Ref object(made);
    if (!object || PyModule_AddObject(m, name, object.get()) < 0) return false;
    object.release();   // the module took it
    return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kivo_python64() {
    using namespace kivo::module;
    Ref m(start(g_definition, method_rows()));
    if (!m) return nullptr;
    follow_sdk_releases();   // this module's tables are the ones the SDK's news reach
    bound_new_arrays();
    if (!add_object(m.get(), "__kivo_held__", PyCapsule_New(const_cast<HeldTable*>(&kHeldTable), kHeldCapsule, nullptr)))
        return nullptr;
    if (kivo::rt::install_companion_support(m.get()) < 0) return nullptr;
    PyObject* ns = PyModule_GetDict(m.get());   // borrowed

    bool ok = install_all(ns, kResultCodes, nullptr) && install_enum(ns, kLogLevelEnum) &&
              install_all(ns, kPixelBitFields, nullptr) && install_enum(ns, kPixelTypeEnum);
    if (ok && !kivo::rt::import_numpy()) ok = false;
    for (const EnumTable& e : kLateEnums) ok = ok && install_enum(ns, e);
    // What the companion layer builds its classes from.
    if (!ok || !add_object(m.get(), "__kivo_classes__", class_facts())) return nullptr;
    return m.release();
}
