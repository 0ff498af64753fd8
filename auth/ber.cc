#include "auth/ber.h"

#include <cstring>

constinit CAsn1BerParse g_asn1Parser;

int DecodeBerLength(const uint8_t* p, unsigned& lengthBytes, unsigned& length) {
    const uint8_t first = p[0];
    if (first < 0x80) {
        length = first;
        lengthBytes = 1;
        return ASN1_OK;
    }
    // The indefinite form ends at an end-of-contents marker that a reader which never
    // descends cannot find; SPNEGO is DER, which forbids it.
    if (first == 0x80) return ASN1_UNSUPPORTED_FORM;
    const unsigned n = first & 0x7Fu;
    if (n > 4) return ASN1_BAD_LENGTH;
    // The n octets are a big-endian number.
    uint32_t value = 0;
    for (unsigned i = 0; i < n; ++i) value = value << 8 | p[1 + i];
    if (value > 0x80000000u) return ASN1_BAD_LENGTH;
    length = value;
    lengthBytes = n + 1;
    return ASN1_OK;
}

namespace {

// The start shared by the three reads: the element at the cursor's offset, checked to lie
// wholly inside the range. `listFull` is the list check of ParseNextElement, made after the
// end-of-range test. The cursor's next offset moves past the element only on success.
int ReadElement(Asn1Cursor& c, Asn1Element& e, bool listFull) {
    c.m_nextOffset = c.m_offset;
    c.m_end = 0;
    if (c.m_offset >= c.m_length) return ASN1_NO_MORE_DATA;
    if (listFull) return ASN1_LIST_FULL;
    const uint8_t* p = c.m_pData + c.m_offset;
    const unsigned avail = unsigned(c.m_length) - c.m_offset;
    if ((p[0] & 0x1F) == 0x1F) return ASN1_UNSUPPORTED_FORM;
    // Length octets beyond the range's end are never read: the element cannot fit anyway.
    if (avail < 2) return ASN1_NO_MORE_DATA;
    const unsigned longForm = p[1] & 0x7Fu;
    if (p[1] > 0x80 && longForm <= 4 && longForm > avail - 2) return ASN1_NO_MORE_DATA;
    unsigned lengthBytes = 0;
    unsigned length = 0;
    const int r = DecodeBerLength(p + 1, lengthBytes, length);
    if (r != ASN1_OK) return r;
    // At most 5 length octets and a length of at most 0x80000000: no 32-bit overflow.
    if (1 + lengthBytes + length > avail) return ASN1_NO_MORE_DATA;
    e.m_tag = p[0];
    e.m_headerLen = uint16_t(1 + lengthBytes);
    e.m_contentLen = uint16_t(length);
    e.m_pContent = p + e.m_headerLen;
    c.m_nextOffset = uint16_t(c.m_offset + e.m_headerLen + e.m_contentLen);
    return ASN1_OK;
}

void PutWord(uint8_t* buffer, int index, uint32_t word) { std::memcpy(buffer + 4 * index, &word, 4); }

// Big-endian two's-complement content (1 to 8 significant bytes), sign-extended.
int64_t SignedBigEndian(const uint8_t* p, unsigned n) {
    uint64_t v = (p[0] & 0x80) ? ~uint64_t(0) : 0;
    for (unsigned i = 0; i < n; ++i) v = v << 8 | p[i];
    return int64_t(v);
}

// Object identifier arcs as 32-bit words. Word 0 is kept for the split of the first
// subidentifier (X.690: 40 * first arc + second arc); subidentifiers are base 128, high bit
// set on every byte but the last. A subidentifier cut off by the end of the content is
// not counted.
int DecodeObjectId(const uint8_t* content, unsigned n, uint8_t* buffer, int capacity) {
    const int room = capacity / 4;
    // Too small for even the two arcs of the split: nothing is written.
    if (room < 2) return 0;
    int words = 1;
    uint32_t acc = 0;
    for (unsigned i = 0; i < n && words < room; ++i) {
        acc = acc << 7 | (content[i] & 0x7Fu);
        if (!(content[i] & 0x80)) {
            PutWord(buffer, words++, acc);
            acc = 0;
        }
    }
    uint32_t first = 0;
    if (words > 1) std::memcpy(&first, buffer + 4, 4);
    PutWord(buffer, 0, (first / 40) & 0xFF);
    PutWord(buffer, 1, (first % 40) & 0xFF);
    return words > 1 ? words : 2;  // an empty identifier gives the arcs 0 and 0
}

}  // namespace

