// Link layer, IP and TCP decoding of crafted frames.
#include "tools/smbaudit/packet_decode.h"

#include <gtest/gtest.h>

#include "tests/tool/packet_builder.h"

namespace smbaudit {
namespace {

const ByteVec kPayload = {0, 0, 0, 4, 0xFF, 'S', 'M', 'B'};

Tcp Segment() { return Tcp(50000, 445).seq(7).ack(9).psh().payload(kPayload); }
ByteVec V4Tcp() { return Ipv4("192.0.2.1", "192.0.2.2", Segment()); }
ByteVec V6Tcp() { return Ipv6("2001:db8::1", "2001:db8::2", Segment()); }

struct LinkCase {
    const char* name;
    LinkType link;
    ByteVec frame;
    uint8_t ipVersion;
};

class LinkLayers : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkLayers, FindTheTcpSegment) {
    const LinkCase& c = GetParam();
    const ByteVec& frame = c.frame;
    TcpSegment seg;
    ASSERT_EQ(DecodeFrame(c.link, frame.data(), frame.size(), seg), DecodeStatus::Ok);
    EXPECT_EQ(seg.src.ip.version, c.ipVersion);
    EXPECT_EQ(seg.src.port, 50000);
    EXPECT_EQ(seg.dst.port, 445);
    EXPECT_EQ(seg.seq, 7u);
    EXPECT_EQ(seg.ack, 9u);
    EXPECT_EQ(seg.flags, kTcpAck | kTcpPsh);
    EXPECT_EQ(ByteVec(seg.payload, seg.payload + seg.payloadLen), kPayload);
    EXPECT_FALSE(seg.payloadCut);
    EXPECT_EQ(FormatEndpoint(seg.src), c.ipVersion == 4 ? "192.0.2.1:50000" : "[2001:db8::1]:50000");

