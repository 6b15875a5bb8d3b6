// The result of an SDK operation: a code from TqResultCodes.h, an OS code, an internal code and an
// optional description.
#pragma once

#include "TqBaseExport.h"
#include "TqLiveObjects.h"
#include "TqResultCodes.h"
#include "TqString.h"

#include <cstdint>

class TQ_BASE_API TqResult {
public:
    TqResult();
    TqResult(uint32_t aCode);
    TqResult(uint32_t aCode, uint32_t aOSCode);
    TqResult(uint32_t aCode, const TqString& aDescription);
    TqResult(uint32_t aCode, uint32_t aOSCode, const TqString& aDescription);
    TqResult(const TqResult& aResult);
    ~TqResult();

    TqResult& operator=(const TqResult& aB);
    bool operator==(const TqResult& aB) const;
    bool operator==(uint32_t aCode) const;
    bool operator!=(const TqResult& aB) const;
    bool operator!=(uint32_t aCode) const;
    // Keeps the first failure: an OK or pending result takes the other's state.
    const TqResult& operator|=(const TqResult& aB);

    void SetCode(uint32_t aIn);
    uint32_t GetCode() const;
    TqString GetCodeString() const;
    TqString GetDescription() const;
    void SetDescription(const TqString& aDescription);
    bool HasDescription() const;
    bool IsFailure() const;
    bool IsOK() const;
    bool IsPending() const;
    bool IsSuccess() const;
    uint32_t GetInternalCode() const;
    uint32_t GetOSCode() const;

private:
    uint32_t mCode;
    uint32_t mOSCode;
    uint32_t mInternalCode;
    bool mHasDescription;
    TqString mDescription;
    TqLiveObjects::Counter mCounter{"TqResult"};
};
