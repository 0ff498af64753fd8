// Saved-info records: what a request handler keeps for its response handler, filed in the
// pending request table under the request's PID, MID and command. Most embed the event
// that the response completes and emits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "context/pkt_context.h"
#include "events/events.h"
#include "framework/framework.h"

class CSavedInfoBase : public CZelkAllocated {
public:
    explicit CSavedInfoBase(const CTimeStamp32& time) : m_time(time) {}
    virtual ~CSavedInfoBase() = default;
    CSavedInfoBase(const CSavedInfoBase&) = delete;
    CSavedInfoBase& operator=(const CSavedInfoBase&) = delete;

    CTimeStamp32 m_time;  // capture time of the request; expiry measures age from it
};

// A saved-info record that carries the event its response will emit.
template <typename Event>
class CSIWithEvent : public CSavedInfoBase {
public:
    explicit CSIWithEvent(const CTimeStamp32& time) : CSavedInfoBase(time) { m_event.m_reqTime = time; }
    Event m_event;
};

class CSINego : public CSavedInfoBase {
public:
    using CSavedInfoBase::CSavedInfoBase;
    std::vector<std::string> m_dialects;
};

class CSILogon : public CSIWithEvent<CLogonEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
    bool m_bNtlmUnicode = true;
};

class CSITreeCon : public CSIWithEvent<CTreeConEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
};

class CSICreate : public CSIWithEvent<CCreateEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
};

class CSIRead : public CSIWithEvent<CReadEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
    uint16_t m_fid = 0;
};

class CSIWrite : public CSIWithEvent<CWriteEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
};

class CSIRename : public CSIWithEvent<CRenameEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
};

class CSITrans : public CSavedInfoBase {
public:
    using CSavedInfoBase::CSavedInfoBase;
    uint16_t m_fid = 0;  // the pipe's FID
};

class CSITrans2 : public CSavedInfoBase {
public:
    using CSavedInfoBase::CSavedInfoBase;
    uint32_t m_subCmd = 0;
    uint32_t m_infoLevel = 0;
    uint32_t m_kind = 0;  // event kind of the subclass (SMB_EVT_DELETE for a delete)
};

class CSIDeleteFile : public CSITrans2 {
public:
    explicit CSIDeleteFile(const CTimeStamp32& time) : CSITrans2(time) {
        m_kind = SMB_EVT_DELETE;
        m_event.m_reqTime = time;
    }
    CDeleteEvent m_event;
    // The file being deleted. The response looks its object up again: a Close answered in
    // between may have released the object the request saw.
    uint16_t m_fid = 0;
};

class CSIDeleteFile1 : public CSIWithEvent<CDeleteEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
};

class CSIDeleteDir : public CSIWithEvent<CDeleteEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
};

class CSILogOff : public CSIWithEvent<CLogOffEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
};

class CSITreeDiscon : public CSIWithEvent<CTreeDisConEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
};

class CSIClose : public CSIWithEvent<CCloseEvent> {
public:
    using CSIWithEvent::CSIWithEvent;
    uint16_t m_fid = 0;
};

// Key of the pending request table: PID, MID and command kept whole, so distinct triples
// give distinct keys. UID and TID are not part of it.
inline uint64_t MakeSavedInfoKey(const CPktContext* ctx) {
    return (uint64_t(ctx->m_pid) << 24) | (uint64_t(ctx->m_mid) << 8) | ctx->m_cmd;
}

// Owns a record taken from the pending table (or built by a request handler) and deletes
// it on every path out unless it is released into the table.
template <typename T>
class SavedInfoOwner {
public:
    explicit SavedInfoOwner(T* p = nullptr) : m_p(p) {}
    ~SavedInfoOwner() { delete m_p; }
    SavedInfoOwner(const SavedInfoOwner&) = delete;
    SavedInfoOwner& operator=(const SavedInfoOwner&) = delete;
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    T* release() {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    T* m_p;
};
