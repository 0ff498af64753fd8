// Which worker follows a connection, and the Kerberos hints table as the workers feed it.
// That the sharded packet path reports what one Sensor reports, connection by connection in
// order, is checked on every committed capture with 2 workers (mapped file) and 4 (standard
// input: frames copied into blocks) by compare_expected.py.
#include "tools/smbaudit/workers.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/frame_builder.h"

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

// An AS-REQ over UDP from 10.0.0.1 naming `user`@R.
struct AsReq {
    explicit AsReq(const std::string& user) {
        const Bytes name = Bytes().ber(0x30, Bytes().ber(0xA0, Bytes().raw({2, 1, 1})).ber(0xA1, Bytes().ber(0x30, Bytes().ber(0x1B, Bytes().str(user)))));
        const Bytes body = Bytes().ber(0xA1, name).ber(0xA2, Bytes().ber(0x1B, Bytes().str("R")));
        msg = Bytes().ber(0x6A, Bytes().ber(0x30, Bytes().ber(0xA2, Bytes().raw({2, 1, 10})).ber(0xA4, Bytes().ber(0x30, body)))).vec();
        seg.udp = true;
        seg.src = Ep(4, 1, 50000);
        seg.dst = Ep(4, 1, KerberosHints::kKerberosPort);
        seg.payload = msg.data();
        seg.payloadLen = uint32_t(msg.size());
    }
    ByteVec msg;
    TcpSegment seg;
};

// With --workers every worker feeds every AS-REQ into the one table, some workers far ahead
// of others. A Kerberos logon must still take the latest hint before it, as with one reader.
TEST(KerberosHints, EveryWorkerFeedingEveryPacketGivesTheHintsOfOne) {
    // Ten requests, at seconds 10, 20, ... 100: more than the eight an address keeps.
    std::vector<AsReq> requests;
    for (int i = 1; i <= 10; ++i) requests.emplace_back("u" + std::to_string(i));
    const std::vector<size_t> inStep = {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9};
    const std::vector<size_t> farBehind = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::vector<size_t> leapfrog = {0, 1, 2, 0, 3, 1, 2, 4, 5, 6, 3, 4, 7, 8, 5, 9, 6, 7, 8, 9};
    FileOutput out(std::string("/dev/null"));
    RecordWriter writer(out);
    Stats stats;
    RecordPipeline pipeline(writer, stats);
    for (const auto& order : {std::vector<size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, inStep, farBehind, leapfrog}) {
        KerberosHints hints;
        for (size_t i : order) EXPECT_TRUE(hints.Packet(requests[i].seg, CTimeStamp32(uint32_t(10 * (i + 1)), 0)));
        std::string got;
        for (uint32_t logonAt : {25u, 35u, 50u, 99u, 100u, 500u}) {
            RecordOrigin origin;
            origin.client = "10.0.0.1:50001";
            AuditRecord logon;
            logon.kind = RecordKind::Logon;
            logon.origin = &origin;
            logon.auth = "kerberos";
            logon.time = CTimeStamp32(logonAt, 0);
            hints.OnRecord(logon, pipeline);
            got += std::string(logon.userHint.narrow) + " ";
        }
        // The two oldest went out, and stay out; a repeat is not a newer hint.
        EXPECT_EQ(got, " u3@R u5@R u9@R u10@R u10@R ") << ::testing::PrintToString(order);
    }
}

}  // namespace
}  // namespace smbaudit
