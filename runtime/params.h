// Parameter conversion: which kind converts a C++ parameter type, and how the typed call takes the
// converted value back out of its slot. The kinds themselves are plain data (params.cpp); the module
// adds kinds for the SDK's value types by specialising ParamOf.
#pragma once

#include "dispatch.h"
#include "objects.h"
#include "spelling.h"

#include <limits>
#include <tuple>
#include <type_traits>

namespace kivo::rt {

// Ranks of the parameter kinds in overload order: a candidate whose inputs rank lower is tried first.
enum Precedence : int {
    Rank_Pointer = 0,
    Rank_Bool = 15,
    Rank_UInt8 = 20,
    Rank_UInt16 = 30,
    Rank_UInt32 = 40,
    Rank_Int32 = 45,
    Rank_UInt64 = 50,
    Rank_Int64 = 55,
    Rank_Float = 80,
    Rank_Double = 90,
    Rank_Array = 100,
    Rank_WideString = 110,
    Rank_String = 130,
    Rank_StdString = 135,
    Rank_TextObject = 140,
};

// Kinds of the runtime (params.cpp).
extern const ParamKind kSelfKind, kConstSelfKind, kPointerKind, kNotNonePointerKind, kReferenceKind;
extern const ParamKind kBoolKind, kInt32Kind, kUInt32Kind, kUInt16Kind, kUInt8Kind, kInt64Kind, kUInt64Kind;
extern const ParamKind kDoubleKind, kFloatKind, kCharPtrKind, kWCharPtrKind, kStdStringKind, kByteArrayKind;
extern const ParamKind kBytesKind, kImageArrayKind, kNewByteArrayKind, kNewUnsignedByteArrayKind;
extern const ParamKind kWritableByteArrayKind;
extern const ParamKind kOutBoolKind, kOutInt32Kind, kOutUInt32Kind, kOutInt64Kind, kOutUInt64Kind;
extern const ParamKind kOutDoubleKind, kOutFloatKind, kOutPointerKind;
// void *: None is a null pointer, a proxy of any class gives its object's address.
extern const ParamKind kVoidPointerKind;

// What a slot of each runtime kind holds.
struct CharSlot {
    char* text;
    int alloc;
};
struct WCharSlot {
    wchar_t* text;
    int alloc;
    wchar_t inline_text[(kSlotBytes - 16) / sizeof(wchar_t)];   // short texts live here
};
struct StdStringSlot {
    std::string* text;
    int res;
};
struct ArraySlot {
    void* data;
    uint64_t length;
    PyObject* array;   // held for the call (a converted copy, or the caller's own array)
};

// A two- or three-dimensional array given as image memory: its data, its width (second dimension)
// and height (first dimension), and its size in bytes.
struct ImageMemory {
    void* data;
    uint32_t width;
    uint32_t height;
    uint64_t bytes;
};
struct ImageArraySlot : ArraySlot {
    uint32_t width;
    uint32_t height;
};

// ---- the mapping from a declared parameter to its kind ----
//
// ParamOf<P>: kind(), flags, width (C positions taken), descriptor, and take(slot), which gives the
// typed call its argument.

template <class P, class = void>
struct ParamOf;

// What every input parameter of one slot has: its kind and, for classes, the descriptor wanted.
template <const ParamKind* K, SwigTypeInfo* (*D)() = nullptr>
struct InputParam {
    static constexpr const ParamKind* kind() { return K; }
    static constexpr uint8_t flags = Param_Input | Param_Documented;
    static constexpr int width = 1;
    static constexpr SwigTypeInfo* (*descriptor)() = D;
};

// An input kind declared in one line (ParamOf and Decl together): spelled Spelling in messages and
// prototypes, converted by K to a pointer of the descriptor D, and handed to the SDK as T, a pointer
// or a reference to what that pointer points at.
template <Text Spelling, const ParamKind* K, SwigTypeInfo* (*D)(), class T>
struct PointerKind {};
template <Text Spelling, const ParamKind* K, SwigTypeInfo* (*D)(), class T>
struct ParamOf<PointerKind<Spelling, K, D, T>> : InputParam<K, D> {
    static T take(Slot& s) {
        if constexpr (std::is_reference_v<T>)
            return *static_cast<std::remove_reference_t<T>*>(s.as<void*>());
        else
            return static_cast<T>(s.as<void*>());
    }
};
template <Text Spelling, const ParamKind* K, SwigTypeInfo* (*D)(), class T>
struct Decl<PointerKind<Spelling, K, D, T>> {
    static std::string get() { return Spelling.c_str(); }
};

// The same for a kind of its own: converted by K, handed to the SDK as what Take(slot) gives.
template <Text Spelling, const ParamKind* K, auto Take>
struct CustomKind {};
template <Text Spelling, const ParamKind* K, auto Take>
struct ParamOf<CustomKind<Spelling, K, Take>> : InputParam<K> {
    static decltype(auto) take(Slot& s) { return Take(s); }
};
template <Text Spelling, const ParamKind* K, auto Take>
struct Decl<CustomKind<Spelling, K, Take>> {
    static std::string get() { return Spelling.c_str(); }
};

// An output kind declared in one line: filled by the SDK through what Take(slot) gives, made into a
// Python value by K, spelled Spelling; Extra adds flags (Param_Present), D a descriptor.
template <Text Spelling, const ParamKind* K, auto Take, uint8_t Extra = 0, SwigTypeInfo* (*D)() = nullptr>
struct OutputKind {};
template <Text Spelling, const ParamKind* K, auto Take, uint8_t Extra, SwigTypeInfo* (*D)()>
struct ParamOf<OutputKind<Spelling, K, Take, Extra, D>> {
    static constexpr const ParamKind* kind() { return K; }
    static constexpr uint8_t flags = Param_Output | Param_Documented | Extra;
    static constexpr int width = 1;
    static constexpr SwigTypeInfo* (*descriptor)() = D;
    static decltype(auto) take(Slot& s) { return Take(s); }
};
template <Text Spelling, const ParamKind* K, auto Take, uint8_t Extra, SwigTypeInfo* (*D)()>
struct Decl<OutputKind<Spelling, K, Take, Extra, D>> {
    static std::string get() { return Spelling.c_str(); }
};

// What an output's slot holds, seen as T (stored as Stored).
template <class T, class Stored = T>
T& stored_as(Slot& s) {
    return reinterpret_cast<T&>(s.as<Stored>());
}
// The object an output's slot points at.
template <class T>
T& pointed_by(Slot& s) {
    return *static_cast<T*>(s.as<void*>());
}

template <class T, const ParamKind* K>
struct ValueParam : InputParam<K> {
    static T take(Slot& s) { return s.as<T>(); }
};

template <> struct ParamOf<bool> : ValueParam<bool, &kBoolKind> {};
template <> struct ParamOf<int32_t> : ValueParam<int32_t, &kInt32Kind> {};
template <> struct ParamOf<uint32_t> : ValueParam<uint32_t, &kUInt32Kind> {};
template <> struct ParamOf<uint16_t> : ValueParam<uint16_t, &kUInt16Kind> {};
template <> struct ParamOf<uint8_t> : ValueParam<uint8_t, &kUInt8Kind> {};
template <> struct ParamOf<int64_t> : ValueParam<int64_t, &kInt64Kind> {};
template <> struct ParamOf<uint64_t> : ValueParam<uint64_t, &kUInt64Kind> {};
template <> struct ParamOf<double> : ValueParam<double, &kDoubleKind> {};
template <> struct ParamOf<float> : ValueParam<float, &kFloatKind> {};

template <class E>
struct ParamOf<E, std::enable_if_t<std::is_enum_v<E>>> : ValueParam<int32_t, &kInt32Kind> {
    static E take(Slot& s) { return static_cast<E>(s.as<int32_t>()); }
};

template <Text D, class T>
struct ParamOf<Spelled<D, T>> : ParamOf<T> {};

// A pointer to a wrapped class: a proxy of the class or of a derived class; None is a null pointer.
template <Bound T>
struct ParamOf<T*> : InputParam<&kPointerKind, &descriptor_of<T>> {
    static T* take(Slot& s) { return static_cast<T*>(s.as<void*>()); }
};

// A pointer that must point at an object: None is refused with the argument's TypeError.
template <class T>
struct NotNone {};
template <Bound T>
struct ParamOf<NotNone<T*>> : InputParam<&kNotNonePointerKind, &descriptor_of<T>> {
    static T* take(Slot& s) { return static_cast<T*>(s.as<void*>()); }
};
template <class T>
struct Decl<NotNone<T>> : Decl<T> {};

// A reference to a wrapped class: a proxy only, never None.
template <Bound T>
struct ClassReference : InputParam<&kReferenceKind, &descriptor_of<T>> {
    static T& take(Slot& s) { return *static_cast<T*>(s.as<void*>()); }
};
template <Bound T>
struct ParamOf<T&> : ClassReference<T> {};
template <class T>
struct ParamOf<ProxyOnly<T&>> : ClassReference<T> {};

// An untyped pointer (a context the SDK keeps for the application): None or any proxy.
template <>
struct ParamOf<void*> : InputParam<&kVoidPointerKind> {
    static void* take(Slot& s) { return s.as<void*>(); }
};

template <>
struct ParamOf<const char*> : InputParam<&kCharPtrKind> {
    static const char* take(Slot& s) { return s.as<CharSlot>().text; }
};
template <>
struct ParamOf<const wchar_t*> : InputParam<&kWCharPtrKind> {
    static const wchar_t* take(Slot& s) { return s.as<WCharSlot>().text; }
};
template <>
struct ParamOf<const std::string&> : InputParam<&kStdStringKind> {
    static const std::string& take(Slot& s) { return *s.as<StdStringSlot>().text; }
};

// An index the SDK takes as a signed 32-bit int, refused with a text of its own: InvalidIndex raises
// RuntimeError "Invalid index" for anything but an int in range; IntArgument raises TypeError (no int)
// or OverflowError (out of range) "method '<function>' expected argument <n> of type int", n
// counting the arguments after self.
extern const ParamKind kInvalidIndexKind, kIntArgumentKind;
template <const ParamKind* K>
struct IndexParam {};
template <const ParamKind* K>
struct ParamOf<IndexParam<K>> : ValueParam<int32_t, K> {};
template <const ParamKind* K>
struct Decl<IndexParam<K>> {
    static std::string get() { return "int"; }
};
using InvalidIndex = IndexParam<&kInvalidIndexKind>;
using IntArgument = IndexParam<&kIntArgumentKind>;

// Outputs: a zero value in the slot, filled by the SDK, added to the result afterwards.
template <class T, const ParamKind* K, class Stored = T>
struct OutputParam {
    static constexpr const ParamKind* kind() { return K; }
    static constexpr uint8_t flags = Param_Output | Param_Documented;
    static constexpr int width = 1;
    static constexpr SwigTypeInfo* (*descriptor)() = nullptr;
    static T& take(Slot& s) { return reinterpret_cast<T&>(s.as<Stored>()); }
};
template <class T>
struct OutputOf;
template <> struct OutputOf<bool> : OutputParam<bool, &kOutBoolKind> {};
template <> struct OutputOf<int32_t> : OutputParam<int32_t, &kOutInt32Kind> {};
template <> struct OutputOf<uint32_t> : OutputParam<uint32_t, &kOutUInt32Kind> {};
template <> struct OutputOf<int64_t> : OutputParam<int64_t, &kOutInt64Kind> {};
template <> struct OutputOf<uint64_t> : OutputParam<uint64_t, &kOutUInt64Kind> {};
template <> struct OutputOf<double> : OutputParam<double, &kOutDoubleKind> {};
template <> struct OutputOf<float> : OutputParam<float, &kOutFloatKind> {};
template <class E>
    requires std::is_enum_v<E>
struct OutputOf<E> : OutputParam<E, &kOutInt32Kind, int32_t> {
    static_assert(sizeof(E) == sizeof(int32_t));
};
// A pointer the SDK fills: a new borrowed proxy of its class, None for null.
template <Bound T>
struct OutputOf<T*> {
    static constexpr const ParamKind* kind() { return &kOutPointerKind; }
    static constexpr uint8_t flags = Param_Output | Param_Documented;
    static constexpr int width = 1;
    static constexpr SwigTypeInfo* (*descriptor)() = &descriptor_of<T>;
    static T*& take(Slot& s) { return reinterpret_cast<T*&>(s.as<void*>()); }
};

template <class T>
struct ParamOf<Out<T&>> : OutputOf<std::remove_const_t<T>> {};
template <class T>
    requires(std::is_arithmetic_v<T> || std::is_enum_v<T>)
struct ParamOf<T&> : OutputOf<T> {};
template <Bound T>
struct ParamOf<T*&> : OutputOf<T*> {};
template <Bound T>
struct ParamOf<T**> : OutputOf<T*> {
    static T** take(Slot& s) { return static_cast<T**>(static_cast<void*>(&s.as<void*>())); }
};
template <class T>
struct ParamOf<Present<T>> : ParamOf<T> {
    static constexpr uint8_t flags = ParamOf<T>::flags | Param_Present;
};

// A class object made on the heap for the SDK to fill; present whatever the call's result, as a new
// owning proxy. Deleted again when the call fails before handing it over.
PyObject* out_made(Slot& s, const ParamShape& p, CallFrame& f);
std::string class_doc_type(const char* name);
template <Bound T>
struct MadeOutput {
    static void destroy(Slot& s) {
        delete_object<T>(s.as<void*>());
        s.cleanup = nullptr;
    }
    static void prepare(Slot& s) {
        s.as<void*>() = new_object<T>();
        s.cleanup = destroy;
    }
    static std::string doc(const ParamShape&) { return class_doc_type(TypeOf<T>::name); }
    static constexpr ParamKind kind{nullptr, nullptr, prepare, out_made, 0, true, doc};
};
template <Bound T>
struct ParamOf<Made<T&>> {
    static constexpr const ParamKind* kind() { return &MadeOutput<T>::kind; }
    static constexpr uint8_t flags = Param_Output | Param_Documented;
    static constexpr int width = 1;
    static constexpr SwigTypeInfo* (*descriptor)() = &descriptor_of<T>;
    static T& take(Slot& s) { return *static_cast<T*>(s.as<void*>()); }
};

// A parameter the call may leave out: its default value is written into the slot.
template <class T, auto V>
struct ParamOf<WithDefault<T, V>> : ParamOf<T> {
    static void set_default(Slot& s) {
        s.cleanup = nullptr;
        s.as<T>() = static_cast<T>(V);
    }
};

// A NumPy array (anything NumPy turns into a C-contiguous one-dimensional uint8 array) that feeds a
// data pointer and a length. The length must fit the SDK's length parameter. A pointer to const
// memory: the SDK only reads, and the caller's array is used as it is, read-only or not; any other
// pointer: the SDK may write, and an array Python holds read-only is converted into a new one.
template <class Ptr, class Len>
struct ParamOf<Array<Ptr, Len>> {
    static constexpr bool reads_only = std::is_const_v<std::remove_pointer_t<Ptr>>;
    static constexpr const ParamKind* kind() { return reads_only ? &kByteArrayKind : &kWritableByteArrayKind; }
    static constexpr uint8_t flags = Param_Input | Param_Documented;
    static constexpr int width = 2;
    static constexpr SwigTypeInfo* (*descriptor)() = nullptr;
    static constexpr uint64_t limit = static_cast<uint64_t>(std::numeric_limits<Len>::max());
    using Stored = ArraySlot;
    static auto take(Slot& s) {
        ArraySlot& a = s.as<ArraySlot>();
        return std::tuple<Ptr, Len>(static_cast<Ptr>(a.data), static_cast<Len>(a.length));
    }
};

// A bytes object (or an instance of a subclass) lent to the SDK for the call: its own storage and its
// length, which must fit the SDK's length parameter. Nothing else is accepted, bytearray included.
// A bytes object is immutable: declared only where the SDK reads the memory, whatever the constness
// of its parameter.
template <class Ptr, class Len>
struct ParamOf<Bytes<Ptr, Len>> : ParamOf<Array<Ptr, Len>> {
    static constexpr const ParamKind* kind() { return &kBytesKind; }
};

// A count from Python that becomes a new zero-filled byte array for the SDK to fill (its data pointer
// and the count); the array is returned among the outputs. The count must fit a signed 32-bit value.
template <class Ptr, class Len>
struct ParamOf<NewArray<Ptr, Len>> : ParamOf<Array<Ptr, Len>> {
    static constexpr const ParamKind* kind() {
        return std::is_unsigned_v<Len> ? &kNewUnsignedByteArrayKind : &kNewByteArrayKind;
    }
    static constexpr uint8_t flags = Param_Input | Param_Output | Param_Documented;
    static constexpr uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
};

// Image memory from Python: any sequence or array NumPy turns into a C-contiguous uint8 array of
// two or three dimensions; it feeds three parameters (data, width, height). Anything else is not a
// candidate; a sequence that does not convert is refused with "argument 1 of type array".
template <>
struct ParamOf<ImageMemory> : InputParam<&kImageArrayKind> {
    using Stored = ArraySlot;   // an ImageArraySlot, read by hooks as its ArraySlot
    static constexpr int width = 3;
    static ImageMemory take(Slot& s) {
        ImageArraySlot& a = s.as<ImageArraySlot>();
        return ImageMemory{a.data, a.width, a.height, a.length};
    }
};

template <class P>
concept HasDefault = requires(Slot& s) { ParamOf<P>::set_default(s); };

template <class P>
constexpr void (*default_setter())(Slot&) {
    if constexpr (HasDefault<P>)
        return &ParamOf<P>::set_default;
    else
        return nullptr;
}

template <class P>
constexpr uint64_t limit_of() {
    if constexpr (requires { ParamOf<P>::limit; })
        return ParamOf<P>::limit;
    else
        return 0;
}

template <class P>
struct LengthDecl {
    static constexpr const char* (*get)() = nullptr;
};
template <class Ptr, class Len>
struct LengthDecl<Array<Ptr, Len>> {
    static constexpr const char* (*get)() = &decl_text<Len>;
};
template <class Ptr, class Len>
struct Decl<Array<Ptr, Len>> : Decl<Ptr> {};
template <class Ptr, class Len>
struct LengthDecl<Bytes<Ptr, Len>> : LengthDecl<Array<Ptr, Len>> {};
template <class Ptr, class Len>
struct LengthDecl<NewArray<Ptr, Len>> : LengthDecl<Array<Ptr, Len>> {};
template <class Ptr, class Len>
struct Decl<NewArray<Ptr, Len>> : Decl<Ptr> {};
template <class Ptr, class Len>
struct Decl<Bytes<Ptr, Len>> : Decl<Ptr> {};
template <>
struct Decl<ImageMemory> {
    static std::string get() { return "void *"; }
};
template <>
struct LengthDecl<ImageMemory> {
    static const char* get() { return "uint32_t,uint32_t"; }
};


// What a parameter's slot holds, for the checks of CallFrame::arg: the kind's Stored type when it
// names one, a pointer for kinds with a descriptor, else the value the SDK gets; nothing checked for
// outputs and kinds of other shapes.
template <class P>
constexpr const void* stored_tag() {
    using O = ParamOf<P>;
    if constexpr (requires { typename O::Stored; }) {
        return slot_tag<typename O::Stored>();
    } else if constexpr ((O::flags & Param_Input) && !(O::flags & Param_Output) && O::width == 1) {
        using Took = decltype(O::take(std::declval<Slot&>()));
        using Value = std::remove_cvref_t<Took>;
        if constexpr (std::is_pointer_v<Value> || std::is_reference_v<Took>)
            return slot_tag<void*>();   // what the conversion found: the object's address
        else if constexpr (std::is_arithmetic_v<Value> || std::is_enum_v<Value>)
            return slot_tag<Value>();
        else
            return nullptr;
    } else {
        return nullptr;
    }
}

template <class P>
constexpr ParamShape param_shape(int cpos, uint8_t extra = 0) {
    return ParamShape{ParamOf<P>::kind(), ParamOf<P>::descriptor, &decl_text<P>, LengthDecl<P>::get,
                      default_setter<P>(), limit_of<P>(), static_cast<int8_t>(cpos),
                      static_cast<uint8_t>(ParamOf<P>::flags | extra), stored_tag<P>()};
}

// Self: a proxy of the class or of a derived class; None or a cleared proxy is refused.
template <class C>
struct SelfDecl {
    static std::string get() {
        return std::string(TypeOf<std::remove_const_t<C>>::name) + (std::is_const_v<C> ? " const *" : " *");
    }
};
template <class C>
const char* self_decl() {
    static const std::string text = SelfDecl<C>::get();
    return text.c_str();
}
template <class C>
constexpr ParamShape self_shape() {
    // A const method ranks after its non-const twin, and its prototype says "const".
    return ParamShape{std::is_const_v<C> ? &kConstSelfKind : &kSelfKind, &descriptor_of<C>, &self_decl<C>, nullptr,
                      nullptr, 0, 1, Param_Input | Param_Self, slot_tag<void*>()};
}

}  // namespace kivo::rt
