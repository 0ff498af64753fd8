#include "tests/tool/packet_builder.h"

#include <arpa/inet.h>

#include <stdexcept>

namespace {

ByteVec Address(int family, const std::string& text) {
    ByteVec out(family == AF_INET ? 4 : 16);
    if (inet_pton(family, text.c_str(), out.data()) != 1) throw std::invalid_argument("bad address " + text);
    return out;
}

uint16_t EtherTypeOf(const ByteVec& ip) { return !ip.empty() && (ip[0] >> 4) == 6 ? 0x86DD : 0x0800; }

}  // namespace

ByteVec Tcp::bytes() const {
    Bytes b;
    b.be16(m_sport).be16(m_dport).be32(m_seq).be32(m_ack);
    b.u8(uint8_t((5 + m_optionWords) << 4)).u8(m_flags).be16(65535).be16(0).be16(0);
    b.fill(m_optionWords * 4, 1);  // NOP options
    b.raw(m_payload);
    return b.vec();
}

ByteVec Ipv4(const std::string& src, const std::string& dst, const ByteVec& l4, uint8_t proto, uint16_t fragField) {
    Bytes b;
    b.u8(0x45).u8(0).be16(uint16_t(20 + l4.size())).be16(1).be16(fragField).u8(64).u8(proto).be16(0);
    b.raw(Address(AF_INET, src)).raw(Address(AF_INET, dst)).raw(l4);
    return b.vec();
}

ByteVec Ipv6(const std::string& src, const std::string& dst, const ByteVec& l4, uint8_t proto,
             std::initializer_list<uint8_t> extHeaders) {
    Bytes ext;
    std::vector<uint8_t> chain(extHeaders);
    for (size_t i = 0; i < chain.size(); ++i) {
        uint8_t next = i + 1 < chain.size() ? chain[i + 1] : proto;
        if (chain[i] == 44) {
            ext.u8(next).u8(0).be16(0).be32(0x1234);  // fragment header of an unfragmented packet
        } else {
            ext.u8(next).u8(0).fill(6);  // 8-byte options header
        }
    }
    uint8_t first = chain.empty() ? proto : chain[0];
    Bytes b;
    b.be32(0x60000000).be16(uint16_t(ext.size() + l4.size())).u8(first).u8(64);
    b.raw(Address(AF_INET6, src)).raw(Address(AF_INET6, dst)).raw(ext).raw(l4);
    return b.vec();
}

ByteVec Ethernet(const ByteVec& ip, std::initializer_list<uint16_t> tags) {
    Bytes b;
    b.raw({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    for (uint16_t tpid : tags) b.be16(tpid).be16(100);
    b.be16(EtherTypeOf(ip)).raw(ip);
    return b.vec();
}

ByteVec LinuxSll(const ByteVec& ip) {
    Bytes b;
    b.be16(0).be16(1).be16(6).raw({0, 1, 2, 3, 4, 5, 0, 0}).be16(EtherTypeOf(ip)).raw(ip);
    return b.vec();
}

ByteVec LinuxSll2(const ByteVec& ip) {
    Bytes b;
    b.be16(EtherTypeOf(ip)).be16(0).be32(2).be16(1).u8(0).u8(6).raw({0, 1, 2, 3, 4, 5, 0, 0}).raw(ip);
    return b.vec();
}

ByteVec Loopback(const ByteVec& ip, uint32_t family, bool bigEndian) {
    Bytes b;
    bigEndian ? b.be32(family) : b.u32(family);
    return b.raw(ip).vec();
}

namespace smbaudit {

SensorRun::SensorRun(const SensorConfig& config)
    : file(std::tmpfile(), std::fclose), output(file.get()), writer(output), sensor(config, writer, stats) {}

void SensorRun::Send(bool fromClient, const Tcp& tcp, uint32_t sec) {
    ByteVec frame = Ethernet(fromClient ? Ipv4("10.0.0.1", "10.0.0.2", tcp) : Ipv4("10.0.0.2", "10.0.0.1", tcp));
    sensor.Frame(LinkType::Ethernet, CTimeStamp32(sec, 0), frame.data(), frame.size());
}

std::vector<std::string> SensorRun::Finish() {
    sensor.Finish();
    writer.Flush();
    output.Finish();
    std::vector<std::string> lines(1);
    std::rewind(file.get());
    for (int c; (c = std::fgetc(file.get())) != EOF;) {
        lines.back().push_back(char(c));
        if (c == '\n') lines.emplace_back();
    }
    lines.pop_back();
    return lines;
}

}  // namespace smbaudit
