// The BER reader: element cutting, length forms and their limits, and list filling.
#include <gtest/gtest.h>

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

}  // namespace
