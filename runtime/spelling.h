// Compile-time names and the declared spellings of parameter types, as messages and prototypes show
// them ("TqBuffer *", "uint32_t", "TqString const &"). The module tells the runtime which class or
// enumeration a C++ type is (TypeOf, EnumName); the runtime itself knows no SDK type.
#pragma once

#include "registry.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace kivo::rt {

template <std::size_t N>
struct Text {
    char value[N]{};
    constexpr Text() = default;
    constexpr Text(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) value[i] = s[i];
    }
    constexpr const char* c_str() const { return value; }
};

// Texts joined at compile time: joined<"TqLogSink", "_", "Log"> is "TqLogSink_Log".
template <Text... Parts>
inline constexpr auto joined = [] {
    Text<(1 + ... + (sizeof(Parts.value) - 1))> out;
    std::size_t at = 0;
    ((std::copy_n(Parts.value, sizeof(Parts.value) - 1, out.value + at), at += sizeof(Parts.value) - 1), ...);
    return out;
}();

// A wrapped class: its descriptor and its name. Specialised by the module for every class.
template <class T>
struct TypeOf;   // static SwigTypeInfo* descriptor(); static constexpr const char* name;

// A wrapped enumeration's name. Specialised by the module.
template <class E>
struct EnumName;   // static constexpr const char* value;

template <class T>
concept Bound = requires { TypeOf<std::remove_const_t<T>>::descriptor(); };

template <class T>
SwigTypeInfo* descriptor_of() {
    return TypeOf<std::remove_const_t<T>>::descriptor();
}

// ---- parameter markers ----
template <Text D, class T>
struct Spelled {};   // T, spelled D in messages and prototypes
template <class T>
struct ProxyOnly {};   // a class reference that takes a proxy only
template <class T>
struct Out {};   // a reference the SDK fills, returned among the outputs
template <class T>
struct In {};   // a non-const reference taken from Python
template <class T>
struct Present {};   // an output that is present whatever the call's result
template <class T>
struct Made {};   // a class reference the SDK fills: made new for the call, handed to Python owned
template <class T, auto V>
struct WithDefault {};   // T with a default value: the call may leave it out
template <class Ptr, class Len>
struct Array {};   // one NumPy array that feeds a data pointer and its length
template <class Ptr, class Len>
struct Bytes {};   // one bytes object lent for the call: its storage and its length
template <class Ptr, class Len>
struct NewArray {};   // a count from Python: a new byte array the SDK fills, returned among the outputs

// ---- declared spellings ----
template <class T>
struct Decl;

template <class T>
std::string decl_of() {
    return Decl<T>::get();
}

// The spelling as a C string that lives for the process (built on first use).
template <class T>
const char* decl_text() {
    static const std::string text = Decl<T>::get();
    return text.c_str();
}

#define KIVO_DECL(T, text)                            \
    template <>                                       \
    struct Decl<T> {                                  \
        static std::string get() { return text; }     \
    }
KIVO_DECL(bool, "bool");
KIVO_DECL(int32_t, "int32_t");
KIVO_DECL(uint32_t, "uint32_t");
KIVO_DECL(uint16_t, "uint16_t");
KIVO_DECL(uint8_t, "uint8_t");
KIVO_DECL(int64_t, "int64_t");
KIVO_DECL(uint64_t, "uint64_t");
KIVO_DECL(double, "double");
KIVO_DECL(float, "float");
KIVO_DECL(void, "void");
KIVO_DECL(const char*, "char const *");
KIVO_DECL(const wchar_t*, "wchar_t const *");
KIVO_DECL(std::string, "std::string");
KIVO_DECL(const std::string&, "std::string const &");
KIVO_DECL(uint8_t*, "uint8_t *");
KIVO_DECL(const uint8_t*, "uint8_t const *");
KIVO_DECL(void*, "void *");
#undef KIVO_DECL

template <class E>
    requires std::is_enum_v<E>
struct Decl<E> {
    static std::string get() { return EnumName<E>::value; }
};
template <Bound T>
    requires(!std::is_pointer_v<T>)
struct Decl<T> {
    static std::string get() { return TypeOf<std::remove_const_t<T>>::name; }
};
template <Bound T>
struct Decl<T*> {
    static std::string get() { return std::string(TypeOf<std::remove_const_t<T>>::name) + (std::is_const_v<T> ? " const *" : " *"); }
};
template <class T>
    requires(Bound<T> || std::is_arithmetic_v<T> || std::is_enum_v<T>)
struct Decl<T&> {
    static std::string get() { return decl_of<T>() + " &"; }
};
template <class T>
    requires(Bound<T> || std::is_arithmetic_v<T> || std::is_enum_v<T>)
struct Decl<const T&> {
    static std::string get() { return decl_of<T>() + " const &"; }
};
template <Bound T>
struct Decl<T**> {
    static std::string get() { return decl_of<T*>() + "*"; }
};
template <Bound T>
struct Decl<T*&> {
    static std::string get() { return decl_of<T*>() + "&"; }
};
template <Text D, class T>
struct Decl<Spelled<D, T>> {
    static std::string get() { return D.c_str(); }
};
template <class T>
struct Decl<ProxyOnly<T>> : Decl<T> {};
template <class T>
struct Decl<Out<T>> : Decl<T> {};
template <class T>
struct Decl<In<T>> : Decl<T> {};
template <class T>
struct Decl<Present<T>> : Decl<T> {};
template <class T>
struct Decl<Made<T>> : Decl<T> {};
template <class T, auto V>
struct Decl<WithDefault<T, V>> : Decl<T> {};

}  // namespace kivo::rt
