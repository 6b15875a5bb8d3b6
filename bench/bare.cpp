// Hand-written C-API functions of the same shapes as the module wrappers that the benchmark times,
// as its baseline: each takes the same calling convention (METH_O or METH_VARARGS), checks its
// arguments, releases the GIL around the same SDK call and builds the same result, with nothing else;
// and a callback from a native thread written the same way (callback_time).
//
// Objects: the functions on existing objects take the module's own proxies (checked by proxy type and
// type descriptor, as the wrappers' direct match does); the constructor returns a minimal box of this
// module that owns the new object and destroys it when it is dropped, with the GIL held as the module
// does for a result (a value whose destructor never blocks); the explicit delete releases the GIL
// around the destruction, as the module's delete_TqResult does.
#include "numpy_input.h"
#include "proxy.h"

#include "TqBuffer.h"
#include "TqDeviceEngine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <chrono>
#include <thread>
#include <vector>
#include "TqLiveObjects.h"
#include "TqResult.h"
#include "TqString.h"

#include <cstdint>
#include <cwchar>
#include <memory>

namespace {

namespace Gvsp = TqGvsp;

PyTypeObject* g_proxy_type = nullptr;
SwigTypeInfo* g_result_type = nullptr;
SwigTypeInfo* g_string_type = nullptr;
PyTypeObject* g_box_type = nullptr;

// Releases the GIL for the lifetime of the object.
struct Unlocked {
    PyThreadState* state = PyEval_SaveThread();
    ~Unlocked() { PyEval_RestoreThread(state); }
};

// set_proxies(result_proxy, string_proxy): records the proxy type and the descriptors of the two
// classes from one proxy of each.
PyObject* set_proxies(PyObject*, PyObject* args) {
    PyObject* result = nullptr;
    PyObject* text = nullptr;
    if (!PyArg_UnpackTuple(args, "set_proxies", 2, 2, &result, &text)) return nullptr;
    if (Py_TYPE(result) != Py_TYPE(text)) {
        PyErr_SetString(PyExc_TypeError, "two proxies of the same runtime expected");
        return nullptr;
    }
    Py_XDECREF(reinterpret_cast<PyObject*>(g_proxy_type));
    g_proxy_type = Py_TYPE(result);
    Py_INCREF(reinterpret_cast<PyObject*>(g_proxy_type));
    g_result_type = reinterpret_cast<SwigPyObject*>(result)->ty;
    g_string_type = reinterpret_cast<SwigPyObject*>(text)->ty;
    Py_RETURN_NONE;
}

void* object_of(PyObject* o, SwigTypeInfo* ty) {
    if (Py_TYPE(o) == g_proxy_type) {
        auto* sobj = reinterpret_cast<SwigPyObject*>(o);
        if (sobj->ty == ty && sobj->ptr) return sobj->ptr;
    }
    return nullptr;
}

TqResult* result_of(PyObject* o) {
    auto* r = static_cast<TqResult*>(object_of(o, g_result_type));
    if (!r) PyErr_SetString(PyExc_TypeError, "a TqResult proxy expected");
    return r;
}

TqString* string_of(PyObject* o) {
    auto* s = static_cast<TqString*>(object_of(o, g_string_type));
    if (!s) PyErr_SetString(PyExc_TypeError, "a TqString proxy expected");
    return s;
}

bool unpack2(PyObject* args, PyObject** a, PyObject** b) {
    if (!PyTuple_Check(args) || PyTuple_Size(args) != 2) {
        PyErr_SetString(PyExc_TypeError, "two arguments expected");
        return false;
    }
    *a = PyTuple_GetItem(args, 0);
    *b = PyTuple_GetItem(args, 1);
    return true;
}

// An int in the range of uint32_t.
bool as_uint32(PyObject* o, uint32_t* out) {
    if (!PyLong_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "an int expected");
        return false;
    }
    unsigned long v = PyLong_AsUnsignedLong(o);
    if (PyErr_Occurred()) return false;
    if (v > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range of uint32_t");
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// ---- 1. A bool getter, like TqResult_IsOK: METH_O.
PyObject* is_ok(PyObject*, PyObject* o) {
    TqResult* r = result_of(o);
    if (!r) return nullptr;
    bool ok;
    {
        Unlocked u;
        ok = r->IsOK();
    }
    return PyBool_FromLong(ok);
}

// ---- 2. A two-argument setter, like TqResult_SetCode: METH_VARARGS.
PyObject* set_code(PyObject*, PyObject* args) {
    PyObject *self, *value;
    if (!unpack2(args, &self, &value)) return nullptr;
    TqResult* r = result_of(self);
    if (!r) return nullptr;
    uint32_t code;
    if (!as_uint32(value, &code)) return nullptr;
    {
        Unlocked u;
        r->SetCode(code);
    }
    Py_RETURN_NONE;
}

// ---- 3. Construction and destruction, like new_TqResult(code) and the owning proxy's deallocation.
struct Box {
    PyObject_HEAD
    TqResult* ptr;
};

void box_dealloc(PyObject* self) {
    delete reinterpret_cast<Box*>(self)->ptr;
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(tp));   // heap type instances hold a reference to their type
}

PyTypeObject* make_box_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"_kivo_bench.Box", sizeof(Box), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyObject* new_result(PyObject*, PyObject* args) {
    if (!PyTuple_Check(args) || PyTuple_Size(args) != 1) {
        PyErr_SetString(PyExc_TypeError, "one argument expected");
        return nullptr;
    }
    uint32_t code;
    if (!as_uint32(PyTuple_GetItem(args, 0), &code)) return nullptr;
    Box* box = PyObject_New(Box, g_box_type);
    if (!box) return nullptr;
    {
        Unlocked u;
        box->ptr = new TqResult(code);
    }
    return reinterpret_cast<PyObject*>(box);
}

// The explicit delete of such a box, like delete_TqResult(proxy): checks the box, destroys the object
// with the GIL released and leaves the box pointing at nothing.
PyObject* delete_result(PyObject*, PyObject* o) {
    if (Py_TYPE(o) != g_box_type) {
        PyErr_SetString(PyExc_TypeError, "a result box expected");
        return nullptr;
    }
    auto* box = reinterpret_cast<Box*>(o);
    if (!box->ptr) {
        PyErr_SetString(PyExc_RuntimeError, "the box owns no object");
        return nullptr;
    }
    TqResult* p = box->ptr;
    box->ptr = nullptr;
    {
        Unlocked u;
        delete p;
    }
    Py_RETURN_NONE;
}

// ---- 4. Text in and text out, like TqString___eq__(s, str) and TqString___str__(s).

// str -> wide characters: on the stack when short, else on the heap.
class WideText {
public:
    bool convert(PyObject* o) {
        if (!PyUnicode_Check(o)) {
            PyErr_SetString(PyExc_TypeError, "a str expected");
            return false;
        }
        Py_ssize_t n = PyUnicode_AsWideChar(o, mLocal, kLocal);
        if (n < 0) return false;
        if (n < kLocal) {
            mLocal[n] = 0;
            mText = mLocal;
            return true;
        }
        mHeap.reset(PyUnicode_AsWideCharString(o, nullptr));
        mText = mHeap.get();
        return mText != nullptr;
    }
    const wchar_t* get() const { return mText; }

private:
    struct Free {
        void operator()(wchar_t* p) const { PyMem_Free(p); }
    };
    static constexpr Py_ssize_t kLocal = 64;
    wchar_t mLocal[kLocal];
    std::unique_ptr<wchar_t, Free> mHeap;
    const wchar_t* mText = nullptr;
};

// METH_VARARGS: (TqString proxy, str) -> bool.
PyObject* text_eq(PyObject*, PyObject* args) {
    PyObject *self, *value;
    if (!unpack2(args, &self, &value)) return nullptr;
    TqString* s = string_of(self);
    if (!s) return nullptr;
    WideText text;
    if (!text.convert(value)) return nullptr;
    bool eq;
    {
        Unlocked u;
        eq = *s == text.get();
    }
    return PyBool_FromLong(eq);
}

// METH_O: TqString proxy -> str. Wide characters -> str.
PyObject* text_of(PyObject*, PyObject* o) {
    TqString* s = string_of(o);
    if (!s) return nullptr;
    const wchar_t* text;
    {
        Unlocked u;
        text = s->GetUnicode();
    }
    return PyUnicode_FromWideChar(text, static_cast<Py_ssize_t>(std::wcslen(text)));
}

// ---- 5. A two-way overload, like TqResult___eq__: (TqResult proxy, TqResult proxy | int) -> bool.
PyObject* result_eq(PyObject*, PyObject* args) {
    PyObject *self, *other;
    if (!unpack2(args, &self, &other)) return nullptr;
    TqResult* r = result_of(self);
    if (!r) return nullptr;
    bool eq;
    if (auto* b = static_cast<TqResult*>(object_of(other, g_result_type))) {
        Unlocked u;
        eq = *r == *b;
    } else if (PyLong_Check(other)) {
        uint32_t code;
        if (!as_uint32(other, &code)) return nullptr;
        Unlocked u;
        eq = *r == code;
    } else {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return PyBool_FromLong(eq);
}

// ---- 6. A callback from an SDK thread, like a director's OnValue(int32_t) -> int32_t: the work a
// director does minus the binding. An SDK-like interface, implemented by hand over a kept Python object:
// its method's function, looked up once (as a director's cache keeps it), is called with the object in
// front; the native thread keeps its Python thread state between callbacks; the answer must be an int
// that fits int32_t.
class ValueSink {
public:
    virtual ~ValueSink() = default;
    virtual int32_t OnValue(int32_t aValue) = 0;
};

class BareValueSink final : public ValueSink {
public:
    BareValueSink(PyObject* self, PyObject* function) : mSelf(self), mFunction(function) {}

    // Called on the thread between adopt() and leave(), with the GIL free.
    int32_t OnValue(int32_t aValue) override {
        PyEval_RestoreThread(mState);
        int32_t answer = -1;
        PyObject* value = PyLong_FromLong(aValue);
        PyObject* result = value ? PyObject_CallFunctionObjArgs(mFunction, mSelf, value, nullptr) : nullptr;
        if (result && PyLong_Check(result)) {
            long v = PyLong_AsLong(result);
            if (v >= INT32_MIN && v <= INT32_MAX && !PyErr_Occurred()) answer = static_cast<int32_t>(v);
        }
        if (PyErr_Occurred()) PyErr_Clear();
        Py_XDECREF(result);
        Py_XDECREF(value);
        mState = PyEval_SaveThread();
        return answer;
    }
    // The thread's state, made once and kept between callbacks.
    void adopt() {
        mOuter = PyGILState_Ensure();
        mState = PyEval_SaveThread();
    }
    void leave() {
        PyEval_RestoreThread(mState);
        PyGILState_Release(mOuter);
    }

private:
    PyObject* mSelf;
    PyObject* mFunction;
    PyGILState_STATE mOuter{};
    PyThreadState* mState = nullptr;
};

// callback_time(obj, count): seconds one new native thread takes to call obj.OnValue(i) count times
// through a BareValueSink.
PyObject* callback_time(PyObject*, PyObject* args) {
    PyObject* self;
    int count;
    if (!PyArg_ParseTuple(args, "Oi", &self, &count)) return nullptr;
    PyObject* function = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "OnValue");
    if (!function) return nullptr;
    BareValueSink bare(self, function);
    ValueSink* sink = &bare;
    double seconds = 0;
    Py_BEGIN_ALLOW_THREADS
    std::thread([&] {
        bare.adopt();
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) sink->OnValue(i);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        bare.leave();
    }).join();
    Py_END_ALLOW_THREADS
    Py_DECREF(function);
    return PyFloat_FromDouble(seconds);
}

