// Stream intake: NetBIOS framing, buffering across calls and resynchronisation.
#include <gtest/gtest.h>

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

TEST(NetBiosFraming, KeepAliveIsSkippedAlone) {
    Conn c;
    std::vector<int> r = c.Feed(Concat({{0x85, 0, 0, 0}, CloseReq()}), true);
    EXPECT_EQ(r, (std::vector<int>{SMB_RET_NOT_SESSION_MSG, SMB_RET_FILE_CMD}));
}

TEST(NetBiosFraming, MessageSplitOverManyCallsIsParsedOnce) {
    Conn c;
    ByteVec m = CloseReq();
    for (size_t i = 0; i + 1 < m.size(); ++i) EXPECT_EQ(c.Once(ByteVec{m[i]}, true), SMB_RET_NEED_DATA) << i;
    EXPECT_EQ(c.Once(ByteVec{m.back()}, true), SMB_RET_FILE_CMD);
    EXPECT_FALSE(c.ctx.HasBufferedMessage(true));
}

TEST(NetBiosFraming, TwoMessagesInOneChunkNeedTwoCalls) {
    Conn c;
    ByteVec both = Concat({Trans2(), CloseReq()});
    EXPECT_EQ(c.Once(both, true), SMB_RET_OK);
    EXPECT_TRUE(c.ctx.HasBufferedMessage(true));
    EXPECT_FALSE(c.ctx.HasBufferedMessage(false));
    EXPECT_EQ(c.Once({}, true), SMB_RET_FILE_CMD);
    EXPECT_FALSE(c.ctx.HasBufferedMessage(true));
}

TEST(NetBiosFraming, TailOfOneChunkCompletesWithTheNext) {
    Conn c;
    ByteVec two = Concat({CloseReq(), CloseReq(), CloseReq()});
    const size_t cut = two.size() - 5;
    EXPECT_EQ(c.Feed(ByteVec(two.begin(), two.begin() + cut), true),
              (std::vector<int>{SMB_RET_FILE_CMD, SMB_RET_FILE_CMD}));
    EXPECT_EQ(c.Feed(ByteVec(two.begin() + cut, two.end()), true), (std::vector<int>{SMB_RET_FILE_CMD}));
}

TEST(Resync, ChunkInsideAMessageIsDroppedUntilABoundary) {
    Conn c;
    ByteVec m = CloseReq();
    EXPECT_EQ(c.Once(ByteVec(m.begin() + 5, m.end()), true, /*resync=*/true), SMB_RET_OK);
    EXPECT_FALSE(c.ctx.HasBufferedMessage(true));
    EXPECT_EQ(c.Once(m, true), SMB_RET_FILE_CMD);
}

TEST(Resync, ShortChunkStartingWithZeroIsKeptForTheTest) {
    Conn c;
    ByteVec m = CloseReq();
    EXPECT_EQ(c.Once(ByteVec(m.begin(), m.begin() + 6), true, true), SMB_RET_OK);
    EXPECT_EQ(c.Once(ByteVec(m.begin() + 6, m.end()), true), SMB_RET_FILE_CMD);
}

TEST(Resync, OneDirectionDoesNotDisturbTheOther) {
    Conn c;
    ByteVec m = CloseReq();
    // Half a response is buffered, then the request direction loses bytes.
    EXPECT_EQ(c.Once(ByteVec(m.begin(), m.begin() + 10), false), SMB_RET_NEED_DATA);
    EXPECT_EQ(c.Once({0x11, 0x22, 0x33, 0x44, 0x55}, true, true), SMB_RET_OK);
    EXPECT_NE(c.Once(ByteVec(m.begin() + 10, m.end()), false), SMB_RET_NEED_DATA);
    EXPECT_EQ(c.Once(m, true), SMB_RET_FILE_CMD);
}

