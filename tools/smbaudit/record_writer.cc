#include "tools/smbaudit/record_writer.h"

#include <cerrno>
#include <cstring>

namespace smbaudit {

std::atomic<unsigned> g_reopenGeneration{0};

namespace {
// Lines a writer collects before handing them over: a few hundred records, so that the
// output's lock is taken once per block and the block stays in cache.
constexpr size_t kWriterBlock = 64 * 1024;

}  // namespace

FileOutput::FileOutput(const std::string& path)
    : m_path(path == "-" ? "" : path),
      m_generation(g_reopenGeneration.load()),
      m_file(m_path.empty() ? stdout : std::fopen(m_path.c_str(), "a")),
      m_owned(!m_path.empty()) {
    if (m_file) std::setvbuf(m_file, nullptr, _IOFBF, 1 << 16);
}

FileOutput::FileOutput(std::FILE* stream) : m_generation(0), m_file(stream), m_owned(false) {}

FileOutput::~FileOutput() {
    if (m_owned && m_file) std::fclose(m_file);
}

// Called before each write; does nothing until a SIGHUP came.
void FileOutput::ReopenLocked() {
    const unsigned generation = g_reopenGeneration.load();
    if (m_path.empty() || generation == m_generation) return;
    m_generation = generation;
    // Whatever the old file still buffers goes to it first: a rotation never cuts a block.
    if (std::fflush(m_file) != 0) m_failed = true;
    std::FILE* next = std::fopen(m_path.c_str(), "a");
    if (!next) {
        std::fprintf(stderr, "smbaudit: %s: cannot reopen (%s); still writing to the old file\n", m_path.c_str(),
                     std::strerror(errno));
        return;
    }
    std::setvbuf(next, nullptr, _IOFBF, 1 << 16);
    std::fclose(m_file);
    m_file = next;
}

void FileOutput::Put(std::string_view lines, uint64_t records) {
    std::lock_guard<std::mutex> hold(m_lock);
    ReopenLocked();
    m_records += records;
    if (std::fwrite(lines.data(), 1, lines.size(), m_file) != lines.size()) m_failed = true;
}

void FileOutput::Flush() {
    std::lock_guard<std::mutex> hold(m_lock);
    ReopenLocked();
    if (std::fflush(m_file) != 0) m_failed = true;
}

bool FileOutput::Finish() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (std::fflush(m_file) != 0 || std::ferror(m_file)) m_failed = true;
    return !m_failed;
}

OutputCounters FileOutput::Counters() const {
    std::lock_guard<std::mutex> hold(m_lock);
    OutputCounters c;
    c.records = c.delivered = m_records;
    return c;
}

void RecordWriter::Write(std::string_view line) {
    ++m_records;
    ++m_buffered;
    m_buf.append(line);
    if (m_buf.size() >= kWriterBlock) Flush();
}

void RecordWriter::Flush() {
    if (m_buf.empty()) return;
    m_out.Put(m_buf, m_buffered);
    m_buf.clear();
    m_buffered = 0;
}

}  // namespace smbaudit
