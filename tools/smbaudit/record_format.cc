#include "tools/smbaudit/record_format.h"

#include <iterator>

#include "tools/smbaudit/dcerpc_summary.h"
#include "tools/smbaudit/files/file_json.h"
#include "tools/smbaudit/status_names.h"

namespace smbaudit {
namespace {

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

void Put(JsonLine& line, std::string_view key, const std::u16string& text) {
    if (!text.empty()) line.Utf16(key, text);
}

// The call the RPC stage decoded: interface, operation, status and clear-text fields.
void PutRpcCall(JsonLine& line, const RpcCall& call) {
    Put(line, "interface_name", call.interfaceName);
    Put(line, "operation", call.operation);
    if (call.status) line.Hex32(call.fault ? "fault_status" : "status", *call.status);
    Put(line, "service_name", call.serviceName);
    Put(line, "binary_path", call.binaryPath);
    Put(line, "command", call.command);
    Put(line, "task_path", call.taskPath);
}

void PutDcerpc(JsonLine& line, const AuditRecord& r) {
    DcerpcSummary rpc;
    if (!r.data || !ParseDcerpc(r.data, r.dataAvailable, rpc)) {
        if (!r.rpc) return;
        line.BeginObject("dcerpc");  // the rest of a fragment begun in an earlier payload
        PutRpcCall(line, *r.rpc);
        line.EndObject();
        return;
    }
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
    if (r.rpc) PutRpcCall(line, *r.rpc);
    line.EndObject();
}

void PutNotice(JsonLine& line, const NoticeInfo& n) {
    line.Latin1("notice", n.name);
    line.Latin1("severity", n.severity);
    line.Utf16("msg", n.msg);
    if (!n.counts.empty()) {
        line.BeginObject("counts");
        for (const auto& [key, value] : n.counts) line.Uint(key, value);
        line.EndObject();
    }
    if (!n.samples.empty()) line.Utf16Array("samples", n.samples);
    line.UintArray("cause_ids", n.causes);
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

void FormatRecord(JsonLine& line, const AuditRecord& r) {
    line.Begin();
    line.Timestamp("ts", r.time.m_sec, r.time.m_usec);
    line.Latin1("event", RecordKindName(r.kind));
    line.Latin1("proto", r.proto == Proto::Smb1 ? "smb1" : "smb2");
    if (r.origin) {
        line.Latin1("client", r.origin->client);
        line.Latin1("server", r.origin->server);
    }
    line.Uint("record_id", r.recordId);
    if (r.kind != RecordKind::Rpc && r.kind != RecordKind::Encrypted && r.kind != RecordKind::Notice) {
        if (!r.status) {
            line.Null("status");
        } else {
            line.Hex32("status", *r.status);
            const std::string name = StatusName(*r.status);
            if (!name.empty()) line.Latin1("status_name", name);
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
    if (r.userHintTime) line.Timestamp("user_hint_ts", r.userHintTime->m_sec, r.userHintTime->m_usec);
    Put(line, "binding", r.binding);
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
        FormatContentDigests(line, *r.totals);
    }
    if (r.kind == RecordKind::Rpc) PutDcerpc(line, r);
    if (r.notice) PutNotice(line, *r.notice);
    line.End();
}

}  // namespace smbaudit
