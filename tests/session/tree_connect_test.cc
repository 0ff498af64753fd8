// Tree Connect: path split, password mask, service to tree type, tree records.
#include <gtest/gtest.h>

#include "session/session_frames.h"

namespace {

using namespace session_frames;

constexpr uint16_t kUid = 0x0800;

class TconTest : public ::testing::Test {
protected:
    TconTest() { c.peer.AddConv(kUid)->m_accountName = "alice"; }
    // Request then success response; the event, if one came.
    const RecordedEvent* Connect(const Smb& req, const std::string& service = "A:", uint16_t tid = 1) {
        c.sink.events.clear();
        c.Req(req.frame());
        c.Rsp(TconRsp(service, kUid, tid, 0, 3).frame());
        return c.sink.events.empty() ? nullptr : &c.sink.events.back();
    }
    Conn c;
};

TEST_F(TconTest, PathSplitsAtItsLastBackslash) {
    struct Case {
        const char* what;
        std::u16string path;
        bool unicode;
        Bytes password;
        std::string server, share;
    } cases[] = {
        {"Unicode after a 1-byte password (no pad at 12)", u"\\\\FILESRV\\Public", true, Bytes().u8(0), "\\\\FILESRV", "\\Public"},
        {"Unicode after a 2-byte password (pad at 13)", u"\\\\FILESRV\\Public", true, Bytes().u8(1).u8(2), "\\\\FILESRV", "\\Public"},
        {"8-bit", u"\\\\10.0.0.5\\IPC$", false, Bytes().u8(0), "\\\\10.0.0.5", "\\IPC$"},
        {"8-bit above 0x7F widened byte for byte", u"\\\\SRV\\Donn\u00e9es", false, Bytes().u8(0), "\\\\SRV", "\\Donn\xE9" "es"},
        {"no backslash", u"PUBLIC", true, Bytes().u8(0), "", SMB_MASK},
        {"empty path", u"", false, Bytes().u8(0), "", SMB_MASK},
    };
    for (Case& k : cases) {
        const RecordedEvent* e = Connect(TconReq(k.path, kUid, 3, k.unicode, k.password));
        ASSERT_NE(e, nullptr) << k.what;
        EXPECT_EQ(e->s("server"), k.server) << k.what;
        EXPECT_EQ(e->s("share"), k.share) << k.what;
    }
}

TEST_F(TconTest, OemPathBytesBecomeCodeUnitsUnchanged) {
    Connect(TconReq(u"\\\\S\\\u00e9\u00ff", kUid, 3, false));
    EXPECT_EQ(c.peer.trees()[1]->m_share, std::u16string(u"\\\u00e9\u00ff"));
}

TEST_F(TconTest, PasswordMask) {
    struct Case {
        Bytes password;
        std::string shown;
    } cases[] = {{Bytes().u8(0), ""}, {Bytes().u8(7), SMB_MASK}, {Bytes(), SMB_MASK}, {Bytes().u8(0).u8(0), SMB_MASK}};
    for (Case& k : cases) {
        const RecordedEvent* e = Connect(TconReq(u"\\\\S\\X", kUid, 3, true, k.password));
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->s("password"), k.shown) << k.password.size();
    }
}

TEST_F(TconTest, ServiceGivesTheTreeType) {
    struct Case {
        std::string service;
        uint32_t type;
    } cases[] = {{"A:", SMB_TREE_DISK}, {"IPC", SMB_TREE_IPC}, {"LPT1:", SMB_TREE_PRINTER},
                 {"COMM", SMB_TREE_COMM}, {"NTFS", SMB_TREE_UNKNOWN}, {"ipc", SMB_TREE_UNKNOWN}};
    uint16_t tid = 10;
    for (Case& k : cases) {
        const RecordedEvent* e = Connect(TconReq(u"\\\\S\\X", kUid), k.service, tid);
        ASSERT_NE(e, nullptr) << k.service;
        EXPECT_EQ(e->n("tree_type"), k.type) << k.service;
        EXPECT_EQ(e->s("service"), k.service);
        EXPECT_EQ(e->tid, tid);
        EXPECT_EQ(e->uid, kUid);
        const _smbResrcTree* tree = c.peer.trees()[tid];
        ASSERT_NE(tree, nullptr);
        EXPECT_EQ(tree->m_treeType, k.type);
        EXPECT_EQ(tree->m_service, k.service);
        EXPECT_EQ(tree->m_pConvers, c.peer.convers()[kUid]);
        EXPECT_EQ(e->tree, tree);
        ++tid;
    }
    EXPECT_EQ(c.peer.convers()[kUid]->m_trees.size(), 6u);
}

TEST_F(TconTest, EventTimesAndStatus) {
    c.now = CTimeStamp32(50, 1);
    c.Req(TconReq(u"\\\\S\\X", kUid).frame());
    c.now = CTimeStamp32(51, 2);
    c.Rsp(TconRsp("IPC", kUid, 4).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].reqTime.m_sec, 50u);
    EXPECT_EQ(c.sink.events[0].rspTime.m_usec, 2u);
    EXPECT_EQ(c.sink.events[0].status, 0u);
}

TEST_F(TconTest, ResponseWithoutServiceKeepsTheDefaults) {
    c.Req(TconReq(u"\\\\S\\X", kUid).frame());
    c.Rsp(Smb(0x75).uid(kUid).tid(2).mid(3).params(Bytes().u16(0)).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].n("tree_type"), SMB_TREE_UNKNOWN);
    EXPECT_EQ(c.sink.events[0].s("service"), SMB_MASK);
}

