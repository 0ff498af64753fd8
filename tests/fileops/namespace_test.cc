// The namespace commands: Create Directory (0x00), Delete Directory (0x01), Delete (0x06) and
// Rename (0x07; its second name starts after the first one's terminator and may carry its own
// pad byte), their BufferFormat 0x04 path names and their shared response handler.
#include <gtest/gtest.h>

#include "fileops/fileops_support.h"
#include "fileops/path_name.h"

using namespace fileops_test;

namespace {

constexpr uint8_t kCreateDir = 0x00, kDeleteDir = 0x01, kDelete = 0x06, kRename = 0x07;

// Directory requests carry no words; Delete and Rename one (SearchAttributes).
ByteVec PathReq(uint8_t cmd, const Bytes& field, bool unicode = false, uint16_t mid = 1, uint16_t tid = kTid) {
    Smb m = Smb(cmd).uid(kUid).tid(tid).mid(mid).unicode(unicode);
    if (cmd >= kDelete) m.params(Bytes().u16(0x16));
    return m.data(field).frame();
}
ByteVec DirReq(uint8_t cmd, const std::string& name, uint16_t mid = 1) {
    return PathReq(cmd, Bytes().u8(4).strz(name), false, mid);
}
ByteVec NsRsp(uint8_t cmd, uint32_t status = 0, uint16_t mid = 1, uint16_t tid = kTid) {
    return Smb(cmd).uid(kUid).tid(tid).mid(mid).ntStatus(status).frame();
}
// Both UTF-16 names, the second one after its pad byte (it starts at an odd offset).
Bytes RenameNames(const std::u16string& from, const std::u16string& to) {
    return Bytes().u8(4).utf16z(from).u8(4).u8(0).utf16z(to);
}

struct PathCase {
    const char* what;
    Bytes block;
    uint32_t pos;
    bool unicode;
    int used;             // -1: unreadable
    std::u16string name;  // expected name when readable
};

TEST(ReadSmbPathName, ReadsAndMeasures) {
    const PathCase cases[] = {
        {"ascii", Bytes().fill(3).u8(4).strz("abc"), 3, false, 5, u"abc"},
        {"ascii high byte widened", Bytes().fill(3).u8(4).u8('a').u8(0xE9).u8(0), 3, false, 4, u"a\u00E9"},
        {"ascii stops at first zero", Bytes().fill(3).u8(4).strz("ab").strz("cd"), 3, false, 4, u"ab"},
        {"ascii unterminated", Bytes().fill(3).u8(4).str("abc"), 3, false, -1, u""},
        {"wrong format byte", Bytes().fill(3).u8(2).strz("abc"), 3, false, -1, u""},
        {"format byte last in block", Bytes().fill(3).u8(4), 3, false, -1, u""},
        {"position past the block", Bytes().fill(3), 7, false, -1, u""},
        {"utf16 even start: no pad", Bytes().fill(5).u8(4).utf16z(u"\\d\\a"), 5, true, 11, u"\\d\\a"},
        {"utf16 odd start: pad counted", Bytes().fill(4).u8(4).u8(0xAA).utf16z(u"x\u20AC"), 4, true, 8, u"x\u20AC"},
        // No terminator: the name is read to the block's end, the field reaches beyond it.
        {"utf16 unterminated", Bytes().fill(5).u8(4).utf16(u"ab"), 5, true, 7, u"ab"},
        {"utf16 only the pad byte", Bytes().fill(4).u8(4).u8(0), 4, true, 4, u""},
    };
    for (const PathCase& t : cases) {
        SCOPED_TRACE(t.what);
        const ByteVec& b = t.block.vec();
        std::u16string name = u"untouched";
        EXPECT_EQ(ReadSmbPathName(b.data(), uint32_t(b.size()), t.pos, t.unicode, &name), t.used);
        if (t.used >= 0) {
            EXPECT_EQ(name, t.name);
        }
        EXPECT_EQ(ReadSmbPathName(b.data(), uint32_t(b.size()), t.pos, t.unicode, nullptr), t.used);
    }
}

// Every namespace command reports at its response, whatever the status, without a file object.
TEST(Namespace, EventsCarryTheNamesAndTheResponseStatus) {
    struct Case {
        uint8_t cmd;
        Bytes names;
        bool unicode;
        uint32_t status;
        SMBEventType type;
        const char* file;  // or the old name of a rename
    };
    const Case cases[] = {
        {kCreateDir, Bytes().u8(4).utf16z(u"\\new\\dir"), true, 0, SMB_EVT_CREATE, "\\new\\dir"},
        {kDeleteDir, Bytes().u8(4).str("ab").u8(0xE9).u8(0), false, 0xC0000101, SMB_EVT_DELETE, "ab\xE9"},
        // WordCount 1: the name's text starts at block offset 6, even: no pad byte.
        {kDelete, Bytes().u8(4).utf16z(u"\\dir\\a.txt"), true, 0xC0000043, SMB_EVT_DELETE, "\\dir\\a.txt"},
        {kRename, RenameNames(u"\\a.txt", u"\\b.txt"), true, 0, SMB_EVT_RENAME, "\\a.txt"},
        {kRename, Bytes().u8(4).strz("old").u8(4).strz("new"), false, 0x01000005, SMB_EVT_RENAME, "old"},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(testing::Message() << int(t.cmd) << "/" << t.file);
        Session c;
        _smbFileObj* open = c.peer.AddFile(kTid, 7, u"\\dir\\a.txt");
        EXPECT_EQ(c.Req(PathReq(t.cmd, t.names, t.unicode)), SMB_RET_FILE_CMD);
        c.now = CTimeStamp32(1001, 5);
        ByteVec rsp = t.status == 0x01000005 ? Smb(t.cmd).uid(kUid).tid(kTid).dosError(1, 5).frame()
                                             : NsRsp(t.cmd, t.status);
        EXPECT_EQ(c.Rsp(rsp), SMB_RET_FILE_CMD);
        const RecordedEvent& e = OnlyEvent(c);
        EXPECT_EQ(e.type, t.type);
        EXPECT_EQ(e.status, t.status);
        EXPECT_EQ(e.Fields("req rsp tid fid"), "1000|1001|2049|-1");
        if (t.cmd == kRename) {
            EXPECT_EQ(e.s("old_name"), t.file);
            EXPECT_EQ(e.s("new_name"), t.unicode ? "\\b.txt" : "new");
            continue;
        }
        EXPECT_EQ(e.s("file"), t.file);
        EXPECT_EQ(e.n("file_type"), t.cmd == kDelete ? SMB_FT_FILE : SMB_FT_DIRECTORY);
        if (t.cmd == kCreateDir) {
            EXPECT_EQ(e.n("disposition"), 6u);
            EXPECT_EQ(e.n("create_action"), 4u);
        }
        EXPECT_EQ(c.peer.files().at(7), open);  // deleting by name leaves an open file alone
    }
}

// Requests that cannot be followed save nothing: directory commands, Delete, NT Create and
// Open AndX drop them quietly; Rename and Negotiate call them malformed.
TEST(Requests, UnreadableOnesSaveNothing) {
    struct Case {
        const char* what;
        ByteVec req;
        int result;
    };
    const Case cases[] = {
        {"dir no block", PathReq(kCreateDir, Bytes()), SMB_RET_FILE_CMD},
        {"dir unterminated UTF-16", PathReq(kDeleteDir, Bytes().u8(4).utf16(u"abc"), true), SMB_RET_FILE_CMD},
        {"delete WordCount 0", Smb(kDelete).uid(kUid).tid(kTid).data(Bytes().u8(4).strz("a")).frame(),
         SMB_RET_FILE_CMD},
        // ByteCount 4 would read as a format byte and an empty name where WordCount 1 puts the name.
        {"delete WordCount 2", Smb(kDelete).uid(kUid).tid(kTid).params(Bytes().u16(0).u16(0)).data(Bytes().u8(4).strz("ab"))
                                   .frame(), SMB_RET_FILE_CMD},
        {"delete unterminated UTF-16", PathReq(kDelete, Bytes().u8(4).utf16(u"abc"), true), SMB_RET_FILE_CMD},
        {"rename second format byte", PathReq(kRename, Bytes().u8(4).utf16z(u"a").u8(5).u8(0).utf16z(u"b"), true),
         SMB_RET_BAD_FORMAT},
        {"rename first format byte", PathReq(kRename, Bytes().u8(2).utf16z(u"a").u8(4).u8(0).utf16z(u"b"), true),
         SMB_RET_BAD_FORMAT},
        {"rename no second name", PathReq(kRename, Bytes().u8(4).utf16z(u"a"), true), SMB_RET_BAD_FORMAT},
        {"rename second unterminated", PathReq(kRename, Bytes().u8(4).utf16z(u"a").u8(4).u8(0).utf16(u"b"), true),
         SMB_RET_BAD_FORMAT},
        {"rename first unterminated", PathReq(kRename, Bytes().u8(4).str("abc")), SMB_RET_BAD_FORMAT},
        {"rename WordCount 0", Smb(kRename).uid(kUid).tid(kTid).data(RenameNames(u"a", u"b")).frame(),
         SMB_RET_BAD_FORMAT},
        {"rename TID without tree", PathReq(kRename, RenameNames(u"a", u"b"), true, 1, 0x999), SMB_RET_BAD_FORMAT},
        {"NT Create, too few words", Smb(0xA2).uid(kUid).params(Bytes().fill(40)).frame(), SMB_RET_FILE_CMD},
        {"NT Create, no terminator", Smb(0xA2).uid(kUid).params(NtCreateWords()).data(Bytes().str("abc")).frame(),
         SMB_RET_FILE_CMD},
        {"NT Create, no such root", Smb(0xA2).params(NtCreateWords(1, 0, /*rootFid=*/77)).data(Bytes().strz("a")).frame(),
         SMB_RET_FILE_CMD},
        {"Open AndX wants the UTF-16 terminator",
         Smb(0x2D).uid(kUid).tid(kTid).unicode().params(Bytes().fill(26)).data(Bytes().u8(0).utf16(u"abc")).frame(),
         SMB_RET_FILE_CMD},
        {"Open AndX, too few words", Smb(0x2D).uid(kUid).params(Bytes().fill(20)).data(Bytes().strz("a")).frame(),
         SMB_RET_FILE_CMD},
        {"Negotiate, last name without NUL", Smb(0x72).data(Bytes().u8(2).strz("LANMAN1.0").u8(2).str("NT LM 0.12")).frame(),
         SMB_RET_BAD_FORMAT},
        {"Negotiate, trailing byte other than 0x02", Smb(0x72).data(Bytes().u8(2).strz("LANMAN1.0").u8(0)).frame(),
         SMB_RET_BAD_FORMAT},
        {"Negotiate, another buffer format", Smb(0x72).data(Bytes().u8(4).strz("NT LM 0.12")).frame(), SMB_RET_BAD_FORMAT},
        {"Negotiate, parameter words", Smb(0x72).params(Bytes().u16(0)).data(Bytes().u8(2).strz("NT LM 0.12")).frame(),
         SMB_RET_BAD_FORMAT},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.what);
        Session c;
        EXPECT_EQ(c.Req(t.req), t.result);
        ExpectNothingKept(c);
    }
}

