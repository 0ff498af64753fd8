// Extraction of observed files to a directory, for a malware sandbox or a later look.
//
// While an open's data passes, each direction is written at its file offsets into a
// temporary file DIR/.tmp/XXXXXX. At the close, a file observed completely is renamed to
// DIR/<sha256> unless that name exists already (content-addressed: each content is stored
// once), and one JSON line describing the sighting is appended to DIR/<sha256>.json.
// Rename is atomic, so no name other than .tmp/ ever holds a partial file, even after a
// crash. An incomplete file is removed, or with keepPartial moved to DIR/partial/<name>
// with DIR/partial/<name>.json listing its holes.
//
// Bounds: maxFileBytes per file, quotaBytes for everything written (temporary files
// included), at most kMaxOpenFiles temporary files at once. A full disk or quota is counted
// and reported once on standard error; the files concerned are skipped and the analysis
// goes on. One store is shared by all workers: every member is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/smbaudit/audit_record.h"
#include "tools/smbaudit/files/content_stream.h"
#include "tools/smbaudit/files/file_config.h"

namespace smbaudit {

// What the sidecar line of one sighting says.
struct Sighting {
    const char* direction = "";  // "read" or "written"
    Text file, share, shareServer, user;
    std::string_view client, server;
    CTimeStamp32 first, last;  // times of the first and last data
    uint64_t size = 0;
};

class ExtractStore;

// One direction of one open on its way to the store.
class ExtractFile {
public:
    ~ExtractFile();
    ExtractFile(const ExtractFile&) = delete;
    ExtractFile& operator=(const ExtractFile&) = delete;

private:
    friend class ExtractStore;
    explicit ExtractFile(ExtractStore& store) : m_store(store) {}
    ExtractStore& m_store;
    int m_fd = -1;
    std::string m_tmpPath;
    uint64_t m_reserved = 0;  // bytes counted against the quota
};

class ExtractStore {
public:
    static constexpr size_t kMaxOpenFiles = 256;

    // Creates DIR, DIR/.tmp and DIR/partial; false with `error` when it cannot.
    bool Open(const ExtractConfig& config, std::string& error);
    bool Enabled() const { return !m_config.dir.empty(); }

    // A temporary file for one direction of an open; null when none can be had now.
    std::unique_ptr<ExtractFile> Begin();
    // Writes a piece; on failure the file is given up (null afterwards).
    void Write(std::unique_ptr<ExtractFile>& file, uint64_t offset, const uint8_t* data, size_t len);
    // The close: stores the file under its hash, or as partial, or drops it.
    void Finish(std::unique_ptr<ExtractFile> file, const FileDigest& digest, const std::vector<ByteRange>& ranges,
                const Sighting& sighting);

    void PrintStats(std::FILE* out) const;

private:
    friend class ExtractFile;
    void Discard(ExtractFile& file);
    void Report(std::atomic<bool>& once, const char* what, int err);
    void AppendSidecar(const std::string& path, const std::string& line);

    ExtractConfig m_config;
    std::atomic<uint64_t> m_used{0};
    std::atomic<size_t> m_openFiles{0};
    std::atomic<uint64_t> m_stored{0}, m_duplicates{0}, m_partial{0}, m_incomplete{0}, m_tooLarge{0},
        m_overQuota{0}, m_diskFull{0}, m_errors{0}, m_noSlot{0};
    std::atomic<bool> m_quotaReported{false}, m_diskReported{false}, m_errorReported{false};
};

}  // namespace smbaudit
