// Wire text conversion and the SMB string field rule.
#include <gtest/gtest.h>

#include "framework/framework.h"
#include "support/frame_builder.h"
#include "text/value_string.h"

namespace {

// One UTF-16 field converted: the text and the bytes it used up (terminator counted, a
// counted field's odd byte not), cut at 256 characters with an ellipsis.
TEST(UnicodeToAscii, TextAndConsumedBytes) {
    const std::u16string longText(300, u'x');
    struct Case {
        const char* what; ByteVec bytes; int offset; bool bounded; int limit; unsigned maxBytes; std::string text; int consumed;
    } cases[] = {
        {"stops at the terminator", Bytes().utf16z(u"Ab").str("junk").vec(), 0, false, 0, 10, "Ab", 6},
        {"low bytes kept, others marked", Bytes().u16(0x00E9).u16(0x0041).u16(0x263A).u16(0xD83D).u16(0xDE00).u16(0).vec(),
         0, false, 0, 12, "\xE9" "A???", 12},
        {"cut at 256", Bytes().utf16(longText).vec(), 0, false, 0, 600, std::string(256, 'x') + "...", 600},
        {"cut at 256, terminated", Bytes().utf16z(longText).vec(), 0, false, 0, 602, std::string(256, 'x') + "...", 602},
        {"odd byte", Bytes().utf16(u"abc").vec(), 0, false, 0, 5, "ab", 5},
        {"odd byte of a counted field", Bytes().utf16(u"abc").vec(), 0, true, 6, 5, "ab", 4},
        {"limit", Bytes().utf16(u"abc").vec(), 0, true, 4, 6, "ab", 4},
        {"no bytes", Bytes().utf16(u"abc").vec(), 0, false, 0, 0, "", 0},
        {"zero limit", Bytes().utf16(u"abc").vec(), 0, true, 0, 6, "", 0},
        {"at an offset", Bytes().utf16(u"abc").vec(), 2, true, 4, 4, "bc", 4},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        int consumed = k.limit;
        std::string out;
        EXPECT_TRUE(UnicodeToAsciiString(reinterpret_cast<const char*>(k.bytes.data()), k.offset, consumed, k.bounded,
                                         static_cast<unsigned short>(k.maxBytes), out));
        EXPECT_EQ(out, k.text);
        EXPECT_EQ(consumed, k.consumed);
    }
}

// One SMB string field: 8-bit to its NUL, UTF-16 after the pad that aligns it, to its
// terminator or the block's end.
TEST(ReadSmbString, ReadsOneField) {
    using R = SmbStringResult;
    struct Case { const char* what; ByteVec block; uint32_t pos; bool unicode; R result; std::string text; uint32_t next; } cases[] = {
        {"narrow", Bytes().u8(1).strz("WORKGROUP").str("x"), 1, false, R::Ok, "WORKGROUP", 11},
        {"narrow, high bytes kept", Bytes().strz("\xE9t\xE9"), 0, false, R::Ok, "\xE9t\xE9", 4},
        {"narrow unterminated", Bytes().str("abc"), 0, false, R::Unterminated, "", 0},
        {"missing", Bytes().str("abc"), 3, false, R::Missing, "", 0},
        {"UTF-16 at an even offset", Bytes().u16(0).utf16z(u"Unix"), 2, true, R::Ok, "Unix", 12},
        {"UTF-16 at an odd offset skips the pad", Bytes().u8(0).u8(0xEE).utf16z(u"Samba"), 1, true, R::Ok, "Samba", 14},
        {"UTF-16 unterminated ends at the block's end", Bytes().u8(0).u8(0).utf16(u"ab"), 1, true, R::Ok, "ab", 6},
        {"UTF-16, only the pad left", Bytes().u8(0).u8(0), 1, true, R::Ok, "", 2},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::string out = "untouched";
        uint32_t next = 0;
        EXPECT_EQ(ReadSmbString(k.block.data(), uint32_t(k.block.size()), k.pos, k.unicode, out, next), k.result);
        if (k.result == R::Ok) {
            EXPECT_EQ(out, k.text);
            EXPECT_EQ(next, k.next);
        }
    }
}

}  // namespace
