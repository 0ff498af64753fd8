// NT Create AndX: the request's name and intent, the response's FID and type, the file
// object, reconstruction of a session picked up mid-stream, and the chained FID hand-over.
#include <gtest/gtest.h>

#include "fileops/fileops_support.h"

using namespace fileops_test;

namespace {

TEST(NtCreate, GrantedCreateFilesTheObjectAndReportsIt) {
    Conn c;
    LogOn(c);
    c.now = {10, 1};
    EXPECT_EQ(c.Req(NtCreateReq(u"\\docs\\a.txt", 1, /*disposition=*/3).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.peer.saved().size(), 1u);
    EXPECT_TRUE(c.sink.events.empty());
    c.now = {10, 9};
    EXPECT_EQ(c.Rsp(NtCreateRsp(0x4001, 1, /*eof=*/1234).frame()), SMB_RET_FILE_CMD);

    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.type, SMB_EVT_CREATE);
    EXPECT_EQ(e.status, 0u);
    EXPECT_EQ(e.s("file"), "\\docs\\a.txt");
    EXPECT_EQ(e.n("disposition"), 3u);
    EXPECT_EQ(e.n("create_action"), 1u);
    EXPECT_EQ(e.n("file_size"), 1234u);
    EXPECT_EQ(e.n("file_type"), SMB_FT_FILE);
    EXPECT_EQ(e.reqTime.m_usec, 1u);
    EXPECT_EQ(e.rspTime.m_usec, 9u);
    EXPECT_EQ(e.uid, kUid);
    EXPECT_EQ(e.tid, kTid);
    EXPECT_EQ(e.fid, 0x4001);

    ASSERT_EQ(c.peer.files().count(0x4001), 1u);
    _smbFileObj* f = c.peer.files()[0x4001];
    EXPECT_EQ(Narrow(f->m_fileName), "\\docs\\a.txt");
    EXPECT_EQ(f->m_fileType, SMB_FT_FILE);
    EXPECT_EQ(f->m_pResTree, c.peer.trees()[kTid]);
    EXPECT_EQ(f->m_pResTree->m_files.back(), f);
    EXPECT_TRUE(c.peer.saved().empty());
}

// ResourceType and the Directory byte decide the type; for anything else the request's
// CreateOptions test stands.
struct TypeCase {
    uint32_t options;
    uint16_t resourceType;
    uint8_t directory;
    uint32_t expected;
};
class NtCreateFileType : public ::testing::TestWithParam<TypeCase> {};
TEST_P(NtCreateFileType, FromResponseOrRequest) {
    const TypeCase& t = GetParam();
    Conn c;
    LogOn(c);
    c.Req(NtCreateReq(u"x", 1, 1, t.options).frame());
    c.Rsp(NtCreateRsp(7, 1, 0, t.resourceType, t.directory).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].n("file_type"), t.expected);
    EXPECT_EQ(c.peer.files()[7]->m_fileType, t.expected);
}
INSTANTIATE_TEST_SUITE_P(Types, NtCreateFileType,
                         ::testing::Values(TypeCase{0x40, 0, 0, SMB_FT_FILE}, TypeCase{0x01, 0, 1, SMB_FT_DIRECTORY},
                                           TypeCase{0x40, 0, 1, SMB_FT_DIRECTORY},
                                           TypeCase{0x01, 1, 0, SMB_FT_PIPE_BYTE},  // a pipe, whatever the options
                                           TypeCase{0x00, 2, 0, SMB_FT_PIPE_MESSAGE},
                                           TypeCase{0x00, 3, 0, SMB_FT_PRINTER},
                                           TypeCase{0x01, 9, 0, SMB_FT_DIRECTORY},  // directory asked, 0x41 low bits 01
                                           TypeCase{0x41, 9, 0, SMB_FT_UNKNOWN},    // both bits: not a directory
                                           TypeCase{0x00, 9, 0, SMB_FT_UNKNOWN}));

