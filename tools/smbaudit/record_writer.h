// Where output records go. A RecordWriter collects one thread's complete lines in its own
// buffer and hands them to the shared RecordOutput in blocks, so that several workers share
// one output without taking a lock per record and records can never interleave: an output
// only ever receives whole lines.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace smbaudit {

// Counts SIGHUPs: each file output with a path closes and opens it again by name before its
// next write once the count moved (logrotate renames the files, then signals).
extern std::atomic<unsigned> g_reopenGeneration;

struct OutputCounters {
    uint64_t records = 0;     // handed to the output
    uint64_t delivered = 0;   // written or acknowledged by the destination
    uint64_t dropped = 0;     // lost: the destination was down and the queue full
    uint64_t queued = 0;      // waiting in memory now
    uint64_t reconnects = 0;  // connections (re)established after the first
};

class RecordOutput {
public:
    virtual ~RecordOutput() = default;
    // `records` complete lines, each ending in '\n'. Safe to call from several threads; the
    // lines of one call stay together.
    virtual void Put(std::string_view lines, uint64_t records) = 0;
    // Everything put so far reaches the destination as far as it can (a queued output
    // waits a bounded time); false when records were lost or a write failed.
    virtual bool Finish() = 0;
    virtual OutputCounters Counters() const = 0;
};

// A file or standard output. With a path, it is reopened (appending) after a SIGHUP.
class FileOutput : public RecordOutput {
public:
    // Opens `path` ("" or "-": standard output); check Ok().
    explicit FileOutput(const std::string& path);
    // An open stream, never reopened (tests, fuzzers).
    explicit FileOutput(std::FILE* stream);
    ~FileOutput() override;
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    bool Ok() const { return m_file != nullptr; }
    void Put(std::string_view lines, uint64_t records) override;
    bool Finish() override;
    OutputCounters Counters() const override;
    // Flushes the stdio buffer without closing (live capture: a reader waits on each record).
    void Flush();

private:
    void ReopenLocked();

    std::string m_path;  // empty: not reopenable
    unsigned m_generation;
    std::FILE* m_file;
    bool m_owned;
    mutable std::mutex m_lock;
    bool m_failed = false;
    uint64_t m_records = 0;
};

// One thread's writer. Not thread-safe: each worker has its own, all over one output.
class RecordWriter {
public:
    explicit RecordWriter(RecordOutput& out) : m_out(out) {}
    ~RecordWriter() { Flush(); }
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // One complete line.
    void Write(std::string_view line);
    // Hands the buffered lines to the output.
    void Flush();
    uint64_t Records() const { return m_records; }

private:
    RecordOutput& m_out;
    std::string m_buf;
    uint64_t m_buffered = 0;  // records in m_buf
    uint64_t m_records = 0;
};

}  // namespace smbaudit
