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
//
// The stream benchmark's baselines and senders: a bare UDP transfer (udp_transfer), a GVSP sender
// that floods a port (gvsp_send) and one that behaves like a camera (camera_start), their packets
// made with the GVSP codec.
#include "numpy_input.h"
#include "proxy.h"

#include "TqBuffer.h"
#include "TqDeviceEngine.h"
#include "TqGvspCodec.h"
#include "TqLoopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>
#include "TqLiveObjects.h"
#include "TqResult.h"
#include "TqString.h"

#include <cstdint>
#include <cwchar>
#include <memory>

namespace {

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

// The packets of a Mono8 frame as GVSP (leader, payload packets, trailer with generic headers),
// made with the codec: each packet's header in memory of its own, the payload bytes from a pattern
// that fits in the caches, so that making a packet costs next to nothing. Payload packet n (from 0)
// carries chunk bytes of the pattern from n % 256 on: byte k of it is (k + n % 256) % 251, a frame
// whose every packet differs from its neighbours (Expected tells a frame's byte).
class MonoFrame {
public:
    MonoFrame(uint32_t aWidth, uint32_t aHeight, uint32_t aPacketSize)
        : mSize(size_t{aWidth} * aHeight), mChunk(TqGvsp::PayloadBytes(aPacketSize)),
          mCount((mSize + mChunk - 1) / mChunk), mPattern(mChunk + 256), mHeaders((mCount + 2) * kLeader, 0) {
        for (size_t i = 0; i < mPattern.size(); ++i) mPattern[i] = static_cast<uint8_t>(i % 251);
        for (size_t i = 0; i < Packets(); ++i) {
            const uint8_t format =
                i == 0 ? TqGvsp::kFormatLeader : i == mCount + 1 ? TqGvsp::kFormatTrailer : TqGvsp::kFormatPayload;
            TqGvsp::Header::Write(Header(i), 0, 0, format, static_cast<uint32_t>(i));
        }
        TqGvsp::ImageLeader::Write(Header(0) + TqGvsp::kHeaderSize, TqGvsp::kPayloadImage, 0,
                                 {TqEngine::Pfnc::kMono8, aWidth, aHeight});
        TqGvsp::ImageTrailer::Write(Header(mCount + 1) + TqGvsp::kHeaderSize, TqGvsp::kPayloadImage, aHeight);
    }

    // Leader, payload packets and trailer.
    size_t Packets() const { return mCount + 2; }

    // Every packet's block ID.
    void SetBlock(uint16_t aBlock) {
        for (size_t i = 0; i < Packets(); ++i) TqGvsp::Header::kBlockId.Put(Header(i), aBlock);
    }

    // Packet aIndex as the one datagram of aMessage, its parts in aParts (two entries).
    void Describe(size_t aIndex, msghdr& aMessage, iovec* aParts) {
        aMessage.msg_iov = aParts;
        if (aIndex == 0 || aIndex == mCount + 1) {
            aParts[0] = {Header(aIndex), aIndex == 0 ? kLeader : kTrailer};
            aMessage.msg_iovlen = 1;
            return;
        }
        const size_t n = aIndex - 1, at = n * mChunk;
        aParts[0] = {Header(aIndex), TqGvsp::kHeaderSize};
        aParts[1] = {mPattern.data() + n % 256, std::min(mChunk, mSize - at)};
        aMessage.msg_iovlen = 2;
    }

    // The datagram's bytes of packet aIndex.
    size_t DatagramSize(size_t aIndex) const {
        if (aIndex == 0) return kLeader;
        if (aIndex == mCount + 1) return kTrailer;
        return TqGvsp::kHeaderSize + std::min(mChunk, mSize - (aIndex - 1) * mChunk);
    }

private:
    static constexpr size_t kLeader = TqGvsp::kHeaderSize + TqGvsp::ImageLeader::kSize;
    static constexpr size_t kTrailer = TqGvsp::kHeaderSize + TqGvsp::ImageTrailer::kSize;

    uint8_t* Header(size_t aIndex) { return mHeaders.data() + aIndex * kLeader; }

