#include "tools/smbaudit/event_format.h"

#include <ctime>

#include "tools/smbaudit/dcerpc_summary.h"

namespace smbaudit {
namespace {

struct StatusName {
    uint32_t code;
    const char* name;
};

// The NT status codes that SMB1 servers answer with most, by the names Windows and
// Wireshark give them.
constexpr StatusName kStatusNames[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000103, "STATUS_PENDING"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0x80000006, "STATUS_NO_MORE_FILES"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000003, "STATUS_INVALID_INFO_CLASS"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC000000F, "STATUS_NO_SUCH_FILE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000011, "STATUS_END_OF_FILE"},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000033, "STATUS_OBJECT_NAME_INVALID"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC0000039, "STATUS_OBJECT_PATH_INVALID"},
    {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {0xC000003B, "STATUS_OBJECT_PATH_SYNTAX_BAD"},
    {0xC0000043, "STATUS_SHARING_VIOLATION"},
    {0xC0000054, "STATUS_FILE_LOCK_CONFLICT"},
    {0xC0000055, "STATUS_LOCK_NOT_GRANTED"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC0000061, "STATUS_PRIVILEGE_NOT_HELD"},
    {0xC000006A, "STATUS_WRONG_PASSWORD"},
    {0xC000006D, "STATUS_LOGON_FAILURE"},
    {0xC000006E, "STATUS_ACCOUNT_RESTRICTION"},
    {0xC000006F, "STATUS_INVALID_LOGON_HOURS"},
    {0xC0000070, "STATUS_INVALID_WORKSTATION"},
    {0xC0000071, "STATUS_PASSWORD_EXPIRED"},
    {0xC0000072, "STATUS_ACCOUNT_DISABLED"},
    {0xC000007F, "STATUS_DISK_FULL"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC00000B0, "STATUS_PIPE_DISCONNECTED"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BA, "STATUS_FILE_IS_A_DIRECTORY"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC00000BE, "STATUS_BAD_NETWORK_PATH"},
    {0xC00000C9, "STATUS_NETWORK_NAME_DELETED"},
    {0xC00000CA, "STATUS_NETWORK_ACCESS_DENIED"},
    {0xC00000CC, "STATUS_BAD_NETWORK_NAME"},
    {0xC00000D0, "STATUS_REQUEST_NOT_ACCEPTED"},
    {0xC0000101, "STATUS_DIRECTORY_NOT_EMPTY"},
    {0xC0000103, "STATUS_NOT_A_DIRECTORY"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000121, "STATUS_CANNOT_DELETE"},
    {0xC0000128, "STATUS_FILE_CLOSED"},
    {0xC000014B, "STATUS_PIPE_BROKEN"},
    {0xC0000193, "STATUS_ACCOUNT_EXPIRED"},
    {0xC0000203, "STATUS_USER_SESSION_DELETED"},
    {0xC0000224, "STATUS_PASSWORD_MUST_CHANGE"},
    {0xC0000225, "STATUS_NOT_FOUND"},
    {0xC0000234, "STATUS_ACCOUNT_LOCKED_OUT"},
    {0xC0000257, "STATUS_PATH_NOT_COVERED"},
    {0xC00002F9, "STATUS_PKINIT_NAME_MISMATCH"},
};

const char* Pick(const char* const* names, size_t count, uint32_t value) {
    return value < count ? names[value] : "unknown";
}

const char* FileTypeName(uint32_t type) {
    switch (type) {
    case SMB_FT_FILE: return "file";
    case SMB_FT_DIRECTORY: return "directory";
    case SMB_FT_PIPE_BYTE: return "pipe_byte";
    case SMB_FT_PIPE_MESSAGE: return "pipe_message";
    case SMB_FT_PRINTER: return "printer";
    default: return "unknown";
    }
}

const char* TreeTypeName(uint32_t type) {
    static const char* const kNames[] = {"disk", "ipc", "printer", "comm", "unknown"};
    return Pick(kNames, 5, type);
}

const char* DispositionName(uint32_t d) {
    static const char* const kNames[] = {"supersede", "open", "create", "open_if", "overwrite", "overwrite_if"};
    return Pick(kNames, 6, d);
}

const char* CreateActionName(uint32_t a) {
    static const char* const kNames[] = {"superseded", "opened", "created", "overwritten"};
    return Pick(kNames, 4, a);
}

const char* AuthName(uint32_t auth) {
    switch (auth) {
    case SMB_AUTH_PLAIN: return "plain";
    case SMB_AUTH_ANONYMOUS: return "anonymous";
    case SMB_AUTH_NTLMSSP: return "ntlmssp";
    default: return "unknown";
    }
}

uint64_t Id(int32_t id) { return uint64_t(uint32_t(id)); }

// The session records an event refers to: its own pointers, completed through the links
// from file to tree to conversation.
struct Refs {
    const _smbConvers* convers;
    const _smbResrcTree* tree;
    const _smbFileObj* file;
};

Refs Resolve(const _smbConvers* convers, const _smbResrcTree* tree, const _smbFileObj* file) {
    if (!tree && file) tree = file->m_pResTree;
    if (!convers && tree) convers = tree->m_pConvers;
    return {convers, tree, file};
}

void Head(JsonLine& line, const RecordOrigin& origin, const CTimeStamp32& time, const char* kind) {
    line.Begin();
    std::string ts;
    AppendTimestamp(ts, time);
    line.Latin1("ts", ts);
    line.Latin1("event", kind);
    line.Latin1("client", origin.client);
    line.Latin1("server", origin.server);
}

void Ids(JsonLine& line, const Refs& refs) {
    if (refs.convers) line.Uint("uid", Id(refs.convers->m_uid));
    if (refs.tree) line.Uint("tid", Id(refs.tree->m_tid));
    if (refs.file) line.Uint("fid", Id(refs.file->m_fid));
}

void User(JsonLine& line, const Refs& refs) {
    if (refs.convers) line.Latin1("user", refs.convers->m_accountName);
}

void Share(JsonLine& line, const std::u16string& share, const std::u16string& server) {
    line.Utf16("share", share);
    if (!server.empty()) line.Utf16("share_server", server);
}

void FileHead(JsonLine& line, const Refs& refs, const std::u16string& name, uint32_t type) {
    User(line, refs);
    if (refs.tree) Share(line, refs.tree->m_share, refs.tree->m_server);
    line.Utf16("file", name);
    line.Latin1("file_type", FileTypeName(type));
}

// The message that completed the record: the response when one was seen, else the request.
CTimeStamp32 RecordTime(const CEventParaBase& ev, const RecordOrigin& origin) {
    if (ev.m_status != SMB_STATUS_NONE && ev.m_rspTime.Micros() != 0) return ev.m_rspTime;
    if (ev.m_reqTime.Micros() != 0) return ev.m_reqTime;
    return origin.time;
}

}  // namespace

void AppendTimestamp(std::string& out, const CTimeStamp32& t) {
    std::time_t secs = std::time_t(t.m_sec);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06uZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, unsigned(t.m_usec % 1000000u));
    out += text;
}

const char* NtStatusName(uint32_t status) {
    for (const auto& known : kStatusNames) {
        if (known.code == status) return known.name;
    }
    return nullptr;
}

void FormatEvent(JsonLine& line, const RecordOrigin& origin, const CEventParaBase& ev) {
    Head(line, origin, RecordTime(ev, origin), RecordKindName(int(ev.m_eventType)));
    if (ev.m_status == SMB_STATUS_NONE) {
        line.Null("status");
    } else {
        char code[11];
        std::snprintf(code, sizeof code, "0x%08x", ev.m_status);
        line.Latin1("status", code);
        if (const char* name = NtStatusName(ev.m_status)) line.Latin1("status_name", name);
    }
    Refs refs = Resolve(ev.m_pConvers, ev.m_pResTree, ev.m_pFileObj);
    Ids(line, refs);

    switch (ev.m_eventType) {
    case SMB_EVT_LOGON: {
        const auto& e = static_cast<const CLogonEvent&>(ev);
        line.Latin1("user", e.m_userName);
        line.Latin1("domain", e.m_domain);
        line.Latin1("workstation", e.m_workstation);
        line.Latin1("password", e.m_password);
        line.Latin1("dialect", e.m_dialect);
        line.Latin1("server_name", e.m_serverName);
        line.Latin1("server_domain", e.m_serverDomain);
        line.Latin1("client_os", e.m_clientOS);
        line.Latin1("server_os", e.m_serverOS);
        line.Latin1("lan_manager", e.m_lanManager);
        line.Latin1("auth", AuthName(e.m_authType));
        break;
    }
    case SMB_EVT_LOGOFF:
        line.Latin1("user", static_cast<const CLogOffEvent&>(ev).m_userName);
        break;
    case SMB_EVT_TREE_CONNECT: {
        const auto& e = static_cast<const CTreeConEvent&>(ev);
        User(line, refs);
        Share(line, e.m_share, e.m_server);
        line.Latin1("service", e.m_service);
        line.Latin1("tree_type", TreeTypeName(e.m_treeType));
        break;
    }
    case SMB_EVT_TREE_DISCONNECT: {
        const auto& e = static_cast<const CTreeDisConEvent&>(ev);
        User(line, refs);
        Share(line, e.m_share, e.m_server);
        line.Latin1("service", e.m_service);
        line.Latin1("tree_type", TreeTypeName(e.m_treeType));
        break;
    }
    case SMB_EVT_CREATE: {
        const auto& e = static_cast<const CCreateEvent&>(ev);
        FileHead(line, refs, e.m_fileName, e.m_fileType);
        line.Latin1("disposition", DispositionName(e.m_disposition));
        line.Latin1("create_action", CreateActionName(e.m_createAction));
        line.Uint("file_size", e.m_fileSize);
        break;
    }
    case SMB_EVT_CLOSE: {
        const auto& e = static_cast<const CCloseEvent&>(ev);
        FileHead(line, refs, e.m_fileName, e.m_fileType);
        break;
    }
    case SMB_EVT_READ: {
        const auto& e = static_cast<const CReadEvent&>(ev);
        FileHead(line, refs, e.m_fileName, e.m_fileType);
        line.Uint("offset", e.m_offset);
        line.Uint("count", e.m_count);
        line.Uint("data_len", e.m_dataLen);
        break;
    }
    case SMB_EVT_WRITE: {
        const auto& e = static_cast<const CWriteEvent&>(ev);
        FileHead(line, refs, e.m_fileName, e.m_fileType);
        line.Uint("offset", e.m_offset);
        line.Uint("data_len", e.m_dataLen);
        break;
    }
    case SMB_EVT_DELETE: {
        const auto& e = static_cast<const CDeleteEvent&>(ev);
        FileHead(line, refs, e.m_fileName, e.m_fileType);
        break;
    }
    case SMB_EVT_RENAME: {
        const auto& e = static_cast<const CRenameEvent&>(ev);
        User(line, refs);
        if (refs.tree) Share(line, refs.tree->m_share, refs.tree->m_server);
        line.Utf16("old_name", e.m_oldName);
        line.Utf16("new_name", e.m_newName);
        break;
    }
    }
    line.End();
}

void FormatRpc(JsonLine& line, const RecordOrigin& origin, const _smbFileObj& pipe, const uint8_t* data, size_t len,
               const CTimeStamp32& time) {
    Head(line, origin, time, RecordKindName(kRpcRecordKind));
    Refs refs = Resolve(nullptr, nullptr, &pipe);
    Ids(line, refs);
    User(line, refs);
    line.Utf16("pipe", pipe.m_fileName);
    line.Latin1("direction", origin.fromClient ? "request" : "response");
    line.Uint("data_len", len);
    DcerpcSummary rpc;
    if (data && ParseDcerpc(data, len, rpc)) {
        line.BeginObject("dcerpc");
        line.Latin1("ptype", DcerpcPtypeName(rpc.ptype));
        line.Uint("call_id", rpc.callId);
        if (rpc.hasOpnum) line.Uint("opnum", rpc.opnum);
        if (rpc.hasInterface) {
            std::string uuid = FormatInterfaceUuid(rpc);
            line.Latin1("interface", uuid);
            if (const char* name = InterfaceName(uuid)) line.Latin1("interface_name", name);
            line.Latin1("interface_version",
                        std::to_string(rpc.interfaceVersionMajor) + "." + std::to_string(rpc.interfaceVersionMinor));
        }
        line.EndObject();
    }
    line.End();
}

void JsonEventSink::HandleEvent(CSMBContext*, CEventParaBase* event) {
    if (!event || !m_origin) return;
    FormatEvent(m_line, *m_origin, *event);
    if (event->m_eventType < kRpcRecordKind) ++m_stats.records[event->m_eventType];
    m_writer.Write(m_line.str());
}

void JsonEventSink::HandleRPC(_smbFileObj* file, const char* data, size_t len, CTimeStamp32& time) {
    if (!file || !m_origin) return;
    FormatRpc(m_line, *m_origin, *file, reinterpret_cast<const uint8_t*>(data), len, time);
    ++m_stats.records[kRpcRecordKind];
    m_writer.Write(m_line.str());
}

}  // namespace smbaudit
