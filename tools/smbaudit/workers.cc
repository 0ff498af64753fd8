#include "tools/smbaudit/workers.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>
#include <unordered_map>

namespace smbaudit {
namespace {
// A block of copied frames goes to the shares when it holds this many frames or bytes:
// large enough that handing it over costs little per frame, small enough to stay in cache.
constexpr size_t kBlockFrames = 4096;
constexpr size_t kBlockBytes = 1 << 20;
// Jobs (blocks) a worker may have waiting before the reader waits for it.
constexpr size_t kQueueDepth = 4;
// Handshakes, and placed connections, each share remembers at most (about 90 bytes each:
// 48 MiB at most); beyond, new connections go by the hash of their endpoints, which spreads
// that many evenly.
constexpr size_t kMaxAssigned = size_t(1) << 18;
// Seconds of capture time between two sweeps of the assignments.
constexpr uint32_t kExpiryEvery = 60;

// Which share follows each connection. Every share keeps one, fed the same frames in the
// same order, so all make the same choices without talking to each other.
//
// A connection goes to the share of its endpoints' hash unless, at its handshake, that share
// has been given clearly more connections than another: by one while few have been given
// (16 large transfers split 8 to 8, where the hash alone may give 12 to one share), by
// 1/128 of all given later. The connection then goes to the share given the fewest and is
// placed there by name. The placed connections stay few (a handful for few connections, a
// small share of many) and a bit per hash value marks them, so that most frames are not
// looked up at all. Only a client's SYN is looked up among all the handshakes seen, so that
// a SYN sent again, or the endpoints used again, goes where the first SYN went.
class Assignments {
public:
    Assignments(size_t shares, uint32_t idleTimeout) : m_given(shares), m_idleTimeout(idleTimeout) {}

    size_t ShareOf(const TcpSegment& seg, const CTimeStamp32& time) {
        Expire(time);
        const FlowKey key{seg.src, seg.dst};
        const size_t hash = UnorderedFlowHash(seg.src, seg.dst);
        if (Marked(hash)) {
            if (const Assigned* placed = Find(m_placed, key, time)) return placed->share;
        }
        const size_t byHash = hash % m_given.size();
        const bool clientSyn = (seg.flags & kTcpSyn) && !(seg.flags & kTcpAck);
        if (!clientSyn) return byHash;
        if (const Assigned* seen = Find(m_handshakes, key, time)) return seen->share;
        if (m_handshakes.size() >= kMaxAssigned) return byHash;
        const size_t fewest = size_t(std::min_element(m_given.begin(), m_given.end()) - m_given.begin());
        const uint64_t slack = std::max<uint64_t>(1, m_total++ / 128);
        const bool even = m_given[byHash] - m_given[fewest] < slack;
        const size_t share = even || m_placed.size() >= kMaxAssigned ? byHash : fewest;
        ++m_given[share];
        m_handshakes.emplace(key, Assigned{share, time.m_sec});
        if (share != byHash) {
            m_placed.emplace(key, Assigned{share, time.m_sec});
            Mark(hash);
        }
        return share;
    }

private:
    struct Assigned {
        size_t share;
        uint32_t lastSec;  // the last frame that looked the entry up
    };
    struct EitherWayHash {
        size_t operator()(const FlowKey& k) const { return UnorderedFlowHash(k.client, k.server); }
    };
    struct EitherWayEqual {
        bool operator()(const FlowKey& a, const FlowKey& b) const {
            return a == b || (a.client == b.server && a.server == b.client);
        }
    };
    using Table = std::unordered_map<FlowKey, Assigned, EitherWayHash, EitherWayEqual>;

    bool Marked(size_t hash) const { return m_marks[hash / 64 % kMarkWords] >> (hash % 64) & 1; }
    void Mark(size_t hash) { m_marks[hash / 64 % kMarkWords] |= uint64_t(1) << (hash % 64); }

    static const Assigned* Find(Table& table, const FlowKey& key, const CTimeStamp32& time) {
        if (table.empty()) return nullptr;
        auto it = table.find(key);
        if (it == table.end()) return nullptr;
        it->second.lastSec = time.m_sec;
        return &it->second;
    }

    // An entry goes once it has not been looked up for longer than the idle time-out: a
    // placed connection has been dropped by its share by then.
    void Expire(const CTimeStamp32& now) {
        if (now.m_sec - m_lastExpirySec < kExpiryEvery) return;
        m_lastExpirySec = now.m_sec;
        // Later than the share's own idle sweep (which compares the same times), never earlier.
        const auto quiet = [&](const auto& a) {
            return uint64_t(now.m_sec) > uint64_t(a.second.lastSec) + m_idleTimeout + kExpiryEvery;
        };
        if (std::erase_if(m_placed, quiet)) {
            m_marks.fill(0);
            for (const auto& [key, a] : m_placed) Mark(EitherWayHash()(key));
        }
        std::erase_if(m_handshakes, quiet);
    }

