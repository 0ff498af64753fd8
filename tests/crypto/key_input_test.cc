// The operator's files: key lines, credential lines and keytabs, good and malformed. An error
// names the file and line, and never what the line holds.
#include <gtest/gtest.h>

#include "crypto/key_files.h"
#include "crypto/keytab.h"
#include "hex.h"

using namespace smbaudit::crypto;

namespace {

constexpr const char* kKey = "270E1BA896585EEB7AF3472D3B4C75A7";

TEST(KeyFiles, Lines) {
    struct Row {
        bool smbKeys;
        std::string text;
        const char* error;  // null: accepted
        uint64_t sessionId = 0;
    } rows[] = {
        {true, "# comment\n\n  1900000000100000 " + std::string(kKey) + "\r\n", nullptr, 0x100000000019},
        {true, "0x100000000019\t" + std::string(kKey) + " " + kKey, nullptr, 0x100000000019},
        {true, "1900000000100000 " + std::string(kKey) + kKey + " " + kKey, "f:1: the cipher keys"},
        {true, "\n\n19000000001000 " + std::string(kKey), "f:3: the session id"},
        {true, "1900000000100000 " + std::string(kKey).substr(2), "f:1: the session key"},
        {true, "1900000000100000", "f:1: expected SESSION_ID"},
        {false, "CAPTURES\\alice Alice-Pass-1", nullptr},
        {false, "alice :" + std::string(kKey), nullptr},
        {false, "# x\nalice", "f:2: expected DOMAIN\\user"},
        {false, "alice \xff\xfe", "f:1: the password is not UTF-8"},
    };
    for (const Row& r : rows) {
        std::string error;
        std::vector<SmbKeyLine> keys;
        std::vector<NtlmCredential> credentials;
        bool ok = r.smbKeys ? ParseSmbKeys(r.text, "f", keys, error) : ParseNtlmCredentials(r.text, "f", credentials, error);
        EXPECT_EQ(ok, r.error == nullptr) << r.text;
        if (r.error) {
            EXPECT_EQ(error.rfind(r.error, 0), 0u) << error;
            EXPECT_EQ(error.find(std::string(kKey).substr(2, 8)), std::string::npos) << error;
        } else if (r.smbKeys) {
            EXPECT_EQ(keys.at(0).sessionId, r.sessionId);
        }
    }
}

TEST(Keytab, EntriesHolesAndDamage) {
    // Two entries (cifs/dc1 aes256 kvno 2; DC1$ rc4 with the 32-bit kvno 300) around a hole.
    const std::vector<uint8_t> keytab = Unhex(
        "0502 00000065 0002 0012 53414d444f4d2e4558414d504c452e434f4d 0004 63696673 0016 6463312e73616d646f6d2e"
        "6578616d706c652e636f6d 00000001 00000000 02 0012 0020 000102030405060708090a0b0c0d0e0f101112131415161718"
        "191a1b1c1d1e1f 00000002 fffffff4 000000000000000000000000 0000003d 0001 0012 53414d444f4d2e4558414d504c45"
        "2e434f4d 0004 44433124 00000001 00000000 2c 0017 0010 000102030405060708090a0b0c0d0e0f 0000012c");
    std::vector<KeytabEntry> entries;
    std::string error;
    ASSERT_TRUE(ReadKeytab(keytab, entries, error)) << error;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].principal, "cifs/dc1.samdom.example.com");
    EXPECT_EQ(entries[0].realm, "SAMDOM.EXAMPLE.COM");
    EXPECT_EQ(entries[0].etype, 18);
    EXPECT_EQ(entries[0].key.size(), 32u);
    EXPECT_EQ(entries[1].principal, "DC1$");
    EXPECT_EQ(entries[1].kvno, 300u);
    struct Damage {
        size_t cut;
        const char* error;
    } damages[] = {{1, "not an MIT keytab"}, {40, "record at offset 2 runs past"}};
    for (const Damage& d : damages) {
        entries.clear();
        EXPECT_FALSE(ReadKeytab(ByteView(keytab).first(d.cut), entries, error));
        EXPECT_EQ(error.rfind(d.error, 0), 0u) << error;
    }
    std::vector<uint8_t> badLength = keytab;
    badLength[9] = 0x60;  // the realm's length runs past the entry
    EXPECT_FALSE(ReadKeytab(badLength, entries, error));
    EXPECT_EQ(error, "malformed entry at offset 2");
}

}  // namespace
