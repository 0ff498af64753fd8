// The operator's key files:
//   --smb-keys FILE          SESSION_ID SESSION_KEY
//                            SESSION_ID CLIENT_TO_SERVER_KEY SERVER_TO_CLIENT_KEY
//   --ntlm-credentials FILE  DOMAIN\user PASSWORD   (or `user PASSWORD`: any domain)
//                            DOMAIN\user :NTHASH
// Hex throughout. SESSION_ID is the session id's 8 bytes as they are on the wire (16 hex
// digits, the form network analysers take), or its value as a number with a 0x prefix.
// SESSION_KEY is the 16-byte session key (or 32 bytes: the full key of a Kerberos AES-256
// logon, which the AES-256 ciphers use); the cipher keys are 16 or 32 bytes. A password is
// the rest of the line after the account and its separating blanks, exactly; ':' followed
// by 32 hex digits is an NT hash instead. Blank lines and lines whose first non-blank
// character is '#' are ignored.
//
// A malformed line is an error naming the file and the line and what was expected, never
// what the line holds: it may hold a key or a password.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/ntlm_key.h"
#include "crypto/primitives.h"

namespace smbaudit::crypto {

constexpr size_t kMaxKeyFileBytes = 16u << 20;

struct SmbKeyLine {
    uint64_t sessionId = 0;
    Secret sessionKey;                      // empty when the cipher keys are given
    Secret clientToServer, serverToClient;  // empty when the session key is given
};

bool ParseSmbKeys(std::string_view text, std::string_view fileName, std::vector<SmbKeyLine>& out, std::string& error);
bool ParseNtlmCredentials(std::string_view text, std::string_view fileName, std::vector<NtlmCredential>& out,
                          std::string& error);

// The whole file, up to `maxBytes`; false with an error naming the file.
bool ReadKeyFile(const std::string& path, size_t maxBytes, std::string& content, std::string& error);

// Text of `content` wiped, for files that held keys or passwords.
void WipeText(std::string& content);

}  // namespace smbaudit::crypto
