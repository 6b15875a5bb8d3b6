// The SDK's argument kinds that are no classes of its own: pointer objects (a value the SDK reads or
// writes through a pointer or a reference, reached only by a bare pointer object of one descriptor),
// each with what None means and how messages spell it. A new kind is one line here.
#pragma once

#include "director.h"
#include "sdk_types.h"

namespace kivo::module {

template <TypeId Id>
SwigTypeInfo* descriptor_by_id() {
    return type(Id);
}

// What None given for a pointer object means: a null pointer, a refusal with the plain argument
// message, or a refusal as an "invalid null reference".
enum class NoneIs { Null, Refused, NullReference };

template <NoneIs None>
constexpr const kivo::rt::ParamKind* none_kind() {
    if constexpr (None == NoneIs::Null)
        return &kivo::rt::kPointerKind;
    else if constexpr (None == NoneIs::Refused)
        return &kivo::rt::kNotNonePointerKind;
    else
        return &kivo::rt::kReferenceKind;
}

// A pointer object of descriptor Id, handed to the SDK as Take (a pointer, or a reference to what it
// points at), spelled Spelling.
template <class Take, TypeId Id, kivo::rt::Text Spelling, NoneIs None>
using PointerObject = kivo::rt::PointerKind<Spelling, none_kind<None>(), &descriptor_by_id<Id>, Take>;

// The SDK's plain references and byte pointers.
template <class T, TypeId Id, kivo::rt::Text Spelling>
using ByReference = PointerObject<T&, Id, Spelling, NoneIs::NullReference>;
template <class T, TypeId Id, kivo::rt::Text Spelling>
using ByPointer = PointerObject<T*, Id, Spelling, NoneIs::Refused>;

using BoolPointer = PointerObject<bool*, TypeId::Bool, "bool *", NoneIs::Null>;   // a flag a callback may set
using BoolReference = ByReference<bool, TypeId::Bool, "bool &">;
using AccessTypeTarget = PointerObject<TqAccessType&, TypeId::TqAccessType, "TqAccessType &", NoneIs::Refused>;
using BytePointer = ByPointer<uint8_t, TypeId::unsigned_char, "uint8_t *">;
using ConstBytePointer = ByPointer<const uint8_t, TypeId::unsigned_char, "uint8_t const *">;
using FoundRecordPointer =
    PointerObject<const TqDeviceInfo**, TypeId::p_TqDeviceInfo, "TqDeviceInfo const **", NoneIs::Null>;

}  // namespace kivo::module

// A flag a callback may set reaches Python as the same pointer object.
template <>
struct kivo::rt::CallbackArgument<bool*> {
    static PyObject* make(bool* p) {
        return to_python(PointerArgument<&kivo::module::descriptor_by_id<kivo::module::TypeId::Bool>>{p});
    }
};
