// CREATE and CLOSE: the opens of a session, and delete-on-close.
#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

namespace {
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint16_t kClosePostQuery = 0x0001;
}  // namespace

void OnCreateRequest(Connection::Impl& c, const Message& m, const CreateRequest& req, Pending& p) {
    p.name = c.Name(req.name);
    p.desiredAccess = req.desiredAccess;
    p.shareAccess = req.shareAccess;
    p.disposition = req.disposition;
    p.createOptions = req.createOptions;
    p.attributes = req.attributes;
    // Related operations behind a CREATE act on the file it opens, known at its response.
    c.chain[m.fromClient].fileId.fill(0xFF);
}

void OnCreateResponse(Connection::Impl& c, const Message* m, const CreateResponse* rsp, Pending& p) {
    Event ev = c.MakeEvent(EventKind::Create, p, m);
    if (m && rsp && m->h.status == kStatusSuccess) {
        p.fileId = rsp->fileId;
        c.ChainFileId(rsp->fileId, m->fromClient);
        const Tree* tree = c.FindTree(p.sessionId, p.treeId);
        Open& o = c.Insert(c.opens, rsp->fileId, c.limits.maxOpens);
        o = Open{};
        o.id = rsp->fileId;
        o.sessionId = p.sessionId;
        o.treeId = p.treeId;
        o.name = p.name;
        o.desiredAccess = p.desiredAccess;
        o.shareAccess = p.shareAccess;
        o.disposition = p.disposition;
        o.createOptions = p.createOptions;
        o.createAction = rsp->createAction;
        o.attributes = rsp->attributes;
        o.endOfFile = rsp->endOfFile;
        o.pipe = tree && tree->pipe();
        o.directory = (p.createOptions & kFileDirectoryFile) || (rsp->attributes & kAttributeDirectory);
        o.deleteOnClose = p.createOptions & kFileDeleteOnClose;
        o.created = m->time;
        ev.fileId = o.id;
        ev.createAction = rsp->createAction;
        ev.attributes = rsp->attributes;
        ev.endOfFile = rsp->endOfFile;
        ev.hasEndOfFile = true;
    }
    ev.name = p.name;
    ev.desiredAccess = p.desiredAccess;
    ev.shareAccess = p.shareAccess;
    ev.disposition = p.disposition;
    ev.createOptions = p.createOptions;
    c.Emit(ev);
}

void OnCloseRequest(Connection::Impl& c, const Message& m, const CloseRequest& req, Pending& p) {
    p.fileId = c.ChainFileId(req.fileId, m.fromClient);
    p.flags = req.flags;
}

void OnCloseResponse(Connection::Impl& c, const Message* m, const CloseResponse* rsp, Pending& p) {
    Open* o = c.FindOpen(p.fileId);
    Event ev = c.MakeEvent(EventKind::Close, p, m);
    if (rsp && (rsp->flags & kClosePostQuery)) {
        ev.attributes = rsp->attributes;
        ev.endOfFile = rsp->endOfFile;
        ev.hasEndOfFile = true;
        if (o) o->endOfFile = rsp->endOfFile;
    }
    if (o) ev.name = o->name;
    c.Emit(ev);
    if (!m || m->h.status != kStatusSuccess || !o) return;
    if (o->deleteOnClose) {
        Event del = c.MakeEvent(EventKind::Delete, p, m);
        del.name = o->name;
        c.Emit(del);
    }
    c.EraseOpen(p.fileId);
}

}  // namespace smbaudit::smb2
