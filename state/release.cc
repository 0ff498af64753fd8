// Ends the life of session records: one at a time when the protocol says they have gone,
// or all of them when the context is torn down. Releases are silent; the handlers that
// see a logoff, disconnect or close emit the events.
#include "context/smb_context.h"
#include "state/records.h"
#include "state/saved_info.h"

int CSMBContext::ReleaseConver(unsigned short uid) {
    auto it = m_convers.find(uid);
    if (it == m_convers.end() || !it->second) return SMB_RET_NO_OBJECT;
    _smbConvers* conv = it->second;
    // Its trees stay filed, orphaned, until teardown.
    for (_smbResrcTree* tree : conv->m_trees) tree->m_pConvers = nullptr;
    m_convers.erase(it);
    delete conv;
    return SMB_RET_OK;
}

int CSMBContext::ReleaseResTree(unsigned short tid) {
    auto it = m_resTrees.find(tid);
    if (it == m_resTrees.end()) return SMB_RET_NO_OBJECT;
    _smbResrcTree* tree = it->second;
    if (!tree || !tree->m_pConvers) return SMB_RET_NO_LINK;
    UnlinkFirst(tree->m_pConvers->m_trees, tree);
    for (_smbFileObj* file : tree->m_files) {
        m_fileObjs.erase(file->m_fid);
        delete file;
    }
    tree->m_files.clear();
    m_resTrees.erase(it);
    delete tree;
    return SMB_RET_OK;
}

int CSMBContext::ReleaseFileObj(unsigned short fid) {
    auto it = m_fileObjs.find(fid);
    if (it == m_fileObjs.end() || !it->second) return SMB_RET_NO_OBJECT;
    _smbFileObj* file = it->second;
    if (file->m_pResTree) UnlinkFirst(file->m_pResTree->m_files, file);
    m_fileObjs.erase(it);
    delete file;
    return SMB_RET_OK;
}

int CSMBContext::Close() {
    for (auto& [key, rec] : m_savedInfo) delete rec;
    m_savedInfo.clear();
    for (auto& [fid, file] : m_fileObjs) delete file;
    m_fileObjs.clear();
    for (auto& [tid, tree] : m_resTrees) delete tree;
    m_resTrees.clear();
    for (auto& [uid, conv] : m_convers) delete conv;
    m_convers.clear();
    return SMB_RET_OK;
}

_smbConvers* CSMBContext::FindConvers(uint16_t uid) const {
    auto it = m_convers.find(uid);
    return it == m_convers.end() ? nullptr : it->second;
}

_smbResrcTree* CSMBContext::FindResTree(uint16_t tid) const {
    auto it = m_resTrees.find(tid);
    return it == m_resTrees.end() ? nullptr : it->second;
}

_smbFileObj* CSMBContext::FindFileObj(uint16_t fid) const {
    auto it = m_fileObjs.find(fid);
    return it == m_fileObjs.end() ? nullptr : it->second;
}

void CSMBContext::FileResTree(_smbResrcTree* tree, uint16_t tid, uint16_t uid) {
    auto it = m_resTrees.find(tid);
    if (it != m_resTrees.end() && it->second && ReleaseResTree(tid) == SMB_RET_NO_LINK) {
        // An orphaned tree cannot be released the ordinary way; the new tree takes its TID,
        // so free it here with its files rather than lose track of it.
        _smbResrcTree* old = it->second;
        for (_smbFileObj* file : old->m_files) {
            m_fileObjs.erase(file->m_fid);
            delete file;
        }
        delete old;
        it->second = nullptr;
    }
    tree->m_tid = tid;
    tree->m_pConvers = FindConvers(uid);
    if (tree->m_pConvers) tree->m_pConvers->m_trees.push_back(tree);
    m_resTrees[tid] = tree;
}

void CSMBContext::FileFileObj(_smbFileObj* file, uint16_t fid, uint16_t tid) {
    ReleaseFileObj(fid);
    file->m_fid = fid;
    file->m_pResTree = FindResTree(tid);
    if (file->m_pResTree) file->m_pResTree->m_files.push_back(file);
    m_fileObjs[fid] = file;
}
