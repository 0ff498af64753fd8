// The NTLMv2 session key an operator's password (or NT hash) gives for one logon
// (MS-NLMP 3.3.2 and 3.4.5.1):
//   NT hash        = MD4(UTF-16LE(password))
//   NTOWFv2        = HMAC-MD5(NT hash, UTF-16LE(UPPERCASE(user) || domain))
//   NTProofStr     = HMAC-MD5(NTOWFv2, ServerChallenge || the response's blob)
//   SessionBaseKey = HMAC-MD5(NTOWFv2, NTProofStr)  (= KeyExchangeKey in NTLMv2)
//   session key    = RC4(KeyExchangeKey, EncryptedRandomSessionKey) with key exchange,
//                    KeyExchangeKey without.
#pragma once

#include <string>
#include <string_view>

#include "crypto/primitives.h"

namespace smbaudit::crypto {

// Windows compares user and domain names without case. Upcase covers ASCII and Latin-1
// (the characters of nearly every account name); other characters are left as they are.
char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view s);
bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b);
// False on malformed UTF-8.
bool Utf8ToUtf16(std::string_view in, std::u16string& out);

// One line of --ntlm-credentials.
struct NtlmCredential {
    std::u16string domain, user;
    Secret ntHash;  // 16 bytes
};

bool NtHashOfPassword(std::string_view utf8Password, Secret& ntHash);

// The fields of an AUTHENTICATE message that the key needs; user and domain as the message
// carries them (decoded to UTF-16).
struct NtlmLogon {
    std::u16string user, domain;
    ByteView ntResponse;           // NTProofStr (16) followed by the NTLMv2 blob
    ByteView encryptedSessionKey;  // 16 bytes when the key exchange flag is set
    bool keyExchange = false;
    const uint8_t* serverChallenge = nullptr;  // 8 bytes; null when the CHALLENGE was not seen
};

// The exported session key of `logon` made with `ntHash`. False for an NTLMv1 or anonymous
// response, and when the server challenge is known and NTProofStr shows the hash is not the
// user's.
bool NtlmV2SessionKey(const Secret& ntHash, const NtlmLogon& logon, Secret& sessionKey);

}  // namespace smbaudit::crypto
