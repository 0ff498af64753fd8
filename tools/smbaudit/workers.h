// The packet path over several threads (smbaudit --workers N). The reading thread decodes
// each frame and picks the share of the connections it belongs to: a connection whose
// handshake it sees goes to the share that has been given the fewest so far (so that a few
// large transfers spread evenly, where a hash may put 12 of 16 on one share; the reading
// thread's own share counts each for 5/4, since that thread also decodes every frame), the
// others by a hash of the two endpoints that is the same in both directions. Share 0 is followed on the reading thread
// itself; shares 1 to N-1 each by a worker thread the segment is handed to, so that N
// workers are N threads, not a reader and N workers competing for N cores. Each share runs
// its own Sensor (connection table, contexts, reassemblers, counters), so a connection's
// segments are handled by one thread in capture order. Each share collects its records in
// its own RecordWriter and hands them to the shared output a block at a time, never taking
// a shared lock per record.
//
// Segments travel in batches over a short bounded queue per worker: a worker that falls
// behind holds the reader back instead of letting memory grow. A segment of a capture file
// mapped into memory travels as a pointer into the mapping; one of libpcap's reused frame
// buffer (pcapng, standard input) has its payload copied into the batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "tools/smbaudit/record_writer.h"
#include "tools/smbaudit/sensor.h"
#include "tools/smbaudit/stats.h"

namespace smbaudit {

// The configuration of share `index` of `workers`: its part of the buffering bound (which
// holds for the whole process) and its own series of record ids.
SensorConfig ShareOf(const SensorConfig& config, size_t workers, size_t index);

// The worker, out of `workers`, that follows the connection of `seg`.
size_t WorkerOf(const TcpSegment& seg, size_t workers);

class ShardedSensor : public FrameSink {
public:
    // `stats` receives the reader's counters as frames arrive and every worker's at Finish.
    ShardedSensor(const SensorConfig& config, RecordOutput& output, Stats& stats, size_t workers);
    ~ShardedSensor() override;
    ShardedSensor(const ShardedSensor&) = delete;
    ShardedSensor& operator=(const ShardedSensor&) = delete;

    void Frame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) override;
    // The segment's payload is handed over in place, not copied into the batch.
    void StableFrame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) override;
    void Drain() override;
    // Also hands every partly filled batch over, so that live traffic is not held back.
    void Tick(const CTimeStamp32& now) override;
    // Waits for every worker to finish its queue and its connections, then adds the
    // workers' counters.
    void Finish() override;

private:
    struct Batch;
    class Worker;

    void Dispatch(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen, bool copy);
    size_t ShareOfSegment(const TcpSegment& seg, const CTimeStamp32& time);
    void TickAll(const CTimeStamp32& now);

    Stats& m_stats;
    KerberosHints* m_kerberosHints;
    // Share 0, on the reading thread.
    Stats m_ownStats;
    RecordWriter m_ownWriter;
    Sensor m_own;
    std::vector<std::unique_ptr<Worker>> m_workers;  // shares 1 to N-1
    // Shares given at a client's SYN; an entry goes once its connection has been quiet
    // longer than the idle time-out (its share has dropped the connection by then).
    struct Assigned {
        size_t share;
        uint32_t lastSec;
    };
    struct EitherWayHash {
        size_t operator()(const FlowKey& k) const { return UnorderedFlowHash(k.client, k.server); }
    };
    struct EitherWayEqual {
        bool operator()(const FlowKey& a, const FlowKey& b) const {
            return a == b || (a.client == b.server && a.server == b.client);
        }
    };
    std::unordered_map<FlowKey, Assigned, EitherWayHash, EitherWayEqual> m_assigned;
    std::vector<uint64_t> m_given;  // connections given to each share so far
    uint32_t m_idleTimeout;
    uint32_t m_lastExpirySec = 0;
    uint32_t m_lastTickSec = 0;
    bool m_finished = false;
};

// The sensors of a live capture: one per capture thread (pcap_source's CaptureLive, with
// kernel fan-out from two on), each with its own connections, counters and record writer.
// Nothing is shared between the threads but the output, taken once per round of packets.
class LiveSensors {
public:
    LiveSensors(const SensorConfig& config, RecordOutput& output, size_t count);
    ~LiveSensors();
    std::vector<FrameSink*> Sinks();
    // On capture thread `worker` after each round of packets: its records go to the output
    // (a consumer waits on each), and its counters are published for Snapshot.
    void Idle(size_t worker, const CaptureCounters& capture);
    // Every thread's published counters, added up.
    Stats Snapshot(CaptureCounters& capture);
    // Once the capture threads have ended: finishes every sensor and adds its counters.
    void Finish(Stats& total, CaptureCounters& capture);

private:
    struct One;
    std::vector<std::unique_ptr<One>> m_sensors;
};

}  // namespace smbaudit
