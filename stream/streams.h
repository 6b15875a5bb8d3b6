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
struct ReturnedBuffer {};
PyObject* out_returned_buffer(kivo::rt::Slot& s, const kivo::rt::ParamShape& p, kivo::rt::CallFrame& f);
extern const kivo::rt::ParamKind kReturnedBufferKind;

// A text parameter that a shorter form leaves out: an empty TqString.
struct EmptyTextDefault {};

}  // namespace kivo::module

template <>
struct kivo::rt::ParamOf<kivo::module::ReturnedBuffer> {
    static constexpr const ParamKind* kind() { return &kivo::module::kReturnedBufferKind; }
    static constexpr uint8_t flags = Param_Output | Param_Documented;
    static constexpr int width = 1;
    static constexpr SwigTypeInfo* (*descriptor)() = &descriptor_of<TqBuffer>;
    static TqBuffer** take(Slot& s) { return reinterpret_cast<TqBuffer**>(&s.as<void*>()); }
};
template <>
struct kivo::rt::Decl<kivo::module::ReturnedBuffer> {
    static std::string get() { return "TqBuffer **"; }
};
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
