// Follows every open file of every connection through the records that name it (create,
// read, write, set_info, close) and the data that passes for it, whichever protocol the
// records come from. At the close it hands the close record the open's totals: bytes and
// operations each way, the final size, the time it was open, and each direction's content
// hashes (content_stream.h); it also finishes the open's extraction (extract_store.h).
//
// Two ways in, the same for SMB1 and SMB2/3:
//   OnRecord(record)         every record, before it is written; a read or write record that
//                            carries its bytes (data/dataAvailable) feeds them in as well;
//   OnData(key, ...)         bytes of an open passing in one direction at a file offset, for
//                            an analyser that streams file data apart from its records (then
//                            its read and write records carry no data).
// An open is known by its connection and the protocol's file id (SMB1 FID, SMB2 FileId).
//
// Memory: at most maxOpens opens (an open beyond is not followed, and counted); each costs
// its names, counters and, once data passed, two SHA-256/MD5 states per direction (under
// 1 KiB), plus the out-of-order bytes it holds: at most maxHeldBytesPerOpen per direction
// and maxHeldBytes for all opens together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "tools/smbaudit/audit_record.h"
#include "tools/smbaudit/files/content_stream.h"
#include "tools/smbaudit/files/extract_store.h"
#include "tools/smbaudit/files/file_config.h"
#include "tools/smbaudit/record_pipeline.h"

namespace smbaudit {

// An open: its connection ("client server") and the protocol's file id.
struct OpenKey {
    std::string connection;
    FileId128 id{};  // SMB1: the FID in the first two bytes
};
// The key of the open a record names, if it names one.
std::optional<OpenKey> KeyOf(const AuditRecord& record);
std::string ConnectionKey(std::string_view client, std::string_view server);

struct FileIdHash {
    size_t operator()(const FileId128& id) const;
};

class FileTracker {
public:
    explicit FileTracker(const FileTrackerConfig& config);
    ~FileTracker();

    // False for a record the output leaves out. A close record gets its totals (valid until
    // the next call).
    bool OnRecord(AuditRecord& record);
    // `written`: data from the client to the file, else read from it.
    void OnData(const OpenKey& key, bool written, uint64_t offset, const uint8_t* data, size_t len,
                const CTimeStamp32& time);
    // The end of the input: each open without close is finished and handed to `emit` as a
    // close record without status (no response seen).
    void EndAll(const std::function<void(AuditRecord&)>& emit);
    // The same for the opens of one connection, when it ends.
    void EndConnection(std::string_view client, std::string_view server,
                       const std::function<void(AuditRecord&)>& emit);

    size_t OpenCount() const { return m_opens; }
    size_t HeldBytes() const { return m_budget.used; }
    const FileTrackerCounters& Counters() const { return m_counters; }

private:
    struct Open;
    struct Direction;
    using Opens = std::unordered_map<FileId128, std::unique_ptr<Open>, FileIdHash>;

    Open* Find(const OpenKey& key, const AuditRecord* naming);
    void Feed(Open& open, bool written, uint64_t offset, const uint8_t* data, size_t len, const CTimeStamp32& time);
    void Close(Open& open, AuditRecord& record, bool interrupted);
    void Erase(const OpenKey& key);
    void End(Opens& opens, const std::function<void(AuditRecord&)>& emit);

    FileTrackerConfig m_config;
    HeldBudget m_budget;
    std::unordered_map<std::string, Opens> m_connections;
    size_t m_opens = 0;
    OpenTotals m_totals;  // of the close record being written
    FileTrackerCounters m_counters;
};

// The tracker as a stage of a worker's record pipeline.
class FileStage : public RecordStage {
public:
    explicit FileStage(const FileTrackerConfig& config) : m_tracker(config) {}
    bool OnRecord(AuditRecord& record, RecordPipeline&) override { return m_tracker.OnRecord(record); }
    void OnData(const AuditRecord& open, bool written, uint64_t offset, const uint8_t* data, size_t len) override {
        if (std::optional<OpenKey> key = KeyOf(open)) m_tracker.OnData(*key, written, offset, data, len, open.time);
    }
    // A connection ended (FIN, RST, idle, end of input): its opens without close are finished.
    void OnConnectionEnd(const RecordOrigin& origin, RecordPipeline& pipeline) override;
    // Finishes the opens left and adds the tracker's counters to the worker's.
    void Finish(RecordPipeline& pipeline, FileTrackerCounters& counters);

private:
    FileTracker m_tracker;
};

}  // namespace smbaudit
