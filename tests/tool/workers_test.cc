// The sensor over several worker threads: which worker follows a connection, and that the
// sharded packet path reports what one Sensor reports, connection by connection in order.
#include "tools/smbaudit/workers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/frame_builder.h"
#include "tests/tool/packet_builder.h"

namespace smbaudit {
namespace {

Endpoint V4(uint8_t last, uint16_t port) {
    Endpoint ep;
    ep.ip.version = 4;
    ep.ip.bytes = {10, 0, 0, last};
    ep.port = port;
    return ep;
}

Endpoint V6(uint8_t last, uint16_t port) {
    Endpoint ep;
    ep.ip.version = 6;
    ep.ip.bytes = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last};
    ep.port = port;
    return ep;
}

TEST(WorkerOf, BothDirectionsOfAConnectionGoToOneWorker) {
    const std::vector<std::pair<Endpoint, Endpoint>> flows = {
        {V4(1, 50000), V4(2, 445)}, {V4(2, 445), V4(2, 50001)}, {V4(9, 139), V4(9, 139)},
        {V6(1, 50000), V6(2, 445)}, {V6(7, 1), V4(7, 1)},
    };
    for (size_t workers : {1u, 2u, 3u, 8u}) {
        for (const auto& [a, b] : flows) {
            TcpSegment there, back;
            there.src = back.dst = a;
            there.dst = back.src = b;
            const size_t w = WorkerOf(there, workers);
            EXPECT_LT(w, workers);
            EXPECT_EQ(w, WorkerOf(back, workers)) << "port " << a.port << " -> " << b.port << ", " << workers;
        }
    }
}

TEST(WorkerOf, ClientPortsOfOneServerSpreadOverTheWorkers) {
    // Many clients of one server differ only in address or port: the shares must still
    // be even, or one busy server would load one worker.
    for (bool byPort : {true, false}) {
        std::vector<int> load(4);
        for (int i = 0; i < 4000; ++i) {
            TcpSegment seg;
            seg.src = byPort ? V4(1, uint16_t(40000 + i)) : V4(uint8_t(i % 250), uint16_t(50000 + i / 250));
            seg.dst = V4(200, 445);
            ++load[WorkerOf(seg, load.size())];
        }
        for (int n : load) EXPECT_GT(n, 800) << (byPort ? "by port" : "by address");
    }
}

// Records out of a run, one string per line.
std::vector<std::string> Lines(std::FILE* f) {
    std::vector<std::string> lines;
    std::rewind(f);
    std::string line;
    for (int c; (c = std::fgetc(f)) != EOF;) {
        line.push_back(char(c));
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        }
    }
    return lines;
}

// The value of "client" in a record: the connection it belongs to.
std::string ClientOf(const std::string& line) {
    const std::string key = "\"client\":\"";
    size_t at = line.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    return line.substr(at, line.find('"', at) - at);
}

// Refused tree connects on many connections at once, their packets interleaved as a busy server's
// capture interleaves them; each connection ends with FIN from both sides.
std::vector<ByteVec> InterleavedConnections(int count, int treesEach) {
    struct Flow {
        uint16_t port;
        uint32_t cseq = 1000, sseq = 9000;
    };
    std::vector<Flow> flows;
    for (int i = 0; i < count; ++i) flows.push_back({uint16_t(40000 + i)});
    std::vector<ByteVec> frames;
    auto send = [&](Flow& f, bool fromClient, Tcp tcp, size_t advance) {
        frames.push_back(Ethernet(fromClient ? Ipv4("10.0.1.1", "10.0.0.2", tcp) : Ipv4("10.0.0.2", "10.0.1.1", tcp)));
        (fromClient ? f.cseq : f.sseq) += uint32_t(advance);
    };
    for (Flow& f : flows) {
        send(f, true, Tcp(f.port, 445).syn().seq(f.cseq), 1);
        send(f, false, Tcp(445, f.port).syn().seq(f.sseq).ack(f.cseq), 1);
    }
    for (int t = 0; t < treesEach; ++t) {
        for (Flow& f : flows) {
            const uint16_t mid = uint16_t(t + 1);
            const std::string share = "\\\\SRV\\SHARE" + std::to_string(t);
            ByteVec req = Smb(0x75).uid(0x800).mid(mid).params(Bytes().u16(0).u16(1))
                              .data(Bytes().u8(0).strz(share).strz("?????")).frame();
            // Refused (STATUS_BAD_NETWORK_NAME): reported without any logon before it.
            ByteVec rsp = Smb(0x75).uid(0x800).mid(mid).ntStatus(0xC00000CC).frame();
            send(f, true, Tcp(f.port, 445).seq(f.cseq).ack(f.sseq).psh().payload(req), req.size());
            send(f, false, Tcp(445, f.port).seq(f.sseq).ack(f.cseq).psh().payload(rsp), rsp.size());
        }
    }
    for (Flow& f : flows) {
        send(f, true, Tcp(f.port, 445).fin().seq(f.cseq).ack(f.sseq), 1);
        send(f, false, Tcp(445, f.port).fin().seq(f.sseq).ack(f.cseq), 1);
    }
    return frames;
}

