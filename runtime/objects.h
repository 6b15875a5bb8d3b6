// How the binding makes and destroys the objects its proxies own (results, copies, new_<Class>), per
// class. Most classes' destructors may block (they wait for the SDK's threads, or call back into
// Python): those run with the GIL released, and their objects are plain heap objects. A value class
// whose destructor never blocks (a result, a text) is declared a Value: it is destroyed with the GIL
// held, and its memory comes from a free list.
//
//     template <> struct kivo::rt::ObjectPolicy<SomeValue> : kivo::rt::Value {};
#pragma once

#include <pthread.h>

#include <cstddef>
#include <new>
#include <type_traits>
#include <typeinfo>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KIVO_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KIVO_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KIVO_POISON(p, n) ((void)(p), (void)(n))
#define KIVO_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kivo::rt {

struct Blocking {
    static constexpr bool value_class = false;
};
struct Value {
    static constexpr bool value_class = true;
};

template <class C>
struct ObjectPolicy : Blocking {};

// Blocks of one size for one thread: a block given back is kept for the next one taken on the thread,
// up to kKept; the others, and those kept when the thread ends, go back to the heap. Blocks are what
// new and delete of an object of that size use, so either may take or free any of them. A kept block is
// poisoned for the address sanitizer: nothing may reach it until it is taken again.
template <std::size_t Size>
class BlockCache {
public:
    static void* take() {
        Kept& k = kept;
        if (k.count == 0) return ::operator new(Size);
        void* block = k.blocks[--k.count];
        KIVO_UNPOISON(block, Size);
        return block;
    }
    static void give(void* block) noexcept {
        Kept& k = kept;
        if (k.count == kKept || (!k.watched && !watch(k))) {
            ::operator delete(block, Size);
            return;
        }
        KIVO_POISON(block, Size);
        k.blocks[k.count++] = block;
    }

private:
    static constexpr int kKept = 32;
    // Plain data, so that reaching it costs no guard: the thread's end is watched through a key.
    struct Kept {
        void* blocks[kKept];
        int count;
        bool watched;
    };
    // Aligned beyond malloc's 16 bytes, as every thread-local of the runtime (see director.cpp).
    alignas(32) static inline thread_local Kept kept __attribute__((tls_model("initial-exec"))) = {};

    // A block given back later in the thread's end (by another key's destructor) watches it again:
    // the thread's end comes back here for it.
    static void release(void* kept_blocks) {
        Kept& k = *static_cast<Kept*>(kept_blocks);
        k.watched = false;
        while (k.count > 0) {
            void* block = k.blocks[--k.count];
            KIVO_UNPOISON(block, Size);
            ::operator delete(block, Size);
        }
    }
    // The blocks go when the thread ends; false when that cannot be watched (nothing is kept then).
    static bool watch(Kept& k) {
        static pthread_key_t key;
        static const bool made = pthread_key_create(&key, release) == 0;
        k.watched = made && pthread_setspecific(key, &k) == 0;
        return k.watched;
    }
};

// An object of class C made and destroyed as its policy says.
template <class C, class... A>
C* new_object(A&&... args) {
    if constexpr (ObjectPolicy<C>::value_class) {
        void* block = BlockCache<sizeof(C)>::take();
        try {
            return ::new (block) C(std::forward<A>(args)...);
        } catch (...) {
            BlockCache<sizeof(C)>::give(block);
            throw;
        }
    } else {
        return new C(std::forward<A>(args)...);
    }
}

// The object that fn() returns, made in place (no copy) in memory its policy gives.
template <class C, class Fn>
C* new_object_from(Fn&& fn) {
    if constexpr (ObjectPolicy<C>::value_class) {
        void* block = BlockCache<sizeof(C)>::take();
        try {
            return ::new (block) C(fn());
        } catch (...) {
            BlockCache<sizeof(C)>::give(block);
            throw;
        }
    } else {
        return new C(fn());
    }
}

template <class C>
void delete_object(void* p) {
    if constexpr (ObjectPolicy<C>::value_class) {
        if (!p) return;
        if constexpr (std::is_polymorphic_v<C>) {
            // An object of a derived class was not made here: its own delete sizes its memory.
            if (typeid(*static_cast<C*>(p)) != typeid(C)) {
                delete static_cast<C*>(p);
                return;
            }
        }
        static_cast<C*>(p)->~C();
        BlockCache<sizeof(C)>::give(p);
    } else {
        delete static_cast<C*>(p);
    }
}

}  // namespace kivo::rt
