// The SMB2/SMB3 analyser's events and named-pipe payloads as audit records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "smb2/analyzer.h"
#include "tools/smbaudit/audit_record.h"
#include "tools/smbaudit/record_pipeline.h"

namespace smbaudit {

// Fills `record` from one event; texts point into the event and the analyser's tables, the
// totals of a close into `totals`.
void Smb2EventRecord(const smb2::Event& event, AuditRecord& record, OpenTotals& totals);
// A pipe payload: `data` holds the first `len` of its `totalLen` bytes.
void Smb2RpcRecord(const smb2::Event& event, const uint8_t* data, size_t len, uint64_t totalLen,
                   AuditRecord& record);

// The sink of one connection's SMB2 analyser: every event and pipe payload becomes a record
// with the connection's origin and goes down the pipeline, as the SMB1 ones do.
class Smb2RecordSink : public smb2::Sink {
public:
    Smb2RecordSink(RecordPipeline& pipeline, const RecordOrigin& origin) : m_pipeline(pipeline), m_origin(origin) {}

    void OnEvent(const smb2::Event& event) override;
    void OnPipeData(const smb2::Event& event, const uint8_t* data, size_t len, uint64_t totalLen) override;

private:
    RecordPipeline& m_pipeline;
    const RecordOrigin& m_origin;
};

}  // namespace smbaudit
