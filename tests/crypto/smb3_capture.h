// Drives the decryptor over the SMB2 connections of a capture the way the analyser does:
// NEGOTIATE and SESSION_SETUP messages to OnPreauthMessage and OnSessionSetup, the
// negotiated dialect and cipher to OnNegotiated, and every transform message to Decrypt.
// The captures are cut into messages with the sensor's own packet path (bench::LoadFlows).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crypto/key_store.h"

struct CaptureDecryption {
    size_t transforms = 0;  // 0xFD messages seen
    // Of those, messages naming session id 0xFFFFFFFFFFFFFFFF: Samba's client sends one after
    // its LOGOFF, when it has already forgotten the session; no server can decrypt it.
    size_t sessionless = 0;
    std::vector<std::vector<uint8_t>> plain;  // of those that decrypted, in order
};

// One decryptor per connection, all sharing `store`.
CaptureDecryption DecryptCapture(const std::string& path, smbaudit::crypto::KeyStore& store);
