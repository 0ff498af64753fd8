// Delete (0x06) and Rename (0x07).
#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

constexpr uint8_t kDelete = 0x06;
constexpr uint8_t kRename = 0x07;
constexpr uint16_t kUid = 0x800, kTid = 0x801;

// Delete: SearchAttributes, then BufferFormat 0x04 and the name.
ByteVec DeleteReq(const Bytes& field, bool unicode = true, uint16_t tid = kTid) {
    return Smb(kDelete).uid(kUid).tid(tid).unicode(unicode).params(Bytes().u16(0x16)).data(field).frame();
}
// Rename: SearchAttributes, then two BufferFormat 0x04 fields.
ByteVec RenameReq(const Bytes& fields, bool unicode = true, uint16_t tid = kTid) {
    return Smb(kRename).uid(kUid).tid(tid).unicode(unicode).params(Bytes().u16(0x16)).data(fields).frame();
}
// Both UTF-16 names with the pad byte the second one needs when it starts at an odd offset
// (names start at block offset 6, so the second format byte follows an even-length field).
Bytes RenameNames(const std::u16string& from, const std::u16string& to) {
    return Bytes().u8(4).utf16z(from).u8(4).u8(0).utf16z(to);
}
ByteVec Rsp(uint8_t cmd, uint32_t status = 0, uint16_t tid = kTid) {
    return Smb(cmd).uid(kUid).tid(tid).ntStatus(status).frame();
}

struct Connected : Conn {
    Connected() {
        peer.AddConv(kUid);
        peer.AddTree(kUid, kTid, u"\\SHARE");
    }
};

TEST(Delete, UnicodeNameIsReportedWithTheResponseStatus) {
    Connected c;
    _smbFileObj* open = c.peer.AddFile(kTid, 7, u"\\dir\\a.txt");
    // With WordCount 1 the name's text starts at block offset 6, even: no pad byte.
    EXPECT_EQ(c.Req(DeleteReq(Bytes().u8(4).utf16z(u"\\dir\\a.txt"))), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(Rsp(kDelete, 0xC0000043 /* STATUS_SHARING_VIOLATION */)), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.type, SMB_EVT_DELETE);
    EXPECT_EQ(e.s("file"), "\\dir\\a.txt");
    EXPECT_EQ(e.n("file_type"), SMB_FT_FILE);
    EXPECT_EQ(e.status, 0xC0000043u);
    EXPECT_EQ(e.uid, kUid);
    EXPECT_EQ(e.tid, kTid);
    EXPECT_EQ(e.file, nullptr);
    // Deleting by name leaves an open file's object alone.
    EXPECT_EQ(c.peer.files().at(7), open);
}

TEST(Delete, MalformedRequestsAreIgnored) {
    const ByteVec requests[] = {
        Smb(kDelete).uid(kUid).tid(kTid).data(Bytes().u8(4).strz("a")).frame(),             // WordCount 0
        Smb(kDelete).uid(kUid).tid(kTid).params(Bytes().u16(0).u16(0)).data(Bytes().u8(4).strz("a")).frame(),
        DeleteReq(Bytes().u8(4), false),                                                     // ByteCount 1
        DeleteReq(Bytes().u8(3).strz("a"), false),                                           // format byte
        DeleteReq(Bytes().u8(4).str("abc"), false),                                          // no terminator
        DeleteReq(Bytes().u8(4).utf16(u"abc")),                                              // no terminator
    };
    for (const ByteVec& req : requests) {
        Connected c;
        EXPECT_EQ(c.Req(req), SMB_RET_FILE_CMD);
        EXPECT_TRUE(c.peer.saved().empty());
        EXPECT_EQ(c.Rsp(Rsp(kDelete)), SMB_RET_NO_REQUEST);
        EXPECT_TRUE(c.sink.events.empty());
    }
}

TEST(Delete, RecordAllocationFailureIsReported) {
    Connected c;
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(DeleteReq(Bytes().u8(4).utf16z(u"a"))), SMB_RET_NO_MEMORY);
    ZELK::FailNthAllocation(0);
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(Delete, UnknownTreeIsRebuiltUnderTheKnownConversation) {
    Conn c;
    _smbConvers* conv = c.peer.AddConv(kUid);
    c.Req(DeleteReq(Bytes().u8(4).utf16z(u"x"), true, 0x900));
    EXPECT_EQ(c.Rsp(Rsp(kDelete, 0, 0x900)), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(c.sink.events[0].status, 0u);
    EXPECT_EQ(c.sink.events[0].conv, conv);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_DELETE);
    EXPECT_EQ(c.sink.events[1].conv, conv);
    EXPECT_EQ(c.sink.events[1].tid, 0x900);
    ASSERT_NE(c.peer.trees().at(0x900), nullptr);
    EXPECT_EQ(c.peer.trees().at(0x900)->m_pConvers, conv);
    EXPECT_EQ(conv->m_trees.size(), 1u);
}