TEST(Delete, UnknownTreeIsRebuiltUnderTheKnownConversation) {
    Conn c;
    _smbConvers* conv = c.peer.AddConv(kUid);
    c.Req(PathReq(kDelete, Bytes().u8(4).utf16z(u"x"), true, 1, 0x900));
    EXPECT_EQ(c.Rsp(NsRsp(kDelete, 0, 1, 0x900)), SMB_RET_FILE_CMD);
    EXPECT_EQ(c.sink.Log("type uid tid"), "tcon|2048|2304;delete|2048|2304");
    EXPECT_EQ(c.peer.trees().at(0x900)->m_pConvers, conv);
    EXPECT_EQ(conv->m_trees.size(), 1u);
}

TEST(Namespace, ResponsesMeetOnlyTheirOwnCommandsLatestRecord) {
    Session c;
    c.Req(DirReq(kCreateDir, "\\first"));
    c.Req(DirReq(kCreateDir, "\\second"));
    EXPECT_EQ(c.peer.saved().size(), 1u);
    // A Delete Directory response with the same PID and MID does not take the create.
    EXPECT_EQ(c.Rsp(NsRsp(kDeleteDir)), SMB_RET_NO_REQUEST);
    // ByteCount claims bytes the message does not hold: malformed, the request still waits.
    EXPECT_EQ(c.Rsp(Smb(kCreateDir).uid(kUid).tid(kTid).byteCount(4).frame()), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(c.Rsp(NsRsp(kCreateDir)), SMB_RET_FILE_CMD);
    EXPECT_EQ(OnlyEvent(c).s("file"), "\\second");
    EXPECT_EQ(c.Rsp(NsRsp(kCreateDir)), SMB_RET_NO_REQUEST);
}

}  // namespace
