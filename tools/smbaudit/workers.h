// The packet path over several threads (smbaudit --workers N). The connections are shared
// out among N shares, each followed by one thread with its own Sensor (connection table,
// contexts, reassemblers, counters) and its own RecordWriter, which hands records to the
// shared output a block at a time, never taking a shared lock per record.
//
// Every thread reads every frame, decodes it and keeps the segments of its own connections.
// Nothing is handed from thread to thread per packet, so no packet's bytes or decoded
// headers travel between cores, and a connection's segments are handled by one thread in
// capture order. Decoding every frame on every thread costs a few percent of the work on
// small messages, next to nothing on bulk transfers.
//
// Which share follows a connection: the share of a hash of its two endpoints that is the
// same in both directions, unless its handshake shows that share given clearly more
// connections than another; it then goes to the share given the fewest (so that a few large
// transfers spread evenly, where a hash may put 12 of 16 on one share). Each thread keeps
// its own copy of these choices (workers.cc, Assignments); all copies agree, since each
// thread sees the same frames in the same order.
//
// A capture file mapped into memory is read by every thread straight from the mapping
// (FrameSink::Walk). Frames of libpcap's reused buffer (pcapng, standard input) are copied
// into blocks of up to 1 MiB that every thread reads in turn; the reading thread follows
// share 0 itself, so that N workers are N threads. A worker may fall behind by a few
// blocks (kQueueDepth), then the reader waits for it: the copies held stay bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "tools/smbaudit/record_writer.h"
#include "tools/smbaudit/sensor.h"
#include "tools/smbaudit/stats.h"

namespace smbaudit {

// The configuration of share `index` of `workers`: its part of the buffering bound (which
// holds for the whole process) and its own series of record ids.
SensorConfig ShareOf(const SensorConfig& config, size_t workers, size_t index);

class ShardedSensor : public FrameSink {
public:
    // `stats` receives every share's counters at Finish.
    ShardedSensor(const SensorConfig& config, RecordOutput& output, Stats& stats, size_t workers);
    ~ShardedSensor() override;
    ShardedSensor(const ShardedSensor&) = delete;
    ShardedSensor& operator=(const ShardedSensor&) = delete;

    // Copies the frame into the block being filled; a full block goes to every share.
    void Frame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) override;
    size_t Walkers() const override { return m_shares.size(); }
    // Runs `walk` for every share at once, each on its own thread; returns when all have ended.
    void Walk(const WalkFunction& walk) override;
    // Every share's time-outs run, and its records go to the output.
    void Tick(const CTimeStamp32& now) override;
    // Waits for every share to finish its connections, then adds up their counters.
    void Finish() override;

private:
    class Share;
    class Worker;
    struct Block;

    // Posts `job` to the worker of every share but share 0, then runs it for share 0 here.
    void OnEveryShare(const std::function<void(Share&, size_t index)>& job);
    // Hands the block being filled to every share.
    void Publish();
    void WalkBlock(Block& block, Share& share);
    Block* FreeBlock();

    Stats& m_stats;
    std::vector<std::unique_ptr<Share>> m_shares;    // share 0 is followed on the calling thread
    std::vector<std::unique_ptr<Worker>> m_workers;  // the threads of shares 1 to N-1
    std::mutex m_blockLock;                          // guards m_free
    std::vector<std::unique_ptr<Block>> m_blocks;    // every block, owned
    std::vector<Block*> m_free;                      // walked by every share, ready for reuse
    Block* m_filling = nullptr;
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
