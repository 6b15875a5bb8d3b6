// _kivo_testhooks: a second extension module on the same binding runtime, for tests only. It joins
// the runtime capsule, makes pointer objects that no public wrapper hands out, exposes probe
// functions built with the same wrapper templates (every converter and result shape), reads the
// stand-in SDK's live-object accounting and fakes NumPy's C-API table.
#include "classes.h"
#include "hook_tables.h"
#include "module_block.h"
#include "directors.h"
#include "views.h"
#include "numpy_input.h"
#include "proxy.h"
#include "sdk_types.h"
#include "startup.h"
#include "types.h"

#include "TqBuffer.h"
#include "TqChunkData.h"
#include "TqGenParameterArray.h"
#include "TqDevice.h"
#include "TqLogger.h"
#include "TqLogSink.h"
#include "TqDeviceAdapter.h"
#include "TqGenParameter.h"
#include "TqImage.h"
#include "TqRawData.h"
#include "TqLiveObjects.h"
#include "TqMemoryBlocks.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <thread>

// A plain record with member variables, for the member-variable rows; its destructor throws what
// mFailure says (nothing when it is empty), as an SDK destructor may.
struct ProbeRecord {
    ~ProbeRecord() noexcept(false) {
        if (!mFailure.empty()) throw std::runtime_error(mFailure);
    }
    uint32_t mCount = 3;
    double mLevel = 0.5;
    std::string mName = "first";
    std::string mFailure;
    TqLiveObjects::Counter mCounter{"ProbeRecord"};
};

// A callback interface with a result of each kind a director converts.
class ProbeSink {
public:
    virtual ~ProbeSink() = default;
    virtual int32_t OnValue(int32_t aValue) = 0;
    virtual TqResult Check(uint32_t aValue) = 0;
};

// Its director: the base plus one line per virtual.
class SwigDirector_ProbeSink : public kivo::rt::DirectorOf<ProbeSink, "ProbeSink"> {
public:
    KIVO_DIRECTOR(SwigDirector_ProbeSink)
    KIVO_PURE_VIRTUAL(int32_t, OnValue, int32_t)
    KIVO_PURE_VIRTUAL(TqResult, Check, uint32_t)
};

// A class Python may subclass whose constructor takes arguments, each with a default.
class ProbeShape {
public:
    explicit ProbeShape(uint32_t aWidth = 640, uint32_t aHeight = 480, size_t aCount = 16)
        : mWidth(aWidth), mHeight(aHeight), mCount(aCount) {}
    virtual ~ProbeShape() = default;
    virtual uint32_t Area() { return mWidth * mHeight; }
    uint32_t mWidth, mHeight;
    size_t mCount;
    TqLiveObjects::Counter mCounter{"ProbeShape"};
};

class SwigDirector_ProbeShape : public kivo::rt::DirectorOf<ProbeShape, "ProbeShape"> {
public:
    KIVO_DIRECTOR(SwigDirector_ProbeShape)
    KIVO_VIRTUAL(uint32_t, Area)
};

template <>
struct kivo::rt::TypeOf<ProbeShape> {
    static SwigTypeInfo* descriptor() { return kivo::module::type(kivo::module::TypeId::std__vectorT_std__string_t); }
    static constexpr const char* name = "ProbeShape";
};

// The test-only record lives behind a descriptor that no wrapper uses.
template <>
struct kivo::rt::TypeOf<ProbeRecord> {
    static SwigTypeInfo* descriptor() {
        return kivo::module::type(kivo::module::TypeId::std__vectorT_TqSystemLib__IPConfig_t);
    }
    static constexpr const char* name = "ProbeRecord";
};

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

// ---- directors ----

// shape_facts(proxy) -> (width, height, count, Area()) of a ProbeShape made by new_ProbeShape; Area
// is called as the SDK would (a Python override answers).
PyObject* shape_facts(PyObject*, PyObject* proxy) {
    void* p = nullptr;
    if (SwigPyObject_ConvertPtr(proxy, &p, descriptor_of<ProbeShape>(), 0, nullptr) < 0 || !p) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a ProbeShape proxy");
        return nullptr;
    }
    auto* shape = static_cast<ProbeShape*>(p);
    uint32_t area = 0;
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS try {
        area = shape->Area();
    } catch (...) {   // the override failed: its report is on standard output
        failed = true;
    }
    Py_END_ALLOW_THREADS
    if (failed) {
        PyErr_SetString(PyExc_RuntimeError, "Area failed");
        return nullptr;
    }
    return Py_BuildValue("(IIKI)", shape->mWidth, shape->mHeight, static_cast<unsigned long long>(shape->mCount), area);
}

// sink_new(obj): a director for obj, as a bare owning proxy.
PyObject* sink_new(PyObject*, PyObject* obj) {
    auto* sink = new SwigDirector_ProbeSink(obj);
    sink->swig_watch();
    return SwigPyObject_NewPointerObject(static_cast<ProbeSink*>(sink),
                                         kivo::module::type(kivo::module::TypeId::lTqDeviceInfoZelvraProtocol),
                                         SwigNew_Own | SwigNew_NoShadow);
}

