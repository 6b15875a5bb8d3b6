// _kivo_testhooks: a second extension module on the same binding runtime, for tests only. It joins
// the runtime capsule, makes pointer objects that no public wrapper hands out, exposes probe
// functions built with the same wrapper templates (every converter and result shape), reads the
// stand-in SDK's live-object accounting and fakes NumPy's C-API table.
#include "bindings.h"
#include "proxy.h"

#include "TqLiveObjects.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <thread>

namespace {

using namespace kivo::rt;

// ---- pointer objects ----

std::string utf8(PyObject* text) {
    PyObject* bytes = PyUnicode_Check(text) ? PyUnicode_AsUTF8String(text) : nullptr;
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    std::string out = PyBytes_AsString(bytes);
    Py_DECREF(bytes);
    return out;
}

SwigTypeInfo* descriptor_arg(PyObject* name) {
    std::string text = utf8(name);
    return text.empty() ? nullptr : SwigRuntime_QueryType(text.c_str());
}

// make_pointer(type_name, address, flags=0): SwigPyObject_NewPointerObject for any known type.
PyObject* make_pointer(PyObject*, PyObject* args) {
    PyObject* name;
    unsigned long long address;
    int flags = 0;
    if (!PyArg_ParseTuple(args, "OK|i", &name, &address, &flags)) return nullptr;
    SwigTypeInfo* ty = descriptor_arg(name);
    if (!ty) {
        PyErr_SetString(PyExc_LookupError, "unknown type");
        return nullptr;
    }
    return SwigPyObject_NewPointerObject(reinterpret_cast<void*>(address), ty, flags);
}

// query(name): the mangled name of the descriptor found for a mangled or declared name, or None.
PyObject* query(PyObject*, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "name must be str");
        return nullptr;
    }
    SwigTypeInfo* ty = SwigRuntime_QueryType(utf8(name).c_str());
    if (!ty) Py_RETURN_NONE;
    return PyUnicode_FromString(ty->name);
}

PyObject* cache_keys(PyObject*, PyObject*) { return PyDict_Keys(type_cache()); }

// casts(name): the mangled names in the cast list of a descriptor, in their current order.
PyObject* casts(PyObject*, PyObject* name) {
    SwigTypeInfo* ty = descriptor_arg(name);
    if (!ty) Py_RETURN_NONE;
    PyObject* out = PyList_New(0);
    for (SwigCastInfo* c = ty->cast; c && out; c = c->next) {
        PyObject* s = PyUnicode_FromString(c->type->name);
        PyList_Append(out, s);
        Py_XDECREF(s);
    }
    return out;
}

// client_class(name): the Python class registered for a descriptor, or None.
PyObject* client_class(PyObject*, PyObject* name) {
    SwigTypeInfo* ty = descriptor_arg(name);
    if (!ty || !ty->clientdata) Py_RETURN_NONE;
    Py_INCREF(ty->clientdata->klass);
    return ty->clientdata->klass;
}

// register_class(name, cls): <Class>_swigregister for any descriptor.
PyObject* register_class(PyObject*, PyObject* args) {
    PyObject *name, *cls;
    if (!PyArg_ParseTuple(args, "OO", &name, &cls)) return nullptr;
    SwigTypeInfo* ty = descriptor_arg(name);
    if (!ty) {
        PyErr_SetString(PyExc_LookupError, "unknown type");
        return nullptr;
    }
    return SwigPyObject_RegisterClass(ty, cls);
}

// convert(obj, name): the address SwigPyObject_ConvertPtr finds for a type, or the error code.
PyObject* convert(PyObject*, PyObject* args) {
    PyObject *obj, *name;
    int flags = 0;
    if (!PyArg_ParseTuple(args, "OO|i", &obj, &name, &flags)) return nullptr;
    void* p = nullptr;
    int res = SwigPyObject_ConvertPtr(obj, &p, descriptor_arg(name), flags, nullptr);
    return Py_BuildValue("(iK)", res, static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
}

// Character buffers that pointer objects of _p_char and _p_wchar_t point at; kept for the process.
std::deque<std::string>& narrow_texts() {
    static std::deque<std::string> texts;
    return texts;
}
std::deque<std::wstring>& wide_texts() {
    static std::deque<std::wstring> texts;
    return texts;
}

PyObject* char_pointer(PyObject*, PyObject* data) {
    char* bytes;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return nullptr;
    const std::string& kept = narrow_texts().emplace_back(bytes, size);
    return SwigPyObject_NewPointerObject(const_cast<char*>(kept.c_str()), SwigRuntime_QueryType("_p_char"), 0);
}

PyObject* wchar_pointer(PyObject*, PyObject* text) {
    Py_ssize_t size = PyUnicode_AsWideChar(text, nullptr, 0);
    if (size < 0) return nullptr;
    std::wstring buffer(static_cast<std::size_t>(size), L'\0');
    PyUnicode_AsWideChar(text, buffer.data(), size);
    const std::wstring& kept = wide_texts().emplace_back(buffer.c_str());
    return SwigPyObject_NewPointerObject(const_cast<wchar_t*>(kept.c_str()), SwigRuntime_QueryType("_p_wchar_t"),
                                         0);
}

PyObject* proxy_type(PyObject*, PyObject*) {
    auto* t = reinterpret_cast<PyObject*>(SwigPyObject_Type());
    Py_INCREF(t);
    return t;
}

// make_packed(type_name, data): a SwigPyPacked holding a copy of the bytes.
PyObject* make_packed(PyObject*, PyObject* args) {
    PyObject *name, *data;
    char* bytes;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "OO", &name, &data) || PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return nullptr;
    return SwigPyPacked_New(bytes, static_cast<std::size_t>(size), descriptor_arg(name));
}

