// The sensor's output path: the record writer alone (records/s on one core), and the whole
// sensor over a capture of many short connections with small messages against a bare
// libpcap read loop of the same file, both in the same run (bench/run-benchmarks.sh prints
// their ratio).
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "tools/smbaudit/json_writer.h"
#include "tools/smbaudit/options.h"
#include "tools/smbaudit/pcap_source.h"
#include "tools/smbaudit/record_writer.h"
#include "tools/smbaudit/sensor.h"

namespace bench {
namespace {

// A create record as the sensor writes one, with every kind of value: time stamp, narrow
// and UTF-16 texts (one with a character to escape, one beyond ASCII), numbers, a status.
void BM_JsonWriterRecords(benchmark::State& state) {
    smbaudit::JsonLine line;
    const std::u16string share = u"\\\\FILESRV01\\Projects";
    const std::u16string file = u"reports\\2024\\Q3 summary (final) \u00e9t\u00e9.docx";
    uint32_t sec = 1700000000, usec = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        if (++usec == 1000000) usec = 0;
        if ((usec & 127) == 0) ++sec;  // ~128 records per second of traffic
        line.Begin();
        line.Timestamp("ts", sec, usec);
        line.Latin1("event", "create");
        line.Latin1("client", "192.168.17.134:49822");
        line.Latin1("server", "192.168.17.10:445");
        line.Hex32("status", 0);
        line.Latin1("status_name", "STATUS_SUCCESS");
        line.Uint("uid", 2049);
        line.Uint("tid", 1);
        line.Uint("fid", 16385);
        line.Latin1("user", "CORP\\alice");
        line.Utf16("share", share);
        line.Utf16("file", file);
        line.Latin1("file_type", "file");
        line.Latin1("disposition", "open_if");
        line.Latin1("create_action", "opened");
        line.Uint("file_size", 1843200);
        line.End();
        bytes += line.str().size();
        benchmark::DoNotOptimize(line.str().data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_JsonWriterRecords);

// Many short connections with small messages: a committed capture of a whole SMB1 session
// (impacket's smbclient: logon, shares, files, named pipes) replicated into 32 interleaved
// copies, 60 times over, by pcap_reshape: 1,920 connections.
const std::string& SmallConnectionsCapture() {
    static const std::string path = [] {
        std::string out = "/tmp/smbaudit-bench-small-connections-" + std::to_string(getpid()) + ".pcap";
        std::string cmd = std::string(SMBAUDIT_PCAP_RESHAPE) + " " + SMBAUDIT_BENCH_DATA +
                          "/captures/impacket-smb1.pcap " + out + " --copies 32 --repeat 60";
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("pcap_reshape failed: " + cmd);
        std::atexit([] { std::remove(SmallConnectionsCapture().c_str()); });
        return out;
    }();
    return path;
}

void BM_SensorSmallConnections(benchmark::State& state) {
    const std::string& path = SmallConnectionsCapture();
    const char* argv[] = {"smbaudit", path.c_str()};
    smbaudit::Options options;
    std::string error;
    smbaudit::ParseOptions(2, argv, options, error);
    std::FILE* null = std::fopen("/dev/null", "w");
    uint64_t records = 0;
    for (auto _ : state) {
        smbaudit::Stats stats;
        smbaudit::FileOutput output(null);
        smbaudit::RecordWriter writer(output);
        smbaudit::Sensor sensor(options.sensor, writer, stats);
        smbaudit::Progress progress(false, 0);
        smbaudit::ReadCaptureFile(path, sensor, progress, 0);
        sensor.Finish();
        writer.Flush();
        output.Finish();
        records += writer.Records();
    }
    std::fclose(null);
    state.counters["records_per_s"] = benchmark::Counter(double(records), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SensorSmallConnections)->Unit(benchmark::kMillisecond);

// The floor: libpcap reading the same file and touching nothing but the headers.
void BM_PcapReadLoop(benchmark::State& state) {
    const std::string& path = SmallConnectionsCapture();
    for (auto _ : state) {
        char err[PCAP_ERRBUF_SIZE];
        pcap_t* pcap = pcap_open_offline(path.c_str(), err);
        if (!pcap) throw std::runtime_error(err);
        pcap_pkthdr* hdr;
        const u_char* data;
        uint64_t bytes = 0;
        while (pcap_next_ex(pcap, &hdr, &data) == 1) bytes += hdr->caplen;
        benchmark::DoNotOptimize(bytes);
        pcap_close(pcap);
    }
}
BENCHMARK(BM_PcapReadLoop)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
