#include "support/frame_builder.h"

Bytes& Bytes::ber(uint8_t tag, const Bytes& content) {
    u8(tag);
    size_t n = content.size();
    if (n < 0x80) {
        u8(uint8_t(n));
    } else if (n < 0x100) {
        u8(0x81).u8(uint8_t(n));
    } else if (n < 0x10000) {
        u8(0x82).be16(uint16_t(n));
    } else {
        u8(0x84).be32(uint32_t(n));
    }
    return raw(content);
}

ByteVec Nbt(const ByteVec& payload, uint8_t type) {
    ByteVec out;
    size_t n = payload.size();
    out.push_back(type);
    out.push_back(uint8_t(n >> 16));
    out.push_back(uint8_t(n >> 8));
    out.push_back(uint8_t(n));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

ByteVec Concat(std::initializer_list<ByteVec> parts) {
    ByteVec out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Smb::Smb(uint8_t cmd) { m_blocks.push_back(Block{cmd, Bytes(), Bytes()}); }

Smb& Smb::unicode(bool on) {
    m_flags2 = on ? (m_flags2 | 0x8000) : (m_flags2 & 0x7FFF);
    return *this;
}
Smb& Smb::ntStatus(uint32_t status) {
    m_flags2 |= 0x4000;
    m_status = status;
    return *this;
}
Smb& Smb::dosError(uint8_t errClass, uint16_t code) {
    m_flags2 &= ~0x4000;
    m_status = uint32_t(errClass) | uint32_t(code) << 16;
    return *this;
}
Smb& Smb::params(const Bytes& p) { m_blocks.back().params = p; return *this; }
Smb& Smb::data(const Bytes& d) { m_blocks.back().data = d; return *this; }
Smb& Smb::wordCount(uint8_t wc) { m_blocks.back().wc = wc; return *this; }
Smb& Smb::byteCount(uint16_t bc) { m_blocks.back().bc = bc; return *this; }
Smb& Smb::andx(uint8_t cmd, const Bytes& params, const Bytes& data) {
    m_blocks.push_back(Block{cmd, params, data});
    return *this;
}
Smb& Smb::andxOffset(size_t block, uint16_t smbOffset) {
    m_blocks.at(block).andxTo = smbOffset;
    return *this;
}

bool Smb::IsAndX(uint8_t cmd) {
    switch (cmd) {
        case 0x24: case 0x2D: case 0x2E: case 0x2F: case 0x73: case 0x74: case 0x75: case 0xA2:
            return true;
        default:
            return false;
    }
}

size_t Smb::BlockSize(const Block& b) const {
    size_t params = b.params.size() + (IsAndX(b.cmd) ? 4 : 0);
    return 1 + params + 2 + b.data.size();
}

size_t Smb::blockOffset(size_t i) const {
    size_t off = 32;
    for (size_t k = 0; k < i; ++k) off += BlockSize(m_blocks.at(k));
    return off;
}

size_t Smb::bytesOffset(size_t i) const {
    const Block& b = m_blocks.at(i);
    return blockOffset(i) + 1 + b.params.size() + (IsAndX(b.cmd) ? 4 : 0) + 2;
}

ByteVec Smb::smb() const {
    Bytes out;
    out.str(m_sig.substr(0, 4));
    out.u8(m_blocks.front().cmd);
    out.u32(m_status);
    out.u8(0x18);  // Flags: case-insensitive paths, canonical names
    out.u16(m_flags2);
    out.u16(0);     // PIDHigh
    out.fill(8);    // security features
    out.u16(0);     // reserved
    out.u16(m_tid).u16(m_pid).u16(m_uid).u16(m_mid);
    for (size_t i = 0; i < m_blocks.size(); ++i) {
        const Block& b = m_blocks[i];
        Bytes params;
        if (IsAndX(b.cmd)) {
            bool last = i + 1 == m_blocks.size();
            uint16_t to = b.andxTo >= 0 ? uint16_t(b.andxTo) : last ? 0 : uint16_t(blockOffset(i + 1));
            params.u8(last ? 0xFF : m_blocks[i + 1].cmd).u8(0).u16(to);
        }
        params.raw(b.params);
        out.u8(b.wc >= 0 ? uint8_t(b.wc) : uint8_t(params.size() / 2));
        out.raw(params);
        out.u16(b.bc >= 0 ? uint16_t(b.bc) : uint16_t(b.data.size()));
        out.raw(b.data);
    }
    out.raw(m_trailer);
    return out.vec();
}
