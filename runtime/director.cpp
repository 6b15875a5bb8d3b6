#include "director.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace kivo::rt {

namespace {

std::atomic<bool> g_finalizing{false};
std::atomic<bool> g_gone{false};
std::thread::id g_finalizing_thread;   // written before g_finalizing is set
std::atomic<bool> g_keep_states{true};

// Threads inside Python: a thread counts from the moment it decides it may take the GIL (or make a
// thread state) until it has let go of both. Finalisation begins under this lock, and the exit hook
// waits (with the GIL free) until no other thread is inside: from then on nothing but the finalising
// thread takes the GIL or makes a thread state. Both live until the process ends, for the threads
// still running then.
// A callback costs no lock: a thread counts itself in, then reads whether finalisation began, while
// finalisation sets that, then reads the count (both sequentially consistent, so at least one of the
// two sees the other); the lock is taken only once finalisation began.
struct Entries {
    std::mutex lock;
    std::condition_variable idle;
    std::atomic<int> inside{0};
};
Entries& entries() {
    static auto* e = new Entries;
    return *e;
}
// Aligned beyond malloc's 16 bytes, so that a thread's block of this library's thread-locals never
// begins 16 bytes into a page: the leak checker takes such a block for another C library's layout
// and reads garbage bounds, which crashes its stop of the world at exit.
alignas(32) [[gnu::tls_model("initial-exec")]] thread_local int t_inside = 0;   // this thread's share of inside

void leave_python() {
    Entries& e = entries();
    --t_inside;
    e.inside.fetch_sub(1);
    if (g_finalizing.load()) {
        // Under the lock, so that the finalising thread, between testing the count and waiting, hears it.
        std::lock_guard<std::mutex> hold(e.lock);
        e.idle.notify_all();
    }
}

// Whether this thread may enter Python, counted if so: always before finalisation, afterwards only
// the finalising thread while the interpreter lives.
bool enter_python() {
    Entries& e = entries();
    e.inside.fetch_add(1);
    ++t_inside;
    if (!g_finalizing.load()) return true;
    {
        std::lock_guard<std::mutex> hold(e.lock);
        if (!g_gone && std::this_thread::get_id() == g_finalizing_thread && Py_IsInitialized()) return true;
    }
    leave_python();
    return false;
}

// Called with the GIL held: finalisation begins; returns once every other thread inside Python has
// left it (the GIL is free meanwhile, so that they can finish).
void begin_finalizing() {
    Entries& e = entries();
    {
        std::lock_guard<std::mutex> hold(e.lock);
        g_finalizing_thread = std::this_thread::get_id();
        g_finalizing.store(true);
        if (e.inside.load() == t_inside) return;
    }
    PyThreadState* self = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> hold(e.lock);
        e.idle.wait(hold, [&] { return e.inside.load() == t_inside; });
    }
    PyEval_RestoreThread(self);
}

// The method caches of the living directors, guarded by the ownership lock.
std::unordered_map<CachedMethod*, int>& caches() {
    static auto* map = new std::unordered_map<CachedMethod*, int>;
    return *map;
}

// What the module does when finalisation begins, before callbacks are refused (a running device
// stops, so its threads no longer call into Python).
std::vector<void (*)()>& exit_actions() {
    static auto* actions = new std::vector<void (*)()>;
    return *actions;
}

PyObject* on_exit(PyObject*, PyObject*) {
    for (void (*action)() : exit_actions()) action();
    begin_finalizing();
    // No callback runs from now on: the caches let go of what they found (outside the lock, since
    // releasing a function may destroy directors).
    std::vector<Ref> found;
    {
        std::lock_guard<std::mutex> hold(Swig::ownership_lock());
        for (auto& [slots, count] : caches())
            for (int i = 0; i < count; ++i)
                if (slots[i].callable) found.emplace_back(std::exchange(slots[i].callable, nullptr));
    }
    Py_RETURN_NONE;
}

PyMethodDef g_exit_def = {"_kivo_interpreter_exit", on_exit, METH_NOARGS, nullptr};

void late_exit() {
    std::lock_guard<std::mutex> hold(entries().lock);
    g_finalizing = true;
    g_gone = true;
}

// The thread state a thread unknown to Python keeps between callbacks: made by its first callback,
// deleted when the thread ends (the interpreter deletes it itself when it finalises first).
struct KeptState {
    PyGILState_STATE outer{};
    PyThreadState* saved = nullptr;

