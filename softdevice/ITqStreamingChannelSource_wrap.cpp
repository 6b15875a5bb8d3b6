// ITqStreamingChannelSource: the stream source a Python subclass supplies to a software device. Its
// director (source_director.h) forwards the 40 operations to the subclass's methods; the flat
// functions call an operation on any source, and the subclass's own up-call runs the interface's
// implementation (the five it has) or raises for the pure ones. The interface itself cannot be made:
// new_ITqStreamingChannelSource(None) is refused.
#include "source_director.h"
#include "source_docs.h"

namespace kivo::module {

using namespace kivo::rt;

TqBuffer* callback_buffer(PyObject* o, bool disown, int* own) {
    void* buffer = nullptr;
    if (o && SwigPyObject_ConvertPtr(o, &buffer, descriptor_of<TqBuffer>(), disown ? SwigConvert_Disown : 0, own) >= 0)
        return static_cast<TqBuffer*>(buffer);
    if (PyErr_Occurred()) PyErr_Clear();
    Swig::DirectorTypeMismatchException::raise_TypeError("in output value of type 'TqBuffer *'");
}

namespace {

using Source = ITqStreamingChannelSource;
using SwigDirector_ITqStreamingChannelSource = SourceDirector<Source, "ITqStreamingChannelSource", false>;

}  // namespace

Entries streaming_source_entries() {
    using D = SwigDirector_ITqStreamingChannelSource;
    Entries rows = {
        undocumented(director_constructor<"new_ITqStreamingChannelSource", D, Source>()),
        disown_entry<"disown_ITqStreamingChannelSource", Source>(),
        delete_entry<"delete_ITqStreamingChannelSource", Source>(),
    };
    for (Entry& row : source_operations<D>()) rows.push_back(std::move(row));
    rows.push_back(registration<"ITqStreamingChannelSource_swigregister", Source>());
    rows.push_back(initialisation<"ITqStreamingChannelSource_swiginit">());
    return rows;
}

// The docstrings' texts of ITqStreamingChannelSource's rows.
const DocTable kStreamingSourceOperationDocs = source_docs::shared<"ITqStreamingChannelSource">();
const DocTable kStreamingSourceDocs{
    whole("delete_ITqStreamingChannelSource", "Virtual destructor."),
    summary("ITqStreamingChannelSource_GetGevSCPSPacketSizeInfo", source_docs::kGetGevSCPSPacketSizeInfo),
    summary("ITqStreamingChannelSource_QueueBuffer", source_docs::kQueueBuffer),
    summary("ITqStreamingChannelSource_PreQueueBufferProc", source_docs::kPreQueueBufferProc),
    summary("ITqStreamingChannelSource_PostRetrieveBufferProc", source_docs::kPostRetrieveBufferProc),
    summary("ITqStreamingChannelSource_RetrieveBuffer", source_docs::kRetrieveBuffer),
};

}  // namespace kivo::module
