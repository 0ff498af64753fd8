// Kerberos on port 88 (UDP and TCP), followed for one fact: the AS-REQ with which a client
// asks for its ticket-granting ticket names the client principal in clear. A Kerberos logon
// to SMB names only the ticket's realm and service (the client is inside the encrypted
// ticket), so the principal that the client's address last asked for before the logon is a
// hint of who logged on: the logon record carries it as `user_hint`, with the time it was
// seen.
//
// One table for all connections and workers: every worker feeds it (Packet) in capture
// order, and its record pipeline reads it (a RecordStage). A TCP message is read when it
// comes whole in one segment after its 4-byte record mark, as clients send an AS-REQ.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "tools/smbaudit/packet_decode.h"
#include "tools/smbaudit/record_pipeline.h"

namespace smbaudit {

class KerberosHints final : public RecordStage {
public:
    static constexpr uint16_t kKerberosPort = 88;
    // Client addresses remembered; a new one beyond this replaces an arbitrary other.
    explicit KerberosHints(size_t maxClients = 65536) : m_maxClients(maxClients) {}

    // A decoded TCP segment or UDP datagram: true when it is Kerberos (either port 88), which
    // the caller then leaves alone.
    bool Packet(const TcpSegment& seg, const CTimeStamp32& time);
    // Adds the hint to Kerberos logon records.
    bool OnRecord(AuditRecord& record, RecordPipeline& pipeline) override;

private:
    struct Hint {
        std::string principal;  // name@REALM
        CTimeStamp32 seen;
    };
    // With --workers some workers run ahead of others: a logon takes the latest hint seen
    // before it, so each address keeps its last few, in time order.
    static constexpr size_t kHintsPerClient = 8;
    size_t m_maxClients;
    std::mutex m_mutex;
    // By client address, as FormatEndpoint writes it; oldest first.
    std::unordered_map<std::string, std::deque<Hint>> m_hints;
};

}  // namespace smbaudit
