// SMB_COM_NEGOTIATE (0x72): the request lists the client's dialects, the response picks
// one by index. The connection keeps the dialect's name, the server name of a
// non-extended NT LM 0.12 response and, with extended security, whether Session Setup
// blobs are SPNEGO tokens or bare NTLMSSP. No event is emitted.
#include <cstring>

#include "context/smb_context.h"
#include "state/saved_info.h"
#include "text/value_string.h"

namespace {

constexpr uint16_t kNoDialect = 0xFFFF;  // the server accepts none of the listed dialects
constexpr const char* kCoreDialect = "PC NETWORK PROGRAM 1.0";
constexpr uint32_t kCapExtendedSecurity = 0x80000000u;
// CAP_RAW_MODE | CAP_UNICODE | CAP_LARGE_FILES | CAP_STATUS32: any of them marks a server
// whose NT LM 0.12 response strings are Unicode.
constexpr uint32_t kCapUnicodeHint = 0x4D;
constexpr uint32_t kNtDataStart = 37;       // after the 17 words and ByteCount
constexpr uint32_t kServerGuidEnd = 53;     // data start + the 16-byte ServerGUID
constexpr uint16_t kGuidOnly = 16;

// One NUL-terminated name of the non-extended response. Unicode text starts right at `pos`
// (these servers send no pad byte here) and may end at the block's end.
int ReadNegoName(const SmbBlock& block, uint32_t& pos, bool unicode, std::string* dest) {
    const uint32_t left = block.size() - pos;
    if (!unicode) {
        const void* nul = std::memchr(block.data() + pos, 0, left);
        if (!nul) return SMB_RET_BAD_FORMAT;
        const uint32_t n = uint32_t(static_cast<const uint8_t*>(nul) - (block.data() + pos));
        if (dest) dest->assign(reinterpret_cast<const char*>(block.data() + pos), n);
        pos += n + 1;
        return SMB_RET_OK;
    }
    std::string text;
    int consumed = 0;
    if (!UnicodeToAsciiString(reinterpret_cast<const char*>(block.data()), int(pos), consumed, false,
                              static_cast<unsigned short>(left > 0xFFFF ? 0xFFFF : left), text))
        return SMB_RET_NO_MEMORY;
    if (dest) *dest = std::move(text);
    pos += uint32_t(consumed);
    return SMB_RET_OK;
}

}  // namespace

int CSMBContext::ProcessNegoReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    const int r = GetCmdBlock(ctx, offset, block);
    if (r < 0) return r;
    if (block.WordCount() != 0) return SMB_RET_BAD_FORMAT;
    SavedInfoOwner<CSINego> nego(new CSINego(ctx->m_time));
    if (!nego) return SMB_RET_NO_MEMORY;
    // Entries of BufferFormat 0x02 and a NUL-terminated name, filling the block exactly.
    for (uint32_t pos = block.BytesOffset(); pos < block.size();) {
        if (block.u8(pos) != 0x02) return SMB_RET_BAD_FORMAT;
        const uint8_t* name = block.data() + pos + 1;
        const void* nul = std::memchr(name, 0, block.size() - (pos + 1));
        if (!nul) return SMB_RET_BAD_FORMAT;
        const size_t n = size_t(static_cast<const uint8_t*>(nul) - name);
        nego->m_dialects.emplace_back(reinterpret_cast<const char*>(name), n);
        pos += uint32_t(n) + 2;
    }
    PutSavedInfo(MakeSavedInfoKey(ctx), nego.release());
    return SMB_RET_OK;
}

int CSMBContext::ProcessNegoRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    const int r = GetCmdBlock(ctx, offset, block);
    if (r < 0) return r;
    SavedInfoOwner<CSINego> nego(static_cast<CSINego*>(TakeSavedInfo(MakeSavedInfoKey(ctx))));
    if (!nego) return SMB_RET_NO_REQUEST;

    const uint8_t wc = block.WordCount();
    if (wc != 0) {
        const uint16_t index = block.u16(1);
        if (index == kNoDialect) {
            m_connState.m_dialect = kCoreDialect;
        } else if (index < nego->m_dialects.size()) {
            m_connState.m_dialect = nego->m_dialects[index];
        } else {
            return SMB_RET_BAD_FORMAT;
        }
    }

    if (wc == 17 && block.ByteCount() != 0) {
        const uint32_t caps = block.u32(20);
        if (!(caps & kCapExtendedSecurity)) {
            // Challenge, DomainName, ServerName. A challenge running past the block leaves
            // the names unread but is no reason to reject the response.
            const uint32_t challengeEnd = kNtDataStart + block.u8(34);
            if (challengeEnd <= block.size()) {
                uint32_t pos = challengeEnd;
                ctx->m_bUnicode = (caps & kCapUnicodeHint) != 0 || ctx->m_bUnicode;
                if (pos >= block.size()) return SMB_RET_BAD_FORMAT;
                int nr = ReadNegoName(block, pos, ctx->m_bUnicode, nullptr);  // DomainName
                if (nr != SMB_RET_OK) return nr;
                if (pos >= block.size()) return SMB_RET_BAD_FORMAT;
                nr = ReadNegoName(block, pos, ctx->m_bUnicode, &m_connState.m_serverName);
                if (nr != SMB_RET_OK) return nr;
            }
        } else if (block.size() >= kServerGuidEnd) {
            // A GUID alone means the client starts NTLMSSP itself; a blob after it is the
            // server's SPNEGO negTokenInit, and every later blob is SPNEGO too.
            m_connState.m_secMode = block.ByteCount() == kGuidOnly ? 0 : 1;
        }
    }
    return ctx->m_status != 0 ? SMB_RET_ERROR_STATUS : SMB_RET_OK;
}
