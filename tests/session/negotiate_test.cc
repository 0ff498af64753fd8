// Negotiate: dialect choice, server name of the non-extended response, security blob mode.
#include <gtest/gtest.h>

#include "session/session_frames.h"

namespace {

using namespace session_frames;

const std::vector<std::string> kDialects = {"PC NETWORK PROGRAM 1.0", "LANMAN1.0", "NT LM 0.12"};

// A non-extended NT LM 0.12 response: 8-byte challenge, DomainName, ServerName.
Smb NegoRspPlain(uint32_t caps, const Bytes& names, uint8_t challengeLen = 8) {
    return Smb(0x72).params(NegoRspParams(2, caps, challengeLen)).data(Bytes().fill(challengeLen, 0x77).raw(names));
}

TEST(Negotiate, IndexPicksTheDialectByteForByte) {
    Conn c;
    const std::vector<std::string> dialects = {"A", "B", "NT LM 0.12\xE9"};
    EXPECT_EQ(c.Req(NegoReq(dialects).frame()), SMB_RET_SESSION_CMD);
    EXPECT_EQ(c.Rsp(Smb(0x72).params(Bytes().u16(2)).frame()), SMB_RET_SESSION_CMD);
    EXPECT_EQ(c.peer.state().m_dialect, "NT LM 0.12\xE9");
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_TRUE(c.sink.events.empty());
}

TEST(Negotiate, IndexFFFFIsTheCoreDialect) {
    Conn c;
    c.Req(NegoReq({"SMB 2.002"}).frame());
    EXPECT_EQ(c.Rsp(Smb(0x72).params(Bytes().u16(0xFFFF)).frame()), SMB_RET_SESSION_CMD);
    EXPECT_EQ(c.peer.state().m_dialect, "PC NETWORK PROGRAM 1.0");
}

TEST(Negotiate, IndexBeyondTheListIsMalformed) {
    Conn c;
    c.Req(NegoReq(kDialects).frame());
    // Even with an error status, the index is checked first.
    EXPECT_EQ(c.Rsp(Smb(0x72).ntStatus(0xC0000001).params(Bytes().u16(3)).frame()), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(c.peer.state().m_dialect, SMB_MASK);
    EXPECT_TRUE(c.peer.saved().empty());  // the record went all the same
}

TEST(Negotiate, MalformedRequestsFileNothing) {
    struct Case {
        const char* what;
        Smb msg;
    } cases[] = {
        {"last name without NUL", Smb(0x72).data(Bytes().u8(2).strz("LANMAN1.0").u8(2).str("NT LM 0.12"))},
        {"trailing byte that is not 0x02", Smb(0x72).data(Bytes().u8(2).strz("LANMAN1.0").u8(0))},
        {"entry of another buffer format", Smb(0x72).data(Bytes().u8(4).strz("NT LM 0.12"))},
        {"parameter words", Smb(0x72).params(Bytes().u16(0)).data(Bytes().u8(2).strz("NT LM 0.12"))},
    };
    for (Case& k : cases) {
        Conn c;
        EXPECT_EQ(c.Req(k.msg.frame()), SMB_RET_BAD_FORMAT) << k.what;
        EXPECT_TRUE(c.peer.saved().empty()) << k.what;
        EXPECT_EQ(c.Rsp(Smb(0x72).params(Bytes().u16(0)).frame()), SMB_RET_NO_REQUEST) << k.what;
    }
}

TEST(Negotiate, EmptyDialectListIsFiled) {
    Conn c;
    EXPECT_EQ(c.Req(NegoReq({}).frame()), SMB_RET_SESSION_CMD);
    EXPECT_EQ(c.peer.saved().size(), 1u);
    EXPECT_EQ(c.Rsp(Smb(0x72).params(Bytes().u16(0)).frame()), SMB_RET_BAD_FORMAT);
}

TEST(Negotiate, ErrorStatusStillSetsTheDialect) {
    Conn c;
    c.Req(NegoReq(kDialects).frame());
    EXPECT_EQ(c.Rsp(Smb(0x72).ntStatus(0xC0000022).params(Bytes().u16(1)).frame()), SMB_RET_ERROR_STATUS);
    EXPECT_EQ(c.peer.state().m_dialect, "LANMAN1.0");
}

TEST(Negotiate, ExtendedSecurityChoosesTheBlobMode) {
    Conn c;
    c.Req(NegoReq(kDialects).frame());
    EXPECT_EQ(c.Rsp(NegoRspExtended(2, spnego_init(Bytes())).frame()), SMB_RET_SESSION_CMD);
    EXPECT_EQ(c.peer.state().m_secMode, 1u);
    EXPECT_EQ(c.peer.state().m_dialect, "NT LM 0.12");
    EXPECT_EQ(c.peer.state().m_serverName, SMB_MASK);

    // 16 + 74 bytes: a typical Windows negTokenInit.
    c.Req(NegoReq(kDialects).frame());
    c.peer.state().m_secMode = 0;
    c.Rsp(NegoRspExtended(2, Bytes().fill(74, 0x60)).frame());
    EXPECT_EQ(c.peer.state().m_secMode, 1u);

    c.Req(NegoReq(kDialects).frame());
    EXPECT_EQ(c.Rsp(NegoRspExtended(2, Bytes()).frame()), SMB_RET_SESSION_CMD);
    EXPECT_EQ(c.peer.state().m_secMode, 0u);

    // A GUID cut short leaves the mode alone.
    c.peer.state().m_secMode = 1;
    c.Req(NegoReq(kDialects).frame());
    c.Rsp(Smb(0x72).params(NegoRspParams(2, 0x80000000)).data(Bytes().fill(15)).frame());
    EXPECT_EQ(c.peer.state().m_secMode, 1u);
}

TEST(Negotiate, NonExtendedResponseNamesTheServer) {
    struct Case {
        const char* what;
        uint32_t caps;
        bool flags2Unicode;
        Bytes names;
    } cases[] = {
        {"8-bit", 0x00000000, false, Bytes().strz("WORKGROUP").strz("FILESRV")},
        {"Unicode by CAP_UNICODE, no pad byte", 0x00000004, false, Bytes().utf16z(u"WORKGROUP").utf16z(u"FILESRV")},
        {"Unicode by CAP_STATUS32", 0x00000040, false, Bytes().utf16z(u"WORKGROUP").utf16z(u"FILESRV")},
        {"Unicode by Flags2", 0x00000000, true, Bytes().utf16z(u"WORKGROUP").utf16z(u"FILESRV")},
        {"Unicode server name without terminator", 0x00000004, false, Bytes().utf16z(u"W").utf16(u"FILESRV")},
    };
    for (Case& k : cases) {
        Conn c;
        c.Req(NegoReq(kDialects).frame());
        EXPECT_EQ(c.Rsp(NegoRspPlain(k.caps, k.names).unicode(k.flags2Unicode).frame()), SMB_RET_SESSION_CMD) << k.what;
        EXPECT_EQ(c.peer.state().m_serverName, "FILESRV") << k.what;
        EXPECT_EQ(c.peer.state().m_secMode, 0u);
    }
}

TEST(Negotiate, NonExtendedResponseFaults) {
    struct Case {
        const char* what;
        Smb msg;
        int result;
    } cases[] = {
        {"server name missing", NegoRspPlain(0, Bytes().strz("WORKGROUP")), SMB_RET_BAD_FORMAT},
        {"nothing after the challenge", NegoRspPlain(0, Bytes()), SMB_RET_BAD_FORMAT},
        {"domain name unterminated", NegoRspPlain(0, Bytes().str("WORKGROUP")), SMB_RET_BAD_FORMAT},
        {"server name unterminated", NegoRspPlain(0, Bytes().strz("W").str("SRV")), SMB_RET_BAD_FORMAT},
        // A challenge running past the block: the names are not read, nothing is wrong.
        {"challenge past the block",
         Smb(0x72).params(NegoRspParams(2, 0, 200)).data(Bytes().fill(8).strz("W").strz("SRV")), SMB_RET_SESSION_CMD},
    };
    for (Case& k : cases) {
        Conn c;
        c.peer.state().m_serverName = "EARLIER";
        c.Req(NegoReq(kDialects).frame());
        EXPECT_EQ(c.Rsp(k.msg.frame()), k.result) << k.what;
        EXPECT_EQ(c.peer.state().m_serverName, "EARLIER") << k.what;
        EXPECT_EQ(c.peer.state().m_dialect, "NT LM 0.12") << k.what;  // set before the names
    }
}

TEST(Negotiate, RecordAllocationFailure) {
    Conn c;
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(NegoReq(kDialects).frame()), SMB_RET_NO_MEMORY);
    ZELK::FailNthAllocation(0);
    EXPECT_TRUE(c.peer.saved().empty());
}

}  // namespace
