// The interfaces a software device hands out: its identity and XML header, its counters, its
// messaging channel and the GenApi factory of its callbacks (the registers: TqSoftDeviceRegisters.cpp).
#include "TqSoftDeviceImpl.h"
#include "TqText.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace TqSoftDevice {

namespace {

using TqText::Utf8;

// The UTF-8 form of aText up to its last whole character within aBytes bytes: what a register of
// aBytes + 1 bytes holds with its NUL. Each character is measured by TqString's own encoding (a raw
// byte that it keeps as U+DC80..U+DCFF is one byte again).
std::string Fitted(const TqString& aText, size_t aBytes) {
    size_t used = 0;
    for (const wchar_t* w = aText.GetUnicode(); *w; ++w) {
        const wchar_t one[2] = {*w, 0};
        const size_t width = std::strlen(TqString(one).GetAscii());
        if (used + width > aBytes) break;
        used += width;
    }
    return Utf8(aText).substr(0, used);
}

TqResult Invalid(const std::string& aWhy) { return TqResult(TQ_INVALID_PARAMETER, TqString(aWhy.c_str())); }

// 32 hexadecimal digits in groups of 8, 4, 4, 4 and 12 joined by hyphens.
bool IsGuid(const std::string& aText) {
    static const size_t kGroups[] = {8, 4, 4, 4, 12};
    size_t at = 0;
    for (size_t g = 0; g < 5; ++g) {
        if (g > 0 && (at >= aText.size() || aText[at++] != '-')) return false;
        for (size_t n = 0; n < kGroups[g]; ++n, ++at)
            if (at >= aText.size() || !std::isxdigit(static_cast<unsigned char>(aText[at]))) return false;
    }
    return at == aText.size();
}

// A GUID as given, without the braces that may enclose it.
std::string Unbraced(const std::string& aText) {
    if (aText.size() >= 2 && aText.front() == '{' && aText.back() == '}') return aText.substr(1, aText.size() - 2);
    return aText;
}

constexpr size_t kRegDescNameMax = 31;

// The engine's string of each identity field, in the order of Info::Field.
constexpr TqEngine::IdentityString kEngineField[] = {
    TqEngine::IdentityString::kManufacturer,     TqEngine::IdentityString::kModel,
    TqEngine::IdentityString::kVersion,          TqEngine::IdentityString::kFirmwareVersion,
    TqEngine::IdentityString::kManufacturerInfo, TqEngine::IdentityString::kSerial};
const char* const kProductGuid = "4B49564F-5344-4556-8000-000000000001";
const char* const kVersionGuid = "4B49564F-5344-4556-8000-000000010000";

}  // namespace

// ---- identity and XML header ----

void Info::Defaults(const std::array<uint8_t, 6>& aMac) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SD%02X%02X%02X", aMac[3], aMac[4], aMac[5]);
    std::lock_guard guard(mLock);
    mStrings[kManufacturer] = "Kivo";
    mStrings[kModel] = "SoftDeviceGEV";
    mStrings[kVersion] = "1.0.0";
    mStrings[kFirmware] = "1.0.0";
    mStrings[kManufacturerInfo] = "Kivo software GigE Vision device";
    mStrings[kSerial] = serial;
    mProductGuid = kProductGuid;
    mVersionGuid = kVersionGuid;
    mRegDescModel.reset();
    mRegDescVendor.reset();
    mMajor = 1;
    mMinor = mSubMinor = 0;
    mXmlMade = false;
}

TqEngine::Identity Info::Identity(const std::array<uint8_t, 6>& aMac) const {
    std::lock_guard guard(mLock);
    TqEngine::Identity id;
    id.manufacturer = Registered(kManufacturer);
    id.model = Registered(kModel);
    id.version = Registered(kVersion);
    id.firmwareVersion = Registered(kFirmware);
    id.manufacturerInfo = Registered(kManufacturerInfo);
    id.serial = Registered(kSerial);
    id.mac = aMac;
    return id;
}

TqEngine::DescriptionHeader Info::Header() const {
    std::lock_guard guard(mLock);
    TqEngine::DescriptionHeader h;
    h.modelName = Utf8(mRegDescModel ? *mRegDescModel : mStrings[kModel]);
    h.vendorName = Utf8(mRegDescVendor ? *mRegDescVendor : mStrings[kManufacturer]);
    h.toolTip = Utf8(mStrings[kManufacturerInfo]);
    h.productGuid = Utf8(mProductGuid);
    h.versionGuid = Utf8(mVersionGuid);
    h.majorVersion = mMajor;
    h.minorVersion = mMinor;
    h.subMinorVersion = mSubMinor;
    return h;
}

void Info::SetXmlMade(bool aMade) {
    std::lock_guard guard(mLock);
    mXmlMade = aMade;
}

std::string Info::Registered(Field aField) const {
    return Fitted(mStrings[aField], TqEngine::IdentityCapacity(kEngineField[aField]));
}

