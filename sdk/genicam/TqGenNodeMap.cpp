#include "TqGenNodeMap.h"

#include "TqChunkCodec.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_set>

// Evaluation works on Status (a code and a message) and turns it into a TqResult only at the
// boundary. Every function that follows a reference into another node counts one level of
// mDepth and one step of the operation's budget, and every formula term it evaluates counts one
// step of the same budget, so that no description can recurse or work without bound: formulas
// evaluate without recursion, so the stack an operation takes grows with the levels alone,
// whatever the formulas on the way. Within one operation the access mode and the integer or float
// value of each node are worked out once (nodes referenced from many places would otherwise be
// evaluated once per path, exponentially often in the worst case); any write drops the memos.
//
// Registers: a register node's bytes are read whole (its Length) from its port at the address of
// the moment, and kept in its cache unless Cachable is NoCache; a cache is used only for the same
// address, so a selector that moves the address never reads a stale value. A write updates the
// written node's cache (WriteThrough) or drops it (WriteAround), and drops the caches of every
// other register of the map's port that overlaps the written bytes and of the nodes that name the
// written one as pInvalidator. The overlapping registers at a fixed place come from an index the
// load made (FixedRegisters), the others by where their copies were read, so a write costs the same
// in a map of any size. Registers of a chunk port are never cached.
//
// Bit fields (MaskedIntReg, StructEntry): LSB and MSB count from the register's least significant
// bit for a little-endian register and from its most significant bit for a big-endian one.
//
// Formula nodes evaluate on every read: they keep no cache of their own, so a write that drops or
// refreshes a register cache reaches the SwissKnives and converters that read the register.

namespace TqGenICamLib {

namespace {

using Clock = std::chrono::steady_clock;

std::string Hex(uint64_t aValue) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(aValue));
    return text;
}

std::string FloatText(double aValue) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", aValue);
    return text;
}

const char* AccessName(TqGenAccessMode aMode) {
    switch (aMode) {
    case TqGenAccessModeReadOnly: return "RO";
    case TqGenAccessModeReadWrite: return "RW";
    case TqGenAccessModeWriteOnly: return "WO";
    case TqGenAccessModeNotImplemented: return "NI";
    case TqGenAccessModeNotAvailable: return "NA";
    default: return "undefined";
    }
}

bool CanRead(TqGenAccessMode aMode) { return aMode == TqGenAccessModeReadOnly || aMode == TqGenAccessModeReadWrite; }
bool CanWrite(TqGenAccessMode aMode) { return aMode == TqGenAccessModeWriteOnly || aMode == TqGenAccessModeReadWrite; }

// The mode left of aMode under a limit (ImposedAccessMode, a read-only port, a lock).
TqGenAccessMode Cap(TqGenAccessMode aMode, TqGenAccessMode aLimit) {
    if (aLimit == TqGenAccessModeUndefined) return aMode;
    if (aMode == TqGenAccessModeNotImplemented || aMode == TqGenAccessModeNotAvailable ||
        aMode == TqGenAccessModeUndefined)
        return aMode;
    if (aLimit == TqGenAccessModeNotImplemented || aLimit == TqGenAccessModeNotAvailable) return aLimit;
    bool read = CanRead(aMode) && CanRead(aLimit);
    bool write = CanWrite(aMode) && CanWrite(aLimit);
    if (read && write) return TqGenAccessModeReadWrite;
    if (read) return TqGenAccessModeReadOnly;
    if (write) return TqGenAccessModeWriteOnly;
    return TqGenAccessModeNotAvailable;
}

uint64_t Mask(uint32_t aBits) { return aBits >= 64 ? ~uint64_t{0} : (uint64_t{1} << aBits) - 1; }

int64_t SignExtend(uint64_t aRaw, uint32_t aBits) {
    if (aBits < 64 && ((aRaw >> (aBits - 1)) & 1)) aRaw |= ~Mask(aBits);
    return static_cast<int64_t>(aRaw);
}

uint64_t Decode(const uint8_t* aBytes, int64_t aLength, bool aBig) {
    uint64_t raw = 0;
    for (int64_t i = 0; i < aLength; ++i) raw = (raw << 8) | aBytes[aBig ? i : aLength - 1 - i];
    return raw;
}

void Encode(uint64_t aRaw, uint8_t* aBytes, int64_t aLength, bool aBig) {
    for (int64_t i = 0; i < aLength; ++i) {
        aBytes[aBig ? aLength - 1 - i : i] = static_cast<uint8_t>(aRaw);
        aRaw >>= 8;
    }
}

// The bit positions (from the least significant bit) of a MaskedIntReg's field, low to high.
void BitRange(const Node* aNode, uint32_t& aLow, uint32_t& aHigh) {
    uint32_t width = static_cast<uint32_t>(aNode->length * 8);
    uint32_t a = aNode->lsb, b = aNode->msb;
    if (aNode->endianness == TqGenEndiannessBig) {
        a = width - 1 - a;
        b = width - 1 - b;
    }
    aLow = std::min(a, b);
    aHigh = std::max(a, b);
}

// A float read as an integer: its integer part (towards zero), where a difference of a billionth
// from an integer, which floating-point error makes (a register's 744 through a converter's
// formula comes back as 743.9999999999998), is taken as that integer.
double WholePart(double aValue) {
    double nearest = std::round(aValue);
    if (std::fabs(aValue - nearest) <= 1e-9 * std::max(1.0, std::fabs(aValue))) return nearest;
    return std::trunc(aValue);
}

// The smallest integer not below aValue and the largest not above it, inside the 64-bit range.
int64_t CeilToInteger(double aValue) {
    if (!(aValue > -9223372036854775808.0)) return std::numeric_limits<int64_t>::min();
    if (!(aValue < 9223372036854775808.0)) return std::numeric_limits<int64_t>::max();
    double c = std::ceil(aValue);
    return c >= 9223372036854775808.0 ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(c);
}
int64_t FloorToInteger(double aValue) {
    if (!(aValue < 9223372036854775808.0)) return std::numeric_limits<int64_t>::max();
    if (!(aValue > -9223372036854775808.0)) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(std::floor(aValue));
}

// The values an integer field of aBits bits can hold.
void FieldLimits(uint32_t aBits, bool aSigned, int64_t& aMin, int64_t& aMax) {
    if (aSigned) {
        aMin = aBits >= 64 ? std::numeric_limits<int64_t>::min() : -(int64_t{1} << (aBits - 1));
        aMax = aBits >= 64 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << (aBits - 1)) - 1;
    } else {
        aMin = 0;
        aMax = aBits >= 63 ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(Mask(aBits));
    }
}

}  // namespace

// ---- the registers at a fixed place ----

