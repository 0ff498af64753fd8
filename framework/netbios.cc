#include "framework/netbios.h"

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
    for (size_t i = 0; i + 8 <= len; ++i) {
        if (data[i] != 0 || data[i + 5] != 'S') continue;
        if (sessionService && (data[i + 1] & 0xFE)) continue;  // flag bits other than the length extension
        if (NetbiosLength(data + i, sessionService) >= kSmallest && ProtocolOf(data + i + 4) != SmbProtocol::Unknown)
            return i;
    }
    return len;
}

}  // namespace smbaudit
