// Test module functions that drive device callbacks from native threads: a sink's members called
// from a thread Python has never seen, with any values; and a native generic device event sink that
// records what an adapter forwards to it.
#include "convert.h"
#include "hook_tables.h"
#include "proxy.h"
#include "registry.h"

#include "TqDevice.h"
#include "TqDeviceAdapter.h"
#include "TqDeviceEventSink.h"

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

void* pointer_of(PyObject* o, const char* type) {
    if (o == Py_None) return nullptr;
    void* p = nullptr;
    SwigTypeInfo* ty = SwigRuntime_QueryType(type);
    if (!ty || SwigPyObject_ConvertPtr(o, &p, ty, 0, nullptr) < 0) {
        PyErr_Format(PyExc_TypeError, "a %s proxy is needed", type);
        return reinterpret_cast<void*>(-1);
    }
    return p;
}

// fire_device_sink(sink, member, ...) calls the sink's member on a new native thread and waits for
// it with the GIL released. Members and their further arguments:
//   "OnLinkDisconnected", "OnLinkReconnected": device (a TqDevice proxy or None)
//   "OnEvent": device, event ID, channel, block ID, timestamp, data (bytes or None), length
//   "OnEventGenICam": device, event ID, channel, block ID, timestamp (no list)
//   "OnCmdLinkRead", "OnCmdLinkWrite": data (bytes), address
// Returns "ok", or "threw" when the member let an exception out.
PyObject* fire_device_sink(PyObject*, PyObject* args) {
    Py_ssize_t n = PyTuple_Size(args);
    if (n < 2) {
        PyErr_SetString(PyExc_TypeError, "fire_device_sink(sink, member, ...)");
        return nullptr;
    }
    void* sink_p = pointer_of(PyTuple_GetItem(args, 0), "_p_TqDeviceEventSink");
    if (sink_p == reinterpret_cast<void*>(-1)) return nullptr;
    auto* sink = static_cast<TqDeviceEventSink*>(sink_p);
    PyObject* encoded = PyUnicode_AsUTF8String(PyTuple_GetItem(args, 1));
    if (!encoded) return nullptr;
    std::string member = PyBytes_AsString(encoded);
    Py_DECREF(encoded);
    auto arg = [&](Py_ssize_t i) { return i < n ? PyTuple_GetItem(args, i) : Py_None; };
    const bool with_device = member.rfind("OnCmdLink", 0) != 0;
    void* device_p = with_device && n > 2 ? pointer_of(arg(2), "_p_TqDevice") : nullptr;
    if (device_p == reinterpret_cast<void*>(-1)) return nullptr;
    auto* device = static_cast<TqDevice*>(device_p);
    auto u64 = [&](Py_ssize_t i) { return arg(i) == Py_None ? 0ull : PyLong_AsUnsignedLongLong(arg(i)); };
    // The bytes stay where they are after the call, as the SDK's memory does: a view kept past the
    // callback reads them (until the next call), not freed memory.
    static std::vector<uint8_t>& bytes = *new std::vector<uint8_t>;
    bool null_data = true;
    std::function<void()> call;
    if (member == "OnLinkDisconnected") {
        call = [=] { sink->OnLinkDisconnected(device); };
    } else if (member == "OnLinkReconnected") {
        call = [=] { sink->OnLinkReconnected(device); };
    } else if (member == "OnEvent" || member == "OnEventGenICam") {
        auto id = static_cast<uint16_t>(u64(3)), channel = static_cast<uint16_t>(u64(4));
        uint64_t block = u64(5), timestamp = u64(6);
        if (member == "OnEvent") {
            if (PyBytes_Check(arg(7))) {
                bytes.assign(PyBytes_AsString(arg(7)), PyBytes_AsString(arg(7)) + PyBytes_Size(arg(7)));
                null_data = false;
            }
            auto length = static_cast<uint32_t>(n > 8 ? u64(8) : bytes.size());
            call = [=] {
                sink->OnEvent(device, id, channel, block, timestamp, null_data ? nullptr : bytes.data(), length);
            };
        } else {
            call = [=] { sink->OnEventGenICam(device, id, channel, block, timestamp, nullptr); };
        }
    } else if (member == "OnCmdLinkRead" || member == "OnCmdLinkWrite") {
        PyObject* data = arg(2);
        if (!PyBytes_Check(data)) {
            PyErr_SetString(PyExc_TypeError, "bytes needed");
            return nullptr;
        }
        bytes.assign(PyBytes_AsString(data), PyBytes_AsString(data) + PyBytes_Size(data));
        int64_t address = PyLong_AsLongLong(arg(3));
        bool read = member == "OnCmdLinkRead";
        call = [=] {
            if (read)
                sink->OnCmdLinkRead(bytes.data(), address, static_cast<int64_t>(bytes.size()));
            else
                sink->OnCmdLinkWrite(bytes.data(), address, static_cast<int64_t>(bytes.size()));
        };
    } else {
        PyErr_SetString(PyExc_ValueError, "unknown member");
        return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    bool threw = false;
    Py_BEGIN_ALLOW_THREADS
    std::thread worker([&] {
        try {
            call();
        } catch (...) {
            threw = true;
        }
    });
    worker.join();
    Py_END_ALLOW_THREADS
    return PyUnicode_FromString(threw ? "threw" : "ok");
}

// A native generic device event sink that records (event ID, channel, block ID, timestamp, data).
class Recorder : public ITqDeviceEventSink {
public:
    void OnEvent(ITqDeviceAdapter*, uint16_t aEventID, uint16_t aChannel, uint64_t aBlockID, uint64_t aTimestamp,
                 const void* aData, uint32_t aDataLength) override {
        std::lock_guard<std::mutex> guard(mLock);
        const auto* p = static_cast<const char*>(aData);
        mEvents.push_back({aEventID, aChannel, aBlockID, aTimestamp, p ? std::string(p, aDataLength) : std::string()});
    }
    struct Event {
        uint16_t id, channel;
        uint64_t block, timestamp;
        std::string data;
    };
    std::mutex mLock;
    std::vector<Event> mEvents;
};

// generic_sink() -> a new pointer object of `ITqDeviceEventSink *` over a native recorder (freed by
// free_generic_sink); generic_sink_events(sink) -> [(id, channel, block, timestamp, bytes), ...]
PyObject* generic_sink(PyObject*, PyObject*) {
    return SwigPyObject_NewPointerObject(static_cast<ITqDeviceEventSink*>(new Recorder),
                                         SwigRuntime_QueryType("_p_ITqDeviceEventSink"), 0);
}

Recorder* recorder_of(PyObject* o) {
    void* p = pointer_of(o, "_p_ITqDeviceEventSink");
    if (p == reinterpret_cast<void*>(-1) || !p) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "null sink");
        return nullptr;
    }
    return static_cast<Recorder*>(static_cast<ITqDeviceEventSink*>(p));
}

