// Output records built from the library's event records.
#include "tools/smbaudit/event_format.h"

#include <gtest/gtest.h>

#include "support/frame_builder.h"

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

TEST_F(EventFormat, TreeConnectNamesTheShareServerNotASecondServer) {
    CTreeConEvent ev;
    ev.m_status = 0;
    ev.m_pConvers = &conv;
    ev.m_pResTree = &tree;
    ev.m_share = u"IPC$";
    ev.m_server = u"10.0.0.2";
    ev.m_service = "IPC";
    ev.m_treeType = SMB_TREE_IPC;
    EXPECT_EQ(Format(ev),
              "{\"ts\":\"2017-07-14T02:40:00.250000Z\",\"event\":\"tree_connect\",\"client\":\"10.0.0.1:50000\","
              "\"server\":\"[2001:db8::2]:445\",\"status\":\"0x00000000\",\"status_name\":\"STATUS_SUCCESS\","
              "\"uid\":2048,\"tid\":65535,\"user\":\"alice\",\"share\":\"IPC$\",\"share_server\":\"10.0.0.2\","
              "\"service\":\"IPC\",\"tree_type\":\"ipc\"}\n");
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

TEST_F(EventFormat, CreateNamesCodesAndUnknownValues) {
    CCreateEvent ev;
    ev.m_status = 0xC0000034;
    ev.m_pConvers = &conv;
    ev.m_pResTree = &tree;
    ev.m_fileName = u"x";
    ev.m_fileType = SMB_FT_DIRECTORY;
    ev.m_disposition = 3;
    ev.m_fileSize = 12;
    std::string rec = Format(ev);
    EXPECT_NE(rec.find("\"status\":\"0xc0000034\",\"status_name\":\"STATUS_OBJECT_NAME_NOT_FOUND\""), std::string::npos);
    EXPECT_NE(rec.find("\"file_type\":\"directory\",\"disposition\":\"open_if\",\"create_action\":\"unknown\","
                       "\"file_size\":12}"),
              std::string::npos)
        << rec;
    EXPECT_EQ(rec.find("fid"), std::string::npos) << "no file object: no fid";

    ev.m_status = 0x12345678;
    ev.m_disposition = 6;
    ev.m_createAction = 2;
    ev.m_fileType = 99;
    rec = Format(ev);
    EXPECT_EQ(rec.find("status_name"), std::string::npos) << "codes without a well-known name get none";
    EXPECT_NE(rec.find("\"file_type\":\"unknown\",\"disposition\":\"unknown\",\"create_action\":\"created\""),
              std::string::npos)
        << rec;
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

TEST_F(EventFormat, RpcSummarisesTheBind) {
    Bytes bind;
    bind.u8(5).u8(0).u8(11).u8(3).u32(0x10).u16(72).u16(0).u32(1);
    bind.u16(4280).u16(4280).u32(0).u8(1).fill(3).u16(0).u8(1).u8(0);
    bind.u32(0x4b324fc8).u16(0x1670).u16(0x01d3).raw({0x12, 0x78, 0x5a, 0x47, 0xbf, 0x6e, 0xe1, 0x88}).u16(3).u16(0);
    bind.fill(20);
    file.m_fileName = u"\\srvsvc";
    file.m_fileType = SMB_FT_PIPE_MESSAGE;
    origin.fromClient = true;
    FormatRpc(line, origin, file, bind.vec().data(), bind.size(), CTimeStamp32(1500000000, 9));
    EXPECT_EQ(line.str(),
              "{\"ts\":\"2017-07-14T02:40:00.000009Z\",\"event\":\"rpc\",\"client\":\"10.0.0.1:50000\","
              "\"server\":\"[2001:db8::2]:445\",\"uid\":2048,\"tid\":65535,\"fid\":16385,\"user\":\"alice\","
              "\"pipe\":\"\\\\srvsvc\",\"direction\":\"request\",\"data_len\":72,"
              "\"dcerpc\":{\"ptype\":\"bind\",\"call_id\":1,\"interface\":\"4b324fc8-1670-01d3-1278-5a47bf6ee188\","
              "\"interface_name\":\"srvsvc\",\"interface_version\":\"3.0\"}}\n");

    origin.fromClient = false;
    const uint8_t notRpc[] = {1, 2, 3};
    FormatRpc(line, origin, file, notRpc, sizeof notRpc, CTimeStamp32(1500000000, 9));
    EXPECT_NE(line.str().find("\"direction\":\"response\",\"data_len\":3}"), std::string::npos) << line.str();
}

}  // namespace
}  // namespace smbaudit
