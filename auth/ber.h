// A small ASN.1 BER reader for security tokens: SPNEGO, the GSS-API framing and Kerberos.
//
// It cuts one tag-length-value element at a time out of a byte range and never recurses:
// a caller that wants to go deeper points a new cursor at an element's content. It keeps
// no state, allocates nothing and never reads a byte outside the cursor's range.
#pragma once

#include <cstdint>
#include <span>

enum : int {
    ASN1_OK = 0,
    ASN1_LIST_FULL = 1,           // the element list has no free entry
    ASN1_NO_MORE_DATA = -3,       // offset at or past the end, or the element runs past it
    ASN1_UNSUPPORTED_FORM = -5,   // high tag number form, or indefinite length
    ASN1_BAD_LENGTH = -6,         // more than 4 length octets, or a length above 0x80000000
};

// The range being read and the position in it. Positions are 16-bit: a range is at most
// 65535 bytes.
struct Asn1Cursor {
    const uint8_t* m_pData = nullptr;
    uint16_t m_length = 0;
    uint16_t m_flags = 0;       // cleared by the callers, not used by the reader
    uint16_t m_offset = 0;      // where the next element begins
    uint16_t m_nextOffset = 0;  // out: just past the element read (the start offset on failure)
    uint8_t m_end = 0;          // out: cleared by every read
};

// One element; its content points into the cursor's bytes.
struct Asn1Element {
    uint8_t m_tag = 0;  // the identifier octet unchanged
    uint16_t m_headerLen = 0;
    uint16_t m_contentLen = 0;
    const uint8_t* m_pContent = nullptr;
};

// Elements read one after another into caller-supplied storage.
struct Asn1ElementList {
    // Never read by the reader; kept at 0 by every user so that a list is always in a known
    // state (it would otherwise be the only uninitialised word of the record).
    uint16_t m_reserved = 0;
    uint16_t m_count = 0;
    uint16_t m_capacity = 0;
    Asn1Element* m_pItems = nullptr;
};

// Target of value decoding: a caller buffer of m_size bytes.
struct Asn1Value {
    void* m_pBuffer = nullptr;
    int m_size = 0;     // in: capacity in bytes; out: bytes meaningful in the buffer
    uint8_t m_tag = 0;  // out
    int m_count = 0;    // out: items or bytes decoded
};

// Decodes the length octets at p. The caller guarantees that the octets are readable: the
// first one, and in the long form the (first & 0x7F) that follow when that is at most 4.
int DecodeBerLength(const uint8_t* p, unsigned& lengthBytes, unsigned& length);

class CAsn1EleParse {
public:
    virtual int ParseNextElement(Asn1Cursor& cursor, Asn1ElementList& list) = 0;
    virtual int Reserved1() = 0;
    virtual int DecodeValue(Asn1Cursor& cursor, Asn1Value& value) = 0;
    virtual int Reserved3() = 0;
    virtual int ParseElement(Asn1Cursor& cursor, Asn1Element& element) = 0;

protected:
    ~CAsn1EleParse() = default;  // never deleted through the interface
};

class CAsn1BerParse final : public CAsn1EleParse {
public:
    int ParseNextElement(Asn1Cursor& cursor, Asn1ElementList& list) override;
    int Reserved1() override { return 0; }
    int DecodeValue(Asn1Cursor& cursor, Asn1Value& value) override;
    int Reserved3() override { return 0; }
    int ParseElement(Asn1Cursor& cursor, Asn1Element& element) override;
};

// The one reader every connection shares (it has no state).
extern CAsn1BerParse g_asn1Parser;

// The reader for the modern code: cuts the element at the front of `range` (at most 65535
// bytes) and moves `range` past it. False, with `range` unchanged, when no whole element is
// there. The tag is the identifier octet unchanged; the content points into the range.
namespace smbaudit::auth {

struct BerElement {
    uint8_t tag = 0;
    std::span<const uint8_t> content;
};

bool TakeElement(std::span<const uint8_t>& range, BerElement& element);

}  // namespace smbaudit::auth