ProbeSink* sink_of(PyObject* proxy) {
    void* p = nullptr;
    SwigPyObject_ConvertPtr(proxy, &p, kivo::module::type(kivo::module::TypeId::lTqDeviceInfoZelvraProtocol), 0, nullptr);
    return static_cast<ProbeSink*>(p);
}

PyObject* str_list(const std::vector<std::string>& items);

// Runs calls as the SDK would: on a native thread, or on this one with the GIL released. Each call
// gives its text, or the text of the C++ exception it ended in.
template <class Call>
PyObject* fire(int times, bool on_thread, Call call) {
    std::vector<std::string> out;
    auto run = [&] {
        for (int i = 0; i < times; ++i) {
            try {
                out.push_back(call());
            } catch (const std::exception& e) {
                out.push_back(std::string("exception: ") + e.what());
            }
        }
    };
    PyThreadState* state = PyEval_SaveThread();
    if (on_thread) {
        std::thread t(run);
        t.join();
    } else {
        run();
    }
    PyEval_RestoreThread(state);
    PyErr_Clear();   // a failed callback on this thread leaves its error here; the texts tell
    return str_list(out);
}

// sink_fire(proxy, value, times, on_thread): OnValue's results.
PyObject* sink_fire(PyObject*, PyObject* args) {
    PyObject* proxy;
    int value, times, on_thread;
    if (!PyArg_ParseTuple(args, "Oiip", &proxy, &value, &times, &on_thread)) return nullptr;
    ProbeSink* sink = sink_of(proxy);
    if (!sink) return PyErr_Format(PyExc_TypeError, "not a sink");
    return fire(times, on_thread, [&] { return std::to_string(sink->OnValue(value)); });
}

// sink_check(proxy, value, on_thread): the code of the TqResult that Check returns.
PyObject* sink_check(PyObject*, PyObject* args) {
    PyObject* proxy;
    unsigned value;
    int on_thread;
    if (!PyArg_ParseTuple(args, "OIp", &proxy, &value, &on_thread)) return nullptr;
    ProbeSink* sink = sink_of(proxy);
    if (!sink) return PyErr_Format(PyExc_TypeError, "not a sink");
    return fire(1, on_thread, [&] { return std::to_string(sink->Check(value).GetCode()); });
}

// sink_own(proxy, address, own): Swig::Director::acquire_ownership; sink_release(proxy, address):
// release_ownership's flag.
PyObject* sink_own(PyObject*, PyObject* args) {
    PyObject* proxy;
    unsigned long long address;
    int own;
    if (!PyArg_ParseTuple(args, "OKi", &proxy, &address, &own)) return nullptr;
    auto* d = dynamic_cast<Swig::Director*>(sink_of(proxy));
    if (d) d->acquire_ownership(reinterpret_cast<void*>(address), own);
    Py_RETURN_NONE;
}
PyObject* sink_release(PyObject*, PyObject* args) {
    PyObject* proxy;
    unsigned long long address;
    if (!PyArg_ParseTuple(args, "OK", &proxy, &address)) return nullptr;
    auto* d = dynamic_cast<Swig::Director*>(sink_of(proxy));
    return PyLong_FromLong(d ? d->release_ownership(reinterpret_cast<void*>(address)) : -1);
}

// sink_time(proxy, count, keep_states): seconds one new native thread takes to call OnValue count
// times, keeping its thread state between calls or making and dropping one per call.
PyObject* sink_time(PyObject*, PyObject* args) {
    PyObject* proxy;
    int count, keep;
    if (!PyArg_ParseTuple(args, "Oip", &proxy, &count, &keep)) return nullptr;
    ProbeSink* sink = sink_of(proxy);
    if (!sink) return PyErr_Format(PyExc_TypeError, "not a sink");
    double seconds = 0;
    PyThreadState* state = PyEval_SaveThread();
    kivo::rt::keep_thread_states(keep);
    std::thread([&] {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) sink->OnValue(i);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }).join();
    kivo::rt::keep_thread_states(true);
    PyEval_RestoreThread(state);
    return PyFloat_FromDouble(seconds);
}

PyObject* sink_disown(PyObject*, PyObject* proxy) {
    auto* d = dynamic_cast<Swig::Director*>(sink_of(proxy));
    if (d) d->disown();
    Py_RETURN_NONE;
}

// sink_delete(proxy): the destroy function of the sink's class, like a delete_<Class> row.
PyObject* sink_delete(PyObject*, PyObject* proxy) {
    void* p = nullptr;
    if (SwigPyObject_ConvertPtr(proxy, &p, kivo::module::type(kivo::module::TypeId::lTqDeviceInfoZelvraProtocol),
                                SwigConvert_Disown | SwigConvert_Clear, nullptr) < 0)
        return PyErr_Format(PyExc_TypeError, "not an owning sink proxy");
    delete static_cast<ProbeSink*>(p);
    Py_RETURN_NONE;
}

// sink_keep(proxy): the native side keeps the sink for the life of the process (its threads may
// still call it while the process exits).
PyObject* sink_keep(PyObject*, PyObject* proxy) {
    static auto* kept = new std::vector<ProbeSink*>;
    void* p = nullptr;
    if (SwigPyObject_ConvertPtr(proxy, &p, kivo::module::type(kivo::module::TypeId::lTqDeviceInfoZelvraProtocol),
                                SwigConvert_Disown, nullptr) < 0)
        return PyErr_Format(PyExc_TypeError, "not a sink proxy");
    kept->push_back(static_cast<ProbeSink*>(p));
    Py_RETURN_NONE;
}

