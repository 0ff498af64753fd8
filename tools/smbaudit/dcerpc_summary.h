// A short summary of the DCE/RPC connection-oriented PDU that starts a named-pipe payload:
// enough to tell which interface a client binds to and which operation it calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace smbaudit {

// PDU flags of the header.
constexpr uint8_t kPfcFirstFrag = 0x01;
constexpr uint8_t kPfcLastFrag = 0x02;
constexpr uint8_t kPfcObjectUuid = 0x80;

constexpr uint8_t kPtypeRequest = 0;
constexpr uint8_t kPtypeResponse = 2;
constexpr uint8_t kPtypeFault = 3;
constexpr uint8_t kPtypeBind = 11;
constexpr uint8_t kPtypeAlterContext = 14;

struct DcerpcSummary {
    uint8_t ptype = 0;
    uint8_t flags = 0;
    bool littleEndian = true;  // integer byte order of the PDU
    uint16_t fragLength = 0;   // the whole fragment, header included
    uint16_t authLength = 0;   // the verifier at the end of the fragment
    uint32_t callId = 0;
    bool hasContextId = false;  // request, response, fault
    uint16_t contextId = 0;
    size_t stubOffset = 0;      // request and response: where the stub starts in the fragment
    bool hasFaultStatus = false;
    uint32_t faultStatus = 0;
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

// One presentation context of a bind or alter_context: its id and abstract syntax.
struct DcerpcContext {
    uint16_t id = 0;
    std::array<uint8_t, 16> interfaceUuid{};
    bool littleEndian = true;
};

// The presentation contexts of a bind or alter_context PDU whose summary is `s`, at most
// `max` of them, read only inside `len`. Returns how many were stored.
size_t ParseBindContexts(const uint8_t* data, size_t len, const DcerpcSummary& s, DcerpcContext* out, size_t max);

// The interface name ("srvsvc"...) of a context, or null.
const char* ContextInterfaceName(const DcerpcContext& context);

// Integers in the PDU's byte order.
uint16_t DcerpcU16(const uint8_t* p, bool littleEndian);
uint32_t DcerpcU32(const uint8_t* p, bool littleEndian);

// "request", "bind", "bind_ack"...; null for a type number that does not exist.
const char* DcerpcPtypeName(uint8_t ptype);

// Canonical lower-case 8-4-4-4-12 text of the interface UUID.
std::string FormatInterfaceUuid(const DcerpcSummary& summary);

// The interface's common name ("srvsvc", "samr"...), or null when it is not well known.
const char* InterfaceName(const std::string& uuidText);

}  // namespace smbaudit
