// Transaction (0x25) TRANS_TRANSACT_NMPIPE payloads to HandleRPC, and Transaction2 (0x32)
// SET_FILE_INFORMATION marking an open file for deletion.
#include <gtest/gtest.h>

#include <optional>

#include "fileops/fileops_support.h"

using namespace fileops_test;

namespace {

constexpr uint8_t kTrans = 0x25, kTrans2 = 0x32;
constexpr uint16_t kFid = 0x4002;
constexpr uint16_t kTransactNmPipe = 0x0026, kSetFileInfo = 0x0008, kDispositionLevel = 1013;

ByteVec Rpc(uint8_t tag, size_t n) { return n ? Bytes().u8(5).u8(0).u8(tag).fill(n - 3, 0xA5).vec() : ByteVec{}; }

// A Transaction or Transaction2 request: 14 words and the setup words, then ByteCount, the
// name, the parameters and the data; counts and offsets computed unless overridden.
struct TransReq {
    uint8_t cmd = kTrans;
    std::vector<uint16_t> setup = {kTransactNmPipe, kFid};
    std::string name = "\\PIPE\\";
    bool unicode = false;
    Bytes nameField;  // used instead of `name` when not empty
    Bytes param;
    ByteVec data = Rpc(0, 72);
    std::optional<uint16_t> paramCount, paramOffset, dataCount, dataOffset;
    uint16_t tid = kTid;

    ByteVec frame() const {
        Bytes field = nameField;
        if (field.size() == 0 && unicode) field.u8(0).utf16z(std::u16string(name.begin(), name.end()));  // pad
        if (field.size() == 0 && !unicode) field.strz(name);
        auto words = [&](uint16_t po) {
            Bytes w;
            w.u16(uint16_t(param.size())).u16(uint16_t(data.size())).u16(2).u16(1024).u8(0).u8(0).u16(0).u32(0).u16(0);
            w.u16(paramCount.value_or(uint16_t(param.size()))).u16(paramOffset.value_or(po));
            w.u16(dataCount.value_or(uint16_t(data.size()))).u16(dataOffset.value_or(uint16_t(po + param.size())));
            w.u8(uint8_t(setup.size())).u8(0);
            for (uint16_t s : setup) w.u16(s);
            return w;
        };
        const Bytes bytes = Bytes().raw(field).raw(param).raw(data);
        const uint16_t po = uint16_t(Smb(cmd).params(words(0)).data(bytes).bytesOffset(0) + field.size());
        return Smb(cmd).uid(kUid).tid(tid).unicode(unicode).params(words(po)).data(bytes).frame();
    }
};

struct TransRsp {
    ByteVec data = Rpc(2, 92);
    std::optional<uint16_t> dataCount, dataOffset;
    uint8_t extraWords = 0;  // setup words after the ten
    uint32_t status = 0;

