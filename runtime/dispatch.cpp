// The one dispatcher: every flat wrapper call runs through here. It checks the argument count,
// converts each argument once into its slot (trying overload candidates in order, moving on at the
// first mismatch), releases the GIL around exactly the SDK call, turns C++ exceptions into Python
// errors, builds the result with its outputs and frees what the conversions made.
#include "dispatch.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

namespace kivo::rt {

namespace {

// An exception's text is cut to this many bytes.
constexpr std::size_t kLongestWhat = 511;

void report(const ParamShape& p, int code, const char* func) {
    if (code <= kCommitted) code -= kCommitted;
    if (code == SwigError_Released && PyErr_Occurred()) return;   // the release's own text is set
    if (code == SwigError_Memory && PyErr_Occurred()) return;     // MemoryError, with its text if any
    if (p.kind->report)
        p.kind->report(code, p, func);
    else
        SwigRuntime_ArgumentError(code, func, p.cpos, p.decl(), code == SwigError_NullReference);
}

// Converts the inputs of a candidate into slots and prepares its outputs. On failure: the index of
// the parameter that failed and its code; the slots before it are already released. On success,
// dirty tells whether any slot holds something to release.
// With first 1, self is already in slot 0 (converted for an earlier candidate).
// In an overload, a failure that commits to its candidate (a value of the candidate's type that is
// refused, such as None for a text) counts only when the candidate's later inputs fit: otherwise the
// candidate is no fit, and that later failure is reported instead.
// later (when given): the error a later input's committed failure set, kept (a new reference) for the
// caller when the first failure set none.
bool later_inputs_misfit(const Shape& s, int k, int item, const Candidate& c, PyObject* const* items, int& code,
                         Ref* later = nullptr) {
    for (int j = k + 1; j < s.count; ++j) {
        const ParamShape& p = s.params[j];
        if (!(p.flags & Param_Input)) continue;
        if (item >= c.given) break;
        Slot scratch;
        scratch.cleanup = nullptr;
        int res = convert_input(p, items[item++], scratch);
        if (scratch.cleanup) scratch.cleanup(scratch);
        if (res < 0 && res > kCommitted) {
            if (PyErr_Occurred()) PyErr_Clear();
            code = res;
            return true;
        }
        if (PyErr_Occurred()) {
            if (later && !*later && res <= kCommitted) {
                PyObject *type, *value, *tb;
                PyErr_Fetch(&type, &value, &tb);
                PyErr_NormalizeException(&type, &value, &tb);
                later->reset(value);
                Py_XDECREF(type);
                Py_XDECREF(tb);
            } else {
                PyErr_Clear();
            }
        }
    }
    return false;
}

// Every shape converts its candidate's arguments with the walk unrolled for its parameter table
// (TypedConvert, kinds.h). pending (overloads only): a committed failure whose own error was set, of a
// candidate whose later inputs misfit, leaves that error here (a new reference) to stand before the
// overload text.
bool convert_all(const Candidate& c, PyObject* const* items, Slot* slots, int& failed, int& code, bool& dirty,
                 int first = 0, bool overloaded = false, Ref* pending = nullptr) {
    return c.shape->convert(c, items, slots, failed, code, dirty, first, overloaded, pending);
}

PyObject* not_implemented() {
    Py_INCREF(Py_NotImplemented);
    return Py_NotImplemented;
}

}  // namespace

const ParamShape* CallFrame::shape_at(int cpos) const {
    for (int k = 0; k < shape->count; ++k)
        if (shape->params[k].cpos == cpos) return &shape->params[k];
    return nullptr;
}

void wrong_slot(const char* func, int cpos, const char* wanted) {
    std::fprintf(stderr, "call frame of '%s': argument %d does not hold a %s\n", func, cpos, wanted);
    std::abort();
}

PyObject* CallFrame::item_at(int cpos) const {
    int item = 0;
    for (int k = 0; k < shape->count; ++k) {
        const ParamShape& p = shape->params[k];
        if (!(p.flags & Param_Input)) continue;
        if (p.cpos == cpos) return item < nitems ? items[item] : nullptr;
        ++item;
    }
    return nullptr;
}

// The dispatcher's work, which dispatch guards.
static PyObject* dispatch_converted(const FuncRecord& rec, PyObject* const* items, Py_ssize_t n);

PyObject* dispatch(const FuncRecord& rec, PyObject* const* items, Py_ssize_t n) {
    return guarded([&] { return dispatch_converted(rec, items, n); });
}

static PyObject* dispatch_converted(const FuncRecord& rec, PyObject* const* items, Py_ssize_t n) {
    Slot slots[kMaxParams];
    int failed = 0, code = 0;
    if (!rec.overloaded) {
        const Candidate& c = rec.first();
        if (n != c.given) {
            SwigRuntime_CountError(rec.name, c.given, c.given, n, false);
            return nullptr;
        }
        bool dirty = false;
        if (!convert_all(c, items, slots, failed, code, dirty))
            return conversion_failed(rec, c.shape->params[failed], code);
        return run_call(rec, *c.shape, items, static_cast<int>(n), slots, dirty);
    }
    if (n > rec.max_items) {
        SwigRuntime_CountError(rec.name, 0, rec.max_items, n, false);
        if (!rec.comparison) SwigRuntime_RaiseOrExtendTypeError(rec.overload_text);
        return nullptr;
    }
    // Self is converted once for all the candidates that want it as the same class.
    SwigTypeInfo* (*self_type)() = nullptr;
    void* self = nullptr;
    Ref pending;   // an error to stand before the overload text
    for (const Candidate& c : rec) {
        if (c.given != n) continue;
        const bool method = c.shape->count > 0 && (c.shape->params[0].flags & Param_Self);
        int first = 0;
        if (method && !self_type && n > 0 && quick_match(items[0], c.shape->params[0].descriptor(), &self) && self)
            self_type = c.shape->params[0].descriptor;   // the common self, matched at once
        if (method && self_type && c.shape->params[0].descriptor == self_type) {
            slots[0].cleanup = nullptr;
            slots[0].as<void*>() = self;
            first = 1;
        }
        bool dirty = false;
        if (convert_all(c, items, slots, failed, code, dirty, first, true, &pending))
            return run_call(rec, *c.shape, items, static_cast<int>(n), slots, dirty);
        if (method && failed > 0) {
            self_type = c.shape->params[0].descriptor;
            self = slots[0].as<void*>();
        }
        const ParamShape& p = c.shape->params[failed];
        if ((p.flags & Param_Lenient) || code <= kCommitted) {
            // A candidate that takes whatever reaches it: its conversion error is the call's.
            return conversion_failed(rec, p, code);
        }
        if (PyErr_Occurred()) PyErr_Clear();
    }
    if (rec.comparison) return not_implemented();
    if (pending) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(pending.get())), pending.get());
    SwigRuntime_RaiseOrExtendTypeError(rec.overload_text);
    return nullptr;
}

