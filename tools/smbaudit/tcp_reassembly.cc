#include "tools/smbaudit/tcp_reassembly.h"

#include <algorithm>
#include <utility>

namespace smbaudit {

TcpReassembler::TcpReassembler(Deliver deliver, ReassemblyLimits limits)
    : m_deliver(std::move(deliver)), m_limits(limits) {}

void TcpReassembler::Syn(uint32_t seq) {
    if (m_started) return;
    m_started = true;
    m_nextSeq = seq + 1;
}

void TcpReassembler::Data(uint32_t seq, const uint8_t* data, size_t len) {
    if (len == 0) return;
    if (!m_started) {
        // Picked up mid-connection: whatever came before this segment was never seen.
        m_started = true;
        m_nextSeq = seq;
        m_resyncPending = true;
    }
    int64_t start = Offset(seq);
    int64_t end = start + int64_t(len);
    if (end <= m_nextOffset) {
        m_counters.duplicateBytes += len;
        return;
    }
    if (start - m_nextOffset > kMaxWindow || m_nextOffset - start > kMaxWindow) {
        ++m_counters.outOfWindow;
        return;
    }
    if (start < m_nextOffset) {
        size_t trim = size_t(m_nextOffset - start);
        m_counters.duplicateBytes += trim;
        data += trim;
        len -= trim;
        start = m_nextOffset;
    }
    if (start == m_nextOffset) {
        Emit(data, len);
        DrainHeld();
    } else {
        Hold(start, data, len);
    }
    while (!m_held.empty() && GapIsLost()) SkipGap();
}

void TcpReassembler::PeerAck(uint32_t ack) {
    if (!m_started) return;
    int64_t offset = Offset(ack);
    if (offset > m_peerAckOffset && offset - m_nextOffset <= kMaxWindow) m_peerAckOffset = offset;
    while (!m_held.empty() && GapIsLost()) SkipGap();
}

void TcpReassembler::Flush() {
    while (!m_held.empty()) SkipGap();
}

void TcpReassembler::Discard() {
    if (m_held.empty()) return;
    int64_t end = m_nextOffset;
    for (const auto& [start, bytes] : m_held) end = std::max(end, start + int64_t(bytes.size()));
    ++m_counters.gaps;
    m_counters.gapBytes += uint64_t(end - m_nextOffset);
    m_nextSeq += uint32_t(end - m_nextOffset);
    m_nextOffset = end;
    m_held.clear();
    m_heldBytes = 0;
    m_resyncPending = true;
}

bool TcpReassembler::GapIsLost() const {
    // The receiver acknowledged bytes that the capture did not show: they will not be sent
    // again, so the gap will never fill.
    if (m_peerAckOffset > m_nextOffset) return true;
    return m_heldBytes > m_limits.maxHeldBytes || m_held.size() > m_limits.maxHeldSegments;
}

void TcpReassembler::Emit(const uint8_t* data, size_t len) {
    bool resync = m_resyncPending;
    m_resyncPending = false;
    m_nextOffset += int64_t(len);
    m_nextSeq += uint32_t(len);
    m_counters.deliveredBytes += len;
    if (resync) ++m_counters.resyncs;
    m_deliver(data, len, resync);
}

void TcpReassembler::Hold(int64_t offset, const uint8_t* data, size_t len) {
    ++m_counters.heldSegments;
    auto [it, inserted] = m_held.try_emplace(offset);
    if (!inserted) {
        // Same start twice: keep the longer copy; the shorter one adds nothing.
        if (it->second.size() >= len) {
            m_counters.duplicateBytes += len;
            return;
        }
        m_counters.duplicateBytes += it->second.size();
        m_heldBytes -= it->second.size();
    }
    it->second.assign(data, data + len);
    m_heldBytes += len;
}

void TcpReassembler::DrainHeld() {
    while (!m_held.empty()) {
        auto it = m_held.begin();
        if (it->first > m_nextOffset) return;
        std::vector<uint8_t> segment = std::move(it->second);
        int64_t start = it->first;
        m_held.erase(it);
        m_heldBytes -= segment.size();
        int64_t end = start + int64_t(segment.size());
        if (end <= m_nextOffset) {
            m_counters.duplicateBytes += segment.size();
            continue;
        }
        size_t skip = size_t(m_nextOffset - start);
        m_counters.duplicateBytes += skip;
        Emit(segment.data() + skip, segment.size() - skip);
    }
}

void TcpReassembler::SkipGap() {
    int64_t next = m_held.begin()->first;
    ++m_counters.gaps;
    m_counters.gapBytes += uint64_t(next - m_nextOffset);
    m_nextSeq += uint32_t(next - m_nextOffset);
    m_nextOffset = next;
    m_resyncPending = true;
    DrainHeld();
}

}  // namespace smbaudit
