// The content of one open in one direction (read or written) as it passes in pieces with
// file offsets: its SHA-256 and MD5, computed incrementally in offset order, and the byte
// ranges observed. Nothing of the file is kept but the out-of-order pieces that wait for the
// bytes before them, and those only up to a bound.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "tools/smbaudit/audit_record.h"

struct evp_md_ctx_st;

namespace smbaudit {

// A byte range [begin, end) of a file.
struct ByteRange {
    uint64_t begin = 0;
    uint64_t end = 0;
};

// Bytes that out-of-order pieces may hold, together, in all the streams that share one
// HeldBudget (one per worker), on top of each stream's own limit.
struct HeldBudget {
    size_t limit = 0;
    size_t used = 0;
};

class ContentStream {
public:
    // Separate runs of observed bytes that the coverage keeps; a piece that would start one
    // more is not counted in the coverage, and gives the hash up.
    static constexpr size_t kMaxRanges = 64;

    // Written bytes that come again before the hash position (a client writing a byte, then
    // the whole block) are compared with the last kRecentBytes hashed: the same bytes are
    // dropped, anything else gives the hash up.
    static constexpr size_t kRecentBytes = 256;

    // `rereadsAllowed`: bytes seen again before the hash position are dropped unchecked (a
    // file read twice); otherwise they are checked as above (data written twice may differ).
    ContentStream(bool rereadsAllowed, size_t maxHeldBytes, HeldBudget& budget);
    ~ContentStream();
    ContentStream(const ContentStream&) = delete;
    ContentStream& operator=(const ContentStream&) = delete;

    void Add(uint64_t offset, const uint8_t* data, size_t len);

    bool Seen() const { return m_seen; }
    uint64_t CoveredBytes() const;
    const std::vector<ByteRange>& Ranges() const { return m_ranges; }
    // The digests, when the bytes seen are exactly [0, size); call once, at the end. No
    // size (not known, or the transfer was cut off): the hash is partial.
    void Finish(FileDigest& out, std::optional<uint64_t> size);
    size_t HeldBytes() const { return m_heldBytes; }

private:
    // Drops the part of a piece before the hash position; false when it contradicts what was hashed.
    bool SkipHashed(uint64_t& offset, const uint8_t*& data, size_t& len) const;
    void Hash(const uint8_t* data, size_t len);
    void Hold(uint64_t offset, const uint8_t* data, size_t len);
    void DrainHeld();
    void GiveUp();
    void Cover(uint64_t begin, uint64_t end);

    const bool m_rereadsAllowed;
    const size_t m_maxHeld;
    HeldBudget& m_budget;
    bool m_seen = false;
    bool m_gaveUp = false;
    uint64_t m_hashed = 0;  // the hash covers [0, m_hashed)
    evp_md_ctx_st* m_sha256 = nullptr;
    evp_md_ctx_st* m_md5 = nullptr;
    std::map<uint64_t, std::vector<uint8_t>> m_held;  // by offset, none overlapping
    size_t m_heldBytes = 0;
    std::vector<ByteRange> m_ranges;  // sorted, disjoint, not touching
    std::vector<uint8_t> m_recent;    // the last bytes hashed (written data only)
};

}  // namespace smbaudit