    static constexpr size_t kMarkWords = 1024;  // 65,536 bits: 8 KiB

    Table m_placed;      // connections on another share than their hash's
    std::array<uint64_t, kMarkWords> m_marks{};  // the hashes of m_placed's entries
    Table m_handshakes;  // every connection whose client SYN was seen
    std::vector<uint64_t> m_given;  // connections given to each share at their handshake
    uint64_t m_total = 0;           // their sum
    uint32_t m_idleTimeout;
    uint32_t m_lastExpirySec = 0;
};

}  // namespace

SensorConfig ShareOf(const SensorConfig& config, size_t workers, size_t index) {
    SensorConfig share = config;
    if (workers && share.connection.maxBufferedBytes)
        share.connection.maxBufferedBytes = std::max<size_t>(1, config.connection.maxBufferedBytes / workers);
    share.recordIds = {index + 1, workers};
    return share;
}

// One share: every frame goes through it, and it keeps the segments of its own connections.
class ShardedSensor::Share final : public FrameSink {
public:
    Share(const SensorConfig& config, RecordOutput& output, size_t index, size_t shares)
        : m_index(index),
          m_kerberosHints(config.kerberosHints),
          m_writer(output),
          m_sensor(ShareOf(config, shares, index), m_writer, m_stats),
          m_assignments(shares, config.idleTimeout) {}

    void Frame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) override {
        TcpSegment seg;
        // Every share reads every frame: the frame counters are share 0's alone. Each reads
        // the Kerberos packets too, which the hints table takes once.
        const DecodeStatus status =
            m_index == 0 ? CountAndDecode(m_stats, link, frame, capLen, seg) : DecodeFrame(link, frame, capLen, seg);
        if (!ToKerberosHints(m_kerberosHints, status, seg, time) && status == DecodeStatus::Ok &&
            m_assignments.ShareOf(seg, time) == m_index) {
            m_sensor.Segment(seg, time);
        } else {
            // Time-outs run as the capture's clock moves, whoever's the frame, as one Sensor does.
            m_sensor.Tick(time);
        }
    }
    void Tick(const CTimeStamp32& now) override {
        m_sensor.Tick(now);
        m_writer.Flush();
    }
    void Finish() override {
        m_sensor.Finish();
        m_writer.Flush();
    }
    const Stats& Counters() const { return m_stats; }

private:
    size_t m_index;
    KerberosHints* m_kerberosHints;
    Stats m_stats;
    RecordWriter m_writer;
    Sensor m_sensor;
    Assignments m_assignments;
};

// Frames copied out of libpcap's buffer, read by every share.
struct ShardedSensor::Block {
    struct Frame {
        CTimeStamp32 time;
        LinkType link;
        uint32_t capLen;
        size_t at;  // in `bytes`
    };
    std::vector<Frame> frames;
    std::vector<uint8_t> bytes;
    std::atomic<size_t> unread{0};  // shares yet to read it
};

// A thread that runs the jobs given to it in order.
class ShardedSensor::Worker {
public:
    Worker() : m_thread([this] { Run(); }) {}
    ~Worker() {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_stopping = true;
        }
        m_hasWork.notify_one();
        m_thread.join();
    }

    // Waits while the queue is full.
    void Post(std::function<void()> job) {
        std::unique_lock<std::mutex> hold(m_lock);
        m_hasRoom.wait(hold, [this] { return m_queue.size() < kQueueDepth; });
        m_queue.push_back(std::move(job));
        m_hasWork.notify_one();
    }
    // Returns once every job posted has run.
    void Wait() {
        std::unique_lock<std::mutex> hold(m_lock);
        m_idle.wait(hold, [this] { return m_queue.empty() && !m_busy; });
    }

private:
    void Run() {
        std::unique_lock<std::mutex> hold(m_lock);
        for (;;) {
            m_hasWork.wait(hold, [this] { return !m_queue.empty() || m_stopping; });
            if (m_queue.empty()) return;
            std::function<void()> job = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
            hold.unlock();
            m_hasRoom.notify_one();
            job();
            hold.lock();
            m_busy = false;
            if (m_queue.empty()) m_idle.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_hasWork;
    std::condition_variable m_hasRoom;
    std::condition_variable m_idle;  // the queue ran empty and no job is running
    std::deque<std::function<void()>> m_queue;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_thread;  // last: starts once the rest is set up
};

ShardedSensor::ShardedSensor(const SensorConfig& config, RecordOutput& output, Stats& stats, size_t workers)
    : m_stats(stats) {
    for (size_t i = 0; i < workers; ++i) m_shares.push_back(std::make_unique<Share>(config, output, i, workers));
    for (size_t i = 1; i < workers; ++i) m_workers.push_back(std::make_unique<Worker>());
}

ShardedSensor::~ShardedSensor() { Finish(); }

void ShardedSensor::Frame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) {
    if (m_filling && !m_filling->frames.empty() && m_filling->bytes.size() + capLen > kBlockBytes) Publish();
    if (!m_filling) m_filling = FreeBlock();
    m_filling->frames.push_back({time, link, uint32_t(capLen), m_filling->bytes.size()});
    m_filling->bytes.insert(m_filling->bytes.end(), frame, frame + capLen);
    if (m_filling->frames.size() >= kBlockFrames) Publish();
}

