// Chunk layouts into the chunk codec (its walk from the end) and the readers over it: the chunk-data
// payload over attached memory (TqChunkData::Attach, then every chunk by position and by ID, and one
// more chunk added), and the node map's chunk ports (TqGenParameterArray::AttachDataChunks, then
// every feature of a description whose registers lie in chunks read).
//
// Input: chunk memory as a block carries it: each chunk's data, then its ID and length (32 bits each,
// big-endian), read from the end backwards.
// Checked besides the sanitizers: a layout holds together exactly when its walk comes back to the
// start, its chunks follow one another from the start to the end of the memory, and the chunk-data
// payload and the node map find those chunks (or, for a layout that does not hold together, none);
// a lookup by ID finds the first chunk of that ID.
#include "TqChunkCodec.h"
#include "TqChunkData.h"
#include "TqGenParameter.h"
#include "TqGenParameterArray.h"
#include "fuzz_input.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

using KivoFuzz::Bytes;

namespace {

const char kDescription[] =
    "<?xml version=\"1.0\"?><RegisterDescription ModelName=\"T\" VendorName=\"T\">"
    "<Port Name=\"Device\"/><Port Name=\"Info\"><ChunkID>0x1</ChunkID></Port><Port Name=\"Blob\"><ChunkID>A</ChunkID></Port>"
    "<Port Name=\"Far\"><ChunkID>0xFFFFFFFF</ChunkID></Port>"
    "<IntReg Name=\"Counter\"><Address>0</Address><Length>4</Length><pPort>Info</pPort><Endianess>BigEndian</Endianess></IntReg>"
    "<FloatReg Name=\"Exposure\"><Address>4</Address><Length>8</Length><pPort>Info</pPort></FloatReg>"
    "<StringReg Name=\"Label\"><Address>0</Address><Length>16</Length><pPort>Info</pPort></StringReg>"
    "<Register Name=\"Payload\"><Address>0</Address><Length>32</Length><pPort>Blob</pPort></Register>"
    "<Integer Name=\"Sel\"><Value>3</Value></Integer>"
    "<IntReg Name=\"Indexed\"><Address>2</Address><pIndex Offset=\"4\">Sel</pIndex><Length>2</Length><pPort>Blob</pPort></IntReg>"
    "<MaskedIntReg Name=\"Bits\"><Address>0</Address><Length>1</Length><LSB>1</LSB><MSB>3</MSB><pPort>Far</pPort></MaskedIntReg>"
    "<IntSwissKnife Name=\"Sum\"><pVariable Name=\"C\">Counter</pVariable><pVariable Name=\"I\">Indexed</pVariable>"
    "<Formula>C+I</Formula></IntSwissKnife>"
    "</RegisterDescription>";

// The codec's reading: the chunks of a layout that holds together, each where the one before ends;
// none when the walk does not come back to the start.
std::optional<std::vector<TqChunk::Chunk>> ReadLayout(Bytes aMemory) {
    const auto chunks = TqChunk::Chunks(aMemory);
    TqChunk::Walk walk(aMemory);
    size_t walked = 0;
    while (walk.Next()) ++walked;
    KIVO_FUZZ_CHECK(bool(chunks) == walk.AtStart());
    if (!chunks) return chunks;
    KIVO_FUZZ_CHECK(chunks->size() == walked);
    size_t end = 0;
    for (const TqChunk::Chunk& chunk : *chunks) {
        KIVO_FUZZ_CHECK(chunk.offset == end);
        end = chunk.End();
    }
    KIVO_FUZZ_CHECK(end == aMemory.size());
    KIVO_FUZZ_CHECK(chunks->empty() ? !TqChunk::First(aMemory) : TqChunk::First(aMemory) == chunks->front());
    return chunks;
}

void ReadChunkData(Bytes aMemory, const std::optional<std::vector<TqChunk::Chunk>>& aLayout) {
    TqChunkData chunks;
    if (!chunks.Attach(aMemory.data(), static_cast<uint32_t>(aMemory.size())).IsOK()) return;
    const uint8_t* begin = aMemory.data();
    const uint8_t* end = begin + aMemory.size();
    const uint8_t* after = begin;
    const uint32_t count = chunks.GetChunkCount();
    KIVO_FUZZ_CHECK(count == (aLayout ? aLayout->size() : 0));
    std::map<uint32_t, const uint8_t*> first;   // the data of the first chunk of each ID
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t id = 0;
        KIVO_FUZZ_CHECK(chunks.GetChunkIDByIndex(i, id).IsOK());
        const uint8_t* data = chunks.GetChunkRawDataByIndex(i);
        const uint32_t size = chunks.GetChunkSizeByIndex(i);
        KIVO_FUZZ_CHECK(data == after && data <= end && size <= static_cast<size_t>(end - data));
        KivoFuzz::Touch(data, size);
        after = data + size + 8;
        first.emplace(id, data);
    }
    for (const auto& [id, data] : first) KIVO_FUZZ_CHECK(chunks.GetChunkRawDataByID(id) == data);
    uint32_t none = 0;
    KIVO_FUZZ_CHECK(!chunks.GetChunkIDByIndex(count, none).IsOK() && chunks.GetChunkRawDataByIndex(count) == nullptr);
    // Emptied, the memory takes a chunk of its own that reads back alone.
    chunks.ResetChunks();
    const uint8_t extra[3] = {1, 2, 3};
    if (chunks.AddChunk(0x77, extra, sizeof extra).IsOK())
        KIVO_FUZZ_CHECK(chunks.GetChunkCount() == 1 && chunks.GetChunkSizeByID(0x77) == sizeof extra);
    chunks.Detach();
}

void ReadChunkPorts(Bytes aMemory, const std::optional<std::vector<TqChunk::Chunk>>& aLayout) {
    static TqGenParameterArray* array = [] {
        auto* a = new TqGenParameterArray;
        a->Load(kDescription, sizeof kDescription - 1, TqGenParameterArray::MemoryPort(64));
        return a;
    }();
    const TqResult attached = array->AttachDataChunks(aMemory.data(), static_cast<uint32_t>(aMemory.size()));
    KIVO_FUZZ_CHECK(!attached.IsOK() || aLayout);   // a layout that does not hold together is refused
    for (uint32_t i = 0; i < array->GetCount(); ++i) {
        TqString text;
        array->Get(i)->ToString(text);
    }
    array->DetachDataChunks();
}

// ---- seeds: the layouts of the chunk tests ----

Bytes Layout(const std::vector<std::pair<uint32_t, Bytes>>& aChunks) {
    Bytes layout;
    for (const auto& [id, data] : aChunks) TqChunk::Append(layout, id, data);
    return layout;
}

std::vector<Bytes> Seeds() {
    const Bytes info = {0, 0, 0, 42, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 'k', 'i', 'v', 'o'};
    Bytes blob(32);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 3);
    std::vector<Bytes> seeds = {Layout({{1, info}, {0xA, blob}, {0xFFFFFFFF, {0x0E}}}),
                                Layout({{1, {1, 2, 3}}, {1, {4, 5, 6, 7}}, {2, {}}}),
                                Layout({{0xA, Bytes(8, 0xFF)}})};
    Bytes damaged = Layout({{1, info}, {2, {9, 9}}});
    damaged[damaged.size() - 1] = 0xF0;   // a length reaching before the start
    seeds.push_back(damaged);
    seeds.push_back({1, 2, 3, 4, 5});   // shorter than a trailer
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    const Bytes memory(aData, aData + aSize);
    const auto layout = ReadLayout(memory);
    ReadChunkData(memory, layout);
    ReadChunkPorts(memory, layout);
    return 0;
}