// sink_fire_detached(proxy, value, count, fresh=0): a native thread keeps calling back, not joined;
// the interpreter may exit meanwhile. fresh: native threads keep no thread state between callbacks
// from then on, so that each callback makes one.
PyObject* sink_fire_detached(PyObject*, PyObject* args) {
    PyObject* proxy;
    int value, count, fresh = 0;
    if (!PyArg_ParseTuple(args, "Oii|p", &proxy, &value, &count, &fresh)) return nullptr;
    ProbeSink* sink = sink_of(proxy);
    if (fresh) kivo::rt::keep_thread_states(false);
    std::thread([sink, value, count] {
        for (int i = 0; i < count; ++i) {
            try {
                sink->OnValue(value);
            } catch (const std::exception&) {
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }).detach();
    Py_RETURN_NONE;
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

// ---- buffers ----

// make_chunk_data(): a TqChunkData payload owned by its proxy (the module has no constructor for it:
// the SDK's buffers hand them out).
PyObject* make_chunk_data(PyObject*, PyObject*) {
    return SwigPyObject_NewPointerObject(new TqChunkData, kivo::module::type(kivo::module::TypeId::TqChunkData),
                                         SwigNew_Own);
}

// The object behind a proxy of the type, or null with a TypeError naming what is needed.
template <class T>
T* object_arg(PyObject* proxy, kivo::module::TypeId id, const char* what) {
    void* p = nullptr;
    if (SwigPyObject_ConvertPtr(proxy, &p, kivo::module::type(id), 0, nullptr) < 0 || !p) {
        PyErr_Format(PyExc_TypeError, "%s is needed", what);
        return nullptr;
    }
    return static_cast<T*>(p);
}

// A list of str from texts.
PyObject* str_list(const std::vector<std::string>& texts) {
    PyObject* list = PyList_New(0);
    for (const std::string& t : texts) {
        PyObject* item = PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size()));
        if (!item || PyList_Append(list, item) < 0) Py_CLEAR(list);
        Py_XDECREF(item);
        if (!list) break;
    }
    return list;
}

TqBuffer* buffer_arg(PyObject* proxy) {
    return object_arg<TqBuffer>(proxy, kivo::module::TypeId::TqBuffer, "a buffer");
}

// buffer_image(buffer) / buffer_raw_data(buffer): the payload interface the buffer owns, as a
// borrowed proxy (None when the payload type is another), until the buffer wrappers hand them out.
PyObject* buffer_image(PyObject*, PyObject* proxy) {
    TqBuffer* b = buffer_arg(proxy);
    if (!b) return nullptr;
    return SwigPyObject_NewPointerObject(b->GetImage(), kivo::module::type(kivo::module::TypeId::TqImage), 0);
}

PyObject* buffer_raw_data(PyObject*, PyObject* proxy) {
    TqBuffer* b = buffer_arg(proxy);
    if (!b) return nullptr;
    return SwigPyObject_NewPointerObject(b->GetRawData(), kivo::module::type(kivo::module::TypeId::TqRawData), 0);
}

// load_parameters(xml, port_size=65536): a parameter array built from a GenICam description over
// a sparse memory port of that size (zeros until written, up to 2^64 - 1 bytes), owned by its
// proxy; or the TqResult of a load that failed.
PyObject* load_parameters(PyObject*, PyObject* args) {
    const char* xml;
    Py_ssize_t length;
    unsigned long long port_size = 65536;
    if (!PyArg_ParseTuple(args, "s#|K", &xml, &length, &port_size)) return nullptr;
    auto* array = new TqGenParameterArray;
    TqResult result;
    Py_BEGIN_ALLOW_THREADS
    result = array->Load(xml, static_cast<size_t>(length), TqGenParameterArray::SparseMemoryPort(port_size));
    Py_END_ALLOW_THREADS
    if (!result.IsOK()) {
        delete array;
        return SwigPyObject_NewPointerObject(new TqResult(result), kivo::module::type(kivo::module::TypeId::TqResult),
                                             SwigNew_Own);
    }
    return SwigPyObject_NewPointerObject(array, kivo::module::type(kivo::module::TypeId::TqGenParameterArray),
                                         SwigNew_Own);
}

// feature_calls(array, call, name, n): nanoseconds per call by name done in C++ (the SDK's own cost,
// for the benchmark's comparison), call one of GetIntegerValue, SetIntegerValue (writing 5),
// GetFloatValue, GetEnumValueString and GetEnumValueInt; the name and the value live outside the loop.
PyObject* feature_calls(PyObject*, PyObject* args) {
    PyObject* proxy;
    const char* call;
    const char* name;
    long n;
    if (!PyArg_ParseTuple(args, "Ossl", &proxy, &call, &name, &n)) return nullptr;
    auto* array = object_arg<TqGenParameterArray>(proxy, kivo::module::TypeId::TqGenParameterArray,
                                                  "a parameter array");
    if (!array) return nullptr;
    TqString text(name), word;
    int64_t integer = 0;
    double real = 0;
    auto timed = [&](auto&& one) {
        auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < n; ++i) one();
        auto ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        return PyFloat_FromDouble(ns / static_cast<double>(n));
    };
    const std::string what = call;
    if (what == "GetIntegerValue") return timed([&] { array->GetIntegerValue(text, integer); });
    if (what == "SetIntegerValue") return timed([&] { array->SetIntegerValue(text, 5); });
    if (what == "GetFloatValue") return timed([&] { array->GetFloatValue(text, real); });
    if (what == "GetEnumValueString") return timed([&] { array->GetEnumValue(text, word); });
    if (what == "GetEnumValueInt") return timed([&] { array->GetEnumValue(text, integer); });
    return PyErr_Format(PyExc_ValueError, "no call '%s'", call);
}

