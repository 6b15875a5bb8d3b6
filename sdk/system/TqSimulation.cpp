#include "TqSimulation.h"

#include "TqDeviceEngine.h"
#include "TqDeviceInfo.h"
#include "TqInterface.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct Host {
    std::mutex lock;
    std::unique_ptr<TqNetworkAdapter> loopback;
    std::vector<std::unique_ptr<TqInterface>> added;
    std::vector<std::unique_ptr<TqInterface>> retired;   // kept until the process ends
    std::map<std::string, std::shared_ptr<TqEngine::Device>> devices;   // by upper-case connection ID
};

std::string Upper(std::string aText) {
    std::transform(aText.begin(), aText.end(), aText.begin(), [](unsigned char c) { return std::toupper(c); });
    return aText;
}

// The engine device that a simulated record stands for.
std::shared_ptr<TqEngine::Device> MakeDevice(const TqDeviceInfo& aRecord, uint8_t aMacLow) {
    TqEngine::DeviceConfig config;
    config.identity.manufacturer = aRecord.GetVendorName().GetAscii();
    config.identity.model = aRecord.GetModelName().GetAscii();
    config.identity.version = aRecord.GetVersion().GetAscii();
    config.identity.serial = aRecord.GetSerialNumber().GetAscii();
    config.identity.userName = aRecord.GetUserDefinedName().GetAscii();
    config.identity.mac = {0x02, 0x4B, 0x49, 0x56, 0x20, aMacLow};
    return std::make_shared<TqEngine::Device>(config);
}

// Never destroyed: pointers into it may be used while the process exits.
Host& TheHost() {
    static Host* host = new Host;
    return *host;
}

}  // namespace

std::vector<TqInterface*> TqSimulation::Interfaces() {
    Host& host = TheHost();
    TqNetworkAdapter* lo = Loopback();
    std::lock_guard<std::mutex> guard(host.lock);
    std::vector<TqInterface*> out{lo};
    for (auto& i : host.added) out.push_back(i.get());
    return out;
}

TqNetworkAdapter* TqSimulation::Loopback() {
    Host& host = TheHost();
    std::lock_guard<std::mutex> guard(host.lock);
    if (!host.loopback) {
        auto lo = std::make_unique<TqNetworkAdapter>();
        lo->mName = "lo";
        lo->mDisplayID = "lo (127.0.0.1)";
        lo->mUniqueID = "net:lo";
        lo->mCompareID = "1-net-lo";
        lo->mMAC = "00.00.00.00.00.00";
        lo->mDescription = "Loopback interface";
        lo->mAddresses = {{"127.0.0.1", "255.0.0.0"}};
        lo->mGateway = "0.0.0.0";
        host.loopback = std::move(lo);
    }
    return host.loopback.get();
}

