#include "tools/smbaudit/record_writer.h"

namespace smbaudit {

RecordWriter::RecordWriter(std::FILE* out, bool flushEachRecord) : m_out(out), m_flushEachRecord(flushEachRecord) {}

void RecordWriter::Write(const std::string& line) {
    ++m_records;
    if (std::fwrite(line.data(), 1, line.size(), m_out) != line.size()) m_failed = true;
    if (m_flushEachRecord && std::fflush(m_out) != 0) m_failed = true;
}

bool RecordWriter::Finish() {
    if (std::fflush(m_out) != 0 || std::ferror(m_out)) m_failed = true;
    return !m_failed;
}

}  // namespace smbaudit
