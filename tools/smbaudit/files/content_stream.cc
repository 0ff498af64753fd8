#include "tools/smbaudit/files/content_stream.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace smbaudit {

ContentStream::ContentStream(bool rereadsAllowed, size_t maxHeldBytes, HeldBudget& budget)
    : m_rereadsAllowed(rereadsAllowed), m_maxHeld(maxHeldBytes), m_budget(budget) {}

ContentStream::~ContentStream() {
    GiveUp();
    EVP_MD_CTX_free(m_sha256);
    EVP_MD_CTX_free(m_md5);
}

void ContentStream::Add(uint64_t offset, const uint8_t* data, size_t len) {
    len = size_t(std::min<uint64_t>(len, std::numeric_limits<uint64_t>::max() - offset));
    if (len == 0 || !data) return;
    m_seen = true;
    Cover(offset, offset + len);
    if (m_gaveUp) return;
    if (!SkipHashed(offset, data, len)) return GiveUp();
    if (len == 0) return;
    if (offset > m_hashed) return Hold(offset, data, len);
    Hash(data, len);
    DrainHeld();
}

bool ContentStream::SkipHashed(uint64_t& offset, const uint8_t*& data, size_t& len) const {
    if (offset >= m_hashed) return true;
    const size_t seen = size_t(std::min<uint64_t>(offset + len, m_hashed) - offset);
    if (!m_rereadsAllowed) {
        const uint64_t recentStart = m_hashed - m_recent.size();
        if (offset < recentStart || std::memcmp(m_recent.data() + (offset - recentStart), data, seen) != 0)
            return false;
    }
    offset += seen;
    data += seen;
    len -= seen;
    return true;
}

void ContentStream::Hash(const uint8_t* data, size_t len) {
    if (!m_sha256) {
        m_sha256 = EVP_MD_CTX_new();
        m_md5 = EVP_MD_CTX_new();
        if (!m_sha256 || !m_md5 || EVP_DigestInit_ex(m_sha256, EVP_sha256(), nullptr) != 1 ||
            EVP_DigestInit_ex(m_md5, EVP_md5(), nullptr) != 1)
            return GiveUp();
    }
    if (EVP_DigestUpdate(m_sha256, data, len) != 1 || EVP_DigestUpdate(m_md5, data, len) != 1) return GiveUp();
    m_hashed += len;
    if (m_rereadsAllowed) return;
    const size_t keep = std::min(len, kRecentBytes);
    m_recent.insert(m_recent.end(), data + len - keep, data + len);
    if (m_recent.size() > kRecentBytes) m_recent.erase(m_recent.begin(), m_recent.end() - kRecentBytes);
}

void ContentStream::Hold(uint64_t offset, const uint8_t* data, size_t len) {
    const uint64_t end = offset + len;
    auto next = m_held.lower_bound(offset);
    const bool overlapsNext = next != m_held.end() && next->first < end;
    const bool overlapsPrev = next != m_held.begin() && std::prev(next)->first + std::prev(next)->second.size() > offset;
    const bool overBudget = m_heldBytes + len > m_maxHeld || (m_budget.limit && m_budget.used + len > m_budget.limit);
    if (overlapsNext || overlapsPrev || overBudget) return GiveUp();
    m_held.emplace_hint(next, offset, std::vector<uint8_t>(data, data + len));
    m_heldBytes += len;
    m_budget.used += len;
}

void ContentStream::DrainHeld() {
    while (!m_gaveUp && !m_held.empty() && m_held.begin()->first <= m_hashed) {
        auto node = m_held.extract(m_held.begin());
        uint64_t offset = node.key();
        const uint8_t* data = node.mapped().data();
        size_t len = node.mapped().size();
        m_heldBytes -= len;
        m_budget.used -= len;
        if (!SkipHashed(offset, data, len)) return GiveUp();
        Hash(data, len);
    }
}

void ContentStream::GiveUp() {
    m_gaveUp = true;
    m_recent = {};
    m_budget.used -= m_heldBytes;
    m_heldBytes = 0;
    m_held.clear();
}

void ContentStream::Cover(uint64_t begin, uint64_t end) {
    // The first range that ends at or after `begin` (touching ranges merge).
    auto first = std::lower_bound(m_ranges.begin(), m_ranges.end(), begin,
                                  [](const ByteRange& r, uint64_t b) { return r.end < b; });
    auto last = first;
    while (last != m_ranges.end() && last->begin <= end) ++last;
    if (first == last) {
        if (m_ranges.size() >= kMaxRanges) {
            return GiveUp();
        }
        m_ranges.insert(first, ByteRange{begin, end});
        return;
    }
    first->begin = std::min(first->begin, begin);
    first->end = std::max(std::prev(last)->end, end);
    m_ranges.erase(first + 1, last);
}

uint64_t ContentStream::CoveredBytes() const {
    uint64_t n = 0;
    for (const ByteRange& r : m_ranges) n += r.end - r.begin;
    return n;
}

void ContentStream::Finish(FileDigest& out, std::optional<uint64_t> size) {
    out.seen = m_seen;
    out.coveredBytes = CoveredBytes();
    out.complete = size && m_seen && !m_gaveUp && m_hashed == *size && m_ranges.size() == 1 &&
                   m_ranges[0].begin == 0 && m_ranges[0].end == *size;
    if (out.complete) {
        out.complete = EVP_DigestFinal_ex(m_sha256, out.sha256.data(), nullptr) == 1 &&
                       EVP_DigestFinal_ex(m_md5, out.md5.data(), nullptr) == 1;
    }
    GiveUp();
}

}  // namespace smbaudit
