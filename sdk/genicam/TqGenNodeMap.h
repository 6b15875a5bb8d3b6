// The stand-in's GenICam engine: a node map built from a GenICam XML description, whose values live
// in the node itself (Value) or in the registers of a port (register nodes), reached through
// references between nodes (pValue, pMin, pAddress, pIndex, pIsAvailable, ...).
//
// Layout:
//   Node     one node of the description with everything the XML says about it, its references
//            resolved to nodes, and its run-time state (register cache, the front object made for it).
//   NodeMap  the nodes, the name index, the ports, and every operation on values: reads, validated
//            writes, limits, access modes, caches, chunk data. The parameter classes of
//            TqGenParameter.h are thin shells that call these operations on their node.
//
// Result codes of the operations (the description names the node and the reason):
//   TQ_NOT_FOUND          the node is of another kind than the operation wants (the array uses it too
//                         for an absent name)
//   TQ_INVALID_PARAMETER  a value refused: below the minimum, above the maximum, off the increment
//                         grid, no such enumeration entry (or an entry not available), a string longer
//                         than the maximum, a register transfer of a bad length, NaN
//   TQ_STATE_ERROR        the access mode forbids it: not writable (RO, locked), not readable (WO),
//                         not available (NA, or chunk data not attached / chunk missing), not
//                         implemented (NI)
//   TQ_ERR_OVERFLOW       an address only known at run time lies outside the port or the chunk, or
//                         its arithmetic overflows
//   TQ_INVALID_DATA_FORMAT a register holds what the description cannot read back: an enumeration
//                         value no entry has, a boolean neither on nor off (the description names
//                         the value), an increment that is not positive, a length (pLength) outside
//                         0 to kMaxRegisterLength; an integer formula that divides by zero or
//                         gives no integer inside the 64-bit range (the description names the
//                         formula's node); a float read as an integer outside that range
//   TQ_GENERIC_ERROR      an evaluation nested deeper than kMaxEvaluationDepth (a description that
//                         loads stays within it) or longer than kMaxEvaluationSteps (nodes read and
//                         formula terms evaluated, counted together)
//   any code of the port  the port's own failure, passed on
//
// Formula nodes (see TqGenFormula.h for the language): a SwissKnife or IntSwissKnife is read-only
// and evaluates its Formula over its variables on every read, in double or 64-bit integer
// arithmetic; a Converter or IntConverter reads its pValue (the register side, TO) through
// FormulaFrom and writes FormulaTo of the value (FROM) to its pValue; an integer result from a
// float evaluation is rounded to the nearest integer. A converter's limits are its Min/Max (or
// pMin/pMax) when given, else its pValue's limits taken through FormulaFrom, ordered by Slope
// (Automatic: the smaller is the minimum; Varying: no limit); only given limits are checked on a
// write, the pValue checks the converted value. A float formula gives what IEEE arithmetic gives
// (x/0 is an infinity, 0/0 NaN: registers read 0 before a device sets them); an integer formula
// that divides by zero or gives no integer fails the read with TQ_INVALID_DATA_FORMAT; a variable
// that cannot be read fails it with the variable's failure.
//
// Interfaces: a value node reads and writes any node of a compatible interface. An Integer's or a
// Float's pValue (and values per index, and limits) may be an integer or a float node: a float
// read as an integer gives its integer part (towards zero; within a billionth of an integer, that
// integer, so that floating-point error does not take one off), an integer written to a float node is
// converted exactly, a float written to an integer node is rounded to the nearest integer; an
// Integer over a float takes the integers inside the float's limits. A Boolean's pValue may be an
// integer node, an enumeration (its entry's integer value) or a boolean.
//
// Access: a node is readable only while what its evaluation reads can be read: a value node takes
// its pValue's access mode (or that of the node its index chooses), a formula node needs its
// variables, a register its address terms and pLength; its own pIsImplemented and pIsAvailable come
// first. A state reference (pIsImplemented, pIsAvailable, pIsLocked) is decided by the node it
// names, by that node's own pIsImplemented and pIsAvailable and then its value, which is read
// whatever the access modes of the nodes below it say (a formula named as pIsImplemented reads
// its variables' values even where they are not implemented themselves).
//
// StructReg: a group of StructEntry nodes that share its register elements (address, length,
// port, endianness, access mode, cache); each entry is a bit field like a MaskedIntReg and may
// override any of them.
//
// Values per index: an Integer or Float with pIndex takes the ValueIndexed / pValueIndexed whose
// Index equals the index node's value, else ValueDefault / pValueDefault; a write goes to the same
// place (the constant kept in the node, or the node named).
//
// Defaults where the description says nothing: a register node is RO, LittleEndian, Unsigned,
// WriteThrough-cached and unpolled, on the map's port when it names no pPort (or a Port without a
// ChunkID); an Integer's limits are its pValue's (else the int64 range, increment 1); a Float's
// likewise (else the double range; a Float's Inc is carried, not enforced); Boolean OnValue 1 and
// OffValue 0; a String holding its value takes up to kMaxStringValueLength bytes. A Port with a
// ChunkID (hexadecimal) reads the attached chunk of that ID (the last one in memory when it
// repeats), from the chunk's first byte at address 0, read-only; an address below 0 counts back
// from the chunk's end (-4 is its last 4 bytes). On any other port the Address elements add up to
// 0 or more unless pAddress or pIndex terms follow. A Register's or StringReg's length may be read
// from another node (pLength, 0 to kMaxRegisterLength) on every access instead of a Length.
//
// Selectors: a selector lists the features it selects with pSelected (a category named there stands
// for the features in it, and in the categories in it). A selected feature that lives
// in a register follows the selector through <pIndex Offset="n">Node</pIndex> (or pOffset="Node")
// on its register node: address = sum of the Address elements + sum of the pAddress values + for
// each pIndex, value(index node) * offset, the offset defaulting to the register's length.
//
// The load refuses references that loop as evaluation follows them (see TqGenNodeLoader.cpp): a
// value with its access mode reads the values named for them, limits read the values their pMin,
// pMax, pInc name and the limits of the pValue; so limits that read each other's values (Height's
// maximum reads OffsetY, OffsetY's maximum reads Height) load.
//
// Threading: every operation that evaluates takes the map's lock (recursive: a write observer may
// call back into the map); what the load fixed (names, kinds, attributes) is read without it.
#pragma once