int CAsn1BerParse::ParseElement(Asn1Cursor& cursor, Asn1Element& element) {
    Asn1Element e;
    const int r = ReadElement(cursor, e, false);
    if (r == ASN1_OK) element = e;
    return r;
}

int CAsn1BerParse::ParseNextElement(Asn1Cursor& cursor, Asn1ElementList& list) {
    Asn1Element e;
    const int r = ReadElement(cursor, e, list.m_count >= list.m_capacity);
    if (r == ASN1_OK) list.m_pItems[list.m_count++] = e;
    return r;
}

// Decodes a primitive value by its tag. A buffer smaller than the fixed-size value of its
// row (4 bytes, 8 for tag 0x46) is never written to; counts and sizes are reported as for
// any other buffer.
int CAsn1BerParse::DecodeValue(Asn1Cursor& cursor, Asn1Value& value) {
    Asn1Element e;
    const int r = ReadElement(cursor, e, false);
    if (r != ASN1_OK) return r;
    value.m_tag = e.m_tag;
    auto* out = static_cast<uint8_t*>(value.m_pBuffer);
    const int capacity = value.m_size;
    const unsigned n = e.m_contentLen;
    const uint8_t* content = e.m_pContent;
    const bool fits = int(n) <= capacity;
    switch (e.m_tag) {
        case 0x01:  // BOOLEAN: only the canonical 01 01 v
            if (e.m_headerLen == 2 && n == 1 && capacity >= 4) PutWord(out, 0, content[0]);
            value.m_count = 1;
            value.m_size = 4;
            break;
        case 0x02:  // INTEGER
        case 0x43:  // application 3 (TimeTicks)
            if (n == 0) {
                // Empty content is not an integer (BER needs at least one octet); rather than
                // invent a 0 indistinguishable from a real one, nothing is decoded.
                value.m_count = 0;
                value.m_size = 0;
                break;
            }
            if (n <= 4 && capacity >= 4) PutWord(out, 0, uint32_t(int32_t(SignedBigEndian(content, n))));
            value.m_count = 1;
            value.m_size = 4;
            break;
        case 0x03:  // BIT STRING: the unused-bits octet first
            if (n >= 1 && fits && content[0] < 8) {
                std::memcpy(out, content, n);  // n >= 1, so out is a real buffer
                value.m_count = int(n);
            } else {
                value.m_count = capacity;
            }
            break;
        case 0x04:  // OCTET STRING
        case 0x24:  // constructed OCTET STRING, taken whole
        case 0x40:  // application 0 (IpAddress)
        case 0x44:  // application 4 (Opaque)
        case 0x45:  // application 5
            if (fits && n) std::memcpy(out, content, n);
            value.m_count = fits ? int(n) : capacity;
            value.m_size = value.m_count;
            break;
        case 0x05:  // NULL
            value.m_count = 0;
            value.m_size = 0;
            break;
        case 0x06:  // OBJECT IDENTIFIER
            value.m_count = DecodeObjectId(content, n, out, capacity);
            value.m_size = 4 * value.m_count;
            break;
        case 0x46:  // application 6 (Counter64): up to 8 value bytes, 9 with a leading 0
            if (n == 0) {
                // As for an empty INTEGER: nothing decoded.
                value.m_size = 0;
                break;
            }
            if ((n <= 8 || (n == 9 && content[0] == 0)) && capacity >= 8) {
                const uint64_t v = n == 9 ? uint64_t(SignedBigEndian(content + 1, 8)) : uint64_t(SignedBigEndian(content, n));
                PutWord(out, 0, uint32_t(v >> 32));
                PutWord(out, 1, uint32_t(v));
            }
            value.m_size = 8;
            break;
        default:
            if (fits && n) std::memcpy(out, content, n);
            value.m_count = int(n);
            value.m_size = int(n);
            break;
    }
    return ASN1_OK;
}

namespace smbaudit::auth {

bool TakeElement(std::span<const uint8_t>& range, BerElement& element) {
    if (range.size() > 0xFFFF) return false;
    Asn1Cursor c;
    c.m_pData = range.data();
    c.m_length = uint16_t(range.size());
    Asn1Element e;
    if (g_asn1Parser.ParseElement(c, e) != ASN1_OK) return false;
    element.tag = e.m_tag;
    element.content = {e.m_pContent, e.m_contentLen};
    range = range.subspan(c.m_nextOffset);
    return true;
}

}  // namespace smbaudit::auth
