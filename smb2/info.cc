// SET_INFO: renames, deletes (disposition), size changes, attributes and times, security.
#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

void OnSetInfoRequest(Connection::Impl& c, const Message& m, const SetInfoRequest& req, Pending& p) {
    p.fileId = c.ChainFileId(req.fileId, m.fromClient);
    p.infoType = req.infoType;
    p.infoClass = req.infoClass;
    p.additionalInformation = req.additionalInformation;
    auto change = ParseSetInfoChange(req);
    if (!change) {
        ++c.counters.malformed;
        p.change.kind = SetInfoKind::Other;
        return;
    }
    p.change = change.msg;
    p.name = c.Name(change.msg.newName);
    p.change.newName = {};
}

void OnSetInfoResponse(Connection::Impl& c, const Message* m, const Empty*, Pending& p) {
    const SetInfoKind kind = p.change.kind;
    const bool ok = m && m->h.status == kStatusSuccess;
    Open* o = c.FindOpen(p.fileId);
    EventKind eventKind = kind == SetInfoKind::Rename ? EventKind::Rename
                          : kind == SetInfoKind::Delete ? EventKind::Delete
                                                        : EventKind::SetInfo;
    Event ev = c.MakeEvent(eventKind, p, m);
    ev.setInfoKind = kind;
    ev.infoType = p.infoType;
    ev.infoClass = p.infoClass;
    ev.additionalInformation = p.additionalInformation;
    if (o) ev.name = o->name;
    switch (kind) {
        case SetInfoKind::Rename: ev.newName = p.name; break;
        case SetInfoKind::EndOfFile:
        case SetInfoKind::Allocation:
            ev.endOfFile = p.change.size;
            ev.hasEndOfFile = true;
            break;
        case SetInfoKind::Basic: ev.attributes = p.change.attributes; break;
        default: break;
    }
    c.Emit(ev);
    if (!ok || !o) return;
    switch (kind) {
        case SetInfoKind::Rename: o->name = p.name; break;
        case SetInfoKind::Delete: o->deletePending = true; break;
        case SetInfoKind::Undelete: o->deletePending = false; break;
        case SetInfoKind::EndOfFile: o->endOfFile = p.change.size; break;
        case SetInfoKind::Basic: o->attributes = p.change.attributes ? p.change.attributes : o->attributes; break;
        default: break;
    }
}

}  // namespace smbaudit::smb2
