// Session Setup: plain and extended-security logons, the legs of NTLMSSP, conversations,
// the logon event and the AndX chain behind it.
#include <gtest/gtest.h>

#include "session/session_frames.h"

namespace {

using namespace session_frames;

constexpr uint16_t kUid = 0x0800;

class SetupTest : public ::testing::Test {
protected:
    // Negotiate NT LM 0.12 with extended security and bare NTLMSSP blobs (a GUID alone).
    void Negotiate() {
        c.Req(NegoReq({"PC NETWORK PROGRAM 1.0", "NT LM 0.12"}, 1).frame());
        c.Rsp(NegoRspExtended(1, Bytes(), 1).frame());
        ASSERT_EQ(c.peer.state().m_secMode, 0u);
    }
    int Req(const Smb& m, uint32_t sec) {
        c.now = CTimeStamp32(sec, 0);
        return c.Req(m.frame());
    }
    int Rsp(const Smb& m, uint32_t sec) {
        c.now = CTimeStamp32(sec, 0);
        return c.Rsp(m.frame());
    }
    // NEGOTIATE and CHALLENGE legs of a bare NTLMSSP logon.
    void FirstLegs(const Smb& challengeRsp) {
        Req(SetupReqBlob(ntlmssp_negotiate()), 1);
        Rsp(challengeRsp, 2);
    }
    Conn c;
};

TEST_F(SetupTest, MoreProcessingStatuses) {
    // ERRDOS / ERRmoredata in the DOS form continues the logon (NT 4 servers).
    Negotiate();
    FirstLegs(SetupRspBlob(ntlmssp_challenge(u"NT4SRV", u"OLDDOM"), kUid, 0).dosError(1, 0xEA));
    EXPECT_TRUE(c.sink.events.empty());
    Req(SetupReqBlob(ntlmssp_auth(u"bob", u"OLDDOM", u"PC1"), kUid, true, 3), 3);
    Rsp(SetupRspPlain(kUid, 0, 3), 4);
    EXPECT_EQ(c.sink.Log("user server_name"), "bob|NT4SRV");

    // The same value as an NT status ends it.
    c.sink.events.clear();
    FirstLegs(SetupRspBlob(ntlmssp_challenge(u"S", u"D"), 0x900, 0x010000EA));
    EXPECT_EQ(c.sink.Log("status"), "10000ea");
    EXPECT_EQ(c.peer.convers().count(0x900), 0u);
}

TEST_F(SetupTest, FourthLegReparksAndTheNegotiatedServerNameWins) {
    c.peer.state().m_serverName = "NBNAME";
    FirstLegs(SetupRspBlob(ntlmssp_challenge(u"FROMNTLM", u"CORP"), kUid, kMoreProcessing));
    Req(SetupReqBlob(ntlmssp_auth(u"carol", u"CORP", u"WS"), kUid, true, 3), 3);
    Rsp(SetupRspBlob(Bytes(), kUid, kMoreProcessing, 3), 4);
    Req(SetupReqBlob(Bytes(), kUid, true, 4), 5);
    Rsp(SetupRspPlain(kUid, 0, 4), 6);
    EXPECT_EQ(c.sink.Log("user req server_name server_domain"), "carol|1|NBNAME|CORP");
}

TEST_F(SetupTest, PlainForms) {
    struct Case { const char* what; Smb msg; std::string user, domain, password; uint32_t auth; } cases[] = {
        {"NT LM 0.12, 8-bit", SetupReqNt("frank", "WORKGROUP", 2, false), "frank", "WORKGROUP", SMB_MASK, SMB_AUTH_PLAIN},
        {"NT LM 0.12, Unicode", SetupReqNt("gina", "CORP", 2, true), "gina", "CORP", SMB_MASK, SMB_AUTH_PLAIN},
        {"LAN Manager",
         Smb(0x73).mid(2).params(Bytes().u16(4356).u16(2).u16(0).u32(0).u16(3).u32(0))
             .data(Bytes().fill(3, 0x5A).strz("HARRY").strz("LANDOM").strz("OS/2").strz("LAN Manager 2.1")),
         "HARRY", "LANDOM", SMB_MASK, SMB_AUTH_PLAIN},
        {"other WordCount, no passwords",
         Smb(0x73).mid(2).params(Bytes().fill(14)).data(Bytes().strz("ivy").strz("D").strz("X").strz("Y")), "ivy", "D",
         SMB_MASK, SMB_AUTH_PLAIN},
        {"no account, no domain: a null session", SetupReqNt("", "", 2, true, Bytes(), Bytes()), "", "", "", SMB_AUTH_ANONYMOUS},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(k.what);
        Conn cc;
        EXPECT_EQ(cc.Req(k.msg.frame()), SMB_RET_SESSION_CMD);
        cc.Rsp(SetupRspPlain(kUid, 0, 2, false).frame());
        ASSERT_EQ(cc.sink.events.size(), 1u);
        const RecordedEvent& e = cc.sink.events[0];
        EXPECT_EQ(e.s("user") + "|" + e.s("domain") + "|" + e.s("password") + "|" + e.s("workstation"),
                  k.user + "|" + k.domain + "|" + k.password + "|" + SMB_MASK);
        EXPECT_EQ(e.n("auth"), k.auth);
        EXPECT_EQ(cc.peer.convers()[kUid]->m_accountName, k.user);
    }
}

TEST_F(SetupTest, MalformedRequestsAreDroppedButTheChainIsFollowed) {
    const Bytes nego = ntlmssp_negotiate();
    struct Case {
        const char* what;
        Smb msg;
        size_t saved;  // the chained Tree Connect only, or nothing when the message is not SMB
    } cases[] = {
        {"no NativeOS", SetupReqNt("a", "b", 2, false).data(Bytes().fill(48).strz("a").strz("b")), 1},
        {"password longer than the block",
         SetupReqNt("a", "b").params(Bytes().u16(1).u16(1).u16(0).u32(0).u16(900).u16(0).u32(0).u32(0)), 1},
        {"blob past the block", SetupReqBlob(nego).params(Bytes().fill(10).u16(400).fill(8)), 1},
        {"bare blob without NTLMSSP signature", SetupReqBlob(Bytes().str("NTLMSSX").u8(0).u32(1)), 1},
        {"fewer than 3 bytes after the blob", SetupReqBlob(nego).byteCount(uint16_t(nego.size() + 2)), 1},
        {"unterminated 8-bit NativeOS", SetupReqBlob(nego, 0, false).data(Bytes().raw(nego).str("Unix")), 0},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(k.what);
        Conn cc;
        cc.Req(k.msg.andx(0x75, TconParams(1), TconData(u"\\\\SRV\\IPC$", false)).frame());
        EXPECT_EQ(cc.peer.saved().size(), k.saved);
        EXPECT_EQ(cc.Rsp(SetupRspPlain(kUid, 0).frame()), SMB_RET_NO_REQUEST);
    }
}

// Windows 10 and later end the request with empty NativeOS and NativeLanMan (ByteCount =
// SecurityBlobLength + 5): only followUnreadLogons reads such strings closing the block.
TEST_F(SetupTest, EmptyNativeStringsAtTheBlockEnd) {
    const Bytes nego = ntlmssp_negotiate();
    const bool pad = (27 + nego.size()) & 1;
    struct Case {
        const char* what; bool unicode; Bytes tail; size_t savedStrict, savedTolerant;
    } cases[] = {
        {"Windows 10: pad, two empty UTF-16 strings", true, Bytes().fill(pad).u16(0).u16(0), 0, 1},
        {"NativeOS, then an empty UTF-16 NativeLanMan", true, Bytes().fill(pad).utf16z(u"W").u16(0), 0, 1},
        {"two empty 8-bit strings", false, Bytes().u8(0).u8(0), 0, 1},
        {"half a UTF-16 terminator", true, Bytes().fill(pad).u16(0).u8(0), 0, 0},
        {"a short non-empty 8-bit NativeLanMan", false, Bytes().strz("Unix").str("A"), 0, 0},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(k.what);
        for (bool tolerant : {false, true}) {
            Conn cc;
            SMBContextOptions o;
            o.followUnreadLogons = tolerant;
            cc.ctx.SetOptions(o);
            cc.Req(SetupReqBlob(nego, 0, k.unicode).data(Bytes().raw(nego).raw(k.tail)).frame());
            EXPECT_EQ(cc.peer.saved().size(), tolerant ? k.savedTolerant : k.savedStrict);
        }
    }
}

TEST_F(SetupTest, UnterminatedOemNativeLanManKeepsTheLogon) {
    Smb m = SetupReqBlob(ntlmssp_negotiate(), 0, false);
    EXPECT_EQ(Req(m.data(Bytes().raw(ntlmssp_negotiate()).strz("Unix").str("Samba")), 1), SMB_RET_SESSION_CMD);
    // The server refuses (WordCount 0, ByteCount 0); the logon is still reported.
    EXPECT_EQ(Rsp(Smb(0x73).uid(kUid).mid(2).ntStatus(kLogonFailure), 2), SMB_RET_SESSION_CMD);
    EXPECT_EQ(c.sink.Log("client_os lan_manager status"), std::string("Unix|") + SMB_MASK + "|c000006d");
}

TEST_F(SetupTest, SetupOnAKnownUidWithoutAParkedLogon) {
    Req(SetupReqNt("amy", "D"), 1);
    Rsp(SetupRspPlain(kUid, 0), 2);
    EXPECT_EQ(Req(SetupReqNt("amy", "D", 3).uid(kUid), 3), SMB_RET_NO_LINK);  // re-authentication is not followed
    EXPECT_TRUE(c.peer.saved().empty());
    c.peer.convers()[0x0900] = nullptr;  // a UID mapped to no conversation
    EXPECT_EQ(Req(SetupReqNt("amy", "D", 4).uid(0x0900), 4), SMB_RET_NO_OBJECT);
}

TEST_F(SetupTest, ResponseFaults) {
    Req(SetupReqNt("amy", "D"), 1);
    EXPECT_EQ(Rsp(SetupRspPlain(kUid, 0, 77), 2), SMB_RET_NO_REQUEST);
    // WordCount 1: the record goes, nothing else.
    EXPECT_EQ(Rsp(Smb(0x73).uid(kUid).mid(2).params(Bytes().u16(0)).wordCount(1).data(Bytes()), 3), SMB_RET_SESSION_CMD);
    EXPECT_TRUE(c.peer.saved().empty());
    // An extended response without NativeLanMan: no event, no conversation.
    Req(SetupReqBlob(ntlmssp_negotiate()), 4);
    const Bytes chal = ntlmssp_challenge(u"S", u"D");
    EXPECT_EQ(Rsp(SetupRspBlob(chal, kUid, kMoreProcessing).data(Bytes().raw(chal).u8(0).utf16z(u"Windows")), 5),
              SMB_RET_SESSION_CMD);
    EXPECT_EQ(c.peer.convers().count(kUid), 0u);
    EXPECT_TRUE(c.peer.saved().empty());
    // A blob running past the block.
    Req(SetupReqNt("amy", "D"), 6);
    Rsp(Smb(0x73).uid(kUid).mid(2).params(Bytes().u16(0).u16(300)).data(Bytes().fill(10)), 7);
    EXPECT_TRUE(c.sink.events.empty());
}

TEST_F(SetupTest, SessionSetupAndTreeConnectInOneMessage) {
    // Windows 2000 style: the logon and the first share in one round trip. A status in the
    // header is the chained Tree Connect's: the logon itself succeeded.
    for (uint32_t status : {0u, kBadNetworkName}) {
        SCOPED_TRACE(status);
        Conn cc;
        Smb req = SetupReqNt("jack", "CORP", 2, true);
        EXPECT_EQ(cc.Req(req.andx(0x75, TconParams(1), TconData(u"\\\\FILESRV\\IPC$", true)).frame()),
                  SMB_RET_FILE_CMD);  // the chained command's result
        EXPECT_EQ(cc.peer.saved().size(), 2u);
        Smb rsp = SetupRspPlain(kUid, status, 2, true).tid(0x0801);
        EXPECT_EQ(cc.Rsp(rsp.andx(0x75, Bytes().u16(1), Bytes().strz("IPC").utf16z(u"")).frame()), SMB_RET_FILE_CMD);
        ASSERT_EQ(cc.sink.events.size(), 2u);
        EXPECT_EQ(cc.sink.events[0].Fields("type status user"), "logon|0|jack");
        EXPECT_EQ(cc.sink.events[1].Fields("type share server"), "tcon|\\IPC$|\\\\FILESRV");
        EXPECT_EQ(cc.sink.events[1].status, status);
        EXPECT_NE(cc.sink.events[0].conv, nullptr);
        EXPECT_EQ(cc.sink.events[1].conv, status ? nullptr : cc.sink.events[0].conv);
        EXPECT_EQ(cc.peer.convers()[kUid]->m_trees.size(), status ? 0u : 1u);
    }
}

}  // namespace
