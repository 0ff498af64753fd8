// Close (0x04): ends the life of a file object. The response reports the close with the
// file's name and type, whatever the status, and releases the file object only when the
// server agreed; after a refused close the FID stays usable.
#include "context/smb_context.h"
#include "events/events.h"
#include "fileops/file_data.h"
#include "state/records.h"
#include "state/saved_info.h"

namespace {
constexpr uint8_t kCloseReqWords = 3;
}

int CSMBContext::ProcessCloseReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    SavedInfoOwner<CSIClose> rec(new CSIClose(ctx->m_time));
    if (!rec) return SMB_RET_NO_MEMORY;
    if (block.WordCount() < kCloseReqWords) return SMB_RET_OK;
    rec->m_fid = block.u16(1);
    if (!FindFileObj(rec->m_fid)) return SMB_RET_OK;
    PutSavedInfo(MakeSavedInfoKey(ctx), rec.release());
    return SMB_RET_OK;
}

int CSMBContext::ProcessCloseRsp(CPktContext* ctx, int offset) {
    // The block is measured (a truncated message is malformed) but none of its fields is
    // read: the outcome is the header status alone.
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    SavedInfoOwner<CSIClose> rec(static_cast<CSIClose*>(TakeSavedInfo(MakeSavedInfoKey(ctx))));
    if (!rec) return SMB_RET_NO_OBJECT;

    // A FID handed on by a command earlier in the same chain names the file reported; the
    // release below keeps to the FID the close request named.
    const uint16_t fid = ctx->m_fid != 0 ? ctx->m_fid : rec->m_fid;
    _smbFileObj* file = FindFileObj(fid);
    if (!file) return SMB_RET_NO_OBJECT;

    CCloseEvent& ev = rec->m_event;
    DescribeFile(ev, file, FindConvers(ctx->m_uid), FindResTree(ctx->m_tid));
    ev.m_rspTime = ctx->m_time;
    ev.m_status = ctx->m_status;
    Emit(&ev);
    if (ctx->m_status == 0) ReleaseFileObj(rec->m_fid);
    return SMB_RET_OK;
}
