// The packet path of the sensor without libpcap: frames in, output records out. The pcap
// reader, the tests and the fuzzers all feed it the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "tools/smbaudit/connection_table.h"

namespace smbaudit {

struct ServerPort {
    uint16_t port = 0;
    bool directTcp = false;  // SMB directly over TCP (445's framing) or the NetBIOS session service (139's)
};

struct SensorConfig {
    std::vector<ServerPort> serverPorts{{445, true}, {139, false}};
    uint32_t idleTimeout = 900;  // seconds without a packet before a connection is dropped
    ConnectionSettings connection;
};

class Sensor {
public:
    Sensor(const SensorConfig& config, JsonEventSink& sink, Stats& stats);

    // One captured frame.
    void Frame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen);
    // One decoded TCP segment.
    void Segment(const TcpSegment& seg, const CTimeStamp32& time);
    // Time passes without packets (live capture): expiry and idle time-outs.
    void Tick(const CTimeStamp32& now);
    // End of input: every connection is flushed and destroyed.
    void Finish();

    const ConnectionTable& Connections() const { return m_table; }

private:
    std::optional<bool> ServerPortFraming(uint16_t port) const;  // directTcp, or none
    void MaybeSweep(const CTimeStamp32& now);

    SensorConfig m_config;
    Stats& m_stats;
    ConnectionTable m_table;
    uint32_t m_lastSweepSec = 0;
};

}  // namespace smbaudit
