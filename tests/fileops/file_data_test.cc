// Read AndX, Read, Read Raw, Write AndX and Close where traffic rarely goes: data lengths and
// offsets against the block, 64-bit offsets, statuses, chains, unpaired and short messages.
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
        EXPECT_EQ(OnlyEvent(c).n("data_len"), t.expected);
        EXPECT_EQ(OnlyEvent(c).data, ByteVec(sent.begin(), sent.begin() + long(t.expected)));
    }
}

TEST(ReadAndX, OffsetsAndCountsBeyondSixteenAndThirtyTwoBits) {
    struct Case {
        bool large;
        uint32_t offset, offsetHigh, maxCountHigh;
        uint16_t maxCount;
        const char* expected;  // offset|count
    };
    for (const Case& t : {Case{false, 0xFFFFFFF0, 0, 0, 10, "4294967280|10"}, Case{true, 16, 2, 0, 10, "8589934608|10"},
                          Case{false, 0, 0, 1, 0, "0|65536"},
                          Case{false, 0, 0, 0xFFFF0002, 5, "0|131077"}}) {  // only the low 16 bits count
        Opened c;
        c.Req(Smb(0x2E).uid(kUid).tid(kTid)
                  .params(ReadAndXWords(kFid, t.offset, t.maxCount, t.maxCountHigh, t.large ? &t.offsetHigh : nullptr))
                  .frame());
        c.Rsp(ReadAndXRsp({}).frame());
        EXPECT_EQ(OnlyEvent(c).Fields("offset count"), t.expected);
    }
}

// Read (0x0A): the file is named at the request; only a data buffer is reported, and a file
// closed before the response is named but not pointed at.
Smb ReadReq(uint16_t fid, uint16_t mid = 1) {
    return std::move(Smb(0x0A).uid(kUid).tid(kTid).mid(mid).params(Bytes().u16(fid).u16(512).u32(0).u16(0)));
}
Smb ReadRsp(const ByteVec& data, uint16_t mid = 1, uint8_t format = 0x01) {
    return std::move(Smb(0x0A).uid(kUid).tid(kTid).mid(mid).params(Bytes().u16(uint16_t(data.size())).fill(8))
                         .data(Bytes().u8(format).u16(uint16_t(data.size())).raw(data)));
}

TEST(Read, OnlyADataBufferInsideTheBlockIsReported) {
    Opened c;
    c.Req(ReadReq(kFid, 2).frame());
    c.Req(CloseReq(kFid, 3).frame());
    c.Rsp(CloseRsp(3).frame());
    // WordCount 0 with a data buffer: the fields follow the WordCount byte directly.
    c.Rsp(Smb(0x0A).uid(kUid).tid(kTid).mid(2).data(Bytes().u8(1).u16(3).raw({7, 8, 9})).frame());
    ASSERT_EQ(c.sink.Log("type status file fid"), "close|0|\\data.bin|16384;read|ffffffff|\\data.bin|-1");
    EXPECT_EQ(c.sink.events[1].data, (ByteVec{7, 8, 9}));
    EXPECT_EQ(c.sink.events[1].tree, c.peer.trees()[kTid]);

    Opened d;
    ByteVec longer = ReadRsp(Payload(10), 2).frame();
    longer[4 + 32 + 1 + 10 + 2 + 1] = 11;  // DataLength one past the block
    const ByteVec rsps[] = {ErrorRsp(0x0A, 0xC0000022, 1), longer, ReadRsp(Payload(5), 3, 0x05).frame(),
                            Smb(0x0A).uid(kUid).tid(kTid).mid(4).params(Bytes().fill(4)).frame()};
    for (uint16_t mid = 1; mid <= 4; ++mid) d.Req(ReadReq(kFid, mid).frame());
    for (const ByteVec& r : rsps) EXPECT_EQ(d.Rsp(r), SMB_RET_FILE_CMD);
    d.Req(Smb(0x0A).params(Bytes().u16(kFid).fill(10)).frame());  // WordCount 6
    d.Req(ReadReq(0x77).frame());
    d.Req(Smb(0x1A).params(Bytes().u16(kFid).fill(12)).frame());  // Read Raw, WordCount 7
    d.Req(Smb(0x1A).params(Bytes().u16(0x55).fill(14)).frame());  // Read Raw, unknown FID
    ExpectNothingKept(d);
}

// A pipe's write goes to HandleRPC, and the request's result says so.
TEST(WriteAndX, PipeWriteGoesToHandleRpc) {
    Opened c;
    EXPECT_EQ(c.Req(WriteReq(kPipe, 0, Payload(120, 9)).frame()), SMB_RET_PIPE_DATA);
    EXPECT_TRUE(c.sink.events.empty());
    ASSERT_EQ(c.sink.rpcs.size(), 1u);
    EXPECT_EQ(c.sink.rpcs[0].data, Payload(120, 9));
}