    void adopt() {
        outer = PyGILState_Ensure();
        saved = PyEval_SaveThread();
    }
    ~KeptState() {
        // Once finalisation began the interpreter deletes the state itself.
        if (!saved || !enter_python()) return;
        PyEval_RestoreThread(saved);
        PyGILState_Release(outer);
        leave_python();
    }
};
[[gnu::tls_model("initial-exec")]] thread_local KeptState t_kept;

}  // namespace

bool interpreter_finalizing() { return g_finalizing.load(std::memory_order_relaxed); }

PythonGil::PythonGil() : entered_(enter_python()) {
    if (entered_) state_ = PyGILState_Ensure();
}

PythonGil::~PythonGil() {
    if (!entered_) return;
    PyGILState_Release(state_);
    leave_python();
}

void keep_thread_states(bool keep) { g_keep_states = keep; }

void add_exit_action(void (*action)()) {
    auto& actions = exit_actions();
    if (std::find(actions.begin(), actions.end(), action) == actions.end()) actions.push_back(action);
}

bool install_exit_hook() {
    static bool installed = false;
    if (installed) return true;
    // atexit runs its functions when finalisation begins, before threads and modules are torn down;
    // Py_AtExit is the last resort for an interpreter that never runs them.
    Ref atexit(PyImport_ImportModule("atexit"));
    Ref hook(atexit ? PyCFunction_New(&g_exit_def, nullptr) : nullptr);
    Ref res(hook ? PyObject_CallMethod(atexit.get(), "register", "O", hook.get()) : nullptr);
    if (!res) return false;
    Py_AtExit(late_exit);
    installed = true;
    return true;
}

GilBlock::GilBlock() {
    active_ = false;
    if (!enter_python()) return;
    KeptState& kept = t_kept;
    if (!kept.saved && g_keep_states.load(std::memory_order_relaxed) && !PyGILState_GetThisThreadState())
        kept.adopt();
    // On a thread unknown to Python with nothing else of Python under way (this block is the only one
    // counted on it), the GIL cannot be this thread's: its kept state is made current directly, as
    // PyGILState_Ensure would after finding that out.
    direct_ = kept.saved != nullptr && t_inside == 1;
    if (direct_) {
        native_ = true;
        state_ = PyGILState_UNLOCKED;
        PyEval_RestoreThread(kept.saved);
    } else {
        native_ = kept.saved != nullptr || !PyGILState_GetThisThreadState();
        state_ = PyGILState_Ensure();
    }
    active_ = true;
    saved_[0] = saved_[1] = saved_[2] = nullptr;
    // A kept state holds no error between blocks (each block's end drops what it left there).
    if (!direct_ && PyErr_Occurred()) PyErr_Fetch(&saved_[0], &saved_[1], &saved_[2]);
}

void GilBlock::end() {
    if (!active_) return;
    active_ = false;
    if (saved_[0]) {
        PyErr_Clear();
        PyErr_Restore(saved_[0], saved_[1], saved_[2]);
    }
    if (native_ && state_ == PyGILState_UNLOCKED && PyErr_Occurred()) PyErr_Clear();
    if (direct_)
        PyEval_SaveThread();
    else
        PyGILState_Release(state_);
    leave_python();
}

