#include "tools/smbaudit/decryption.h"

#ifdef SMBAUDIT_HAVE_CRYPTO
#include "crypto/key_store.h"
#include "crypto/smb3_decryptor.h"
#endif

namespace smbaudit {

#ifdef SMBAUDIT_HAVE_CRYPTO

Decryption::Decryption() = default;
Decryption::~Decryption() = default;

bool Decryption::Load(const DecryptionOptions& options, std::string& error) {
    if (!options.any()) return true;
    auto store = std::make_unique<crypto::KeyStore>();
    if (!options.smbKeys.empty() && !store->LoadSmbKeys(options.smbKeys, error)) return false;
    if (!options.ntlmCredentials.empty() && !store->LoadNtlmCredentials(options.ntlmCredentials, error)) return false;
    if (!options.keytab.empty() && !store->LoadKeytab(options.keytab, error)) return false;
    m_store = std::move(store);
    return true;
}

std::unique_ptr<smb2::Decryptor> Decryption::NewConnection() {
    if (!m_store) return nullptr;
    return std::make_unique<crypto::Smb3Decryptor>(*m_store);
}

#else

// Only the declaration of KeyStore is seen here; nothing ever creates one.
class crypto::KeyStore {};

Decryption::Decryption() = default;
Decryption::~Decryption() = default;

bool Decryption::Load(const DecryptionOptions& options, std::string& error) {
    if (!options.any()) return true;
    error = "this smbaudit was built without OpenSSL: --smb-keys, --ntlm-credentials and --keytab are not available";
    return false;
}

std::unique_ptr<smb2::Decryptor> Decryption::NewConnection() { return nullptr; }

#endif

}  // namespace smbaudit
