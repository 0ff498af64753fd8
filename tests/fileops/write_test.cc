// Write AndX: reported from the request, named-pipe payload to HandleRPC, the response only
// retires the request.
#include <gtest/gtest.h>

#include "fileops/fileops_support.h"

using namespace fileops_test;

namespace {

constexpr uint16_t kFid = 0x4000;
constexpr uint16_t kPipe = 0x4001;

void Opened(Conn& c) {
    LogOn(c);
    c.peer.AddFile(kTid, kFid, u"\\out.log", SMB_FT_FILE);
    c.peer.AddFile(kTid, kPipe, u"\\lsarpc", SMB_FT_PIPE_BYTE);
}

TEST(WriteAndX, RefusedWriteIsStillReportedOnce) {
    Conn c;
    Opened(c);
    c.now = {20, 5};
    const ByteVec data = Payload(68);
    EXPECT_EQ(c.Req(WriteReq(kFid, 512, data).frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.type, SMB_EVT_WRITE);
    EXPECT_EQ(e.s("file"), "\\out.log");
    EXPECT_EQ(e.n("offset"), 512u);
    EXPECT_EQ(e.n("data_len"), 68u);
    EXPECT_EQ(e.data, data);
    EXPECT_EQ(e.status, SMB_STATUS_NONE);
    EXPECT_EQ(e.rspTime.m_sec, 0u);
    EXPECT_EQ(e.reqTime.m_sec, 20u);
    EXPECT_EQ(e.fid, kFid);
    EXPECT_EQ(e.uid, kUid);
    EXPECT_EQ(e.tid, kTid);
    EXPECT_EQ(c.peer.saved().size(), 1u);

    EXPECT_EQ(c.Rsp(ErrorRsp(0x2F, 0xC000007F)), SMB_RET_FILE_CMD);  // STATUS_DISK_FULL
    EXPECT_EQ(c.sink.events.size(), 1u);
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_EQ(c.peer.files().count(kFid), 1u);
}

TEST(WriteAndX, PipeWriteGoesToHandleRpcWithTheRequestTime) {
    Conn c;
    Opened(c);
    c.now = {30, 7};
    const ByteVec pdu = Payload(120, 9);
    EXPECT_EQ(c.Req(WriteReq(kPipe, 0, pdu).frame()), SMB_RET_PIPE_DATA);
    EXPECT_TRUE(c.sink.events.empty());
    ASSERT_EQ(c.sink.rpcs.size(), 1u);
    EXPECT_EQ(c.sink.rpcs[0].fid, kPipe);
    EXPECT_EQ(c.sink.rpcs[0].data, pdu);
    EXPECT_EQ(c.sink.rpcs[0].time.m_sec, 30u);
    EXPECT_EQ(c.sink.rpcs[0].time.m_usec, 7u);
    c.now = {31, 0};
    EXPECT_EQ(c.Rsp(WriteRsp(120).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.sink.rpcs.size(), 1u);
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(WriteAndX, LengthAndOffset) {
    struct Case {
        uint16_t dataLength, dataLengthHigh;
        size_t present;
        bool large;
        uint32_t offset, offsetHigh;
        uint64_t expLen, expOffset;
    };
    for (const Case& t : {Case{4096, 0, 1000, false, 0, 0, 1000, 0}, Case{0, 1, 900, false, 0, 0, 900, 0},
                          Case{10, 0, 40, false, 7, 0, 10, 7},
                          Case{10, 0, 10, true, 16, 1, 10, (uint64_t(1) << 32) + 16}}) {
        Conn c;
        Opened(c);
        const ByteVec data = Payload(t.present);
        Smb req = WriteReq(kFid, t.offset, data);
        const uint16_t dataOffset = uint16_t(req.bytesOffset(0) + 1);
        req.params(WriteWords(kFid, t.offset, t.dataLength, dataOffset, t.dataLengthHigh,
                              t.large ? &t.offsetHigh : nullptr));
        if (t.large) {  // the builder's offsets moved with the two extra words
            const uint16_t moved = uint16_t(req.bytesOffset(0) + 1);
            req.params(WriteWords(kFid, t.offset, t.dataLength, moved, t.dataLengthHigh, &t.offsetHigh));
        }
        c.Req(req.frame());
        ASSERT_EQ(c.sink.events.size(), 1u);
        EXPECT_EQ(c.sink.events[0].n("data_len"), t.expLen) << t.present;
        EXPECT_EQ(c.sink.events[0].n("offset"), t.expOffset);
        EXPECT_EQ(c.sink.events[0].data, ByteVec(data.begin(), data.begin() + long(t.expLen)));
    }
}

TEST(WriteAndX, WordCountTwelveIgnoresTheHighOffsetPlace) {
    Conn c;
    Opened(c);
    // WordCount 12 followed by bytes where OffsetHigh would be.
    Smb req = WriteReq(kFid, 16, Payload(8));
    req.data(Bytes().u32(1).raw(Payload(8)));
    req.params(WriteWords(kFid, 16, 8, uint16_t(req.bytesOffset(0) + 4)));
    c.Req(req.frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].n("offset"), 16u);
}

TEST(WriteAndX, DataOffsetOutsideTheBlockGivesNoData) {
    for (uint16_t dataOffset : {uint16_t(0), uint16_t(0x7000)}) {
        Conn c;
        Opened(c);
        c.Req(WriteReq(kFid, 0, Payload(8)).params(WriteWords(kFid, 3, 8, dataOffset)).frame());
        ASSERT_EQ(c.sink.events.size(), 1u);
        EXPECT_EQ(c.sink.events[0].n("data_len"), 0u);
        EXPECT_TRUE(c.sink.events[0].data.empty());
        EXPECT_EQ(c.sink.events[0].n("offset"), 3u);
    }
}

TEST(WriteAndX, UnknownFidOrShortRequestReportsNothingAndChainGoesOn) {
    Conn c;
    Opened(c);
    Smb req = WriteReq(0x99, 0, Payload(4));
    req.andx(0x2E, ReadAndXWords(kFid, 0, 4));
    EXPECT_EQ(c.Req(req.frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    ASSERT_EQ(c.peer.saved().size(), 1u);  // only the chained read
    c.Req(Smb(0x2F).params(Bytes().u16(kFid).fill(16)).frame());  // WordCount 11
    EXPECT_EQ(c.peer.saved().size(), 1u);
    EXPECT_TRUE(c.sink.events.empty());
}

TEST(WriteAndX, ChainedResponseRunsTheFollowUpAndRetiresTheWrite) {
    Conn c;
    Opened(c);
    Smb req = WriteReq(kFid, 0, Payload(4));
    req.andx(0x2E, ReadAndXWords(kFid, 0, 4));
    EXPECT_EQ(c.Req(req.frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.peer.saved().size(), 2u);
    Smb rsp = WriteRsp(4);
    rsp.andx(0x2E, ReadAndXRspWords(0, 0));
    const uint16_t dataOffset = uint16_t(rsp.bytesOffset(1) + 1);
    rsp.params(ReadAndXRspWords(4, dataOffset)).data(Bytes().u8(0).raw(Payload(4)));
    EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_READ);
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(WriteAndX, ResponsesThatOnlyRetire) {
    Conn c;
    Opened(c);
    EXPECT_EQ(c.Rsp(WriteRsp(4).frame()), SMB_RET_FILE_CMD);  // no request: nothing
    // Without parameters, and with WordCount 4 (too short for the Count).
    const ByteVec rsps[] = {ErrorRsp(0x2F, 0xC0000022), Smb(0x2F).uid(kUid).tid(kTid).params(Bytes().fill(4)).frame()};
    for (const ByteVec& rsp : rsps) {
        c.Req(WriteReq(kFid, 0, Payload(4)).frame());
        EXPECT_EQ(c.Rsp(rsp), SMB_RET_FILE_CMD);
        EXPECT_TRUE(c.peer.saved().empty());
    }
    EXPECT_EQ(c.sink.events.size(), 2u);  // the two requests, nothing from the responses
}

TEST(WriteAndX, AllocationFailureReportsNothing) {
    Conn c;
    Opened(c);
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(WriteReq(kFid, 0, Payload(4)).andx(0x2E, ReadAndXWords(kFid, 0, 4)).frame()), SMB_RET_NO_MEMORY);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.peer.saved().empty());
}

}  // namespace
