// SESSION_SETUP (every leg) and LOGOFF: who the session belongs to and how it is protected.
#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

namespace {
constexpr uint8_t kSetupBinding = 0x01;
constexpr uint16_t kSessionGuest = 0x0001, kSessionNull = 0x0002, kSessionEncrypt = 0x0004;
constexpr uint8_t kSigningRequired = 0x02;
}  // namespace

void OnSessionSetupRequest(Connection::Impl& c, const Message& m, const SessionSetupRequest& req, Pending& p) {
    p.flags = uint16_t(req.flags | (req.securityMode & kSigningRequired) << 8);
    if (c.decryptor)
        c.decryptor->OnSessionSetup(m.h.sessionId, true, req.securityBuffer.data, req.securityBuffer.size, 0);
}

void OnSessionSetupResponse(Connection::Impl& c, const Message* m, const SessionSetupResponse* rsp, Pending& p) {
    if (m && rsp && c.decryptor)
        c.decryptor->OnSessionSetup(m->h.sessionId, false, rsp->securityBuffer.data, rsp->securityBuffer.size,
                                    m->h.status);
    // The session id is the server's: the first request carries 0.
    const uint64_t id = m ? m->h.sessionId : p.sessionId;
    if (m && m->h.status == kStatusMoreProcessing) {
        c.GetSession(id, m->time);
        return;
    }
    if (!m && id == 0) return;  // an unanswered first leg names no session
    Session& s = c.GetSession(id, m ? m->time : *p.time);
    s.binding = p.flags & kSetupBinding;
    s.signingRequired = (p.flags >> 8 & kSigningRequired) || c.serverSigningRequired;
    s.dialect = c.dialect;
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
        if (c.directory && !s.binding) c.directory->Publish(id, s.identity);
    }
    p.sessionId = id;
    Event ev = c.MakeEvent(EventKind::Logon, p, m);
    ev.dialect = s.dialect;
    ev.signing = s.signingRequired;
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
