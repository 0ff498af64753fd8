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
    bool isWide = false;
    bool known = false;
    void Set(const Text& text) {
        narrow.assign(text.narrow);
        wide.assign(text.wide);
        isWide = text.isWide;
        known = text.known;
    }
    Text View() const {
        if (!known) return Text();
        return isWide ? Text(std::u16string_view(wide)) : Text(std::string_view(narrow));
    }
};

class JsonLine;

// The content keys of a close record, after its totals: per direction ("read", "written")
// that saw data, sha256 and md5, or hash_partial and covered_bytes.
void FormatContentDigests(JsonLine& line, const OpenTotals& totals);

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
