// NTLMSSP messages and the SPNEGO tokens around them, read straight into a logon record.
#include <gtest/gtest.h>

#include "session/ber.h"
#include "support/harness.h"
#include "support/ntlmssp_builder.h"

namespace {

class NtlmTest : public ::testing::Test {
protected:
    int Feed(const Bytes& msg, size_t len = SIZE_MAX) {
        m_copy = msg.vec();
        return c.peer.ProcessNTLMSSP(&logon, reinterpret_cast<char*>(m_copy.data()),
                                     uint16_t(len == SIZE_MAX ? m_copy.size() : len));
    }
    int Gss(const Bytes& token) {
        m_copy = token.vec();
        return c.peer.ProcessGSSAPI(&logon, reinterpret_cast<char*>(m_copy.data()), uint16_t(m_copy.size()));
    }
    const CLogonEvent& ev() const { return logon.m_event; }

    Conn c;
    CSILogon logon{CTimeStamp32(5, 0)};
    ByteVec m_copy;
};

TEST_F(NtlmTest, SignatureAndMessageTypes) {
    EXPECT_EQ(c.peer.ProcessNTLMSSP(nullptr, nullptr, 0), SMB_RET_NO_LOGON);

    EXPECT_EQ(Feed(ntlmssp_negotiate()), SMB_RET_OK);
    EXPECT_EQ(ev().m_authType, SMB_AUTH_NTLMSSP);
    EXPECT_EQ(ev().m_userName, SMB_MASK);
    EXPECT_TRUE(logon.m_bNtlmUnicode);

    CSILogon other{CTimeStamp32()};
    ByteVec seven = Bytes().str("NTLMSSP").vec();
    EXPECT_EQ(c.peer.ProcessNTLMSSP(&other, reinterpret_cast<char*>(seven.data()), 7), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(other.m_event.m_authType, SMB_AUTH_NTLMSSP);  // set before anything is checked

    Bytes noNul = ntlmssp_auth(u"bob", u"D", u"H");
    noNul.vec()[7] = 'X';
    EXPECT_EQ(Feed(noNul), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(ev().m_userName, SMB_MASK);

    // Message type 3 in a blob too short for a type: nothing read.
    EXPECT_EQ(Feed(Bytes().str("NTLMSSP").u8(0).u16(3)), SMB_RET_OK);
}

TEST_F(NtlmTest, ChallengeNamesTheServer) {
    // Domain before computer, other pairs between them, EOL not last: the walk goes on to
    // TargetInfoFields.Len.
    Bytes chal = ntlmssp_challenge({{kAvNbDomainName, u"CORP"},
                                    {kAvDnsDomainName, u"corp.example"},
                                    {kAvEol, u""},
                                    {kAvNbComputerName, u"FILESRV"}});
    EXPECT_EQ(Feed(chal), SMB_RET_OK);
    EXPECT_EQ(ev().m_serverDomain, "CORP");
    EXPECT_EQ(ev().m_serverName, "FILESRV");
    EXPECT_TRUE(logon.m_bNtlmUnicode);
    EXPECT_EQ(ev().m_authType, SMB_AUTH_NTLMSSP);
}

TEST_F(NtlmTest, OemChallengeMakesTheAuthenticateOem) {
    EXPECT_EQ(Feed(ntlmssp_challenge(u"OLDSRV", u"LEGACY", /*unicode=*/false)), SMB_RET_OK);
    EXPECT_FALSE(logon.m_bNtlmUnicode);
    EXPECT_EQ(ev().m_serverName, "OLDSRV");
    EXPECT_EQ(ev().m_serverDomain, "LEGACY");

    EXPECT_EQ(Feed(ntlmssp_auth(u"carol", u"LEGACY", u"PC7", /*unicode=*/false)), SMB_RET_OK);
    EXPECT_EQ(ev().m_userName, "carol");
    EXPECT_EQ(ev().m_domain, "LEGACY");
    EXPECT_EQ(ev().m_workstation, "PC7");

    // Read as UTF-16 the same bytes would give garbage: the CHALLENGE decides, not the
    // AUTHENTICATE's own flags.
    CSILogon fresh{CTimeStamp32()};
    m_copy = ntlmssp_auth(u"carol", u"LEGACY", u"PC7", false).vec();
    c.peer.ProcessNTLMSSP(&fresh, reinterpret_cast<char*>(m_copy.data()), uint16_t(m_copy.size()));
    EXPECT_NE(fresh.m_event.m_userName, "carol");
}

TEST_F(NtlmTest, ChallengeEdgeCases) {
    // Too short to hold NegotiateFlags: the encoding stays as it was.
    EXPECT_EQ(Feed(ntlmssp_challenge(u"S", u"D", false), 22), SMB_RET_BAD_FORMAT);
    EXPECT_TRUE(logon.m_bNtlmUnicode);
    // The 32-byte form without target information: flags only.
    EXPECT_EQ(Feed(ntlmssp_challenge(u"S", u"D", false), 32), SMB_RET_OK);
    EXPECT_FALSE(logon.m_bNtlmUnicode);
    EXPECT_EQ(ev().m_serverName, SMB_MASK);

    // A BufferOffset above 0xFFFF walks nothing.
    Bytes far = ntlmssp_challenge(u"S", u"D");
    patch32(far, 44, 0x10038);
    EXPECT_EQ(Feed(far), SMB_RET_OK);
    EXPECT_EQ(ev().m_serverName, SMB_MASK);

    // TargetInfoFields.Len beyond the message: the pairs inside are read, then the walk
    // meets a pair header past the end.
    Bytes longer = ntlmssp_challenge({{kAvNbDomainName, u"CORP"}});
    patch16(longer, 40, 200);
    EXPECT_EQ(Feed(longer), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(ev().m_serverDomain, "CORP");

    // A name whose AvLen runs past the message is cut at its end.
    Bytes cut = ntlmssp_challenge({{kAvNbComputerName, u"SERVER01"}});
    // The walk then meets the next pair header beyond the end.
    cut.vec().resize(cut.size() - 4 - 6);  // drop EOL and the last three characters
    EXPECT_EQ(Feed(cut), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(ev().m_serverName, "SERVE");

    // A name that starts exactly at the end of the message is rejected.
    Bytes atEnd = ntlmssp_challenge({{kAvNbComputerName, u"X"}});
    atEnd.vec().resize(atEnd.size() - 4 - 2);
    EXPECT_EQ(Feed(atEnd), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(ev().m_serverName, "SERVE");
}

TEST_F(NtlmTest, PairLengthThatWrapsThePositionEndsTheWalk) {
    // AvLen 0xFFFC would bring the 16-bit position back onto the same pair for ever, and
    // smaller wraps back onto an earlier one; a long TargetInfoFields.Len keeps the walk going.
    for (uint16_t avLen : {uint16_t(0xFFFC), uint16_t(0xFFF0)}) {
        Bytes chal = ntlmssp_challenge({{kAvNbDomainName, u"CORP"}, {7, u"AB"}});
        patch16(chal, 40, 0xFFFF);
        patch16(chal, 56 + 12 + 12 + 2, avLen);  // AvLen of the second pair, after TARGET and CORP
        EXPECT_EQ(Feed(chal), SMB_RET_BAD_FORMAT) << avLen;
        EXPECT_EQ(ev().m_serverDomain, "CORP");
    }
}

TEST_F(NtlmTest, AuthenticateNamesTheUser) {
    EXPECT_EQ(Feed(ntlmssp_auth(u"alice", u"CORP", u"WS01")), SMB_RET_OK);
    EXPECT_EQ(ev().m_userName, "alice");
    EXPECT_EQ(ev().m_domain, "CORP");
    EXPECT_EQ(ev().m_workstation, "WS01");
    EXPECT_EQ(ev().m_password, SMB_MASK);
    EXPECT_EQ(ev().m_authType, SMB_AUTH_NTLMSSP);
}

TEST_F(NtlmTest, EmptyDomainIsAnonymous) {
    EXPECT_EQ(Feed(ntlmssp_auth(u"guest", u"", u"")), SMB_RET_OK);
    EXPECT_EQ(ev().m_domain, "");
    EXPECT_EQ(ev().m_password, "");
    EXPECT_EQ(ev().m_authType, SMB_AUTH_ANONYMOUS);
    EXPECT_EQ(ev().m_userName, "guest");
    EXPECT_EQ(ev().m_workstation, "");
}

TEST_F(NtlmTest, AuthenticateFieldsOutsideTheMessage) {
    // UserName starting exactly at the end: -4, the domain already read.
    Bytes atEnd = ntlmssp_auth(u"dave", u"CORP", u"H");
    patch32(atEnd, kAuthUserBuf + 4, uint32_t(atEnd.size()));
    EXPECT_EQ(Feed(atEnd), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(ev().m_domain, "CORP");
    EXPECT_EQ(ev().m_userName, SMB_MASK);

    // Starting beyond the end: the same.
    Bytes beyond = ntlmssp_auth(u"dave", u"CORP", u"H");
    patch32(beyond, kAuthUserBuf + 4, 0xFFFFFFF0);
    EXPECT_EQ(Feed(beyond), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(ev().m_userName, SMB_MASK);

    // Running past the end: cut there. Point the workstation at the last 6 bytes of the
    // message, "xyz" in UTF-16LE, and claim 20.
    Bytes past = ntlmssp_auth(u"erin", u"CORP", u"H");
    const size_t tail = past.size() - 6;
    patch16(past, tail, u'x');
    patch16(past, tail + 2, u'y');
    patch16(past, tail + 4, u'z');
    patch16(past, kAuthHostBuf, 20);
    patch32(past, kAuthHostBuf + 4, uint32_t(tail));
    EXPECT_EQ(Feed(past), SMB_RET_OK);
    EXPECT_EQ(ev().m_userName, "erin");
    EXPECT_EQ(ev().m_workstation, "xyz");

    // A message cut inside the DomainName security buffer header: a missing Len is not an
    // empty domain, so the logon is not taken for anonymous.
    CSILogon shortLogon{CTimeStamp32()};
    m_copy = ntlmssp_auth(u"frank", u"CORP", u"H").vec();
    EXPECT_EQ(c.peer.ProcessNTLMSSP(&shortLogon, reinterpret_cast<char*>(m_copy.data()), 34), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(shortLogon.m_event.m_domain, SMB_MASK);
    EXPECT_EQ(shortLogon.m_event.m_password, SMB_MASK);
    EXPECT_EQ(shortLogon.m_event.m_authType, SMB_AUTH_NTLMSSP);

    // An empty workstation is empty whatever its offset says.
    Bytes noHost = ntlmssp_auth(u"gina", u"CORP", u"");
    patch32(noHost, kAuthHostBuf + 4, 0xFFFF);
    EXPECT_EQ(Feed(noHost), SMB_RET_OK);
    EXPECT_EQ(ev().m_workstation, "");
}

TEST_F(NtlmTest, UnicodeFieldAtAnOddOffsetIsReadFromTheNextEvenOne) {
    // The user name lies at 96, after "CORP" at 88; its offset says 95.
    Bytes auth = ntlmssp_auth(u"hank", u"CORP", u"H");
    patch32(auth, kAuthUserBuf + 4, 95);
    EXPECT_EQ(Feed(auth), SMB_RET_OK);
    EXPECT_EQ(ev().m_userName, "hank");
    EXPECT_EQ(ev().m_domain, "CORP");

    // Raised past the last byte there is nothing left: the empty text.
    Bytes last = ntlmssp_auth(u"hank", u"CORP", u"H");
    patch32(last, kAuthUserBuf + 4, uint32_t(last.size() - 1));
    EXPECT_EQ(Feed(last), SMB_RET_OK);
    EXPECT_EQ(ev().m_userName, "");
}

TEST_F(NtlmTest, AllocationFailures) {
    // 8-bit fields are copied through a framework buffer.
    EXPECT_EQ(Feed(ntlmssp_challenge(u"S", u"D", false)), SMB_RET_OK);
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(Feed(ntlmssp_auth(u"ivan", u"DOM", u"H", false)), SMB_RET_NO_MEMORY);
    EXPECT_EQ(ev().m_domain, SMB_MASK);
    // Unicode conversion takes its own buffer.
    logon.m_bNtlmUnicode = true;
    ZELK::FailNthAllocation(2);
    EXPECT_EQ(Feed(ntlmssp_auth(u"ivan", u"DOM", u"H")), SMB_RET_NO_MEMORY);
    EXPECT_EQ(ev().m_domain, "DOM");
    EXPECT_EQ(ev().m_userName, SMB_MASK);
    ZELK::FailNthAllocation(0);
}

// SPNEGO: the NTLMSSP message inside a negTokenTarg.
TEST_F(NtlmTest, NegTokenTargReachesTheChallenge) {
    Bytes token = spnego_targ(ntlmssp_challenge(u"DC01", u"CORP"));
    ASSERT_EQ(token.vec()[0], 0xA1);
    EXPECT_EQ(Gss(token), SMB_RET_OK);
    EXPECT_EQ(ev().m_serverName, "DC01");
    EXPECT_EQ(ev().m_serverDomain, "CORP");
}

TEST_F(NtlmTest, TokensThatCarryNoNtlmMessage) {
    // accept-completed: the [0] element's ENUMERATED goes on, a single byte: rejected.
    EXPECT_EQ(Gss(Bytes().raw({0xA1, 0x07, 0x30, 0x05, 0xA0, 0x03, 0x0A, 0x01, 0x00})), SMB_RET_OK);
    EXPECT_EQ(ev().m_authType, SMB_AUTH_NTLMSSP);

    CSILogon empty{CTimeStamp32()};
    m_copy = {0xA1, 0x02, 0x30, 0x00};
    EXPECT_EQ(c.peer.ProcessGSSAPI(&empty, reinterpret_cast<char*>(m_copy.data()), 4), SMB_RET_OK);
    EXPECT_EQ(empty.m_event.m_authType, SMB_AUTH_PLAIN);  // nothing passed on

    CSILogon init{CTimeStamp32()};
    m_copy = spnego_init(ntlmssp_negotiate()).vec();
    EXPECT_EQ(c.peer.ProcessGSSAPI(&init, reinterpret_cast<char*>(m_copy.data()), uint16_t(m_copy.size())), SMB_RET_OK);
    EXPECT_EQ(init.m_event.m_authType, SMB_AUTH_PLAIN);  // 0x60 is never looked at

    // Malformed outer layers surface as the reader's results.
    EXPECT_EQ(Gss(Bytes().raw({0xA1, 0x09, 0x30, 0x00})), ASN1_NO_MORE_DATA);
    EXPECT_EQ(Gss(Bytes().raw({0xA1, 0x80, 0x30, 0x00, 0x00, 0x00})), ASN1_UNSUPPORTED_FORM);
    EXPECT_EQ(Gss(Bytes().raw({0xA1, 0x03, 0x30, 0x85, 0x00})), ASN1_BAD_LENGTH);
}

TEST_F(NtlmTest, OnlyFiveElementsAreLookedAt) {
    const Bytes chal = ntlmssp_challenge(u"SIX", u"D");
    Bytes seq;
    for (uint8_t tag : {0xA0, 0xA1, 0xA3, 0xA4, 0xA5}) seq.ber(tag, Bytes().ber(0x04, Bytes().u8(0)));
    seq.ber(0xA2, Bytes().ber(0x04, chal));
    EXPECT_EQ(Gss(Bytes().ber(0xA1, Bytes().ber(0x30, seq))), SMB_RET_OK);
    EXPECT_EQ(ev().m_serverName, SMB_MASK);
    EXPECT_EQ(ev().m_authType, SMB_AUTH_NTLMSSP);  // the first element went on

    // As the fifth it is found.
    Bytes five;
    for (uint8_t tag : {0xA0, 0xA1, 0xA3, 0xA4}) five.ber(tag, Bytes().ber(0x04, Bytes().u8(0)));
    five.ber(0xA2, Bytes().ber(0x04, chal));
    EXPECT_EQ(Gss(Bytes().ber(0xA1, Bytes().ber(0x30, five))), SMB_RET_OK);
    EXPECT_EQ(ev().m_serverName, "SIX");
}

TEST_F(NtlmTest, ResponseTokenWithoutOctetStringIsPassedWhole) {
    // A [2] whose content is the NTLMSSP message itself, not wrapped in an OCTET STRING:
    // "NT" does not read as an element that fits, so the [2] content goes on as it is.
    const Bytes chal = ntlmssp_challenge({}, /*unicode=*/false);
    ASSERT_LT(chal.size(), 2u + 'T');
    Bytes seq = Bytes().ber(0xA0, Bytes().ber(0x0A, Bytes().u8(1))).ber(0xA2, chal);
    EXPECT_EQ(Gss(Bytes().ber(0xA1, Bytes().ber(0x30, seq))), SMB_RET_OK);
    EXPECT_FALSE(logon.m_bNtlmUnicode);
}

TEST_F(NtlmTest, TokenArrayAllocationFailure) {
    const long before = ZELK::LiveAllocations();
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(Gss(spnego_targ(ntlmssp_challenge(u"DC01", u"CORP"))), SMB_RET_OK);  // the unwrapper's result
    EXPECT_EQ(ev().m_authType, SMB_AUTH_PLAIN);
    EXPECT_EQ(ev().m_serverName, SMB_MASK);
    EXPECT_EQ(ZELK::LiveAllocations(), before);
}

}  // namespace
