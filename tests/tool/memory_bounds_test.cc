// The sensor's memory bounds: what a reassembler drops when told to, and how the connection
// table keeps all connections together within --max-buffered-bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "support/frame_builder.h"
#include "tests/tool/packet_builder.h"
#include "tools/smbaudit/sensor.h"
#include "tools/smbaudit/tcp_reassembly.h"

namespace smbaudit {
namespace {

TEST(ReassemblerDiscard, DropsWhatIsHeldAndGoesOnAfterItWithResync) {
    std::vector<std::pair<std::string, bool>> got;
    TcpReassembler r([&](const uint8_t* d, size_t n, bool resync) {
        got.emplace_back(std::string(reinterpret_cast<const char*>(d), n), resync);
    });
    auto data = [&](uint32_t seq, const std::string& s) {
        r.Data(seq, reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    r.Syn(1000);
    data(1001, "ab");
    data(1010, "held-1");   // 1010..1015, ahead of a gap
    data(1005, "held-long-0");  // 1005..1015: the held range ends at 1016 whatever the order
    ASSERT_GT(r.Footprint(), 0u);

    r.Discard();
    EXPECT_EQ(r.HeldBytes(), 0u);
    EXPECT_EQ(r.Footprint(), 0u);
    EXPECT_EQ(r.Counters().gaps, 1u);
    EXPECT_EQ(r.Counters().gapBytes, 13u) << "1003..1015 never reach the context";
    data(1012, "dup");      // inside what was dropped: a duplicate now
    data(1016, "next");
    const std::vector<std::pair<std::string, bool>> expected{{"ab", false}, {"next", true}};
    EXPECT_EQ(got, expected);
    r.Discard();  // nothing held: nothing changes
    EXPECT_EQ(r.Counters().gaps, 1u);
}

class GlobalBound : public ::testing::Test {
protected:
    static SensorConfig Config() {
        SensorConfig c;
        c.connection.maxBufferedBytes = kBound;
        return c;
    }
    GlobalBound() : out(std::tmpfile()), writer(out, false), sink(writer, stats), sensor(Config(), sink, stats) {}
    ~GlobalBound() override { std::fclose(out); }

    // Client segments of the connection from 10.0.0.1:port to 10.0.0.2:445.
    void Send(const Tcp& tcp) {
        ByteVec frame = Ethernet(Ipv4("10.0.0.1", "10.0.0.2", tcp));
        sensor.Frame(LinkType::Ethernet, CTimeStamp32(1000, 0), frame.data(), frame.size());
    }
    void Open(uint16_t port) { Send(Tcp(port, 445).syn().seq(0)); }
    // Client bytes at stream offset `at` (the first byte after the SYN is offset 0).
    void Data(uint16_t port, uint32_t at, const ByteVec& bytes) { Send(Tcp(port, 445).seq(1 + at).psh().payload(bytes)); }

    static constexpr size_t kBound = 64 * 1024;
    std::FILE* out;
    Stats stats;
    RecordWriter writer;
    JsonEventSink sink;
    Sensor sensor;
};

TEST_F(GlobalBound, BiggestBuffersAreShedAndSmallExchangesGoOn) {
    // A small message that is still arriving when the flood starts.
    const ByteVec echo = Smb(0x2B).data(Bytes().fill(400, 'e')).frame();
    Open(40000);
    Data(40000, 0, ByteVec(echo.begin(), echo.begin() + 200));

    // Eight connections that each announce a 16 MiB message and send 24 KiB of it:
    // 192 KiB together, three times the bound.
    // NetBIOS length 0xFFFFFC, then the SMB signature.
    ByteVec start(1400, 'x');
    const uint8_t head[] = {0x00, 0xFF, 0xFF, 0xFC, 0xFF, 'S', 'M', 'B'};
    std::copy(std::begin(head), std::end(head), start.begin());
    ByteVec more(1400, 'y');
    for (uint16_t port = 50000; port < 50008; ++port) {
        Open(port);
        Data(port, 0, start);
        for (uint32_t k = 1; k < 18; ++k) Data(port, k * 1400, more);
        EXPECT_LE(sensor.Connections().BufferedBytes(), kBound);
    }
    EXPECT_GT(stats.bufferSheds, 0u);

    const uint64_t before = stats.smbMessages;
    Data(40000, 200, ByteVec(echo.begin() + 200, echo.end()));
    EXPECT_EQ(stats.smbMessages, before + 1) << "the small message kept its first part";
    sensor.Finish();
    EXPECT_EQ(sensor.Connections().BufferedBytes(), 0u);
}

}  // namespace
}  // namespace smbaudit
