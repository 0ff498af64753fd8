// Transaction (0x25): TRANS_TRANSACT_NMPIPE payloads to HandleRPC.
#include <gtest/gtest.h>

#include <optional>

#include "support/harness.h"

namespace {

constexpr uint8_t kTrans = 0x25;
constexpr uint16_t kUid = 0x800, kTid = 0x801, kPipeFid = 0x4002;
constexpr uint16_t kTransactNmPipe = 0x0026;

ByteVec Rpc(uint8_t tag, size_t n) { return Bytes().u8(5).u8(0).u8(tag).fill(n - 3, 0xA5).vec(); }

struct TransReq {
    std::vector<uint16_t> setup = {kTransactNmPipe, kPipeFid};
    std::string name = "\\PIPE\\";
    bool unicode = false;
    Bytes nameField;  // used instead of `name` when not empty
    ByteVec data = Rpc(0, 72);
    std::optional<uint16_t> dataCount, dataOffset;
    uint16_t mid = 1;

    // Parameter words (WordCount 14 + setup words), ByteCount, the name, the data.
    ByteVec frame() const {
        Bytes field = nameField;
        if (field.size() == 0) {
            if (unicode) {
                std::u16string w(name.begin(), name.end());
                field.u8(0).utf16z(w);  // the name's position is odd: one pad byte
            } else {
                field.strz(name);
            }
        }
        auto words = [&](uint16_t dof) {
            Bytes w;
            w.u16(0).u16(uint16_t(data.size())).u16(0).u16(1024).u8(0).u8(0).u16(0).u32(0).u16(0);
            w.u16(0).u16(0).u16(dataCount.value_or(uint16_t(data.size()))).u16(dataOffset.value_or(dof));
            w.u8(uint8_t(setup.size())).u8(0);
            for (uint16_t s : setup) w.u16(s);
            return w;
        };
        const Bytes bytes = Bytes().raw(field).raw(data);
        Smb probe = Smb(kTrans).params(words(0)).data(bytes);
        const uint16_t dof = uint16_t(probe.bytesOffset(0) + field.size());
        return Smb(kTrans).uid(kUid).tid(kTid).mid(mid).unicode(unicode).params(words(dof)).data(bytes).frame();
    }
};

struct TransRsp {
    ByteVec data = Rpc(2, 92);
    std::optional<uint16_t> dataCount, dataOffset;
    uint8_t extraWords = 0;  // setup words after the ten
    uint32_t status = 0;
    uint16_t mid = 1;

    ByteVec frame() const {
        auto words = [&](uint16_t dof) {
            Bytes w;
            w.u16(0).u16(uint16_t(data.size())).u16(0).u16(0).u16(0).u16(0);
            w.u16(dataCount.value_or(uint16_t(data.size()))).u16(dataOffset.value_or(dof)).u16(0);
            w.u8(extraWords).u8(0).fill(2 * extraWords);
            return w;
        };
        const Bytes bytes = Bytes().u8(0).raw(data);  // one pad byte, then the data
        Smb probe = Smb(kTrans).params(words(0)).data(bytes);
        const uint16_t dof = uint16_t(probe.bytesOffset(0) + 1);
        return Smb(kTrans).uid(kUid).tid(kTid).mid(mid).ntStatus(status).params(words(dof)).data(bytes).frame();
    }
};

struct OpenPipe : Conn {
    OpenPipe() {
        peer.AddConv(kUid);
        peer.AddTree(kUid, kTid, u"\\IPC$", SMB_TREE_IPC);
        pipe = peer.AddFile(kTid, kPipeFid, u"\\srvsvc", SMB_FT_PIPE_MESSAGE);
    }
    _smbFileObj* pipe;
};

TEST(TransactNmPipe, BothDirectionsReachHandleRpc) {
    for (bool unicode : {false, true}) {
        OpenPipe c;
        TransReq req;
        req.unicode = unicode;
        EXPECT_EQ(c.Req(req.frame()), SMB_RET_OK);
        c.now = CTimeStamp32(1003, 7);
        TransRsp rsp;
        EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_OK);
        ASSERT_EQ(c.sink.rpcs.size(), 2u) << unicode;
        EXPECT_EQ(c.sink.rpcs[0].file, c.pipe);
        EXPECT_EQ(c.sink.rpcs[0].data, req.data);
        EXPECT_EQ(c.sink.rpcs[0].time.m_sec, 1000u);
        EXPECT_EQ(c.sink.rpcs[1].file, c.pipe);
        EXPECT_EQ(c.sink.rpcs[1].data, rsp.data);
        EXPECT_EQ(c.sink.rpcs[1].time.m_sec, 1003u);
        EXPECT_EQ(c.sink.rpcs[1].time.m_usec, 7u);
        EXPECT_TRUE(c.sink.events.empty());
        EXPECT_TRUE(c.peer.saved().empty());
    }
}

