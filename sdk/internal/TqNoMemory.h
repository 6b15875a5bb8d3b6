// Memory at the SDK's boundary. A size that comes from an application or a peer is held against
// TqMemoryBlocks::Ceiling before anything is sized from it (Check), and an exported call that
// allocates runs inside Guard, so that an allocation that still fails on its way (std::bad_alloc, or
// a container asked for more than it can ever hold: std::length_error) answers TQ_NOT_ENOUGH_MEMORY
// instead of leaving the call as an exception.
#pragma once

#include "TqMemoryBlocks.h"
#include "TqResult.h"
#include "TqResultCodes.h"

#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>

namespace TqNoMemory {

// TQ_NOT_ENOUGH_MEMORY with aText, or without a text when even that cannot be made.
inline TqResult Refused(const char* aText) noexcept {
    try {
        return TqResult(TQ_NOT_ENOUGH_MEMORY, TqString(aText));
    } catch (...) {
        return TqResult(TQ_NOT_ENOUGH_MEMORY);
    }
}

// The decimal digits of aValue (up to 2^128) into aText, which holds 40 characters at least.
inline void Digits(unsigned __int128 aValue, char* aText) noexcept {
    char reversed[40];
    int n = 0;
    do {
        reversed[n++] = char('0' + int(aValue % 10));
        aValue /= 10;
    } while (aValue != 0);
    for (int i = 0; i < n; ++i) aText[i] = reversed[n - 1 - i];
    aText[n] = '\0';
}

// OK when aCount items of aEach bytes stay within what the process can be given; else
// TQ_NOT_ENOUGH_MEMORY: "<aWhat> needs N bytes, more than the M bytes this process can be given".
inline TqResult Check(const char* aWhat, uint64_t aCount, uint64_t aEach) noexcept {
    if (TqMemoryBlocks::Affordable(aCount, aEach)) return TqResult(TQ_OK);
    char needs[40], ceiling[40], text[320];
    Digits((unsigned __int128)aCount * aEach, needs);
    Digits(TqMemoryBlocks::Ceiling(), ceiling);
    std::snprintf(text, sizeof text, "%s needs %s bytes, more than the %s bytes this process can be given", aWhat,
                  needs, ceiling);
    return Refused(text);
}

// What a call whose allocation failed answers (aWhat: what it was making, or null).
inline TqResult Failed(const char* aWhat = nullptr) noexcept {
    if (!aWhat) return Refused("the system gave no more memory");
    char text[256];
    std::snprintf(text, sizeof text, "%s: the system gave no memory for it", aWhat);
    return Refused(text);
}

// What answers when TqMemoryBlocks::Allocate gave no block of aSize bytes for aWhat: beyond what the
// process can be given (Check's text), or refused by the system.
inline TqResult NoBlock(const char* aWhat, uint64_t aSize) noexcept {
    TqResult beyond = Check(aWhat, 1, aSize);
    return beyond.IsOK() ? Failed(aWhat) : beyond;
}

// Runs aCall, an exported call's body answering a TqResult; an allocation that fails on its way
// answers TQ_NOT_ENOUGH_MEMORY. Any other exception passes on.
template <class Call>
TqResult Guard(Call&& aCall) {
    try {
        return aCall();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return Failed();
}

// Runs aCall for its effect where no result can tell of a failure (a thread's step, a callback of
// the SDK's own); false when an allocation failed on its way, and nothing else is caught.
template <class Call>
bool Survived(Call&& aCall) {
    try {
        aCall();
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return false;
}

}  // namespace TqNoMemory
