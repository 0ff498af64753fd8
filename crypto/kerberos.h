// Kerberos with the service's keytab: the ticket of an AP-REQ decrypted with the service
// key (key usage 2) names the client and carries the session key; the authenticator,
// decrypted with that session key (usage 11), may carry the client's subkey; an AP-REP's
// encrypted part (usage 12) may carry the server's. The GSS-API session key that SMB uses is
// the server's subkey if any, else the client's, else the ticket's session key.
//
// Encryption types: aes128-cts-hmac-sha1-96 (17), aes256-cts-hmac-sha1-96 (18) (RFC 3962)
// and rc4-hmac (23) (RFC 4757).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "auth/security_token.h"
#include "crypto/keytab.h"
#include "crypto/primitives.h"

namespace smbaudit::crypto {

enum : int32_t {
    kEtypeAes128CtsHmacSha1 = 17,
    kEtypeAes256CtsHmacSha1 = 18,
    kEtypeRc4Hmac = 23,
};

enum : uint32_t {
    kUsageTicket = 2,
    kUsageAuthenticator = 11,
    kUsageApRepPart = 12,
};

// Decrypts the cipher of an EncryptedData with `key` for `usage` and verifies its checksum.
// `plain` is the message without the confounder. False for another etype, a key of the
// wrong length, a cipher too short, or a checksum that does not verify.
bool KerberosDecrypt(int32_t etype, ByteView key, uint32_t usage, ByteView cipher, std::vector<uint8_t>& plain);

struct KerberosLogon {
    std::string clientPrincipal, clientRealm;
    Secret ticketSessionKey;
    Secret sessionKey;  // the authenticator's subkey when it has one, else the ticket's key
};

// The AP-REQ's ticket opened with the first keytab entry of its etype (and kvno, when the
// ticket names one) whose key verifies; entries of the ticket's service principal are tried
// first. False when no entry opens it or the decrypted parts do not read.
bool OpenApReq(const auth::KerberosApReq& apReq, const std::vector<KeytabEntry>& keytab, KerberosLogon& logon);

// The server's subkey of an AP-REP, whose part the ticket's session key opens. False when it
// does not open or carries no subkey (the session key stays the AP-REQ's).
bool OpenApRep(const auth::KerberosApRep& apRep, const Secret& ticketSessionKey, Secret& subkey);

}  // namespace smbaudit::crypto