// live(class name): SDK objects of the class constructed and not yet destroyed.
PyObject* live(PyObject*, PyObject* name) {
    PyObject* bytes = PyUnicode_AsUTF8String(name);
    if (!bytes) return nullptr;
    long count = TqLiveObjects::Count(PyBytes_AsString(bytes));
    Py_DECREF(bytes);
    return PyLong_FromLong(count);
}

// buffer_view(buffer_proxy): the buffer's bytes as a NumPy view, the proxy as its base: the same work
// as TqBuffer_GetDataPointer (a METH_VARARGS wrapper) with nothing else.
SwigTypeInfo* g_buffer_type = nullptr;

PyObject* set_buffer(PyObject*, PyObject* proxy) {
    g_buffer_type = reinterpret_cast<SwigPyObject*>(proxy)->ty;
    Py_RETURN_NONE;
}

PyObject* buffer_view(PyObject*, PyObject* args) {
    PyObject* proxy = nullptr;
    if (!PyArg_UnpackTuple(args, "buffer_view", 1, 1, &proxy)) return nullptr;
    auto* buffer = static_cast<TqBuffer*>(object_of(proxy, g_buffer_type));
    if (!buffer) {
        PyErr_SetString(PyExc_TypeError, "a TqBuffer proxy expected");
        return nullptr;
    }
    uint8_t* data;
    {
        Unlocked unlocked;
        data = buffer->GetDataPointer();
    }
    int64_t dims[1] = {buffer->GetSize()};
    return kivo::rt::memory_view(data, 1, dims, kivo::rt::kNpyUByte, proxy);
}

