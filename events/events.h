// Audit event records: one per reported operation, filled by the handlers and read in
// place by the host's sink. Text that the traffic never filled keeps the mask "******".
#pragma once

#include <cstdint>
#include <string>

#include "framework/framework.h"

struct _smbConvers;
struct _smbResrcTree;
struct _smbFileObj;

// Event kinds. Close comes before read and write.
enum SMBEventType : uint32_t {
    SMB_EVT_LOGON = 0,
    SMB_EVT_LOGOFF = 1,
    SMB_EVT_TREE_CONNECT = 2,
    SMB_EVT_TREE_DISCONNECT = 3,
    SMB_EVT_CREATE = 4,
    SMB_EVT_CLOSE = 5,
    SMB_EVT_READ = 6,
    SMB_EVT_WRITE = 7,
    SMB_EVT_DELETE = 8,
    SMB_EVT_RENAME = 9,
};

// File types (file events and file objects).
enum : uint32_t {
    SMB_FT_FILE = 0,
    SMB_FT_DIRECTORY = 1,
    SMB_FT_PIPE_BYTE = 2,
    SMB_FT_PIPE_MESSAGE = 3,
    SMB_FT_PRINTER = 5,
    SMB_FT_UNKNOWN = 7,
};

// Tree types, from the Service string of the Tree Connect AndX response.
enum : uint32_t {
    SMB_TREE_DISK = 0,     // "A:"
    SMB_TREE_IPC = 1,      // "IPC"
    SMB_TREE_PRINTER = 2,  // "LPT1:"
    SMB_TREE_COMM = 3,     // "COMM"
    SMB_TREE_UNKNOWN = 4,
};

// Kinds of authentication of a logon.
enum : uint32_t {
    SMB_AUTH_PLAIN = 0,
    SMB_AUTH_ANONYMOUS = 1,
    SMB_AUTH_NTLMSSP = 4,
};

// Status of an event whose response has not been seen.
constexpr uint32_t SMB_STATUS_NONE = 0xFFFFFFFFu;

// The mask that text fields keep until the traffic fills them.
inline constexpr const char* SMB_MASK = "******";
inline constexpr const char16_t* SMB_MASK16 = u"******";

inline bool IsPipeType(uint32_t fileType) { return fileType == SMB_FT_PIPE_BYTE || fileType == SMB_FT_PIPE_MESSAGE; }

class CEventParaBase {
public:
    explicit CEventParaBase(SMBEventType type) : m_eventType(type) {}
    virtual ~CEventParaBase() = default;
    CEventParaBase(const CEventParaBase&) = delete;
    CEventParaBase& operator=(const CEventParaBase&) = delete;

    CTimeStamp32 m_reqTime;
    CTimeStamp32 m_rspTime;
    uint32_t m_status = SMB_STATUS_NONE;
    SMBEventType m_eventType;
    _smbConvers* m_pConvers = nullptr;
    _smbResrcTree* m_pResTree = nullptr;
    _smbFileObj* m_pFileObj = nullptr;
};

class CLogonEvent : public CEventParaBase {
public:
    CLogonEvent() : CEventParaBase(SMB_EVT_LOGON) {}
    std::string m_userName = SMB_MASK;
    std::string m_password = SMB_MASK;
    std::string m_dialect = SMB_MASK;
    std::string m_workstation = SMB_MASK;
    std::string m_domain = SMB_MASK;
    std::string m_serverName = SMB_MASK;
    std::string m_serverDomain = SMB_MASK;
    std::string m_clientOS = SMB_MASK;
    std::string m_serverOS = SMB_MASK;
    std::string m_lanManager = SMB_MASK;
    uint32_t m_authType = SMB_AUTH_PLAIN;
};

class CLogOffEvent : public CEventParaBase {
public:
    CLogOffEvent() : CEventParaBase(SMB_EVT_LOGOFF) {}
    std::string m_userName = SMB_MASK;
};

class CTreeConEvent : public CEventParaBase {
public:
    CTreeConEvent() : CEventParaBase(SMB_EVT_TREE_CONNECT) {}
    std::u16string m_share = SMB_MASK16;
    std::u16string m_server;
    uint32_t m_treeType = SMB_TREE_UNKNOWN;
    std::string m_service = SMB_MASK;
    std::string m_password = SMB_MASK;
};

class CTreeDisConEvent : public CEventParaBase {
public:
    CTreeDisConEvent() : CEventParaBase(SMB_EVT_TREE_DISCONNECT) {}
    std::u16string m_share = SMB_MASK16;
    std::u16string m_server;
    uint32_t m_treeType = SMB_TREE_UNKNOWN;
    std::string m_service = SMB_MASK;
};

class CCreateEvent : public CEventParaBase {
public:
    CCreateEvent() : CEventParaBase(SMB_EVT_CREATE) {}
    std::u16string m_fileName = SMB_MASK16;
    uint32_t m_fileType = SMB_FT_UNKNOWN;
    uint32_t m_disposition = 6;   // 0 supersede .. 5 overwrite-if; 6 not determined
    uint32_t m_createAction = 4;  // 0 superseded, 1 opened, 2 created, 3 overwritten; 4 not determined
    uint64_t m_fileSize = 0;
};

class CCloseEvent : public CEventParaBase {
public:
    CCloseEvent() : CEventParaBase(SMB_EVT_CLOSE) {}
    std::u16string m_fileName = SMB_MASK16;
    uint32_t m_fileType = SMB_FT_UNKNOWN;
};

class CReadEvent : public CEventParaBase {
public:
    CReadEvent() : CEventParaBase(SMB_EVT_READ) {}
    std::u16string m_fileName = SMB_MASK16;
    uint32_t m_fileType = SMB_FT_UNKNOWN;
    uint64_t m_offset = 0;
    uint64_t m_count = 0;
    uint64_t m_dataLen = 0;
    const uint8_t* m_pData = nullptr;  // into the stream buffer; valid during the sink call only
};

class CWriteEvent : public CEventParaBase {
public:
    CWriteEvent() : CEventParaBase(SMB_EVT_WRITE) {}
    std::u16string m_fileName = SMB_MASK16;
    uint32_t m_fileType = SMB_FT_UNKNOWN;
    uint64_t m_offset = 0;
    uint64_t m_dataLen = 0;
    const uint8_t* m_pData = nullptr;  // into the stream buffer; valid during the sink call only
};

class CDeleteEvent : public CEventParaBase {
public:
    CDeleteEvent() : CEventParaBase(SMB_EVT_DELETE) {}
    std::u16string m_fileName = SMB_MASK16;
    uint32_t m_fileType = SMB_FT_UNKNOWN;
};

class CRenameEvent : public CEventParaBase {
public:
    CRenameEvent() : CEventParaBase(SMB_EVT_RENAME) {}
    std::u16string m_oldName = SMB_MASK16;
    std::u16string m_newName = SMB_MASK16;
};