    ByteVec frame() const {
        auto words = [&](uint16_t dof) {
            Bytes w;
            w.u16(0).u16(uint16_t(data.size())).u16(0).u16(0).u16(0).u16(0);
            w.u16(dataCount.value_or(uint16_t(data.size()))).u16(dataOffset.value_or(dof)).u16(0);
            return w.u8(extraWords).u8(0).fill(2 * extraWords);
        };
        const Bytes bytes = Bytes().u8(0).raw(data);  // one pad byte, then the data
        const uint16_t dof = uint16_t(Smb(kTrans).params(words(0)).data(bytes).bytesOffset(0) + 1);
        return Smb(kTrans).uid(kUid).tid(kTid).ntStatus(status).params(words(dof)).data(bytes).frame();
    }
};

struct OpenPipe : Session {
    OpenPipe() : Session(u"\\IPC$", SMB_TREE_IPC) {}
    _smbFileObj* pipe = peer.AddFile(kTid, kFid, u"\\srvsvc", SMB_FT_PIPE_MESSAGE);
};

TEST(TransactNmPipe, BothDirectionsReachHandleRpc) {
    struct Case {
        bool unicode;
        size_t reqLen, rspLen;
        uint32_t status;  // STATUS_BUFFER_OVERFLOW comes with the first part of a long reply
        uint8_t extraWords;
        uint16_t dataCount;  // announced in both directions (0: as sent); cut to the block
    };
    for (const Case& t : {Case{true, 72, 92, 0, 0, 0}, Case{false, 0, 0, 0, 0, 0},
                          Case{false, 40, 60, 0x80000005, 1, 0}, Case{false, 72, 92, 0, 0, 0xFFFF}}) {
        SCOPED_TRACE(testing::Message() << t.unicode << "/" << t.reqLen << "/" << t.status);
        OpenPipe c;
        TransReq req;
        req.unicode = t.unicode;
        req.data = Rpc(0, t.reqLen);
        if (t.dataCount) req.dataCount = t.dataCount;
        EXPECT_EQ(c.Req(req.frame()), SMB_RET_OK);
        c.now = CTimeStamp32(1003, 7);
        TransRsp rsp;
        rsp.data = Rpc(2, t.rspLen);
        rsp.status = t.status;
        rsp.extraWords = t.extraWords;
        if (t.dataCount) rsp.dataCount = t.dataCount;
        EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_OK);
        ASSERT_EQ(c.sink.rpcs.size(), 2u);
        EXPECT_EQ(c.sink.rpcs[0].file, c.pipe);
        EXPECT_EQ(c.sink.rpcs[0].data, req.data);
        EXPECT_EQ(c.sink.rpcs[0].time.m_sec, 1000u);
        EXPECT_EQ(c.sink.rpcs[1].file, c.pipe);
        EXPECT_EQ(c.sink.rpcs[1].data, rsp.data);
        EXPECT_EQ(c.sink.rpcs[1].time.m_usec, 7u);
        ExpectNothingKept(c);
    }
}

// Requests: the payload must lie in the block (but with no data to read the offset does not
// matter); names are compared exactly, and only the six characters LANMAN after the prefix
// exclude. A request followed delivers its payload and waits for the response.
TEST(TransactNmPipe, WhichRequestsAreFollowed) {
    auto req = [](auto change) {
        TransReq t;
        change(t);
        return t.frame();
    };
    auto named = [&](const char* name, bool unicode = false, std::vector<uint16_t> setup = {kTransactNmPipe, kFid}) {
        return req([&](TransReq& t) { t.name = name, t.unicode = unicode, t.setup = setup; });
    };
    auto dataAt = [&](uint16_t off) { return req([&](TransReq& t) { t.dataOffset = off; }); };
    const uint16_t end = uint16_t(TransReq{}.frame().size() - 4);
    struct Case { const char* what; ByteVec req; int result; bool followed; } cases[] = {
        {"data inside the SMB header", dataAt(8), SMB_RET_BAD_FORMAT, false},
        {"data offset 0", dataAt(0), SMB_RET_BAD_FORMAT, false},
        {"data far outside", dataAt(0x2000), SMB_RET_BAD_FORMAT, false},
        {"data at the first byte after the block", dataAt(end), SMB_RET_BAD_FORMAT, false},
        {"no data, wild offset", req([](TransReq& t) { t.data.clear(), t.dataOffset = 0xFFFF; }), SMB_RET_OK, true},
        {"WordCount 13", Smb(kTrans).uid(kUid).tid(kTid).params(Bytes().fill(26)).frame(), SMB_RET_BAD_FORMAT, false},
        {"ByteCount 0: no name",
         Smb(kTrans).uid(kUid).tid(kTid).params(Bytes().fill(26).u8(2).u8(0).u16(kTransactNmPipe).u16(kFid)).frame(),
         SMB_RET_BAD_FORMAT, false},
        {"unterminated name", req([](TransReq& t) { t.nameField = Bytes().str("\\PIPE\\"), t.data.clear(); }),
         SMB_RET_BAD_FORMAT, false},
        {"unknown FID", req([](TransReq& t) { t.setup = {kTransactNmPipe, 0x1234}; }), SMB_RET_NO_OBJECT, false},
        {"LANMAN, no setup", named("\\PIPE\\LANMAN", false, {}), SMB_RET_OK, false},
        {"LANMAN", named("\\PIPE\\LANMAN"), SMB_RET_OK, false},
        {"lower-case prefix", named("\\pipe\\"), SMB_RET_OK, false},
        {"lower-case prefix, Unicode", named("\\pipe\\srvsvc", true), SMB_RET_OK, false},
        {"mailslot", named("\\MAILSLOT\\BROWSE", false, {1, 1, 2}), SMB_RET_OK, false},
        {"no separator", named("\\PIPE"), SMB_RET_OK, false},
        {"TRANS_PEEK_NMPIPE", named("\\PIPE\\", false, {0x0023, kFid}), SMB_RET_OK, false},
        {"LAN", named("\\PIPE\\LAN"), SMB_RET_OK, true},
        {"lanman", named("\\PIPE\\lanman"), SMB_RET_OK, true},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.what);
        OpenPipe c;
        EXPECT_EQ(c.Req(t.req), t.result);
        EXPECT_EQ(c.sink.rpcs.size(), t.followed ? 1u : 0u);
        EXPECT_EQ(c.peer.saved().size(), t.followed ? 1u : 0u);
    }
}

