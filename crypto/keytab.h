// The MIT keytab file format (version 0x0502, as ktutil, Samba's `samba-tool domain
// exportkeytab` and Windows' ktpass write it): big-endian records of
//   int32 size (negative: a hole of -size bytes left by a deleted entry)
//   u16 component count, counted realm, counted components, u32 name type, u32 timestamp,
//   u8 kvno, u16 enctype, counted key, and an optional u32 kvno that supersedes the u8 one.
// A keytab is operator input, but still read as hostile: every length is checked against
// the record and the file, and the counts are bounded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crypto/primitives.h"

namespace smbaudit::crypto {

constexpr size_t kMaxKeytabBytes = 16u << 20;
constexpr size_t kMaxKeytabEntries = 65536;

struct KeytabEntry {
    std::string principal;  // components joined by '/', without the realm
    std::string realm;
    uint32_t kvno = 0;
    int32_t etype = 0;
    Secret key;
};

// Appends the entries of a keytab's bytes; false with a one-line `error` (offsets and
// counts, never key bytes) when the file is not a version 0x0502 keytab or is malformed.
bool ReadKeytab(ByteView file, std::vector<KeytabEntry>& out, std::string& error);

}  // namespace smbaudit::crypto
