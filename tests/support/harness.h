// Test harness: a context with a recording sink, a feeder that follows the documented
// drain loop, and a peer that reaches the context's internals.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "context/smb_context.h"
#include "events/events.h"
#include "state/records.h"
#include "state/saved_info.h"
#include "support/frame_builder.h"

// One event as the sink saw it, copied out so that tests can look at it afterwards.
struct RecordedEvent {
    SMBEventType type;
    uint32_t status;
    CTimeStamp32 reqTime, rspTime;
    const void* conv;
    const void* tree;
    const void* file;
    int uid = -1, tid = -1, fid = -1;  // identifiers of the records pointed at, -1 when none
    std::map<std::string, std::string> text;     // narrow fields, and UTF-16 fields narrowed
    std::map<std::string, uint64_t> num;         // numeric fields
    ByteVec data;                                // m_pData bytes (read, write)

    const std::string& s(const std::string& k) const { return text.at(k); }
    uint64_t n(const std::string& k) const { return num.at(k); }
    // The space-separated fields, '|'-separated: text and numeric fields by name, and
    // "type" (logon, create...), "status" (hex), "uid", "tid", "fid", "req"/"rsp" (seconds).
    std::string Fields(const std::string& names) const;
};

struct RecordedRpc {
    const _smbFileObj* file;
    int fid;
    ByteVec data;
    CTimeStamp32 time;
};

class RecordingSink : public CSMBOutPut {
public:
    void HandleEvent(CSMBContext* ctx, CEventParaBase* ev) override;
    void HandleRPC(_smbFileObj* file, const char* data, size_t len, CTimeStamp32& time) override;

    // Fields() of every event, ';'-separated.
    std::string Log(const std::string& names) const;

    std::vector<RecordedEvent> events;
    std::vector<RecordedRpc> rpcs;
};

// UTF-16 to a narrow test string (code units above 0xFF as '?').
std::string Narrow(const std::u16string& s);

class SMBContextTestPeer {
public:
    explicit SMBContextTestPeer(CSMBContext& c) : m_c(c) {}
    std::map<uint64_t, CSavedInfoBase*>& saved() { return m_c.m_savedInfo; }
    std::map<int, _smbConvers*>& convers() { return m_c.m_convers; }
    std::map<int, _smbResrcTree*>& trees() { return m_c.m_resTrees; }
    std::map<int, _smbFileObj*>& files() { return m_c.m_fileObjs; }
    _smbConnState& state() { return m_c.m_connState; }
    int ReleaseConver(uint16_t uid) { return m_c.ReleaseConver(uid); }
    int ReleaseResTree(uint16_t tid) { return m_c.ReleaseResTree(tid); }
    int ReleaseFileObj(uint16_t fid) { return m_c.ReleaseFileObj(fid); }
    void PutSavedInfo(uint64_t key, CSavedInfoBase* r) { m_c.PutSavedInfo(key, r); }
    CSavedInfoBase* TakeSavedInfo(uint64_t key) { return m_c.TakeSavedInfo(key); }
    int ProcessNTLMSSP(CSILogon* l, char* m, unsigned short n) { return m_c.ProcessNTLMSSP(l, m, n); }
    int ProcessGSSAPI(CSILogon* l, char* m, unsigned short n) { return m_c.ProcessGSSAPI(l, m, n); }
    // Files records directly, as the protocol handlers would.
    _smbConvers* AddConv(uint16_t uid);
    _smbResrcTree* AddTree(uint16_t uid, uint16_t tid, const std::u16string& share = u"", uint32_t type = 0);
    _smbFileObj* AddFile(uint16_t tid, uint16_t fid, const std::u16string& name = u"", uint32_t type = 0);

private:
    CSMBContext& m_c;
};

// A context on port 445 (or another server port) with a recording sink.
class Conn {
public:
    explicit Conn(uint16_t serverPort = 445);

    // Feeds one chunk and drains every complete message; returns each Proccess result.
    std::vector<int> Feed(const ByteVec& chunk, bool bReq, bool resync = false);
    // Feeds a request then its response; returns the result of the last message handled.
    int Req(const ByteVec& chunk) { return Last(Feed(chunk, true)); }
    int Rsp(const ByteVec& chunk) { return Last(Feed(chunk, false)); }
    // One raw Proccess call without draining.
    int Once(const ByteVec& chunk, bool bReq, bool resync = false);
    static int Last(const std::vector<int>& r) { return r.empty() ? 0 : r.back(); }

    CTimeStamp32 now{1000, 0};
    RecordingSink sink;
    CSMBContext ctx;
    SMBContextTestPeer peer{ctx};
};
