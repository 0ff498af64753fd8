// Reading a fuzzer's input as a little structured program: configuration bytes, then
// records. Reads past the end give zeros and empty spans, so every input is valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_p(data), m_left(size) {}

    bool Empty() const { return m_left == 0; }
    size_t Left() const { return m_left; }

    uint8_t U8() {
        if (!m_left) return 0;
        --m_left;
        return *m_p++;
    }
    uint16_t U16() {
        uint16_t lo = U8();
        return uint16_t(lo | (U8() << 8));
    }
    uint32_t U32() {
        uint32_t lo = U16();
        return lo | (uint32_t(U16()) << 16);
    }
    // Up to n bytes, fewer at the end of the input.
    const uint8_t* Take(size_t n, size_t& got) {
        got = n < m_left ? n : m_left;
        const uint8_t* p = m_p;
        m_p += got;
        m_left -= got;
        return p;
    }

private:
    const uint8_t* m_p;
    size_t m_left;
};

// A copy of some input bytes in a block of exactly their size, so that AddressSanitizer
// reports a read one byte past them, and freeing it makes any pointer kept into it dangle
// detectably. Never empty-allocated: a null pointer stands for no bytes.
class ExactCopy {
public:
    ExactCopy(const uint8_t* p, size_t n) : m_len(n) {
        if (n) {
            m_buf.reset(new uint8_t[n]);
            std::memcpy(m_buf.get(), p, n);
        }
    }
    uint8_t* data() { return m_buf.get(); }
    char* chars() { return reinterpret_cast<char*>(m_buf.get()); }
    size_t size() const { return m_len; }

private:
    std::unique_ptr<uint8_t[]> m_buf;
    size_t m_len;
};