TEST(NtCreate, StandardResponseIsRejectedByDefault) {
    // The 34-word response of Samba and most non-Windows servers, ending its message: the
    // fixed 103-byte block of a successful response runs past it.
    Conn c;
    LogOn(c);
    c.Req(NtCreateReq(u"a").frame());
    EXPECT_EQ(c.Rsp(NtCreateStandardRsp(5).frame()), SMB_RET_BAD_FORMAT);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_EQ(c.peer.saved().size(), 1u);  // the request still waits
    EXPECT_TRUE(c.peer.files().empty());

    // Followed by enough bytes for the fixed block, it is measured, then too short: dropped.
    EXPECT_EQ(c.Rsp(NtCreateStandardRsp(5).trailer(Bytes().fill(40)).frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_TRUE(c.peer.files().empty());
}

TEST(NtCreate, StandardResponseAcceptedWhenTheOptionIsOn) {
    for (bool padded : {false, true}) {
        Conn c;
        SMBContextOptions o;
        o.acceptStandardNtCreateRsp = true;
        c.ctx.SetOptions(o);
        LogOn(c);
        c.Req(NtCreateReq(u"a").frame());
        Smb rsp = NtCreateStandardRsp(5, 1, 68);
        if (padded) rsp.trailer(Bytes().fill(40));  // the fixed 103-byte block would fit too
        EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_FILE_CMD) << padded;
        ASSERT_EQ(c.sink.events.size(), 1u) << padded;
        EXPECT_EQ(c.sink.events[0].fid, 5);
        EXPECT_EQ(c.sink.events[0].n("file_size"), 68u);
        EXPECT_EQ(c.peer.files().count(5), 1u);
    }
}

TEST(NtCreate, OptionKeepsEverythingElse) {
    SMBContextOptions o;
    o.acceptStandardNtCreateRsp = true;
    // Below 34 words the response is still too short; the extended response still parses.
    Conn c;
    c.ctx.SetOptions(o);
    LogOn(c);
    c.Req(NtCreateReq(u"a", 1).frame());
    EXPECT_EQ(c.Rsp(Smb(0xA2).uid(kUid).tid(kTid).mid(1).params(Bytes().fill(60)).frame()), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(c.Rsp(Smb(0xA2).uid(kUid).tid(kTid).mid(1).params(Bytes().fill(60)).trailer(Bytes().fill(60)).frame()),
              SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    c.Req(NtCreateReq(u"b", 2).frame());
    EXPECT_EQ(c.Rsp(NtCreateRsp(9, 2).frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].fid, 9);
}

TEST(NtCreate, ErrorResponseOnUnknownSessionRebuildsItFirst) {
    Conn c;  // no logon seen: the capture starts here
    c.peer.state().m_dialect = "NT LM 0.12";
    c.Req(NtCreateReq(u"\\secret.doc").frame());
    EXPECT_EQ(c.Rsp(ErrorRsp(0xA2, 0xC0000022)), SMB_RET_FILE_CMD);

    ASSERT_EQ(c.sink.events.size(), 3u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_LOGON);
    EXPECT_EQ(c.sink.events[0].status, 0u);
    EXPECT_EQ(c.sink.events[0].s("dialect"), "NT LM 0.12");
    EXPECT_EQ(c.sink.events[0].s("user"), SMB_MASK);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(c.sink.events[1].n("tree_type"), SMB_TREE_UNKNOWN);
    const RecordedEvent& e = c.sink.events[2];
    EXPECT_EQ(e.type, SMB_EVT_CREATE);
    EXPECT_EQ(e.status, 0xC0000022u);
    EXPECT_EQ(e.s("file"), "\\secret.doc");
    EXPECT_EQ(e.n("disposition"), 1u);
    EXPECT_EQ(e.n("create_action"), 4u);  // nothing granted
    EXPECT_EQ(e.uid, kUid);
    EXPECT_EQ(e.tid, kTid);
    EXPECT_EQ(e.fid, -1);
    EXPECT_TRUE(c.peer.files().empty());
    EXPECT_EQ(c.peer.trees()[kTid]->m_pConvers, c.peer.convers()[kUid]);

    // The rebuilt session is an ordinary one: a second create rebuilds nothing.
    c.Req(NtCreateReq(u"\\b", 2).frame());
    c.Rsp(NtCreateRsp(3, 2).frame());
    ASSERT_EQ(c.sink.events.size(), 4u);
    EXPECT_EQ(c.sink.events[3].type, SMB_EVT_CREATE);
}

TEST(NtCreate, KnownUserUnknownTreeRebuildsOnlyTheTree) {
    Conn c;
    c.peer.AddConv(kUid);
    c.Req(NtCreateReq(u"a").frame());
    c.Rsp(NtCreateRsp(1).frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(c.sink.events[0].uid, kUid);
    EXPECT_EQ(c.peer.files()[1]->m_pResTree->m_pConvers, c.peer.convers()[kUid]);
}

TEST(NtCreate, WordCountZeroWithSuccessOpensFidZero) {
    Conn c;
    LogOn(c);
    c.Req(NtCreateReq(u"a").frame());
    // A successful response is measured at 103 bytes whatever its WordCount says.
    EXPECT_EQ(c.Rsp(Smb(0xA2).uid(kUid).tid(kTid).wordCount(0).trailer(Bytes().fill(100)).frame()),
              SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].fid, 0);
    EXPECT_EQ(c.sink.events[0].n("create_action"), 4u);
    EXPECT_EQ(c.peer.files().count(0), 1u);
}

TEST(NtCreate, ShortResponsesDropTheRequest) {
    for (uint8_t wc : {1, 2, 41}) {
        Conn c;
        LogOn(c);
        c.Req(NtCreateReq(u"a").frame());
        Bytes words;
        words.fill(wc >= 2 ? size_t(2 * wc - 4) : 2);
        Smb rsp = Smb(0xA2).uid(kUid).tid(kTid).params(words).wordCount(wc).trailer(Bytes().fill(110));
        EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_FILE_CMD) << int(wc);
        EXPECT_TRUE(c.sink.events.empty()) << int(wc);
        EXPECT_TRUE(c.peer.saved().empty()) << int(wc);
        EXPECT_TRUE(c.peer.files().empty()) << int(wc);
    }
}

TEST(NtCreate, ResponseWithoutRequestChangesNothing) {
    Conn c;
    LogOn(c);
    EXPECT_EQ(c.Rsp(NtCreateRsp(1).frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.peer.files().empty());
}

TEST(NtCreate, RequestsThatSaveNothing) {
    Conn c;
    LogOn(c);
    // Too few words; no name bytes; an 8-bit name without its terminator.
    EXPECT_EQ(c.Req(Smb(0xA2).uid(kUid).params(Bytes().fill(40)).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Req(Smb(0xA2).uid(kUid).params(NtCreateWords()).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.Req(Smb(0xA2).uid(kUid).params(NtCreateWords()).data(Bytes().str("abc")).frame()),
              SMB_RET_FILE_CMD);
    // A root directory FID that names no open directory.
    EXPECT_EQ(c.Req(Smb(0xA2).params(NtCreateWords(1, 0, /*rootFid=*/77)).data(Bytes().strz("a")).frame()),
              SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(NtCreate, EightBitNameIsWidenedByteForByte) {
    Conn c;
    LogOn(c);
    c.Req(Smb(0xA2).uid(kUid).tid(kTid).params(NtCreateWords()).data(Bytes().str("caf").u8(0xE9).u8(0).str("junk"))
              .frame());
    c.Rsp(NtCreateRsp(2).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.peer.files()[2]->m_fileName, std::u16string(u"caf\u00E9"));
}

TEST(NtCreate, UnicodeNameWithoutTerminatorKeepsWhatTheBlockHolds) {
    // Some clients send the name without its zero code unit; ByteCount still bounds it.
    Conn c;
    LogOn(c);
    c.Req(NtCreateReq(u"").data(Bytes().u8(0).utf16(u"report.pdf").u8(0x41)).frame());  // odd trailing byte
    c.Rsp(NtCreateRsp(2).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].s("file"), "report.pdf");
}

TEST(NtCreate, RootDirectoryPrefixesTheName) {
    Conn c;
    LogOn(c);
    c.peer.AddFile(kTid, 0x10, u"\\dir", SMB_FT_DIRECTORY);
    c.Req(Smb(0xA2).uid(kUid).tid(kTid).unicode().params(NtCreateWords(1, 0x40, 0x10)).data(UnicodeName(u"a.txt"))
              .frame());
    c.Rsp(NtCreateRsp(0x11).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].s("file"), "\\dira.txt");
}

TEST(NtCreate, ReusedFidReplacesTheOldFileObject) {
    Conn c;
    LogOn(c);
    c.Req(NtCreateReq(u"old", 1).frame());
    c.Rsp(NtCreateRsp(4, 1).frame());
    c.Req(NtCreateReq(u"new", 2).frame());
    c.Rsp(NtCreateRsp(4, 2).frame());
    ASSERT_EQ(c.peer.files().size(), 1u);
    EXPECT_EQ(Narrow(c.peer.files()[4]->m_fileName), "new");
    ASSERT_EQ(c.peer.trees()[kTid]->m_files.size(), 1u);
    EXPECT_EQ(c.peer.trees()[kTid]->m_files.front(), c.peer.files()[4]);
}

TEST(NtCreate, SecondRequestUnderTheSameKeyWins) {
    Conn c;
    LogOn(c);
    c.Req(NtCreateReq(u"first", 5).frame());
    c.Req(NtCreateReq(u"second", 5).frame());
    c.Rsp(NtCreateRsp(1, 5).frame());
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].s("file"), "second");
}

// NT Create + Read AndX + Close in one message each way; the read and the close name FID
// 0xFFFF and find the file by the FID the create response hands on.
TEST(NtCreate, ChainedReadAndCloseUseTheHandedOnFid) {
    Conn c;
    LogOn(c);
    Smb req = NtCreateReq(u"\\chain.txt");
    req.andx(0x2E, ReadAndXWords(0xFFFF, 0, 512)).andx(0x04, Bytes().u16(0xFFFF).u32(0));
    EXPECT_EQ(c.Req(req.frame()), SMB_RET_FILE_CMD);
    // The close is checked at its request, where FID 0xFFFF names no open file: not saved.
    EXPECT_EQ(c.peer.saved().size(), 2u);

    const ByteVec data = Payload(300);
    Smb rsp = NtCreateRsp(0x4002, 1, 300);
    rsp.andx(0x2E, ReadAndXRspWords(0, 0));
    const uint16_t dataOffset = uint16_t(rsp.bytesOffset(1) + 1);
    rsp.params(ReadAndXRspWords(uint16_t(data.size()), dataOffset)).data(Bytes().u8(0).raw(data));
    rsp.andx(0x04);
    // The close response meets no saved request; its result travels back up the chain.
    EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_NO_OBJECT);
    EXPECT_EQ(c.peer.files().count(0x4002), 1u);
    EXPECT_TRUE(c.peer.saved().empty());

    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_CREATE);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_READ);
    EXPECT_EQ(c.sink.events[1].fid, 0x4002);
    EXPECT_EQ(c.sink.events[1].s("file"), "\\chain.txt");
    EXPECT_EQ(c.sink.events[1].n("count"), 512u);
    EXPECT_EQ(c.sink.events[1].data, data);
}

