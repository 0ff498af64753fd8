// NTLMSSP messages inside Session Setup security blobs, read into the logon record: the
// server's CHALLENGE names the server and fixes the string encoding; the client's
// AUTHENTICATE names the user, the domain and the workstation. The message layout, the field
// checks and the AV pair walk are the shared readers' (auth/security_token.h); what stays
// here is what SMB1 reports and how: the text conversion, with the encoding the CHALLENGE
// chose for the whole exchange.
//
// A malformed field (one whose bytes start at or past the message's end, or whose header
// lies beyond it) stops the reading with SMB_RET_BAD_FORMAT, keeping what earlier fields
// gave. A field that starts inside the message but runs past its end is cut at the end.
#include <algorithm>
#include <cstring>
#include <optional>

#include "auth/security_token.h"
#include "context/smb_context.h"
#include "events/events.h"
#include "state/saved_info.h"
#include "text/value_string.h"

namespace {

namespace auth = smbaudit::auth;

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

// One AUTHENTICATE field as the shared reader found it. An empty field is the empty text
// without looking at its offset, which clients often leave pointing at the end of the message.
int ReadTextField(const CSILogon& logon, const SmbBlock& msg, const auth::NtlmField& field, std::string& dest) {
    if (!field.ok) return SMB_RET_BAD_FORMAT;
    if (field.length == 0) {
        dest.clear();
        return SMB_RET_OK;
    }
    return ReadNtlmText(logon, msg, field.offset, field.length, true, dest);
}

auth::Bytes BytesOf(const SmbBlock& msg) { return {msg.data(), msg.size()}; }

SmbBlock MessageOf(const char* message, unsigned short length) {
    return SmbBlock(reinterpret_cast<const uint8_t*>(message), length);
}

}  // namespace

int CSMBContext::ProcessNTLMSSP(CSILogon* logon, char* message, unsigned short length) {
    if (!logon) return SMB_RET_NO_LOGON;
    // Any token handed here counts as an NTLMSSP logon, whatever it turns out to hold.
    logon->m_event.m_authType = SMB_AUTH_NTLMSSP;
    const std::optional<uint32_t> type = auth::NtlmMessageType(BytesOf(MessageOf(message, length)));
    if (!type) return SMB_RET_BAD_FORMAT;
    // The direction is not checked: a message type says what the message is.
    switch (*type) {
        case auth::kNtlmChallengeMessage:
            return ReadNtlmChallenge(logon, message, length);
        case auth::kNtlmAuthenticateMessage:
            return ReadNtlmAuthenticate(logon, message, length);
        default:  // NEGOTIATE names nothing worth reporting
            return SMB_RET_OK;
    }
}

int CSMBContext::ReadNtlmChallenge(CSILogon* logon, char* message, unsigned short length) {
    const SmbBlock msg = MessageOf(message, length);
    auth::NtlmChallenge challenge;
    auth::ReadNtlmChallenge(BytesOf(msg), challenge);
    // Without its NegotiateFlags the message cannot say how the AUTHENTICATE is encoded;
    // leave the encoding as it was rather than guess 8-bit from a missing field.
    if (!challenge.hasFlags) return SMB_RET_BAD_FORMAT;
    logon->m_bNtlmUnicode = challenge.unicode();
    // The NetBIOS names, in the encoding just chosen. A name pair whose value starts at the
    // message's end is malformed. Old servers send the 32-byte CHALLENGE without target
    // information: the walk is then empty.
    auth::NtlmAvPairs pairs(BytesOf(msg), challenge.targetInfo.offset, challenge.targetInfo.length);
    for (auth::NtlmAvPair pair;;) {
        switch (pairs.Next(pair)) {
            case auth::NtlmAvPairs::Step::End: return SMB_RET_OK;
            case auth::NtlmAvPairs::Step::Malformed: return SMB_RET_BAD_FORMAT;
            case auth::NtlmAvPairs::Step::Pair: break;
        }
        std::string* dest = pair.id == auth::kAvNbComputerName ? &logon->m_event.m_serverName
                            : pair.id == auth::kAvNbDomainName ? &logon->m_event.m_serverDomain
                                                                : nullptr;
        if (dest) {
            const int r = ReadNtlmText(*logon, msg, pair.offset, pair.length, false, *dest);
            if (r != SMB_RET_OK) return r;
        }
    }
}

int CSMBContext::ReadNtlmAuthenticate(CSILogon* logon, char* message, unsigned short length) {
    const SmbBlock msg = MessageOf(message, length);
    auth::NtlmAuthenticate authenticate;
    auth::ReadNtlmAuthenticate(BytesOf(msg), authenticate);
    CLogonEvent& ev = logon->m_event;
    if (!authenticate.domain.ok) return SMB_RET_BAD_FORMAT;
    if (authenticate.domain.length == 0) {
        // No domain: an anonymous (null session) AUTHENTICATE.
        ev.m_domain.clear();
        ev.m_password.clear();
        ev.m_authType = SMB_AUTH_ANONYMOUS;
    } else {
        const int r = ReadTextField(*logon, msg, authenticate.domain, ev.m_domain);
        if (r != SMB_RET_OK) return r;
    }
    const int r = ReadTextField(*logon, msg, authenticate.user, ev.m_userName);
    if (r != SMB_RET_OK) return r;
    return ReadTextField(*logon, msg, authenticate.workstation, ev.m_workstation);
}
