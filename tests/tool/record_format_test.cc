// Output records built from the SMB1 library's event records: what real traffic rarely shows
// (status names of DOS codes, values and texts never seen left out, a request without a
// response). Key order and the content of ordinary records are pinned by the committed
// captures' expected records.
#include "tools/smbaudit/record_format.h"

#include <gtest/gtest.h>

#include "tools/smbaudit/smb1_records.h"

namespace smbaudit {
namespace {

std::string Format(const CEventParaBase& ev) {
    RecordOrigin origin;
    AuditRecord record;
    record.origin = &origin;
    Smb1EventRecord(ev, record);
    JsonLine line;
    FormatRecord(line, record);
    return line.str();
}

TEST(RecordFormat, UnknownValuesLeftOut) {
    _smbConvers conv;
    _smbResrcTree tree;
    tree.m_pConvers = &conv;
    CLogonEvent logon;
    logon.m_pConvers = &conv;
    logon.m_password = "secret";
    logon.m_clientOS = "";  // empty is known; the texts left at "******" were never seen
    CWriteEvent write;      // no response
    CCreateEvent create;
    create.m_pResTree = &tree;
    create.m_fileType = 99;
    create.m_disposition = 6;
    create.m_createAction = 2;
    const struct {
        const CEventParaBase& ev;
        const char* text;
        bool present;
    } rows[] = {
        {logon, "secret", false},
        {logon, "\"client_os\":\"\"", true},
        {logon, "domain", false},
        {write, "\"status\":null", true},
        {create, "\"file_type\":\"unknown\",\"disposition\":\"unknown\",\"create_action\":\"created\"", true},
        {create, "\"file\"", false},
        {create, "fid", false},
    };
    for (const auto& row : rows) {
        const std::string rec = Format(row.ev);
        EXPECT_EQ(rec.find(row.text) != std::string::npos, row.present) << row.text << " in " << rec;
    }
}

TEST(RecordFormat, StatusNamesOfNtAndDosCodes) {
    const struct {
        uint32_t status;
        const char* name;
    } statuses[] = {
        {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"}, {0x01000002, "ERRDOS/ERRbadfile"},
        {0x02000005, "ERRSRV/ERRinvnid"},             {0x03000021, "ERRHRD/ERRlock"},
        {0x02000002, "ERRSRV/ERRbadpw"},              {0x12345678, nullptr},
        {0x01000099, nullptr},                        {0x01010002, nullptr},  // reserved byte set
        {0xFF000001, nullptr},
    };
    for (const auto& k : statuses) {
        CCreateEvent ev;
        ev.m_status = k.status;
        const std::string rec = Format(ev);
        const std::string want = k.name ? std::string("\"status_name\":\"") + k.name + "\"" : "\"status_name\"";
        EXPECT_EQ(rec.find(want) != std::string::npos, k.name != nullptr) << rec;
    }
}

}  // namespace
}  // namespace smbaudit
