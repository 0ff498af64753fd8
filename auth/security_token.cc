// Any Session Setup security token, unwrapped layer by layer in a loop of at most
// kMaxTokenDepth steps: the GSS-API initial context token (RFC 2743: [APPLICATION 0] with
// the mechanism's OID first), SPNEGO's negTokenInit and negTokenResp, the Kerberos framing
// of RFC 4121 (a two-byte token id before the Kerberos message) and the messages inside.
#include <algorithm>

#include "auth/spnego.h"

namespace smbaudit::auth {

namespace {

constexpr uint8_t kGssApiTag = 0x60;
constexpr uint8_t kObjectIdTag = 0x06;
constexpr uint8_t kNegTokenInitTag = 0xA0;
constexpr uint8_t kNegTokenRespTag = 0xA1;
constexpr uint8_t kApReqTag = 0x6E;
constexpr uint8_t kApRepTag = 0x6F;
constexpr uint8_t kEnumeratedTag = 0x0A;

constexpr uint8_t kSpnegoOid[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x02};  // 1.3.6.1.5.5.2
// 1.2.840.113554.1.2.2, and 1.2.840.48018.1.2.2 that Windows offers beside it.
constexpr uint8_t kKerberosOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02};
constexpr uint8_t kMsKerberosOid[] = {0x2A, 0x86, 0x48, 0x82, 0xF7, 0x12, 0x01, 0x02, 0x02};

template <size_t N>
bool Is(Bytes b, const uint8_t (&value)[N]) {
    return b.size() == N && std::equal(b.begin(), b.end(), value);
}

bool ReadNtlm(Bytes message, uint32_t type, SecurityToken& out) {
    out.ntlmMessage = message;
    switch (type) {
        case kNtlmNegotiateMessage: out.kind = TokenKind::NtlmNegotiate; return true;
        case kNtlmChallengeMessage: out.kind = TokenKind::NtlmChallenge; return ReadNtlmChallenge(message, out.ntlmChallenge);
        case kNtlmAuthenticateMessage: out.kind = TokenKind::NtlmAuthenticate; return ReadNtlmAuthenticate(message, out.ntlmAuthenticate);
        default: out.kind = TokenKind::Unknown; return false;
    }
}

}  // namespace

bool ReadSecurityToken(const uint8_t* data, size_t len, SecurityToken& out) {
    out = SecurityToken();
    if (len == 0) return false;
    out.kind = TokenKind::Unknown;
    if (len > kMaxTokenBytes) return false;
    Bytes token(data, len);
    for (int depth = 0; depth < kMaxTokenDepth; ++depth) {
        if (const std::optional<uint32_t> type = NtlmMessageType(token)) return ReadNtlm(token, *type, out);
        Bytes rest = token;
        BerElement e;
        if (!TakeElement(rest, e)) return false;
        switch (e.tag) {
            case kGssApiTag: {
                Bytes inner = e.content;
                BerElement oid;
                if (!TakeElement(inner, oid) || oid.tag != kObjectIdTag) return false;
                if (Is(oid.content, kSpnegoOid)) {
                    token = inner;  // a negTokenInit
                    break;
                }
                if (!Is(oid.content, kKerberosOid) && !Is(oid.content, kMsKerberosOid)) return false;
                if (inner.size() < 2 || inner[1] != 0 || (inner[0] != 1 && inner[0] != 2)) return false;
                const uint8_t expected = inner[0] == 1 ? kApReqTag : kApRepTag;
                token = inner.subspan(2);
                if (token.empty() || token[0] != expected) return false;
                break;
            }
            case kNegTokenInitTag:
            case kNegTokenRespTag: {
                out.spnego = true;
                Bytes fields;
                if (ReadSpnegoSequence(token, fields) != ASN1_OK) return false;
                Asn1Element items[kSpnegoFields];
                Asn1ElementList list;
                list.m_capacity = kSpnegoFields;
                list.m_pItems = items;
                ReadSpnegoFields(fields, list);
                if (e.tag == kNegTokenRespTag) {
                    const Asn1Element* state = FindSpnegoField(list, kSpnegoNegState);
                    BerElement value;
                    Bytes stateBytes = state ? Bytes(state->m_pContent, state->m_contentLen) : Bytes();
                    if (state && TakeElement(stateBytes, value) && value.tag == kEnumeratedTag && value.content.size() == 1)
                        out.negState = value.content[0];
                }
                const Asn1Element* mech = FindSpnegoField(list, kSpnegoMechToken);
                if (!mech) {
                    out.kind = TokenKind::SpnegoNoMechToken;
                    return true;
                }
                token = SpnegoFieldValue(*mech);
                if (token.empty()) return false;
                break;
            }
            case kApReqTag:
                out.kind = TokenKind::KerberosApReq;
                return ReadKerberosApReq(token.data(), token.size() - rest.size(), out.kerberosApReq);
            case kApRepTag:
                out.kind = TokenKind::KerberosApRep;
                return ReadKerberosApRep(token.data(), token.size() - rest.size(), out.kerberosApRep);
            default:
                return false;
        }
    }
    return false;  // nested deeper than any real token
}

}  // namespace smbaudit::auth
