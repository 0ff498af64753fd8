// NetBIOS message framing shared by the protocol router and the SMB2 analyser: the 4-byte
// header in front of every SMB message, the protocol id behind it, and the search for the
// next message start after lost bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace smbaudit {

enum class SmbProtocol : uint8_t { Unknown, Smb1, Smb2, Transform, Compressed };

// The four bytes of protocol id: 0xFF 'SMB', 0xFE 'SMB', 0xFD 'SMB', 0xFC 'SMB'.
SmbProtocol ProtocolOf(const uint8_t* id4);

// Length announced by a NetBIOS header (without the header). SMB over TCP (port 445) uses
// 24 bits; the NetBIOS session service (139) only bit 0 of byte 1 above the low 16 bits.
inline uint32_t NetbiosLength(const uint8_t* h, bool sessionService) {
    uint32_t high = sessionService ? (h[1] & 1u) : h[1];
    return high << 16 | uint32_t(h[2]) << 8 | h[3];
}

// Offset of the first plausible message start in [data, data + len): a session message
// header (type 0) announcing at least 16 bytes, followed by one of the four protocol ids.
// len when there is none.
size_t FindMessageStart(const uint8_t* data, size_t len, bool sessionService);

}  // namespace smbaudit
