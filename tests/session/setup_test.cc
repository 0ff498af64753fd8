// Session Setup: plain and extended-security logons, the legs of NTLMSSP, conversations,
// the logon event and the AndX chain behind it.
#include <gtest/gtest.h>

#include "session/session_frames.h"

namespace {

using namespace session_frames;

constexpr uint16_t kUid = 0x0800;

// Blob wrapping of one mode: 0 bare NTLMSSP, 1 SPNEGO.
struct Mode {
    uint32_t secMode;
    Bytes (*first)(const Bytes&);
    Bytes (*later)(const Bytes&);
};
Bytes Bare(const Bytes& m) { return m; }
Bytes Init(const Bytes& m) { return spnego_init(m); }
Bytes Targ(const Bytes& m) { return spnego_targ(m); }
// The server's last answer: nothing bare, accept-completed in SPNEGO.
Bytes Done(uint32_t secMode) { return secMode ? spnego_targ(Bytes(), 0) : Bytes(); }

class SetupTest : public ::testing::Test {
protected:
    // Negotiate NT LM 0.12 with extended security in the given mode.
    void Negotiate(uint32_t secMode) {
        c.Req(NegoReq({"PC NETWORK PROGRAM 1.0", "NT LM 0.12"}, 1).frame());
        c.Rsp(NegoRspExtended(1, secMode ? spnego_init(Bytes()) : Bytes(), 1).frame());
        ASSERT_EQ(c.peer.state().m_secMode, secMode);
    }
    int Req(const Smb& m, uint32_t sec) {
        c.now = CTimeStamp32(sec, 0);
        return c.Req(m.frame());
    }
    int Rsp(const Smb& m, uint32_t sec) {
        c.now = CTimeStamp32(sec, 0);
        return c.Rsp(m.frame());
    }
    const RecordedEvent& OnlyEvent() const {
        EXPECT_EQ(c.sink.events.size(), 1u);
        return c.sink.events.at(0);
    }

