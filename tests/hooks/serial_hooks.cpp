// Test-module functions for device serial ports: the far end of a device's UART bridge, the marking
// of its ports, a port's 64-bit counters, and a native echo sink that records what it hears.
//
// A device is named as the other hooks name it: an integer is a handle of soft_device_start; a
// string is the connection ID of a simulated record (the simulated USB3 Vision device's is its GUID,
// "4B4956000417", once sim_add_hardware ran). Both reach the device's own side of its memory (for a
// handle through the engine hooks' soft_device_write_memory and soft_device_write), where the bridge
// takes received bytes and the unsupported mark (see TqEngine::Serial).
//
//   serial_inject(device, port, data) -> status     bytes the port's far end sent; the GigE Vision
//                                                   status of the first refused block (0: all taken;
//                                                   0x8003 for a port beyond 9)
//   serial_unsupported(device, port, flag) -> status  marks the port unsupported (True) or not
//   serial_preset_statistics(port, sent, received) -> bool  sets a TqDeviceSerialPort's counters
//   serial_echo_sink() -> pointer object of `TqDeviceSerialPortEchoSink *` over a native recorder
//   serial_echo_events(sink) -> [(kind, port, bytes), ...]  kind "write", "read" or "complete"
//   free_serial_echo_sink(sink)
#include "convert.h"
#include "hook_tables.h"
#include "proxy.h"
#include "registry.h"

#include "TqDeviceEngine.h"
#include "TqDeviceSerialPort.h"
#include "TqSimulation.h"
#include "TqWireBytes.h"

#include "../../sdk/serial/TqSerialTesting.h"

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

namespace Serial = TqEngine::Serial;

void* pointer_of(PyObject* o, const char* type) {
    void* p = nullptr;
    SwigTypeInfo* ty = SwigRuntime_QueryType(type);
    if (!ty || SwigPyObject_ConvertPtr(o, &p, ty, 0, nullptr) < 0 || !p) {
        PyErr_Format(PyExc_TypeError, "a %s proxy is needed", type);
        return nullptr;
    }
    return p;
}

// A function of the test module's other tables, by name.
PyCFunction row(const char* name) {
    for (const PyMethodDef* rows : kivo::hooks::extra_tables())
        for (; rows->ml_name; ++rows)
            if (std::strcmp(rows->ml_name, name) == 0) return rows->ml_meth;
    return nullptr;
}

// The device's own side: a memory write and a register write, each giving the device's status (or
// -1 with a Python error set).
struct Side {
    std::function<long(uint32_t, const std::vector<uint8_t>&)> write_memory;
    std::function<long(uint32_t, uint32_t)> write_register;
};

long status_of(PyObject* result) {
    if (!result) return -1;
    long status = PyLong_AsLong(result);
    Py_DECREF(result);
    return status;
}

bool side_of(PyObject* device, Side& side) {
    if (PyLong_Check(device)) {
        long handle = PyLong_AsLong(device);
        PyCFunction memory = row("soft_device_write_memory"), reg = row("soft_device_write");
        if (!memory || !reg) {
            PyErr_SetString(PyExc_RuntimeError, "the engine hooks are missing");
            return false;
        }
        side.write_memory = [=](uint32_t address, const std::vector<uint8_t>& data) {
            PyObject* args = Py_BuildValue("(lIy#)", handle, address, reinterpret_cast<const char*>(data.data()),
                                           static_cast<Py_ssize_t>(data.size()));
            long status = args ? status_of(memory(nullptr, args)) : -1;
            Py_XDECREF(args);
            return status;
        };
        side.write_register = [=](uint32_t address, uint32_t value) {
            PyObject* args = Py_BuildValue("(lII)", handle, address, value);
            long status = args ? status_of(reg(nullptr, args)) : -1;
            Py_XDECREF(args);
            return status;
        };
        return true;
    }
    PyObject* bytes = PyUnicode_Check(device) ? PyUnicode_AsUTF8String(device) : nullptr;
    if (!bytes) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a device handle or a connection ID is needed");
        return false;
    }
    std::shared_ptr<TqEngine::Device> engine = TqSimulation::Device(PyBytes_AsString(bytes));
    Py_DECREF(bytes);
    if (!engine) {
        PyErr_SetString(PyExc_LookupError, "no simulated device with that connection ID");
        return false;
    }
    side.write_memory = [engine](uint32_t address, const std::vector<uint8_t>& data) {
        long status;
        Py_BEGIN_ALLOW_THREADS
        status = engine->WriteMemory(address, data.data(), data.size());
        Py_END_ALLOW_THREADS
        return status;
    };
    side.write_register = [engine](uint32_t address, uint32_t value) {
        long status;
        Py_BEGIN_ALLOW_THREADS
        status = engine->WriteRegister(address, value);
        Py_END_ALLOW_THREADS
        return status;
    };
    return true;
}

