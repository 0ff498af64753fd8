// NT Create AndX and Open AndX: the request's name and intent, the response's FID and type,
// the file object, reconstruction of a session picked up mid-stream, the chained FID hand-over.
#include <gtest/gtest.h>

#include "fileops/fileops_support.h"
#include "session/session_frames.h"

using namespace fileops_test;

namespace {

Smb OpenReq(const Bytes& name, uint16_t openMode = 0x11, uint16_t fileAttrs = 0, bool unicode = true) {
    const Bytes words = Bytes().u16(0).u16(0x0042).u16(0x16).u16(fileAttrs).u32(0).u16(openMode).u32(0).u32(0).u32(0);
    return std::move(Smb(0x2D).uid(kUid).tid(kTid).unicode(unicode).params(words).data(name));
}
Bytes OpenRspWords(uint16_t fid, uint32_t size = 0, uint16_t resourceType = 0, uint16_t openResults = 1,
                   uint16_t attrs = 0) {
    return Bytes().u16(fid).u16(attrs).u32(0).u32(size).u16(3).u16(resourceType).u16(0).u16(openResults).fill(6);
}
Smb OpenRsp(uint16_t fid, uint16_t resourceType = 0, uint16_t attrs = 0) {
    return std::move(Smb(0x2D).uid(kUid).tid(kTid).params(OpenRspWords(fid, 0, resourceType, 1, attrs)));
}

// ResourceType and the Directory byte (NT Create), the attributes (Open AndX) decide the type;
// for any other ResourceType the request's CreateOptions or attributes stand. The other fields
// of a granted create ride along.
TEST(Create, GrantedCreateAndItsFileType) {
    struct Case {
        bool openAndX;
        uint32_t reqBits;  // CreateOptions, or the Open AndX request's attributes
        uint16_t resourceType;
        uint8_t rspBits;  // the Directory byte, or the Open AndX response's attributes
        uint32_t expected;
    };
    for (const Case& t : {Case{false, 0x40, 0, 0, SMB_FT_FILE}, Case{false, 0x01, 0, 1, SMB_FT_DIRECTORY},
                          Case{false, 0x40, 0, 1, SMB_FT_DIRECTORY}, Case{false, 0x01, 1, 0, SMB_FT_PIPE_BYTE},
                          Case{false, 0x00, 2, 0, SMB_FT_PIPE_MESSAGE}, Case{false, 0x00, 3, 0, SMB_FT_PRINTER},
                          Case{false, 0x01, 9, 0, SMB_FT_DIRECTORY},  // a directory asked for
                          Case{false, 0x41, 9, 0, SMB_FT_UNKNOWN},    // both bits: not a directory
                          Case{false, 0x00, 9, 0, SMB_FT_UNKNOWN}, Case{true, 0x10, 9, 0, SMB_FT_DIRECTORY},
                          Case{true, 0x00, 9, 0, SMB_FT_FILE}, Case{true, 0x00, 0, 0x10, SMB_FT_DIRECTORY},
                          Case{true, 0x10, 0, 0x00, SMB_FT_FILE}, Case{true, 0, 2, 0, SMB_FT_PIPE_MESSAGE}}) {
        SCOPED_TRACE(testing::Message() << t.openAndX << "/" << t.reqBits << "/" << t.resourceType);
        Session c;
        if (t.openAndX) {
            c.Req(OpenReq(UnicodeName(u"x"), 1, uint16_t(t.reqBits)).frame());
            c.Rsp(OpenRsp(7, t.resourceType, t.rspBits).frame());
        } else {
            c.Req(NtCreateReq(u"x", 1, /*disposition=*/3, t.reqBits).frame());
            c.now = {10, 9};
            c.Rsp(NtCreateRsp(7, 1, /*eof=*/1234, t.resourceType, t.rspBits).frame());
            EXPECT_EQ(OnlyEvent(c).Fields("disposition create_action file_size rsp"), "3|1|1234|10");
        }
        EXPECT_EQ(OnlyEvent(c).n("file_type"), t.expected);  // and the file object's (captures: close records)
    }
}

// A successful response is measured at 103 bytes whatever its WordCount: WordCount 0 opens
// FID 0; 1, 2 and 41 words are too short and drop the request. The 34-word response of Samba
// and most non-Windows servers: by default its fixed-length block runs past the message that
// ends with it (the request waits), or, followed by enough bytes, is measured and found too
// short (the request is dropped); acceptStandardNtCreateRsp reads it as WordCount and
// ByteCount measure it.
TEST(NtCreate, ResponseLengths) {
    auto words = [](uint8_t wc) {
        return Smb(0xA2).uid(kUid).tid(kTid).params(Bytes().fill(wc >= 2 ? size_t(2 * wc - 4) : wc == 1 ? 2 : 0))
            .wordCount(wc).trailer(Bytes().fill(110));
    };
    struct Case {
        bool option;
        Smb rsp;
        int result;
        int fid;  // of the file reported, -1: none
        bool stillSaved;
    };
    const Case cases[] = {
        {false, NtCreateStandardRsp(5, 1, 68), SMB_RET_BAD_FORMAT, -1, true},
        {false, NtCreateStandardRsp(5, 1, 68).trailer(Bytes().fill(40)), SMB_RET_FILE_CMD, -1, false},
        {true, NtCreateStandardRsp(5, 1, 68), SMB_RET_FILE_CMD, 5, false},
        {true, NtCreateStandardRsp(5, 1, 68).trailer(Bytes().fill(40)), SMB_RET_FILE_CMD, 5, false},
        {true, std::move(Smb(0xA2).uid(kUid).tid(kTid).params(Bytes().fill(60))), SMB_RET_BAD_FORMAT, -1, true},
        {false, words(0), SMB_RET_FILE_CMD, 0, false},
        {false, words(1), SMB_RET_FILE_CMD, -1, false},
        {false, words(2), SMB_RET_FILE_CMD, -1, false},
        {false, words(41), SMB_RET_FILE_CMD, -1, false},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(testing::Message() << t.option << "/" << t.rsp.frame().size());
        Session c;
        SMBContextOptions o;
        o.acceptStandardNtCreateRsp = t.option;
        c.ctx.SetOptions(o);
        c.Req(NtCreateReq(u"a").frame());
        EXPECT_EQ(c.Rsp(t.rsp.frame()), t.result);
        EXPECT_EQ(c.sink.Log("fid file_size"), t.fid < 0 ? "" : std::to_string(t.fid) + (t.fid ? "|68" : "|0"));
        EXPECT_EQ(c.peer.files().size(), t.fid < 0 ? 0u : 1u);
        EXPECT_EQ(c.peer.saved().size(), t.stillSaved ? 1u : 0u);
    }
    Session c;  // a response without request does nothing
    EXPECT_EQ(c.Rsp(NtCreateRsp(1).frame()), SMB_RET_FILE_CMD);
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.peer.files().empty());
}

