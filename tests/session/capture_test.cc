// Real logons recorded by others (suricata-verify corpus; see tests/data/session/README.md),
// fed segment by segment as a capturing host would.
#include <gtest/gtest.h>

#include "support/harness.h"
#include "support/segments.h"

namespace {

const RecordedEvent* FirstOf(const Conn& c, SMBEventType type) {
    for (const RecordedEvent& e : c.sink.events)
        if (e.type == type) return &e;
    return nullptr;
}

TEST(CapturedLogon, SpnegoLogonOfAdministrateur) {
    Conn c;
    std::vector<Segment> segs = LoadSegments("session/named-pipe-logon.segs");
    ASSERT_EQ(segs.size(), 13u);
    ReplaySegments(c, segs);
    EXPECT_EQ(c.peer.state().m_secMode, 1u);
    EXPECT_EQ(c.peer.state().m_dialect, "NT LM 0.12");

    ASSERT_EQ(c.sink.events.size(), 3u);  // logon, tree connect, tree disconnect
    const RecordedEvent& logon = c.sink.events[0];
    EXPECT_EQ(logon.type, SMB_EVT_LOGON);
    EXPECT_EQ(logon.s("user"), "Administrateur");
    EXPECT_EQ(logon.s("domain"), "WORKGROUP");
    EXPECT_EQ(logon.s("workstation"), "HOST");
    EXPECT_EQ(logon.s("server_name"), "WIN-MV8B5VI0FAL");
    EXPECT_EQ(logon.s("server_domain"), "WIN-MV8B5VI0FAL");
    EXPECT_EQ(logon.s("client_os"), "Unix");
    EXPECT_EQ(logon.s("server_os"), "Windows Server 2019 Standard 17763");
    EXPECT_EQ(logon.s("lan_manager"), "Windows Server 2019 Standard 6.3");
    EXPECT_EQ(logon.s("dialect"), "NT LM 0.12");
    EXPECT_EQ(logon.s("password"), SMB_MASK);
    EXPECT_EQ(logon.n("auth"), SMB_AUTH_NTLMSSP);
    EXPECT_EQ(logon.status, 0u);
    EXPECT_EQ(logon.reqTime.m_sec, 3u);  // the first Session Setup request
    EXPECT_EQ(logon.rspTime.m_sec, 6u);

    const RecordedEvent& tcon = c.sink.events[1];
    EXPECT_EQ(tcon.type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(tcon.s("server"), "\\\\127.0.0.1");
    EXPECT_EQ(tcon.s("share"), "\\IPC$");
    EXPECT_EQ(tcon.s("service"), "IPC");
    EXPECT_EQ(tcon.n("tree_type"), SMB_TREE_IPC);
    EXPECT_EQ(tcon.s("password"), "");  // the single zero byte
    EXPECT_EQ(tcon.conv, logon.conv);

    const RecordedEvent& tdis = c.sink.events[2];
    EXPECT_EQ(tdis.type, SMB_EVT_TREE_DISCONNECT);
    EXPECT_EQ(tdis.s("share"), "\\IPC$");
    EXPECT_EQ(tdis.status, 0u);
    EXPECT_TRUE(c.peer.trees().empty());
    EXPECT_EQ(c.peer.convers().size(), 1u);
    EXPECT_TRUE(c.peer.saved().empty());  // the Echo left nothing behind
}

TEST(CapturedLogon, NullDomainLogonOfUserA) {
    Conn c;
    ReplaySegments(c, LoadSegments("session/padding-logon.segs"));
    const RecordedEvent* logon = FirstOf(c, SMB_EVT_LOGON);
    ASSERT_NE(logon, nullptr);
    EXPECT_EQ(logon->s("user"), "a");
    // The client sent empty DomainName and Workstation: an anonymous AUTHENTICATE. The
    // server's final SPNEGO token reaches the NTLMSSP reader afterwards and marks the logon
    // NTLMSSP again; the empty password stays.
    EXPECT_EQ(logon->s("domain"), "");
    EXPECT_EQ(logon->s("workstation"), "");
    EXPECT_EQ(logon->s("password"), "");
    EXPECT_EQ(logon->n("auth"), SMB_AUTH_NTLMSSP);
    EXPECT_EQ(logon->s("server_name"), "DESKTOP-9K5KDLS");
    EXPECT_EQ(logon->s("server_domain"), "DESKTOP-9K5KDLS");
    EXPECT_EQ(logon->s("server_os"), "Windows 10 Pro 19045");
    EXPECT_EQ(logon->s("dialect"), "NT LM 0.12");
    EXPECT_EQ(logon->status, 0u);

    const RecordedEvent* tcon = FirstOf(c, SMB_EVT_TREE_CONNECT);
    ASSERT_NE(tcon, nullptr);
    EXPECT_EQ(tcon->s("server"), "\\\\127.0.0.1");
    EXPECT_EQ(tcon->s("share"), "\\VIDEOS");
    EXPECT_EQ(tcon->n("tree_type"), SMB_TREE_DISK);
    EXPECT_EQ(tcon->conv, logon->conv);
}

}  // namespace
