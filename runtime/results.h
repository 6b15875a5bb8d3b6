// Result conversion: which kind turns a C++ result into a Python object, and how the typed call
// stores the result for it. The module adds kinds for the SDK's value types by specialising ResultOf.
#pragma once

#include "dispatch.h"
#include "objects.h"
#include "spelling.h"

#include <type_traits>

namespace kivo::rt {

extern const ResultKind kVoidResult, kBoolResult, kInt32Result, kUInt32Result, kInt64Result, kUInt64Result;
extern const ResultKind kDoubleResult, kCharPtrResult, kWCharPtrResult, kStdStringResult;

PyObject* make_borrowed(void* storage, CallFrame& f, SwigTypeInfo* ty);
PyObject* make_owned(void* storage, SwigTypeInfo* ty, void (*destroy)(void*));
PyObject* make_constructed(void* storage, SwigTypeInfo* ty, void (*destroy)(void*), CallFrame& f);
std::string class_doc_type(const char* name);

// A pointer or reference to an object the SDK keeps: a new borrowed proxy of the class (owned when
// the call's policy hands self's ownership over), None for null.
template <class T>
struct BorrowedResult {
    static PyObject* make(void* storage, CallFrame& f) { return make_borrowed(storage, f, descriptor_of<T>()); }
    static constexpr ResultKind kind{make, nullptr, nullptr, &decl_text<T*>, nullptr};
};

// A class returned by value: an owned heap copy.
template <class T>
struct OwnedResult {
    static PyObject* make(void* storage, CallFrame&) {
        return make_owned(storage, descriptor_of<T>(), &delete_object<T>);
    }
    static std::string doc() { return class_doc_type(TypeOf<T>::name); }
    static constexpr ResultKind kind{make, nullptr, nullptr, &decl_text<T>, &doc};
};

// new_<Class>: the bare proxy that owns the new object.
template <class C>
struct ConstructedResult {
    static PyObject* make(void* storage, CallFrame& f) {
        return make_constructed(storage, descriptor_of<C>(), &delete_object<C>, f);
    }
    static const char* none() { return ""; }
    static constexpr ResultKind kind{make, nullptr, nullptr, &none, nullptr};
};

template <class T, const ResultKind* K>
struct StoredResult {
    static constexpr const ResultKind* kind() { return K; }
    template <class Fn>
    static void store(void* storage, Fn&& fn) {
        ::new (storage) T(static_cast<T>(fn()));
    }
};

template <class R, class = void>
struct ResultOf;

template <>
struct ResultOf<void> {
    static constexpr const ResultKind* kind() { return &kVoidResult; }
    template <class Fn>
    static void store(void*, Fn&& fn) {
        fn();
    }
};
template <> struct ResultOf<bool> : StoredResult<bool, &kBoolResult> {};
template <class T>
struct ResultOf<T, std::enable_if_t<std::is_enum_v<T> || std::is_same_v<T, int32_t> || std::is_same_v<T, uint16_t> ||
                                    std::is_same_v<T, uint8_t>>> : StoredResult<int32_t, &kInt32Result> {};
template <> struct ResultOf<uint32_t> : StoredResult<uint32_t, &kUInt32Result> {};
template <> struct ResultOf<int64_t> : StoredResult<int64_t, &kInt64Result> {};
template <> struct ResultOf<uint64_t> : StoredResult<uint64_t, &kUInt64Result> {};
template <class T>
struct ResultOf<T, std::enable_if_t<std::is_floating_point_v<T>>> : StoredResult<double, &kDoubleResult> {};
template <> struct ResultOf<const char*> : StoredResult<const char*, &kCharPtrResult> {};
template <> struct ResultOf<const wchar_t*> : StoredResult<const wchar_t*, &kWCharPtrResult> {};
template <> struct ResultOf<std::string> : StoredResult<std::string, &kStdStringResult> {};

// Raw pointers into SDK memory: kept for a result kind that the wrapper's policy names (a view).
template <class T>
    requires(!Bound<T> && !std::is_same_v<std::remove_const_t<T>, char> && !std::is_same_v<std::remove_const_t<T>, wchar_t>)
struct ResultOf<T*> {
    template <class = void>
    static constexpr const ResultKind* kind() {
        static_assert(sizeof(T) == 0, "a raw pointer result needs a result kind from the policy");
        return nullptr;
    }
    template <class Fn>
    static void store(void* storage, Fn&& fn) {
        result_as<void*>(storage) = const_cast<std::remove_const_t<T>*>(fn());
    }
};

template <Bound T>
struct ResultOf<T*> {
    static constexpr const ResultKind* kind() { return &BorrowedResult<std::remove_const_t<T>>::kind; }
    template <class Fn>
    static void store(void* storage, Fn&& fn) {
        result_as<void*>(storage) = const_cast<std::remove_const_t<T>*>(fn());
    }
};
template <Bound T>
struct ResultOf<T&> {
    static constexpr const ResultKind* kind() { return &BorrowedResult<std::remove_const_t<T>>::kind; }
    template <class Fn>
    static void store(void* storage, Fn&& fn) {
        result_as<void*>(storage) = const_cast<std::remove_const_t<T>*>(&fn());
    }
};
template <Bound T>
    requires(!std::is_pointer_v<T> && !std::is_reference_v<T>)
struct ResultOf<T> {
    static constexpr const ResultKind* kind() { return &OwnedResult<T>::kind; }
    template <class Fn>
    static void store(void* storage, Fn&& fn) {
        result_as<T*>(storage) = new_object_from<T>(std::forward<Fn>(fn));
    }
};

}  // namespace kivo::rt