void NodeMap::FixedRegisters::Build(std::vector<Node*> aRegisters) {
    mSpans.clear();
    mSpans.reserve(aRegisters.size());
    for (Node* node : aRegisters) {
        const uint64_t first = static_cast<uint64_t>(node->address);
        mSpans.push_back({first, static_cast<unsigned __int128>(first) + static_cast<uint64_t>(node->length), node});
    }
    std::stable_sort(mSpans.begin(), mSpans.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
    mFurthest.assign(mSpans.empty() ? 0 : 4 * mSpans.size(), 0);
    if (!mSpans.empty()) BuildTree(0, 0, mSpans.size());
}

void NodeMap::FixedRegisters::BuildTree(size_t aAt, size_t aLow, size_t aHigh) {
    if (aHigh - aLow == 1) {
        mFurthest[aAt] = mSpans[aLow].end;
        return;
    }
    const size_t middle = aLow + (aHigh - aLow) / 2;
    BuildTree(2 * aAt + 1, aLow, middle);
    BuildTree(2 * aAt + 2, middle, aHigh);
    mFurthest[aAt] = std::max(mFurthest[2 * aAt + 1], mFurthest[2 * aAt + 2]);
}

template <class F>
void NodeMap::FixedRegisters::Overlapping(uint64_t aFirst, unsigned __int128 aEnd, F&& aVisit) const {
    if (!mSpans.empty()) Visit(0, 0, mSpans.size(), aFirst, aEnd, aVisit);
}

// A subtree whose spans all end at or before aFirst, or all begin at or after aEnd, holds none.
template <class F>
void NodeMap::FixedRegisters::Visit(size_t aAt, size_t aLow, size_t aHigh, uint64_t aFirst, unsigned __int128 aEnd,
                                    F& aVisit) const {
    if (mFurthest[aAt] <= aFirst || mSpans[aLow].first >= aEnd) return;
    if (aHigh - aLow == 1) {
        aVisit(mSpans[aLow].node);
        return;
    }
    const size_t middle = aLow + (aHigh - aLow) / 2;
    Visit(2 * aAt + 1, aLow, middle, aFirst, aEnd, aVisit);
    Visit(2 * aAt + 2, middle, aHigh, aFirst, aEnd, aVisit);
}

class NodeMap::Eval {
public:
    // An evaluator per public operation: at the top level it starts the operation's memos and
    // step count afresh.
    explicit Eval(NodeMap& aMap) : m(aMap) {
        if (m.mDepth == 0) {
            m.mSteps = 0;
            m.mUnchecked = 0;
            ForgetValues();
        }
    }

    using Status = NodeMap::Status;

    void ForgetValues() { ++m.mEpoch; }

    static std::string Who(const Node* aNode) {
        if (aNode->kind == Kind::EnumEntry && aNode->enumeration) return aNode->enumeration->name + "::" + aNode->name;
        return aNode->name;
    }
    static Status Fail(uint32_t aCode, const Node* aNode, const std::string& aWhy) {
        return Status{aCode, Who(aNode) + ": " + aWhy};
    }
    static Status Ok() { return Status{}; }

    // One level of nested evaluation; over the depth limit, or past the operation's step budget,
    // the level fails (and what it yields is not memoised).
    struct Level {
        NodeMap& map;
        bool over;
        explicit Level(NodeMap& aMap)
            : map(aMap), over(++aMap.mDepth > kMaxEvaluationDepth || ++aMap.mSteps > kMaxEvaluationSteps) {
            if (over) ++map.mOverflows;
        }
        ~Level() { --map.mDepth; }
    };
    static Status TooDeep(const Node* aNode) {
        return Fail(TQ_GENERIC_ERROR, aNode, "evaluation nested deeper than " + std::to_string(kMaxEvaluationDepth) +
                                                 " levels or longer than " + std::to_string(kMaxEvaluationSteps) + " steps");
    }

    // ---- access ----

    // What limited a node's access mode, found in the same pass that computes it.
    using Why = NodeMap::AccessWhy;

    // A state reference (pIsAvailable, ...) is true when its value (integer or float) is not zero;
    // a reference that cannot be read counts as aWhenUnreadable. The node named decides, by its own
    // state references and its value: what that value reads (a formula's variables, a pValue, ...)
    // is read whatever their access modes say.
    bool Truth(Node* aRef, bool aWhenUnreadable) {
        Why why;
        if (State(aRef, why) != TqGenAccessModeReadWrite) return aWhenUnreadable;
        struct Unchecked {
            NodeMap& map;
            explicit Unchecked(NodeMap& aMap) : map(aMap) { ++map.mUnchecked; }
            ~Unchecked() { --map.mUnchecked; }
        } unchecked(m);
        Number value;
        if (!NumberOf(aRef, value).ok()) return aWhenUnreadable;
        return value.real ? value.real_value != 0 : value.integer != 0;
    }

    // An access mode (with its reason) worked out once an operation, one level deep: aWork(why) gives
    // it, unless the level goes over the limits (then it is NA for Deep, and not kept).
    template <class F>
    TqGenAccessMode MemoisedMode(NodeMap::Memo<std::pair<TqGenAccessMode, Why>>& aMemo, Node* aNode, Why& aWhy, F&& aWork) {
        if (const auto* memo = aMemo.Find(aNode, m.mEpoch)) {
            aWhy = memo->second;
            return memo->first;
        }
        Level level(m);
        if (level.over) {
            aWhy.what = Why::Deep;
            return TqGenAccessModeNotAvailable;
        }
        uint64_t overflows = m.mOverflows;
        TqGenAccessMode mode = aWork(aWhy);
        if (m.mOverflows == overflows) aMemo.Put(aNode, m.mEpoch, std::make_pair(mode, aWhy));
        return mode;
    }

    // What the node's own pIsImplemented and pIsAvailable say: NI, NA, or RW when they allow it.
    TqGenAccessMode State(Node* aNode, Why& aWhy) {
        aWhy = Why{};
        if (!aNode->isImplemented && !aNode->isAvailable) return TqGenAccessModeReadWrite;
        return MemoisedMode(m.mStateMemo, aNode, aWhy, [&](Why& why) {
            if (aNode->isImplemented && !Truth(aNode->isImplemented, false)) {
                why = {Why::Implemented, aNode->isImplemented};
                return TqGenAccessModeNotImplemented;
            }
            if (aNode->isAvailable && !Truth(aNode->isAvailable, false)) {
                why = {Why::Available, aNode->isAvailable};
                return TqGenAccessModeNotAvailable;
            }
            return TqGenAccessModeReadWrite;
        });
    }

    TqGenAccessMode PortMode(const Node* aNode) {
        if (aNode->port && aNode->port->hasChunkId) {
            if (m.mChunkData == nullptr || m.mChunks.find(aNode->port->chunkId) == m.mChunks.end())
                return TqGenAccessModeNotAvailable;
            return TqGenAccessModeReadOnly;
        }
        return m.GetPortAccessMode();
    }

    // A node can be used only while the nodes its evaluation reads can be read (a formula's
    // variables, a register's address terms and length): one that cannot makes aMode not available
    // (not implemented when it is not), with its reason.
    void Needs(Node* aInput, TqGenAccessMode& aMode, Why& aWhy) {
        if (!aInput || aMode == TqGenAccessModeNotImplemented || aMode == TqGenAccessModeNotAvailable) return;
        Why why;
        TqGenAccessMode mode = Access(aInput, &why);
        if (CanRead(mode)) return;
        aMode = mode == TqGenAccessModeNotImplemented ? mode : TqGenAccessModeNotAvailable;
        aWhy = why.what == Why::None ? Why{Why::Reads, aInput} : why;
    }
    void NeedsVariables(Node* aNode, TqGenAccessMode& aMode, Why& aWhy) {
        for (const Variable& variable : aNode->variables) Needs(variable.node, aMode, aWhy);
    }

    TqGenAccessMode Access(Node* aNode, Why* aWhy = nullptr) {
        Why local;
        Why& why = aWhy ? *aWhy : local;
        why = Why{};
        return MemoisedMode(m.mAccessMemo, aNode, why, [&](Why& aOut) { return AccessOnce(aNode, aOut); });
    }

    TqGenAccessMode AccessOnce(Node* aNode, Why& aWhy) {
        TqGenAccessMode mode = State(aNode, aWhy);
        if (mode == TqGenAccessModeReadWrite) {
            switch (aNode->kind) {
            case Kind::IntReg:
            case Kind::MaskedIntReg:
            case Kind::StructEntry:
            case Kind::FloatReg:
            case Kind::StringReg:
            case Kind::Register: {
                mode = aNode->accessMode == TqGenAccessModeUndefined ? TqGenAccessModeReadOnly : aNode->accessMode;
                TqGenAccessMode port = PortMode(aNode);
                if (port == TqGenAccessModeNotAvailable) aWhy = {OnChunkPort(aNode) ? Why::Chunk : Why::Port, aNode};
                mode = Cap(mode, port);
                for (Node* term : aNode->pAddress) Needs(term, mode, aWhy);
                for (const IndexTerm& term : aNode->indices) {
                    Needs(term.index, mode, aWhy);
                    Needs(term.pOffset, mode, aWhy);
                }
                Needs(aNode->pLength, mode, aWhy);
                break;
            }
            case Kind::Category:
            case Kind::EnumEntry:
                mode = TqGenAccessModeReadOnly;
                break;
            case Kind::IntSwissKnife:
            case Kind::SwissKnife:
                mode = TqGenAccessModeReadOnly;
                NeedsVariables(aNode, mode, aWhy);
                break;
            case Kind::Port:
                mode = TqGenAccessModeReadWrite;
                break;
            default:
                if (aNode->pValue) mode = Access(aNode->pValue, &aWhy);
                else if (aNode->valueIndex) mode = IndexedAccess(aNode, aWhy);
                if (aNode->kind == Kind::Converter || aNode->kind == Kind::IntConverter) NeedsVariables(aNode, mode, aWhy);
                break;
            }
            mode = Cap(mode, aNode->imposedAccess);
            if (CanWrite(mode) && aNode->isLocked && Truth(aNode->isLocked, false)) {
                mode = Cap(mode, TqGenAccessModeReadOnly);
                aWhy = {Why::Locked, aNode->isLocked};
            }
        }
        return mode;
    }

    // A value per index has the access mode of the node its index chooses (a constant's is RW); an
    // index that cannot be read leaves it not available.
    TqGenAccessMode IndexedAccess(Node* aNode, Why& aWhy) {
        TqGenAccessMode mode = Access(aNode->valueIndex, &aWhy);
        if (!CanRead(mode)) return mode == TqGenAccessModeNotImplemented ? mode : TqGenAccessModeNotAvailable;
        IndexedValue* chosen = nullptr;
        if (!Chosen(aNode, chosen).ok()) {
            aWhy = {Why::Reads, aNode->valueIndex};
            return TqGenAccessModeNotAvailable;
        }
        return chosen->ref ? Access(chosen->ref, &aWhy) : TqGenAccessModeReadWrite;
    }

    std::string Reason(TqGenAccessMode aMode, const Why& aWhy) {
        switch (aWhy.what) {
        case Why::Implemented: return "not implemented (by " + aWhy.by->name + ")";
        case Why::Available: return "not available (by " + aWhy.by->name + ")";
        case Why::Locked: return "not writable (locked by " + aWhy.by->name + ")";
        case Why::Chunk:
            return m.mChunkData ? "not available (no chunk " + Hex(aWhy.by->port->chunkId) + " in the attached data)"
                                : "not available (no chunk data attached)";
        case Why::Port: return "not available (the map has no port)";
        case Why::Reads: return "not available (" + aWhy.by->name + " cannot be read)";
        default: break;
        }
        switch (aMode) {
        case TqGenAccessModeReadOnly: return "not writable (read-only)";
        case TqGenAccessModeWriteOnly: return "not readable (write-only)";
        case TqGenAccessModeNotImplemented: return "not implemented";
        default: return std::string("not available (access mode ") + AccessName(aMode) + ")";
        }
    }

    Status NeedRead(Node* aNode) {
        if (m.mUnchecked) return Ok();
        Why why;
        TqGenAccessMode mode = Access(aNode, &why);
        if (CanRead(mode)) return Ok();
        if (why.what == Why::Deep) return TooDeep(aNode);
        return Fail(TQ_STATE_ERROR, aNode, Reason(mode, why));
    }

    Status NeedWrite(Node* aNode) {
        Why why;
        TqGenAccessMode mode = Access(aNode, &why);
        if (CanWrite(mode)) return Ok();
        if (why.what == Why::Deep) return TooDeep(aNode);
        return Fail(TQ_STATE_ERROR, aNode, Reason(mode, why));
    }

    // ---- registers ----

    // The register's length of the moment: its Length, or what its pLength reads (0 to
    // kMaxRegisterLength; 0 is an empty register). aLength is left as it was when the length is
    // refused, so that nothing is ever sized from a length outside the bound.
    Status Length(Node* aNode, int64_t& aLength) {
        if (!aNode->pLength) {
            aLength = aNode->length;
            return Ok();
        }
        int64_t length = 0;
        Status s = ReadInt(aNode->pLength, length);
        if (!s.ok()) return s;
        if (length < 0 || length > kMaxRegisterLength)
            return Fail(TQ_INVALID_DATA_FORMAT, aNode, "length " + std::to_string(length) + " (read from " + aNode->pLength->name +
                                                           ") is outside 0 to " + std::to_string(kMaxRegisterLength));
        aLength = length;
        return Ok();
    }

    // A transfer between the caller's memory and a Register: at most the register's length of the
    // moment, from or to memory that is there.
    Status Transfer(Node* aNode, const void* aBuffer, int64_t aLength) {
        int64_t length = 0;
        Status s = Length(aNode, length);
        if (!s.ok()) return s;
        if (aLength < 0 || aLength > length)
            return Fail(TQ_INVALID_PARAMETER, aNode,
                        "a transfer of " + std::to_string(aLength) + " bytes does not fit the register's " + std::to_string(length));
        if (aBuffer == nullptr && aLength > 0) return Fail(TQ_INVALID_PARAMETER, aNode, "no memory for " + std::to_string(aLength) + " bytes");
        return Ok();
    }

    // The first aLength bytes of a Register into the caller's memory.
    Status CopyOut(Node* aNode, uint8_t* aBuffer, int64_t aLength) {
        std::vector<uint8_t> bytes;
        Status s = Transfer(aNode, aBuffer, aLength);
        if (!s.ok() || !(s = NeedRead(aNode)).ok() || !(s = ReadBytes(aNode, bytes)).ok()) return s;
        if (aLength > 0) std::memcpy(aBuffer, bytes.data(), static_cast<size_t>(aLength));
        return Ok();
    }

    // The caller's aLength bytes into the first bytes of a Register.
    Status CopyIn(Node* aNode, const uint8_t* aBuffer, int64_t aLength) {
        Status s = Transfer(aNode, aBuffer, aLength);
        if (!s.ok() || !(s = NeedWrite(aNode)).ok() || aLength == 0) return s;
        return WriteBytes(aNode, aBuffer, static_cast<uint64_t>(aLength));
    }

    // The sum of the register's address terms: its Address elements, its pAddress values and, for
    // each pIndex, the index's value times its offset (the register's length unless given).
    Status AddressSum(Node* aNode, __int128& aSum) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        __int128 sum = aNode->address;
        const __int128 limit = static_cast<__int128>(std::numeric_limits<uint64_t>::max());
        auto outside = [&] { return sum < -limit || sum > limit; };
        for (Node* term : aNode->pAddress) {
            int64_t value = 0;
            Status s = ReadInt(term, value);
            if (!s.ok()) return s;
            sum += value;
            if (outside()) return Fail(TQ_ERR_OVERFLOW, aNode, "address outside 0 to 2^64-1");
        }
        for (const IndexTerm& term : aNode->indices) {
            int64_t index = 0, offset = term.hasOffset ? term.offset : 0;
            Status s = ReadInt(term.index, index);
            if (!s.ok()) return s;
            if (term.pOffset) s = ReadInt(term.pOffset, offset);
            else if (!term.hasOffset) s = Length(aNode, offset);
            if (!s.ok()) return s;
            sum += static_cast<__int128>(index) * offset;
            if (outside()) return Fail(TQ_ERR_OVERFLOW, aNode, "address outside 0 to 2^64-1");
        }
        aSum = sum;
        return Ok();
    }

    Status Address(Node* aNode, uint64_t& aAddress) {
        __int128 sum = 0;
        Status s = AddressSum(aNode, sum);
        if (!s.ok()) return s;
        if (sum < 0) return Fail(TQ_ERR_OVERFLOW, aNode, "address outside 0 to 2^64-1");
        aAddress = static_cast<uint64_t>(sum);
        return Ok();
    }

    bool OnChunkPort(const Node* aNode) const { return aNode->port && aNode->port->hasChunkId; }

    // A chunk register's bytes: its address counts from the chunk's first byte, or back from its end
    // when below zero.
    Status ReadChunk(Node* aNode, uint64_t aLength, std::vector<uint8_t>& aBytes) {
        auto it = m.mChunks.find(aNode->port->chunkId);
        if (m.mChunkData == nullptr || it == m.mChunks.end())
            return Fail(TQ_STATE_ERROR, aNode, Reason(TqGenAccessModeNotAvailable, Why{Why::Chunk, aNode}));
        const Chunk& chunk = it->second;
        __int128 sum = 0;
        Status s = AddressSum(aNode, sum);
        if (!s.ok()) return s;
        __int128 offset = sum < 0 ? chunk.length + sum : sum;
        if (offset < 0 || offset > chunk.length || aLength > chunk.length - static_cast<uint64_t>(offset))
            return Fail(TQ_ERR_OVERFLOW, aNode,
                        "bytes " + (sum < 0 ? "-" + Hex(static_cast<uint64_t>(-sum)) : Hex(static_cast<uint64_t>(sum))) + " + " +
                            std::to_string(aLength) + " lie beyond the chunk's " + std::to_string(chunk.length) + " bytes");
        const uint8_t* from = m.mChunkData + chunk.offset + static_cast<uint64_t>(offset);
        aBytes.assign(from, from + aLength);
        return Ok();
    }

    // The register's bytes (its whole length) at its address of the moment. aBytes is filled only
    // once the evaluations the address and length need are done, so that a read decoding them at
    // once may pass the map's scratch buffer (NodeMap::mScratch) at any depth.
    Status ReadBytes(Node* aNode, std::vector<uint8_t>& aBytes) {
        int64_t size = 0;
        Status s = Length(aNode, size);
        if (!s.ok()) return s;
        uint64_t length = static_cast<uint64_t>(size);
        if (OnChunkPort(aNode)) return ReadChunk(aNode, length, aBytes);
        uint64_t address = 0;
        if (!(s = Address(aNode, address)).ok()) return s;
        if (!m.mPort) return Fail(TQ_STATE_ERROR, aNode, "the map has no port");
        Node::Cache& cache = aNode->cached;
        if (aNode->cache != CacheMode::NoCache && cache.valid && cache.address == address && cache.bytes.size() == length) {
            aBytes = cache.bytes;
            return Ok();
        }
        aBytes.assign(length, 0);
        if (length > 0) {
            TqResult r = m.mPort->Read(address, aBytes.data(), length);
            if (r.IsFailure())
                return Fail(r.GetCode(), aNode, "reading " + std::to_string(length) + " bytes at " + Hex(address) + " failed: " + r.GetDescription().GetAscii());
        }
        if (aNode->cache != CacheMode::NoCache) Keep(aNode, address, aBytes.data(), length);
        return Ok();
    }

    // Keeps a copy of the register's bytes at aAddress. The copies of the kinds whose length may
    // reach kMaxRegisterLength (Register, StringReg) stay within kMaxCachedBytes in all: past it
    // such a register goes without (its next read asks the port); a number register's copy is at
    // most 8 bytes and always kept.
    void Keep(Node* aNode, uint64_t aAddress, const uint8_t* aBytes, uint64_t aLength) {
        Node::Cache& cache = aNode->cached;
        const bool counted = aNode->kind == Kind::Register || aNode->kind == Kind::StringReg;
        const uint64_t held = counted ? cache.bytes.capacity() : 0;
        if (counted && aLength > held && m.mCachedBytes - held + aLength > kMaxCachedBytes) {
            cache.valid = false;
            std::vector<uint8_t>().swap(cache.bytes);
            m.mCachedBytes -= held;
            return;
        }
        cache.bytes.assign(aBytes, aBytes + aLength);
        if (counted) m.mCachedBytes += cache.bytes.capacity() - held;
        cache.valid = true;
        cache.address = aAddress;
        cache.filled = Clock::now();
    }

    // Writes the first aLength bytes of the register (aLength within its length of the moment).
    Status WriteBytes(Node* aNode, const uint8_t* aBytes, uint64_t aLength) {
        if (OnChunkPort(aNode)) return Fail(TQ_STATE_ERROR, aNode, "not writable (chunk data is read-only)");
        int64_t length = 0;
        uint64_t address = 0;
        Status s = Length(aNode, length);
        if (!s.ok() || !(s = Address(aNode, address)).ok()) return s;
        if (aLength > static_cast<uint64_t>(length))
            return Fail(TQ_INVALID_PARAMETER, aNode,
                        "a transfer of " + std::to_string(aLength) + " bytes does not fit the register's " + std::to_string(length));
        if (!m.mPort) return Fail(TQ_STATE_ERROR, aNode, "the map has no port");
        if (aLength > 0) {
            TqResult r = m.mPort->Write(address, aBytes, aLength);
            if (r.IsFailure())
                return Fail(r.GetCode(), aNode, "writing " + std::to_string(aLength) + " bytes at " + Hex(address) + " failed: " + r.GetDescription().GetAscii());
        }
        DropOverlapping(aNode, address, aLength);
        if (aNode->cache == CacheMode::WriteThrough && aLength == static_cast<uint64_t>(length)) Keep(aNode, address, aBytes, aLength);
        else aNode->cached.valid = false;
        Written(aNode);
        return Ok();
    }

    // The other registers that hold a copy of a written byte drop it (and are reported changed):
    // those at a fixed place found through the map's index of them, those whose place is read at
    // run time by where their copy was read.
    void DropOverlapping(Node* aWritten, uint64_t aAddress, uint64_t aLength) {
        using U = unsigned __int128;
        const U end = U(aAddress) + aLength;
        auto drop = [&](Node* aOther) {
            if (aOther == aWritten || !aOther->cached.valid) return;
            aOther->cached.valid = false;
            m.mWritten.push_back(aOther);
        };
        m.mFixedRegisters.Overlapping(aAddress, end, drop);
        for (Node* other : m.mMovingRegisters) {
            const Node::Cache& c = other->cached;
            if (c.valid && U(c.address) < end && U(aAddress) < U(c.address) + U(c.bytes.size())) drop(other);
        }
    }

    void DropCache(Node* aNode) {
        for (int hops = 0; aNode && hops <= kMaxReferenceChain; ++hops) {
            aNode->cached.valid = false;
            aNode = aNode->pValue;
        }
    }

    void Written(Node* aNode) {
        ForgetValues();
        m.mWritten.push_back(aNode);
        for (Node* other : aNode->invalidates) DropCache(other);
    }

    // ---- integers ----

    struct IntLimits {
        int64_t min = std::numeric_limits<int64_t>::min();
        int64_t max = std::numeric_limits<int64_t>::max();
        int64_t inc = 1;
    };

    Status OperandValue(const Operand<int64_t>& aOperand, int64_t& aValue) {
        if (!aOperand.ref) {
            aValue = aOperand.value;
            return Ok();
        }
        return ReadInt(aOperand.ref, aValue);
    }

    Status Limits(Node* aNode, IntLimits& aLimits) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        switch (aNode->kind) {
        case Kind::IntReg:
            FieldLimits(static_cast<uint32_t>(aNode->length * 8), aNode->sign == TqGenSignSigned, aLimits.min, aLimits.max);
            aLimits.inc = 1;
            return Ok();
        case Kind::MaskedIntReg:
        case Kind::StructEntry: {
            uint32_t low = 0, high = 0;
            BitRange(aNode, low, high);
            FieldLimits(high - low + 1, aNode->sign == TqGenSignSigned, aLimits.min, aLimits.max);
            aLimits.inc = 1;
            return Ok();
        }
        case Kind::IntSwissKnife:
            aLimits = IntLimits{};
            return Ok();
        case Kind::IntConverter: {
            aLimits = IntLimits{};
            double low = 0, high = 0;
            bool bounded = false;
            Status s;
            if ((!aNode->intMin.given || !aNode->intMax.given) && !(s = DerivedLimits(aNode, low, high, bounded)).ok()) return s;
            if (bounded) {
                if (!RoundToInteger(low, aLimits.min)) aLimits.min = std::numeric_limits<int64_t>::min();
                if (!RoundToInteger(high, aLimits.max)) aLimits.max = std::numeric_limits<int64_t>::max();
            }
            if (aNode->intMin.given && !(s = OperandValue(aNode->intMin, aLimits.min)).ok()) return s;
            if (aNode->intMax.given && !(s = OperandValue(aNode->intMax, aLimits.max)).ok()) return s;
            if (aNode->intInc.given && !(s = OperandValue(aNode->intInc, aLimits.inc)).ok()) return s;
            return Ok();
        }
        case Kind::Integer: {
            aLimits = IntLimits{};
            Node* source = nullptr;
            Status s = ValueSource(aNode, source);
            if (!s.ok()) return s;
            if (source && IsIntegerKind(source->kind)) {
                s = Limits(source, aLimits);
                if (!s.ok()) return s;
            } else if (source && IsFloatKind(source->kind)) {   // the integers inside the float's limits
                double low = 0, high = 0;
                if (!(s = FloatLimits(source, low, high)).ok()) return s;
                aLimits.min = CeilToInteger(low);
                aLimits.max = FloorToInteger(high);
            }
            if (aNode->intMin.given && !(s = OperandValue(aNode->intMin, aLimits.min)).ok()) return s;
            if (aNode->intMax.given && !(s = OperandValue(aNode->intMax, aLimits.max)).ok()) return s;
            if (aNode->intInc.given && !(s = OperandValue(aNode->intInc, aLimits.inc)).ok()) return s;
            return Ok();
        }
        default:
            return Fail(TQ_NOT_FOUND, aNode, std::string("is of kind ") + KindName(aNode->kind) + ", not an integer");
        }
    }

    // A node's value (and the status of reading it) worked out once an operation: the first read
    // is kept, unless an evaluation on the way went over a limit.
    template <class T>
    Status Memoised(NodeMap::Memo<std::pair<Status, T>>& aMemo, Node* aNode, T& aValue, Status (Eval::*aOnce)(Node*, T&)) {
        if (const auto* memo = aMemo.Find(aNode, m.mEpoch)) {
            aValue = memo->second;
            return memo->first;
        }
        uint64_t overflows = m.mOverflows;
        Status s = (this->*aOnce)(aNode, aValue);
        if (m.mOverflows == overflows) aMemo.Put(aNode, m.mEpoch, std::make_pair(s, aValue));
        return s;
    }

    // The integer value of any node that has one: the integer kinds, an enumeration's value, a
    // boolean as 1 or 0.
    Status ReadInt(Node* aNode, int64_t& aValue) {
        return Memoised(m.mIntMemo[m.mUnchecked ? 1 : 0], aNode, aValue, &Eval::ReadIntOnce);
    }

    Status ReadIntOnce(Node* aNode, int64_t& aValue) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        switch (aNode->kind) {
        case Kind::Integer:
        case Kind::Enumeration: {
            Status s = NeedRead(aNode);
            if (!s.ok()) return s;
            if (aNode->valueIndex) {
                IndexedValue* chosen = nullptr;
                if (!(s = Chosen(aNode, chosen)).ok()) return s;
                if (chosen->ref) return ReadInt(chosen->ref, aValue);
                aValue = chosen->intValue;
                return Ok();
            }
            if (!aNode->pValue) {
                aValue = aNode->intValue;
                return Ok();
            }
            return ReadInt(aNode->pValue, aValue);
        }
        case Kind::IntSwissKnife:
        case Kind::IntConverter: {
            Status s = NeedRead(aNode);
            if (!s.ok()) return s;
            Number to, result;
            bool converter = aNode->kind == Kind::IntConverter;
            if (converter && !(s = NumberOf(aNode->pValue, to)).ok()) return s;
            if (!(s = Evaluate(aNode, converter ? *aNode->formulaFrom : *aNode->formula, converter ? "FormulaFrom" : "Formula",
                               true, converter ? &to : nullptr, result)).ok())
                return s;
            return ToInteger(aNode, result, aValue);
        }
        case Kind::IntReg:
        case Kind::MaskedIntReg:
        case Kind::StructEntry: {
            Status s = NeedRead(aNode);
            std::vector<uint8_t>& bytes = m.mScratch;
            if (!s.ok() || !(s = ReadBytes(aNode, bytes)).ok()) return s;
            uint64_t raw = Decode(bytes.data(), aNode->length, aNode->endianness == TqGenEndiannessBig);
            bool isSigned = aNode->sign == TqGenSignSigned;
            if (aNode->kind == Kind::IntReg) {
                aValue = isSigned ? SignExtend(raw, static_cast<uint32_t>(aNode->length * 8)) : static_cast<int64_t>(raw);
            } else {
                uint32_t low = 0, high = 0;
                BitRange(aNode, low, high);
                uint64_t field = (raw >> low) & Mask(high - low + 1);
                aValue = isSigned ? SignExtend(field, high - low + 1) : static_cast<int64_t>(field);
            }
            return Ok();
        }
        case Kind::Boolean: {
            bool value = false;
            Status s = ReadBool(aNode, value);
            aValue = value ? 1 : 0;
            return s;
        }
        default: {
            if (!IsFloatKind(aNode->kind))
                return Fail(TQ_NOT_FOUND, aNode, std::string("is of kind ") + KindName(aNode->kind) + ", not an integer");
            double value = 0;
            Status s = ReadFloat(aNode, value);
            if (!s.ok()) return s;
            double whole = WholePart(value);
            if (!(whole >= -9223372036854775808.0 && whole < 9223372036854775808.0))
                return Fail(TQ_INVALID_DATA_FORMAT, aNode, FloatText(value) + " is outside the 64-bit integer range");
            aValue = static_cast<int64_t>(whole);
            return Ok();
        }
        }
    }

    // One of the node's limits; an increment only when it is positive.
    Status IntLimit(Node* aNode, int64_t IntLimits::*aWhich, int64_t& aValue) {
        IntLimits limits;
        Status s = Limits(aNode, limits);
        if (s.ok() && aWhich == &IntLimits::inc) s = PositiveInc(aNode, limits);
        if (s.ok()) aValue = limits.*aWhich;
        return s;
    }

    // An increment read from a register may be anything: only a positive one is an increment.
    static Status PositiveInc(Node* aNode, const IntLimits& aLimits) {
        if (aLimits.inc > 0) return Ok();
        return Fail(TQ_INVALID_DATA_FORMAT, aNode, "increment " + std::to_string(aLimits.inc) + " is not positive");
    }

    Status CheckInt(Node* aNode, int64_t aValue) {
        IntLimits limits;
        Status s = Limits(aNode, limits);
        if (!s.ok() || !(s = PositiveInc(aNode, limits)).ok()) return s;
        if (aValue < limits.min)
            return Fail(TQ_INVALID_PARAMETER, aNode, std::to_string(aValue) + " is below the minimum " + std::to_string(limits.min));
        if (aValue > limits.max)
            return Fail(TQ_INVALID_PARAMETER, aNode, std::to_string(aValue) + " is above the maximum " + std::to_string(limits.max));
        if ((static_cast<__int128>(aValue) - limits.min) % limits.inc != 0)
            return Fail(TQ_INVALID_PARAMETER, aNode,
                        std::to_string(aValue) + " is not the minimum " + std::to_string(limits.min) +
                            " plus a multiple of the increment " + std::to_string(limits.inc));
        return Ok();
    }

    // Writes an integer node (the kinds that pValue of an integer-valued node may name).
    Status WriteInt(Node* aNode, int64_t aValue) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        if (!IsIntegerKind(aNode->kind))
            return Fail(TQ_NOT_FOUND, aNode, std::string("is of kind ") + KindName(aNode->kind) + ", not an integer");
        Status s = NeedWrite(aNode);
        if (!s.ok() || !(s = aNode->kind == Kind::IntConverter ? CheckGiven(aNode, aValue) : CheckInt(aNode, aValue)).ok()) return s;
        switch (aNode->kind) {
        case Kind::Integer:
            if (aNode->valueIndex) {
                IndexedValue* chosen = nullptr;
                if (!(s = Chosen(aNode, chosen)).ok()) return s;
                if (chosen->ref) return WriteNumber(chosen->ref, Number::Int(aValue));
                chosen->intValue = aValue;
                Written(aNode);
                return Ok();
            }
            if (aNode->pValue) return WriteNumber(aNode->pValue, Number::Int(aValue));
            aNode->intValue = aValue;
            Written(aNode);
            return Ok();
        case Kind::IntSwissKnife:
            return Fail(TQ_STATE_ERROR, aNode, "not writable (a formula)");
        case Kind::IntConverter: {
            Number result;
            Number from = Number::Int(aValue);
            if (!(s = Evaluate(aNode, *aNode->formulaTo, "FormulaTo", true, &from, result)).ok()) return s;
            return WriteNumber(aNode->pValue, result);
        }
        case Kind::IntReg: {
            std::vector<uint8_t> bytes(static_cast<size_t>(aNode->length));
            Encode(static_cast<uint64_t>(aValue), bytes.data(), aNode->length, aNode->endianness == TqGenEndiannessBig);
            return WriteBytes(aNode, bytes.data(), bytes.size());
        }
        default: {   // MaskedIntReg: the other bits of the register stay as they are
            std::vector<uint8_t> bytes(static_cast<size_t>(aNode->length), 0);
            if (CanRead(Access(aNode)) && !(s = ReadBytes(aNode, bytes)).ok()) return s;
            bool big = aNode->endianness == TqGenEndiannessBig;
            uint64_t raw = Decode(bytes.data(), aNode->length, big);
            uint32_t low = 0, high = 0;
            BitRange(aNode, low, high);
            uint64_t mask = Mask(high - low + 1) << low;
            raw = (raw & ~mask) | ((static_cast<uint64_t>(aValue) << low) & mask);
            Encode(raw, bytes.data(), aNode->length, big);
            return WriteBytes(aNode, bytes.data(), bytes.size());
        }
        }
    }

    // ---- floats ----

    Status DoubleOf(Node* aNode, double& aValue) {
        if (IsFloatKind(aNode->kind)) return ReadFloat(aNode, aValue);
        int64_t value = 0;
        Status s = ReadInt(aNode, value);
        aValue = static_cast<double>(value);
        return s;
    }

    Status OperandValue(const Operand<double>& aOperand, double& aValue) {
        if (!aOperand.ref) {
            aValue = aOperand.value;
            return Ok();
        }
        return DoubleOf(aOperand.ref, aValue);
    }

    Status FloatLimits(Node* aNode, double& aMin, double& aMax) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        if (aNode->kind == Kind::FloatReg) {
            aMax = aNode->length == 4 ? static_cast<double>(FLT_MAX) : DBL_MAX;
            aMin = -aMax;
            return Ok();
        }
        if (!IsFloatKind(aNode->kind))
            return Fail(TQ_NOT_FOUND, aNode, std::string("is of kind ") + KindName(aNode->kind) + ", not a float");
        aMin = std::numeric_limits<double>::lowest();
        aMax = std::numeric_limits<double>::max();
        Status s;
        if (aNode->kind == Kind::SwissKnife) return Ok();
        if (aNode->kind == Kind::Converter) {
            double low = 0, high = 0;
            bool bounded = false;
            if ((!aNode->floatMin.given || !aNode->floatMax.given) && !(s = DerivedLimits(aNode, low, high, bounded)).ok()) return s;
            if (bounded) {
                aMin = low;
                aMax = high;
            }
            if (aNode->floatMin.given && !(s = OperandValue(aNode->floatMin, aMin)).ok()) return s;
            if (aNode->floatMax.given && !(s = OperandValue(aNode->floatMax, aMax)).ok()) return s;
            return Ok();
        }
        Node* source = nullptr;
        if (!(s = ValueSource(aNode, source)).ok()) return s;
        if (source && IsFloatKind(source->kind) && !(s = FloatLimits(source, aMin, aMax)).ok()) return s;
        if (source && IsIntegerKind(source->kind)) {
            IntLimits limits;
            if (!(s = Limits(source, limits)).ok()) return s;
            aMin = static_cast<double>(limits.min);
            aMax = static_cast<double>(limits.max);
        }
        if (aNode->floatMin.given && !(s = OperandValue(aNode->floatMin, aMin)).ok()) return s;
        if (aNode->floatMax.given && !(s = OperandValue(aNode->floatMax, aMax)).ok()) return s;
        return Ok();
    }

    Status FloatLimit(Node* aNode, bool aMax, double& aValue) {
        double other = 0;
        return aMax ? FloatLimits(aNode, other, aValue) : FloatLimits(aNode, aValue, other);
    }

    // The Inc of the first Float on the node's pValue chain that gives one; aHasInc says whether one does.
    Status FloatInc(Node* aNode, double& aValue, bool& aHasInc) {
        aHasInc = false;
        for (Node* node = aNode; node && node->kind == Kind::Float; node = node->pValue) {
            if (node->floatInc.given) {
                aHasInc = true;
                return OperandValue(node->floatInc, aValue);
            }
        }
        return Ok();
    }

    Status ReadFloat(Node* aNode, double& aValue) {
        return Memoised(m.mFloatMemo[m.mUnchecked ? 1 : 0], aNode, aValue, &Eval::ReadFloatOnce);
    }

    Status ReadFloatOnce(Node* aNode, double& aValue) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        Status s = NeedRead(aNode);
        if (!s.ok()) return s;
        if (aNode->kind == Kind::Float) {
            if (aNode->valueIndex) {
                IndexedValue* chosen = nullptr;
                if (!(s = Chosen(aNode, chosen)).ok()) return s;
                if (chosen->ref) return DoubleOf(chosen->ref, aValue);
                aValue = chosen->floatValue;
                return Ok();
            }
            if (!aNode->pValue) {
                aValue = aNode->floatValue;
                return Ok();
            }
            return DoubleOf(aNode->pValue, aValue);
        }
        if (aNode->kind == Kind::SwissKnife || aNode->kind == Kind::Converter) {
            Number to, result;
            bool converter = aNode->kind == Kind::Converter;
            if (converter && !(s = NumberOf(aNode->pValue, to)).ok()) return s;
            if (!(s = Evaluate(aNode, converter ? *aNode->formulaFrom : *aNode->formula, converter ? "FormulaFrom" : "Formula",
                               false, converter ? &to : nullptr, result)).ok())
                return s;
            aValue = result.AsDouble();
            return Ok();
        }
        if (aNode->kind != Kind::FloatReg)
            return Fail(TQ_NOT_FOUND, aNode, std::string("is of kind ") + KindName(aNode->kind) + ", not a float");
        std::vector<uint8_t>& bytes = m.mScratch;
        if (!(s = ReadBytes(aNode, bytes)).ok()) return s;
        uint64_t raw = Decode(bytes.data(), aNode->length, aNode->endianness == TqGenEndiannessBig);
        if (aNode->length == 4) {
            uint32_t bits = static_cast<uint32_t>(raw);
            float value;
            std::memcpy(&value, &bits, sizeof value);
            aValue = value;
        } else {
            std::memcpy(&aValue, &raw, sizeof aValue);
        }
        return Ok();
    }

    Status WriteFloat(Node* aNode, double aValue) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        if (!IsFloatKind(aNode->kind))
            return Fail(TQ_NOT_FOUND, aNode, std::string("is of kind ") + KindName(aNode->kind) + ", not a float");
        Status s = NeedWrite(aNode);
        if (!s.ok()) return s;
        if (std::isnan(aValue)) return Fail(TQ_INVALID_PARAMETER, aNode, "NaN is no value");
        if (aNode->kind == Kind::SwissKnife) return Fail(TQ_STATE_ERROR, aNode, "not writable (a formula)");
        if (aNode->kind == Kind::Converter) {
            double limit = 0;
            if (aNode->floatMin.given && !(s = OperandValue(aNode->floatMin, limit)).ok()) return s;
            if (aNode->floatMin.given && aValue < limit)
                return Fail(TQ_INVALID_PARAMETER, aNode, FloatText(aValue) + " is below the minimum " + FloatText(limit));
            if (aNode->floatMax.given && !(s = OperandValue(aNode->floatMax, limit)).ok()) return s;
            if (aNode->floatMax.given && aValue > limit)
                return Fail(TQ_INVALID_PARAMETER, aNode, FloatText(aValue) + " is above the maximum " + FloatText(limit));
            Number result;
            Number from = Number::Real(aValue);
            if (!(s = Evaluate(aNode, *aNode->formulaTo, "FormulaTo", false, &from, result)).ok()) return s;
            return WriteNumber(aNode->pValue, result);
        }
        double min = 0, max = 0;
        if (!(s = FloatLimits(aNode, min, max)).ok()) return s;
        if (aValue < min) return Fail(TQ_INVALID_PARAMETER, aNode, FloatText(aValue) + " is below the minimum " + FloatText(min));
        if (aValue > max) return Fail(TQ_INVALID_PARAMETER, aNode, FloatText(aValue) + " is above the maximum " + FloatText(max));
        if (aNode->kind == Kind::Float) {
            if (aNode->valueIndex) {
                IndexedValue* chosen = nullptr;
                if (!(s = Chosen(aNode, chosen)).ok()) return s;
                if (chosen->ref) return WriteNumber(chosen->ref, Number::Real(aValue));
                chosen->floatValue = aValue;
                Written(aNode);
                return Ok();
            }
            if (aNode->pValue) return WriteNumber(aNode->pValue, Number::Real(aValue));
            aNode->floatValue = aValue;
            Written(aNode);
            return Ok();
        }
        uint64_t raw = 0;
        if (aNode->length == 4) {
            float narrow = static_cast<float>(aValue);
            uint32_t bits;
            std::memcpy(&bits, &narrow, sizeof bits);
            raw = bits;
        } else {
            std::memcpy(&raw, &aValue, sizeof raw);
        }
        std::vector<uint8_t> bytes(static_cast<size_t>(aNode->length));
        Encode(raw, bytes.data(), aNode->length, aNode->endianness == TqGenEndiannessBig);
        return WriteBytes(aNode, bytes.data(), bytes.size());
    }

    // ---- formulas, converters, values per index ----

    // A node's value as a formula number: a double for the float kinds, an integer otherwise.
    Status NumberOf(Node* aNode, Number& aValue) {
        if (IsFloatKind(aNode->kind)) {
            aValue.real = true;
            return ReadFloat(aNode, aValue.real_value);
        }
        aValue.real = false;
        return ReadInt(aNode, aValue.integer);
    }

    // Evaluates one of the node's formulas; aArgument is TO or FROM for a converter.
    Status Evaluate(Node* aNode, const Formula& aFormula, const char* aWhich, bool aInteger, const Number* aArgument,
                    Number& aValue) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        struct Input : FormulaReader {
            Eval& e;
            Node* node;
            const Number* argument;
            Status failure;
            Input(Eval& aEval, Node* aNode, const Number* aArgument) : e(aEval), node(aNode), argument(aArgument) {}
            bool Read(size_t aSlot, Number& aOut) override {
                if (aSlot < node->variables.size()) {
                    failure = e.NumberOf(node->variables[aSlot].node, aOut);
                    return failure.ok();
                }
                if (!argument) {
                    failure = Eval::Fail(TQ_GENERIC_ERROR, node, "the formula reads a value it has not got");
                    return false;
                }
                aOut = *argument;
                return true;
            }
        } input(*this, aNode, aArgument);
        std::string why;
        switch (aFormula.Evaluate(aInteger, input, aValue, why, m.mSteps, kMaxEvaluationSteps)) {
        case Formula::Outcome::Ok: break;
        case Formula::Outcome::VariableFailed: return input.failure;
        case Formula::Outcome::TooLong:
            ++m.mOverflows;   // like a level over the limit: nothing on the way is memoised
            return TooDeep(aNode);
        case Formula::Outcome::Failed: return Fail(TQ_INVALID_DATA_FORMAT, aNode, std::string(aWhich) + " '" + aFormula.Text() + "': " + why);
        }
        if (aInteger && aValue.real && !std::isfinite(aValue.real_value))
            return Fail(TQ_INVALID_DATA_FORMAT, aNode, std::string(aWhich) + " '" + aFormula.Text() + "' gives " + FloatText(aValue.real_value));
        return Ok();
    }

    Status ToInteger(Node* aNode, const Number& aNumber, int64_t& aValue) {
        if (!aNumber.real) {
            aValue = aNumber.integer;
            return Ok();
        }
        if (!RoundToInteger(aNumber.real_value, aValue))
            return Fail(TQ_INVALID_DATA_FORMAT, aNode, FloatText(aNumber.real_value) + " is outside the 64-bit integer range");
        return Ok();
    }

    // A converter's result written to its pValue, made the kind of number the pValue holds.
    Status WriteNumber(Node* aTarget, const Number& aValue) {
        if (IsFloatKind(aTarget->kind)) return WriteFloat(aTarget, aValue.AsDouble());
        int64_t value = 0;
        Status s = ToInteger(aTarget, aValue, value);
        if (!s.ok()) return s;
        if (aTarget->kind == Kind::Enumeration) return SetEnum(aTarget, m.FindEntry(aTarget, value), "of value " + std::to_string(value));
        if (aTarget->kind == Kind::Boolean) {
            if (value != aTarget->onValue && value != aTarget->offValue)
                return Fail(TQ_INVALID_PARAMETER, aTarget,
                            std::to_string(value) + " is neither the on value " + std::to_string(aTarget->onValue) +
                                " nor the off value " + std::to_string(aTarget->offValue));
            return WriteBool(aTarget, value == aTarget->onValue);
        }
        return WriteInt(aTarget, value);
    }

    // The limits of a converter's pValue taken through FormulaFrom and ordered by Slope; not
    // bounded when the slope varies or the formula gives nothing at an end.
    Status DerivedLimits(Node* aNode, double& aLow, double& aHigh, bool& aBounded) {
        aBounded = false;
        Node* target = aNode->pValue;
        Number ends[2];
        Status s;
        if (IsFloatKind(target->kind)) {
            ends[0].real = ends[1].real = true;
            s = FloatLimits(target, ends[0].real_value, ends[1].real_value);
        } else if (IsIntegerKind(target->kind)) {
            IntLimits limits;
            s = Limits(target, limits);
            ends[0] = Number::Int(limits.min);
            ends[1] = Number::Int(limits.max);
        } else if (target->kind == Kind::Enumeration) {
            ends[0] = Number::Int(std::numeric_limits<int64_t>::max());
            ends[1] = Number::Int(std::numeric_limits<int64_t>::min());
            for (const auto& entry : target->entries) {
                ends[0].integer = std::min(ends[0].integer, entry->intValue);
                ends[1].integer = std::max(ends[1].integer, entry->intValue);
            }
        } else {
            ends[0] = Number::Int(std::min(target->onValue, target->offValue));
            ends[1] = Number::Int(std::max(target->onValue, target->offValue));
        }
        if (!s.ok()) return s;
        if (aNode->slope == Slope::Varying) return Ok();
        double at[2];
        for (int i = 0; i < 2; ++i) {
            Number value;
            s = Evaluate(aNode, *aNode->formulaFrom, "FormulaFrom", aNode->kind == Kind::IntConverter, &ends[i], value);
            if (s.code == TQ_GENERIC_ERROR) return s;   // too deep: the whole operation fails
            if (!s.ok() || std::isnan(value.AsDouble())) return Ok();
            at[i] = value.AsDouble();
        }
        switch (aNode->slope) {
        case Slope::Increasing: aLow = at[0], aHigh = at[1]; break;
        case Slope::Decreasing: aLow = at[1], aHigh = at[0]; break;
        default: aLow = std::min(at[0], at[1]), aHigh = std::max(at[0], at[1]); break;
        }
        aBounded = true;
        return Ok();
    }

    // An IntConverter's own limits, the ones the description gives; the pValue checks the rest.
    Status CheckGiven(Node* aNode, int64_t aValue) {
        int64_t limit = 0;
        Status s;
        if (aNode->intMin.given) {
            if (!(s = OperandValue(aNode->intMin, limit)).ok()) return s;
            if (aValue < limit) return Fail(TQ_INVALID_PARAMETER, aNode, std::to_string(aValue) + " is below the minimum " + std::to_string(limit));
        }
        if (aNode->intMax.given) {
            if (!(s = OperandValue(aNode->intMax, limit)).ok()) return s;
            if (aValue > limit) return Fail(TQ_INVALID_PARAMETER, aNode, std::to_string(aValue) + " is above the maximum " + std::to_string(limit));
        }
        return Ok();
    }

    // The node whose limits an Integer or Float takes when it gives none of its own: its pValue, or
    // the node its index chooses (none for a constant).
    Status ValueSource(Node* aNode, Node*& aSource) {
        aSource = aNode->pValue;
        if (aSource || !aNode->valueIndex) return Ok();
        IndexedValue* chosen = nullptr;
        Status s = Chosen(aNode, chosen);
        if (s.ok()) aSource = chosen->ref;
        return s;
    }

    // The value an indexed Integer or Float stands for at its index's value of the moment.
    Status Chosen(Node* aNode, IndexedValue*& aChosen) {
        int64_t index = 0;
        Status s = ReadInt(aNode->valueIndex, index);
        if (!s.ok()) return s;
        aChosen = &aNode->defaultValue;
        for (IndexedValue& value : aNode->indexedValues)
            if (value.index == index) aChosen = &value;
        return Ok();
    }

    // ---- enumerations, booleans, commands ----

    // The entry whose value the enumeration holds.
    Status Entry(Node* aNode, Node*& aEntry) {
        int64_t value = 0;
        Status s = ReadInt(aNode, value);
        if (!s.ok()) return s;
        Node* entry = m.FindEntry(aNode, value);
        if (!entry) return Fail(TQ_INVALID_DATA_FORMAT, aNode, "holds " + std::to_string(value) + ", which no entry has");
        aEntry = entry;
        return Ok();
    }

    Status SetEnum(Node* aNode, Node* aEntry, const std::string& aAsked) {
        Status s = NeedWrite(aNode);
        if (!s.ok()) return s;
        if (!aEntry) return Fail(TQ_INVALID_PARAMETER, aNode, "no entry " + aAsked);
        if (!EntryAvailable(aEntry)) return Fail(TQ_INVALID_PARAMETER, aNode, "entry " + aEntry->name + " is not available");
        if (aNode->pValue) return WriteNumber(aNode->pValue, Number::Int(aEntry->intValue));
        aNode->intValue = aEntry->intValue;
        Written(aNode);
        return Ok();
    }

    bool EntryAvailable(Node* aEntry) {
        if (aEntry->isImplemented && !Truth(aEntry->isImplemented, false)) return false;
        if (aEntry->isAvailable && !Truth(aEntry->isAvailable, false)) return false;
        return true;
    }

    Status ReadBool(Node* aNode, bool& aValue) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        Status s = NeedRead(aNode);
        if (!s.ok()) return s;
        int64_t raw = aNode->intValue;
        if (aNode->pValue && !(s = ReadInt(aNode->pValue, raw)).ok()) return s;
        if (raw == aNode->onValue) {
            aValue = true;
        } else if (raw == aNode->offValue) {
            aValue = false;
        } else {
            return Fail(TQ_INVALID_DATA_FORMAT, aNode,
                        "holds " + std::to_string(raw) + ", neither the on value " + std::to_string(aNode->onValue) +
                            " nor the off value " + std::to_string(aNode->offValue));
        }
        return Ok();
    }

    Status WriteBool(Node* aNode, bool aValue) {
        Status s = NeedWrite(aNode);
        if (!s.ok()) return s;
        int64_t raw = aValue ? aNode->onValue : aNode->offValue;
        if (aNode->pValue) return WriteNumber(aNode->pValue, Number::Int(raw));
        aNode->intValue = raw;
        Written(aNode);
        return Ok();
    }

    Status Execute(Node* aNode) {
        Status s = NeedWrite(aNode);
        int64_t value = 0;
        if (!s.ok() || !(s = OperandValue(aNode->commandValue, value)).ok()) return s;
        if (aNode->pValue) return WriteNumber(aNode->pValue, Number::Int(value));
        aNode->intValue = value;
        Written(aNode);
        return Ok();
    }

    // A command is done once its register no longer reads back the command value (a register that
    // cannot be read counts as done).
    Status IsDone(Node* aNode, bool& aDone) {
        aDone = true;
        if (!aNode->pValue || !CanRead(Access(aNode->pValue))) return Ok();
        int64_t value = 0, command = 0;
        Status s = OperandValue(aNode->commandValue, command);
        if (!s.ok() || !(s = ReadInt(aNode->pValue, value)).ok()) return s;
        aDone = value != command;
        return Ok();
    }

    // ---- strings ----

    Status MaxLength(Node* aNode, int64_t& aValue) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        if (aNode->kind == Kind::StringReg) return Length(aNode, aValue);
        if (aNode->kind != Kind::String)
            return Fail(TQ_NOT_FOUND, aNode, std::string("is of kind ") + KindName(aNode->kind) + ", not a string");
        if (aNode->pValue) return MaxLength(aNode->pValue, aValue);
        aValue = kMaxStringValueLength;
        return Ok();
    }

    Status ReadString(Node* aNode, std::string& aValue) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        if (!IsStringKind(aNode->kind))
            return Fail(TQ_NOT_FOUND, aNode, std::string("is of kind ") + KindName(aNode->kind) + ", not a string");
        Status s = NeedRead(aNode);
        if (!s.ok()) return s;
        if (aNode->kind == Kind::String) {
            if (!aNode->pValue) {
                aValue = aNode->stringValue;
                return Ok();
            }
            return ReadString(aNode->pValue, aValue);
        }
        std::vector<uint8_t> bytes;
        if (!(s = ReadBytes(aNode, bytes)).ok()) return s;
        auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
        aValue.assign(bytes.begin(), end);
        return Ok();
    }

    Status WriteString(Node* aNode, const std::string& aValue) {
        Level level(m);
        if (level.over) return TooDeep(aNode);
        if (!IsStringKind(aNode->kind))
            return Fail(TQ_NOT_FOUND, aNode, std::string("is of kind ") + KindName(aNode->kind) + ", not a string");
        Status s = NeedWrite(aNode);
        int64_t max = 0;
        if (!s.ok() || !(s = MaxLength(aNode, max)).ok()) return s;
        if (static_cast<int64_t>(aValue.size()) > max)
            return Fail(TQ_INVALID_PARAMETER, aNode,
                        "a string of " + std::to_string(aValue.size()) + " bytes is longer than the maximum " + std::to_string(max));
        if (aNode->kind == Kind::String) {
            if (aNode->pValue) return WriteString(aNode->pValue, aValue);
            aNode->stringValue = aValue;
            Written(aNode);
            return Ok();
        }
        std::vector<uint8_t> bytes(static_cast<size_t>(max), 0);
        if (!aValue.empty()) std::memcpy(bytes.data(), aValue.data(), aValue.size());
        return WriteBytes(aNode, bytes.data(), bytes.size());
    }

    // ---- descriptive ----

    bool Cached(Node* aNode) {
        Level level(m);
        if (level.over) return false;
        if (IsRegisterKind(aNode->kind)) return !OnChunkPort(aNode) && aNode->cache != CacheMode::NoCache && aNode->cached.valid;
        for (const Variable& variable : aNode->variables)   // a formula is as fresh as what it reads
            if (!Cached(variable.node)) return false;
        return aNode->pValue ? Cached(aNode->pValue) : true;
    }

    // After an operation: the observer hears of every node the operation wrote and of the nodes
    // that read them.
    void Notify() {
        std::vector<Node*> written;
        written.swap(m.mWritten);
        if (!m.mObserver || written.empty()) return;
        std::unordered_set<Node*> seen;
        std::vector<Node*> order;
        for (Node* node : written)
            if (seen.insert(node).second) order.push_back(node);
        for (size_t i = 0; i < order.size(); ++i) {
            Node* node = order[i];
            for (Node* next : node->dependents)
                if (seen.insert(next).second) order.push_back(next);
            for (Node* next : node->selected)
                if (seen.insert(next).second) order.push_back(next);
        }
        auto observer = m.mObserver;
        for (Node* node : order) observer(node);
    }

    NodeMap& m;
};