namespace {

// One piece of a report: the UTF-8 of text (a str, or null when making it raised), appended to line.
// A piece whose making or encoding raised is left out, and the first such error is kept in failed
// (type, value, traceback), to stand once the report is done.
void append_piece(std::string& line, PyObject* text, PyObject* (&failed)[3]) {
    Ref bytes(text && PyUnicode_Check(text) ? PyUnicode_AsUTF8String(text) : nullptr);
    if (bytes) line.append(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
    if (!PyErr_Occurred()) return;
    if (failed[0]) {
        PyErr_Clear();
        return;
    }
    PyErr_Fetch(&failed[0], &failed[1], &failed[2]);
}

}  // namespace

void director_refuse(const DirectorNames& n) {
    throw Swig::DirectorMethodException(std::string("In method '") + n.method + "': Python is finalizing");
}

PyObject* director_method(Swig::Director& d, CachedMethod& slot, const DirectorNames& n, PyObject*& self) {
    self = d.swig_get_self();
    if (!self) {
        std::string text = std::string("'self' uninitialized, maybe you forgot to call ") + n.cls + ".__init__.";
        Swig::DirectorException::raise_RuntimeError(text.c_str());
    }
    if (slot.callable) return slot.callable;
    Ref name(PyUnicode_FromString(n.method));
    Ref found(name ? PyObject_GetAttr(self, name.get()) : nullptr);
    if (!found) {
        // The lookup's AttributeError stays the Python error: the exception sets its own only when
        // none is pending.
        Swig::DirectorMethodException::raise(std::string("Method in class ") + n.cls + " doesn't exist, undefined " +
                                             n.method);
    }
    // A method bound to this very object is kept as its function and bound at each call: the cache
    // must not hold the object.
    Ref bound_to(PyObject_GetAttrString(found.get(), "__self__"));
    Ref func(bound_to.get() == self ? PyObject_GetAttrString(found.get(), "__func__") : nullptr);
    if (PyErr_Occurred()) PyErr_Clear();
    slot.bind = static_cast<bool>(func);
    slot.callable = func ? func.release() : found.release();
    return slot.callable;
}

void director_call_failed(const DirectorNames& n) {
    std::string line = std::string("In method '") + n.method + "': ";
    if (PyErr_Occurred()) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref fetched[] = {Ref(type), Ref(value), Ref(tb)};
        PyObject* failed[3] = {nullptr, nullptr, nullptr};   // the error of a piece left out
        if (type) append_piece(line, Ref(PyObject_GetAttrString(type, "__name__")).get(), failed);
        if (value) append_piece(line, Ref(PyObject_Str(value)).get(), failed);
        // It stands: the report's exception sets its RuntimeError only when no error is pending.
        if (failed[0]) PyErr_Restore(failed[0], failed[1], failed[2]);
    }
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
    throw Swig::DirectorMethodException(line);
}

void callback_mismatch(int code, const char* spelling) {
    PyObject* error = code == SwigError_Overflow ? PyExc_OverflowError : PyExc_TypeError;
    Swig::DirectorTypeMismatchException::raise(error, std::string("in output value of type '") + spelling + "'");
}

CallbackTuple::CallbackTuple(PyObject* result, const TupleRule& rule) : result_(result), rule_(rule) {
    if (rule.not_tuple && !PyTuple_Check(result)) Swig::DirectorTypeMismatchException::raise_TypeError(rule.not_tuple);
    if (rule.counted > 0 && (!PyTuple_Check(result) || PyTuple_Size(result) < rule.counted))
        Swig::DirectorException::raise_RuntimeError(rule.missing);
}

PyObject* CallbackTuple::operator[](Py_ssize_t i) const {
    // A read by index: a tuple too short fails with the read's own error; anything but a tuple is a type
    // mismatch naming the shape the call wants (the read itself would leave a SystemError).
    if (!PyTuple_Check(result_)) Swig::DirectorTypeMismatchException::raise_TypeError(rule_.missing);
    PyObject* item = PyTuple_GetItem(result_, i);
    if (!item) Swig::DirectorException::raise_RuntimeError(rule_.missing);
    return item;
}

PyObject* CallbackTuple::find(Py_ssize_t i) const {
    return PyTuple_Check(result_) && i < PyTuple_Size(result_) ? PyTuple_GetItem(result_, i) : nullptr;
}

void release_methods(CachedMethod* slots, int count) {
    for (int i = 0; i < count; ++i) {
        if (!slots[i].callable) continue;
        if (PythonGil gil; gil) Py_XDECREF(std::exchange(slots[i].callable, nullptr));
        slots[i].callable = nullptr;
    }
}

void register_methods(CachedMethod* slots, int count) {
    std::lock_guard<std::mutex> hold(Swig::ownership_lock());
    caches()[slots] = count;
}

void forget_methods(CachedMethod* slots) {
    std::lock_guard<std::mutex> hold(Swig::ownership_lock());
    caches().erase(slots);
}

}  // namespace kivo::rt