    Conn c;
};

class NtlmLogon : public SetupTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(NtlmLogon, ThreeLegsGiveOneEventAtTheLastResponse) {
    const Mode m = GetParam();
    Negotiate(m.secMode);
    EXPECT_EQ(Req(SetupReqBlob(m.first(ntlmssp_negotiate()), 0, true, 2), 100), SMB_RET_SESSION_CMD);
    EXPECT_EQ(Rsp(SetupRspBlob(m.later(ntlmssp_challenge(u"FILESRV", u"CORP")), kUid, kMoreProcessing, 2), 101),
              SMB_RET_SESSION_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    ASSERT_NE(c.peer.convers().count(kUid), 0u);
    EXPECT_NE(c.peer.convers()[kUid]->m_pLogon, nullptr);  // parked between the legs
    EXPECT_TRUE(c.peer.saved().empty());

    EXPECT_EQ(Req(SetupReqBlob(m.later(ntlmssp_auth(u"alice", u"CORP", u"WS01")), kUid, true, 3), 102),
              SMB_RET_SESSION_CMD);
    EXPECT_EQ(c.peer.convers()[kUid]->m_pLogon, nullptr);
    EXPECT_EQ(c.peer.saved().size(), 1u);
    EXPECT_EQ(Rsp(SetupRspBlob(Done(m.secMode), kUid, 0, 3), 103), SMB_RET_SESSION_CMD);

    const RecordedEvent& e = OnlyEvent();
    EXPECT_EQ(e.type, SMB_EVT_LOGON);
    EXPECT_EQ(e.s("user"), "alice");
    EXPECT_EQ(e.s("domain"), "CORP");
    EXPECT_EQ(e.s("workstation"), "WS01");
    EXPECT_EQ(e.s("server_name"), "FILESRV");
    EXPECT_EQ(e.s("server_domain"), "CORP");
    EXPECT_EQ(e.s("password"), SMB_MASK);
    EXPECT_EQ(e.s("dialect"), "NT LM 0.12");
    EXPECT_EQ(e.s("client_os"), "Windows 2000 2195");
    EXPECT_EQ(e.s("server_os"), "Windows 5.1");
    EXPECT_EQ(e.s("lan_manager"), "Windows 2000 LAN Manager");  // the response's replaces the request's
    EXPECT_EQ(e.n("auth"), SMB_AUTH_NTLMSSP);
    EXPECT_EQ(e.status, 0u);
    EXPECT_EQ(e.reqTime.m_sec, 100u);  // the request that started the logon
    EXPECT_EQ(e.rspTime.m_sec, 103u);
    EXPECT_EQ(e.uid, kUid);
    ASSERT_EQ(c.peer.convers().count(kUid), 1u);
    EXPECT_EQ(c.peer.convers()[kUid]->m_accountName, "alice");
    EXPECT_EQ(e.conv, c.peer.convers()[kUid]);
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST_P(NtlmLogon, FailedLogonReleasesTheConversation) {
    const Mode m = GetParam();
    Negotiate(m.secMode);
    Req(SetupReqBlob(m.first(ntlmssp_negotiate())), 1);
    Rsp(SetupRspBlob(m.later(ntlmssp_challenge(u"FILESRV", u"CORP")), kUid, kMoreProcessing), 2);
    Req(SetupReqBlob(m.later(ntlmssp_auth(u"mallory", u"CORP", u"EVIL")), kUid, true, 3), 3);
    EXPECT_EQ(Rsp(SetupRspBlob(Bytes(), kUid, kLogonFailure, 3), 4), SMB_RET_SESSION_CMD);
    const RecordedEvent& e = OnlyEvent();
    EXPECT_EQ(e.status, kLogonFailure);
    EXPECT_EQ(e.conv, nullptr);
    EXPECT_EQ(e.s("user"), "mallory");
    EXPECT_EQ(c.peer.convers().count(kUid), 0u);
}

INSTANTIATE_TEST_SUITE_P(BareAndSpnego, NtlmLogon,
                         ::testing::Values(Mode{0, Bare, Bare}, Mode{1, Init, Targ}),
                         [](const auto& info) { return info.param.secMode ? "Spnego" : "Bare"; });

TEST_F(SetupTest, DosMoreDataStatusContinuesTheLogon) {
    Negotiate(0);
    Req(SetupReqBlob(ntlmssp_negotiate()), 1);
    Smb challenge = SetupRspBlob(ntlmssp_challenge(u"NT4SRV", u"OLDDOM"), kUid, 0);
    challenge.dosError(1, 0xEA);  // ERRDOS / ERRmoredata
    Rsp(challenge, 2);
    EXPECT_TRUE(c.sink.events.empty());
    Req(SetupReqBlob(ntlmssp_auth(u"bob", u"OLDDOM", u"PC1"), kUid, true, 3), 3);
    Rsp(SetupRspPlain(kUid, 0, 3), 4);
    EXPECT_EQ(OnlyEvent().s("user"), "bob");
    EXPECT_EQ(OnlyEvent().s("server_name"), "NT4SRV");
}

TEST_F(SetupTest, MoreDataValueUnderAnNtStatusEndsTheLogon) {
    Negotiate(0);
    Req(SetupReqBlob(ntlmssp_negotiate()), 1);
    Rsp(SetupRspBlob(ntlmssp_challenge(u"S", u"D"), kUid, 0x010000EA), 2);
    EXPECT_EQ(OnlyEvent().status, 0x010000EAu);
    EXPECT_EQ(c.peer.convers().count(kUid), 0u);
}

TEST_F(SetupTest, FourLegsReplaceTheParkingConversation) {
    Negotiate(0);
    Req(SetupReqBlob(ntlmssp_negotiate()), 1);
    Rsp(SetupRspBlob(ntlmssp_challenge(u"FILESRV", u"CORP"), kUid, kMoreProcessing), 2);
    Req(SetupReqBlob(ntlmssp_auth(u"carol", u"CORP", u"WS"), kUid, true, 3), 3);
    Rsp(SetupRspBlob(Bytes(), kUid, kMoreProcessing, 3), 4);
    EXPECT_NE(c.peer.convers()[kUid]->m_pLogon, nullptr);
    Req(SetupReqBlob(Bytes(), kUid, true, 4), 5);
    Rsp(SetupRspPlain(kUid, 0, 4), 6);
    EXPECT_EQ(OnlyEvent().s("user"), "carol");
    EXPECT_EQ(OnlyEvent().reqTime.m_sec, 1u);
}

TEST_F(SetupTest, OemChallengeChangesHowTheAuthenticateIsRead) {
    Negotiate(0);
    Req(SetupReqBlob(ntlmssp_negotiate()), 1);
    Rsp(SetupRspBlob(ntlmssp_challenge(u"OLDSRV", u"LEGACY", /*unicode=*/false), kUid, kMoreProcessing), 2);
    Req(SetupReqBlob(ntlmssp_auth(u"dave", u"LEGACY", u"DOS1", /*unicode=*/false), kUid, true, 3), 3);
    Rsp(SetupRspPlain(kUid, 0, 3), 4);
    const RecordedEvent& e = OnlyEvent();
    EXPECT_EQ(e.s("user"), "dave");
    EXPECT_EQ(e.s("domain"), "LEGACY");
    EXPECT_EQ(e.s("workstation"), "DOS1");
    EXPECT_EQ(e.s("server_name"), "OLDSRV");
}

TEST_F(SetupTest, NegotiatedServerNameWins) {
    c.peer.state().m_serverName = "NBNAME";
    c.peer.state().m_dialect = "NT LM 0.12";
    Req(SetupReqBlob(ntlmssp_negotiate()), 1);
    Rsp(SetupRspBlob(ntlmssp_challenge(u"FROMNTLM", u"CORP"), kUid, kMoreProcessing), 2);
    Req(SetupReqBlob(ntlmssp_auth(u"erin", u"CORP", u"H"), kUid, true, 3), 3);
    Rsp(SetupRspPlain(kUid, 0, 3), 4);
    EXPECT_EQ(OnlyEvent().s("server_name"), "NBNAME");
    EXPECT_EQ(OnlyEvent().s("server_domain"), "CORP");
}

TEST_F(SetupTest, AnonymousLogons) {
    // Plain NT LM 0.12 form with no account and no domain: a null session.
    Req(SetupReqNt("", "", 2, true, Bytes(), Bytes()), 1);
    Rsp(SetupRspPlain(kUid, 0), 2);
    const RecordedEvent& plain = OnlyEvent();
    EXPECT_EQ(plain.s("password"), "");
    EXPECT_EQ(plain.n("auth"), SMB_AUTH_ANONYMOUS);
    EXPECT_EQ(plain.s("user"), "");
    EXPECT_EQ(plain.s("client_os"), "Unix");
    EXPECT_EQ(plain.s("workstation"), SMB_MASK);
    EXPECT_EQ(plain.uid, kUid);

    // NTLMSSP with an empty domain: anonymous too, even with a user name.
    c.sink.events.clear();
    Req(SetupReqBlob(ntlmssp_negotiate(), 0, true, 5), 3);
    Rsp(SetupRspBlob(ntlmssp_challenge(u"S", u"D"), 0x900, kMoreProcessing, 5), 4);
    Req(SetupReqBlob(ntlmssp_auth(u"guest", u"", u""), 0x900, true, 6), 5);
    Rsp(SetupRspPlain(0x900, 0, 6), 6);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].s("password"), "");
    EXPECT_EQ(c.sink.events[0].n("auth"), SMB_AUTH_ANONYMOUS);
    EXPECT_EQ(c.sink.events[0].s("user"), "guest");
}

TEST_F(SetupTest, PlainForms) {
    struct Case {
        const char* what;
        Smb msg;
        std::string user, domain;
    } cases[] = {
        {"NT LM 0.12, 8-bit", SetupReqNt("frank", "WORKGROUP", 2, false), "frank", "WORKGROUP"},
        {"NT LM 0.12, Unicode", SetupReqNt("gina", "CORP", 2, true), "gina", "CORP"},
        {"LAN Manager",
         Smb(0x73).mid(2).params(Bytes().u16(4356).u16(2).u16(0).u32(0).u16(3).u32(0))
             .data(Bytes().fill(3, 0x5A).strz("HARRY").strz("LANDOM").strz("OS/2").strz("LAN Manager 2.1")),
         "HARRY", "LANDOM"},
        {"other WordCount, no passwords",
         Smb(0x73).mid(2).params(Bytes().fill(14)).data(Bytes().strz("ivy").strz("D").strz("X").strz("Y")), "ivy", "D"},
    };
    for (Case& k : cases) {
        Conn cc;
        EXPECT_EQ(cc.Req(k.msg.frame()), SMB_RET_SESSION_CMD) << k.what;
        cc.Rsp(SetupRspPlain(kUid, 0, 2, false).frame());
        ASSERT_EQ(cc.sink.events.size(), 1u) << k.what;
        EXPECT_EQ(cc.sink.events[0].s("user"), k.user) << k.what;
        EXPECT_EQ(cc.sink.events[0].s("domain"), k.domain) << k.what;
        EXPECT_EQ(cc.sink.events[0].n("auth"), SMB_AUTH_PLAIN) << k.what;
        EXPECT_EQ(cc.sink.events[0].s("password"), SMB_MASK) << k.what;
        EXPECT_EQ(cc.peer.convers()[kUid]->m_accountName, k.user) << k.what;
    }
}

TEST_F(SetupTest, MalformedRequestsAreDroppedButTheChainIsFollowed) {
    struct Case {
        const char* what;
        Smb msg;
    } cases[] = {
        {"no NativeOS", SetupReqNt("a", "b", 2, false).data(Bytes().fill(48).strz("a").strz("b"))},
        {"password longer than the block", SetupReqNt("a", "b").params(Bytes().u16(1).u16(1).u16(0).u32(0).u16(900).u16(0).u32(0).u32(0))},
        {"blob past the block", SetupReqBlob(ntlmssp_negotiate()).params(Bytes().fill(10).u16(400).fill(8))},
        {"bare blob without NTLMSSP signature", SetupReqBlob(Bytes().str("NTLMSSX").u8(0).u32(1))},
        {"fewer than 3 bytes after the blob", SetupReqBlob(ntlmssp_negotiate()).byteCount(uint16_t(ntlmssp_negotiate().size() + 2))},
    };
    for (Case& k : cases) {
        Conn cc;
        Smb chained = k.msg;
        chained.andx(0x75, TconParams(1), TconData(u"\\\\SRV\\IPC$", false));
        cc.Req(chained.frame());
        EXPECT_EQ(cc.peer.saved().size(), 1u) << k.what;  // only the Tree Connect
        EXPECT_EQ(cc.Rsp(SetupRspPlain(kUid, 0).frame()), SMB_RET_NO_REQUEST) << k.what;
    }
}

TEST_F(SetupTest, UnterminatedOemNativeOsEndsTheRequest) {
    Smb m = SetupReqBlob(ntlmssp_negotiate(), 0, false);
    m.data(Bytes().raw(ntlmssp_negotiate()).str("Unix"));
    m.andx(0x75, TconParams(1), TconData(u"\\\\SRV\\IPC$", false));
    EXPECT_EQ(Req(m, 1), SMB_RET_BAD_FORMAT);
    EXPECT_TRUE(c.peer.saved().empty());  // not even the chained Tree Connect
}

TEST_F(SetupTest, UnterminatedOemNativeLanManKeepsTheLogon) {
    Smb m = SetupReqBlob(ntlmssp_negotiate(), 0, false);
    m.data(Bytes().raw(ntlmssp_negotiate()).strz("Unix").str("Samba"));
    EXPECT_EQ(Req(m, 1), SMB_RET_SESSION_CMD);
    ASSERT_EQ(c.peer.saved().size(), 1u);
    // The server refuses; the logon is still reported, without a LAN Manager string.
    EXPECT_EQ(Rsp(Smb(0x73).uid(kUid).mid(2).ntStatus(kLogonFailure), 2), SMB_RET_SESSION_CMD);
    EXPECT_EQ(OnlyEvent().s("client_os"), "Unix");
    EXPECT_EQ(OnlyEvent().s("lan_manager"), SMB_MASK);
    EXPECT_EQ(OnlyEvent().status, kLogonFailure);  // WordCount 0, ByteCount 0: straight to the status
}

TEST_F(SetupTest, SecondSetupOnACompletedLogon) {
    Req(SetupReqNt("amy", "D"), 1);
    Rsp(SetupRspPlain(kUid, 0), 2);
    Smb again = SetupReqNt("amy", "D", 3);
    again.uid(kUid);
    EXPECT_EQ(Req(again, 3), SMB_RET_NO_LINK);
    EXPECT_TRUE(c.peer.saved().empty());

    // A UID mapped to no conversation.
    c.peer.convers()[0x0900] = nullptr;
    Smb none = SetupReqNt("amy", "D", 4);
    none.uid(0x0900);
    EXPECT_EQ(Req(none, 4), SMB_RET_NO_OBJECT);
}

TEST_F(SetupTest, ResponseFaults) {
    Req(SetupReqNt("amy", "D"), 1);
    EXPECT_EQ(Rsp(SetupRspPlain(kUid, 0, 77), 2), SMB_RET_NO_REQUEST);
    // WordCount 1: the record goes, nothing else.
    EXPECT_EQ(Rsp(Smb(0x73).uid(kUid).mid(2).params(Bytes().u16(0)).wordCount(1).data(Bytes()), 3), SMB_RET_SESSION_CMD);
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_TRUE(c.sink.events.empty());

    // An extended response without NativeLanMan: no event, no conversation.
    Req(SetupReqBlob(ntlmssp_negotiate()), 4);
    Smb noLanMan = SetupRspBlob(ntlmssp_challenge(u"S", u"D"), kUid, kMoreProcessing);
    noLanMan.data(Bytes().raw(ntlmssp_challenge(u"S", u"D")).u8(0).utf16z(u"Windows"));
    EXPECT_EQ(Rsp(noLanMan, 5), SMB_RET_SESSION_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_EQ(c.peer.convers().count(kUid), 0u);
    EXPECT_TRUE(c.peer.saved().empty());

    // A blob running past the block.
    Req(SetupReqNt("amy", "D"), 6);
    EXPECT_EQ(Rsp(Smb(0x73).uid(kUid).mid(2).params(Bytes().u16(0).u16(300)).data(Bytes().fill(10)), 7),
              SMB_RET_SESSION_CMD);
    EXPECT_TRUE(c.sink.events.empty());
}

TEST_F(SetupTest, SessionSetupAndTreeConnectInOneMessage) {
    // Windows 2000 style: the logon and the first share in one round trip.
    Smb req = SetupReqNt("jack", "CORP", 2, true);
    req.andx(0x75, TconParams(1), TconData(u"\\\\FILESRV\\IPC$", true));
    EXPECT_EQ(Req(req, 10), SMB_RET_FILE_CMD);  // the chained command's result
    EXPECT_EQ(c.peer.saved().size(), 2u);

    Smb rsp = SetupRspPlain(kUid, 0, 2, true);
    rsp.tid(0x0801).andx(0x75, Bytes().u16(1), Bytes().strz("IPC").utf16z(u""));
    EXPECT_EQ(Rsp(rsp, 11), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 2u);
    const RecordedEvent& logon = c.sink.events[0];
    const RecordedEvent& tcon = c.sink.events[1];
    EXPECT_EQ(logon.type, SMB_EVT_LOGON);
    EXPECT_EQ(logon.s("user"), "jack");
    EXPECT_EQ(tcon.type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(tcon.s("share"), "\\IPC$");
    EXPECT_EQ(tcon.s("server"), "\\\\FILESRV");
    EXPECT_EQ(tcon.n("tree_type"), SMB_TREE_IPC);
    EXPECT_EQ(tcon.conv, logon.conv);
    EXPECT_EQ(tcon.tid, 0x0801);
    EXPECT_EQ(c.peer.convers()[kUid]->m_trees.size(), 1u);
}

TEST_F(SetupTest, ChainedResponseLogonSucceedsWhateverTheHeaderStatus) {
    Smb req = SetupReqNt("kim", "CORP");
    req.andx(0x75, TconParams(1), TconData(u"\\\\FILESRV\\NOPE", true));
    Req(req, 1);
    Smb rsp = SetupRspPlain(kUid, kBadNetworkName);
    rsp.andx(0x75, Bytes().u16(0), Bytes());
    Rsp(rsp, 2);
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].status, 0u);
    EXPECT_NE(c.sink.events[0].conv, nullptr);
    EXPECT_EQ(c.sink.events[1].status, kBadNetworkName);  // the status was the Tree Connect's
    EXPECT_EQ(c.sink.events[1].tree, nullptr);
}

TEST_F(SetupTest, AllocationFailures) {
    const long before = ZELK::LiveAllocations();
    // The logon record.
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(Req(SetupReqNt("a", "b"), 1), SMB_RET_NO_MEMORY);
    EXPECT_TRUE(c.peer.saved().empty());

    // The conversation that parks a logon: a response without strings allocates nothing
    // before it.
    Req(SetupReqBlob(ntlmssp_negotiate()), 2);
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(Rsp(Smb(0x73).uid(kUid).mid(2).ntStatus(kMoreProcessing), 3), SMB_RET_NO_MEMORY);
    EXPECT_EQ(c.peer.convers().count(kUid), 0u);
    EXPECT_TRUE(c.sink.events.empty());

    // The conversation of a completed logon.
    Req(SetupReqNt("a", "b"), 4);
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(Rsp(Smb(0x73).uid(kUid).mid(2).ntStatus(0), 5), SMB_RET_NO_MEMORY);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_EQ(c.peer.convers().count(kUid), 0u);

    // A Unicode string of the response.
    Req(SetupReqNt("a", "b"), 6);
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(Rsp(SetupRspPlain(kUid, 0), 7), SMB_RET_NO_MEMORY);
    EXPECT_TRUE(c.sink.events.empty());
    ZELK::FailNthAllocation(0);
    EXPECT_EQ(ZELK::LiveAllocations(), before);
}

}  // namespace
