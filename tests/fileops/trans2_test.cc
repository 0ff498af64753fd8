// Transaction2 (0x32): SET_FILE_INFORMATION marking an open file for deletion.
#include <gtest/gtest.h>

#include <optional>

#include "support/harness.h"

namespace {

constexpr uint8_t kTrans2 = 0x32;
constexpr uint16_t kUid = 0x800, kTid = 0x801, kFid = 0x4001;
constexpr uint16_t kSetFileInfo = 0x0008, kFindFirst2 = 0x0001;
constexpr uint16_t kDispositionLevel = 1013;

struct Trans2 {
    uint16_t subCmd = kSetFileInfo;
    Bytes param = Bytes().u16(kFid).u16(kDispositionLevel).u16(0);
    Bytes data = Bytes().u8(1);
    uint8_t setupCount = 1;
    // Overrides of the counts and offsets the builder computes.
    std::optional<uint16_t> paramCount, paramOffset, dataCount, dataOffset;
    uint16_t uid = kUid, tid = kTid, mid = 1;

    // Parameter words (WordCount 14 + SetupCount), then a pad byte for the empty name,
    // the parameters and the data.
    ByteVec frame() const {
        auto words = [&](uint16_t po, uint16_t dof) {
            Bytes w;
            w.u16(uint16_t(param.size())).u16(uint16_t(data.size())).u16(2).u16(0).u8(0).u8(0).u16(0).u32(0).u16(0);
            w.u16(paramCount.value_or(uint16_t(param.size()))).u16(paramOffset.value_or(po));
            w.u16(dataCount.value_or(uint16_t(data.size()))).u16(dataOffset.value_or(dof));
            w.u8(setupCount).u8(0);
            for (uint8_t i = 0; i < setupCount; ++i) w.u16(i == 0 ? subCmd : 0);
            return w;
        };
        const Bytes bytes = Bytes().u8(0).fill(2).raw(param).raw(data);
        Smb probe = Smb(kTrans2).params(words(0, 0)).data(bytes);
        const uint16_t po = uint16_t(probe.bytesOffset(0) + 3);
        const uint16_t dof = uint16_t(po + param.size());
        return Smb(kTrans2).uid(uid).tid(tid).mid(mid).params(words(po, dof)).data(bytes).frame();
    }
};

ByteVec Trans2Rsp(uint32_t status = 0, uint16_t uid = kUid, uint16_t tid = kTid, uint16_t mid = 1) {
    return Smb(kTrans2).uid(uid).tid(tid).mid(mid).ntStatus(status).params(Bytes().fill(20)).frame();
}

struct OpenFile : Conn {
    OpenFile() {
        peer.AddConv(kUid);
        tree = peer.AddTree(kUid, kTid, u"\\SHARE");
        file = peer.AddFile(kTid, kFid, u"\\doomed.txt", SMB_FT_FILE);
    }
    _smbResrcTree* tree;
    _smbFileObj* file;
};

TEST(Trans2Delete, MarkingAnOpenFileReportsItsDeletion) {
    OpenFile c;
    EXPECT_EQ(c.Req(Trans2{}.frame()), SMB_RET_OK);
    EXPECT_EQ(c.peer.saved().size(), 1u);
    c.now = CTimeStamp32(1002, 0);
    EXPECT_EQ(c.Rsp(Trans2Rsp()), SMB_RET_OK);
    ASSERT_EQ(c.sink.events.size(), 1u);
    const RecordedEvent& e = c.sink.events[0];
    EXPECT_EQ(e.type, SMB_EVT_DELETE);
    EXPECT_EQ(e.s("file"), "\\doomed.txt");
    EXPECT_EQ(e.n("file_type"), SMB_FT_FILE);
    EXPECT_EQ(e.status, 0u);
    EXPECT_EQ(e.reqTime.m_sec, 1000u);
    EXPECT_EQ(e.rspTime.m_sec, 1002u);
    EXPECT_EQ(e.file, c.file);
    EXPECT_EQ(e.tree, c.tree);
    EXPECT_EQ(e.uid, kUid);
    // The file stays open until its Close.
    EXPECT_EQ(c.peer.files().at(kFid), c.file);
}

TEST(Trans2Delete, RefusedMarkIsReportedWithItsStatus) {
    OpenFile c;
    c.Req(Trans2{}.frame());
    EXPECT_EQ(c.Rsp(Trans2Rsp(0xC0000121 /* STATUS_CANNOT_DELETE */)), SMB_RET_OK);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].status, 0xC0000121u);
}

