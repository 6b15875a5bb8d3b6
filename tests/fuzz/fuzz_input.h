// What the fuzz targets share: a reader that cuts an input into the fields and records a target
// takes (never past the input's end: an exhausted input reads as zeros and empty records), a writer
// that makes the same fields for seeds, the seeds a target writes when asked, and the checks that
// make a broken promise of the code under test a crash the fuzzer keeps.
//
// A target whose input is a sequence of datagrams takes records: a 16-bit big-endian length, then
// that many bytes. Seeds: with KIVO_FUZZ_WRITE_SEEDS=<folder> in the environment, a target writes
// its seed inputs there (seed-000, seed-001, ...) and exits; tests/fuzz/corpus/<target> holds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <string>
#include <vector>

namespace KivoFuzz {

using Bytes = std::vector<uint8_t>;

class Reader {
public:
    Reader(const uint8_t* aData, size_t aSize) : mData(aData), mLeft(aSize) {}

    bool Empty() const { return mLeft == 0; }
    size_t Left() const { return mLeft; }

    uint8_t U8() {
        if (mLeft == 0) return 0;
        --mLeft;
        return *mData++;
    }
    uint16_t U16() {
        uint16_t high = U8();
        return static_cast<uint16_t>((high << 8) | U8());
    }
    uint32_t U32() {
        uint32_t high = U16();
        return (high << 16) | U16();
    }
    uint64_t U64() {
        uint64_t high = U32();
        return (high << 32) | U32();
    }
    // Up to aSize bytes: fewer at the end of the input.
    Bytes Take(size_t aSize) {
        if (aSize > mLeft) aSize = mLeft;
        Bytes out(mData, mData + aSize);
        mData += aSize;
        mLeft -= aSize;
        return out;
    }
    Bytes Record() { return Take(U16()); }
    Bytes Rest() { return Take(mLeft); }

private:
    const uint8_t* mData;
    size_t mLeft;
};

class Writer {
public:
    Writer& U8(uint8_t aValue) {
        mBytes.push_back(aValue);
        return *this;
    }
    Writer& U16(uint16_t aValue) { return U8(static_cast<uint8_t>(aValue >> 8)).U8(static_cast<uint8_t>(aValue)); }
    Writer& U32(uint32_t aValue) { return U16(static_cast<uint16_t>(aValue >> 16)).U16(static_cast<uint16_t>(aValue)); }
    Writer& U64(uint64_t aValue) { return U32(static_cast<uint32_t>(aValue >> 32)).U32(static_cast<uint32_t>(aValue)); }
    Writer& Raw(const Bytes& aBytes) {
        mBytes.insert(mBytes.end(), aBytes.begin(), aBytes.end());
        return *this;
    }
    Writer& Text(const std::string& aText) { return Raw(Bytes(aText.begin(), aText.end())); }
    Writer& Record(const Bytes& aBytes) { return U16(static_cast<uint16_t>(aBytes.size())).Raw(aBytes); }
    const Bytes& Get() const { return mBytes; }

private:
    Bytes mBytes;
};

// With KIVO_FUZZ_WRITE_SEEDS set: writes the seeds there and ends the process.
inline void WriteSeedsIfAsked(std::vector<Bytes> (*aSeeds)()) {
    const char* folder = std::getenv("KIVO_FUZZ_WRITE_SEEDS");
    if (folder == nullptr || *folder == '\0') return;
    std::vector<Bytes> seeds = aSeeds();
    for (size_t i = 0; i < seeds.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/seed-%03zu", i);
        std::string path = std::string(folder) + name;
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr || std::fwrite(seeds[i].data(), 1, seeds[i].size(), file) != seeds[i].size()) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            std::exit(1);
        }
        std::fclose(file);
    }
    std::fprintf(stderr, "%zu seeds written to %s\n", seeds.size(), folder);
    std::exit(0);
}

// The target's LLVMFuzzerInitialize: its seeds (a function giving them) written when asked.
#define KIVO_FUZZ_SEEDS(aSeeds)                                                                      \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                                             \
        KivoFuzz::WriteSeedsIfAsked(aSeeds);                                                         \
        return 0;                                                                                    \
    }

// A promise of the code under test that the input broke: reported and kept as a crash.
#define KIVO_FUZZ_CHECK(aCondition)                                                                  \
    do {                                                                                             \
        if (!(aCondition)) {                                                                         \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #aCondition);      \
            std::abort();                                                                            \
        }                                                                                            \
    } while (0)

inline volatile uint8_t gTouched;

// Reads every byte of memory the code under test handed out, so that the sanitizers see any part
// of it that is not really there.
inline void Touch(const void* aData, size_t aSize) {
    if (aData == nullptr || aSize == 0) return;
    const volatile uint8_t* p = static_cast<const uint8_t*>(aData);
    uint8_t sum = 0;
    for (size_t i = 0; i < aSize; ++i) sum = static_cast<uint8_t>(sum + p[i]);
    gTouched = sum;
}

// Runs aWork on a thread of its own with a stack of aBytes, for code that promises to need no more
// whatever its input: a deeper recursion overflows it and crashes the target.
template <class Work>
void OnStackOf(size_t aBytes, Work&& aWork) {
    pthread_attr_t attributes;
    pthread_t thread;
    KIVO_FUZZ_CHECK(pthread_attr_init(&attributes) == 0 && pthread_attr_setstacksize(&attributes, aBytes) == 0);
    auto run = [](void* aWork) -> void* {
        (*static_cast<Work*>(aWork))();
        return nullptr;
    };
    KIVO_FUZZ_CHECK(pthread_create(&thread, &attributes, run, &aWork) == 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

}  // namespace KivoFuzz
