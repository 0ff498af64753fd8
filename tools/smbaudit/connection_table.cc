#include "tools/smbaudit/connection_table.h"

#include <algorithm>
#include <cstring>

namespace smbaudit {
namespace {

void HashBytes(uint64_t& h, const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) {
        h ^= b[i];
        h *= 0x100000001b3ULL;  // FNV-1a
    }
}

void HashEndpoint(uint64_t& h, const Endpoint& ep) {
    HashBytes(h, &ep.ip.version, 1);
    HashBytes(h, ep.ip.bytes.data(), ep.ip.version == 6 ? 16 : 4);
    HashBytes(h, &ep.port, sizeof ep.port);
}

// The library stores the 12 bytes and reads only the server port, which chooses the
// NetBIOS length rule: 445 for SMB directly over TCP, anything else for the session
// service. IPv6 addresses do not fit; the connection's own record keeps them.
_addrInfo MakeAddrInfo(const FlowKey& key, bool directTcp) {
    _addrInfo addr;
    if (key.client.ip.version == 4) {
        std::memcpy(&addr.m_clientIp, key.client.ip.bytes.data(), 4);
        std::memcpy(&addr.m_serverIp, key.server.ip.bytes.data(), 4);
    }
    addr.m_clientPort = key.client.port;
    addr.m_serverPort = directTcp ? 445 : (key.server.port == 445 ? 139 : key.server.port);
    return addr;
}

}  // namespace

size_t FlowKeyHash::operator()(const FlowKey& key) const {
    uint64_t h = 0xcbf29ce484222325ULL;
    HashEndpoint(h, key.client);
    HashEndpoint(h, key.server);
    return size_t(h);
}

size_t UnorderedFlowHash(const Endpoint& a, const Endpoint& b) {
    // Whole words rather than bytes: the worker path hashes every frame. Unused address
    // bytes (IPv4's last 12) are zero.
    auto words = [](const Endpoint& ep) {
        uint64_t lo, hi;
        std::memcpy(&lo, ep.ip.bytes.data(), 8);
        std::memcpy(&hi, ep.ip.bytes.data() + 8, 8);
        return lo * 0x9e3779b97f4a7c15ULL ^ hi * 0xc2b2ae3d27d4eb4fULL ^
               (uint64_t(ep.port) << 8 | ep.ip.version) * 0x165667b19e3779f9ULL;
    };
    // The sum does not depend on the order; the final mix spreads it over all bits, since
    // the caller takes it modulo a small worker count.
    uint64_t h = words(a) + words(b);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return size_t(h);
}

namespace {

// The span of Proccess result codes the router counts.
constexpr int kFirstResult = -16, kEndResult = 16;

// The SMB2 analyser's bounds, from the same options as the SMB1 context's.
smb2::Limits Smb2Limits(const ConnectionSettings& settings) {
    smb2::Limits limits;
    const SMBContextOptions& o = settings.contextOptions;
    if (o.maxMessageBytes) limits.maxMessageBytes = o.maxMessageBytes;
    limits.maxPendingRequests = o.maxPendingRequests ? o.maxPendingRequests : SIZE_MAX;
    limits.pendingTimeOutSeconds = settings.pendingTimeout;
    return limits;
}

}  // namespace

Connection::Connection(const FlowKey& key, bool directTcp, const ConnectionSettings& settings,
                       RecordPipeline& pipeline, Stats& stats)
    : m_stats(stats),
      m_sink(pipeline, m_origin),
      m_smb2Sink(pipeline, m_origin),
      m_decryptor(settings.decryption ? settings.decryption->NewConnection() : nullptr),
      m_stream(&m_sink, MakeAddrInfo(key, directTcp), m_smb2Sink, Smb2Limits(settings)),
      m_toServer([this](const uint8_t* d, size_t n, bool resync) { Feed(true, d, n, resync); }, settings.reassembly),
      m_toClient([this](const uint8_t* d, size_t n, bool resync) { Feed(false, d, n, resync); }, settings.reassembly) {
    m_origin.client = FormatEndpoint(key.client);
    m_origin.server = FormatEndpoint(key.server);
    m_stream.Smb1().SetPendingTimeOut(settings.pendingTimeout);
    m_stream.Smb1().SetOptions(settings.contextOptions);
    if (m_decryptor) m_stream.SetDecryptor(m_decryptor.get());
    if (settings.sessions) m_stream.SetSessionDirectory(settings.sessions);
}

void Connection::Segment(bool fromClient, const TcpSegment& seg, const CTimeStamp32& time) {
    m_now = time;
    m_lastSeen = time;
    TcpReassembler& dir = fromClient ? m_toServer : m_toClient;
    TcpReassembler& peer = fromClient ? m_toClient : m_toServer;
    uint32_t seq = seg.seq;
    if (seg.flags & kTcpSyn) {
        dir.Syn(seg.seq);
        if (fromClient && !(seg.flags & kTcpAck)) {
            m_haveClientIsn = true;
            m_clientIsn = seg.seq;
        }
        ++seq;  // a SYN occupies one sequence number before its payload
    }
    if (seg.payloadLen) dir.Data(seq, seg.payload, seg.payloadLen);
    if (seg.flags & kTcpAck) peer.PeerAck(seg.ack);
    if (seg.flags & kTcpFin) (fromClient ? m_finFromClient : m_finFromServer) = true;
}