TEST(WriteAndX, LengthAndOffset) {
    struct Case {
        uint16_t dataLength, dataLengthHigh;
        size_t present;
        bool large;
        uint32_t offset, offsetHigh;
        uint16_t dataOffset;  // 0: where the data is
        uint64_t expLen;
        const char* expected;  // data_len|offset
    };
    for (const Case& t : {Case{4096, 0, 1000, false, 0, 0, 0, 1000, "1000|0"}, Case{0, 1, 900, false, 0, 0, 0, 900, "900|0"},
                          Case{10, 0, 40, false, 7, 0, 0, 10, "10|7"},
                          Case{10, 0, 10, true, 16, 1, 0, 10, "10|4294967312"},
                          Case{8, 0, 8, false, 3, 0, 0x7000, 0, "0|3"}, Case{8, 0, 8, false, 3, 0, 1, 0, "0|3"}}) {
        SCOPED_TRACE(testing::Message() << t.present << "/" << t.large << "/" << t.dataOffset);
        Opened c;
        const ByteVec data = Payload(t.present);
        Smb req = WriteReq(kFid, t.offset, data);
        const uint32_t* high = t.large ? &t.offsetHigh : nullptr;
        req.params(WriteWords(kFid, t.offset, t.dataLength, 0, t.dataLengthHigh, high));  // moves the block
        const uint16_t dataOffset = t.dataOffset ? t.dataOffset : uint16_t(req.bytesOffset(0) + 1);
        EXPECT_EQ(c.Req(req.params(WriteWords(kFid, t.offset, t.dataLength, dataOffset, t.dataLengthHigh, high)).frame()),
                  SMB_RET_FILE_CMD);
        EXPECT_EQ(OnlyEvent(c).Fields("data_len offset"), t.expected);
        EXPECT_EQ(OnlyEvent(c).data, ByteVec(data.begin(), data.begin() + long(t.expLen)));
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
    EXPECT_TRUE(c.peer.saved().empty());
    // Without a request; without parameters; WordCount 4 (too short for the Count): only retired.
    EXPECT_EQ(c.Rsp(WriteRsp(4).frame()), SMB_RET_FILE_CMD);
    for (const ByteVec& r : {ErrorRsp(0x2F, 0xC0000022), Smb(0x2F).uid(kUid).tid(kTid).params(Bytes().fill(4)).frame()}) {
        c.Req(WriteReq(kFid, 0, Payload(4)).frame());
        EXPECT_EQ(c.Rsp(r), SMB_RET_FILE_CMD);
        EXPECT_TRUE(c.peer.saved().empty());
    }
    // The requests' events, nothing from the responses.
    EXPECT_EQ(c.sink.Log("type status"), "read|c0000022;write|ffffffff;read|0;write|ffffffff;write|ffffffff");
}

TEST(Close, RefusedOrUnpairedClosesKeepOrReleaseNothing) {
    Opened c;
    c.Req(CloseReq(kFid).frame());
    EXPECT_EQ(c.Rsp(Smb(0x04).uid(kUid).tid(kTid).dosError(1, 6).frame()), SMB_RET_FILE_CMD);  // ERRDOS/ERRbadfid
    c.Req(WriteReq(kFid, 0, Payload(3), 2).frame());  // still open: the write names it
    EXPECT_EQ(c.sink.Log("type status fid"), "close|1000006|16384;write|ffffffff|16384");
    // A response whose request was never seen; an unknown FID; a request too short to name one;
    // a file released (with its tree) between request and response.
    Opened d;
    EXPECT_EQ(d.Rsp(CloseRsp(1).frame()), SMB_RET_NO_OBJECT);
    d.Req(CloseReq(0x31, 2).frame());
    EXPECT_EQ(d.Rsp(CloseRsp(2).frame()), SMB_RET_NO_OBJECT);
    d.Req(Smb(0x04).mid(3).params(Bytes().u16(kFid).u16(0)).frame());
    EXPECT_EQ(d.Rsp(CloseRsp(3).frame()), SMB_RET_NO_OBJECT);
    d.Req(CloseReq(kFid, 4).frame());
    d.peer.ReleaseFileObj(kFid);
    EXPECT_EQ(d.Rsp(CloseRsp(4).frame()), SMB_RET_NO_OBJECT);
    ExpectNothingKept(d);
}

TEST(Close, ChainedAfterReadReportsTheHandedOnFileButReleasesItsOwn) {
    // The close request names the pipe, the read the file: the event names the file (the read
    // handed its FID on), the release keeps to the FID the client asked to close.
    Opened c;
    c.Req(ReadAndXReq(kFid, 0, 4).andx(0x04, Bytes().u16(kPipe).u32(0)).frame());
    Smb rsp = ReadAndXRsp(Payload(4));
    rsp.andx(0x04);
    EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.sink.Log("type file"), "read|\\data.bin;close|\\data.bin");
    EXPECT_EQ(c.peer.files().count(kPipe), 0u);
    EXPECT_EQ(c.peer.files().count(kFid), 1u);
}

}  // namespace
