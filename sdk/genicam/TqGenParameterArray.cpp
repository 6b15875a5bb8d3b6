#include "TqGenParameterArray.h"

#include "TqGenNodeMap.h"
#include "TqGenParameter.h"
#include "TqLiveObjects.h"
#include "TqNoMemory.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

// The array owns its node map and one front object per feature, category and enumeration entry,
// made at load and kept until the array is destroyed or loads another description. Lookups by name
// go through the map's hash index; positions follow the description's document order.
//
// Results of the value operations: TQ_NOT_FOUND for an absent feature or one of another kind (and
// for every feature before a description is loaded); otherwise the map's own result (see
// TqGenNodeMap.h: TQ_INVALID_PARAMETER for a value refused, TQ_STATE_ERROR for an access mode that
// forbids the operation, ...), each with a description.

using TqGenICamLib::Kind;
using TqGenICamLib::Node;
using TqGenICamLib::NodeMap;

namespace {

// Memory of a fixed size as a port, zeros until written: accesses outside it fail with
// TQ_ERR_OVERFLOW. The kinds below differ in how they keep the bytes (CopyOut and CopyIn run under
// the lock, with the range checked).
class SizedMemoryPort : public TqGenICamLib::IPort, public TqGenICamLib::IPortInfo {
public:
    explicit SizedMemoryPort(uint64_t aSize) : mSize(aSize) {}

    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) override {
        TqResult check = Check(aAddress, aData, aLength);
        if (check.IsFailure()) return check;
        std::lock_guard<std::mutex> guard(mLock);
        if (aLength > 0) CopyOut(aAddress, static_cast<uint8_t*>(aData), aLength);
        return TqResult(TQ_OK);
    }

    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) override {
        TqResult check = Check(aAddress, aData, aLength);
        if (check.IsFailure()) return check;
        std::lock_guard<std::mutex> guard(mLock);
        if (aLength > 0) CopyIn(aAddress, static_cast<const uint8_t*>(aData), aLength);
        return TqResult(TQ_OK);
    }

    TqGenAccessMode GetPortAccessMode() const override { return TqGenAccessModeReadWrite; }
    bool GetPortSize(uint64_t& aSize) const override {
        aSize = mSize;
        return true;
    }

protected:
    virtual void CopyOut(uint64_t aAddress, uint8_t* aData, uint64_t aLength) = 0;
    virtual void CopyIn(uint64_t aAddress, const uint8_t* aData, uint64_t aLength) = 0;

private:
    TqResult Check(uint64_t aAddress, const void* aData, uint64_t aLength) const {
        if (aData == nullptr && aLength > 0) return TqResult(TQ_INVALID_PARAMETER, TqString("no memory to transfer"));
        if (aAddress > mSize || aLength > mSize - aAddress)
            return TqResult(TQ_ERR_OVERFLOW, TqString(("the range ends past the port's " + std::to_string(mSize) + " bytes").c_str()));
        return TqResult(TQ_OK);
    }

    std::mutex mLock;
    uint64_t mSize;
};

// Zero-filled memory, all of it made at once.
class MemoryPort final : public SizedMemoryPort {
public:
    MemoryPort(std::unique_ptr<uint8_t[]> aMemory, uint64_t aSize) : SizedMemoryPort(aSize), mMemory(std::move(aMemory)) {}

private:
    void CopyOut(uint64_t aAddress, uint8_t* aData, uint64_t aLength) override { std::memcpy(aData, mMemory.get() + aAddress, aLength); }
    void CopyIn(uint64_t aAddress, const uint8_t* aData, uint64_t aLength) override {
        std::memmove(mMemory.get() + aAddress, aData, aLength);
    }

    std::unique_ptr<uint8_t[]> mMemory;
};

// Memory ports larger than this are refused (MemoryPort gives null).
constexpr uint64_t kMaxMemoryPortSize = uint64_t{1} << 30;

