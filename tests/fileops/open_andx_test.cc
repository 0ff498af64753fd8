// Open AndX: the legacy open translated into the create event, and its own reconstruction
// rule (a refused open rebuilds nothing).
#include <gtest/gtest.h>

#include "fileops/fileops_support.h"

using namespace fileops_test;

namespace {

Bytes OpenWords(uint16_t openMode, uint16_t fileAttrs = 0) {
    return Bytes().u16(0).u16(0x0042).u16(0x16).u16(fileAttrs).u32(0).u16(openMode).u32(0).u32(0).u32(0);
}
Smb OpenReq(const Bytes& name, uint16_t openMode = 0x11, uint16_t fileAttrs = 0, bool unicode = true) {
    return std::move(Smb(0x2D).uid(kUid).tid(kTid).unicode(unicode).params(OpenWords(openMode, fileAttrs)).data(name));
}
Bytes OpenRspWords(uint16_t fid, uint16_t attrs, uint32_t size, uint16_t resourceType, uint16_t openResults) {
    return Bytes().u16(fid).u16(attrs).u32(0).u32(size).u16(3).u16(resourceType).u16(0).u16(openResults).fill(6);
}
Smb OpenRsp(uint16_t fid, uint32_t size = 0, uint16_t resourceType = 0, uint16_t openResults = 1, uint16_t attrs = 0) {
    return std::move(Smb(0x2D).uid(kUid).tid(kTid).params(OpenRspWords(fid, attrs, size, resourceType, openResults)));
}

struct ModeCase {
    uint16_t openMode;
    uint32_t disposition;
};
class OpenAndXMode : public ::testing::TestWithParam<ModeCase> {};
TEST_P(OpenAndXMode, TranslatesToDisposition) {
    Conn c;
    LogOn(c);
    c.Req(OpenReq(UnicodeName(u"f"), GetParam().openMode).frame());
    c.Rsp(OpenRsp(1).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].n("disposition"), GetParam().disposition);
}
INSTANTIATE_TEST_SUITE_P(Modes, OpenAndXMode,
                         ::testing::Values(ModeCase{0x00, 6}, ModeCase{0x03, 6}, ModeCase{0x01, 1}, ModeCase{0x11, 1},
                                           ModeCase{0x02, 4}, ModeCase{0x12, 4}, ModeCase{0x10, 2},
                                           ModeCase{0x13, 2}));

TEST(OpenAndX, GrantedOpenFilesTheObject) {
    Conn c;
    LogOn(c);
    EXPECT_EQ(c.Req(OpenReq(UnicodeName(u"\\old\\app.ini")).frame()), SMB_RET_FILE_CMD);
    // OpenResults 0x8001: opened, with the oplock bit that is not part of the action.
    EXPECT_EQ(c.Rsp(OpenRsp(0x31, 5000, 0, 0x8001).frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.type, SMB_EVT_CREATE);
    EXPECT_EQ(e.s("file"), "\\old\\app.ini");
    EXPECT_EQ(e.n("create_action"), 1u);
    EXPECT_EQ(e.n("file_size"), 5000u);
    EXPECT_EQ(e.n("file_type"), SMB_FT_FILE);
    EXPECT_EQ(e.fid, 0x31);
    EXPECT_EQ(e.tid, kTid);
    ASSERT_EQ(c.peer.files().count(0x31), 1u);
    EXPECT_EQ(Narrow(c.peer.files()[0x31]->m_fileName), "\\old\\app.ini");
}

TEST(OpenAndX, FileTypeFromAttributesAndResourceType) {
    struct Case {
        uint16_t reqAttrs, resourceType, rspAttrs;
        uint32_t expected;
    };
    for (const Case& t : {Case{0x10, 9, 0, SMB_FT_DIRECTORY},    // the request's directory bit stands
                          Case{0x00, 9, 0, SMB_FT_FILE},
                          Case{0x00, 0, 0x10, SMB_FT_DIRECTORY},  // the response's attributes decide
                          Case{0x10, 0, 0x00, SMB_FT_FILE}, Case{0, 1, 0, SMB_FT_PIPE_BYTE},
                          Case{0, 2, 0, SMB_FT_PIPE_MESSAGE}, Case{0, 3, 0, SMB_FT_PRINTER}}) {
        Conn c;
        LogOn(c);
        c.Req(OpenReq(UnicodeName(u"x"), 1, t.reqAttrs).frame());
        c.Rsp(OpenRsp(2, 0, t.resourceType, 1, t.rspAttrs).frame());
        ASSERT_EQ(c.sink.events.size(), 1u);
        EXPECT_EQ(c.sink.events[0].n("file_type"), t.expected) << t.reqAttrs << "/" << t.resourceType;
    }
}

TEST(OpenAndX, ExtendedNineteenWordResponseParsesTheSameWay) {
    Conn c;
    LogOn(c);
    c.Req(OpenReq(UnicodeName(u"x")).frame());
    c.Rsp(Smb(0x2D).uid(kUid).tid(kTid).params(OpenRspWords(3, 0, 77, 0, 2).fill(8)).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].fid, 3);
    EXPECT_EQ(c.sink.events[0].n("file_size"), 77u);
    EXPECT_EQ(c.sink.events[0].n("create_action"), 2u);
}