// integer_reads(array, name, n): feature_calls(array, "GetIntegerValue", name, n).
PyObject* integer_reads(PyObject* module, PyObject* args) {
    PyObject* proxy;
    const char* name;
    long n;
    if (!PyArg_ParseTuple(args, "Osl", &proxy, &name, &n)) return nullptr;
    PyObject* forwarded = Py_BuildValue("(Ossl)", proxy, "GetIntegerValue", name, n);
    PyObject* ns = forwarded ? feature_calls(module, forwarded) : nullptr;
    Py_XDECREF(forwarded);
    return ns;
}

// make_device(xml): a simulated device whose features are those of the description, and its
// parameter array, as proxies that do not own them; free_device(device) destroys both.
PyObject* make_device(PyObject*, PyObject* args) {
    const char* xml;
    Py_ssize_t length;
    if (!PyArg_ParseTuple(args, "s#", &xml, &length)) return nullptr;
    auto array = std::make_unique<TqGenParameterArray>();
    TqResult result = array->Load(xml, static_cast<size_t>(length), TqGenParameterArray::MemoryPort(65536));
    if (!result.IsOK()) return PyErr_Format(PyExc_ValueError, "%s", result.GetDescription().GetAscii());
    TqDevice* device = TqDevice::CreateSimulated(std::move(array));
    PyObject* pair = Py_BuildValue(
        "(NN)", SwigPyObject_NewPointerObject(device, kivo::module::type(kivo::module::TypeId::TqDevice), 0),
        SwigPyObject_NewPointerObject(device->GetParameters(),
                                      kivo::module::type(kivo::module::TypeId::TqGenParameterArray), 0));
    if (!pair) delete device;
    return pair;
}

PyObject* free_device(PyObject*, PyObject* proxy) {
    auto* device = object_arg<TqDevice>(proxy, kivo::module::TypeId::TqDevice, "a device");
    if (!device) return nullptr;
    delete device;
    Py_RETURN_NONE;
}

// adapter_updates(adapter): the names of the parameter updates the adapter has received.
PyObject* adapter_updates(PyObject*, PyObject* proxy) {
    auto* adapter = object_arg<TqDeviceAdapter>(proxy, kivo::module::TypeId::TqDeviceAdapter, "an adapter");
    if (!adapter) return nullptr;
    return str_list(adapter->GetParameterUpdates());
}

// log_records(): the log's latest records as (level, logger, source, number, text1, text2), None
// for a text not given; clear_log_records() empties it.
PyObject* log_records(PyObject*, PyObject*) {
    PyObject* records = PyList_New(0);
    auto text = [](bool has, const std::string& s) -> PyObject* {
        if (!has) Py_RETURN_NONE;
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    };
    for (const TqLogRecords::Record& r : TqLogRecords::Latest()) {
        PyObject* row = Py_BuildValue("(isNiNN)", static_cast<int>(r.level), r.logger.c_str(), text(r.has[0], r.source),
                                      static_cast<int>(r.number), text(r.has[1], r.text1), text(r.has[2], r.text2));
        if (!row || PyList_Append(records, row) < 0) Py_CLEAR(records);
        Py_XDECREF(row);
        if (!records) break;
    }
    return records;
}

PyObject* clear_log_records(PyObject*, PyObject*) {
    TqLogRecords::Clear();
    Py_RETURN_NONE;
}

// native_log_sink(): a borrowed proxy of a sink made natively (no director) that counts its records;
// native_log_sink_count(): how many it got.
class CountingSink : public TqLogSink {
public:
    void Log(TqLogLevelEnum, const char*, uint32_t, const char*, const char*, const char*) override { ++count; }
    std::atomic<int> count{0};
};
CountingSink& counting_sink() {
    static auto* sink = new CountingSink;   // lives as long as the process
    return *sink;
}
PyObject* native_log_sink(PyObject*, PyObject*) {
    return SwigPyObject_NewPointerObject(static_cast<TqLogSink*>(&counting_sink()),
                                         kivo::module::type(kivo::module::TypeId::TqLogSink), 0);
}
PyObject* native_log_sink_count(PyObject*, PyObject*) { return PyLong_FromLong(counting_sink().count); }

