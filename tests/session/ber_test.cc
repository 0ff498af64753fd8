// The BER reader: element cutting, length forms and their limits, list filling and value
// decoding by tag (DecodeValue, part of the reader's published interface).
#include <gtest/gtest.h>

#include <cstring>

#include "auth/ber.h"
#include "support/frame_builder.h"

namespace {

Asn1Cursor Over(const ByteVec& b, uint16_t offset = 0, size_t len = SIZE_MAX) {
    Asn1Cursor c;
    c.m_pData = b.data();
    c.m_length = uint16_t(len == SIZE_MAX ? b.size() : len);
    c.m_offset = offset;
    c.m_nextOffset = 0xBEEF;
    c.m_end = 7;
    return c;
}

TEST(BerElement, LengthFormsAndLimits) {
    struct Case {
        const char* what; ByteVec bytes; int result; uint16_t header = 0; size_t content = 0; uint16_t offset = 0; size_t len = SIZE_MAX;
    } cases[] = {
        {"short form", {0xA1, 0x03, 0x30, 0x01, 0x00}, ASN1_OK, 2, 3},
        {"0x7F", Bytes().ber(0x30, Bytes().fill(0x7F)).u8(0xEE).vec(), ASN1_OK, 2, 0x7F},
        {"0x80", Bytes().ber(0x30, Bytes().fill(0x80)).u8(0xEE).vec(), ASN1_OK, 3, 0x80},
        {"0x100", Bytes().ber(0x30, Bytes().fill(0x100)).u8(0xEE).vec(), ASN1_OK, 4, 0x100},
        {"0x1234", Bytes().ber(0x30, Bytes().fill(0x1234)).vec(), ASN1_OK, 4, 0x1234},
        {"non-minimal 84 00 00 00 02", {0x04, 0x84, 0x00, 0x00, 0x00, 0x02, 'h', 'i'}, ASN1_OK, 6, 2},
        {"at an offset", {0x05, 0x00, 0x02, 0x01, 0x2A}, ASN1_OK, 2, 1, 2},
        {"offset at the end", {0x05, 0x00}, ASN1_NO_MORE_DATA, 0, 0, 2},
        {"indefinite length", {0x04, 0x80, 0x01, 0x00, 0x00}, ASN1_UNSUPPORTED_FORM},
        {"five length octets", {0x04, 0x85, 0, 0, 0, 0, 1, 0}, ASN1_BAD_LENGTH},
        {"high tag number", {0x1F, 0x01, 0x00}, ASN1_UNSUPPORTED_FORM},
        {"constructed high tag number", {0xBF, 0x81, 0x00, 0x00}, ASN1_UNSUPPORTED_FORM},
        {"content past the range", {0x04, 0x05, 0x61, 0x62}, ASN1_NO_MORE_DATA},
        {"tag alone", {0x04}, ASN1_NO_MORE_DATA},
        {"long form cut in its length octets", {0x04, 0x82, 0x01}, ASN1_NO_MORE_DATA},
        {"length just above 2^31", {0x04, 0x84, 0x80, 0x00, 0x00, 0x01}, ASN1_BAD_LENGTH},
        {"length of 2^31 passes but does not fit", {0x04, 0x84, 0x80, 0x00, 0x00, 0x00}, ASN1_NO_MORE_DATA},
        {"empty range", {}, ASN1_NO_MORE_DATA},
        // The bytes beyond the range would make valid elements; the range ends first.
        {"element cut by the range", {0x30, 0x03, 0x02, 0x01, 0x05}, ASN1_NO_MORE_DATA, 0, 0, 0, 4},
        {"length octets beyond the range", {0x05, 0x82, 0x00, 0x01, 0x00}, ASN1_NO_MORE_DATA, 0, 0, 0, 2},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Asn1Cursor c = Over(k.bytes, k.offset, k.len);
        Asn1Element e;
        e.m_tag = 0x77;
        ASSERT_EQ(g_asn1Parser.ParseElement(c, e), k.result);
        EXPECT_EQ(c.m_end, 0);
        if (k.result != ASN1_OK) {
            EXPECT_EQ(c.m_nextOffset, k.offset);  // a caller stepping on stays put
            EXPECT_EQ(e.m_tag, 0x77);             // the element is left alone
            continue;
        }
        EXPECT_EQ(e.m_tag, k.bytes[k.offset]);
        EXPECT_EQ(e.m_headerLen, k.header);
        EXPECT_EQ(e.m_contentLen, k.content);
        EXPECT_EQ(e.m_pContent, k.bytes.data() + k.offset + k.header);
        EXPECT_EQ(c.m_nextOffset, k.offset + k.header + k.content);
    }
}

TEST(BerList, FillsUpToCapacityAndSkipsMalformedElements) {
    Bytes b;
    for (int i = 0; i < 4; ++i) b.ber(uint8_t(0xA0 + i), Bytes().u8(uint8_t(i)));
    Asn1Element items[3];
    Asn1ElementList list;
    list.m_capacity = 3;
    list.m_pItems = items;
    Asn1Cursor c = Over(b.vec());
    int r;
    while ((r = g_asn1Parser.ParseNextElement(c, list)) == ASN1_OK) c.m_offset = c.m_nextOffset;
    EXPECT_EQ(r, ASN1_LIST_FULL);
    ASSERT_EQ(list.m_count, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(items[i].m_pContent[0], i);
    EXPECT_EQ(c.m_offset, 9);  // stopped at the fourth element
    // At the end of the range the list is not full: end of data comes first.
    c.m_offset = uint16_t(b.size());
    EXPECT_EQ(g_asn1Parser.ParseNextElement(c, list), ASN1_NO_MORE_DATA);

    const ByteVec bad = {0x02, 0x01, 0x07, 0x04, 0x09, 0x00};
    list.m_count = 0;
    c = Over(bad, 3);
    EXPECT_EQ(g_asn1Parser.ParseNextElement(c, list), ASN1_NO_MORE_DATA);
    EXPECT_EQ(list.m_count, 0);
}

// Little-endian bytes of 32-bit words, as DecodeValue leaves them in the buffer.
ByteVec Le(std::initializer_list<uint32_t> words) {
    Bytes b;
    for (uint32_t w : words) b.u32(w);
    return b.vec();
}
const ByteVec kUntouched = {0xCC, 0xCC, 0xCC, 0xCC};
constexpr int kSame = -99;  // m_count left as it was

struct ValueCase {
    const char* what;
    ByteVec in;
    int capacity;
    int result, count, size;
    ByteVec buffer;  // its expected first bytes (0xCC where nothing was written)
};

void CheckDecode(const ValueCase& k) {
    SCOPED_TRACE(k.what);
    uint8_t buffer[40];
    std::memset(buffer, 0xCC, sizeof buffer);
    Asn1Value v;
    v.m_pBuffer = buffer;
    v.m_size = k.capacity;
    v.m_count = kSame;
    Asn1Cursor c = Over(k.in);
    EXPECT_EQ(g_asn1Parser.DecodeValue(c, v), k.result);
    EXPECT_EQ(v.m_count, k.count);
    EXPECT_EQ(v.m_size, k.size);
    if (k.result == ASN1_OK) {
        EXPECT_EQ(v.m_tag, k.in[0]);
    }
    EXPECT_EQ(ByteVec(buffer, buffer + k.buffer.size()), k.buffer);
}

TEST(BerValue, NumbersAndIdentifiers) {
    const ValueCase cases[] = {
        {"INTEGER -1", {0x02, 0x01, 0xFF}, 32, ASN1_OK, 1, 4, Le({0xFFFFFFFF})},
        {"INTEGER 128", {0x02, 0x02, 0x00, 0x80}, 32, ASN1_OK, 1, 4, Le({128})},
        {"INTEGER -129", {0x02, 0x02, 0xFF, 0x7F}, 32, ASN1_OK, 1, 4, Le({uint32_t(-129)})},
        {"INTEGER min", {0x02, 0x04, 0x80, 0, 0, 0}, 32, ASN1_OK, 1, 4, Le({0x80000000})},
        {"TimeTicks", {0x43, 0x03, 0x01, 0x00, 0x00}, 32, ASN1_OK, 1, 4, Le({65536})},
        {"five bytes do not fit", {0x02, 0x05, 0x01, 0, 0, 0, 0}, 32, ASN1_OK, 1, 4, kUntouched},
        {"empty INTEGER", {0x02, 0x00}, 32, ASN1_OK, 0, 0, kUntouched},
        {"empty TimeTicks", {0x43, 0x00}, 32, ASN1_OK, 0, 0, kUntouched},
        {"buffer below a word", {0x02, 0x01, 0x05}, 2, ASN1_OK, 1, 4, {0xCC}},
        {"BOOLEAN", {0x01, 0x01, 0xFF}, 32, ASN1_OK, 1, 4, Le({0xFF})},
        {"BOOLEAN long form", {0x01, 0x81, 0x01, 0x01}, 32, ASN1_OK, 1, 4, kUntouched},
        {"NULL", {0x05, 0x00}, 32, ASN1_OK, 0, 0, kUntouched},
        {"Counter64, high word first", {0x46, 0x09, 0x00, 0xFF, 0, 0, 0, 0, 0, 0, 0x01}, 32, ASN1_OK, kSame, 8, Le({0xFF000000, 1})},
        {"Counter64 negative", {0x46, 0x01, 0xFE}, 32, ASN1_OK, kSame, 8, Le({0xFFFFFFFF, 0xFFFFFFFE})},
        {"Counter64 in exactly 8 bytes", {0x46, 0x01, 0x05}, 8, ASN1_OK, kSame, 8, Le({0, 5})},
        {"Counter64 nine bytes", {0x46, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, 32, ASN1_OK, kSame, 8, kUntouched},
        {"Counter64 empty", {0x46, 0x00}, 32, ASN1_OK, kSame, 0, kUntouched},
        {"OID SPNEGO", {0x06, 0x06, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x02}, 32, ASN1_OK, 7, 28, Le({1, 3, 6, 1, 5, 5, 2})},
        {"OID NTLMSSP, 311 in two bytes", {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A}, 40,
         ASN1_OK, 10, 40, Le({1, 3, 6, 1, 4, 1, 311, 2, 2, 10})},
        // capacity / 4 words, one kept for the split, limit the arcs.
        {"OID cut by the room", {0x06, 0x06, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x02}, 17, ASN1_OK, 4, 16, Le({1, 3, 6, 1, 0xCCCCCCCC})},
        {"OID empty", {0x06, 0x00}, 32, ASN1_OK, 2, 8, Le({0, 0})},
        {"OID without room", {0x06, 0x01, 0x2B}, 7, ASN1_OK, 0, 0, kUntouched},
        {"BIT STRING", {0x03, 0x02, 0x07, 0x80}, 32, ASN1_OK, 2, 32, {0x07, 0x80}},
        {"BIT STRING, 8 unused bits", {0x03, 0x02, 0x08, 0x80}, 32, ASN1_OK, 32, 32, kUntouched},
        {"BIT STRING empty", {0x03, 0x00}, 32, ASN1_OK, 32, 32, kUntouched},
        {"truncated element", {0x02, 0x05, 0x01}, 32, ASN1_NO_MORE_DATA, kSame, 32, kUntouched},
    };
    for (const ValueCase& k : cases) CheckDecode(k);
}

TEST(BerValue, StringsAndUnknownTagsAreCopied) {
    // Text and opaque tags, and tags the table leaves out (SEQUENCE, context tags); a value
    // too big for the buffer writes nothing, and counts the capacity for the string tags.
    for (uint8_t tag : {0x04, 0x24, 0x40, 0x44, 0x45, 0x30, 0xA2, 0x41, 0x47, 0x00}) {
        const std::string what = "tag " + std::to_string(tag);
        const bool text = tag == 0x04 || tag == 0x24 || tag == 0x40 || tag == 0x44 || tag == 0x45;
        CheckDecode({what.c_str(), {tag, 0x03, 'a', 'b', 'c'}, 32, ASN1_OK, 3, 3, {'a', 'b', 'c', 0xCC}});
        CheckDecode({what.c_str(), {tag, 0x03, 'a', 'b', 'c'}, 2, ASN1_OK, text ? 2 : 3, text ? 2 : 3, {0xCC}});
    }
}

}  // namespace
