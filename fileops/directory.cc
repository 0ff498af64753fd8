// SMB_COM_CREATE_DIRECTORY (0x00) and SMB_COM_DELETE_DIRECTORY (0x01): a DirectoryName and
// nothing else. The responses go through the shared handler in namespace_response.cc.
#include "context/smb_context.h"
#include "fileops/path_name.h"
#include "state/saved_info.h"

namespace {
// Both requests: no parameter words, ByteCount, then BufferFormat 0x04 and the name at
// block offset 3. The WordCount is not checked: the name is looked for at offset 3 whatever
// it says.
constexpr uint32_t kDirectoryNamePos = 3;

// The saved record of a directory request, or null when the request is not followed. A
// record that cannot be allocated drops the request quietly (result 0, not
// SMB_RET_NO_MEMORY), as an unreadable name does.
template <typename Record>
Record* ReadDirectoryRequest(const CPktContext* ctx, const SmbBlock& block) {
    SavedInfoOwner<Record> rec(new Record(ctx->m_time));
    if (!rec) return nullptr;
    uint32_t pos = kDirectoryNamePos;
    if (!TakeSmbPathName(block, pos, ctx->m_bUnicode, rec->m_event.m_fileName)) return nullptr;
    rec->m_event.m_fileType = SMB_FT_DIRECTORY;
    return rec.release();
}
}  // namespace

int CSMBContext::ProcessCreateDirReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    if (auto* rec = ReadDirectoryRequest<CSICreate>(ctx, block)) PutSavedInfo(MakeSavedInfoKey(ctx), rec);
    return SMB_RET_OK;
}

int CSMBContext::ProcessDeleteDirReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    if (auto* rec = ReadDirectoryRequest<CSIDeleteDir>(ctx, block)) PutSavedInfo(MakeSavedInfoKey(ctx), rec);
    return SMB_RET_OK;
}
