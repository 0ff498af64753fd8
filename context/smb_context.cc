// Stream intake: one context per TCP connection, one stream buffer per direction, NetBIOS
// session framing and the resynchronisation rule after lost bytes.
#include "context/smb_context.h"

#include <cstring>

#include "events/events.h"
#include "state/records.h"
#include "state/saved_info.h"

const unsigned char CSMBContext::m_stampStr[4] = {0xFF, 'S', 'M', 'B'};

namespace {
// Largest message the two NetBIOS length rules can announce, header included.
constexpr uint32_t kMaxMessage445 = 0xFFFFFF + 4;
constexpr uint32_t kMaxMessage139 = 0x1FFFF + 4;
}  // namespace

CSMBContext::CSMBContext() : m_reqBuf(1500), m_rspBuf(1500) {
    m_connState.m_dialect = SMB_MASK;
    m_connState.m_serverName = SMB_MASK;
}

CSMBContext::~CSMBContext() { Close(); }

bool CSMBContext::Init(CSMBOutPut* pOutPut, _addrInfo& addr, CConfigTemplate*) {
    m_pOutPut = pOutPut;
    m_addrInfo = addr;
    m_bPort445 = addr.m_serverPort == 445;
    return true;
}

void CSMBContext::Emit(CEventParaBase* event) {
    if (m_pOutPut) m_pOutPut->HandleEvent(this, event);
}

namespace {
// NetBIOS session header: type byte, then the length, most significant byte first. SMB over
// TCP (port 445) uses all 24 bits; the NetBIOS session service only bit 0 of byte 1 (the
// length extension bit) above the low 16 bits.
uint32_t NbtLength(const unsigned char* h, bool port445) {
    uint32_t high = port445 ? h[1] : (h[1] & 1u);
    return high << 16 | uint32_t(h[2]) << 8 | h[3];
}
}  // namespace

bool CSMBContext::HasBufferedMessage(bool bReq) const {
    const CBufferManager& buf = bReq ? m_reqBuf : m_rspBuf;
    if (bReq ? m_connState.m_bResyncReq : m_connState.m_bResyncRsp) return false;
    const auto* h = reinterpret_cast<const unsigned char*>(buf.GetData(0, 4));
    if (!h) return false;
    uint32_t msgLen = NbtLength(h, m_bPort445) + 4;
    // An oversized message counts as complete: the next call drops it.
    if (m_options.maxMessageBytes && msgLen > m_options.maxMessageBytes) return true;
    return buf.CheckLength(0, msgLen);
}

int CSMBContext::Proccess(char* data, int len, bool bReq, int, CTimeStamp32& time, bool bResync) {
    CBufferManager& buf = bReq ? m_reqBuf : m_rspBuf;
    bool& waiting = bReq ? m_connState.m_bResyncReq : m_connState.m_bResyncRsp;
    const unsigned int chunkLen = data && len > 0 ? static_cast<unsigned int>(len) : 0;

    if (bResync) {
        waiting = true;
        buf.ClearHisData();
    }
    if (buf.LockBuffer(data, chunkLen) < 0) {
        // The bytes could not be kept: wait for the next message boundary.
        waiting = true;
        buf.FreeBuffer();
        return SMB_RET_NO_MEMORY;
    }

    if (waiting) {
        // After lost bytes, only a chunk that starts a message (a session message header
        // followed by the SMB signature) ends the wait. Nothing is scanned for inside it.
        const auto* h = reinterpret_cast<const unsigned char*>(buf.GetData(0, 4));
        if (!h) {
            buf.FreeBuffer();
            return SMB_RET_OK;
        }
        if (h[0] != 0) {
            buf.Skip(chunkLen);
            buf.FreeBuffer();
            return SMB_RET_OK;
        }
        const char* sig = buf.GetData(4, 4);
        if (!sig) {
            buf.FreeBuffer();
            return SMB_RET_OK;
        }
        if (std::memcmp(sig, m_stampStr, 4) != 0) {
            buf.Skip(chunkLen);
            buf.FreeBuffer();
            return SMB_RET_OK;
        }
        waiting = false;
    }

    CPktContext ctx;
    ctx.m_bReq = bReq;
    ctx.m_time = time;
    ctx.m_pBufMgr = &buf;
    int result = DecodeNBTMsg(&ctx, 0);
    if (result == SMB_RET_NEED_DATA) {
        const uint32_t limit = m_options.maxMessageBytes ? m_options.maxMessageBytes
                               : m_bPort445              ? kMaxMessage445
                                                         : kMaxMessage139;
        if (ctx.m_msgLen > limit) {
            // Never buffer a message beyond the limit: drop it and wait for the next boundary.
            buf.ClearHisData();
            waiting = true;
            ++m_counters.oversizeDrops;
            buf.FreeBuffer();
            return SMB_RET_BAD_FORMAT;
        }
        buf.FreeBuffer();
        return SMB_RET_NEED_DATA;
    }
    buf.Skip(ctx.m_msgLen);
    buf.FreeBuffer();
    return result;
}

int CSMBContext::DecodeNBTMsg(CPktContext* ctx, int offset) {
    const auto* h = reinterpret_cast<const unsigned char*>(ctx->m_pBufMgr->GetData(offset, 4));
    if (!h) return SMB_RET_NEED_DATA;
    ctx->m_nbtLen = NbtLength(h, m_bPort445);
    ctx->m_msgLen = ctx->m_nbtLen + 4;
    // Keep-alives and the other session-service messages carry no SMB.
    if (h[0] != 0) return SMB_RET_NOT_SESSION_MSG;
    return DecodeSMBMsg(ctx, offset + 4);
}

int CSMBContext::DecodeSMBMsg(CPktContext* ctx, int offset) {
    CBufferManager* buf = ctx->m_pBufMgr;
    if (ctx->m_nbtLen < 32) {
        // Too short for an SMB header: never read one from the bytes of the next message.
        return buf->CheckLength(0, ctx->m_msgLen) ? SMB_RET_BAD_FORMAT : SMB_RET_NEED_DATA;
    }
    const auto* h = reinterpret_cast<const unsigned char*>(buf->GetData(offset, 32));
    if (!h) return SMB_RET_NEED_DATA;
    if (std::memcmp(h, m_stampStr, 4) != 0) return SMB_RET_BAD_FORMAT;
    SmbBlock hdr(h, 32);
    ctx->m_cmd = hdr.u8(4);
    ctx->m_tid = hdr.u16(24);
    ctx->m_pid = hdr.u16(26);
    ctx->m_uid = hdr.u16(28);
    ctx->m_mid = hdr.u16(30);
    const uint16_t flags2 = hdr.u16(10);
    ctx->m_bUnicode = (flags2 & 0x8000) != 0;
    ctx->m_bNtStatus = (flags2 & 0x4000) != 0;
    // A DOS status is the error class in the top byte and the error code in the low 16
    // bits; the reserved byte between them is left out.
    ctx->m_status = ctx->m_bNtStatus ? hdr.u32(5) : (uint32_t(hdr.u8(5)) << 24 | hdr.u16(7));
    if (!buf->CheckLength(offset, ctx->m_nbtLen)) return SMB_RET_NEED_DATA;
    return ProccessSMBCommand(ctx, offset + 32);
}