TEST(NtCreate, ErrorResponseOnUnknownSessionRebuildsItFirst) {
    Conn c;  // no logon seen: the capture starts here
    c.peer.state().m_dialect = "NT LM 0.12";
    c.Req(NtCreateReq(u"\\secret.doc").frame());
    EXPECT_EQ(c.Rsp(ErrorRsp(0xA2, 0xC0000022)), SMB_RET_FILE_CMD);
    // Nothing granted: create action 4, no FID.
    EXPECT_EQ(c.sink.Log("type uid tid fid status"), "logon|2048|-1|-1|0;tcon|2048|2049|-1|0;create|2048|2049|-1|c0000022");
    ASSERT_EQ(c.sink.events.size(), 3u);
    EXPECT_EQ(c.sink.events[0].Fields("dialect user"), std::string("NT LM 0.12|") + SMB_MASK);
    EXPECT_EQ(c.sink.events[2].Fields("file create_action"), "\\secret.doc|4");
    EXPECT_EQ(c.peer.trees()[kTid]->m_pConvers, c.peer.convers()[kUid]);
    // The rebuilt session is an ordinary one: a second create rebuilds nothing.
    c.Req(NtCreateReq(u"\\b", 2).frame());
    c.Rsp(NtCreateRsp(3, 2).frame());
    EXPECT_EQ(c.sink.events.size(), 4u);
}

