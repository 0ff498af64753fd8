// Connections picked up in mid-session: file operations on a UID or TID never seen to log
// on or connect rebuild the missing records and announce them, so the audit trail always
// shows a logon and a tree connect before the first file event of a session.
#include "context/smb_context.h"
#include "events/events.h"
#include "state/records.h"

int CSMBContext::ConstructFakeConv(unsigned short uid) {
    auto* conv = new _smbConvers;
    if (!conv) return SMB_RET_NO_MEMORY;
    conv->m_uid = uid;
    auto it = m_convers.find(uid);
    if (it != m_convers.end() && it->second) ReleaseConver(uid);
    m_convers[uid] = conv;

    CLogonEvent ev;
    ev.m_pConvers = conv;
    ev.m_status = 0;
    ev.m_dialect = m_connState.m_dialect;
    ev.m_serverName = m_connState.m_serverName;
    Emit(&ev);
    return SMB_RET_OK;
}

int CSMBContext::ConstructFakeTreeRes(unsigned short uid, unsigned short tid) {
    auto* tree = new _smbResrcTree;
    if (!tree) return SMB_RET_NO_MEMORY;
    FileResTree(tree, tid, uid);

    CTreeConEvent ev;
    ev.m_status = 0;
    ev.m_pConvers = tree->m_pConvers;
    ev.m_pResTree = tree;
    Emit(&ev);
    return SMB_RET_OK;
}

void CSMBContext::ReconstructSession(const CPktContext* ctx) {
    if (!FindConvers(ctx->m_uid)) ConstructFakeConv(ctx->m_uid);
    if (!FindResTree(ctx->m_tid)) ConstructFakeTreeRes(ctx->m_uid, ctx->m_tid);
}
