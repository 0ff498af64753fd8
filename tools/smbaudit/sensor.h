// The packet path of the sensor without libpcap: frames in, output records out. The pcap
// reader, the tests and the fuzzers all feed it the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "tools/smbaudit/connection_table.h"
#include "tools/smbaudit/files/file_tracker.h"
#include "tools/smbaudit/kerberos_hints.h"
#include "tools/smbaudit/dcerpc/rpc_stage.h"
#include "tools/smbaudit/notices/notice_stage.h"
#include "tools/smbaudit/record_pipeline.h"
#include "tools/smbaudit/rtt_stage.h"

namespace smbaudit {

struct ServerPort {
    uint16_t port = 0;
    bool directTcp = false;  // SMB directly over TCP (445's framing) or the NetBIOS session service (139's)
};

struct SensorConfig {
    std::vector<ServerPort> serverPorts{{445, true}, {139, false}};
    uint32_t idleTimeout = 900;  // seconds without a packet before a connection is dropped
    ConnectionSettings connection;
    FileTrackerConfig files;
    // Port 88 followed for the user hints of Kerberos logons; null: not followed.
    KerberosHints* kerberosHints = nullptr;
    NoticeConfig notices;  // all off: no notice stage
    RecordIds recordIds;   // this sensor's share of the run's record ids
};

// Counts a captured frame and decodes it to its TCP segment.
DecodeStatus CountAndDecode(Stats& stats, LinkType link, const uint8_t* frame, size_t capLen, TcpSegment& seg);
// A decoded Kerberos packet (port 88, TCP or UDP) goes to `hints` (when not null): true when
// it went there and is not a segment to follow.
bool ToKerberosHints(KerberosHints* hints, DecodeStatus status, const TcpSegment& seg, const CTimeStamp32& time);

// What the capture readers feed: one Sensor, or the workers that share the connections
// out (workers.h).
class FrameSink {
public:
    // Reads a capture held whole in memory: feeds each of its frames, in order, to `sink`.
    // `walker` numbers the threads that read it at once, from 0.
    using WalkFunction = std::function<void(FrameSink& sink, size_t walker)>;

    virtual ~FrameSink() = default;
    // One captured frame; its bytes are the caller's again once the call returns.
    virtual void Frame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) = 0;
    // Threads that Walk runs the walk on.
    virtual size_t Walkers() const { return 1; }
    // A capture file mapped into memory: the sink runs `walk` once per thread it reads on.
    virtual void Walk(const WalkFunction& walk) { walk(*this, 0); }
    // Time passes without packets (live capture): expiry and idle time-outs.
    virtual void Tick(const CTimeStamp32& now) = 0;
    // End of input: every connection is flushed and destroyed.
    virtual void Finish() = 0;
};

class Sensor : public FrameSink {
public:
    // Records go to `writer`; the sensor owns its record pipeline and the pipeline's stages.
    Sensor(const SensorConfig& config, RecordWriter& writer, Stats& stats);

    void Frame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) override;
    // One decoded TCP segment.
    void Segment(const TcpSegment& seg, const CTimeStamp32& time);
    void Tick(const CTimeStamp32& now) override;
    void Finish() override;

    const ConnectionTable& Connections() const { return m_table; }
    RecordPipeline& Pipeline() { return m_pipeline; }

private:
    std::optional<bool> ServerPortFraming(uint16_t port) const;  // directTcp, or none
    void MaybeSweep(const CTimeStamp32& now);

    SensorConfig m_config;
    Stats& m_stats;
    RpcStage m_rpc;
    std::optional<NoticeStage> m_notices;
    RecordPipeline m_pipeline;
    RttStage m_rtt;
    FileStage m_files;
    ConnectionTable m_table;
    uint32_t m_lastSweepSec = 0;
};

}  // namespace smbaudit
