#include "bench/synthetic_streams.h"

#include <algorithm>
#include <utility>

namespace bench {

void AddMessage(Flow& flow, bool fromClient, const ByteVec& frame, size_t segment) {
    for (size_t at = 0; at < frame.size(); at += segment) {
        const size_t n = std::min(segment, frame.size() - at);
        flow.chunks.push_back({fromClient, false, 1000, 0, flow.bytes.size(), n});
        flow.bytes.insert(flow.bytes.end(), frame.begin() + long(at), frame.begin() + long(at + n));
    }
}

ByteVec NtCreateReq(uint16_t mid, const std::u16string& name) {
    Bytes words = Bytes()
                      .u8(0)            // reserved
                      .u16(uint16_t(name.size() * 2))
                      .u32(0)           // Flags
                      .u32(0)           // RootDirectoryFID
                      .u32(0x0012019F)  // DesiredAccess
                      .u64(0)           // AllocationSize
                      .u32(0x80)        // ExtFileAttributes
                      .u32(7)           // ShareAccess
                      .u32(1)           // CreateDisposition: open
                      .u32(0x40)        // CreateOptions: non-directory file
                      .u32(2)           // ImpersonationLevel
                      .u8(0);           // SecurityFlags
    return Smb(0xA2).uid(kUid).tid(kTid).mid(mid).unicode().params(words).data(Bytes().u8(0).utf16z(name)).frame();
}

ByteVec NtCreateRsp(uint16_t mid, uint16_t fid) {
    // The extended response Windows sends: WordCount 42 over 50 words of parameters.
    Bytes words = Bytes()
                      .u8(0)     // OplockLevel
                      .u16(fid)
                      .u32(1)    // CreateAction: opened
                      .fill(32)  // creation, access, write and change times
                      .u32(0x80)
                      .u64(1 << 20)  // AllocationSize
                      .u64(1 << 20)  // EndOfFile
                      .u16(0)        // ResourceType: file
                      .u16(0)        // NMPipeStatus
                      .u8(0);        // Directory
    words.fill(96 - words.size());
    return Smb(0xA2).uid(kUid).tid(kTid).mid(mid).unicode().params(words).wordCount(42).frame();
}

ByteVec ReadAndXReq(uint16_t mid, uint16_t fid, uint32_t offset, uint32_t count) {
    Bytes words = Bytes().u16(fid).u32(offset).u16(uint16_t(count)).u16(uint16_t(count)).u32(count >> 16).u16(0);
    return Smb(0x2E).uid(kUid).tid(kTid).mid(mid).params(words).frame();
}

namespace {
Bytes ReadRspWords(size_t length, uint16_t dataOffset) {
    return Bytes().u16(0xFFFF).u16(0).u16(0).u16(uint16_t(length)).u16(dataOffset).u16(uint16_t(length >> 16)).fill(8);
}
Bytes WriteReqWords(uint16_t fid, uint32_t offset, size_t length, uint16_t dataOffset) {
    return Bytes().u16(fid).u32(offset).u32(0).u16(0).u16(0).u16(uint16_t(length >> 16)).u16(uint16_t(length))
        .u16(dataOffset);
}
}  // namespace

ByteVec ReadAndXRsp(uint16_t mid, const ByteVec& data) {
    Smb m = Smb(0x2E).uid(kUid).tid(kTid).mid(mid).params(ReadRspWords(0, 0));
    const uint16_t dataOffset = uint16_t(m.bytesOffset(0) + 1);  // after one pad byte
    m.params(ReadRspWords(data.size(), dataOffset)).data(Bytes().u8(0).raw(data));
    return m.frame();
}

ByteVec WriteAndXReq(uint16_t mid, uint16_t fid, uint32_t offset, const ByteVec& data) {
    Smb m = Smb(0x2F).uid(kUid).tid(kTid).mid(mid).params(WriteReqWords(fid, offset, 0, 0));
    const uint16_t dataOffset = uint16_t(m.bytesOffset(0) + 1);
    m.params(WriteReqWords(fid, offset, data.size(), dataOffset)).data(Bytes().u8(0).raw(data));
    return m.frame();
}

ByteVec WriteAndXRsp(uint16_t mid, uint32_t count) {
    return Smb(0x2F).uid(kUid).tid(kTid).mid(mid)
        .params(Bytes().u16(uint16_t(count)).u16(0xFFFF).u16(uint16_t(count >> 16)).u16(0)).frame();
}

ByteVec Pattern(size_t n) {
    ByteVec v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 131 + (i >> 8));
    return v;
}

}  // namespace bench
