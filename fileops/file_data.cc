#include "fileops/file_data.h"

#include "context/smb_context.h"
#include "events/events.h"

FilePayload PayloadInBlock(const SmbBlock& block, int offset, uint16_t dataOffset, uint64_t length) {
    const int64_t pos = int64_t(dataOffset) + 4 - offset;
    if (pos < 0 || uint64_t(pos) >= block.size()) return {};
    const uint64_t avail = block.size() - uint64_t(pos);
    return {block.data() + pos, length < avail ? length : avail};
}

FilePayload CSMBContext::ReadWritePayload(const CPktContext* ctx, const SmbBlock& block, int offset,
                                          uint16_t dataOffset, uint64_t length) const {
    if (!m_options.largeReadWrite) return PayloadInBlock(block, offset, dataOffset, length);
    // The same rule over the rest of the message: from the block's start to the message's end.
    const SmbBlock message = MessageView(ctx);
    if (offset < 0 || uint32_t(offset) >= message.size()) return {};
    const uint32_t rest = message.size() - uint32_t(offset);
    return PayloadInBlock(SmbBlock(message.bytes(uint32_t(offset), rest), rest), offset, dataOffset, length);
}

int CSMBContext::ReportFileData(CEventParaBase* event, _smbFileObj* file, const uint8_t* data, uint64_t len,
                                CTimeStamp32& time) {
    if (IsPipeType(file->m_fileType)) {
        if (m_pOutPut) m_pOutPut->HandleRPC(file, reinterpret_cast<const char*>(data), size_t(len), time);
        return SMB_RET_PIPE_DATA;
    }
    Emit(event);
    return SMB_RET_FILE_CMD;
}
