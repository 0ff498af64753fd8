// SMB_COM_TRANSACTION2 (0x32). Of its many subcommands only one is followed:
// TRANS2_SET_FILE_INFORMATION with the pass-through level FileDispositionInformation and
// DeletePending 1, which is how Windows clients delete a file they hold open (DeleteFile()
// opens the file and marks it). Every other transaction is left alone.
#include "context/smb_context.h"
#include "events/events.h"
#include "state/records.h"
#include "state/saved_info.h"

namespace {
// Request parameter block, offsets from the WordCount byte.
constexpr uint8_t kTrans2MinWordCount = 14;
constexpr uint32_t kParameterCountAt = 19;
constexpr uint32_t kParameterOffsetAt = 21;
constexpr uint32_t kDataCountAt = 23;
constexpr uint32_t kDataOffsetAt = 25;
constexpr uint32_t kSetupCountAt = 27;
constexpr uint32_t kSetup0At = 29;

constexpr uint16_t kTrans2SetFileInformation = 0x0008;
// Pass-through levels are 1000 + the NT information class; 13 is FileDispositionInformation.
// The older CIFS level SMB_SET_FILE_DISPOSITION_INFO (0x0102) is not followed.
constexpr uint16_t kPassThroughFileDisposition = 1013;
constexpr uint16_t kSetFileInfoParamBytes = 4;  // FID, InformationLevel

// The SMB header lies 4 bytes into the message (after the NetBIOS header); Transaction
// offsets count from it. Null unless all `count` bytes lie inside the message: the
// parameters and data are never read from outside it, whatever the offsets say.
const uint8_t* TransRegion(const SmbBlock& message, uint16_t smbOffset, uint16_t count) {
    return message.bytes(4 + uint64_t(smbOffset), count);
}
}  // namespace

int CSMBContext::ProcessTrans2Req(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    if (block.WordCount() < kTrans2MinWordCount) return SMB_RET_BAD_FORMAT;

    const SmbBlock message = MessageView(ctx);
    ctx->m_subCmd = block.u8(kSetupCountAt) >= 1 ? block.u16(kSetup0At) : 0;
    ctx->m_paramCnt = block.u16(kParameterCountAt);
    ctx->m_pParam = TransRegion(message, block.u16(kParameterOffsetAt), ctx->m_paramCnt);
    ctx->m_dataCnt = block.u16(kDataCountAt);
    ctx->m_pData = TransRegion(message, block.u16(kDataOffsetAt), ctx->m_dataCnt);

    CSITrans2* saved = nullptr;
    const int r = ProcessTrans2(ctx, saved);
    SavedInfoOwner<CSITrans2> rec(saved);
    // Whatever went wrong (a malformed subcommand, a missing file or tree, no memory), the
    // request is reported as one that could not be followed.
    if (r != 0) return SMB_RET_BAD_FORMAT;
    if (rec) PutSavedInfo(MakeSavedInfoKey(ctx), rec.release());
    return SMB_RET_OK;
}

// Parameters and data whose offsets put them (partly) outside the message are treated like
// counts too small for the subcommand: the request is malformed (SMB_RET_BAD_FORMAT), as
// servers refuse it too. Only a followed subcommand has its offsets checked; the others'
// parameters are never read.
int CSMBContext::ProcessTrans2(CPktContext* ctx, CSITrans2*& saved) {
    saved = nullptr;
    if (ctx->m_subCmd != kTrans2SetFileInformation) return SMB_RET_OK;
    if (ctx->m_paramCnt < kSetFileInfoParamBytes || !ctx->m_pParam) return SMB_RET_BAD_FORMAT;
    const SmbBlock param(ctx->m_pParam, ctx->m_paramCnt);
    ctx->m_fid = param.u16(0);
    ctx->m_infoLevel = param.u16(2);
    if (ctx->m_infoLevel != kPassThroughFileDisposition) return SMB_RET_OK;
    if (ctx->m_dataCnt < 1 || !ctx->m_pData) return SMB_RET_BAD_FORMAT;
    // DeletePending 0 withdraws an earlier mark: nothing is deleted, nothing reported.
    if (ctx->m_pData[0] != 1) return SMB_RET_OK;

    _smbFileObj* file = FindFileObj(ctx->m_fid);
    if (!file || !FindResTree(ctx->m_tid)) return SMB_RET_NO_OBJECT;
    auto* rec = new CSIDeleteFile(ctx->m_time);
    if (!rec) return SMB_RET_NO_MEMORY;
    rec->m_subCmd = ctx->m_subCmd;
    rec->m_infoLevel = ctx->m_infoLevel;
    rec->m_event.m_fileName = file->m_fileName;
    rec->m_event.m_fileType = file->m_fileType;
    rec->m_fid = ctx->m_fid;
    saved = rec;
    return SMB_RET_OK;
}

int CSMBContext::ProcessTrans2Rsp(CPktContext* ctx, int offset) {
    if (int len = GetCmdBlockLen(ctx, offset); len < 0) return len;
    // The response of every transaction that was not followed ends here.
    SavedInfoOwner<CSavedInfoBase> rec(TakeSavedInfo(MakeSavedInfoKey(ctx)));
    if (!rec) return SMB_RET_NO_REQUEST;

    // Only a delete record carries an event (the only kind filed so far).
    auto* trans2 = static_cast<CSITrans2*>(rec.get());
    if (trans2->m_kind == SMB_EVT_DELETE) {
        auto* del = static_cast<CSIDeleteFile*>(trans2);
        CompleteRspEvent(ctx, &del->m_event, true);
        // Looked up now rather than kept from the request: a Close of the file answered
        // before this response has released the object the request saw (the event then
        // names the file but carries no object).
        del->m_event.m_pFileObj = FindFileObj(del->m_fid);
        Emit(&del->m_event);
    }
    return SMB_RET_OK;
}