// Memory of any size: pages of kPage bytes are made on the first write that touches them, and the
// pages never written read as zeros.
class SparseMemoryPort final : public SizedMemoryPort {
public:
    explicit SparseMemoryPort(uint64_t aSize) : SizedMemoryPort(aSize) {}

private:
    static constexpr uint64_t kPage = 4096;

    void CopyOut(uint64_t aAddress, uint8_t* aData, uint64_t aLength) override {
        Pieces(aAddress, aLength, [&](uint64_t aPage, uint64_t aOffset, uint64_t aDone, uint64_t aCount) {
            auto it = mPages.find(aPage);
            if (it == mPages.end()) std::memset(aData + aDone, 0, aCount);
            else std::memcpy(aData + aDone, it->second.get() + aOffset, aCount);
        });
    }

    void CopyIn(uint64_t aAddress, const uint8_t* aData, uint64_t aLength) override {
        Pieces(aAddress, aLength, [&](uint64_t aPage, uint64_t aOffset, uint64_t aDone, uint64_t aCount) {
            std::unique_ptr<uint8_t[]>& page = mPages[aPage];
            if (!page) page.reset(new uint8_t[kPage]());
            std::memcpy(page.get() + aOffset, aData + aDone, aCount);
        });
    }

    // Calls aPiece(page, offset in it, bytes done before, bytes in it) for each page of the range.
    template <class F>
    static void Pieces(uint64_t aAddress, uint64_t aLength, F&& aPiece) {
        for (uint64_t done = 0; done < aLength;) {
            uint64_t at = aAddress + done;
            uint64_t offset = at % kPage;
            uint64_t count = std::min(kPage - offset, aLength - done);
            aPiece(at / kPage, offset, done, count);
            done += count;
        }
    }

    std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> mPages;
};

TqResult Absent(const TqString& aName, const char* aKind) {
    std::string text = std::string("no ") + aKind + " feature '" + aName.GetAscii() + "'";
    return TqResult(TQ_NOT_FOUND, TqString(text.c_str()));
}

}  // namespace

// A state stack may outlive its array (the array goes with its device): the array marks its life
// over when it is destroyed, waiting for a stack's change under way.
struct TqGenArrayLife {
    std::recursive_mutex lock;   // a parameter's callback may change the same stack again
    bool alive = true;
};

TqGenParameterArray::TqGenParameterArray() : mLife(std::make_shared<TqGenArrayLife>()) {}

TqGenParameterArray::~TqGenParameterArray() {
    {
        std::lock_guard<std::recursive_mutex> guard(mLife->lock);
        mLife->alive = false;
    }
    // What the array handed out goes with it.
    std::vector<const void*> gone{this};
    for (const auto& p : mParameters) gone.push_back(p.get());
    for (const auto& c : mCategories) gone.push_back(c.get());
    for (const auto& e : mEntries) gone.push_back(e.get());
    TqObjectsGone::Tell(TqObjectsGone::News::kDeleted, gone.data(), gone.size());
}

std::shared_ptr<TqGenICamLib::IPort> TqGenParameterArray::MemoryPort(uint64_t aSize) {
    if (aSize > kMaxMemoryPortSize) return nullptr;
    std::unique_ptr<uint8_t[]> memory(new (std::nothrow) uint8_t[aSize ? aSize : 1]());
    if (!memory) return nullptr;
    return std::make_shared<::MemoryPort>(std::move(memory), aSize);
}

std::shared_ptr<TqGenICamLib::IPort> TqGenParameterArray::SparseMemoryPort(uint64_t aSize) {
    return std::make_shared<::SparseMemoryPort>(aSize);
}

