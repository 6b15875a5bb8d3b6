// The stand-in's model of the host (library TqSystem64): the interfaces that discovery sees and the
// devices on them. The loopback adapter is always there; simulated hardware (a USB host controller
// with a USB3 Vision and a plain USB device, a network adapter with the maker's driver and a
// device of its protocol, a GigE Vision record on the loopback adapter, and an interface and a
// record of no known kind) exists only while a test adds it.
#pragma once

#include "TqSystemExport.h"

#include <vector>

#include <memory>
#include <string>

class TqInterface;
class TqNetworkAdapter;
namespace TqEngine {
class Device;
}

class TQ_SYSTEM_API TqSimulation {
public:
    // The interfaces in discovery order, the loopback adapter first.
    static std::vector<TqInterface*> Interfaces();
    static TqNetworkAdapter* Loopback();

    static void AddHardware();
    // The device behind a simulated record, by its connection ID (a USB3 Vision device's GUID, any
    // case); null when there is none. Each is the device engine without the network.
    static std::shared_ptr<TqEngine::Device> Device(const std::string& aConnectionID);
    // The IP configuration of the simulated device of the maker's protocol with that MAC address
    // (any case): its record shows the new values. False when there is no such device.
    static bool SetIPConfiguration(const std::string& aMAC, const std::string& aIP, const std::string& aMask,
                                   const std::string& aGateway);
    // Takes the simulated hardware away. Its objects stay allocated until the process ends, since
    // callers may still hold pointers to them.
    static void RemoveHardware();
};
