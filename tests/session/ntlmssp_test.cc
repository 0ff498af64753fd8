// NTLMSSP messages and the SPNEGO tokens around them, read straight into a logon record.
#include <gtest/gtest.h>

#include "auth/ber.h"
#include "support/harness.h"
#include "support/ntlmssp_builder.h"

namespace {

int Ntlm(Conn& c, CSILogon& logon, const Bytes& msg, size_t len = SIZE_MAX) {
    ByteVec copy = msg.vec();
    return c.peer.ProcessNTLMSSP(&logon, reinterpret_cast<char*>(copy.data()),
                                 uint16_t(len == SIZE_MAX ? copy.size() : len));
}
int Gss(Conn& c, CSILogon& logon, const Bytes& token) {
    ByteVec copy = token.vec();
    return c.peer.ProcessGSSAPI(&logon, reinterpret_cast<char*>(copy.data()), uint16_t(copy.size()));
}
const std::string M = SMB_MASK;
constexpr uint32_t kNtlm = SMB_AUTH_NTLMSSP;
constexpr int kOk = SMB_RET_OK, kBad = SMB_RET_BAD_FORMAT;

Bytes Patched(Bytes b, size_t at, uint32_t v, bool wide = true) {
    wide ? patch32(b, at, v) : patch16(b, at, uint16_t(v));
    return b;
}

TEST(Ntlmssp, SignatureAndMessageTypes) {
    Conn c;
    CSILogon logon{CTimeStamp32()};
    EXPECT_EQ(c.peer.ProcessNTLMSSP(nullptr, nullptr, 0), SMB_RET_NO_LOGON);
    EXPECT_EQ(Ntlm(c, logon, Bytes().str("NTLMSSP"), 7), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(logon.m_event.m_authType, SMB_AUTH_NTLMSSP);  // set before anything is checked
    Bytes noNul = ntlmssp_auth(u"bob", u"D", u"H");
    noNul.vec()[7] = 'X';
    EXPECT_EQ(Ntlm(c, logon, noNul), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(Ntlm(c, logon, Bytes().str("NTLMSSP").u8(0).u16(3)), SMB_RET_OK);  // type 3 too short for one
    EXPECT_EQ(Ntlm(c, logon, ntlmssp_negotiate()), SMB_RET_OK);
    EXPECT_EQ(logon.m_event.m_userName, SMB_MASK);
}

TEST(Ntlmssp, ChallengeNamesTheServerAndFixesTheEncoding) {
    Conn c;
    for (bool unicode : {true, false}) {
        SCOPED_TRACE(unicode);
        // Domain before computer, EOL not last: the walk goes on to TargetInfoFields.Len.
        CSILogon logon{CTimeStamp32()};
        logon.m_bNtlmUnicode = !unicode;
        EXPECT_EQ(Ntlm(c, logon, ntlmssp_challenge({{kAvNbDomainName, u"CORP"}, {kAvDnsDomainName, u"corp.example"},
                                                   {kAvEol, u""}, {kAvNbComputerName, u"FILESRV"}}, unicode)),
                  SMB_RET_OK);
        EXPECT_EQ(logon.m_event.m_serverDomain, "CORP");
        EXPECT_EQ(logon.m_event.m_serverName, "FILESRV");
        EXPECT_EQ(logon.m_bNtlmUnicode, unicode);
        EXPECT_EQ(Ntlm(c, logon, ntlmssp_auth(u"carol", u"LEGACY", u"PC7", unicode)), SMB_RET_OK);
        EXPECT_EQ(logon.m_event.m_userName, "carol");
        EXPECT_EQ(logon.m_event.m_domain, "LEGACY");
        EXPECT_EQ(logon.m_event.m_workstation, "PC7");
    }
    // The CHALLENGE decides, not the AUTHENTICATE's own flags: read as UTF-16, the 8-bit
    // names are garbage.
    CSILogon fresh{CTimeStamp32()};
    Ntlm(c, fresh, ntlmssp_auth(u"carol", u"LEGACY", u"PC7", false));
    EXPECT_NE(fresh.m_event.m_userName, "carol");
}

// The pair walk's guard against lengths that wrap the 16-bit position is the shared NTLM
// reader's, tested with it; here what a malformed walk leaves in the logon.
TEST(Ntlmssp, ChallengeFieldsOutsideTheMessage) {
    const Bytes oem = ntlmssp_challenge(u"S", u"D", false), corp = ntlmssp_challenge({{kAvNbDomainName, u"CORP"}});
    Bytes cut = ntlmssp_challenge({{kAvNbComputerName, u"SERVER01"}});
    cut.vec().resize(cut.size() - 4 - 6);  // drop EOL and the last three characters
    Bytes atEnd = ntlmssp_challenge({{kAvNbComputerName, u"X"}});
    atEnd.vec().resize(atEnd.size() - 4 - 2);
    struct Case {
        const char* what; Bytes msg; int result; bool unicode; std::string server, domain; size_t len = SIZE_MAX;
    } cases[] = {
        {"no NegotiateFlags: the encoding stays", oem, kBad, true, M, M, 22},
        {"32-byte form without target information", oem, kOk, false, M, M, 32},
        {"BufferOffset above 0xFFFF", Patched(ntlmssp_challenge(u"S", u"D"), 44, 0x10038), kOk, true, M, M},
        {"TargetInfoFields.Len beyond the message", Patched(corp, 40, 200, false), kBad, true, M, "CORP"},
        {"name running past the end is cut", cut, kBad, true, "SERVE", M},
        {"name starting at the end", atEnd, kBad, true, M, M},
    };
    Conn c;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        CSILogon logon{CTimeStamp32()};
        logon.m_bNtlmUnicode = true;
        EXPECT_EQ(Ntlm(c, logon, k.msg, k.len), k.result);
        EXPECT_EQ(logon.m_bNtlmUnicode, k.unicode);
        EXPECT_EQ(logon.m_event.m_serverName, k.server);
        EXPECT_EQ(logon.m_event.m_serverDomain, k.domain);
    }
}

TEST(Ntlmssp, AuthenticateNamesTheUser) {
    const Bytes plain = ntlmssp_auth(u"dave", u"CORP", u"H");
    // The workstation pointed at the last 6 bytes of the message, "xyz", claiming 20.
    Bytes past = plain;
    const size_t tail = past.size() - 6;
    for (size_t i = 0; i < 3; ++i) patch16(past, tail + 2 * i, uint16_t(u'x' + i));
    past = Patched(Patched(past, kAuthHostBuf, 20, false), kAuthHostBuf + 4, uint32_t(tail));
    auto userAt = [&](uint32_t offset) { return Patched(plain, kAuthUserBuf + 4, offset); };
    struct Case {
        const char* what; Bytes msg; int result; std::string user, domain, host, password; uint32_t auth; size_t len = SIZE_MAX;
    } cases[] = {
        {"Unicode", ntlmssp_auth(u"alice", u"CORP", u"WS01"), kOk, "alice", "CORP", "WS01", M, kNtlm},
        {"empty domain: anonymous", ntlmssp_auth(u"guest", u"", u""), kOk, "guest", "", "", "", SMB_AUTH_ANONYMOUS},
        {"user starting at the end", userAt(uint32_t(plain.size())), kBad, M, "CORP", M, M, kNtlm},
        {"user beyond the end", userAt(0xFFFFFFF0), kBad, M, "CORP", M, M, kNtlm},
        {"workstation running past the end is cut", past, kOk, "dave", "CORP", "xyz", M, kNtlm},
        // A missing domain Len is not an empty domain: not anonymous.
        {"cut inside the domain buffer header", plain, kBad, M, M, M, M, kNtlm, 34},
        {"empty workstation, whatever its offset", Patched(ntlmssp_auth(u"dave", u"CORP", u""), kAuthHostBuf + 4, 0xFFFF), kOk,
         "dave", "CORP", "", M, kNtlm},
        // Unicode text is read from the next even offset: "dave" lies at 96, after "CORP" at 88.
        {"odd offset", userAt(95), kOk, "dave", "CORP", "H", M, kNtlm},
        {"odd offset at the last byte", userAt(uint32_t(plain.size() - 1)), kOk, "", "CORP", "H", M, kNtlm},
    };
    Conn c;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        CSILogon logon{CTimeStamp32()};
        logon.m_bNtlmUnicode = true;
        EXPECT_EQ(Ntlm(c, logon, k.msg, k.len), k.result);
        EXPECT_EQ(logon.m_event.m_userName, k.user);
        EXPECT_EQ(logon.m_event.m_domain, k.domain);
        EXPECT_EQ(logon.m_event.m_workstation, k.host);
        EXPECT_EQ(logon.m_event.m_password, k.password);
        EXPECT_EQ(logon.m_event.m_authType, k.auth);
    }
}

// negTokenTarg { [n] { 04 <token> } ... } with the elements of `tags`, the CHALLENGE under [2].
Bytes TargWith(std::initializer_list<uint8_t> tags, const Bytes& chal) {
    Bytes seq;
    for (uint8_t tag : tags) seq.ber(tag, Bytes().ber(0x04, tag == 0xA2 ? chal : Bytes().u8(0)));
    return Bytes().ber(0xA1, Bytes().ber(0x30, seq));
}

TEST(Spnego, TokensReachTheNtlmMessage) {
    const Bytes chal = ntlmssp_challenge(u"DC01", u"CORP");
    // A [2] holding the message itself, not an OCTET STRING: "NT" does not read as an element
    // that fits, so the [2] content goes on as it is.
    const Bytes raw = ntlmssp_challenge({{kAvNbComputerName, u"RAW"}}, false);
    ASSERT_LT(raw.size(), 2u + 'T');
    const Bytes rawTarg = Bytes().ber(0xA1, Bytes().ber(0x30, Bytes().ber(0xA0, Bytes().ber(0x0A, Bytes().u8(1))).ber(0xA2, raw)));
    struct Case { const char* what; Bytes token; int result; uint32_t auth; std::string server; } cases[] = {
        {"negTokenTarg", spnego_targ(chal), kOk, kNtlm, "DC01"},
        // accept-completed: the [0] ENUMERATED goes on, a single byte, and is rejected there.
        {"accept-completed", spnego_targ(Bytes(), 0), kOk, kNtlm, M},
        {"empty sequence", Bytes().raw({0xA1, 0x02, 0x30, 0x00}), kOk, SMB_AUTH_PLAIN, M},
        {"initial token 0x60 is never looked at", spnego_init(chal), kOk, SMB_AUTH_PLAIN, M},
        {"outer length past the token", Bytes().raw({0xA1, 0x09, 0x30, 0x00}), ASN1_NO_MORE_DATA, SMB_AUTH_PLAIN, M},
        {"indefinite outer length", Bytes().raw({0xA1, 0x80, 0x30, 0x00, 0x00, 0x00}), ASN1_UNSUPPORTED_FORM, SMB_AUTH_PLAIN, M},
        {"bad sequence length", Bytes().raw({0xA1, 0x03, 0x30, 0x85, 0x00}), ASN1_BAD_LENGTH, SMB_AUTH_PLAIN, M},
        {"[2] as fifth element", TargWith({0xA0, 0xA1, 0xA3, 0xA4, 0xA2}, chal), kOk, kNtlm, "DC01"},
        {"[2] as sixth element is not looked at", TargWith({0xA0, 0xA1, 0xA3, 0xA4, 0xA5, 0xA2}, chal), kOk, kNtlm, M},
        {"[2] without OCTET STRING", rawTarg, kOk, kNtlm, "RAW"},
    };
    Conn c;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        CSILogon logon{CTimeStamp32()};
        EXPECT_EQ(Gss(c, logon, k.token), k.result);
        EXPECT_EQ(logon.m_event.m_authType, k.auth);
        EXPECT_EQ(logon.m_event.m_serverName, k.server);
    }
}

}  // namespace
