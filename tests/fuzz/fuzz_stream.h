// What the two stream receivers' targets share: the inner state of a stream (made once: it loads its
// parameters) with four buffers of the given sizes queued afresh for every input, taken back and
// queued again as the receiver hands them back.
#pragma once

#include "TqBuffer.h"
#include "TqChunkCodec.h"
#include "TqGvspAssembler.h"
#include "TqStreamState.h"
#include "fuzz_input.h"

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <memory>
#include <mutex>

namespace KivoFuzz {

class QueuedBuffers {
public:
    explicit QueuedBuffers(const std::array<uint32_t, 4>& aSizes) : state(new TqStreamLib::State) {
        for (size_t i = 0; i < aSizes.size(); ++i) {
            mBuffers[i] = std::make_unique<TqBuffer>();
            if (aSizes[i]) mBuffers[i]->Alloc(aSizes[i]);
        }
    }

    // Before an input (state lock held): no buffer anywhere but queued, the counters at zero.
    void Start(uint32_t aImageTimeoutMs) {
        state->counters.Reset();
        state->input.clear();
        state->output.clear();
        for (auto& buffer : mBuffers) {
            buffer->Reset();
            state->input.push_back(buffer.get());
        }
        state->imageTimeout = aImageTimeoutMs;
    }

    // Takes back what the receiver handed back (state lock held): no buffer states more acquired
    // bytes or payload than its memory holds, its payload can be read, and its chunks are a whole
    // chunk layout inside its memory.
    void TakeBack() {
        while (!state->output.empty()) {
            TqBuffer* buffer = state->output.front().buffer;
            state->output.pop_front();
            KIVO_FUZZ_CHECK(buffer->GetAcquiredSize() <= buffer->GetSize());
            KIVO_FUZZ_CHECK(buffer->GetPayloadLength() <= buffer->GetSize());
            Touch(buffer->GetDataPointer(), buffer->GetPayloadLength());
            CheckChunks(*buffer);
            uint32_t groups = 0;
            buffer->GetMissingPacketIdsCount(groups);
            for (uint32_t i = 0; i < groups; ++i) {
                uint32_t low = 0, high = 0;
                KIVO_FUZZ_CHECK(buffer->GetMissingPacketIds(i, low, high).IsOK() && low <= high);
            }
            buffer->Reset();
            state->input.push_back(buffer);
        }
    }

    // After an input whose blocks were all handed back: every buffer is queued again.
    void CheckAllBack() {
        TakeBack();
        KIVO_FUZZ_CHECK(state->input.size() == mBuffers.size());
    }

    TqStreamLib::State* const state;   // never freed: the target's inputs share it

private:
    // The buffer's chunks are those of the chunk bytes it shows, read as a layout: all of them, in
    // order, within its memory.
    static void CheckChunks(TqBuffer& aBuffer) {
        const uint8_t* area = aBuffer.GetChunkBytes();
        const uint32_t used = aBuffer.GetChunkBytesUsed();
        const uint32_t count = aBuffer.GetChunkCount();
        if (!count) return;
        const uint8_t* memory = aBuffer.GetDataPointer();
        KIVO_FUZZ_CHECK(area >= memory && area + used <= memory + aBuffer.GetSize());
        const auto chunks = TqChunk::Chunks({area, used});
        KIVO_FUZZ_CHECK(chunks && chunks->size() == count);
        for (uint32_t i = 0; i < count; ++i) {
            KIVO_FUZZ_CHECK(aBuffer.GetChunkRawDataByIndex(i) == area + (*chunks)[i].offset);
            KIVO_FUZZ_CHECK(aBuffer.GetChunkSizeByIndex(i) == (*chunks)[i].length);
            Touch(area + (*chunks)[i].offset, (*chunks)[i].length);
        }
    }

    std::array<std::unique_ptr<TqBuffer>, 4> mBuffers;
};

// One input of a GVSP target: the state locked, the buffers queued with the image timeout and the
// wait for a leader from the input's first byte, an assembler with the chunk hint of the next two,
// and a clock an hour in. Finish checks that every buffer came back.
class GvspRun {
public:
    using Clock = TqStreamLib::GvspAssembler::Clock;

    GvspRun(QueuedBuffers& aBuffers, Reader& aIn)
        : mBuffers(aBuffers), mGuard(aBuffers.state->lock), assembler(Started(aBuffers, aIn)) {
        assembler.SetChunkHint(aIn.U16());
    }
    // Moves the clock on by aMs (nothing for 0), handing back the blocks whose time ran out.
    void Advance(uint8_t aMs) {
        if (!aMs) return;
        now += std::chrono::milliseconds(aMs);
        assembler.Expire(now);
    }
    void Finish() {
        assembler.AbortAll();
        mBuffers.CheckAllBack();
    }

private:
    static TqStreamLib::State& Started(QueuedBuffers& aBuffers, Reader& aIn) {
        const uint8_t settings = aIn.U8();
        aBuffers.Start(10u * (settings >> 1));
        aBuffers.state->waitForLeader = settings & 1;
        return *aBuffers.state;
    }

    QueuedBuffers& mBuffers;
    std::lock_guard<std::mutex> mGuard;

public:
    TqStreamLib::GvspAssembler assembler;
    Clock::time_point now = Clock::time_point() + std::chrono::hours(1);
};

// What the kernel does with a datagram (or a coalesced read) of aBytes and a prepared message
// (GvspBatchBase::Received), cutting it when aCut, and the segment size of a coalesced read in its
// control message (none for 0, or when the message has no control memory).
inline void Receive(mmsghdr& aMessage, const Bytes& aBytes, size_t aSegment = 0, bool aCut = false,
                    uint32_t aAddress = 0, uint16_t aPort = 0) {
    TqStreamLib::GvspBatchBase::Received(aMessage, aBytes.data(), aBytes.size(), aAddress, aPort);
    if (aCut) aMessage.msg_hdr.msg_flags |= MSG_TRUNC;
    if (aMessage.msg_hdr.msg_control) TqStreamLib::GvspCoalescedBatch::SetSegmentSize(aMessage.msg_hdr, aSegment);
}

}  // namespace KivoFuzz