TEST(NtCreate, ChainMakesAnErrorHeaderASuccessForTheCreate) {
    Conn c;
    LogOn(c);
    c.Req(NtCreateReq(u"f").andx(0x2E, ReadAndXWords(0xFFFF, 0, 16)).frame());
    Smb rsp = NtCreateRsp(0x22).ntStatus(0x80000005);  // STATUS_BUFFER_OVERFLOW, a warning
    rsp.andx(0x2E, ReadAndXRspWords(0, 0));
    c.Rsp(rsp.frame());
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].status, 0u);
    EXPECT_EQ(c.sink.events[0].fid, 0x22);
    EXPECT_EQ(c.peer.files().count(0x22), 1u);
    EXPECT_EQ(c.sink.events[1].status, 0x80000005u);  // the read sees the header status
    EXPECT_EQ(c.sink.events[1].fid, 0x22);
}

TEST(NtCreate, AllocationFailures) {
    // The saved record (after the name, which comes first for a Unicode request).
    {
        Conn c;
        LogOn(c);
        ZELK::FailNthAllocation(1);
        EXPECT_EQ(c.Req(NtCreateReq(u"a").andx(0x2E, ReadAndXWords(1, 0, 1)).frame()), SMB_RET_NO_MEMORY);
        EXPECT_TRUE(c.peer.saved().empty());  // nor the chained read
    }
    // The widening buffer of an 8-bit name: nothing saved, the chain goes on.
    {
        Conn c;
        LogOn(c);
        ZELK::FailNthAllocation(1);
        EXPECT_EQ(c.Req(Smb(0xA2).params(NtCreateWords()).data(Bytes().strz("a")).frame()), SMB_RET_FILE_CMD);
        EXPECT_TRUE(c.peer.saved().empty());
    }
    // The file object: no event, no file, the record gone.
    {
        Conn c;
        LogOn(c);
        c.Req(NtCreateReq(u"a").frame());
        const long live = ZELK::LiveAllocations();
        ZELK::FailNthAllocation(1);
        EXPECT_EQ(c.Rsp(NtCreateRsp(1).frame()), SMB_RET_NO_MEMORY);
        EXPECT_TRUE(c.sink.events.empty());
        EXPECT_TRUE(c.peer.files().empty());
        EXPECT_TRUE(c.peer.saved().empty());
        EXPECT_EQ(ZELK::LiveAllocations(), live - 1);
    }
}

TEST(NtCreate, FileKeptWithoutTreeWhenTheRebuiltTreeCannotBeHad) {
    Conn c;
    c.Req(NtCreateReq(u"a").frame());
    ZELK::FailNthAllocation(2);  // the conversation is rebuilt, the tree is not
    EXPECT_EQ(c.Rsp(NtCreateRsp(6).frame()), SMB_RET_FILE_CMD);
    ASSERT_EQ(c.sink.events.size(), 2u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_LOGON);
    EXPECT_EQ(c.sink.events[1].tid, -1);
    EXPECT_EQ(c.sink.events[1].fid, 6);
    ASSERT_EQ(c.peer.files().count(6), 1u);
    EXPECT_EQ(c.peer.files()[6]->m_pResTree, nullptr);
    // The file is still usable and closes cleanly.
    c.Req(CloseReq(6).frame());
    c.Rsp(CloseRsp().frame());
    EXPECT_TRUE(c.peer.files().empty());
}

}  // namespace
