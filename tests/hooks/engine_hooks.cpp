// Test-module functions that drive the device engine: software GigE Vision devices on loopback that
// the Python tests talk to with their own GVCP/GVSP client (or with another one). A device is named
// by an integer handle; blocking engine calls run with the GIL released.
#include "hook_tables.h"

#include "convert.h"
#include "proxy.h"
#include "registry.h"
#include "soft_recorders.h"

#include "TqDeviceEngine.h"
#include "TqSoftDeviceAccess.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

using TqEngine::Device;

std::mutex& devicesMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

// Handles to devices; the devices are destroyed by soft_device_stop (or stay until the process ends).
// A TqSoftDeviceGEV's engine device (soft_device_of) is its library's: soft_device_stop only forgets it.
std::map<long, std::shared_ptr<Device>>& devices() {
    static auto* table = new std::map<long, std::shared_ptr<Device>>;
    return *table;
}

long gNextHandle = 1;

std::shared_ptr<Device> find(long aHandle) {
    std::lock_guard lock(devicesMutex());
    auto it = devices().find(aHandle);
    if (it == devices().end()) {
        PyErr_SetString(PyExc_KeyError, "no such software device");
        return nullptr;
    }
    return it->second;
}

// A list of aMake(item) (each a new reference, or null with an error set) for the items of aItems;
// null with the error set when one failed.
template <class Items, class Make>
PyObject* ListOf(const Items& aItems, Make aMake) {
    PyObject* out = PyList_New(0);
    if (!out) return nullptr;
    for (const auto& item : aItems) {
        PyObject* row = aMake(item);
        if (!row || PyList_Append(out, row) < 0) {
            Py_XDECREF(row);
            Py_DECREF(out);
            return nullptr;
        }
        Py_DECREF(row);
    }
    return out;
}

PyObject* BytesOf(const std::vector<uint8_t>& aBytes) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(aBytes.data()), Py_ssize_t(aBytes.size()));
}

bool parseMac(const char* aText, std::array<uint8_t, 6>& aMac) {
    unsigned b[6];
    char tail;
    if (std::sscanf(aText, "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6) return false;
    for (int i = 0; i < 6; ++i) {
        if (b[i] > 255) return false;
        aMac[i] = uint8_t(b[i]);
    }
    return true;
}

// soft_device_start(address="", manufacturer=..., model=..., version=..., info=..., serial=...,
//                   user_name="", firmware=..., mac="02:4b:49:00:00:01", width=640, height=480,
//                   pixel_format=Mono8, channels=1, start=True, max_packet=9000) -> handle
// Creates a device and starts its UDP front end (address "" takes the first free 127.0.0.x).
PyObject* soft_device_start(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"address", "manufacturer", "model", "version", "info", "serial", "user_name",
                                  "firmware", "mac", "width", "height", "pixel_format", "channels", "start", "max_packet",
                                  nullptr};
    TqEngine::DeviceConfig config;
    const char *address = "", *manufacturer = nullptr, *model = nullptr, *version = nullptr, *info = nullptr,
               *serial = nullptr, *userName = nullptr, *firmware = nullptr, *mac = nullptr;
    unsigned int width = config.width, height = config.height, format = config.pixelFormat, channels = 1;
    unsigned int maxPacket = config.maxPacketSize;
    int start = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|sssssssssIIIIpI", const_cast<char**>(names), &address,
                                     &manufacturer, &model, &version, &info, &serial, &userName, &firmware, &mac,
                                     &width, &height, &format, &channels, &start, &maxPacket))
        return nullptr;
    TqEngine::Identity& id = config.identity;
    if (manufacturer) id.manufacturer = manufacturer;
    if (model) id.model = model;
    if (version) id.version = version;
    if (info) id.manufacturerInfo = info;
    if (serial) id.serial = serial;
    if (userName) id.userName = userName;
    if (firmware) id.firmwareVersion = firmware;
    if (mac && !parseMac(mac, id.mac)) {
        PyErr_SetString(PyExc_ValueError, "mac must read like 02:4b:49:00:00:01");
        return nullptr;
    }
    uint32_t wanted = 0;
    if (*address && !TqEngine::ParseAddress(address, wanted)) {
        PyErr_SetString(PyExc_ValueError, "address must be a dotted quad");
        return nullptr;
    }
    config.width = width;
    config.height = height;
    config.pixelFormat = format;
    config.streamChannels = channels;
    config.maxPacketSize = maxPacket;

    auto device = std::make_shared<Device>(config);
    std::string error;
    bool started = true;
    if (start) {
        PyThreadState* state = PyEval_SaveThread();
        started = device->Start(wanted, &error);
        PyEval_RestoreThread(state);
    }
    if (!started) {
        PyErr_SetString(PyExc_OSError, error.c_str());
        return nullptr;
    }
    std::lock_guard lock(devicesMutex());
    long handle = gNextHandle++;
    devices()[handle] = std::move(device);
    return PyLong_FromLong(handle);
}

