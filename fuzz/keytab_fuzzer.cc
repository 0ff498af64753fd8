// The MIT keytab reader: the input is the whole file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/keytab.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<smbaudit::crypto::KeytabEntry> entries;
    std::string error;
    bool ok = smbaudit::crypto::ReadKeytab(smbaudit::crypto::ByteView(data, size), entries, error);
    if (ok != error.empty() || entries.size() > smbaudit::crypto::kMaxKeytabEntries) std::abort();
    for (const auto& e : entries)
        if (e.key.empty() || e.key.size() > 64) std::abort();
    return 0;
}
