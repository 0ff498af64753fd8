// What the SMB2/3 analyser needs from a decryption component, as a standard-library-only
// interface. The library never derives keys itself: a host that holds the credentials plugs
// in an implementation (one object per TCP connection) with Connection::SetDecryptor.
//
// The analyser tells the decryptor everything key derivation needs, in stream order:
//   - every NEGOTIATE and SESSION_SETUP message, request and response, whole (3.1.1 hashes
//     them into the preauthentication integrity value);
//   - the negotiated dialect, cipher and signing algorithm once the NEGOTIATE response is seen;
//   - every SESSION_SETUP leg's security buffer with the response status, so that the
//     decryptor reads the NTLM CHALLENGE/AUTHENTICATE or Kerberos AP-REQ it needs itself.
// Then it hands over each transform message (0xFD 'SMB') and analyses the plain text it gets
// back exactly as if it had been sent in clear; those events carry encrypted = decrypted = true.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace smbaudit::smb2 {

class Decryptor {
public:
    virtual ~Decryptor() = default;

    // A whole SMB2 message (64-byte header and body) of a NEGOTIATE (sessionId 0) or
    // SESSION_SETUP exchange, in the order the connection carried it.
    virtual void OnPreauthMessage(uint64_t sessionId, bool fromClient, const uint8_t* msg, size_t len) = 0;

    // The NEGOTIATE response's dialect (0x0202 ... 0x0311) and, for 3.1.1, the cipher of the
    // encryption context (0 none, 1 AES-128-CCM, 2 AES-128-GCM, 3 AES-256-CCM, 4 AES-256-GCM)
    // and the signing algorithm of the signing context (0 HMAC-SHA256, 1 AES-CMAC,
    // 2 AES-GMAC; 0xFFFF when the server sent none).
    virtual void OnNegotiated(uint16_t dialect, uint16_t cipher, uint16_t signingAlgorithm) = 0;

    // The security buffer of one SESSION_SETUP leg; status is the response's NT status
    // (0 on requests).
    virtual void OnSessionSetup(uint64_t sessionId, bool fromClient, const uint8_t* securityBuffer, size_t len,
                                uint32_t status) = 0;

    // A transform message: its 52-byte transform header followed by the ciphertext. On
    // success the first `plainLen` bytes of `scratch` hold the SMB2 message(s) it carried.
    // `scratch` is grown as needed and never shrunk, so that the room of one large message
    // serves the next without being cleared or faulted in again. False when no key is known
    // for the session or the authentication tag does not verify.
    virtual bool Decrypt(const uint8_t* transformMsg, size_t len, std::vector<uint8_t>& scratch, size_t& plainLen) = 0;

    // The client a Kerberos session's ticket names (principal, such as "alice", and realm),
    // when the decryptor could open the ticket (a keytab of the service). Asked when a
    // SESSION_SETUP succeeds; also known on the other channels of the session.
    virtual bool KerberosClient(uint64_t sessionId, std::string& principal, std::string& realm) const {
        (void)sessionId, (void)principal, (void)realm;
        return false;
    }
};

}  // namespace smbaudit::smb2