    size_t mSize, mChunk, mCount;
    std::vector<uint8_t> mPattern;
    std::vector<uint8_t> mHeaders;   // kLeader bytes a packet: the leader's whole, the others' headers
};

uint16_t NextBlock(uint16_t aBlock) { return aBlock == 65535 ? 1 : static_cast<uint16_t>(aBlock + 1); }

double ThreadCpu() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

bool FrameArguments(unsigned aWidth, unsigned aHeight, unsigned aPacketSize) {
    return aPacketSize >= 100 && aPacketSize <= 65000 && aWidth && aHeight && uint64_t{aWidth} * aHeight <= (1ull << 31);
}

// A copy of the descriptor aGiven of a UDP socket (closed by the caller); -1 with a Python error set.
int copy_udp_socket(long aGiven) {
    int type = 0;
    socklen_t length = sizeof type;
    if (aGiven < 0 || aGiven > INT32_MAX ||
        ::getsockopt(static_cast<int>(aGiven), SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM) {
        PyErr_SetString(PyExc_ValueError, "not the descriptor of a UDP socket");
        return -1;
    }
    const int fd = ::fcntl(static_cast<int>(aGiven), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) PyErr_SetFromErrno(PyExc_OSError);
    return fd;
}

// gvsp_send(port, width, height, packet_size, seconds, first_block, source=-1): sends Mono8 frames of
// the given size as GVSP (leader, payload packets, trailer) to 127.0.0.1:port with sendmmsg, unpaced,
// for the given seconds from one thread: the sender a stream receiver is measured with apart from the
// device's own, from a copy of the socket `source` (the device's stream socket, whose address and port
// the receiver takes datagrams from) or from a socket of its own. Like udp_transfer's sender, every
// payload goes out from bytes kept in the caches, so that the sender costs what the bare transfer's
// does. Returns (frames, packets, the thread's CPU seconds).
PyObject* gvsp_send(PyObject*, PyObject* args) {
    unsigned port, width, height, packetSize, first;
    double duration;
    int source = -1;
    if (!PyArg_ParseTuple(args, "IIIIdI|i", &port, &width, &height, &packetSize, &duration, &first, &source))
        return nullptr;
    if (port == 0 || port > 65535 || !FrameArguments(width, height, packetSize))
        return PyErr_Format(PyExc_ValueError, "argument out of range");
    const int tx = source >= 0 ? copy_udp_socket(source) : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (tx < 0) return PyErr_Occurred() ? nullptr : PyErr_SetFromErrno(PyExc_OSError);
    unsigned long long frames = 0, packets = 0;
    double cpu = 0;
    Py_BEGIN_ALLOW_THREADS
    MonoFrame frame(width, height, packetSize);
    const size_t count = frame.Packets();
    int big = 4 << 20;
    ::setsockopt(tx, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    sockaddr_in addr = TqNet::Endpoint(TqNet::kLoopback, static_cast<uint16_t>(port));   // named in each message:
    // a copy of another's socket is left unconnected
    constexpr size_t kBatch = 32;
    mmsghdr msgs[kBatch];
    iovec iov[kBatch][2];
    uint16_t block = static_cast<uint16_t>(first ? first : 1);
    const auto start = std::chrono::steady_clock::now();
    const double cpu0 = ThreadCpu();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < duration) {
        frame.SetBlock(block);
        for (size_t next = 0; next < count;) {
            const size_t n = std::min(kBatch, count - next);
            for (size_t k = 0; k < n; ++k) {
                msgs[k] = {};
                frame.Describe(next + k, msgs[k].msg_hdr, iov[k]);
                msgs[k].msg_hdr.msg_name = &addr;
                msgs[k].msg_hdr.msg_namelen = sizeof addr;
            }
            const int sent = ::sendmmsg(tx, msgs, static_cast<unsigned>(n), 0);
            if (sent <= 0) continue;   // the socket's buffer is full: again
            next += static_cast<size_t>(sent);
            packets += static_cast<unsigned long long>(sent);
        }
        ++frames;
        block = NextBlock(block);
    }
    cpu = ThreadCpu() - cpu0;
    ::close(tx);
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(KKd)", frames, packets, cpu);
}

// ---- A sender that behaves like a camera: one datagram per packet (sendmmsg of single datagrams,
// never coalesced), frames one after the other with 16-bit block IDs counting up (1 to 65535, then 1
// again), from a socket bound to the device's address (or a socket handed to it), unpaced or paced to
// a line rate. Paced, packet n + 1 leaves when packet n's bytes and the Ethernet, IP and UDP overhead
// (preamble, header, FCS and gap, 38 bytes; 28 more) have had their time on such a line: deadlines
// on the monotonic clock, waited for asleep until kSpin before the deadline (the thread's timer slack
// made 1 ns) and by spinning from there, so that a sender at a slow line leaves the CPU to the
// receiver; a sender that fell behind (the machine ran something else) catches up by sending what is
// due at once, up to kMostLate behind: beyond, it starts afresh from now. The thread asks for the
// highest nice priority (granted to root), so that the receiver's threads, woken by its sends, do not
// hold it up as they would not hold up a camera. Its CPU: the thread's CPU time inside the send calls
// alone (on loopback the kernel's whole receive path, up to the datagram queued on the receiver's
// socket and the receiver woken, runs there), less what reading the thread's CPU clock around them
// costs; the pacing waits are left out.
class CameraSender {
public:
    struct Counts {
        uint64_t frames = 0, packets = 0, sendNs = 0;
        double seconds = 0;
        int error = 0;   // errno of a send that failed for good (the sender then stopped)
    };

    CameraSender(int aSocket, const sockaddr_in& aTo, MonoFrame aFrame, double aLineRate, uint16_t aFirst,
                 uint64_t aFrames)
        : mSocket(aSocket), mTo(aTo), mFrame(std::move(aFrame)), mLineRate(aLineRate), mBlock(aFirst),
          mFrameLimit(aFrames) {}
    ~CameraSender() {
        Stop(false);
        ::close(mSocket);
    }

    void Start() {
        mStarted = std::chrono::steady_clock::now();
        mThread = std::thread([this] { Run(); });
    }

    // Ends the run (or, with aFinish, waits for a run of a given number of frames to end by itself).
    void Stop(bool aFinish) {
        std::lock_guard<std::mutex> guard(mJoin);
        if (!aFinish) mStop = true;
        if (mThread.joinable()) mThread.join();
    }

    Counts Read() const {
        Counts c;
        c.frames = mFrames.load(std::memory_order_relaxed);
        c.packets = mPackets.load(std::memory_order_relaxed);
        c.sendNs = mSendNs.load(std::memory_order_relaxed);
        c.error = mError.load(std::memory_order_relaxed);
        const auto end = mDone.load() ? mEnded : std::chrono::steady_clock::now();
        c.seconds = std::chrono::duration<double>(end - mStarted).count();
        return c;
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kBatch = 32;
    static constexpr int64_t kMostLate = 1000000, kSpin = 30000;   // ns
    static constexpr size_t kLineOverhead = 38 + 20 + 8;   // Ethernet framing and gap, IP, UDP

    // The pacing clock, the one the sleeps wait on.
    static int64_t Now() {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        return t.tv_sec * 1000000000LL + t.tv_nsec;
    }

    // What reading the thread's CPU clock twice adds to a span measured between the readings: the
    // least of many spans with nothing in them.
    static double ClockCost() {
        double least = 1;
        for (int i = 0; i < 200; ++i) {
            const double a = ThreadCpu(), b = ThreadCpu();
            least = std::min(least, b - a);
        }
        return least;
    }

    void Run() {
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), -20);
        const double clockCost = ClockCost();
        const double nsPerByte = mLineRate > 0 ? 8e9 / mLineRate : 0;
        const size_t count = mFrame.Packets();
        std::vector<int64_t> gaps(count, 0);   // ns on the line of each packet
        for (size_t i = 0; nsPerByte > 0 && i < count; ++i)
            gaps[i] = static_cast<int64_t>((mFrame.DatagramSize(i) + kLineOverhead) * nsPerByte + 0.5);
        mmsghdr msgs[kBatch];
        iovec iov[kBatch][2];
        double sendCpu = 0;
        int64_t due = Now();
        uint64_t frames = 0;
        while (!mStop.load(std::memory_order_relaxed) && (!mFrameLimit || frames < mFrameLimit)) {
            mFrame.SetBlock(mBlock);
            for (size_t next = 0; next < count && !mStop.load(std::memory_order_relaxed);) {
                size_t n = std::min(kBatch, count - next);
                if (nsPerByte > 0) {
                    int64_t now = Now();
                    if (due - now > kSpin) {
                        const int64_t wake = due - kSpin;
                        const timespec at{static_cast<time_t>(wake / 1000000000), static_cast<long>(wake % 1000000000)};
                        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
                        continue;
                    }
                    if (now < due) continue;   // spins until the next packet's time
                    if (now - due > kMostLate) due = now;
                    // The packets whose time has come.
                    size_t k = 1;
                    for (int64_t at = due + gaps[next]; k < n && at <= now; ++k) at += gaps[next + k];
                    n = k;
                }
                for (size_t k = 0; k < n; ++k) {
                    msgs[k] = {};
                    msgs[k].msg_hdr.msg_name = &mTo;
                    msgs[k].msg_hdr.msg_namelen = sizeof mTo;
                    mFrame.Describe(next + k, msgs[k].msg_hdr, iov[k]);
                }
                const double before = ThreadCpu();
                const int sent = ::sendmmsg(mSocket, msgs, static_cast<unsigned>(n), 0);
                const int error = errno;
                sendCpu += std::max(0.0, ThreadCpu() - before - clockCost);
                mSendNs.store(static_cast<uint64_t>(sendCpu * 1e9), std::memory_order_relaxed);
                if (sent <= 0) {
                    if (error == EAGAIN || error == ENOBUFS || error == EINTR || error == ECONNREFUSED) continue;
                    mError = error;
                    mStop = true;
                    break;
                }
                for (int k = 0; k < sent; ++k) due += gaps[next + k];
                next += static_cast<size_t>(sent);
                mPackets.fetch_add(static_cast<uint64_t>(sent), std::memory_order_relaxed);
                if (next == count) {
                    mFrames.fetch_add(1, std::memory_order_relaxed);
                    ++frames;
                }
            }
            mBlock = NextBlock(mBlock);
        }
        mEnded = Clock::now();
        mDone = true;
    }

    int mSocket;
    sockaddr_in mTo;
    MonoFrame mFrame;
    double mLineRate;   // bits per second; 0: unpaced
    uint16_t mBlock;
    uint64_t mFrameLimit;   // 0: until stopped
    std::atomic<bool> mStop{false}, mDone{false};
    std::atomic<uint64_t> mFrames{0}, mPackets{0}, mSendNs{0};
    std::atomic<int> mError{0};
    Clock::time_point mStarted, mEnded;
    std::mutex mJoin;
    std::thread mThread;
};

constexpr const char* kCameraCapsule = "_kivo_bench.CameraSender";

void camera_free(PyObject* capsule) {
    auto* sender = static_cast<CameraSender*>(PyCapsule_GetPointer(capsule, kCameraCapsule));
    if (!sender) return;
    Py_BEGIN_ALLOW_THREADS
    delete sender;
    Py_END_ALLOW_THREADS
}

CameraSender* camera_of(PyObject* aCapsule) {
    if (!PyCapsule_IsValid(aCapsule, kCameraCapsule)) {
        PyErr_SetString(PyExc_TypeError, "a camera sender expected");
        return nullptr;
    }
    return static_cast<CameraSender*>(PyCapsule_GetPointer(aCapsule, kCameraCapsule));
}

PyObject* counts_tuple(const CameraSender::Counts& c) {
    return Py_BuildValue("(KKddi)", static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.packets),
                         c.sendNs * 1e-9, c.seconds, c.error);
}

