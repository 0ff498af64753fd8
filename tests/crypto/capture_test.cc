// The encrypted Samba sessions of tests/data/captures (user alice, NTLMv2 in SPNEGO; every
// dialect and cipher Samba offers) decrypted with what an operator would hold: the password,
// the NT hash, or the keys smbd logged (NAME.keys).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "crypto/key_files.h"
#include "smb3_capture.h"

using namespace smbaudit::crypto;

namespace {

const std::string kCaptures = std::string(SMBAUDIT_TEST_DATA) + "/captures/";

const char* const kEncrypted[] = {
    "smb300-encrypted",          "smb302-encrypted",           "smb311-aes-128-ccm-encrypted",
    "smb311-aes-128-gcm-encrypted", "smb311-aes-256-ccm-encrypted", "smb311-aes-256-gcm-encrypted",
    "smb3-share-encrypted",      "impacket-smb3-encrypted",
};

// "--smb-keys" lines from smbd's log of the capture (session_id=... session_key=... ).
std::string SmbKeysOf(const std::string& name, bool cipherKeys) {
    std::ifstream in(kCaptures + name + ".keys");
    std::string line, out;
    while (std::getline(in, line)) {
        std::map<std::string, std::string> f;
        std::istringstream words(line);
        for (std::string w; words >> w;) f[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
        out += f["session_id"] + " " +
               (cipherKeys ? f["server_in_key"] + " " + f["server_out_key"] : f["session_key"]) + "\n";
    }
    return out;
}

std::string Temp(const std::string& text) {
    std::string path = testing::TempDir() + "crypto-capture-keys.txt";
    std::ofstream(path) << text;
    return path;
}

TEST(CaptureDecryption, EveryEncryptedSambaSession) {
    enum Input { Password, NtHash, WrongPassword, SessionKeys, CipherKeys };
    for (const char* name : kEncrypted) {
        for (Input input : {Password, NtHash, WrongPassword, SessionKeys, CipherKeys}) {
            KeyStore store;
            std::string error;
            bool loaded =
                input == Password        ? store.LoadNtlmCredentials(Temp("CAPTURES\\alice Alice-Pass-1\n"), error)
                : input == NtHash        ? store.LoadNtlmCredentials(Temp("alice :be2929b503cf53fe397f467acb5f2501\n"), error)
                : input == WrongPassword ? store.LoadNtlmCredentials(Temp("CAPTURES\\alice Alice-Pass-2\n"), error)
                                         : store.LoadSmbKeys(Temp(SmbKeysOf(name, input == CipherKeys)), error);
            ASSERT_TRUE(loaded) << error;
            if ((input == SessionKeys || input == CipherKeys) && SmbKeysOf(name, false).empty()) continue;
            CaptureDecryption run = DecryptCapture(kCaptures + name + ".pcap", store);
            ASSERT_GT(run.transforms, 0u) << name;
            EXPECT_EQ(run.plain.size(), input == WrongPassword ? 0 : run.transforms - run.sessionless) << name << " input " << input;
            for (const auto& plain : run.plain) ASSERT_TRUE(plain.size() >= 64 && plain[0] == 0xFE) << name;
        }
    }
}

// The Samba AD capture (tools/captures/make-kerberos-captures.sh): the DC's keytab opens
// alice's ticket, and the AP-REP's subkey keys the session.
TEST(CaptureDecryption, KerberosSessionWithTheServiceKeytab) {
    KeyStore store;
    std::string error;
    ASSERT_TRUE(store.LoadKeytab(kCaptures + "kerberos-dc1.keytab", error)) << error;
    CaptureDecryption run = DecryptCapture(kCaptures + "kerberos-smb3-encrypted.pcap", store);
    ASSERT_GT(run.transforms, 0u);
    EXPECT_EQ(run.plain.size(), run.transforms - run.sessionless);
}

}  // namespace
