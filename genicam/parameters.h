// What the GenICam wrappers share: a parameter handed out by the SDK becomes a proxy of its most
// derived kind.
#pragma once

#include "classes.h"
#include "sdk_types.h"

#include "TqGenParameter.h"

namespace kivo::module {

// TqGenParameter * results: a borrowed proxy of the first kind the object is (Integer, Float, Enum,
// Boolean, Command, String, Register), else of TqGenParameter; None for null.
extern const kivo::rt::ResultKind kMostDerivedParameter;
PyObject* most_derived_parameter(TqGenParameter* parameter, kivo::rt::CallFrame& f);

template <class Base = kivo::rt::Default>
struct MostDerived : Base {
    static constexpr bool has_result = true;
    static constexpr const kivo::rt::ResultKind* result = &kMostDerivedParameter;
};

}  // namespace kivo::module
