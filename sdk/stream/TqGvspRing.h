// The GigE Vision receiver's packet ring (internal to the stream library): where the process may
// open a packet socket, the kernel copies the datagrams of one stream into memory it shares with the
// receiver, block after block (TPACKET_V3), and wakes the receiver once a block (4 MiB) is full or
// 4 ms old, instead of queueing each datagram on the stream's socket and waking the receiver
// for it. A socket filter in the kernel takes only IPv4 UDP datagrams without IP options that come
// in on the loopback interface for this host, from the device's address (and source port, once
// known) to the stream's address and port; everything else never reaches the ring.
//
// The ring takes what the kernel's IP and UDP layers would deliver to the stream's socket, each
// datagram once: fragments come reassembled (the kernel's own reassembly, of a fanout group of the
// ring alone), the IP header checksum is checked, the UDP checksum where the kernel neither made it
// (a sender of this host) nor checked it, and a segmented send (one frame of several datagrams, a
// virtio-net header before it telling their size) is split into its datagrams. Datagrams with IP
// options are left to the stream's socket, whose filter takes those alone while the ring is open: the
// kernel judges the options. Where the kernel cannot tell the segments of a send (before 6.2), there
// is no ring.
//
// The ring trusts no length the kernel wrote: a block's packets are read only within the block, and
// each frame only as far as its headers hold together (TqLinkFrame).
#pragma once

#include "TqGvspAssembler.h"
#include "TqLinkFrame.h"

#include <linux/if_packet.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

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
    // frame), the frames before it, and the datagrams of that frame (a segmented send) before the one
    // it stopped at.
    struct Cursor {
        size_t at = 0;
        uint32_t done = 0;
        size_t segment = 0;
    };

    // Hands each datagram of the blocks the kernel filled, in order, to aEach(const
    // TqLinkFrame::Datagram&) (frames the ring had to cut to aBad()), and gives the blocks back to
    // the kernel; at most aMostBlocks blocks. An aEach that answers false stops the walk at that
    // datagram: its block stays the receiver's, and the next call starts with that datagram.
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

    // The datagrams of one filled block of aSize bytes at aBlock, as Drain hands them.
    template <class Each, class Bad>
    static void Walk(const uint8_t* aBlock, size_t aSize, Each&& aEach, Bad&& aBad) {
        Cursor from;
        Walk(aBlock, aSize, aEach, aBad, from);
    }

    // The same from aCursor on: false when aEach stopped it (aCursor then names that datagram).
    template <class Each, class Bad>
    static bool Walk(const uint8_t* aBlock, size_t aSize, Each&& aEach, Bad&& aBad, Cursor& aCursor) {
        auto each = [&aEach](const TqLinkFrame::Datagram& aDatagram) {
            if constexpr (std::is_same_v<decltype(aEach(aDatagram)), bool>) {
                return aEach(aDatagram);
            } else {
                aEach(aDatagram);
                return true;
            }
        };
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
            if (packet.tp_mac < sizeof(tpacket3_hdr) + sizeof(TqLinkFrame::Offload) || packet.tp_mac > left ||
                packet.tp_snaplen > left - packet.tp_mac) {
                aBad();
                return true;
            }
            if (packet.tp_snaplen != packet.tp_len) {
                aBad();   // cut: the ring had no room for all of it
            } else {
                const size_t stopped = Deliver(aBlock + at + packet.tp_mac, packet.tp_snaplen, packet.tp_status,
                                               i == aCursor.done ? aCursor.segment : 0, each);
                if (stopped != kAll) {
                    aCursor = {at, i, stopped};
                    return false;
                }
            }
            if (packet.tp_next_offset == 0) return true;
            at += packet.tp_next_offset;
        }
        return true;
    }

    // What the kernel writes for one frame into a block (the tests' and fuzz targets' kernel): the
    // frame of aSize bytes at aFrame, after its packet header (aStatus) and a virtio-net header
    // (aSegment: the datagrams' size of a segmented send; 0: one datagram), at the end of aBlock,
    // which it begins with a block header when empty; the block header then counts it.
    static void Lay(std::vector<uint8_t>& aBlock, const uint8_t* aFrame, size_t aSize, uint32_t aStatus,
                    uint16_t aSegment = 0);

private:
    // Where the kernel puts an Ethernet frame after its packet header: past the packet header, the
    // link address it writes beside, the reserve the ring asks for and the virtio-net header. The
    // reserve puts a datagram's bytes where they lay in the ring without the virtio-net header, at the
    // same alignment for the copy out of the ring.
    static constexpr int kReserve = 6;
    static constexpr size_t kFrameAt = TPACKET_ALIGN(TPACKET_ALIGN(sizeof(tpacket3_hdr)) + sizeof(sockaddr_ll) + 16) +
                                       kReserve + sizeof(TqLinkFrame::Offload) - TqLinkFrame::kEthernetSize;
    static constexpr size_t kAll = ~size_t(0);

    // The datagrams of a frame of aSize bytes at aFrame (packet status aStatus; its virtio-net header
    // before it) that the kernel's IP and UDP layers would deliver, from its datagram aFrom on, to
    // aEach; where aEach answered false, the index of that datagram, else kAll. A frame the kernel
    // would drop hands none.
    template <class Each>
    static size_t Deliver(const uint8_t* aFrame, size_t aSize, uint32_t aStatus, size_t aFrom, Each& aEach) {
        const auto datagram = TqLinkFrame::Read(aFrame, aSize);
        if (!datagram) return kAll;
        // The kernel made the UDP checksum (a sender of this host leaves it to be finished) or checked it.
        const bool summed = aStatus & (TP_STATUS_CSUMNOTREADY | TP_STATUS_CSUM_VALID);
        const uint8_t* header = aFrame - sizeof(TqLinkFrame::Offload);
        if (header[offsetof(TqLinkFrame::Offload, segments)] == TqLinkFrame::Offload::kNone) {
            if (!summed && !TqLinkFrame::ChecksumHolds(*datagram)) return kAll;
            return aFrom > 0 || aEach(*datagram) ? kAll : 0;
        }
        // A segmented send: datagrams of the segment size, the last shorter, each with the headers.
        TqLinkFrame::Offload offload;
        __builtin_memcpy(&offload, header, sizeof offload);
        const size_t segment = offload.segmentSize;
        if (offload.segments != TqLinkFrame::Offload::kUdp || !summed || !segment || datagram->size <= segment)
            return kAll;
        size_t index = 0, stopped = kAll;
        SplitCoalesced(datagram->data, datagram->size, segment, [&](DatagramView aSegment) {
            if (stopped != kAll || index++ < aFrom) return;
            TqLinkFrame::Datagram one = *datagram;
            one.data = aSegment.data;
            one.size = aSegment.size;
            if (!aEach(one)) stopped = index - 1;
        });
        return stopped;
    }

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
