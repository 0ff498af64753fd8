// SMB_COM_SESSION_SETUP_ANDX (0x73): logons. The request names the user (plain forms) or
// carries a security blob (extended security); the response either asks for another leg
// (NTLMSSP's NEGOTIATE / CHALLENGE / AUTHENTICATE) or ends the logon. One CSILogon, and the
// one CLogonEvent inside it, gathers every leg: between legs it is parked in the UID's
// conversation, and the event is emitted once, at the final response.
#include <cstring>

#include "context/smb_context.h"
#include "events/events.h"
#include "state/records.h"
#include "state/saved_info.h"
#include "text/value_string.h"

namespace {

// Request forms by WordCount, and where their fields lie (offsets from the WordCount byte).
constexpr uint8_t kLanManRequest = 10;   // PasswordLength at 15
constexpr uint8_t kExtendedRequest = 12;  // SecurityBlobLength at 15
constexpr uint8_t kNtRequest = 13;       // OEMPasswordLength at 15, UnicodePasswordLength at 17
constexpr uint8_t kExtendedResponse = 4;  // SecurityBlobLength at 7
constexpr uint32_t kNtlmSignatureLen = 7;  // "NTLMSSP", checked without its NUL here
constexpr uint8_t kNegTokenTarg = 0xA1;

constexpr uint32_t kDosMoreData = 0x010000EA;             // ERRDOS / ERRmoredata
constexpr uint32_t kMoreProcessingRequired = 0xC0000016;  // STATUS_MORE_PROCESSING_REQUIRED

bool MoreProcessingRequired(const CPktContext* ctx) {
    return ctx->m_bNtStatus ? ctx->m_status == kMoreProcessingRequired : ctx->m_status == kDosMoreData;
}

char* AsMessage(const uint8_t* p) { return reinterpret_cast<char*>(const_cast<uint8_t*>(p)); }

// A NUL-terminated SMB string of the block. Ok, Missing, Unterminated (8-bit only) or
// NoMemory, as ReadSmbString says; `dest` changes only on Ok.
SmbStringResult ReadString(const CPktContext* ctx, const SmbBlock& block, uint32_t& pos, std::string& dest) {
    uint32_t next = 0;
    const SmbStringResult r = ReadSmbString(block.data(), block.size(), pos, ctx->m_bUnicode, dest, next);
    if (r == SmbStringResult::Ok) pos = next;
    return r;
}

// An empty string at `pos`: its terminator, after the alignment pad for UTF-16, lies in the
// block. Where fewer than 3 bytes are left this is an empty string closing the block.
bool EmptyStringAt(const SmbBlock& block, uint32_t pos, bool unicode) {
    if (!unicode) return block.has(pos, 1) && block.u8(pos) == 0;
    pos += pos & 1;
    return block.has(pos, 2) && block.u16(pos) == 0;
}

bool HasNtlmSignature(const uint8_t* blob, uint32_t len) {
    return len > kNtlmSignatureLen && std::memcmp(blob, "NTLMSSP", kNtlmSignatureLen) == 0;
}

}  // namespace

int CSMBContext::ProcessSetupReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    const int br = GetCmdBlock(ctx, offset, block);
    if (br < 0) return br;

    CSILogon* record = nullptr;
    auto found = m_convers.find(ctx->m_uid);
    if (found == m_convers.end()) {
        record = new CSILogon(ctx->m_time);
        if (!record) return SMB_RET_NO_MEMORY;
    } else {
        // A UID the server already knows: this can only be the next leg of a logon whose
        // record waits in the conversation. A completed logon has none (re-authentication
        // of a live session is not followed).
        _smbConvers* conv = found->second;
        if (!conv) return SMB_RET_NO_OBJECT;
        if (!conv->m_pLogon) return SMB_RET_NO_LINK;
        record = conv->m_pLogon;
        conv->m_pLogon = nullptr;
    }
    SavedInfoOwner<CSILogon> logon(record);

    const uint8_t wc = block.WordCount();
    if (wc < 2) return SMB_RET_OK;  // too short for an AndX header: dropped, nothing chained
    AndXLink link = ReadAndX(ctx, block, offset);
    CLogonEvent& ev = logon->m_event;
    auto drop = [&] {
        delete logon.release();
        return FollowAndX(link);
    };

    uint32_t pos = block.BytesOffset();
    // NativeOS and NativeLanMan need at least 3 bytes each in the standard reading; Windows
    // 10 and later close the block with empty ones, which the tolerance accepts.
    auto nativeStringFits = [&] {
        return block.has(pos, 3) || (m_options.followUnreadLogons && EmptyStringAt(block, pos, ctx->m_bUnicode));
    };
    if (wc == kExtendedRequest) {
        const uint16_t blobLen = block.u16(15);
        if (blobLen != 0) {
            const uint8_t* blob = block.bytes(pos, blobLen);
            if (!blob) return drop();
            if (m_connState.m_secMode == 0) {
                if (!HasNtlmSignature(blob, blobLen)) return drop();
                ProcessNTLMSSP(logon.get(), AsMessage(blob), blobLen);
            } else if (blob[0] == kNegTokenTarg) {
                // The AUTHENTICATE leg; the first leg's GSS-API token (0x60) holds only the
                // client's NEGOTIATE and is not looked at.
                ProcessSPNEGO(logon.get(), AsMessage(blob), blobLen);
            }
            pos += blobLen;
        }
        if (!nativeStringFits()) return drop();
        switch (ReadString(ctx, block, pos, ev.m_clientOS)) {
            case SmbStringResult::Ok:
                break;
            case SmbStringResult::NoMemory:
                return SMB_RET_NO_MEMORY;
            default:  // an 8-bit NativeOS without terminator: the message is not SMB as we know it
                return SMB_RET_BAD_FORMAT;
        }
        if (!nativeStringFits()) return drop();
        // An 8-bit NativeLanMan that runs to the end of the block without terminator leaves
        // m_lanManager as it was, but the logon is still filed: the blob, which carries the
        // user and the server names, was well formed, and losing the whole logon (with what
        // earlier legs gathered) over a software banner would hide a logon from the audit.
        if (ReadString(ctx, block, pos, ev.m_lanManager) == SmbStringResult::NoMemory) return SMB_RET_NO_MEMORY;
    } else {
        // Plain forms. Password bytes are skipped, never looked at.
        const uint32_t skips[2] = {wc == kLanManRequest || wc == kNtRequest ? block.u16(15) : 0u,
                                   wc == kNtRequest ? block.u16(17) : 0u};
        for (uint32_t skip : skips) {
            if (skip == 0) continue;
            pos += skip;
            if (pos > block.size()) return drop();
        }
        std::string* fields[4] = {&ev.m_userName, &ev.m_domain, &ev.m_clientOS, &ev.m_lanManager};
        for (int i = 0; i < 4; ++i) {
            const SmbStringResult r = ReadString(ctx, block, pos, *fields[i]);
            if (r == SmbStringResult::NoMemory) return SMB_RET_NO_MEMORY;
            if (r != SmbStringResult::Ok) return drop();
            if (i == 1 && ev.m_userName.empty() && ev.m_domain.empty()) {
                // No account and no domain: a null session.
                ev.m_password.clear();
                ev.m_authType = SMB_AUTH_ANONYMOUS;
            }
        }
    }

    PutSavedInfo(MakeSavedInfoKey(ctx), logon.release());
    return FollowAndX(link);
}

