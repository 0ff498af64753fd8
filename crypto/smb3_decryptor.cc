#include "crypto/smb3_decryptor.h"

#include <array>

#include "auth/security_token.h"
#include "crypto/kerberos.h"
#include "framework/byte_reader.h"
#include "smb2/wire.h"

namespace smbaudit::crypto {
namespace {

constexpr size_t kSmb2HeaderBytes = 64;
constexpr uint8_t kSessionFlagBinding = 0x01;

// UTF-16LE bytes, or 8-bit OEM text widened byte by byte.
std::u16string NtlmString(auth::Bytes bytes, bool unicode) {
    std::u16string out;
    if (unicode) {
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) out.push_back(char16_t(bytes[i] | bytes[i + 1] << 8));
    } else {
        for (uint8_t b : bytes) out.push_back(char16_t(b));
    }
    return out;
}

}  // namespace

struct Smb3Decryptor::Session {
    Sha512Digest hash{};
    bool hashing = false;      // SESSION_SETUP messages are being chained into `hash`
    bool fromStart = false;    // the chain began at the session's first request
    bool established = false;  // the final successful response has been seen
    bool binding = false;      // a further channel of a session set up elsewhere
    std::optional<std::array<uint8_t, 8>> challenge;
    Secret key;                // from this connection's logon
    Secret ticketKey;          // Kerberos: the ticket's session key, which opens the AP-REP
    std::string principal, realm;
    std::shared_ptr<const SessionSecrets> keysFrom;  // what the cipher keys were made of
    TransformKey clientToServer, serverToClient;
};

Smb3Decryptor::Smb3Decryptor(KeyStore& store) : m_store(store) {}
Smb3Decryptor::~Smb3Decryptor() = default;

Smb3Decryptor::Session* Smb3Decryptor::Find(uint64_t sessionId) {
    auto it = m_sessions.find(sessionId);
    return it == m_sessions.end() ? nullptr : it->second.get();
}

Smb3Decryptor::Session* Smb3Decryptor::FindOrAdd(uint64_t sessionId) {
    if (Session* s = Find(sessionId)) return s;
    if (m_sessions.size() >= kMaxSessions) return nullptr;
    return m_sessions.emplace(sessionId, std::make_unique<Session>()).first->second.get();
}

void Smb3Decryptor::OnPreauthMessage(uint64_t sessionId, bool fromClient, const uint8_t* msg, size_t len) {
    ByteReader r(msg, len);
    uint16_t command = r.U16(12);
    r.U8(kSmb2HeaderBytes - 1);
    if (!msg || !r.ok()) return;
    if (command == smb2::kNegotiate) {
        // A NEGOTIATE request starts the connection's chain afresh from 64 zero bytes.
        m_connectionHash = Sha512(fromClient ? Sha512Digest{} : m_connectionHash, ByteView(msg, len));
    } else if (command == smb2::kSessionSetup) {
        if (fromClient)
            SessionSetupRequest(sessionId, msg, len);
        else
            SessionSetupResponse(sessionId, msg, len);
    }
}

void Smb3Decryptor::SessionSetupRequest(uint64_t sessionId, const uint8_t* msg, size_t len) {
    ByteView message(msg, len);
    bool binding = ByteReader(msg, len).U8(kSmb2HeaderBytes + 2) & kSessionFlagBinding;
    if (sessionId == 0) {
        // A new session: the server names it in its response.
        m_newSession = std::make_unique<Session>();
        m_newSession->hash = Sha512(m_connectionHash, message);
        m_newSession->hashing = m_newSession->fromStart = true;
        return;
    }
    Session* s = FindOrAdd(sessionId);
    if (!s || (s->established && !binding)) return;  // re-authentication keeps the session's keys
    if (s->hashing) {
        s->hash = Sha512(s->hash, message);
        return;
    }
    // The first request seen of this session on this connection: a binding request starts
    // the channel's own chain; anything else means the setup began before the capture did.
    m_sessions[sessionId] = std::make_unique<Session>();
    s = m_sessions[sessionId].get();
    s->hash = Sha512(m_connectionHash, message);
    s->hashing = true;
    s->fromStart = s->binding = binding;
}

