// Builders for the file-operation messages the tests exchange, field by field as the wire
// layouts give them (parameters after the AndX header, which the frame builder adds).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "support/harness.h"

namespace fileops_test {

constexpr uint16_t kUid = 0x0800;
constexpr uint16_t kTid = 0x0801;

// A session as Session Setup and Tree Connect would have left it.
struct Session : Conn {
    explicit Session(const std::u16string& share = u"\\\\SRV\\DATA", uint32_t treeType = 0) {
        peer.AddConv(kUid);
        peer.AddTree(kUid, kTid, share, treeType);
    }
};

// The one event a test expects. On any other count the expectation fails and a blank event
// stands in, so that the field checks after it fail instead of reading past the vector.
inline const RecordedEvent& OnlyEvent(const Conn& c) {
    static const RecordedEvent kNone{};
    EXPECT_EQ(c.sink.events.size(), 1u);
    return c.sink.events.size() == 1 ? c.sink.events[0] : kNone;
}
// Nothing reported, nothing waiting for a response.
inline void ExpectNothingKept(Conn& c) {
    EXPECT_TRUE(c.sink.events.empty());
    EXPECT_TRUE(c.peer.saved().empty());
}

// NT Create AndX request words: reserved, NameLength (not read), Flags, RootDirectoryFID,
// DesiredAccess, AllocationSize, ExtFileAttributes, ShareAccess, CreateDisposition,
// CreateOptions, ImpersonationLevel, SecurityFlags.
inline Bytes NtCreateWords(uint32_t disposition = 1, uint32_t options = 0x40, uint32_t rootFid = 0) {
    return Bytes().u8(0).u16(0).u32(0).u32(rootFid).u32(0x0012019F).u64(0).u32(0x80).u32(7).u32(disposition)
        .u32(options).u32(2).u8(0);
}
// The FileName of a Unicode request: the pad byte, then the UTF-16LE name.
inline Bytes UnicodeName(const std::u16string& name) { return Bytes().u8(0).utf16z(name); }

inline Smb NtCreateReq(const std::u16string& name, uint16_t mid = 1, uint32_t disposition = 1,
                       uint32_t options = 0x40) {
    return std::move(Smb(0xA2).uid(kUid).tid(kTid).mid(mid).unicode().params(NtCreateWords(disposition, options))
                         .data(UnicodeName(name)));
}

// The response fields that are read, at their places from offset 5 on: OplockLevel, FID,
// CreateAction, four times, attributes, AllocationSize, EndOfFile, ResourceType,
// NMPipeStatus, Directory.
inline Bytes NtCreateRspFields(uint16_t fid, uint64_t eof = 0, uint16_t resourceType = 0, uint8_t directory = 0) {
    return Bytes().u8(0).u16(fid).u32(1).fill(32).u32(0x80).u64(eof).u64(eof).u16(resourceType)
        .u16(resourceType ? 0x05FF : 0).u8(directory);
}
// The extended response as Windows sends it: WordCount 42 over 50 words of parameters.
inline Smb NtCreateRsp(uint16_t fid, uint16_t mid = 1, uint64_t eof = 0, uint16_t resourceType = 0,
                       uint8_t directory = 0) {
    Bytes words = NtCreateRspFields(fid, eof, resourceType, directory);
    return std::move(Smb(0xA2).uid(kUid).tid(kTid).mid(mid).unicode().params(words.fill(96 - words.size())).wordCount(42));
}
// The standard response: 34 words, the same fields at the same places.
inline Smb NtCreateStandardRsp(uint16_t fid, uint16_t mid = 1, uint64_t eof = 0) {
    return std::move(Smb(0xA2).uid(kUid).tid(kTid).mid(mid).unicode().params(NtCreateRspFields(fid, eof)));
}
// An error response without parameters (WordCount 0, ByteCount 0). The frame builder gives
// every AndX block its AndX header, so the message is built as a Close and then relabelled.
inline ByteVec ErrorRsp(uint8_t cmd, uint32_t ntStatus, uint16_t mid = 1, uint16_t uid = kUid, uint16_t tid = kTid) {
    ByteVec f = Smb(0x04).uid(uid).tid(tid).mid(mid).unicode().ntStatus(ntStatus).frame();
    f[4 + 4] = cmd;  // NetBIOS header, then the SMB signature, then the command byte
    return f;
}

// Read AndX request words; WordCount 12 when `offsetHigh` is given.
inline Bytes ReadAndXWords(uint16_t fid, uint32_t offset, uint16_t maxCount, uint32_t maxCountHigh = 0,
                           const uint32_t* offsetHigh = nullptr) {
    Bytes b;
    b.u16(fid).u32(offset).u16(maxCount).u16(maxCount).u32(maxCountHigh).u16(0);
    if (offsetHigh) b.u32(*offsetHigh);
    return b;
}
inline Smb ReadAndXReq(uint16_t fid, uint32_t offset, uint16_t maxCount, uint16_t mid = 1) {
    return std::move(Smb(0x2E).uid(kUid).tid(kTid).mid(mid).params(ReadAndXWords(fid, offset, maxCount)));
}
// Read AndX response words with a DataLength/DataOffset/DataLengthHigh as given.
inline Bytes ReadAndXRspWords(uint16_t dataLength, uint16_t dataOffset, uint16_t dataLengthHigh = 0) {
    return Bytes().u16(0xFFFF).u16(0).u16(0).u16(dataLength).u16(dataOffset).u16(dataLengthHigh).fill(8);
}
// A Read AndX response that carries `data` after one pad byte, its DataOffset pointing at it.
inline Smb ReadAndXRsp(const ByteVec& data, uint16_t mid = 1) {
    Smb m = Smb(0x2E).uid(kUid).tid(kTid).mid(mid).params(ReadAndXRspWords(0, 0));
    const uint16_t dataOffset = uint16_t(m.bytesOffset(0) + 1);
    m.params(ReadAndXRspWords(uint16_t(data.size()), dataOffset)).data(Bytes().u8(0).raw(data));
    return m;
}

// Write AndX request words; WordCount 14 when `offsetHigh` is given.
inline Bytes WriteWords(uint16_t fid, uint32_t offset, uint16_t dataLength, uint16_t dataOffset,
                        uint16_t dataLengthHigh = 0, const uint32_t* offsetHigh = nullptr) {
    Bytes b;
    b.u16(fid).u32(offset).u32(0).u16(0).u16(0).u16(dataLengthHigh).u16(dataLength).u16(dataOffset);
    if (offsetHigh) b.u32(*offsetHigh);
    return b;
}
// A Write AndX request whose data follows one pad byte, its DataOffset pointing at it.
inline Smb WriteReq(uint16_t fid, uint32_t offset, const ByteVec& data, uint16_t mid = 1) {
    Smb m = Smb(0x2F).uid(kUid).tid(kTid).mid(mid).params(WriteWords(fid, offset, 0, 0));
    const uint16_t dataOffset = uint16_t(m.bytesOffset(0) + 1);
    m.params(WriteWords(fid, offset, uint16_t(data.size()), dataOffset)).data(Bytes().u8(0).raw(data));
    return m;
}
inline Smb WriteRsp(uint16_t count, uint16_t mid = 1) {
    return std::move(Smb(0x2F).uid(kUid).tid(kTid).mid(mid).params(Bytes().u16(count).u16(0).u16(0).u16(0)));
}

inline Smb CloseReq(uint16_t fid, uint16_t mid = 1) {
    return std::move(Smb(0x04).uid(kUid).tid(kTid).mid(mid).params(Bytes().u16(fid).u32(0xFFFFFFFF)));
}
inline Smb CloseRsp(uint16_t mid = 1) { return std::move(Smb(0x04).uid(kUid).tid(kTid).mid(mid)); }

inline ByteVec Payload(size_t n, uint8_t seed = 1) {
    ByteVec v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7);
    return v;
}

}  // namespace fileops_test
