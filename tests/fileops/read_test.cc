// The read family: Read AndX with its data taken in place, its caps and 64-bit offsets and
// named-pipe data to HandleRPC; Read; Read Raw.
#include <gtest/gtest.h>

#include "fileops/fileops_support.h"

using namespace fileops_test;

namespace {

constexpr uint16_t kFid = 0x4000;
constexpr uint16_t kPipe = 0x4001;

Conn& Opened(Conn& c) {
    LogOn(c);
    c.peer.AddFile(kTid, kFid, u"\\data.bin", SMB_FT_FILE);
    c.peer.AddFile(kTid, kPipe, u"\\srvsvc", SMB_FT_PIPE_MESSAGE);
    return c;
}

TEST(ReadAndX, FileReadIsReportedWithDataInPlace) {
    Conn c;
    Opened(c);
    c.now = {5, 0};
    EXPECT_EQ(c.Req(ReadAndXReq(kFid, 4096, 100).frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    c.now = {6, 0};
    const ByteVec data = Payload(100);
    EXPECT_EQ(c.Rsp(ReadAndXRsp(data).frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.type, SMB_EVT_READ);
    EXPECT_EQ(e.status, 0u);
    EXPECT_EQ(e.s("file"), "\\data.bin");
    EXPECT_EQ(e.n("file_type"), SMB_FT_FILE);
    EXPECT_EQ(e.n("offset"), 4096u);
    EXPECT_EQ(e.n("count"), 100u);
    EXPECT_EQ(e.n("data_len"), 100u);
    EXPECT_EQ(e.data, data);
    EXPECT_EQ(e.reqTime.m_sec, 5u);
    EXPECT_EQ(e.rspTime.m_sec, 6u);
    EXPECT_EQ(e.fid, kFid);
    EXPECT_EQ(e.uid, kUid);
    EXPECT_EQ(e.tid, kTid);
    EXPECT_TRUE(c.sink.rpcs.empty());
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(ReadAndX, PipeReadGoesToHandleRpc) {
    Conn c;
    Opened(c);
    c.Req(ReadAndXReq(kPipe, 0, 1024).frame());
    c.now = {7, 3};
    const ByteVec pdu = Payload(68, 5);
    EXPECT_EQ(c.Rsp(ReadAndXRsp(pdu).frame()), SMB_RET_PIPE_DATA);
    EXPECT_TRUE(c.sink.events.empty());
    ASSERT_EQ(c.sink.rpcs.size(), 1u);
    EXPECT_EQ(c.sink.rpcs[0].fid, kPipe);
    EXPECT_EQ(c.sink.rpcs[0].data, pdu);
    EXPECT_EQ(c.sink.rpcs[0].time.m_sec, 7u);
    EXPECT_EQ(c.sink.rpcs[0].time.m_usec, 3u);
}

TEST(ReadAndX, WarningStatusStillPassesData) {
    Conn c;
    Opened(c);
    c.Req(ReadAndXReq(kPipe, 0, 16, 1).frame());
    c.Req(ReadAndXReq(kFid, 0, 16, 2).frame());
    EXPECT_EQ(c.Rsp(ReadAndXRsp(Payload(16)).mid(1).ntStatus(0x80000005).frame()), SMB_RET_PIPE_DATA);
    EXPECT_EQ(c.Rsp(ReadAndXRsp(Payload(16)).mid(2).ntStatus(0x80000005).frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.rpcs.size(), 1u);
    EXPECT_EQ(c.sink.rpcs[0].data.size(), 16u);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].status, 0x80000005u);
    EXPECT_EQ(c.sink.events[0].data.size(), 16u);
}

TEST(ReadAndX, ErrorResponseReportsNoData) {
    Conn c;
    Opened(c);
    c.Req(ReadAndXReq(kFid, 0, 16, 1).frame());
    c.Req(ReadAndXReq(kPipe, 0, 16, 2).frame());
    EXPECT_EQ(c.Rsp(ErrorRsp(0x2E, 0xC0000022, 1)), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(ErrorRsp(0x2E, 0xC0000022, 2)), SMB_RET_PIPE_DATA);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].status, 0xC0000022u);
    EXPECT_EQ(c.sink.events[0].n("data_len"), 0u);
    EXPECT_TRUE(c.sink.events[0].data.empty());
    EXPECT_EQ(c.sink.events[0].s("file"), "\\data.bin");
    ASSERT_EQ(c.sink.rpcs.size(), 1u);
    EXPECT_TRUE(c.sink.rpcs[0].data.empty());
}

// DataLength as announced against the bytes the block holds.
TEST(ReadAndX, LengthIsCappedToTheBlock) {
    struct Case {
        uint16_t dataLength, dataLengthHigh;
        size_t present;
        uint64_t expected;
    };
    for (const Case& t : {Case{4096, 0, 100, 100}, Case{50, 0, 100, 50}, Case{0, 1, 300, 300},
                          Case{0, 0, 100, 0}}) {
        Conn c;
        Opened(c);
        c.Req(ReadAndXReq(kFid, 0, 0xFFFF).frame());
        const ByteVec sent = Payload(t.present);
        Smb rsp = ReadAndXRsp(sent);
        const uint16_t dataOffset = uint16_t(rsp.bytesOffset(0) + 1);
        rsp.params(ReadAndXRspWords(t.dataLength, dataOffset, t.dataLengthHigh));
        c.Rsp(rsp.frame());
        ASSERT_EQ(c.sink.events.size(), 1u);
        EXPECT_EQ(c.sink.events[0].n("data_len"), t.expected) << t.dataLength << "/" << t.dataLengthHigh;
        EXPECT_EQ(c.sink.events[0].data, ByteVec(sent.begin(), sent.begin() + long(t.expected)));
    }
}

TEST(ReadAndX, DataOffsetOutsideTheBlockGivesNoData) {
    // Before the block (into the SMB header) and past its end: nothing outside is read,
    // and the read is still reported, as an error response would be.
    for (uint16_t dataOffset : {uint16_t(8), uint16_t(0x2000)}) {
        Conn c;
        Opened(c);
        c.Req(ReadAndXReq(kFid, 10, 20).frame());
        c.Rsp(ReadAndXRsp(Payload(20)).params(ReadAndXRspWords(20, dataOffset)).frame());
        ASSERT_EQ(c.sink.events.size(), 1u) << dataOffset;
        EXPECT_EQ(c.sink.events[0].n("data_len"), 0u);
        EXPECT_EQ(c.sink.events[0].n("offset"), 10u);
    }
}

TEST(ReadAndX, OffsetsAndCountsBeyondSixteenAndThirtyTwoBits) {
    struct Case {
        bool large;
        uint32_t offset, offsetHigh, maxCountHigh;
        uint16_t maxCount;
        uint64_t expOffset, expCount;
    };
    for (const Case& t : {Case{false, 0xFFFFFFF0, 0, 0, 10, 0xFFFFFFF0, 10},
                          Case{true, 0, 1, 0, 10, uint64_t(1) << 32, 10},
                          Case{true, 16, 2, 0, 10, (uint64_t(2) << 32) + 16, 10},
                          Case{false, 0, 0, 1, 0, 0, 65536},
                          Case{false, 0, 0, 0xFFFF0002, 5, 0, 0x20005}}) {  // only the low 16 bits count
        Conn c;
        Opened(c);
        c.Req(Smb(0x2E).uid(kUid).tid(kTid)
                  .params(ReadAndXWords(kFid, t.offset, t.maxCount, t.maxCountHigh, t.large ? &t.offsetHigh : nullptr))
                  .frame());
        c.Rsp(ReadAndXRsp({}).frame());
        ASSERT_EQ(c.sink.events.size(), 1u);
        EXPECT_EQ(c.sink.events[0].n("offset"), t.expOffset);
        EXPECT_EQ(c.sink.events[0].n("count"), t.expCount);
    }
}

TEST(ReadAndX, ResponsesPairWithTheirOwnRequests) {
    Conn c;
    Opened(c);
    c.Req(ReadAndXReq(kFid, 0, 10, 1).frame());
    c.Req(ReadAndXReq(kFid, 1000, 20, 2).frame());
    c.Rsp(ReadAndXRsp(Payload(20)).mid(2).frame());
    c.Rsp(ReadAndXRsp(Payload(10)).mid(1).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].n("offset"), 1000u);
    EXPECT_EQ(c.sink.events[0].n("count"), 20u);
    EXPECT_EQ(c.sink.events[1].n("offset"), 0u);
    EXPECT_EQ(c.sink.events[1].n("count"), 10u);
}

TEST(ReadAndX, DroppedCases) {
    Conn c;
    Opened(c);
    // Too few words, and an unknown FID (the file is looked up at the response).
    EXPECT_EQ(c.Req(Smb(0x2E).uid(kUid).params(Bytes().fill(12)).frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.peer.saved().empty());
    c.Req(ReadAndXReq(0x99, 0, 10, 1).frame());
    EXPECT_EQ(c.peer.saved().size(), 1u);
    EXPECT_EQ(c.Rsp(ReadAndXRsp(Payload(10)).mid(1).frame()), SMB_RET_FILE_CMD);
    // A short response, and a response without request.
    c.Req(ReadAndXReq(kFid, 0, 10, 2).frame());
    EXPECT_EQ(c.Rsp(Smb(0x2E).uid(kUid).tid(kTid).mid(2).params(Bytes().fill(16)).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(ReadAndXRsp(Payload(10)).mid(3).frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(ReadAndX, AllocationFailureSavesNothing) {
    Conn c;
    Opened(c);
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(ReadAndXReq(kFid, 0, 10).frame()), SMB_RET_NO_MEMORY);
    EXPECT_TRUE(c.peer.saved().empty());
}

// Read (0x0A): the file is named at the request; only a data buffer is reported.
Smb ReadReq(uint16_t fid, uint16_t mid = 1) {
    return std::move(Smb(0x0A).uid(kUid).tid(kTid).mid(mid).params(Bytes().u16(fid).u16(512).u32(0).u16(0)));
}
Smb ReadRsp(const ByteVec& data, uint16_t mid = 1, uint8_t format = 0x01) {
    return std::move(Smb(0x0A).uid(kUid).tid(kTid).mid(mid).params(Bytes().u16(uint16_t(data.size())).fill(8))
                         .data(Bytes().u8(format).u16(uint16_t(data.size())).raw(data)));
}

TEST(Read, DataBufferIsReported) {
    Conn c;
    Opened(c);
    EXPECT_EQ(c.Req(ReadReq(kPipe).frame()), SMB_RET_FILE_CMD);
    const ByteVec data = Payload(40);
    EXPECT_EQ(c.Rsp(ReadRsp(data).frame()), SMB_RET_FILE_CMD);
    // Read is always an event, named pipes included.
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_TRUE(c.sink.rpcs.empty());
    EXPECT_EQ(c.sink.events[0].data, data);
    EXPECT_EQ(c.sink.events[0].fid, kPipe);
    EXPECT_EQ(c.sink.events[0].status, SMB_STATUS_NONE);
    EXPECT_EQ(c.sink.events[0].rspTime.m_sec, 0u);
}

TEST(Read, ResponsesWithoutDataBuffer) {
    Conn c;
    Opened(c);
    ByteVec longer = ReadRsp(Payload(10), 2).frame();
    longer[4 + 32 + 1 + 10 + 2 + 1] = 11;  // DataLength one past the block
    const ByteVec rsps[] = {ErrorRsp(0x0A, 0xC0000022, 1), longer, ReadRsp(Payload(5), 3, 0x05).frame(),
                            Smb(0x0A).uid(kUid).tid(kTid).mid(4).params(Bytes().fill(4)).frame()};
    for (uint16_t mid = 1; mid <= 4; ++mid) c.Req(ReadReq(kFid, mid).frame());
    for (const ByteVec& r : rsps) EXPECT_EQ(c.Rsp(r), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_EQ(c.Rsp(ReadRsp(Payload(5), 5).frame()), SMB_RET_NO_REQUEST);
}

TEST(Read, ErrorResponseWithAnEmptyBufferFormat) {
    // WordCount 0 with a data buffer: the fields follow the WordCount byte directly.
    Conn c;
    Opened(c);
    c.Req(ReadReq(kFid).frame());
    c.Rsp(Smb(0x0A).uid(kUid).tid(kTid).data(Bytes().u8(1).u16(3).raw({7, 8, 9})).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].data, (ByteVec{7, 8, 9}));
}

TEST(Read, FileClosedBeforeTheResponseIsNotPointedAt) {
    Conn c;
    Opened(c);
    c.Req(ReadReq(kFid, 1).frame());
    c.Req(CloseReq(kFid, 2).frame());
    c.Rsp(CloseRsp(2).frame());
    c.Rsp(ReadRsp(Payload(4), 1).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_READ);
    EXPECT_EQ(c.sink.events[1].s("file"), "\\data.bin");
    EXPECT_EQ(c.sink.events[1].file, nullptr);
    EXPECT_EQ(c.sink.events[1].tree, c.peer.trees()[kTid]);
}

TEST(Read, RequestsThatSaveNothing) {
    Conn c;
    Opened(c);
    c.Req(Smb(0x0A).params(Bytes().u16(kFid).fill(10)).frame());  // WordCount 6
    c.Req(ReadReq(0x77).frame());
    EXPECT_TRUE(c.peer.saved().empty());
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(ReadReq(kFid).frame()), SMB_RET_NO_MEMORY);
    EXPECT_TRUE(c.peer.saved().empty());
}

// Read Raw: reported at once from the request.
TEST(ReadRaw, ReportedFromTheRequest) {
    struct Case {
        uint8_t words;
        uint64_t expOffset;
    };
    for (const Case& t : {Case{8, 0x100}, Case{10, (uint64_t(3) << 32) + 0x100}, Case{9, 0x100}}) {
        Conn c;
        Opened(c);
        Bytes w;
        w.u16(kFid).u32(0x100).u16(4096).u16(0).u32(0).u16(0);
        if (t.words >= 9) w.u16(3);
        if (t.words >= 10) w.u16(0);
        EXPECT_EQ(c.Req(Smb(0x1A).uid(kUid).tid(kTid).params(w).frame()), SMB_RET_FILE_CMD);
        ASSERT_EQ(c.sink.events.size(), 1u);
        EXPECT_EQ(c.sink.events[0].n("offset"), t.expOffset) << int(t.words);
        EXPECT_EQ(c.sink.events[0].n("count"), 4096u);
        EXPECT_EQ(c.sink.events[0].n("data_len"), 0u);
        EXPECT_EQ(c.sink.events[0].status, SMB_STATUS_NONE);
        EXPECT_TRUE(c.peer.saved().empty());
    }
}

TEST(ReadRaw, DroppedCases) {
    Conn c;
    Opened(c);
    c.Req(Smb(0x1A).params(Bytes().u16(kFid).fill(12)).frame());  // WordCount 7
    c.Req(Smb(0x1A).params(Bytes().u16(0x55).fill(14)).frame());  // unknown FID
    EXPECT_TRUE(c.sink.events.empty());
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(Smb(0x1A).params(Bytes().u16(kFid).fill(14)).frame()), SMB_RET_NO_MEMORY);
    EXPECT_TRUE(c.sink.events.empty());
}

}  // namespace
