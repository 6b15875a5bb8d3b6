// TqDeviceEventSink: the callbacks of a device that Python subclasses, and its director. Event data
// and command-link bytes reach Python as views of the SDK's memory (no copy, no base object); a view
// kept past the callback holds that memory.
#include "directors.h"
#include "numpy_input.h"
#include "views.h"

#include "TqDevice.h"
#include "TqDeviceEventSink.h"
#include "TqGenParameter.h"

#include <limits>

namespace kivo::module {

// Event data for a callback: a view of the bytes, or a new empty array when there are none (a null
// pointer, whatever length it came with).
struct EventData {
    const void* data;
    uint32_t length;
};
inline PyObject* to_python(EventData v) {
    if (!v.data) return byte_view(nullptr, 0, nullptr);
    return byte_view(v.data, v.length, nullptr);
}

// The one argument of the command-link callbacks: (view of the bytes, address).
struct CommandLink {
    const void* buffer;
    int64_t address;
    int64_t length;
};
inline PyObject* to_python(CommandLink v) {
    kivo::rt::Ref view(byte_view(v.buffer, v.buffer && v.length > 0 ? static_cast<uint64_t>(v.length) : 0, nullptr));
    if (!view) return nullptr;
    return kivo::rt::tuple_of(std::move(view), PyLong_FromLongLong(v.address));
}

namespace {

using namespace kivo::rt;

// The tuple (array-like, address) an up-call of OnCmdLinkRead / OnCmdLinkWrite takes, checked in
// this order, each with its own text: a tuple, two items, an integer address, an array.
enum CommandLinkError { NotTuple = -101, NotTwo = -102, NotInteger = -103, NotArray = -104 };

// The converted tuple: the array held for the call, its bytes and the address.
struct CommandLinkSlot {
    PyObject* array;
    const void* data;
    int64_t length;
    int64_t address;
};

int convert_command_link(PyObject* o, Slot& s, const ParamShape&) {
    CommandLinkSlot& a = s.as<CommandLinkSlot>();
    if (!PyTuple_Check(o)) return NotTuple;
    if (PyTuple_Size(o) < 2) return NotTwo;
    PyObject* address = PyTuple_GetItem(o, 1);
    if (!PyLong_Check(address)) return NotInteger;
    long long value = PyLong_AsLongLong(address);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return NotInteger;
    }
    int is_new = 0;
    PyObject* array = SwigNumpy_ObjToContiguousArray(PyTuple_GetItem(o, 0), kNpyUByte, &is_new);
    // A scalar has no first dimension to give the length: refused like any other non-array.
    if (!array || array_ndim(array) < 1) {
        if (array && is_new) Py_DECREF(array);
        PyErr_Clear();
        return NotArray;
    }
    if (!is_new) Py_INCREF(array);
    // The whole length: the bytes of the array (its first dimension, since the conversion made it
    // contiguous uint8, times the rest).
    a = CommandLinkSlot{array, array_data(array), array_nbytes(array), value};
    s.cleanup = [](Slot& slot) { Py_XDECREF(slot.as<CommandLinkSlot>().array); };
    return 0;
}

void report_command_link(int code, const ParamShape&, const char* func) {
    const char* what = code == NotTuple     ? "requires tuple argument"
                       : code == NotTwo     ? "requires a tuple with two elements as an argument"
                       : code == NotInteger ? "requires an integer as the second tuple element"
                                            : "requires a numpy array as the first tuple element";
    PyErr_Format(PyExc_TypeError, "Error: %s %s", func, what);
}

constexpr ParamKind kCommandLinkKind{convert_command_link, report_command_link, nullptr, nullptr, Rank_Array, false,
                                     nullptr};

// What the up-call hands the SDK member: the bytes, the address and the length.
std::tuple<const void*, int64_t, int64_t> command_link_of(Slot& s) {
    auto& a = s.as<CommandLinkSlot>();
    return {a.data, a.address, a.length};
}
using CommandLinkTuple = CustomKind<"PyObject *", &kCommandLinkKind, &command_link_of>;


using Sink = TqDeviceEventSink;
using D = TqDevice;

class SwigDirector_TqDeviceEventSink : public DirectorOf<Sink, "TqDeviceEventSink"> {
public:
    KIVO_DIRECTOR(SwigDirector_TqDeviceEventSink)
    KIVO_VIRTUAL(void, OnLinkDisconnected, D*)
    KIVO_VIRTUAL(void, OnLinkReconnected, D*)
    // The event's data and length reach Python as one view.
    KIVO_VIRTUAL_INFO(void, OnEvent, false, D*, uint16_t, uint16_t, uint64_t, uint64_t, const void*, uint32_t)
    void OnEvent(D* aDevice, uint16_t aEventID, uint16_t aChannel, uint64_t aBlockID, uint64_t aTimestamp,
                 const void* aData, uint32_t aDataLength) override {
        forward<V_OnEvent>(aDevice, aEventID, aChannel, aBlockID, aTimestamp, EventData{aData, aDataLength});
    }
    KIVO_VIRTUAL(void, OnEventGenICam, D*, uint16_t, uint16_t, uint64_t, uint64_t, TqGenParameterList*)
    // The bytes, address and length reach Python as one tuple (view, address).
    KIVO_VIRTUAL_INFO(void, OnCmdLinkRead, false, const void*, int64_t, int64_t)
    void OnCmdLinkRead(const void* aBuffer, int64_t aAddress, int64_t aLength) override {
        forward<V_OnCmdLinkRead>(CommandLink{aBuffer, aAddress, aLength});
    }
    KIVO_VIRTUAL_INFO(void, OnCmdLinkWrite, false, const void*, int64_t, int64_t)
    void OnCmdLinkWrite(const void* aBuffer, int64_t aAddress, int64_t aLength) override {
        forward<V_OnCmdLinkWrite>(CommandLink{aBuffer, aAddress, aLength});
    }
};

using Data = Array<const uint8_t*, uint32_t>;

// The rows of this class carry docstrings.
template <class V, class Sig = void, class... N>
Entry documented_virtual(const N&... names) {
    return documented(director_virtual<SwigDirector_TqDeviceEventSink, V, Sig>(names...));
}
using Event = Params<DirectorSelf<Sink>, D*, uint16_t, uint16_t, uint64_t, uint64_t, Data>;

}  // namespace

