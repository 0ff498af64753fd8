#include "touch_sink.h"

#include <cstdlib>
#include <string>

#include "state/records.h"

namespace {

// Everything read is folded in here; a volatile store keeps the reads from being dropped.
volatile uint64_t g_fold;

void Fold(uint64_t v) { g_fold = g_fold * 31 + v; }

template <typename S>
void TouchText(const S& s) {
    for (auto c : s) Fold(uint64_t(c));
    Fold(s.size());
}

void TouchTime(const CTimeStamp32& t) { Fold(t.Micros()); }

void TouchFile(const _smbFileObj* f);

void TouchTree(const _smbResrcTree* t, bool withFiles) {
    if (!t) return;
    Fold(uint64_t(t->m_tid));
    TouchText(t->m_share);
    TouchText(t->m_server);
    TouchText(t->m_service);
    Fold(t->m_treeType);
    if (t->m_pConvers) Fold(uint64_t(t->m_pConvers->m_uid));
    if (withFiles)
        for (const _smbFileObj* f : t->m_files) TouchFile(f);
}

void TouchFile(const _smbFileObj* f) {
    if (!f) return;
    Fold(uint64_t(f->m_fid));
    TouchText(f->m_fileName);
    Fold(f->m_fileType);
    if (f->m_pResTree) Fold(uint64_t(f->m_pResTree->m_tid));
}

void TouchConvers(const _smbConvers* c) {
    if (!c) return;
    Fold(uint64_t(c->m_uid));
    TouchText(c->m_accountName);
    Fold(c->m_bLoggedOn);
    Fold(c->m_pLogon != nullptr);
    for (const _smbResrcTree* t : c->m_trees) TouchTree(t, true);
}

}  // namespace

void TouchBytes(const void* p, size_t n) {
    const volatile uint8_t* b = static_cast<const uint8_t*>(p);
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += b[i];
    Fold(sum);
}

void TouchSink::HandleEvent(CSMBContext* ctx, CEventParaBase* ev) {
    ++events;
    Fold(ctx->BufferedBytes());
    TouchEvent(ev);
}

void TouchEvent(const CEventParaBase* ev) {
    TouchTime(ev->m_reqTime);
    TouchTime(ev->m_rspTime);
    Fold(ev->m_status);
    TouchConvers(ev->m_pConvers);
    TouchTree(ev->m_pResTree, true);
    TouchFile(ev->m_pFileObj);
    switch (ev->m_eventType) {
        case SMB_EVT_LOGON: {
            auto* e = static_cast<const CLogonEvent*>(ev);
            for (const std::string* s : {&e->m_userName, &e->m_password, &e->m_dialect, &e->m_workstation,
                                         &e->m_domain, &e->m_serverName, &e->m_serverDomain, &e->m_clientOS,
                                         &e->m_serverOS, &e->m_lanManager})
                TouchText(*s);
            Fold(e->m_authType);
            return;
        }
        case SMB_EVT_LOGOFF:
            TouchText(static_cast<const CLogOffEvent*>(ev)->m_userName);
            return;
        case SMB_EVT_TREE_CONNECT: {
            auto* e = static_cast<const CTreeConEvent*>(ev);
            TouchText(e->m_share);
            TouchText(e->m_server);
            TouchText(e->m_service);
            TouchText(e->m_password);
            Fold(e->m_treeType);
            return;
        }
        case SMB_EVT_TREE_DISCONNECT: {
            auto* e = static_cast<const CTreeDisConEvent*>(ev);
            TouchText(e->m_share);
            TouchText(e->m_server);
            TouchText(e->m_service);
            Fold(e->m_treeType);
            return;
        }
        case SMB_EVT_CREATE: {
            auto* e = static_cast<const CCreateEvent*>(ev);
            TouchText(e->m_fileName);
            Fold(e->m_fileType + e->m_disposition + e->m_createAction + e->m_fileSize);
            return;
        }
        case SMB_EVT_CLOSE: {
            auto* e = static_cast<const CCloseEvent*>(ev);
            TouchText(e->m_fileName);
            Fold(e->m_fileType);
            return;
        }
        case SMB_EVT_READ: {
            auto* e = static_cast<const CReadEvent*>(ev);
            TouchText(e->m_fileName);
            Fold(e->m_fileType + e->m_offset + e->m_count);
            // A payload pointer with a length must cover the whole length.
            if (e->m_pData) TouchBytes(e->m_pData, size_t(e->m_dataLen));
            return;
        }
        case SMB_EVT_WRITE: {
            auto* e = static_cast<const CWriteEvent*>(ev);
            TouchText(e->m_fileName);
            Fold(e->m_fileType + e->m_offset);
            if (e->m_pData) TouchBytes(e->m_pData, size_t(e->m_dataLen));
            return;
        }
        case SMB_EVT_DELETE: {
            auto* e = static_cast<const CDeleteEvent*>(ev);
            TouchText(e->m_fileName);
            Fold(e->m_fileType);
            return;
        }
        case SMB_EVT_RENAME: {
            auto* e = static_cast<const CRenameEvent*>(ev);
            TouchText(e->m_oldName);
            TouchText(e->m_newName);
            return;
        }
    }
    // An event type outside the enumeration is a fault of the library.
    std::abort();
}

