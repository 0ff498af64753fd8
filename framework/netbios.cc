#include "framework/netbios.h"

#include <cstring>

namespace smbaudit {

SmbProtocol ProtocolOf(const uint8_t* id) {
    if (id[1] != 'S' || id[2] != 'M' || id[3] != 'B') return SmbProtocol::Unknown;
    switch (id[0]) {
        case 0xFF: return SmbProtocol::Smb1;
        case 0xFE: return SmbProtocol::Smb2;
        case 0xFD: return SmbProtocol::Transform;
        case 0xFC: return SmbProtocol::Compressed;
        default: return SmbProtocol::Unknown;
    }
}

size_t FindMessageStart(const uint8_t* data, size_t len, bool sessionService) {
    // The smallest SMB message is a compression transform header (16 bytes).
    constexpr uint32_t kSmallest = 16;
    if (len < 8) return len;
    // Candidates are found by the 'S' of the protocol id (5 bytes into a message), which
    // memchr finds fast in file data: a lost stretch is often megabytes of it.
    const uint8_t* end = data + len - 2;  // an 'S' at p leaves p + 3 <= data + len
    for (const uint8_t* p = data + 5; p < end; ++p) {
        p = static_cast<const uint8_t*>(std::memchr(p, 'S', size_t(end - p)));
        if (!p) break;
        const uint8_t* h = p - 5;
        if (h[0] != 0) continue;
        if (sessionService && (h[1] & 0xFE)) continue;  // flag bits other than the length extension
        if (NetbiosLength(h, sessionService) >= kSmallest && ProtocolOf(h + 4) != SmbProtocol::Unknown)
            return size_t(h - data);
    }
    return len;
}

}  // namespace smbaudit
