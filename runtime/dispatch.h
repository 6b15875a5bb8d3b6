// The call of a flat wrapper: the data that drives it and the one dispatcher that runs it. A wrapper
// is described by shapes (one per C++ callable it may call): a row per C++ parameter naming its
// conversion kind and its position in messages, the result kind, the policy bits and one typed thunk
// that makes the SDK call. The dispatcher (dispatch.cpp) runs every call from these tables, also the
// typed calls of single wrappers once they converted their arguments (kinds.h); per-function code is
// only the thunk and that conversion.
#pragma once

#include "convert.h"
#include "ref.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <typeinfo>
#include <string>
#include <vector>

namespace kivo::rt {

inline constexpr int kMaxParams = 12;
inline constexpr std::size_t kSlotBytes = 96;
inline constexpr std::size_t kResultBytes = 48;

// Storage for one converted argument (or one output value) for the length of a call.
struct alignas(16) Slot {
    void (*cleanup)(Slot&);   // releases what the conversion made; null when nothing
    alignas(16) unsigned char data[kSlotBytes];
    template <class T>
    T& as() {
        static_assert(sizeof(T) <= kSlotBytes && alignof(T) <= 16, "value does not fit an argument slot");
        return *std::launder(reinterpret_cast<T*>(data));
    }
};

struct ParamShape;
struct CallFrame;

// A conversion failure that still picks its overload candidate (the object is of the candidate's
// type but its value is refused, e.g. a proxy whose object was deleted): the call reports it.
inline constexpr int kCommitted = -1000;
inline constexpr int committed(int code) { return code + kCommitted; }

// How one kind of parameter is converted. One static instance per kind, shared by every wrapper.
struct ParamKind {
    // Converts obj into the slot: 0 (or SwigFlag_NewObject) on success, a negative error code on
    // failure. A conversion sets no Python error, except kinds whose report keeps a pending one.
    int (*convert)(PyObject* obj, Slot& slot, const ParamShape& p);
    // Sets the Python error of a failed conversion; null: the argument message of the code.
    void (*report)(int code, const ParamShape& p, const char* func);
    // Outputs: makes the zero value before the call, and the Python value after it.
    void (*prepare)(Slot& slot);
    PyObject* (*output)(Slot& slot, const ParamShape& p, CallFrame& frame);
    int precedence;   // rank in overload order: the lower is tried first
    bool always_present;   // an output present whatever the call's result (bools)
    // The Python type named in docstrings; null: derived from the declared spelling.
    std::string (*doc_type)(const ParamShape& p);
};

enum ParamFlags : uint8_t {
    Param_Input = 1,       // takes one Python item
    Param_Output = 2,      // filled by the SDK, added to the result
    Param_Self = 4,        // the object a method is called on
    Param_Lenient = 8,     // in overloads: any object reaching it commits to the candidate
    Param_Present = 16,    // output present whatever the call's result
    Param_Documented = 32,
    Param_NoneCommits = 64,   // None passes the overload test and is refused by the candidate
    Param_RefusalCommits = 128,   // so does any object the kind refuses (a text kind's), when later inputs fit
};

// One C++ parameter (an array marker stands for two: the data pointer and its length).
struct ParamShape {
    const ParamKind* kind;
    SwigTypeInfo* (*descriptor)();   // the class wanted or produced; null for values
    const char* (*decl)();           // declared spelling
    const char* (*decl2)();          // the length's spelling (arrays), else null
    void (*set_default)(Slot&);      // writes the default value when the call leaves it out
    uint64_t limit;                  // arrays: the largest length the SDK parameter takes
    int8_t cpos;                     // position in messages (self is 1)
    uint8_t flags;
    const void* slot_tag = nullptr;  // what the slot holds (slot_tag<T>), for the checks of CallFrame::arg
};

// ---- memory ----
//
// The binding's own work around an SDK call (conversions, results, the texts of errors) allocates
// too. An allocation that fails on its way (std::bad_alloc, or a size past what a container can hold:
// std::length_error) leaves the call with a MemoryError, never as an exception through the
// interpreter.

// Sets MemoryError; null.
PyObject* no_memory();

// A kind's conversion of obj into slot; a failed allocation is the call's MemoryError (committed: in
// an overload too) and the slot holds nothing.
inline int convert_input(const ParamShape& p, PyObject* obj, Slot& slot) {
    try {
        return p.kind->convert(obj, slot, p);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    slot.cleanup = nullptr;
    no_memory();
    return committed(SwigError_Memory);
}

// The result of a wrapper's work, or its MemoryError when an allocation failed on the way.
template <class Work>
PyObject* guarded(Work&& work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return no_memory();
}

// What an array sized by a count from Python may take at most, in bytes (the module tells it: what
// the process can be given; no bound until then). A larger count is a MemoryError before NumPy
// allocates anything.
void set_memory_ceiling(uint64_t (*ceiling)());
uint64_t memory_ceiling();

// A tag per type a slot may hold: slot_tag<void*> for pointer kinds, the value's type for numbers,
// ArraySlot for arrays and so on.
template <class T>
inline constexpr char slot_tag_of = 0;
template <class T>
constexpr const void* slot_tag() {
    return &slot_tag_of<T>;
}
// A hook read a slot as a type it does not hold (debug and sanitizer builds): aborts with the place.
[[noreturn]] void wrong_slot(const char* func, int cpos, const char* wanted);

// A call's result: how it is turned into a Python object.
struct ResultKind {
    PyObject* (*make)(void* storage, CallFrame& frame);
    void (*destroy)(void* storage);   // values kept in the result storage; null when trivial
    bool (*ok)(const void* storage);  // whether success-dependent outputs are filled; null: always
    const char* (*decl)();            // declared result, for docstrings ("void": none)
    std::string (*doc_type)();        // the Python type in docstrings; null: from decl
};

using Thunk = void (*)(Slot* slots, void* result);
struct Candidate;
// Converts a candidate's inputs into slots and prepares its outputs (self already in slot 0 when first
// is 1); on failure the parameter that failed and its code, the slots released. See dispatch.cpp.
using Converter = bool (*)(const Candidate& c, PyObject* const* items, Slot* slots, int& failed, int& code,
                           bool& dirty, int first, bool overloaded, Ref* pending);

enum PolicyFlags : uint32_t {
    Policy_KeepGil = 1,          // callback classes hold the GIL through the SDK call
    Policy_DisownSelf = 2,       // self's proxy gives its object to the returned reference
    Policy_Comparison = 4,       // a TypeError or no fitting candidate gives NotImplemented
    Policy_TupleOutputs = 8,     // (result, value, ...) instead of the output list
    Policy_KeepAlive = 16,       // proxies and views returned keep the argument at keep_cpos alive
    Policy_Constructor = 32,     // the result is a bare owning proxy (new_<Class>)
    Policy_OutputsFirst = 64,    // TupleOutputs with the output values before the result
};

enum class Role : uint8_t { Method, Function, Static, Constructor, FieldGet, FieldSet };

struct Shape {
    const ParamShape* params;    // C order, self first for methods
    uint8_t count;
    uint8_t inputs;              // Python items taken when nothing is left out
    uint8_t defaults;            // trailing inputs that may be left out
    uint8_t outputs;             // parameters the SDK fills
    Thunk thunk;
    const ResultKind* result;
    uint32_t policy;
    int8_t keep_cpos;            // KeepAlive: the argument kept alive, by position
    Role role;
    const char* owner;           // the class, for "Class::Member" in prototypes
    // Runs after a call that completed, with the GIL held: ok is the result's verdict.
    void (*after)(CallFrame& frame, bool ok);
    Converter convert = nullptr;   // the conversion unrolled for this shape (kinds.h)
};

// One candidate of a dispatch: a shape and how many Python items it takes.
struct Candidate {
    const Shape* shape;
    uint8_t given;
};

// A wrapper's dispatch data, filled once at start-up (constant-initialised until then, so a record
// costs no start-up code of its own).
struct FuncRecord {
    const char* name = nullptr;
    const Candidate* tried = nullptr;       // in the order they are tried
    int count = 0;
    const char* overload_text = nullptr;    // the "Wrong number or type" message of an overloaded wrapper
    int max_items = 0;
    bool overloaded = false;
    bool comparison = false;
    const char* member = nullptr;           // the member's name in prototypes when it is not the flat name's
    // The typed call of a single wrapper (kinds.h), which the companion's methods call too; null: dispatch.
    PyObject* (*typed)(const FuncRecord& rec, PyObject* const* items, Py_ssize_t n) = nullptr;

    const Candidate& first() const { return tried[0]; }
    const Candidate* begin() const { return tried; }
    const Candidate* end() const { return tried + count; }
};

// What a result builder may look at.
struct CallFrame {
    const FuncRecord* record;
    const Shape* shape;
    PyObject* const* items;
    int nitems;
    Slot* slots;
    int result_own;   // own flag for a returned reference (DisownSelf)

    // The Python object given for the parameter at a message position, or null.
    PyObject* item_at(int cpos) const;
    // The class the parameter at a message position wants, or null for a value.
    SwigTypeInfo* descriptor_at(int cpos) const {
        const ParamShape* p = shape_at(cpos);
        return p && p->descriptor ? p->descriptor() : nullptr;
    }

    // The object a method was called on.
    template <class T>
    T* self() const {
        return static_cast<T*>(arg<void*>(1));
    }
    // The converted argument at a message position (self is 1) as its slot holds it: void* for pointer
    // and reference kinds, the value for numbers, ArraySlot for arrays. Debug and sanitizer builds
    // check that the slot holds a T.
    template <class T>
    T& arg(int cpos) const {
        const ParamShape* p = shape_at(cpos);
#ifndef NDEBUG
        if (!p || (p->slot_tag && p->slot_tag != slot_tag<T>())) wrong_slot(record ? record->name : "?", cpos, typeid(T).name());
#endif
        return slots[p - shape->params].as<T>();
    }

private:
    const ParamShape* shape_at(int cpos) const;
};

// A proxy for a pointer a call hands out; with the KeepAlive policy it keeps the argument alive.
PyObject* new_result_proxy(void* ptr, SwigTypeInfo* ty, int flags, CallFrame& f);

// The record behind a flat function's C function (for callers that skip the argument tuple).
void register_record(PyCFunction entry, const FuncRecord* record);
const FuncRecord* record_of(PyCFunction entry);

// ---- the dispatcher ----
PyObject* dispatch(const FuncRecord& rec, PyObject* const* items, Py_ssize_t n);
PyObject* dispatch_tuple(const FuncRecord& rec, PyObject* args);

// What the typed calls of single wrappers (kinds.h) share with the dispatcher: the report of a failed
// conversion (its error, or NotImplemented for a comparison), and the failure of parameter k of a
// candidate (item: the next Python item), which releases the slots up to k and records the failure;
// in an overload, a committed failure counts only when the later inputs fit (when they do not, its
// own error, if it set one, is left in pending: see dispatch.cpp).
PyObject* conversion_failed(const FuncRecord& rec, const ParamShape& p, int code);
bool candidate_failed(const Candidate& c, PyObject* const* items, Slot* slots, int k, int item, int res, int& failed,
                      int& code, bool overloaded, Ref* pending = nullptr);

// ---- the call of a candidate whose arguments are converted ----
//
// One definition (run_call) for the dispatcher and the typed calls of single wrappers, which know
// their shape when they are compiled: what a shape does not use falls away there. The parts a call
// needs only now and then are defined in dispatch.cpp.

// How an SDK call ended: no result was made when it threw; a callback may have left an error.
enum Outcome { Called, Threw, CalledWithError };
// The exception an SDK call threw becomes the Python error (once the GIL is back, when state holds
// the thread's state). Always Threw.
Outcome call_threw(std::exception_ptr thrown, PyThreadState* state);
// What a call that completed with an error leaves of its result is freed (the error stays set).
void drop_result(CallFrame& frame, void* storage);
// Adds the output values to the result: the output list, or the tuple the policy asks for.
PyObject* add_outputs(PyObject* result, bool ok, CallFrame& f);
// Every argument is checked: now self's proxy gives up what it owned, to the result (DisownSelf).
// The own flag of the reference returned.
int disown_self(const Shape& s, PyObject* self);

// Releases what the conversions of the first n slots made.
inline void release_slots(Slot* slots, int n) {
    for (int i = 0; i < n; ++i)
        if (slots[i].cleanup) slots[i].cleanup(slots[i]);
}

// The one way into the SDK, for wrappers, destructors and the stops at exit alike: the call, with the
// GIL released unless keep_gil, counted as an SDK call on this thread. A C++ exception becomes a Python
// error (call_threw: the same text wherever the call came from); an error a callback left on this
// thread makes the call fail too. Called with the GIL held and no error pending.
template <class Call>
[[gnu::always_inline]] inline Outcome guarded_call(bool keep_gil, Call&& call) {
    PyThreadState* state = keep_gil ? nullptr : PyEval_SaveThread();
    ++t_sdk_calls;
    try {
        call();
    } catch (...) {
        --t_sdk_calls;
        return call_threw(std::current_exception(), state);
    }
    --t_sdk_calls;
    if (state) PyEval_RestoreThread(state);
    return PyErr_Occurred() ? CalledWithError : Called;
}

// While it lives (when active), the pending Python error is set aside: what follows a failed call (a
// destructor's release of its proxies) runs with none pending, and the error is back afterwards.
class ErrorAside {
public:
    explicit ErrorAside(bool active) : active_(active) {
        if (active_) PyErr_Fetch(&type_, &value_, &tb_);
    }
    ~ErrorAside() {
        if (active_) PyErr_Restore(type_, value_, tb_);
    }
    ErrorAside(const ErrorAside&) = delete;
    ErrorAside& operator=(const ErrorAside&) = delete;

private:
    bool active_;
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

// The SDK call of a wrapper, with the GIL released unless the policy keeps it (no result was made when
// it threw).
inline Outcome call_sdk(const Shape& s, Slot* slots, void* result) {
    return guarded_call((s.policy & Policy_KeepGil) != 0, [&] { s.thunk(slots, result); });
}

// Calls a candidate of shape s whose arguments are converted, builds the result and releases the
// slots. Objects the SDK deleted meanwhile are settled once the wrapper made its own release
// (settle_gone_if_any, proxy.h).
[[gnu::always_inline]] inline PyObject* run_call(const FuncRecord& rec, const Shape& s, PyObject* const* items, int n,
                                                 Slot* slots, bool dirty) {
    CallFrame frame{&rec, &s, items, n, slots, 0};
    if (s.policy & Policy_DisownSelf) frame.result_own = disown_self(s, items[0]);
    alignas(16) unsigned char storage[kResultBytes];
    PyObject* result = nullptr;
    Outcome outcome = call_sdk(s, slots, storage);
    if (outcome == Called) {
        result = s.result->make(storage, frame);
        bool ok = (s.outputs || s.after) && result && (!s.result->ok || s.result->ok(storage));
        if (result && s.after) s.after(frame, ok);
        settle_gone_if_any();
        if (s.result->destroy) s.result->destroy(storage);
        if (result && s.outputs) result = add_outputs(result, ok, frame);
    } else {
        if (outcome == CalledWithError) drop_result(frame, storage);
        settle_gone_if_any();
    }
    if (dirty) release_slots(slots, s.count);
    return result;
}

// Result storage of a value kept in place.
template <class T>
T& result_as(void* storage) {
    static_assert(sizeof(T) <= kResultBytes && alignof(T) <= 16, "result does not fit the result storage");
    return *std::launder(static_cast<T*>(storage));
}

}  // namespace kivo::rt
