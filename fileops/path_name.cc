#include "fileops/path_name.h"

#include <cstring>

#include "text/value_string.h"

namespace {
constexpr uint8_t kBufferFormatAscii = 0x04;  // "null-terminated string" buffer format
}

int ReadSmbPathName(const uint8_t* block, uint32_t blockLen, uint32_t pos, bool unicode, std::u16string* dest) {
    if (!block || pos >= blockLen || block[pos] != kBufferFormatAscii) return -1;
    uint32_t text = pos + 1;
    if (text >= blockLen) return -1;

    if (!unicode) {
        const void* nul = std::memchr(block + text, 0, blockLen - text);
        if (!nul) return -1;
        const uint32_t n = uint32_t(static_cast<const uint8_t*>(nul) - (block + text));
        if (dest) *dest = WidenBytes(block + text, n);
        return int(1 + n + 1);
    }

    // The WordCount byte sits at an even offset from the SMB header, so an odd block
    // position is an odd header offset: UTF-16 text there is preceded by one pad byte.
    const uint32_t pad = text & 1;
    text += pad;
    const uint32_t avail = text < blockLen ? blockLen - text : 0;
    uint32_t units = 0;
    while (2 * units + 1 < avail && (block[text + 2 * units] | block[text + 2 * units + 1]) != 0) ++units;
    if (dest) *dest = ReadUtf16(block + text, 2 * size_t(units));
    // The terminator is counted whether or not the block holds it (see the header).
    return int(1 + pad + 2 * units + 2);
}

bool TakeSmbPathName(const SmbBlock& block, uint32_t& pos, bool unicode, std::u16string& dest) {
    const int used = ReadSmbPathName(block.data(), block.size(), pos, unicode, &dest);
    if (used < 0 || uint64_t(pos) + uint64_t(used) > block.size()) return false;
    pos += uint32_t(used);
    return true;
}
