// Test-module functions over the stand-in's model of the host: simulated hardware, and the host's
// interfaces handed out as borrowed proxies of their kind.
#include "devices.h"
#include "hook_tables.h"
#include "proxy.h"

#include "TqLiveObjects.h"
#include "TqSimulation.h"
#include "TqDeviceEngine.h"
#include "TqGvcpClient.h"
#include "TqSystem.h"

#include <atomic>

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

// call_log(member): the last arguments the stand-in member got, as text, or None.
PyObject* call_log(PyObject*, PyObject* member) {
    PyObject* name = PyUnicode_Check(member) ? PyUnicode_AsUTF8String(member) : nullptr;
    if (!name) return PyErr_Format(PyExc_TypeError, "a member name is needed");
    std::string arguments;
    bool called = TqCallLog::Last(PyBytes_AsString(name), arguments);
    Py_DECREF(name);
    if (!called) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(arguments.data(), static_cast<Py_ssize_t>(arguments.size()));
}

// system_sink(): a borrowed proxy of a native system event sink that counts the devices it is told
// of; system_sink_count(): how many.
class CountingSystemSink : public TqSystemEventSink {
public:
    void OnDeviceFound(const TqInterface*, const TqDeviceInfo*) override { ++count; }
    std::atomic<int> count{0};
};
CountingSystemSink& counting_system_sink() {
    static auto* sink = new CountingSystemSink;   // lives as long as the process
    return *sink;
}
PyObject* system_sink(PyObject*, PyObject*) {
    return SwigPyObject_NewPointerObject(static_cast<TqSystemEventSink*>(&counting_system_sink()),
                                         kivo::module::type(kivo::module::TypeId::TqSystemEventSink), 0);
}
PyObject* system_sink_count(PyObject*, PyObject*) { return PyLong_FromLong(counting_system_sink().count); }

// discovery_target(address): discovery also asks this loopback address by unicast (a peer bound to
// one address hears no broadcast); discovery_targets_clear() forgets the added ones.
PyObject* discovery_target(PyObject*, PyObject* address) {
    PyObject* bytes = PyUnicode_Check(address) ? PyUnicode_AsUTF8String(address) : nullptr;
    if (!bytes) return PyErr_Format(PyExc_TypeError, "an address text is needed");
    uint32_t ip = 0;
    bool parsed = TqGvcpClient::ParseIp(PyBytes_AsString(bytes), ip);
    Py_DECREF(bytes);
    if (!parsed) return PyErr_Format(PyExc_ValueError, "not an IPv4 address");
    TqGvcpClient::AddDiscoveryTarget(ip);
    Py_RETURN_NONE;
}
PyObject* discovery_targets_clear(PyObject*, PyObject*) {
    TqGvcpClient::ClearDiscoveryTargets();
    Py_RETURN_NONE;
}

// sim_device_xml(connection_id, text): the device behind a simulated record serves this description.
PyObject* sim_device_xml(PyObject*, PyObject* args) {
    const char* id;
    const char* xml;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "ss#", &id, &xml, &size)) return nullptr;
    auto device = TqSimulation::Device(id);
    if (!device) return PyErr_Format(PyExc_LookupError, "no simulated device with that connection ID");
    device->ReplaceXml(std::string(xml, static_cast<size_t>(size)));
    Py_RETURN_NONE;
}

PyMethodDef kRows[] = {
    {"sim_device_xml", sim_device_xml, METH_VARARGS, nullptr},
    {"discovery_target", discovery_target, METH_O, nullptr},
    {"discovery_targets_clear", discovery_targets_clear, METH_NOARGS, nullptr},
    {"system_sink", system_sink, METH_NOARGS, nullptr},
    {"system_sink_count", system_sink_count, METH_NOARGS, nullptr},
    {"call_log", call_log, METH_O, nullptr},
    {"sim_add_hardware", sim_add_hardware, METH_NOARGS, nullptr},
    {"sim_remove_hardware", sim_remove_hardware, METH_NOARGS, nullptr},
    {"sim_interfaces", sim_interfaces, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
kivo::hooks::HookTable registered{kRows};

}  // namespace