#include "TqEnums.h"
#include "TqGenFormula.h"
#include "TqGenParameterArray.h"
#include "TqLiveObjects.h"
#include "TqResult.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class TqGenParameter;
class TqGenCategory;
class TqGenEnumEntry;

namespace TqGenICamLib {

class Node;
class NodeMap;

// What a port may tell about itself beyond reads and writes. Ports that do not implement it are
// taken as read-write with an unknown size.
class IPortInfo {
public:
    virtual ~IPortInfo() {}
    virtual TqGenAccessMode GetPortAccessMode() const = 0;
    // The number of addressable bytes, when the port knows it (addresses are checked at load then).
    virtual bool GetPortSize(uint64_t& aSize) const = 0;
};

enum class Kind : uint8_t {
    Integer,
    IntReg,
    MaskedIntReg,
    Float,
    FloatReg,
    Enumeration,
    EnumEntry,
    Boolean,
    Command,
    String,
    StringReg,
    Register,
    Category,
    Port,
    IntSwissKnife,
    SwissKnife,
    IntConverter,
    Converter,
    StructEntry,   // a bit field of a StructReg, whose register elements it takes
};

const char* KindName(Kind aKind);
// The parameter type of a node kind; TqGenTypeUndefined for categories, ports and entries.
TqGenType ParameterType(Kind aKind);
bool IsRegisterKind(Kind aKind);
bool IsIntegerKind(Kind aKind);   // Integer, IntReg, MaskedIntReg, StructEntry, IntSwissKnife, IntConverter
bool IsFloatKind(Kind aKind);     // Float, FloatReg, SwissKnife, Converter
bool IsStringKind(Kind aKind);    // String, StringReg

enum class CacheMode : uint8_t { WriteThrough, WriteAround, NoCache };

// A limit or value that is a constant, another node's value, or not given.
template <class T>
struct Operand {
    bool given = false;
    bool named = false;   // the p-form: ref names the node
    T value{};
    Node* ref = nullptr;
};

// How a converter's value moves with its register's (Slope): it orders the limits derived from
// the register's.
enum class Slope : uint8_t { Automatic, Increasing, Decreasing, Varying };

// A name a formula reads (pVariable Name="X"), and the node it reads.
struct Variable {
    std::string name;
    Node* node = nullptr;
};

// One value of an Integer or Float chosen by its pIndex: a constant or another node's value.
struct IndexedValue {
    int64_t index = 0;
    Node* ref = nullptr;
    int64_t intValue = 0;
    double floatValue = 0;
};

// One pIndex term of a register's address.
struct IndexTerm {
    Node* index = nullptr;
    bool hasOffset = false;
    int64_t offset = 0;
    Node* pOffset = nullptr;
};

class Node {
public:
    Kind kind = Kind::Integer;
    std::string name;
    NodeMap* map = nullptr;