void Connection::Feed(bool fromClient, const uint8_t* data, size_t len, bool resync) {
    m_origin.fromClient = fromClient;
    m_origin.time = m_now;
    m_stream.Feed(fromClient, data, len, m_now, resync);
    // The message count is live (progress and tests read it while connections run).
    const uint64_t messages = Messages();
    m_stats.smbMessages += messages - m_messages;
    m_messages = messages;
}

uint64_t Connection::Messages() const {
    uint64_t n = m_stream.Smb2() ? m_stream.Smb2()->counters().messages : 0;
    for (int rc = kFirstResult; rc < kEndResult; ++rc) {
        if (rc != SMB_RET_NEED_DATA) n += m_stream.Smb1Results(rc);
    }
    return n;
}

void Connection::CheckTimeOut(const CTimeStamp32& now) {
    m_stream.CheckTimeOut(now);
}

void Connection::Flush() {
    m_toServer.Flush();
    m_toClient.Flush();
}

void Connection::Shed() {
    m_toServer.Discard();
    m_toClient.Discard();
    // An empty chunk flagged "bytes lost before" drops what the direction keeps. The router
    // passes that on to the SMB1 context only with the next SMB1 bytes, so the context is
    // told at once: its buffers count now.
    for (bool fromClient : {true, false}) {
        m_stream.Smb1().Proccess(nullptr, 0, fromClient, 0, m_now, true);
        m_stream.Feed(fromClient, nullptr, 0, m_now, true);
    }
}

bool Connection::IsNewHandshake(uint32_t clientIsn) const {
    return m_haveClientIsn ? clientIsn != m_clientIsn : m_toServer.Started();
}

size_t Connection::Footprint() const {
    return m_stream.BufferedBytes() + m_toServer.Footprint() + m_toClient.Footprint();
}

void Connection::AddCounters(Stats& stats) const {
    stats.AddReassembly(m_toServer.Counters());
    stats.AddReassembly(m_toClient.Counters());
    stats.oversizeDrops += m_stream.Smb1().Counters().oversizeDrops;
    stats.pendingEvicted += m_stream.Smb1().Counters().pendingEvicted;
    for (int rc = kFirstResult; rc < kEndResult; ++rc) {
        if (const uint64_t n = m_stream.Smb1Results(rc)) stats.results[rc] += n;
    }
    if (const smb2::Connection* smb2 = m_stream.Smb2())
        smb2->counters().ForEach([&](const char* name, uint64_t n) { stats.smb2[name] += n; });
}

Connection* ConnectionTable::Find(const FlowKey& key) {
    auto it = m_connections.find(key);
    return it == m_connections.end() ? nullptr : it->second.get();
}

Connection& ConnectionTable::Open(const FlowKey& key, bool directTcp) {
    auto conn = std::make_unique<Connection>(key, directTcp, m_settings, m_pipeline, m_stats);
    Connection& ref = *conn;
    m_connections[key] = std::move(conn);
    ++m_stats.connections;
    return ref;
}

void ConnectionTable::Close(const FlowKey& key, CloseReason reason) {
    auto it = m_connections.find(key);
    if (it == m_connections.end()) return;
    Connection& conn = *it->second;
    conn.Flush();
    m_pipeline.ConnectionEnd(conn.Origin());
    conn.AddCounters(m_stats);
    m_bufferedBytes -= conn.accounted;
    switch (reason) {
    case CloseReason::Fin: ++m_stats.connectionsClosedFin; break;
    case CloseReason::Rst: ++m_stats.connectionsClosedRst; break;
    case CloseReason::Idle: ++m_stats.connectionsIdle; break;
    case CloseReason::Reused: break;
    case CloseReason::EndOfInput: ++m_stats.connectionsAtEnd; break;
    }
    m_connections.erase(it);
}

void ConnectionTable::Sweep(const CTimeStamp32& now, uint32_t idleSeconds) {
    std::vector<FlowKey> idle;
    for (auto& [key, conn] : m_connections) {
        conn->CheckTimeOut(now);
        if (now.Micros() > conn->LastSeen().Micros() + uint64_t(idleSeconds) * 1000000u) idle.push_back(key);
    }
    for (const FlowKey& key : idle) Close(key, CloseReason::Idle);
}

void ConnectionTable::CloseAll() {
    while (!m_connections.empty()) Close(m_connections.begin()->first, CloseReason::EndOfInput);
}

void ConnectionTable::Account(Connection& conn) {
    size_t now = conn.Footprint();
    m_bufferedBytes += now - conn.accounted;
    conn.accounted = now;
    if (m_settings.maxBufferedBytes && m_bufferedBytes > m_settings.maxBufferedBytes) ShedLargest();
}

void ConnectionTable::ShedLargest() {
    // Down to three quarters of the bound, so that a table at its bound does not scan all
    // its connections on every packet. Biggest first: a flood of large partial messages
    // pays, not the small exchanges beside it.
    const size_t target = m_settings.maxBufferedBytes / 4 * 3;
    std::vector<Connection*> order;
    order.reserve(m_connections.size());
    for (auto& [key, conn] : m_connections) order.push_back(conn.get());
    std::sort(order.begin(), order.end(), [](const Connection* a, const Connection* b) {
        return a->accounted > b->accounted;
    });
    for (Connection* conn : order) {
        if (m_bufferedBytes <= target || conn->accounted == 0) break;
        conn->Shed();
        ++m_stats.bufferSheds;
        size_t now = conn->Footprint();
        m_bufferedBytes -= conn->accounted - now;
        conn->accounted = now;
    }
}

}  // namespace smbaudit
