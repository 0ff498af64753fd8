#include "crypto/kerberos.h"

#include <algorithm>

namespace smbaudit::crypto {
namespace {

constexpr size_t kAesBlock = 16;
constexpr size_t kAesMac = 12;  // HMAC-SHA1 truncated to 96 bits
constexpr size_t kRc4Checksum = 16;
constexpr size_t kRc4Confounder = 8;

bool AesCtsHmacSha1Decrypt(ByteView key, uint32_t usage, ByteView cipher, std::vector<uint8_t>& plain) {
    if (cipher.size() < kAesBlock + kAesMac) return false;
    // Ke = DK(key, usage || 0xAA), Ki = DK(key, usage || 0x55)
    uint8_t constant[5] = {uint8_t(usage >> 24), uint8_t(usage >> 16), uint8_t(usage >> 8), uint8_t(usage), 0xAA};
    Secret ke, ki;
    if (!KerberosDerive(key, constant, ke)) return false;
    constant[4] = 0x55;
    if (!KerberosDerive(key, constant, ki)) return false;
    ByteView data = cipher.first(cipher.size() - kAesMac);
    if (!AesCtsDecrypt(ke.view(), data, plain)) return false;
    Secret mac = HmacSha1(ki.view(), plain);
    if (mac.size() < kAesMac || !SameBytes(mac.view().first(kAesMac), cipher.last(kAesMac))) return false;
    plain.erase(plain.begin(), plain.begin() + kAesBlock);
    return true;
}

bool Rc4HmacDecrypt(ByteView key, uint32_t usage, ByteView cipher, std::vector<uint8_t>& plain) {
    if (key.size() != 16 || cipher.size() < kRc4Checksum + kRc4Confounder) return false;
    // RFC 4757 maps a few usages to the numbers Windows used before RFC 4120 fixed them.
    uint32_t t = usage == 3 ? 8 : usage == 9 ? 8 : usage == 23 ? 13 : usage;
    const uint8_t salt[4] = {uint8_t(t), uint8_t(t >> 8), uint8_t(t >> 16), uint8_t(t >> 24)};
    Secret k1 = HmacMd5(key, salt);
    ByteView checksum = cipher.first(kRc4Checksum);
    Secret k3 = HmacMd5(k1.view(), checksum);
    if (!Rc4(k3.view(), cipher.subspan(kRc4Checksum), plain)) return false;
    if (!SameBytes(HmacMd5(k1.view(), plain).view(), checksum)) return false;
    plain.erase(plain.begin(), plain.begin() + kRc4Confounder);
    return true;
}

// Keytab entries worth trying for a ticket, those of its service principal first.
std::vector<const KeytabEntry*> Candidates(const auth::KerberosApReq& apReq, const std::vector<KeytabEntry>& keytab) {
    std::vector<const KeytabEntry*> out;
    for (const KeytabEntry& e : keytab) {
        if (e.etype != apReq.ticketEtype) continue;
        if (apReq.kvno && *apReq.kvno != e.kvno && (*apReq.kvno & 0xFF) != e.kvno) continue;
        out.push_back(&e);
    }
    std::stable_partition(out.begin(), out.end(), [&](const KeytabEntry* e) {
        return e->principal == apReq.servicePrincipal;
    });
    return out;
}

Secret KeyOf(const auth::EncryptionKey& k) { return Secret(k.value); }

}  // namespace

bool KerberosDecrypt(int32_t etype, ByteView key, uint32_t usage, ByteView cipher, std::vector<uint8_t>& plain) {
    switch (etype) {
        case kEtypeAes128CtsHmacSha1:
            return key.size() == 16 && AesCtsHmacSha1Decrypt(key, usage, cipher, plain);
        case kEtypeAes256CtsHmacSha1:
            return key.size() == 32 && AesCtsHmacSha1Decrypt(key, usage, cipher, plain);
        case kEtypeRc4Hmac:
            return Rc4HmacDecrypt(key, usage, cipher, plain);
        default:
            return false;
    }
}

bool OpenApReq(const auth::KerberosApReq& apReq, const std::vector<KeytabEntry>& keytab, KerberosLogon& logon) {
    std::vector<uint8_t> plain;
    auth::EncTicketPart ticket;
    bool opened = false;
    for (const KeytabEntry* e : Candidates(apReq, keytab)) {
        if (KerberosDecrypt(apReq.ticketEtype, e->key.view(), kUsageTicket, apReq.ticketCipher, plain)) {
            opened = auth::ReadEncTicketPart(plain.data(), plain.size(), ticket);
            break;
        }
    }
    if (!opened) {
        WipeBytes(plain.data(), plain.size());
        return false;
    }
    logon.clientPrincipal = ticket.cname;
    logon.clientRealm = ticket.crealm;
    logon.ticketSessionKey = KeyOf(ticket.sessionKey);
    logon.sessionKey = logon.ticketSessionKey;
    WipeBytes(plain.data(), plain.size());
    auth::KerberosAuthenticator authenticator;
    if (KerberosDecrypt(apReq.authenticatorEtype, logon.ticketSessionKey.view(), kUsageAuthenticator,
                        apReq.authenticatorCipher, plain) &&
        auth::ReadKerberosAuthenticator(plain.data(), plain.size(), authenticator) && authenticator.subkey)
        logon.sessionKey = KeyOf(*authenticator.subkey);
    WipeBytes(plain.data(), plain.size());
    return true;
}

bool OpenApRep(const auth::KerberosApRep& apRep, const Secret& ticketSessionKey, Secret& subkey) {
    std::vector<uint8_t> plain;
    auth::EncApRepPart part;
    bool ok = KerberosDecrypt(apRep.etype, ticketSessionKey.view(), kUsageApRepPart, apRep.cipher, plain) &&
              auth::ReadEncApRepPart(plain.data(), plain.size(), part) && part.subkey;
    if (ok) subkey = KeyOf(*part.subkey);
    WipeBytes(plain.data(), plain.size());
    return ok;
}

}  // namespace smbaudit::crypto
