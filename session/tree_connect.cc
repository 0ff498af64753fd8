// SMB_COM_TREE_CONNECT_ANDX (0x75): a logged-on user connects to a share. The request's
// path gives the server and share names; the response's Service string gives the kind of
// share. A successful response files the resource tree of the TID under the UID's
// conversation; every completed exchange is reported.
#include <cstring>

#include "context/smb_context.h"
#include "events/events.h"
#include "state/records.h"
#include "state/saved_info.h"

namespace {

constexpr uint32_t kTconDataStart = 11;  // Password, then Path

uint32_t TreeTypeOf(const std::string& service) {
    if (service == "A:") return SMB_TREE_DISK;
    if (service == "IPC") return SMB_TREE_IPC;
    if (service == "LPT1:") return SMB_TREE_PRINTER;
    if (service == "COMM") return SMB_TREE_COMM;
    return SMB_TREE_UNKNOWN;
}

// The 8-bit path up to its NUL, widened byte for byte through a buffer of the framework
// allocator. False when there is no NUL in the block or the buffer cannot be had.
bool ReadOemPath(const SmbBlock& block, uint32_t& pos, std::u16string& path) {
    const uint8_t* start = block.data() + pos;
    const void* nul = std::memchr(start, 0, block.size() - pos);
    if (!nul) return false;
    const uint32_t n = uint32_t(static_cast<const uint8_t*>(nul) - start);
    auto* wide = reinterpret_cast<char16_t*>(ZELK::MyMemAlloc(2 * (n + 1), "value_string", __LINE__));
    if (!wide) return false;
    for (uint32_t i = 0; i < n; ++i) wide[i] = start[i];
    path.assign(wide, n);
    ZELK::MyMemFree(wide);
    pos += n + 1;
    return true;
}

// The UTF-16LE path, after a pad byte that aligns it on the SMB header. It ends with the
// first zero code unit. Without one the text runs to the block's end, and the field is
// taken to end exactly there, pad byte or not: the path was sent whole, only its
// terminator is missing, and the connection is worth recording.
void ReadUnicodePath(const SmbBlock& block, uint32_t& pos, std::u16string& path) {
    if (pos & 1) ++pos;
    path.clear();
    for (; pos + 1 < block.size(); pos += 2) {
        const char16_t unit = char16_t(block.u16(pos));
        if (unit == 0) {
            pos += 2;
            return;
        }
        path.push_back(unit);
    }
    pos = block.size();  // an odd last byte belongs to the field too
}

}  // namespace

int CSMBContext::ProcessTconReq(CPktContext* ctx, int offset) {
    SmbBlock block;
    const int br = GetCmdBlock(ctx, offset, block);
    if (br < 0) return br;
    SavedInfoOwner<CSITreeCon> tcon(new CSITreeCon(ctx->m_time));
    if (!tcon) return SMB_RET_OK;
    if (block.WordCount() < 2) return SMB_RET_OK;
    AndXLink link = ReadAndX(ctx, block, offset);
    auto drop = [&] {
        delete tcon.release();
        return FollowAndX(link);
    };
    if (block.WordCount() < 4) return drop();

    CTreeConEvent& ev = tcon->m_event;
    const uint16_t passwordLen = block.u16(7);
    uint32_t pos = kTconDataStart + passwordLen;
    if (pos > block.size()) return drop();
    // A single zero byte is the "no password" of share-level security and of clients
    // using user-level security.
    if (passwordLen == 1 && block.u8(kTconDataStart) == 0) ev.m_password.clear();
    if (pos >= block.size()) return drop();

    std::u16string path;
    if (ctx->m_bUnicode) {
        ReadUnicodePath(block, pos, path);
    } else if (!ReadOemPath(block, pos, path)) {
        return drop();
    }
    // \\SERVER\SHARE: the share keeps its backslash.
    const size_t cut = path.rfind(u'\\');
    if (cut != std::u16string::npos) {
        ev.m_share = path.substr(cut);
        ev.m_server = path.substr(0, cut);
    }
    PutSavedInfo(MakeSavedInfoKey(ctx), tcon.release());
    return FollowAndX(link);
}

int CSMBContext::ProcessTconRsp(CPktContext* ctx, int offset) {
    SmbBlock block;
    const int br = GetCmdBlock(ctx, offset, block);
    if (br < 0) return br;
    // A response without request (a retransmission, or a connection picked up late) is
    // not an error worth a result of its own.
    SavedInfoOwner<CSITreeCon> tcon(static_cast<CSITreeCon*>(TakeSavedInfo(MakeSavedInfoKey(ctx))));
    if (!tcon) return SMB_RET_OK;
    if (block.WordCount() == 1) return SMB_RET_OK;
    AndXLink link = ReadAndX(ctx, block, offset);
    if (link.Active()) ctx->m_status = 0;  // the header status belongs to the chained command

    CTreeConEvent& ev = tcon->m_event;
    if (block.ByteCount() != 0) {
        // The Service string is 8-bit whatever Flags2 says.
        const uint32_t pos = block.BytesOffset();
        const uint8_t* start = block.data() + pos;
        const void* nul = pos < block.size() ? std::memchr(start, 0, block.size() - pos) : nullptr;
        if (!nul) return FollowAndX(link);
        ev.m_service.assign(reinterpret_cast<const char*>(start), size_t(static_cast<const uint8_t*>(nul) - start));
        ev.m_treeType = TreeTypeOf(ev.m_service);
    }
    ev.m_status = ctx->m_status;
    ev.m_rspTime = ctx->m_time;
    if (ctx->m_status != 0) {
        Emit(&ev);
        return FollowAndX(link);
    }

    auto* tree = new _smbResrcTree;
    if (!tree) return SMB_RET_OK;
    _smbConvers* conv = FindConvers(ctx->m_uid);
    if (!conv && m_options.followUnreadLogons) {
        // The server accepted the tree, so the user is logged on even though the logon was
        // not captured or could not be read: rebuild the conversation and report the tree.
        ConstructFakeConv(ctx->m_uid);
        conv = FindConvers(ctx->m_uid);
    }
    if (!conv) {
        // A tree needs a logged-on user. The standard reading enters the UID without a
        // conversation; the tolerance never leaves such an entry behind.
        if (!m_options.followUnreadLogons) m_convers.try_emplace(ctx->m_uid, nullptr);
        delete tree;
        return SMB_RET_OK;
    }
    tree->m_treeType = ev.m_treeType;
    tree->m_service = ev.m_service;
    tree->m_share = ev.m_share;
    tree->m_server = ev.m_server;
    // A TID the server hands out again replaces the tree filed under it.
    FileResTree(tree, ctx->m_tid, ctx->m_uid);
    ev.m_pConvers = conv;
    ev.m_pResTree = tree;
    Emit(&ev);
    return FollowAndX(link);
}