TEST(OpenAndX, RefusedOpenRebuildsNothing) {
    Conn c;  // mid-stream: neither the logon nor the tree connect was seen
    c.Req(OpenReq(UnicodeName(u"\\locked"), 0x12).frame());
    EXPECT_EQ(c.Rsp(ErrorRsp(0x2D, 0xC0000043)), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.type, SMB_EVT_CREATE);
    EXPECT_EQ(e.status, 0xC0000043u);
    EXPECT_EQ(e.s("file"), "\\locked");
    EXPECT_EQ(e.n("disposition"), 4u);
    EXPECT_EQ(e.conv, nullptr);
    EXPECT_EQ(e.tree, nullptr);
    EXPECT_EQ(e.file, nullptr);
    EXPECT_TRUE(c.peer.convers().empty());
    EXPECT_TRUE(c.peer.trees().empty());
    EXPECT_TRUE(c.peer.files().empty());
}

TEST(OpenAndX, GrantedOpenMidStreamRebuildsTheSession) {
    Conn c;
    c.Req(OpenReq(UnicodeName(u"a")).frame());
    c.Rsp(OpenRsp(8).frame());
    ASSERT_EQ(c.sink.events.size(), 3u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_LOGON);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(c.sink.events[2].tid, kTid);
}

TEST(OpenAndX, NamesThatAreNotRecorded) {
    Conn c;
    LogOn(c);
    // UTF-16 without its zero code unit inside the block; 8-bit without its zero byte; none.
    c.Req(OpenReq(Bytes().u8(0).utf16(u"abc")).mid(1).frame());
    c.Req(OpenReq(Bytes().str("abc"), 1, 0, false).mid(2).frame());
    c.Req(OpenReq(Bytes()).mid(3).frame());
    // Too few words: nothing at all.
    c.Req(Smb(0x2D).uid(kUid).mid(4).params(Bytes().fill(20)).data(Bytes().strz("a")).frame());
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(OpenAndX, EmptyAndEightBitNames) {
    Conn c;
    LogOn(c);
    c.Req(OpenReq(UnicodeName(u"")).mid(1).frame());
    c.Req(OpenReq(Bytes().str("r").u8(0xE9).u8(0), 1, 0, false).mid(2).frame());
    c.Rsp(OpenRsp(1).mid(1).frame());
    c.Rsp(OpenRsp(2).mid(2).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].s("file"), "");
    EXPECT_EQ(c.peer.files()[2]->m_fileName, std::u16string(u"r\u00E9"));
}

TEST(OpenAndX, ShortResponseDropsTheRequestAndPassesFidZeroOn) {
    Conn c;
    LogOn(c);
    c.peer.AddFile(kTid, 9, u"other");
    c.Req(OpenReq(UnicodeName(u"a")).andx(0x2E, ReadAndXWords(9, 0, 4)).frame());
    // WordCount 14 (too short), then a read of the file the read request named.
    Smb rsp = Smb(0x2D).uid(kUid).tid(kTid).params(Bytes().fill(24));
    rsp.andx(0x2E, ReadAndXRspWords(0, 0));
    EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_READ);
    EXPECT_EQ(c.sink.events[0].fid, 9);
    EXPECT_EQ(c.peer.files().size(), 1u);
}

TEST(OpenAndX, ReusedFidReleasesTheOldObject) {
    Conn c;
    LogOn(c);
    c.peer.AddFile(kTid, 5, u"stale");
    c.Req(OpenReq(UnicodeName(u"fresh")).frame());
    c.Rsp(OpenRsp(5).frame());
    ASSERT_EQ(c.peer.files().size(), 1u);
    EXPECT_EQ(Narrow(c.peer.files()[5]->m_fileName), "fresh");
    EXPECT_EQ(c.peer.trees()[kTid]->m_files.size(), 1u);
}

TEST(OpenAndX, AllocationFailures) {
    {
        Conn c;
        LogOn(c);
        ZELK::FailNthAllocation(1);  // the saved record
        EXPECT_EQ(c.Req(OpenReq(UnicodeName(u"a")).frame()), SMB_RET_NO_MEMORY);
        EXPECT_TRUE(c.peer.saved().empty());
    }
    {
        Conn c;
        LogOn(c);
        ZELK::FailNthAllocation(2);  // the widening buffer of the 8-bit name
        EXPECT_EQ(c.Req(OpenReq(Bytes().strz("a"), 1, 0, false).frame()), SMB_RET_FILE_CMD);
        EXPECT_TRUE(c.peer.saved().empty());
    }
    {
        Conn c;
        LogOn(c);
        c.Req(OpenReq(UnicodeName(u"a")).frame());
        ZELK::FailNthAllocation(1);  // the file object
        EXPECT_EQ(c.Rsp(OpenRsp(1).frame()), SMB_RET_NO_MEMORY);
        EXPECT_TRUE(c.sink.events.empty());
        EXPECT_TRUE(c.peer.files().empty());
        EXPECT_TRUE(c.peer.saved().empty());
    }
}

}  // namespace
