// Open AndX (0x2D): the older way to open or create a file. Same record, event and file
// object as NT Create AndX; the legacy fields are translated into the NT ones.
#include "context/smb_context.h"
#include "events/events.h"
#include "fileops/create_common.h"
#include "state/records.h"
#include "state/saved_info.h"

namespace {
constexpr uint8_t kOpenWords = 15;  // both directions; the extended 19-word response too
constexpr uint32_t kReqNameAt = 33;
constexpr uint16_t kAttrDirectory = 0x10;

// OpenMode (the OpenFunction of the request) as an NT create disposition. Bit 4 asks to
// create a missing file, bits 0-1 say what to do with an existing one (1 open, 2 truncate).
// Later rules override earlier ones, so "create or open" is reported as open (1) and
// "create or truncate" as overwrite (4); with neither bit the disposition stays unknown (6).
uint32_t DispositionFromOpenMode(uint16_t openMode) {
    uint32_t disposition = 6;
    if (openMode & 0x10) disposition = 2;
    if ((openMode & 0x03) == 1) disposition = 1;
    if ((openMode & 0x03) == 2) disposition = 4;
    return disposition;
}
}  // namespace

int CSMBContext::ProcessOpenAndXReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    AndXLink link = ReadAndX(ctx, block, offset);
    if (block.WordCount() < kOpenWords) return FollowAndX(link);

    SavedInfoOwner<CSICreate> rec(new CSICreate(ctx->m_time));
    if (!rec) return SMB_RET_NO_MEMORY;
    CCreateEvent& ev = rec->m_event;
    ev.m_fileType = (block.u16(11) & kAttrDirectory) ? SMB_FT_DIRECTORY : SMB_FT_FILE;
    ev.m_disposition = DispositionFromOpenMode(block.u16(17));
    if (ReadCreateName(block, kReqNameAt, ctx->m_bUnicode, UnterminatedUtf16::Reject, ev.m_fileName) !=
        CreateNameResult::Ok)
        return FollowAndX(link);
    PutSavedInfo(MakeSavedInfoKey(ctx), rec.release());
    return FollowAndX(link);
}

int CSMBContext::ProcessOpenAndXRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    // Unlike NT Create AndX, a refused open names no conversation or tree and rebuilds none.
    return ProcessCreateRsp(ctx, offset, block, kOpenWords, /*sessionOnError=*/false,
                            [](const SmbBlock& b, CCreateEvent& ev) -> uint16_t {
                                ev.m_fileSize = b.u32(13);
                                ev.m_fileType =
                                    FileTypeFromResource(b.u16(19), (b.u16(7) & kAttrDirectory) != 0, ev.m_fileType);
                                // OpenResults: bit 15 (oplock granted) is not an action.
                                ev.m_createAction = b.u16(23) & 3;
                                return b.u16(5);
                            });
}