// ---- kinds ----

const char* KindName(Kind aKind) {
    switch (aKind) {
    case Kind::Integer: return "Integer";
    case Kind::IntReg: return "IntReg";
    case Kind::MaskedIntReg: return "MaskedIntReg";
    case Kind::Float: return "Float";
    case Kind::FloatReg: return "FloatReg";
    case Kind::Enumeration: return "Enumeration";
    case Kind::EnumEntry: return "EnumEntry";
    case Kind::Boolean: return "Boolean";
    case Kind::Command: return "Command";
    case Kind::String: return "String";
    case Kind::StringReg: return "StringReg";
    case Kind::Register: return "Register";
    case Kind::Category: return "Category";
    case Kind::Port: return "Port";
    case Kind::IntSwissKnife: return "IntSwissKnife";
    case Kind::SwissKnife: return "SwissKnife";
    case Kind::IntConverter: return "IntConverter";
    case Kind::Converter: return "Converter";
    case Kind::StructEntry: return "StructEntry";
    }
    return "?";
}

TqGenType ParameterType(Kind aKind) {
    switch (aKind) {
    case Kind::Integer:
    case Kind::IntReg:
    case Kind::MaskedIntReg:
    case Kind::StructEntry:
    case Kind::IntSwissKnife:
    case Kind::IntConverter: return TqGenTypeInteger;
    case Kind::Float:
    case Kind::FloatReg:
    case Kind::SwissKnife:
    case Kind::Converter: return TqGenTypeFloat;
    case Kind::Enumeration: return TqGenTypeEnum;
    case Kind::Boolean: return TqGenTypeBoolean;
    case Kind::Command: return TqGenTypeCommand;
    case Kind::String:
    case Kind::StringReg: return TqGenTypeString;
    case Kind::Register: return TqGenTypeRegister;
    default: return TqGenTypeUndefined;
    }
}