// make_owned_pointer(type_name, address, flags, owner): a pointer object whose proxy keeps owner alive.
PyObject* make_owned_pointer(PyObject*, PyObject* args) {
    PyObject *name, *owner;
    unsigned long long address;
    int flags;
    if (!PyArg_ParseTuple(args, "OKiO", &name, &address, &flags, &owner)) return nullptr;
    SwigTypeInfo* ty = descriptor_arg(name);
    if (!ty) {
        PyErr_SetString(PyExc_LookupError, "unknown type");
        return nullptr;
    }
    return SwigPyObject_NewPointerObject(reinterpret_cast<void*>(address), ty, flags, owner);
}

// Delete entries with typed destructors. Called as built-ins (before register_typed_deletes, or by
// a generic path) they count the call; result_delete then deletes the TqResult its proxy points at.
long g_generic_deletes = 0;

PyObject* result_delete(PyObject*, PyObject* proxy) {
    ++g_generic_deletes;
    if (!SwigPyObject_Check(proxy)) {
        PyErr_SetString(PyExc_TypeError, "a proxy is needed");
        return nullptr;
    }
    auto* sobj = reinterpret_cast<SwigPyObject*>(proxy);
    delete static_cast<TqResult*>(sobj->ptr);
    sobj->ptr = nullptr;
    Py_RETURN_NONE;
}

PyObject* throwing_delete(PyObject*, PyObject*) {
    ++g_generic_deletes;
    Py_RETURN_NONE;
}

void destroy_result(void* p) { delete static_cast<TqResult*>(p); }
void destroy_throwing(void*) { throw std::runtime_error("typed destroy failed"); }

PyObject* register_typed_deletes(PyObject*, PyObject*) {
    register_destructor(result_delete, destroy_result);
    register_destructor(throwing_delete, destroy_throwing);
    Py_RETURN_NONE;
}

PyObject* generic_deletes(PyObject*, PyObject*) { return PyLong_FromLong(g_generic_deletes); }

// ---- stand-in SDK accounting ----

PyObject* live_objects(PyObject*, PyObject*) {
    PyObject* out = PyDict_New();
    for (const auto& [cls, count] : TqLiveObjects::Snapshot()) {
        PyObject* v = PyLong_FromLong(count);
        PyDict_SetItemString(out, cls.c_str(), v);
        Py_DECREF(v);
    }
    return out;
}

// arm_gate(timeout_ms): the next SDK object constructed or destroyed waits for open_gate() from
// another thread; gate_opened() then tells whether it came while the SDK call was waiting.
PyObject* arm_gate(PyObject*, PyObject* timeout) {
    unsigned long ms = PyLong_AsUnsignedLong(timeout);
    if (PyErr_Occurred()) return nullptr;
    TqLiveObjects::ArmGate(static_cast<unsigned>(ms));
    Py_RETURN_NONE;
}

PyObject* open_gate(PyObject*, PyObject*) {
    TqLiveObjects::OpenGate();
    Py_RETURN_NONE;
}

PyObject* gate_opened(PyObject*, PyObject*) { return PyBool_FromLong(TqLiveObjects::GateOpened()); }

// ---- fake NumPy table ----

std::atomic<unsigned> g_fake_abi{0x1000009};
std::atomic<unsigned> g_fake_feature{0x10};
std::atomic<int> g_fake_endian{1};
unsigned fake_abi() { return g_fake_abi; }
unsigned fake_feature() { return g_fake_feature; }
int fake_endian() { return g_fake_endian; }
void* g_fake_table[212];

// fake_array_api(abi, feature, endianness, null=False): a capsule like numpy's "_ARRAY_API".
PyObject* fake_array_api(PyObject*, PyObject* args) {
    unsigned abi, feature;
    int endian, null = 0;
    if (!PyArg_ParseTuple(args, "IIi|p", &abi, &feature, &endian, &null)) return nullptr;
    g_fake_abi = abi;
    g_fake_feature = feature;
    g_fake_endian = endian;
    g_fake_table[0] = reinterpret_cast<void*>(&fake_abi);
    g_fake_table[210] = reinterpret_cast<void*>(&fake_endian);
    g_fake_table[211] = reinterpret_cast<void*>(&fake_feature);
    static int dummy;
    return PyCapsule_New(null ? static_cast<void*>(&dummy) : g_fake_table, nullptr, nullptr);
}

