// What the module's director classes share beyond the runtime: the SDK values their Python
// overrides return.
#pragma once

#include "director_entries.h"
#include "sdk_types.h"

#include "TqResult.h"

// A TqResult from an override: an int that fits a 32-bit long is the code of a new result; a
// TqResult proxy is copied; anything else is a type mismatch.
template <>
struct kivo::rt::CallbackResult<TqResult> {
    static constexpr const char* spelling = "TqResult";
    static TqResult from(PyObject* o, const char* method);
};

// A text from an override (an out-reference filled from its tuple): see sdk_values.cpp.
template <>
struct kivo::rt::CallbackResult<TqString> {
    static constexpr const char* spelling = "str";
    static TqString from(PyObject* o, const char* method);
};

// A text a callback gets reaches Python as an owned copy: the SDK's own string lives only for the call,
// the copy as long as Python keeps it.
template <>
struct kivo::rt::CallbackArgument<TqString> {
    static PyObject* make(const TqString& text) {
        return SwigPyObject_NewPointerObject(kivo::rt::new_object<TqString>(text), descriptor_of<TqString>(), SwigNew_Own);
    }
};
