// Read AndX, Read, Read Raw, Write AndX and Close on an open file or named pipe: the data
// taken in place, caps and 64-bit offsets, pipe payload to HandleRPC, the file object's end.
#include <gtest/gtest.h>

#include "fileops/fileops_support.h"

using namespace fileops_test;

namespace {

constexpr uint16_t kFid = 0x4000;
constexpr uint16_t kPipe = 0x4001;

struct Opened : Session {
    Opened() {
        peer.AddFile(kTid, kFid, u"\\data.bin", SMB_FT_FILE);
        peer.AddFile(kTid, kPipe, u"\\srvsvc", SMB_FT_PIPE_MESSAGE);
    }
};

// A file's read is an event, a pipe's goes to HandleRPC; the status is not consulted, so a
// warning still passes data, and an error response (no words) passes none.
TEST(ReadAndX, FileAndPipeWithEachStatus) {
    for (uint16_t fid : {kFid, kPipe}) {
        for (uint32_t status : {0u, 0x80000005u, 0xC0000022u}) {
            SCOPED_TRACE(testing::Message() << fid << "/" << status);
            Opened c;
            c.Req(ReadAndXReq(fid, 4096, 16).frame());
            c.now = {7, 3};
            const ByteVec data = status == 0xC0000022u ? ByteVec{} : Payload(16);
            const ByteVec rsp = data.empty() ? ErrorRsp(0x2E, status) : ReadAndXRsp(data).ntStatus(status).frame();
            EXPECT_EQ(c.Rsp(rsp), fid == kPipe ? SMB_RET_PIPE_DATA : SMB_RET_FILE_CMD);
            EXPECT_TRUE(c.peer.saved().empty());
            if (fid == kPipe) {
                EXPECT_TRUE(c.sink.events.empty());
                ASSERT_EQ(c.sink.rpcs.size(), 1u);
                EXPECT_EQ(c.sink.rpcs[0].fid, kPipe);
                EXPECT_EQ(c.sink.rpcs[0].data, data);
                EXPECT_EQ(c.sink.rpcs[0].time.m_usec, 3u);
            } else {
                EXPECT_TRUE(c.sink.rpcs.empty());
                const RecordedEvent& e = OnlyEvent(c);
                EXPECT_EQ(e.status, status);
                EXPECT_EQ(e.s("file"), "\\data.bin");
                EXPECT_EQ(e.n("offset"), 4096u);
                EXPECT_EQ(e.n("data_len"), data.size());
                EXPECT_EQ(e.data, data);
            }
        }
    }
}

// DataLength (with DataLengthHigh) against the bytes the block holds; a DataOffset before the
// block (into the SMB header) or past it gives no data, and the read is still reported.
TEST(ReadAndX, LengthIsCappedToTheBlock) {
    struct Case {
        uint16_t dataLength, dataLengthHigh;
        size_t present;
        uint16_t dataOffset;  // 0: where the data is
        uint64_t expected;
    };
    for (const Case& t : {Case{4096, 0, 100, 0, 100}, Case{50, 0, 100, 0, 50}, Case{0, 1, 300, 0, 300},
                          Case{0, 0, 100, 0, 0}, Case{20, 0, 20, 8, 0}, Case{20, 0, 20, 0x2000, 0}}) {
        SCOPED_TRACE(testing::Message() << t.dataLength << "/" << t.dataLengthHigh << "/" << t.dataOffset);
        Opened c;
        c.Req(ReadAndXReq(kFid, 10, 0xFFFF).frame());
        const ByteVec sent = Payload(t.present);
        Smb rsp = ReadAndXRsp(sent);
        const uint16_t dataOffset = t.dataOffset ? t.dataOffset : uint16_t(rsp.bytesOffset(0) + 1);
        c.Rsp(rsp.params(ReadAndXRspWords(t.dataLength, dataOffset, t.dataLengthHigh)).frame());
        const RecordedEvent& e = OnlyEvent(c);
        EXPECT_EQ(e.n("data_len"), t.expected);
        EXPECT_EQ(e.n("offset"), 10u);
        EXPECT_EQ(e.data, ByteVec(sent.begin(), sent.begin() + long(t.expected)));
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
                          Case{true, 16, 2, 0, 10, (uint64_t(2) << 32) + 16, 10},
                          Case{false, 0, 0, 1, 0, 0, 65536},
                          Case{false, 0, 0, 0xFFFF0002, 5, 0, 0x20005}}) {  // only the low 16 bits count
        Opened c;
        c.Req(Smb(0x2E).uid(kUid).tid(kTid)
                  .params(ReadAndXWords(kFid, t.offset, t.maxCount, t.maxCountHigh, t.large ? &t.offsetHigh : nullptr))
                  .frame());
        c.Rsp(ReadAndXRsp({}).frame());
        EXPECT_EQ(OnlyEvent(c).n("offset"), t.expOffset) << t.offset;
        EXPECT_EQ(OnlyEvent(c).n("count"), t.expCount) << t.offset;
    }
}

