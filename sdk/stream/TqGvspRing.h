// The GigE Vision receiver's packet ring (internal to the stream library): where the process may
// open a packet socket, the kernel copies the datagrams of one stream into memory it shares with the
// receiver, block after block (TPACKET_V3), and wakes the receiver once a block (4 MiB) is full or
// 4 ms old, instead of queueing each datagram on the stream's socket and waking the receiver
// for it. A socket filter in the kernel takes only IPv4 UDP datagrams that come in on the loopback
// interface from the device's address (and source port, once known) to the stream's address and
// port; everything else never reaches the ring. The stream's UDP socket stays bound to the port (its
// datagrams go to the ring, and the socket itself drops them).
//
// The ring trusts no length the kernel wrote: a block's packets are read only within the block, and
// each frame only as far as its headers hold together (TqLinkFrame).
#pragma once

#include "TqLinkFrame.h"

#include <linux/if_packet.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace TqStreamLib {

class GvspRing {
public:
    // Who may reach the ring (host order): datagrams from aSource (and aSourcePort unless 0) to
    // aDestination:aDestinationPort.
    struct Ends {
        uint32_t source = 0;
        uint16_t sourcePort = 0;
        uint32_t destination = 0;
        uint16_t destinationPort = 0;
    };
    static constexpr size_t kBlockSize = size_t(4) << 20;
    static constexpr unsigned kBlockTimeoutMs = 4;

    GvspRing() = default;
    GvspRing(const GvspRing&) = delete;
    GvspRing& operator=(const GvspRing&) = delete;
    ~GvspRing() { Close(); }

    // Opens a ring of aBlocks blocks for the datagrams of aEnds; false (errno set) where the process
    // may not open a packet socket or the kernel refuses the ring.
    bool Open(const Ends& aEnds, unsigned aBlocks);
    // Lets only the datagrams of aEnds in from now on.
    bool Filter(const Ends& aEnds);
    void Close();
    bool IsOpen() const { return mFd >= 0; }
    // The descriptor to poll: readable once a block is the receiver's.
    int Fd() const { return mFd; }

    // Whether the kernel handed over the next block, and whether it handed over half of the ring.
    bool Ready() const { return Handed(mNext); }
    bool HalfFull() const { return mBlocks && Handed((mNext + mBlocks / 2) % mBlocks); }

    // Where a block's walk stopped: the offset of the frame it stopped at (0: the block's first
    // frame) and the frames before it.
    struct Cursor {
        size_t at = 0;
        uint32_t done = 0;
    };

    // Hands each datagram of the blocks the kernel filled, in order, to aEach(const
    // TqLinkFrame::Datagram&) (frames that are no whole datagram to aBad()), and gives the blocks
    // back to the kernel; at most aMostBlocks blocks. An aEach that answers false stops the walk at
    // that datagram: its block stays the receiver's, and the next call starts with that datagram.
    // The blocks handed.
    template <class Each, class Bad>
    unsigned Drain(unsigned aMostBlocks, Each&& aEach, Bad&& aBad) {
        unsigned blocks = 0;
        for (; blocks < aMostBlocks; ++blocks) {
            if (!Ready()) break;
            uint8_t* block = mMap + size_t(mNext) * kBlockSize;
            if (!Walk(block, kBlockSize, aEach, aBad, mCursor)) break;
            mCursor = {};
            __atomic_store_n(&reinterpret_cast<tpacket_block_desc*>(block)->hdr.bh1.block_status, TP_STATUS_KERNEL,
                             __ATOMIC_RELEASE);
            mNext = (mNext + 1) % mBlocks;
        }
        return blocks;
    }

    // The frames of one filled block of aSize bytes at aBlock, as Drain hands them.
    template <class Each, class Bad>
    static void Walk(const uint8_t* aBlock, size_t aSize, Each&& aEach, Bad&& aBad) {
        Cursor from;
        Walk(aBlock, aSize, aEach, aBad, from);
    }

    // The same from aCursor on: false when aEach stopped it (aCursor then names that datagram).
    template <class Each, class Bad>
    static bool Walk(const uint8_t* aBlock, size_t aSize, Each&& aEach, Bad&& aBad, Cursor& aCursor) {
        if (aSize < sizeof(tpacket_block_desc)) return true;
        tpacket_hdr_v1 header;
        __builtin_memcpy(&header, &reinterpret_cast<const tpacket_block_desc*>(aBlock)->hdr.bh1, sizeof header);
        size_t at = aCursor.at ? aCursor.at : header.offset_to_first_pkt;
        for (uint32_t i = aCursor.done; i < header.num_pkts; ++i) {
            if (at < sizeof(tpacket_block_desc) || at > aSize || aSize - at < sizeof(tpacket3_hdr)) return true;
            tpacket3_hdr packet;
            __builtin_memcpy(&packet, aBlock + at, sizeof packet);
            // The next frame's headers, which the kernel wrote on another core, are fetched while
            // this one is processed.
            if (packet.tp_next_offset && packet.tp_next_offset < aSize - at) {
                const uint8_t* next = aBlock + at + packet.tp_next_offset;
                __builtin_prefetch(next);
                __builtin_prefetch(next + 64);
                __builtin_prefetch(next + 128);
            }
            const size_t left = aSize - at;
            if (packet.tp_mac < sizeof(tpacket3_hdr) || packet.tp_mac > left || packet.tp_snaplen > left - packet.tp_mac) {
                aBad();
                return true;
            }
            const auto datagram = packet.tp_snaplen == packet.tp_len
                                      ? TqLinkFrame::Read(aBlock + at + packet.tp_mac, packet.tp_snaplen)
                                      : std::nullopt;   // cut: the ring had no room for all of it
            if (!datagram) {
                aBad();
            } else if constexpr (std::is_same_v<decltype(aEach(*datagram)), bool>) {
                if (!aEach(*datagram)) {
                    aCursor = {at, i};
                    return false;
                }
            } else {
                aEach(*datagram);
            }
            if (packet.tp_next_offset == 0) return true;
            at += packet.tp_next_offset;
        }
        return true;
    }

private:
    bool Handed(unsigned aBlock) const {
        if (!mMap) return false;
        const auto* block = reinterpret_cast<const tpacket_block_desc*>(mMap + size_t(aBlock) * kBlockSize);
        return __atomic_load_n(&block->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER;
    }

    int mFd = -1;
    unsigned long mInode = 0;   // its socket's, told to the senders of this process
    uint8_t* mMap = nullptr;
    unsigned mBlocks = 0, mNext = 0;
    Cursor mCursor;   // where the walk of block mNext stopped
};

}  // namespace TqStreamLib
