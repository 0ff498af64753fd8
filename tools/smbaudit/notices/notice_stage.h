// The record stage that raises notices: the few events in the record stream that call for
// an analyst's attention (docs/smbaudit.md describes each). It reads the records of both
// SMB versions the same way, after the RPC stage has decoded the pipes' calls, and writes
// each notice as a `notice` record right after the record that raised it.
//
// Memory is bounded: at most kMaxTracked client hosts (logon failures), kMaxTracked
// sessions (file changes, anonymous logons) and kMaxTracked client/server pairs (SMB1 in
// use); a full table forgets its least recently used entry (the SMB1 pairs are all
// forgotten at once, so a pair may be reported again). A client's window holds at most
// `failures` events and a session's at most `changes`: a notice empties its window.
// With several workers each worker keeps its own tables: connections of one client that
// land on different workers are counted apart.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "tools/smbaudit/notices/notice_config.h"
#include "tools/smbaudit/record_pipeline.h"

namespace smbaudit {

class NoticeStage : public RecordStage {
public:
    static constexpr size_t kMaxTracked = 4096;
    static constexpr size_t kMaxSamples = 5;  // names a notice quotes

    explicit NoticeStage(const NoticeConfig& config) : m_config(config) {}

    bool OnRecord(AuditRecord& record, RecordPipeline& pipeline) override;
    void AfterWrite(RecordPipeline& pipeline) override;

private:
    struct Event {
        uint32_t sec = 0;
        uint64_t recordId = 0;
        std::u16string name;  // the user of a failed logon, the file of a change
        int what = 0;         // file changes: 0 rename, 1 delete, 2 overwrite
    };
    struct Tracked {
        std::deque<Event> events;
        bool anonymous = false;  // sessions: the logon was anonymous or guest
        uint64_t lastUse = 0;
    };

    NoticeInfo& Raise(NoticeKind kind, const char* severity);
    Tracked& Track(std::unordered_map<std::string, Tracked>& table, const std::string& key);
    void Smb1InUse(const AuditRecord& r);
    void AdminShare(const AuditRecord& r);
    void RpcRequest(const AuditRecord& r);
    void LogonFailure(const AuditRecord& r);
    void FileChange(const AuditRecord& r, int what, const Text& name);
    void SensitivePipe(const AuditRecord& r);

    NoticeConfig m_config;
    std::unordered_map<std::string, Tracked> m_clients;   // by client host
    std::unordered_map<std::string, Tracked> m_sessions;  // by connection and session id
    std::unordered_set<std::string> m_smb1Pairs;          // "client host server host"
    uint64_t m_clock = 0;
    const AuditRecord* m_cause = nullptr;  // the record being processed
    std::vector<std::pair<NoticeKind, NoticeInfo>> m_pending;  // its notices, written after it
};

}  // namespace smbaudit