// The limit counts characters; the register takes the text's UTF-8 form as far as it fits (the
// getter keeps the text as set). The engine device, while there is one, takes it at once.
TqResult Info::SetIdentity(Field aField, const TqString& aValue) {
    const size_t longest = TqEngine::IdentityCapacity(kEngineField[aField]);
    if (aValue.GetLength() > longest)
        return Invalid("the text has " + std::to_string(aValue.GetLength()) + " characters; at most " +
                       std::to_string(longest) + " fit its register");
    std::lock_guard guard(mLock);
    if (auto device = mDevice.Engine()) {
        if (device->SetIdentityString(kEngineField[aField], Fitted(aValue, longest)) != TqEngine::Gvcp::kSuccess)
            return Invalid("the device refused the text");
    }
    mStrings[aField] = aValue;
    return TqResult(TQ_OK);
}

uint16_t Info::GetGenICamXMLVersionMajor() const {
    std::lock_guard guard(mLock);
    return mMajor;
}

uint16_t Info::GetGenICamXMLVersionMinor() const {
    std::lock_guard guard(mLock);
    return mMinor;
}

uint16_t Info::GetGenICamXMLVersionSubMinor() const {
    std::lock_guard guard(mLock);
    return mSubMinor;
}

const TqString& Info::GetGenICamXMLRegDescModelName() {
    std::lock_guard guard(mLock);
    return mRegDescModel ? *mRegDescModel : mStrings[kModel];
}

const TqString& Info::GetGenICamXMLRegDescVendorName() {
    std::lock_guard guard(mLock);
    return mRegDescVendor ? *mRegDescVendor : mStrings[kManufacturer];
}

TqResult Info::SetGenICamXMLVersion(uint16_t aMajor, uint16_t aMinor, uint16_t aSubMinor) {
    std::lock_guard guard(mLock);
    if (mXmlMade) return TqResult(TQ_STATE_ERROR, TqString("the GenICam XML file was already created"));
    mMajor = aMajor;
    mMinor = aMinor;
    mSubMinor = aSubMinor;
    return TqResult(TQ_OK);
}

TqResult Info::SetGenICamXMLGUIDs(const TqString& aProduct, const TqString& aVersion) {
    const std::string product = Unbraced(Utf8(aProduct)), version = Unbraced(Utf8(aVersion));
    for (const std::string* guid : {&product, &version})
        if (!IsGuid(*guid)) return Invalid("not a GUID (xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx): " + *guid);
    std::lock_guard guard(mLock);
    if (mXmlMade) return TqResult(TQ_STATE_ERROR, TqString("the GenICam XML file was already created"));
    mProductGuid = TqString(product.c_str());
    mVersionGuid = TqString(version.c_str());
    return TqResult(TQ_OK);
}

TqResult Info::SetGenICamXMLRegDescModelName(const TqString& aModelName) {
    if (aModelName.GetLength() > kRegDescNameMax) return Invalid("the model name is longer than 31 characters");
    std::lock_guard guard(mLock);
    mRegDescModel = aModelName;
    return TqResult(TQ_OK);
}

TqResult Info::SetGenICamXMLRegDescVendorName(const TqString& aVendorName) {
    if (aVendorName.GetLength() > kRegDescNameMax) return Invalid("the vendor name is longer than 31 characters");
    std::lock_guard guard(mLock);
    mRegDescVendor = aVendorName;
    return TqResult(TQ_OK);
}

// ---- counters ----

TqEngine::Statistics Statistics::Get() const {
    const auto device = mDevice.Engine();
    return device ? device->GetStatistics() : TqEngine::Statistics();
}

void Statistics::Reset() {
    if (const auto device = mDevice.Engine()) device->ResetStatistics();
}

// ---- messaging channel ----

namespace {

// The engine's answer to an event as a result.
TqResult EventResult(uint16_t aStatus) {
    switch (aStatus) {
    case TqEngine::Gvcp::kSuccess: return TqResult(TQ_OK);
    case TqEngine::Gvcp::kInvalidParameter:
        return Invalid("the event's data is not a multiple of 4 bytes up to 524 (516 with extended IDs)");
    case TqEngine::Gvcp::kBusy: return TqResult(TQ_BUSY, TqString("too many events wait to be sent"));
    default: return TqResult(TQ_STATE_ERROR, TqString("the messaging channel is not open"));
    }
}

// Any block ID: with extended IDs it goes out whole, else as its low 16 bits (as a block ID wraps).
constexpr uint32_t kMaxEventData = TqEngine::Gvcp::kMaxPayload - 16;

}  // namespace

TqResult Messaging::FireEvent(uint16_t aEventID, uint8_t* aData, uint32_t aDataLength, uint64_t aBlockID,
                              uint16_t aChannelIndex) {
    if (!aData || aDataLength == 0 || aDataLength % 4 || aDataLength > kMaxEventData)
        return Invalid("the event's data must be 4 to 524 bytes, a multiple of 4");
    const auto device = mDevice.Engine();
    if (!device) return EventResult(TqEngine::Gvcp::kError);
    return EventResult(device->FireEvent(aEventID, aData, aDataLength, aBlockID, aChannelIndex));
}

TqResult Messaging::FireEvent(uint16_t aEventID, uint64_t aBlockID, uint16_t aChannelIndex) {
    const auto device = mDevice.Engine();
    if (!device) return EventResult(TqEngine::Gvcp::kError);
    return EventResult(device->FireEvent(aEventID, nullptr, 0, aBlockID, aChannelIndex));
}

bool Messaging::IsOpened() {
    const auto device = mDevice.Engine();
    return device && device->IsMessageChannelOpen();
}

}  // namespace TqSoftDevice
