#include "fileops/create_common.h"

#include <cstring>

#include "context/smb_context.h"
#include "events/events.h"
#include "framework/framework.h"
#include "state/records.h"
#include "state/saved_info.h"
#include "text/value_string.h"

CreateNameResult ReadCreateName(const SmbBlock& block, uint32_t at, bool unicode, UnterminatedUtf16 policy,
                                std::u16string& name) {
    if (at >= block.size()) return CreateNameResult::Missing;
    if (unicode) {
        const uint32_t start = at + 1;
        uint32_t end = start;
        bool terminated = false;
        for (; block.has(end, 2); end += 2) {
            if (block.u16(end) == 0) {
                terminated = true;
                break;
            }
        }
        if (!terminated && policy == UnterminatedUtf16::Reject) return CreateNameResult::Unterminated;
        name = ReadUtf16(block.data() + start, end - start);
        return CreateNameResult::Ok;
    }
    const uint8_t* text = block.data() + at;
    const auto* nul = static_cast<const uint8_t*>(std::memchr(text, 0, block.size() - at));
    if (!nul) return CreateNameResult::Unterminated;
    const size_t n = size_t(nul - text);
    // n is below the block's length, itself bounded by a 16-bit ByteCount.
    auto* wide = reinterpret_cast<char16_t*>(ZELK::MyMemAlloc(unsigned(2 * (n + 1)), "value_string", 250));
    if (!wide) return CreateNameResult::NoMemory;
    for (size_t i = 0; i < n; ++i) wide[i] = text[i];
    wide[n] = 0;
    name.assign(wide, n);
    ZELK::MyMemFree(wide);
    return CreateNameResult::Ok;
}

uint32_t FileTypeFromResource(uint16_t resourceType, bool directory, uint32_t requested) {
    switch (resourceType) {
        case 0: return directory ? SMB_FT_DIRECTORY : SMB_FT_FILE;
        case 1: return SMB_FT_PIPE_BYTE;
        case 2: return SMB_FT_PIPE_MESSAGE;
        case 3: return SMB_FT_PRINTER;
        default: return requested;
    }
}

void CSMBContext::CompleteRspEvent(const CPktContext* ctx, CEventParaBase* event, bool reconstruct) {
    event->m_rspTime = ctx->m_time;
    event->m_status = ctx->m_status;
    if (!reconstruct) return;
    ReconstructSession(ctx);
    event->m_pConvers = FindConvers(ctx->m_uid);
    event->m_pResTree = FindResTree(ctx->m_tid);
}

// The NT Create AndX and Open AndX responses, once their block is measured; they differ
// only in where the granted fields lie. `sessionOnError`: a refused create still names its
// conversation and tree (rebuilt when missing), as NT Create AndX reports them; Open AndX
// reports a refused open without them.
int CSMBContext::ProcessCreateRsp(CPktContext* ctx, int offset, const SmbBlock& block, uint8_t minWords,
                                  bool sessionOnError, GrantedFieldsReader readGranted) {
    SavedInfoOwner<CSICreate> record(static_cast<CSICreate*>(TakeSavedInfo(MakeSavedInfoKey(ctx))));
    if (!record) return SMB_RET_OK;

    const uint8_t words = block.WordCount();
    if (words == 1) return SMB_RET_OK;
    AndXLink link = ReadAndX(ctx, block, offset);
    uint16_t fid = 0;
    if (words >= 2) {
        // A chained command means this one succeeded, whatever the header says; the
        // chained command keeps the header status in its copy.
        if (link.Active()) ctx->m_status = 0;
        if (words < minWords) {
            link.chain.m_fid = 0;
            return FollowAndX(link);
        }
        fid = readGranted(block, record->m_event);
    }
    // WordCount 0 is an error response (or, with status 0, a create under FID 0): the event
    // is completed from the header and the saved request.
    CCreateEvent& ev = record->m_event;
    const bool granted = ctx->m_status == 0;
    CompleteRspEvent(ctx, &ev, granted || sessionOnError);
    if (granted) {
        auto* file = new _smbFileObj;
        if (!file) return SMB_RET_NO_MEMORY;
        file->m_fileName = ev.m_fileName;
        file->m_fileType = ev.m_fileType;
        // A FID the server hands out again replaces whatever still held it. When no tree
        // could be had (the rebuilt one failed to allocate), the file object is kept
        // without one: later reads, writes and the close of the FID still find its name
        // and type, which matter more to an audit trail than the share.
        FileFileObj(file, fid, ctx->m_tid);
        ev.m_pFileObj = file;
    }
    Emit(&ev);
    link.chain.m_fid = fid;
    return FollowAndX(link);
}