struct RunResult {
    Stats stats;
    std::vector<std::string> lines;
};

RunResult RunFrames(const std::vector<ByteVec>& frames, size_t workers) {
    RunResult run;
    std::FILE* out = std::tmpfile();
    RecordWriter writer(out, false);
    JsonEventSink sink(writer, run.stats);
    std::unique_ptr<FrameSink> input;
    if (workers > 1) {
        input = std::make_unique<ShardedSensor>(SensorConfig{}, writer, run.stats, workers);
    } else {
        input = std::make_unique<Sensor>(SensorConfig{}, sink, run.stats);
    }
    uint32_t sec = 1000;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (i % 50 == 0) ++sec;  // time passes, so that the workers' sweeps run too
        input->Frame(LinkType::Ethernet, CTimeStamp32(sec, uint32_t(i)), frames[i].data(), frames[i].size());
    }
    input->Finish();
    writer.Finish();
    run.lines = Lines(out);
    std::fclose(out);
    return run;
}

TEST(ShardedSensor, ReportsWhatOneSensorReportsInEachConnectionsOrder) {
    const std::vector<ByteVec> frames = InterleavedConnections(60, 5);
    const RunResult one = RunFrames(frames, 1);
    ASSERT_EQ(one.lines.size(), 60u * 5) << "every tree connect is a record";
    for (size_t workers : {2u, 3u, 7u}) {
        SCOPED_TRACE(workers);
        const RunResult many = RunFrames(frames, workers);

        std::vector<std::string> a = one.lines, b = many.lines;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b);
        std::map<std::string, std::vector<std::string>> perConnOne, perConnMany;
        for (const std::string& l : one.lines) perConnOne[ClientOf(l)].push_back(l);
        for (const std::string& l : many.lines) perConnMany[ClientOf(l)].push_back(l);
        EXPECT_EQ(perConnOne, perConnMany) << "a connection's records keep their order";

        // The reader's counters and every worker's add up to the single run's.
        EXPECT_EQ(many.stats.packets, one.stats.packets);
        EXPECT_EQ(many.stats.captureBytes, one.stats.captureBytes);
        EXPECT_EQ(many.stats.tcpPayloadBytes, one.stats.tcpPayloadBytes);
        EXPECT_EQ(many.stats.connections, one.stats.connections);
        EXPECT_EQ(many.stats.connectionsClosedFin, one.stats.connectionsClosedFin);
        EXPECT_EQ(many.stats.smbMessages, one.stats.smbMessages);
        EXPECT_EQ(many.stats.results, one.stats.results);
        EXPECT_TRUE(std::equal(std::begin(many.stats.records), std::end(many.stats.records),
                               std::begin(one.stats.records)));
        EXPECT_EQ(many.stats.reassembly.deliveredBytes, one.stats.reassembly.deliveredBytes);
    }
}

TEST(ShardedSensor, MoreWorkersThanConnectionsAndNoTrafficAtAll) {
    const std::vector<ByteVec> frames = InterleavedConnections(1, 3);
    EXPECT_EQ(RunFrames(frames, 8).lines, RunFrames(frames, 1).lines) << "one connection: one worker, same order";
    const RunResult none = RunFrames({}, 4);
    EXPECT_TRUE(none.lines.empty());
    EXPECT_EQ(none.stats.packets, 0u);
}

}  // namespace
}  // namespace smbaudit