TEST(ReadAndX, DroppedCases) {
    Opened c;
    // Too few words; an unknown FID (looked up at the response); a short response; a
    // response without request.
    EXPECT_EQ(c.Req(Smb(0x2E).uid(kUid).params(Bytes().fill(12)).frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.peer.saved().empty());
    c.Req(ReadAndXReq(0x99, 0, 10, 1).frame());
    EXPECT_EQ(c.Rsp(ReadAndXRsp(Payload(10)).mid(1).frame()), SMB_RET_FILE_CMD);
    c.Req(ReadAndXReq(kFid, 0, 10, 2).frame());
    EXPECT_EQ(c.Rsp(Smb(0x2E).uid(kUid).tid(kTid).mid(2).params(Bytes().fill(16)).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(ReadAndXRsp(Payload(10)).mid(3).frame()), SMB_RET_FILE_CMD);
    ExpectNothingKept(c);
}

// Read (0x0A): the file is named at the request; only a data buffer is reported.
Smb ReadReq(uint16_t fid, uint16_t mid = 1) {
    return std::move(Smb(0x0A).uid(kUid).tid(kTid).mid(mid).params(Bytes().u16(fid).u16(512).u32(0).u16(0)));
}
Smb ReadRsp(const ByteVec& data, uint16_t mid = 1, uint8_t format = 0x01) {
    return std::move(Smb(0x0A).uid(kUid).tid(kTid).mid(mid).params(Bytes().u16(uint16_t(data.size())).fill(8))
                         .data(Bytes().u8(format).u16(uint16_t(data.size())).raw(data)));
}

// A file closed before the response is named but not pointed at; pipes are events too.
TEST(Read, DataBufferIsReported) {
    Opened c;
    c.Req(ReadReq(kPipe, 1).frame());
    c.Req(ReadReq(kFid, 2).frame());
    c.Req(CloseReq(kFid, 3).frame());
    c.Rsp(CloseRsp(3).frame());
    EXPECT_EQ(c.Rsp(ReadRsp(Payload(40), 1).frame()), SMB_RET_FILE_CMD);
    // WordCount 0 with a data buffer: the fields follow the WordCount byte directly.
    c.Rsp(Smb(0x0A).uid(kUid).tid(kTid).mid(2).data(Bytes().u8(1).u16(3).raw({7, 8, 9})).frame());
    ASSERT_EQ(c.sink.events.size(), 3u);
    EXPECT_TRUE(c.sink.rpcs.empty());
    EXPECT_EQ(c.sink.events[1].data, Payload(40));
    EXPECT_EQ(c.sink.events[1].fid, kPipe);
    EXPECT_EQ(c.sink.events[1].status, SMB_STATUS_NONE);
    EXPECT_EQ(c.sink.events[2].data, (ByteVec{7, 8, 9}));
    EXPECT_EQ(c.sink.events[2].s("file"), "\\data.bin");
    EXPECT_EQ(c.sink.events[2].file, nullptr);
    EXPECT_EQ(c.sink.events[2].tree, c.peer.trees()[kTid]);
}

TEST(Read, ResponsesWithoutDataBufferAndRequestsNotSaved) {
    Opened c;
    ByteVec longer = ReadRsp(Payload(10), 2).frame();
    longer[4 + 32 + 1 + 10 + 2 + 1] = 11;  // DataLength one past the block
    const ByteVec rsps[] = {ErrorRsp(0x0A, 0xC0000022, 1), longer, ReadRsp(Payload(5), 3, 0x05).frame(),
                            Smb(0x0A).uid(kUid).tid(kTid).mid(4).params(Bytes().fill(4)).frame()};
    for (uint16_t mid = 1; mid <= 4; ++mid) c.Req(ReadReq(kFid, mid).frame());
    for (const ByteVec& r : rsps) EXPECT_EQ(c.Rsp(r), SMB_RET_FILE_CMD);
    c.Req(Smb(0x0A).params(Bytes().u16(kFid).fill(10)).frame());  // WordCount 6
    c.Req(ReadReq(0x77).frame());
    c.Req(Smb(0x1A).params(Bytes().u16(kFid).fill(12)).frame());  // Read Raw, WordCount 7
    c.Req(Smb(0x1A).params(Bytes().u16(0x55).fill(14)).frame());  // Read Raw, unknown FID
    ExpectNothingKept(c);
}

// Read Raw: reported at once from the request; OffsetHigh only with WordCount 10.
TEST(ReadRaw, ReportedFromTheRequest) {
    for (const auto& [words, expOffset] : {std::pair<int, uint64_t>{8, 0x100}, {10, (uint64_t(3) << 32) + 0x100},
                                           {9, 0x100}}) {
        Opened c;
        Bytes w;
        w.u16(kFid).u32(0x100).u16(4096).u16(0).u32(0).u16(0);
        if (words >= 9) w.u16(3);
        if (words >= 10) w.u16(0);
        EXPECT_EQ(c.Req(Smb(0x1A).uid(kUid).tid(kTid).params(w).frame()), SMB_RET_FILE_CMD);
        const RecordedEvent& e = OnlyEvent(c);
        EXPECT_EQ(e.n("offset"), expOffset) << words;
        EXPECT_EQ(e.n("count"), 4096u);
        EXPECT_EQ(e.status, SMB_STATUS_NONE);
        EXPECT_TRUE(c.peer.saved().empty());
    }
}

TEST(WriteAndX, RefusedWriteIsStillReportedOnce) {
    Opened c;
    c.now = {20, 5};
    const ByteVec data = Payload(68);
    EXPECT_EQ(c.Req(WriteReq(kFid, 512, data).frame()), SMB_RET_FILE_CMD);
    const RecordedEvent& e = OnlyEvent(c);
    EXPECT_EQ(e.n("offset"), 512u);
    EXPECT_EQ(e.data, data);
    EXPECT_EQ(e.status, SMB_STATUS_NONE);
    EXPECT_EQ(e.reqTime.m_sec, 20u);
    EXPECT_EQ(c.Rsp(ErrorRsp(0x2F, 0xC000007F)), SMB_RET_FILE_CMD);  // STATUS_DISK_FULL
    EXPECT_EQ(c.sink.events.size(), 1u);
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_EQ(c.peer.files().count(kFid), 1u);
}

TEST(WriteAndX, PipeWriteGoesToHandleRpcWithTheRequestTime) {
    Opened c;
    c.now = {30, 7};
    EXPECT_EQ(c.Req(WriteReq(kPipe, 0, Payload(120, 9)).frame()), SMB_RET_PIPE_DATA);
    c.now = {31, 0};
    EXPECT_EQ(c.Rsp(WriteRsp(120).frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    ASSERT_EQ(c.sink.rpcs.size(), 1u);
    EXPECT_EQ(c.sink.rpcs[0].fid, kPipe);
    EXPECT_EQ(c.sink.rpcs[0].data, Payload(120, 9));
    EXPECT_EQ(c.sink.rpcs[0].time.m_usec, 7u);
}

TEST(WriteAndX, LengthAndOffset) {
    struct Case {
        uint16_t dataLength, dataLengthHigh;
        size_t present;
        bool large;
        uint32_t offset, offsetHigh;
        uint16_t dataOffset;  // 0: where the data is
        uint64_t expLen, expOffset;
    };
    for (const Case& t : {Case{4096, 0, 1000, false, 0, 0, 0, 1000, 0}, Case{0, 1, 900, false, 0, 0, 0, 900, 0},
                          Case{10, 0, 40, false, 7, 0, 0, 10, 7},
                          Case{10, 0, 10, true, 16, 1, 0, 10, (uint64_t(1) << 32) + 16},
                          Case{8, 0, 8, false, 3, 0, 0x7000, 0, 3}, Case{8, 0, 8, false, 3, 0, 1, 0, 3}}) {
        SCOPED_TRACE(testing::Message() << t.present << "/" << t.large << "/" << t.dataOffset);
        Opened c;
        const ByteVec data = Payload(t.present);
        Smb req = WriteReq(kFid, t.offset, data);
        const uint32_t* high = t.large ? &t.offsetHigh : nullptr;
        req.params(WriteWords(kFid, t.offset, t.dataLength, 0, t.dataLengthHigh, high));  // moves the block
        const uint16_t dataOffset = t.dataOffset ? t.dataOffset : uint16_t(req.bytesOffset(0) + 1);
        c.Req(req.params(WriteWords(kFid, t.offset, t.dataLength, dataOffset, t.dataLengthHigh, high)).frame());
        const RecordedEvent& e = OnlyEvent(c);
        EXPECT_EQ(e.n("data_len"), t.expLen);
        EXPECT_EQ(e.n("offset"), t.expOffset);
        EXPECT_EQ(e.data, ByteVec(data.begin(), data.begin() + long(t.expLen)));
    }
}

TEST(WriteAndX, ChainsRunWhateverTheWriteWas) {
    Opened c;
    // An unknown FID reports nothing, but the chained read is saved; a short request nothing.
    c.Req(WriteReq(0x99, 0, Payload(4)).andx(0x2E, ReadAndXWords(kFid, 0, 4)).frame());
    c.Req(Smb(0x2F).params(Bytes().u16(kFid).fill(16)).frame());  // WordCount 11
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_EQ(c.peer.saved().size(), 1u);
    c.Rsp(ErrorRsp(0x2E, 0xC0000022));  // the refused read is reported
    // The response of a chained write runs the follow-up and retires the write.
    EXPECT_EQ(c.Req(WriteReq(kFid, 0, Payload(4), 2).andx(0x2E, ReadAndXWords(kFid, 0, 4)).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.peer.saved().size(), 2u);
    Smb rsp = WriteRsp(4, 2);
    rsp.andx(0x2E, ReadAndXRspWords(0, 0));
    const uint16_t dataOffset = uint16_t(rsp.bytesOffset(1) + 1);
    rsp.params(ReadAndXRspWords(4, dataOffset)).data(Bytes().u8(0).raw(Payload(4)));
    EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 3u);
    EXPECT_EQ(c.sink.events[2].type, SMB_EVT_READ);
    EXPECT_TRUE(c.peer.saved().empty());
    // Without a request; without parameters; WordCount 4 (too short for the Count): only retired.
    EXPECT_EQ(c.Rsp(WriteRsp(4).frame()), SMB_RET_FILE_CMD);
    for (const ByteVec& r : {ErrorRsp(0x2F, 0xC0000022), Smb(0x2F).uid(kUid).tid(kTid).params(Bytes().fill(4)).frame()}) {
        c.Req(WriteReq(kFid, 0, Payload(4)).frame());
        EXPECT_EQ(c.Rsp(r), SMB_RET_FILE_CMD);
        EXPECT_TRUE(c.peer.saved().empty());
    }
    EXPECT_EQ(c.sink.events.size(), 5u);  // the requests' events, nothing from the responses
}

TEST(Close, GrantedCloseReportsAndReleases) {
    Opened c;
    c.now = {40, 0};
    c.Req(CloseReq(kFid).frame());
    c.now = {41, 0};
    // The response's parameters and bytes are never read.
    EXPECT_EQ(c.Rsp(Smb(0x04).uid(kUid).tid(kTid).params(Bytes().u16(1).u16(2)).data(Bytes().u8(9)).frame()),
              SMB_RET_FILE_CMD);
    const RecordedEvent& e = OnlyEvent(c);
    EXPECT_EQ(e.s("file"), "\\data.bin");
    EXPECT_EQ(e.n("file_type"), SMB_FT_FILE);
    EXPECT_EQ(e.fid, kFid);  // the sink still saw the file object alive
    EXPECT_EQ(e.reqTime.m_sec, 40u);
    EXPECT_EQ(e.rspTime.m_sec, 41u);
    EXPECT_EQ(c.peer.files().count(kFid), 0u);
    EXPECT_EQ(c.peer.trees()[kTid]->m_files.size(), 1u);
    // The FID is gone: a second close is dropped at its request, and its response is -8.
    c.Req(CloseReq(kFid, 2).frame());
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_EQ(c.Rsp(CloseRsp(2).frame()), SMB_RET_NO_OBJECT);
}

TEST(Close, RefusedCloseKeepsTheFileOpen) {
    Opened c;
    c.Req(CloseReq(kFid).frame());
    EXPECT_EQ(c.Rsp(Smb(0x04).uid(kUid).tid(kTid).dosError(1, 6).frame()), SMB_RET_FILE_CMD);  // ERRDOS/ERRbadfid
    EXPECT_EQ(OnlyEvent(c).status, 0x01000006u);
    // Still usable: a later write is reported against it.
    c.Req(WriteReq(kFid, 0, Payload(3), 2).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[1].fid, kFid);
}

TEST(Close, NothingToPairWith) {
    Opened c;
    // A response whose request was never seen; an unknown FID; a request too short to name one;
    // a file released (with its tree) between request and response.
    EXPECT_EQ(c.Rsp(CloseRsp(1).frame()), SMB_RET_NO_OBJECT);
    c.Req(CloseReq(0x31, 2).frame());
    EXPECT_EQ(c.Rsp(CloseRsp(2).frame()), SMB_RET_NO_OBJECT);
    c.Req(Smb(0x04).mid(3).params(Bytes().u16(kFid).u16(0)).frame());
    EXPECT_EQ(c.Rsp(CloseRsp(3).frame()), SMB_RET_NO_OBJECT);
    c.Req(CloseReq(kFid, 4).frame());
    c.peer.ReleaseFileObj(kFid);
    EXPECT_EQ(c.Rsp(CloseRsp(4).frame()), SMB_RET_NO_OBJECT);
    ExpectNothingKept(c);
}

TEST(Close, ChainedAfterReadReportsTheHandedOnFileButReleasesItsOwn) {
    // The close request names the pipe, the read the file: the event names the file (the read
    // handed its FID on), the release keeps to the FID the client asked to close.
    Opened c;
    c.Req(ReadAndXReq(kFid, 0, 4).andx(0x04, Bytes().u16(kPipe).u32(0)).frame());
    Smb rsp = ReadAndXRsp(Payload(4));
    rsp.andx(0x04);
    EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_CLOSE);
    EXPECT_EQ(c.sink.events[1].s("file"), "\\data.bin");
    EXPECT_EQ(c.peer.files().count(kPipe), 0u);
    EXPECT_EQ(c.peer.files().count(kFid), 1u);
}

TEST(FileData, RecordAllocationFailureReportsAndSavesNothing) {
    Bytes raw;
    raw.u16(kFid).fill(14);
    for (const ByteVec& req : {ReadAndXReq(kFid, 0, 10).frame(), ReadReq(kFid).frame(),
                               Smb(0x1A).params(raw).frame(), CloseReq(kFid).frame(),
                               WriteReq(kFid, 0, Payload(4)).andx(0x2E, ReadAndXWords(kFid, 0, 4)).frame()}) {
        Opened c;
        ZELK::FailNthAllocation(1);
        EXPECT_EQ(c.Req(req), SMB_RET_NO_MEMORY) << int(req[8]);
        ZELK::FailNthAllocation(0);
        ExpectNothingKept(c);
    }
}

}  // namespace