void TouchSink::HandleRPC(_smbFileObj* file, const char* data, size_t len, CTimeStamp32& time) {
    ++rpcs;
    if (!file) std::abort();  // the pipe's file object is never null
    TouchFile(file);
    TouchTree(file->m_pResTree, false);
    TouchTime(time);
    if (len) TouchBytes(data, len);
}

namespace {

namespace smb2 = smbaudit::smb2;

void Require(bool ok) {
    if (!ok) std::abort();
}

void TouchIdentity(const smb2::Identity& id) {
    for (const std::u16string* s : {&id.user, &id.domain, &id.workstation, &id.realm, &id.servicePrincipal}) TouchText(*s);
    Fold(uint64_t(id.auth));
}

void TouchOpen(const smb2::Open& o) {
    TouchBytes(o.id.data(), o.id.size());
    TouchText(o.name);
    Fold(o.sessionId + o.treeId + o.desiredAccess + o.shareAccess + o.disposition + o.createOptions + o.createAction +
         o.attributes + o.endOfFile + o.pipe + o.directory + o.deleteOnClose + o.deletePending + o.bytesRead +
         o.bytesWritten + o.reads + o.writes + o.listed);
    TouchTime(o.created);
}

void TouchSmb2Event(const smb2::Event& ev) {
    Fold(uint64_t(ev.kind) + ev.status.value_or(7) + ev.command + ev.messageId + ev.sessionId + ev.treeId +
         ev.fromClient + ev.dialect + ev.signing + ev.encrypted + ev.decrypted);
    if (ev.requestTime) TouchTime(*ev.requestTime);
    if (ev.responseTime) TouchTime(*ev.responseTime);
    TouchBytes(ev.fileId.data(), ev.fileId.size());
    if (const smb2::Session* s = ev.session) {
        Require(s->id == ev.sessionId);
        TouchIdentity(s->identity);
        Fold(s->dialect + s->loggedOn + s->signingRequired + s->guest + s->anonymous + s->encryptData + s->binding +
             s->encryptedSeen);
        TouchTime(s->start);
    }
    if (const smb2::Tree* t = ev.tree) {
        Require(t->id == ev.treeId && t->sessionId == ev.sessionId);
        TouchText(t->path);
        Fold(t->shareType + t->shareFlags + t->capabilities + t->maximalAccess);
    }
    if (ev.open) {
        Require(ev.open->id == ev.fileId);
        TouchOpen(*ev.open);
    }
    if (ev.copySource) {
        Require(ev.copySource->id == ev.copySourceId);
        TouchOpen(*ev.copySource);
    }
    TouchText(ev.name);
    TouchText(ev.newName);
    TouchText(ev.pattern);
    Fold(ev.desiredAccess + ev.shareAccess + ev.disposition + ev.createOptions + ev.createAction + ev.attributes +
         ev.endOfFile + ev.hasEndOfFile + ev.offset + ev.length + ev.dataLength + uint64_t(ev.setInfoKind) +
         ev.infoType + ev.infoClass + ev.additionalInformation + ev.copyBytes + ev.copyChunks + ev.listInfoClass +
         ev.ctlCode);
    TouchBytes(ev.copySourceId.data(), ev.copySourceId.size());
    if (const smb2::Negotiated* n = ev.negotiated)
        Fold(n->dialect + n->securityMode + n->capabilities + n->preauthHash + n->cipher + n->signingAlgorithm +
             n->compressionCount + n->compression[0] + n->compression[3]);
}

}  // namespace

void TouchSmb2Sink::OnEvent(const smb2::Event& ev) {
    ++events;
    Require(ev.kind != smb2::EventKind::Ioctl);  // pipe payloads only
    TouchSmb2Event(ev);
}

void TouchSmb2Sink::OnPipeData(const smb2::Event& ev, const uint8_t* data, size_t len, uint64_t totalLen) {
    Require(len <= totalLen && len <= m_maxPipe);
    Require(ev.kind == smb2::EventKind::Read || ev.kind == smb2::EventKind::Write || ev.kind == smb2::EventKind::Ioctl);
    TouchSmb2Event(ev);
    if (len) TouchBytes(data, len);
    pipeBytes += len;
}

void TouchSmb2Sink::OnFileData(const smb2::Open& open, bool fromClient, uint64_t offset, const uint8_t* data,
                               size_t len) {
    TouchOpen(open);
    Fold(fromClient + offset);
    Require(len > 0);
    TouchBytes(data, len);
    fileBytes += len;
}
