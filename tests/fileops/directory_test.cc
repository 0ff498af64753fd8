// Create Directory (0x00) and Delete Directory (0x01).
#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

constexpr uint8_t kCreateDir = 0x00;
constexpr uint8_t kDeleteDir = 0x01;

// A directory request: no parameter words, BufferFormat 0x04 and the name.
ByteVec DirReq(uint8_t cmd, const Bytes& field, bool unicode = false, uint16_t mid = 1) {
    return Smb(cmd).uid(0x800).tid(0x801).mid(mid).unicode(unicode).data(field).frame();
}
ByteVec DirReq(uint8_t cmd, const std::string& name, uint16_t mid = 1) {
    return DirReq(cmd, Bytes().u8(4).strz(name), false, mid);
}
ByteVec DirRsp(uint8_t cmd, uint32_t status = 0, uint16_t mid = 1) {
    return Smb(cmd).uid(0x800).tid(0x801).mid(mid).ntStatus(status).frame();
}

// A connection whose UID and TID are known, so responses rebuild nothing.
struct Connected : Conn {
    Connected() {
        peer.AddConv(0x800);
        peer.AddTree(0x800, 0x801, u"\\SHARE");
    }
};

TEST(CreateDirectory, SuccessReportsADirectoryCreateWithoutFileObject) {
    Connected c;
    EXPECT_EQ(c.Req(DirReq(kCreateDir, Bytes().u8(4).utf16z(u"\\new\\dir"), true)), SMB_RET_FILE_CMD);
    c.now = CTimeStamp32(1001, 5);
    EXPECT_EQ(c.Rsp(DirRsp(kCreateDir)), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.type, SMB_EVT_CREATE);
    EXPECT_EQ(e.status, 0u);
    EXPECT_EQ(e.s("file"), "\\new\\dir");
    EXPECT_EQ(e.n("file_type"), SMB_FT_DIRECTORY);
    EXPECT_EQ(e.n("disposition"), 6u);
    EXPECT_EQ(e.n("create_action"), 4u);
    EXPECT_EQ(e.n("file_size"), 0u);
    EXPECT_EQ(e.reqTime.m_sec, 1000u);
    EXPECT_EQ(e.rspTime.m_usec, 5u);
    EXPECT_EQ(e.uid, 0x800);
    EXPECT_EQ(e.tid, 0x801);
    EXPECT_EQ(e.file, nullptr);
    EXPECT_TRUE(c.peer.files().empty());
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(DeleteDirectory, ErrorStatusIsReported) {
    Connected c;
    EXPECT_EQ(c.Req(DirReq(kDeleteDir, "\\old")), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(DirRsp(kDeleteDir, 0xC0000101 /* STATUS_DIRECTORY_NOT_EMPTY */)), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_DELETE);
    EXPECT_EQ(c.sink.events[0].status, 0xC0000101u);
    EXPECT_EQ(c.sink.events[0].s("file"), "\\old");
    EXPECT_EQ(c.sink.events[0].n("file_type"), SMB_FT_DIRECTORY);
}

class DirectoryCommands : public ::testing::TestWithParam<uint8_t> {};

TEST_P(DirectoryCommands, EightBitNameIsWidenedByteForByte) {
    Connected c;
    c.Req(DirReq(GetParam(), Bytes().u8(4).str("ab").u8(0xE9).u8(0)));
    c.Rsp(DirRsp(GetParam()));
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].s("file"), "ab\xE9");
}

TEST_P(DirectoryCommands, UnreadableNamesSaveNothing) {
    const Bytes fields[] = {
        Bytes().u8(2).strz("abc"),          // not BufferFormat 0x04
        Bytes().u8(4),                      // no name bytes
        Bytes().u8(4).str("abc"),           // 8-bit name without terminator
        Bytes(),                            // no byte block at all
    };
    for (const Bytes& f : fields) {
        Connected c;
        EXPECT_EQ(c.Req(DirReq(GetParam(), f)), SMB_RET_FILE_CMD);
        EXPECT_TRUE(c.peer.saved().empty());
        EXPECT_EQ(c.Rsp(DirRsp(GetParam())), SMB_RET_NO_REQUEST);
        EXPECT_TRUE(c.sink.events.empty());
    }
    // A UTF-16 name whose terminator lies beyond the block.
    Connected c;
    EXPECT_EQ(c.Req(DirReq(GetParam(), Bytes().u8(4).utf16(u"abc"), true)), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST_P(DirectoryCommands, RecordAllocationFailureIsQuiet) {
    Connected c;
    const long live = ZELK::LiveAllocations();
    ZELK::FailNthAllocation(1);
    // The handler gives 0 rather than SMB_RET_NO_MEMORY, which the dispatcher reports as
    // a handled file command.
    EXPECT_EQ(c.Req(DirReq(GetParam(), "\\d")), SMB_RET_FILE_CMD);
    ZELK::FailNthAllocation(0);
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_EQ(ZELK::LiveAllocations(), live);
    EXPECT_EQ(c.Rsp(DirRsp(GetParam())), SMB_RET_NO_REQUEST);
}

TEST_P(DirectoryCommands, MidSessionResponseAnnouncesLogonAndTreeFirst) {
    Conn c;
    c.peer.state().m_dialect = "NT LM 0.12";
    c.Req(DirReq(GetParam(), "\\d"));
    EXPECT_EQ(c.Rsp(DirRsp(GetParam())), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 3u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_LOGON);
    EXPECT_EQ(c.sink.events[0].s("dialect"), "NT LM 0.12");
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(c.sink.events[1].uid, 0x800);
    EXPECT_EQ(c.sink.events[2].uid, 0x800);
    EXPECT_EQ(c.sink.events[2].tid, 0x801);
    // Later operations on the same session rebuild nothing.
    c.Req(DirReq(GetParam(), "\\e", 2));
    c.Rsp(DirRsp(GetParam(), 0, 2));
    EXPECT_EQ(c.sink.events.size(), 4u);
}

TEST_P(DirectoryCommands, RepeatedKeyReportsOnlyTheLaterRequest) {
    Connected c;
    c.Req(DirReq(GetParam(), "\\first"));
    c.Req(DirReq(GetParam(), "\\second"));
    EXPECT_EQ(c.peer.saved().size(), 1u);
    c.Rsp(DirRsp(GetParam()));
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].s("file"), "\\second");
    EXPECT_EQ(c.Rsp(DirRsp(GetParam())), SMB_RET_NO_REQUEST);
}

INSTANTIATE_TEST_SUITE_P(CreateAndDelete, DirectoryCommands, ::testing::Values(kCreateDir, kDeleteDir),
                         [](const auto& info) { return info.param == kCreateDir ? "Create" : "Delete"; });

TEST(DirectoryResponses, MeetOnlyTheirOwnCommandsRecord) {
    Connected c;
    c.Req(DirReq(kCreateDir, "\\d"));
    // A Delete Directory response with the same PID and MID does not take the create.
    EXPECT_EQ(c.Rsp(DirRsp(kDeleteDir)), SMB_RET_NO_REQUEST);
    EXPECT_EQ(c.Rsp(DirRsp(kCreateDir)), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_CREATE);
}

TEST(DirectoryResponses, TruncatedResponseKeepsTheRequest) {
    Connected c;
    c.Req(DirReq(kCreateDir, "\\d"));
    // ByteCount claims bytes the message does not hold.
    EXPECT_EQ(c.Rsp(Smb(kCreateDir).uid(0x800).tid(0x801).byteCount(4).frame()), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(c.peer.saved().size(), 1u);
    EXPECT_TRUE(c.sink.events.empty());
}

}  // namespace