Smb3Decryptor::Session* Smb3Decryptor::ForResponse(uint64_t sessionId) {
    if (Session* s = Find(sessionId)) return s;
    if (!m_newSession || m_sessions.size() >= kMaxSessions) return nullptr;
    Session* s = m_newSession.get();
    m_sessions.emplace(sessionId, std::move(m_newSession));
    return s;
}

void Smb3Decryptor::SessionSetupResponse(uint64_t sessionId, const uint8_t* msg, size_t len) {
    Session* s = ForResponse(sessionId);
    if (!s || s->established) return;
    uint32_t status = ByteReader(msg, len).U32(8);
    if (status == smb2::kStatusMoreProcessing) {
        if (s->hashing) s->hash = Sha512(s->hash, ByteView(msg, len));
    } else if (status == 0) {
        // The final response is not part of the hash: the keys it announces come from it.
        // Its security buffer (a Kerberos AP-REP may carry the server's subkey) comes next,
        // with OnSessionSetup, which publishes the session key.
        s->established = true;
        s->hashing = false;
        Publish(sessionId, *s, false);
    } else {
        m_sessions.erase(sessionId);
    }
}

void Smb3Decryptor::OnNegotiated(uint16_t dialect, uint16_t cipher, uint16_t) {
    m_dialect = dialect;
    m_cipher = cipher;
}

void Smb3Decryptor::OnSessionSetup(uint64_t sessionId, bool fromClient, const uint8_t* securityBuffer, size_t len,
                                   uint32_t status) {
    Session* s = fromClient ? (sessionId ? FindOrAdd(sessionId) : m_newSession.get()) : ForResponse(sessionId);
    if (!s) return;
    auth::SecurityToken token;
    auth::ReadSecurityToken(securityBuffer, len, token);
    switch (token.kind) {
        case auth::TokenKind::NtlmChallenge:
            s->challenge = token.ntlmChallenge.serverChallenge;
            break;
        case auth::TokenKind::NtlmAuthenticate:
            ReadNtlm(*s, token);
            break;
        case auth::TokenKind::KerberosApReq: {
            KerberosLogon logon;
            if (OpenApReq(token.kerberosApReq, m_store.keytab(), logon)) {
                s->key = logon.sessionKey;
                s->ticketKey = logon.ticketSessionKey;
                s->principal = logon.clientPrincipal;
                s->realm = logon.clientRealm;
            }
            break;
        }
        case auth::TokenKind::KerberosApRep:
            if (!s->ticketKey.empty()) OpenApRep(token.kerberosApRep, s->ticketKey, s->key);
            break;
        default:
            break;
    }
    if (!fromClient && status == 0 && s->established) Publish(sessionId, *s, true);
}

void Smb3Decryptor::ReadNtlm(Session& s, const auth::SecurityToken& token) {
    const auth::NtlmAuthenticate& a = token.ntlmAuthenticate;
    const auth::NtlmField& nt = a.ntResponse;
    if (m_store.credentials().empty() || !nt.ok || nt.bytes.size() != nt.length) return;
    NtlmLogon logon;
    logon.user = NtlmString(auth::NtlmText(token.ntlmMessage, a.user, a.unicode()), a.unicode());
    logon.domain = NtlmString(auth::NtlmText(token.ntlmMessage, a.domain, a.unicode()), a.unicode());
    logon.ntResponse = nt.bytes;
    logon.encryptedSessionKey = a.encryptedSessionKey.bytes;
    logon.keyExchange = a.flags & auth::kNtlmNegotiateKeyExchange;
    logon.serverChallenge = s.challenge ? s.challenge->data() : nullptr;
    for (const NtlmCredential& c : m_store.credentials()) {
        if (!SameNameIgnoringCase(c.user, logon.user)) continue;
        if (!c.domain.empty() && !SameNameIgnoringCase(c.domain, logon.domain)) continue;
        if (NtlmV2SessionKey(c.ntHash, logon, s.key)) return;
    }
}