TEST(SmbHeader, BadSignatureSkipsTheWholeMessage) {
    Conn c;
    EXPECT_EQ(c.Feed(Concat({Smb(0x04).signature("\xFFSMC").params(Bytes().u16(1).u32(0)).frame(), CloseReq()}), true),
              (std::vector<int>{SMB_RET_BAD_FORMAT, SMB_RET_FILE_CMD}));
}

TEST(SmbHeader, BadSignatureOfAPartialMessageSkipsItsTailToo) {
    Conn c;
    ByteVec bad = Smb(0x04).signature("\xFFSMC").params(Bytes().u16(1).u32(0)).data(Bytes().fill(100)).frame();
    EXPECT_EQ(c.Once(ByteVec(bad.begin(), bad.begin() + 40), true), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(c.Feed(Concat({ByteVec(bad.begin() + 40, bad.end()), CloseReq()}), true),
              (std::vector<int>{SMB_RET_FILE_CMD}));
}

TEST(SmbHeader, UnknownCommandsChangeNothing) {
    for (uint8_t cmd : {0x03, 0xA3, 0x24, 0xFF}) {
        Conn c;
        EXPECT_EQ(c.Req(Smb(cmd).params(Bytes().u16(0xFF).u16(0)).frame()), SMB_RET_UNKNOWN_CMD) << int(cmd);
        EXPECT_TRUE(c.peer.saved().empty());
    }
}

// Measures the first block of a whole message as a handler would.
int MeasureFirstBlock(const ByteVec& frame, uint8_t cmd, bool req, uint32_t status = 0, int at = 36) {
    CBufferManager buf(1500);
    buf.LockBuffer(reinterpret_cast<const char*>(frame.data()), unsigned(frame.size()));
    CPktContext ctx;
    ctx.m_pBufMgr = &buf;
    ctx.m_bReq = req;
    ctx.m_cmd = cmd;
    ctx.m_status = status;
    ctx.m_msgLen = unsigned(frame.size());
    int r = GetCmdBlockLen(&ctx, at);
    buf.FreeBuffer();
    return r;
}

TEST(BlockLength, MeasuresWordsAndBytesWithinTheMessage) {
    ByteVec ok = Smb(0x04).params(Bytes().u16(1).u16(0)).data(Bytes().fill(100)).frame();
    EXPECT_EQ(MeasureFirstBlock(ok, 0x04, true), 1 + 4 + 2 + 100);
    // WordCount 2, ByteCount 0x100, but only 100 bytes follow.
    ByteVec past = Smb(0x04).params(Bytes().u16(1).u16(0)).byteCount(0x100).data(Bytes().fill(100)).frame();
    EXPECT_EQ(MeasureFirstBlock(past, 0x04, true), SMB_RET_BAD_FORMAT);
    // A block that starts at the end of the message, as a stray AndX offset would give.
    EXPECT_EQ(MeasureFirstBlock(ok, 0x04, true, 0, int(ok.size())), SMB_RET_BAD_FORMAT);
    // WordCount whose ByteCount would lie beyond the message.
    ByteVec words = Smb(0x04).params(Bytes().u16(1)).wordCount(200).frame();
    EXPECT_EQ(MeasureFirstBlock(words, 0x04, true), SMB_RET_BAD_FORMAT);
}

TEST(BlockLength, NtCreateResponseHasAFixedLength) {
    ByteVec extended = Smb(0xA2).params(Bytes().fill(96)).frame();  // 50 words with the AndX header
    EXPECT_EQ(MeasureFirstBlock(extended, 0xA2, false), 103);
    EXPECT_EQ(MeasureFirstBlock(extended, 0xA2, false, 0xC0000034), 3);
    // The standard 34-word response is shorter than the fixed length.
    ByteVec standard = Smb(0xA2).params(Bytes().fill(64)).frame();
    EXPECT_EQ(MeasureFirstBlock(standard, 0xA2, false), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(MeasureFirstBlock(standard, 0xA2, true), 1 + 68 + 2);
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
