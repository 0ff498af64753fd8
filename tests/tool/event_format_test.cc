// Output records built from the library's event records.
#include "tools/smbaudit/event_format.h"

#include <gtest/gtest.h>

namespace smbaudit {
namespace {

class EventFormat : public ::testing::Test {
protected:
    EventFormat() {
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
        FormatEvent(line, origin, ev);
        return line.str();
    }

    RecordOrigin origin;
    _smbConvers conv;
    _smbResrcTree tree;
    _smbFileObj file;
    JsonLine line;
};

TEST_F(EventFormat, LogonCarriesEveryTextAndTheStatusName) {
    CLogonEvent ev;
    ev.m_reqTime = CTimeStamp32(1500000000, 1);
    ev.m_rspTime = CTimeStamp32(1500000001, 2);
    ev.m_status = 0xC000006D;
    ev.m_pConvers = &conv;
    ev.m_userName = "alice";
    ev.m_domain = "CORP";
    ev.m_workstation = "WS\x01";
    ev.m_password = "";
    ev.m_dialect = "NT LM 0.12";
    ev.m_authType = SMB_AUTH_NTLMSSP;
    EXPECT_EQ(Format(ev),
              "{\"ts\":\"2017-07-14T02:40:01.000002Z\",\"event\":\"logon\",\"client\":\"10.0.0.1:50000\","
              "\"server\":\"[2001:db8::2]:445\",\"status\":\"0xc000006d\",\"status_name\":\"STATUS_LOGON_FAILURE\","
              "\"uid\":2048,\"user\":\"alice\",\"domain\":\"CORP\",\"workstation\":\"WS\\u0001\",\"password\":\"\","
              "\"dialect\":\"NT LM 0.12\",\"server_name\":\"******\",\"server_domain\":\"******\","
              "\"client_os\":\"******\",\"server_os\":\"******\",\"lan_manager\":\"******\",\"auth\":\"ntlmssp\"}\n");
}

TEST_F(EventFormat, WriteWithoutResponseHasNullStatusAndRequestTime) {
    CWriteEvent ev;
    ev.m_reqTime = CTimeStamp32(1500000000, 7);
    ev.m_pFileObj = &file;  // tree and conversation are found through the file
    ev.m_fileName = file.m_fileName;
    ev.m_fileType = SMB_FT_FILE;
    ev.m_offset = 4096;
    ev.m_dataLen = 68;
    EXPECT_EQ(Format(ev),
              "{\"ts\":\"2017-07-14T02:40:00.000007Z\",\"event\":\"write\",\"client\":\"10.0.0.1:50000\","
              "\"server\":\"[2001:db8::2]:445\",\"status\":null,\"uid\":2048,\"tid\":65535,\"fid\":16385,"
              "\"user\":\"alice\",\"share\":\"DATA\",\"share_server\":\"SRV\","
              "\"file\":\"\\\\dir\\\\r\xc3\xa9sum\xc3\xa9.txt\",\"file_type\":\"file\",\"offset\":4096,\"data_len\":68}\n");
}

TEST_F(EventFormat, CreateNamesWellKnownCodesOnly) {
    CCreateEvent ev;
    ev.m_status = 0xC0000034;
    ev.m_pResTree = &tree;
    ev.m_fileType = 99;
    ev.m_disposition = 6;
    ev.m_createAction = 2;
    std::string rec = Format(ev);
    EXPECT_NE(rec.find("\"status_name\":\"STATUS_OBJECT_NAME_NOT_FOUND\""), std::string::npos) << rec;
    EXPECT_NE(rec.find("\"file_type\":\"unknown\",\"disposition\":\"unknown\",\"create_action\":\"created\""),
              std::string::npos)
        << rec;
    EXPECT_EQ(rec.find("fid"), std::string::npos) << "no file object: no fid";
    ev.m_status = 0x12345678;
    EXPECT_EQ(Format(ev).find("status_name"), std::string::npos) << "codes without a well-known name get none";
}

TEST_F(EventFormat, RecordsWithoutSessionRecordsOmitTheirKeys) {
    CRenameEvent ev;
    ev.m_status = 0;
    ev.m_oldName = u"a";
    ev.m_newName = u"b";
    EXPECT_EQ(Format(ev),
              "{\"ts\":\"2017-07-14T02:40:00.250000Z\",\"event\":\"rename\",\"client\":\"10.0.0.1:50000\","
              "\"server\":\"[2001:db8::2]:445\",\"status\":\"0x00000000\",\"status_name\":\"STATUS_SUCCESS\","
              "\"old_name\":\"a\",\"new_name\":\"b\"}\n");
}

TEST_F(EventFormat, PipeDataThatIsNotRpcHasNoSummary) {
    // Bind summaries of real clients are in the committed captures' expected records.
    file.m_fileName = u"\\srvsvc";
    file.m_fileType = SMB_FT_PIPE_MESSAGE;
    const uint8_t notRpc[] = {1, 2, 3};
    FormatRpc(line, origin, file, notRpc, sizeof notRpc, CTimeStamp32(1500000000, 9));
    EXPECT_EQ(line.str(),
              "{\"ts\":\"2017-07-14T02:40:00.000009Z\",\"event\":\"rpc\",\"client\":\"10.0.0.1:50000\","
              "\"server\":\"[2001:db8::2]:445\",\"uid\":2048,\"tid\":65535,\"fid\":16385,\"user\":\"alice\","
              "\"pipe\":\"\\\\srvsvc\",\"direction\":\"request\",\"data_len\":3}\n");
}

}  // namespace
}  // namespace smbaudit