// A loopback IPv4 address (host order) from text; false with ValueError set.
bool loopback_of(const char* aText, uint32_t& aIp) {
    in_addr a{};
    if (::inet_pton(AF_INET, aText, &a) != 1 || !TqNet::IsLoopback(ntohl(a.s_addr))) {
        PyErr_Format(PyExc_ValueError, "not a loopback IPv4 address: %s", aText);
        return false;
    }
    aIp = ntohl(a.s_addr);
    return true;
}

// The socket to send from: a copy of the descriptor aSource (an int), or a new UDP socket bound to the
// address aSource (a str) and port 0. -1 with a Python error set.
int camera_socket(PyObject* aSource) {
    int fd = -1;
    if (PyLong_Check(aSource)) {
        const long given = PyLong_AsLong(aSource);
        if (given == -1 && PyErr_Occurred()) return -1;
        return copy_udp_socket(given);
    }
    if (!PyUnicode_Check(aSource)) {
        PyErr_SetString(PyExc_TypeError, "source: an address (str) or a socket's descriptor (int)");
        return -1;
    }
    PyObject* bytes = PyUnicode_AsUTF8String(aSource);
    if (!bytes) return -1;
    uint32_t ip;
    const bool loopback = loopback_of(PyBytes_AsString(bytes), ip);
    Py_DECREF(bytes);
    if (!loopback) return -1;
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = TqNet::Endpoint(ip, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    int big = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    return fd;
}

// camera_start(destination, port, width, height, packet_size, line_rate, source, first_block=1, frames=0)
// -> sender: starts a CameraSender of Mono8 frames of width x height at packets of packet_size bytes
// (the stream channel's packet size: IP and UDP headers included) to destination:port (a loopback
// address), paced to line_rate bits per second (0: unpaced), from source: an address to bind (port 0)
// or the descriptor of a UDP socket (the sender sends from a copy of it). It sends frames frames, or
// until camera_stop when 0. The sender stops when the object is dropped.
PyObject* camera_start(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"destination", "port", "width", "height", "packet_size", "line_rate", "source",
                                  "first_block", "frames", nullptr};
    const char* destination;
    unsigned port, width, height, packetSize, first = 1;
    unsigned long long frames = 0;
    double lineRate;
    PyObject* source;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sIIIIdO|IK", const_cast<char**>(names), &destination, &port,
                                     &width, &height, &packetSize, &lineRate, &source, &first, &frames))
        return nullptr;
    uint32_t to;
    if (!loopback_of(destination, to)) return nullptr;
    if (port == 0 || port > 65535 || !FrameArguments(width, height, packetSize) || first == 0 || first > 65535 ||
        !(lineRate >= 0) || lineRate > 1e12)
        return PyErr_Format(PyExc_ValueError, "argument out of range");
    const int fd = camera_socket(source);
    if (fd < 0) return nullptr;
    CameraSender* sender = nullptr;
    try {
        sender = new CameraSender(fd, TqNet::Endpoint(to, static_cast<uint16_t>(port)),
                                  MonoFrame(width, height, packetSize), lineRate, static_cast<uint16_t>(first), frames);
    } catch (const std::exception&) {
        ::close(fd);
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(sender, kCameraCapsule, camera_free);
    if (!capsule) {
        delete sender;
        return nullptr;
    }
    try {
        sender->Start();
    } catch (const std::exception&) {
        Py_DECREF(capsule);
        return PyErr_Format(PyExc_RuntimeError, "no sender thread");
    }
    return capsule;
}