PyObject* generic_sink_events(PyObject*, PyObject* o) {
    Recorder* r = recorder_of(o);
    if (!r) return nullptr;
    std::lock_guard<std::mutex> guard(r->mLock);
    PyObject* out = PyList_New(0);
    for (const auto& e : r->mEvents) {
        PyObject* item = Py_BuildValue("(iiKKy#)", e.id, e.channel, static_cast<unsigned long long>(e.block),
                                       static_cast<unsigned long long>(e.timestamp), e.data.data(),
                                       static_cast<Py_ssize_t>(e.data.size()));
        PyList_Append(out, item);
        Py_DECREF(item);
    }
    return out;
}

PyObject* free_generic_sink(PyObject*, PyObject* o) {
    Recorder* r = recorder_of(o);
    if (!r) return nullptr;
    delete r;
    Py_RETURN_NONE;
}

// string_list() -> a new pointer object of `TqStringList *` (freed by free_string_list);
// string_list_items(list) -> [str, ...]
PyObject* string_list(PyObject*, PyObject*) {
    return SwigPyObject_NewPointerObject(new TqStringList, SwigRuntime_QueryType("_p_TqStringList"), 0);
}

PyObject* string_list_items(PyObject*, PyObject* o) {
    void* p = pointer_of(o, "_p_TqStringList");
    if (p == reinterpret_cast<void*>(-1) || !p) return nullptr;
    const auto& list = *static_cast<TqStringList*>(p);
    PyObject* out = PyList_New(0);
    for (uint32_t i = 0; i < list.GetSize(); ++i) {
        PyObject* item = PyUnicode_FromWideChar(list.GetItem(i).GetUnicode(), -1);
        PyList_Append(out, item);
        Py_DECREF(item);
    }
    return out;
}

PyObject* free_string_list(PyObject*, PyObject* o) {
    void* p = pointer_of(o, "_p_TqStringList");
    if (p == reinterpret_cast<void*>(-1) || !p) return nullptr;
    delete static_cast<TqStringList*>(p);
    Py_RETURN_NONE;
}

const PyMethodDef kRows[] = {
    {"fire_device_sink", fire_device_sink, METH_VARARGS, nullptr},
    {"generic_sink", generic_sink, METH_NOARGS, nullptr},
    {"generic_sink_events", generic_sink_events, METH_O, nullptr},
    {"free_generic_sink", free_generic_sink, METH_O, nullptr},
    {"string_list", string_list, METH_NOARGS, nullptr},
    {"string_list_items", string_list_items, METH_O, nullptr},
    {"free_string_list", free_string_list, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

kivo::hooks::HookTable registered{kRows};

}  // namespace
