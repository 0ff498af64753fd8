// TREE_CONNECT and TREE_DISCONNECT: which shares a session mounts.
#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

void OnTreeConnectRequest(Connection::Impl& c, const Message&, const TreeConnectRequest& req, Pending& p) {
    p.name = c.Name(req.path);
}

void OnTreeConnectResponse(Connection::Impl& c, const Message* m, const TreeConnectResponse* rsp, Pending& p) {
    if (m) p.treeId = m->h.treeId;  // assigned by the server
    if (m && rsp && m->h.status == kStatusSuccess) {
        Tree& t = c.Insert(c.trees, std::make_pair(p.sessionId, p.treeId), c.limits.maxTrees);
        t.sessionId = p.sessionId;
        t.id = p.treeId;
        if (!p.name.empty()) t.path = p.name;
        t.shareType = rsp->shareType;
        t.shareFlags = rsp->shareFlags;
        t.capabilities = rsp->capabilities;
        t.maximalAccess = rsp->maximalAccess;
    }
    Event ev = c.MakeEvent(EventKind::TreeConnect, p, m);
    ev.name = p.name;
    c.Emit(ev);
}

void OnTreeDisconnectRequest(Connection::Impl&, const Message&, const Empty&, Pending&) {}

void OnTreeDisconnectResponse(Connection::Impl& c, const Message* m, const Empty*, Pending& p) {
    Event ev = c.MakeEvent(EventKind::TreeDisconnect, p, m);
    c.Emit(ev);
    if (m && m->h.status == kStatusSuccess) c.trees.erase({p.sessionId, p.treeId});
}

}  // namespace smbaudit::smb2