PyObject* dispatch_tuple(const FuncRecord& rec, PyObject* args) {
    PyObject* items[kMaxParams];
    if (!args) {
        if (!rec.overloaded && rec.first().given > 0) {
            SwigRuntime_CountError(rec.name, rec.first().given, rec.first().given, 0, true);
            return nullptr;
        }
        return dispatch(rec, nullptr, 0);
    }
    if (!PyTuple_Check(args)) {
        PyErr_SetString(PyExc_SystemError, "UnpackTuple() argument list is not a tuple");
        return nullptr;
    }
    Py_ssize_t n = PyTuple_Size(args);
    if (n > kMaxParams) return dispatch(rec, items, n);   // a count error
    for (Py_ssize_t i = 0; i < n; ++i) items[i] = PyTuple_GetItem(args, i);
    return dispatch(rec, items, n);
}

// ---- the parts the typed calls of single wrappers use (kinds.h) ----

bool candidate_failed(const Candidate& c, PyObject* const* items, Slot* slots, int k, int item, int res, int& failed,
                      int& code, bool overloaded, Ref* pending) {
    release_slots(slots, k + 1);
    failed = k;
    code = res;
    if (overloaded && res <= kCommitted && !(c.shape->params[k].flags & Param_Lenient)) {
        // The failure stays at k (self's cache must not take a failed self); only its code says
        // whether the candidate fits.
        PyObject *type, *value, *tb;   // the committed failure's own error, if it set one
        PyErr_Fetch(&type, &value, &tb);
        Ref later;   // else the error of a later input's committed failure (None as self sets none)
        if (later_inputs_misfit(*c.shape, k, item, c, items, code, type ? nullptr : &later)) {
            if (pending && type) {
                PyErr_NormalizeException(&type, &value, &tb);
                pending->reset(std::exchange(value, nullptr));
            } else if (pending && later) {
                *pending = std::move(later);
            }
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
        } else {
            PyErr_Restore(type, value, tb);
        }
    }
    return false;
}