TqResult TqGenParameterArray::Load(const char* aXml, size_t aLength, std::shared_ptr<TqGenICamLib::IPort> aPort) {
    // An allocation that fails on the way leaves the array as it was.
    return TqNoMemory::Guard([&] {
        std::unique_ptr<NodeMap> map;
        TqResult result = NodeMap::Load(aXml, aLength, std::move(aPort), map);
        if (result.IsFailure()) return result;

        std::vector<std::unique_ptr<TqGenParameter>> parameters;
        std::vector<std::unique_ptr<TqGenCategory>> categories;
        std::vector<std::unique_ptr<TqGenEnumEntry>> entries;
        parameters.reserve(map->Features().size());
        for (Node* node : map->Features()) {
            std::unique_ptr<TqGenParameter> parameter;
            switch (TqGenICamLib::ParameterType(node->kind)) {
            case TqGenTypeInteger: parameter = std::make_unique<TqGenInteger>(node); break;
            case TqGenTypeFloat: parameter = std::make_unique<TqGenFloat>(node); break;
            case TqGenTypeEnum: parameter = std::make_unique<TqGenEnum>(node); break;
            case TqGenTypeBoolean: parameter = std::make_unique<TqGenBoolean>(node); break;
            case TqGenTypeCommand: parameter = std::make_unique<TqGenCommand>(node); break;
            case TqGenTypeString: parameter = std::make_unique<TqGenString>(node); break;
            case TqGenTypeRegister: parameter = std::make_unique<TqGenRegister>(node); break;
            default: parameter = std::make_unique<TqGenParameter>(node); break;
            }
            node->parameter = parameter.get();
            parameters.push_back(std::move(parameter));
            for (const auto& entry : node->entries) {
                entries.push_back(std::make_unique<TqGenEnumEntry>(entry.get()));
                entry->entryObject = entries.back().get();
            }
        }
        for (Node* node : map->Categories()) {
            categories.push_back(std::make_unique<TqGenCategory>(node));
            node->categoryObject = categories.back().get();
        }

        // The old front objects go before the old map whose nodes they point to.
        mEntries.clear();
        mCategories.clear();
        mParameters.clear();
        mMap = std::move(map);
        mMap->SetWriteObserver([](Node* aNode) {
            if (aNode->parameter) aNode->parameter->NotifyUpdate();
        });
        mParameters = std::move(parameters);
        mCategories = std::move(categories);
        mEntries = std::move(entries);
        return TqResult(TQ_OK);
    });
}

uint32_t TqGenParameterArray::GetCount() const { return static_cast<uint32_t>(mParameters.size()); }

TqGenParameter* TqGenParameterArray::Get(uint32_t aIndex) {
    return aIndex < mParameters.size() ? mParameters[aIndex].get() : nullptr;
}

TqGenParameter* TqGenParameterArray::Get(const TqString& aName) {
    if (!mMap) return nullptr;
    Node* node = mMap->Find(aName.GetAscii());
    return node ? node->parameter : nullptr;
}

TqGenParameter* TqGenParameterArray::operator[](uint32_t aIndex) { return Get(aIndex); }
TqGenParameter* TqGenParameterArray::operator[](const TqString& aName) { return Get(aName); }

uint32_t TqGenParameterArray::GetCategoryCount() const { return static_cast<uint32_t>(mCategories.size()); }

TqGenCategory* TqGenParameterArray::GetCategory(uint32_t aIndex) {
    return aIndex < mCategories.size() ? mCategories[aIndex].get() : nullptr;
}

TqGenCategory* TqGenParameterArray::GetCategory(const TqString& aName) {
    if (!mMap) return nullptr;
    Node* node = mMap->Find(aName.GetAscii());
    return node ? node->categoryObject : nullptr;
}

TQ_GENAPI_NS::INodeMap* TqGenParameterArray::GetNodeMap() { return reinterpret_cast<TQ_GENAPI_NS::INodeMap*>(mMap.get()); }

TqResult TqGenParameterArray::InvalidateCache() {
    if (mMap) mMap->InvalidateAll();
    return TqResult(TQ_OK);
}

TqResult TqGenParameterArray::Poll() {
    if (mMap) mMap->Poll();
    return TqResult(TQ_OK);
}

