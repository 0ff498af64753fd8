// The record-pipeline stage that feeds the response-time statistics (rtt_stats.h).
#pragma once

#include "tools/smbaudit/record_pipeline.h"
#include "tools/smbaudit/rtt_stats.h"

namespace smbaudit {

// Collects every record's rtt_us into a worker's RttStats.
class RttStage : public RecordStage {
public:
    explicit RttStage(RttStats& stats) : m_stats(stats) {}
    bool OnRecord(AuditRecord& r, RecordPipeline&) override {
        if (r.rttMicros && r.origin) m_stats.Add(r.origin->server, r.kind, *r.rttMicros);
        return true;
    }

private:
    RttStats& m_stats;
};

}  // namespace smbaudit
