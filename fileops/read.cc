// The read family: Read AndX (0x2E) reported from its response with the data read, Read
// (0x0A) likewise when its response carries a data buffer, Read Raw (0x1A) from its request
// alone (the raw bytes that answer it carry no SMB header). Named-pipe payload of Read AndX
// goes to HandleRPC instead of an event. Data is never copied: it points into the stream
// buffer for the duration of the sink call.
#include "context/smb_context.h"
#include "events/events.h"
#include "fileops/file_data.h"
#include "state/records.h"
#include "state/saved_info.h"

namespace {
constexpr uint8_t kReadAndXReqWords = 10;
constexpr uint8_t kReadAndXReqWordsLarge = 12;  // with OffsetHigh
constexpr uint8_t kReadAndXRspWords = 12;
constexpr uint8_t kReadWords = 5;
constexpr uint8_t kReadRawWords = 8;
constexpr uint8_t kReadRawWordsLarge = 10;  // with OffsetHigh
constexpr uint8_t kDataBuffer = 0x01;       // BufferFormat of a data block
}  // namespace

int CSMBContext::ProcessReadAndXReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    SavedInfoOwner<CSIRead> rec(new CSIRead(ctx->m_time));
    if (!rec) return SMB_RET_NO_MEMORY;
    AndXLink link = ReadAndX(ctx, block, offset);
    const uint8_t words = block.WordCount();
    if (words < kReadAndXReqWords) return FollowAndX(link);

    CReadEvent& ev = rec->m_event;
    rec->m_fid = block.u16(5);
    ev.m_offset = block.u32(7) | (words == kReadAndXReqWordsLarge ? uint64_t(block.u32(21)) << 32 : 0);
    // MaxCountHigh shares its place with the old Timeout field; only its low 16 bits count.
    ev.m_count = uint32_t(block.u32(15) << 16) | block.u16(11);
    PutSavedInfo(MakeSavedInfoKey(ctx), rec.release());
    return FollowAndX(link);
}

int CSMBContext::ProcessReadAndXRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    SavedInfoOwner<CSIRead> rec(static_cast<CSIRead*>(TakeSavedInfo(MakeSavedInfoKey(ctx))));
    if (!rec) return SMB_RET_OK;

    const uint8_t words = block.WordCount();
    if (words == 1) return SMB_RET_OK;
    AndXLink link = ReadAndX(ctx, block, offset);
    FilePayload payload;  // none for an error response (WordCount 0)
    if (words >= 2) {
        if (link.Active()) ctx->m_status = 0;
        if (words < kReadAndXRspWords) return FollowAndX(link);
        const uint64_t length = uint64_t(block.u16(15)) << 16 | block.u16(11);
        payload = ReadWritePayload(ctx, block, offset, block.u16(13), length);
    }
    // A file opened earlier in the same chain is known by the FID its response handed on;
    // the request named it 0xFFFF then.
    const uint16_t fid = ctx->m_fid != 0 ? ctx->m_fid : rec->m_fid;
    _smbFileObj* file = FindFileObj(fid);
    if (!file) return FollowAndX(link);

    CReadEvent& ev = rec->m_event;
    DescribeFile(ev, file, FindConvers(ctx->m_uid), FindResTree(ctx->m_tid));
    ev.m_rspTime = ctx->m_time;
    ev.m_status = ctx->m_status;
    ev.m_pData = payload.data;
    ev.m_dataLen = payload.len;
    // The status is not consulted: a warning such as STATUS_BUFFER_OVERFLOW on a
    // message-mode pipe still carries data.
    const int own = ReportFileData(&ev, file, payload.data, payload.len, ev.m_rspTime);
    link.chain.m_fid = fid;
    const int chained = FollowAndX(link);
    return chained != 0 ? chained : own;
}

namespace {
// Read and Read Raw name their file at the request. Between a Read request and its
// response the file, its tree or the conversation may have been released (a close, tree
// disconnect or logoff answered first); the event then keeps the name and type it copied
// but must not hand the sink a pointer to a released record.
template <typename Record>
void DropIfReleased(Record*& saved, Record* live) {
    if (saved != live) saved = nullptr;
}
}  // namespace

int CSMBContext::ProcessReadReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    SavedInfoOwner<CSIRead> rec(new CSIRead(ctx->m_time));
    if (!rec) return SMB_RET_NO_MEMORY;
    if (block.WordCount() != kReadWords) return SMB_RET_OK;
    rec->m_fid = block.u16(1);
    _smbFileObj* file = FindFileObj(rec->m_fid);
    if (!file) return SMB_RET_OK;
    DescribeFile(rec->m_event, file, FindConvers(ctx->m_uid), FindResTree(ctx->m_tid));
    PutSavedInfo(MakeSavedInfoKey(ctx), rec.release());
    return SMB_RET_OK;
}

int CSMBContext::ProcessReadRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    SavedInfoOwner<CSIRead> rec(static_cast<CSIRead*>(TakeSavedInfo(MakeSavedInfoKey(ctx))));
    if (!rec) return SMB_RET_NO_REQUEST;

    const uint8_t words = block.WordCount();
    if (words != 0 && words != kReadWords) return SMB_RET_OK;
    // The data buffer follows the parameter words: ByteCount, BufferFormat, DataLength, data.
    const uint32_t at = 1 + 2u * words;
    const uint16_t dataLen = block.u16(at + 3);
    const uint8_t* data = block.bytes(at + 5, dataLen);
    if (block.u16(at) == 0 || block.u8(at + 2) != kDataBuffer || !data) return SMB_RET_OK;

    CReadEvent& ev = rec->m_event;
    DropIfReleased(ev.m_pFileObj, FindFileObj(rec->m_fid));
    DropIfReleased(ev.m_pResTree, FindResTree(ctx->m_tid));
    DropIfReleased(ev.m_pConvers, FindConvers(ctx->m_uid));
    ev.m_pData = data;
    ev.m_dataLen = dataLen;
    Emit(&ev);
    return SMB_RET_OK;
}

int CSMBContext::ProcessReadRawReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    if (int r = GetCmdBlock(ctx, offset, block); r < 0) return r;
    SavedInfoOwner<CSIRead> rec(new CSIRead(ctx->m_time));
    if (!rec) return SMB_RET_NO_MEMORY;
    const uint8_t words = block.WordCount();
    if (words < kReadRawWords) return SMB_RET_OK;
    CReadEvent& ev = rec->m_event;
    ev.m_offset = block.u32(3) | (words == kReadRawWordsLarge ? uint64_t(block.u32(17)) << 32 : 0);
    ev.m_count = block.u16(7);
    _smbFileObj* file = FindFileObj(block.u16(1));
    if (!file) return SMB_RET_OK;
    DescribeFile(ev, file, FindConvers(ctx->m_uid), FindResTree(ctx->m_tid));
    Emit(&ev);
    return SMB_RET_OK;
}
