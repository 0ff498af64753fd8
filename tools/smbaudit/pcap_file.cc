#include "tools/smbaudit/pcap_file.h"

namespace smbaudit {
namespace {
constexpr size_t kFileHeader = 24, kRecordHeader = 16;
constexpr uint32_t kMicroMagic = 0xa1b2c3d4, kNanoMagic = 0xa1b23c4d;

uint32_t Swap(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24); }
}  // namespace

uint32_t PcapFileReader::U32(size_t at) const {
    const uint8_t* p = m_data + at;
    const uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return m_swapped ? Swap(v) : v;
}

bool PcapFileReader::Open(const uint8_t* data, size_t size) {
    m_data = data;
    m_size = size;
    m_offset = kFileHeader;
    m_error.clear();
    if (size < kFileHeader) return false;
    m_swapped = false;
    uint32_t magic = U32(0);
    if (magic != kMicroMagic && magic != kNanoMagic) {
        m_swapped = true;
        magic = U32(0);
        if (magic != kMicroMagic && magic != kNanoMagic) return false;
    }
    m_nanoseconds = magic == kNanoMagic;
    const uint16_t major = uint16_t(m_swapped ? U32(4) >> 16 : U32(4) & 0xffff);
    if (major != 2) return false;
    // A snapshot length of 0 or beyond any capture tool's means "no limit" to libpcap too.
    const uint32_t snapLen = U32(16);
    m_snapLen = snapLen == 0 || snapLen > kMaxCapLen ? kMaxCapLen : snapLen;
    m_linkType = U32(20) & 0x03FFFFFF;  // the top bits say how long a frame check sequence is
    return true;
}

PcapFileReader::Next PcapFileReader::Read(Frame& frame) {
    if (m_offset == m_size) return Next::End;
    if (m_size - m_offset < kRecordHeader) {
        m_error = "truncated capture: " + std::to_string(m_size - m_offset) + " bytes of a " +
                  std::to_string(kRecordHeader) + "-byte record header";
        return Next::Damaged;
    }
    const uint32_t capLen = U32(m_offset + 8);
    if (capLen > kMaxCapLen) {
        m_error = "damaged record: captured length " + std::to_string(capLen) + ", more than the largest possible (" +
                  std::to_string(kMaxCapLen) + ")";
        return Next::Damaged;
    }
    if (m_size - m_offset - kRecordHeader < capLen) {
        m_error = "truncated capture: the last frame claims " + std::to_string(capLen) + " bytes, " +
                  std::to_string(m_size - m_offset - kRecordHeader) + " are there";
        return Next::Damaged;
    }
    frame.sec = U32(m_offset);
    frame.usec = U32(m_offset + 4);
    if (m_nanoseconds) frame.usec /= 1000;
    frame.bytes = m_data + m_offset + kRecordHeader;
    // A record longer than the file's snapshot length is read up to it, as libpcap does.
    frame.capLen = capLen < m_snapLen ? capLen : m_snapLen;
    m_offset += kRecordHeader + capLen;
    return Next::Frame;
}

}  // namespace smbaudit
