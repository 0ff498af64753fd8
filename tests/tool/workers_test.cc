// The sensor over several worker threads: which worker follows a connection, and that the
// sharded packet path reports what one Sensor reports, connection by connection in order.
#include "tools/smbaudit/workers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/frame_builder.h"
#include "tests/tool/packet_builder.h"

namespace smbaudit {
namespace {

Endpoint Ep(uint8_t version, uint8_t last, uint16_t port) {
    Endpoint ep;
    ep.ip.version = version;
    ep.ip.bytes[0] = version == 4 ? 10 : 0xfd;
    ep.ip.bytes[version == 4 ? 3 : 15] = last;
    ep.port = port;
    return ep;
}

TEST(WorkerOf, BothDirectionsOfAConnectionGoToOneWorker) {
    const std::vector<std::pair<Endpoint, Endpoint>> flows = {
        {Ep(4, 1, 50000), Ep(4, 2, 445)}, {Ep(4, 2, 445), Ep(4, 2, 50001)}, {Ep(4, 9, 139), Ep(4, 9, 139)},
        {Ep(6, 1, 50000), Ep(6, 2, 445)}, {Ep(6, 7, 1), Ep(4, 7, 1)},
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

// Refused tree connects (STATUS_BAD_NETWORK_NAME: reported without a logon before them) on
// `count` connections at once, interleaved as a busy server's capture interleaves them; each
// connection ends with FIN from both sides. Returns the records and the --stats summary.
std::pair<std::vector<std::string>, std::string> Interleaved(int count, int treesEach, size_t workers) {
    SensorRun run({}, workers);
    std::vector<uint32_t> cseq(count, 1000), sseq(count, 9000);
    uint32_t sent = 0;
    auto send = [&](int i, bool fromClient, Tcp tcp, size_t advance) {
        run.Send(fromClient, tcp, 1000 + ++sent / 50);  // time passes, so that the workers' sweeps run too
        (fromClient ? cseq : sseq)[i] += uint32_t(advance);
    };
    auto port = [](int i) { return uint16_t(40000 + i); };
    for (int i = 0; i < count; ++i) {
        send(i, true, Tcp(port(i), 445).syn().seq(cseq[i]), 1);
        send(i, false, Tcp(445, port(i)).syn().seq(sseq[i]).ack(cseq[i]), 1);
    }
    for (int t = 0; t < treesEach; ++t) {
        for (int i = 0; i < count; ++i) {
            const uint16_t mid = uint16_t(t + 1);
            ByteVec req = Smb(0x75).uid(0x800).mid(mid).params(Bytes().u16(0).u16(1))
                              .data(Bytes().u8(0).strz("\\\\SRV\\SHARE" + std::to_string(t)).strz("?????")).frame();
            ByteVec rsp = Smb(0x75).uid(0x800).mid(mid).ntStatus(0xC00000CC).frame();
            send(i, true, Tcp(port(i), 445).seq(cseq[i]).ack(sseq[i]).psh().payload(req), req.size());
            send(i, false, Tcp(445, port(i)).seq(sseq[i]).ack(cseq[i]).psh().payload(rsp), rsp.size());
        }
    }
    for (int i = 0; i < count; ++i) {
        send(i, true, Tcp(port(i), 445).fin().seq(cseq[i]).ack(sseq[i]), 1);
        send(i, false, Tcp(445, port(i)).fin().seq(sseq[i]).ack(cseq[i]), 1);
    }
    std::vector<std::string> lines = run.Finish();
    // Record ids are numbered per worker (record_pipeline.h): compared without them.
    for (std::string& l : lines) l = std::regex_replace(l, std::regex("\"record_id\":[0-9]+,"), "");
    std::FILE* f = std::tmpfile();
    run.stats.Print(f);
    std::string stats(size_t(std::ftell(f)), '\0');
    std::rewind(f);
    EXPECT_EQ(std::fread(stats.data(), 1, stats.size(), f), stats.size());
    std::fclose(f);
    return {lines, stats};
}

// Records by connection (the value of "client"), each connection's in their order.
std::map<std::string, std::vector<std::string>> PerConnection(const std::vector<std::string>& lines) {
    std::map<std::string, std::vector<std::string>> conns;
    for (const std::string& l : lines) {
        const size_t at = l.find("\"client\":");
        conns[l.substr(at, l.find(',', at) - at)].push_back(l);
    }
    return conns;
}

TEST(ShardedSensor, ReportsWhatOneSensorReportsInEachConnectionsOrder) {
    const auto [one, oneStats] = Interleaved(60, 5, 1);
    ASSERT_EQ(one.size(), 60u * 5) << "every tree connect is a record";
    for (size_t workers : {2u, 3u, 7u}) {
        SCOPED_TRACE(workers);
        const auto [many, manyStats] = Interleaved(60, 5, workers);
        std::vector<std::string> a = one, b = many;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b);
        EXPECT_EQ(PerConnection(one), PerConnection(many)) << "a connection's records keep their order";
        EXPECT_EQ(oneStats, manyStats) << "the reader's counters and every worker's add up to the single run's";
    }
}

}  // namespace
}  // namespace smbaudit
