// SMB 3.x transform messages (0xFD 'SMB'): the 52-byte header and the AES-CCM / AES-GCM
// decryption of what follows it.
//
//   0  ProtocolId 0xFD 'S' 'M' 'B'      20  Nonce (16: 11 used by CCM, 12 by GCM)
//   4  Signature (the AEAD tag, 16)     36  OriginalMessageSize (4)
//                                       40  Reserved (2), Flags/EncryptionAlgorithm (2)
//                                       44  SessionId (8)
// The authenticated data is the header from the nonce on (32 bytes); the ciphertext is the
// rest of the message and as long as OriginalMessageSize.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/primitives.h"

namespace smbaudit::crypto {

constexpr size_t kTransformHeaderBytes = 52;
// NetBIOS framing bounds a message to 24 bits of length.
constexpr size_t kMaxTransformBytes = 0xFFFFFF;

struct TransformHeader {
    const uint8_t* signature = nullptr;
    const uint8_t* nonce = nullptr;
    uint32_t originalSize = 0;
    uint16_t flags = 0;
    uint64_t sessionId = 0;
    ByteView aad;
    ByteView ciphertext;
};

// False when the message is not a well-formed transform message: wrong protocol id, shorter
// than its header, longer than kMaxTransformBytes, a ciphertext length other than
// OriginalMessageSize, or a Flags value other than 1 (encrypted).
bool ReadTransformHeader(const uint8_t* msg, size_t len, TransformHeader& out);

// One direction's key of one session, with its OpenSSL contexts kept so that each message
// costs only a new nonce. Used by one thread at a time.
class TransformKey {
public:
    TransformKey();
    ~TransformKey();
    TransformKey(const TransformKey&) = delete;
    TransformKey& operator=(const TransformKey&) = delete;

    // cipher: kAes128Ccm ... kAes256Gcm; the key's length must be the cipher's.
    bool Init(uint16_t cipher, ByteView key);
    bool ready() const { return m_cipher != 0; }

    // Cheap pre-check: does the first keystream block turn the ciphertext's first 4 bytes into
    // an SMB2 protocol id (0xFE or, compressed, 0xFC 'SMB')? A wrong key passes with
    // probability 2^-31; a right key always does.
    bool LooksLikeOurs(const TransformHeader& h) const;
    // Decrypts into the first h.ciphertext.size() bytes of `plain` (grown when it is shorter,
    // never shrunk) and verifies the tag; false (and `plain` unspecified) when it does not.
    bool Decrypt(const TransformHeader& h, std::vector<uint8_t>& plain);

private:
    struct Contexts;
    std::unique_ptr<Contexts> m_ctx;
    uint16_t m_cipher = 0;
};

}  // namespace smbaudit::crypto