// Transactions that are looked at but not followed: result 0, nothing saved, and the
// response finds no request.
TEST(Trans2Delete, OtherRequestsAreNotFollowed) {
    struct Case {
        const char* what;
        Trans2 t;
    };
    Trans2 undelete;
    undelete.data = Bytes().u8(0);
    Trans2 cifsLevel;
    cifsLevel.param = Bytes().u16(kFid).u16(0x0102).u16(0);
    Trans2 findFirst;
    findFirst.subCmd = kFindFirst2;
    findFirst.param = Bytes().u16(0x16).u16(100).u16(6).u16(0x104).u32(0).utf16z(u"\\*");
    Trans2 noSetup;
    noSetup.setupCount = 0;
    Trans2 findFirstBadOffsets = findFirst;  // never read, so never checked
    findFirstBadOffsets.paramOffset = 0xFFF0;
    const Case cases[] = {{"DeletePending 0", undelete},
                          {"level 0x0102", cifsLevel},
                          {"FIND_FIRST2", findFirst},
                          {"SetupCount 0", noSetup},
                          {"unfollowed with bad offsets", findFirstBadOffsets}};
    for (const Case& k : cases) {
        OpenFile c;
        EXPECT_EQ(c.Req(k.t.frame()), SMB_RET_OK) << k.what;
        EXPECT_TRUE(c.peer.saved().empty()) << k.what;
        EXPECT_EQ(c.Rsp(Trans2Rsp()), SMB_RET_NO_REQUEST) << k.what;
        EXPECT_TRUE(c.sink.events.empty()) << k.what;
    }
}

TEST(Trans2Delete, MalformedOrUnknownObjectsAreRejected) {
    struct Case {
        const char* what;
        Trans2 t;
    };
    Trans2 shortParams;
    shortParams.paramCount = 3;
    Trans2 noData;
    noData.data = Bytes();
    Trans2 paramsOutside;  // parameters beyond the end of the message
    paramsOutside.paramOffset = 0xFFF0;
    Trans2 paramsStraddle;  // starting inside the message, ending past it
    paramsStraddle.paramCount = 0x200;
    Trans2 dataOutside;
    dataOutside.dataOffset = 0x1000;
    Trans2 unknownFid;
    unknownFid.param = Bytes().u16(0x7777).u16(kDispositionLevel).u16(0);
    Trans2 unknownTid;
    unknownTid.tid = 0x999;
    const Case cases[] = {{"ParameterCount 3", shortParams},     {"DataCount 0", noData},
                          {"ParameterOffset outside", paramsOutside}, {"parameters straddle the end", paramsStraddle},
                          {"DataOffset outside", dataOutside},    {"FID without file", unknownFid},
                          {"TID without tree", unknownTid}};
    for (const Case& k : cases) {
        OpenFile c;
        EXPECT_EQ(c.Req(k.t.frame()), SMB_RET_BAD_FORMAT) << k.what;
        EXPECT_TRUE(c.peer.saved().empty()) << k.what;
        EXPECT_EQ(c.Rsp(Trans2Rsp()), SMB_RET_NO_REQUEST) << k.what;
    }
    OpenFile c;  // WordCount 13
    EXPECT_EQ(c.Req(Smb(kTrans2).uid(kUid).tid(kTid).params(Bytes().fill(26)).frame()), SMB_RET_BAD_FORMAT);
}

TEST(Trans2Delete, RecordAllocationFailureIsMalformed) {
    OpenFile c;
    const long live = ZELK::LiveAllocations();
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.Req(Trans2{}.frame()), SMB_RET_BAD_FORMAT);
    ZELK::FailNthAllocation(0);
    EXPECT_TRUE(c.peer.saved().empty());
    EXPECT_EQ(ZELK::LiveAllocations(), live);
}

TEST(Trans2Delete, ResponseOnUnknownUidAndTidRebuildsBoth) {
    OpenFile c;
    c.Req(Trans2{}.frame());
    EXPECT_EQ(c.Rsp(Trans2Rsp(0, 0x900, 0x901)), SMB_RET_OK);
    ASSERT_EQ(c.sink.events.size(), 3u);
    EXPECT_EQ(c.sink.events[0].type, SMB_EVT_LOGON);
    EXPECT_EQ(c.sink.events[0].uid, 0x900);
    EXPECT_EQ(c.sink.events[1].type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(c.sink.events[1].tid, 0x901);
    EXPECT_EQ(c.sink.events[1].uid, 0x900);
    EXPECT_EQ(c.sink.events[2].type, SMB_EVT_DELETE);
    EXPECT_EQ(c.sink.events[2].uid, 0x900);
    EXPECT_EQ(c.sink.events[2].tid, 0x901);
    EXPECT_EQ(c.sink.events[2].file, c.file);
}

TEST(Trans2Delete, FileReleasedBeforeTheResponseIsNotPointedAt) {
    OpenFile c;
    c.Req(Trans2{}.frame());
    c.peer.ReleaseFileObj(kFid);  // a Close answered first
    EXPECT_EQ(c.Rsp(Trans2Rsp()), SMB_RET_OK);
    ASSERT_EQ(c.sink.events.size(), 1u);
    EXPECT_EQ(c.sink.events[0].s("file"), "\\doomed.txt");
    EXPECT_EQ(c.sink.events[0].file, nullptr);
}

TEST(Trans2Delete, TruncatedResponseKeepsTheRequest) {
    OpenFile c;
    c.Req(Trans2{}.frame());
    EXPECT_EQ(c.Rsp(Smb(kTrans2).uid(kUid).tid(kTid).params(Bytes().fill(20)).byteCount(9).frame()),
              SMB_RET_BAD_FORMAT);
    EXPECT_EQ(c.peer.saved().size(), 1u);
    EXPECT_TRUE(c.sink.events.empty());
}

}  // namespace
