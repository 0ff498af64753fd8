#include "text/value_string.h"

#include <cstring>

#include "framework/framework.h"

namespace {
constexpr unsigned int kOutBytes = kMaxConvertedChars + 4;  // 256 characters, "...", NUL
}

char* UnicodeToAscii(const char* block, int offset, int& consumed, bool bounded, unsigned short maxBytes) {
    char* out = reinterpret_cast<char*>(ZELK::MyMemAlloc(kOutBytes, "value_string", __LINE__));
    if (!out) return nullptr;
    const int limit = consumed;
    int count = 0;
    int written = 0;
    bool cut = false;
    if (maxBytes == 0 || (bounded && limit <= 0)) {
        out[0] = '\0';
        consumed = 0;
        return out;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(block) + offset;
    unsigned int avail = maxBytes;
    for (;;) {
        if (avail == 1) {
            if (!bounded) ++count;  // an odd trailing byte of a NUL-terminated field is used up
            break;
        }
        uint16_t unit = uint16_t(p[count] | (p[count + 1] << 8));
        if (unit == 0) {
            count += 2;
            break;
        }
        if (written < kMaxConvertedChars) {
            out[written++] = unit <= 0xFF ? char(unit) : '?';
        } else {
            cut = true;
        }
        avail -= 2;
        count += 2;
        if ((bounded && count >= limit) || avail == 0) break;
    }
    if (cut) {
        std::memcpy(out + written, "...", 3);
        written += 3;
    }
    out[written] = '\0';
    consumed = count;
    return out;
}

bool UnicodeToAsciiString(const char* block, int offset, int& consumed, bool bounded, unsigned short maxBytes,
                          std::string& out) {
    char* s = UnicodeToAscii(block, offset, consumed, bounded, maxBytes);
    if (!s) return false;
    out.assign(s);
    ZELK::MyMemFree(s);
    return true;
}

SmbStringResult ReadSmbString(const uint8_t* block, uint32_t blockLen, uint32_t pos, bool unicode, std::string& dest,
                              uint32_t& next) {
    if (pos >= blockLen) return SmbStringResult::Missing;
    uint32_t remaining = blockLen - pos;
    if (!unicode) {
        const void* nul = std::memchr(block + pos, 0, remaining);
        if (!nul) return SmbStringResult::Unterminated;
        uint32_t n = uint32_t(static_cast<const uint8_t*>(nul) - (block + pos));
        dest.assign(reinterpret_cast<const char*>(block + pos), n);
        next = pos + n + 1;
        return SmbStringResult::Ok;
    }
    uint32_t start = pos + (pos & 1);  // UTF-16 text is aligned on the SMB header
    uint32_t avail = blockLen > start ? blockLen - start : 0;
    // The conversion counts at most 65535 bytes; an SMB block is never larger.
    if (avail > 0xFFFF) avail = 0xFFFF;
    int consumed = 0;
    if (!UnicodeToAsciiString(reinterpret_cast<const char*>(block), int(start), consumed, false,
                              static_cast<unsigned short>(avail), dest))
        return SmbStringResult::NoMemory;
    next = start + uint32_t(consumed);
    return SmbStringResult::Ok;
}

std::u16string WidenBytes(const uint8_t* p, size_t n) {
    std::u16string out(n, u'\0');
    for (size_t i = 0; i < n; ++i) out[i] = p[i];
    return out;
}

std::u16string WidenBytes(const std::string& s) {
    return WidenBytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::u16string ReadUtf16(const uint8_t* p, size_t n) {
    std::u16string out(n / 2, u'\0');
    for (size_t i = 0; i < n / 2; ++i) out[i] = char16_t(p[2 * i] | (p[2 * i + 1] << 8));
    return out;
}
