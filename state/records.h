// Session records of one connection: conversations (UID), resource trees (TID) and file
// objects (FID). The context's maps own them; the lists and back pointers own nothing.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "framework/framework.h"

class CSILogon;
struct _smbResrcTree;
struct _smbFileObj;

// Base of the objects a host hangs on session records. The library never deletes them;
// it calls OnDestroy() when their record goes or when another object replaces them.
class CSMBMO {
public:
    virtual ~CSMBMO() = default;
    virtual void OnDestroy() {}
};

// Records are never copied: a copy would share the attached object and the parked logon.
struct _smbRecord : CZelkAllocated {
    _smbRecord() = default;
    _smbRecord(const _smbRecord&) = delete;
    _smbRecord& operator=(const _smbRecord&) = delete;
    ~_smbRecord() { if (m_pMO) m_pMO->OnDestroy(); }

    // For the host: attaches pMO, telling the previous object (even the same one) first.
    void Set(CSMBMO* pMO) {
        if (m_pMO) m_pMO->OnDestroy();
        m_pMO = pMO;
    }
    CSMBMO* Get() const { return m_pMO; }

    CSMBMO* m_pMO = nullptr;
};

struct _smbConvers : _smbRecord {
    ~_smbConvers();
    int32_t m_uid = 0;
    std::string m_accountName;
    bool m_bLoggedOn = true;
    CSILogon* m_pLogon = nullptr;  // owned: a multi-leg logon parked between its legs
    std::list<_smbResrcTree*> m_trees;
};

struct _smbResrcTree : _smbRecord {
    int32_t m_tid = 0;
    std::u16string m_share;
    std::u16string m_server;
    uint32_t m_treeType = 4;  // SMB_TREE_UNKNOWN
    std::string m_service;
    _smbConvers* m_pConvers = nullptr;
    std::list<_smbFileObj*> m_files;
};

struct _smbFileObj : _smbRecord {
    int32_t m_fid = 0;
    std::u16string m_fileName;
    uint32_t m_fileType = 7;  // SMB_FT_UNKNOWN
    _smbResrcTree* m_pResTree = nullptr;
};

// Removes the first entry of `list` that points at `rec`.
template <typename T>
void UnlinkFirst(std::list<T*>& list, const T* rec) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == rec) {
            list.erase(it);
            return;
        }
    }
}
