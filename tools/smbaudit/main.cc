// smbaudit: follows SMB1 conversations in captures or live traffic and writes one JSON
// record per audited operation.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "tools/smbaudit/files/extract_store.h"
#include "tools/smbaudit/options.h"
#include "tools/smbaudit/output_queue.h"
#include "tools/smbaudit/pcap_source.h"
#include "tools/smbaudit/progress.h"
#include "tools/smbaudit/record_writer.h"
#include "tools/smbaudit/sensor.h"
#include "tools/smbaudit/service.h"
#include "tools/smbaudit/stats.h"
#include "tools/smbaudit/workers.h"

namespace {

using namespace smbaudit;

uint64_t FileSize(const std::string& path) {
    struct stat st {};
    if (path == "-" || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return uint64_t(st.st_size);
}

// The "stats" records of --stats-interval, on their own stream.
class StatsReporter {
public:
    StatsReporter(std::unique_ptr<FileOutput> out, uint32_t interval) : m_out(std::move(out)), m_interval(interval) {}
    bool Due() {
        const auto now = std::chrono::steady_clock::now();
        if (!m_out || !m_interval || now < m_next) return false;
        m_next = now + std::chrono::seconds(m_interval);
        return true;
    }
    void Write(const Stats& stats, const CaptureCounters* capture, const OutputCounters& output) {
        if (!m_out) return;
        FormatStatsRecord(m_line, uint32_t(std::time(nullptr)), stats, capture, output);
        m_out->Put(m_line.str(), 1);
        m_out->Flush();
    }

private:
    std::unique_ptr<FileOutput> m_out;
    uint32_t m_interval;
    std::chrono::steady_clock::time_point m_next = std::chrono::steady_clock::now() + std::chrono::seconds(m_interval);
    JsonLine m_line;
};

InputStatus ReadCaptureFiles(const Options& options, FrameSink& sensor) {
    uint64_t total = 0;
    for (const std::string& path : options.captures) total += FileSize(path);
    Progress progress(options.progress && isatty(STDERR_FILENO), total);
    uint64_t done = 0;
    bool stdinUsed = false;
    InputStatus worst = InputStatus::Ok;
    for (const std::string& path : options.captures) {
        if (g_stopRequested) break;
        InputStatus status;
        if (path == "-" && stdinUsed) {
            progress.Clear();
            std::fprintf(stderr, "smbaudit: standard input named more than once\n");
            status = InputStatus::Failed;
        } else {
            stdinUsed = stdinUsed || path == "-";
            status = ReadCaptureFile(path, sensor, progress, done);
        }
        worst = std::max(worst, status);
        done += FileSize(path);
        progress.Update(done);
    }
    progress.Clear();
    return worst;
}

int Run(const Options& options) {
    const bool live = !options.interface.empty();
    std::unique_ptr<RecordOutput> outputOwner;
    FileOutput* file = nullptr;
    if (options.destination.empty()) {
        auto out = std::make_unique<FileOutput>(options.outputPath);
        if (!out->Ok()) {
            std::fprintf(stderr, "smbaudit: %s: %s\n", options.outputPath.c_str(), std::strerror(errno));
            return 2;
        }
        file = out.get();
        outputOwner = std::move(out);
    } else {
        std::string error;
        outputOwner = MakeQueuedOutput(options.destination, size_t(options.queueRecords), error);
        if (!outputOwner) {
            std::fprintf(stderr, "smbaudit: %s\n", error.c_str());
            return 2;
        }
    }
    RecordOutput& output = *outputOwner;
    std::unique_ptr<FileOutput> statsOut;
    if (options.statsInterval || !options.statsPath.empty()) {
        statsOut = options.statsPath.empty() ? std::make_unique<FileOutput>(stderr)
                                             : std::make_unique<FileOutput>(options.statsPath);
        if (!statsOut->Ok()) {
            std::fprintf(stderr, "smbaudit: %s: %s\n", options.statsPath.c_str(), std::strerror(errno));
            return 2;
        }
    }
    InstallSignalHandlers();
    auto dropPrivileges = [&] {
        std::string error;
        if (options.user.empty() || DropPrivileges(options.user, error)) return true;
        std::fprintf(stderr, "smbaudit: %s\n", error.c_str());
        return false;
    };

    ExtractStore extract;
    if (std::string error; !extract.Open(options.extract, error)) {
        std::fprintf(stderr, "smbaudit: %s\n", error.c_str());
        return 2;
    }
    SensorConfig sensorConfig = options.sensor;
    sensorConfig.files.extract = &extract;

    Stats stats;
    StatsReporter reporter(std::move(statsOut), options.statsInterval);
    CaptureCounters captureCounters;
    InputStatus worst = InputStatus::Ok;
    if (live) {
        LiveSensors sensors(sensorConfig, output, options.workers);
        LiveCapture capture;
        capture.interface = options.interface;
        capture.filter = options.filter;
        capture.bufferKiB = options.bufferKiB;
        capture.opened = dropPrivileges;
        capture.idle = [&](size_t worker, const CaptureCounters& counters) {
            sensors.Idle(worker, counters);
            if (worker != 0) return;
            if (file) file->Flush();
            if (reporter.Due()) {
                CaptureCounters all;
                const Stats now = sensors.Snapshot(all);
                reporter.Write(now, &all, output.Counters());
            }
        };
        worst = CaptureLive(capture, sensors.Sinks());
        sensors.Finish(stats, captureCounters);
    } else {
        if (!dropPrivileges()) return 2;
        RecordWriter writer(output);
        std::unique_ptr<FrameSink> input;
        if (options.workers > 1) {
            input = std::make_unique<ShardedSensor>(sensorConfig, output, stats, options.workers);
        } else {
            input = std::make_unique<Sensor>(sensorConfig, writer, stats);
        }
        worst = ReadCaptureFiles(options, *input);
        input->Finish();
        writer.Flush();
    }
    if (!output.Finish()) {
        if (file) {
            std::fprintf(stderr, "smbaudit: error writing the output: %s\n", std::strerror(errno));
        } else {
            std::fprintf(stderr, "smbaudit: %" PRIu64 " records could not be delivered to %s\n",
                         output.Counters().dropped, options.destination.c_str());
        }
        worst = std::max(worst, InputStatus::Warning);
    }
    reporter.Write(stats, live ? &captureCounters : nullptr, output.Counters());
    if (options.stats) {
        stats.Print(stderr);
        extract.PrintStats(stderr);
    }
    return int(worst);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "smbaudit: %s\nTry 'smbaudit --help' for more information.\n", error.c_str());
        return 2;
    }
    if (options.action == Options::Action::Help) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }
    if (options.action == Options::Action::Version) {
        std::printf("smbaudit %s\n", SMBAUDIT_VERSION);
        return 0;
    }
    // Shared by every connection and worker: the decryption key material, the SMB2 sessions
    // (multichannel) and the Kerberos user hints.
    Decryption decryption;
    if (!decryption.Load(options.decryption, error)) {
        std::fprintf(stderr, "smbaudit: %s\n", error.c_str());
        return 2;
    }
    if (decryption.enabled()) options.sensor.connection.decryption = &decryption;
    smb2::SessionDirectory sessions;
    options.sensor.connection.sessions = &sessions;
    KerberosHints kerberosHints;
    options.sensor.kerberosHints = &kerberosHints;
    return Run(options);
}
