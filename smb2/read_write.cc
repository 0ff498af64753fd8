// READ and WRITE: offsets and lengths; the data streams past to the sink (file data) or is
// collected for the pipe payload consumer.
#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

namespace {
// The event of a READ or WRITE response, `done` bytes read or written, counted on the open.
// Pipe transfers reach the sink only as pipe payloads.
Event Transfer(Connection::Impl& c, const Message* m, const Pending& p, EventKind kind, uint32_t done) {
    Open* o = c.FindOpen(p.fileId);
    Event ev = c.MakeEvent(kind, p, m);
    ev.offset = p.offset;
    ev.length = p.length;
    ev.dataLength = done;
    if (o) {
        ev.name = o->name;
        (kind == EventKind::Read ? o->bytesRead : o->bytesWritten) += done;
        ++(kind == EventKind::Read ? o->reads : o->writes);
    }
    if (!c.IsPipe(o, c.FindTree(p.sessionId, p.treeId))) c.Emit(ev);
    return ev;
}
}  // namespace

void OnReadRequest(Connection::Impl& c, const Message& m, const ReadRequest& req, Pending& p) {
    p.fileId = c.ChainFileId(req.fileId, m.fromClient);
    p.offset = req.offset;
    p.length = req.length;
}

void OnReadResponse(Connection::Impl& c, const Message* m, const ReadResponse* rsp, Pending& p) {
    Event ev = Transfer(c, m, p, EventKind::Read, rsp ? rsp->dataLength : 0);
    if (m && rsp && rsp->dataLength) c.BeginData(*m, p, ev, rsp->dataOffset, rsp->dataLength);
}

void OnWriteRequest(Connection::Impl& c, const Message& m, const WriteRequest& req, Pending& p) {
    p.fileId = c.ChainFileId(req.fileId, m.fromClient);
    p.offset = req.offset;
    p.length = req.length;
    if (!req.length) return;
    Event ev = c.MakeEvent(EventKind::Write, p, nullptr);
    ev.offset = req.offset;
    ev.length = req.length;
    c.BeginData(m, p, ev, req.dataOffset, req.length);
}

void OnWriteResponse(Connection::Impl& c, const Message* m, const WriteResponse* rsp, Pending& p) {
    Transfer(c, m, p, EventKind::Write, rsp ? rsp->count : 0);
}

}  // namespace smbaudit::smb2