ShardedSensor::Block* ShardedSensor::FreeBlock() {
    std::lock_guard<std::mutex> hold(m_blockLock);
    if (!m_free.empty()) {
        Block* block = m_free.back();
        m_free.pop_back();
        return block;
    }
    // Blocks in use are bounded by the workers' queues: at most kQueueDepth + 1 each.
    m_blocks.push_back(std::make_unique<Block>());
    m_blocks.back()->frames.reserve(kBlockFrames);
    m_blocks.back()->bytes.reserve(kBlockBytes);
    return m_blocks.back().get();
}

void ShardedSensor::OnEveryShare(const std::function<void(Share&, size_t)>& job) {
    for (size_t i = 1; i < m_shares.size(); ++i)
        m_workers[i - 1]->Post([job, i, share = m_shares[i].get()] { job(*share, i); });
    job(*m_shares[0], 0);
}

void ShardedSensor::Publish() {
    Block* block = m_filling;
    if (!block) return;
    m_filling = nullptr;
    block->unread = m_shares.size();
    OnEveryShare([this, block](Share& share, size_t) { WalkBlock(*block, share); });
}

void ShardedSensor::WalkBlock(Block& block, Share& share) {
    for (const Block::Frame& f : block.frames) share.Frame(f.link, f.time, block.bytes.data() + f.at, f.capLen);
    if (--block.unread > 0) return;
    block.frames.clear();
    block.bytes.clear();
    std::lock_guard<std::mutex> hold(m_blockLock);
    m_free.push_back(&block);
}

void ShardedSensor::Walk(const WalkFunction& walk) {
    Publish();  // the frames copied before come first
    OnEveryShare([&walk](Share& share, size_t index) { walk(share, index); });
    for (auto& worker : m_workers) worker->Wait();
}

void ShardedSensor::Tick(const CTimeStamp32& now) {
    Publish();
    OnEveryShare([now](Share& share, size_t) { share.Tick(now); });
}

void ShardedSensor::Finish() {
    if (m_finished) return;
    m_finished = true;
    Publish();
    OnEveryShare([](Share& share, size_t) { share.Finish(); });
    m_workers.clear();  // each runs its queue to the end, then its thread ends
    for (const auto& share : m_shares) m_stats.Add(share->Counters());
}

struct LiveSensors::One {
    One(const SensorConfig& config, RecordOutput& output) : writer(output), sensor(config, writer, stats) {}
    Stats stats;
    RecordWriter writer;
    Sensor sensor;
    std::mutex lock;  // guards the published copies
    Stats published;
    CaptureCounters capture;
};

LiveSensors::LiveSensors(const SensorConfig& config, RecordOutput& output, size_t count) {
    for (size_t i = 0; i < count; ++i) m_sensors.push_back(std::make_unique<One>(ShareOf(config, count, i), output));
}

LiveSensors::~LiveSensors() = default;

std::vector<FrameSink*> LiveSensors::Sinks() {
    std::vector<FrameSink*> sinks;
    for (auto& one : m_sensors) sinks.push_back(&one->sensor);
    return sinks;
}

void LiveSensors::Idle(size_t worker, const CaptureCounters& capture) {
    One& one = *m_sensors[worker];
    one.writer.Flush();
    std::lock_guard<std::mutex> hold(one.lock);
    one.published = one.stats;
    one.capture = capture;
}

Stats LiveSensors::Snapshot(CaptureCounters& capture) {
    Stats total;
    capture = {};
    for (auto& one : m_sensors) {
        std::lock_guard<std::mutex> hold(one->lock);
        total.Add(one->published);
        capture.received += one->capture.received;
        capture.dropped += one->capture.dropped;
        capture.ifDropped += one->capture.ifDropped;
    }
    return total;
}

void LiveSensors::Finish(Stats& total, CaptureCounters& capture) {
    for (auto& one : m_sensors) {
        one->sensor.Finish();
        one->writer.Flush();
    }
    Snapshot(capture);
    for (auto& one : m_sensors) total.Add(one->stats);
}

}  // namespace smbaudit
