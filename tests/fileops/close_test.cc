// Close: reported at the response with the file's name and type; the file object goes only
// when the server agreed.
#include <gtest/gtest.h>

#include "fileops/fileops_support.h"

using namespace fileops_test;

namespace {

constexpr uint16_t kFid = 0x4000;

TEST(Close, GrantedCloseReportsAndReleases) {
    Conn c;
    LogOn(c);
    c.peer.AddFile(kTid, kFid, u"\\a.txt", SMB_FT_FILE);
    c.now = {40, 0};
    EXPECT_EQ(c.Req(CloseReq(kFid).frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    c.now = {41, 0};
    EXPECT_EQ(c.Rsp(CloseRsp().frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.type, SMB_EVT_CLOSE);
    EXPECT_EQ(e.status, 0u);
    EXPECT_EQ(e.s("file"), "\\a.txt");
    EXPECT_EQ(e.n("file_type"), SMB_FT_FILE);
    EXPECT_EQ(e.fid, kFid);  // the sink still saw the file object alive
    EXPECT_EQ(e.reqTime.m_sec, 40u);
    EXPECT_EQ(e.rspTime.m_sec, 41u);
    EXPECT_TRUE(c.peer.files().empty());
    EXPECT_TRUE(c.peer.trees()[kTid]->m_files.empty());

    // The FID is gone: a second close is dropped at its request, and its response is -8.
    c.Req(CloseReq(kFid, 2).frame());
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_EQ(c.Rsp(CloseRsp(2).frame()), SMB_RET_NO_OBJECT);
    EXPECT_EQ(c.sink.events.size(), 1u);
}

TEST(Close, RefusedCloseKeepsTheFileOpen) {
    Conn c;
    LogOn(c);
    c.peer.AddFile(kTid, kFid, u"\\a.txt", SMB_FT_FILE);
    c.Req(CloseReq(kFid).frame());
    EXPECT_EQ(c.Rsp(Smb(0x04).uid(kUid).tid(kTid).dosError(1, 6).frame()), SMB_RET_FILE_CMD);  // ERRDOS/ERRbadfid
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].status, 0x01000006u);
    EXPECT_EQ(c.peer.files().count(kFid), 1u);
    // Still usable: a later write is reported against it.
    c.Req(WriteReq(kFid, 0, Payload(3), 2).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[1].fid, kFid);
}

TEST(Close, ResponseParametersDoNotMatter) {
    Conn c;
    LogOn(c);
    c.peer.AddFile(kTid, kFid);
    c.Req(CloseReq(kFid).frame());
    EXPECT_EQ(c.Rsp(Smb(0x04).uid(kUid).tid(kTid).params(Bytes().u16(1).u16(2)).data(Bytes().u8(9)).frame()),
              SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.peer.files().empty());
}

TEST(Close, NothingToPairWith) {
    Conn c;
    LogOn(c);
    // A response whose request was never seen; a request naming an unknown FID; a request
    // too short to name one.
    EXPECT_EQ(c.Rsp(CloseRsp(1).frame()), SMB_RET_NO_OBJECT);
    c.Req(CloseReq(0x31, 2).frame());
    EXPECT_EQ(c.Rsp(CloseRsp(2).frame()), SMB_RET_NO_OBJECT);
    c.peer.AddFile(kTid, kFid);
    c.Req(Smb(0x04).mid(3).params(Bytes().u16(kFid).u16(0)).frame());
    EXPECT_EQ(c.Rsp(CloseRsp(3).frame()), SMB_RET_NO_OBJECT);
    EXPECT_TRUE(c.sink.events.empty());
    // The file went away between request and response (released with its tree).
    c.Req(CloseReq(kFid, 4).frame());
    c.peer.ReleaseFileObj(kFid);
    EXPECT_EQ(c.Rsp(CloseRsp(4).frame()), SMB_RET_NO_OBJECT);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(Close, ChainedAfterReadReportsTheHandedOnFileButReleasesItsOwn) {
    // The close request names file A, the read file B: the event names B (the read handed
    // its FID on), the release keeps to A, the FID the client asked to close.
    Conn c;
    LogOn(c);
    c.peer.AddFile(kTid, 1, u"\\A", SMB_FT_FILE);
    c.peer.AddFile(kTid, 2, u"\\B", SMB_FT_FILE);
    c.Req(ReadAndXReq(2, 0, 4).andx(0x04, Bytes().u16(1).u32(0)).frame());
    Smb rsp = ReadAndXRsp(Payload(4));
    rsp.andx(0x04);
    EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_READ);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_CLOSE);
    EXPECT_EQ(c.sink.events[1].s("file"), "\\B");
    EXPECT_EQ(c.peer.files().count(1), 0u);
    EXPECT_EQ(c.peer.files().count(2), 1u);
}

TEST(Close, AllocationFailureSavesNothing) {
    Conn c;
    LogOn(c);
    c.peer.AddFile(kTid, kFid);
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(CloseReq(kFid).frame()), SMB_RET_NO_MEMORY);
    EXPECT_TRUE(c.peer.saved().empty());
}

}  // namespace
