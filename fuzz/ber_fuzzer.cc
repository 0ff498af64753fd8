// The BER reader on its own: every element of the input, walked breadth-first through the
// constructed ones, read with ParseElement, listed with ParseNextElement and decoded with
// DecodeValue into a buffer of exactly the chosen size.
//
// Input layout: a byte choosing the value buffer's size (0 to 63 bytes), a byte choosing the
// element list's capacity (0 to 7), then the bytes to read (at most 65535 are used).
//
// Checks besides the sanitizers: an element read lies inside its range and moves the cursor
// forward, a failed read leaves the cursor where it was, a list never holds more than its
// capacity, the walk, which never recurses, visits a bounded number of elements, and
// TakeElement (the modern face of the reader) cuts exactly the elements ParseElement cuts.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "fuzz_input.h"
#include "auth/ber.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

Asn1Cursor CursorOver(const uint8_t* p, uint16_t n, uint16_t offset) {
    Asn1Cursor c;
    c.m_pData = p;
    c.m_length = n;
    c.m_offset = offset;
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int valueSize = in.U8() & 63;
    const uint16_t listCapacity = in.U8() & 7;
    size_t n = 0;
    const uint8_t* p = in.Take(0xFFFF, n);
    ExactCopy bytes(p, n);
    std::unique_ptr<uint8_t[]> value(valueSize ? new uint8_t[valueSize] : nullptr);
    std::unique_ptr<Asn1Element[]> items(listCapacity ? new Asn1Element[listCapacity] : nullptr);

    // Ranges still to walk: the whole input, then the content of every constructed element.
    std::deque<std::pair<const uint8_t*, uint16_t>> ranges{{bytes.data(), uint16_t(n)}};
    size_t visited = 0;
    while (!ranges.empty()) {
        auto [base, len] = ranges.front();
        ranges.pop_front();

        Asn1ElementList list;
        list.m_capacity = listCapacity;
        list.m_pItems = items.get();
        Asn1Cursor listing = CursorOver(base, len, 0);
        int r;
        while ((r = g_asn1Parser.ParseNextElement(listing, list)) == ASN1_OK) {
            Check(listing.m_nextOffset > listing.m_offset);
            listing.m_offset = listing.m_nextOffset;
        }
        Check(listing.m_nextOffset == listing.m_offset);
        Check(list.m_count <= list.m_capacity);

        uint16_t offset = 0;
        for (;;) {
            Asn1Cursor c = CursorOver(base, len, offset);
            Asn1Element e;
            r = g_asn1Parser.ParseElement(c, e);
            std::span<const uint8_t> rest(base + offset, len - offset);
            smbaudit::auth::BerElement taken;
            const bool took = smbaudit::auth::TakeElement(rest, taken);
            Check(took == (r == ASN1_OK));
            if (r != ASN1_OK) {
                Check(c.m_nextOffset == offset && rest.size() == size_t(len - offset));
                break;
            }
            Check(taken.tag == e.m_tag && taken.content.data() == e.m_pContent && taken.content.size() == e.m_contentLen);
            Check(rest.data() == base + c.m_nextOffset);
            // Two bytes of header at least; the content inside the range.
            Check(c.m_nextOffset > offset && c.m_nextOffset <= len && e.m_headerLen >= 2);
            Check(e.m_pContent == base + offset + e.m_headerLen);
            Check(e.m_pContent + e.m_contentLen == base + c.m_nextOffset);
            Check(++visited <= n);  // every element visited owns at least its two header bytes

            Asn1Cursor v = CursorOver(base, len, offset);
            Asn1Value out;
            out.m_pBuffer = value.get();
            out.m_size = valueSize;
            Check(g_asn1Parser.DecodeValue(v, out) == ASN1_OK);
            Check(out.m_tag == e.m_tag && v.m_nextOffset == c.m_nextOffset);

            if ((e.m_tag & 0x20) && e.m_contentLen) ranges.emplace_back(e.m_pContent, e.m_contentLen);
            offset = c.m_nextOffset;
        }
    }
    return 0;
}
