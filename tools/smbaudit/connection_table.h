// The connections being followed: one SmbStream (the SMB1 context and, once the connection
// speaks it, the SMB2/3 analyser) and two reassemblers each, keyed by the client and server
// endpoints. Everything a connection holds lives in its Connection, so
// that a table can be given to one worker and connections sharded between tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "router/smb_stream.h"
#include "tools/smbaudit/decryption.h"
#include "tools/smbaudit/record_pipeline.h"
#include "tools/smbaudit/smb1_records.h"
#include "tools/smbaudit/smb2_records.h"
#include "tools/smbaudit/packet_decode.h"
#include "tools/smbaudit/stats.h"
#include "tools/smbaudit/tcp_reassembly.h"

namespace smbaudit {

struct FlowKey {
    Endpoint client;
    Endpoint server;
    bool operator==(const FlowKey&) const = default;
};

struct FlowKeyHash {
    size_t operator()(const FlowKey& key) const;
};

// A hash of a connection's two endpoints that is the same for both directions: it picks
// the worker a connection belongs to.
size_t UnorderedFlowHash(const Endpoint& a, const Endpoint& b);

// What every new connection is set up with.
struct ConnectionSettings {
    uint32_t pendingTimeout = 60;  // seconds a request waits for its response
    SMBContextOptions contextOptions;
    ReassemblyLimits reassembly;
    // Bytes all the connections of a table may buffer together (stream buffers and
    // out-of-order segments); 0: no bound. Beyond it, the connections holding the most drop
    // what they buffer and resynchronise.
    size_t maxBufferedBytes = 0;
    // Key material for encrypted SMB3 sessions, shared by all connections: each takes a
    // decryptor of it (Decryption::NewConnection). Null: no decryption.
    Decryption* decryption = nullptr;
    // The SMB2 sessions of all connections and workers, so that a channel bound to a session
    // set up on another connection (multichannel) names its user. Null: each connection alone.
    smb2::SessionDirectory* sessions = nullptr;
};

enum class CloseReason { Fin, Rst, Idle, Reused, EndOfInput };

class Connection {
public:
    // `directTcp`: SMB directly over TCP (the 24-bit length of port 445) rather than the
    // NetBIOS session service (port 139).
    Connection(const FlowKey& key, bool directTcp, const ConnectionSettings& settings, RecordPipeline& pipeline,
               Stats& stats);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // One segment of this connection; `fromClient` tells its direction.
    void Segment(bool fromClient, const TcpSegment& seg, const CTimeStamp32& time);
    // Passes the pending-request time-out check to the context.
    void CheckTimeOut(const CTimeStamp32& now);
    // Delivers what the reassemblers still hold; called before the connection goes.
    void Flush();
    // Drops everything the connection buffers, in both directions: the reassemblers' held
    // segments and the context's partial messages. Each direction resynchronises.
    void Shed();

    // A SYN from the client that does not repeat the handshake already seen starts a new
    // connection on the same endpoints.
    bool IsNewHandshake(uint32_t clientIsn) const;
    bool BothFinished() const { return m_finFromClient && m_finFromServer; }
    const CTimeStamp32& LastSeen() const { return m_lastSeen; }
    const RecordOrigin& Origin() const { return m_origin; }
    // Bytes held by the context's stream buffers and the reassemblers.
    size_t Footprint() const;
    size_t accounted = 0;  // the footprint last added to the table's total

    // Adds what the connection counted to `stats` (once, when it goes).
    void AddCounters(Stats& stats) const;

private:
    void Feed(bool fromClient, const uint8_t* data, size_t len, bool resync);
    // SMB1 results other than "more data needed" and SMB2 messages, so far.
    uint64_t Messages() const;

    Stats& m_stats;
    uint64_t m_messages = 0;  // Messages() last added to m_stats
    RecordOrigin m_origin;
    Smb1RecordSink m_sink;
    Smb2RecordSink m_smb2Sink;
    std::unique_ptr<smb2::Decryptor> m_decryptor;  // outlives the stream that uses it
    SmbStream m_stream;
    TcpReassembler m_toServer;
    TcpReassembler m_toClient;
    CTimeStamp32 m_now;
    CTimeStamp32 m_lastSeen;
    bool m_finFromClient = false;
    bool m_finFromServer = false;
    bool m_haveClientIsn = false;
    uint32_t m_clientIsn = 0;
};

class ConnectionTable {
public:
    ConnectionTable(const ConnectionSettings& settings, RecordPipeline& pipeline, Stats& stats)
        : m_settings(settings), m_pipeline(pipeline), m_stats(stats) {}
    ~ConnectionTable() { CloseAll(); }

    Connection* Find(const FlowKey& key);
    Connection& Open(const FlowKey& key, bool directTcp);
    void Close(const FlowKey& key, CloseReason reason);
    // Runs the pending-request time-out on every context and closes the connections idle
    // for longer than `idleSeconds`.
    void Sweep(const CTimeStamp32& now, uint32_t idleSeconds);
    void CloseAll();

    // Re-reads a connection's footprint after it was fed, and keeps the total within
    // maxBufferedBytes by shedding the connections that buffer the most.
    void Account(Connection& conn);
    size_t BufferedBytes() const { return m_bufferedBytes; }
    size_t Size() const { return m_connections.size(); }

private:
    void ShedLargest();

    const ConnectionSettings& m_settings;
    RecordPipeline& m_pipeline;
    Stats& m_stats;
    std::unordered_map<FlowKey, std::unique_ptr<Connection>, FlowKeyHash> m_connections;
    size_t m_bufferedBytes = 0;
};

}  // namespace smbaudit
