// The reassembler against crafted segment sequences: what reaches the context, in which
// chunks, and where the resynchronisation flag is set.
#include "tools/smbaudit/tcp_reassembly.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace smbaudit {
namespace {

// One step fed to the reassembler. Sequence numbers count from the ISN 1000, so the first
// payload byte after the SYN is at 1001.
struct Step {
    enum Kind { Syn, Data, Ack, Flush, Discard } kind;
    uint32_t seq = 0;
    std::string text;
};
Step S(uint32_t isn) { return {Step::Syn, isn, ""}; }
Step D(uint32_t seq, std::string text) { return {Step::Data, seq, std::move(text)}; }
Step A(uint32_t ack) { return {Step::Ack, ack, ""}; }
Step F() { return {Step::Flush, 0, ""}; }
Step X() { return {Step::Discard, 0, ""}; }  // what the global memory bound does to a connection

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> expected;  // delivered chunks, "!" before those flagged for resync
    uint64_t gaps;
    ReassemblyLimits limits = {};
};

class ReassemblyCases : public ::testing::TestWithParam<Case> {};

TEST_P(ReassemblyCases, DeliversExpectedChunks) {
    const Case& c = GetParam();
    std::vector<std::string> got;
    TcpReassembler r(
        [&](const uint8_t* d, size_t n, bool resync) { got.push_back((resync ? "!" : "") + std::string(d, d + n)); },
        c.limits);
    for (const Step& s : c.steps) {
        switch (s.kind) {
        case Step::Syn: r.Syn(s.seq); break;
        case Step::Data: r.Data(s.seq, reinterpret_cast<const uint8_t*>(s.text.data()), s.text.size()); break;
        case Step::Ack: r.PeerAck(s.seq); break;
        case Step::Flush: r.Flush(); break;
        case Step::Discard: r.Discard(); break;
        }
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(r.Counters().gaps, c.gaps);
    EXPECT_EQ(r.HeldBytes(), 0u) << "nothing fed is still held";
    EXPECT_EQ(r.Footprint(), 0u);
}

const Case kCases[] = {
    {"InOrder", {S(1000), D(1001, "abc"), D(1004, "def")}, {"abc", "def"}, 0},
    {"EmptySegmentsIgnored", {S(1000), D(1001, ""), D(1001, "abc")}, {"abc"}, 0},
    {"ReorderedPairWaitsForGap", {S(1000), D(1004, "def"), D(1001, "abc"), D(1007, "g")}, {"abc", "def", "g"}, 0},
    {"ThreeHeldDrainInOrder", {S(1000), D(1007, "ghi"), D(1004, "def"), D(1010, "j"), D(1001, "abc")},
     {"abc", "def", "ghi", "j"}, 0},
    {"RetransmissionDropped", {S(1000), D(1001, "abc"), D(1001, "abc"), D(1004, "d")}, {"abc", "d"}, 0},
    {"OverlapFrontTrimmedFirstCopyWins", {S(1000), D(1001, "abcd"), D(1003, "XYef")}, {"abcd", "ef"}, 0},
    {"HeldOverlappingHeldTrimmedAtDrain", {S(1000), D(1005, "efgh"), D(1003, "cdEF"), D(1001, "ab")},
     {"ab", "cdEF", "gh"}, 0},
    {"SameStartKeepsLongerHeldCopy", {S(1000), D(1004, "d"), D(1004, "def"), D(1001, "abc")}, {"abc", "def"}, 0},
    {"MidstreamStartFlagsFirstChunkOnly", {D(5000, "abc"), D(5003, "def")}, {"!abc", "def"}, 0},
    {"GapGivenUpWhenPeerAcknowledgesUnseenBytes", {S(1000), D(1001, "abc"), D(1010, "jkl"), D(1013, "mno"), A(1016)},
     {"abc", "!jkl", "mno"}, 1},
    {"AckBeyondBeforeSegmentArrivesStillResyncsOnce", {S(1000), D(1001, "abc"), A(1010), D(1010, "jkl"), D(1013, "mno")},
     {"abc", "!jkl", "mno"}, 1},
    {"AckInsideDeliveredDataChangesNothing", {S(1000), D(1001, "abc"), A(1003), D(1007, "ghi"), D(1004, "def")},
     {"abc", "def", "ghi"}, 0},
    {"FlushGivesUpEachGapOnce", {S(1000), D(1001, "a"), D(1005, "e"), D(1006, "f"), D(1010, "j"), F()},
     {"a", "!e", "f", "!j"}, 2},
    {"HoldingBoundGivesUpGap", {S(1000), D(1001, "a"), D(1003, "cc"), D(1005, "ee"), D(1007, "g")},
     {"a", "!cc", "ee", "g"}, 1, ReassemblyLimits{4, 100}},
    {"SegmentCountBoundGivesUpGap", {S(1000), D(1003, "c"), D(1005, "e"), D(1004, "d")},
     {"!c", "d", "e"}, 1, ReassemblyLimits{1000, 1}},
    {"LateFillAfterGiveUpIsDuplicate", {S(1000), D(1005, "e"), F(), D(1001, "abcd"), D(1006, "f")}, {"!e", "f"}, 1},
    {"SequenceWrapsAround", {S(0xFFFFFFFE), D(0xFFFFFFFF, "ab"), D(1, "cd")}, {"ab", "cd"}, 0},
    {"ReorderedAcrossWrap", {S(0xFFFFFFFD), D(0, "cd"), D(0xFFFFFFFE, "ab")}, {"ab", "cd"}, 0},
    {"FarFutureSegmentIgnored", {S(1000), D(1001 + 0x60000000u, "zz"), D(1001, "abc"), F()}, {"abc"}, 0},
    {"DiscardDropsHeldAndGoesOnWithResync",  // the held range ends at 1016 whatever the order
     {S(1000), D(1001, "ab"), D(1010, "held-1"), D(1005, "held-long-0"), X(), D(1012, "dup"), D(1016, "next"), X()},
     {"ab", "!next"}, 1},
    {"SynRetransmittedAfterDataIgnored", {S(1000), D(1001, "abc"), S(1000), D(1004, "d")}, {"abc", "d"}, 0},
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
    feed(112, 2, 3);   // held after a gap of 2
    r.Discard();       // neither the gap nor the held bytes ever reach the context
    const ReassemblyCounters& c = r.Counters();
    EXPECT_EQ(c.deliveredBytes, 8u);
    EXPECT_EQ(c.duplicateBytes, 2u);
    EXPECT_EQ(c.gapBytes, 2u + 5u);
    EXPECT_EQ(c.heldSegments, 2u);
    EXPECT_EQ(c.resyncs, 1u);
}

}  // namespace
}  // namespace smbaudit
