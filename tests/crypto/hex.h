// Hex text to bytes for the crypto tables (whitespace ignored).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "crypto/primitives.h"

inline std::vector<uint8_t> Unhex(std::string_view text) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : text) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) continue;
        if (hi < 0) {
            hi = d;
        } else {
            out.push_back(uint8_t(hi << 4 | d));
            hi = -1;
        }
    }
    return out;
}

inline smbaudit::crypto::Secret SecretHex(std::string_view text) { return smbaudit::crypto::Secret(Unhex(text)); }
