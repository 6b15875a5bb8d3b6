// TqStreamingChannelSourceDefault: the SDK's ready-made stream source, which a Python subclass
// completes with QueueBuffer and RetrieveBuffer (its frames). Its director is the stream source's
// (source_director.h) over the SDK class: an operation the subclass does not override, and its own
// up-call, run the SDK's implementation; QueueBuffer and RetrieveBuffer stay pure. The class has the
// flat functions of the 35 operations it implements (the interface's give it the other five), and
// new_ takes the SDK constructor's arguments (width, height, pixel type, buffer count), each with the
// SDK's default; the class itself cannot be made: new_TqStreamingChannelSourceDefault(None, ...) is
// refused.
#include "source_director.h"

#include <algorithm>
#include <cstring>

namespace kivo::module {

using namespace kivo::rt;

namespace {

using Default = TqStreamingChannelSourceDefault;
using SwigDirector_TqStreamingChannelSourceDefault = SourceDirector<Default, "TqStreamingChannelSourceDefault", true>;

// The interface's operations the SDK class leaves to the interface (or to the application).
bool InterfaceOnly(const Entry& aRow) {
    static const char* const kOperations[] = {"GetGevSCPSPacketSizeInfo", "QueueBuffer", "PreQueueBufferProc",
                                              "PostRetrieveBufferProc", "RetrieveBuffer"};
    const char* operation = aRow.name + std::strlen("TqStreamingChannelSourceDefault_");
    return std::any_of(std::begin(kOperations), std::end(kOperations),
                       [&](const char* aName) { return std::strcmp(operation, aName) == 0; });
}

}  // namespace

Entries streaming_source_default_entries() {
    using D = SwigDirector_TqStreamingChannelSourceDefault;
    Entries rows = {
        director_constructor_forms<"new_TqStreamingChannelSourceDefault", D, Default, false,
                                   Params<uint32_t, uint32_t, TqPixelType, Spelled<"size_t", size_t>>>(
            "aWidth", "aHeight", "aPixelType", "aBufferCount"),
        disown_entry<"disown_TqStreamingChannelSourceDefault", Default>(),
        delete_entry<"delete_TqStreamingChannelSourceDefault", Default>(),
    };
    for (Entry& row : source_operations<D>())
        if (!InterfaceOnly(row)) rows.push_back(std::move(row));
    rows.push_back(registration<"TqStreamingChannelSourceDefault_swigregister", Default>());
    rows.push_back(initialisation<"TqStreamingChannelSourceDefault_swiginit">());
    return rows;
}

}  // namespace kivo::module
