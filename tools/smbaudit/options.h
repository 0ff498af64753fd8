// Command line of smbaudit.
#pragma once

#include <string>
#include <vector>

#include "tools/smbaudit/files/file_config.h"
#include "tools/smbaudit/decryption.h"
#include "tools/smbaudit/sensor.h"

namespace smbaudit {

constexpr const char* kDefaultFilter = "tcp port 445 or tcp port 139 or port 88";
constexpr uint32_t kDefaultPendingTimeout = 60;
constexpr uint32_t kDefaultIdleTimeout = 900;
constexpr uint32_t kDefaultMaxMessageBytes = 4u << 20;
constexpr uint32_t kDefaultMaxPending = 1024;
constexpr uint64_t kDefaultMaxBufferedBytes = uint64_t(256) << 20;
constexpr unsigned kMaxWorkers = 64;
constexpr uint64_t kDefaultQueueRecords = 100000;

struct Options {
    enum class Action { Run, Help, Version };
    Action action = Action::Run;
    std::vector<std::string> captures;  // "-" is standard input
    std::string interface;              // live capture when not empty
    std::string filter;                 // BPF filter of a live capture
    std::string outputPath;             // empty: standard output
    std::string destination;            // -o: a socket or Redis instead of a file
    uint64_t queueRecords = kDefaultQueueRecords;  // records -o may hold while its consumer is away
    std::string user;                   // -Z: run as this user once the capture is open
    unsigned bufferKiB = 0;             // -B: kernel capture buffer; 0: libpcap's default
    uint32_t statsInterval = 0;         // seconds between "stats" records; 0: none
    std::string statsPath;              // where they go; empty: standard error
    bool stats = false;
    bool progress = true;
    bool strict = false;
    unsigned workers = 1;               // threads that follow connections
    DecryptionOptions decryption;  // key material for encrypted SMB3 sessions
    SensorConfig sensor;      // sensor.files.extract is set up by the host from `extract`
    ExtractConfig extract;
};

// Fills `options` from argv; false with a one-line `error` on a usage error.
bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error);

std::string HelpText();

}  // namespace smbaudit