TEST(TransactNmPipe, ZeroLengthPayloadsAreDelivered) {
    OpenPipe c;
    TransReq req;
    req.data.clear();
    EXPECT_EQ(c.Req(req.frame()), SMB_RET_OK);
    TransRsp rsp;
    rsp.data.clear();
    EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_OK);
    ASSERT_EQ(c.sink.rpcs.size(), 2u);
    EXPECT_TRUE(c.sink.rpcs[0].data.empty());
    EXPECT_TRUE(c.sink.rpcs[1].data.empty());
    // With no data to read the offset does not matter.
    TransReq wild;
    wild.data.clear();
    wild.dataOffset = 0xFFFF;
    wild.mid = 2;
    EXPECT_EQ(c.Req(wild.frame()), SMB_RET_OK);
    EXPECT_EQ(c.sink.rpcs.size(), 3u);
}

TEST(TransactNmPipe, DataCountIsCutToTheBlock) {
    OpenPipe c;
    TransReq req;
    req.dataCount = 5000;
    c.Req(req.frame());
    TransRsp rsp;
    rsp.dataCount = 0xFFFF;
    c.Rsp(rsp.frame());
    ASSERT_EQ(c.sink.rpcs.size(), 2u);
    EXPECT_EQ(c.sink.rpcs[0].data, req.data);
    EXPECT_EQ(c.sink.rpcs[1].data, rsp.data);
}

TEST(TransactNmPipe, PayloadOutsideTheBlockIsMalformed) {
    // Request: before the block (inside the SMB header), just past its end, far outside.
    for (uint16_t off : {uint16_t(8), uint16_t(0), uint16_t(0x2000)}) {
        OpenPipe c;
        TransReq req;
        req.dataOffset = off;
        EXPECT_EQ(c.Req(req.frame()), SMB_RET_BAD_FORMAT) << off;
        EXPECT_TRUE(c.sink.rpcs.empty());
        EXPECT_TRUE(c.peer.saved().empty());
    }
    OpenPipe c;
    TransReq req;
    const ByteVec frame = req.frame();
    req.dataOffset = uint16_t(frame.size() - 4);  // the first byte after the message
    EXPECT_EQ(c.Req(req.frame()), SMB_RET_BAD_FORMAT);
    // Response: the record goes, nothing is delivered.
    c.Req(TransReq{}.frame());
    TransRsp rsp;
    rsp.dataOffset = 0x7000;
    EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_BAD_FORMAT);
    EXPECT_EQ(c.sink.rpcs.size(), 1u);
    EXPECT_TRUE(c.peer.saved().empty());
}

TEST(TransactNmPipe, OtherNamesAndSubcommandsAreIgnored) {
    struct Case {
        const char* what;
        TransReq req;
    };
    TransReq lanman;
    lanman.name = "\\PIPE\\LANMAN";
    lanman.setup.clear();
    TransReq lanmanWithNmPipe;
    lanmanWithNmPipe.name = "\\PIPE\\LANMAN";
    TransReq lower;
    lower.name = "\\pipe\\";
    TransReq lowerUnicode;
    lowerUnicode.name = "\\pipe\\srvsvc";
    lowerUnicode.unicode = true;
    TransReq mailslot;
    mailslot.name = "\\MAILSLOT\\BROWSE";
    mailslot.setup = {1, 1, 2};
    TransReq shortName;
    shortName.name = "\\PIPE";
    TransReq peek;
    peek.setup = {0x0023 /* TRANS_PEEK_NMPIPE */, kPipeFid};
    const Case cases[] = {{"LANMAN", lanman},           {"LANMAN with NMPIPE setup", lanmanWithNmPipe},
                          {"lower case", lower},         {"lower case UTF-16", lowerUnicode},
                          {"mailslot", mailslot},        {"shorter than \\PIPE\\", shortName},
                          {"PEEK_NMPIPE", peek}};
    for (const Case& k : cases) {
        OpenPipe c;
        EXPECT_EQ(c.Req(k.req.frame()), SMB_RET_OK) << k.what;
        EXPECT_TRUE(c.peer.saved().empty()) << k.what;
        EXPECT_EQ(c.Rsp(TransRsp{}.frame()), SMB_RET_NO_REQUEST) << k.what;
        EXPECT_TRUE(c.sink.rpcs.empty()) << k.what;
    }
}

TEST(TransactNmPipe, PipeNamesAfterThePrefixAreFollowed) {
    // Only the six characters LANMAN are excluded; a shorter remainder is followed.
    for (const char* name : {"\\PIPE\\", "\\PIPE\\LAN", "\\PIPE\\lanman"}) {
        OpenPipe c;
        TransReq req;
        req.name = name;
        EXPECT_EQ(c.Req(req.frame()), SMB_RET_OK) << name;
        EXPECT_EQ(c.sink.rpcs.size(), 1u) << name;
    }
}