Entries device_event_sink_entries() {
    using Director = SwigDirector_TqDeviceEventSink;
    using CommandLinkCall = Params<DirectorSelf<Sink>, CommandLinkTuple>;
    return {
        director_constructor<"new_TqDeviceEventSink", Director, Sink, true>(),
        delete_entry<"delete_TqDeviceEventSink", Sink>(),
        disown_entry<"disown_TqDeviceEventSink", Sink>(),
        documented_virtual<Director::V_OnLinkDisconnected>("aDevice"),
        documented_virtual<Director::V_OnLinkReconnected>("aDevice"),
        documented_virtual<Director::V_OnEvent, Event>("aDevice", "aEventID", "aChannel", "aBlockID",
                                                       "aTimestamp", "aData"),
        documented_virtual<Director::V_OnEventGenICam>("aDevice", "aEventID", "aChannel", "aBlockID",
                                                       "aTimestamp", "aData"),
        documented_virtual<Director::V_OnCmdLinkRead, CommandLinkCall>("aBufferTuple"),
        documented_virtual<Director::V_OnCmdLinkWrite, CommandLinkCall>("aBufferTuple"),
        registration<"TqDeviceEventSink_swigregister", Sink>(),
        initialisation<"TqDeviceEventSink_swiginit">(),
    };
}

// The docstrings' texts of TqDeviceEventSink's rows.
const DocTable kDeviceEventSinkDocs{
    whole("new_TqDeviceEventSink", "Constructor."),
    whole("delete_TqDeviceEventSink", "Destructor."),
    summary("TqDeviceEventSink_OnLinkDisconnected",
            "Notification that the #TqDevice unexpectedly lost contact with the device."),
    summary("TqDeviceEventSink_OnLinkReconnected",
            "Deprecated, no longer used. TqDevice no longer attempts automatic reconnection."),
    summary("TqDeviceEventSink_OnEvent",
            "The event data keep the device's byte order as received on the wire. All other parameters are provided "
            "in the Endianess of the host.\naChannel: 0xFFFF is used if the event is not associated to a streaming "
            "channel.\naBlockID: 0 is used if the event is not associated to a block.\naTimestamp: Time unit is "
            "defined by the device. 0 if timestamps are not supported by the device that generated the "
            "event.\naData: A 1-dimensional python numpy array with dtype np.uint8 describing the event Data, if "
            "applicable."),
    summary("TqDeviceEventSink_OnEventGenICam", "aData: List containing all parameters invalidated by this event."),
    summary("TqDeviceEventSink_OnCmdLinkRead",
            "The callback comes after the read, so the buffer holds the data read from the device. This callback is "
            "only invoked on a successful read operation. If aLength is 4 bytes, that data is represented as a 4 "
            "bytes value formatted as big endian.\naBufferTuple: Tuple composed of (aBuffer, aAddress)"),
    summary("TqDeviceEventSink_OnCmdLinkWrite",
            "The callback is invoked AFTER the write operation. This callback is only invoked on a successful write "
            "operation. If aLength is 4 bytes, that data is represented as a 4 bytes value formatted as big "
            "endian.\naBufferTuple: Tuple composed of (aBuffer, aAddress)"),
};

}  // namespace kivo::module
