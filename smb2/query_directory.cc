// QUERY_DIRECTORY: the directory listed and the search pattern, once per listing.
#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

namespace {
constexpr uint8_t kRestartScans = 0x01, kReopen = 0x10;
}  // namespace

void OnQueryDirectoryRequest(Connection::Impl& c, const Message& m, const QueryDirectoryRequest& req, Pending& p) {
    p.fileId = c.ChainFileId(req.fileId, m.fromClient);
    p.name = c.Name(req.pattern);
    p.flags = req.flags;
    p.infoClass = req.infoClass;
}

void OnQueryDirectoryResponse(Connection::Impl& c, const Message* m, const Empty*, Pending& p) {
    // A listing takes several requests; the first on an open (or one that restarts the scan)
    // is the one reported.
    Open* o = c.FindOpen(p.fileId);
    const bool restart = p.flags & (kRestartScans | kReopen);
    if (o && o->listed && !restart) return;
    if (!o && !restart && !(m && m->h.status == kStatusSuccess)) return;
    if (o) o->listed = true;
    Event ev = c.MakeEvent(EventKind::List, p, m);
    ev.pattern = p.name;
    ev.listInfoClass = p.infoClass;
    if (o) ev.name = o->name;
    c.Emit(ev);
}

}  // namespace smbaudit::smb2
