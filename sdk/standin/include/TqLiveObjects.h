// Accounting of live SDK objects per class: every class of the SDK holds a counter member, so tests
// can check that what Python made was destroyed again.
#pragma once

#include "TqBaseExport.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace TqLiveObjects {

// A member that counts the objects of one class while they live (copies count too).
class TQ_BASE_API Counter {
public:
    explicit Counter(const char* aClass);
    Counter(const Counter& aOther);
    Counter& operator=(const Counter&) { return *this; }
    ~Counter();

private:
    const char* mClass;
};

// Objects constructed minus objects destroyed, per class name.
TQ_BASE_API long Count(const char* aClass);
TQ_BASE_API std::vector<std::pair<std::string, long>> Snapshot();

// A gate for tests of the binding: once armed, the next construction or destruction of a counted
// object waits until another thread opens the gate (while it waits), or until the timeout. GateOpened tells whether
// it was opened in time (it can only be when the caller did not block the opening thread).
TQ_BASE_API void ArmGate(unsigned aTimeoutMs);
TQ_BASE_API void OpenGate();
TQ_BASE_API bool GateOpened();

}  // namespace TqLiveObjects

// What the SDK tells the application about objects it handed out or keeps for it: objects it deleted
// on its own (the buffers a pipeline trims or a source frees, the parameters of an array that goes with
// its device, the registers of a software device), and objects that let go of everything the
// application had registered with them (the registers of a software device's earlier start). Told on
// the thread that did it, once the objects are no longer reached through the SDK; a deletion is told
// with no lock of the SDK held. A listener hears everything told after it listened.
namespace TqObjectsGone {
enum class News { kDeleted, kLetGo };
using Listener = void (*)(News aNews, const void* const* aObjects, size_t aCount);
TQ_BASE_API void Listen(Listener aListener);
TQ_BASE_API void Tell(News aNews, const void* const* aObjects, size_t aCount);
}  // namespace TqObjectsGone

// The stand-in's log of the arguments its members received, for tests of the binding: the last
// arguments of each member, as text.
namespace TqCallLog {
TQ_BASE_API void Note(const char* aMember, const std::string& aArguments);
// The last arguments noted for the member, or false when it has not been called.
TQ_BASE_API bool Last(const char* aMember, std::string& aArguments);
}  // namespace TqCallLog
