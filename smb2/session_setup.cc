// SESSION_SETUP (every leg) and LOGOFF: who the session belongs to and how it is protected.
#include "auth/security_token.h"
#include "smb2/connection_impl.h"
#include "text/value_string.h"

namespace smbaudit::smb2 {

namespace {
constexpr uint8_t kSetupBinding = 0x01;
constexpr uint16_t kSessionGuest = 0x0001, kSessionNull = 0x0002, kSessionEncrypt = 0x0004;
constexpr uint8_t kSigningRequired = 0x02;

// Who the client says it is: the NTLMSSP AUTHENTICATE (bare or in SPNEGO) names user, domain
// and workstation; a Kerberos AP-REQ names, in clear, only the ticket's realm and service.
void ReadIdentity(Span buffer, Identity& id) {
    auth::SecurityToken token;
    auth::ReadSecurityToken(buffer.data, buffer.size, token);  // a malformed NTLMSSP keeps what it read
    if (token.kind == auth::TokenKind::NtlmAuthenticate) {
        const auth::NtlmAuthenticate& a = token.ntlmAuthenticate;
        // SMB2 clients send Unicode; a message too short for its flags is read as such.
        const bool unicode = !a.hasFlags || a.unicode();
        auto text = [&](const auth::NtlmField& f) {
            auth::Bytes b = auth::NtlmText(token.ntlmMessage, f, unicode);
            return unicode ? ReadUtf16(b.data(), b.size()) : WidenBytes(b.data(), b.size());
        };
        id.user = text(a.user);
        id.domain = text(a.domain);
        id.workstation = text(a.workstation);
        id.auth = AuthKind::Ntlmssp;
    } else if (token.kind == auth::TokenKind::KerberosApReq) {
        id.realm = WidenBytes(token.kerberosApReq.realm);
        id.servicePrincipal = WidenBytes(token.kerberosApReq.servicePrincipal);
        id.auth = AuthKind::Kerberos;
    }
}
}  // namespace

void OnSessionSetupRequest(Connection::Impl& c, const Message& m, const SessionSetupRequest& req, Pending& p) {
    p.flags = uint16_t(req.flags | (req.securityMode & kSigningRequired) << 8);
    ReadIdentity(req.securityBuffer, p.identity);
    if (c.decryptor)
        c.decryptor->OnSessionSetup(m.h.sessionId, true, req.securityBuffer.data, req.securityBuffer.size, 0);
}

void OnSessionSetupResponse(Connection::Impl& c, const Message* m, const SessionSetupResponse* rsp, Pending& p) {
    if (m && rsp && c.decryptor)
        c.decryptor->OnSessionSetup(m->h.sessionId, false, rsp->securityBuffer.data, rsp->securityBuffer.size,
                                    m->h.status);
    // The session id is the server's: the first request carries 0.
    const uint64_t id = m ? m->h.sessionId : p.sessionId;
    if (!m && id == 0) return;  // an unanswered first leg names no session
    Session& s = c.GetSession(id, m ? m->time : *p.time);
    // The identity comes with the leg that carries it (Kerberos: the first, NTLMSSP: the
    // last); later legs of the exchange do not erase it.
    if (p.identity.auth != AuthKind::Unknown) s.identity = p.identity;
    if (m && m->h.status == kStatusMoreProcessing) return;
    s.binding = p.flags & kSetupBinding;
    s.signingRequired = (p.flags >> 8 & kSigningRequired) || (c.negotiated.securityMode & kSigningRequired);
    s.dialect = c.negotiated.dialect;
    if (s.binding && c.directory) c.directory->Find(id, s.identity);
    if (m && m->h.status == kStatusSuccess) {
        s.loggedOn = true;
        if (rsp) {
            s.guest = rsp->sessionFlags & kSessionGuest;
            s.anonymous = rsp->sessionFlags & kSessionNull;
            s.encryptData = rsp->sessionFlags & kSessionEncrypt;
        }
        if (s.anonymous) s.identity.auth = AuthKind::Anonymous;
        else if (s.guest) s.identity.auth = AuthKind::Guest;
        // With the service's keytab the decryptor opens the ticket: the client it names.
        std::string principal, realm;
        if (s.identity.auth == AuthKind::Kerberos && c.decryptor && c.decryptor->KerberosClient(id, principal, realm)) {
            s.identity.user = WidenBytes(principal);
            s.identity.domain = WidenBytes(realm);
        }
        if (c.directory && !s.binding) c.directory->Publish(id, s.identity);
    }
    p.sessionId = id;
    Event ev = c.MakeEvent(EventKind::Logon, p, m);
    ev.dialect = s.dialect;
    ev.signing = s.signingRequired;
    ev.negotiated = &c.negotiated;
    c.Emit(ev);
}

void OnLogoffRequest(Connection::Impl&, const Message&, const Empty&, Pending&) {}

void OnLogoffResponse(Connection::Impl& c, const Message* m, const Empty*, Pending& p) {
    Event ev = c.MakeEvent(EventKind::Logoff, p, m);
    c.Emit(ev);
    if (!m || m->h.status != kStatusSuccess) return;
    // The session goes with its trees and opens.
    std::erase_if(c.opens, [&](const auto& o) { return o.second.sessionId == p.sessionId; });
    ++c.opensErased;
    c.trees.erase(c.trees.lower_bound({p.sessionId, 0}), c.trees.upper_bound({p.sessionId, kAllOnes32}));
    c.sessions.erase(p.sessionId);
    if (c.directory) c.directory->Remove(p.sessionId);
}

}  // namespace smbaudit::smb2
