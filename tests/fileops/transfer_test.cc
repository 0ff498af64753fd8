// Whole file transfers: open, write, read and close of a file and of a named pipe, and a
// real transfer recorded by others (tests/data/fileops/README.md).
#include <gtest/gtest.h>

#include "fileops/fileops_support.h"
#include "support/segments.h"

using namespace fileops_test;

namespace {

TEST(Transfer, FileOpenWriteReadClose) {
    Conn c;
    LogOn(c);
    const ByteVec content = Payload(200, 3);
    EXPECT_EQ(c.Req(NtCreateReq(u"\\report.txt", 1, 5).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(NtCreateRsp(0x4005, 1).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Req(WriteReq(0x4005, 0, content, 2).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(WriteRsp(200, 2).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Req(ReadAndXReq(0x4005, 0, 200, 3).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(ReadAndXRsp(content, 3).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Req(CloseReq(0x4005, 4).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Rsp(CloseRsp(4).frame()), SMB_RET_FILE_CMD);

    ASSERT_EQ(c.sink.events.size(), 4u);
    const SMBEventType kinds[] = {SMB_EVT_CREATE, SMB_EVT_WRITE, SMB_EVT_READ, SMB_EVT_CLOSE};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(c.sink.events[i].type, kinds[i]) << i;
        EXPECT_EQ(c.sink.events[i].s("file"), "\\report.txt") << i;
        EXPECT_EQ(c.sink.events[i].fid, 0x4005) << i;
        EXPECT_EQ(c.sink.events[i].tid, kTid) << i;
    }
    EXPECT_EQ(c.sink.events[0].n("disposition"), 5u);
    EXPECT_EQ(c.sink.events[1].data, content);
    EXPECT_EQ(c.sink.events[2].data, content);
    EXPECT_TRUE(c.sink.rpcs.empty());
    EXPECT_TRUE(c.peer.files().empty());
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(Transfer, NamedPipeOpenWriteReadClose) {
    Conn c;
    LogOn(c, kUid, kTid, u"\\\\SRV\\IPC$", SMB_TREE_IPC);
    const ByteVec bind = Payload(72, 0x05), ack = Payload(68, 0x06);
    c.Req(NtCreateReq(u"\\srvsvc").frame());
    EXPECT_EQ(c.Rsp(NtCreateRsp(0x4006, 1, 0, /*resourceType=*/2).frame()), SMB_RET_FILE_CMD);
    c.now = {2, 0};
    EXPECT_EQ(c.Req(WriteReq(0x4006, 0, bind, 2).frame()), SMB_RET_PIPE_DATA);
    c.Rsp(WriteRsp(72, 2).frame());
    c.Req(ReadAndXReq(0x4006, 0, 1024, 3).frame());
    c.now = {3, 0};
    EXPECT_EQ(c.Rsp(ReadAndXRsp(ack, 3).frame()), SMB_RET_PIPE_DATA);
    c.Req(CloseReq(0x4006, 4).frame());
    EXPECT_EQ(c.Rsp(CloseRsp(4).frame()), SMB_RET_FILE_CMD);

    ASSERT_EQ(c.sink.events.size(), 2u);  // the create and the close; the payload went to HandleRPC
    EXPECT_EQ(c.sink.events[0].n("file_type"), SMB_FT_PIPE_MESSAGE);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_CLOSE);
    EXPECT_EQ(c.sink.events[1].n("file_type"), SMB_FT_PIPE_MESSAGE);
    ASSERT_EQ(c.sink.rpcs.size(), 2u);
    EXPECT_EQ(c.sink.rpcs[0].data, bind);
    EXPECT_EQ(c.sink.rpcs[0].time.m_sec, 2u);
    EXPECT_EQ(c.sink.rpcs[1].data, ack);
    EXPECT_EQ(c.sink.rpcs[1].time.m_sec, 3u);
    EXPECT_EQ(c.sink.rpcs[0].name, "\\srvsvc");
    EXPECT_TRUE(c.peer.files().empty());
}

// smb-eicar-file.pcap: a client writes the EICAR test file over a null session. The
// expected values are what tshark 4.0 shows for that capture (`tshark -r smb-eicar-file.pcap
// -Y smb -T fields -e smb.file -e smb.fid -e smb.create.disposition -e smb.create.action
// -e smb.end_of_file -e smb.file.rw.offset -e smb.file.rw.length -e smb.file_data`):
// \eicar, FID 0x4000, disposition 5, create action 2, end of file 0, 68 bytes written at
// offset 0 (Write AndX WordCount 14), the close of FID 0x4000; UID and TID 0x0800.
const char kEicar[] = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

std::vector<const RecordedEvent*> FileEvents(const Conn& c) {
    std::vector<const RecordedEvent*> out;
    for (const RecordedEvent& e : c.sink.events)
        if (e.type >= SMB_EVT_CREATE && e.type <= SMB_EVT_WRITE) out.push_back(&e);
    return out;
}

TEST(CapturedTransfer, EicarFileWithTheStandardCreateResponseAccepted) {
    const std::vector<Segment> segs = LoadSegments("fileops/eicar-file.segs");
    ASSERT_EQ(segs.size(), 18u);
    Conn c;
    SMBContextOptions o;
    o.acceptStandardNtCreateRsp = true;
    c.ctx.SetOptions(o);
    ReplaySegments(c, segs);

    // The logon and tree connect were seen, so nothing is rebuilt: logon, tree connect,
    // the three file events, tree disconnect.
    ASSERT_EQ(c.sink.events.size(), 6u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_LOGON);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(c.sink.events[1].s("share"), "\\PUBLIC");
    EXPECT_EQ(c.sink.events[5].type, SMB_EVT_TREE_DISCONNECT);
    const std::vector<const RecordedEvent*> files = FileEvents(c);
    ASSERT_EQ(files.size(), 3u);
    const RecordedEvent& create = *files[0];
    EXPECT_EQ(create.type, SMB_EVT_CREATE);
    EXPECT_EQ(create.status, 0u);
    EXPECT_EQ(create.s("file"), "\\eicar");
    EXPECT_EQ(create.fid, 0x4000);
    EXPECT_EQ(create.uid, 0x0800);
    EXPECT_EQ(create.tid, 0x0800);
    EXPECT_EQ(create.n("disposition"), 5u);
    EXPECT_EQ(create.n("create_action"), 2u);
    EXPECT_EQ(create.n("file_size"), 0u);
    EXPECT_EQ(create.n("file_type"), SMB_FT_FILE);
    EXPECT_EQ(create.reqTime.m_sec, 11u);  // the 11th segment carries the NT Create request
    EXPECT_EQ(create.rspTime.m_sec, 12u);

    const RecordedEvent& write = *files[1];
    EXPECT_EQ(write.type, SMB_EVT_WRITE);
    EXPECT_EQ(write.s("file"), "\\eicar");
    EXPECT_EQ(write.fid, 0x4000);
    EXPECT_EQ(write.n("offset"), 0u);
    EXPECT_EQ(write.n("data_len"), 68u);
    EXPECT_EQ(std::string(write.data.begin(), write.data.end()), kEicar);

    const RecordedEvent& close = *files[2];
    EXPECT_EQ(close.type, SMB_EVT_CLOSE);
    EXPECT_EQ(close.status, 0u);
    EXPECT_EQ(close.s("file"), "\\eicar");
    EXPECT_EQ(close.fid, 0x4000);

    EXPECT_TRUE(c.peer.files().empty());
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(CapturedTransfer, EicarFileByDefaultLosesTheStandardCreateResponse) {
    // The server answers with the 34-word response, which ends its message: by default the
    // response is malformed (-4), no file object exists, and the write and close that follow
    // name a FID the context does not know.
    const std::vector<Segment> segs = LoadSegments("fileops/eicar-file.segs");
    ASSERT_EQ(segs.size(), 18u);
    Conn c;
    std::vector<int> results;
    uint32_t t = 1;
    for (const Segment& s : segs) {
        c.now = CTimeStamp32(t++, 0);
        const std::vector<int> r = c.Feed(s.payload, s.fromClient);
        results.insert(results.end(), r.begin(), r.end());
    }
    ASSERT_EQ(results.size(), segs.size());  // one message per segment
    EXPECT_EQ(results[11], SMB_RET_BAD_FORMAT);  // the NT Create response
    EXPECT_EQ(results[15], SMB_RET_NO_OBJECT);   // the close response without saved close
    EXPECT_TRUE(FileEvents(c).empty());
    EXPECT_TRUE(c.peer.files().empty());
}

// smb-eicar-andx.pcap: a Windows client chains Write AndX and Close behind a Locking AndX
// (tshark: frame 22, commands 0x24, 0x2f, 0x04 on FID 0x4002, write offset 0, length 68;
// the block holds only 59 of the 68 bytes, which caps the reported length unless the
// largeReadWrite option takes the data up to the end of the message).
TEST(CapturedTransfer, WriteChainedBehindLockingAndXNeedsThePassThrough) {
    const std::vector<Segment> segs = LoadSegments("fileops/eicar-andx.segs");
    ASSERT_EQ(segs.size(), 14u);
    for (auto [passThrough, large] : {std::pair{false, false}, {true, false}, {true, true}}) {
        Conn c;
        SMBContextOptions o;
        o.acceptStandardNtCreateRsp = true;
        o.followUnhandledAndX = passThrough;
        o.largeReadWrite = large;
        c.ctx.SetOptions(o);
        ReplaySegments(c, segs);
        std::vector<SMBEventType> kinds;
        for (const RecordedEvent* e : FileEvents(c)) kinds.push_back(e->type);
        if (!passThrough) {
            // The chain ends at the Locking AndX: the create alone is reported.
            EXPECT_EQ(kinds, (std::vector<SMBEventType>{SMB_EVT_CREATE}));
            continue;
        }
        ASSERT_EQ(kinds, (std::vector<SMBEventType>{SMB_EVT_CREATE, SMB_EVT_WRITE, SMB_EVT_CLOSE}));
        const RecordedEvent& write = *FileEvents(c)[1];
        EXPECT_EQ(write.fid, 0x4002);
        EXPECT_EQ(write.s("file"), "\\test.txt");
        EXPECT_EQ(write.n("offset"), 0u);
        const size_t len = large ? 68 : 59;
        EXPECT_EQ(write.n("data_len"), len);
        EXPECT_EQ(write.data, ByteVec(kEicar, kEicar + len));
        EXPECT_EQ(FileEvents(c)[2]->fid, 0x4002);
        EXPECT_TRUE(c.peer.files().empty());
    }
}

}  // namespace
