// The one response handler of the namespace commands: Create Directory, Delete Directory,
// Delete and Rename. Their responses carry nothing but the header status, so the handler
// only completes the saved request's event from the header and reports it, whatever the
// status: a refused delete or rename is as much worth auditing as a granted one.
#include "context/smb_context.h"
#include "events/events.h"
#include "state/saved_info.h"

namespace {
// The event a namespace command's saved record carries. The pending-table key contains the
// command byte, so a response only ever meets the record its own command's request filed.
CEventParaBase* SavedEvent(CSavedInfoBase* rec, uint8_t cmd) {
    switch (cmd) {
        case 0x00: return &static_cast<CSICreate*>(rec)->m_event;
        case 0x01: return &static_cast<CSIDeleteDir*>(rec)->m_event;
        case 0x06: return &static_cast<CSIDeleteFile1*>(rec)->m_event;
        case 0x07: return &static_cast<CSIRename*>(rec)->m_event;
        default: return nullptr;
    }
}
}  // namespace

int CSMBContext::ProcessDeleteFileRsp(CPktContext* ctx, int offset) {
    // The block is measured (a truncated message is malformed) but never read.
    if (int len = GetCmdBlockLen(ctx, offset); len < 0) return len;
    SavedInfoOwner<CSavedInfoBase> rec(TakeSavedInfo(MakeSavedInfoKey(ctx)));
    CEventParaBase* ev = rec ? SavedEvent(rec.get(), ctx->m_cmd) : nullptr;
    if (!ev) return SMB_RET_NO_REQUEST;

    // A connection picked up mid-session gets its logon and tree connect announced first.
    CompleteRspEvent(ctx, ev, true);
    Emit(ev);
    return SMB_RET_OK;
}

int CSMBContext::ProcessCreateDirRsp(CPktContext* ctx, int offset) { return ProcessDeleteFileRsp(ctx, offset); }
int CSMBContext::ProcessDeleteDirRsp(CPktContext* ctx, int offset) { return ProcessDeleteFileRsp(ctx, offset); }
int CSMBContext::ProcessRenameRsp(CPktContext* ctx, int offset) { return ProcessDeleteFileRsp(ctx, offset); }
