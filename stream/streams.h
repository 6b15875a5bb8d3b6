// What the stream wrappers share: streams handed out typed by their kind, buffers handed back that
// keep the proxy they were queued with alive, and the empty default of a text parameter.
#pragma once

#include "attached.h"
#include "devices.h"

#include "TqStream.h"

namespace kivo::module {

using StreamKinds = MostDerivedOf<TqStream, TqStreamGEV, TqStreamU3V, TqStreamRTP>;

// A buffer the stream hands back (TqBuffer **): a new proxy that does not own it and keeps alive
// the proxy it was queued with, which the stream held until now; None for none.
PyObject* out_returned_buffer(kivo::rt::Slot& s, const kivo::rt::ParamShape& p, kivo::rt::CallFrame& f);
extern const kivo::rt::ParamKind kReturnedBufferKind;
inline TqBuffer** returned_buffer_place(kivo::rt::Slot& s) { return reinterpret_cast<TqBuffer**>(&s.as<void*>()); }
using ReturnedBuffer = kivo::rt::OutputKind<"TqBuffer **", &kReturnedBufferKind, &returned_buffer_place, 0,
                                            &kivo::rt::descriptor_of<TqBuffer>>;

// A text parameter that a shorter form leaves out: an empty TqString.
struct EmptyTextDefault {};

}  // namespace kivo::module

template <>
struct kivo::rt::ParamOf<kivo::module::EmptyTextDefault> : kivo::rt::ParamOf<const TqString&> {
    static void set_default(Slot& s) {
        static const TqString empty;
        s.cleanup = nullptr;
        s.as<kivo::module::TextSlot>().text = const_cast<TqString*>(&empty);
    }
};
template <>
struct kivo::rt::Decl<kivo::module::EmptyTextDefault> : kivo::rt::Decl<const TqString&> {};
