#include "crypto/transform.h"

#include <openssl/evp.h>

#include <cstring>

#include "crypto/smb3_keys.h"
#include "framework/byte_reader.h"

namespace smbaudit::crypto {
namespace {

const EVP_CIPHER* Aead(uint16_t cipher) {
    // Fetched once: an implicit fetch per message would cost more than a small message's
    // decryption.
    static EVP_CIPHER* ciphers[] = {
        nullptr,
        EVP_CIPHER_fetch(nullptr, "AES-128-CCM", nullptr),
        EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr),
        EVP_CIPHER_fetch(nullptr, "AES-256-CCM", nullptr),
        EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr),
    };
    return cipher < 5 ? ciphers[cipher] : nullptr;
}

const EVP_CIPHER* Ecb(size_t keyLen) {
    static EVP_CIPHER* ecb128 = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    static EVP_CIPHER* ecb256 = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
    return keyLen == 16 ? ecb128 : ecb256;
}

constexpr size_t kCcmNonce = 11;
constexpr size_t kGcmNonce = 12;
constexpr size_t kTag = 16;

}  // namespace

bool ReadTransformHeader(const uint8_t* msg, size_t len, TransformHeader& out) {
    ByteReader r(msg, len);
    if (!msg || len < kTransformHeaderBytes || len > kMaxTransformBytes || r.U32(0) != 0x424D53FD) return false;
    out.signature = r.Bytes(4, 16);
    out.nonce = r.Bytes(20, 16);
    out.originalSize = r.U32(36);
    out.flags = r.U16(42);
    out.sessionId = r.U64(44);
    out.aad = ByteView(out.nonce, 32);
    out.ciphertext = ByteView(msg + kTransformHeaderBytes, len - kTransformHeaderBytes);
    return out.flags == 1 && out.originalSize == out.ciphertext.size();
}

struct TransformKey::Contexts {
    EVP_CIPHER_CTX* aead = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* ecb = EVP_CIPHER_CTX_new();
    ~Contexts() {
        EVP_CIPHER_CTX_free(aead);
        EVP_CIPHER_CTX_free(ecb);
    }
};

TransformKey::TransformKey() : m_ctx(std::make_unique<Contexts>()) {}
TransformKey::~TransformKey() = default;

bool TransformKey::Init(uint16_t cipher, ByteView key) {
    m_cipher = 0;
    const EVP_CIPHER* aead = Aead(cipher);
    if (!aead || key.size() != CipherKeyLength(cipher) || !m_ctx->aead || !m_ctx->ecb) return false;
    bool gcm = CipherIsGcm(cipher);
    if (!EVP_DecryptInit_ex(m_ctx->aead, aead, nullptr, nullptr, nullptr) ||
        !EVP_CIPHER_CTX_ctrl(m_ctx->aead, EVP_CTRL_AEAD_SET_IVLEN, int(gcm ? kGcmNonce : kCcmNonce), nullptr) ||
        (!gcm && !EVP_CIPHER_CTX_ctrl(m_ctx->aead, EVP_CTRL_AEAD_SET_TAG, int(kTag), nullptr)) ||
        !EVP_DecryptInit_ex(m_ctx->aead, nullptr, nullptr, key.data(), nullptr))
        return false;
    if (!EVP_EncryptInit_ex(m_ctx->ecb, Ecb(key.size()), nullptr, key.data(), nullptr) ||
        !EVP_CIPHER_CTX_set_padding(m_ctx->ecb, 0))
        return false;
    m_cipher = cipher;
    return true;
}

bool TransformKey::LooksLikeOurs(const TransformHeader& h) const {
    if (!m_cipher || h.ciphertext.size() < 4) return false;
    // The counter block of the first plaintext block: GCM's J0 + 1 (nonce || 2), CCM's A1
    // (flags L-1 = 3 || nonce || 1).
    uint8_t counter[16] = {};
    if (CipherIsGcm(m_cipher)) {
        std::memcpy(counter, h.nonce, kGcmNonce);
        counter[15] = 2;
    } else {
        counter[0] = 15 - kCcmNonce - 1;
        std::memcpy(counter + 1, h.nonce, kCcmNonce);
        counter[15] = 1;
    }
    uint8_t stream[16];
    int len = 0;
    if (!EVP_EncryptUpdate(m_ctx->ecb, stream, &len, counter, sizeof(counter)) || len != 16) return false;
    uint8_t first = h.ciphertext[0] ^ stream[0];
    return (first == 0xFE || first == 0xFC) && (h.ciphertext[1] ^ stream[1]) == 'S' &&
           (h.ciphertext[2] ^ stream[2]) == 'M' && (h.ciphertext[3] ^ stream[3]) == 'B';
}

bool TransformKey::Decrypt(const TransformHeader& h, std::vector<uint8_t>& plain) {
    if (!m_cipher) return false;
    EVP_CIPHER_CTX* ctx = m_ctx->aead;
    const int n = int(h.ciphertext.size());
    if (plain.size() < h.ciphertext.size()) plain.resize(h.ciphertext.size());
    int len = 0;
    uint8_t* tag = const_cast<uint8_t*>(h.signature);
    if (CipherIsGcm(m_cipher)) {
        return EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, h.nonce) &&
               EVP_DecryptUpdate(ctx, nullptr, &len, h.aad.data(), int(h.aad.size())) &&
               EVP_DecryptUpdate(ctx, plain.data(), &len, h.ciphertext.data(), n) &&
               EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, int(kTag), tag) &&
               EVP_DecryptFinal_ex(ctx, plain.data() + len, &len) > 0;
    }
    // CCM takes the total length first and verifies the tag in the one update of the data.
    return EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, h.nonce) &&
           EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, int(kTag), tag) &&
           EVP_DecryptUpdate(ctx, nullptr, &len, nullptr, n) &&
           EVP_DecryptUpdate(ctx, nullptr, &len, h.aad.data(), int(h.aad.size())) &&
           EVP_DecryptUpdate(ctx, plain.data(), &len, h.ciphertext.data(), n) > 0;
}

}  // namespace smbaudit::crypto
