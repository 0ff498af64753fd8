#include "crypto/key_store.h"

#include <mutex>

#include "crypto/key_files.h"

namespace smbaudit::crypto {

namespace {

// The file's contents to `parse`, then wiped: they hold keys or passwords.
template <class Parse>
bool ParseFile(const std::string& path, size_t maxBytes, std::string& error, Parse&& parse) {
    std::string content;
    if (!ReadKeyFile(path, maxBytes, content, error)) return false;
    bool ok = parse(content);
    WipeText(content);
    return ok;
}

}  // namespace

bool KeyStore::LoadSmbKeys(const std::string& path, std::string& error) {
    std::vector<SmbKeyLine> lines;
    if (!ParseFile(path, kMaxKeyFileBytes, error,
                   [&](const std::string& text) { return ParseSmbKeys(text, path, lines, error); }))
        return false;
    for (SmbKeyLine& line : lines) {
        SessionSecrets s;
        s.sessionKey = std::move(line.sessionKey);
        s.clientToServer = std::move(line.clientToServer);
        s.serverToClient = std::move(line.serverToClient);
        Learn(line.sessionId, s);
    }
    return true;
}

bool KeyStore::LoadNtlmCredentials(const std::string& path, std::string& error) {
    std::vector<NtlmCredential> credentials;
    if (!ParseFile(path, kMaxKeyFileBytes, error,
                   [&](const std::string& text) { return ParseNtlmCredentials(text, path, credentials, error); }))
        return false;
    for (NtlmCredential& c : credentials) AddCredential(std::move(c));
    return true;
}

bool KeyStore::LoadKeytab(const std::string& path, std::string& error) {
    std::vector<KeytabEntry> entries;
    if (!ParseFile(path, kMaxKeytabBytes, error, [&](const std::string& bytes) {
            std::string problem;
            const bool ok = ReadKeytab(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), entries, problem);
            if (!ok) error = path + ": " + problem;
            return ok;
        }))
        return false;
    for (KeytabEntry& e : entries) AddKeytabEntry(std::move(e));
    return true;
}

std::shared_ptr<const SessionSecrets> KeyStore::Find(uint64_t sessionId) const {
    std::shared_lock lock(m_mutex);
    auto it = m_sessions.find(sessionId);
    return it == m_sessions.end() ? nullptr : it->second;
}

void KeyStore::Learn(uint64_t sessionId, const SessionSecrets& learned) {
    std::unique_lock lock(m_mutex);
    auto it = m_sessions.find(sessionId);
    if (it == m_sessions.end() && m_sessions.size() >= m_maxSessions) return;
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

}  // namespace smbaudit::crypto