void Smb3Decryptor::Publish(uint64_t sessionId, Session& s, bool withKey) {
    if (s.binding) return;  // a channel's own logon keys only its signing
    SessionSecrets learned;
    if (withKey) learned.sessionKey = s.key;
    if (s.fromStart) learned.preauthHash = s.hash;
    learned.clientPrincipal = s.principal;
    learned.clientRealm = s.realm;
    m_store.Learn(sessionId, learned);
}

bool Smb3Decryptor::LoadKeys(uint64_t sessionId, Session& s, const TransformHeader& h) {
    std::shared_ptr<const SessionSecrets> secrets = m_store.Find(sessionId);
    if (s.established && !s.key.empty() && (!secrets || secrets->sessionKey.empty())) {
        // The final response's security buffer never reached OnSessionSetup.
        Publish(sessionId, s, true);
        secrets = m_store.Find(sessionId);
    }
    if (!secrets || secrets == s.keysFrom) return false;  // nothing new to make keys of
    s.keysFrom = secrets;
    // The dialect and cipher the connection negotiated; when its NEGOTIATE was not seen, each
    // possibility, kept if the message's first block decrypts to an SMB2 header with it.
    struct Option {
        uint16_t dialect, cipher;
    };
    std::vector<Option> options;
    if (m_dialect == kDialect311)
        options.push_back({kDialect311, m_cipher});
    else if (m_dialect)
        options.push_back({m_dialect, kAes128Ccm});
    else
        options = {{kDialect300, kAes128Ccm}, {kDialect311, kAes128Ccm}, {kDialect311, kAes128Gcm},
                   {kDialect311, kAes256Ccm}, {kDialect311, kAes256Gcm}};
    for (const Option& o : options) {
        CipherKeys keys;
        if (!secrets->clientToServer.empty()) {
            keys.clientToServer = secrets->clientToServer;
            keys.serverToClient = secrets->serverToClient;
        } else if (!DeriveCipherKeys(o.dialect, o.cipher, secrets->sessionKey,
                                     secrets->preauthHash ? &*secrets->preauthHash : nullptr, keys)) {
            continue;
        }
        if (!s.clientToServer.Init(o.cipher, keys.clientToServer.view()) ||
            !s.serverToClient.Init(o.cipher, keys.serverToClient.view()))
            continue;
        if (m_dialect || s.clientToServer.LooksLikeOurs(h) || s.serverToClient.LooksLikeOurs(h)) return true;
    }
    s.clientToServer.Init(kCipherNone, {});
    s.serverToClient.Init(kCipherNone, {});
    return false;
}

bool Smb3Decryptor::Decrypt(const uint8_t* transformMsg, size_t len, std::vector<uint8_t>& scratch, size_t& plainLen) {
    TransformHeader h;
    if (!ReadTransformHeader(transformMsg, len, h)) return false;
    // A session first met here (another channel's, or one set up before the capture began)
    // is followed only when the store knows something of it.
    Session* s = Find(h.sessionId);
    if (!s && m_store.Find(h.sessionId)) s = FindOrAdd(h.sessionId);
    if (!s) return false;
    if (!s->clientToServer.ready() && !LoadKeys(h.sessionId, *s, h)) return false;
    for (TransformKey* key : {&s->clientToServer, &s->serverToClient})
        if (key->LooksLikeOurs(h) && key->Decrypt(h, scratch)) {
            plainLen = h.ciphertext.size();
            return true;
        }
    return false;
}

bool Smb3Decryptor::KerberosClient(uint64_t sessionId, std::string& principal, std::string& realm) const {
    std::shared_ptr<const SessionSecrets> secrets = m_store.Find(sessionId);
    if (!secrets || secrets->clientPrincipal.empty()) return false;
    principal = secrets->clientPrincipal;
    realm = secrets->clientRealm;
    return true;
}

}  // namespace smbaudit::crypto
