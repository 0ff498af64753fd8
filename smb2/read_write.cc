// READ and WRITE: offsets and lengths; the data streams past to the sink (file data) or is
// collected for the pipe payload consumer.
#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

void OnReadRequest(Connection::Impl& c, const Message& m, const ReadRequest& req, Pending& p) {
    p.fileId = c.ChainFileId(req.fileId, m.fromClient);
    p.offset = req.offset;
    p.length = req.length;
}

void OnReadResponse(Connection::Impl& c, const Message* m, const ReadResponse* rsp, Pending& p) {
    Open* o = c.FindOpen(p.fileId);
    Event ev = c.MakeEvent(EventKind::Read, p, m);
    ev.offset = p.offset;
    ev.length = p.length;
    ev.dataLength = rsp ? rsp->dataLength : 0;
    if (o) {
        ev.name = o->name;
        o->bytesRead += ev.dataLength;
        ++o->reads;
    }
    // Pipe payloads go to OnPipeData only, as their data ends.
    if (!c.IsPipe(o, c.FindTree(p.sessionId, p.treeId))) c.Emit(ev);
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
    Open* o = c.FindOpen(p.fileId);
    Event ev = c.MakeEvent(EventKind::Write, p, m);
    ev.offset = p.offset;
    ev.length = p.length;
    ev.dataLength = rsp ? rsp->count : 0;
    if (o) {
        ev.name = o->name;
        o->bytesWritten += ev.dataLength;
        ++o->writes;
    }
    if (!c.IsPipe(o, c.FindTree(p.sessionId, p.treeId))) c.Emit(ev);
}

}  // namespace smbaudit::smb2