    // Every shorter capture of the same frame: cut in the headers it is refused, cut in the
    // payload (by the snapshot length) it gives the captured part, marked as cut.
    const size_t headers = frame.size() - kPayload.size();
    for (size_t len = 0; len < frame.size(); ++len) {
        ByteVec cut(frame.begin(), frame.begin() + long(len));
        TcpSegment part;
        DecodeStatus st = DecodeFrame(c.link, cut.data(), cut.size(), part);
        if (len < headers) {
            EXPECT_NE(st, DecodeStatus::Ok) << len;
        } else {
            ASSERT_EQ(st, DecodeStatus::Ok) << len;
            EXPECT_TRUE(part.payloadCut) << len;
            EXPECT_EQ(ByteVec(part.payload, part.payload + part.payloadLen),
                      ByteVec(kPayload.begin(), kPayload.begin() + long(len - headers)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, LinkLayers,
    ::testing::Values(
        LinkCase{"Ethernet4", LinkType::Ethernet, Ethernet(V4Tcp()), 4},
        LinkCase{"Ethernet6", LinkType::Ethernet, Ethernet(V6Tcp()), 6},
        LinkCase{"Vlan", LinkType::Ethernet, Ethernet(V4Tcp(), {0x8100}), 4},
        LinkCase{"QinQ", LinkType::Ethernet, Ethernet(V6Tcp(), {0x88A8, 0x8100}), 6},
        LinkCase{"OldQinQ", LinkType::Ethernet, Ethernet(V4Tcp(), {0x9100, 0x8100}), 4},
        LinkCase{"Sll", LinkType::LinuxSll, LinuxSll(V4Tcp()), 4},
        LinkCase{"Sll2", LinkType::LinuxSll2, LinuxSll2(V6Tcp()), 6},
        LinkCase{"Raw4", LinkType::Raw, V4Tcp(), 4},
        LinkCase{"Raw6", LinkType::Raw, V6Tcp(), 6},
        LinkCase{"Ipv4", LinkType::Ipv4, V4Tcp(), 4},
        LinkCase{"Ipv6", LinkType::Ipv6, V6Tcp(), 6},
        LinkCase{"NullLittleEndian", LinkType::Null, Loopback(V4Tcp(), 2, false), 4},
        LinkCase{"NullBigEndian", LinkType::Null, Loopback(V4Tcp(), 2, true), 4},
        LinkCase{"NullMacOsInet6", LinkType::Null, Loopback(V6Tcp(), 30, false), 6},
        LinkCase{"NullFreeBsdInet6", LinkType::Null, Loopback(V6Tcp(), 28, true), 6},
        LinkCase{"Loop", LinkType::Loop, Loopback(V6Tcp(), 24, true), 6},
        LinkCase{"TcpOptions", LinkType::Raw, Ipv4("192.0.2.1", "192.0.2.2", Segment().options(3)), 4},
        LinkCase{"Ipv6ExtensionHeaders", LinkType::Raw, Ipv6("2001:db8::1", "2001:db8::2", Segment().bytes(), 6, {0, 60, 44}),
                 6}),
    [](const auto& info) { return std::string(info.param.name); });

ByteVec WithByte(ByteVec v, size_t at, uint8_t value) {
    v[at] = value;
    return v;
}

struct RefusedCase {
    const char* name;
    LinkType link;
    ByteVec frame;
    DecodeStatus status;
};

class Refused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(Refused, WithReason) {
    TcpSegment seg;
    EXPECT_EQ(DecodeFrame(GetParam().link, GetParam().frame.data(), GetParam().frame.size(), seg), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Refused,
    ::testing::Values(
        RefusedCase{"Arp", LinkType::Ethernet, WithByte(WithByte(Ethernet(V4Tcp()), 12, 0x08), 13, 0x06),
                    DecodeStatus::NotIp},
        RefusedCase{"Udp", LinkType::Raw, Ipv4("192.0.2.1", "192.0.2.2", ByteVec(8), 17), DecodeStatus::NotTcp},
        RefusedCase{"Icmpv6", LinkType::Raw, Ipv6("::1", "::1", ByteVec(8), 58), DecodeStatus::NotTcp},
        RefusedCase{"MoreFragments", LinkType::Raw, Ipv4("192.0.2.1", "192.0.2.2", Tcp(1, 445).bytes(), 6, 0x2000),
                    DecodeStatus::Fragment},
        RefusedCase{"LaterFragment", LinkType::Raw, Ipv4("192.0.2.1", "192.0.2.2", Tcp(1, 445).bytes(), 6, 0x0010),
                    DecodeStatus::Fragment},
        RefusedCase{"Ipv4HeaderLengthTooSmall", LinkType::Raw, WithByte(V4Tcp(), 0, 0x44), DecodeStatus::Malformed},
        RefusedCase{"TcpDataOffsetTooSmall", LinkType::Raw, WithByte(V4Tcp(), 20 + 12, 0x40), DecodeStatus::Malformed},
        RefusedCase{"TcpDataOffsetPastPacket", LinkType::Raw, WithByte(V4Tcp(), 20 + 12, 0xF0),
                    DecodeStatus::Malformed},
        RefusedCase{"IpVersion5", LinkType::Raw, WithByte(V4Tcp(), 0, 0x55), DecodeStatus::NotIp},
        RefusedCase{"Ipv4LinkWithIpv6", LinkType::Ipv4, V6Tcp(), DecodeStatus::Malformed},
        RefusedCase{"LoopbackUnknownFamily", LinkType::Null, Loopback(V4Tcp(), 7, false), DecodeStatus::NotIp},
        RefusedCase{"TooManyVlanTags", LinkType::Ethernet,
                    Ethernet(V4Tcp(), {0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100}),
                    DecodeStatus::Malformed},
        RefusedCase{"Empty", LinkType::Ethernet, ByteVec(), DecodeStatus::Truncated}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PacketDecode, EthernetPaddingIsNotPayload) {
    // A bare ACK is shorter than Ethernet's 60-byte minimum; the padding must not become data.
    ByteVec frame = Ethernet(Ipv4("192.0.2.1", "192.0.2.2", Tcp(50000, 445).seq(1).ack(1)));
    frame.resize(60, 0xAA);
    TcpSegment seg;
    ASSERT_EQ(DecodeFrame(LinkType::Ethernet, frame.data(), frame.size(), seg), DecodeStatus::Ok);
    EXPECT_EQ(seg.payloadLen, 0u);
}

}  // namespace
}  // namespace smbaudit