PyObject* serial_inject(PyObject*, PyObject* args) {
    PyObject* device;
    unsigned int port;
    const char* data;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "OIy#", &device, &port, &data, &size)) return nullptr;
    if (port >= Serial::kPorts) return PyLong_FromLong(TqEngine::Gvcp::kInvalidAddress);
    Side side;
    if (!side_of(device, side)) return nullptr;
    const std::string copy(data, static_cast<size_t>(size));   // the bytes object may go while the GIL is free
    // Blocks of the receive window: a count word, then the bytes padded to whole words.
    for (size_t done = 0; done < copy.size();) {
        const size_t n = std::min<size_t>(copy.size() - done, Serial::kMaxInject);
        std::vector<uint8_t> block(4 + ((n + 3) & ~size_t(3)), 0);
        TqWire::Put32(block.data(), uint32_t(n));
        std::memcpy(block.data() + 4, copy.data() + done, n);
        long status = side.write_memory(Serial::Base(port) + Serial::kReceive, block);
        if (status != 0) return status < 0 ? nullptr : PyLong_FromLong(status);
        done += n;
    }
    return PyLong_FromLong(0);
}

PyObject* serial_unsupported(PyObject*, PyObject* args) {
    PyObject* device;
    unsigned int port;
    int flag;
    if (!PyArg_ParseTuple(args, "OIp", &device, &port, &flag)) return nullptr;
    if (port >= Serial::kPorts) return PyLong_FromLong(TqEngine::Gvcp::kInvalidAddress);
    Side side;
    if (!side_of(device, side)) return nullptr;
    long status = side.write_register(Serial::Base(port) + Serial::kControl, flag ? Serial::kControlUnsupported : 0);
    return status < 0 ? nullptr : PyLong_FromLong(status);
}

PyObject* serial_preset_statistics(PyObject*, PyObject* args) {
    PyObject* proxy;
    unsigned long long sent, received;
    if (!PyArg_ParseTuple(args, "OKK", &proxy, &sent, &received)) return nullptr;
    void* port = pointer_of(proxy, "_p_TqDeviceSerialPort");
    if (!port) return nullptr;
    return PyBool_FromLong(TqSerialLib::PresetStatistics(static_cast<TqDeviceSerialPort*>(port), sent, received));
}

// A native echo sink that records (kind, port, bytes).
class EchoRecorder : public TqDeviceSerialPortEchoSink {
public:
    void OnWrite(TqDeviceSerial aPort, const uint8_t* aBuffer, uint32_t aLength) override { add("write", aPort, aBuffer, aLength); }
    void OnRead(TqDeviceSerial aPort, const uint8_t* aBuffer, uint32_t aLength) override { add("read", aPort, aBuffer, aLength); }
    void OnReadComplete(TqDeviceSerial aPort) override { add("complete", aPort, nullptr, 0); }

    struct Event {
        const char* kind;
        int port;
        std::string bytes;
    };
    std::mutex lock;
    std::vector<Event> events;

private:
    void add(const char* kind, TqDeviceSerial port, const uint8_t* buffer, uint32_t length) {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back({kind, static_cast<int>(port), buffer ? std::string(reinterpret_cast<const char*>(buffer), length) : ""});
    }
};

EchoRecorder* recorder_of(PyObject* o) {
    void* p = pointer_of(o, "_p_TqDeviceSerialPortEchoSink");
    return p ? static_cast<EchoRecorder*>(static_cast<TqDeviceSerialPortEchoSink*>(p)) : nullptr;
}

PyObject* serial_echo_sink(PyObject*, PyObject*) {
    SwigTypeInfo* type = SwigRuntime_QueryType("_p_TqDeviceSerialPortEchoSink");
    if (!type) return PyErr_Format(PyExc_RuntimeError, "the module has no TqDeviceSerialPortEchoSink type");
    return SwigPyObject_NewPointerObject(static_cast<TqDeviceSerialPortEchoSink*>(new EchoRecorder), type, 0);
}

PyObject* serial_echo_events(PyObject*, PyObject* o) {
    EchoRecorder* r = recorder_of(o);
    if (!r) return nullptr;
    std::lock_guard<std::mutex> guard(r->lock);
    PyObject* out = PyList_New(0);
    for (const auto& e : r->events) {
        PyObject* item = out ? Py_BuildValue("(siy#)", e.kind, e.port, e.bytes.data(), static_cast<Py_ssize_t>(e.bytes.size())) : nullptr;
        if (!item || PyList_Append(out, item) < 0) Py_CLEAR(out);
        Py_XDECREF(item);
    }
    return out;
}

PyObject* free_serial_echo_sink(PyObject*, PyObject* o) {
    EchoRecorder* r = recorder_of(o);
    if (!r) return nullptr;
    delete r;
    Py_RETURN_NONE;
}

const PyMethodDef kRows[] = {
    {"serial_inject", serial_inject, METH_VARARGS, nullptr},
    {"serial_unsupported", serial_unsupported, METH_VARARGS, nullptr},
    {"serial_preset_statistics", serial_preset_statistics, METH_VARARGS, nullptr},
    {"serial_echo_sink", serial_echo_sink, METH_NOARGS, nullptr},
    {"serial_echo_events", serial_echo_events, METH_O, nullptr},
    {"free_serial_echo_sink", free_serial_echo_sink, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

kivo::hooks::HookTable registered{kRows};

}  // namespace