// The memory stays the caller's and is read in place until DetachDataChunks (or another attach, or
// the array's end). Without a loaded description the layout is checked and nothing reads it.
TqResult TqGenParameterArray::AttachDataChunks(uint8_t* aBuffer, uint32_t aBufferLength) {
    if (aBuffer == nullptr || aBufferLength == 0) return TqResult(TQ_INVALID_PARAMETER, TqString("no chunk data"));
    if (mMap) return mMap->AttachChunks(aBuffer, aBufferLength);
    std::vector<NodeMap::Chunk> chunks;
    if (!NodeMap::ParseChunks(aBuffer, aBufferLength, chunks))
        return TqResult(TQ_INVALID_DATA_FORMAT, TqString("the chunk layout does not hold together"));
    return TqResult(TQ_OK);
}

TqResult TqGenParameterArray::DetachDataChunks() {
    if (mMap) mMap->DetachChunks();
    return TqResult(TQ_OK);
}

TqGenAccessMode TqGenParameterArray::GetAccessMode() const {
    return mMap ? mMap->GetPortAccessMode() : TqGenAccessModeNotAvailable;
}

// ---- typed access by name ----

TqGenParameter* TqGenParameterArray::Typed(const TqString& aName, TqGenType aType) {
    if (!mMap) return nullptr;
    Node* node = mMap->Find(aName.GetAscii());
    if (!node || TqGenICamLib::ParameterType(node->kind) != aType) return nullptr;
    return node->parameter;
}

TqGenInteger* TqGenParameterArray::GetInteger(const TqString& aName) {
    return static_cast<TqGenInteger*>(Typed(aName, TqGenTypeInteger));
}
TqGenFloat* TqGenParameterArray::GetFloat(const TqString& aName) {
    return static_cast<TqGenFloat*>(Typed(aName, TqGenTypeFloat));
}
TqGenEnum* TqGenParameterArray::GetEnum(const TqString& aName) { return static_cast<TqGenEnum*>(Typed(aName, TqGenTypeEnum)); }
TqGenBoolean* TqGenParameterArray::GetBoolean(const TqString& aName) {
    return static_cast<TqGenBoolean*>(Typed(aName, TqGenTypeBoolean));
}
TqGenCommand* TqGenParameterArray::GetCommand(const TqString& aName) {
    return static_cast<TqGenCommand*>(Typed(aName, TqGenTypeCommand));
}
TqGenString* TqGenParameterArray::GetString(const TqString& aName) {
    return static_cast<TqGenString*>(Typed(aName, TqGenTypeString));
}
TqGenRegister* TqGenParameterArray::GetRegister(const TqString& aName) {
    return static_cast<TqGenRegister*>(Typed(aName, TqGenTypeRegister));
}

// Each accessor finds the feature of its kind and runs the feature's own operation on it.
namespace {
template <class K, class Op>
TqResult OnFeature(K* aFeature, const TqString& aName, const char* aKind, Op aOp) {
    return aFeature ? aOp(*aFeature) : Absent(aName, aKind);
}

// Both limits, written only when both reads succeed.
template <class K, class T>
TqResult Range(const K& aFeature, T& aMin, T& aMax) {
    T min{}, max{};
    TqResult result = aFeature.GetMin(min);
    if (result.IsOK()) result = aFeature.GetMax(max);
    if (result.IsOK()) {
        aMin = min;
        aMax = max;
    }
    return result;
}
}  // namespace

