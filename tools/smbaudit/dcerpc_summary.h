// A short summary of the DCE/RPC connection-oriented PDU that starts a named-pipe payload:
// enough to tell which interface a client binds to and which operation it calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace smbaudit {

struct DcerpcSummary {
    uint8_t ptype = 0;
    uint32_t callId = 0;
    bool hasOpnum = false;  // requests
    uint16_t opnum = 0;
    bool hasInterface = false;  // bind and alter_context: the first presentation context
    std::array<uint8_t, 16> interfaceUuid{};  // as on the wire, in the PDU's byte order
    bool interfaceLittleEndian = true;
    uint16_t interfaceVersionMajor = 0;
    uint16_t interfaceVersionMinor = 0;
};

// True when `data` starts with a version 5 connection-oriented PDU header. Reads only
// what is inside `len`.
bool ParseDcerpc(const uint8_t* data, size_t len, DcerpcSummary& out);

// "request", "bind", "bind_ack"...; null for a type number that does not exist.
const char* DcerpcPtypeName(uint8_t ptype);

// Canonical lower-case 8-4-4-4-12 text of the interface UUID.
std::string FormatInterfaceUuid(const DcerpcSummary& summary);

// The interface's common name ("srvsvc", "samr"...), or null when it is not well known.
const char* InterfaceName(const std::string& uuidText);

}  // namespace smbaudit
