// The key material of --smb-keys, --ntlm-credentials and --keytab, loaded once at start,
// and the SMB3 decryptor each SMB2 connection gets from it. The decryptors of all
// connections and workers share one key store (crypto/key_store.h), so that a session
// set up on one connection is decrypted on every channel that carries it.
//
// Built with OpenSSL's decryption component (crypto/) when the build found OpenSSL; without
// it, naming a key file is an error that says so.
#pragma once

#include <memory>
#include <string>

#include "smb2/decryptor.h"

namespace smbaudit {

namespace crypto {
class KeyStore;
}

struct DecryptionOptions {
    std::string smbKeys;          // --smb-keys FILE
    std::string ntlmCredentials;  // --ntlm-credentials FILE
    std::string keytab;           // --keytab FILE
    bool any() const { return !smbKeys.empty() || !ntlmCredentials.empty() || !keytab.empty(); }
};

class Decryption {
public:
    Decryption();
    ~Decryption();

    // Reads every file the options name; false with a one-line error naming the file (and
    // the line), never a key or password.
    bool Load(const DecryptionOptions& options, std::string& error);
    bool enabled() const { return m_store != nullptr; }
    // A decryptor for one new SMB2 connection; null when no key material was given.
    std::unique_ptr<smb2::Decryptor> NewConnection();

private:
    std::unique_ptr<crypto::KeyStore> m_store;
};

}  // namespace smbaudit
