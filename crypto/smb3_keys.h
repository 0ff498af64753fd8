// SMB 3.x cipher keys from a session key: the SP800-108 counter-mode KDF with HMAC-SHA256
// (r = 32 bits), the labels of dialects 3.0/3.0.2 and 3.1.1, and the preauthentication
// integrity hash that 3.1.1 uses as the KDF context.
#pragma once

#include <cstdint>

#include "crypto/primitives.h"

namespace smbaudit::crypto {

enum : uint16_t {
    kDialect300 = 0x0300,
    kDialect302 = 0x0302,
    kDialect311 = 0x0311,
};

enum : uint16_t {
    kCipherNone = 0,
    kAes128Ccm = 1,
    kAes128Gcm = 2,
    kAes256Ccm = 3,
    kAes256Gcm = 4,
};

// 16 or 32 for the four ciphers, 0 for anything else.
size_t CipherKeyLength(uint16_t cipher);
bool CipherIsGcm(uint16_t cipher);

// KDF(Ki, Label, Context, L) with L = 8 * bytes. Label and context as the caller gives
// them (the protocol's labels include their terminating zero byte).
Secret Smb3Kdf(ByteView key, ByteView label, ByteView context, size_t bytes);

struct CipherKeys {
    Secret clientToServer;  // the client's Session.EncryptionKey
    Secret serverToClient;  // the client's Session.DecryptionKey
};

// The cipher keys of a session of `dialect` (3.0 and 3.0.2 always use AES-128-CCM).
// `sessionKey` is the full session key: its first 16 bytes key the 128-bit ciphers and the
// whole of it the 256-bit ones. 3.1.1 needs the session's final preauthentication hash.
// False for a dialect without encryption, a cipher unknown, or 3.1.1 without the hash.
bool DeriveCipherKeys(uint16_t dialect, uint16_t cipher, const Secret& sessionKey, const Sha512Digest* preauthHash,
                      CipherKeys& out);

}  // namespace smbaudit::crypto
