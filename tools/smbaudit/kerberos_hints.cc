#include "tools/smbaudit/kerberos_hints.h"

#include <cstddef>
#include <cstring>

#include "auth/security_token.h"

namespace smbaudit {
namespace {

// "192.0.2.1:1234" or "[2001:db8::1]:1234" without the port.
std::string Address(std::string_view endpoint) { return std::string(endpoint.substr(0, endpoint.rfind(':'))); }

}  // namespace

bool KerberosHints::Packet(const TcpSegment& seg, const CTimeStamp32& time) {
    if (seg.dst.port != kKerberosPort) return seg.src.port == kKerberosPort;
    const uint8_t* msg = seg.payload;
    size_t len = seg.payloadLen;
    if (!seg.udp) {
        if (len < 4) return true;
        const uint32_t mark = uint32_t(msg[0]) << 24 | uint32_t(msg[1]) << 16 | uint32_t(msg[2]) << 8 | msg[3];
        if ((mark & 0x7FFFFFFF) != len - 4) return true;
        msg += 4;
        len -= 4;
    }
    auth::KerberosAsReq req;
    if (!auth::ReadKerberosAsReq(msg, len, req) || req.clientPrincipal.empty()) return true;
    std::string client = Address(FormatEndpoint(seg.src));
    std::lock_guard lock(m_mutex);
    if (m_hints.size() >= m_maxClients && !m_hints.count(client)) m_hints.erase(m_hints.begin());
    std::deque<Hint>& hints = m_hints[client];
    std::string principal = req.clientPrincipal + "@" + req.realm;
    // With --workers every worker reads the packet: the hints stay in time order, one held
    // already is not taken again, and one older than all held is not brought back.
    size_t at = hints.size();
    while (at > 0 && hints[at - 1].seen.Micros() > time.Micros()) --at;
    for (size_t i = at; i > 0 && hints[i - 1].seen.Micros() == time.Micros(); --i) {
        if (hints[i - 1].principal == principal) return true;
    }
    if (hints.size() == kHintsPerClient) {
        if (at == 0) return true;
        hints.pop_front();
        --at;
    }
    hints.insert(hints.begin() + ptrdiff_t(at), Hint{std::move(principal), time});
    return true;
}

bool KerberosHints::OnRecord(AuditRecord& record, RecordPipeline&) {
    if (record.kind != RecordKind::Logon || !record.origin || !record.auth || std::strcmp(record.auth, "kerberos") != 0)
        return true;
    // The record points at the text until this thread's pipeline has written it, before it
    // takes its next record; the table itself may change under other workers meanwhile.
    thread_local std::string principal;
    std::lock_guard lock(m_mutex);
    auto it = m_hints.find(Address(record.origin->client));
    if (it == m_hints.end()) return true;
    for (auto h = it->second.rbegin(); h != it->second.rend(); ++h) {
        if (h->seen.Micros() > record.time.Micros()) continue;
        principal = h->principal;
        record.userHint = Text(std::string_view(principal));
        record.userHintTime = h->seen;
        break;
    }
    return true;
}

}  // namespace smbaudit
