#include "tools/smbaudit/packet_decode.h"

#include <arpa/inet.h>

#include <cstring>

namespace smbaudit {
namespace {

constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherIpv6 = 0x86DD;
constexpr uint16_t kEtherVlan = 0x8100;   // 802.1Q
constexpr uint16_t kEtherQinQ = 0x88A8;   // 802.1ad service tag
constexpr uint16_t kEtherQinQOld = 0x9100;
constexpr int kMaxVlanTags = 8;
constexpr int kMaxIpv6ExtHeaders = 8;
constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;

uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }

// Payload after an EtherType, following VLAN tags.
DecodeStatus DecodeEtherType(uint16_t type, const uint8_t* p, size_t len, TcpSegment& out) {
    for (int tags = 0; type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQOld; ++tags) {
        if (tags == kMaxVlanTags) return DecodeStatus::Malformed;
        if (len < 4) return DecodeStatus::Truncated;
        type = Be16(p + 2);
        p += 4;
        len -= 4;
    }
    if (type != kEtherIpv4 && type != kEtherIpv6) return DecodeStatus::NotIp;
    return DecodeIp(p, len, out);
}

// Address families of the loopback header: AF_INET is 2 everywhere; AF_INET6 is 10 on
// Linux, 24 on NetBSD/OpenBSD, 28 on FreeBSD, 30 on macOS.
bool IsLoopbackInet(uint32_t family) { return family == 2; }
bool IsLoopbackInet6(uint32_t family) { return family == 10 || family == 24 || family == 28 || family == 30; }

DecodeStatus DecodeTcp(const uint8_t* p, size_t avail, size_t announced, TcpSegment& out) {
    if (avail < 20) return DecodeStatus::Truncated;
    size_t hdrLen = size_t(p[12] >> 4) * 4;
    if (hdrLen < 20 || hdrLen > announced) return DecodeStatus::Malformed;
    if (hdrLen > avail) return DecodeStatus::Truncated;
    out.src.port = Be16(p);
    out.dst.port = Be16(p + 2);
    out.seq = Be32(p + 4);
    out.ack = Be32(p + 8);
    out.flags = p[13];
    out.payload = p + hdrLen;
    out.payloadLen = uint32_t(announced - hdrLen);
    out.payloadCut = false;
    if (avail < announced) {
        out.payloadLen = uint32_t(avail - hdrLen);
        out.payloadCut = true;
    }
    return DecodeStatus::Ok;
}

// The 8-byte UDP header: the datagram is handed on as far as the capture holds it.
DecodeStatus DecodeUdp(const uint8_t* p, size_t avail, TcpSegment& out) {
    if (avail < 8) return DecodeStatus::NotTcp;
    out.udp = true;
    out.src.port = Be16(p);
    out.dst.port = Be16(p + 2);
    out.payload = p + 8;
    out.payloadLen = uint32_t(avail - 8);
    return DecodeStatus::NotTcp;
}

DecodeStatus DecodeIpv4(const uint8_t* p, size_t len, TcpSegment& out) {
    if (len < 20) return DecodeStatus::Truncated;
    size_t hdrLen = size_t(p[0] & 0x0F) * 4;
    size_t total = Be16(p + 2);
    if (hdrLen < 20 || total < hdrLen) return DecodeStatus::Malformed;
    if (len < hdrLen) return DecodeStatus::Truncated;
    uint16_t frag = Be16(p + 6);
    if ((frag & 0x2000) || (frag & 0x1FFF)) return DecodeStatus::Fragment;
    if (p[9] != kProtoTcp && p[9] != kProtoUdp) return DecodeStatus::NotTcp;
    out.src.ip = IpAddress{};
    out.dst.ip = IpAddress{};
    out.src.ip.version = out.dst.ip.version = 4;
    std::memcpy(out.src.ip.bytes.data(), p + 12, 4);
    std::memcpy(out.dst.ip.bytes.data(), p + 16, 4);
    // Ethernet pads short frames: the IP total length, not the frame, says where TCP ends.
    size_t avail = (len < total ? len : total) - hdrLen;
    if (p[9] == kProtoUdp) return DecodeUdp(p + hdrLen, avail, out);
    return DecodeTcp(p + hdrLen, avail, total - hdrLen, out);
}

DecodeStatus DecodeIpv6(const uint8_t* p, size_t len, TcpSegment& out) {
    if (len < 40) return DecodeStatus::Truncated;
    size_t payloadLen = Be16(p + 4);
    uint8_t next = p[6];
    out.src.ip.version = out.dst.ip.version = 6;
    std::memcpy(out.src.ip.bytes.data(), p + 8, 16);
    std::memcpy(out.dst.ip.bytes.data(), p + 24, 16);
    size_t avail = len - 40 < payloadLen ? len - 40 : payloadLen;
    const uint8_t* q = p + 40;
    for (int n = 0;; ++n) {
        if (next == kProtoTcp) return DecodeTcp(q, avail, payloadLen, out);
        if (next == kProtoUdp) return DecodeUdp(q, avail, out);
        if (n == kMaxIpv6ExtHeaders) return DecodeStatus::Malformed;
        size_t extLen;
        switch (next) {
        case 0:   // hop-by-hop options
        case 43:  // routing
        case 60:  // destination options
            if (avail < 2) return DecodeStatus::Truncated;
            extLen = (size_t(q[1]) + 1) * 8;
            break;
        case 44:  // fragment
            if (avail < 8) return DecodeStatus::Truncated;
            if (Be16(q + 2) & 0xFFF9) return DecodeStatus::Fragment;  // offset or more-fragments set
            extLen = 8;
            break;
        case 51:  // authentication header
            if (avail < 2) return DecodeStatus::Truncated;
            extLen = (size_t(q[1]) + 2) * 4;
            break;
        default:
            return DecodeStatus::NotTcp;
        }
        if (extLen > payloadLen) return DecodeStatus::Malformed;
        if (extLen > avail) return DecodeStatus::Truncated;
        next = q[0];
        q += extLen;
        avail -= extLen;
        payloadLen -= extLen;
    }
}

}  // namespace

