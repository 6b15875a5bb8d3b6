// Objects that went without a release of the binding's own: see proxy.h.
#include "director.h"
#include "proxy.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

namespace kivo::rt {

namespace {

struct Gone {
    const void* object;
    bool deleted;
};

void (*g_handler)(const void*, bool) = nullptr;
thread_local std::vector<Gone> t_kept;

void settle(const Gone& gone) {
    if (gone.deleted) SwigPyObject_Release(gone.object, nullptr, "deleted");
    if (g_handler) g_handler(gone.object, gone.deleted);
}

}  // namespace

void set_gone_handler(void (*handler)(const void*, bool)) { g_handler = handler; }

void objects_gone(const void* const* objects, std::size_t count, bool deleted) {
    if (!count) return;
    if (t_sdk_calls > 0) {
        try {
            if (t_kept.capacity() - t_kept.size() < count)
                t_kept.reserve(std::max(2 * t_kept.capacity(), t_kept.size() + count));
            for (std::size_t i = 0; i < count; ++i) t_kept.push_back({objects[i], deleted});
            g_gone_kept.fetch_add(static_cast<int>(count), std::memory_order_relaxed);
            return;
        } catch (const std::bad_alloc&) {
            // No room to keep them (told from a destructor, which must not throw): they are settled
            // now, before the wrapper's own release, rather than left behind.
        }
    }
    PythonGil gil;
    if (!gil) return;   // the interpreter is finalising: nothing of Python is reached any more
    for (std::size_t i = 0; i < count; ++i) settle({objects[i], deleted});
}

void settle_gone() {
    if (t_kept.empty()) return;
    std::vector<Gone> kept;
    kept.swap(t_kept);
    g_gone_kept.fetch_sub(static_cast<int>(kept.size()), std::memory_order_relaxed);
    for (const Gone& gone : kept) settle(gone);
}

}  // namespace kivo::rt
