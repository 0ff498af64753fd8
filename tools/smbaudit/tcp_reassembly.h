// Reassembly of one direction of a TCP connection into the in-order byte stream that a
// CSMBContext expects. No libpcap here: it is fed sequence numbers and payloads.
//
// - In-order bytes are delivered at once, straight from the caller's buffer.
// - Bytes already delivered (retransmissions, the overlapping front of a segment) are
//   trimmed; the first copy of a byte wins.
// - A segment beyond the next expected byte is copied and held until the gap before it
//   fills. Holding is bounded; see ReassemblyLimits.
// - A gap is given up when it cannot fill any more: the receiver acknowledged bytes the
//   capture never showed (packets lost by the capture), the held bytes exceed the bounds,
//   or the stream ends (Flush). What follows a given-up gap is delivered with the
//   resynchronisation flag, once per gap. A stream first seen without its SYN (a capture
//   that starts mid-connection) starts with the flag too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace smbaudit {

struct ReassemblyLimits {
    size_t maxHeldBytes = 1u << 20;  // out-of-order bytes held per direction
    size_t maxHeldSegments = 1024;   // out-of-order segments held per direction
};

struct ReassemblyCounters {
    uint64_t deliveredBytes = 0;
    uint64_t duplicateBytes = 0;   // trimmed: retransmitted or overlapping bytes
    uint64_t heldSegments = 0;     // segments that arrived ahead of a gap
    uint64_t gaps = 0;             // gaps given up (each delivers one resync flag)
    uint64_t gapBytes = 0;         // bytes never seen in those gaps
    uint64_t resyncs = 0;          // chunks delivered with the resynchronisation flag
    uint64_t outOfWindow = 0;      // segments too far from the stream to be believed
};

class TcpReassembler {
public:
    // Receives the stream in order. `resync` is true when bytes were lost before `data`.
    using Deliver = std::function<void(const uint8_t* data, size_t len, bool resync)>;

    explicit TcpReassembler(Deliver deliver, ReassemblyLimits limits = {});

    // The direction's SYN: the stream starts at seq + 1. Ignored once the stream has started.
    void Syn(uint32_t seq);
    // A segment's payload (the sequence number of its first payload byte).
    void Data(uint32_t seq, const uint8_t* data, size_t len);
    // The other direction acknowledged everything before `ack`.
    void PeerAck(uint32_t ack);
    // The stream is over: delivers everything held, giving up every gap.
    void Flush();
    // Memory is short: drops everything held, as if those bytes had never been captured;
    // the stream goes on after the last of them with the resynchronisation flag.
    void Discard();

    bool Started() const { return m_started; }
    size_t HeldBytes() const { return m_heldBytes; }
    // Storage held, for memory accounting (payload bytes and per-segment overhead).
    size_t Footprint() const { return m_heldBytes + m_held.size() * kSegmentOverhead; }
    const ReassemblyCounters& Counters() const { return m_counters; }

private:
    static constexpr size_t kSegmentOverhead = 64;
    // Sequence numbers further than this from the next expected byte are not part of the
    // stream (the receive window of TCP cannot exceed 2^30 with window scaling).
    static constexpr int64_t kMaxWindow = int64_t(1) << 30;

    int64_t Offset(uint32_t seq) const { return m_nextOffset + int32_t(seq - m_nextSeq); }
    void Emit(const uint8_t* data, size_t len);
    void Hold(int64_t offset, const uint8_t* data, size_t len);
    void DrainHeld();
    void SkipGap();
    bool GapIsLost() const;

    Deliver m_deliver;
    ReassemblyLimits m_limits;
    bool m_started = false;
    bool m_resyncPending = false;
    uint32_t m_nextSeq = 0;      // sequence number of the next expected byte
    int64_t m_nextOffset = 0;    // the same as a stream offset, which never wraps
    int64_t m_peerAckOffset = 0; // highest acknowledged offset seen
    std::map<int64_t, std::vector<uint8_t>> m_held;
    size_t m_heldBytes = 0;
    ReassemblyCounters m_counters;
};

}  // namespace smbaudit
