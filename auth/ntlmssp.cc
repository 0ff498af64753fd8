// NTLMSSP messages ([MS-NLMP]). The CHALLENGE names the server and fixes the string
// encoding of the exchange; the AUTHENTICATE names the user, the domain and the workstation
// and carries what key derivation needs (the NT response, the encrypted random session key,
// the MIC's position).
//
// Security buffers point anywhere: a field is read only as far as the message reaches. A
// non-empty field that starts at or past the end is malformed; one that starts inside and
// runs past the end is cut there (a capture of a sloppy encoder still shows the name it
// meant). An empty field is fine wherever it points: clients often leave it at the end.
#include <algorithm>
#include <cstring>

#include "auth/security_token.h"

namespace smbaudit::auth {

namespace {

constexpr uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};

uint16_t U16(Bytes m, size_t at) { return uint16_t(m[at] | m[at + 1] << 8); }
uint32_t U32(Bytes m, size_t at) { return uint32_t(U16(m, at)) | uint32_t(U16(m, at + 2)) << 16; }
bool Has(Bytes m, size_t at, size_t n) { return at <= m.size() && n <= m.size() - at; }

// Bytes [at, at + len) cut at the message's end; empty when `at` is at or past it.
Bytes Cut(Bytes m, uint64_t at, uint64_t len) {
    if (at >= m.size()) return {};
    return m.subspan(size_t(at), size_t(std::min<uint64_t>(len, m.size() - at)));
}

NtlmField ReadField(Bytes m, size_t header) {
    NtlmField f;
    if (!Has(m, header, 8)) return f;
    f.length = U16(m, header);
    f.offset = U32(m, header + 4);
    f.ok = f.length == 0 || f.offset < m.size();
    if (f.length) f.bytes = Cut(m, f.offset, f.length);
    return f;
}

bool IsType(Bytes m, uint32_t type) { return NtlmMessageType(m) == type; }

// An NTLMv2 response is the 16-byte NTProofStr, then a client challenge structure whose AV
// pairs start 28 bytes later (version bytes, reserved, timestamp, client nonce, reserved).
// MsvAvFlags bit 0x2 says the AUTHENTICATE carries a MIC.
bool ResponseAnnouncesMic(Bytes message, const NtlmField& nt) {
    constexpr uint32_t kPairsAt = 16 + 28;
    if (!nt.ok || nt.bytes.size() <= kPairsAt) return false;
    NtlmAvPairs pairs(message, nt.offset + kPairsAt, uint32_t(nt.bytes.size()) - kPairsAt);
    NtlmAvPair pair;
    while (pairs.Next(pair) == NtlmAvPairs::Step::Pair) {
        if (pair.id == kAvFlags && pair.value.size() >= 4) return (U32(pair.value, 0) & 2) != 0;
        if (pair.id == kAvEol) break;
    }
    return false;
}

}  // namespace

std::optional<uint32_t> NtlmMessageType(Bytes m) {
    if (!Has(m, 0, sizeof kSignature) || std::memcmp(m.data(), kSignature, sizeof kSignature) != 0) return std::nullopt;
    return Has(m, 8, 4) ? U32(m, 8) : 0;
}

Bytes NtlmText(Bytes message, const NtlmField& field, bool unicode) {
    if (!field.ok || field.length == 0) return {};
    const uint64_t at = unicode ? field.offset + (field.offset & 1u) : field.offset;
    return Cut(message, at, field.length);
}

NtlmAvPairs::NtlmAvPairs(Bytes message, uint32_t offset, uint32_t length)
    : m_message(message), m_start(offset), m_length(length), m_pos(uint16_t(offset)) {}

NtlmAvPairs::Step NtlmAvPairs::Next(NtlmAvPair& pair) {
    if (m_malformed) return Step::Malformed;
    // An offset above 0xFFFF makes the distance below wrap: nothing is walked.
    if (uint32_t(m_pos) - m_start >= m_length) return Step::End;
    if (!Has(m_message, m_pos, 4)) {
        m_malformed = true;
        return Step::Malformed;
    }
    pair.id = U16(m_message, m_pos);
    pair.length = U16(m_message, m_pos + 2u);
    pair.offset = m_pos + 4u;
    pair.value = Cut(m_message, pair.offset, pair.length);
    const uint32_t next = pair.offset + pair.length;
    // The pair itself is still good: the walk ends as malformed at the next step.
    if (next > 0xFFFF) m_malformed = true;
    m_pos = uint16_t(next);
    return Step::Pair;
}

bool ReadNtlmChallenge(Bytes m, NtlmChallenge& out) {
    out = NtlmChallenge();
    if (!IsType(m, kNtlmChallengeMessage) || !Has(m, 0, 24)) return false;
    out.hasFlags = true;
    out.flags = U32(m, 20);
    out.targetName = ReadField(m, 12);
    if (!Has(m, 24, 8)) return false;
    std::memcpy(out.serverChallenge.data(), m.data() + 24, 8);
    // The old 32-byte CHALLENGE has no target information.
    if (!Has(m, 40, 8)) return true;
    out.targetInfo = ReadField(m, 40);
    NtlmAvPairs pairs(m, out.targetInfo.offset, out.targetInfo.length);
    for (NtlmAvPair pair;;) {
        const NtlmAvPairs::Step step = pairs.Next(pair);
        if (step == NtlmAvPairs::Step::End) return true;
        if (step == NtlmAvPairs::Step::Malformed) return false;
        switch (pair.id) {
            case kAvNbComputerName: out.nbComputerName = pair.value; break;
            case kAvNbDomainName: out.nbDomainName = pair.value; break;
            case kAvDnsComputerName: out.dnsComputerName = pair.value; break;
            case kAvDnsDomainName: out.dnsDomainName = pair.value; break;
            case kAvTimestamp:
                if (pair.value.size() == 8) out.timestamp = U32(pair.value, 0) | uint64_t(U32(pair.value, 4)) << 32;
                break;
            default: break;
        }
    }
}

bool ReadNtlmAuthenticate(Bytes m, NtlmAuthenticate& out) {
    out = NtlmAuthenticate();
    if (!IsType(m, kNtlmAuthenticateMessage)) return false;
    // In the order SMB1 has always reported them: a malformed one ends the message there.
    out.domain = ReadField(m, 28);
    if (!out.domain.ok) return false;
    out.user = ReadField(m, 36);
    if (!out.user.ok) return false;
    out.workstation = ReadField(m, 44);
    if (!out.workstation.ok) return false;
    out.lmResponse = ReadField(m, 12);
    out.ntResponse = ReadField(m, 20);
    // The oldest clients end the message before the session key and flags.
    out.encryptedSessionKey = ReadField(m, 52);
    if (Has(m, 60, 4)) {
        out.hasFlags = true;
        out.flags = U32(m, 60);
    }
    // The MIC follows the 8-byte version at 64 and lies inside the message before the payload.
    out.hasMic = ResponseAnnouncesMic(m, out.ntResponse) && Has(m, 72, 16);
    if (out.hasMic) out.micOffset = 72;
    return out.lmResponse.ok && out.ntResponse.ok && (out.encryptedSessionKey.ok || !Has(m, 52, 8));
}

}  // namespace smbaudit::auth
