// Readable builders for captured frames: TCP over IPv4/IPv6 over the link layers the
// sensor reads, and a sensor run to feed them to.
//
//   ByteVec frame = Ethernet(Ipv4("10.0.0.1", "10.0.0.2", Tcp(50000, 445).seq(1).ack(7).psh().payload(bytes)));
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "support/frame_builder.h"
#include "tools/smbaudit/sensor.h"

class Tcp {
public:
    Tcp(uint16_t sport, uint16_t dport) : m_sport(sport), m_dport(dport) {}
    Tcp& seq(uint32_t v) { m_seq = v; return *this; }
    Tcp& ack(uint32_t v) { m_ack = v; m_flags |= 0x10; return *this; }
    Tcp& syn() { m_flags |= 0x02; return *this; }
    Tcp& fin() { m_flags |= 0x01; return *this; }
    Tcp& rst() { m_flags |= 0x04; return *this; }
    Tcp& psh() { m_flags |= 0x08; return *this; }
    Tcp& options(size_t words) { m_optionWords = words; return *this; }
    Tcp& payload(const ByteVec& p) { m_payload = p; return *this; }
    ByteVec bytes() const;

private:
    uint16_t m_sport, m_dport;
    uint32_t m_seq = 0, m_ack = 0;
    uint8_t m_flags = 0;
    size_t m_optionWords = 0;
    ByteVec m_payload;
};

// IP packets carrying `l4` with protocol `proto` (6: TCP).
ByteVec Ipv4(const std::string& src, const std::string& dst, const ByteVec& l4, uint8_t proto = 6,
             uint16_t fragField = 0x4000 /* DF */);
// `extHeaders`: IPv6 extension headers (next-header numbers) placed before the payload.
ByteVec Ipv6(const std::string& src, const std::string& dst, const ByteVec& l4, uint8_t proto = 6,
             std::initializer_list<uint8_t> extHeaders = {});
inline ByteVec Ipv4(const std::string& src, const std::string& dst, const Tcp& tcp) { return Ipv4(src, dst, tcp.bytes()); }
inline ByteVec Ipv6(const std::string& src, const std::string& dst, const Tcp& tcp) { return Ipv6(src, dst, tcp.bytes()); }

// Link layers. `tags`: VLAN tag protocol identifiers, outermost first (0x8100, 0x88A8...).
ByteVec Ethernet(const ByteVec& ip, std::initializer_list<uint16_t> tags = {});
ByteVec LinuxSll(const ByteVec& ip);
ByteVec LinuxSll2(const ByteVec& ip);
// BSD loopback: the address family as a 32-bit value in the given byte order.
ByteVec Loopback(const ByteVec& ip, uint32_t family, bool bigEndian);

namespace smbaudit {

// One Sensor writing records to a temporary file.
struct SensorRun {
    explicit SensorRun(const SensorConfig& config = {});
    // An Ethernet frame between the client 10.0.0.1 and the server 10.0.0.2 at second `sec`.
    void Send(bool fromClient, const Tcp& tcp, uint32_t sec = 1000);
    // Finishes the run; its records, one string per line.
    std::vector<std::string> Finish();

    Stats stats;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file;
    FileOutput output;
    RecordWriter writer;
    Sensor sensor;
};

}  // namespace smbaudit