TEST(TransactNmPipe, FewerThanTwoSetupWordsUseFid0xFFFF) {
    for (std::vector<uint16_t> setup : {std::vector<uint16_t>{}, std::vector<uint16_t>{kTransactNmPipe}}) {
        OpenPipe c;
        TransReq req;
        req.setup = setup;
        EXPECT_EQ(c.Req(req.frame()), SMB_RET_NO_OBJECT) << setup.size();
        EXPECT_TRUE(c.sink.rpcs.empty());
        _smbFileObj* anon = c.peer.AddFile(kTid, 0xFFFF, u"\\anon", SMB_FT_PIPE_BYTE);
        EXPECT_EQ(c.Req(req.frame()), SMB_RET_OK) << setup.size();
        ASSERT_EQ(c.sink.rpcs.size(), 1u);
        EXPECT_EQ(c.sink.rpcs[0].file, anon);
    }
}

TEST(TransactNmPipe, MalformedRequests) {
    struct Case {
        const char* what;
        ByteVec frame;
        int result;
    };
    TransReq unterminated;
    unterminated.nameField = Bytes().str("\\PIPE\\");
    unterminated.data.clear();
    TransReq unknownFid;
    unknownFid.setup = {kTransactNmPipe, 0x1234};
    const Case cases[] = {
        {"WordCount 13", Smb(kTrans).uid(kUid).tid(kTid).params(Bytes().fill(26)).frame(), SMB_RET_BAD_FORMAT},
        {"8-bit name without terminator", unterminated.frame(), SMB_RET_BAD_FORMAT},
        {"FID without file", unknownFid.frame(), SMB_RET_NO_OBJECT},
    };
    for (const Case& k : cases) {
        OpenPipe c;
        EXPECT_EQ(c.Req(k.frame), k.result) << k.what;
        EXPECT_TRUE(c.sink.rpcs.empty()) << k.what;
        EXPECT_TRUE(c.peer.saved().empty()) << k.what;
    }
    // No byte left for the name: ByteCount 0.
    OpenPipe c;
    ByteVec bare = Smb(kTrans).uid(kUid).tid(kTid).params(Bytes().fill(26).u8(2).u8(0).u16(kTransactNmPipe).u16(kPipeFid))
                       .frame();
    EXPECT_EQ(c.Req(bare), SMB_RET_BAD_FORMAT);
}

TEST(TransactNmPipe, ResponsesWithoutPayload) {
    {
        // The usual error response: no parameters, nothing delivered, the record is gone.
        OpenPipe c;
        c.Req(TransReq{}.frame());
        EXPECT_EQ(c.Rsp(Smb(kTrans).uid(kUid).tid(kTid).ntStatus(0xC00000B0).frame()), SMB_RET_OK);
        EXPECT_EQ(c.sink.rpcs.size(), 1u);
        EXPECT_TRUE(c.peer.saved().empty());
        EXPECT_EQ(c.Rsp(TransRsp{}.frame()), SMB_RET_NO_REQUEST);
    }
    {
        OpenPipe c;
        c.Req(TransReq{}.frame());
        EXPECT_EQ(c.Rsp(Smb(kTrans).uid(kUid).tid(kTid).params(Bytes().fill(10)).frame()), SMB_RET_BAD_FORMAT);
        EXPECT_TRUE(c.peer.saved().empty());
    }
    {
        // The pipe was closed before its reply came.
        OpenPipe c;
        c.Req(TransReq{}.frame());
        c.peer.ReleaseFileObj(kPipeFid);
        EXPECT_EQ(c.Rsp(TransRsp{}.frame()), SMB_RET_NO_OBJECT);
        EXPECT_TRUE(c.peer.saved().empty());
    }
}

TEST(TransactNmPipe, ReplyWithErrorStatusAndParametersIsDelivered) {
    OpenPipe c;
    c.Req(TransReq{}.frame());
    TransRsp rsp;
    rsp.status = 0x80000005;  // STATUS_BUFFER_OVERFLOW: the first part of a long reply
    rsp.extraWords = 1;
    EXPECT_EQ(c.Rsp(rsp.frame()), SMB_RET_OK);
    ASSERT_EQ(c.sink.rpcs.size(), 2u);
    EXPECT_EQ(c.sink.rpcs[1].data, rsp.data);
}

TEST(TransactNmPipe, AllocationFailures) {
    {
        // The saved record: the request's payload is already out, nothing is saved.
        OpenPipe c;
        ZELK::FailNthAllocation(1);
        EXPECT_EQ(c.Req(TransReq{}.frame()), SMB_RET_NO_MEMORY);
        ZELK::FailNthAllocation(0);
        EXPECT_EQ(c.sink.rpcs.size(), 1u);
        EXPECT_TRUE(c.peer.saved().empty());
        EXPECT_EQ(c.Rsp(TransRsp{}.frame()), SMB_RET_NO_REQUEST);
    }
    {
        // A UTF-16 name that cannot be converted: nothing delivered, nothing saved.
        OpenPipe c;
        TransReq req;
        req.unicode = true;
        const long live = ZELK::LiveAllocations();
        ZELK::FailNthAllocation(1);
        EXPECT_EQ(c.Req(req.frame()), SMB_RET_NO_MEMORY);
        ZELK::FailNthAllocation(0);
        EXPECT_TRUE(c.sink.rpcs.empty());
        EXPECT_TRUE(c.peer.saved().empty());
        EXPECT_EQ(ZELK::LiveAllocations(), live);
    }
}

}  // namespace