bool IsRegisterKind(Kind aKind) {
    return aKind == Kind::IntReg || aKind == Kind::MaskedIntReg || aKind == Kind::FloatReg || aKind == Kind::StringReg ||
           aKind == Kind::Register || aKind == Kind::StructEntry;
}
bool IsIntegerKind(Kind aKind) {
    return aKind == Kind::Integer || aKind == Kind::IntReg || aKind == Kind::MaskedIntReg || aKind == Kind::StructEntry ||
           aKind == Kind::IntSwissKnife || aKind == Kind::IntConverter;
}
bool IsFloatKind(Kind aKind) {
    return aKind == Kind::Float || aKind == Kind::FloatReg || aKind == Kind::SwissKnife || aKind == Kind::Converter;
}
bool IsStringKind(Kind aKind) { return aKind == Kind::String || aKind == Kind::StringReg; }

// ---- the map's operations ----

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

bool IsEnumerationKind(Kind aKind) { return aKind == Kind::Enumeration; }
bool IsBooleanKind(Kind aKind) { return aKind == Kind::Boolean; }
bool IsCommandKind(Kind aKind) { return aKind == Kind::Command; }
bool IsRegisterBlockKind(Kind aKind) { return aKind == Kind::Register; }

TqResult WrongKind(const Node* aNode, const char* aWanted) {
    if (aNode == nullptr) return TqResult(TQ_NOT_FOUND, TqString("no node"));
    return TqResult(TQ_NOT_FOUND, TqString((aNode->name + " is of kind " + KindName(aNode->kind) + ", not " + aWanted).c_str()));
}

}  // namespace