// Names as the file object keeps them, each under a FID the server hands out again (the new
// object replaces the stale one in the tree too).
TEST(Create, NamesAndReusedFids) {
    struct Case {
        Smb req;
        std::u16string expected;
    };
    const Case cases[] = {
        // 8-bit names are widened byte for byte and end at the first zero.
        {Smb(0xA2).uid(kUid).tid(kTid).params(NtCreateWords()).data(Bytes().str("caf").u8(0xE9).u8(0).str("junk")),
         u"caf\u00E9"},
        // NT Create keeps an unterminated UTF-16 name as far as ByteCount reaches (odd byte dropped).
        {NtCreateReq(u"").data(Bytes().u8(0).utf16(u"report.pdf").u8(0x41)), u"report.pdf"},
        // Relative to an open directory: joined as they stand, no separator added.
        {Smb(0xA2).uid(kUid).tid(kTid).unicode().params(NtCreateWords(1, 0x40, 0x10)).data(UnicodeName(u"a.txt")),
         u"\\dira.txt"},
        {OpenReq(UnicodeName(u"")), u""},
        {OpenReq(Bytes().str("r").u8(0xE9).u8(0), 1, 0, false), u"r\u00E9"},
    };
    for (const Case& t : cases) {
        Session c;
        c.peer.AddFile(kTid, 0x10, u"\\dir", SMB_FT_DIRECTORY);
        c.peer.AddFile(kTid, 2, u"stale");
        c.Req(t.req.frame());
        c.Rsp((t.req.frame()[8] == 0xA2 ? NtCreateRsp(2) : OpenRsp(2)).frame());
        EXPECT_EQ(c.peer.files().at(2)->m_fileName, t.expected);
        ASSERT_EQ(c.peer.trees()[kTid]->m_files.size(), 2u);
        EXPECT_EQ(c.peer.trees()[kTid]->m_files.back(), c.peer.files()[2]);
    }
}

TEST(NtCreate, FileKeptWithoutTreeWhenTheRebuiltTreeCannotBeHad) {
    Conn c;
    c.Req(NtCreateReq(u"a").frame());
    ZELK::FailNthAllocation(2);  // the conversation is rebuilt, the tree is not
    EXPECT_EQ(c.Rsp(NtCreateRsp(6).frame()), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.sink.Log("type tid fid"), "logon|-1|-1;create|-1|6");
    // The file is still usable and closes cleanly.
    c.Req(CloseReq(6).frame());
    c.Rsp(CloseRsp().frame());
    EXPECT_TRUE(c.peer.files().empty());
}

// OpenMode: bit 4 creates a missing file, bits 0-1 open (1) or truncate (2) an existing one.
// OpenResults 0x8001 is "opened" with the oplock bit, which is not part of the action; odd
// rows answer with the extended 19-word response, whose fields lie at the same places.
TEST(OpenAndX, GrantedOpenTranslatesOpenModeAndReadsTheResponse) {
    const std::pair<uint16_t, uint32_t> modes[] = {{0x00, 6}, {0x03, 6}, {0x01, 1}, {0x11, 1},
                                                   {0x02, 4}, {0x12, 4}, {0x10, 2}, {0x13, 2}};
    bool extended = false;
    for (const auto& [openMode, disposition] : modes) {
        SCOPED_TRACE(openMode);
        Session c;
        c.Req(OpenReq(UnicodeName(u"\\old\\app.ini"), openMode).frame());
        Bytes words = OpenRspWords(0x31, 5000, 0, 0x8001);
        if ((extended = !extended)) words.fill(8);
        EXPECT_EQ(c.Rsp(Smb(0x2D).uid(kUid).tid(kTid).params(words).frame()), SMB_RET_FILE_CMD);
        EXPECT_EQ(OnlyEvent(c).Fields("type disposition file create_action file_size fid"),
                  "create|" + std::to_string(disposition) + "|\\old\\app.ini|1|5000|49");
    }
}

TEST(OpenAndX, RefusedOpenRebuildsNothingAGrantedOneDoes) {
    Conn c;  // mid-stream: neither the logon nor the tree connect was seen
    c.Req(OpenReq(UnicodeName(u"\\locked"), 0x12).frame());
    EXPECT_EQ(c.Rsp(ErrorRsp(0x2D, 0xC0000043)), SMB_RET_FILE_CMD);
    EXPECT_EQ(OnlyEvent(c).Fields("status file uid tid"), "c0000043|\\locked|-1|-1");
    c.Req(OpenReq(UnicodeName(u"a")).mid(2).frame());
    c.Rsp(OpenRsp(8).mid(2).frame());
    EXPECT_EQ(c.sink.Log("type"), "create;logon;tcon;create");
}

}  // namespace
