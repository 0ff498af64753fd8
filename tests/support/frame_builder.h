// A readable builder for NetBIOS/SMB1 test messages:
//
//   auto msg = Smb(0x73).uid(0x800).mid(3).unicode()
//                  .params(Bytes().u16(0xFFFF).u16(2).u32(0))
//                  .data(Bytes().utf16z(u"alice"))
//                  .andx(0x75, Bytes().u16(0).u16(1), Bytes().u8(0).utf16z(u"\\\\SRV\\SHARE").strz("?????"));
//   ctx.Feed(msg.frame(), true);
//
// AndX commands get their 4-byte AndX header (command, reserved, offset) prepended to the
// parameters given, filled in when the message is built.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using ByteVec = std::vector<uint8_t>;

class Bytes {
public:
    Bytes() = default;
    Bytes& u8(uint8_t v) { m_v.push_back(v); return *this; }
    Bytes& u16(uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
    Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& u64(uint64_t v) { return u32(uint32_t(v)).u32(uint32_t(v >> 32)); }
    Bytes& be16(uint16_t v) { return u8(v >> 8).u8(v & 0xFF); }
    Bytes& be32(uint32_t v) { return be16(v >> 16).be16(v & 0xFFFF); }
    Bytes& fill(size_t n, uint8_t v = 0) { m_v.insert(m_v.end(), n, v); return *this; }
    Bytes& raw(const ByteVec& b) { m_v.insert(m_v.end(), b.begin(), b.end()); return *this; }
    Bytes& raw(const Bytes& b) { return raw(b.m_v); }
    Bytes& raw(std::initializer_list<uint8_t> b) { m_v.insert(m_v.end(), b.begin(), b.end()); return *this; }
    // 8-bit text, without and with its NUL terminator.
    Bytes& str(const std::string& s) { m_v.insert(m_v.end(), s.begin(), s.end()); return *this; }
    Bytes& strz(const std::string& s) { return str(s).u8(0); }
    // UTF-16LE text, without and with its terminator.
    Bytes& utf16(const std::u16string& s) { for (char16_t c : s) u16(c); return *this; }
    Bytes& utf16z(const std::u16string& s) { return utf16(s).u16(0); }
    // BER element: tag, definite length (short or long form), content.
    Bytes& ber(uint8_t tag, const Bytes& content);

    size_t size() const { return m_v.size(); }
    const ByteVec& vec() const { return m_v; }
    ByteVec& vec() { return m_v; }
    operator const ByteVec&() const { return m_v; }

private:
    ByteVec m_v;
};

// NetBIOS session message: type byte, 24-bit big-endian length, payload.
ByteVec Nbt(const ByteVec& payload, uint8_t type = 0);

class Smb {
public:
    explicit Smb(uint8_t cmd);

    Smb& uid(uint16_t v) { m_uid = v; return *this; }
    Smb& tid(uint16_t v) { m_tid = v; return *this; }
    Smb& pid(uint16_t v) { m_pid = v; return *this; }
    Smb& mid(uint16_t v) { m_mid = v; return *this; }
    Smb& flags2(uint16_t v) { m_flags2 = v; return *this; }
    // Flags2 bit 15: strings are UTF-16LE.
    Smb& unicode(bool on = true);
    // A 32-bit NT status (sets Flags2 bit 14).
    Smb& ntStatus(uint32_t status);
    // A DOS error class and code (clears Flags2 bit 14).
    Smb& dosError(uint8_t errClass, uint16_t code);
    Smb& signature(const std::string& sig4) { m_sig = sig4; return *this; }

    // Parameters and byte block of the first command (or of the last chained one).
    Smb& params(const Bytes& p);
    Smb& data(const Bytes& d);
    // The block's WordCount/ByteCount as given instead of computed (for malformed cases).
    Smb& wordCount(uint8_t wc);
    Smb& byteCount(uint16_t bc);
    // Appends a chained command.
    Smb& andx(uint8_t cmd, const Bytes& params = Bytes(), const Bytes& data = Bytes());
    // Points the AndX offset of block i at an explicit SMB offset instead of the next block.
    Smb& andxOffset(size_t block, uint16_t smbOffset);
    // Extra bytes after the last block (inside the message).
    Smb& trailer(const Bytes& t) { m_trailer = t; return *this; }

    // Offset from the SMB header of block i's WordCount byte, and of its byte block.
    size_t blockOffset(size_t i) const;
    size_t bytesOffset(size_t i) const;

    ByteVec smb() const;                  // the SMB message alone
    ByteVec frame() const { return Nbt(smb()); }  // with its NetBIOS header

private:
    struct Block {
        uint8_t cmd;
        Bytes params;
        Bytes data;
        int wc = -1;  // override
        int bc = -1;  // override
        int andxTo = -1;
    };
    static bool IsAndX(uint8_t cmd);
    size_t BlockSize(const Block& b) const;

    uint16_t m_uid = 0, m_tid = 0, m_pid = 0xFEFF, m_mid = 1, m_flags2 = 0x0001;
    uint32_t m_status = 0;
    std::string m_sig = std::string("\xFFSMB", 4);
    std::vector<Block> m_blocks;
    Bytes m_trailer;
};

// Concatenates frames into one chunk.
ByteVec Concat(std::initializer_list<ByteVec> parts);