NodeMap::~NodeMap() = default;

Node* NodeMap::Find(const std::string& aName) const {
    auto it = mByName.find(aName);
    return it == mByName.end() ? nullptr : it->second;
}

Node* NodeMap::FindEntry(Node* aEnumeration, const std::string& aName) const {
    if (!aEnumeration || aEnumeration->kind != Kind::Enumeration) return nullptr;
    for (const auto& entry : aEnumeration->entries)
        if (entry->name == aName) return entry.get();
    return nullptr;
}

Node* NodeMap::FindEntry(Node* aEnumeration, int64_t aValue) const {
    if (!aEnumeration || aEnumeration->kind != Kind::Enumeration) return nullptr;
    for (const auto& entry : aEnumeration->entries)
        if (entry->intValue == aValue) return entry.get();
    return nullptr;
}

TqGenAccessMode NodeMap::GetPortAccessMode() const {
    if (!mPort) return TqGenAccessModeNotAvailable;
    return mPortInfo ? mPortInfo->GetPortAccessMode() : TqGenAccessModeReadWrite;
}

TqGenAccessMode NodeMap::GetAccessMode(Node* aNode) {
    Guard guard(mLock);
    return Eval(*this).Access(aNode);
}

bool NodeMap::IsImplemented(Node* aNode) { return GetAccessMode(aNode) != TqGenAccessModeNotImplemented; }
bool NodeMap::IsAvailable(Node* aNode) {
    TqGenAccessMode mode = GetAccessMode(aNode);
    return mode != TqGenAccessModeNotImplemented && mode != TqGenAccessModeNotAvailable;
}
bool NodeMap::IsLocked(Node* aNode) {
    Guard guard(mLock);
    return aNode->isLocked && Eval(*this).Truth(aNode->isLocked, false);
}
bool NodeMap::IsReadable(Node* aNode) { return CanRead(GetAccessMode(aNode)); }
bool NodeMap::IsWritable(Node* aNode) { return CanWrite(GetAccessMode(aNode)); }

