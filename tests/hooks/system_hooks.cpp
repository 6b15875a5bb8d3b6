// Test-module functions over the stand-in's model of the host: simulated hardware, and the host's
// interfaces handed out as borrowed proxies of their kind.
#include "devices.h"
#include "hook_tables.h"
#include "proxy.h"

#include "TqSimulation.h"

namespace {

PyObject* sim_add_hardware(PyObject*, PyObject*) {
    Py_BEGIN_ALLOW_THREADS
    TqSimulation::AddHardware();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* sim_remove_hardware(PyObject*, PyObject*) {
    Py_BEGIN_ALLOW_THREADS
    TqSimulation::RemoveHardware();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// sim_interfaces(): the host's interfaces in discovery order, lo first.
PyObject* sim_interfaces(PyObject*, PyObject*) {
    std::vector<TqInterface*> interfaces;
    Py_BEGIN_ALLOW_THREADS
    interfaces = TqSimulation::Interfaces();
    Py_END_ALLOW_THREADS
    PyObject* list = PyList_New(0);
    for (TqInterface* i : interfaces) {
        PyObject* proxy = list ? SwigPyObject_NewPointerObject(i, kivo::module::InterfaceKinds::type_of(i), 0) : nullptr;
        if (!proxy || PyList_Append(list, proxy) < 0) Py_CLEAR(list);
        Py_XDECREF(proxy);
    }
    return list;
}

PyMethodDef kRows[] = {
    {"sim_add_hardware", sim_add_hardware, METH_NOARGS, nullptr},
    {"sim_remove_hardware", sim_remove_hardware, METH_NOARGS, nullptr},
    {"sim_interfaces", sim_interfaces, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
kivo::hooks::HookTable registered{kRows};

}  // namespace
