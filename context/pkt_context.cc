#include "context/pkt_context.h"

#include "framework/framework.h"

int GetStandardCmdBlockLen(const CPktContext* ctx, int offset) {
    if (offset < 0) return SMB_RET_BAD_FORMAT;
    const uint64_t start = uint64_t(offset);
    // The whole message is buffered when handlers run, so a field beyond its end is a
    // malformed message, never a reason to wait for more bytes.
    if (start + 1 > ctx->m_msgLen) return SMB_RET_BAD_FORMAT;
    const auto* wc = reinterpret_cast<const uint8_t*>(ctx->m_pBufMgr->GetData(offset, 1));
    if (!wc) return SMB_RET_NEED_DATA;
    const uint64_t bcAt = start + 1 + 2u * *wc;
    if (bcAt + 2 > ctx->m_msgLen) return SMB_RET_BAD_FORMAT;
    const auto* bc = reinterpret_cast<const uint8_t*>(ctx->m_pBufMgr->GetData(unsigned(bcAt), 2));
    if (!bc) return SMB_RET_NEED_DATA;
    const uint64_t len = 1 + 2u * *wc + 2 + (bc[0] | bc[1] << 8);
    if (start + len > ctx->m_msgLen) return SMB_RET_BAD_FORMAT;
    return int(len);
}

int GetCmdBlockLen(CPktContext* ctx, int offset) {
    if (ctx->m_cmd == 0xA2 && !ctx->m_bReq) {
        const uint32_t len = ctx->m_status != 0 ? 3 : 103;
        if (offset < 0 || uint64_t(offset) + len > ctx->m_msgLen) return SMB_RET_BAD_FORMAT;
        return int(len);
    }
    return GetStandardCmdBlockLen(ctx, offset);
}

int GetCmdBlock(CPktContext* ctx, int offset, SmbBlock& block) {
    const int len = GetCmdBlockLen(ctx, offset);
    if (len < 0) return len;
    const auto* p = reinterpret_cast<const uint8_t*>(ctx->m_pBufMgr->GetData(unsigned(offset), unsigned(len)));
    if (!p) return SMB_RET_NEED_DATA;
    block = SmbBlock(p, uint32_t(len));
    return SMB_RET_OK;
}

SmbBlock MessageView(const CPktContext* ctx) {
    const auto* p = reinterpret_cast<const uint8_t*>(ctx->m_pBufMgr->GetData(0, ctx->m_msgLen));
    return p ? SmbBlock(p, ctx->m_msgLen) : SmbBlock();
}