// ---- probes: free functions wrapped with the same templates as the public table ----

template <class T>
T echo(T value) {
    return value;
}

TqResult fill_outputs(uint32_t code, uint32_t& number, bool& flag, TqString& text) {
    number = 42;
    flag = true;
    text = TqString(L"filled");
    return TqResult(code);
}

void fill_void(int64_t& value) { value = -5; }

TqResult make_result(uint32_t code) { return TqResult(code); }

// Blocks until another Python thread has run while this call was in the SDK (or gives up after 5 s):
// returns whether it saw that thread run, which it can only when the wrapper released the GIL.
std::atomic<long> g_ticks{0};
bool wait_for_python(uint32_t) {
    long start = g_ticks.load();
    for (int i = 0; i < 5000; ++i) {
        if (g_ticks.load() != start) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

PyObject* tick(PyObject*, PyObject*) {
    ++g_ticks;
    Py_RETURN_NONE;
}

kivo::module::Entries probe_entries() {
    return {
        function<"probe_bool", &echo<bool>>("aValue"),
        function<"probe_int32", &echo<int32_t>>("aValue"),
        function<"probe_uint32", &echo<uint32_t>>("aValue"),
        function<"probe_uint16", &echo<uint16_t>>("aValue"),
        function<"probe_uint8", &echo<uint8_t>>("aValue"),
        function<"probe_int64", &echo<int64_t>>("aValue"),
        function<"probe_uint64", &echo<uint64_t>>("aValue"),
        function<"probe_double", &echo<double>>("aValue"),
        function<"probe_float", &echo<float>>("aValue"),
        function<"probe_pixel", &echo<TqPixelType>>("aValue"),
        function<"probe_text", &echo<const char*>>("aValue"),
        function<"probe_wide", &echo<const wchar_t*>>("aValue"),
        function<"probe_outputs", &fill_outputs>("aCode,aNumber,aFlag,aText"),
        function<"probe_outputs_tuple", &fill_outputs, TupleOutputs>("aCode,aNumber,aFlag,aText"),
        function<"probe_void_output", &fill_void>("aValue"),
        function<"probe_release_gil", &wait_for_python>("aTimeout"),
        function<"probe_keep_gil", &wait_for_python, KeepGil>("aTimeout"),
        function<"probe_make_result", &make_result>("aCode"),
        function<"probe_flags_varargs", &echo<bool>, Flags<METH_VARARGS>>("aValue"),
        function<"probe_make_result_keep_gil", &make_result, KeepGil>("aCode"),
    };
}

PyMethodDef kHookMethods[] = {
    {"make_pointer", make_pointer, METH_VARARGS, nullptr},
    {"query", query, METH_O, nullptr},
    {"cache_keys", cache_keys, METH_NOARGS, nullptr},
    {"casts", casts, METH_O, nullptr},
    {"client_class", client_class, METH_O, nullptr},
    {"register_class", register_class, METH_VARARGS, nullptr},
    {"convert", convert, METH_VARARGS, nullptr},
    {"char_pointer", char_pointer, METH_O, nullptr},
    {"wchar_pointer", wchar_pointer, METH_O, nullptr},
    {"proxy_type", proxy_type, METH_NOARGS, nullptr},
    {"make_packed", make_packed, METH_VARARGS, nullptr},
    {"make_owned_pointer", make_owned_pointer, METH_VARARGS, nullptr},
    {"result_delete", result_delete, METH_O, nullptr},
    {"throwing_delete", throwing_delete, METH_O, nullptr},
    {"register_typed_deletes", register_typed_deletes, METH_NOARGS, nullptr},
    {"generic_deletes", generic_deletes, METH_NOARGS, nullptr},
    {"live_objects", live_objects, METH_NOARGS, nullptr},
    {"fake_array_api", fake_array_api, METH_VARARGS, nullptr},
    {"tick", tick, METH_NOARGS, nullptr},
    {"arm_gate", arm_gate, METH_O, nullptr},
    {"open_gate", open_gate, METH_NOARGS, nullptr},
    {"gate_opened", gate_opened, METH_NOARGS, nullptr},
};

PyMethodDef* hook_table() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> defs(std::begin(kHookMethods), std::end(kHookMethods));
        append_method_defs(defs, probe_entries());
        defs.push_back({nullptr, nullptr, 0, nullptr});
        return defs;
    }();
    return table.data();
}

PyModuleDef g_definition = {PyModuleDef_HEAD_INIT, "_kivo_testhooks", nullptr, -1, nullptr,
                            nullptr,               nullptr,           nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kivo_testhooks() {
    kivo::rt::ensure_globals();
    PyTypeObject* proxy = SwigPyObject_Type();
    if (!proxy) return nullptr;
    g_definition.m_methods = hook_table();
    PyObject* m = PyModule_Create2(&g_definition, 3);
    if (!m) return nullptr;
    SwigModuleInfo& block = kivo::module::module_block();
    SwigRuntime_InitTypeTable(&block);
    return m;
}
