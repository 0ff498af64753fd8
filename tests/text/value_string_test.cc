// Wire text conversion and the SMB string field rule.
#include <gtest/gtest.h>

#include "framework/framework.h"
#include "support/frame_builder.h"
#include "text/value_string.h"

namespace {

struct Converted {
    std::string text;
    int consumed;
};

Converted Convert(const ByteVec& v, int offset, bool bounded, int limit, unsigned maxBytes) {
    int consumed = limit;
    std::string out;
    EXPECT_TRUE(UnicodeToAsciiString(reinterpret_cast<const char*>(v.data()), offset, consumed, bounded,
                                     static_cast<unsigned short>(maxBytes), out));
    return {out, consumed};
}

TEST(UnicodeToAscii, StopsAtTheTerminatorAndCountsIt) {
    ByteVec v = Bytes().utf16z(u"Ab").str("junk");
    Converted c = Convert(v, 0, false, 0, unsigned(v.size()));
    EXPECT_EQ(c.text, "Ab");
    EXPECT_EQ(c.consumed, 6);
}

TEST(UnicodeToAscii, KeepsLowBytesAndMarksOthers) {
    ByteVec v = Bytes().u16(0x00E9).u16(0x0041).u16(0x263A).u16(0xD83D).u16(0xDE00).u16(0);
    Converted c = Convert(v, 0, false, 0, unsigned(v.size()));
    EXPECT_EQ(c.text, "\xE9"
                      "A???");
}

TEST(UnicodeToAscii, LongTextIsCutAt256WithEllipsis) {
    std::u16string longText(300, u'x');
    ByteVec v = Bytes().utf16(longText);
    Converted c = Convert(v, 0, false, 0, unsigned(v.size()));
    EXPECT_EQ(c.text, std::string(256, 'x') + "...");
    EXPECT_EQ(c.consumed, 600);
    ByteVec t = Bytes().utf16z(longText);
    EXPECT_EQ(Convert(t, 0, false, 0, unsigned(t.size())).consumed, 602);
}

TEST(UnicodeToAscii, OddBytesLimitsAndEmptyFields) {
    ByteVec v = Bytes().utf16(u"abc");
    Converted odd = Convert(v, 0, false, 0, 5);
    EXPECT_EQ(odd.text, "ab");
    EXPECT_EQ(odd.consumed, 5);
    Converted oddBounded = Convert(v, 0, true, 6, 5);
    EXPECT_EQ(oddBounded.consumed, 4);  // a counted field does not use up the odd byte
    Converted limited = Convert(v, 0, true, 4, 6);
    EXPECT_EQ(limited.text, "ab");
    EXPECT_EQ(limited.consumed, 4);
    EXPECT_EQ(Convert(v, 0, false, 0, 0).consumed, 0);
    Converted zeroLimit = Convert(v, 0, true, 0, 6);
    EXPECT_EQ(zeroLimit.text, "");
    EXPECT_EQ(zeroLimit.consumed, 0);
    Converted atOffset = Convert(v, 2, true, 4, 4);
    EXPECT_EQ(atOffset.text, "bc");
}

TEST(UnicodeToAscii, BufferComesFromTheTaggedAllocator) {
    ByteVec v = Bytes().utf16z(u"x");
    int consumed = 0;
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(UnicodeToAscii(reinterpret_cast<const char*>(v.data()), 0, consumed, false, 4), nullptr);
    std::string out;
    ZELK::FailNthAllocation(1);
    EXPECT_FALSE(UnicodeToAsciiString(reinterpret_cast<const char*>(v.data()), 0, consumed, false, 4, out));
    const long live = ZELK::LiveAllocations();
    char* s = UnicodeToAscii(reinterpret_cast<const char*>(v.data()), 0, consumed, false, 4);
    EXPECT_STREQ(s, "x");
    EXPECT_EQ(ZELK::LiveAllocations(), live + 1);
    ZELK::MyMemFree(s);
}

struct StringCase {
    const char* name;
    ByteVec block;
    uint32_t pos;
    bool unicode;
    SmbStringResult result;
    std::string text;
    uint32_t next;
};

class ReadSmbStringTest : public ::testing::TestWithParam<StringCase> {};

TEST_P(ReadSmbStringTest, ReadsOneField) {
    const StringCase& c = GetParam();
    std::string out = "untouched";
    uint32_t next = 0;
    EXPECT_EQ(ReadSmbString(c.block.data(), uint32_t(c.block.size()), c.pos, c.unicode, out, next), c.result);
    if (c.result == SmbStringResult::Ok) {
        EXPECT_EQ(out, c.text);
        EXPECT_EQ(next, c.next);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ReadSmbStringTest,
    ::testing::Values(
        StringCase{"Narrow", Bytes().u8(1).strz("WORKGROUP").str("x"), 1, false, SmbStringResult::Ok, "WORKGROUP", 11},
        StringCase{"NarrowHighBytesKept", Bytes().strz("\xE9t\xE9"), 0, false, SmbStringResult::Ok, "\xE9t\xE9", 4},
        StringCase{"NarrowUnterminated", Bytes().str("abc"), 0, false, SmbStringResult::Unterminated, "", 0},
        StringCase{"Missing", Bytes().str("abc"), 3, false, SmbStringResult::Missing, "", 0},
        StringCase{"UnicodeEven", Bytes().u16(0).utf16z(u"Unix"), 2, true, SmbStringResult::Ok, "Unix", 12},
        StringCase{"UnicodeOddSkipsPad", Bytes().u8(0).u8(0xEE).utf16z(u"Samba"), 1, true, SmbStringResult::Ok,
                   "Samba", 14},
        StringCase{"UnicodeUnterminatedEndsAtBlockEnd", Bytes().u8(0).u8(0).utf16(u"ab"), 1, true,
                   SmbStringResult::Ok, "ab", 6},
        StringCase{"UnicodeOnlyPadLeft", Bytes().u8(0).u8(0), 1, true, SmbStringResult::Ok, "", 2}),
    [](const ::testing::TestParamInfo<StringCase>& i) { return std::string(i.param.name); });

}  // namespace
