// Tree Connect: path split, password mask, service to tree type, tree records.
#include <gtest/gtest.h>

#include "session/session_frames.h"

namespace {

using namespace session_frames;

constexpr uint16_t kUid = 0x0800;

class TconTest : public ::testing::Test {
protected:
    TconTest() { c.peer.AddConv(kUid)->m_accountName = "alice"; }
    // Request at second `tid`, success response a second later; the event, if one came.
    const RecordedEvent* Connect(const Smb& req, const std::string& service = "A:", uint16_t tid = 1) {
        c.sink.events.clear();
        c.now = CTimeStamp32(tid, 0);
        c.Req(req.frame());
        c.now = CTimeStamp32(tid + 1, 0);
        c.Rsp(TconRsp(service, kUid, tid, 0, 3).frame());
        return c.sink.events.empty() ? nullptr : &c.sink.events.back();
    }
    Conn c;
};

// The path split into server and share, the password shown only when it is more than the
// empty one-byte password, and the service naming the tree type, in one table.
TEST_F(TconTest, PathPasswordAndService) {
    struct Case {
        const char* what; std::u16string path; bool unicode; Bytes password; std::string service, expected;
    };
    const std::string M = SMB_MASK;
    auto type = [](uint32_t t) { return "|" + std::to_string(t); };
    const Case cases[] = {
        {"Unicode after a 1-byte password (no pad)", u"\\\\FILESRV\\Public", true, Bytes().u8(0), "A:",
         "\\\\FILESRV|\\Public|" + type(SMB_TREE_DISK)},
        {"Unicode after a 2-byte password (pad)", u"\\\\FILESRV\\Public", true, Bytes().u8(0).u8(0), "IPC",
         "\\\\FILESRV|\\Public|" + M + type(SMB_TREE_IPC)},
        {"8-bit", u"\\\\10.0.0.5\\IPC$", false, Bytes().u8(7), "LPT1:", "\\\\10.0.0.5|\\IPC$|" + M + type(SMB_TREE_PRINTER)},
        {"8-bit above 0x7F widened byte for byte", u"\\\\SRV\\Donn\u00e9es", false, Bytes(), "COMM",
         "\\\\SRV|\\Donn\xE9" "es|" + M + type(SMB_TREE_COMM)},
        {"no backslash", u"PUBLIC", true, Bytes().u8(0), "NTFS", "|" + M + "|" + type(SMB_TREE_UNKNOWN)},
        {"empty path", u"", false, Bytes().u8(0), "ipc", "|" + M + "|" + type(SMB_TREE_UNKNOWN)},
    };
    uint16_t tid = 10;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const RecordedEvent* e = Connect(TconReq(k.path, kUid, 3, k.unicode, k.password), k.service, ++tid);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->Fields("server share password tree_type"), k.expected);
        EXPECT_EQ(e->tree, c.peer.trees()[tid]);
    }
    EXPECT_EQ(c.peer.convers()[kUid]->m_trees.size(), 6u);
}

TEST_F(TconTest, ResponsesWithoutATree) {
    c.Req(TconReq(u"\\\\S\\X", kUid).frame());
    c.Rsp(Smb(0x75).uid(kUid).tid(2).mid(3).params(Bytes().u16(0)).frame());  // no Service: the defaults
    EXPECT_EQ(c.sink.Log("tree_type service"), std::to_string(SMB_TREE_UNKNOWN) + "|" + SMB_MASK);

    c.Req(TconReq(u"\\\\S\\NOPE", kUid).frame());
    c.Rsp(TconRsp("", kUid, 0, kBadNetworkName).byteCount(0).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[1].Fields("status tid"), "c00000cc|-1");
    EXPECT_EQ(c.peer.trees().size(), 1u);

    // A UID without a conversation: nothing reported, nothing filed.
    c.Req(TconReq(u"\\\\S\\X", 0x0900).frame());
    c.Rsp(TconRsp("A:", 0x0900, 1).frame());
    EXPECT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.peer.trees().size(), 1u);
    EXPECT_EQ(c.peer.convers().at(0x0900), nullptr);
}

TEST_F(TconTest, UnreadLogonRebuiltWithFollowUnreadLogons) {
    SMBContextOptions o;
    o.followUnreadLogons = true;
    c.ctx.SetOptions(o);
    c.peer.convers()[0x0900] = nullptr;  // left by an earlier exchange of the standard reading
    c.Req(TconReq(u"\\\\S\\X", 0x0900).frame());
    c.Rsp(TconRsp("A:", 0x0900, 1).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_LOGON);  // rebuilt, with masked texts
    EXPECT_EQ(c.sink.events[0].s("user"), SMB_MASK);
    EXPECT_EQ(c.sink.events[1].s("share"), "\\X");
    ASSERT_NE(c.peer.convers().at(0x0900), nullptr);
    EXPECT_EQ(c.peer.trees().at(1)->m_pConvers, c.peer.convers().at(0x0900));
}

TEST_F(TconTest, UnterminatedUnicodePathEndsAtTheBlock) {
    // After a pad byte, to the end of the block, odd last byte included, without a zero unit.
    ASSERT_NE(Connect(Smb(0x75).uid(kUid).mid(3).unicode().params(TconParams(2))
                          .data(Bytes().u8(1).u8(2).u8(0).utf16(u"\\\\S\\TAIL").u8('x'))), nullptr);
    EXPECT_EQ(c.sink.events[0].s("share"), "\\TAIL");
}

TEST(TreeConnect, MalformedMessagesEmitNothing) {
    auto req = [](const Bytes& params, const Bytes& data) { return Smb(0x75).uid(kUid).mid(3).params(params).data(data); };
    auto rsp = [](const Bytes& params, const Bytes& data) { return Smb(0x75).uid(kUid).tid(1).mid(3).params(params).data(data); };
    const Smb goodReq = TconReq(u"\\\\S\\X", kUid), goodRsp = TconRsp("A:", kUid, 1);
    struct Case { const char* what; Smb req, rsp; size_t saved = 0; } cases[] = {
        {"request WordCount 3", req(Bytes().u16(0), Bytes().u8(0).strz("\\\\S\\X")), goodRsp},
        // The AndX header alone: the chain is still followed (to a Tree Connect here).
        {"request WordCount 2", req(Bytes(), Bytes()).andx(0x75, TconParams(1), TconData(u"\\\\S\\Y", false)), goodRsp, 1},
        {"password past the block", req(TconParams(40), Bytes().u8(0).strz("\\\\S\\X")), goodRsp},
        {"nothing after the password", req(TconParams(1), Bytes().u8(0)), goodRsp},
        {"8-bit path without NUL", req(TconParams(1), Bytes().u8(0).str("\\\\S\\X")), goodRsp},
        {"response WordCount 1", goodReq, rsp(Bytes().u16(0), Bytes()).wordCount(1)},
        {"service without NUL", goodReq, rsp(Bytes().u16(1), Bytes().str("IPC"))},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(k.what);
        Conn c;
        c.peer.AddConv(kUid);
        EXPECT_EQ(c.Req(k.req.frame()), SMB_RET_FILE_CMD);
        if (k.saved) {
            EXPECT_EQ(c.peer.saved().size(), k.saved);
            continue;
        }
        EXPECT_EQ(c.Rsp(k.rsp.frame()), SMB_RET_FILE_CMD);
        EXPECT_TRUE(c.sink.events.empty());
        EXPECT_TRUE(c.peer.saved().empty());
        EXPECT_TRUE(c.peer.trees().empty());
    }
}

}  // namespace
