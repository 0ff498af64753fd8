// Text conversion and escaping of output records; key order and nested objects are pinned by
// the committed captures' expected records.
#include "tools/smbaudit/json_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <tuple>
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

TEST(JsonLine, TimeStampsAndStatusCodes) {
    // the cached date part must follow every change of second, day, month and year
    const std::tuple<uint32_t, uint32_t, const char*> cases[] = {
        {0, 0, "1970-01-01T00:00:00.000000Z"},          {951782400, 7, "2000-02-29T00:00:00.000007Z"},
        {951868799, 999999, "2000-02-29T23:59:59.999999Z"}, {951868800, 0, "2000-03-01T00:00:00.000000Z"},
        {1700000000, 1000001, "2023-11-14T22:13:20.000001Z"},
        {4294967295u, 123456, "2106-02-07T06:28:15.123456Z"},
    };
    JsonLine line;
    for (const auto& [secs, micros, want] : cases) {
        line.Begin();
        line.Timestamp("ts", secs, micros);
        line.Hex32("s", secs);
        line.End();
        char hex[11];
        std::snprintf(hex, sizeof hex, "0x%08x", secs);
        EXPECT_EQ(line.str(), std::string("{\"ts\":\"") + want + "\",\"s\":\"" + hex + "\"}\n");
    }
    for (int64_t secs = 0; secs < (int64_t(1) << 32); secs += 86399 * 97) {  // against the C library
        std::time_t t = std::time_t(secs);
        std::tm tm{};
        gmtime_r(&t, &tm);
        char want[32], got[20] = {};
        std::strftime(want, sizeof want, "%Y-%m-%dT%H:%M:%S", &tm);
        FormatUtcSeconds(got, secs);
        ASSERT_STREQ(got, want);
    }
}

}  // namespace
}  // namespace smbaudit
