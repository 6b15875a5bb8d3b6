// Chunk layouts (GigE Vision's): a chunk is its data followed by its trailer, the chunk ID and the
// data's length (32 bits each, big-endian). Chunks follow one another from the start of the layout;
// since only the trailers tell where data begins, a layout is read from its end backwards, each
// trailer leading to the end of the chunk before it. A layout holds together when that walk comes
// back exactly to its start; one that does not (a length reaching before the start, or bytes too
// few for a trailer left over at the start) is no layout, and none of its chunks counts.
//
// For the buffers' chunk areas and chunk-data payloads, the node map's chunk ports, the receiver
// (an image block with extended chunks is one layout whose first chunk is the image), the software
// device that sends them, and the tests and fuzz targets that make or read them.
#pragma once

#include "TqWireBytes.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace TqChunk {

using TqWire::Bytes;
using TqWire::Field;

// The trailer after each chunk's data.
struct Trailer {
    static constexpr Field<uint32_t> kId{0};
    static constexpr Field<uint32_t> kLength{4};
    static constexpr size_t kSize = 8;

    // The trailer of a chunk of aId with aLength bytes of data, at aOut (kSize bytes).
    static size_t Write(uint8_t* aOut, uint32_t aId, uint32_t aLength) {
        kId.Put(aOut, aId);
        kLength.Put(aOut, aLength);
        return kSize;
    }
};
constexpr size_t kTrailerSize = Trailer::kSize;

// One chunk of a layout: its ID, where its data begins (from the layout's start) and how long it is.
struct Chunk {
    uint32_t id = 0;
    size_t offset = 0;
    uint32_t length = 0;
    // Where the chunk after it begins.
    size_t End() const { return offset + length + kTrailerSize; }
    bool operator==(const Chunk&) const = default;
};

// A walk over a layout from its end: each step reads the trailer before the part already walked and
// steps over the data its length tells. No step reads outside the bytes given.
class Walk {
public:
    explicit Walk(Bytes aLayout) : mData(aLayout.data()), mEnd(aLayout.data() ? aLayout.size() : 0) {}

    // The chunk before the part walked (the layout's last at first); none at the start, and none
    // again and again once the layout breaks (fewer bytes left than a trailer, or a length that
    // reaches before the start).
    std::optional<Chunk> Next() {
        if (mEnd < kTrailerSize) return std::nullopt;
        const uint8_t* trailer = mData + mEnd - kTrailerSize;
        const uint32_t length = Trailer::kLength.Get(trailer);
        const size_t before = mEnd - kTrailerSize;
        if (length > before) return std::nullopt;
        mEnd = before - length;
        return Chunk{Trailer::kId.Get(trailer), mEnd, length};
    }
    // Once Next answered none: whether the walk came back to the start (the layout holds together).
    bool AtStart() const { return mEnd == 0; }

private:
    const uint8_t* mData;
    size_t mEnd;
};

// The chunks of a layout that holds together, first to last; none when it does not hold together
// or holds more than aMost chunks. An empty layout holds no chunks.
inline std::optional<std::vector<Chunk>> Chunks(Bytes aLayout, size_t aMost = std::numeric_limits<size_t>::max()) {
    std::vector<Chunk> chunks;
    Walk walk(aLayout);
    while (const auto chunk = walk.Next()) {
        if (chunks.size() == aMost) return std::nullopt;
        chunks.push_back(*chunk);
    }
    if (!walk.AtStart()) return std::nullopt;
    std::reverse(chunks.begin(), chunks.end());
    return chunks;
}

// The first chunk of a layout that holds together (the one at its start); none when it does not
// hold together or is empty.
inline std::optional<Chunk> First(Bytes aLayout) {
    Walk walk(aLayout);
    std::optional<Chunk> first;
    while (const auto chunk = walk.Next()) first = chunk;
    return walk.AtStart() ? first : std::nullopt;
}

// Appends chunks to a layout in an area of aCapacity bytes whose first aUsed bytes hold chunks.
class Writer {
public:
    Writer(uint8_t* aArea, size_t aCapacity, size_t aUsed) : mArea(aArea), mCapacity(aCapacity), mUsed(aUsed) {}

    // aLength bytes of data from aData (which may lie in the area itself), then their trailer, after
    // the chunks there are; false, and nothing written, when they do not fit in the room left less
    // aReserve bytes.
    bool Append(uint32_t aId, const uint8_t* aData, uint32_t aLength, size_t aReserve = 0) {
        if (!mArea || mUsed > mCapacity || Size(aLength) + aReserve > mCapacity - mUsed) return false;
        uint8_t* at = mArea + mUsed;
        if (aLength) std::memmove(at, aData, aLength);
        mUsed += aLength + Trailer::Write(at + aLength, aId, aLength);
        return true;
    }
    size_t Used() const { return mUsed; }

    // The bytes one chunk of aLength bytes of data takes in a layout.
    static constexpr uint64_t Size(uint32_t aLength) { return uint64_t{aLength} + kTrailerSize; }

private:
    uint8_t* mArea;
    size_t mCapacity;
    size_t mUsed;
};

// A chunk appended to a layout held in a byte vector (aData lies elsewhere).
inline void Append(std::vector<uint8_t>& aLayout, uint32_t aId, Bytes aData) {
    const size_t used = aLayout.size();
    aLayout.resize(used + Writer::Size(uint32_t(aData.size())));
    Writer(aLayout.data(), aLayout.size(), used).Append(aId, aData.data(), uint32_t(aData.size()));
}

}  // namespace TqChunk
