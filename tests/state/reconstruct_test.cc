// Records rebuilt for connections picked up in mid-session behave as ordinary records.
#include <gtest/gtest.h>

#include "session/session_frames.h"

namespace {

using namespace session_frames;

TEST(ReconstructedRecords, CarryWhatNegotiateTaught) {
    Conn c;
    c.Req(NegoReq({"NT LM 0.12"}).frame());
    c.Rsp(Smb(0x72).params(NegoRspParams(0, 0)).data(Bytes().strz("DOM").strz("NBSRV")).frame());
    EXPECT_EQ(c.peer.ConstructFakeConv(0x0800), SMB_RET_OK);
    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.s("dialect"), "NT LM 0.12");
    EXPECT_EQ(e.s("server_name"), "NBSRV");
    for (const char* field : {"user", "password", "workstation", "domain", "server_domain", "client_os", "server_os",
                              "lan_manager"})
        EXPECT_EQ(e.s(field), SMB_MASK) << field;
    EXPECT_EQ(e.n("auth"), SMB_AUTH_PLAIN);
    EXPECT_EQ(e.rspTime.m_sec, 0u);
    const _smbConvers* conv = c.peer.convers()[0x0800];
    ASSERT_NE(conv, nullptr);
    EXPECT_TRUE(conv->m_bLoggedOn);
    EXPECT_EQ(conv->m_accountName, "");
    EXPECT_EQ(conv->m_pLogon, nullptr);
}

TEST(ReconstructedRecords, TreeJoinsTheConversationOfItsUid) {
    Conn c;
    _smbConvers* conv = c.peer.AddConv(0x0800);
    c.peer.AddTree(0x0800, 1, u"\\A");
    EXPECT_EQ(c.peer.ConstructFakeTreeRes(0x0800, 0x0801), SMB_RET_OK);
    ASSERT_EQ(c.sink.events.size(), 1u);  // only the tree is announced
    EXPECT_EQ(c.sink.events[0].conv, conv);
    ASSERT_EQ(conv->m_trees.size(), 2u);
    EXPECT_EQ(conv->m_trees.back(), c.peer.trees()[0x0801]);  // appended
    EXPECT_EQ(c.sink.events[0].tid, 0x0801);

    // A UID without a conversation: the tree stands alone.
    EXPECT_EQ(c.peer.ConstructFakeTreeRes(0x0900, 7), SMB_RET_OK);
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[1].conv, nullptr);
    ASSERT_NE(c.peer.trees()[7], nullptr);
    EXPECT_EQ(c.peer.trees()[7]->m_pConvers, nullptr);
}

TEST(ReconstructedRecords, AreTornDownLikeAnyOther) {
    Conn c;
    c.peer.ConstructFakeConv(0x0800);
    c.peer.ConstructFakeTreeRes(0x0800, 5);
    c.sink.events.clear();

    c.Req(LogoffReq(0x0800).frame());
    c.Rsp(LogoffRsp(0x0800).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].s("user"), "");  // the account was never seen
    ASSERT_NE(c.peer.convers()[0x0800], nullptr);  // a tree is still connected

    c.Req(TdisReq(0x0800, 5).frame());
    c.Rsp(TdisRsp(0x0800, 5).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    // The rebuilt tree knows no names: its disconnect shows them empty.
    EXPECT_EQ(c.sink.events[1].s("share"), "");
    EXPECT_EQ(c.sink.events[1].n("tree_type"), SMB_TREE_UNKNOWN);
    EXPECT_TRUE(c.peer.trees().empty());
    EXPECT_TRUE(c.peer.convers().empty());
}

TEST(ReconstructedRecords, LaterLogonOnTheUidIsRefused) {
    // A rebuilt conversation is a completed logon: a Session Setup on its UID is not a leg.
    Conn c;
    c.peer.ConstructFakeConv(0x0800);
    EXPECT_EQ(c.Req(SetupReqNt("a", "b").uid(0x0800).frame()), SMB_RET_NO_LINK);
}

}  // namespace
