// smbaudit: follows SMB1 conversations in captures or live traffic and writes one JSON
// record per audited operation.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "tools/smbaudit/record_pipeline.h"
#include "tools/smbaudit/options.h"
#include "tools/smbaudit/pcap_source.h"
#include "tools/smbaudit/progress.h"
#include "tools/smbaudit/record_writer.h"
#include "tools/smbaudit/sensor.h"
#include "tools/smbaudit/stats.h"
#include "tools/smbaudit/workers.h"

namespace {

void OnStopSignal(int) { smbaudit::g_stopRequested = 1; }

void InstallSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking read returns so that the loop sees the flag
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

uint64_t FileSize(const std::string& path) {
    struct stat st {};
    if (path == "-" || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return uint64_t(st.st_size);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace smbaudit;
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

    const bool live = !options.interface.empty();
    std::FILE* out = stdout;
    if (!options.outputPath.empty()) {
        out = std::fopen(options.outputPath.c_str(), "w");
        if (!out) {
            std::fprintf(stderr, "smbaudit: %s: %s\n", options.outputPath.c_str(), std::strerror(errno));
            return 2;
        }
    }
    if (!live) std::setvbuf(out, nullptr, _IOFBF, 1 << 16);
    InstallSignalHandlers();

    Stats stats;
    RecordWriter writer(out, live);
    std::unique_ptr<FrameSink> input;
    if (options.workers > 1) {
        input = std::make_unique<ShardedSensor>(options.sensor, writer, stats, options.workers);
    } else {
        input = std::make_unique<Sensor>(options.sensor, writer, stats);
    }
    FrameSink& sensor = *input;
    InputStatus worst = InputStatus::Ok;
    if (live) {
        worst = CaptureLive(options.interface, options.filter, sensor);
    } else {
        uint64_t total = 0;
        for (const std::string& path : options.captures) total += FileSize(path);
        Progress progress(options.progress && isatty(STDERR_FILENO), total);
        uint64_t done = 0;
        bool stdinUsed = false;
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
    }
    sensor.Finish();

    if (!writer.Finish()) {
        std::fprintf(stderr, "smbaudit: error writing the output: %s\n", std::strerror(errno));
        worst = std::max(worst, InputStatus::Warning);
    }
    if (out != stdout) std::fclose(out);
    if (options.stats) stats.Print(stderr);
    return int(worst);
}
