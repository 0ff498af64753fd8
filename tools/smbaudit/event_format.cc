#include "tools/smbaudit/event_format.h"

#include <ctime>

#include "tools/smbaudit/dcerpc_summary.h"
#include "tools/smbaudit/status_names.h"

namespace smbaudit {
namespace {

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

// A text the traffic never filled keeps the library's mask "******": its key is left out.
void KnownText(JsonLine& line, std::string_view key, const std::string& value) {
    if (value != SMB_MASK) line.Latin1(key, value);
}
void KnownText(JsonLine& line, std::string_view key, const std::u16string& value) {
    if (value != SMB_MASK16) line.Utf16(key, value);
}

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
    if (refs.convers) KnownText(line, "user", refs.convers->m_accountName);
}

void Share(JsonLine& line, const std::u16string& share, const std::u16string& server) {
    KnownText(line, "share", share);
    if (!server.empty()) line.Utf16("share_server", server);
}

void FileHead(JsonLine& line, const Refs& refs, const std::u16string& name, uint32_t type) {
    User(line, refs);
    if (refs.tree) Share(line, refs.tree->m_share, refs.tree->m_server);
    KnownText(line, "file", name);
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

void FormatEvent(JsonLine& line, const RecordOrigin& origin, const CEventParaBase& ev) {
    Head(line, origin, RecordTime(ev, origin), RecordKindName(int(ev.m_eventType)));
    if (ev.m_status == SMB_STATUS_NONE) {
        line.Null("status");
    } else {
        char code[11];
        std::snprintf(code, sizeof code, "0x%08x", ev.m_status);
        line.Latin1("status", code);
        if (std::string name = StatusName(ev.m_status); !name.empty()) line.Latin1("status_name", name);
    }
    Refs refs = Resolve(ev.m_pConvers, ev.m_pResTree, ev.m_pFileObj);
    Ids(line, refs);

    switch (ev.m_eventType) {
    case SMB_EVT_LOGON: {
        const auto& e = static_cast<const CLogonEvent&>(ev);
        KnownText(line, "user", e.m_userName);
        KnownText(line, "domain", e.m_domain);
        KnownText(line, "workstation", e.m_workstation);
        KnownText(line, "dialect", e.m_dialect);
        KnownText(line, "server_name", e.m_serverName);
        KnownText(line, "server_domain", e.m_serverDomain);
        KnownText(line, "client_os", e.m_clientOS);
        KnownText(line, "server_os", e.m_serverOS);
        KnownText(line, "lan_manager", e.m_lanManager);
        line.Latin1("auth", AuthName(e.m_authType));
        break;
    }
    case SMB_EVT_LOGOFF:
        KnownText(line, "user", static_cast<const CLogOffEvent&>(ev).m_userName);
        break;
    case SMB_EVT_TREE_CONNECT: {
        const auto& e = static_cast<const CTreeConEvent&>(ev);
        User(line, refs);
        Share(line, e.m_share, e.m_server);
        KnownText(line, "service", e.m_service);
        line.Latin1("tree_type", TreeTypeName(e.m_treeType));
        break;
    }
    case SMB_EVT_TREE_DISCONNECT: {
        const auto& e = static_cast<const CTreeDisConEvent&>(ev);
        User(line, refs);
        Share(line, e.m_share, e.m_server);
        KnownText(line, "service", e.m_service);
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
        KnownText(line, "old_name", e.m_oldName);
        KnownText(line, "new_name", e.m_newName);
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
    KnownText(line, "pipe", pipe.m_fileName);
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
