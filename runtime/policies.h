// Per-wrapper choices, combined by nesting: KeepAlive<1, TupleOutputs<>> keeps self alive and
// returns a tuple.
#pragma once

#include "dispatch.h"

namespace kivo::rt {

struct Default {
    static constexpr uint32_t bits = 0;
    static constexpr int keep_cpos = 0;
    static constexpr int flags = 0;           // METH_ flags; 0: from the argument count
    static constexpr bool has_result = false;     // result: a result kind in place of the type's
    static constexpr const ResultKind* result = nullptr;
    static constexpr uint8_t lenient_from = 0;   // inputs from this C position on commit the candidate
    static constexpr uint8_t none_commits_from = 0;   // None from this C position on commits the candidate
    static constexpr uint8_t refusal_commits_from = 0;   // any refused object from this position on (kinds that say)
    static constexpr void (*after)(CallFrame&, bool) = nullptr;   // runs after a completed call
    static constexpr bool none_self_commits = false;
};

template <class Base = Default>
struct KeepGil : Base {   // callback classes hold the GIL through their calls
    static constexpr uint32_t bits = Base::bits | Policy_KeepGil;
};
template <class Base = Default>
struct TakeOwnership : Base {   // the returned reference to self takes over what self's proxy owned
    static constexpr uint32_t bits = Base::bits | Policy_DisownSelf;
};
template <class Base = Default>
struct Comparison : Base {   // no fitting candidate, or a TypeError, gives NotImplemented
    static constexpr uint32_t bits = Base::bits | Policy_Comparison;
};
template <class Base = Default>
struct TupleOutputs : Base {   // (result, value, ...) in place of the output list; (value, ...) for a void call
    static constexpr uint32_t bits = Base::bits | Policy_TupleOutputs;
};
template <class Base = Default>
struct OutputsFirst : Base {   // (value, ..., result): a tuple with the outputs first
    static constexpr uint32_t bits = Base::bits | Policy_TupleOutputs | Policy_OutputsFirst;
};
template <int Position, class Base = Default>
struct KeepAlive : Base {   // what the call hands out keeps the argument at Position alive
    static constexpr uint32_t bits = Base::bits | Policy_KeepAlive;
    static constexpr int keep_cpos = Position;
};
template <int F, class Base = Default>
struct Flags : Base {
    static constexpr int flags = F;
};
template <void (*Hook)(CallFrame&, bool), class Base = Default>
struct After : Base {   // Hook(frame, ok) runs after the call completed, with the GIL held
    static constexpr void (*after)(CallFrame&, bool) = Hook;
};
// After a call that released the object given at position cpos (see SwigPyObject_Release): the
// proxies of the object and those made from it are released, and forget(object) runs. With
// only_borrowed, nothing happens when the given proxy owned its object (the SDK released none).
void release_argument(CallFrame& f, int cpos, const char* verb, bool only_borrowed, bool name_given,
                      void (*forget)(void*));

template <int Position, void (*Forget)(void*)>
void freed(CallFrame& f, bool) {
    release_argument(f, Position, "freed", true, false, Forget);
}
template <int Position>
void given_back(CallFrame& f, bool ok) {
    if (ok) release_argument(f, Position, "released", false, true, nullptr);
}

// A static Free(object): the SDK frees what it made, whatever the result. The proxy given no longer
// points at it (it is refused like None), the proxies made from it raise ReferenceError.
template <int Position, void (*Forget)(void*) = nullptr, class Base = Default>
struct Frees : Base {
    static constexpr void (*after)(CallFrame&, bool) = &freed<Position, Forget>;
};
// Giving an object back to the SDK (a buffer to its pipeline): once the call succeeded, the proxy
// given and those made from it raise ReferenceError.
template <int Position, class Base = Default>
struct GivesBack : Base {
    static constexpr void (*after)(CallFrame&, bool) = &given_back<Position>;
};

template <const ResultKind* K, class Base = Default>
struct ResultAs : Base {   // the result is made by K in place of the type's own kind
    static constexpr bool has_result = true;
    static constexpr const ResultKind* result = K;
};
template <class Base = Default>
struct NoneSelfCommits : Base {   // in overloads, None as self picks the candidate, which refuses it
    static constexpr bool none_self_commits = true;
};
template <int Position, class Base = Default>
struct NoneCommitsFrom : Base {   // in overloads, None at this position on picks the candidate, which refuses it
    static constexpr uint8_t none_commits_from = Position;
};
template <int Position, class Base = Default>
struct RefusalCommitsFrom : Base {   // in overloads, an object a text kind refuses from here on picks the candidate
    static constexpr uint8_t refusal_commits_from = Position;
};
template <int Position, class Base = Default>
struct LenientFrom : Base {   // in overloads, any object reaching this position runs the candidate
    static constexpr uint8_t lenient_from = Position;
};

}  // namespace kivo::rt
