// The reassembler against crafted segment sequences: what reaches the context, in which
// chunks, and where the resynchronisation flag is set.
#include "tools/smbaudit/tcp_reassembly.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace smbaudit {
namespace {

struct Chunk {
    std::string text;
    bool resync;
    bool operator==(const Chunk&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Chunk& c) { return os << "{\"" << c.text << "\", " << c.resync << "}"; }

// One step fed to the reassembler. Sequence numbers count from the ISN 1000, so the first
// payload byte after the SYN is at 1001.
struct Step {
    enum Kind { Syn, Data, Ack, Flush } kind;
    uint32_t seq = 0;
    std::string text;
};
Step S(uint32_t isn) { return {Step::Syn, isn, ""}; }
Step D(uint32_t seq, std::string text) { return {Step::Data, seq, std::move(text)}; }
Step A(uint32_t ack) { return {Step::Ack, ack, ""}; }
Step F() { return {Step::Flush, 0, ""}; }

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<Chunk> expected;
    uint64_t gaps;
    ReassemblyLimits limits = {};
};

class ReassemblyCases : public ::testing::TestWithParam<Case> {};

TEST_P(ReassemblyCases, DeliversExpectedChunks) {
    const Case& c = GetParam();
    std::vector<Chunk> got;
    TcpReassembler r(
        [&](const uint8_t* d, size_t n, bool resync) { got.push_back({std::string(d, d + n), resync}); }, c.limits);
    for (const Step& s : c.steps) {
        switch (s.kind) {
        case Step::Syn: r.Syn(s.seq); break;
        case Step::Data: r.Data(s.seq, reinterpret_cast<const uint8_t*>(s.text.data()), s.text.size()); break;
        case Step::Ack: r.PeerAck(s.seq); break;
        case Step::Flush: r.Flush(); break;
        }
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(r.Counters().gaps, c.gaps);
    EXPECT_EQ(r.HeldBytes(), 0u) << "everything fed was either delivered or is still waiting";
}

const Case kCases[] = {
    {"InOrder", {S(1000), D(1001, "abc"), D(1004, "def")}, {{"abc", false}, {"def", false}}, 0},
    {"EmptySegmentsIgnored", {S(1000), D(1001, ""), D(1001, "abc")}, {{"abc", false}}, 0},
    {"ReorderedPairWaitsForGap",
     {S(1000), D(1004, "def"), D(1001, "abc"), D(1007, "g")},
     {{"abc", false}, {"def", false}, {"g", false}},
     0},
    {"ThreeHeldDrainInOrder",
     {S(1000), D(1007, "ghi"), D(1004, "def"), D(1010, "j"), D(1001, "abc")},
     {{"abc", false}, {"def", false}, {"ghi", false}, {"j", false}},
     0},
    {"RetransmissionDropped", {S(1000), D(1001, "abc"), D(1001, "abc"), D(1004, "d")}, {{"abc", false}, {"d", false}}, 0},
    {"OverlapFrontTrimmedFirstCopyWins",
     {S(1000), D(1001, "abcd"), D(1003, "XYef")},
     {{"abcd", false}, {"ef", false}},
     0},
    {"HeldOverlappingHeldTrimmedAtDrain",
     {S(1000), D(1005, "efgh"), D(1003, "cdEF"), D(1001, "ab")},
     {{"ab", false}, {"cdEF", false}, {"gh", false}},
     0},
    {"SameStartKeepsLongerHeldCopy",
     {S(1000), D(1004, "d"), D(1004, "def"), D(1001, "abc")},
     {{"abc", false}, {"def", false}},
     0},
    {"MidstreamStartFlagsFirstChunkOnly",
     {D(5000, "abc"), D(5003, "def")},
     {{"abc", true}, {"def", false}},
     0},
    {"GapGivenUpWhenPeerAcknowledgesUnseenBytes",
     {S(1000), D(1001, "abc"), D(1010, "jkl"), D(1013, "mno"), A(1016)},
     {{"abc", false}, {"jkl", true}, {"mno", false}},
     1},
    {"AckBeyondBeforeSegmentArrivesStillResyncsOnce",
     {S(1000), D(1001, "abc"), A(1010), D(1010, "jkl"), D(1013, "mno")},
     {{"abc", false}, {"jkl", true}, {"mno", false}},
     1},
    {"AckInsideDeliveredDataChangesNothing",
     {S(1000), D(1001, "abc"), A(1003), D(1007, "ghi"), D(1004, "def")},
     {{"abc", false}, {"def", false}, {"ghi", false}},
     0},
    {"FlushGivesUpEachGapOnce",
     {S(1000), D(1001, "a"), D(1005, "e"), D(1006, "f"), D(1010, "j"), F()},
     {{"a", false}, {"e", true}, {"f", false}, {"j", true}},
     2},
    {"HoldingBoundGivesUpGap",
     {S(1000), D(1001, "a"), D(1003, "cc"), D(1005, "ee"), D(1007, "g")},
     {{"a", false}, {"cc", true}, {"ee", false}, {"g", false}},
     1,
     ReassemblyLimits{4, 100}},
    {"SegmentCountBoundGivesUpGap",
     {S(1000), D(1003, "c"), D(1005, "e"), D(1004, "d")},
     {{"c", true}, {"d", false}, {"e", false}},
     1,
     ReassemblyLimits{1000, 1}},
    {"LateFillAfterGiveUpIsDuplicate",
     {S(1000), D(1005, "e"), F(), D(1001, "abcd"), D(1006, "f")},
     {{"e", true}, {"f", false}},
     1},
    {"SequenceWrapsAround",
     {S(0xFFFFFFFE), D(0xFFFFFFFF, "ab"), D(1, "cd")},
     {{"ab", false}, {"cd", false}},
     0},
    {"ReorderedAcrossWrap",
     {S(0xFFFFFFFD), D(0, "cd"), D(0xFFFFFFFE, "ab")},
     {{"ab", false}, {"cd", false}},
     0},
    {"FarFutureSegmentIgnored",
     {S(1000), D(1001 + 0x60000000u, "zz"), D(1001, "abc"), F()},
     {{"abc", false}},
     0},
    {"SynRetransmittedAfterDataIgnored", {S(1000), D(1001, "abc"), S(1000), D(1004, "d")}, {{"abc", false}, {"d", false}}, 0},
};

INSTANTIATE_TEST_SUITE_P(Sequences, ReassemblyCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Reassembly, CountersAccountForEveryByte) {
    TcpReassembler r([](const uint8_t*, size_t, bool) {});
    const std::string data = "0123456789";
    auto feed = [&](uint32_t seq, size_t off, size_t n) {
        r.Data(seq, reinterpret_cast<const uint8_t*>(data.data()) + off, n);
    };
    r.Syn(99);
    feed(100, 0, 4);   // 0123
    feed(102, 2, 4);   // 23 duplicate, 45 new
    feed(108, 8, 2);   // held
    r.Flush();         // gap of 2 (67)
    const ReassemblyCounters& c = r.Counters();
    EXPECT_EQ(c.deliveredBytes, 8u);
    EXPECT_EQ(c.duplicateBytes, 2u);
    EXPECT_EQ(c.gapBytes, 2u);
    EXPECT_EQ(c.heldSegments, 1u);
    EXPECT_EQ(c.resyncs, 1u);
}

}  // namespace
}  // namespace smbaudit
