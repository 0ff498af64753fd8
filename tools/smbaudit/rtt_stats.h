// Response times (rtt_us) per server and record kind, for --stats: count, median, 99th
// percentile and maximum. Memory is fixed per (server, kind): a histogram of log-linear
// buckets (exact below 16 us, then eight per power of two, so a percentile is reported as
// its bucket's upper bound, at most 12.5% above the true value); at most kMaxServers servers
// are kept apart, the others are counted together under "other".
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "tools/smbaudit/audit_record.h"

namespace smbaudit {

struct RttSummary {
    uint64_t count = 0, median = 0, p99 = 0, max = 0;
};

class RttStats {
public:
    static constexpr size_t kMaxServers = 256;
    static constexpr size_t kBuckets = 16 + 60 * 8;

    void Add(std::string_view server, RecordKind kind, uint64_t micros);
    // Adds another worker's times.
    void Merge(const RttStats& other);
    void Print(std::FILE* out) const;
    RttSummary Summary(std::string_view server, RecordKind kind) const;

private:
    // The bucket of a time, and the largest time in a bucket.
    static size_t Bucket(uint64_t micros);
    static uint64_t BucketTop(size_t bucket);

    struct Histogram {
        uint64_t count = 0;
        uint64_t max = 0;
        std::array<uint64_t, kBuckets> buckets{};
        uint64_t Percentile(double p) const;
        RttSummary Summarise() const { return {count, Percentile(0.5), Percentile(0.99), max}; }
    };
    Histogram& Slot(std::string_view server, RecordKind kind);

    std::map<std::pair<std::string, RecordKind>, Histogram> m_histograms;
    size_t m_servers = 0;
};

}  // namespace smbaudit
