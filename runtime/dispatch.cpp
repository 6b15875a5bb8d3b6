// The one dispatcher: every flat wrapper call runs through here. It checks the argument count,
// converts each argument once into its slot (trying overload candidates in order, moving on at the
// first mismatch), releases the GIL around exactly the SDK call, turns C++ exceptions into Python
// errors, builds the result with its outputs and frees what the conversions made.
#include "dispatch.h"
#include "params.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

namespace kivo::rt {

namespace {

void release(Slot* slots, int n) {
    for (int i = 0; i < n; ++i)
        if (slots[i].cleanup) slots[i].cleanup(slots[i]);
}

void report(const ParamShape& p, int code, const char* func) {
    if (code <= kCommitted) code -= kCommitted;
    if (code == SwigError_Released && PyErr_Occurred()) return;   // the release's own text is set
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
bool later_inputs_misfit(const Shape& s, int k, int item, const Candidate& c, PyObject* const* items, int& code) {
    for (int j = k + 1; j < s.count; ++j) {
        const ParamShape& p = s.params[j];
        if (!(p.flags & Param_Input)) continue;
        if (item >= c.given) break;
        Slot scratch;
        scratch.cleanup = nullptr;
        int res = p.kind->convert(items[item++], scratch, p);
        if (scratch.cleanup) scratch.cleanup(scratch);
        if (res < 0 && res > kCommitted) {
            if (PyErr_Occurred()) PyErr_Clear();
            code = res;
            return true;
        }
        if (PyErr_Occurred()) PyErr_Clear();
    }
    return false;
}

// Every shape converts its candidate's arguments with the walk unrolled for its parameter table
// (TypedConvert, kinds.h). pending (overloads only): a committed failure whose own error was set, of a
// candidate whose later inputs misfit, leaves that error here (a new reference) to stand before the
// overload text.
bool convert_all(const Candidate& c, PyObject* const* items, Slot* slots, int& failed, int& code, bool& dirty,
                 int first = 0, bool overloaded = false, PyObject** pending = nullptr) {
    return c.shape->convert(c, items, slots, failed, code, dirty, first, overloaded, pending);
}

// How an SDK call ended: no result was made when it threw; a callback may have left an error.
enum Outcome { Called, Threw, CalledWithError };

// An exception's text is cut to this many bytes.
constexpr std::size_t kLongestWhat = 511;

Outcome call_threw(std::exception_ptr thrown, PyThreadState* state) {
    int failure = 3;
    std::string what;
    try {
        std::rethrow_exception(thrown);
    } catch (const std::bad_alloc&) {
        failure = 1;
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

// The SDK call, with the GIL released unless the policy keeps it. A C++ exception becomes a Python
// error (no result was made); an error a callback left on this thread makes the call fail too.
// Objects the SDK deletes meanwhile are settled once the wrapper has made its own release
// (settle_gone_if_any, proxy.h).
Outcome call_sdk(const Shape& s, Slot* slots, void* result) {
    PyThreadState* state = (s.policy & Policy_KeepGil) ? nullptr : PyEval_SaveThread();
    ++t_sdk_calls;
    try {
        s.thunk(slots, result);
    } catch (...) {
        --t_sdk_calls;
        return call_threw(std::current_exception(), state);
    }
    --t_sdk_calls;
    if (state) PyEval_RestoreThread(state);
    return PyErr_Occurred() ? CalledWithError : Called;
}

// What a call that completed with an error leaves of its result is freed (the error stays set).
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

// Adds the output values to the result: the output list, or the tuple the policy asks for.
PyObject* add_outputs(PyObject* result, bool ok, CallFrame& f) {
    const Shape& s = *f.shape;
    PyObject* values[kMaxParams];
    int n = 0;
    for (int k = 0; k < s.count; ++k) {
        const ParamShape& p = s.params[k];
        if (!(p.flags & Param_Output)) continue;
        PyObject* v;
        if (ok || p.kind->always_present || (p.flags & Param_Present)) {
            v = p.kind->output(f.slots[k], p, f);
        } else {
            Py_INCREF(Py_None);
            v = Py_None;
        }
        if (!v) {
            for (int i = 0; i < n; ++i) Py_DECREF(values[i]);
            Py_DECREF(result);
            return nullptr;
        }
        values[n++] = v;
    }
    if (n == 0) return result;
    bool is_void = std::strcmp(s.result->decl(), "void") == 0;
    if ((s.policy & Policy_TupleOutputs) && is_void) {
        // Nothing but the outputs: (value, ...).
        PyObject* t = PyTuple_New(n);
        if (t)
            for (int i = 0; i < n; ++i) PyTuple_SetItem(t, i, values[i]);
        else
            for (int i = 0; i < n; ++i) Py_DECREF(values[i]);
        Py_DECREF(result);
        return t;
    }
    if (s.policy & Policy_TupleOutputs) {
        PyObject* t = PyTuple_New(n + 1);
        if (!t) {
            for (int i = 0; i < n; ++i) Py_DECREF(values[i]);
            Py_DECREF(result);
            return nullptr;
        }
        const bool first = s.policy & Policy_OutputsFirst;
        PyTuple_SetItem(t, first ? n : 0, result);
        for (int i = 0; i < n; ++i) PyTuple_SetItem(t, first ? i : i + 1, values[i]);
        return t;
    }
    for (int i = 0; i < n; ++i) {
        if (result)
            result = SwigRuntime_AppendOutput(result, values[i], is_void);
        else
            Py_DECREF(values[i]);
    }
    return result;
}

// Calls a candidate whose arguments are converted, builds the result and releases the slots.
PyObject* run(const FuncRecord& rec, const Candidate& c, PyObject* const* items, int n, Slot* slots, bool dirty) {
    const Shape& s = *c.shape;
    CallFrame frame{&rec, &s, items, n, slots, 0};
    if (s.policy & Policy_DisownSelf) {
        // Every argument is checked: now self's proxy gives up what it owned, to the result.
        int own = 0;
        SwigPyObject_ConvertPtr(items[0], nullptr, s.params[0].descriptor(), SwigConvert_Disown, &own);
        frame.result_own = own ? SwigNew_Own : 0;
    }
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
    if (dirty) release(slots, s.count);
    return result;
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

PyObject* dispatch(const FuncRecord& rec, PyObject* const* items, Py_ssize_t n) {
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
        return run(rec, c, items, static_cast<int>(n), slots, dirty);
    }
    if (n > rec.max_items) {
        SwigRuntime_CountError(rec.name, 0, rec.max_items, n, false);
        if (!rec.comparison) SwigRuntime_RaiseOrExtendTypeError(rec.overload_text);
        return nullptr;
    }
    // Self is converted once for all the candidates that want it as the same class.
    SwigTypeInfo* (*self_type)() = nullptr;
    void* self = nullptr;
    PyObject* pending = nullptr;   // an error to stand before the overload text
    for (const Candidate& c : rec) {
        if (c.given != n) continue;
        const bool method = c.shape->count > 0 && (c.shape->params[0].flags & Param_Self);
        int first = 0;
        if (method && self_type && c.shape->params[0].descriptor == self_type) {
            slots[0].cleanup = nullptr;
            slots[0].as<void*>() = self;
            first = 1;
        }
        bool dirty = false;
        if (convert_all(c, items, slots, failed, code, dirty, first, true, &pending)) {
            Py_XDECREF(pending);
            return run(rec, c, items, static_cast<int>(n), slots, dirty);
        }
        if (method && failed > 0) {
            self_type = c.shape->params[0].descriptor;
            self = slots[0].as<void*>();
        }
        const ParamShape& p = c.shape->params[failed];
        if ((p.flags & Param_Lenient) || code <= kCommitted) {
            // A candidate that takes whatever reaches it: its conversion error is the call's.
            Py_XDECREF(pending);
            return conversion_failed(rec, p, code);
        }
        if (PyErr_Occurred()) PyErr_Clear();
    }
    if (rec.comparison) {
        Py_XDECREF(pending);
        return not_implemented();
    }
    if (pending) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(pending)), pending);
    Py_XDECREF(pending);
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

namespace {

// "Class::Member" of a wrapper: the flat name without "<Class>_".
std::string qualified(const Shape& s, const char* func, const char* member) {
    if (!s.owner) return func;
    std::string owner = s.owner;
    if (member) return owner + "::" + member;
    if (s.role == Role::Constructor) return owner + "::" + owner;
    std::string f = func;
    if (f.rfind(owner + "_", 0) == 0) f = f.substr(owner.size() + 1);
    return owner + "::" + f;
}

}  // namespace

std::string prototype_of(const Shape& s, int given, const char* func, const char* member) {
    std::string text = qualified(s, func, member) + "(";
    int item = 0;
    bool first = true;
    for (int k = 0; k < s.count; ++k) {
        const ParamShape& p = s.params[k];
        if ((p.flags & Param_Input) && item++ >= given) continue;   // left out: its default applies
        if (p.flags & Param_Self) continue;
        if (!*p.decl()) continue;   // a value the form returns without taking it
        text += (first ? "" : ",") + std::string(p.decl());
        if (p.decl2) text += "," + std::string(p.decl2());
        first = false;
    }
    bool const_method = s.count > 0 && s.params[0].kind == &kConstSelfKind;
    return text + (const_method ? ") const" : ")");
}

void finish_record(FuncRecord& rec, const std::vector<const Shape*>& declared, bool overloaded) {
    std::vector<Candidate> all;
    for (const Shape* s : declared)
        for (int g = s->inputs; g >= s->inputs - s->defaults; --g) all.push_back({s, static_cast<uint8_t>(g)});
    // Fewer items first, then by the rank of each input in turn: pointers before numbers before text.
    auto ranks = [](const Candidate& c) {
        std::vector<int> r;
        for (int k = 0; k < c.shape->count && static_cast<int>(r.size()) < c.given; ++k)
            if (c.shape->params[k].flags & Param_Input) r.push_back(c.shape->params[k].kind->precedence);
        return r;
    };
    std::vector<Candidate> tried = all;
    std::stable_sort(tried.begin(), tried.end(), [&](const Candidate& a, const Candidate& b) {
        if (a.given != b.given) return a.given < b.given;
        return ranks(a) < ranks(b);
    });
    // Records live as long as the process.
    auto* kept = new Candidate[tried.size()];
    std::copy(tried.begin(), tried.end(), kept);
    rec.tried = kept;
    rec.count = static_cast<int>(tried.size());
    rec.max_items = 0;
    rec.comparison = false;
    for (const Candidate& c : all) {
        rec.max_items = std::max<int>(rec.max_items, c.given);
        rec.comparison = rec.comparison || (c.shape->policy & Policy_Comparison);
    }
    rec.overloaded = overloaded || all.size() > 1;
    if (rec.overloaded) {
        std::string text = std::string("Wrong number or type of arguments for overloaded function '") + rec.name +
                           "'.\n  Possible C/C++ prototypes are:\n";
        for (const Candidate& c : all) text += "    " + prototype_of(*c.shape, c.given, rec.name, rec.member) + "\n";
        char* kept_text = new char[text.size() + 1];
        std::copy(text.c_str(), text.c_str() + text.size() + 1, kept_text);
        rec.overload_text = kept_text;
    }
}

// ---- the parts the typed calls of single wrappers use (kinds.h) ----

bool candidate_failed(const Candidate& c, PyObject* const* items, Slot* slots, int k, int item, int res, int& failed,
                      int& code, bool overloaded, PyObject** pending) {
    release(slots, k + 1);
    failed = k;
    code = res;
    if (overloaded && res <= kCommitted && !(c.shape->params[k].flags & Param_Lenient)) {
        // The failure stays at k (self's cache must not take a failed self); only its code says
        // whether the candidate fits.
        PyObject *type, *value, *tb;   // the committed failure's own error, if it set one
        PyErr_Fetch(&type, &value, &tb);
        if (later_inputs_misfit(*c.shape, k, item, c, items, code)) {
            if (pending && type) {
                PyErr_NormalizeException(&type, &value, &tb);
                Py_XDECREF(*pending);
                *pending = value;
                value = nullptr;
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

PyObject* run_converted(const FuncRecord& rec, PyObject* const* items, int n, Slot* slots, bool dirty) {
    return run(rec, rec.first(), items, n, slots, dirty);
}

}  // namespace kivo::rt