// Responses to a followed request: the usual error response (no parameters), a short one, a
// payload outside the message, a pipe closed before its reply came: nothing delivered, the
// record gone.
TEST(TransactNmPipe, ResponsesThatDeliverNothing) {
    TransRsp outside;
    outside.dataOffset = 0x7000;
    struct Case { const char* what; ByteVec rsp; int result; bool closed = false; } cases[] = {
        {"error", Smb(kTrans).uid(kUid).tid(kTid).ntStatus(0xC00000B0).frame(), SMB_RET_OK},
        {"short", Smb(kTrans).uid(kUid).tid(kTid).params(Bytes().fill(10)).frame(), SMB_RET_BAD_FORMAT},
        {"payload outside", outside.frame(), SMB_RET_BAD_FORMAT},
        {"pipe closed", TransRsp{}.frame(), SMB_RET_NO_OBJECT, true},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.what);
        OpenPipe c;
        c.Req(TransReq{}.frame());
        if (t.closed) c.peer.ReleaseFileObj(kFid);
        EXPECT_EQ(c.Rsp(t.rsp), t.result);
        EXPECT_EQ(c.sink.rpcs.size(), 1u);
        EXPECT_TRUE(c.peer.saved().empty());
    }
}

TEST(TransactNmPipe, FewerThanTwoSetupWordsUseFid0xFFFF) {
    for (std::vector<uint16_t> setup : {std::vector<uint16_t>{}, std::vector<uint16_t>{kTransactNmPipe}}) {
        OpenPipe c;
        TransReq req;
        req.setup = setup;
        EXPECT_EQ(c.Req(req.frame()), SMB_RET_NO_OBJECT) << setup.size();
        _smbFileObj* anon = c.peer.AddFile(kTid, 0xFFFF, u"\\anon", SMB_FT_PIPE_BYTE);
        EXPECT_EQ(c.Req(req.frame()), SMB_RET_OK) << setup.size();
        ASSERT_EQ(c.sink.rpcs.size(), 1u);
        EXPECT_EQ(c.sink.rpcs[0].file, anon);
    }
}

