// Stream intake of one SMB2 connection: NetBIOS framing per direction, the choice of what to
// buffer and what to let stream past, resynchronisation, time-outs, and the tables.
#include <algorithm>
#include <new>

#include "framework/netbios.h"
#include "smb2/connection_impl.h"
#include "text/value_string.h"

namespace smbaudit::smb2 {

namespace {
// A buffer that grew beyond this for one big message is handed back once it is drained.
constexpr size_t kKeptBufferBytes = 4096;

bool Streamable(const uint8_t* p) {
    Header h;
    if (!ParseHeader(p, kHeaderSize, h) || h.nextCommand != 0) return false;
    if (h.command == kWrite) return !h.response();
    return h.command == kRead && h.response() && (h.status == kStatusSuccess || h.status == kStatusBufferOverflow);
}
}  // namespace

// How many message bytes must be at hand before the message can be handled; sets d.plan.
// Called again with more bytes until it asks for no more than there are.
size_t Connection::Impl::Decide(const uint8_t* p, size_t have, Direction& d) {
    const size_t msgLen = d.msgLen;
    if (msgLen < 4) {
        d.plan = Plan::NotSmb;
        return msgLen;
    }
    if (have < 4) return 4;
    switch (ProtocolOf(p)) {
        case SmbProtocol::Smb2:
            if (msgLen < kHeaderSize) {
                d.plan = Plan::Whole;  // too short for a header: counted as malformed
                return msgLen;
            }
            if (have < kHeaderSize) return kHeaderSize;
            if (Streamable(p)) {
                const size_t fixed = p[16] & kFlagResponse ? kReadResponseFixed : kWriteRequestFixed;
                if (msgLen > fixed) {
                    d.plan = Plan::Streamed;
                    return fixed;
                }
            }
            if (msgLen > limits.maxMessageBytes) {
                d.plan = Plan::Oversize;
                return 4;
            }
            d.plan = Plan::Whole;
            return msgLen;
        case SmbProtocol::Transform:
            if (decryptor && msgLen <= limits.maxTransformBytes) {
                d.plan = Plan::Decrypt;
                return msgLen;
            }
            d.plan = Plan::TransformHeader;
            return std::min(msgLen, kTransformHeaderSize);
        case SmbProtocol::Compressed:
            d.plan = Plan::Compressed;
            return 4;
        default:
            d.plan = Plan::NotSmb;
            return 4;
    }
}

// Handles the first n bytes of the current message of a direction (n as Decide asked).
void Connection::Impl::Act(bool fromClient, const uint8_t* p, size_t n, const CTimeStamp32& time) {
    Direction& d = dirs[fromClient];
    switch (d.plan) {
        case Plan::Whole: AnalyseMessage(p, n, time, fromClient, false, false, false); break;
        case Plan::Streamed: AnalyseMessage(p, n, time, fromClient, false, false, true); break;
        case Plan::Oversize: ++counters.oversize; break;
        case Plan::TransformHeader: OnTransform(p, n, d.msgLen, time, fromClient); break;
        case Plan::Decrypt: OnTransform(p, n, d.msgLen, time, fromClient); break;
        case Plan::Compressed:
            ++counters.compressedPdus;
            counters.compressedBytes += d.msgLen;
            break;
        case Plan::NotSmb: ++counters.notSmb; break;
    }
}

void Connection::Impl::FeedDirection(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time) {
    Direction& d = dirs[fromClient];
    d.last = time;
    // Each phase returns when it needs bytes the chunk does not have.
    for (;;) {
        switch (d.phase) {
            case Phase::Lost: {
                // A header cut by the chunk's end is missed; the next one is found.
                size_t at = FindMessageStart(data, len, false);
                counters.bytesSkipped += at;
                data += at;
                len -= at;
                if (len == 0) return;
                d.phase = Phase::NetBios;
                break;
            }
            case Phase::NetBios: {
                if (len == 0) return;
                const uint8_t* h = data;
                if (!d.buf.empty() || len < 4) {
                    size_t n = std::min(len, 4 - d.buf.size());
                    d.buf.insert(d.buf.end(), data, data + n);
                    data += n;
                    len -= n;
                    if (d.buf.size() < 4) return;
                    h = d.buf.data();
                } else {
                    data += 4;
                    len -= 4;
                }
                d.msgLen = NetbiosLength(h, false);
                d.pos = 0;
                // Only session messages (type 0) carry SMB; the rest (keep-alives) is skipped.
                d.phase = h[0] == 0 ? Phase::Body : Phase::Skip;
                if (h[0] != 0 && h[0] != 0x85) ++counters.notSmb;
                d.buf.clear();
                if (d.msgLen == 0) d.phase = Phase::NetBios;
                break;
            }
            case Phase::Body: {
                const bool inPlace = d.buf.empty();
                const uint8_t* p = inPlace ? data : d.buf.data();
                const size_t have = inPlace ? std::min<size_t>(len, d.msgLen) : d.buf.size();
                const size_t need = Decide(p, have, d);
                if (have < need) {
                    if (len == 0) return;
                    // A transform to decrypt is held whole: its room is taken at once
                    // (at most Limits::maxTransformBytes) rather than doubled as it comes.
                    if (d.plan == Plan::Decrypt) d.buf.reserve(need);
                    size_t n = inPlace ? len : std::min(len, need - have);
                    d.buf.insert(d.buf.end(), data, data + n);
                    data += n;
                    len -= n;
                    break;
                }
                if (inPlace) {
                    data += need;
                    len -= need;
                }
                // Kept bytes beyond what the plan needs (an oversize message's header) are
                // consumed all the same.
                d.pos = uint32_t(inPlace ? need : have);
                Act(fromClient, p, need, time);
                if (d.buf.capacity() > kKeptBufferBytes && d.plan != Plan::Decrypt)
                    std::vector<uint8_t>().swap(d.buf);
                else
                    d.buf.clear();
                d.phase = d.pos == d.msgLen ? Phase::NetBios : d.data.active ? Phase::Stream : Phase::Skip;
                break;
            }
            case Phase::Skip:
            case Phase::Stream: {
                if (len == 0) return;
                size_t n = std::min<size_t>(len, d.msgLen - d.pos);
                if (d.phase == Phase::Stream) DeliverData(d, data, n, d.pos);
                d.pos += uint32_t(n);
                data += n;
                len -= n;
                if (d.pos == d.msgLen) {
                    EndData(d);
                    d.phase = Phase::NetBios;
                }
                break;
            }
        }
    }
}

void Connection::Impl::DeliverData(Direction& d, const uint8_t* p, size_t n, uint64_t pos) {
    DataStream& s = d.data;
    if (!s.active) return;
    uint64_t from = std::max(pos, s.begin), to = std::min<uint64_t>(pos + n, s.end);
    if (from >= to) return;
    const uint8_t* q = p + (from - pos);
    size_t len = size_t(to - from);
    if (s.pipe) {
        size_t room = limits.maxPipeDataBytes - std::min(limits.maxPipeDataBytes, s.pipeData.size());
        s.pipeData.insert(s.pipeData.end(), q, q + std::min(room, len));
    } else {
        if (s.openStamp != opensErased) {
            s.open = FindOpen(s.ev.fileId);
            s.openStamp = opensErased;
        }
        if (s.open) sink.OnFileData(*s.open, s.ev.fromClient, s.fileOffset + (from - s.begin), q, len);
    }
    s.total += len;
}

void Connection::Impl::EndData(Direction& d) {
    DataStream& s = d.data;
    if (!s.active) return;
    s.active = false;
    if (s.pipe) {
        s.ev.session = FindSession(s.ev.sessionId);
        s.ev.tree = FindTree(s.ev.sessionId, s.ev.treeId);
        s.ev.open = FindOpen(s.ev.fileId);
        if (s.ev.open) s.ev.name = s.ev.open->name;
        sink.OnPipeData(s.ev, s.pipeData.data(), s.pipeData.size(), s.total);
    }
    if (s.pipeData.capacity() > kKeptBufferBytes)
        std::vector<uint8_t>().swap(s.pipeData);
    else
        s.pipeData.clear();
}

void Connection::Impl::BeginData(const Message& m, const Pending& p, const Event& ev, uint64_t offset, uint64_t length) {
    DataStream& s = dirs[m.fromClient].data;
    s.active = true;
    s.pipe = IsPipe(FindOpen(p.fileId), FindTree(p.sessionId, p.treeId));
    s.begin = offset;
    s.end = offset + length;
    s.fileOffset = p.offset;
    s.ev = ev;
    s.ev.name = {};
    s.ev.session = nullptr;
    s.ev.tree = nullptr;
    s.ev.open = nullptr;
    s.open = FindOpen(p.fileId);
    s.openStamp = opensErased;
    s.total = 0;
    s.pipeData.clear();
    if (!m.streamed) {
        DeliverData(dirs[m.fromClient], m.msg, m.len, 0);
        EndData(dirs[m.fromClient]);
    }
}

void Connection::Impl::Reset() {
    for (Direction& d : dirs) d = Direction{};
    for (Direction& d : dirs) d.phase = Phase::Lost;
    sessions.clear();
    trees.clear();
    opens.clear();
    resumeKeys.clear();
    pending.clear();
    ++opensErased;
}

Session* Connection::Impl::FindSession(uint64_t id) {
    auto it = sessions.find(id);
    return it == sessions.end() ? nullptr : &it->second;
}

Session& Connection::Impl::GetSession(uint64_t id, const CTimeStamp32& time) {
    if (Session* s = FindSession(id)) return *s;
    Session& s = Insert(sessions, id, limits.maxSessions);
    s.id = id;
    s.dialect = negotiated.dialect;
    s.start = time;
    if (directory) directory->Find(id, s.identity);
    return s;
}

Tree* Connection::Impl::FindTree(uint64_t sessionId, uint32_t treeId) {
    auto it = trees.find({sessionId, treeId});
    return it == trees.end() ? nullptr : &it->second;
}

Open* Connection::Impl::FindOpen(const FileId& id) {
    auto it = opens.find(id);
    return it == opens.end() ? nullptr : &it->second;
}

// The record of `key`, made when missing; a full table first gives up one record.
template <class Map, class Key>
typename Map::mapped_type& Connection::Impl::Insert(Map& map, const Key& key, size_t limit) {
    auto it = map.find(key);
    if (it != map.end()) return it->second;
    if (map.size() >= limit && !map.empty()) {
        ++counters.tableFull;
        map.erase(map.begin());
        ++opensErased;
    }
    return map[key];
}
template Session& Connection::Impl::Insert(std::unordered_map<uint64_t, Session>&, const uint64_t&, size_t);
template Tree& Connection::Impl::Insert(std::map<std::pair<uint64_t, uint32_t>, Tree>&, const std::pair<uint64_t, uint32_t>&,
                                        size_t);
template Open& Connection::Impl::Insert(std::map<FileId, Open>&, const FileId&, size_t);
template FileId& Connection::Impl::Insert(std::map<ResumeKey, FileId>&, const ResumeKey&, size_t);

void Connection::Impl::EraseOpen(const FileId& id) {
    opens.erase(id);
    ++opensErased;
}

bool Connection::Impl::IsPipe(const Open* open, const Tree* tree) const {
    return open ? open->pipe : tree && tree->pipe();
}

std::u16string Connection::Impl::Name(Span s) {
    size_t n = s.size;
    if (n > limits.maxNameBytes) {
        ++counters.namesCut;
        n = limits.maxNameBytes;
    }
    return ReadUtf16(s.data, n);
}

Event Connection::Impl::MakeEvent(EventKind kind, const Pending& p, const Message* m) {
    Event ev;
    ev.kind = kind;
    ev.command = p.command;
    ev.messageId = p.messageId;
    ev.sessionId = p.sessionId;
    ev.treeId = p.treeId;
    ev.fileId = p.fileId;
    ev.requestTime = p.time;
    ev.encrypted = p.encrypted;
    ev.decrypted = p.decrypted;
    if (m) {
        ev.status = m->h.status;
        ev.responseTime = m->time;
        ev.encrypted |= m->encrypted;
        ev.decrypted |= m->decrypted;
        ev.fromClient = m->fromClient;
    }
    return ev;
}

void Connection::Impl::Emit(Event& ev) {
    ev.session = FindSession(ev.sessionId);
    ev.tree = FindTree(ev.sessionId, ev.treeId);
    if (!ev.open) ev.open = FindOpen(ev.fileId);
    sink.OnEvent(ev);
}

FileId Connection::Impl::ChainFileId(const FileId& id, bool fromClient) {
    Chain& ch = chain[fromClient];
    if (!IsAllOnes(id)) ch.fileId = id;
    return ch.fileId;
}

Connection::Connection(Sink& sink, const Limits& limits) : m_impl(std::make_unique<Impl>(sink, limits)) {}
Connection::~Connection() = default;

void Connection::Feed(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time, bool resync) {
    Impl& c = *m_impl;
    try {
        if (resync) {
            Impl::Direction& d = c.dirs[fromClient];
            c.EndData(d);
            d.buf.clear();
            d.phase = Impl::Phase::Lost;
            ++c.counters.resyncs;
        }
        c.FeedDirection(fromClient, data, len, time);
    } catch (const std::bad_alloc&) {
        // Drop everything the connection held and pick up again at the next message start.
        ++c.counters.allocationFailures;
        c.Reset();
    }
}

void Connection::CheckTimeOut(const CTimeStamp32& now) {
    Impl& c = *m_impl;
    const CTimeStamp32 span(c.limits.pendingTimeOutSeconds, 0);
    try {
        for (auto it = c.pending.begin(); it != c.pending.end();) {
            if (it->second.time && CTimeStamp32::IsTimeOut(now, *it->second.time, span)) {
                Pending p = std::move(it->second);
                it = c.pending.erase(it);
                c.Expire(p);
            } else {
                ++it;
            }
        }
        for (Impl::Direction& d : c.dirs)
            if (d.buf.empty() && CTimeStamp32::IsTimeOut(now, d.last, span)) {
                std::vector<uint8_t>().swap(d.buf);
                std::vector<uint8_t>().swap(d.plain);
            }
    } catch (const std::bad_alloc&) {
        ++c.counters.allocationFailures;
        c.Reset();
    }
}

size_t Connection::BufferedBytes() const {
    const Impl& c = *m_impl;
    size_t n = 0;
    for (const Impl::Direction& d : c.dirs) n += d.buf.capacity() + d.plain.capacity() + d.data.pipeData.capacity();
    n += c.sessions.size() * sizeof(Session) + c.trees.size() * sizeof(Tree) + c.opens.size() * sizeof(Open) +
         c.pending.size() * sizeof(Pending);
    return n;
}

const Counters& Connection::counters() const { return m_impl->counters; }
const Negotiated& Connection::negotiated() const { return m_impl->negotiated; }
void Connection::SetDecryptor(Decryptor* decryptor) { m_impl->decryptor = decryptor; }
void Connection::SetSessionDirectory(SessionDirectory* directory) { m_impl->directory = directory; }

void SessionDirectory::Publish(uint64_t sessionId, const Identity& identity) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_entries.size() >= m_maxEntries && !m_entries.count(sessionId)) m_entries.erase(m_entries.begin());
    m_entries[sessionId] = identity;
}

void SessionDirectory::Remove(uint64_t sessionId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.erase(sessionId);
}

bool SessionDirectory::Find(uint64_t sessionId, Identity& identity) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(sessionId);
    if (it == m_entries.end()) return false;
    identity = it->second;
    return true;
}

}  // namespace smbaudit::smb2
