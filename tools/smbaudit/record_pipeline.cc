#include "tools/smbaudit/record_pipeline.h"

#include "tools/smbaudit/record_format.h"

namespace smbaudit {

void RecordPipeline::Emit(AuditRecord& record) {
    for (RecordStage* stage : m_stages) {
        if (!stage->OnRecord(record, *this)) return;
    }
    Write(record);
}

void RecordPipeline::Write(const AuditRecord& record) {
    FormatRecord(m_line, record);
    ++m_stats.records[int(record.kind)];
    m_writer.Write(m_line.str());
}

}  // namespace smbaudit