bool NodeMap::IsEntryAvailable(Node* aEntry) {
    Guard guard(mLock);
    return aEntry && aEntry->kind == Kind::EnumEntry && Eval(*this).EntryAvailable(aEntry);
}

bool NodeMap::IsValueCached(Node* aNode) {
    Guard guard(mLock);
    return Eval(*this).Cached(aNode);
}

template <class F>
TqResult NodeMap::Read(Node* aNode, bool (*aFits)(Kind), const char* aWanted, F&& aRead) {
    if (!aNode || !aFits(aNode->kind)) return WrongKind(aNode, aWanted);
    Guard guard(mLock);
    Eval e(*this);
    return aRead(e).result();
}

template <class F>
TqResult NodeMap::Write(Node* aNode, bool (*aFits)(Kind), const char* aWanted, F&& aWrite) {
    if (!aNode || !aFits(aNode->kind)) return WrongKind(aNode, aWanted);
    Guard guard(mLock);
    Eval e(*this);
    mWritten.clear();
    Status s = aWrite(e);
    e.Notify();
    return s.result();
}

TqResult NodeMap::GetInteger(Node* aNode, int64_t& aValue) {
    return Read(aNode, IsIntegerKind, "an integer", [&](Eval& e) { return e.ReadInt(aNode, aValue); });
}
TqResult NodeMap::SetInteger(Node* aNode, int64_t aValue) {
    return Write(aNode, IsIntegerKind, "an integer", [&](Eval& e) { return e.WriteInt(aNode, aValue); });
}
TqResult NodeMap::GetIntegerMin(Node* aNode, int64_t& aValue) {
    return Read(aNode, IsIntegerKind, "an integer", [&](Eval& e) { return e.IntLimit(aNode, &Eval::IntLimits::min, aValue); });
}
TqResult NodeMap::GetIntegerMax(Node* aNode, int64_t& aValue) {
    return Read(aNode, IsIntegerKind, "an integer", [&](Eval& e) { return e.IntLimit(aNode, &Eval::IntLimits::max, aValue); });
}
TqResult NodeMap::GetIntegerInc(Node* aNode, int64_t& aValue) {
    return Read(aNode, IsIntegerKind, "an integer", [&](Eval& e) { return e.IntLimit(aNode, &Eval::IntLimits::inc, aValue); });
}

