// The operator's key files: byte 0 picks the parser (even: --smb-keys, odd:
// --ntlm-credentials), the rest is the file's text. An error must name the file and line
// and must never repeat a key of the line.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crypto/key_files.h"

using namespace smbaudit::crypto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string error;
    bool ok;
    if (data[0] % 2 == 0) {
        std::vector<SmbKeyLine> keys;
        ok = ParseSmbKeys(text, "keys.txt", keys, error);
    } else {
        std::vector<NtlmCredential> credentials;
        ok = ParseNtlmCredentials(text, "credentials.txt", credentials, error);
    }
    if (!ok && error.rfind(data[0] % 2 == 0 ? "keys.txt:" : "credentials.txt:", 0) != 0) std::abort();
    // No key comes back: no run of 8 hex digits of the input appears in the message (its own
    // sentences have none).
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    for (size_t i = 0; !ok && i + 8 <= text.size(); ++i) {
        size_t n = 0;
        while (n < 8 && hex(text[i + n])) ++n;
        if (n == 8 && error.find(text.substr(i, 8)) != std::string::npos) std::abort();
    }
    return 0;
}
