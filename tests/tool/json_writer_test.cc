// Text conversion and escaping of output records.
#include "tools/smbaudit/json_writer.h"

#include <gtest/gtest.h>

#include <utility>

namespace smbaudit {
namespace {

TEST(JsonText, NarrowBytesAreTheirCodePointsEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"alice", "\"alice\""}, {"", "\"\""}, {"a\"b\\c", "\"a\\\"b\\\\c\""}, {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
        // bytes 0x80..0xFF are the code points of the same value
        {"\xe9t\xe9", "\"\xc3\xa9t\xc3\xa9\""}, {"\xff", "\"\xc3\xbf\""}, {"\x80", "\"\xc2\x80\""}, {"/<>", "\"/<>\""},
    };
    for (const auto& [in, want] : cases) {
        std::string out;
        AppendJsonLatin1(out, in);
        EXPECT_EQ(out, want);
    }
}

TEST(JsonText, Utf16BecomesEscapedUtf8LoneSurrogatesReplaced) {
    const char16_t hi = 0xD83D, lo = 0xDE00;
    const std::pair<std::u16string, std::string> cases[] = {
        {u"\\share\\file.txt", "\"\\\\share\\\\file.txt\""},
        {u"caf\u00e9", "\"caf\xc3\xa9\""},
        {u"\u20ac", "\"\xe2\x82\xac\""},                                     // 3-byte form
        {u"\U0001F600", "\"\xf0\x9f\x98\x80\""},                             // surrogate pair joined
        {std::u16string(1, hi), "\"\xef\xbf\xbd\""},                         // lone high
        {std::u16string(1, lo), "\"\xef\xbf\xbd\""},                         // lone low
        {std::u16string{hi, u'x'}, "\"\xef\xbf\xbdx\""},                     // high then BMP
        {std::u16string{lo, hi}, "\"\xef\xbf\xbd\xef\xbf\xbd\""},            // low before high
        {std::u16string{u'a', char16_t(0), u'\n'}, "\"a\\u0000\\n\""},
    };
    for (const auto& [in, want] : cases) {
        std::string out;
        AppendJsonUtf16(out, in);
        EXPECT_EQ(out, want);
    }
}

TEST(JsonText, OutOfRangeCodePointsAreReplaced) {
    for (uint32_t cp : {0xD800u, 0xDFFFu, 0x110000u}) {
        std::string out;
        AppendUtf8(out, cp);
        EXPECT_EQ(out, "\xef\xbf\xbd") << cp;
    }
    std::string max;
    AppendUtf8(max, 0x10FFFF);
    EXPECT_EQ(max, "\xf4\x8f\xbf\xbf");
}

}  // namespace
}  // namespace smbaudit
