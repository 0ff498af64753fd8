// SMB_COM_LOGOFF_ANDX (0x74) and SMB_COM_TREE_DISCONNECT (0x71). Each response reports the
// operation and, on success, tears down session state: a tree goes at once; a
// conversation goes once it is both logged off and without trees, so a Logoff that
// arrives while shares are still connected (Windows logs off before disconnecting its
// last trees) is completed by the Tree Disconnect of the last tree.
#include "context/smb_context.h"
#include "events/events.h"
#include "state/records.h"
#include "state/saved_info.h"

int CSMBContext::ProcessLogoffReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    const int br = GetCmdBlock(ctx, offset, block);
    if (br < 0) return br;
    SavedInfoOwner<CSILogOff> logoff(new CSILogOff(ctx->m_time));
    if (!logoff) return SMB_RET_NO_MEMORY;
    if (block.WordCount() < 2) return SMB_RET_OK;
    AndXLink link = ReadAndX(ctx, block, offset);
    // A Session Setup chained behind a Logoff starts a new logon: it must not be taken for
    // the next leg of the session being closed.
    if (link.Active() && link.chain.m_cmd == 0x73) link.chain.m_uid = 0;
    PutSavedInfo(MakeSavedInfoKey(ctx), logoff.release());
    return FollowAndX(link);
}

int CSMBContext::ProcessLogoffRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    const int br = GetCmdBlock(ctx, offset, block);
    if (br < 0) return br;
    SavedInfoOwner<CSILogOff> logoff(static_cast<CSILogOff*>(TakeSavedInfo(MakeSavedInfoKey(ctx))));
    if (!logoff) return SMB_RET_OK;
    if (block.WordCount() < 2) return SMB_RET_OK;  // an error response: nothing to report it with
    AndXLink link = ReadAndX(ctx, block, offset);
    if (link.Active()) ctx->m_status = 0;  // the header status belongs to the chained command

    _smbConvers* conv = m_convers[ctx->m_uid];
    if (!conv) return FollowAndX(link);
    CLogOffEvent& ev = logoff->m_event;
    ev.m_userName = conv->m_accountName;
    ev.m_pConvers = conv;
    ev.m_rspTime = ctx->m_time;
    ev.m_status = ctx->m_status;
    Emit(&ev);
    if (ctx->m_status == 0) {
        if (conv->m_trees.empty())
            ReleaseConver(ctx->m_uid);
        else
            conv->m_bLoggedOn = false;  // released with its last tree
    }
    return FollowAndX(link);
}

int CSMBContext::ProcessTrDisReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    const int br = GetCmdBlock(ctx, offset, block);  // only the length is checked
    if (br < 0) return br;
    SavedInfoOwner<CSITreeDiscon> discon(new CSITreeDiscon(ctx->m_time));
    if (!discon) return SMB_RET_NO_MEMORY;
    const _smbResrcTree* tree = FindResTree(ctx->m_tid);
    if (!tree || !tree->m_pConvers) return SMB_RET_NO_OBJECT;
    CTreeDisConEvent& ev = discon->m_event;
    ev.m_treeType = tree->m_treeType;
    ev.m_service = tree->m_service;
    ev.m_share = tree->m_share;
    ev.m_server = tree->m_server;
    // The tree itself is looked up again at the response: until then it may be released
    // (a Tree Connect that reuses the TID, or the response to a second disconnect of the
    // same TID), and the sink must never be handed a released record.
    PutSavedInfo(MakeSavedInfoKey(ctx), discon.release());
    return SMB_RET_OK;
}

int CSMBContext::ProcessTrDisRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    const int br = GetCmdBlock(ctx, offset, block);
    if (br < 0) return br;
    SavedInfoOwner<CSITreeDiscon> discon(static_cast<CSITreeDiscon*>(TakeSavedInfo(MakeSavedInfoKey(ctx))));
    if (!discon) return SMB_RET_NO_OBJECT;
    CTreeDisConEvent& ev = discon->m_event;
    // The names stay those the request recorded: the tree the client disconnected, even
    // when a Tree Connect gave the TID to another tree in the meantime. The pointer is looked
    // up again (the tree of the request may be released by now) and serves only the TID.
    ev.m_pResTree = FindResTree(ctx->m_tid);
    ev.m_pConvers = m_convers[ctx->m_uid];
    ev.m_rspTime = ctx->m_time;
    ev.m_status = ctx->m_status;
    Emit(&ev);
    if (ctx->m_status != 0) return SMB_RET_OK;

    _smbConvers* conv = FindConvers(ctx->m_uid);
    if (!conv) return SMB_RET_NO_OBJECT;
    ReleaseResTree(ctx->m_tid);
    if (!conv->m_bLoggedOn && conv->m_trees.empty()) ReleaseConver(uint16_t(conv->m_uid));
    return SMB_RET_OK;
}
