// Output records built from the SMB1 library's event records: which keys appear, in which
// order, and what unknown values leave out. Real traffic's records are checked against the
// committed captures' expected records.
#include "tools/smbaudit/record_format.h"

#include <gtest/gtest.h>

#include "tools/smbaudit/smb1_records.h"

namespace smbaudit {
namespace {

class RecordFormat : public ::testing::Test {
protected:
    RecordFormat() {
        origin.client = "10.0.0.1:50000";
        origin.server = "[2001:db8::2]:445";
        origin.time = CTimeStamp32(1500000000, 250000);
        conv.m_uid = 0x800;
        conv.m_accountName = "alice";
        tree.m_tid = 0xFFFF;
        tree.m_share = u"DATA";
        tree.m_server = u"SRV";
        tree.m_pConvers = &conv;
        file.m_fid = 0x4001;
        file.m_fileName = u"\\dir\\r\u00e9sum\u00e9.txt";
        file.m_pResTree = &tree;
    }

    std::string Format(const CEventParaBase& ev) {
        AuditRecord record;
        record.origin = &origin;
        Smb1EventRecord(ev, record);
        FormatRecord(line, record);
        return line.str();
    }

    RecordOrigin origin;
    _smbConvers conv;
    _smbResrcTree tree;
    _smbFileObj file;
    JsonLine line;
};

TEST_F(RecordFormat, LogonLeavesOutWhatTheTrafficNeverFilled) {
    CLogonEvent ev;
    ev.m_reqTime = CTimeStamp32(1500000000, 1);
    ev.m_rspTime = CTimeStamp32(1500000001, 2);
    ev.m_status = 0xC000006D;
    ev.m_pConvers = &conv;
    ev.m_userName = "alice";
    ev.m_domain = "CORP";
    ev.m_workstation = "WS\x01";
    ev.m_password = "secret";
    ev.m_dialect = "NT LM 0.12";
    ev.m_clientOS = "";  // empty is known; the texts left at "******" were never seen
    ev.m_authType = SMB_AUTH_NTLMSSP;
    EXPECT_EQ(Format(ev),
              "{\"ts\":\"2017-07-14T02:40:01.000002Z\",\"event\":\"logon\",\"proto\":\"smb1\","
              "\"client\":\"10.0.0.1:50000\",\"server\":\"[2001:db8::2]:445\",\"record_id\":0,\"status\":\"0xc000006d\","
              "\"status_name\":\"STATUS_LOGON_FAILURE\",\"rtt_us\":1000001,\"uid\":2048,\"user\":\"alice\","
              "\"domain\":\"CORP\",\"workstation\":\"WS\\u0001\",\"dialect\":\"NT LM 0.12\",\"client_os\":\"\","
              "\"auth\":\"ntlmssp\"}\n");
}

TEST_F(RecordFormat, WriteWithoutResponseHasNullStatusAndRequestTime) {
    CWriteEvent ev;
    ev.m_reqTime = CTimeStamp32(1500000000, 7);
    ev.m_pFileObj = &file;  // tree and conversation are found through the file
    ev.m_fileName = file.m_fileName;
    ev.m_fileType = SMB_FT_FILE;
    ev.m_offset = 4096;
    ev.m_dataLen = 68;
    EXPECT_EQ(Format(ev),
              "{\"ts\":\"2017-07-14T02:40:00.000007Z\",\"event\":\"write\",\"proto\":\"smb1\","
              "\"client\":\"10.0.0.1:50000\",\"server\":\"[2001:db8::2]:445\",\"record_id\":0,\"status\":null,\"uid\":2048,"
              "\"tid\":65535,\"fid\":16385,\"user\":\"alice\",\"share\":\"DATA\",\"share_server\":\"SRV\","
              "\"file\":\"\\\\dir\\\\r\xc3\xa9sum\xc3\xa9.txt\",\"file_type\":\"file\",\"offset\":4096,\"data_len\":68}\n");
}

TEST_F(RecordFormat, StatusNamesOfNtAndDosCodesAndUnknownTextsLeftOut) {
    CCreateEvent ev;
    ev.m_pResTree = &tree;
    ev.m_fileType = 99;
    ev.m_disposition = 6;
    ev.m_createAction = 2;
    std::string rec = Format(ev);
    EXPECT_NE(rec.find("\"file_type\":\"unknown\",\"disposition\":\"unknown\",\"create_action\":\"created\""),
              std::string::npos)
        << rec;
    EXPECT_EQ(rec.find("\"file\""), std::string::npos) << "a name never seen is left out";
    EXPECT_EQ(rec.find("fid"), std::string::npos) << "no file object: no fid";
    const struct {
        uint32_t status; const char* name;
    } statuses[] = {
        {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"}, {0x01000002, "ERRDOS/ERRbadfile"},
        {0x02000005, "ERRSRV/ERRinvnid"},             {0x03000021, "ERRHRD/ERRlock"},
        {0x02000002, "ERRSRV/ERRbadpw"},              {0x12345678, nullptr},
        {0x01000099, nullptr},                        {0x01010002, nullptr},  // reserved byte set
        {0xFF000001, nullptr},
    };
    for (const auto& k : statuses) {
        ev.m_status = k.status;
        rec = Format(ev);
        const std::string want = k.name ? std::string("\"status_name\":\"") + k.name + "\"" : "\"status_name\"";
        EXPECT_EQ(rec.find(want) != std::string::npos, k.name != nullptr) << rec;
    }
}

TEST_F(RecordFormat, Smb2IdentifiersAreHexStrings) {
    AuditRecord record;
    record.proto = Proto::Smb2;
    record.kind = RecordKind::Close;
    record.origin = &origin;
    record.time = origin.time;
    record.status = 0;
    record.sessionId = 0x0000100000000005ULL;
    record.treeId = 7;
    record.fileId = FileId128{0x01, 0x23, 0, 0, 0, 0, 0, 0, 0xff, 0, 0, 0, 0, 0, 0, 0xab};
    FormatRecord(line, record);
    EXPECT_NE(line.str().find("\"proto\":\"smb2\""), std::string::npos) << line.str();
    EXPECT_NE(line.str().find("\"session_id\":\"0x0000100000000005\",\"tree_id\":7,"
                              "\"file_id\":\"0123000000000000ff000000000000ab\""),
              std::string::npos)
        << line.str();
}

}  // namespace
}  // namespace smbaudit