void TqSimulation::AddHardware() {
    Host& host = TheHost();
    TqNetworkAdapter* lo = Loopback();
    std::lock_guard<std::mutex> guard(host.lock);
    if (!host.added.empty()) return;

    auto identity = [](TqDeviceInfo& d, const char* model, const char* serial, const char* unique,
                       const char* connection, TqDeviceClass cls) {
        d.mVendor = "Kivo Sim";
        d.mModel = model;
        d.mVersion = "2.4.1";
        d.mManufacturerInfo = std::string(model) + " (simulated)";
        d.mSerial = serial;
        d.mUserName = std::string("bench-") + serial;
        d.mDisplayID = std::string("Kivo Sim ") + model + " (" + serial + ")";
        d.mUniqueID = unique;
        d.mConnectionID = connection;
        d.mConfigurationValid = true;
        d.mClass = cls;
    };

    // A GigE Vision record on the loopback adapter; its version has bit 31 set.
    {
        auto gev = std::make_unique<TqDeviceInfoGEV>();
        identity(*gev, "K-GEV 640", "GEV-000912", "gev:02:4b:49:56:00:02", "127.1.2.3", TqDeviceClassTransmitter);
        gev->mMAC = "02:4b:49:56:00:02";
        gev->mIP = "127.1.2.3";   // nothing answers there
        gev->mMask = "255.0.0.0";
        gev->mGateway = "0.0.0.0";
        gev->mGEVVersion = 0x80020001u;
        gev->mAvailable[0] = gev->mAvailable[1] = gev->mAvailable[2] = gev->mAvailable[3] = true;
        gev->mEnabled[0] = gev->mEnabled[2] = true;
        gev->mInterface = lo;
        lo->mDevices.push_back(std::move(gev));
    }

    // A USB host controller with a USB3 Vision device and a plain USB device.
    auto usb = std::make_unique<TqUSBHostController>();
    usb->mName = "USB3 host controller (simulated)";
    usb->mDisplayID = "USB3 host controller 0";
    usb->mUniqueID = "usb:0000:00:14.0";
    usb->mCompareID = "2-usb-0000:00:14.0";
    usb->mDriverVersion = "6.1.0.3.2417";
    usb->mVendorID = 0x8086;
    usb->mDeviceID = 0xA36D;
    usb->mSubsystemID = 0x86868086u;
    usb->mRevision = 0x10;
    usb->mSpeed = TqUSBSpeedSuper;
    {
        auto u3v = std::make_unique<TqDeviceInfoU3V>();
        identity(*u3v, "K-U3 1920", "U3V-000417", "u3v:0001", "4B4956000417", TqDeviceClassTransmitter);
        u3v->mStatus = TqUSBStatusConnected;
        u3v->mGenCPVersion = 0x00010000;
        u3v->mU3VVersion = 0x00010001;
        u3v->mGUID = "4B4956000417";
        u3v->mFamily = "K-U3";
        u3v->mU3VSerial = "000417";
        u3v->mPath = "/sim/usb/1-2";
        u3v->mKey = "usb:1-2";
        u3v->mSpeedMessage = "SuperSpeed (5 Gbps)";
        u3v->mPowerMessage = "896 mA";
        u3v->mSpeeds[1] = u3v->mSpeeds[2] = u3v->mSpeeds[3] = true;
        u3v->mCurrentSpeedSupported = true;
        u3v->mSpeed = TqUSBSpeedSuper;
        u3v->mMaxPower = 896;
        u3v->mMaxPacketSize = 1024;
        u3v->mDriverInstalled = true;
        u3v->mInitializedCapabilities = true;
        u3v->mInterface = usb.get();
        usb->mDevices.push_back(std::move(u3v));

        auto plain = std::make_unique<TqDeviceInfoUSB>();
        identity(*plain, "USB serial bridge", "USB-000033", "usb:0002", "usb:1-3", TqDeviceClassPeripheral);
        plain->mStatus = TqUSBStatusNotEnoughPower;
        plain->mConfigurationValid = false;
        plain->mInterface = usb.get();
        usb->mDevices.push_back(std::move(plain));
    }

    // A network adapter with the maker's driver and a device of the maker's protocol on it; its
    // identifiers use the upper half of the byte range.
    auto zel = std::make_unique<TqNetworkAdapter>();
    zel->mName = "zel0";
    zel->mDisplayID = "zel0 (192.168.50.1)";
    zel->mUniqueID = "net:zel0";
    zel->mCompareID = "1-net-zel0";
    zel->mDriverVersion = "6.1.0.3.2417";
    zel->mMAC = "02.4B.49.56.00.01";
    zel->mDescription = "Network adapter with the maker's driver (simulated)";
    zel->mAddresses = {{"192.168.50.1", "255.255.255.0"}, {"10.7.0.1", "255.255.0.0"}};
    zel->mGateway = "192.168.50.254";
    zel->mDriverInstalled = true;
    {
        auto device = std::make_unique<TqDeviceInfoZelvraProtocol>();
        identity(*device, "K-ZP 4K", "ZP-000200", "zp:200", "192.168.50.20", TqDeviceClassTransceiver);
        device->mMAC = "02:4b:49:56:10:c8";
        device->mIP = "192.168.50.20";
        device->mMask = "255.255.255.0";
        device->mGateway = "192.168.50.254";
        device->mDeviceID = 200;
        device->mModuleID = 171;
        device->mSubID = 3;
        device->mVendorID = 255;
        device->mSoftwareMajor = 7;
        device->mSoftwareMinor = 129;
        device->mInterface = zel.get();
        zel->mDevices.push_back(std::move(device));
    }

    // An interface and a record of no known kind.
    auto other = std::unique_ptr<TqInterface>(new TqInterface(TqInterfaceTypeUnknown));
    other->mName = "sim-other";
    other->mDisplayID = "Other interface (simulated)";
    other->mUniqueID = "other:0";
    other->mCompareID = "3-other-0";
    {
        auto record = std::unique_ptr<TqDeviceInfo>(new TqDeviceInfo(TqDeviceInfoTypeUnknown));
        identity(*record, "Unknown kind", "X-000001", "other:0:0", "other:0:0", TqDeviceClassUnknown);
        record->mInterface = other.get();
        other->mDevices.push_back(std::move(record));
    }

    // Every record but the plain USB one and the GigE Vision one (which is reached over the network)
    // has a device behind it.
    host.devices[Upper(usb->mDevices[0]->mConnectionID)] = MakeDevice(*usb->mDevices[0], 1);
    host.devices[Upper(zel->mDevices[0]->mConnectionID)] = MakeDevice(*zel->mDevices[0], 2);
    host.devices[Upper(other->mDevices[0]->mConnectionID)] = MakeDevice(*other->mDevices[0], 3);

    host.added.push_back(std::move(usb));
    host.added.push_back(std::move(zel));
    host.added.push_back(std::move(other));
}

std::shared_ptr<TqEngine::Device> TqSimulation::Device(const std::string& aConnectionID) {
    Host& host = TheHost();
    std::lock_guard<std::mutex> guard(host.lock);
    auto it = host.devices.find(Upper(aConnectionID));
    return it == host.devices.end() ? nullptr : it->second;
}

void TqSimulation::RemoveHardware() {
    Host& host = TheHost();
    Loopback();
    std::lock_guard<std::mutex> guard(host.lock);
    for (auto& i : host.added) host.retired.push_back(std::move(i));
    host.added.clear();
    host.devices.clear();   // connected devices keep theirs
    // The loopback adapter keeps only what is really there.
    auto& devices = host.loopback->mDevices;
    for (auto& d : devices) {
        auto holder = std::make_unique<TqNetworkAdapter>();
        holder->mDevices.push_back(std::move(d));
        host.retired.push_back(std::move(holder));
    }
    devices.clear();
}

bool TqSimulation::SetIPConfiguration(const std::string& aMAC, const std::string& aIP, const std::string& aMask,
                                      const std::string& aGateway) {
    Host& host = TheHost();
    std::lock_guard<std::mutex> guard(host.lock);
    for (auto& i : host.added)
        for (auto& d : i->mDevices)
            if (auto* device = dynamic_cast<TqDeviceInfoZelvraProtocol*>(d.get()); device && Upper(device->mMAC) == Upper(aMAC)) {
                auto engine = host.devices.extract(Upper(device->mConnectionID));
                device->mIP = aIP;
                device->mMask = aMask;
                device->mGateway = aGateway;
                device->mConnectionID = aIP;
                if (!engine.empty()) {
                    engine.key() = Upper(aIP);
                    host.devices.insert(std::move(engine));
                }
                return true;
            }
    return false;
}
