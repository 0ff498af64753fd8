// Response-time statistics: the histogram's median and 99th percentile against the exact
// ones of the same times (at most 12.5% above), counts and maxima exact, workers merged.
#include "tools/smbaudit/rtt_stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace smbaudit {
namespace {

TEST(RttStats, PercentilesWithinOneBucketOfTheExactOnes) {
    std::vector<uint64_t> spread, skewed, tiny = {3, 1, 2}, huge = {uint64_t(1) << 62, 7};
    for (uint64_t i = 1; i <= 1000; ++i) spread.push_back(i * 37 % 5000 + 100);
    for (uint64_t i = 0; i < 1000; ++i) skewed.push_back(i < 985 ? 250 + i % 10 : 90000 + i);
    for (const std::vector<uint64_t>& times : {spread, skewed, tiny, huge}) {
        RttStats a, b;  // two workers' halves
        for (size_t i = 0; i < times.size(); ++i) (i % 2 ? a : b).Add("10.0.0.2:445", RecordKind::Read, times[i]);
        a.Add("10.0.0.3:445", RecordKind::Read, 1);  // another server, kept apart
        a.Merge(b);
        std::vector<uint64_t> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        auto exact = [&](double p) { return sorted[size_t(std::ceil(p * double(sorted.size()))) - 1]; };
        const RttSummary s = a.Summary("10.0.0.2:445", RecordKind::Read);
        EXPECT_EQ(s.count, times.size());
        EXPECT_EQ(s.max, sorted.back());
        for (auto [got, want] : {std::pair{s.median, exact(0.5)}, {s.p99, exact(0.99)}}) {
            EXPECT_GE(got, want);
            EXPECT_LE(got, want + want / 8);
        }
    }
}

}  // namespace
}  // namespace smbaudit