// udp_transfer(packet_size, seconds): bytes per second that one thread receives with recvmmsg into
// one buffer while another floods it over loopback UDP with sendmmsg in datagrams of packet_size
// (the bare transfer a stream receiver is measured against).
PyObject* udp_transfer(PyObject*, PyObject* args) {
    unsigned size;
    double duration;
    if (!PyArg_ParseTuple(args, "Id", &size, &duration)) return nullptr;
    if (size < 64 || size > 65000) return PyErr_Format(PyExc_ValueError, "packet size out of range");
    double rate = 0;
    Py_BEGIN_ALLOW_THREADS
    int rx = ::socket(AF_INET, SOCK_DGRAM, 0), tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    int big = 64 << 20;
    ::setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    timeval wait{0, 100000};   // the receiver looks at the end of the run at least this often
    ::setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(0x7F000001u);
    socklen_t len = sizeof addr;
    ::bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len);
    ::connect(tx, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    std::atomic<bool> done{false};
    constexpr int kBatch = 32;
    std::thread sender([&] {
        std::vector<uint8_t> packet(size, 0x5A);
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {packet.data(), size};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        while (!done) ::sendmmsg(tx, msgs, kBatch, 0);
    });
    std::vector<uint8_t> frame(64u << 20);
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    unsigned long long received = 0, offset = 0;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < duration) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {frame.data() + offset % (frame.size() - size), size};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            offset += size;
        }
        int n = ::recvmmsg(rx, msgs, kBatch, MSG_WAITFORONE, nullptr);
        for (int i = 0; i < n; ++i) received += msgs[i].msg_len;
    }
    rate = received / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    sender.join();
    ::close(rx);
    ::close(tx);
    Py_END_ALLOW_THREADS
    return PyFloat_FromDouble(rate);
}

