#include "tools/smbaudit/rtt_stats.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace smbaudit {

size_t RttStats::Bucket(uint64_t v) {
    if (v < 16) return size_t(v);
    const int e = std::bit_width(v) - 1;  // 4..63
    return 16 + size_t(e - 4) * 8 + size_t((v >> (e - 3)) & 7);
}

uint64_t RttStats::BucketTop(size_t b) {
    if (b < 16) return b;
    const int e = int((b - 16) / 8) + 4;
    const uint64_t sub = (b - 16) % 8;
    const uint64_t base = (uint64_t(1) << e) + (sub << (e - 3));
    return base + (uint64_t(1) << (e - 3)) - 1;
}

RttStats::Histogram& RttStats::Slot(std::string_view server, RecordKind kind) {
    auto it = m_histograms.lower_bound({std::string(server), RecordKind()});
    const bool known = it != m_histograms.end() && it->first.first == server;
    if (!known && m_servers >= kMaxServers) return m_histograms[{"other", kind}];
    if (!known) ++m_servers;
    return m_histograms[{std::string(server), kind}];
}

void RttStats::Add(std::string_view server, RecordKind kind, uint64_t micros) {
    Histogram& h = Slot(server, kind);
    ++h.count;
    h.max = std::max(h.max, micros);
    ++h.buckets[Bucket(micros)];
}

void RttStats::Merge(const RttStats& other) {
    for (const auto& [key, o] : other.m_histograms) {
        Histogram& h = Slot(key.first, key.second);
        h.count += o.count;
        h.max = std::max(h.max, o.max);
        for (size_t i = 0; i < kBuckets; ++i) h.buckets[i] += o.buckets[i];
    }
}

uint64_t RttStats::Histogram::Percentile(double p) const {
    // Nearest rank: the bucket of the ceil(p * count)-th smallest time.
    const uint64_t rank = std::max<uint64_t>(1, uint64_t(std::ceil(p * double(count))));
    uint64_t seen = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
        seen += buckets[i];
        if (seen >= rank) return std::min(BucketTop(i), max);
    }
    return max;
}

void RttStats::Print(std::FILE* out) const {
    if (m_histograms.empty()) return;
    std::fprintf(out, "response times (us): server command count median p99 max\n");
    for (const auto& [key, h] : m_histograms) {
        const RttSummary s = h.Summarise();
        std::fprintf(out, "  %s %s %llu %llu %llu %llu\n", key.first.c_str(), RecordKindName(key.second),
                     (unsigned long long)s.count, (unsigned long long)s.median, (unsigned long long)s.p99,
                     (unsigned long long)s.max);
    }
}

RttSummary RttStats::Summary(std::string_view server, RecordKind kind) const {
    auto it = m_histograms.find({std::string(server), kind});
    return it == m_histograms.end() ? RttSummary() : it->second.Summarise();
}

}  // namespace smbaudit
