// TqStreamingChannelSourceDefault: the SDK's ready-made stream source, which a Python subclass
// completes with QueueBuffer and RetrieveBuffer (its frames). Its director is the stream source's
// (source_director.h) over the SDK class: an operation the subclass does not override, and its own
// up-call, run the SDK's implementation; QueueBuffer and RetrieveBuffer stay pure. The class has the
// flat functions of the 35 operations it implements (the interface's give it the other five), and
// new_ takes the SDK constructor's arguments (width, height, pixel type, buffer count), each with the
// SDK's default; the class itself cannot be made: new_TqStreamingChannelSourceDefault(None, ...) is
// refused.
#include "source_director.h"
#include "source_docs.h"

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

// The docstrings' texts of TqStreamingChannelSourceDefault's rows: its operations carry the
// interface's texts.
const DocTable kStreamingSourceDefaultOperationDocs = source_docs::shared<"TqStreamingChannelSourceDefault">();
const DocTable kStreamingSourceDefaultDocs{
    whole("new_TqStreamingChannelSourceDefault",
          "Default constructor.\n\n"
          ":type aWidth: int, in, optional\n:param aWidth: The default width of the image source (640).\n"
          ":type aHeight: int, in, optional\n:param aHeight: The default height of the image source (480).\n"
          ":type aPixelType: int, in, optional\n"
          ":param aPixelType: The default pixel type of the image source (TqPixelMono8).\n"
          ":type aBufferCount: int, in, optional\n"
          ":param aBufferCount: The number of buffers to allocate for streaming (16).\n"),
};

}  // namespace kivo::module
