// Negotiate: dialect choice and security blob mode (the server name of a non-extended
// response shows in the plain logon of tests/data/captures/impacket-smb1.pcap).
#include <gtest/gtest.h>

#include "session/session_frames.h"

namespace {

using namespace session_frames;

const std::vector<std::string> kDialects = {"PC NETWORK PROGRAM 1.0", "LANMAN1.0", "NT LM 0.12"};

TEST(Negotiate, DialectIndex) {
    struct Case {
        const char* what; std::vector<std::string> dialects; uint16_t index; uint32_t status; int result; std::string dialect;
    } cases[] = {
        {"compared byte for byte", {"A", "B", "NT LM 0.12\xE9"}, 2, 0, SMB_RET_SESSION_CMD, "NT LM 0.12\xE9"},
        {"0xFFFF is the core dialect", {"SMB 2.002"}, 0xFFFF, 0, SMB_RET_SESSION_CMD, "PC NETWORK PROGRAM 1.0"},
        {"error status still sets it", kDialects, 1, 0xC0000022, SMB_RET_ERROR_STATUS, "LANMAN1.0"},
        {"beyond the list, checked before the status", kDialects, 3, 0xC0000001, SMB_RET_BAD_FORMAT, SMB_MASK},
        {"empty list", {}, 0, 0, SMB_RET_BAD_FORMAT, SMB_MASK},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Conn c;
        EXPECT_EQ(c.Req(NegoReq(k.dialects).frame()), SMB_RET_SESSION_CMD);
        EXPECT_EQ(c.Rsp(Smb(0x72).ntStatus(k.status).params(Bytes().u16(k.index)).frame()), k.result);
        EXPECT_EQ(c.peer.state().m_dialect, k.dialect);
        EXPECT_TRUE(c.peer.saved().empty());
        EXPECT_TRUE(c.sink.events.empty());
    }
}

TEST(Negotiate, ExtendedSecurityChoosesTheBlobMode) {
    struct Case { const char* what; Smb rsp; uint32_t before, after; } cases[] = {
        {"GUID and SPNEGO negTokenInit", NegoRspExtended(2, spnego_init(Bytes())), 0, 1},
        {"a typical Windows blob of 74 bytes", NegoRspExtended(2, Bytes().fill(74, 0x60)), 0, 1},
        {"GUID alone: bare NTLMSSP", NegoRspExtended(2, Bytes()), 1, 0},
        {"GUID cut short leaves the mode", Smb(0x72).params(NegoRspParams(2, 0x80000000)).data(Bytes().fill(15)), 1, 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Conn c;
        c.peer.state().m_secMode = k.before;
        c.Req(NegoReq(kDialects).frame());
        EXPECT_EQ(c.Rsp(k.rsp.frame()), SMB_RET_SESSION_CMD);
        EXPECT_EQ(c.peer.state().m_secMode, k.after);
        EXPECT_EQ(c.peer.state().m_dialect, "NT LM 0.12");
        EXPECT_EQ(c.peer.state().m_serverName, SMB_MASK);
    }
}

}  // namespace