    // Descriptive
    TqGenNameSpace nameSpace = TqGenNameSpaceCustom;
    std::string displayName, toolTip, description;
    TqGenVisibility visibility = TqGenVisibilityBeginner;
    bool streamable = false;

    // State references and access
    TqGenAccessMode imposedAccess = TqGenAccessModeUndefined;   // ImposedAccessMode (caps)
    TqGenAccessMode accessMode = TqGenAccessModeUndefined;      // AccessMode of a register node
    Node* isAvailable = nullptr;
    Node* isImplemented = nullptr;
    Node* isLocked = nullptr;

    // Selectors: what this node selects (pSelected) and the selectors that select it.
    std::vector<Node*> selected;
    std::vector<Node*> selecting;
    Node* parentCategory = nullptr;   // the first category that lists the node

    // Value: held in the node (Value) or another node's (pValue)
    Node* pValue = nullptr;
    bool hasValue = false;
    int64_t intValue = 0;       // Integer, Enumeration, Boolean, Command; EnumEntry's Value
    double floatValue = 0;      // Float
    std::string stringValue;    // String

    // Limits and presentation
    Operand<int64_t> intMin, intMax, intInc;
    Operand<double> floatMin, floatMax, floatInc;
    TqGenRepresentation representation = TqGenRepresentationUndefined;
    bool hasUnit = false;
    std::string unit;
    int64_t displayPrecision = -1;
    Operand<int64_t> commandValue;
    int64_t onValue = 1, offValue = 0;

    // Formulas: Formula of a SwissKnife, FormulaFrom (register to feature, reads TO) and
    // FormulaTo (feature to register, reads FROM) of a converter, whose pValue is the register side.
    std::vector<Variable> variables;
    std::shared_ptr<const Formula> formula, formulaFrom, formulaTo;
    Slope slope = Slope::Automatic;

    // Values per index (an Integer or Float with pIndex): the entry whose Index the index node
    // holds, else the default.
    Node* valueIndex = nullptr;
    std::vector<IndexedValue> indexedValues;
    IndexedValue defaultValue;

    // Registers
    __int128 address = 0;   // the sum of the Address elements (below zero only on a chunk port, or with other terms)
    std::vector<Node*> pAddress;
    std::vector<IndexTerm> indices;
    int64_t length = 0;      // Length, or 0 with pLength
    Node* pLength = nullptr;   // a Register's or StringReg's length read from another node
    TqGenEndianness endianness = TqGenEndiannessLittle;
    TqGenSign sign = TqGenSignUnsigned;
    bool hasBits = false;
    uint32_t lsb = 0, msb = 0;   // as written in the XML
    Node* port = nullptr;        // a Port node, or null for the map's port
    CacheMode cache = CacheMode::WriteThrough;
    int64_t pollingTime = -1;    // ms; -1 when not polled
    std::vector<Node*> invalidators;   // pInvalidator: nodes whose writes drop this node's cache

