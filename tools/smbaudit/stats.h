// Counters of one run, printed by --stats. Plain data: each worker may keep its own and
// the totals are merged with Add.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>

#include "tools/smbaudit/audit_record.h"
#include "tools/smbaudit/notices/notice_config.h"
#include "tools/smbaudit/packet_decode.h"
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
    uint64_t smbMessages = 0;      // Proccess results other than "more data needed"
    std::map<int, uint64_t> results;  // Proccess result code -> count
    uint64_t records[kRecordKindCount] = {};  // by RecordKind
    uint64_t notices[kNoticeKindCount] = {};  // by NoticeKind
    uint64_t oversizeDrops = 0;    // library: messages beyond --max-message-bytes
    uint64_t pendingEvicted = 0;   // library: pending requests beyond --max-pending
    uint64_t bufferSheds = 0;      // connections that dropped their buffers for --max-buffered-bytes
    ReassemblyCounters reassembly;

    void AddReassembly(const ReassemblyCounters& c);
    // Adds another worker's counters.
    void Add(const Stats& other);
    void Print(std::FILE* out) const;
};

// Name of a Proccess result code ("SMB_RET_FILE_CMD"...).
const char* ResultCodeName(int code);

}  // namespace smbaudit