// camera_counts(sender) -> (frames, packets, CPU seconds in the send calls, seconds since the start
// (to the end of a finished run), errno of a failed send or 0), while it runs.
PyObject* camera_counts(PyObject*, PyObject* capsule) {
    CameraSender* sender = camera_of(capsule);
    return sender ? counts_tuple(sender->Read()) : nullptr;
}

// camera_stop(sender, finish=False) -> camera_counts' tuple: stops the sender (finish: waits for a run
// of a given number of frames to end by itself).
PyObject* camera_stop(PyObject*, PyObject* args) {
    PyObject* capsule;
    int finish = 0;
    if (!PyArg_ParseTuple(args, "O|p", &capsule, &finish)) return nullptr;
    CameraSender* sender = camera_of(capsule);
    if (!sender) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    sender->Stop(finish != 0);
    Py_END_ALLOW_THREADS
    return counts_tuple(sender->Read());
}

PyMethodDef kMethods[] = {
    {"udp_transfer", udp_transfer, METH_VARARGS, nullptr},
    {"gvsp_send", gvsp_send, METH_VARARGS, nullptr},
    {"camera_start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(camera_start)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"camera_counts", camera_counts, METH_O, nullptr},
    {"camera_stop", camera_stop, METH_VARARGS, nullptr},
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