// log_add_sink(sink) / log_remove_sink(sink): the logging core's sinks (removal waits, with the GIL
// released, for calls on other threads); log_sink_failures(): sink calls that threw. While the core
// holds a sink, the module keeps its Python object, as it does for the sinks its own functions hand
// over.
char g_logging_core;   // the holder of the sinks, in the module's table
const kivo::module::HeldTable* held_table() {
    static auto* table = static_cast<const kivo::module::HeldTable*>(PyCapsule_Import(kivo::module::kHeldCapsule, 0));
    return table;
}
PyObject* log_add_sink(PyObject*, PyObject* proxy) {
    auto* sink = object_arg<TqLogSink>(proxy, kivo::module::TypeId::TqLogSink, "a log sink");
    if (!sink) return nullptr;
    const kivo::module::HeldTable* held = held_table();
    if (!held) return nullptr;
    TqLogSinks::Add(sink);
    held->keep(&g_logging_core, sink, proxy);
    Py_RETURN_NONE;
}
PyObject* log_remove_sink(PyObject*, PyObject* proxy) {
    auto* sink = object_arg<TqLogSink>(proxy, kivo::module::TypeId::TqLogSink, "a log sink");
    if (!sink) return nullptr;
    const kivo::module::HeldTable* held = held_table();
    if (!held) return nullptr;
    bool removed;
    Py_BEGIN_ALLOW_THREADS
    removed = TqLogSinks::Remove(sink);
    Py_END_ALLOW_THREADS
    if (removed) held->drop(&g_logging_core, sink);
    return PyBool_FromLong(removed);
}
PyObject* log_sink_failures(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(TqLogSinks::Failures()); }

// log_from_threads(name, threads, count): native threads each write count info records through one
// logger named name (source "thread <i>", number the record's index); returns when all are done.
PyObject* log_from_threads(PyObject*, PyObject* args) {
    const char* name;
    int threads, count;
    if (!PyArg_ParseTuple(args, "sii", &name, &threads, &count)) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    TqLogger logger{TqString(name)};
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&logger, t, count] {
            std::string source = "thread " + std::to_string(t);
            for (int i = 0; i < count; ++i) logger.LogInfo(source.c_str(), i, "native", nullptr);
        });
    for (std::thread& t : running) t.join();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// parameter_list_names(list): the names of a parameter list's items, in order.
PyObject* parameter_list_names(PyObject*, PyObject* proxy) {
    auto* list = object_arg<TqGenParameterList>(proxy, kivo::module::TypeId::TqGenParameterList, "a parameter list");
    if (!list) return nullptr;
    std::vector<std::string> names;
    for (uint32_t i = 0; i < list->GetSize(); ++i) {
        TqString name;
        list->GetItem(i)->GetName(name);
        names.emplace_back(name.GetAscii());
    }
    return str_list(names);
}

// fill_reception(buffer, payload_type, fields): records a received block in the buffer as a stream
// does; fields is a dict of TqBufferReception members without their "m" ("BlockID": 5, ...), and
// "MissingPacketGroups" a list of (first, last) pairs.
PyObject* fill_reception(PyObject*, PyObject* args) {
    PyObject *proxy, *fields;
    int payload_type;
    if (!PyArg_ParseTuple(args, "OiO!", &proxy, &payload_type, &PyDict_Type, &fields)) return nullptr;
    TqBuffer* b = buffer_arg(proxy);
    if (!b) return nullptr;
    TqBufferReception r;
    auto u64 = [&](const char* key, uint64_t& out) {
        if (PyObject* v = PyDict_GetItemString(fields, key)) out = PyLong_AsUnsignedLongLong(v);
    };
    auto u32 = [&](const char* key, uint32_t& out) {
        if (PyObject* v = PyDict_GetItemString(fields, key)) out = static_cast<uint32_t>(PyLong_AsUnsignedLong(v));
    };
    auto flag = [&](const char* key, bool& out) {
        if (PyObject* v = PyDict_GetItemString(fields, key)) out = PyObject_IsTrue(v) == 1;
    };
    u64("BlockID", r.mBlockID);
    u64("Timestamp", r.mTimestamp);
    u64("ReceptionTime", r.mReceptionTime);
    u64("Duration", r.mDuration);
    flag("ExtendedID", r.mExtendedID);
    u32("OperationResult", r.mOperationResult);
    u32("AcquiredSize", r.mAcquiredSize);
    u32("RequiredSize", r.mRequiredSize);
    u32("PayloadSize", r.mPayloadSize);
    flag("HeaderValid", r.mHeaderValid);
    flag("TrailerValid", r.mTrailerValid);
    flag("LargeLeaderTrailer", r.mLargeLeaderTrailer);
    u32("PacketsRecovered", r.mPacketsRecovered);
    u32("PacketsRecoveredSingleResend", r.mPacketsRecoveredSingleResend);
    u32("ResendGroupsRequested", r.mResendGroupsRequested);
    u32("ResendPacketsRequested", r.mResendPacketsRequested);
    u32("LostPackets", r.mLostPackets);
    u32("IgnoredPackets", r.mIgnoredPackets);
    u32("RedundantPackets", r.mRedundantPackets);
    u32("PacketsOutOfOrder", r.mPacketsOutOfOrder);
    if (PyObject* groups = PyDict_GetItemString(fields, "MissingPacketGroups")) {
        for (Py_ssize_t i = 0; i < PyList_Size(groups); ++i) {
            PyObject* g = PyList_GetItem(groups, i);
            r.mMissingPacketGroups.emplace_back(static_cast<uint32_t>(PyLong_AsUnsignedLong(PyTuple_GetItem(g, 0))),
                                                static_cast<uint32_t>(PyLong_AsUnsignedLong(PyTuple_GetItem(g, 1))));
        }
    }
    if (PyErr_Occurred()) return nullptr;
    b->SetReception(static_cast<TqPayloadType>(payload_type), r);
    Py_RETURN_NONE;
}

