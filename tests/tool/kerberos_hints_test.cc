// The Kerberos hints table as the workers feed it. That the sharded packet path reports what
// one Sensor reports, connection by connection in order (so also that both directions of a
// connection go to one worker), is checked on every committed capture with 2 workers
// (mapped file) and 4 (standard input: frames copied into blocks) by compare_expected.py.
#include "tools/smbaudit/kerberos_hints.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/frame_builder.h"

namespace smbaudit {
namespace {

// With --workers every worker feeds every AS-REQ into the one table, some workers far ahead
// of others. A Kerberos logon must still take the latest hint before it, as with one reader.
TEST(KerberosHints, EveryWorkerFeedingEveryPacketGivesTheHintsOfOne) {
    // Ten AS-REQs over UDP from 10.0.0.1, u1@R to u10@R at seconds 10 to 100: more than the
    // eight an address keeps.
    std::vector<ByteVec> requests;
    for (int i = 1; i <= 10; ++i) {
        const Bytes name = Bytes().ber(0x30, Bytes().ber(0xA0, Bytes().raw({2, 1, 1})).ber(0xA1, Bytes().ber(0x30, Bytes().ber(0x1B, Bytes().str("u" + std::to_string(i))))));
        const Bytes body = Bytes().ber(0xA1, name).ber(0xA2, Bytes().ber(0x1B, Bytes().str("R")));
        requests.push_back(Bytes().ber(0x6A, Bytes().ber(0x30, Bytes().ber(0xA2, Bytes().raw({2, 1, 10})).ber(0xA4, Bytes().ber(0x30, body)))).vec());
    }
    FileOutput out(std::string("/dev/null"));
    RecordWriter writer(out);
    Stats stats;
    RecordPipeline pipeline(writer, stats);
    const std::vector<size_t> orders[] = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
                                          {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9},
                                          {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
                                          {0, 1, 2, 0, 3, 1, 2, 4, 5, 6, 3, 4, 7, 8, 5, 9, 6, 7, 8, 9}};
    for (const auto& order : orders) {
        KerberosHints hints;
        for (size_t i : order) {
            TcpSegment seg;
            seg.udp = true;
            seg.src.ip = seg.dst.ip = IpAddress{4, {10, 0, 0, 1}};
            seg.src.port = 50000;
            seg.dst.port = KerberosHints::kKerberosPort;
            seg.payload = requests[i].data();
            seg.payloadLen = uint32_t(requests[i].size());
            EXPECT_TRUE(hints.Packet(seg, CTimeStamp32(uint32_t(10 * (i + 1)), 0)));
        }
        std::string got;
        RecordOrigin origin{"10.0.0.1:50001", "10.0.0.2:445", {}, true};
        for (uint32_t logonAt : {25u, 35u, 50u, 99u, 100u, 500u}) {
            AuditRecord logon;
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
