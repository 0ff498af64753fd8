// The per-command parse record, the library's result codes and the bounds-checked view
// through which handlers read a command's block.
#pragma once

#include <cstdint>
#include <cstring>

#include "framework/framework.h"

// Result codes of every decoder and handler; Proccess returns the one of the message it handled.
enum : int {
    SMB_RET_PIPE_DATA = 3,         // named-pipe data went to HandleRPC instead of an event
    SMB_RET_FILE_CMD = 2,          // a tree or file command was handled
    SMB_RET_SESSION_CMD = 1,       // a Negotiate, Session Setup or Logoff command was handled
    SMB_RET_OK = 0,                // handled with nothing to report, or nothing done
    SMB_RET_NEED_DATA = -1,        // more bytes needed; the message stays buffered
    SMB_RET_NOT_SESSION_MSG = -2,  // NetBIOS message type is not 0; skipped
    SMB_RET_NO_MEMORY = -3,        // an allocation failed
    SMB_RET_BAD_FORMAT = -4,       // malformed message or block
    SMB_RET_NO_REQUEST = -6,       // a response without saved request
    SMB_RET_ERROR_STATUS = -7,     // a Negotiate response with non-zero status
    SMB_RET_NO_OBJECT = -8,        // the conversation, tree or file record needed is missing
    SMB_RET_UNKNOWN_CMD = -9,      // a command without handler
    SMB_RET_NO_LINK = -10,         // a record lacks the record linked to it
    SMB_RET_NO_LOGON = -11,        // NTLMSSP processing without a logon record
};

class CBufferManager;

// One per SMB command being handled. Offsets count from the first byte of the NetBIOS
// header; offsets carried by SMB itself count from the SMB header (add 4).
struct CPktContext {
    bool m_bReq = false;
    CTimeStamp32 m_time;
    CBufferManager* m_pBufMgr = nullptr;
    uint32_t m_msgLen = 0;  // NetBIOS length + 4: the offset just past the message
    uint32_t m_nbtLen = 0;
    uint16_t m_uid = 0;
    uint16_t m_tid = 0;
    uint16_t m_pid = 0;
    uint16_t m_mid = 0;
    uint8_t m_cmd = 0xFF;
    uint32_t m_status = 0;
    bool m_bUnicode = false;
    bool m_bNtStatus = false;
    uint16_t m_fid = 0;  // FID handed to a chained command, or named by a Transaction2 request
    uint16_t m_subCmd = 0;
    uint16_t m_infoLevel = 0;
    const uint8_t* m_pParam = nullptr;
    uint16_t m_paramCnt = 0;
    const uint8_t* m_pData = nullptr;
    uint16_t m_dataCnt = 0;
    // Position of this command in its AndX chain (0 for the first command of a message).
    uint8_t m_chainDepth = 0;
};

// A bounds-checked view of bytes inside one message. Every accessor refuses to read past
// the end: integers read as 0 and bytes() yields null, so a malformed offset can never
// reach memory outside the view.
class SmbBlock {
public:
    SmbBlock() = default;
    SmbBlock(const uint8_t* p, uint32_t len) : m_p(p), m_len(len) {}

    const uint8_t* data() const { return m_p; }
    uint32_t size() const { return m_len; }
    bool has(uint64_t off, uint64_t n) const { return off <= m_len && n <= m_len - off; }

    uint8_t u8(uint64_t off) const { return has(off, 1) ? m_p[off] : 0; }
    uint16_t u16(uint64_t off) const { return has(off, 2) ? uint16_t(m_p[off] | (m_p[off + 1] << 8)) : 0; }
    uint32_t u32(uint64_t off) const {
        return has(off, 4) ? uint32_t(m_p[off]) | uint32_t(m_p[off + 1]) << 8 | uint32_t(m_p[off + 2]) << 16 |
                                 uint32_t(m_p[off + 3]) << 24
                           : 0;
    }
    uint64_t u64(uint64_t off) const { return has(off, 8) ? u32(off) | uint64_t(u32(off + 4)) << 32 : 0; }
    const uint8_t* bytes(uint64_t off, uint64_t n) const { return has(off, n) ? m_p + off : nullptr; }

    // The SMB block layout: WordCount byte, WordCount parameter words, ByteCount, bytes.
    uint8_t WordCount() const { return u8(0); }
    uint16_t ByteCount() const { return u16(1 + 2u * WordCount()); }
    uint32_t BytesOffset() const { return 3 + 2u * WordCount(); }  // first byte of the byte block

private:
    const uint8_t* m_p = nullptr;
    uint32_t m_len = 0;
};

// Length of the command block at `offset` (WordCount byte, parameter words, ByteCount,
// bytes), or a negative result code. A block that starts at or runs beyond the end of its
// message is malformed: the whole message is always buffered when handlers run.
// The NT Create AndX response is not measured: its block is 3 bytes on error and the
// 103 bytes of the extended response on success, whatever its WordCount says.
int GetCmdBlockLen(CPktContext* ctx, int offset);
// The ordinary measure from WordCount and ByteCount, for every command.
int GetStandardCmdBlockLen(const CPktContext* ctx, int offset);

// Measures the block at `offset` and points `block` at it. Returns 0 or a negative code.
int GetCmdBlock(CPktContext* ctx, int offset, SmbBlock& block);

// The whole message (NetBIOS header included), for fields addressed by SMB offsets.
SmbBlock MessageView(const CPktContext* ctx);