// image_interface(image): the same image as a borrowed ITqImage proxy.
PyObject* image_interface(PyObject*, PyObject* proxy) {
    auto* image = object_arg<TqImage>(proxy, kivo::module::TypeId::TqImage, "an image");
    if (!image) return nullptr;
    return SwigPyObject_NewPointerObject(static_cast<ITqImage*>(image),
                                         kivo::module::type(kivo::module::TypeId::ITqImage), 0);
}

// set_image_info(image, block_id, timestamp, reception_time): what a stream sets from a block.
PyObject* set_image_info(PyObject*, PyObject* args) {
    PyObject* proxy;
    unsigned long long block, stamp, reception;
    if (!PyArg_ParseTuple(args, "OKKK", &proxy, &block, &stamp, &reception)) return nullptr;
    auto* image = object_arg<TqImage>(proxy, kivo::module::TypeId::TqImage, "an image");
    if (!image) return nullptr;
    image->SetBlockInfo(block, stamp, reception);
    Py_RETURN_NONE;
}

// set_payload_length(buffer, n): what a stream does when it fills a buffer.
PyObject* set_payload_length(PyObject*, PyObject* args) {
    PyObject* proxy;
    unsigned int n;
    if (!PyArg_ParseTuple(args, "OI", &proxy, &n)) return nullptr;
    TqBuffer* b = buffer_arg(proxy);
    if (!b) return nullptr;
    TqResult r = b->SetPayloadLength(n);
    return PyLong_FromUnsignedLong(r.GetCode());
}

// payload_length(buffer): the payload's length as the buffer holds it.
PyObject* payload_length(PyObject*, PyObject* proxy) {
    TqBuffer* b = buffer_arg(proxy);
    return b ? PyLong_FromUnsignedLong(b->GetPayloadLength()) : nullptr;
}

// array_input(obj, counts, shape, writable=False): the array input steps as a wrapper runs them:
// conversion to a C-contiguous uint8 array (for memory the SDK may write when writable), then the
// dimension check against one count or a list of counts, then the shape check; gives (is_new, ndim)
// or raises the step's error.
PyObject* array_input(PyObject*, PyObject* args) {
    PyObject *obj, *counts, *shape;
    int writable = 0;
    if (!PyArg_ParseTuple(args, "OOO|p", &obj, &counts, &shape, &writable)) return nullptr;
    int is_new = 0;
    PyObject* array = writable ? kivo::rt::writable_contiguous_array(obj, kivo::rt::kNpyUByte, &is_new)
                               : kivo::rt::SwigNumpy_ObjToContiguousArray(obj, kivo::rt::kNpyUByte, &is_new);
    if (!array) return nullptr;
    if (!is_new) Py_INCREF(array);
    std::vector<int> wanted;
    for (Py_ssize_t i = 0; i < PyList_Size(counts); ++i) wanted.push_back(PyLong_AsLong(PyList_GetItem(counts, i)));
    std::vector<long> dims;
    for (Py_ssize_t i = 0; i < PyList_Size(shape); ++i) dims.push_back(PyLong_AsLong(PyList_GetItem(shape, i)));
    bool ok = wanted.size() == 1 ? kivo::rt::SwigNumpy_RequireDimensions(array, wanted[0])
                                 : kivo::rt::SwigNumpy_RequireDimensionsOneOf(array, wanted.data(), static_cast<int>(wanted.size()));
    ok = ok && kivo::rt::SwigNumpy_RequireShape(array, dims.data(), static_cast<int>(dims.size()));
    PyObject* result = ok ? Py_BuildValue("(ii)", is_new, kivo::rt::array_ndim(array)) : nullptr;
    Py_DECREF(array);
    return result;
}

// image_view(bpp, padding_y, height, padding_x, width, pixel_type, image_size): the view an image of
// that geometry gets, over memory of image_size bytes (kept alive by the view).
PyObject* image_view(PyObject*, PyObject* args) {
    kivo::module::ImageGeometry g{};
    unsigned int bpp, py, h, px, w, size;
    int pt, null = 0;
    if (!PyArg_ParseTuple(args, "IIIIIiI|p", &bpp, &py, &h, &px, &w, &pt, &size, &null)) return nullptr;
    g = {bpp, static_cast<uint16_t>(py), h, static_cast<uint16_t>(px), w, pt, size};
    PyObject* memory = PyByteArray_FromStringAndSize(nullptr, size);
    if (!memory) return nullptr;
    if (size) std::memset(PyByteArray_AsString(memory), 0xAB, size);
    // null: the SDK gave no memory (nothing allocated or attached).
    PyObject* view = kivo::module::image_view(null ? nullptr : PyByteArray_AsString(memory), g, memory);
    Py_DECREF(memory);
    return view;
}

PyObject* type_name(PyObject*, PyObject* obj) { return PyUnicode_FromString(kivo::rt::SwigNumpy_TypeName(obj)); }

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

