// SPNEGO ([RFC 4178]) as far as SMB1 logons need it: the NTLMSSP message inside a
// negTokenTarg (context tag [1]) token. Only the server's CHALLENGE and the client's
// AUTHENTICATE travel in such tokens; the initial GSS-API token (0x60), which carries the
// client's NEGOTIATE, is never parsed. The token's layers are read by the shared SPNEGO
// reader (auth/spnego.h); the mechanism is not checked to be NTLMSSP: the NTLMSSP reader
// checks its own signature.
#include <new>

#include "auth/spnego.h"
#include "context/smb_context.h"
#include "framework/framework.h"

namespace {

namespace auth = smbaudit::auth;

char* AsMessage(auth::Bytes b) { return reinterpret_cast<char*>(const_cast<uint8_t*>(b.data())); }
auth::Bytes AsBytes(const char* p, unsigned short n) { return {reinterpret_cast<const uint8_t*>(p), n}; }

// The element array of one token, from the framework allocator, returned on every path.
class ElementArray {
public:
    ElementArray() : m_p(reinterpret_cast<Asn1Element*>(ZELK::MyMemAlloc(sizeof(Asn1Element) * auth::kSpnegoFields))) {
        if (m_p)
            for (uint16_t i = 0; i < auth::kSpnegoFields; ++i) new (&m_p[i]) Asn1Element;
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
    auth::Bytes fields;
    const int r = auth::ReadSpnegoSequence(AsBytes(token, length), fields);
    if (r != ASN1_OK) return r;
    ProcessNegoTokenTarg(logon, AsMessage(fields), uint16_t(fields.size()));
    return SMB_RET_OK;
}

int CSMBContext::ProcessNegoTokenTarg(CSILogon* logon, char* token, unsigned short length) {
    ElementArray items;
    if (!items.get()) return SMB_RET_NO_MEMORY;
    Asn1ElementList list;
    list.m_capacity = auth::kSpnegoFields;
    list.m_pItems = items.get();
    auth::ReadSpnegoFields(AsBytes(token, length), list);
    if (list.m_count == 0) return SMB_RET_OK;
    // [2] responseToken when there is one; otherwise the first element, whose content then
    // reaches the NTLMSSP reader and is rejected there.
    const Asn1Element* chosen = auth::FindSpnegoField(list, auth::kSpnegoMechToken);
    const auth::Bytes message = auth::SpnegoFieldValue(chosen ? *chosen : list.m_pItems[0]);
    ProcessNTLMSSP(logon, AsMessage(message), uint16_t(message.size()));
    return SMB_RET_OK;
}
