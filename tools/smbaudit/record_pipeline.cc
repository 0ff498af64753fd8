#include "tools/smbaudit/record_pipeline.h"

#include "tools/smbaudit/record_format.h"

namespace smbaudit {

void RecordPipeline::Emit(AuditRecord& record) {
    // The id is known to the stages, so that notices can name the records that raised them.
    record.recordId = m_nextId;
    for (RecordStage* stage : m_stages) {
        if (!stage->OnRecord(record, *this)) return;
    }
    Write(record);
    for (RecordStage* stage : m_stages) stage->AfterWrite(*this);
}

void RecordPipeline::Write(AuditRecord& record) {
    record.recordId = m_nextId;
    m_nextId += m_idStride;
    FormatRecord(m_line, record);
    ++m_stats.records[int(record.kind)];
    m_writer.Write(m_line.str());
}

}  // namespace smbaudit
