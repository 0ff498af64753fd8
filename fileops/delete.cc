// SMB_COM_DELETE (0x06): deletes the files a (possibly wildcard) FileName matches. The
// response goes through the shared handler in namespace_response.cc.
#include "context/smb_context.h"
#include "fileops/path_name.h"
#include "state/saved_info.h"

namespace {
// WordCount 1 (SearchAttributes), ByteCount, then BufferFormat 0x04 and the name.
constexpr uint8_t kDeleteWordCount = 1;
constexpr uint16_t kDeleteMinByteCount = 2;  // format byte and at least a terminator
constexpr uint32_t kFileNamePos = 5;
}  // namespace

int CSMBContext::ProcessDeleteFileReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    if (block.WordCount() != kDeleteWordCount || block.ByteCount() < kDeleteMinByteCount) return SMB_RET_OK;

    SavedInfoOwner<CSIDeleteFile1> rec(new CSIDeleteFile1(ctx->m_time));
    if (!rec) return SMB_RET_NO_MEMORY;
    uint32_t pos = kFileNamePos;
    if (!TakeSmbPathName(block, pos, ctx->m_bUnicode, rec->m_event.m_fileName)) return SMB_RET_OK;
    rec->m_event.m_fileType = SMB_FT_FILE;
    PutSavedInfo(MakeSavedInfoKey(ctx), rec.release());
    return SMB_RET_OK;
}