TqResult NodeMap::GetFloat(Node* aNode, double& aValue) {
    return Read(aNode, IsFloatKind, "a float", [&](Eval& e) { return e.ReadFloat(aNode, aValue); });
}
TqResult NodeMap::SetFloat(Node* aNode, double aValue) {
    return Write(aNode, IsFloatKind, "a float", [&](Eval& e) { return e.WriteFloat(aNode, aValue); });
}
TqResult NodeMap::GetFloatMin(Node* aNode, double& aValue) {
    return Read(aNode, IsFloatKind, "a float", [&](Eval& e) { return e.FloatLimit(aNode, false, aValue); });
}
TqResult NodeMap::GetFloatMax(Node* aNode, double& aValue) {
    return Read(aNode, IsFloatKind, "a float", [&](Eval& e) { return e.FloatLimit(aNode, true, aValue); });
}
TqResult NodeMap::GetFloatInc(Node* aNode, double& aValue, bool& aHasInc) {
    return Read(aNode, IsFloatKind, "a float", [&](Eval& e) { return e.FloatInc(aNode, aValue, aHasInc); });
}

TqResult NodeMap::GetEnumInt(Node* aNode, int64_t& aValue) {
    return Read(aNode, IsEnumerationKind, "an enumeration", [&](Eval& e) { return e.ReadInt(aNode, aValue); });
}
TqResult NodeMap::GetEnumEntry(Node* aNode, Node*& aEntry) {
    return Read(aNode, IsEnumerationKind, "an enumeration", [&](Eval& e) { return e.Entry(aNode, aEntry); });
}
TqResult NodeMap::SetEnumInt(Node* aNode, int64_t aValue) {
    return Write(aNode, IsEnumerationKind, "an enumeration",
                 [&](Eval& e) { return e.SetEnum(aNode, FindEntry(aNode, aValue), "of value " + std::to_string(aValue)); });
}
TqResult NodeMap::SetEnumName(Node* aNode, const std::string& aName) {
    return Write(aNode, IsEnumerationKind, "an enumeration",
                 [&](Eval& e) { return e.SetEnum(aNode, FindEntry(aNode, aName), "named '" + aName + "'"); });
}