TqResult TqGenParameterArray::GetIntegerValue(const TqString& aName, int64_t& aValue) {
    return OnFeature(GetInteger(aName), aName, "integer", [&](TqGenInteger& f) { return f.GetValue(aValue); });
}
TqResult TqGenParameterArray::SetIntegerValue(const TqString& aName, int64_t aValue) {
    return OnFeature(GetInteger(aName), aName, "integer", [&](TqGenInteger& f) { return f.SetValue(aValue); });
}
TqResult TqGenParameterArray::GetFloatValue(const TqString& aName, double& aValue) {
    return OnFeature(GetFloat(aName), aName, "float", [&](TqGenFloat& f) { return f.GetValue(aValue); });
}
TqResult TqGenParameterArray::SetFloatValue(const TqString& aName, double aValue) {
    return OnFeature(GetFloat(aName), aName, "float", [&](TqGenFloat& f) { return f.SetValue(aValue); });
}
TqResult TqGenParameterArray::GetEnumValue(const TqString& aName, TqString& aValue) {
    return OnFeature(GetEnum(aName), aName, "enumeration", [&](TqGenEnum& f) { return f.GetValue(aValue); });
}
TqResult TqGenParameterArray::GetEnumValue(const TqString& aName, int64_t& aValue) {
    return OnFeature(GetEnum(aName), aName, "enumeration", [&](TqGenEnum& f) { return f.GetValue(aValue); });
}
TqResult TqGenParameterArray::SetEnumValue(const TqString& aName, const TqString& aValue) {
    return OnFeature(GetEnum(aName), aName, "enumeration", [&](TqGenEnum& f) { return f.SetValue(aValue); });
}
TqResult TqGenParameterArray::SetEnumValue(const TqString& aName, int64_t aValue) {
    return OnFeature(GetEnum(aName), aName, "enumeration", [&](TqGenEnum& f) { return f.SetValue(aValue); });
}
TqResult TqGenParameterArray::GetBooleanValue(const TqString& aName, bool& aValue) {
    return OnFeature(GetBoolean(aName), aName, "boolean", [&](TqGenBoolean& f) { return f.GetValue(aValue); });
}
TqResult TqGenParameterArray::SetBooleanValue(const TqString& aName, bool aValue) {
    return OnFeature(GetBoolean(aName), aName, "boolean", [&](TqGenBoolean& f) { return f.SetValue(aValue); });
}
TqResult TqGenParameterArray::GetStringValue(const TqString& aName, TqString& aValue) {
    return OnFeature(GetString(aName), aName, "string", [&](TqGenString& f) { return f.GetValue(aValue); });
}
TqResult TqGenParameterArray::SetStringValue(const TqString& aName, const TqString& aValue) {
    return OnFeature(GetString(aName), aName, "string", [&](TqGenString& f) { return f.SetValue(aValue); });
}
TqResult TqGenParameterArray::ExecuteCommand(const TqString& aName) {
    return OnFeature(GetCommand(aName), aName, "command", [&](TqGenCommand& f) { return f.Execute(); });
}
TqResult TqGenParameterArray::GetIntegerRange(const TqString& aName, int64_t& aMin, int64_t& aMax) {
    return OnFeature(GetInteger(aName), aName, "integer", [&](TqGenInteger& f) { return Range(f, aMin, aMax); });
}
TqResult TqGenParameterArray::GetFloatRange(const TqString& aName, double& aMin, double& aMax) {
    return OnFeature(GetFloat(aName), aName, "float", [&](TqGenFloat& f) { return Range(f, aMin, aMax); });
}

// ---- state stack ----
//
// Each setter reads the feature's value first and records it once the change succeeded; a value
// that cannot be read (a write-only feature) is changed without a record. The destructor writes
// the records back, the last change first, and ignores what fails. The setters' results are TQ_OK,
// TQ_NOT_FOUND for an absent feature (or one of another kind), and TQ_GENERIC_ERROR for any other
// failure, with the array's code name and reason in the description.

struct TqGenStateStack::Change {
    enum class What { Integer, Float, Enum, Boolean, String };
    Change(What aWhat, const TqString& aName) : what(aWhat), name(aName) {}

    What what;
    TqString name;
    int64_t integer = 0;
    double real = 0;
    bool boolean = false;
    TqString text;
};

namespace {

TqResult StackResult(const TqResult& aResult) {
    if (aResult.IsOK() || aResult.GetCode() == TQ_NOT_FOUND) return aResult;
    TqString description(aResult.GetCodeString());
    description += TqString(": ");
    description += aResult.GetDescription();
    return TqResult(TQ_GENERIC_ERROR, description);
}

TqResult NoArray() { return TqResult(TQ_GENERIC_ERROR, TqString("the state stack has no parameter array")); }
TqResult ArrayGone() {
    return TqResult(TQ_GENERIC_ERROR, TqString("the state stack's parameter array was destroyed"));
}

}  // namespace

