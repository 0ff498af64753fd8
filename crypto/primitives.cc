#include "crypto/primitives.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/provider.h>

#include <memory>
#include <mutex>

namespace smbaudit::crypto {
namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX* k) const { EVP_KDF_CTX_free(k); }
};

Secret Hmac(const EVP_MD* md, ByteView key, ByteView data) {
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (!HMAC(md, key.data(), int(key.size()), data.data(), data.size(), out, &len)) return Secret();
    Secret s(ByteView(out, len));
    OPENSSL_cleanse(out, sizeof(out));
    return s;
}

// MD4 and RC4 live in the legacy provider, loaded once into a context of our own.
struct LegacyAlgorithms {
    OSSL_LIB_CTX* libctx = nullptr;
    EVP_MD* md4 = nullptr;
    EVP_CIPHER* rc4 = nullptr;
    LegacyAlgorithms() {
        libctx = OSSL_LIB_CTX_new();
        if (!libctx) return;
        if (!OSSL_PROVIDER_load(libctx, "legacy") || !OSSL_PROVIDER_load(libctx, "default")) return;
        md4 = EVP_MD_fetch(libctx, "MD4", nullptr);
        rc4 = EVP_CIPHER_fetch(libctx, "RC4", nullptr);
    }
    bool ok() const { return md4 && rc4; }
};

const LegacyAlgorithms& Legacy() {
    // Lives as long as the process: the providers are never unloaded while a worker may use them.
    static const LegacyAlgorithms* legacy = new LegacyAlgorithms();
    return *legacy;
}

// Fetched once: an implicit fetch on every call would cost more than the work itself.
const EVP_CIPHER* CtsCipher(size_t keyLen) {
    static EVP_CIPHER* cts128 = EVP_CIPHER_fetch(nullptr, "AES-128-CBC-CTS", nullptr);
    static EVP_CIPHER* cts256 = EVP_CIPHER_fetch(nullptr, "AES-256-CBC-CTS", nullptr);
    return keyLen == 16 ? cts128 : keyLen == 32 ? cts256 : nullptr;
}

}  // namespace

Secret& Secret::operator=(const Secret& other) {
    if (this != &other) {
        Wipe();
        m_bytes = other.m_bytes;
    }
    return *this;
}

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        Wipe();
        m_bytes = std::move(other.m_bytes);
    }
    return *this;
}

Secret::~Secret() { Wipe(); }

void Secret::Wipe() {
    if (!m_bytes.empty()) OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
}

Secret HmacMd5(ByteView key, ByteView data) { return Hmac(EVP_md5(), key, data); }

Secret HmacMd5(ByteView key, ByteView data1, ByteView data2) {
    std::vector<uint8_t> joined(data1.begin(), data1.end());
    joined.insert(joined.end(), data2.begin(), data2.end());
    Secret s = Hmac(EVP_md5(), key, joined);
    OPENSSL_cleanse(joined.data(), joined.size());
    return s;
}

Secret HmacSha1(ByteView key, ByteView data) { return Hmac(EVP_sha1(), key, data); }
Secret HmacSha256(ByteView key, ByteView data) { return Hmac(EVP_sha256(), key, data); }

Sha512Digest Sha512(ByteView a, ByteView b) {
    static EVP_MD* sha512 = EVP_MD_fetch(nullptr, "SHA512", nullptr);
    Sha512Digest out{};
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    unsigned len = 0;
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), sha512, nullptr) || !EVP_DigestUpdate(ctx.get(), a.data(), a.size()) ||
        !EVP_DigestUpdate(ctx.get(), b.data(), b.size()) || !EVP_DigestFinal_ex(ctx.get(), out.data(), &len))
        out.fill(0);
    return out;
}

bool LegacyAvailable() { return Legacy().ok(); }

bool Md4(ByteView data, Secret& digest) {
    const LegacyAlgorithms& legacy = Legacy();
    if (!legacy.ok()) return false;
    uint8_t out[16];
    unsigned len = 0;
    if (!EVP_Digest(data.data(), data.size(), out, &len, legacy.md4, nullptr) || len != sizeof(out)) return false;
    digest = Secret(ByteView(out, len));
    OPENSSL_cleanse(out, sizeof(out));
    return true;
}

bool Rc4(ByteView key, ByteView in, std::vector<uint8_t>& out) {
    const LegacyAlgorithms& legacy = Legacy();
    if (!legacy.ok() || key.empty()) return false;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    out.resize(in.size());
    int len = 0;
    return ctx && EVP_DecryptInit_ex(ctx.get(), legacy.rc4, nullptr, nullptr, nullptr) &&
           EVP_CIPHER_CTX_set_key_length(ctx.get(), int(key.size())) &&
           EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nullptr) &&
           EVP_DecryptUpdate(ctx.get(), out.data(), &len, in.data(), int(in.size())) && size_t(len) == in.size();
}

bool AesCtsDecrypt(ByteView key, ByteView in, std::vector<uint8_t>& out) {
    const EVP_CIPHER* cipher = CtsCipher(key.size());
    if (!cipher || in.size() < 16) return false;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    const uint8_t iv[16] = {};
    // Kerberos swaps the last two blocks unconditionally: the CS3 variant.
    char mode[] = "CS3";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_CIPHER_PARAM_CTS_MODE, mode, 0), OSSL_PARAM_END};
    out.resize(in.size());
    int len = 0;
    return ctx && EVP_DecryptInit_ex2(ctx.get(), cipher, key.data(), iv, params) &&
           EVP_DecryptUpdate(ctx.get(), out.data(), &len, in.data(), int(in.size())) && size_t(len) == in.size();
}

bool KerberosDerive(ByteView key, ByteView constant, Secret& out) {
    static EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "KRB5KDF", nullptr);
    if (!kdf || (key.size() != 16 && key.size() != 32)) return false;
    std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(kdf));
    char cipher[] = "AES-128-CBC";
    if (key.size() == 32) cipher[4] = '2', cipher[5] = '5', cipher[6] = '6';
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_CIPHER, cipher, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(key.data()), key.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_CONSTANT, const_cast<uint8_t*>(constant.data()),
                                          constant.size()),
        OSSL_PARAM_END};
    out.resize(key.size());
    return ctx && EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) > 0;
}

void WipeBytes(void* p, size_t n) {
    if (p && n) OPENSSL_cleanse(p, n);
}

bool SameBytes(ByteView a, ByteView b) { return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0; }

}  // namespace smbaudit::crypto
