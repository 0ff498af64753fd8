// The framework layer: stream buffer passes, time-outs and the allocator's hooks.
#include <gtest/gtest.h>

#include <string>

#include "framework/framework.h"

namespace {

std::string Read(CBufferManager& b, unsigned off, unsigned n) {
    const char* p = b.GetData(off, n);
    return p ? std::string(p, n) : std::string("<null>");
}

TEST(BufferManager, KeptBytesPrecedeTheNewOnes) {
    CBufferManager b(16);
    b.LockBuffer("abcdef", 6);
    EXPECT_EQ(Read(b, 0, 6), "abcdef");
    EXPECT_EQ(Read(b, 4, 3), "<null>");
    EXPECT_FALSE(b.CheckLength(0, 7));
    b.Skip(2);
    b.FreeBuffer();
    b.LockBuffer("gh", 2);
    EXPECT_EQ(Read(b, 0, 6), "cdefgh");
    b.Skip(6);
    b.FreeBuffer();
    EXPECT_EQ(b.Length(), 0u);
}

TEST(BufferManager, SkippingPastTheHeldBytesDropsTheRestOfLaterChunks) {
    CBufferManager b(16);
    b.LockBuffer("abcd", 4);
    b.Skip(10);  // a message of 10 bytes of which only 4 arrived
    b.FreeBuffer();
    b.LockBuffer("efghijXY", 8);
    EXPECT_EQ(Read(b, 0, 2), "XY");
    b.Skip(2);
    b.FreeBuffer();
    b.LockBuffer("abc", 3);
    b.Skip(9);
    b.FreeBuffer();
    b.ClearHisData();  // lost bytes: the debt goes with everything else
    b.LockBuffer("zz", 2);
    EXPECT_EQ(Read(b, 0, 2), "zz");
    b.FreeBuffer();
}

TEST(TimeStamp, TimesOutOnlyBeyondTheSpan) {
    const CTimeStamp32 span(30, 0);
    EXPECT_FALSE(CTimeStamp32::IsTimeOut({130, 0}, {100, 0}, span));
    EXPECT_TRUE(CTimeStamp32::IsTimeOut({130, 1}, {100, 0}, span));
    EXPECT_TRUE(CTimeStamp32::IsTimeOut({131, 0}, {100, 999999}, span));
    EXPECT_FALSE(CTimeStamp32::IsTimeOut({100, 0}, {200, 0}, span));  // from the future
    EXPECT_TRUE(CTimeStamp32::IsTimeOut({100, 1}, {100, 0}, CTimeStamp32(0, 0)));
}

TEST(Allocator, NthAllocationFailsOnceAndLiveCountTracksBlocks) {
    const long before = ZELK::LiveAllocations();
    ZELK::FailNthAllocation(2);
    unsigned char* a = ZELK::MyMemAlloc(10);
    unsigned char* b = ZELK::MyMemAlloc(10, "value_string", 42);
    unsigned char* c = ZELK::MyMemAlloc(10);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(ZELK::LiveAllocations(), before + 2);
    ZELK::MyMemFree(a);
    ZELK::MyMemFree(c);
    ZELK::MyMemFree(nullptr);
    EXPECT_EQ(ZELK::LiveAllocations(), before);
}

}  // namespace