// gvsp_send(port, width, height, packet_size, seconds, first_block): sends Mono8 frames of the given
// size as GVSP (leader, payload packets, trailer) to 127.0.0.1:port with sendmmsg, unpaced, for the
// given seconds from one thread: the sender a stream receiver is measured with apart from the device's
// own. Like udp_transfer's sender, every payload goes out from one packet's worth of bytes (kept in the
// caches), so that the sender costs what the bare transfer's does. Returns (frames, packets, the
// thread's CPU seconds).
PyObject* gvsp_send(PyObject*, PyObject* args) {
    unsigned port, width, height, packetSize, first;
    double duration;
    if (!PyArg_ParseTuple(args, "IIIIdI", &port, &width, &height, &packetSize, &duration, &first)) return nullptr;
    if (port == 0 || port > 65535 || packetSize < 100 || packetSize > 65000 || width == 0 || height == 0 ||
        uint64_t{width} * height > (1ull << 31))
        return PyErr_Format(PyExc_ValueError, "argument out of range");
    unsigned long long frames = 0, packets = 0;
    double cpu = 0;
    Py_BEGIN_ALLOW_THREADS
    const size_t chunk = Gvsp::PayloadBytes(packetSize), size = size_t{width} * height;
    const size_t count = (size + chunk - 1) / chunk;   // payload packets
    std::vector<uint8_t> bytes(chunk);
    for (size_t i = 0; i < chunk; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    // Headers: the leader's whole, 8 bytes of each payload packet's, the trailer's.
    constexpr size_t kLeader = Gvsp::kHeaderSize + Gvsp::ImageLeader::kSize;
    constexpr size_t kTrailer = Gvsp::kHeaderSize + Gvsp::ImageTrailer::kSize;
    std::vector<uint8_t> headers((count + 2) * kLeader, 0);
    auto header = [&](size_t aIndex) { return headers.data() + aIndex * kLeader; };
    for (size_t i = 0; i < count + 2; ++i) {
        const uint8_t format =
            i == 0 ? Gvsp::kFormatLeader : i == count + 1 ? Gvsp::kFormatTrailer : Gvsp::kFormatPayload;
        Gvsp::Header::Write(header(i), 0, 0, format, static_cast<uint32_t>(i));
    }
    Gvsp::ImageLeader::Write(header(0) + Gvsp::kHeaderSize, Gvsp::kPayloadImage, 0,
                             {TqEngine::Pfnc::kMono8, width, height});
    Gvsp::ImageTrailer::Write(header(count + 1) + Gvsp::kHeaderSize, Gvsp::kPayloadImage, height);
    int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    int big = 4 << 20;
    ::setsockopt(tx, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(0x7F000001u);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::connect(tx, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    constexpr size_t kBatch = 32;
    mmsghdr msgs[kBatch];
    iovec iov[kBatch][2];
    uint16_t block = static_cast<uint16_t>(first ? first : 1);
    const auto start = std::chrono::steady_clock::now();
    timespec cpu0{}, cpu1{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < duration) {
        for (size_t i = 0; i < count + 2; ++i) Gvsp::Header::kBlockId.Put(header(i), block);
        for (size_t next = 0; next < count + 2;) {
            const size_t n = std::min(kBatch, count + 2 - next);
            for (size_t k = 0; k < n; ++k) {
                const size_t i = next + k;
                msgs[k] = {};
                msgs[k].msg_hdr.msg_iov = iov[k];
                if (i == 0 || i == count + 1) {
                    iov[k][0] = {header(i), i == 0 ? kLeader : kTrailer};
                    msgs[k].msg_hdr.msg_iovlen = 1;
                } else {
                    const size_t at = (i - 1) * chunk;
                    iov[k][0] = {header(i), Gvsp::kHeaderSize};
                    iov[k][1] = {bytes.data(), std::min(chunk, size - at)};
                    msgs[k].msg_hdr.msg_iovlen = 2;
                }
            }
            const int sent = ::sendmmsg(tx, msgs, static_cast<unsigned>(n), 0);
            if (sent <= 0) continue;   // the socket's buffer is full: again
            next += static_cast<size_t>(sent);
            packets += static_cast<unsigned long long>(sent);
        }
        ++frames;
        block = block == 65535 ? 1 : static_cast<uint16_t>(block + 1);
    }
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    cpu = (cpu1.tv_sec - cpu0.tv_sec) + (cpu1.tv_nsec - cpu0.tv_nsec) * 1e-9;
    ::close(tx);
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(KKd)", frames, packets, cpu);
}

PyMethodDef kMethods[] = {
    {"udp_transfer", udp_transfer, METH_VARARGS, nullptr},
    {"gvsp_send", gvsp_send, METH_VARARGS, nullptr},
    {"set_buffer", set_buffer, METH_O, nullptr},
    {"buffer_view", buffer_view, METH_VARARGS, nullptr},
    {"set_proxies", set_proxies, METH_VARARGS, nullptr},
    {"is_ok", is_ok, METH_O, nullptr},
    {"set_code", set_code, METH_VARARGS, nullptr},
    {"new_result", new_result, METH_VARARGS, nullptr},
    {"delete_result", delete_result, METH_O, nullptr},
    {"text_eq", text_eq, METH_VARARGS, nullptr},
    {"text_of", text_of, METH_O, nullptr},
    {"result_eq", result_eq, METH_VARARGS, nullptr},
    {"live", live, METH_O, nullptr},
    {"callback_time", callback_time, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {PyModuleDef_HEAD_INIT, "_kivo_bench", nullptr, -1, kMethods,
                            nullptr,               nullptr,       nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kivo_bench() {
    if (!g_box_type && !(g_box_type = make_box_type())) return nullptr;
    return PyModule_Create2(&g_definition, 3);
}
