// SMB_COM_TRANSACTION (0x25) on named pipes: a TRANS_TRANSACT_NMPIPE writes an RPC request
// into an open pipe and reads the reply in one exchange. Both payloads go to the sink's
// HandleRPC with the pipe's file object; transactions produce no audit event. Remote
// administration on the LANMAN pipe, mailslots and every other transaction are left alone.
#include <algorithm>
#include <string>
#include <string_view>

#include "context/smb_context.h"
#include "fileops/file_data.h"
#include "state/saved_info.h"
#include "text/value_string.h"

namespace {
// Request parameter block, offsets from the WordCount byte.
constexpr uint8_t kTransReqMinWordCount = 14;
constexpr uint32_t kReqDataCountAt = 23;
constexpr uint32_t kReqDataOffsetAt = 25;
constexpr uint32_t kSetupCountAt = 27;
constexpr uint32_t kSetupAt = 29;
// Response parameter block.
constexpr uint8_t kTransRspMinWordCount = 10;
constexpr uint32_t kRspDataCountAt = 13;
constexpr uint32_t kRspDataOffsetAt = 15;

constexpr uint16_t kTransTransactNmPipe = 0x0026;
constexpr uint16_t kNoFid = 0xFFFF;
constexpr uint8_t kNameSetupWords = 2;  // the name is looked for after at most two setup words

// Names compared exactly: clients send the pipe prefix in upper case.
constexpr std::string_view kPipePrefix = "\\PIPE\\";
constexpr std::string_view kLanmanPipe = "LANMAN";

// The payload of a Transaction message: DataOffset counts from the SMB header, and the
// bytes are taken from the command's block only, DataCount cut to what the block holds from
// the payload's start. A payload that starts outside the block (before it, or at or past
// its end) while DataCount announces bytes is malformed: nothing is delivered and the
// message is SMB_RET_BAD_FORMAT, so the host never sees a payload the server would refuse
// as well. With DataCount 0 nothing is read, so the offset does not matter: the empty
// payload is delivered (servers put it at the block's end).
bool FindPayload(const SmbBlock& block, int offset, uint16_t dataOffset, uint16_t dataCount, FilePayload& out) {
    out = PayloadInBlock(block, offset, dataOffset, dataCount);
    return out.data || dataCount == 0;
}
}  // namespace

int CSMBContext::ProcessTransReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    if (block.WordCount() < kTransReqMinWordCount) return SMB_RET_BAD_FORMAT;

    const uint8_t setupCount = block.u8(kSetupCountAt);
    if (setupCount >= 1 && block.u16(kSetupAt) != kTransTransactNmPipe) return SMB_RET_OK;
    const uint16_t fid = setupCount >= 2 ? block.u16(kSetupAt + 2) : kNoFid;

    // After the setup words comes ByteCount, then the transaction name.
    const uint32_t namePos = kSetupAt + 2 * std::min(setupCount, kNameSetupWords) + 2;
    std::string name;
    uint32_t next = 0;
    switch (ReadSmbString(block.data(), block.size(), namePos, ctx->m_bUnicode, name, next)) {
        case SmbStringResult::Ok: break;
        case SmbStringResult::NoMemory: return SMB_RET_NO_MEMORY;
        case SmbStringResult::Missing:
        case SmbStringResult::Unterminated: return SMB_RET_BAD_FORMAT;
    }
    if (!name.starts_with(kPipePrefix)) return SMB_RET_OK;
    if (name.compare(kPipePrefix.size(), kLanmanPipe.size(), kLanmanPipe) == 0) return SMB_RET_OK;

    FilePayload payload;
    if (!FindPayload(block, offset, block.u16(kReqDataOffsetAt), block.u16(kReqDataCountAt), payload))
        return SMB_RET_BAD_FORMAT;
    _smbFileObj* file = FindFileObj(fid);
    if (!file) return SMB_RET_NO_OBJECT;
    if (m_pOutPut) m_pOutPut->HandleRPC(file, reinterpret_cast<const char*>(payload.data), size_t(payload.len), ctx->m_time);

    auto* rec = new CSITrans(ctx->m_time);
    if (!rec) return SMB_RET_NO_MEMORY;
    rec->m_fid = fid;
    PutSavedInfo(MakeSavedInfoKey(ctx), rec);
    return SMB_RET_OK;
}

// The status is not consulted: a response with parameters delivers its data whatever the
// status (STATUS_BUFFER_OVERFLOW, for one, comes with the first part of a long reply); the
// usual error response has no parameters and delivers nothing.
int CSMBContext::ProcessTransRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    // Only the first message of a reply split over several takes the record.
    SavedInfoOwner<CSavedInfoBase> rec(TakeSavedInfo(MakeSavedInfoKey(ctx)));
    if (!rec) return SMB_RET_NO_REQUEST;

    const uint8_t wc = block.WordCount();
    if (wc == 0) return SMB_RET_OK;
    if (wc < kTransRspMinWordCount) return SMB_RET_BAD_FORMAT;
    FilePayload payload;
    if (!FindPayload(block, offset, block.u16(kRspDataOffsetAt), block.u16(kRspDataCountAt), payload))
        return SMB_RET_BAD_FORMAT;
    _smbFileObj* file = FindFileObj(static_cast<CSITrans*>(rec.get())->m_fid);
    if (!file) return SMB_RET_NO_OBJECT;
    if (m_pOutPut) m_pOutPut->HandleRPC(file, reinterpret_cast<const char*>(payload.data), size_t(payload.len), ctx->m_time);
    return SMB_RET_OK;
}
