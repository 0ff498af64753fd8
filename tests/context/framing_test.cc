// Stream intake: NetBIOS framing, buffering across calls and resynchronisation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "support/harness.h"

namespace {

// A Transaction2 request with no parameters: handled without failure, result 0.
ByteVec Trans2(uint16_t mid = 1) { return Smb(0x32).mid(mid).params(Bytes().fill(30)).frame(); }
// A Close request: result 2 once its handler runs.
ByteVec CloseReq(uint16_t fid = 7) { return Smb(0x04).params(Bytes().u16(fid).u32(0)).frame(); }

TEST(NetBiosLength, Port445Uses24BitsOtherPorts17) {
    const ByteVec big = {0x00, 0x01, 0x00, 0x00};  // 65536 either way
    const ByteVec ext = {0x00, 0x02, 0x00, 0x00};  // 131072 on 445, 0 elsewhere
    for (uint16_t port : {445, 139}) {
        Conn c(port);
        EXPECT_EQ(c.Once(big, true), SMB_RET_NEED_DATA) << port;
    }
    Conn on445(445);
    EXPECT_EQ(on445.Once(ext, true), SMB_RET_NEED_DATA);
    Conn on139(139);
    // A zero-length session message is too short for an SMB header and is skipped whole.
    EXPECT_EQ(on139.Once(ext, true), SMB_RET_BAD_FORMAT);
    EXPECT_FALSE(on139.ctx.HasBufferedMessage(true));
    EXPECT_EQ(on139.Req(CloseReq()), SMB_RET_FILE_CMD);
}

// Chunks fed in turn (each drained as the documented loop does), with the results of each:
// keep-alives, messages split or packed together, resynchronisation after lost bytes and
// SMB headers with a bad signature.
TEST(NetBiosFraming, ChunkSequences) {
    struct Step {
        ByteVec chunk;
        bool req = true, resync = false;
        std::vector<int> results;
    };
    const ByteVec m = CloseReq(), three = Concat({m, m, m});
    const ByteVec bad = Smb(0x04).signature("\xFFSMC").params(Bytes().u16(1).u32(0)).data(Bytes().fill(100)).frame();
    auto cut = [](const ByteVec& v, size_t from, size_t to = SIZE_MAX) {
        return ByteVec(v.begin() + from, v.begin() + std::min(to, v.size()));
    };
    const int kNeed = SMB_RET_NEED_DATA, kFile = SMB_RET_FILE_CMD, kOk = SMB_RET_OK, kBad = SMB_RET_BAD_FORMAT;
    std::vector<Step> byteByByte;
    for (uint8_t b : m) byteByByte.push_back({{b}, true, false, {kNeed}});
    byteByByte.back().results = {kFile};
    const struct {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"keep-alive skipped alone", {{Concat({{0x85, 0, 0, 0}, m}), true, false, {SMB_RET_NOT_SESSION_MSG, kFile}}}},
        {"one byte a call, parsed once", byteByByte},
        {"two messages in one chunk", {{Concat({Trans2(), m}), true, false, {kOk, kFile}}}},
        {"tail of one chunk completed by the next",
         {{cut(three, 0, three.size() - 5), true, false, {kFile, kFile}}, {cut(three, three.size() - 5), true, false, {kFile}}}},
        {"resync inside a message drops to the next boundary",
         {{cut(m, 5), true, true, {kOk}}, {m, true, false, {kFile}}}},
        {"resync keeps a short chunk starting with zero for the test",
         {{cut(m, 0, 6), true, true, {kOk}}, {cut(m, 6), true, false, {kFile}}}},
        {"resync of one direction leaves the other's partial message",
         {{cut(m, 0, 10), false, false, {kNeed}}, {{0x11, 0x22, 0x33, 0x44, 0x55}, true, true, {kOk}},
          {cut(m, 10), false, false, {SMB_RET_NO_OBJECT}}, {m, true, false, {kFile}}}},
        {"bad signature skips the whole message",
         {{Concat({Smb(0x04).signature("\xFFSMC").params(Bytes().u16(1).u32(0)).frame(), m}), true, false, {kBad, kFile}}}},
        {"bad signature of a partial message skips its tail too",
         {{cut(bad, 0, 40), true, false, {kBad}}, {Concat({cut(bad, 40), m}), true, false, {kFile}}}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        Conn c;
        for (const Step& step : k.steps) EXPECT_EQ(c.Feed(step.chunk, step.req, step.resync), step.results);
        EXPECT_FALSE(c.ctx.HasBufferedMessage(true) || c.ctx.HasBufferedMessage(false));
    }
}

TEST(SmbHeader, UnknownCommandsChangeNothing) {
    for (uint8_t cmd : {0x03, 0xA3, 0x24, 0xFF}) {
        Conn c;
        EXPECT_EQ(c.Req(Smb(cmd).params(Bytes().u16(0xFF).u16(0)).frame()), SMB_RET_UNKNOWN_CMD) << int(cmd);
        EXPECT_TRUE(c.peer.saved().empty());
    }
}

// Measures the first block of a whole Close request as its handler would.
int MeasureFirstBlock(const ByteVec& frame, int at = 36) {
    CBufferManager buf(1500);
    buf.LockBuffer(reinterpret_cast<const char*>(frame.data()), unsigned(frame.size()));
    CPktContext ctx;
    ctx.m_pBufMgr = &buf;
    ctx.m_bReq = true;
    ctx.m_cmd = 0x04;
    ctx.m_msgLen = unsigned(frame.size());
    int r = GetCmdBlockLen(&ctx, at);
    buf.FreeBuffer();
    return r;
}

TEST(BlockLength, MeasuresWordsAndBytesWithinTheMessage) {
    ByteVec ok = Smb(0x04).params(Bytes().u16(1).u16(0)).data(Bytes().fill(100)).frame();
    EXPECT_EQ(MeasureFirstBlock(ok), 1 + 4 + 2 + 100);
    // WordCount 2, ByteCount 0x100, but only 100 bytes follow.
    ByteVec past = Smb(0x04).params(Bytes().u16(1).u16(0)).byteCount(0x100).data(Bytes().fill(100)).frame();
    EXPECT_EQ(MeasureFirstBlock(past), SMB_RET_BAD_FORMAT);
    // A block that starts at the end of the message, as a stray AndX offset would give.
    EXPECT_EQ(MeasureFirstBlock(ok, int(ok.size())), SMB_RET_BAD_FORMAT);
    // WordCount whose ByteCount would lie beyond the message.
    ByteVec words = Smb(0x04).params(Bytes().u16(1)).wordCount(200).frame();
    EXPECT_EQ(MeasureFirstBlock(words), SMB_RET_BAD_FORMAT);
}

TEST(Oversize, MessageBeyondTheLimitDropsTheDirectionToResync) {
    Conn c;
    SMBContextOptions o;
    o.maxMessageBytes = 4096;
    c.ctx.SetOptions(o);
    ByteVec huge = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 'S', 'M', 'B'};
    EXPECT_EQ(c.Once(huge, true), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(c.ctx.Counters().oversizeDrops, 1u);
    EXPECT_EQ(c.ctx.BufferedBytes(), 0u);
    EXPECT_EQ(c.Once(ByteVec(5000, 0x41), true), SMB_RET_OK);  // the claimed body is thrown away
    EXPECT_EQ(c.Req(CloseReq()), SMB_RET_FILE_CMD);
}

TEST(BufferMemory, QuietDirectionsGiveTheirBuffersBackAtTheTimeOutCheck) {
    // A message cut across chunks needs buffer storage; once it is handled the storage
    // waits for the next one, until the periodic check finds the direction quiet. A
    // partial message survives the check whole.
    Conn c;
    ByteVec msg = CloseReq();
    msg.resize(msg.size() + 3000, 0);  // padding after the block: one long message
    msg[2] = uint8_t((msg.size() - 4) >> 8);
    msg[3] = uint8_t(msg.size() - 4);
    const ByteVec head(msg.begin(), msg.begin() + 1000), tail(msg.begin() + 1000, msg.end());
    EXPECT_EQ(c.Once(head, true), SMB_RET_NEED_DATA);
    c.ctx.CheckTimeOut(CTimeStamp32(5, 0));
    EXPECT_GT(c.ctx.BufferedBytes(), 0u);
    EXPECT_EQ(c.Req(tail), SMB_RET_FILE_CMD) << "the message kept its first part";
    EXPECT_GT(c.ctx.BufferedBytes(), 0u);
    c.ctx.CheckTimeOut(CTimeStamp32(6, 0));
    EXPECT_EQ(c.ctx.BufferedBytes(), 0u);
    EXPECT_EQ(c.Req(head), SMB_RET_NEED_DATA);
    EXPECT_EQ(c.Req(tail), SMB_RET_FILE_CMD) << "and the direction works on";
}

}  // namespace
