// Write AndX (0x2F): reported from the request, so a write is audited with its data, offset
// and file even when the server refuses it. Named-pipe payload goes to HandleRPC instead of
// an event. The response only clears the pending request and follows the chain.
#include "context/smb_context.h"
#include "events/events.h"
#include "fileops/file_data.h"
#include "state/records.h"
#include "state/saved_info.h"

namespace {
constexpr uint8_t kWriteReqWords = 12;
constexpr uint8_t kWriteReqWordsLarge = 14;  // with OffsetHigh
}  // namespace

int CSMBContext::ProcessWriteReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    SavedInfoOwner<CSIWrite> rec(new CSIWrite(ctx->m_time));
    if (!rec) return SMB_RET_NO_MEMORY;
    AndXLink link = ReadAndX(ctx, block, offset);
    const uint8_t words = block.WordCount();
    if (words < kWriteReqWords) return FollowAndX(link);
    _smbFileObj* file = FindFileObj(block.u16(5));
    if (!file) return FollowAndX(link);

    CWriteEvent& ev = rec->m_event;
    DescribeFile(ev, file, FindConvers(ctx->m_uid), FindResTree(ctx->m_tid));
    ev.m_offset = block.u32(7) | (words == kWriteReqWordsLarge ? uint64_t(block.u32(25)) << 32 : 0);
    const uint64_t length = uint64_t(block.u16(19)) << 16 | block.u16(21);
    const FilePayload payload = ReadWritePayload(ctx, block, offset, block.u16(23), length);
    ev.m_pData = payload.data;
    ev.m_dataLen = payload.len;

    CSIWrite* saved = rec.release();
    PutSavedInfo(MakeSavedInfoKey(ctx), saved);
    // Reported before the chain runs: a chained command may replace the saved record.
    const int own = ReportFileData(&saved->m_event, file, payload.data, payload.len, saved->m_event.m_reqTime);
    const int chained = FollowAndX(link);
    return chained != 0 ? chained : own;
}

int CSMBContext::ProcessWriteRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    SavedInfoOwner<CSIWrite> rec(static_cast<CSIWrite*>(TakeSavedInfo(MakeSavedInfoKey(ctx))));
    if (!rec) return SMB_RET_OK;
    // The event went out with the request and the Count the server grants is not used:
    // whatever the WordCount (below 2 there is no AndX header to follow), the response only
    // retires the record and passes the chain on.
    AndXLink link = ReadAndX(ctx, block, offset);
    return FollowAndX(link);
}
