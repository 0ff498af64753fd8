// What the sensor knows of SMB3 sessions' keys, shared by every connection and worker
// thread: a session that several TCP connections carry (multichannel) is set up on one of
// them and decrypted on all of them.
//
// Filled twice: at start-up from the operator's files (--smb-keys, --ntlm-credentials,
// --keytab), before any worker runs; then, while traffic is read, with what each
// connection's logons yield (the session key, the 3.1.1 preauthentication hash, and the
// client a keytab revealed). Entries are immutable once published: a reader gets a shared
// pointer and never sees one change under it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "crypto/keytab.h"
#include "crypto/ntlm_key.h"
#include "crypto/primitives.h"

namespace smbaudit::crypto {

struct SessionSecrets {
    Secret sessionKey;                       // the full session key; empty when not known
    Secret clientToServer, serverToClient;   // cipher keys the operator gave (then used as they are)
    std::optional<Sha512Digest> preauthHash; // the session's final 3.1.1 preauthentication hash
    std::string clientPrincipal, clientRealm; // Kerberos: the client the ticket names
};

class KeyStore {
public:
    explicit KeyStore(size_t maxSessions = 65536) : m_maxSessions(maxSessions) {}

    // Start-up: each false with a one-line error that names the file.
    bool LoadSmbKeys(const std::string& path, std::string& error);
    bool LoadNtlmCredentials(const std::string& path, std::string& error);
    bool LoadKeytab(const std::string& path, std::string& error);

    // Key material from elsewhere (the Load functions come here too).
    void AddCredential(NtlmCredential credential) { m_credentials.push_back(std::move(credential)); }
    void AddKeytabEntry(KeytabEntry entry) { m_keytab.push_back(std::move(entry)); }

    // Read-only once traffic flows.
    const std::vector<NtlmCredential>& credentials() const { return m_credentials; }
    const std::vector<KeytabEntry>& keytab() const { return m_keytab; }

    // Any thread.
    std::shared_ptr<const SessionSecrets> Find(uint64_t sessionId) const;
    // Adds what `learned` knows and the entry does not: the operator's keys and the first
    // logon of a session win. A new session beyond maxSessions is not kept.
    void Learn(uint64_t sessionId, const SessionSecrets& learned);

private:
    size_t m_maxSessions;
    std::vector<NtlmCredential> m_credentials;
    std::vector<KeytabEntry> m_keytab;
    mutable std::shared_mutex m_mutex;
    std::unordered_map<uint64_t, std::shared_ptr<const SessionSecrets>> m_sessions;
};

}  // namespace smbaudit::crypto