    // Categories, enumerations, ports
    std::vector<Node*> features;                  // pFeature of a category
    std::vector<std::unique_ptr<Node>> entries;   // EnumEntry children of an enumeration
    Node* enumeration = nullptr;                  // the enumeration of an entry
    bool hasChunkId = false;
    uint32_t chunkId = 0;

    // Derived at load: the nodes whose value or state reads this node, and the nodes whose caches a
    // write of this node drops (pInvalidator).
    std::vector<Node*> dependents;
    std::vector<Node*> invalidates;

    // Run-time state of a register node: the bytes last read or written at an address.
    struct Cache {
        bool valid = false;
        uint64_t address = 0;
        std::vector<uint8_t> bytes;
        std::chrono::steady_clock::time_point filled;
    } cached;

    // The front object made for the node by its parameter array (not owned here).
    TqGenParameter* parameter = nullptr;
    TqGenCategory* categoryObject = nullptr;
    TqGenEnumEntry* entryObject = nullptr;
};

class NodeMap {
public:
    // Nested evaluations (a pValue read of a pMin read of ...) deeper than this fail; the load refuses
    // reference chains longer than kMaxReferenceChain, so a description that loads stays below it.
    static constexpr int kMaxEvaluationDepth = 256;
    static constexpr int kMaxReferenceChain = 100;
    static constexpr uint64_t kMaxEvaluationSteps = 1000000;   // one operation's nodes and formula terms
    // Register lengths: IntReg/MaskedIntReg 1 to 8, FloatReg 4 or 8, StringReg/Register up to this,
    // whether the description gives it (Length) or the device (pLength).
    static constexpr int64_t kMaxRegisterLength = int64_t{16} << 20;
    // The maximum length of a String node that holds its value (its Value included).
    static constexpr int64_t kMaxStringValueLength = 4096;
    // Counts a description may give: entries of one enumeration, values per index of one node, and
    // the links from selectors to the features they select (categories expanded) in the whole map;
    // a description past one of them fails to load.
    static constexpr size_t kMaxEnumEntries = 4096;
    static constexpr size_t kMaxIndexedValues = 4096;
    static constexpr size_t kMaxSelectedLinks = size_t{1} << 20;
    // The most chunks one chunk layout may hold; a layout of more is refused like a broken one.
    static constexpr size_t kMaxChunks = 4096;
    // The bytes the copies of one map's Register and StringReg nodes hold in all; such a register
    // read past it keeps no copy (a number register's copy, 8 bytes at most, is always kept).
    static constexpr uint64_t kMaxCachedBytes = uint64_t{64} << 20;

    // Builds a map from a description; on failure, TQ_GENICAM_XML_ERROR with a description naming the
    // node (or TQ_INVALID_PARAMETER for a null description), and aOut is left as it was.
    static TqResult Load(const char* aXml, size_t aLength, std::shared_ptr<IPort> aPort, std::unique_ptr<NodeMap>& aOut);
    ~NodeMap();
    NodeMap(const NodeMap&) = delete;
    NodeMap& operator=(const NodeMap&) = delete;

    // ---- lookup ----
    Node* Find(const std::string& aName) const;               // any node but entries; null when absent
    const std::vector<Node*>& Features() const { return mFeatures; }       // parameter nodes, document order
    const std::vector<Node*>& Categories() const { return mCategories; }   // document order
    const std::vector<std::unique_ptr<Node>>& Nodes() const { return mNodes; }
    Node* FindEntry(Node* aEnumeration, const std::string& aName) const;
    Node* FindEntry(Node* aEnumeration, int64_t aValue) const;

    // ---- access ----
    // The port's own mode: its IPortInfo's, ReadWrite without one, NotAvailable without a port.
    TqGenAccessMode GetPortAccessMode() const;
    // The node's effective access mode: implemented, available, its own mode (or its pValue's)
    // capped by ImposedAccessMode and the port's, RO while locked.
    TqGenAccessMode GetAccessMode(Node* aNode);
    bool IsImplemented(Node* aNode);
    bool IsAvailable(Node* aNode);
    bool IsLocked(Node* aNode);
    bool IsReadable(Node* aNode);
    bool IsWritable(Node* aNode);
    bool IsEntryAvailable(Node* aEntry);   // implemented and available
    bool IsValueCached(Node* aNode);

