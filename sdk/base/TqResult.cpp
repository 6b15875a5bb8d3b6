#include "TqResult.h"

namespace {

struct CodeName {
    uint32_t code;
    const char* name;
};

const CodeName kCodeNames[] = {
    {TQ_OK, "OK"},
    {TQ_NOT_INITIALIZED, "NOT_INITIALIZED"},
    {TQ_NOT_FOUND, "NOT_FOUND"},
    {TQ_CANNOT_OPEN_FILE, "CANNOT_OPEN_FILE"},
    {TQ_NO_MORE_ITEM, "NO_MORE_ITEM"},
    {TQ_NOT_CONNECTED, "NOT_CONNECTED"},
    {TQ_STATE_ERROR, "STATE_ERROR"},
    {TQ_THREAD_ERROR, "THREAD_ERROR"},
    {TQ_INVALID_DATA_FORMAT, "INVALID_DATA_FORMAT"},
    {TQ_ABORTED, "ABORTED"},
    {TQ_NOT_ENOUGH_MEMORY, "NOT_ENOUGH_MEMORY"},
    {TQ_GENERIC_ERROR, "GENERIC_ERROR"},
    {TQ_INVALID_PARAMETER, "INVALID_PARAMETER"},
    {TQ_CANCEL, "CANCEL"},
    {TQ_PENDING, "PENDING"},
    {TQ_TIMEOUT, "TIMEOUT"},
    {TQ_GENICAM_XML_ERROR, "GENICAM_XML_ERROR"},
    {TQ_CANT_READ_MANIFEST, "CANT_READ_MANIFEST"},
    {TQ_NOT_IMPLEMENTED, "NOT_IMPLEMENTED"},
    {TQ_NOT_SUPPORTED, "NOT_SUPPORTED"},
    {TQ_FILE_ERROR, "FILE_ERROR"},
    {TQ_ERR_OVERFLOW, "ERR_OVERFLOW"},
    {TQ_IMAGE_ERROR, "IMAGE_ERROR"},
    {TQ_MISSING_PACKETS, "MISSING_PACKETS"},
    {TQ_BUFFER_TOO_SMALL, "BUFFER_TOO_SMALL"},
    {TQ_TOO_MANY_RESENDS, "TOO_MANY_RESENDS"},
    {TQ_RESENDS_FAILURE, "RESENDS_FAILURE"},
    {TQ_TOO_MANY_CONSECUTIVE_RESENDS, "TOO_MANY_CONSECUTIVE_RESENDS"},
    {TQ_AUTO_ABORTED, "AUTO_ABORTED"},
    {TQ_BAD_VERSION, "BAD_VERSION"},
    {TQ_NO_MORE_ENTRY, "NO_MORE_ENTRY"},
    {TQ_NO_AVAILABLE_DATA, "NO_AVAILABLE_DATA"},
    {TQ_NETWORK_ERROR, "NETWORK_ERROR"},
    {TQ_NETWORK_CONFIG_ERROR, "NETWORK_CONFIG_ERROR"},
    {TQ_RESYNC, "RESYNC"},
    {TQ_BUSY, "BUSY"},
    {TQ_CORRUPTED_DATA, "CORRUPTED_DATA"},
    {TQ_INVALID_ADDRESS, "INVALID_ADDRESS"},
    {TQ_WRITE_PROTECT, "WRITE_PROTECT"},
    {TQ_BAD_ALIGNMENT, "BAD_ALIGNMENT"},
    {TQ_ACCESS_DENIED, "ACCESS_DENIED"},
    {TQ_LOCAL_PROBLEM, "LOCAL_PROBLEM"},
    {TQ_MSG_MISMATCH, "MSG_MISMATCH"},
    {TQ_INVALID_PROTOCOL, "INVALID_PROTOCOL"},
    {TQ_NO_MSG, "NO_MSG"},
    {TQ_PACKET_UNAVAILABLE, "PACKET_UNAVAILABLE"},
    {TQ_DATA_OVERRUN, "DATA_OVERRUN"},
    {TQ_INVALID_HEADER, "INVALID_HEADER"},
    {TQ_WRONG_CONFIG, "WRONG_CONFIG"},
    {TQ_PACKET_NOT_YET_AVAILABLE, "PACKET_NOT_YET_AVAILABLE"},
    {TQ_PACKET_AND_PREV_REMOVED_FROM_MEMORY, "PACKET_AND_PREV_REMOVED_FROM_MEMORY"},
    {TQ_PACKET_REMOVED_FROM_MEMORY, "PACKET_REMOVED_FROM_MEMORY"},
    {TQ_NO_REF_TIME, "NO_REF_TIME"},
    {TQ_PACKET_TEMPORARILY_UNAVAILABLE, "PACKET_TEMPORARILY_UNAVAILABLE"},
    {TQ_ACTION_LATE, "ACTION_LATE"},
    {TQ_LEADER_TRAILER_OVERFLOW, "LEADER_TRAILER_OVERFLOW"},
};

}  // namespace

TqResult::TqResult() : TqResult(TQ_NOT_INITIALIZED) {}
TqResult::TqResult(uint32_t aCode) : TqResult(aCode, 0u) {}
TqResult::TqResult(uint32_t aCode, uint32_t aOSCode)
    : mCode(aCode), mOSCode(aOSCode), mInternalCode(aCode), mHasDescription(false) {}
TqResult::TqResult(uint32_t aCode, const TqString& aDescription) : TqResult(aCode, 0u, aDescription) {}
TqResult::TqResult(uint32_t aCode, uint32_t aOSCode, const TqString& aDescription)
    : mCode(aCode), mOSCode(aOSCode), mInternalCode(aCode), mHasDescription(true), mDescription(aDescription) {}
TqResult::TqResult(const TqResult& aResult) = default;
TqResult::~TqResult() = default;

TqResult& TqResult::operator=(const TqResult& aB) = default;

bool TqResult::operator==(const TqResult& aB) const { return mCode == aB.mCode; }
bool TqResult::operator==(uint32_t aCode) const { return mCode == aCode; }
bool TqResult::operator!=(const TqResult& aB) const { return mCode != aB.mCode; }
bool TqResult::operator!=(uint32_t aCode) const { return mCode != aCode; }

const TqResult& TqResult::operator|=(const TqResult& aB) {
    if (IsSuccess() && aB.IsFailure()) *this = aB;
    return *this;
}

void TqResult::SetCode(uint32_t aIn) {
    mCode = aIn;
    mInternalCode = aIn;
}

uint32_t TqResult::GetCode() const { return mCode; }

TqString TqResult::GetCodeString() const {
    for (const CodeName& entry : kCodeNames)
        if (entry.code == mCode) return TqString(entry.name);
    return TqString("UNKNOWN");
}

TqString TqResult::GetDescription() const { return mHasDescription ? mDescription : TqString(); }

void TqResult::SetDescription(const TqString& aDescription) {
    mDescription = aDescription;
    mHasDescription = true;
}

bool TqResult::HasDescription() const { return mHasDescription; }
bool TqResult::IsFailure() const { return !IsSuccess(); }
bool TqResult::IsOK() const { return mCode == TQ_OK; }
bool TqResult::IsPending() const { return mCode == TQ_PENDING; }
bool TqResult::IsSuccess() const { return IsOK() || IsPending(); }
uint32_t TqResult::GetInternalCode() const { return mInternalCode; }
uint32_t TqResult::GetOSCode() const { return mOSCode; }
