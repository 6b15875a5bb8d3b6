// Numbers in byte buffers, the one place their byte order is written: big-endian (network order) for
// the protocols and the device registers, little-endian for the compression codec's frames. Callers
// check the bounds; nothing here reads or writes past the bytes of the number itself.
//
// A Field names one number of a packet layout: its type, its width on the wire (its type's size
// unless told, e.g. 3 bytes for a 24-bit packet ID, 6 for a 48-bit offset) and its offset from the
// start of the layout. The codecs declare each field once and both their views and their builders go
// through it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace TqWire {

enum class Order { kBig, kLittle };

namespace Detail {
template <class T>
constexpr T Swap(T aValue) {
    if constexpr (sizeof(T) == 1) return aValue;
    else if constexpr (sizeof(T) == 2) return T(__builtin_bswap16(aValue));
    else if constexpr (sizeof(T) == 4) return T(__builtin_bswap32(aValue));
    else return T(__builtin_bswap64(aValue));
}
template <Order O>
constexpr bool kNative = (O == Order::kBig) == (std::endian::native == std::endian::big);
}  // namespace Detail

// The unsigned number of type T at aAt.
template <class T, Order O = Order::kBig>
inline T Load(const uint8_t* aAt) {
    static_assert(std::is_unsigned_v<T>);
    T value;
    std::memcpy(&value, aAt, sizeof value);
    return Detail::kNative<O> ? value : Detail::Swap(value);
}

template <class T, Order O = Order::kBig>
inline void Store(uint8_t* aAt, T aValue) {
    static_assert(std::is_unsigned_v<T>);
    if constexpr (!Detail::kNative<O>) aValue = Detail::Swap(aValue);
    std::memcpy(aAt, &aValue, sizeof aValue);
}

inline uint16_t Get16(const uint8_t* aAt) { return Load<uint16_t>(aAt); }
inline uint32_t Get32(const uint8_t* aAt) { return Load<uint32_t>(aAt); }
inline uint64_t Get64(const uint8_t* aAt) { return Load<uint64_t>(aAt); }
inline void Put16(uint8_t* aAt, uint16_t aValue) { Store(aAt, aValue); }
inline void Put32(uint8_t* aAt, uint32_t aValue) { Store(aAt, aValue); }
inline void Put64(uint8_t* aAt, uint64_t aValue) { Store(aAt, aValue); }

inline uint16_t Get16Le(const uint8_t* aAt) { return Load<uint16_t, Order::kLittle>(aAt); }
inline uint32_t Get32Le(const uint8_t* aAt) { return Load<uint32_t, Order::kLittle>(aAt); }
inline uint64_t Get64Le(const uint8_t* aAt) { return Load<uint64_t, Order::kLittle>(aAt); }
inline void Put16Le(uint8_t* aAt, uint16_t aValue) { Store<uint16_t, Order::kLittle>(aAt, aValue); }
inline void Put32Le(uint8_t* aAt, uint32_t aValue) { Store<uint32_t, Order::kLittle>(aAt, aValue); }
inline void Put64Le(uint8_t* aAt, uint64_t aValue) { Store<uint64_t, Order::kLittle>(aAt, aValue); }

// Big-endian numbers added at the end of a byte vector.
template <class T>
inline void Append(std::vector<uint8_t>& aOut, T aValue) {
    aOut.resize(aOut.size() + sizeof(T));
    Store(aOut.data() + aOut.size() - sizeof(T), aValue);
}

// A big-endian number of a layout: aWidth bytes (the type's size unless less) at byte `at`.
template <class T, size_t aWidth = sizeof(T)>
struct Field {
    static_assert(aWidth >= 1 && aWidth <= sizeof(T));
    size_t at;
    static constexpr size_t kWidth = aWidth;
    constexpr size_t End() const { return at + aWidth; }
    T Get(const uint8_t* aBase) const {
        if constexpr (aWidth == sizeof(T)) {
            return Load<T>(aBase + at);
        } else {
            T value = 0;
            for (size_t i = 0; i < aWidth; ++i) value = T((value << 8) | aBase[at + i]);
            return value;
        }
    }
    // The low aWidth bytes of aValue.
    void Put(uint8_t* aBase, T aValue) const {
        if constexpr (aWidth == sizeof(T)) {
            Store<T>(aBase + at, aValue);
        } else {
            for (size_t i = aWidth; i-- > 0; aValue = T(aValue >> 8)) aBase[at + i] = uint8_t(aValue);
        }
    }
};

// A text of a layout: `size` bytes at `at`, NUL-terminated unless it fills them.
struct TextField {
    size_t at, size;
    constexpr size_t End() const { return at + size; }
    std::string Get(const uint8_t* aBase) const {
        const auto* from = reinterpret_cast<const char*>(aBase + at);
        return std::string(from, strnlen(from, size));
    }
    // The text cut to size - 1 bytes, the rest zero.
    void Put(uint8_t* aBase, const std::string& aText) const {
        std::memset(aBase + at, 0, size);
        std::memcpy(aBase + at, aText.data(), std::min(aText.size(), size - 1));
    }
};

using Bytes = std::span<const uint8_t>;

// The base of the codecs' read-only views: the bytes a view may read, checked once when it is made
// (Checked: none when they are fewer than the view reads), and read through its fields.
class View {
public:
    Bytes Raw() const { return {mData, mSize}; }

protected:
    View(const uint8_t* aData, size_t aSize) : mData(aData), mSize(aSize) {}
    // A view of type V over aBytes when they hold at least aMinimum bytes (V inherits View's
    // constructor: `using View::View;`, which only View's own members may call).
    template <class V>
    static std::optional<V> Checked(Bytes aBytes, size_t aMinimum) {
        if (aBytes.size() < aMinimum || (aMinimum && !aBytes.data())) return std::nullopt;
        return V(aBytes.data(), aBytes.size());
    }
    // The bytes from aOffset to the end (none, at the end, when the view is no longer).
    Bytes From(size_t aOffset) const {
        const size_t at = std::min(aOffset, mSize);
        return Bytes(mData + at, mSize - at);
    }

    const uint8_t* mData;
    size_t mSize;
};

}  // namespace TqWire
