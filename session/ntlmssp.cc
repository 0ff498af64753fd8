// NTLMSSP messages inside Session Setup security blobs ([MS-NLMP]): the server's CHALLENGE
// names the server and fixes the string encoding; the client's AUTHENTICATE names the
// user, the domain and the workstation. Challenges, responses, keys and the MIC are never
// read.
//
// Fields that point outside the message: a security buffer or AV pair is never read
// beyond the message's end. A field whose bytes start at or beyond the end (or whose
// 8-byte security buffer header, or 4-byte AV pair header, lies beyond it) is malformed:
// the reader stops there with SMB_RET_BAD_FORMAT, keeping what earlier fields gave, as for
// a field that starts exactly at the end. A field that starts inside the message but runs
// past its end is cut at the end: its bytes up to there are the text (the way a capture
// of a sloppy encoder still shows the name it meant).
#include <algorithm>
#include <cstring>

#include "context/smb_context.h"
#include "events/events.h"
#include "state/saved_info.h"
#include "text/value_string.h"

namespace {

constexpr char kNtlmSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};

enum : uint32_t { kNtlmChallenge = 2, kNtlmAuthenticate = 3 };

// Reads `len` bytes of text at `at` into `dest`, UTF-16LE or 8-bit as the exchange's
// CHALLENGE said. The AUTHENTICATE reader aligns Unicode text on an even offset
// (`alignUnicode`); the bytes available then count from the aligned offset.
int ReadNtlmText(const CSILogon& logon, const SmbBlock& msg, uint32_t at, uint32_t len, bool alignUnicode,
                 std::string& dest) {
    if (at >= msg.size()) return SMB_RET_BAD_FORMAT;
    if (logon.m_bNtlmUnicode) {
        if (alignUnicode && (at & 1)) ++at;
        const uint32_t avail = msg.size() - at;  // at most one past a start inside the message
        int consumed = int(len);
        if (!UnicodeToAsciiString(reinterpret_cast<const char*>(msg.data()), int(at), consumed, true,
                                  static_cast<unsigned short>(avail), dest))
            return SMB_RET_NO_MEMORY;
        return SMB_RET_OK;
    }
    const uint32_t n = std::min(len, msg.size() - at);
    auto* copy = reinterpret_cast<char*>(ZELK::MyMemAlloc(n + 1, "value_string", __LINE__));
    if (!copy) return SMB_RET_NO_MEMORY;
    std::memcpy(copy, msg.data() + at, n);
    copy[n] = '\0';
    dest.assign(copy);  // up to the first NUL
    ZELK::MyMemFree(copy);
    return SMB_RET_OK;
}

// One AUTHENTICATE security buffer (Len 16 bits, MaxLen 16 bits, BufferOffset 32 bits) at
// `header`. An empty field is the empty text without looking at its offset, which clients
// often leave pointing at the end of the message.
int ReadSecurityBuffer(const CSILogon& logon, const SmbBlock& msg, uint32_t header, std::string& dest) {
    if (!msg.has(header, 8)) return SMB_RET_BAD_FORMAT;
    const uint16_t len = msg.u16(header);
    if (len == 0) {
        dest.clear();
        return SMB_RET_OK;
    }
    return ReadNtlmText(logon, msg, msg.u32(header + 4), len, true, dest);
}

SmbBlock MessageOf(const char* message, unsigned short length) {
    return SmbBlock(reinterpret_cast<const uint8_t*>(message), length);
}

}  // namespace

int CSMBContext::ProcessNTLMSSP(CSILogon* logon, char* message, unsigned short length) {
    if (!logon) return SMB_RET_NO_LOGON;
    // Any token handed here counts as an NTLMSSP logon, whatever it turns out to hold.
    logon->m_event.m_authType = SMB_AUTH_NTLMSSP;
    if (length < sizeof kNtlmSignature || std::memcmp(message, kNtlmSignature, sizeof kNtlmSignature) != 0)
        return SMB_RET_BAD_FORMAT;
    // The direction is not checked: a message type says what the message is.
    switch (MessageOf(message, length).u32(8)) {
        case kNtlmChallenge:
            return ReadNtlmChallenge(logon, message, length);
        case kNtlmAuthenticate:
            return ReadNtlmAuthenticate(logon, message, length);
        default:  // NEGOTIATE names nothing worth reporting
            return SMB_RET_OK;
    }
}

int CSMBContext::ReadNtlmChallenge(CSILogon* logon, char* message, unsigned short length) {
    const SmbBlock msg = MessageOf(message, length);
    // Without its NegotiateFlags the message cannot say how the AUTHENTICATE is encoded;
    // leave the encoding as it was rather than guess 8-bit from a missing field.
    if (!msg.has(20, 4)) return SMB_RET_BAD_FORMAT;
    logon->m_bNtlmUnicode = (msg.u32(20) & 1) != 0;  // NTLMSSP_NEGOTIATE_UNICODE
    // Old servers send the 32-byte CHALLENGE without target information: nothing to walk.
    if (!msg.has(40, 8)) return SMB_RET_OK;
    const uint32_t infoLen = msg.u16(40);
    const uint32_t infoOffset = msg.u32(44);
    // Positions are 16-bit: an offset above 0xFFFF walks nothing. A pair whose length would
    // carry the position past 0xFFFF lies beyond any message, and following the 16-bit wrap
    // would let one pair point back at itself (AvLen 0xFFFC) or at an earlier pair and walk
    // for ever: the walk ends there instead. Each pair then moves the position forward by at
    // least 4, so the walk is short.
    uint16_t p = uint16_t(infoOffset);
    while (uint32_t(p) - infoOffset < infoLen) {
        if (!msg.has(p, 4)) return SMB_RET_BAD_FORMAT;
        const uint16_t avId = msg.u16(p);
        const uint16_t avLen = msg.u16(p + 2u);
        std::string* dest = avId == 1   ? &logon->m_event.m_serverName     // MsvAvNbComputerName
                            : avId == 2 ? &logon->m_event.m_serverDomain  // MsvAvNbDomainName
                                        : nullptr;
        if (dest) {
            const int r = ReadNtlmText(*logon, msg, p + 4u, avLen, false, *dest);
            if (r != SMB_RET_OK) return r;
        }
        // MsvAvEOL does not end the walk: TargetInfoFields.Len does.
        const uint32_t next = uint32_t(p) + 4u + avLen;
        if (next > 0xFFFF) return SMB_RET_BAD_FORMAT;
        p = uint16_t(next);
    }
    return SMB_RET_OK;
}

int CSMBContext::ReadNtlmAuthenticate(CSILogon* logon, char* message, unsigned short length) {
    const SmbBlock msg = MessageOf(message, length);
    CLogonEvent& ev = logon->m_event;
    if (!msg.has(28, 8)) return SMB_RET_BAD_FORMAT;
    if (msg.u16(28) == 0) {
        // No domain: an anonymous (null session) AUTHENTICATE.
        ev.m_domain.clear();
        ev.m_password.clear();
        ev.m_authType = SMB_AUTH_ANONYMOUS;
    } else {
        const int r = ReadSecurityBuffer(*logon, msg, 28, ev.m_domain);
        if (r != SMB_RET_OK) return r;
    }
    const int r = ReadSecurityBuffer(*logon, msg, 36, ev.m_userName);
    if (r != SMB_RET_OK) return r;
    return ReadSecurityBuffer(*logon, msg, 44, ev.m_workstation);
}
