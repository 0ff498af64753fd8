// The settings of the file tracker and of extraction (command line: options.cc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace smbaudit {

class ExtractStore;

struct ExtractConfig {
    std::string dir;            // empty: no extraction
    uint64_t maxFileBytes = 0;  // 0: no limit
    uint64_t quotaBytes = 0;    // 0: no limit
    bool keepPartial = false;
};

struct FileTrackerConfig {
    bool summary = false;  // --file-events summary: read and write records are left out
    bool hashes = true;    // compute sha256/md5 (extraction needs them)
    size_t maxOpens = 65536;
    // Two of the largest reads or writes SMB3 clients issue (8 MiB each, several in flight):
    // a response overtaken by the next one still waits for its turn.
    size_t maxHeldBytesPerOpen = size_t(16) << 20;
    size_t maxHeldBytes = size_t(64) << 20;
    ExtractStore* extract = nullptr;  // shared by all workers; null or disabled: no extraction
};


struct FileTrackerCounters {
    uint64_t opensUntracked = 0;  // beyond maxOpens
    uint64_t interrupted = 0;     // opens without close: at the end of the input, or whose file id came again
    uint64_t hashesComplete = 0;  // directions closed with their hashes
    uint64_t hashesPartial = 0;   // directions closed with data but without them
    void Add(const FileTrackerCounters& other);
    void Print(std::FILE* out) const;
};

}  // namespace smbaudit
