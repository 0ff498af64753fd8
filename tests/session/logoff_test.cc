// Logoff and Tree Disconnect: events, and the release of trees and conversations.
#include <gtest/gtest.h>

#include "session/session_frames.h"

namespace {

using namespace session_frames;

constexpr uint16_t kUid = 0x0800;

class LogoffTest : public ::testing::Test {
protected:
    LogoffTest() {
        _smbConvers* conv = c.peer.AddConv(kUid);
        conv->m_accountName = "alice";
    }
    void ConnectTree(uint16_t tid, const std::u16string& path, const std::string& service) {
        c.Req(TconReq(path, kUid, 3).frame());
        c.Rsp(TconRsp(service, kUid, tid, 0, 3).frame());
    }
    Conn c;
};

TEST_F(LogoffTest, LogoffWithoutTreesReleasesTheConversation) {
    c.now = CTimeStamp32(7, 0);
    EXPECT_EQ(c.Req(LogoffReq(kUid).frame()), SMB_RET_SESSION_CMD);
    c.now = CTimeStamp32(8, 0);
    EXPECT_EQ(c.Rsp(LogoffRsp(kUid).frame()), SMB_RET_SESSION_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.type, SMB_EVT_LOGOFF);
    EXPECT_EQ(e.s("user"), "alice");
    EXPECT_EQ(e.uid, kUid);  // the conversation was still there during the call
    EXPECT_EQ(e.status, 0u);
    EXPECT_EQ(e.reqTime.m_sec, 7u);
    EXPECT_EQ(e.rspTime.m_sec, 8u);
    EXPECT_EQ(c.peer.convers().count(kUid), 0u);
}

TEST_F(LogoffTest, LogoffWithTwoTreesWaitsForTheLastDisconnect) {
    ConnectTree(1, u"\\\\SRV\\IPC$", "IPC");
    ConnectTree(2, u"\\\\SRV\\Public", "A:");
    c.sink.events.clear();
    c.Req(LogoffReq(kUid).frame());
    c.Rsp(LogoffRsp(kUid).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    ASSERT_NE(c.peer.convers()[kUid], nullptr);
    EXPECT_FALSE(c.peer.convers()[kUid]->m_bLoggedOn);

    EXPECT_EQ(c.Req(TdisReq(kUid, 1).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(TdisRsp(kUid, 1).frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 2u);
    const RecordedEvent& first = c.sink.events[1];
    EXPECT_EQ(first.type, SMB_EVT_TREE_DISCONNECT);
    EXPECT_EQ(first.s("share"), "\\IPC$");
    EXPECT_EQ(first.s("server"), "\\\\SRV");
    EXPECT_EQ(first.s("service"), "IPC");
    EXPECT_EQ(first.n("tree_type"), SMB_TREE_IPC);
    EXPECT_EQ(first.tid, 1);
    EXPECT_EQ(first.uid, kUid);
    EXPECT_EQ(c.peer.trees().count(1), 0u);
    ASSERT_NE(c.peer.convers()[kUid], nullptr);  // one tree left

    c.Req(TdisReq(kUid, 2).frame());
    c.Rsp(TdisRsp(kUid, 2).frame());
    ASSERT_EQ(c.sink.events.size(), 3u);
    EXPECT_EQ(c.sink.events[2].s("share"), "\\Public");
    EXPECT_EQ(c.sink.events[2].n("tree_type"), SMB_TREE_DISK);
    EXPECT_EQ(c.peer.convers().count(kUid), 0u);  // logged off and without trees
    EXPECT_TRUE(c.peer.trees().empty());
}

TEST_F(LogoffTest, DisconnectOfALoggedOnUserKeepsTheConversation) {
    ConnectTree(1, u"\\\\SRV\\IPC$", "IPC");
    c.Req(TdisReq(kUid, 1).frame());
    c.Rsp(TdisRsp(kUid, 1).frame());
    ASSERT_NE(c.peer.convers()[kUid], nullptr);
    EXPECT_TRUE(c.peer.convers()[kUid]->m_trees.empty());
}

TEST_F(LogoffTest, FailedResponsesReportAndChangeNothing) {
    ConnectTree(1, u"\\\\SRV\\IPC$", "IPC");
    c.sink.events.clear();
    c.Req(LogoffReq(kUid).frame());
    c.Rsp(LogoffRsp(kUid, 0xC0000022).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].status, 0xC0000022u);
    EXPECT_TRUE(c.peer.convers()[kUid]->m_bLoggedOn);

    c.Req(TdisReq(kUid, 1).frame());
    c.Rsp(TdisRsp(kUid, 1, 0xC0000022).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[1].status, 0xC0000022u);
    EXPECT_EQ(c.peer.trees().count(1), 1u);

    // An error Logoff response of WordCount 0: no event at all.
    c.Req(LogoffReq(kUid).frame());
    // (Built as a WordCount-0 message, then given the Logoff command.)
    ByteVec error = Smb(0x71).uid(kUid).mid(9).ntStatus(0xC000006F).frame();
    error[4 + 4] = 0x74;
    c.Rsp(error);
    EXPECT_EQ(c.sink.events.size(), 2u);
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST_F(LogoffTest, LogoffChainedWithSessionSetupStartsANewLogon) {
    Smb req = LogoffReq(kUid);
    req.andx(0x73, Bytes().u16(16644).u16(50).u16(0).u32(0).u16(0).u16(0).u32(0).u32(0xD4),
             Bytes().strz("bob").strz("CORP").strz("Unix").strz("Samba"));
    c.Req(req.frame());
    // The chained logon was read as a new one (UID 0), not as a further leg of 0x0800.
    ASSERT_EQ(c.peer.saved().size(), 2u);
    Smb rsp = LogoffRsp(kUid);
    rsp.andx(0x73, Bytes().u16(0), Bytes().strz("Unix").strz("Samba").strz("CORP"));
    c.Rsp(rsp.frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_LOGOFF);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_LOGON);
    EXPECT_EQ(c.sink.events[1].s("user"), "bob");
}

TEST_F(LogoffTest, UnknownTreesAndUsers) {
    EXPECT_EQ(c.Req(TdisReq(kUid, 9).frame()), SMB_RET_NO_OBJECT);
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_EQ(c.Rsp(TdisRsp(kUid, 9).frame()), SMB_RET_NO_OBJECT);

    // Logoff of a UID without conversation: nothing reported, the UID stays unmapped.
    c.Req(LogoffReq(0x0900).frame());
    c.Rsp(LogoffRsp(0x0900).frame());
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_EQ(c.peer.convers().count(0x0900), 1u);
    EXPECT_EQ(c.peer.convers()[0x0900], nullptr);
    EXPECT_EQ(c.Rsp(LogoffRsp(0x0900).frame()), SMB_RET_SESSION_CMD);  // no record: 0
}

TEST_F(LogoffTest, TreeReleasedBeforeTheDisconnectResponse) {
    ConnectTree(1, u"\\\\SRV\\OLD", "A:");
    c.Req(TdisReq(kUid, 1).frame());
    // The TID is handed out again before the answer comes: the old tree is gone.
    ConnectTree(1, u"\\\\SRV\\NEW", "IPC");
    const _smbResrcTree* current = c.peer.trees()[1];
    c.sink.events.clear();
    c.Rsp(TdisRsp(kUid, 1).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].tree, current);  // never the released one
    EXPECT_EQ(c.sink.events[0].s("share"), "\\NEW");
    EXPECT_EQ(c.sink.events[0].n("tree_type"), SMB_TREE_IPC);

    // Released and not replaced (a duplicate disconnect): no tree at all.
    ConnectTree(2, u"\\\\SRV\\TWO", "A:");
    c.Req(TdisReq(kUid, 2, 20).frame());
    c.Req(TdisReq(kUid, 2, 21).frame());
    c.Rsp(TdisRsp(kUid, 2, 0, 20).frame());
    c.sink.events.clear();
    c.Rsp(TdisRsp(kUid, 2, 0, 21).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].tree, nullptr);
    EXPECT_EQ(c.sink.events[0].s("share"), "\\TWO");  // as the request recorded it
}

TEST_F(LogoffTest, AllocationFailures) {
    ConnectTree(1, u"\\\\SRV\\IPC$", "IPC");
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(LogoffReq(kUid).frame()), SMB_RET_NO_MEMORY);
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(TdisReq(kUid, 1).frame()), SMB_RET_NO_MEMORY);
    ZELK::FailNthAllocation(0);
    EXPECT_TRUE(c.peer.saved().empty());
}

}  // namespace