    // ---- values (kinds as in the parameter classes; another kind gives TQ_NOT_FOUND) ----
    TqResult GetInteger(Node* aNode, int64_t& aValue);
    TqResult SetInteger(Node* aNode, int64_t aValue);
    TqResult GetIntegerMin(Node* aNode, int64_t& aValue);
    TqResult GetIntegerMax(Node* aNode, int64_t& aValue);
    TqResult GetIntegerInc(Node* aNode, int64_t& aValue);
    TqResult GetFloat(Node* aNode, double& aValue);
    TqResult SetFloat(Node* aNode, double aValue);
    TqResult GetFloatMin(Node* aNode, double& aValue);
    TqResult GetFloatMax(Node* aNode, double& aValue);
    TqResult GetFloatInc(Node* aNode, double& aValue, bool& aHasInc);
    TqResult GetEnumInt(Node* aNode, int64_t& aValue);
    TqResult GetEnumEntry(Node* aNode, Node*& aEntry);
    TqResult SetEnumInt(Node* aNode, int64_t aValue);
    TqResult SetEnumName(Node* aNode, const std::string& aName);
    TqResult GetBoolean(Node* aNode, bool& aValue);
    TqResult SetBoolean(Node* aNode, bool aValue);
    TqResult Execute(Node* aNode);
    TqResult IsDone(Node* aNode, bool& aDone);
    TqResult GetString(Node* aNode, std::string& aValue);
    TqResult SetString(Node* aNode, const std::string& aValue);
    TqResult GetStringMaxLength(Node* aNode, int64_t& aValue);
    TqResult GetRegisterLength(Node* aNode, int64_t& aValue);
    TqResult GetRegister(Node* aNode, uint8_t* aBuffer, int64_t aLength);
    TqResult SetRegister(Node* aNode, const uint8_t* aBuffer, int64_t aLength);
    TqResult GetAddress(Node* aNode, uint64_t& aAddress);   // any register node

    // Presentation, following pValue when the node gives none of its own.
    TqGenRepresentation GetRepresentation(Node* aNode);
    std::string GetUnit(Node* aNode);
    int64_t GetDisplayPrecision(Node* aNode);

    // ---- caches, polling, chunk data ----
    void InvalidateAll();
    void Poll();   // drops the caches of polled registers whose polling time has run out
    TqResult AttachChunks(const uint8_t* aData, uint32_t aLength);
    void DetachChunks();
    bool ChunksAttached() const;

    // Called, after each successful write, for every node whose value or state the write may have
    // changed (the written nodes and, transitively, the nodes that read them). Runs under the lock.
    void SetWriteObserver(std::function<void(Node*)> aObserver);

    // Checks a chunk layout (TqChunkCodec.h) and gives each chunk's ID, offset and length, the last
    // in memory first; false when the layout does not hold together or holds more than kMaxChunks
    // chunks.
    struct Chunk {
        uint32_t id;
        uint32_t offset;
        uint32_t length;
    };
    static bool ParseChunks(const uint8_t* aData, uint32_t aLength, std::vector<Chunk>& aChunks);

private:
    friend class Loader;
    class Eval;
    // An evaluation's outcome: a result code and what went wrong, made a TqResult at the boundary.
    struct Status {
        uint32_t code = TQ_OK;
        std::string why;

        bool ok() const { return code == TQ_OK; }
        TqResult result() const { return ok() ? TqResult(TQ_OK) : TqResult(code, TqString(why.c_str())); }
    };
    NodeMap() = default;

    // The frame of every value operation: the node's kind checked (TQ_NOT_FOUND naming aWanted),
    // the lock taken, one evaluation; a write then tells the observer what it changed.
    template <class F>
    TqResult Read(Node* aNode, bool (*aFits)(Kind), const char* aWanted, F&& aRead);
    template <class F>
    TqResult Write(Node* aNode, bool (*aFits)(Kind), const char* aWanted, F&& aWrite);

