#include "tools/smbaudit/smb2_records.h"

#include <string_view>

namespace smbaudit {
namespace {

using smb2::EventKind;

constexpr uint32_t kShareFlagEncryptData = 0x8000;  // SMB2_SHAREFLAG_ENCRYPT_DATA
constexpr uint32_t kFileDirectoryFile = 0x1;        // create option FILE_DIRECTORY_FILE

const char* DialectName(uint16_t dialect) {
    switch (dialect) {
    case 0x0202: return "2.0.2";
    case 0x0210: return "2.1";
    case 0x02FF: return "2.???";
    case 0x0300: return "3.0";
    case 0x0302: return "3.0.2";
    case 0x0311: return "3.1.1";
    default: return nullptr;
    }
}

const char* AuthName(const smb2::Session& s) {
    if (s.anonymous) return "anonymous";
    if (s.guest) return "guest";
    switch (s.identity.auth) {
    case smb2::AuthKind::Ntlmssp: return "ntlmssp";
    case smb2::AuthKind::Kerberos: return "kerberos";
    case smb2::AuthKind::Anonymous: return "anonymous";
    case smb2::AuthKind::Guest: return "guest";
    default: return nullptr;
    }
}

const char* ShareTypeName(uint8_t type) {
    switch (type) {
    case smb2::kShareDisk: return "disk";
    case smb2::kSharePipe: return "pipe";
    case smb2::kSharePrint: return "printer";
    default: return nullptr;
    }
}

const char* SetInfoKindName(smb2::SetInfoKind kind) {
    switch (kind) {
    case smb2::SetInfoKind::Rename: return "rename";
    case smb2::SetInfoKind::Delete: return "delete";
    case smb2::SetInfoKind::Undelete: return "undelete";
    case smb2::SetInfoKind::EndOfFile: return "end_of_file";
    case smb2::SetInfoKind::Allocation: return "allocation";
    case smb2::SetInfoKind::Basic: return "basic";
    case smb2::SetInfoKind::Security: return "security";
    case smb2::SetInfoKind::Other: return "other";
    default: return nullptr;
    }
}

const char* FileTypeName(const smb2::Open& open) {
    if (open.pipe) return "pipe";
    return open.directory || (open.createOptions & kFileDirectoryFile) ? "directory" : "file";
}

// The analyser leaves a text it never saw empty: such a text is not known, and its key is
// left out.
Text Known(std::u16string_view text) {
    return text.empty() ? Text() : Text(text);
}

// Event kinds as record kinds; Ioctl reaches the sink only as pipe data.
RecordKind KindOf(EventKind kind) {
    switch (kind) {
    case EventKind::Logon: return RecordKind::Logon;
    case EventKind::Logoff: return RecordKind::Logoff;
    case EventKind::TreeConnect: return RecordKind::TreeConnect;
    case EventKind::TreeDisconnect: return RecordKind::TreeDisconnect;
    case EventKind::Create: return RecordKind::Create;
    case EventKind::Close: return RecordKind::Close;
    case EventKind::Read: return RecordKind::Read;
    case EventKind::Write: return RecordKind::Write;
    case EventKind::SetInfo: return RecordKind::SetInfo;
    case EventKind::Delete: return RecordKind::Delete;
    case EventKind::Rename: return RecordKind::Rename;
    case EventKind::Copy: return RecordKind::Copy;
    case EventKind::List: return RecordKind::List;
    case EventKind::Encrypted: return RecordKind::Encrypted;
    case EventKind::Ioctl: break;
    }
    return RecordKind::Rpc;
}

// "\\server\share" as the SMB1 records split it: the server part, and the share name with
// its leading backslash.
void Share(AuditRecord& r, std::u16string_view path) {
    size_t cut = path.rfind(u'\\');
    if (cut == std::u16string_view::npos || cut == 0) {
        r.share = Known(path);
        return;
    }
    r.shareServer = Known(path.substr(0, cut));
    r.share = Known(path.substr(cut));
}

// What every record of an event has: times, status, ids and who and where, as far as known.
// A message read out of a transform: the record says so, whatever the session's policy.
void MarkDecrypted(const smb2::Event& ev, AuditRecord& r) {
    if (!ev.decrypted) return;
    r.encrypted = true;
    r.decrypted = true;
}

void Head(const smb2::Event& ev, AuditRecord& r) {
    r.proto = Proto::Smb2;
    if (ev.status) r.status = *ev.status;
    if (ev.responseTime) {
        r.time = *ev.responseTime;
        if (ev.requestTime && ev.responseTime->Micros() >= ev.requestTime->Micros())
            r.rttMicros = ev.responseTime->Micros() - ev.requestTime->Micros();
    } else if (ev.requestTime) {
        r.time = *ev.requestTime;
    } else if (r.origin) {
        r.time = r.origin->time;
    }
    r.sessionId = ev.sessionId;
    if (ev.session) r.user = Known(ev.session->identity.user);
    if (ev.kind == EventKind::Logon || ev.kind == EventKind::Logoff) return;
    // TreeId 0 names no tree, except on the disconnect that a client sends for it.
    if (ev.treeId || ev.kind == EventKind::TreeDisconnect) r.treeId = ev.treeId;
    if (ev.tree) Share(r, ev.tree->path);
    if (ev.kind == EventKind::TreeConnect || ev.kind == EventKind::TreeDisconnect ||
        ev.kind == EventKind::Encrypted)
        return;
    r.fileId = ev.fileId;
    if (ev.open) {
        r.file = Known(ev.open->name);
        r.fileType = FileTypeName(*ev.open);
    }
}

}  // namespace

void Smb2EventRecord(const smb2::Event& ev, AuditRecord& r) {
    r.kind = KindOf(ev.kind);
    Head(ev, r);
    const bool ok = ev.status && *ev.status == 0;
    switch (ev.kind) {
    case EventKind::Logon:
        if (ev.session) {
            const smb2::Identity& id = ev.session->identity;
            r.domain = Known(id.domain);
            r.workstation = Known(id.workstation);
            r.realm = Known(id.realm);
            r.servicePrincipal = Known(id.servicePrincipal);
            r.auth = AuthName(*ev.session);
            if (ok) r.encrypted = ev.session->encryptData;
        }
        r.dialect = DialectName(ev.dialect);
        r.signing = ev.signing;
        if (ev.session && ev.session->binding) r.binding = true;
        break;
    case EventKind::TreeConnect:
        if (!ok) r.treeId.reset();  // a failed connect names no tree, only the path it asked for
        if (!ev.name.empty()) Share(r, ev.name);
        if (ev.tree) {
            r.treeType = ShareTypeName(ev.tree->shareType);
            if (ok) {
                r.shareFlags = ev.tree->shareFlags;
                r.encrypted = (ev.tree->shareFlags & kShareFlagEncryptData) != 0;
            }
        }
        break;
    case EventKind::Create:
        r.file = Text(ev.name);  // the request's name; empty: the share's root
        r.access = ev.desiredAccess;
        r.createOptions = ev.createOptions;
        r.disposition = DispositionName(ev.disposition);
        if (ok) {
            r.createAction = CreateActionName(ev.createAction);
            r.attributes = ev.attributes;
            if (ev.hasEndOfFile) r.fileSize = ev.endOfFile;
        }
        break;
    case EventKind::Close:
        // The post-query attributes: the final size, which the file tracker puts in the
        // close's totals beside what it counted.
        if (ev.hasEndOfFile) r.fileSize = ev.endOfFile;
        break;
    case EventKind::Read:
        r.offset = ev.offset;
        r.count = ev.length;
        r.dataLen = ev.dataLength;
        break;
    case EventKind::Write:
        r.offset = ev.offset;
        r.dataLen = ev.length;
        break;
    case EventKind::SetInfo:
        r.infoKind = SetInfoKindName(ev.setInfoKind);
        if (ev.setInfoKind == smb2::SetInfoKind::Basic) r.attributes = ev.attributes;
        if (ev.hasEndOfFile) r.fileSize = ev.endOfFile;
        break;
    case EventKind::Delete:
        if (!ev.name.empty()) r.file = Known(ev.name);
        break;
    case EventKind::Rename:
        r.oldName = ev.name.empty() ? r.file : Known(ev.name);
        r.newName = Known(ev.newName);
        r.file = Text();
        break;
    case EventKind::Copy:
        if (ev.copySource) r.copySource = Known(ev.copySource->name);
        r.dataLen = ev.copyBytes;
        break;
    case EventKind::List:
        if (!ev.name.empty()) r.file = Known(ev.name);
        r.pattern = Known(ev.pattern);
        break;
    case EventKind::Logoff:
    case EventKind::TreeDisconnect:
    case EventKind::Encrypted:
    case EventKind::Ioctl:
        break;
    }
    MarkDecrypted(ev, r);
}

void Smb2RpcRecord(const smb2::Event& ev, const uint8_t* data, size_t len, uint64_t totalLen, AuditRecord& r) {
    r.kind = RecordKind::Rpc;
    Head(ev, r);
    r.status.reset();  // rpc records carry no status, as for SMB1
    r.share = Text();  // they name the pipe, not the IPC$ tree
    r.shareServer = Text();
    r.fileType = nullptr;
    r.direction = ev.fromClient ? "request" : "response";
    r.dataLen = totalLen;
    r.data = data;
    r.dataAvailable = data ? len : 0;
    MarkDecrypted(ev, r);
}

void Smb2RecordSink::OnEvent(const smb2::Event& event) {
    AuditRecord record;
    record.origin = &m_origin;
    Smb2EventRecord(event, record);
    m_pipeline.Emit(record);
}

void Smb2RecordSink::OnFileData(const smb2::Open& open, bool fromClient, uint64_t offset, const uint8_t* data,
                                size_t len) {
    AuditRecord naming;
    naming.proto = Proto::Smb2;
    naming.origin = &m_origin;
    naming.time = m_origin.time;
    naming.fileId = open.id;
    m_pipeline.Data(naming, fromClient, offset, data, len);
}

void Smb2RecordSink::OnPipeData(const smb2::Event& event, const uint8_t* data, size_t len, uint64_t totalLen) {
    AuditRecord record;
    record.origin = &m_origin;
    Smb2RpcRecord(event, data, len, totalLen, record);
    m_pipeline.Emit(record);
}

}  // namespace smbaudit