TEST_F(TconTest, FailedConnectReportsWithoutATree) {
    c.Req(TconReq(u"\\\\S\\NOPE", kUid).frame());
    c.Rsp(TconRsp("", kUid, 0, kBadNetworkName).byteCount(0).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].status, kBadNetworkName);
    EXPECT_EQ(c.sink.events[0].tree, nullptr);
    EXPECT_EQ(c.sink.events[0].conv, nullptr);
    EXPECT_TRUE(c.peer.trees().empty());
}

TEST_F(TconTest, UnknownUidCreatesNothing) {
    c.Req(TconReq(u"\\\\S\\X", 0x0900).frame());
    c.Rsp(TconRsp("A:", 0x0900, 1).frame());
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.peer.trees().empty());
    ASSERT_EQ(c.peer.convers().count(0x0900), 1u);  // known, without a conversation
    EXPECT_EQ(c.peer.convers()[0x0900], nullptr);
    EXPECT_EQ(c.Req(SetupReqNt("a", "b").uid(0x0900).frame()), SMB_RET_NO_OBJECT);
}

TEST_F(TconTest, ReusedTidReplacesTheTree) {
    Connect(TconReq(u"\\\\S\\OLD", kUid), "A:", 5);
    c.peer.AddFile(5, 0x4000, u"a.txt");
    Connect(TconReq(u"\\\\S\\NEW", kUid), "A:", 5);
    ASSERT_NE(c.peer.trees()[5], nullptr);
    EXPECT_EQ(c.peer.trees()[5]->m_share, u"\\NEW");
    EXPECT_EQ(c.peer.convers()[kUid]->m_trees.size(), 1u);
    EXPECT_EQ(c.peer.files().count(0x4000), 0u);  // went with the old tree
}

TEST_F(TconTest, MalformedRequestsAreDropped) {
    struct Case {
        const char* what;
        Smb msg;
    } cases[] = {
        {"WordCount 3", Smb(0x75).uid(kUid).mid(3).params(Bytes().u16(0)).data(Bytes().u8(0).strz("\\\\S\\X"))},
        {"password past the block", Smb(0x75).uid(kUid).mid(3).params(TconParams(40)).data(Bytes().u8(0).strz("\\\\S\\X"))},
        {"nothing after the password", Smb(0x75).uid(kUid).mid(3).params(TconParams(1)).data(Bytes().u8(0))},
        {"8-bit path without NUL", Smb(0x75).uid(kUid).mid(3).params(TconParams(1)).data(Bytes().u8(0).str("\\\\S\\X"))},
    };
    for (Case& k : cases) {
        Conn cc;
        cc.peer.AddConv(kUid);
        EXPECT_EQ(cc.Req(k.msg.frame()), SMB_RET_FILE_CMD) << k.what;
        EXPECT_TRUE(cc.peer.saved().empty()) << k.what;
        EXPECT_EQ(cc.Rsp(TconRsp("A:", kUid, 1).frame()), SMB_RET_FILE_CMD) << k.what;  // no record: 0
        EXPECT_TRUE(cc.sink.events.empty()) << k.what;
    }
}

TEST_F(TconTest, UnterminatedUnicodePathEndsAtTheBlock) {
    // Password of 2 bytes, so the path starts after a pad byte at 14, and runs to the end of
    // the block, odd last byte included, without a zero unit.
    Smb req = Smb(0x75).uid(kUid).mid(3).unicode().params(TconParams(2))
                  .data(Bytes().u8(1).u8(2).u8(0).utf16(u"\\\\S\\TAIL").u8('x'));
    EXPECT_EQ(c.Req(req.frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.peer.saved().size(), 1u);  // filed
    c.Rsp(TconRsp("A:", kUid, 1).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].s("share"), "\\TAIL");
}

TEST_F(TconTest, MalformedResponsesEmitNothing) {
    struct Case {
        const char* what;
        Smb msg;
    } cases[] = {
        {"WordCount 1", Smb(0x75).uid(kUid).tid(1).mid(3).params(Bytes().u16(0)).wordCount(1).data(Bytes())},
        {"service without NUL", Smb(0x75).uid(kUid).tid(1).mid(3).params(Bytes().u16(1)).data(Bytes().str("IPC"))},
    };
    for (Case& k : cases) {
        Conn cc;
        cc.peer.AddConv(kUid);
        cc.Req(TconReq(u"\\\\S\\X", kUid).frame());
        cc.Rsp(k.msg.frame());
        EXPECT_TRUE(cc.sink.events.empty()) << k.what;
        EXPECT_TRUE(cc.peer.saved().empty()) << k.what;
        EXPECT_TRUE(cc.peer.trees().empty()) << k.what;
    }
}

TEST_F(TconTest, AllocationFailures) {
    const long before = ZELK::LiveAllocations();
    ZELK::FailNthAllocation(1);  // the record: the request is ignored
    EXPECT_EQ(c.Req(TconReq(u"\\\\S\\X", kUid).frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.peer.saved().empty());

    ZELK::FailNthAllocation(2);  // the widening buffer of an 8-bit path
    c.Req(TconReq(u"\\\\S\\X", kUid, 3, false).frame());
    EXPECT_TRUE(c.peer.saved().empty());

    c.Req(TconReq(u"\\\\S\\X", kUid).frame());
    ZELK::FailNthAllocation(1);  // the tree: no event
    c.Rsp(TconRsp("A:", kUid, 1).frame());
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.peer.trees().empty());
    ZELK::FailNthAllocation(0);
    EXPECT_EQ(ZELK::LiveAllocations(), before);
}

}  // namespace
