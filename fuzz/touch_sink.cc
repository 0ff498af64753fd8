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