// table_problems(): what is wrong with the module's type and class tables (an empty list).
PyObject* table_problems(PyObject*, PyObject*) {
    std::vector<std::string> problems = kivo::module::table_problems();
    PyObject* out = PyList_New(0);
    for (const std::string& p : problems) {
        PyObject* text = PyUnicode_FromString(p.c_str());
        if (!text || PyList_Append(out, text) < 0) Py_CLEAR(out);
        Py_XDECREF(text);
        if (!out) break;
    }
    return out;
}

// memory_blocks(): the SDK's memory blocks not yet freed (held by an object or by a view).
PyObject* memory_blocks(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(TqMemoryBlocks::LiveBlocks()); }

// memory_ceiling(): the bytes the SDK takes it can still be given (sizes from callers are held against it).
PyObject* memory_ceiling(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(TqMemoryBlocks::Ceiling()); }

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

// An output before the input: the input is argument 2 in messages.
void out_first(int64_t& out, uint32_t value) { out = value; }

// Throws what kind asks for; the TqString argument is a converted temporary that must not leak.
uint32_t throw_kind(const TqString& text, uint32_t kind) {
    if (kind == 1) throw std::bad_alloc();
    if (kind == 2) throw std::runtime_error("the SDK failed: " + std::string(text.GetAscii()));
    if (kind == 3) throw 42;
    if (kind == 4) throw std::length_error("vector::reserve");   // a size past what memory holds
    return kind;
}

// Byte arrays: the sum of the bytes and the length the SDK received.
uint64_t sum_bytes(const uint8_t* data, uint32_t length, uint32_t scale) {
    uint64_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum += data[i];
    return sum * scale * 1000000 + length;
}
uint32_t short_bytes(const uint8_t*, uint8_t length) { return length; }
// The address of the memory the SDK gets: read only, or written through (every byte becomes 0xA5).
uint64_t read_address(const uint8_t* data, uint32_t) { return reinterpret_cast<uintptr_t>(data); }
uint64_t write_address(uint8_t* data, uint32_t length) {
    std::memset(data, 0xA5, length);
    return reinterpret_cast<uintptr_t>(data);
}
// An overload of a number and of bytes whose length has 8 bits: the shape of FireEvent's forms.
uint64_t block_form(uint16_t, uint64_t block) { return block; }
uint32_t short_bytes_form(uint16_t, const uint8_t*, uint8_t length) { return length; }

// Default arguments: the shortened call passes 7.
uint32_t with_default(uint32_t a, uint32_t b) { return a * 100 + b; }

// Overload order: declared text first, tried number first.
const char* take_text(const TqString&) { return "text"; }
const char* take_number(uint32_t) { return "number"; }
const char* take_result(const TqResult&) { return "result"; }

// A borrowed pointer handed back: with KeepAlive it keeps its argument alive.
TqString* same_string(TqString* s) { return s; }


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
    kivo::module::Entries out = {
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
        function<"probe_outputs", &fill_outputs>("aCode", "aNumber", "aFlag", "aText"),
        function<"probe_outputs_tuple", &fill_outputs, TupleOutputs<>>("aCode", "aNumber", "aFlag", "aText"),
        function<"probe_void_output", &fill_void>("aValue"),
        function<"probe_release_gil", &wait_for_python>("aTimeout"),
        function<"probe_keep_gil", &wait_for_python, KeepGil<>>("aTimeout"),
        function<"probe_make_result", &make_result>("aCode"),
        function<"probe_flags_varargs", &echo<bool>, Flags<METH_VARARGS>>("aValue"),
        function<"probe_make_result_keep_gil", &make_result, KeepGil<>>("aCode"),
        function<"probe_out_first", &out_first>("aOut", "aValue"),
        function<"probe_throw", &throw_kind>("aText", "aKind"),
        function<"probe_sum_bytes", &sum_bytes, Default, Params<Array<const uint8_t*, uint32_t>, uint32_t>>(
            "aData", "aScale"),
        function<"probe_short_bytes", &short_bytes, Default, Params<Array<const uint8_t*, uint8_t>>>("aData"),
        function<"probe_read_address", &read_address, Default, Params<Array<const uint8_t*, uint32_t>>>("aData"),
        function<"probe_write_address", &write_address, Default, Params<Array<uint8_t*, uint32_t>>>("aData"),
        function<"probe_default", &with_default, Default, Params<uint32_t, WithDefault<uint32_t, 7u>>>("aA", "aB"),
        overloaded<"probe_short_bytes_or_block">(
            func<&block_form>("aId", "aBlock"),
            func<&short_bytes_form, Default, Params<uint16_t, Bytes<const uint8_t*, uint8_t>>>("aId", "aData")),
        overloaded<"probe_order">(func<&take_text>("aText"), func<&take_result>("aResult"),
                                  func<&take_number>("aValue")),
        static_method<"TqResult_probe_static", TqResult, &with_default>("aA", "aB"),
        function<"probe_same_string", &same_string, KeepAlive<1>>("aString"),
        director_constructor_forms<"new_ProbeShape", SwigDirector_ProbeShape, ProbeShape, false,
                                   Params<uint32_t, uint32_t, Spelled<"size_t", size_t>>>("aWidth", "aHeight",
                                                                                         "aCount"),
        delete_entry<"delete_ProbeShape", ProbeShape>(),
        director_virtual<SwigDirector_ProbeShape, SwigDirector_ProbeShape::V_Area>(),
        constructor_entry<"new_ProbeRecord", ProbeRecord>(),
        delete_entry<"delete_ProbeRecord", ProbeRecord>(),
    };
    for (auto& row : field<"ProbeRecord_mCount_set", "ProbeRecord_mCount_get", &ProbeRecord::mCount>()) out.push_back(row);
    for (auto& row : field<"ProbeRecord_mLevel_set", "ProbeRecord_mLevel_get", &ProbeRecord::mLevel>()) out.push_back(row);
    for (auto& row : field<"ProbeRecord_mName_set", "ProbeRecord_mName_get", &ProbeRecord::mName>()) out.push_back(row);
    for (auto& row : field<"ProbeRecord_mFailure_set", "ProbeRecord_mFailure_get", &ProbeRecord::mFailure>())
        out.push_back(row);
    return out;
}

