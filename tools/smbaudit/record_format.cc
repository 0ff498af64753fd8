#include "tools/smbaudit/record_format.h"

#include <ctime>
#include <iterator>

#include "tools/smbaudit/dcerpc_summary.h"

namespace smbaudit {
namespace {

struct StatusName {
    uint32_t code;
    const char* name;
};

// The NT status codes that SMB servers answer with most, by the names Windows and
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

void Put(JsonLine& line, std::string_view key, const Text& text) {
    if (!text.known) return;
    if (text.isWide) {
        line.Utf16(key, text.wide);
    } else {
        line.Latin1(key, text.narrow);
    }
}

void Put(JsonLine& line, std::string_view key, const char* text) {
    if (text) line.Latin1(key, text);
}

template <typename T>
void Put(JsonLine& line, std::string_view key, const std::optional<T>& value) {
    if (!value) return;
    if constexpr (std::is_same_v<T, bool>) {
        line.Bool(key, *value);
    } else {
        line.Uint(key, uint64_t(*value));
    }
}

void PutHex(JsonLine& line, std::string_view key, const uint8_t* bytes, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    char text[64];
    for (size_t i = 0; i < n && i < sizeof text / 2; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    line.Latin1(key, std::string_view(text, 2 * n));
}

// 64-bit identifiers do not fit a JSON number safely: "0x" and 16 hex digits.
void PutId64(JsonLine& line, std::string_view key, uint64_t id) {
    char text[18] = {'0', 'x'};
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) text[2 + i] = kDigits[(id >> (60 - 4 * i)) & 15];
    line.Latin1(key, std::string_view(text, sizeof text));
}

void PutDcerpc(JsonLine& line, const uint8_t* data, size_t len) {
    DcerpcSummary rpc;
    if (!data || !ParseDcerpc(data, len, rpc)) return;
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

}  // namespace

const char* RecordKindName(RecordKind kind) {
    static const char* const kNames[kRecordKindCount] = {
        "logon", "logoff", "tree_connect", "tree_disconnect", "create", "close", "read",      "write",
        "delete", "rename", "rpc",         "set_info",        "copy",   "list",  "encrypted", "notice"};
    return unsigned(kind) < unsigned(kRecordKindCount) ? kNames[int(kind)] : "unknown";
}

const char* DispositionName(uint32_t d) {
    static const char* const kNames[] = {"supersede", "open", "create", "open_if", "overwrite", "overwrite_if"};
    return d < std::size(kNames) ? kNames[d] : "unknown";
}

const char* CreateActionName(uint32_t a) {
    static const char* const kNames[] = {"superseded", "opened", "created", "overwritten"};
    return a < std::size(kNames) ? kNames[a] : "unknown";
}

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

void FormatRecord(JsonLine& line, const AuditRecord& r) {
    line.Begin();
    std::string ts;
    AppendTimestamp(ts, r.time);
    line.Latin1("ts", ts);
    line.Latin1("event", RecordKindName(r.kind));
    line.Latin1("proto", r.proto == Proto::Smb1 ? "smb1" : "smb2");
    if (r.origin) {
        line.Latin1("client", r.origin->client);
        line.Latin1("server", r.origin->server);
    }
    if (r.kind != RecordKind::Rpc && r.kind != RecordKind::Encrypted && r.kind != RecordKind::Notice) {
        if (!r.status) {
            line.Null("status");
        } else {
            char code[11];
            std::snprintf(code, sizeof code, "0x%08x", *r.status);
            line.Latin1("status", code);
            if (const char* name = NtStatusName(*r.status)) line.Latin1("status_name", name);
        }
    }
    Put(line, "rtt_us", r.rttMicros);
    Put(line, "uid", r.uid);
    Put(line, "tid", r.tid);
    Put(line, "fid", r.fid);
    if (r.sessionId) PutId64(line, "session_id", *r.sessionId);
    Put(line, "tree_id", r.treeId);
    if (r.fileId) PutHex(line, "file_id", r.fileId->data(), r.fileId->size());

    Put(line, "user", r.user);
    Put(line, "domain", r.domain);
    Put(line, "workstation", r.workstation);
    Put(line, "dialect", r.dialect);
    Put(line, "server_name", r.serverName);
    Put(line, "server_domain", r.serverDomain);
    Put(line, "client_os", r.clientOs);
    Put(line, "server_os", r.serverOs);
    Put(line, "lan_manager", r.lanManager);
    Put(line, "auth", r.auth);
    Put(line, "realm", r.realm);
    Put(line, "service_principal", r.servicePrincipal);
    Put(line, "user_hint", r.userHint);
    if (r.userHintTime) {
        std::string seen;
        AppendTimestamp(seen, *r.userHintTime);
        line.Latin1("user_hint_ts", seen);
    }
    Put(line, "signing", r.signing);
    Put(line, "encrypted", r.encrypted);
    Put(line, "decrypted", r.decrypted);

    Put(line, "share", r.share);
    Put(line, "share_server", r.shareServer);
    Put(line, "service", r.service);
    Put(line, r.proto == Proto::Smb1 ? "tree_type" : "share_type", r.treeType);
    Put(line, "share_flags", r.shareFlags);

    Put(line, r.kind == RecordKind::Rpc ? "pipe" : "file", r.file);
    Put(line, "file_type", r.fileType);
    Put(line, "direction", r.direction);
    Put(line, "kind", r.infoKind);
    Put(line, "source", r.copySource);
    Put(line, "pattern", r.pattern);
    Put(line, "access", r.access);
    Put(line, "disposition", r.disposition);
    Put(line, "create_action", r.createAction);
    Put(line, "create_options", r.createOptions);
    Put(line, "attributes", r.attributes);
    Put(line, "file_size", r.fileSize);
    Put(line, "offset", r.offset);
    Put(line, "count", r.count);
    Put(line, "data_len", r.dataLen);
    Put(line, "old_name", r.oldName);
    Put(line, "new_name", r.newName);
    if (r.totals) {
        line.Uint("bytes_read", r.totals->bytesRead);
        line.Uint("bytes_written", r.totals->bytesWritten);
        line.Uint("reads", r.totals->reads);
        line.Uint("writes", r.totals->writes);
        Put(line, "size", r.totals->size);
        line.Uint("open_us", r.totals->openMicros);
    }
    if (r.kind == RecordKind::Rpc) PutDcerpc(line, r.data, r.dataAvailable);
    line.End();
}

}  // namespace smbaudit