namespace Swig {

DirectorException::DirectorException(PyObject* error, const char* header, const std::string& message)
    : text_(message.empty() ? std::string(header) : std::string(header) + " " + message) {
    if (kivo::rt::PythonGil gil; gil && !PyErr_Occurred()) PyErr_SetString(error, text_.c_str());
}

void DirectorException::raise(PyObject* error, const char* message) { throw DirectorException(error, message); }
void DirectorException::raise_RuntimeError(const char* message) { raise(PyExc_RuntimeError, message); }

DirectorMethodException::DirectorMethodException(const std::string& message)
    : DirectorException(PyExc_RuntimeError, "SWIG director method error.", message) {}
void DirectorMethodException::raise(const std::string& message) { throw DirectorMethodException(message); }

DirectorPureVirtualException::DirectorPureVirtualException(const std::string& message)
    : DirectorException(PyExc_RuntimeError, "SWIG director pure virtual method called", message) {}
void DirectorPureVirtualException::raise(const std::string& message) { throw DirectorPureVirtualException(message); }

DirectorTypeMismatchException::DirectorTypeMismatchException(PyObject* error, const std::string& message)
    : DirectorException(error, "SWIG director type mismatch", message) {}
DirectorTypeMismatchException::DirectorTypeMismatchException(const std::string& message)
    : DirectorTypeMismatchException(PyExc_TypeError, message) {}
void DirectorTypeMismatchException::raise(PyObject* error, const std::string& message) {
    throw DirectorTypeMismatchException(error, message);
}
void DirectorTypeMismatchException::raise_TypeError(const std::string& message) {
    throw DirectorTypeMismatchException(message);
}

std::mutex& ownership_lock() {
    static auto* lock = new std::mutex;   // lives until the process ends
    return *lock;
}

Director::Director(PyObject* self) : self_(self), weak_(nullptr), disowned_(false) {}

void GCItem_Proxy::finish(bool untaken) {
    kivo::rt::Ref proxy(std::exchange(proxy_, nullptr));
    if (!proxy) return;
    if (untaken) {
        SwigPyObject* held = SwigPyObject_GetThis(proxy.get());
        if (held && held->ptr == ptr_ && !held->gone) SwigPyObject_SetOwn(held, get_own() & 1);
    }
}

Director::~Director() {
    std::map<void*, std::unique_ptr<GCItem>> left;
    {
        std::lock_guard<std::mutex> hold(ownership_lock());
        left.swap(ownership_);
    }
    if ((self_ && disowned_) || weak_ || !left.empty()) {
        kivo::rt::PythonGil gil;
        if (!gil) return;
        // The records nobody took back end first: what they give back may still need the object.
        for (auto& [ptr, item] : left) item->finish(true);
        left.clear();
        if (disowned_) Py_XDECREF(self_);
        Py_XDECREF(weak_);
    }
}

bool Director::SwigDirector_GetInner(const char*) const { return true; }
void Director::SwigDirector_SetInner(const char*, bool) {}

void Director::swig_watch() {
    if (weak_ || disowned_ || !self_) return;
    weak_ = PyWeakref_NewRef(self_, nullptr);
    if (weak_) return;
    // An object without weak references cannot be watched: the director keeps it alive instead, as
    // it would once disowned.
    PyErr_Clear();
    Py_INCREF(self_);
    disowned_ = true;
}

void Director::disown() {
    if (disowned_) return;
    disowned_ = true;
    self_ = swig_get_self();
    Py_XINCREF(self_);
    Py_CLEAR(weak_);
}

void Director::acquire_ownership(void* ptr, int own, PyObject* proxy) {
    if (!ptr || !own) return;
    std::unique_ptr<GCItem> item;
    if (proxy) {
        Py_INCREF(proxy);
        item = std::make_unique<GCItem_Proxy>(own, ptr, proxy);
    } else {
        item = std::make_unique<GCItem_Object>(own);
    }
    {
        std::lock_guard<std::mutex> hold(ownership_lock());
        ownership_[ptr].swap(item);
    }
    // The record replaced lets its object go, outside the lock (that may run Python).
    if (item) item->finish(false);
}

int Director::release_ownership(void* ptr) {
    if (!ptr) return 0;
    std::unique_ptr<GCItem> item;
    {
        std::lock_guard<std::mutex> hold(ownership_lock());
        auto it = ownership_.find(ptr);
        if (it == ownership_.end()) return 0;
        item = std::move(it->second);
        ownership_.erase(it);
    }
    const int own = item->get_own();
    item->finish(false);
    return own;
}

}  // namespace Swig
