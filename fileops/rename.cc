// SMB_COM_RENAME (0x07): OldFileName and NewFileName, each a BufferFormat 0x04 field. The
// response goes through the shared handler in namespace_response.cc.
#include "context/smb_context.h"
#include "fileops/path_name.h"
#include "state/saved_info.h"

namespace {
// The names start after SearchAttributes and ByteCount. WordCount is required to be
// non-zero but not used: the names are looked for at offset 5 whatever it says.
constexpr uint32_t kOldFileNamePos = 5;
}  // namespace

int CSMBContext::ProcessRenameReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    // A rename is only followed on a share this connection is known to be connected to.
    if (!FindResTree(ctx->m_tid) || block.WordCount() == 0) return SMB_RET_BAD_FORMAT;

    SavedInfoOwner<CSIRename> rec(new CSIRename(ctx->m_time));
    if (!rec) return SMB_RET_NO_MEMORY;
    // NewFileName follows OldFileName's terminator directly, so in Unicode it can start at
    // an odd offset and carry its own pad byte.
    uint32_t pos = kOldFileNamePos;
    if (!TakeSmbPathName(block, pos, ctx->m_bUnicode, rec->m_event.m_oldName) ||
        !TakeSmbPathName(block, pos, ctx->m_bUnicode, rec->m_event.m_newName))
        return SMB_RET_BAD_FORMAT;
    PutSavedInfo(MakeSavedInfoKey(ctx), rec.release());
    return SMB_RET_OK;
}
