#include "crypto/smb3_keys.h"

#include <algorithm>

namespace smbaudit::crypto {
namespace {

ByteView Text(const char* s, size_t withNul) { return ByteView(reinterpret_cast<const uint8_t*>(s), withNul); }

void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

}  // namespace

size_t CipherKeyLength(uint16_t cipher) {
    switch (cipher) {
        case kAes128Ccm:
        case kAes128Gcm:
            return 16;
        case kAes256Ccm:
        case kAes256Gcm:
            return 32;
        default:
            return 0;
    }
}

bool CipherIsGcm(uint16_t cipher) { return cipher == kAes128Gcm || cipher == kAes256Gcm; }

Secret Smb3Kdf(ByteView key, ByteView label, ByteView context, size_t bytes) {
    // HMAC-SHA256(Ki, [i]32 || Label || 0x00 || Context || [L]32), i = 1, 2, ...
    std::vector<uint8_t> input(4 + label.size() + 1 + context.size() + 4);
    uint8_t* p = input.data() + 4;
    std::copy(label.begin(), label.end(), p);
    p += label.size();
    *p++ = 0;
    std::copy(context.begin(), context.end(), p);
    p += context.size();
    PutBe32(p, uint32_t(bytes * 8));
    Secret out;
    for (uint32_t i = 1; out.size() < bytes; ++i) {
        PutBe32(input.data(), i);
        Secret block = HmacSha256(key, input);
        if (block.empty()) return Secret();
        size_t take = std::min(block.size(), bytes - out.size());
        size_t at = out.size();
        out.resize(at + take);
        std::copy(block.data(), block.data() + take, out.data() + at);
    }
    return out;
}

bool DeriveCipherKeys(uint16_t dialect, uint16_t cipher, const Secret& sessionKey, const Sha512Digest* preauthHash,
                      CipherKeys& out) {
    if (sessionKey.size() < 16) return false;
    if (dialect == kDialect300 || dialect == kDialect302) {
        Secret key = sessionKey.Prefix(16);
        out.clientToServer = Smb3Kdf(key.view(), Text("SMB2AESCCM", 11), Text("ServerIn ", 10), 16);
        out.serverToClient = Smb3Kdf(key.view(), Text("SMB2AESCCM", 11), Text("ServerOut", 10), 16);
    } else if (dialect == kDialect311) {
        size_t keyLen = CipherKeyLength(cipher);
        if (!keyLen || !preauthHash) return false;
        // The 256-bit ciphers key the KDF with the full session key (Kerberos AES-256 gives 32
        // bytes); the 128-bit ones with its first 16 bytes.
        Secret key = keyLen == 16 ? sessionKey.Prefix(16) : sessionKey;
        out.clientToServer = Smb3Kdf(key.view(), Text("SMBC2SCipherKey", 16), *preauthHash, keyLen);
        out.serverToClient = Smb3Kdf(key.view(), Text("SMBS2CCipherKey", 16), *preauthHash, keyLen);
    } else {
        return false;
    }
    return !out.clientToServer.empty() && !out.serverToClient.empty();
}

}  // namespace smbaudit::crypto
