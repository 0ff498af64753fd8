// The BER reader: element cutting, length forms and their limits, list filling and value
// decoding by tag.
#include <gtest/gtest.h>

#include <cstring>

#include "session/ber.h"
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

TEST(BerElement, ShortFormElement) {
    const ByteVec b = {0xA1, 0x03, 0x30, 0x01, 0x00};
    Asn1Cursor c = Over(b);
    Asn1Element e;
    ASSERT_EQ(g_asn1Parser.ParseElement(c, e), ASN1_OK);
    EXPECT_EQ(e.m_tag, 0xA1);
    EXPECT_EQ(e.m_headerLen, 2);
    EXPECT_EQ(e.m_contentLen, 3);
    EXPECT_EQ(e.m_pContent, b.data() + 2);
    EXPECT_EQ(c.m_nextOffset, 5);
    EXPECT_EQ(c.m_end, 0);
}

TEST(BerElement, LongFormLengths) {
    struct Case {
        size_t content;
        uint16_t header;
    } cases[] = {{0x7F, 2}, {0x80, 3}, {0xFF, 3}, {0x100, 4}, {0x1234, 4}};
    for (const Case& k : cases) {
        Bytes b = Bytes().ber(0x30, Bytes().fill(k.content, 0x5A)).u8(0xEE);  // a trailing byte
        Asn1Cursor c = Over(b.vec());
        Asn1Element e;
        ASSERT_EQ(g_asn1Parser.ParseElement(c, e), ASN1_OK) << k.content;
        EXPECT_EQ(e.m_headerLen, k.header) << k.content;
        EXPECT_EQ(e.m_contentLen, k.content);
        EXPECT_EQ(c.m_nextOffset, k.header + k.content);
    }
    // Non-minimal long forms are accepted: 84 00 00 00 02 is a length of 2.
    const ByteVec four = {0x04, 0x84, 0x00, 0x00, 0x00, 0x02, 'h', 'i'};
    Asn1Cursor c = Over(four);
    Asn1Element e;
    ASSERT_EQ(g_asn1Parser.ParseElement(c, e), ASN1_OK);
    EXPECT_EQ(e.m_headerLen, 6);
    EXPECT_EQ(e.m_contentLen, 2);
}

TEST(BerElement, RejectedFormsAndTruncation) {
    struct Case {
        const char* what;
        ByteVec bytes;
        int result;
    } cases[] = {
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
    };
    for (const Case& k : cases) {
        Asn1Cursor c = Over(k.bytes);
        Asn1Element e;
        e.m_tag = 0x77;
        EXPECT_EQ(g_asn1Parser.ParseElement(c, e), k.result) << k.what;
        EXPECT_EQ(c.m_nextOffset, 0) << k.what;  // a caller stepping on stays put
        EXPECT_EQ(e.m_tag, 0x77) << k.what;      // the element is left alone
    }
}

TEST(BerElement, NeverReadsPastTheRange) {
    // The bytes beyond the range would make a valid element; the range ends first.
    const ByteVec b = {0x30, 0x03, 0x02, 0x01, 0x05, 0x82, 0x00, 0x01};
    for (size_t len = 0; len < 5; ++len) {
        Asn1Cursor c = Over(b, 0, len);
        Asn1Element e;
        EXPECT_EQ(g_asn1Parser.ParseElement(c, e), ASN1_NO_MORE_DATA) << len;
    }
    // A long-form length whose octets lie beyond the range's end is not read.
    Asn1Cursor c = Over(b, 4, 6);  // 05 82 | 00 01
    Asn1Element e;
    EXPECT_EQ(g_asn1Parser.ParseElement(c, e), ASN1_NO_MORE_DATA);
}

TEST(BerElement, OffsetInsideTheRange) {
    const ByteVec b = {0x05, 0x00, 0x02, 0x01, 0x2A};
    Asn1Cursor c = Over(b, 2);
    Asn1Element e;
    ASSERT_EQ(g_asn1Parser.ParseElement(c, e), ASN1_OK);
    EXPECT_EQ(e.m_tag, 0x02);
    EXPECT_EQ(c.m_nextOffset, 5);
    c.m_offset = c.m_nextOffset;
    EXPECT_EQ(g_asn1Parser.ParseElement(c, e), ASN1_NO_MORE_DATA);
}

TEST(BerList, FillsUpToCapacity) {
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
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(items[i].m_tag, 0xA0 + i);
        EXPECT_EQ(items[i].m_pContent[0], i);
    }
    EXPECT_EQ(c.m_offset, 9);  // stopped at the fourth element
    EXPECT_EQ(list.m_reserved, 0);

    // At the end of the range the list is not full: end of data comes first.
    c.m_offset = uint16_t(b.size());
    EXPECT_EQ(g_asn1Parser.ParseNextElement(c, list), ASN1_NO_MORE_DATA);
    EXPECT_EQ(list.m_count, 3);
}

