#include "tools/smbaudit/dcerpc_summary.h"

#include <cstdio>
#include <cstring>

namespace smbaudit {
namespace {

constexpr size_t kHeaderLen = 16;
constexpr size_t kRequestHeaderLen = 24;  // the common header, alloc hint, context id, opnum
constexpr size_t kBindContextsAt = 24;    // bind: max_xmit, max_recv, assoc_group come first
constexpr size_t kContextItemLen = 24;    // context id, transfer count, reserved, abstract syntax
constexpr size_t kSyntaxLen = 20;         // uuid and version

const char* const kPtypeNames[] = {
    "request", "ping",     "response",    "fault",    "working",       "nocall",
    "reject",  "ack",      "cl_cancel",   "fack",     "cancel_ack",    "bind",
    "bind_ack", "bind_nak", "alter_context", "alter_context_resp", "auth3", "shutdown",
    "co_cancel", "orphaned",
};

struct KnownInterface {
    const char* uuid;
    const char* name;
};

// Interfaces that clients reach over named pipes on the IPC$ share, plus the endpoint
// mapper and management interfaces that tooling binds to first.
constexpr KnownInterface kInterfaces[] = {
    {"4b324fc8-1670-01d3-1278-5a47bf6ee188", "srvsvc"},
    {"6bffd098-a112-3610-9833-46c3f87e345a", "wkssvc"},
    {"12345778-1234-abcd-ef00-0123456789ab", "lsarpc"},
    {"12345778-1234-abcd-ef00-0123456789ac", "samr"},
    {"12345678-1234-abcd-ef00-01234567cffb", "netlogon"},
    {"338cd001-2244-31f1-aaaa-900038001003", "winreg"},
    {"367abb81-9844-35f1-ad32-98f038001003", "svcctl"},
    {"1ff70682-0a51-30e8-076d-740be8cee98b", "atsvc"},
    {"86d35949-83c9-4044-b424-db363231fd0c", "taskschd"},
    {"378e52b0-c0a9-11cf-822d-00aa0051e40f", "sasec"},
    {"e1af8308-5d1f-11c9-91a4-08002b14a0fa", "epmapper"},
    {"afa8bd80-7d8a-11c9-bef4-08002b102989", "mgmt"},
    {"e3514235-4b06-11d1-ab04-00c04fc2dcd2", "drsuapi"},
    {"12345678-1234-abcd-ef00-0123456789ab", "spoolss"},
    {"82273fdc-e32a-18c3-3f78-827929dc23ea", "eventlog"},
    {"f6beaff7-1e19-4fbb-9f8f-b89e2018337c", "even6"},
    {"3919286a-b10c-11d0-9ba8-00c04fd92ef5", "dssetup"},
    {"4fc742e0-4a10-11cf-8273-00aa004ae673", "netdfs"},
    {"6bffd098-a112-3610-9833-012892020162", "browser"},
    {"894de0c0-0d55-11d3-a322-00c04fa321a1", "initshutdown"},
    {"d95afe70-a6d5-4259-822e-2c84da1ddb0d", "windowsshutdown"},
    {"8d9f4e40-a03d-11ce-8f69-08003e30051b", "ntsvcs"},
    {"c681d488-d850-11d0-8c52-00c04fd90f7e", "efsrpc"},
    {"df1941c5-fe89-4e79-bf10-463657acf44d", "efsrpc"},
    {"50abc2a4-574d-40b3-9d66-ee4fd5fba076", "dnsserver"},
    {"5ca4a760-ebb1-11cf-8611-00a0245420ed", "winstation"},
    {"45f52c28-7f9f-101a-b52b-08002b2efabe", "winsif"},
    {"3bbed8d9-2c9a-4b21-8936-acb2f995be6c", "frsrpc"},
    {"000001a0-0000-0000-c000-000000000046", "isystemactivator"},
    {"99fcfec4-5260-101b-bbcb-00aa0021347a", "iobjectexporter"},
};

}  // namespace

uint16_t DcerpcU16(const uint8_t* p, bool le) { return le ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[0] << 8 | p[1]); }
uint32_t DcerpcU32(const uint8_t* p, bool le) {
    return le ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
              : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

const char* DcerpcPtypeName(uint8_t ptype) {
    return ptype < sizeof kPtypeNames / sizeof kPtypeNames[0] ? kPtypeNames[ptype] : nullptr;
}

bool ParseDcerpc(const uint8_t* p, size_t len, DcerpcSummary& out) {
    if (len < kHeaderLen) return false;
    if (p[0] != 5 || p[1] > 1 || !DcerpcPtypeName(p[2])) return false;
    bool le = (p[4] & 0x10) != 0;  // data representation: integer byte order
    uint16_t fragLen = DcerpcU16(p + 8, le);
    if (fragLen < kHeaderLen) return false;
    out = DcerpcSummary{};
    out.ptype = p[2];
    out.flags = p[3];
    out.littleEndian = le;
    out.fragLength = fragLen;
    out.authLength = DcerpcU16(p + 10, le);
    out.callId = DcerpcU32(p + 12, le);
    // request, response and fault: alloc hint, then the presentation context id
    bool callPdu = out.ptype == kPtypeRequest || out.ptype == kPtypeResponse || out.ptype == kPtypeFault;
    if (callPdu && len >= kRequestHeaderLen) {
        out.hasContextId = true;
        out.contextId = DcerpcU16(p + 20, le);
        out.stubOffset = kRequestHeaderLen;
    }
    if (out.ptype == kPtypeRequest && len >= kRequestHeaderLen) {
        out.hasOpnum = true;
        out.opnum = DcerpcU16(p + 22, le);
        if (out.flags & kPfcObjectUuid) out.stubOffset += 16;
    }
    if (out.ptype == kPtypeFault && len >= kRequestHeaderLen + 4) {
        out.hasFaultStatus = true;
        out.faultStatus = DcerpcU32(p + kRequestHeaderLen, le);
    }
    // bind / alter_context: max_xmit, max_recv, assoc_group, then the context list whose
    // first item holds context id, transfer syntax count and the abstract syntax.
    if ((out.ptype == kPtypeBind || out.ptype == kPtypeAlterContext) && len >= 52 && p[24] > 0) {
        out.hasInterface = true;
        out.interfaceLittleEndian = le;
        std::memcpy(out.interfaceUuid.data(), p + 32, 16);
        out.interfaceVersionMajor = DcerpcU16(p + 48, le);
        out.interfaceVersionMinor = DcerpcU16(p + 50, le);
    }
    return true;
}

size_t ParseBindContexts(const uint8_t* p, size_t len, const DcerpcSummary& s, DcerpcContext* out, size_t max) {
    if (s.ptype != kPtypeBind && s.ptype != kPtypeAlterContext) return 0;
    if (s.fragLength < len) len = s.fragLength;
    if (len <= kBindContextsAt) return 0;
    size_t items = p[kBindContextsAt], at = kBindContextsAt + 4, stored = 0;
    for (size_t i = 0; i < items && stored < max && at + kContextItemLen <= len; ++i) {
        DcerpcContext& c = out[stored++];
        c.id = DcerpcU16(p + at, s.littleEndian);
        c.littleEndian = s.littleEndian;
        std::memcpy(c.interfaceUuid.data(), p + at + 4, 16);
        at += kContextItemLen + size_t(p[at + 2]) * kSyntaxLen;  // past the transfer syntaxes
    }
    return stored;
}

const char* ContextInterfaceName(const DcerpcContext& c) {
    DcerpcSummary s;
    s.interfaceUuid = c.interfaceUuid;
    s.interfaceLittleEndian = c.littleEndian;
    return InterfaceName(FormatInterfaceUuid(s));
}

std::string FormatInterfaceUuid(const DcerpcSummary& s) {
    const uint8_t* u = s.interfaceUuid.data();
    bool le = s.interfaceLittleEndian;
    char text[37];
    // The first three fields are integers in the PDU's byte order, the last eight bytes
    // are a byte array.
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", DcerpcU32(u, le), DcerpcU16(u + 4, le),
                  DcerpcU16(u + 6, le), u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    return text;
}

const char* InterfaceName(const std::string& uuid) {
    for (const auto& known : kInterfaces) {
        if (uuid == known.uuid) return known.name;
    }
    return nullptr;
}

}  // namespace smbaudit
