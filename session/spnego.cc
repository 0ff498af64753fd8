// SPNEGO ([RFC 4178]) as far as logons need it: the NTLMSSP message inside a negTokenTarg
// (context tag [1]) token. Only the server's CHALLENGE and the client's AUTHENTICATE travel
// in such tokens; the initial GSS-API token (0x60), which carries the client's NEGOTIATE,
// is never parsed. The mechanism is not checked to be NTLMSSP: the NTLMSSP reader checks
// its own signature.
#include <new>

#include "context/smb_context.h"
#include "framework/framework.h"
#include "session/ber.h"

namespace {

constexpr uint16_t kTokenElements = 5;  // negState, supportedMech, responseToken, mechListMIC, one spare

Asn1Cursor CursorOver(const uint8_t* data, uint16_t length) {
    Asn1Cursor c;
    c.m_pData = data;
    c.m_length = length;
    return c;
}

char* AsMessage(const uint8_t* p) { return reinterpret_cast<char*>(const_cast<uint8_t*>(p)); }

// The element array of one token, from the framework allocator, returned on every path.
class ElementArray {
public:
    ElementArray() : m_p(reinterpret_cast<Asn1Element*>(ZELK::MyMemAlloc(sizeof(Asn1Element) * kTokenElements))) {
        if (m_p)
            for (uint16_t i = 0; i < kTokenElements; ++i) new (&m_p[i]) Asn1Element;
    }
    ~ElementArray() { ZELK::MyMemFree(m_p); }  // Asn1Element is trivially destructible
    ElementArray(const ElementArray&) = delete;
    ElementArray& operator=(const ElementArray&) = delete;
    Asn1Element* get() const { return m_p; }

private:
    Asn1Element* m_p;
};

}  // namespace

int CSMBContext::ProcessGSSAPI(CSILogon* logon, char* token, unsigned short length) {
    if (length == 0 || static_cast<uint8_t>(token[0]) != 0xA1) return SMB_RET_OK;
    return ProcessSPNEGO(logon, token, length);
}

int CSMBContext::ProcessSPNEGO(CSILogon* logon, char* token, unsigned short length) {
    Asn1Cursor cursor = CursorOver(reinterpret_cast<const uint8_t*>(token), length);
    Asn1Element targ;  // [1] negTokenTarg
    int r = g_asn1Parser.ParseElement(cursor, targ);
    if (r != ASN1_OK) return r;
    cursor = CursorOver(targ.m_pContent, targ.m_contentLen);
    Asn1Element sequence;  // its SEQUENCE (the tag is not checked)
    r = g_asn1Parser.ParseElement(cursor, sequence);
    if (r != ASN1_OK) return r;
    ProcessNegoTokenTarg(logon, AsMessage(sequence.m_pContent), sequence.m_contentLen);
    return SMB_RET_OK;
}

int CSMBContext::ProcessNegoTokenTarg(CSILogon* logon, char* token, unsigned short length) {
    ElementArray items;
    if (!items.get()) return SMB_RET_NO_MEMORY;
    Asn1ElementList list;
    list.m_capacity = kTokenElements;
    list.m_pItems = items.get();
    Asn1Cursor cursor = CursorOver(reinterpret_cast<const uint8_t*>(token), length);
    // Up to the end, the first malformed element, or a full list.
    while (g_asn1Parser.ParseNextElement(cursor, list) == ASN1_OK) cursor.m_offset = cursor.m_nextOffset;
    if (list.m_count == 0) return SMB_RET_OK;

    // [2] responseToken when there is one; otherwise the first element, whose content then
    // reaches the NTLMSSP reader and is rejected there.
    Asn1Element* chosen = &list.m_pItems[0];
    for (uint16_t i = 0; i < list.m_count; ++i) {
        if ((list.m_pItems[i].m_tag & 0x1F) == 2) {
            chosen = &list.m_pItems[i];
            break;
        }
    }
    // Down to the OCTET STRING inside. When that fails the entry still describes the
    // outer element, and its content is what goes on.
    cursor = CursorOver(chosen->m_pContent, chosen->m_contentLen);
    g_asn1Parser.ParseElement(cursor, *chosen);
    ProcessNTLMSSP(logon, AsMessage(chosen->m_pContent), chosen->m_contentLen);
    return SMB_RET_OK;
}
