#include "tools/smbaudit/record_writer.h"

namespace smbaudit {

RecordWriter::RecordWriter(std::FILE* out, bool flushEachRecord) : m_out(out), m_flushEachRecord(flushEachRecord) {}

void RecordWriter::Write(const std::string& line) {
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_records;
    if (std::fwrite(line.data(), 1, line.size(), m_out) != line.size()) m_failed = true;
    if (m_flushEachRecord && std::fflush(m_out) != 0) m_failed = true;
}

bool RecordWriter::Finish() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (std::fflush(m_out) != 0 || std::ferror(m_out)) m_failed = true;
    return !m_failed;
}

uint64_t RecordWriter::Records() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_records;
}

}  // namespace smbaudit
