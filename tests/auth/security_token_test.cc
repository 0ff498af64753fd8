// The shared security-token readers on hostile tokens and on cuts of real ones
// (tests/data/auth). What they read from whole tokens shows in the records of the captures
// they come from, and decryption proves the keys (compare_twins.py).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>

#include "auth/security_token.h"
#include "support/frame_builder.h"

namespace {

namespace auth = smbaudit::auth;

ByteVec Load(const std::string& name) {
    std::ifstream f(std::string(SMBAUDIT_TEST_DATA) + "/auth/" + name, std::ios::binary);
    return ByteVec(std::istreambuf_iterator<char>(f), {});
}

std::string Text(auth::Bytes b, bool utf16) {
    std::string s;
    for (size_t i = 0; i < b.size(); i += utf16 ? 2 : 1) s += char(b[i]);
    return s;
}

std::string Hex(auth::Bytes b) {
    std::ostringstream s;
    for (uint8_t c : b) s << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
    return s.str();
}

// One line per token: its kind, SPNEGO state and the AP-REQ fields.
std::string Summary(const auth::SecurityToken& t) {
    static const char* const kKinds[] = {"none", "ntlm-negotiate", "ntlm-challenge", "ntlm-authenticate",
                                         "krb-ap-req", "krb-ap-rep", "spnego-no-mech", "unknown"};
    std::ostringstream s;
    s << kKinds[int(t.kind)] << (t.spnego ? " spnego" : "");
    if (t.negState) s << " state=" << int(*t.negState);
    if (t.kind == auth::TokenKind::KerberosApReq) {
        const auth::KerberosApReq& k = t.kerberosApReq;
        s << " realm=" << k.realm << " sname=" << k.servicePrincipal << " ticket=" << k.ticketEtype << "/"
          << k.kvno.value_or(0) << "/" << k.ticketCipher.size() << " authenticator=" << k.authenticatorEtype << "/"
          << k.authenticatorCipher.size();
    }
    return s.str();
}

std::string Summary(const ByteVec& b) {
    auth::SecurityToken t;
    const bool ok = auth::ReadSecurityToken(b.data(), b.size(), t);
    return (ok ? "" : "malformed ") + Summary(t);
}

// DER leaves no element complete before the last byte: every cut of a Kerberos token is refused.
TEST(SecurityToken, EveryCutOfAKerberosTokenIsMalformed) {
    for (const char* file : {"kerberos-ap-req.bin", "kerberos-ap-rep.bin"}) {
        const ByteVec token = Load(file);
        for (size_t n = 1; n < token.size(); ++n) {
            auth::SecurityToken t;
            ASSERT_FALSE(auth::ReadSecurityToken(token.data(), n, t)) << file << " cut at " << n;
        }
    }
}

// negTokenInit { [2] mechToken } around `inner`, `levels` times.
ByteVec Nested(int levels, const Bytes& inner) {
    Bytes b = inner;
    for (int i = 0; i < levels; ++i) b = Bytes().ber(0xA0, Bytes().ber(0x30, Bytes().ber(0xA2, Bytes().ber(0x04, b))));
    return b.vec();
}

TEST(SecurityToken, HostileTokens) {
    const Bytes accept = Bytes().ber(0xA1, Bytes().ber(0x30, Bytes().ber(0xA0, Bytes().raw({0x0A, 0x01, 0x00}))));
    const struct {
        const char* name;
        ByteVec token;
        std::string expected;
    } rows[] = {
        {"empty", {}, "malformed none"},
        {"length past the end", {0x60, 0x09, 0x06, 0x06, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x02}, "malformed unknown"},
        {"indefinite length", Bytes().raw({0xA1, 0x80}).raw(accept).raw({0, 0}).vec(), "malformed unknown"},
        {"five length octets", {0xA1, 0x85, 0, 0, 0, 0, 3, 0x30, 0x01, 0x00}, "malformed unknown"},
        {"nesting within the bound", Nested(3, accept), "spnego-no-mech spnego state=0"},
        {"nesting beyond the bound", Nested(4, accept), "malformed unknown spnego"},
        {"Kerberos OID, unknown token id",
         {0x60, 0x0F, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02, 0x03, 0x00, 0x7E, 0x00},
         "malformed unknown"},
        {"AP-REQ with the AP-REP message type",
         Bytes().ber(0x6E, Bytes().ber(0x30, Bytes().ber(0xA1, Bytes().raw({0x02, 0x01, 15})))).vec(),
         "malformed krb-ap-req realm= sname= ticket=0/0/0 authenticator=0/0"},
        {"NTLMSSP of an unknown type", Bytes().strz("NTLMSSP").u32(9).vec(), "malformed unknown"},
    };
    for (const auto& row : rows) EXPECT_EQ(Summary(row.token), row.expected) << row.name;
}

// Principal and realm limits: a ninth name component, or a name past kMaxKerberosName bytes.
TEST(SecurityToken, KerberosNameLimits) {
    ByteVec req = Load("as-req-kinit.bin");
    auth::KerberosAsReq asReq;
    ASSERT_TRUE(auth::ReadKerberosAsReq(req.data(), req.size(), asReq));
    EXPECT_EQ(asReq.clientPrincipal + " " + asReq.realm + " " + asReq.servicePrincipal, "alice EXAMPLE.TEST krbtgt/EXAMPLE.TEST");
    const auto principal = [](int parts, size_t length) {
        Bytes names;
        for (int i = 0; i < parts; ++i) names.ber(0x1B, Bytes().str(std::string(length, 'a')));
        return Bytes().ber(0x30, Bytes().ber(0xA0, Bytes().raw({2, 1, 1})).ber(0xA1, Bytes().ber(0x30, names)));
    };
    const std::tuple<int, size_t, bool> cases[] = {{8, 60, true}, {9, 1, false}, {2, 300, false}};
    for (const auto& [parts, length, ok] : cases) {
        const Bytes body = Bytes().ber(0xA1, principal(parts, length)).ber(0xA2, Bytes().ber(0x1B, Bytes().str("R")));
        const ByteVec msg = Bytes().ber(0x6A, Bytes().ber(0x30, Bytes().ber(0xA2, Bytes().raw({2, 1, 10})).ber(0xA4, Bytes().ber(0x30, body)))).vec();
        EXPECT_EQ(auth::ReadKerberosAsReq(msg.data(), msg.size(), asReq), ok) << parts << " x " << length;
    }
}

TEST(SecurityToken, DecryptedKerberosParts) {
    const ByteVec ticket = Load("enc-ticket-part.bin");
    auth::EncTicketPart part;
    ASSERT_TRUE(auth::ReadEncTicketPart(ticket.data(), ticket.size(), part));
    EXPECT_EQ(part.crealm + " " + part.cname + " " + std::to_string(part.sessionKey.type), "EXAMPLE.TEST alice 18");
    EXPECT_EQ(Hex(part.sessionKey.value), "101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f");
    const ByteVec a = Load("authenticator.bin");
    auth::KerberosAuthenticator authenticator;
    ASSERT_TRUE(auth::ReadKerberosAuthenticator(a.data(), a.size(), authenticator));
    ASSERT_TRUE(authenticator.subkey && authenticator.seqNumber);
    EXPECT_EQ(authenticator.crealm + " " + authenticator.cname + " " + Hex(authenticator.subkey->value.first(4)),
              "EXAMPLE.TEST alice 40414243");
    EXPECT_EQ(*authenticator.seqNumber, 0x1234567u);
    const ByteVec r = Load("enc-ap-rep-part.bin");
    auth::EncApRepPart rep;
    ASSERT_TRUE(auth::ReadEncApRepPart(r.data(), r.size(), rep));
    ASSERT_TRUE(rep.subkey && rep.seqNumber);
    EXPECT_EQ(std::to_string(rep.subkey->type) + " " + Hex(rep.subkey->value) + " " + std::to_string(*rep.seqNumber),
              "23 707172737475767778797a7b7c7d7e7f 4294967295");
}

// The AV pair walk ends on a pair that would wrap the 16-bit position, and UTF-16 text at an
// odd offset is read from the next even one.
TEST(SecurityToken, NtlmWalkGuardAndAlignment) {
    const ByteVec m = Bytes().strz("NTLMSSP").u32(2).u16(0).u16(0).u32(0).u32(1).fill(8).fill(8).u16(12).u16(12).u32(48)
                          .u16(1).u16(2).raw({'A', 0}).u16(9).u16(0xFFF0).fill(2).vec();
    auth::NtlmChallenge c;
    EXPECT_FALSE(auth::ReadNtlmChallenge(auth::Bytes(m), c));
    EXPECT_EQ(Text(c.nbComputerName, true), "A");
    const ByteVec odd = Bytes().u8(0).raw({'x', 'B', 0, 'C', 0}).vec();
    EXPECT_EQ(Text(auth::NtlmText(auth::Bytes(odd), {true, 4, 1, {}}, true), true), "BC");
}

}  // namespace
