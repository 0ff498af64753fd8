// The single place output records leave the process. Each record is one complete line
// written with one call under the writer's lock, so that records from several workers can
// never interleave.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace smbaudit {

class RecordWriter {
public:
    // `flushEachRecord`: live capture, where a consumer waits on every record.
    RecordWriter(std::FILE* out, bool flushEachRecord);
    // Safe to call from several threads at once.
    void Write(const std::string& line);
    // Flushes and reports whether every write reached the stream.
    bool Finish();
    uint64_t Records() const;

private:
    std::FILE* m_out;
    bool m_flushEachRecord;
    mutable std::mutex m_lock;
    bool m_failed = false;
    uint64_t m_records = 0;
};

}  // namespace smbaudit
