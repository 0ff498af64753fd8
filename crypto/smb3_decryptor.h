// The decryptor the sensor plugs into each SMB2 connection (smb2::Decryptor): it follows the
// connection's NEGOTIATE and SESSION_SETUP exchanges, derives the keys of each session from
// the operator's key material (KeyStore), and decrypts transform messages.
//
// Per session it keeps the 3.1.1 preauthentication hash chain (SHA-512 over the connection's
// NEGOTIATE request and response, then the session's SESSION_SETUP requests and responses up
// to, not including, the final successful response), the NTLM server challenge, and what an
// NTLM AUTHENTICATE or a Kerberos AP-REQ gave. When a session's setup succeeds, its session
// key and final hash go to the KeyStore, where the other channels of the session find them:
// a channel bound to the session (the SESSION_SETUP binding flag) decrypts with the keys of
// the session's first setup, never with those of its own binding logon.
//
// A transform message names its session but not its direction: the message is decrypted
// with whichever of the session's two cipher keys turns its first bytes into an SMB2 header
// (one AES block each, see TransformKey::LooksLikeOurs), and then only if the tag verifies.
// When the connection's NEGOTIATE was not seen, each cipher is tried the same way.
//
// The analyser calls OnPreauthMessage for a message before OnSessionSetup for its security
// buffer: a request with session id 0 starts a new session, which the first response names.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "auth/security_token.h"
#include "crypto/key_store.h"
#include "crypto/smb3_keys.h"
#include "crypto/transform.h"
#include "smb2/decryptor.h"

namespace smbaudit::crypto {

class Smb3Decryptor final : public smb2::Decryptor {
public:
    // Sessions followed on one connection; further new ones are not.
    static constexpr size_t kMaxSessions = 1024;

    explicit Smb3Decryptor(KeyStore& store);
    ~Smb3Decryptor() override;

    void OnPreauthMessage(uint64_t sessionId, bool fromClient, const uint8_t* msg, size_t len) override;
    void OnNegotiated(uint16_t dialect, uint16_t cipher, uint16_t signingAlgorithm) override;
    void OnSessionSetup(uint64_t sessionId, bool fromClient, const uint8_t* securityBuffer, size_t len,
                        uint32_t status) override;
    bool Decrypt(const uint8_t* transformMsg, size_t len, std::vector<uint8_t>& scratch, size_t& plainLen) override;

    bool KerberosClient(uint64_t sessionId, std::string& principal, std::string& realm) const override;

private:
    struct Session;
    Session* Find(uint64_t sessionId);
    Session* FindOrAdd(uint64_t sessionId);
    // The session a response names: a known one, or the new one whose first request
    // (session id 0) came before.
    Session* ForResponse(uint64_t sessionId);
    void SessionSetupRequest(uint64_t sessionId, const uint8_t* msg, size_t len);
    void SessionSetupResponse(uint64_t sessionId, const uint8_t* msg, size_t len);
    void ReadNtlm(Session& s, const auth::SecurityToken& token);
    // The session's final hash (and its key, withKey) to the store, unless it is a binding.
    void Publish(uint64_t sessionId, Session& s, bool withKey);
    bool LoadKeys(uint64_t sessionId, Session& s, const TransformHeader& h);

    KeyStore& m_store;
    uint16_t m_dialect = 0;
    uint16_t m_cipher = kCipherNone;
    Sha512Digest m_connectionHash{};
    std::unique_ptr<Session> m_newSession;  // set up by a first request (session id 0), not yet named
    std::unordered_map<uint64_t, std::unique_ptr<Session>> m_sessions;
};

}  // namespace smbaudit::crypto