// TRANS2_SET_FILE_INFORMATION, FileDispositionInformation, DeletePending 1.
TransReq Trans2(const Bytes& param = Bytes().u16(kFid).u16(kDispositionLevel).u16(0), uint8_t pending = 1) {
    TransReq t;
    t.cmd = kTrans2;
    t.setup = {kSetFileInfo};
    t.nameField = Bytes().u8(0).fill(2);  // the empty name, then pad to the parameters
    t.param = param;
    t.data = {pending};
    return t;
}
ByteVec Trans2Rsp(uint32_t status = 0) {
    return Smb(kTrans2).uid(kUid).tid(kTid).ntStatus(status).params(Bytes().fill(20)).frame();
}
struct OpenFile : Session {
    _smbFileObj* file = peer.AddFile(kTid, kFid, u"\\doomed.txt", SMB_FT_FILE);
};

// Transactions that are looked at but not followed: result 0, nothing saved; and malformed
// or unknown objects of the followed one, including parameters and data outside the message.
TEST(Trans2Delete, RequestsNotFollowed) {
    struct Case {
        const char* what;
        TransReq t;
        int result;
    };
    std::vector<Case> cases(12, Case{"", Trans2(), SMB_RET_BAD_FORMAT});
    cases[0] = {"DeletePending 0", Trans2(Bytes().u16(kFid).u16(kDispositionLevel).u16(0), 0), SMB_RET_OK};
    cases[1] = {"level 0x0102", Trans2(Bytes().u16(kFid).u16(0x0102).u16(0)), SMB_RET_OK};
    cases[2] = {"FIND_FIRST2", Trans2(Bytes().u16(0x16).u16(100).u16(6).u16(0x104).u32(0).utf16z(u"\\*")), SMB_RET_OK};
    cases[2].t.setup = {0x0001};
    cases[3] = {"SetupCount 0", Trans2(), SMB_RET_OK};
    cases[3].t.setup.clear();
    cases[4] = {"unfollowed with bad offsets (never read)", cases[2].t, SMB_RET_OK};
    cases[4].t.paramOffset = 0xFFF0;
    cases[5] = {"ParameterCount 3", Trans2(), SMB_RET_BAD_FORMAT};
    cases[5].t.paramCount = 3;
    cases[6] = {"DataCount 0", Trans2(), SMB_RET_BAD_FORMAT};
    cases[6].t.data.clear();
    cases[7].what = "ParameterOffset outside";
    cases[7].t.paramOffset = 0xFFF0;
    cases[8].what = "parameters straddle the end";
    cases[8].t.paramCount = 0x200;
    cases[9].what = "DataOffset outside";
    cases[9].t.dataOffset = 0x1000;
    cases[10] = {"FID without file", Trans2(Bytes().u16(0x7777).u16(kDispositionLevel).u16(0)), SMB_RET_BAD_FORMAT};
    cases[11].what = "TID without tree";
    cases[11].t.tid = 0x999;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        OpenFile c;
        EXPECT_EQ(c.Req(k.t.frame()), k.result);
        EXPECT_EQ(c.Rsp(Trans2Rsp()), SMB_RET_NO_REQUEST);
        ExpectNothingKept(c);
    }
    OpenFile c;  // WordCount 13
    EXPECT_EQ(c.Req(Smb(kTrans2).uid(kUid).tid(kTid).params(Bytes().fill(26)).frame()), SMB_RET_BAD_FORMAT);
}

TEST(Trans2Delete, ResponseFindsTheFileNowAndMeasuresItsBlock) {
    OpenFile c;
    c.Req(Trans2().frame());
    EXPECT_EQ(c.Rsp(Smb(kTrans2).uid(kUid).tid(kTid).params(Bytes().fill(20)).byteCount(9).frame()),
              SMB_RET_BAD_FORMAT);  // truncated: the request still waits
    EXPECT_EQ(c.peer.saved().size(), 1u);
    c.peer.ReleaseFileObj(kFid);  // a Close answered first
    EXPECT_EQ(c.Rsp(Trans2Rsp()), SMB_RET_OK);
    EXPECT_EQ(OnlyEvent(c).s("file"), "\\doomed.txt");
    EXPECT_EQ(OnlyEvent(c).file, nullptr);
}

}  // namespace