// soft_device_stop(handle): stops the device and forgets it.
PyObject* soft_device_stop(PyObject*, PyObject* args) {
    long handle;
    if (!PyArg_ParseTuple(args, "l", &handle)) return nullptr;
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(devicesMutex());
        auto it = devices().find(handle);
        if (it == devices().end()) Py_RETURN_NONE;
        device = std::move(it->second);
        devices().erase(it);
    }
    Py_BEGIN_ALLOW_THREADS
    device.reset();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// soft_device_restart(handle, address=""): stops the front end and starts it again.
PyObject* soft_device_restart(PyObject*, PyObject* args) {
    long handle;
    const char* address = "";
    if (!PyArg_ParseTuple(args, "l|s", &handle, &address)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    uint32_t wanted = 0;
    if (*address && !TqEngine::ParseAddress(address, wanted)) {
        PyErr_SetString(PyExc_ValueError, "address must be a dotted quad");
        return nullptr;
    }
    std::string error;
    bool started;
    Py_BEGIN_ALLOW_THREADS
    device->Stop();
    started = device->Start(wanted, &error);
    Py_END_ALLOW_THREADS
    if (!started) {
        PyErr_SetString(PyExc_OSError, error.c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

// soft_device_halt(handle): stops the front end only (the device stays, soft_device_restart revives it).
PyObject* soft_device_halt(PyObject*, PyObject* args) {
    long handle;
    if (!PyArg_ParseTuple(args, "l", &handle)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    device->Stop();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// soft_device_info(handle) -> dict: address, running, acquiring, link, controller, url.
PyObject* soft_device_info(PyObject*, PyObject* args) {
    long handle;
    if (!PyArg_ParseTuple(args, "l", &handle)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    TqEngine::Peer controller = device->Controller();
    std::string controllerText =
        controller.address ? TqEngine::FormatAddress(controller.address) + ":" + std::to_string(controller.port) : "";
    return Py_BuildValue("{s:s,s:O,s:O,s:O,s:s,s:s}", "address", TqEngine::FormatAddress(device->Address()).c_str(),
                         "running", device->IsRunning() ? Py_True : Py_False, "acquiring",
                         device->IsAcquiring() ? Py_True : Py_False, "link", device->IsLinkUp() ? Py_True : Py_False,
                         "controller", controllerText.c_str(), "url", device->FirstUrl().c_str());
}

// soft_device_read(handle, address) -> (status, value)
PyObject* soft_device_read(PyObject*, PyObject* args) {
    long handle;
    unsigned int address;
    if (!PyArg_ParseTuple(args, "lI", &handle, &address)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    uint32_t value = 0;
    uint16_t status;
    Py_BEGIN_ALLOW_THREADS
    status = device->ReadRegister(address, value);
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(II)", unsigned(status), unsigned(value));
}

// soft_device_write(handle, address, value) -> status
PyObject* soft_device_write(PyObject*, PyObject* args) {
    long handle;
    unsigned int address, value;
    if (!PyArg_ParseTuple(args, "lII", &handle, &address, &value)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    uint16_t status;
    Py_BEGIN_ALLOW_THREADS
    status = device->WriteRegister(address, value);
    Py_END_ALLOW_THREADS
    return PyLong_FromUnsignedLong(status);
}

// soft_device_read_memory(handle, address, size) -> (status, bytes)
PyObject* soft_device_read_memory(PyObject*, PyObject* args) {
    long handle;
    unsigned int address, size;
    if (!PyArg_ParseTuple(args, "lII", &handle, &address, &size)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    if (size > (1u << 24)) {
        PyErr_SetString(PyExc_ValueError, "size too large");
        return nullptr;
    }
    std::string data(size, '\0');
    uint16_t status;
    Py_BEGIN_ALLOW_THREADS
    status = device->ReadMemory(address, data.data(), data.size());
    Py_END_ALLOW_THREADS
    if (status != 0) data.clear();
    return Py_BuildValue("(Iy#)", unsigned(status), data.data(), Py_ssize_t(data.size()));
}

// soft_device_write_memory(handle, address, data) -> status
PyObject* soft_device_write_memory(PyObject*, PyObject* args) {
    long handle;
    unsigned int address;
    const char* data;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "lIy#", &handle, &address, &data, &size)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    std::string copy(data, size_t(size));
    uint16_t status;
    Py_BEGIN_ALLOW_THREADS
    status = device->WriteMemory(address, copy.data(), copy.size());
    Py_END_ALLOW_THREADS
    return PyLong_FromUnsignedLong(status);
}

// soft_device_fire_event(handle, event_id, data=b"", block_id=0, channel=0xFFFF) -> status
PyObject* soft_device_fire_event(PyObject*, PyObject* args) {
    long handle;
    unsigned int eventId, channel = 0xFFFF;
    const char* data = "";
    Py_ssize_t size = 0;
    unsigned long long block = 0;
    if (!PyArg_ParseTuple(args, "lI|y#KI", &handle, &eventId, &data, &size, &block, &channel)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    std::string copy(data, size_t(size));
    uint16_t status;
    Py_BEGIN_ALLOW_THREADS
    status = device->FireEvent(uint16_t(eventId), reinterpret_cast<const uint8_t*>(copy.data()), copy.size(), block,
                               uint16_t(channel));
    Py_END_ALLOW_THREADS
    return PyLong_FromUnsignedLong(status);
}

// soft_device_wait_events(handle, timeout_ms) -> True when every queued event is done
PyObject* soft_device_wait_events(PyObject*, PyObject* args) {
    long handle;
    unsigned int timeout;
    if (!PyArg_ParseTuple(args, "lI", &handle, &timeout)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    bool done;
    Py_BEGIN_ALLOW_THREADS
    done = device->WaitEventsDone(timeout);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(done);
}

// soft_device_link(handle, up): plugs (True) or unplugs (False) the device.
PyObject* soft_device_link(PyObject*, PyObject* args) {
    long handle;
    int up;
    if (!PyArg_ParseTuple(args, "lp", &handle, &up)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    device->SetLinkUp(up != 0);
    Py_RETURN_NONE;
}

// soft_device_faults(handle, read_status=0, write_status=0, begin=0, end=0xFFFFFFFF, drop_gvsp=0, drop_gvcp=0,
//                    pending_ms=0)
PyObject* soft_device_faults(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"handle", "read_status", "write_status", "begin", "end", "drop_gvsp", "drop_gvcp",
                                  "pending_ms", nullptr};
    long handle;
    unsigned int readStatus = 0, writeStatus = 0, begin = 0, end = 0xFFFFFFFF, dropGvsp = 0, dropGvcp = 0, pending = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "l|IIIIIII", const_cast<char**>(names), &handle, &readStatus,
                                     &writeStatus, &begin, &end, &dropGvsp, &dropGvcp, &pending))
        return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    TqEngine::Faults faults;
    faults.readStatus = uint16_t(readStatus);
    faults.writeStatus = uint16_t(writeStatus);
    faults.pendingMs = uint16_t(pending);
    faults.begin = begin;
    faults.end = end;
    faults.dropGvspEvery = dropGvsp;
    faults.dropGvcpEvery = dropGvcp;
    device->SetFaults(faults);
    Py_RETURN_NONE;
}

// The counters by the names the soft_device_*statistics functions give them.
const std::pair<const char*, uint64_t TqEngine::Statistics::*> kCounters[] = {
    {"discoveries", &TqEngine::Statistics::discoveriesReceived},
    {"force_ips", &TqEngine::Statistics::forceIpsReceived},
    {"read_regs", &TqEngine::Statistics::readRegsReceived},
    {"write_regs", &TqEngine::Statistics::writeRegsReceived},
    {"read_mems", &TqEngine::Statistics::readMemsReceived},
    {"write_mems", &TqEngine::Statistics::writeMemsReceived},
    {"packet_resends", &TqEngine::Statistics::packetResendRequestsReceived},
    {"actions", &TqEngine::Statistics::actionCommandsReceived},
    {"unknown", &TqEngine::Statistics::unknownCommandsReceived},
    {"malformed", &TqEngine::Statistics::malformedCommandsReceived},
    {"foreign", &TqEngine::Statistics::foreignCommandsIgnored},
    {"pending_acks", &TqEngine::Statistics::pendingAcksIssued},
    {"retries", &TqEngine::Statistics::retriesReceived},
    {"retries_max", &TqEngine::Statistics::retriesReceivedMax},
    {"events", &TqEngine::Statistics::eventsIssued},
    {"event_datas", &TqEngine::Statistics::eventDatasIssued},
    {"event_retries", &TqEngine::Statistics::eventRetriesIssued},
    {"event_retries_max", &TqEngine::Statistics::eventRetriesIssuedMax},
    {"events_acknowledged", &TqEngine::Statistics::eventsAcknowledged},
    {"sessions_opened", &TqEngine::Statistics::sessionsOpened},
    {"sessions_closed", &TqEngine::Statistics::sessionsClosed},
    {"heartbeat_failures", &TqEngine::Statistics::heartbeatFailures},
    {"test_packets", &TqEngine::Statistics::testPacketsIssued},
    {"frames", &TqEngine::Statistics::framesSent},
    {"gvsp_packets", &TqEngine::Statistics::gvspPacketsSent},
    {"gvsp_dropped", &TqEngine::Statistics::gvspPacketsDropped},
    {"gvcp_dropped", &TqEngine::Statistics::gvcpCommandsDropped},
    {"packets_resent", &TqEngine::Statistics::packetsResent},
    {"frames_overrun", &TqEngine::Statistics::framesOverrun},
    {"resends_unavailable", &TqEngine::Statistics::resendsUnavailable},
    {"resends_refused", &TqEngine::Statistics::resendRequestsRefused},
};

// soft_device_statistics(handle) -> dict of the counters
// soft_device_discard(handle, on): while on, the frames of channel 0 go to a sink that drops them
// (the cost of making frames without that of sending them); off restores the destination.
PyObject* soft_device_discard(PyObject*, PyObject* args) {
    long handle;
    int on;
    if (!PyArg_ParseTuple(args, "lp", &handle, &on)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    bool set = false;
    Py_BEGIN_ALLOW_THREADS set = device->SetBlockSink(0, on ? TqEngine::Device::BlockSink([](const TqEngine::Block&) {})
                                                            : TqEngine::Device::BlockSink());
    Py_END_ALLOW_THREADS
    if (!set) {
        PyErr_SetString(PyExc_ValueError, "the device has no stream channel");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* soft_device_statistics(PyObject*, PyObject* args) {
    long handle;
    if (!PyArg_ParseTuple(args, "l", &handle)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    const TqEngine::Statistics s = device->GetStatistics();
    PyObject* out = PyDict_New();
    for (const auto& [name, member] : kCounters) {
        PyObject* number = PyLong_FromUnsignedLongLong(s.*member);
        if (!out || !number || PyDict_SetItemString(out, name, number) < 0) {
            Py_XDECREF(number);
            Py_XDECREF(out);
            return nullptr;
        }
        Py_DECREF(number);
    }
    return out;
}

// soft_device_preset_statistics(handle, {name: value}): the named counters take the values (unsigned
// 64-bit), the others start from 0.
PyObject* soft_device_preset_statistics(PyObject*, PyObject* args) {
    long handle;
    PyObject* values;
    if (!PyArg_ParseTuple(args, "lO!", &handle, &PyDict_Type, &values)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    TqEngine::Statistics preset;
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(values, &at, &key, &value)) {
        const auto* row = std::find_if(std::begin(kCounters), std::end(kCounters), [&](const auto& aRow) {
            return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, aRow.first) == 0;
        });
        if (row == std::end(kCounters)) {
            PyErr_SetObject(PyExc_KeyError, key);
            return nullptr;
        }
        const unsigned long long number = PyLong_AsUnsignedLongLong(value);
        if (PyErr_Occurred()) return nullptr;
        preset.*(row->second) = number;
    }
    device->PresetStatistics(preset);
    Py_RETURN_NONE;
}

// gvsp_frame(width, height, block, fill=-1, packet_size=1500) -> [bytes]: the GVSP packets of one Mono8
// frame as a device sends them (leader, payload packets, trailer; 16-bit block IDs), its image the
// test pattern of the block, or every byte fill (0 to 255).
PyObject* gvsp_frame(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"width", "height", "block", "fill", "packet_size", nullptr};
    unsigned int width, height, block, packetSize = TqEngine::Reg::kDefaultPacketSize;
    int fill = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "III|iI", const_cast<char**>(names), &width, &height, &block,
                                     &fill, &packetSize))
        return nullptr;
    if (width == 0 || height == 0 || width * uint64_t(height) > (64u << 20) || block > 0xFFFF || fill > 255 ||
        TqEngine::Gvsp::PayloadBytes(packetSize) == 0 || packetSize > 65535) {
        PyErr_SetString(PyExc_ValueError, "no such frame");
        return nullptr;
    }
    TqEngine::FrameLayout layout;
    layout.width = width;
    layout.height = height;
    std::vector<uint8_t> image;
    if (fill < 0) TqEngine::FillPattern(layout, uint16_t(block), image);
    else image.assign(TqEngine::ImageBytes(layout), uint8_t(fill));
    TqEngine::Frame frame;
    frame.blockId = block;
    frame.width = width;
    frame.height = height;
    frame.image = image.data();
    frame.imageSize = image.size();
    return ListOf(TqEngine::BuildPackets(frame, 0, packetSize), BytesOf);
}

// gvsp_payload_packet(block, packet_id, payload) -> bytes: one generic GVSP payload packet.
PyObject* gvsp_payload_packet(PyObject*, PyObject* args) {
    unsigned int block, packet;
    const char* payload;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "IIy#", &block, &packet, &payload, &size)) return nullptr;
    if (block > 0xFFFF || packet > 0xFFFFFF) {
        PyErr_SetString(PyExc_ValueError, "a 16-bit block ID and a 24-bit packet ID");
        return nullptr;
    }
    std::vector<uint8_t> out(TqEngine::Gvsp::kHeaderSize + size_t(size));
    TqEngine::Gvsp::Header::Write(out.data(), 0, uint16_t(block), TqEngine::Gvsp::kFormatPayload, packet);
    std::copy(payload, payload + size, out.begin() + TqEngine::Gvsp::kHeaderSize);
    return BytesOf(out);
}

// soft_device_xml(handle) -> the GenICam description the device serves
PyObject* soft_device_xml(PyObject*, PyObject* args) {
    long handle;
    if (!PyArg_ParseTuple(args, "l", &handle)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    const std::string& xml = device->Xml();
    return PyUnicode_FromStringAndSize(xml.data(), Py_ssize_t(xml.size()));
}

// soft_device_stream_socket(handle, channel=0) -> a duplicate of the socket the channel sends from
// (-1 while it is closed), for a sender that must appear as the channel; the caller closes it
PyObject* soft_device_stream_socket(PyObject*, PyObject* args) {
    long handle;
    unsigned int channel = 0;
    if (!PyArg_ParseTuple(args, "l|I", &handle, &channel)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    return PyLong_FromLong(device->DuplicateChannelSocket(channel));
}

// engine_payload_memory() -> the bytes the engine maps for sent blocks' payloads, every device together
PyObject* engine_payload_memory(PyObject*, PyObject*) {
    return PyLong_FromUnsignedLongLong(TqEngine::PayloadMemoryMapped());
}

// soft_devices() -> [{"address", "manufacturer", "model", "serial", "mac"}] of the running devices
PyObject* soft_devices(PyObject*, PyObject*) {
    return ListOf(TqEngine::RunningDevices(), [](const TqEngine::DeviceRecord& r) {
        char mac[24];
        const auto& m = r.identity.mac;
        std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
        return Py_BuildValue("{s:s,s:s,s:s,s:s,s:s}", "address", TqEngine::FormatAddress(r.address).c_str(),
                             "manufacturer", r.identity.manufacturer.c_str(), "model", r.identity.model.c_str(),
                             "serial", r.identity.serial.c_str(), "mac", mac);
    });
}

// soft_device_dispatch(handle, command, peer="127.0.0.1", port=40000, broadcast=False) -> acknowledge bytes
// The dispatcher without the sockets.
PyObject* soft_device_dispatch(PyObject*, PyObject* args) {
    long handle;
    const char* data;
    Py_ssize_t size;
    const char* peer = "127.0.0.1";
    unsigned int port = 40000;
    int broadcast = 0;
    if (!PyArg_ParseTuple(args, "ly#|sIp", &handle, &data, &size, &peer, &port, &broadcast)) return nullptr;
    auto device = find(handle);
    if (!device) return nullptr;
    uint32_t from = 0;
    if (!TqEngine::ParseAddress(peer, from)) {
        PyErr_SetString(PyExc_ValueError, "peer must be a dotted quad");
        return nullptr;
    }
    std::string copy(data, size_t(size));
    TqEngine::Reply reply;
    Py_BEGIN_ALLOW_THREADS
    reply = device->Dispatch(reinterpret_cast<const uint8_t*>(copy.data()), copy.size(),
                             TqEngine::Peer{from, uint16_t(port)}, broadcast != 0);
    Py_END_ALLOW_THREADS
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(reply.ack.data()), Py_ssize_t(reply.ack.size()));
}

// The TqSoftDeviceGEV a proxy of TqSoftDeviceGEV or ITqSoftDeviceGEV, or an address, names; false
// (TypeError) for anything else.
bool soft_device_pointer(PyObject* arg, void*& pointer, const char* function) {
    for (const char* type : {"_p_TqSoftDeviceGEV", "_p_ITqSoftDeviceGEV"}) {
        SwigTypeInfo* descriptor = SwigRuntime_QueryType(type);
        if (descriptor && arg != Py_None && SwigPyObject_ConvertPtr(arg, &pointer, descriptor, 0, nullptr) >= 0)
            return true;
    }
    if (!PyLong_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s takes a TqSoftDeviceGEV or its address", function);
        return false;
    }
    pointer = PyLong_AsVoidPtr(arg);
    return !PyErr_Occurred();
}

// soft_device_of(device) -> handle of the engine device under a running TqSoftDeviceGEV, given as a
// proxy of TqSoftDeviceGEV or ITqSoftDeviceGEV, or as its address. Every soft_device_* control takes
// the handle. ValueError when the device does not run.
PyObject* soft_device_of(PyObject*, PyObject* arg) {
    void* pointer = nullptr;
    if (!soft_device_pointer(arg, pointer, "soft_device_of")) return nullptr;
    std::shared_ptr<Device> device = TqSoftDevice::EngineOf(pointer);
    if (!device) {
        PyErr_SetString(PyExc_ValueError, "not a running software device");
        return nullptr;
    }
    std::lock_guard lock(devicesMutex());
    long handle = gNextHandle++;
    devices()[handle] = std::move(device);
    return PyLong_FromLong(handle);
}

// soft_device_fail_stop(device, what): the next Stop of the TqSoftDeviceGEV (as soft_device_of takes it)
// throws std::runtime_error(what). ValueError when no software device lives there.
PyObject* soft_device_fail_stop(PyObject*, PyObject* args) {
    PyObject* arg;
    const char* what;
    void* pointer = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &arg, &what) || !soft_device_pointer(arg, pointer, "soft_device_fail_stop"))
        return nullptr;
    if (!TqSoftDevice::FailNextStop(pointer, what)) {
        PyErr_SetString(PyExc_ValueError, "no software device lives there");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- recording sinks and sources of software devices ----

struct RecorderEntry {
    std::unique_ptr<KivoSoftTest::RecordingSink> sink;
    std::unique_ptr<KivoSoftTest::RecordingSource> source;
    KivoSoftTest::Recorder& recorder() const {
        return sink ? static_cast<KivoSoftTest::Recorder&>(*sink) : static_cast<KivoSoftTest::Recorder&>(*source);
    }
};

std::map<long, std::shared_ptr<RecorderEntry>>& recorders() {
    static auto* table = new std::map<long, std::shared_ptr<RecorderEntry>>;
    return *table;
}

std::shared_ptr<RecorderEntry> findRecorder(long aHandle) {
    std::lock_guard lock(devicesMutex());
    auto it = recorders().find(aHandle);
    if (it == recorders().end()) {
        PyErr_SetString(PyExc_KeyError, "no such recorder");
        return nullptr;
    }
    return it->second;
}

// soft_recorder(kind, name=kind, fail_at="", stop_in="", journal=0, buffers=3, endless_buffers=False,
//               repeat_buffer=False, endless_pixel_types=False, endless_chunks=False, pixel_types=None,
//               width=640, height=480, packet_size_max=-1, payload_size=0, streams=False) -> handle
// kind "sink" (an ITqSoftDeviceGEVEventSink) or "source" (an ITqStreamingChannelSource) that records
// every call; fail_at names the operation that throws, stop_in the sink operation that calls Stop on
// its device; journal is the handle of a recorder whose journal this one shares (0: its own); a
// source that streams gives its queued buffers back as frames (KivoSoftTest::Options::streams).
PyObject* soft_recorder(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"kind", "name", "fail_at", "stop_in", "journal", "buffers", "endless_buffers",
                                  "repeat_buffer", "endless_pixel_types", "endless_chunks", "pixel_types", "width",
                                  "height", "packet_size_max", "payload_size", "streams", nullptr};
    const char *kind, *name = nullptr, *failAt = "", *stopIn = "";
    long journal = 0;
    unsigned long buffers = 3;
    int endlessBuffers = 0, repeatBuffer = 0, endlessTypes = 0, endlessChunks = 0, streams = 0;
    PyObject* pixelTypes = Py_None;
    KivoSoftTest::Options options;
    long long packetMax = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|ssslkppppOIILIp", const_cast<char**>(names), &kind, &name,
                                     &failAt, &stopIn, &journal, &buffers, &endlessBuffers, &repeatBuffer,
                                     &endlessTypes, &endlessChunks, &pixelTypes, &options.width, &options.height,
                                     &packetMax, &options.payloadSize, &streams))
        return nullptr;
    const std::string what = kind;
    if (what != "sink" && what != "source") {
        PyErr_SetString(PyExc_ValueError, "kind is 'sink' or 'source'");
        return nullptr;
    }
    options.failAt = failAt;
    options.stopIn = stopIn;
    options.buffers = buffers;
    options.endlessBuffers = endlessBuffers;
    options.repeatBuffer = repeatBuffer;
    options.endlessPixelTypes = endlessTypes;
    options.endlessChunks = endlessChunks;
    options.packetSizeMax = packetMax;
    options.streams = streams;
    if (pixelTypes != Py_None) {
        const Py_ssize_t count = PySequence_Size(pixelTypes);
        if (count < 0) return nullptr;
        options.pixelTypes.clear();
        for (Py_ssize_t n = 0; n < count; ++n) {
            PyObject* item = PySequence_GetItem(pixelTypes, n);
            const long long value = item ? PyLong_AsLongLong(item) : -1;
            Py_XDECREF(item);
            if (value == -1 && PyErr_Occurred()) return nullptr;
            options.pixelTypes.push_back(static_cast<TqPixelType>(uint32_t(value)));
        }
        if (!options.pixelTypes.empty()) options.pixelType = options.pixelTypes[0];
    }
    std::shared_ptr<KivoSoftTest::Journal> shared;
    if (journal) {
        auto other = findRecorder(journal);
        if (!other) return nullptr;
        shared = other->recorder().GetJournal();
    }
    auto entry = std::make_shared<RecorderEntry>();
    const std::string label = name ? name : what;
    if (what == "sink")
        entry->sink = std::make_unique<KivoSoftTest::RecordingSink>(label, options, shared);
    else
        entry->source = std::make_unique<KivoSoftTest::RecordingSource>(label, options, shared);
    std::lock_guard lock(devicesMutex());
    long handle = gNextHandle++;
    recorders()[handle] = std::move(entry);
    return PyLong_FromLong(handle);
}

// soft_recorder_proxy(handle) -> a borrowed proxy of ITqSoftDeviceGEVEventSink or
// ITqStreamingChannelSource (LookupError while the module has no such class).
PyObject* soft_recorder_proxy(PyObject*, PyObject* args) {
    long handle;
    if (!PyArg_ParseTuple(args, "l", &handle)) return nullptr;
    auto entry = findRecorder(handle);
    if (!entry) return nullptr;
    SwigTypeInfo* type =
        SwigRuntime_QueryType(entry->sink ? "_p_ITqSoftDeviceGEVEventSink" : "_p_ITqStreamingChannelSource");
    if (!type) {
        PyErr_SetString(PyExc_LookupError, "the module has no class for the recorder");
        return nullptr;
    }
    void* pointer = entry->sink ? static_cast<void*>(static_cast<ITqSoftDeviceGEVEventSink*>(entry->sink.get()))
                                : static_cast<void*>(static_cast<ITqStreamingChannelSource*>(entry->source.get()));
    return SwigPyObject_NewPointerObject(pointer, type, 0);
}

// soft_recorder_calls(handle) -> [(operation, arguments, native thread id)] of its journal, in order;
// operations read "<name>.<operation>".
PyObject* soft_recorder_calls(PyObject*, PyObject* args) {
    long handle;
    if (!PyArg_ParseTuple(args, "l", &handle)) return nullptr;
    auto entry = findRecorder(handle);
    if (!entry) return nullptr;
    return ListOf(entry->recorder().GetJournal()->Calls(), [](const KivoSoftTest::Call& c) {
        return Py_BuildValue("(ssl)", c.operation.c_str(), c.arguments.c_str(), c.thread);
    });
}

// soft_recorder_state(handle) -> {"freed": [times each buffer came back, in the order made] (sources),
// "stop_result": the code of the Stop that stop_in made, or -1}
PyObject* soft_recorder_state(PyObject*, PyObject* args) {
    long handle;
    if (!PyArg_ParseTuple(args, "l", &handle)) return nullptr;
    auto entry = findRecorder(handle);
    if (!entry) return nullptr;
    PyObject* freed = ListOf(entry->source ? entry->source->FreedInOrder() : std::vector<int>(),
                             [](int aTimes) { return PyLong_FromLong(aTimes); });
    if (!freed) return nullptr;
    return Py_BuildValue("{s:N,s:l}", "freed", freed, "stop_result", entry->recorder().StopResult());
}

// soft_recorder_free(handle): destroys the recorder (no device may still use it).
PyObject* soft_recorder_free(PyObject*, PyObject* args) {
    long handle;
    if (!PyArg_ParseTuple(args, "l", &handle)) return nullptr;
    std::shared_ptr<RecorderEntry> entry;
    {
        std::lock_guard lock(devicesMutex());
        auto it = recorders().find(handle);
        if (it == recorders().end()) Py_RETURN_NONE;
        entry = std::move(it->second);
        recorders().erase(it);
    }
    Py_BEGIN_ALLOW_THREADS
    entry.reset();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// soft_device_persist(device, load, values) -> (code, values, handled): a user set's save (load
// false) or load of the registers with sinks of the running or stopped TqSoftDeviceGEV given as a
// proxy; values maps name + suffix to bytes (what a load reads, what a save returns), handled lists
// the registers a sink persisted. The sinks run on this thread with the GIL released.
PyObject* soft_device_persist(PyObject*, PyObject* args) {
    PyObject *proxy, *given;
    int load;
    if (!PyArg_ParseTuple(args, "OpO!", &proxy, &load, &PyDict_Type, &given)) return nullptr;
    void* pointer = nullptr;
    SwigTypeInfo* descriptor = SwigRuntime_QueryType("_p_TqSoftDeviceGEV");
    if (!descriptor || SwigPyObject_ConvertPtr(proxy, &pointer, descriptor, 0, nullptr) < 0 || !pointer) {
        PyErr_SetString(PyExc_TypeError, "soft_device_persist takes a TqSoftDeviceGEV");
        return nullptr;
    }
    std::map<std::string, std::vector<uint8_t>> values;
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(given, &at, &key, &value)) {
        char* bytes;
        Py_ssize_t size;
        PyObject* name = PyUnicode_AsUTF8String(key);
        if (!name) return nullptr;
        std::string text = PyBytes_AsString(name);
        Py_DECREF(name);
        if (PyBytes_AsStringAndSize(value, &bytes, &size) < 0) return nullptr;
        values[text].assign(bytes, bytes + size);
    }
    std::vector<std::string> handled;
    TqResult result;
    Py_BEGIN_ALLOW_THREADS
    result = TqSoftDevice::PersistRegisters(pointer, load != 0, values, handled);
    Py_END_ALLOW_THREADS
    PyObject* saved = PyDict_New();
    PyObject* names = PyList_New(0);
    for (const auto& [name, bytes] : values) {
        PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), Py_ssize_t(bytes.size()));
        PyDict_SetItemString(saved, name.c_str(), b);
        Py_DECREF(b);
    }
    for (const std::string& name : handled) {
        PyObject* s = PyUnicode_FromString(name.c_str());
        PyList_Append(names, s);
        Py_DECREF(s);
    }
    return Py_BuildValue("(INN)", unsigned(result.GetCode()), saved, names);
}

PyMethodDef kRows[] = {
    {"soft_device_persist", soft_device_persist, METH_VARARGS, nullptr},
    {"soft_device_start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(soft_device_start)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"soft_device_stop", soft_device_stop, METH_VARARGS, nullptr},
    {"soft_device_restart", soft_device_restart, METH_VARARGS, nullptr},
    {"soft_device_halt", soft_device_halt, METH_VARARGS, nullptr},
    {"soft_device_info", soft_device_info, METH_VARARGS, nullptr},
    {"soft_device_read", soft_device_read, METH_VARARGS, nullptr},
    {"soft_device_write", soft_device_write, METH_VARARGS, nullptr},
    {"soft_device_read_memory", soft_device_read_memory, METH_VARARGS, nullptr},
    {"soft_device_write_memory", soft_device_write_memory, METH_VARARGS, nullptr},
    {"soft_device_fire_event", soft_device_fire_event, METH_VARARGS, nullptr},
    {"soft_device_wait_events", soft_device_wait_events, METH_VARARGS, nullptr},
    {"soft_device_link", soft_device_link, METH_VARARGS, nullptr},
    {"soft_device_faults", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(soft_device_faults)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"soft_device_statistics", soft_device_statistics, METH_VARARGS, nullptr},
    {"soft_device_preset_statistics", soft_device_preset_statistics, METH_VARARGS, nullptr},
    {"soft_device_discard", soft_device_discard, METH_VARARGS, nullptr},
    {"soft_device_xml", soft_device_xml, METH_VARARGS, nullptr},
    {"soft_devices", soft_devices, METH_NOARGS, nullptr},
    {"engine_payload_memory", engine_payload_memory, METH_NOARGS, nullptr},
    {"soft_device_stream_socket", soft_device_stream_socket, METH_VARARGS, nullptr},
    {"soft_device_dispatch", soft_device_dispatch, METH_VARARGS, nullptr},
    {"soft_device_of", soft_device_of, METH_O, nullptr},
    {"soft_device_fail_stop", soft_device_fail_stop, METH_VARARGS, nullptr},
    {"gvsp_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gvsp_frame)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"gvsp_payload_packet", gvsp_payload_packet, METH_VARARGS, nullptr},
    {"soft_recorder", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(soft_recorder)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"soft_recorder_proxy", soft_recorder_proxy, METH_VARARGS, nullptr},
    {"soft_recorder_calls", soft_recorder_calls, METH_VARARGS, nullptr},
    {"soft_recorder_state", soft_recorder_state, METH_VARARGS, nullptr},
    {"soft_recorder_free", soft_recorder_free, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

kivo::hooks::HookTable registered{kRows};

}  // namespace
