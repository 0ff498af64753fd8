// The classic pcap file format read in place: a 24-byte file header, then per frame a
// 16-byte record header and the captured bytes. The sensor maps capture files into memory
// and walks them with this reader (with --workers, each worker thread with its own), so
// that a frame reaches the analysers without being copied by the kernel or by libpcap. pcapng, standard input and anything this reader does not take go through
// libpcap instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace smbaudit {

class PcapFileReader {
public:
    // The file header of `data` (`size` bytes, which stay readable while frames are read):
    // false when it is not a classic pcap file of version 2 (libpcap then has its say).
    bool Open(const uint8_t* data, size_t size);

    // The file's link type (LINKTYPE_ value, as in the header, without the FCS bits).
    uint32_t LinkType() const { return m_linkType; }

    struct Frame {
        uint32_t sec = 0, usec = 0;
        const uint8_t* bytes = nullptr;
        size_t capLen = 0;
    };
    enum class Next { Frame, End, Damaged };
    // The next frame; Damaged, with Error(), for a record cut short by the end of the file
    // or one whose length no capture can have (everything before it was good).
    Next Read(Frame& frame);
    const std::string& Error() const { return m_error; }
    // Bytes of the file read so far.
    size_t Offset() const { return m_offset; }

    // The largest captured length a record may claim: the largest snapshot length capture
    // tools write (libpcap's own limit).
    static constexpr uint32_t kMaxCapLen = 262144;

private:
    uint32_t U32(size_t at) const;

    const uint8_t* m_data = nullptr;
    size_t m_size = 0, m_offset = 0;
    bool m_swapped = false, m_nanoseconds = false;
    uint32_t m_snapLen = kMaxCapLen, m_linkType = 0;
    std::string m_error;
};

}  // namespace smbaudit
