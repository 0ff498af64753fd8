// Where audit records go once an analyser produced them: through the stages that add to
// them or act on them (per-file totals and hashes, notices), then formatted as one JSON line
// and handed to the record writer. One pipeline per worker; never shared between threads.
#pragma once

#include <vector>

#include "tools/smbaudit/audit_record.h"
#include "tools/smbaudit/json_writer.h"
#include "tools/smbaudit/record_writer.h"
#include "tools/smbaudit/stats.h"

namespace smbaudit {

class RecordPipeline;

// One step every record passes through, in the order the stages were added.
class RecordStage {
public:
    virtual ~RecordStage() = default;
    // May add to the record; returns false to leave it out of the output (later stages do
    // not see it either). Records of its own go out through `pipeline.Write`.
    virtual bool OnRecord(AuditRecord& record, RecordPipeline& pipeline) = 0;
    // File data that an analyser streams apart from its records (SMB2/3 READ and WRITE), for
    // the open that `open` names (its origin, protocol and file id), at a file offset.
    // `written`: from the client to the file.
    virtual void OnData(const AuditRecord& open, bool written, uint64_t offset, const uint8_t* data, size_t len) {
        (void)open, (void)written, (void)offset, (void)data, (void)len;
    }
    // After the record the stages just saw was written: records that follow it (notices
    // that name it as their cause) go out here.
    virtual void AfterWrite(RecordPipeline&) {}
    // A connection ended; what the stage keeps for it can go.
    virtual void OnConnectionEnd(const RecordOrigin& origin, RecordPipeline& pipeline) {
        (void)origin, (void)pipeline;
    }
};

// Record ids: every record written gets the next number of its pipeline's sequence
// first, first + stride, first + 2 * stride... With N workers, worker k numbers k + 1,
// k + 1 + N...: ids are unique within the run and grow within a connection, but are not
// dense and not ordered across connections.
struct RecordIds {
    uint64_t first = 1;
    uint64_t stride = 1;
};

class RecordPipeline {
public:
    RecordPipeline(RecordWriter& writer, Stats& stats, RecordIds ids = {})
        : m_writer(writer), m_stats(stats), m_nextId(ids.first), m_idStride(ids.stride) {}

    // The stage must outlive the pipeline.
    void AddStage(RecordStage& stage) { m_stages.push_back(&stage); }

    // A record from an analyser: through every stage, then written.
    void Emit(AuditRecord& record);
    // The end of a connection: to every stage.
    void ConnectionEnd(const RecordOrigin& origin) {
        for (RecordStage* stage : m_stages) stage->OnConnectionEnd(origin, *this);
    }
    // Streamed file data: to every stage.
    void Data(const AuditRecord& open, bool written, uint64_t offset, const uint8_t* data, size_t len) {
        for (RecordStage* stage : m_stages) stage->OnData(open, written, offset, data, len);
    }
    // A record written as it is, past the stages (the stages' own records); it gets its id.
    void Write(AuditRecord& record);

    Stats& stats() { return m_stats; }

private:
    RecordWriter& m_writer;
    Stats& m_stats;
    std::vector<RecordStage*> m_stages;
    JsonLine m_line;
    uint64_t m_nextId;
    uint64_t m_idStride;
};

}  // namespace smbaudit
