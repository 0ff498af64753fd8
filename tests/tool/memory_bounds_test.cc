// How the connection table keeps all connections together within --max-buffered-bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "support/frame_builder.h"
#include "tests/tool/packet_builder.h"
#include "tools/smbaudit/sensor.h"

namespace smbaudit {
namespace {

TEST(GlobalBound, BiggestBuffersAreShedAndSmallExchangesGoOn) {
    constexpr size_t kBound = 64 * 1024;
    SensorConfig config;
    config.connection.maxBufferedBytes = kBound;
    SensorRun run(config);
    // Client bytes at stream offset `at` (the first byte after the SYN is offset 0).
    auto data = [&](uint16_t port, uint32_t at, const ByteVec& bytes) {
        run.Send(true, Tcp(port, 445).seq(1 + at).psh().payload(bytes));
    };
    // A small message that is still arriving when the flood starts.
    const ByteVec echo = Smb(0x2B).data(Bytes().fill(400, 'e')).frame();
    run.Send(true, Tcp(40000, 445).syn().seq(0));
    data(40000, 0, ByteVec(echo.begin(), echo.begin() + 200));

    // Eight connections that each announce a 16 MiB message (NetBIOS length 0xFFFFFC, then
    // the SMB signature) and send 24 KiB of it: 192 KiB together, three times the bound.
    ByteVec start(1400, 'x');
    const uint8_t head[] = {0x00, 0xFF, 0xFF, 0xFC, 0xFF, 'S', 'M', 'B'};
    std::copy(std::begin(head), std::end(head), start.begin());
    for (uint16_t port = 50000; port < 50008; ++port) {
        run.Send(true, Tcp(port, 445).syn().seq(0));
        data(port, 0, start);
        for (uint32_t k = 1; k < 18; ++k) data(port, k * 1400, ByteVec(1400, 'y'));
        EXPECT_LE(run.sensor.Connections().BufferedBytes(), kBound);
    }
    EXPECT_GT(run.stats.bufferSheds, 0u);

    const uint64_t before = run.stats.smbMessages;
    data(40000, 200, ByteVec(echo.begin() + 200, echo.end()));
    EXPECT_EQ(run.stats.smbMessages, before + 1) << "the small message kept its first part";
    run.Finish();
    EXPECT_EQ(run.sensor.Connections().BufferedBytes(), 0u);
}

}  // namespace
}  // namespace smbaudit
