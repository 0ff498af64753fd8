// ReadSmbPathName: BufferFormat 0x04 path names in 8-bit or UTF-16LE text.
#include <gtest/gtest.h>

#include "fileops/path_name.h"
#include "support/harness.h"

namespace {

struct PathCase {
    const char* what;
    Bytes block;
    uint32_t pos;
    bool unicode;
    int used;              // -1: unreadable
    std::u16string name;   // expected name when readable
};

class PathNameTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathNameTest, ReadsAndMeasures) {
    const PathCase& t = GetParam();
    const ByteVec& b = t.block.vec();
    std::u16string name = u"untouched";
    EXPECT_EQ(ReadSmbPathName(b.data(), uint32_t(b.size()), t.pos, t.unicode, &name), t.used);
    if (t.used >= 0) {
        EXPECT_EQ(name, t.name);
    }
    // Measuring alone gives the same extent.
    EXPECT_EQ(ReadSmbPathName(b.data(), uint32_t(b.size()), t.pos, t.unicode, nullptr), t.used);
}

INSTANTIATE_TEST_SUITE_P(
    PathFields, PathNameTest,
    ::testing::Values(
        PathCase{"ascii", Bytes().fill(3).u8(4).strz("abc"), 3, false, 5, u"abc"},
        PathCase{"ascii high byte widened", Bytes().fill(3).u8(4).u8('a').u8(0xE9).u8(0), 3, false, 4, u"a\u00E9"},
        PathCase{"ascii empty name", Bytes().fill(3).u8(4).u8(0), 3, false, 2, u""},
        PathCase{"ascii stops at first zero", Bytes().fill(3).u8(4).strz("ab").strz("cd"), 3, false, 4, u"ab"},
        PathCase{"ascii unterminated", Bytes().fill(3).u8(4).str("abc"), 3, false, -1, u""},
        PathCase{"wrong format byte", Bytes().fill(3).u8(2).strz("abc"), 3, false, -1, u""},
        PathCase{"format byte last in block", Bytes().fill(3).u8(4), 3, false, -1, u""},
        PathCase{"position past the block", Bytes().fill(3), 7, false, -1, u""},
        // Text at an even position: no pad byte.
        PathCase{"utf16 even start", Bytes().fill(5).u8(4).utf16z(u"\\d\\a"), 5, true, 11, u"\\d\\a"},
        // Text at an odd position: one pad byte first, counted in the field.
        PathCase{"utf16 odd start", Bytes().fill(4).u8(4).u8(0xAA).utf16z(u"x\u20AC"), 4, true, 8, u"x\u20AC"},
        // No terminator: the name is read to the block's end, the field reaches beyond it.
        PathCase{"utf16 unterminated", Bytes().fill(5).u8(4).utf16(u"ab"), 5, true, 7, u"ab"},
        PathCase{"utf16 unterminated odd tail", Bytes().fill(5).u8(4).utf16(u"ab").u8('c'), 5, true, 7, u"ab"},
        PathCase{"utf16 only the pad byte", Bytes().fill(4).u8(4).u8(0), 4, true, 4, u""}),
    [](const auto& info) {
        std::string n = info.param.what;
        for (char& ch : n)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

// The callers' end check: a field that reaches beyond its block is refused, whatever the
// text inside the block looked like.
TEST(TakeSmbPathName, RefusesFieldsEndingBeyondTheBlock) {
    for (bool pad : {false, true}) {
        Bytes b = Bytes().fill(pad ? 4 : 5).u8(4);
        if (pad) b.u8(0);
        b.utf16(u"name");
        uint32_t pos = pad ? 4 : 5;
        std::u16string name;
        EXPECT_FALSE(TakeSmbPathName(SmbBlock(b.vec().data(), uint32_t(b.size())), pos, true, name)) << pad;
        EXPECT_EQ(pos, pad ? 4u : 5u);
    }
}

TEST(TakeSmbPathName, AdvancesPastConsecutiveFields) {
    // Rename's layout: the second field starts right after the first one's terminator, here
    // at an odd position, so its text has a pad byte.
    Bytes b = Bytes().fill(5).u8(4).utf16z(u"a").u8(4).u8(0).utf16z(u"bc");
    SmbBlock block(b.vec().data(), uint32_t(b.size()));
    uint32_t pos = 5;
    std::u16string first, second;
    ASSERT_TRUE(TakeSmbPathName(block, pos, true, first));
    EXPECT_EQ(pos, 10u);
    ASSERT_TRUE(TakeSmbPathName(block, pos, true, second));
    EXPECT_EQ(pos, b.size());
    EXPECT_EQ(first, u"a");
    EXPECT_EQ(second, u"bc");
}

}  // namespace