TEST(BerList, MalformedElementIsNotAppended) {
    const ByteVec b = {0x02, 0x01, 0x07, 0x04, 0x09, 0x00};
    Asn1Element items[4];
    Asn1ElementList list;
    list.m_capacity = 4;
    list.m_pItems = items;
    Asn1Cursor c = Over(b);
    EXPECT_EQ(g_asn1Parser.ParseNextElement(c, list), ASN1_OK);
    c.m_offset = c.m_nextOffset;
    EXPECT_EQ(g_asn1Parser.ParseNextElement(c, list), ASN1_NO_MORE_DATA);
    EXPECT_EQ(list.m_count, 1);
    EXPECT_EQ(c.m_nextOffset, 3);
}

TEST(BerLength, Limits) {
    unsigned n = 0, len = 0;
    const uint8_t shortForm[] = {0x7F};
    EXPECT_EQ(DecodeBerLength(shortForm, n, len), ASN1_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(len, 0x7Fu);
    const uint8_t max[] = {0x84, 0x80, 0x00, 0x00, 0x00};
    EXPECT_EQ(DecodeBerLength(max, n, len), ASN1_OK);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(len, 0x80000000u);
    const uint8_t three[] = {0x83, 0x01, 0x02, 0x03};
    EXPECT_EQ(DecodeBerLength(three, n, len), ASN1_OK);
    EXPECT_EQ(len, 0x010203u);
    const uint8_t indefinite[] = {0x80};
    EXPECT_EQ(DecodeBerLength(indefinite, n, len), ASN1_UNSUPPORTED_FORM);
    const uint8_t tooMany[] = {0xFF};
    EXPECT_EQ(DecodeBerLength(tooMany, n, len), ASN1_BAD_LENGTH);
}

// DecodeValue into a buffer of `capacity` bytes, prefilled with 0xCC.
struct Decoded {
    int result;
    Asn1Value value;
    uint8_t buffer[40];
    uint32_t word(int i) const {
        uint32_t w;
        std::memcpy(&w, buffer + 4 * i, 4);
        return w;
    }
};
Decoded Decode(const ByteVec& b, int capacity = 32) {
    Decoded d;
    std::memset(d.buffer, 0xCC, sizeof d.buffer);
    d.value.m_pBuffer = d.buffer;
    d.value.m_size = capacity;
    d.value.m_count = -99;
    Asn1Cursor c = Over(b);
    d.result = g_asn1Parser.DecodeValue(c, d.value);
    return d;
}

TEST(BerValue, Integers) {
    struct Case {
        ByteVec bytes;
        int32_t value;
    } cases[] = {{{0x02, 0x01, 0xFF}, -1},
                 {{0x02, 0x01, 0x7F}, 127},
                 {{0x02, 0x02, 0x00, 0x80}, 128},
                 {{0x02, 0x02, 0xFF, 0x7F}, -129},
                 {{0x02, 0x04, 0x80, 0x00, 0x00, 0x00}, INT32_MIN},
                 {{0x43, 0x03, 0x01, 0x00, 0x00}, 65536}};
    for (const Case& k : cases) {
        Decoded d = Decode(k.bytes);
        ASSERT_EQ(d.result, ASN1_OK);
        EXPECT_EQ(int32_t(d.word(0)), k.value);
        EXPECT_EQ(d.value.m_count, 1);
        EXPECT_EQ(d.value.m_size, 4);
        EXPECT_EQ(d.value.m_tag, k.bytes[0]);
    }
    // Five content bytes do not fit 32 bits: the buffer stays as it was.
    Decoded big = Decode({0x02, 0x05, 0x01, 0, 0, 0, 0});
    EXPECT_EQ(big.word(0), 0xCCCCCCCCu);
    EXPECT_EQ(big.value.m_size, 4);
    // Empty content is no integer at all: nothing decoded, buffer untouched.
    for (uint8_t tag : {0x02, 0x43}) {
        Decoded empty = Decode({tag, 0x00});
        ASSERT_EQ(empty.result, ASN1_OK);
        EXPECT_EQ(empty.value.m_count, 0);
        EXPECT_EQ(empty.value.m_size, 0);
        EXPECT_EQ(empty.word(0), 0xCCCCCCCCu);
    }
    // A buffer too small for the 32-bit word is never written.
    Decoded small = Decode({0x02, 0x01, 0x05}, 2);
    EXPECT_EQ(small.buffer[0], 0xCC);
}

TEST(BerValue, BooleanNullAndCounter64) {
    Decoded t = Decode({0x01, 0x01, 0xFF});
    EXPECT_EQ(t.word(0), 0xFFu);
    EXPECT_EQ(t.value.m_count, 1);
    EXPECT_EQ(t.value.m_size, 4);
    // Only the canonical 01 01 v form is decoded.
    Decoded longForm = Decode({0x01, 0x81, 0x01, 0x01});
    EXPECT_EQ(longForm.word(0), 0xCCCCCCCCu);

    Decoded null = Decode({0x05, 0x00});
    EXPECT_EQ(null.value.m_count, 0);
    EXPECT_EQ(null.value.m_size, 0);

    Decoded c64 = Decode({0x46, 0x09, 0x00, 0xFF, 0, 0, 0, 0, 0, 0, 0x01});
    EXPECT_EQ(c64.word(0), 0xFF000000u);  // high 32 bits first
    EXPECT_EQ(c64.word(1), 0x00000001u);
    EXPECT_EQ(c64.value.m_size, 8);
    EXPECT_EQ(c64.value.m_count, -99);  // unchanged
    Decoded neg = Decode({0x46, 0x01, 0xFE});
    EXPECT_EQ(neg.word(0), 0xFFFFFFFFu);
    EXPECT_EQ(neg.word(1), 0xFFFFFFFEu);
    Decoded nineNonZero = Decode({0x46, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(nineNonZero.word(0), 0xCCCCCCCCu);
    Decoded empty = Decode({0x46, 0x00});
    EXPECT_EQ(empty.value.m_size, 0);
    EXPECT_EQ(empty.word(0), 0xCCCCCCCCu);
}

TEST(BerValue, Strings) {
    for (uint8_t tag : {0x04, 0x24, 0x40, 0x44, 0x45}) {
        Decoded d = Decode({tag, 0x03, 'a', 'b', 'c'});
        EXPECT_EQ(d.value.m_count, 3) << int(tag);
        EXPECT_EQ(d.value.m_size, 3);
        EXPECT_EQ(std::memcmp(d.buffer, "abc", 3), 0);
        Decoded tooBig = Decode({tag, 0x03, 'a', 'b', 'c'}, 2);
        EXPECT_EQ(tooBig.value.m_count, 2) << int(tag);  // the capacity
        EXPECT_EQ(tooBig.value.m_size, 2);
        EXPECT_EQ(tooBig.buffer[0], 0xCC);
    }
    Decoded bits = Decode({0x03, 0x02, 0x07, 0x80});
    EXPECT_EQ(bits.value.m_count, 2);
    EXPECT_EQ(bits.value.m_size, 32);  // unchanged
    EXPECT_EQ(bits.buffer[0], 0x07);
    EXPECT_EQ(bits.buffer[1], 0x80);
    Decoded badUnused = Decode({0x03, 0x02, 0x08, 0x80});
    EXPECT_EQ(badUnused.value.m_count, 32);
    EXPECT_EQ(badUnused.buffer[0], 0xCC);
    Decoded emptyBits = Decode({0x03, 0x00});
    EXPECT_EQ(emptyBits.value.m_count, 32);

    // Tags the table leaves out, such as SEQUENCE and context tags, are copied raw.
    for (uint8_t tag : {0x30, 0xA2, 0x41, 0x00, 0x47}) {
        Decoded d = Decode({tag, 0x02, 0x05, 0x00});
        EXPECT_EQ(d.value.m_count, 2) << int(tag);
        EXPECT_EQ(d.value.m_size, 2);
        EXPECT_EQ(d.buffer[0], 0x05);
        Decoded tooBig = Decode({tag, 0x02, 0x05, 0x00}, 1);
        EXPECT_EQ(tooBig.value.m_count, 2);
        EXPECT_EQ(tooBig.buffer[0], 0xCC);
    }
}

TEST(BerValue, ObjectIdentifiers) {
    Decoded spnego = Decode({0x06, 0x06, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x02});
    ASSERT_EQ(spnego.result, ASN1_OK);
    EXPECT_EQ(spnego.value.m_count, 7);
    EXPECT_EQ(spnego.value.m_size, 28);
    const uint32_t arcs[] = {1, 3, 6, 1, 5, 5, 2};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(spnego.word(i), arcs[i]) << i;

    // NTLMSSP, 1.3.6.1.4.1.311.2.2.10: 311 takes two base-128 bytes.
    Decoded ntlm = Decode({0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A}, 40);
    EXPECT_EQ(ntlm.value.m_count, 10);
    EXPECT_EQ(ntlm.word(6), 311u);
    EXPECT_EQ(ntlm.word(9), 10u);

    // The room (capacity / 4 words, one kept for the split) limits the arcs.
    Decoded cut = Decode({0x06, 0x06, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x02}, 17);
    EXPECT_EQ(cut.value.m_count, 4);
    EXPECT_EQ(cut.word(3), 1u);
    EXPECT_EQ(cut.buffer[16], 0xCC);

    Decoded empty = Decode({0x06, 0x00});
    EXPECT_EQ(empty.value.m_count, 2);
    EXPECT_EQ(empty.word(0), 0u);
    EXPECT_EQ(empty.word(1), 0u);

    Decoded tiny = Decode({0x06, 0x01, 0x2B}, 7);
    EXPECT_EQ(tiny.value.m_count, 0);
    EXPECT_EQ(tiny.buffer[0], 0xCC);
}

TEST(BerValue, FailuresReportNothing) {
    Decoded d = Decode({0x02, 0x05, 0x01});
    EXPECT_EQ(d.result, ASN1_NO_MORE_DATA);
    EXPECT_EQ(d.value.m_count, -99);
    EXPECT_EQ(d.buffer[0], 0xCC);
}

TEST(BerParser, ReservedSlotsDoNothing) {
    CAsn1BerParse p;
    EXPECT_EQ(p.Reserved1(), 0);
    EXPECT_EQ(p.Reserved3(), 0);
}

}  // namespace
