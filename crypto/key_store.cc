#include "crypto/key_store.h"

#include <mutex>

#include "crypto/key_files.h"

namespace smbaudit::crypto {

bool KeyStore::LoadSmbKeys(const std::string& path, std::string& error) {
    std::string text;
    if (!ReadKeyFile(path, kMaxKeyFileBytes, text, error)) return false;
    std::vector<SmbKeyLine> lines;
    bool ok = ParseSmbKeys(text, path, lines, error);
    WipeText(text);
    for (SmbKeyLine& line : lines) {
        SessionSecrets s;
        s.sessionKey = std::move(line.sessionKey);
        s.clientToServer = std::move(line.clientToServer);
        s.serverToClient = std::move(line.serverToClient);
        Learn(line.sessionId, s);
    }
    return ok;
}

bool KeyStore::LoadNtlmCredentials(const std::string& path, std::string& error) {
    std::string text;
    if (!ReadKeyFile(path, kMaxKeyFileBytes, text, error)) return false;
    std::vector<NtlmCredential> credentials;
    bool ok = ParseNtlmCredentials(text, path, credentials, error);
    WipeText(text);
    for (NtlmCredential& c : credentials) AddCredential(std::move(c));
    return ok;
}

bool KeyStore::LoadKeytab(const std::string& path, std::string& error) {
    std::string bytes;
    if (!ReadKeyFile(path, kMaxKeytabBytes, bytes, error)) return false;
    std::string problem;
    std::vector<KeytabEntry> entries;
    bool ok = ReadKeytab(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), entries, problem);
    WipeText(bytes);
    if (!ok) error = path + ": " + problem;
    for (KeytabEntry& e : entries) AddKeytabEntry(std::move(e));
    return ok;
}

std::shared_ptr<const SessionSecrets> KeyStore::Find(uint64_t sessionId) const {
    std::shared_lock lock(m_mutex);
    auto it = m_sessions.find(sessionId);
    return it == m_sessions.end() ? nullptr : it->second;
}

void KeyStore::Learn(uint64_t sessionId, const SessionSecrets& learned) {
    std::unique_lock lock(m_mutex);
    auto it = m_sessions.find(sessionId);
    if (it == m_sessions.end() && m_sessions.size() >= m_maxSessions) {
        ++m_dropped;
        return;
    }
    auto merged = std::make_shared<SessionSecrets>(it == m_sessions.end() ? SessionSecrets() : *it->second);
    bool operatorKeys = !merged->clientToServer.empty();
    if (merged->sessionKey.empty() && !operatorKeys) merged->sessionKey = learned.sessionKey;
    if (!operatorKeys && !learned.clientToServer.empty()) {
        merged->clientToServer = learned.clientToServer;
        merged->serverToClient = learned.serverToClient;
    }
    if (!merged->preauthHash) merged->preauthHash = learned.preauthHash;
    if (merged->clientPrincipal.empty()) {
        merged->clientPrincipal = learned.clientPrincipal;
        merged->clientRealm = learned.clientRealm;
    }
    m_sessions[sessionId] = std::move(merged);
}

uint64_t KeyStore::sessionsDropped() const {
    std::shared_lock lock(m_mutex);
    return m_dropped;
}

}  // namespace smbaudit::crypto
