#include "tools/smbaudit/notices/notice_stage.h"

#include <algorithm>
#include <cstring>

namespace smbaudit {
namespace {

constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusMoreProcessing = 0xc0000016;  // a logon's intermediate round trip

std::u16string Wide(const Text& t) {
    if (t.isWide) return std::u16string(t.wide);
    return std::u16string(t.narrow.begin(), t.narrow.end());
}

std::u16string Ascii(std::string_view s) { return std::u16string(s.begin(), s.end()); }

// "ip:port" -> "ip"
std::string Host(const std::string& endpoint) { return endpoint.substr(0, endpoint.rfind(':')); }

std::string SessionKey(const AuditRecord& r) {
    std::string key = r.origin ? r.origin->client + ' ' + r.origin->server : std::string();
    if (r.uid) key += " u" + std::to_string(*r.uid);
    if (r.sessionId) key += " s" + std::to_string(*r.sessionId);
    return key;
}

// The last part of a path ("\\server\C$" -> "C$", "\samr" -> "samr"), lower-cased ASCII.
std::u16string LastPart(const Text& t) {
    std::u16string s = Wide(t);
    size_t cut = s.find_last_of(u"\\/");
    if (cut != std::u16string::npos) s.erase(0, cut + 1);
    for (char16_t& c : s) {
        if (c >= 'A' && c <= 'Z') c = char16_t(c - 'A' + 'a');
    }
    return s;
}

bool IsAdminShare(const std::u16string& share) {
    return share == u"admin$" || (share.size() == 2 && share[1] == '$' && share[0] >= 'a' && share[0] <= 'z');
}

bool IsSensitivePipe(const std::u16string& pipe) {
    return pipe == u"samr" || pipe == u"lsarpc" || pipe == u"netlogon" || pipe == u"drsuapi";
}

// " by user NAME" when the record knows its user.
std::u16string ByUser(const Text& user) { return user.known ? u" by user " + Wide(user) : std::u16string(); }

bool Is(const char* a, const char* b) { return a && std::strcmp(a, b) == 0; }

std::u16string StatusText(const std::optional<uint32_t>& status) {
    if (!status) return u"no response seen";
    if (*status == kStatusSuccess) return u"succeeded";
    char code[24];
    std::snprintf(code, sizeof code, "failed, 0x%08x", *status);
    return Ascii(code);
}

}  // namespace

bool NoticeStage::OnRecord(AuditRecord& r, RecordPipeline&) {
    m_cause = &r;
    m_pending.clear();
    switch (r.kind) {
    case RecordKind::Logon:
        if (r.status && *r.status == kStatusSuccess) {
            Smb1InUse(r);
            bool anonymous = Is(r.auth, "anonymous") || Is(r.auth, "guest") || (r.user.known && Wide(r.user).empty());
            if (anonymous) Track(m_sessions, SessionKey(r)).anonymous = true;
        } else if (r.status && *r.status != kStatusMoreProcessing) {
            LogonFailure(r);
        }
        break;
    case RecordKind::Logoff:
        m_sessions.erase(SessionKey(r));
        break;
    case RecordKind::TreeConnect: AdminShare(r); break;
    case RecordKind::Create:
        SensitivePipe(r);
        if (Is(r.createAction, "overwritten") || Is(r.createAction, "superseded")) FileChange(r, 2, r.file);
        break;
    case RecordKind::Rename: FileChange(r, 0, r.oldName); break;
    case RecordKind::Delete: FileChange(r, 1, r.file); break;
    case RecordKind::SetInfo:
        if (Is(r.infoKind, "rename")) FileChange(r, 0, r.file);
        if (Is(r.infoKind, "delete")) FileChange(r, 1, r.file);
        break;
    case RecordKind::Rpc: RpcRequest(r); break;
    default: break;
    }
    return true;
}

void NoticeStage::AfterWrite(RecordPipeline& pipeline) {
    for (const auto& [kind, info] : m_pending) {
        const AuditRecord& cause = *m_cause;
        AuditRecord n;
        n.kind = RecordKind::Notice;
        n.proto = cause.proto;
        n.time = cause.time;
        n.origin = cause.origin;
        n.uid = cause.uid;
        n.sessionId = cause.sessionId;
        n.user = cause.user;
        n.domain = cause.domain;
        n.dialect = cause.dialect;
        n.share = cause.share;
        n.notice = &info;
        ++pipeline.stats().notices[int(kind)];
        pipeline.Write(n);
    }
    m_pending.clear();
}

NoticeInfo& NoticeStage::Raise(NoticeKind kind, const char* severity) {
    NoticeInfo& info = m_pending.emplace_back(kind, NoticeInfo{}).second;
    info.name = NoticeKindName(kind);
    info.severity = severity;
    info.causes.push_back(m_cause->recordId);
    return info;
}

NoticeStage::Tracked& NoticeStage::Track(std::unordered_map<std::string, Tracked>& table, const std::string& key) {
    auto it = table.find(key);
    if (it == table.end()) {
        if (table.size() >= kMaxTracked) {
            table.erase(std::min_element(table.begin(), table.end(), [](const auto& a, const auto& b) {
                return a.second.lastUse < b.second.lastUse;
            }));
        }
        it = table.emplace(key, Tracked{}).first;
    }
    it->second.lastUse = ++m_clock;
    return it->second;
}

void NoticeStage::Smb1InUse(const AuditRecord& r) {
    if (!m_config.On(NoticeKind::Smb1InUse) || r.proto != Proto::Smb1 || !r.origin) return;
    if (m_smb1Pairs.size() >= kMaxTracked) m_smb1Pairs.clear();
    if (!m_smb1Pairs.insert(Host(r.origin->client) + ' ' + Host(r.origin->server)).second) return;
    NoticeInfo& n = Raise(NoticeKind::Smb1InUse, "low");
    n.msg = u"SMB1 session from " + Ascii(Host(r.origin->client)) + u" to " + Ascii(Host(r.origin->server)) +
            u", dialect " + Wide(r.dialect) + (r.user.known ? u", user " + Wide(r.user) : std::u16string());
}

void NoticeStage::AdminShare(const AuditRecord& r) {
    if (!m_config.On(NoticeKind::AdminShare) || !IsAdminShare(LastPart(r.share))) return;
    NoticeInfo& n = Raise(NoticeKind::AdminShare, "medium");
    n.msg = u"tree connect to administrative share " + Wide(r.share) + ByUser(r.user) + u": " + StatusText(r.status);
}

void NoticeStage::RpcRequest(const AuditRecord& r) {
    const RpcCall* call = r.rpc;
    if (!call || !call->complete || !call->operation || !Is(r.direction, "request")) return;
    std::u16string op = Ascii(call->operation);
    if (Is(call->interfaceName, "svcctl") && m_config.On(NoticeKind::RemoteService) &&
        (op.starts_with(u"RCreateService") || op.starts_with(u"RStartService"))) {
        NoticeInfo& n = Raise(NoticeKind::RemoteService, "high");
        n.msg = u"remote service control: " + op + u" service '" + call->serviceName + u"'";
        if (!call->binaryPath.empty()) n.msg += u" binary '" + call->binaryPath + u"'";
    } else if (m_config.On(NoticeKind::RemoteTask) &&
               ((Is(call->interfaceName, "atsvc") && op == u"NetrJobAdd") ||
                (Is(call->interfaceName, "taskschd") && op == u"SchRpcRegisterTask"))) {
        NoticeInfo& n = Raise(NoticeKind::RemoteTask, "high");
        n.msg = u"remote scheduled task: " + op;
        if (!call->command.empty()) n.msg += u" command '" + call->command + u"'";
        if (!call->taskPath.empty()) n.msg += u" task '" + call->taskPath + u"'";
    } else if (m_config.On(NoticeKind::ReplicationRequest) && Is(call->interfaceName, "drsuapi") &&
               op == u"DRSGetNCChanges") {
        NoticeInfo& n = Raise(NoticeKind::ReplicationRequest, "high");
        n.msg = u"directory replication (DRSGetNCChanges) requested by " +
                Ascii(r.origin ? Host(r.origin->client) : std::string());
    }
}

void NoticeStage::LogonFailure(const AuditRecord& r) {
    if (!m_config.On(NoticeKind::LogonFailures) || !r.origin) return;
    const std::string host = Host(r.origin->client);
    Tracked& client = Track(m_clients, host);
    const uint32_t now = r.time.m_sec;
    while (!client.events.empty() && now - client.events.front().sec >= m_config.failureWindow)
        client.events.pop_front();
    client.events.push_back({now, r.recordId, Wide(r.user), 0});
    std::vector<std::u16string> users;
    for (const Event& e : client.events) {
        if (users.size() >= m_config.sprayUsers) break;  // enough for the notice
        if (std::find(users.begin(), users.end(), e.name) == users.end()) users.push_back(e.name);
    }
    const bool spray = users.size() >= m_config.sprayUsers;
    if (!spray && client.events.size() < m_config.failures) return;
    NoticeInfo& n = Raise(NoticeKind::LogonFailures, spray ? "high" : "medium");
    n.msg = Ascii(std::to_string(client.events.size())) + u" failed logons for " + Ascii(std::to_string(users.size())) +
            u" users from " + Ascii(host) + u" within " + Ascii(std::to_string(m_config.failureWindow)) + u"s" +
            (spray ? u": password spraying" : u"");
    n.counts = {{"failures", client.events.size()}, {"users", users.size()}};
    users.resize(std::min(users.size(), kMaxSamples));
    n.samples = std::move(users);
    n.causes.clear();
    for (const Event& e : client.events) n.causes.push_back(e.recordId);
    client.events.clear();
}

void NoticeStage::FileChange(const AuditRecord& r, int what, const Text& name) {
    if (!m_config.On(NoticeKind::MassFileChange) || (r.status && *r.status != kStatusSuccess)) return;
    Tracked& session = Track(m_sessions, SessionKey(r));
    const uint32_t now = r.time.m_sec;
    while (!session.events.empty() && now - session.events.front().sec >= m_config.changeWindow)
        session.events.pop_front();
    session.events.push_back({now, r.recordId, Wide(name), what});
    if (session.events.size() < m_config.changes) return;
    NoticeInfo& n = Raise(NoticeKind::MassFileChange, "high");
    uint64_t counts[3] = {};
    n.causes.clear();
    for (const Event& e : session.events) {
        ++counts[e.what];
        n.causes.push_back(e.recordId);
        if (n.samples.size() < kMaxSamples) n.samples.push_back(e.name);
    }
    n.counts = {{"renames", counts[0]}, {"deletes", counts[1]}, {"overwrites", counts[2]}};
    n.msg = Ascii(std::to_string(session.events.size())) + u" files renamed, deleted or overwritten" + ByUser(r.user) +
            u" within " + Ascii(std::to_string(m_config.changeWindow)) + u"s";
    session.events.clear();
}

void NoticeStage::SensitivePipe(const AuditRecord& r) {
    if (!m_config.On(NoticeKind::SensitivePipeAnonymous) || !r.fileType || std::strncmp(r.fileType, "pipe", 4) != 0)
        return;
    std::u16string pipe = LastPart(r.file);
    if (!IsSensitivePipe(pipe)) return;
    auto session = m_sessions.find(SessionKey(r));
    bool anonymous = (session != m_sessions.end() && session->second.anonymous) || (r.user.known && Wide(r.user).empty());
    if (!anonymous) return;
    NoticeInfo& n = Raise(NoticeKind::SensitivePipeAnonymous, "medium");
    n.msg = u"anonymous session opens pipe " + Wide(r.file) + u": " + StatusText(r.status);
}

}  // namespace smbaudit
