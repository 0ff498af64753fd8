// Summaries of DCE/RPC PDUs as clients send them over named pipes.
#include "tools/smbaudit/dcerpc_summary.h"

#include <gtest/gtest.h>

#include "support/frame_builder.h"

namespace smbaudit {
namespace {

constexpr uint8_t kLittleEndian = 0x10;

Bytes Header(uint8_t ptype, uint32_t callId, uint16_t fragLen, uint8_t drep = kLittleEndian) {
    Bytes b;
    b.u8(5).u8(0).u8(ptype).u8(0x03).u8(drep).u8(0).u8(0).u8(0);
    if (drep & kLittleEndian) {
        b.u16(fragLen).u16(0).u32(callId);
    } else {
        b.be16(fragLen).be16(0).be32(callId);
    }
    return b;
}

// Bind with one presentation context for the interface uuid (its three integer fields in
// the PDU's byte order) and version major.minor, transfer syntax NDR.
Bytes Bind(uint8_t ptype, uint32_t d1, uint16_t d2, uint16_t d3, ByteVec tail, uint16_t major, uint16_t minor,
           bool little) {
    Bytes b = Header(ptype, 2, 72, little ? kLittleEndian : 0);
    auto u16 = [&](uint16_t v) -> Bytes& { return little ? b.u16(v) : b.be16(v); };  // in the PDU's order
    auto u32 = [&](uint32_t v) -> Bytes& { return little ? b.u32(v) : b.be32(v); };
    u16(4280); u16(4280); u32(0);  // fragment sizes, association group
    b.u8(1).fill(3);               // one context item
    u16(0).u8(1).u8(0);            // context id 0, one transfer syntax
    u32(d1); u16(d2); u16(d3).raw(tail);
    u16(major); u16(minor).fill(20);  // interface version, then the transfer syntax
    return b;
}

// Little-endian binds of srvsvc, samr, lsarpc and svcctl are in the committed captures.
TEST(Dcerpc, BindNamesWellKnownInterfaces) {
    struct Case {
        uint32_t d1;
        uint16_t d2, d3;
        ByteVec tail;
        const char* uuid;
        const char* name;
    } cases[] = {
        {0x12345678, 0x1234, 0xabcd, {0xef, 0x00, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab},
         "12345678-1234-abcd-ef00-0123456789ab", "spoolss"},
        {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}, "01020304-0506-0708-090a-0b0c0d0e0f10", nullptr},
    };
    for (const Case& c : cases) {
        for (bool little : {true, false}) {
            for (uint8_t ptype : {11, 14}) {
                Bytes pdu = Bind(ptype, c.d1, c.d2, c.d3, c.tail, 3, 1, little);
                DcerpcSummary s;
                ASSERT_TRUE(ParseDcerpc(pdu.vec().data(), pdu.size(), s));
                EXPECT_EQ(s.ptype, ptype);
                EXPECT_EQ(s.callId, 2u);
                ASSERT_TRUE(s.hasInterface);
                EXPECT_EQ(FormatInterfaceUuid(s), c.uuid) << little;
                const char* name = InterfaceName(FormatInterfaceUuid(s));
                EXPECT_STREQ(name, c.name);
                EXPECT_EQ(s.interfaceVersionMajor, 3);
                EXPECT_EQ(s.interfaceVersionMinor, 1);
            }
        }
    }
}

TEST(Dcerpc, OtherPayloadsAreNotRpc) {
    const ByteVec notRpc[] = {
        ByteVec(15, 0),                               // shorter than a header
        Header(0, 1, 16).vec(),                       // valid: control case below
        [] { auto v = Header(0, 1, 16).vec(); v[0] = 4; return v; }(),   // connectionless version
        [] { auto v = Header(0, 1, 16).vec(); v[1] = 2; return v; }(),   // minor version 2
        [] { auto v = Header(0, 1, 16).vec(); v[2] = 20; return v; }(),  // no such type
        Header(0, 1, 15).vec(),                       // fragment shorter than its header
    };
    DcerpcSummary s;
    for (size_t i = 0; i < std::size(notRpc); ++i) {
        EXPECT_EQ(ParseDcerpc(notRpc[i].data(), notRpc[i].size(), s), i == 1) << i;
    }
}

}  // namespace
}  // namespace smbaudit
