// Logoff and Tree Disconnect: events, and the release of trees and conversations.
#include <gtest/gtest.h>

#include "session/session_frames.h"

namespace {

using namespace session_frames;

constexpr uint16_t kUid = 0x0800;

class LogoffTest : public ::testing::Test {
protected:
    LogoffTest() { c.peer.AddConv(kUid)->m_accountName = "alice"; }
    void ConnectTree(uint16_t tid, const std::u16string& path, const std::string& service) {
        c.Req(TconReq(path, kUid, 3).frame());
        c.Rsp(TconRsp(service, kUid, tid, 0, 3).frame());
        c.sink.events.clear();
    }
    void Exchange(const Smb& req, const Smb& rsp, int result) {
        EXPECT_EQ(c.Req(req.frame()), result);
        EXPECT_EQ(c.Rsp(rsp.frame()), result);
    }
    Conn c;
};

TEST_F(LogoffTest, FailedResponsesReportAndChangeNothing) {
    ConnectTree(1, u"\\\\SRV\\IPC$", "IPC");
    Exchange(LogoffReq(kUid), LogoffRsp(kUid, 0xC0000022), SMB_RET_SESSION_CMD);
    Exchange(TdisReq(kUid, 1), TdisRsp(kUid, 1, 0xC0000022), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].status, 0xC0000022u);
    EXPECT_EQ(c.sink.events[1].status, 0xC0000022u);
    EXPECT_TRUE(c.peer.convers().at(kUid)->m_bLoggedOn);
    EXPECT_EQ(c.peer.trees().count(1), 1u);

    // An error Logoff response of WordCount 0 (built as such, then given the command): no event.
    c.Req(LogoffReq(kUid).frame());
    ByteVec error = Smb(0x71).uid(kUid).mid(9).ntStatus(0xC000006F).frame();
    error[4 + 4] = 0x74;
    c.Rsp(error);
    EXPECT_EQ(c.sink.events.size(), 2u);
    EXPECT_TRUE(c.peer.saved().empty());

    // Unknown trees and users.
    Exchange(TdisReq(kUid, 9), TdisRsp(kUid, 9), SMB_RET_NO_OBJECT);
    Exchange(LogoffReq(0x0900), LogoffRsp(0x0900), SMB_RET_SESSION_CMD);
    EXPECT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.peer.convers().at(0x0900), nullptr);
}

TEST_F(LogoffTest, LogoffChainedWithSessionSetupStartsANewLogon) {
    Smb req = LogoffReq(kUid);
    req.andx(0x73, Bytes().u16(16644).u16(50).u16(0).u32(0).u16(0).u16(0).u32(0).u32(0xD4),
             Bytes().strz("bob").strz("CORP").strz("Unix").strz("Samba"));
    c.Req(req.frame());
    ASSERT_EQ(c.peer.saved().size(), 2u);  // read as a new logon (UID 0), not a leg of 0x0800
    c.Rsp(LogoffRsp(kUid).andx(0x73, Bytes().u16(0), Bytes().strz("Unix").strz("Samba").strz("CORP")).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_LOGOFF);
    EXPECT_EQ(c.sink.events[1].s("user"), "bob");
}

TEST_F(LogoffTest, TreeReleasedBeforeTheDisconnectResponse) {
    ConnectTree(1, u"\\\\SRV\\OLD", "A:");
    c.Req(TdisReq(kUid, 1).frame());
    ConnectTree(1, u"\\\\SRV\\NEW", "IPC");  // the TID handed out again before the answer
    const _smbResrcTree* current = c.peer.trees().at(1);
    c.Rsp(TdisRsp(kUid, 1).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].tree, current);  // never the released one
    // The names are those of the tree the client disconnected, as the request found it.
    EXPECT_EQ(c.sink.events[0].s("share"), "\\OLD");
    EXPECT_EQ(c.sink.events[0].s("service"), "A:");
    EXPECT_EQ(c.sink.events[0].n("tree_type"), SMB_TREE_DISK);

    // Released and not replaced (a duplicate disconnect): no tree at all.
    ConnectTree(2, u"\\\\SRV\\TWO", "A:");
    c.Req(TdisReq(kUid, 2, 20).frame());
    c.Req(TdisReq(kUid, 2, 21).frame());
    c.Rsp(TdisRsp(kUid, 2, 0, 20).frame());
    c.Rsp(TdisRsp(kUid, 2, 0, 21).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[1].tree, nullptr);
    EXPECT_EQ(c.sink.events[1].s("share"), "\\TWO");  // as the request recorded it
}

}  // namespace