PyMethodDef kHookMethods[] = {
    {"make_pointer", make_pointer, METH_VARARGS, nullptr},
    {"shape_facts", shape_facts, METH_O, nullptr},
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
    {"memory_blocks", memory_blocks, METH_NOARGS, nullptr},
    {"memory_ceiling", memory_ceiling, METH_NOARGS, nullptr},
    {"table_problems", table_problems, METH_NOARGS, nullptr},
    {"make_chunk_data", make_chunk_data, METH_NOARGS, nullptr},
    {"buffer_image", buffer_image, METH_O, nullptr},
    {"load_parameters", load_parameters, METH_VARARGS, nullptr},
    {"integer_reads", integer_reads, METH_VARARGS, nullptr},
    {"feature_calls", feature_calls, METH_VARARGS, nullptr},
    {"parameter_list_names", parameter_list_names, METH_O, nullptr},
    {"log_records", log_records, METH_NOARGS, nullptr},
    {"clear_log_records", clear_log_records, METH_NOARGS, nullptr},
    {"log_add_sink", log_add_sink, METH_O, nullptr},
    {"native_log_sink", native_log_sink, METH_NOARGS, nullptr},
    {"native_log_sink_count", native_log_sink_count, METH_NOARGS, nullptr},
    {"log_remove_sink", log_remove_sink, METH_O, nullptr},
    {"log_sink_failures", log_sink_failures, METH_NOARGS, nullptr},
    {"log_from_threads", log_from_threads, METH_VARARGS, nullptr},
    {"make_device", make_device, METH_VARARGS, nullptr},
    {"free_device", free_device, METH_O, nullptr},
    {"adapter_updates", adapter_updates, METH_O, nullptr},
    {"fill_reception", fill_reception, METH_VARARGS, nullptr},
    {"buffer_raw_data", buffer_raw_data, METH_O, nullptr},
    {"image_interface", image_interface, METH_O, nullptr},
    {"set_image_info", set_image_info, METH_VARARGS, nullptr},
    {"array_input", array_input, METH_VARARGS, nullptr},
    {"type_name", type_name, METH_O, nullptr},
    {"image_view", image_view, METH_VARARGS, nullptr},
    {"set_payload_length", set_payload_length, METH_VARARGS, nullptr},
    {"payload_length", payload_length, METH_O, nullptr},
    {"sink_new", sink_new, METH_O, nullptr},
    {"sink_fire", sink_fire, METH_VARARGS, nullptr},
    {"sink_check", sink_check, METH_VARARGS, nullptr},
    {"sink_own", sink_own, METH_VARARGS, nullptr},
    {"sink_release", sink_release, METH_VARARGS, nullptr},
    {"sink_time", sink_time, METH_VARARGS, nullptr},
    {"sink_disown", sink_disown, METH_O, nullptr},
    {"sink_delete", sink_delete, METH_O, nullptr},
    {"sink_keep", sink_keep, METH_O, nullptr},
    {"sink_fire_detached", sink_fire_detached, METH_VARARGS, nullptr},
    {"fake_array_api", fake_array_api, METH_VARARGS, nullptr},
    {"tick", tick, METH_NOARGS, nullptr},
    {"arm_gate", arm_gate, METH_O, nullptr},
    {"open_gate", open_gate, METH_NOARGS, nullptr},
    {"gate_opened", gate_opened, METH_NOARGS, nullptr},
};

std::vector<PyMethodDef>& hook_table() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> defs(std::begin(kHookMethods), std::end(kHookMethods));
        for (const PyMethodDef* rows : kivo::hooks::extra_tables())
            for (; rows->ml_name; ++rows) defs.push_back(*rows);
        kivo::module::Entries probes = probe_entries();
        append_method_defs(defs, probes);
        defs.push_back({nullptr, nullptr, 0, nullptr});
        return defs;
    }();
    return table;
}

PyModuleDef g_definition = {PyModuleDef_HEAD_INIT, "_kivo_testhooks", nullptr, -1, nullptr,
                            nullptr,               nullptr,           nullptr, nullptr};

}  // namespace

std::vector<const PyMethodDef*>& kivo::hooks::extra_tables() {
    static std::vector<const PyMethodDef*> tables;
    return tables;
}

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kivo_testhooks() {
    return kivo::module::start(g_definition, hook_table());
}
