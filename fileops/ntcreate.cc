// NT Create AndX (0xA2): how clients open or create files, directories and named pipes.
// The request's name and intent wait in a CSICreate; the response creates the file object
// under the FID the server granted and reports the create event.
#include "context/smb_context.h"
#include "events/events.h"
#include "fileops/create_common.h"
#include "state/records.h"
#include "state/saved_info.h"

namespace {
// Request block: WordCount 24 reaches CreateOptions; the name follows the 51-byte header.
constexpr uint8_t kReqWords = 24;
constexpr uint32_t kReqNameAt = 51;
// FILE_DIRECTORY_FILE set and FILE_NON_DIRECTORY_FILE clear: the client asks for a directory.
constexpr uint32_t kDirectoryOptionsMask = 0x41;
constexpr uint32_t kDirectoryOptions = 0x01;

// Response: the extended form (WordCount 42) is what Windows servers send to clients that
// ask for it, and is the form read by default; the standard form has WordCount 34 and the
// same fields at the same places.
constexpr uint8_t kExtendedRspWords = 42;
constexpr uint8_t kStandardRspWords = 34;
}  // namespace

int CSMBContext::ProcessNTCreateReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    AndXLink link = ReadAndX(ctx, block, offset);
    if (block.WordCount() < kReqWords) return FollowAndX(link);

    const uint32_t rootFid = block.u32(12);
    const uint32_t disposition = block.u32(36);
    const uint32_t options = block.u32(40);
    std::u16string name;
    if (ReadCreateName(block, kReqNameAt, ctx->m_bUnicode, UnterminatedUtf16::Keep, name) != CreateNameResult::Ok)
        return FollowAndX(link);

    SavedInfoOwner<CSICreate> rec(new CSICreate(ctx->m_time));
    if (!rec) return SMB_RET_NO_MEMORY;
    if (rootFid != 0) {
        // A name relative to an open directory. The two are joined as they stand: the
        // directory's name as it was opened, then the request's, no separator added.
        _smbFileObj* root = rootFid <= 0xFFFF ? FindFileObj(uint16_t(rootFid)) : nullptr;
        if (!root) return FollowAndX(link);
        name.insert(0, root->m_fileName);
    }
    CCreateEvent& ev = rec->m_event;
    ev.m_fileName = std::move(name);
    ev.m_disposition = disposition;
    ev.m_fileType = (options & kDirectoryOptionsMask) == kDirectoryOptions ? SMB_FT_DIRECTORY : SMB_FT_UNKNOWN;
    PutSavedInfo(MakeSavedInfoKey(ctx), rec.release());
    return FollowAndX(link);
}

namespace {
// The block of an NT Create AndX response and the WordCount from which its fields are read.
// By default the block has the fixed length of GetCmdBlockLen (the extended response on
// success, WordCount and ByteCount alone on error). Two cases read more:
//  - with acceptStandard, a successful response of WordCount 34 or more whose ordinary
//    block fits in the message is read as measured by WordCount and ByteCount, unless it
//    claims the extended form (WordCount 42 or more) and the message holds that;
//  - an error response that still carries parameter words (WordCount 2 or more) is read
//    through to the end of its message, so that its AndX header, and the FID granted when a
//    chained command makes it a success, are found where they are. Nothing is read past
//    the message.
int NTCreateRspBlock(CPktContext* ctx, int offset, bool acceptStandard, SmbBlock& block, uint8_t& minWords) {
    minWords = kExtendedRspWords;
    const int fixed = GetCmdBlock(ctx, offset, block);
    if (ctx->m_status == 0) {
        if (!acceptStandard) return fixed;
        const int len = GetStandardCmdBlockLen(ctx, offset);
        if (len < 0) return fixed;
        const uint8_t* p = MessageView(ctx).bytes(uint32_t(offset), uint32_t(len));
        if (!p) return fixed;
        const SmbBlock standard(p, uint32_t(len));
        const uint8_t words = standard.WordCount();
        if (words < kStandardRspWords || (words >= kExtendedRspWords && fixed == SMB_RET_OK)) return fixed;
        block = standard;
        minWords = kStandardRspWords;
        return SMB_RET_OK;
    }
    if (fixed < 0) return fixed;
    if (block.WordCount() >= 2) {
        // The fixed length has placed the block inside the message, so the rest is not empty.
        const SmbBlock msg = MessageView(ctx);
        const uint32_t rest = msg.size() - uint32_t(offset);
        if (const uint8_t* p = msg.bytes(uint32_t(offset), rest)) block = SmbBlock(p, rest);
    }
    return SMB_RET_OK;
}
}  // namespace

int CSMBContext::ProcessNTCreateRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    uint8_t minWords = 0;
    if (int r = NTCreateRspBlock(ctx, offset, m_options.acceptStandardNtCreateRsp, block, minWords); r < 0) return r;
    return ProcessCreateRsp(ctx, offset, block, minWords, /*sessionOnError=*/true,
                            [](const SmbBlock& b, CCreateEvent& ev) -> uint16_t {
                                ev.m_createAction = b.u32(8);
                                ev.m_fileSize = b.u64(56);
                                ev.m_fileType = FileTypeFromResource(b.u16(64), b.u8(68) != 0, ev.m_fileType);
                                return b.u16(6);
                            });
}
