// Text conversion and escaping of output records.
#include "tools/smbaudit/json_writer.h"

#include <gtest/gtest.h>

namespace smbaudit {
namespace {

std::string Latin1(std::string_view s) {
    std::string out;
    AppendJsonLatin1(out, s);
    return out;
}

std::string Utf16(std::u16string_view s) {
    std::string out;
    AppendJsonUtf16(out, s);
    return out;
}

struct EscapeCase {
    std::string in;
    std::string out;
};

class NarrowText : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(NarrowText, BecomesEscapedUtf8) { EXPECT_EQ(Latin1(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Bytes, NarrowText,
    ::testing::Values(EscapeCase{"alice", "\"alice\""}, EscapeCase{"", "\"\""},
                      EscapeCase{"a\"b\\c", "\"a\\\"b\\\\c\""},
                      EscapeCase{"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
                      EscapeCase{std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
                      // bytes 0x80..0xFF are the code points of the same value
                      EscapeCase{"\xe9t\xe9", "\"\xc3\xa9t\xc3\xa9\""}, EscapeCase{"\xff", "\"\xc3\xbf\""},
                      EscapeCase{"\x80", "\"\xc2\x80\""}, EscapeCase{"/<>", "\"/<>\""}));

struct Utf16Case {
    std::u16string in;
    std::string out;
};

class WideText : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(WideText, BecomesEscapedUtf8) { EXPECT_EQ(Utf16(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Units, WideText,
    ::testing::Values(Utf16Case{u"\\share\\file.txt", "\"\\\\share\\\\file.txt\""},
                      Utf16Case{u"caf\u00e9", "\"caf\xc3\xa9\""},
                      Utf16Case{u"\u20ac", "\"\xe2\x82\xac\""},                // 3-byte form
                      Utf16Case{u"\U0001F600", "\"\xf0\x9f\x98\x80\""},        // surrogate pair joined
                      Utf16Case{std::u16string(1, char16_t(0xD83D)), "\"\xef\xbf\xbd\""},       // lone high
                      Utf16Case{std::u16string(1, char16_t(0xDE00)), "\"\xef\xbf\xbd\""},       // lone low
                      Utf16Case{std::u16string{char16_t(0xD83D), u'x'}, "\"\xef\xbf\xbdx\""},   // high then BMP
                      Utf16Case{std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, "\"\xef\xbf\xbd\xef\xbf\xbd\""},
                      Utf16Case{std::u16string{u'a', char16_t(0), u'\n'}, "\"a\\u0000\\n\""}));

TEST(JsonLine, KeepsKeyOrderAndNestsObjects) {
    JsonLine line;
    line.Begin();
    line.Latin1("event", "rpc");
    line.Uint("data_len", 18446744073709551615ull);
    line.Null("status");
    line.BeginObject("dcerpc");
    line.Uint("call_id", 2);
    line.Utf16("pipe", u"srvsvc");
    line.EndObject();
    line.Uint("after", 0);
    line.End();
    EXPECT_EQ(line.str(),
              "{\"event\":\"rpc\",\"data_len\":18446744073709551615,\"status\":null,"
              "\"dcerpc\":{\"call_id\":2,\"pipe\":\"srvsvc\"},\"after\":0}\n");
    line.Begin();
    line.End();
    EXPECT_EQ(line.str(), "{}\n") << "Begin discards the previous record";
}

TEST(Utf8, OutOfRangeCodePointsAreReplaced) {
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
