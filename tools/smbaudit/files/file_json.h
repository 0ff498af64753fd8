// Texts and digests of the file records: the copies an open keeps of the names its create
// record borrowed, and their JSON.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/smbaudit/audit_record.h"

namespace smbaudit {

// A Text that owns its characters.
struct StoredText {
    std::string narrow;
    std::u16string wide;
    void Set(const Text& text) {
        narrow.assign(text.narrow);
        wide.assign(text.wide);
    }
    Text View() const { return wide.empty() ? Text(std::string_view(narrow)) : Text(std::u16string_view(wide)); }
};

// Appends `text` as a JSON string, 8-bit or UTF-16 as it is held.
void AppendJsonText(std::string& out, const Text& text);

class JsonLine;

// The totals of a close record: bytes_read, bytes_written, reads, writes, size, open_us, and
// per direction ("read", "written") sha256 and md5, or hash_partial and covered_bytes.
void FormatOpenTotals(JsonLine& line, const OpenTotals& totals);

// Lower-case hex.
template <size_t N>
std::string HexDigest(const std::array<uint8_t, N>& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

}  // namespace smbaudit