TqGenStateStack::TqGenStateStack(TqGenParameterArray* aParameters)
    : mParameters(aParameters),
      mLife(aParameters ? aParameters->mLife : nullptr),
      mChanges(std::make_unique<std::vector<Change>>()) {}

TqResult TqGenStateStack::WhileArrayLives(const std::function<TqResult()>& aUse) {
    if (!mParameters) return NoArray();
    std::lock_guard<std::recursive_mutex> guard(mLife->lock);
    return mLife->alive ? aUse() : ArrayGone();
}

TqGenStateStack::~TqGenStateStack() {
    WhileArrayLives([this] {
        Restore();
        return TqResult(TQ_OK);
    });
}

void TqGenStateStack::Restore() {
    for (auto it = mChanges->rbegin(); it != mChanges->rend(); ++it) {
        const Change& change = *it;
        switch (change.what) {
        case Change::What::Integer: mParameters->SetIntegerValue(change.name, change.integer); break;
        case Change::What::Float: mParameters->SetFloatValue(change.name, change.real); break;
        case Change::What::Enum: mParameters->SetEnumValue(change.name, change.integer); break;
        case Change::What::Boolean: mParameters->SetBooleanValue(change.name, change.boolean); break;
        case Change::What::String: mParameters->SetStringValue(change.name, change.text); break;
        }
    }
}

TqResult TqGenStateStack::Apply(Change aChange, const std::function<bool(Change&)>& aRead,
                                const std::function<TqResult()>& aWrite) {
    return WhileArrayLives([&] {
        const bool known = aRead(aChange);
        TqResult result = aWrite();
        if (result.IsOK() && known) mChanges->push_back(aChange);
        return StackResult(result);
    });
}

TqResult TqGenStateStack::SetIntegerValue(const TqString& aName, int64_t aValue) {
    return Apply(
        Change{Change::What::Integer, aName}, [&](Change& c) { return mParameters->GetIntegerValue(aName, c.integer).IsOK(); },
        [&] { return mParameters->SetIntegerValue(aName, aValue); });
}

TqResult TqGenStateStack::SetFloatValue(const TqString& aName, double aValue) {
    return Apply(
        Change{Change::What::Float, aName}, [&](Change& c) { return mParameters->GetFloatValue(aName, c.real).IsOK(); },
        [&] { return mParameters->SetFloatValue(aName, aValue); });
}

TqResult TqGenStateStack::SetEnumValue(const TqString& aName, const TqString& aValue) {
    return Apply(
        Change{Change::What::Enum, aName}, [&](Change& c) { return mParameters->GetEnumValue(aName, c.integer).IsOK(); },
        [&] { return mParameters->SetEnumValue(aName, aValue); });
}

TqResult TqGenStateStack::SetEnumValue(const TqString& aName, int64_t aValue) {
    return Apply(
        Change{Change::What::Enum, aName}, [&](Change& c) { return mParameters->GetEnumValue(aName, c.integer).IsOK(); },
        [&] { return mParameters->SetEnumValue(aName, aValue); });
}

TqResult TqGenStateStack::SetBooleanValue(const TqString& aName, bool aValue) {
    return Apply(
        Change{Change::What::Boolean, aName}, [&](Change& c) { return mParameters->GetBooleanValue(aName, c.boolean).IsOK(); },
        [&] { return mParameters->SetBooleanValue(aName, aValue); });
}

TqResult TqGenStateStack::SetStringValue(const TqString& aName, const TqString& aValue) {
    return Apply(
        Change{Change::What::String, aName}, [&](Change& c) { return mParameters->GetStringValue(aName, c.text).IsOK(); },
        [&] { return mParameters->SetStringValue(aName, aValue); });
}
