// A builder for SMB2 test messages:
//
//   auto req = Smb2(kCreate).mid(5).sid(0x11).tid(7).body(CreateBody(u"a.txt"));
//   conn.Feed(true, Nbt(req.bytes()));
//
// The header is the sync form unless async(id) is set; bodies are given whole, from their
// StructureSize; offsets inside a body count from the header (body offset + 64).
#pragma once

#include "support/frame_builder.h"

class Smb2 {
public:
    explicit Smb2(uint16_t command) : m_command(command) {}

    Smb2& response() { m_flags |= 0x01; return *this; }
    Smb2& async(uint64_t id) { m_flags |= 0x02; m_asyncId = id; return *this; }
    Smb2& status(uint32_t v) { m_status = v; return *this; }
    Smb2& mid(uint64_t v) { m_mid = v; return *this; }
    Smb2& sid(uint64_t v) { m_sid = v; return *this; }
    Smb2& tid(uint32_t v) { m_tid = v; return *this; }
    Smb2& body(const Bytes& b) { m_body = b.vec(); return *this; }

    // Header and body (NextCommand 0: compound chains come from the captures).
    ByteVec bytes() const;

private:
    uint16_t m_command;
    uint32_t m_flags = 0;
    uint32_t m_status = 0;
    uint64_t m_mid = 0, m_asyncId = 0, m_sid = 0;
    uint32_t m_tid = 0;
    ByteVec m_body;
};

// Common bodies.
Bytes Smb2Error();
Bytes CreateRequestBody(const std::u16string& name, uint32_t options = 0, uint32_t access = 0x80);
Bytes CreateResponseBody(uint8_t fileIdByte, uint64_t endOfFile = 0, uint32_t action = 1);
Bytes FileIdBytes(uint8_t b);  // 16 bytes, all-ones for 0xFF
