// Routes of a device's events to receivers inside the SDK (internal to the device library and the
// libraries built on it): a receiver takes the events of one ID of one device, whatever sinks the
// application registered, and hears when the device's link goes. A link watch serves a device
// known only by its address (a stream opened for it): it hears when a link of this process that
// controls the device at that address is lost.
//
// Calls: OnRoutedEvent on the device's event thread, before the device's sinks hear the same event
// (the data in the device's byte order; the memory is the caller's and is gone after the call);
// OnRoutedLinkGone when the link is lost (on the event thread), when the device is disconnected and
// when it is destroyed (aDestroyed; its routes are dropped then), on the thread that did it.
// OnWatchedLinkLost on the lost link's event thread, before the device's routes and sinks hear of
// the loss. No lock of the device or of its link is held during a call.
#pragma once

#include "TqResult.h"

#include <cstdint>

class TqDevice;
class ITqDeviceAdapter;

namespace TqDeviceLib {

class EventRoute {
public:
    virtual ~EventRoute() = default;
    virtual void OnRoutedEvent(uint16_t aEventID, const uint8_t* aData, uint32_t aLength) = 0;
    virtual void OnRoutedLinkGone(bool aDestroyed) = 0;
};

// The device a TqDeviceAdapter stands for; null for null and for other implementations of the
// interface.
TqDevice* AdapterDevice(ITqDeviceAdapter* aAdapter);

// One receiver per device and event ID: TQ_INVALID_PARAMETER for a null device or route, TQ_STATE_ERROR
// when the ID of that device is taken.
TqResult AddEventRoute(TqDevice* aDevice, uint16_t aEventID, EventRoute* aRoute);
// Drops every route of aRoute, then waits until its calls under way on other threads have returned
// (one on this thread, from inside its own callback, is not waited for).
void RemoveEventRoutes(EventRoute* aRoute);

class LinkWatch {
public:
    virtual ~LinkWatch() = default;
    virtual void OnWatchedLinkLost() = 0;
};

// Watches the links to the GigE Vision device at aIp (host order) until RemoveLinkWatch, which waits
// like RemoveEventRoutes.
void AddLinkWatch(uint32_t aIp, LinkWatch* aWatch);
void RemoveLinkWatch(LinkWatch* aWatch);

// The device library's side: hands an event to its receiver (false when the ID has none), tells a
// device's receivers that its link went, tells the watches of an address that a link controlling
// the device there was lost.
bool RouteEvent(TqDevice* aDevice, uint16_t aEventID, const uint8_t* aData, uint32_t aLength);
void RouteLinkGone(TqDevice* aDevice, bool aDestroyed);
void WatchedLinkLost(uint32_t aIp);

}  // namespace TqDeviceLib
