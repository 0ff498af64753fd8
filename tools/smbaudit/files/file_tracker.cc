#include "tools/smbaudit/files/file_tracker.h"

#include <cstring>
#include <limits>

#include "tools/smbaudit/files/file_json.h"

namespace smbaudit {

struct FileTracker::Direction {
    Direction(bool written, const FileTrackerConfig& config, HeldBudget& budget)
        : stream(!written, config.maxHeldBytesPerOpen, budget) {}
    ContentStream stream;
    std::unique_ptr<ExtractFile> extract;
    bool extractTried = false;
    CTimeStamp32 first, last;
};

struct FileTracker::Open {
    Proto proto = Proto::Smb1;
    FileId128 id{};
    StoredText file, share, shareServer, user;
    std::string fileType;
    std::optional<uint32_t> uid, tid, treeId;
    std::optional<uint64_t> sessionId;
    std::string client, server;
    CTimeStamp32 since;            // the create, or the first record of an open created unseen
    CTimeStamp32 last;             // its last record or data
    std::optional<uint64_t> eof;   // last known end of file
    OpenTotals totals;
    std::unique_ptr<Direction> read, written;

    void Name(const AuditRecord& r) {
        if (r.file.known) file.Set(r.file);
        if (r.share.known) share.Set(r.share);
        if (r.shareServer.known) shareServer.Set(r.shareServer);
        if (r.user.known) user.Set(r.user);
        if (r.fileType) fileType = r.fileType;
        uid = r.uid ? r.uid : uid;
        tid = r.tid ? r.tid : tid;
        treeId = r.treeId ? r.treeId : treeId;
        sessionId = r.sessionId ? r.sessionId : sessionId;
    }
};

void FileTrackerCounters::Add(const FileTrackerCounters& o) {
    opensUntracked += o.opensUntracked;
    interrupted += o.interrupted;
    hashesComplete += o.hashesComplete;
    hashesPartial += o.hashesPartial;
}

void FileTrackerCounters::Print(std::FILE* out) const {
    std::fprintf(out, "files: %llu hashed whole, %llu hashed partly, %llu opens without close, %llu opens not followed\n",
                 (unsigned long long)hashesComplete, (unsigned long long)hashesPartial,
                 (unsigned long long)interrupted, (unsigned long long)opensUntracked);
}

size_t FileIdHash::operator()(const FileId128& id) const {
    uint64_t a, b;
    std::memcpy(&a, id.data(), 8);
    std::memcpy(&b, id.data() + 8, 8);
    return std::hash<uint64_t>()(a * 0x9E3779B97F4A7C15ull ^ b);
}

std::string ConnectionKey(std::string_view client, std::string_view server) {
    std::string key(client);
    key += ' ';
    key += server;
    return key;
}

std::optional<OpenKey> KeyOf(const AuditRecord& r) {
    if (!r.origin) return std::nullopt;
    OpenKey key;
    if (r.fileId) {
        key.id = *r.fileId;
    } else if (r.fid) {
        key.id[0] = uint8_t(*r.fid);
        key.id[1] = uint8_t(*r.fid >> 8);
    } else {
        return std::nullopt;
    }
    key.connection = ConnectionKey(r.origin->client, r.origin->server);
    return key;
}

FileTracker::FileTracker(const FileTrackerConfig& config) : m_config(config) {
    m_budget.limit = config.maxHeldBytes;
}

FileTracker::~FileTracker() = default;

FileTracker::Open* FileTracker::Find(const OpenKey& key, const AuditRecord* naming) {
    Opens& opens = m_connections[key.connection];
    auto it = opens.find(key.id);
    if (it != opens.end()) return it->second.get();
    if (!naming) {  // data of an open no record named: nothing to say about it
        if (opens.empty()) m_connections.erase(key.connection);
        return nullptr;
    }
    if (m_opens >= m_config.maxOpens) {
        ++m_counters.opensUntracked;
        if (opens.empty()) m_connections.erase(key.connection);
        return nullptr;
    }
    auto open = std::make_unique<Open>();
    open->proto = naming->proto;
    open->id = key.id;
    open->client = naming->origin->client;
    open->server = naming->origin->server;
    open->since = open->last = naming->time;
    ++m_opens;
    return opens.emplace(key.id, std::move(open)).first->second.get();
}

bool FileTracker::OnRecord(AuditRecord& r) {
    const bool io = r.kind == RecordKind::Read || r.kind == RecordKind::Write;
    const bool keep = !(io && m_config.summary);
    if (!io && r.kind != RecordKind::Create && r.kind != RecordKind::Close && r.kind != RecordKind::SetInfo)
        return keep;
    std::optional<OpenKey> key = KeyOf(r);
    if (!key) return keep;
    // A failed create opens nothing; every other record names an open, seen created or not.
    if (r.kind == RecordKind::Create && r.status.value_or(0) != 0) return keep;
    // A file id handed out again while the capture missed the close of its previous open:
    // the new open starts afresh (the old one is counted as ended without close).
    if (r.kind == RecordKind::Create && Find(*key, nullptr)) {
        Erase(*key);
        ++m_counters.interrupted;
    }
    Open* open = Find(*key, &r);
    if (!open) return keep;
    open->Name(r);
    open->last = r.time;
    switch (r.kind) {
    case RecordKind::Create:
        open->since = r.time;
        open->eof = r.fileSize;
        break;
    case RecordKind::SetInfo:
        if (r.infoKind && std::strcmp(r.infoKind, "end_of_file") == 0 && r.fileSize) open->eof = r.fileSize;
        break;
    case RecordKind::Read:
    case RecordKind::Write: {
        const bool written = r.kind == RecordKind::Write;
        const uint64_t len = r.dataLen.value_or(0);
        ++(written ? open->totals.writes : open->totals.reads);
        (written ? open->totals.bytesWritten : open->totals.bytesRead) += len;
        const bool fits = r.offset && *r.offset <= std::numeric_limits<uint64_t>::max() - len;
        if (written && len && fits && (!open->eof || *r.offset + len > *open->eof)) open->eof = *r.offset + len;
        if (r.data && r.offset) Feed(*open, written, *r.offset, r.data, r.dataAvailable, r.time);
        break;
    }
    case RecordKind::Close:
        Close(*open, r, false);
        Erase(*key);
        break;
    default:
        break;
    }
    return keep;
}

void FileTracker::Erase(const OpenKey& key) {
    auto conn = m_connections.find(key.connection);
    if (conn == m_connections.end() || conn->second.erase(key.id) == 0) return;
    --m_opens;
    if (conn->second.empty()) m_connections.erase(conn);
}

void FileTracker::OnData(const OpenKey& key, bool written, uint64_t offset, const uint8_t* data, size_t len,
                         const CTimeStamp32& time) {
    if (Open* open = Find(key, nullptr)) Feed(*open, written, offset, data, len, time);
}

void FileTracker::Feed(Open& open, bool written, uint64_t offset, const uint8_t* data, size_t len,
                       const CTimeStamp32& time) {
    if (!m_config.hashes || len == 0) return;
    std::unique_ptr<Direction>& dir = written ? open.written : open.read;
    if (!dir) {
        dir = std::make_unique<Direction>(written, m_config, m_budget);
        dir->first = time;
    }
    dir->last = open.last = time;
    dir->stream.Add(offset, data, len);
    ExtractStore* store = m_config.extract;
    if (!store || !store->Enabled()) return;
    if (!dir->extractTried) {
        dir->extractTried = true;
        dir->extract = store->Begin();
    }
    store->Write(dir->extract, offset, data, len);
}

void FileTracker::Close(Open& open, AuditRecord& r, bool interrupted) {
    m_totals = open.totals;
    // The close's own report of the size (SMB2 post-query attributes) is the last word.
    m_totals.size = r.fileSize ? r.fileSize : open.eof;
    m_totals.openMicros = r.time.Micros() > open.since.Micros() ? r.time.Micros() - open.since.Micros() : 0;
    // A transfer cut off may have had more to come: its size is not known for sure.
    const std::optional<uint64_t> size = interrupted ? std::nullopt : m_totals.size;
    for (bool written : {false, true}) {
        std::unique_ptr<Direction>& dir = written ? open.written : open.read;
        FileDigest& digest = written ? m_totals.written : m_totals.read;
        if (!dir) continue;
        dir->stream.Finish(digest, size);
        ++(digest.complete ? m_counters.hashesComplete : m_counters.hashesPartial);
        if (!dir->extract) continue;
        Sighting s;
        s.direction = written ? "written" : "read";
        s.file = open.file.View();
        s.share = open.share.View();
        s.shareServer = open.shareServer.View();
        s.user = open.user.View();
        s.client = open.client;
        s.server = open.server;
        s.first = dir->first;
        s.last = dir->last;
        s.size = m_totals.size.value_or(dir->stream.Ranges().empty() ? 0 : dir->stream.Ranges().back().end);
        m_config.extract->Finish(std::move(dir->extract), digest, dir->stream.Ranges(), s);
    }
    r.totals = &m_totals;
}

void FileTracker::EndAll(const std::function<void(AuditRecord&)>& emit) {
    std::unordered_map<std::string, Opens> connections = std::move(m_connections);
    m_connections.clear();
    for (auto& entry : connections) End(entry.second, emit);
}

void FileTracker::EndConnection(std::string_view client, std::string_view server,
                                const std::function<void(AuditRecord&)>& emit) {
    auto it = m_connections.find(ConnectionKey(client, server));
    if (it == m_connections.end()) return;
    Opens opens = std::move(it->second);
    m_connections.erase(it);
    End(opens, emit);
}

void FileTracker::End(Opens& opens, const std::function<void(AuditRecord&)>& emit) {
    for (auto& [id, open] : opens) {
        RecordOrigin origin{open->client, open->server, {}, true};
        AuditRecord r;
        r.proto = open->proto;
        r.kind = RecordKind::Close;
        r.origin = &origin;
        if (open->proto == Proto::Smb1) {
            r.fid = uint32_t(id[0] | id[1] << 8);
        } else {
            r.fileId = id;
        }
        r.file = open->file.View();
        r.share = open->share.View();
        r.shareServer = open->shareServer.View();
        r.user = open->user.View();
        r.fileType = open->fileType.empty() ? nullptr : open->fileType.c_str();
        r.uid = open->uid;
        r.tid = open->tid;
        r.treeId = open->treeId;
        r.sessionId = open->sessionId;
        r.time = origin.time = open->last;
        Close(*open, r, true);
        ++m_counters.interrupted;
        --m_opens;
        emit(r);
    }
}

void FileStage::OnConnectionEnd(const RecordOrigin& origin, RecordPipeline& pipeline) {
    m_tracker.EndConnection(origin.client, origin.server, [&](AuditRecord& r) { pipeline.Write(r); });
}

void FileStage::Finish(RecordPipeline& pipeline, FileTrackerCounters& counters) {
    m_tracker.EndAll([&](AuditRecord& r) { pipeline.Write(r); });
    counters.Add(m_tracker.Counters());
}

}  // namespace smbaudit
