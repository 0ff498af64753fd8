#include "auth/spnego.h"

namespace smbaudit::auth {

namespace {

Asn1Cursor CursorOver(Bytes range) {
    Asn1Cursor c;
    c.m_pData = range.data();
    c.m_length = uint16_t(range.size());
    return c;
}

Bytes ContentOf(const Asn1Element& e) { return {e.m_pContent, e.m_contentLen}; }

}  // namespace

int ReadSpnegoSequence(Bytes token, Bytes& fields) {
    if (token.size() > kMaxTokenBytes) return ASN1_NO_MORE_DATA;
    Asn1Cursor cursor = CursorOver(token);
    Asn1Element outer;  // [0] negTokenInit or [1] negTokenResp
    int r = g_asn1Parser.ParseElement(cursor, outer);
    if (r != ASN1_OK) return r;
    cursor = CursorOver(ContentOf(outer));
    Asn1Element sequence;
    r = g_asn1Parser.ParseElement(cursor, sequence);
    if (r != ASN1_OK) return r;
    fields = ContentOf(sequence);
    return ASN1_OK;
}

void ReadSpnegoFields(Bytes fields, Asn1ElementList& list) {
    Asn1Cursor cursor = CursorOver(fields);
    while (g_asn1Parser.ParseNextElement(cursor, list) == ASN1_OK) cursor.m_offset = cursor.m_nextOffset;
}

const Asn1Element* FindSpnegoField(const Asn1ElementList& list, uint8_t number) {
    for (uint16_t i = 0; i < list.m_count; ++i)
        if ((list.m_pItems[i].m_tag & 0x1F) == number) return &list.m_pItems[i];
    return nullptr;
}

Bytes SpnegoFieldValue(const Asn1Element& field) {
    Asn1Cursor cursor = CursorOver(ContentOf(field));
    Asn1Element inner;
    return g_asn1Parser.ParseElement(cursor, inner) == ASN1_OK ? ContentOf(inner) : ContentOf(field);
}

}  // namespace smbaudit::auth