TEST(Delete, ReconstructionFailureStillReportsTheDelete) {
    Conn c;
    c.Req(DeleteReq(Bytes().u8(4).utf16z(u"x")));
    ZELK::FailNthAllocation(1);  // the rebuilt conversation
    EXPECT_EQ(c.Rsp(Rsp(kDelete)), SMB_RET_FILE_CMD);
    ZELK::FailNthAllocation(0);
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_DELETE);
    EXPECT_EQ(c.sink.events[1].conv, nullptr);
    EXPECT_EQ(c.sink.events[1].tid, kTid);
}

TEST(Rename, UnicodeNamesWithPadBeforeTheSecond) {
    Connected c;
    EXPECT_EQ(c.Req(RenameReq(RenameNames(u"\\a.txt", u"\\b.txt"))), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(Rsp(kRename)), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_RENAME);
    EXPECT_EQ(c.sink.events[0].s("old_name"), "\\a.txt");
    EXPECT_EQ(c.sink.events[0].s("new_name"), "\\b.txt");
    EXPECT_EQ(c.sink.events[0].status, 0u);
    EXPECT_EQ(c.sink.events[0].tid, kTid);
}

TEST(Rename, EightBitNamesFollowEachOtherDirectly) {
    Connected c;
    c.Req(RenameReq(Bytes().u8(4).strz("old").u8(4).strz("new"), false));
    c.Rsp(Rsp(kRename));
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].s("old_name"), "old");
    EXPECT_EQ(c.sink.events[0].s("new_name"), "new");
}

TEST(Rename, ErrorResponseStillReports) {
    Connected c;
    c.Req(RenameReq(RenameNames(u"a", u"b")));
    EXPECT_EQ(c.Rsp(Smb(kRename).uid(kUid).tid(kTid).dosError(1, 5 /* ERRnoaccess */).frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].status, 0x01000005u);  // DOS class in the top byte, code below
    EXPECT_EQ(c.sink.events[0].s("new_name"), "b");
}

TEST(Rename, MalformedRequestsAreRejected) {
    struct Case {
        const char* what;
        ByteVec req;
    };
    const Case cases[] = {
        {"second format byte", RenameReq(Bytes().u8(4).utf16z(u"a").u8(5).u8(0).utf16z(u"b"))},
        {"first format byte", RenameReq(Bytes().u8(2).utf16z(u"a").u8(4).u8(0).utf16z(u"b"))},
        {"no second name", RenameReq(Bytes().u8(4).utf16z(u"a"))},
        {"second name unterminated", RenameReq(Bytes().u8(4).utf16z(u"a").u8(4).u8(0).utf16(u"b"))},
        {"first name unterminated", RenameReq(Bytes().u8(4).str("abc"), false)},
        {"WordCount 0", Smb(kRename).uid(kUid).tid(kTid).data(RenameNames(u"a", u"b")).frame()},
        {"TID without tree", RenameReq(RenameNames(u"a", u"b"), true, 0x999)},
    };
    for (const Case& t : cases) {
        Connected c;
        EXPECT_EQ(c.Req(t.req), SMB_RET_BAD_FORMAT) << t.what;
        EXPECT_TRUE(c.peer.saved().empty()) << t.what;
        EXPECT_EQ(c.Rsp(Rsp(kRename)), SMB_RET_NO_REQUEST) << t.what;
        EXPECT_TRUE(c.sink.events.empty()) << t.what;
    }
}

TEST(Rename, RecordAllocationFailureIsReported) {
    Connected c;
    const long live = ZELK::LiveAllocations();
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(RenameReq(RenameNames(u"a", u"b"))), SMB_RET_NO_MEMORY);
    ZELK::FailNthAllocation(0);
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_EQ(ZELK::LiveAllocations(), live);
}

TEST(Rename, ResponseOnUnknownUidRebuildsTheConversation) {
    Conn c;
    c.peer.AddTree(0x123, kTid);  // a tree whose conversation was never seen
    c.Req(RenameReq(RenameNames(u"a", u"b")));
    EXPECT_EQ(c.Rsp(Rsp(kRename)), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_LOGON);
    EXPECT_EQ(c.sink.events[0].uid, kUid);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_RENAME);
    EXPECT_EQ(c.sink.events[1].uid, kUid);
}

}  // namespace