TqResult NodeMap::GetBoolean(Node* aNode, bool& aValue) {
    return Read(aNode, IsBooleanKind, "a boolean", [&](Eval& e) { return e.ReadBool(aNode, aValue); });
}
TqResult NodeMap::SetBoolean(Node* aNode, bool aValue) {
    return Write(aNode, IsBooleanKind, "a boolean", [&](Eval& e) { return e.WriteBool(aNode, aValue); });
}

TqResult NodeMap::Execute(Node* aNode) {
    return Write(aNode, IsCommandKind, "a command", [&](Eval& e) { return e.Execute(aNode); });
}
TqResult NodeMap::IsDone(Node* aNode, bool& aDone) {
    return Read(aNode, IsCommandKind, "a command", [&](Eval& e) { return e.IsDone(aNode, aDone); });
}

TqResult NodeMap::GetString(Node* aNode, std::string& aValue) {
    return Read(aNode, IsStringKind, "a string", [&](Eval& e) { return e.ReadString(aNode, aValue); });
}
TqResult NodeMap::SetString(Node* aNode, const std::string& aValue) {
    return Write(aNode, IsStringKind, "a string", [&](Eval& e) { return e.WriteString(aNode, aValue); });
}
TqResult NodeMap::GetStringMaxLength(Node* aNode, int64_t& aValue) {
    return Read(aNode, IsStringKind, "a string", [&](Eval& e) { return e.MaxLength(aNode, aValue); });
}

TqResult NodeMap::GetRegisterLength(Node* aNode, int64_t& aValue) {
    return Read(aNode, IsRegisterBlockKind, "a register", [&](Eval& e) { return e.Length(aNode, aValue); });
}
TqResult NodeMap::GetRegister(Node* aNode, uint8_t* aBuffer, int64_t aLength) {
    return Read(aNode, IsRegisterBlockKind, "a register", [&](Eval& e) { return e.CopyOut(aNode, aBuffer, aLength); });
}
TqResult NodeMap::SetRegister(Node* aNode, const uint8_t* aBuffer, int64_t aLength) {
    return Write(aNode, IsRegisterBlockKind, "a register", [&](Eval& e) { return e.CopyIn(aNode, aBuffer, aLength); });
}
TqResult NodeMap::GetAddress(Node* aNode, uint64_t& aAddress) {
    return Read(aNode, IsRegisterKind, "a register node", [&](Eval& e) { return e.Address(aNode, aAddress); });
}

namespace {

// Presentation follows pValue, but not through a converter: its register side is another quantity.
Node* PresentationNext(Node* aNode) {
    return aNode->kind == Kind::Converter || aNode->kind == Kind::IntConverter ? nullptr : aNode->pValue;
}

}  // namespace

TqGenRepresentation NodeMap::GetRepresentation(Node* aNode) {
    for (int hops = 0; aNode && hops <= kMaxReferenceChain; ++hops, aNode = PresentationNext(aNode))
        if (aNode->representation != TqGenRepresentationUndefined) return aNode->representation;
    return TqGenRepresentationPureNumber;
}

std::string NodeMap::GetUnit(Node* aNode) {
    for (int hops = 0; aNode && hops <= kMaxReferenceChain; ++hops, aNode = PresentationNext(aNode))
        if (aNode->hasUnit) return aNode->unit;
    return std::string();
}

int64_t NodeMap::GetDisplayPrecision(Node* aNode) {
    for (int hops = 0; aNode && hops <= kMaxReferenceChain; ++hops, aNode = PresentationNext(aNode))
        if (aNode->displayPrecision >= 0) return aNode->displayPrecision;
    return 6;
}

void NodeMap::InvalidateAll() {
    Guard guard(mLock);
    for (Node* node : mRegisters) node->cached.valid = false;
}

void NodeMap::Poll() {
    Guard guard(mLock);
    Eval e(*this);
    mWritten.clear();
    auto now = Clock::now();
    for (Node* node : mRegisters) {
        if (node->pollingTime < 0 || !node->cached.valid) continue;
        // In the age's unit: any PollingTime the description gives compares without overflow.
        if (std::chrono::duration_cast<std::chrono::milliseconds>(now - node->cached.filled).count() >= node->pollingTime) {
            node->cached.valid = false;
            mWritten.push_back(node);
        }
    }
    e.Notify();
}

bool NodeMap::ParseChunks(const uint8_t* aData, uint32_t aLength, std::vector<Chunk>& aChunks) {
    aChunks.clear();
    if (aData == nullptr) return false;
    const auto chunks = TqChunk::Chunks({aData, aLength}, kMaxChunks);
    if (!chunks) return false;
    for (auto it = chunks->rbegin(); it != chunks->rend(); ++it)   // the last in memory first
        aChunks.push_back({it->id, static_cast<uint32_t>(it->offset), it->length});
    return true;
}

TqResult NodeMap::AttachChunks(const uint8_t* aData, uint32_t aLength) {
    std::vector<Chunk> chunks;
    if (!ParseChunks(aData, aLength, chunks))
        return TqResult(TQ_INVALID_DATA_FORMAT, TqString("the chunk layout does not hold together"));
    Guard guard(mLock);
    mChunkData = aData;
    mChunkLength = aLength;
    mChunks.clear();
    for (const Chunk& chunk : chunks) mChunks.emplace(chunk.id, chunk);   // the last of an ID in memory wins
    return TqResult(TQ_OK);
}

void NodeMap::DetachChunks() {
    Guard guard(mLock);
    mChunkData = nullptr;
    mChunkLength = 0;
    mChunks.clear();
}

bool NodeMap::ChunksAttached() const {
    Guard guard(mLock);
    return mChunkData != nullptr;
}

void NodeMap::SetWriteObserver(std::function<void(Node*)> aObserver) {
    Guard guard(mLock);
    mObserver = std::move(aObserver);
}

}  // namespace TqGenICamLib
