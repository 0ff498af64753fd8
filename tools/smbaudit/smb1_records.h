// The SMB1 library's events and named-pipe payloads as audit records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "events/events.h"
#include "events/output.h"
#include "state/records.h"
#include "tools/smbaudit/audit_record.h"
#include "tools/smbaudit/record_pipeline.h"

namespace smbaudit {

// Fills `record` from one event; texts point into the event and its session records.
void Smb1EventRecord(const CEventParaBase& event, AuditRecord& record);
void Smb1RpcRecord(const _smbFileObj& pipe, const uint8_t* data, size_t len, const CTimeStamp32& time,
                   AuditRecord& record);

// The sink of one connection's SMB1 context: every event and pipe payload becomes a record
// with the connection's origin and goes down the pipeline.
class Smb1RecordSink : public CSMBOutPut {
public:
    Smb1RecordSink(RecordPipeline& pipeline, const RecordOrigin& origin) : m_pipeline(pipeline), m_origin(origin) {}

    void HandleEvent(CSMBContext* ctx, CEventParaBase* event) override;
    void HandleRPC(_smbFileObj* file, const char* data, size_t len, CTimeStamp32& time) override;

private:
    RecordPipeline& m_pipeline;
    const RecordOrigin& m_origin;
};

}  // namespace smbaudit