int CSMBContext::ProcessSetupRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    const int br = GetCmdBlock(ctx, offset, block);
    if (br < 0) return br;
    SavedInfoOwner<CSILogon> logon(static_cast<CSILogon*>(TakeSavedInfo(MakeSavedInfoKey(ctx))));
    if (!logon) return SMB_RET_NO_REQUEST;

    const uint8_t wc = block.WordCount();
    if (wc == 1) return SMB_RET_OK;
    AndXLink link = ReadAndX(ctx, block, offset);
    // A status that comes with a chained command is that command's: the logon itself
    // succeeded, and the chained copy keeps the status.
    if (link.Active()) ctx->m_status = 0;
    CLogonEvent& ev = logon->m_event;

    if (block.ByteCount() != 0) {
        uint32_t pos = block.BytesOffset();
        const uint16_t blobLen = wc == kExtendedResponse ? block.u16(7) : 0;
        if (blobLen != 0) {
            const uint8_t* blob = block.bytes(pos, blobLen);
            if (!blob) return FollowAndX(link);
            if (m_connState.m_secMode == 0) {
                if (!HasNtlmSignature(blob, blobLen)) return FollowAndX(link);
                ProcessNTLMSSP(logon.get(), AsMessage(blob), blobLen);  // normally the CHALLENGE
            } else if (blob[0] == kNegTokenTarg) {
                ProcessSPNEGO(logon.get(), AsMessage(blob), blobLen);
            }
            pos += blobLen;
        }
        for (std::string* field : {&ev.m_serverOS, &ev.m_lanManager}) {
            const SmbStringResult r = ReadString(ctx, block, pos, *field);
            if (r == SmbStringResult::NoMemory) return SMB_RET_NO_MEMORY;
            if (r != SmbStringResult::Ok) return FollowAndX(link);
        }
    }

    const uint16_t uid = ctx->m_uid;
    if (MoreProcessingRequired(ctx)) {
        // Another leg follows: park the logon in a fresh conversation of the UID the server
        // assigned, where the next request of that UID picks it up.
        auto* conv = new _smbConvers;
        if (!conv) return SMB_RET_NO_MEMORY;
        ReleaseConver(uid);
        conv->m_uid = uid;
        conv->m_pLogon = logon.release();
        m_convers[uid] = conv;
        return SMB_RET_OK;
    }

    ev.m_rspTime = ctx->m_time;
    ev.m_status = ctx->m_status;
    ev.m_dialect = m_connState.m_dialect;
    if (!m_connState.m_serverName.empty() && m_connState.m_serverName != SMB_MASK)
        ev.m_serverName = m_connState.m_serverName;
    _smbConvers* conv = nullptr;
    if (ctx->m_status == 0) {
        conv = FindConvers(uid);
        if (!conv) {
            conv = new _smbConvers;
            if (!conv) return SMB_RET_NO_MEMORY;
            m_convers[uid] = conv;
        }
        conv->m_uid = uid;
        conv->m_accountName = ev.m_userName;
    } else {
        ReleaseConver(uid);
        m_convers.erase(uid);
    }
    ev.m_pConvers = conv;
    Emit(&ev);
    return FollowAndX(link);
}