PyObject* conversion_failed(const FuncRecord& rec, const ParamShape& p, int code) {
    report(p, code, rec.name);
    if (rec.comparison && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return not_implemented();
    }
    return nullptr;
}

// ---- memory ----

namespace {
uint64_t (*g_ceiling)() = nullptr;
}  // namespace

PyObject* no_memory() { return PyErr_NoMemory(); }

void set_memory_ceiling(uint64_t (*ceiling)()) { g_ceiling = ceiling; }

uint64_t memory_ceiling() { return g_ceiling ? g_ceiling() : UINT64_MAX; }

// ---- the parts of the call that its inline definition (dispatch.h) leaves out of line ----

Outcome call_threw(std::exception_ptr thrown, PyThreadState* state) {
    int failure = 3;
    std::string what;
    try {
        std::rethrow_exception(thrown);
    } catch (const std::bad_alloc&) {
        failure = 1;
    } catch (const std::length_error&) {
        failure = 1;   // a size past what a container can hold: memory as well
    } catch (const std::invalid_argument& e) {
        failure = 4;   // a value the call refuses before it reaches the SDK
        what.assign(e.what(), strnlen(e.what(), kLongestWhat));
    } catch (const std::exception& e) {
        failure = 2;
        what.assign(e.what(), strnlen(e.what(), kLongestWhat));
    } catch (...) {
    }
    if (state) PyEval_RestoreThread(state);
    if (failure == 1) {
        PyGILState_STATE g = PyGILState_Ensure();
        PyErr_NoMemory();
        PyGILState_Release(g);
    } else if (failure == 2) {
        // An exception that set its Python error on the way (a callback's failure) keeps it.
        if (!PyErr_Occurred()) SwigRuntime_SetErrorMsg(PyExc_RuntimeError, what.c_str());
    } else if (failure == 3) {
        SwigRuntime_SetErrorMsg(PyExc_RuntimeError, "unknown C++ exception");
    } else {
        SwigRuntime_SetErrorMsg(PyExc_ValueError, what.c_str());
    }
    return Threw;
}

void drop_result(CallFrame& frame, void* storage) {
    const ResultKind& kind = *frame.shape->result;
    if (kind.destroy) {
        kind.destroy(storage);
        return;
    }
    // A result the proxy would own (a heap copy) goes with the proxy made for it.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Py_XDECREF(kind.make(storage, frame));
    PyErr_Restore(type, value, tb);
}

PyObject* add_outputs(PyObject* made, bool ok, CallFrame& f) {
    const Shape& s = *f.shape;
    Ref result(made);
    Ref values[kMaxParams + 1];   // the outputs, and room for the result in a tuple
    int n = 0;
    for (int k = 0; k < s.count; ++k) {
        const ParamShape& p = s.params[k];
        if (!(p.flags & Param_Output)) continue;
        if (ok || p.kind->always_present || (p.flags & Param_Present))
            values[n].reset(p.kind->output(f.slots[k], p, f));
        else
            values[n] = Ref::borrow(Py_None);
        if (!values[n++]) return nullptr;
    }
    if (n == 0) return result.release();
    bool is_void = std::strcmp(s.result->decl(), "void") == 0;
    if (s.policy & Policy_TupleOutputs) {
        if (is_void) return tuple_from(std::span(values, n));   // nothing but the outputs: (value, ...)
        // (result, value, ...), or the values first.
        values[n] = std::move(result);
        if (!(s.policy & Policy_OutputsFirst)) std::rotate(values, values + n, values + n + 1);
        return tuple_from(std::span(values, n + 1));
    }
    for (int i = 0; i < n && result; ++i)
        result.reset(SwigRuntime_AppendOutput(result.release(), values[i].release(), is_void));
    return result.release();
}

int disown_self(const Shape& s, PyObject* self) {
    int own = 0;
    SwigPyObject_ConvertPtr(self, nullptr, s.params[0].descriptor(), SwigConvert_Disown, &own);
    return own ? SwigNew_Own : 0;
}

}  // namespace kivo::rt
