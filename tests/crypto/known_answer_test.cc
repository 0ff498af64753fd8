// Known answers from public documents: MS-NLMP 4.2.4 (NTLMv2, with the cases a recorded
// logon does not show), RFC 3962 appendix B (AES-CTS) and MIT krb5's t_decrypt.c (the
// Kerberos encryption types Samba's DC did not use). The SMB 3.x key derivation of every
// dialect and AES-CCM and AES-GCM decryption are checked on recorded Samba sessions, every
// cipher, against their clear twins (compare_twins.py).
#include <gtest/gtest.h>

#include "crypto/kerberos.h"
#include "crypto/ntlm_key.h"
#include "hex.h"

using namespace smbaudit::crypto;

namespace {

// MS-NLMP 4.2.4: user "User", domain "Domain", password "Password", server challenge
// 0123456789abcdef, random session key 55..55 exchanged under the session base key.
TEST(NtlmKey, MsNlmpNtlmV2Example) {
    Secret ntHash;
    ASSERT_TRUE(NtHashOfPassword("Password", ntHash));
    EXPECT_TRUE(ntHash == SecretHex("a4f49c406510bdcab6824ee7c30fd852"));
    const std::vector<uint8_t> response = Unhex(
        "68cd0ab851e51c96aabc927bebef6a1c 0101000000000000 0000000000000000 aaaaaaaaaaaaaaaa 00000000"
        "02000c00 44006f006d00610069006e00 01000c00 530065007200760065007200 00000000 00000000");
    const std::vector<uint8_t> challenge = Unhex("0123456789abcdef"), wrongChallenge = Unhex("0123456789abcdee");
    const std::vector<uint8_t> encryptedKey = Unhex("c5dad2544fc9799094ce1ce90bc9d03e");
    struct Row {
        const char* password;
        const std::vector<uint8_t>* challenge;
        bool keyExchange;
        const char* sessionKey;  // null: no key
    } rows[] = {
        {"Password", &challenge, true, "55555555555555555555555555555555"},
        {"Password", nullptr, true, "55555555555555555555555555555555"},  // challenge not seen: unverified
        {"Password", &challenge, false, "8de40ccadbc14a82f15cb0ad0de95ca3"},  // the session base key
        {"Password", &wrongChallenge, true, nullptr},
        {"password", &challenge, true, nullptr},
    };
    for (const Row& r : rows) {
        Secret hash, key;
        ASSERT_TRUE(NtHashOfPassword(r.password, hash));
        NtlmLogon logon{u"user", u"Domain", response, encryptedKey, r.keyExchange,
                        r.challenge ? r.challenge->data() : nullptr};
        EXPECT_EQ(NtlmV2SessionKey(hash, logon, key), r.sessionKey != nullptr) << r.password;
        if (r.sessionKey) {
            EXPECT_TRUE(key == SecretHex(r.sessionKey));
        }
    }
}

// RFC 3962 appendix B: key "chicken teriyaki", IV zero; ciphertext to plaintext.
TEST(Kerberos, Rfc3962AesCtsVectors) {
    const std::vector<uint8_t> key = Unhex("636869636b656e207465726979616b69");
    const std::string text = "I would like the General Gau's Chicken, please, and wonton soup.";
    struct Row {
        size_t length;
        const char* cipher;
    } rows[] = {
        {17, "c6353568f2bf8cb4d8a580362da7ff7f97"},
        {31, "fc00783e0efdb2c1d445d4c8eff7ed2297687268d6ecccc0c07b25e25ecfe5"},
        {32, "39312523a78662d5be7fcbcc98ebf5a897687268d6ecccc0c07b25e25ecfe584"},
        {47, "97687268d6ecccc0c07b25e25ecfe584b3fffd940c16a18c1b5549d2f838029e39312523a78662d5be7fcbcc98ebf5"},
        {64, "97687268d6ecccc0c07b25e25ecfe58439312523a78662d5be7fcbcc98ebf5a84807efe836ee89a526730dbc2f7bc840"
             "9dad8bbb96c4cdc03bc103e1a194bbd8"},
    };
    for (const Row& r : rows) {
        std::vector<uint8_t> plain;
        ASSERT_TRUE(AesCtsDecrypt(key, Unhex(r.cipher), plain)) << r.length;
        EXPECT_EQ(std::string(plain.begin(), plain.end()), text.substr(0, r.length));
    }
}

// MIT krb5's t_decrypt.c cases of key usage 2 (the ticket's), one per supported etype.
TEST(Kerberos, MitDecryptVectors) {
    struct Row {
        int32_t etype;
        const char *key, *cipher;
    } rows[] = {
        {kEtypeRc4Hmac, "3E40AB6093695281B3AC1A9304224D98",
         "0F9AD121D99D4A09448E4F1F718C4F5CBE6096262C66F29DF232A87C9F98755D55"},
        {kEtypeAes128CtsHmacSha1, "9062430C8CDA3388922E6D6A509F5B7A",
         "68FB9679601F45C78857B2BF820FD6E53ECA8D42FD4B1D7024A09205ABB7CD2EC26C355D2F"},
        {kEtypeAes256CtsHmacSha1, "B1AE4CD8462AFF1677053CC9279AAC30B796FB81CE21474DD3DDBCFEA4EC76D7",
         "09957AA25FCAF88F7B39E4406E633012D5FEA21853F6478DA7065CAEF41FD454A40824EEC5"},
    };
    for (const Row& r : rows) {
        std::vector<uint8_t> key = Unhex(r.key), cipher = Unhex(r.cipher), plain;
        ASSERT_TRUE(KerberosDecrypt(r.etype, key, kUsageTicket, cipher, plain)) << r.etype;
        EXPECT_EQ(std::string(plain.begin(), plain.end()), "9 bytesss");
        EXPECT_FALSE(KerberosDecrypt(r.etype, key, kUsageAuthenticator, cipher, plain)) << r.etype;
        cipher[cipher.size() / 2] ^= 0x80;
        EXPECT_FALSE(KerberosDecrypt(r.etype, key, kUsageTicket, cipher, plain)) << r.etype;
    }
}

}  // namespace