const char* DecodeStatusName(DecodeStatus status) {
    switch (status) {
    case DecodeStatus::Ok: return "ok";
    case DecodeStatus::NotIp: return "not_ip";
    case DecodeStatus::NotTcp: return "not_tcp";
    case DecodeStatus::Fragment: return "ip_fragment";
    case DecodeStatus::Truncated: return "truncated";
    case DecodeStatus::Malformed: return "malformed";
    }
    return "unknown";
}

std::string FormatEndpoint(const Endpoint& ep) {
    char addr[INET6_ADDRSTRLEN] = "";
    if (ep.ip.version == 6) {
        inet_ntop(AF_INET6, ep.ip.bytes.data(), addr, sizeof addr);
        return "[" + std::string(addr) + "]:" + std::to_string(ep.port);
    }
    inet_ntop(AF_INET, ep.ip.bytes.data(), addr, sizeof addr);
    return std::string(addr) + ":" + std::to_string(ep.port);
}

DecodeStatus DecodeIp(const uint8_t* p, size_t len, TcpSegment& out) {
    if (len < 1) return DecodeStatus::Truncated;
    switch (p[0] >> 4) {
    case 4: return DecodeIpv4(p, len, out);
    case 6: return DecodeIpv6(p, len, out);
    default: return DecodeStatus::NotIp;
    }
}

DecodeStatus DecodeFrame(LinkType link, const uint8_t* f, size_t len, TcpSegment& out) {
    switch (link) {
    case LinkType::Ethernet:
        if (len < 14) return DecodeStatus::Truncated;
        return DecodeEtherType(Be16(f + 12), f + 14, len - 14, out);
    case LinkType::LinuxSll:
        if (len < 16) return DecodeStatus::Truncated;
        return DecodeEtherType(Be16(f + 14), f + 16, len - 16, out);
    case LinkType::LinuxSll2:
        if (len < 20) return DecodeStatus::Truncated;
        return DecodeEtherType(Be16(f), f + 20, len - 20, out);
    case LinkType::Null:
    case LinkType::Loop: {
        if (len < 4) return DecodeStatus::Truncated;
        // DLT_NULL is in the byte order of the machine that captured, which may not be ours.
        uint32_t be = Be32(f), le = Le32(f);
        bool v4 = link == LinkType::Loop ? IsLoopbackInet(be) : IsLoopbackInet(be) || IsLoopbackInet(le);
        bool v6 = link == LinkType::Loop ? IsLoopbackInet6(be) : IsLoopbackInet6(be) || IsLoopbackInet6(le);
        if (!v4 && !v6) return DecodeStatus::NotIp;
        return DecodeIp(f + 4, len - 4, out);
    }
    case LinkType::Raw:
        return DecodeIp(f, len, out);
    case LinkType::Ipv4:
        if (len >= 1 && (f[0] >> 4) != 4) return DecodeStatus::Malformed;
        return DecodeIp(f, len, out);
    case LinkType::Ipv6:
        if (len >= 1 && (f[0] >> 4) != 6) return DecodeStatus::Malformed;
        return DecodeIp(f, len, out);
    }
    return DecodeStatus::NotIp;
}

}  // namespace smbaudit
