#include "support/smb2_builder.h"

ByteVec Smb2::bytes() const {
    Bytes h;
    h.raw({0xFE, 'S', 'M', 'B'}).u16(64).u16(1).u32(m_status).u16(m_command).u16(1).u32(m_flags).u32(0);
    h.u64(m_mid);
    if (m_flags & 0x02) h.u64(m_asyncId);
    else h.u32(0xFEFF).u32(m_tid);
    h.u64(m_sid).fill(16);
    return h.raw(m_body).vec();
}

Bytes Smb2Error() { return Bytes().u16(9).u8(0).u8(0).u32(0).u8(0); }

Bytes FileIdBytes(uint8_t b) { return Bytes().u8(b).fill(7, b == 0xFF ? 0xFF : 0).fill(8, b == 0xFF ? 0xFF : 0); }

Bytes CreateRequestBody(const std::u16string& name, uint32_t options, uint32_t access) {
    Bytes b;
    b.u16(57).u8(0).u8(0).u32(2).u64(0).u64(0).u32(access).u32(0x80).u32(7).u32(1).u32(options);
    b.u16(64 + 56).u16(uint16_t(name.size() * 2)).u32(0).u32(0);
    return name.empty() ? b.u8(0) : b.utf16(name);
}

Bytes CreateResponseBody(uint8_t fileIdByte, uint64_t endOfFile, uint32_t action) {
    Bytes b;
    b.u16(89).u8(0).u8(0).u32(action).fill(32).u64(endOfFile).u64(endOfFile).u32(0x20).u32(0);
    return b.raw(FileIdBytes(fileIdByte)).u32(0).u32(0);
}
