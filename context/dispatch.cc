// SMB command dispatch: one handler per command and direction, the mapping of a handler's
// 0 to the result of its command family, and the AndX chaining rule.
#include "context/smb_context.h"

namespace {
// Longest AndX chain followed. Real clients chain two or three commands; a chain that
// points backwards or at itself would otherwise never end.
constexpr uint8_t kMaxAndXLinks = 8;

// What a handler's 0 becomes for each command family.
int MapZero(uint8_t cmd) {
    switch (cmd) {
        case 0x72: case 0x73: case 0x74:
            return SMB_RET_SESSION_CMD;
        case 0x25: case 0x32:
            return SMB_RET_OK;
        default:
            return SMB_RET_FILE_CMD;
    }
}

// AndX commands this library has no handler for but whose block starts with the
// standard AndX header.
bool IsUnhandledAndX(uint8_t cmd) { return cmd == 0x24; /* LOCKING_ANDX */ }
}  // namespace

int CSMBContext::ProccessSMBCommand(CPktContext* ctx, int offset) {
    int r;
    switch (ctx->m_cmd) {
        case 0x00: r = DecodeCreateDirMsg(ctx, offset); break;
        case 0x01: r = DecodeDeleteDirMsg(ctx, offset); break;
        case 0x04: r = DecodeCloseMsg(ctx, offset); break;
        case 0x06: r = DecodeDeleteFileMsg(ctx, offset); break;
        case 0x07: r = DecodeRenameMsg(ctx, offset); break;
        case 0x0A: r = DecodeReadMsg(ctx, offset); break;
        case 0x1A: r = DecodeReadRawMsg(ctx, offset); break;
        case 0x25: r = DecodeTransMsg(ctx, offset); break;
        case 0x2D: r = DecodeOpenAndXMsg(ctx, offset); break;
        case 0x2E: r = DecodeReadAndXMsg(ctx, offset); break;
        case 0x2F: r = DecodeWriteMsg(ctx, offset); break;
        case 0x32: r = DecodeTrans2Msg(ctx, offset); break;
        case 0x71: r = DecodeTrDisMsg(ctx, offset); break;
        case 0x72: r = DecodeNegoMsg(ctx, offset); break;
        case 0x73: r = DecodeSetupMsg(ctx, offset); break;
        case 0x74: r = DecodeLogoffMsg(ctx, offset); break;
        case 0x75: r = DecodeTconMsg(ctx, offset); break;
        case 0xA2: r = DecodeNTCreateMsg(ctx, offset); break;
        default:
            if (m_options.followUnhandledAndX && IsUnhandledAndX(ctx->m_cmd)) return PassThroughAndX(ctx, offset);
            return SMB_RET_UNKNOWN_CMD;
    }
    return r != 0 ? r : MapZero(ctx->m_cmd);
}

int CSMBContext::PassThroughAndX(CPktContext* ctx, int offset) {
    SmbBlock block;
    int r = GetCmdBlock(ctx, offset, block);
    if (r < 0) return r;
    AndXLink link = ReadAndX(ctx, block, offset);
    if (!link.Active()) return SMB_RET_UNKNOWN_CMD;
    return FollowAndX(link);
}

CSMBContext::AndXLink CSMBContext::ReadAndX(const CPktContext* ctx, const SmbBlock& block, int offset) {
    AndXLink link{*ctx, offset, 0};
    if (block.WordCount() < 2) return link;
    const uint8_t next = block.u8(1);
    if (next == 0xFF) return link;
    link.chain.m_cmd = next;
    link.chain.m_chainDepth = uint8_t(ctx->m_chainDepth + 1);
    link.next = block.u16(3) + 4;
    return link;
}

int CSMBContext::FollowAndX(AndXLink& link) {
    if (!link.Active() || link.next <= link.from || link.chain.m_chainDepth > kMaxAndXLinks) return SMB_RET_OK;
    return ProccessSMBCommand(&link.chain, link.next);
}

// Each command picks its request or response handler by direction.
#define SMB_DECODE(Name, Req, Rsp)                                  \
    int CSMBContext::Name(CPktContext* ctx, int offset) {           \
        return ctx->m_bReq ? Req(ctx, offset) : Rsp(ctx, offset);   \
    }

SMB_DECODE(DecodeCreateDirMsg, ProcessCreateDirReq, ProcessCreateDirRsp)
SMB_DECODE(DecodeDeleteDirMsg, ProcessDeleteDirReq, ProcessDeleteDirRsp)
SMB_DECODE(DecodeCloseMsg, ProcessCloseReq, ProcessCloseRsp)
SMB_DECODE(DecodeDeleteFileMsg, ProcessDeleteFileReq, ProcessDeleteFileRsp)
SMB_DECODE(DecodeRenameMsg, ProcessRenameReq, ProcessRenameRsp)
SMB_DECODE(DecodeReadMsg, ProcessReadReq, ProcessReadRsp)
SMB_DECODE(DecodeTransMsg, ProcessTransReq, ProcessTransRsp)
SMB_DECODE(DecodeOpenAndXMsg, ProcessOpenAndXReq, ProcessOpenAndXRsp)
SMB_DECODE(DecodeReadAndXMsg, ProcessReadAndXReq, ProcessReadAndXRsp)
SMB_DECODE(DecodeWriteMsg, ProcessWriteReq, ProcessWriteRsp)
SMB_DECODE(DecodeTrans2Msg, ProcessTrans2Req, ProcessTrans2Rsp)
SMB_DECODE(DecodeTrDisMsg, ProcessTrDisReq, ProcessTrDisRsp)
SMB_DECODE(DecodeNegoMsg, ProcessNegoReq, ProcessNegoRsp)
SMB_DECODE(DecodeSetupMsg, ProcessSetupReq, ProcessSetupRsp)
SMB_DECODE(DecodeLogoffMsg, ProcessLogoffReq, ProcessLogoffRsp)
SMB_DECODE(DecodeTconMsg, ProcessTconReq, ProcessTconRsp)
SMB_DECODE(DecodeNTCreateMsg, ProcessNTCreateReq, ProcessNTCreateRsp)
#undef SMB_DECODE

// READ_RAW answers carry raw data without an SMB header, so a server-to-client message that
// looks like a READ_RAW command is only data that happens to resemble a header: there is no
// handler for it.
int CSMBContext::DecodeReadRawMsg(CPktContext* ctx, int offset) {
    return ctx->m_bReq ? ProcessReadRawReq(ctx, offset) : SMB_RET_UNKNOWN_CMD;
}
