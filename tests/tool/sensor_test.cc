// The sensor's packet path on crafted traffic: which connections it follows, how they end,
// and what reaches the contexts.
#include "tools/smbaudit/sensor.h"

#include <gtest/gtest.h>

#include "support/frame_builder.h"
#include "tests/tool/packet_builder.h"

namespace smbaudit {
namespace {

class SensorTest : public ::testing::Test {
protected:
    // The conversation between 10.0.0.1:50000 (client) and 10.0.0.2:port.
    void Send(bool fromClient, const Tcp& tcp) { run.Send(fromClient, tcp, now); }
    Tcp C(uint16_t serverPort = 445) { return Tcp(50000, serverPort); }
    Tcp S(uint16_t serverPort = 445) { return Tcp(serverPort, 50000); }

    SensorRun run;
    Stats& stats = run.stats;
    Sensor& sensor = run.sensor;
    uint32_t now = 1000;
};

TEST_F(SensorTest, ConnectionPickedUpMidstreamStartsWithResync) {
    Send(false, S().seq(9000).ack(7000).psh().payload(Smb(0x2B).frame()));  // the server speaks first
    Send(true, C().seq(7000).ack(9000 + 39).psh().payload(Smb(0x2B).frame()));
    EXPECT_EQ(stats.connections, 1u);
    EXPECT_EQ(stats.connectionsMidstream, 1u);
    run.Finish();
    EXPECT_EQ(stats.connectionsAtEnd, 1u);
    EXPECT_EQ(stats.reassembly.resyncs, 2u) << "one per direction";
    EXPECT_EQ(stats.smbMessages, 2u) << "messages that start the chunk are accepted after a resync";
}

TEST_F(SensorTest, RstEndsStrayPacketsStartNothingNewHandshakeReplaces) {
    Send(true, C().syn().seq(1));
    Send(true, C().syn().seq(1));  // retransmitted SYN: same connection
    Send(false, S().rst().seq(0).ack(2));
    EXPECT_EQ(sensor.Connections().Size(), 0u);
    EXPECT_EQ(stats.connectionsClosedRst, 1u);
    Send(false, S().rst().seq(0).ack(2));
    Send(true, C().fin().seq(2).ack(1));
    EXPECT_EQ(stats.connections, 1u);
    Send(true, C().syn().seq(1));
    Send(true, C().syn().seq(5000));
    EXPECT_EQ(stats.connections, 3u);
    EXPECT_EQ(sensor.Connections().Size(), 1u);
}

TEST_F(SensorTest, OnlyServerPortsAreFollowedExtraOnesWithTheirFraming) {
    Send(true, Tcp(50000, 80).syn().seq(1));
    Send(true, Tcp(50000, 8445).seq(1).psh().payload(Smb(0x2B).frame()));
    EXPECT_EQ(stats.connections, 0u);
    EXPECT_EQ(stats.notSmbPort, 2u);
    Send(true, C(139).syn().seq(1));
    EXPECT_EQ(stats.connections, 1u);

    SensorConfig config;
    config.serverPorts.push_back({8445, true});
    SensorRun custom(config);
    custom.Send(true, Tcp(50000, 8445).syn().seq(1));
    custom.Send(true, Tcp(50000, 8445).seq(2).psh().payload(Smb(0x2B).frame()));
    EXPECT_EQ(custom.stats.connections, 1u);
    EXPECT_EQ(custom.stats.smbMessages, 1u);
}

TEST_F(SensorTest, IdleConnectionsAreDroppedAsTimeAdvances) {
    Send(true, C().syn().seq(1));
    now += SensorConfig{}.idleTimeout;
    sensor.Tick(CTimeStamp32(now, 0));
    EXPECT_EQ(sensor.Connections().Size(), 1u) << "exactly the idle time is not yet beyond it";
    sensor.Tick(CTimeStamp32(now + 1, 0));
    EXPECT_EQ(sensor.Connections().Size(), 0u);
    EXPECT_EQ(stats.connectionsIdle, 1u);
}

TEST_F(SensorTest, LostSegmentAcknowledgedByServerResynchronises) {
    ByteVec msg = Smb(0x2B).frame();
    Send(true, C().syn().seq(100));
    Send(false, S().syn().seq(500).ack(101));
    Send(true, C().seq(101).ack(501).psh().payload(msg));
    // The next request was lost by the capture; the server acknowledged it.
    uint32_t third = 101 + 2 * uint32_t(msg.size());
    Send(false, S().seq(501).ack(third));
    Send(true, C().seq(third).ack(501).psh().payload(msg));
    EXPECT_EQ(stats.smbMessages, 2u);
    run.Finish();
    EXPECT_EQ(stats.reassembly.gaps, 1u);
    EXPECT_EQ(stats.reassembly.gapBytes, msg.size());
    EXPECT_EQ(stats.reassembly.resyncs, 1u);
}

TEST_F(SensorTest, DecodeFailuresAreCountedNotFollowed) {
    ByteVec udp = Ethernet(Ipv4("10.0.0.1", "10.0.0.2", ByteVec(8), 17));
    sensor.Frame(LinkType::Ethernet, CTimeStamp32(1, 0), udp.data(), udp.size());
    sensor.Frame(LinkType::Ethernet, CTimeStamp32(1, 0), udp.data(), 5);
    EXPECT_EQ(stats.packets, 2u);
    EXPECT_EQ(stats.decode[int(DecodeStatus::NotTcp)], 1u);
    EXPECT_EQ(stats.decode[int(DecodeStatus::Truncated)], 1u);
}

}  // namespace
}  // namespace smbaudit
