#include "tools/smbaudit/smb1_records.h"

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

const char* AuthName(uint32_t auth) {
    switch (auth) {
    case SMB_AUTH_PLAIN: return "plain";
    case SMB_AUTH_ANONYMOUS: return "anonymous";
    case SMB_AUTH_NTLMSSP: return "ntlmssp";
    default: return "unknown";
    }
}

// The library keeps the mask "******" in a text the traffic never filled: such a text is
// not known, and its key is left out.
Text Known(const std::string& text) {
    return text == SMB_MASK ? Text() : Text(std::string_view(text));
}

Text Known(const std::u16string& text) {
    return text == SMB_MASK16 ? Text() : Text(std::u16string_view(text));
}

// The server part of a tree path is only there when the client named one.
Text ShareServer(const std::u16string& server) {
    return server.empty() ? Text() : Known(server);
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

void Ids(AuditRecord& r, const Refs& refs) {
    if (refs.convers) r.uid = uint32_t(refs.convers->m_uid);
    if (refs.tree) r.tid = uint32_t(refs.tree->m_tid);
    if (refs.file) r.fid = uint32_t(refs.file->m_fid);
    if (refs.convers) r.user = Known(refs.convers->m_accountName);
    if (refs.tree) {
        r.share = Known(refs.tree->m_share);
        r.shareServer = ShareServer(refs.tree->m_server);
    }
}

void FileHead(AuditRecord& r, const std::u16string& name, uint32_t type) {
    r.file = Known(name);
    r.fileType = FileTypeName(type);
}

// A read or write: the file, where in it, how much, and the bytes when the event holds them.
template <typename Event>
void Transfer(AuditRecord& r, const Event& e) {
    FileHead(r, e.m_fileName, e.m_fileType);
    r.offset = e.m_offset;
    r.dataLen = e.m_dataLen;
    r.data = e.m_pData;
    r.dataAvailable = e.m_pData ? size_t(e.m_dataLen) : 0;
}

void TreeFields(AuditRecord& r, const std::u16string& share, const std::u16string& server, const std::string& service,
                uint32_t treeType) {
    r.share = Known(share);
    r.shareServer = ShareServer(server);
    r.service = Known(service);
    r.treeType = TreeTypeName(treeType);
}

}  // namespace

void Smb1EventRecord(const CEventParaBase& ev, AuditRecord& r) {
    r.proto = Proto::Smb1;
    r.kind = RecordKind(ev.m_eventType);  // the SMB1 event kinds lead the record kinds in the same order
    const bool answered = ev.m_status != SMB_STATUS_NONE;
    if (answered) r.status = ev.m_status;
    if (answered && ev.m_rspTime.Micros() != 0) {
        r.time = ev.m_rspTime;
        if (ev.m_reqTime.Micros() != 0 && ev.m_rspTime.Micros() >= ev.m_reqTime.Micros())
            r.rttMicros = ev.m_rspTime.Micros() - ev.m_reqTime.Micros();
    } else if (ev.m_reqTime.Micros() != 0) {
        r.time = ev.m_reqTime;
    } else if (r.origin) {
        r.time = r.origin->time;
    }
    Ids(r, Resolve(ev.m_pConvers, ev.m_pResTree, ev.m_pFileObj));

    switch (ev.m_eventType) {
    case SMB_EVT_LOGON: {
        const auto& e = static_cast<const CLogonEvent&>(ev);
        r.user = Known(e.m_userName);
        r.domain = Known(e.m_domain);
        r.workstation = Known(e.m_workstation);
        r.dialect = Known(e.m_dialect);
        r.serverName = Known(e.m_serverName);
        r.serverDomain = Known(e.m_serverDomain);
        r.clientOs = Known(e.m_clientOS);
        r.serverOs = Known(e.m_serverOS);
        r.lanManager = Known(e.m_lanManager);
        r.auth = AuthName(e.m_authType);
        break;
    }
    case SMB_EVT_LOGOFF:
        r.user = Known(static_cast<const CLogOffEvent&>(ev).m_userName);
        break;
    case SMB_EVT_TREE_CONNECT: {
        const auto& e = static_cast<const CTreeConEvent&>(ev);
        TreeFields(r, e.m_share, e.m_server, e.m_service, e.m_treeType);
        break;
    }
    case SMB_EVT_TREE_DISCONNECT: {
        const auto& e = static_cast<const CTreeDisConEvent&>(ev);
        TreeFields(r, e.m_share, e.m_server, e.m_service, e.m_treeType);
        break;
    }
    case SMB_EVT_CREATE: {
        const auto& e = static_cast<const CCreateEvent&>(ev);
        FileHead(r, e.m_fileName, e.m_fileType);
        r.disposition = DispositionName(e.m_disposition);
        r.createAction = CreateActionName(e.m_createAction);
        r.fileSize = e.m_fileSize;
        break;
    }
    case SMB_EVT_CLOSE: {
        const auto& e = static_cast<const CCloseEvent&>(ev);
        FileHead(r, e.m_fileName, e.m_fileType);
        break;
    }
    case SMB_EVT_READ: {
        const auto& e = static_cast<const CReadEvent&>(ev);
        Transfer(r, e);
        r.count = e.m_count;
        break;
    }
    case SMB_EVT_WRITE: {
        Transfer(r, static_cast<const CWriteEvent&>(ev));
        break;
    }
    case SMB_EVT_DELETE: {
        const auto& e = static_cast<const CDeleteEvent&>(ev);
        FileHead(r, e.m_fileName, e.m_fileType);
        break;
    }
    case SMB_EVT_RENAME: {
        const auto& e = static_cast<const CRenameEvent&>(ev);
        r.oldName = Known(e.m_oldName);
        r.newName = Known(e.m_newName);
        break;
    }
    }
}

void Smb1RpcRecord(const _smbFileObj& pipe, const uint8_t* data, size_t len, const CTimeStamp32& time,
                   AuditRecord& r) {
    r.proto = Proto::Smb1;
    r.kind = RecordKind::Rpc;
    r.time = time;
    Ids(r, Resolve(nullptr, nullptr, &pipe));
    r.share = Text();  // rpc records name the pipe, not the IPC$ tree
    r.shareServer = Text();
    r.file = Known(pipe.m_fileName);
    r.direction = r.origin && !r.origin->fromClient ? "response" : "request";
    r.dataLen = len;
    r.data = data;
    r.dataAvailable = data ? len : 0;
}

void Smb1RecordSink::HandleEvent(CSMBContext*, CEventParaBase* event) {
    if (!event) return;
    AuditRecord record;
    record.origin = &m_origin;
    Smb1EventRecord(*event, record);
    m_pipeline.Emit(record);
}

void Smb1RecordSink::HandleRPC(_smbFileObj* file, const char* data, size_t len, CTimeStamp32& time) {
    if (!file) return;
    AuditRecord record;
    record.origin = &m_origin;
    Smb1RpcRecord(*file, reinterpret_cast<const uint8_t*>(data), len, time, record);
    m_pipeline.Emit(record);
}

}  // namespace smbaudit
