// Counters of one run, printed by --stats. Plain data: each worker may keep its own and
// the totals are merged with Add.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string_view>

#include "tools/smbaudit/json_writer.h"
#include "tools/smbaudit/audit_record.h"
#include "tools/smbaudit/files/file_config.h"
#include "tools/smbaudit/notices/notice_config.h"
#include "tools/smbaudit/packet_decode.h"
#include "tools/smbaudit/record_writer.h"
#include "tools/smbaudit/rtt_stats.h"
#include "tools/smbaudit/tcp_reassembly.h"

namespace smbaudit {

struct Stats {
    uint64_t packets = 0;
    uint64_t captureBytes = 0;
    uint64_t decode[kDecodeStatusCount] = {};  // by DecodeStatus
    uint64_t notSmbPort = 0;       // TCP packets on neither a server port
    uint64_t cutPayloads = 0;      // payloads cut short by the snapshot length
    uint64_t tcpPayloadBytes = 0;
    uint64_t connections = 0;
    uint64_t connectionsMidstream = 0;  // followed without a handshake
    uint64_t connectionsClosedFin = 0;
    uint64_t connectionsClosedRst = 0;
    uint64_t connectionsIdle = 0;
    uint64_t connectionsAtEnd = 0;
    uint64_t smbMessages = 0;      // SMB1 Proccess results other than "more data needed", and SMB2 messages
    std::map<int, uint64_t> results;  // Proccess result code -> count
    uint64_t records[kRecordKindCount] = {};  // by RecordKind
    uint64_t notices[kNoticeKindCount] = {};  // by NoticeKind
    uint64_t oversizeDrops = 0;    // library: messages beyond --max-message-bytes
    uint64_t pendingEvicted = 0;   // library: pending requests beyond --max-pending
    uint64_t bufferSheds = 0;      // connections that dropped their buffers for --max-buffered-bytes
    std::map<std::string_view, uint64_t> smb2;  // SMB2/3 analyser counters by name
    ReassemblyCounters reassembly;
    FileTrackerCounters files;
    RttStats rtt;

    void AddReassembly(const ReassemblyCounters& c);
    // Adds another worker's counters.
    void Add(const Stats& other);
    void Print(std::FILE* out) const;
};

// The capture's own counters (pcap_stats): packets the kernel saw, and those lost before
// the sensor could read them, for want of buffer space (-B) or in the interface.
struct CaptureCounters {
    uint64_t received = 0;
    uint64_t dropped = 0;
    uint64_t ifDropped = 0;
};

// The "stats" record of --stats-interval: the counters so far, the capture's (live only)
// and the output's.
void FormatStatsRecord(JsonLine& line, uint32_t now, const Stats& stats, const CaptureCounters* capture,
                       const OutputCounters& output);

// Name of a Proccess result code ("SMB_RET_FILE_CMD"...).
const char* ResultCodeName(int code);

}  // namespace smbaudit