    // The registers of the map's port (chunk ports have no caches) at a constant address with a
    // constant length, ordered by first byte over a tree of the furthest end under each subtree, so
    // that a write finds the registers whose bytes it overlaps without walking the map.
    class FixedRegisters {
    public:
        void Build(std::vector<Node*> aRegisters);
        // Calls aVisit(node) for each register with a byte in [aFirst, aEnd).
        template <class F>
        void Overlapping(uint64_t aFirst, unsigned __int128 aEnd, F&& aVisit) const;

    private:
        struct Span {
            uint64_t first;
            unsigned __int128 end;
            Node* node;
        };
        void BuildTree(size_t aAt, size_t aLow, size_t aHigh);
        template <class F>
        void Visit(size_t aAt, size_t aLow, size_t aHigh, uint64_t aFirst, unsigned __int128 aEnd, F& aVisit) const;
        std::vector<Span> mSpans;
        std::vector<unsigned __int128> mFurthest;   // per tree node: the furthest end of its spans
    };

    mutable std::recursive_mutex mLock;
    std::shared_ptr<IPort> mPort;
    IPortInfo* mPortInfo = nullptr;
    std::vector<std::unique_ptr<Node>> mNodes;   // every node but entries, document order
    std::unordered_map<std::string, Node*> mByName;
    std::vector<Node*> mFeatures;
    std::vector<Node*> mCategories;
    std::vector<Node*> mRegisters;   // register nodes, for invalidation and polling
    // What a write looks at to drop the caches its bytes overlap: the registers at a fixed place, and
    // those whose address or length is read at run time (pAddress, pIndex, pLength), whose caches
    // say where they were read.
    FixedRegisters mFixedRegisters;
    std::vector<Node*> mMovingRegisters;
    uint64_t mCachedBytes = 0;   // what the copies of Register and StringReg nodes hold, within kMaxCachedBytes

    // Attached chunk data: the caller's memory, and where each chunk ID's data lies in it.
    const uint8_t* mChunkData = nullptr;
    uint32_t mChunkLength = 0;
    std::unordered_map<uint32_t, Chunk> mChunks;

    // Evaluation state of the operation under way (see TqGenNodeMap.cpp).
    struct AccessWhy {
        enum What { None, Implemented, Available, Locked, Chunk, Port, Reads, Deep } what = None;
        Node* by = nullptr;
    };
    int mDepth = 0;
    uint64_t mSteps = 0;
    uint64_t mOverflows = 0;
    int mUnchecked = 0;   // above 0 while a state reference's value is read: access modes below it do not count
    // What the operation under way worked out for a node: entries of an older epoch count as absent,
    // so that forgetting them all (a new operation, a write) is one increment.
    template <class T>
    class Memo {
    public:
        const T* Find(const Node* aNode, uint64_t aEpoch) const {
            auto it = mEntries.find(aNode);
            return it != mEntries.end() && it->second.first == aEpoch ? &it->second.second : nullptr;
        }
        void Put(const Node* aNode, uint64_t aEpoch, T aValue) { mEntries.insert_or_assign(aNode, std::make_pair(aEpoch, std::move(aValue))); }

    private:
        std::unordered_map<const Node*, std::pair<uint64_t, T>> mEntries;
    };
    uint64_t mEpoch = 1;
    Memo<std::pair<TqGenAccessMode, AccessWhy>> mAccessMemo;
    Memo<std::pair<TqGenAccessMode, AccessWhy>> mStateMemo;   // own pIsImplemented, pIsAvailable
    // Values read with access checks [0] and without [1].
    Memo<std::pair<Status, int64_t>> mIntMemo[2];
    Memo<std::pair<Status, double>> mFloatMemo[2];
    std::vector<Node*> mWritten;   // nodes written by the current operation
    std::vector<uint8_t> mScratch;  // a number register's bytes, decoded as soon as they are read
    std::function<void(Node*)> mObserver;
    TqLiveObjects::Counter mCounter{"TqGenNodeMap"};
};

}  // namespace TqGenICamLib
