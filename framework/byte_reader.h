// A bounds-checked little-endian reader over a byte range, for wire parsers.
//
// Every read names its offset. A read that would pass the end returns zero (or a null
// pointer) and makes the reader fail for good: a parser reads all its fields, then asks ok()
// once, and never has to interleave length checks with field reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace smbaudit {

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    size_t size() const { return m_size; }
    const uint8_t* data() const { return m_data; }
    bool ok() const { return m_ok; }
    // True when [offset, offset + n) lies inside the range; never fails the reader.
    bool Has(size_t offset, size_t n) const { return offset <= m_size && n <= m_size - offset; }

    uint8_t U8(size_t offset) { return Check(offset, 1) ? m_data[offset] : 0; }
    uint16_t U16(size_t offset) { return Check(offset, 2) ? uint16_t(m_data[offset] | m_data[offset + 1] << 8) : 0; }
    uint32_t U32(size_t offset) { return Check(offset, 4) ? Le32(m_data + offset) : 0; }
    uint64_t U64(size_t offset) {
        return Check(offset, 8) ? Le32(m_data + offset) | uint64_t(Le32(m_data + offset + 4)) << 32 : 0;
    }
    // n bytes at offset, or null (and the reader fails). n == 0 gives a non-null pointer
    // when offset is inside the range or at its end.
    const uint8_t* Bytes(size_t offset, size_t n) { return Check(offset, n) ? m_data + offset : nullptr; }

private:
    static uint32_t Le32(const uint8_t* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    bool Check(size_t offset, size_t n) {
        if (Has(offset, n)) return true;
        m_ok = false;
        return false;
    }

    const uint8_t* m_data;
    size_t m_size;
    bool m_ok = true;
};

}  // namespace smbaudit
