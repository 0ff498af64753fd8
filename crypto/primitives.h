// The cryptographic building blocks the SMB3 and Kerberos key handling needs, over OpenSSL.
// Everything here is a pure function of its inputs except Legacy(), which loads OpenSSL's
// legacy provider (MD4 and RC4, which NTLM and RC4-HMAC Kerberos still use) once, into a
// library context of its own so that the rest of the process keeps OpenSSL's defaults.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace smbaudit::crypto {

using ByteView = std::span<const uint8_t>;

// Key material: wiped when it goes, never printable. Every key, hash of a password and
// session secret of this component lives in one.
class Secret {
public:
    Secret() = default;
    explicit Secret(ByteView bytes) : m_bytes(bytes.begin(), bytes.end()) {}
    Secret(const Secret& other) = default;
    Secret(Secret&& other) noexcept : m_bytes(std::move(other.m_bytes)) {}
    Secret& operator=(const Secret& other);
    Secret& operator=(Secret&& other) noexcept;
    ~Secret();

    ByteView view() const { return m_bytes; }
    const uint8_t* data() const { return m_bytes.data(); }
    uint8_t* data() { return m_bytes.data(); }
    size_t size() const { return m_bytes.size(); }
    bool empty() const { return m_bytes.empty(); }
    void resize(size_t n) { m_bytes.resize(n); }
    // The first n bytes (all of them when shorter).
    Secret Prefix(size_t n) const { return Secret(view().first(n < size() ? n : size())); }
    bool operator==(const Secret& other) const { return m_bytes == other.m_bytes; }

private:
    void Wipe();
    std::vector<uint8_t> m_bytes;
};

using Sha512Digest = std::array<uint8_t, 64>;

Secret HmacMd5(ByteView key, ByteView data);
Secret HmacMd5(ByteView key, ByteView data1, ByteView data2);
Secret HmacSha1(ByteView key, ByteView data);
Secret HmacSha256(ByteView key, ByteView data);
// SHA-512 of a || b (the preauthentication hash chain hashes value || message).
Sha512Digest Sha512(ByteView a, ByteView b);

// MD4 and RC4 from OpenSSL's legacy provider. False when the provider cannot be loaded
// (LegacyAvailable tells beforehand, so that a host can refuse NTLM credentials at start).
bool LegacyAvailable();
bool Md4(ByteView data, Secret& digest);
bool Rc4(ByteView key, ByteView in, std::vector<uint8_t>& out);

// AES in CBC mode with ciphertext stealing as Kerberos uses it (RFC 3962: the last two
// blocks swapped, IV zero). Input of at least one block. Key of 16 or 32 bytes.
bool AesCtsDecrypt(ByteView key, ByteView in, std::vector<uint8_t>& out);
// Kerberos key derivation DK(key, constant) of RFC 3961 for AES keys (16 or 32 bytes).
bool KerberosDerive(ByteView key, ByteView constant, Secret& out);

// Overwrites memory that held key material or a password (never optimised away).
void WipeBytes(void* p, size_t n);

// Constant-time comparison of two equal-length byte ranges.
bool SameBytes(ByteView a, ByteView b);

}  // namespace smbaudit::crypto
