// Link layer, IP and TCP decoding of one captured frame into the few fields the sensor
// needs. A pure function over the captured bytes: every read is checked against the
// captured length, so it is safe on arbitrary input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace smbaudit {

// The link-layer framings the sensor reads. The pcap reader maps libpcap's DLT_ values to
// these; the numbers follow the LINKTYPE_ registry.
enum class LinkType : uint32_t {
    Null = 0,         // BSD loopback: 4-byte address family in the capturing host's byte order
    Ethernet = 1,     // with any number (up to a small limit) of 802.1Q / 802.1ad / QinQ tags
    Raw = 101,        // bare IPv4 or IPv6, told apart by the version nibble
    Loop = 108,       // OpenBSD loopback: address family in network byte order
    LinuxSll = 113,   // Linux cooked capture v1
    Ipv4 = 228,
    Ipv6 = 229,
    LinuxSll2 = 276,  // Linux cooked capture v2
};

struct IpAddress {
    uint8_t version = 0;                // 4 or 6
    std::array<uint8_t, 16> bytes{};    // IPv4 uses the first 4
    // Two 8-byte loads rather than a call to memcmp: every packet's connection is looked up.
    bool operator==(const IpAddress& o) const {
        uint64_t a[2], b[2];
        std::memcpy(a, bytes.data(), 16);
        std::memcpy(b, o.bytes.data(), 16);
        return version == o.version && a[0] == b[0] && a[1] == b[1];
    }
};

struct Endpoint {
    IpAddress ip;
    uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// "a.b.c.d:port" or "[v6addr]:port".
std::string FormatEndpoint(const Endpoint& ep);

enum TcpFlags : uint8_t {
    kTcpFin = 0x01,
    kTcpSyn = 0x02,
    kTcpRst = 0x04,
    kTcpPsh = 0x08,
    kTcpAck = 0x10,
};

struct TcpSegment {
    Endpoint src;
    Endpoint dst;
    uint32_t seq = 0;
    uint32_t ack = 0;
    uint8_t flags = 0;
    const uint8_t* payload = nullptr;  // into the captured frame
    uint32_t payloadLen = 0;
    // The frame was cut by the snapshot length: fewer payload bytes were captured than the
    // IP header announces. The missing tail reaches the reassembler as a gap.
    bool payloadCut = false;
    // A UDP datagram, decoded as far as ports and payload (seq, ack and flags stay 0), for the
    // Kerberos follower (kerberos_hints.h); DecodeFrame still reports it NotTcp.
    bool udp = false;
};

enum class DecodeStatus {
    Ok,
    NotIp,        // ARP, LLDP, non-IP loopback families...
    NotTcp,       // UDP, ICMP...
    Fragment,     // IP fragments are not reassembled; SMB over TCP does not produce them
    Truncated,    // headers cut short by the capture
    Malformed,    // header fields that contradict each other
};
constexpr int kDecodeStatusCount = 6;
const char* DecodeStatusName(DecodeStatus status);

DecodeStatus DecodeFrame(LinkType link, const uint8_t* frame, size_t capLen, TcpSegment& out);

// IP packet (version by its first nibble) at the start of `packet`.
DecodeStatus DecodeIp(const uint8_t* packet, size_t capLen, TcpSegment& out);

}  // namespace smbaudit
