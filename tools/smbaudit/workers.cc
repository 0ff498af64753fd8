#include "tools/smbaudit/workers.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "tools/smbaudit/record_pipeline.h"

namespace smbaudit {
namespace {
// A batch goes to its worker when it holds this many segments or payload bytes: large
// enough that the queue's lock and wake-up cost little per segment, small enough to stay
// in cache.
constexpr size_t kBatchItems = 256;
constexpr size_t kBatchBytes = 256 * 1024;
// Full batches a worker may have waiting before the reader waits for it.
constexpr size_t kQueueDepth = 8;
// Connections given a share in turn at most (about 80 bytes each); beyond, new ones go by
// the hash of their endpoints.
constexpr size_t kMaxAssigned = size_t(1) << 20;
// Seconds of capture time between two sweeps of the assignments.
constexpr uint32_t kExpiryEvery = 60;
}  // namespace

SensorConfig ShareOf(const SensorConfig& config, size_t workers, size_t index) {
    SensorConfig share = config;
    if (workers && share.connection.maxBufferedBytes)
        share.connection.maxBufferedBytes = std::max<size_t>(1, config.connection.maxBufferedBytes / workers);
    share.recordIds = {index + 1, workers};
    return share;
}

size_t WorkerOf(const TcpSegment& seg, size_t workers) { return UnorderedFlowHash(seg.src, seg.dst) % workers; }

struct ShardedSensor::Batch {
    struct Item {
        TcpSegment seg;          // its payload is at `payloadAt` in `bytes`, unless in place
        CTimeStamp32 time;
        size_t payloadAt = 0;
        bool inPlace = false;    // the payload pointer is the capture's own (a mapped file)
        bool tick = false;       // a clock tick rather than a segment
    };
    std::vector<Item> items;
    std::vector<uint8_t> bytes;

    bool Full() const { return items.size() >= kBatchItems || bytes.size() >= kBatchBytes; }
    void Clear() {
        items.clear();
        bytes.clear();
    }
};

class ShardedSensor::Worker {
public:
    Worker(const SensorConfig& config, RecordOutput& output)
        : m_writer(output), m_sensor(config, m_writer, m_stats), m_current(NewBatch()) {
        m_thread = std::thread([this] { Run(); });
    }
    ~Worker() { Stop(); }

    // Reader side.
    void Segment(const TcpSegment& seg, const CTimeStamp32& time, bool copy) {
        Batch::Item item;
        item.seg = seg;
        item.time = time;
        item.inPlace = !copy;
        if (copy) {
            item.seg.payload = nullptr;
            item.payloadAt = m_current->bytes.size();
            m_current->bytes.insert(m_current->bytes.end(), seg.payload, seg.payload + seg.payloadLen);
        }
        m_current->items.push_back(item);
        if (m_current->Full()) Submit();
    }
    void Tick(const CTimeStamp32& now) {
        Batch::Item item;
        item.time = now;
        item.tick = true;
        m_current->items.push_back(item);
        if (m_current->Full()) Submit();
    }
    // Hands the batch being filled to the worker, waiting while its queue is full.
    void Submit() {
        if (m_current->items.empty()) return;
        std::unique_lock<std::mutex> hold(m_lock);
        m_hasRoom.wait(hold, [this] { return m_queue.size() < kQueueDepth; });
        m_queue.push_back(m_current);
        m_hasWork.notify_one();
        if (m_spare.empty()) {
            hold.unlock();
            m_current = NewBatch();
        } else {
            m_current = m_spare.back();
            m_spare.pop_back();
        }
    }
    // Hands over what is left and waits until the worker has handled it.
    void Drain() {
        Submit();
        std::unique_lock<std::mutex> hold(m_lock);
        m_idle.wait(hold, [this] { return m_queue.empty() && !m_busy; });
    }
    // Hands over what is left and waits until the worker has finished everything.
    void Stop() {
        if (!m_thread.joinable()) return;
        Submit();
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_stopping = true;
        }
        m_hasWork.notify_one();
        m_thread.join();
    }
    const Stats& Counters() const { return m_stats; }

private:
    Batch* NewBatch() {
        auto batch = std::make_unique<Batch>();
        batch->items.reserve(kBatchItems);
        batch->bytes.reserve(kBatchBytes);
        Batch* p = batch.get();
        std::lock_guard<std::mutex> hold(m_lock);
        m_batches.push_back(std::move(batch));
        return p;
    }

    // Worker side.
    void Run() {
        for (;;) {
            Batch* batch;
            {
                std::unique_lock<std::mutex> hold(m_lock);
                m_hasWork.wait(hold, [this] { return !m_queue.empty() || m_stopping; });
                if (m_queue.empty()) break;
                batch = m_queue.front();
                m_queue.pop_front();
                m_busy = true;
            }
            m_hasRoom.notify_one();
            for (Batch::Item& item : batch->items) {
                if (item.tick) {
                    m_sensor.Tick(item.time);
                } else {
                    if (!item.inPlace) item.seg.payload = batch->bytes.data() + item.payloadAt;
                    m_sensor.Segment(item.seg, item.time);
                }
            }
            batch->Clear();
            m_writer.Flush();
            std::lock_guard<std::mutex> hold(m_lock);
            m_spare.push_back(batch);
            m_busy = false;
            m_idle.notify_all();
        }
        m_sensor.Finish();
        m_writer.Flush();
    }

    Stats m_stats;
    RecordWriter m_writer;
    Sensor m_sensor;

    std::mutex m_lock;
    std::condition_variable m_hasWork;
    std::condition_variable m_hasRoom;
    std::condition_variable m_idle;   // the queue ran empty and no batch is being handled
    std::deque<Batch*> m_queue;       // full batches, oldest first
    std::vector<Batch*> m_spare;      // emptied batches, ready for reuse
    std::vector<std::unique_ptr<Batch>> m_batches;  // every batch, owned
    bool m_stopping = false;
    bool m_busy = false;              // a batch taken off the queue is being handled
    Batch* m_current;                 // being filled by the reader
    std::thread m_thread;
};

ShardedSensor::ShardedSensor(const SensorConfig& config, RecordOutput& output, Stats& stats, size_t workers)
    : m_stats(stats),
      m_kerberosHints(config.kerberosHints),
      m_ownWriter(output),
      m_own(ShareOf(config, workers, 0), m_ownWriter, m_ownStats),
      m_given(workers),
      m_idleTimeout(config.idleTimeout) {
    for (size_t i = 1; i < workers; ++i) m_workers.push_back(std::make_unique<Worker>(ShareOf(config, workers, i), output));
}

ShardedSensor::~ShardedSensor() { Finish(); }

void ShardedSensor::Frame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) {
    Dispatch(link, time, frame, capLen, true);
}

void ShardedSensor::StableFrame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) {
    Dispatch(link, time, frame, capLen, false);
}

void ShardedSensor::Drain() {
    for (auto& worker : m_workers) worker->Drain();
}

void ShardedSensor::Dispatch(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen, bool copy) {
    TcpSegment seg;
    const DecodeStatus status = CountAndDecode(m_stats, link, frame, capLen, seg);
    // Every worker sweeps once per second of capture time, whether or not this second
    // brought it segments, as one Sensor does for all connections.
    TickAll(time);
    if (ToKerberosHints(m_kerberosHints, status, seg, time) || status != DecodeStatus::Ok) return;
    if (const size_t share = ShareOfSegment(seg, time))
        m_workers[share - 1]->Segment(seg, time, copy);
    else
        m_own.Segment(seg, time);
}

size_t ShardedSensor::ShareOfSegment(const TcpSegment& seg, const CTimeStamp32& time) {
    const size_t shares = m_workers.size() + 1;
    const FlowKey key{seg.src, seg.dst};
    auto it = m_assigned.find(key);
    if (it != m_assigned.end()) {
        it->second.lastSec = time.m_sec;
        return it->second.share;
    }
    const bool clientSyn = (seg.flags & kTcpSyn) && !(seg.flags & kTcpAck);
    if (!clientSyn || m_assigned.size() >= kMaxAssigned) return WorkerOf(seg, shares);
    // The share whose connections so far, weighted, are the fewest: the reading thread's
    // share counts each connection for 5/4, since the thread also decodes every frame.
    size_t share = 0;
    for (size_t i = 1; i < shares; ++i)
        if ((m_given[i] + 1) * 4 < (m_given[share] + 1) * (share ? 4 : 5)) share = i;
    ++m_given[share];
    m_assigned.emplace(key, Assigned{share, time.m_sec});
    return share;
}

void ShardedSensor::TickAll(const CTimeStamp32& now) {
    if (now.m_sec == m_lastTickSec) return;
    m_lastTickSec = now.m_sec;
    if (now.m_sec - m_lastExpirySec >= kExpiryEvery) {
        m_lastExpirySec = now.m_sec;
        // Later than the share's own idle sweep (which compares the same times), never earlier.
        std::erase_if(m_assigned, [&](const auto& a) {
            return uint64_t(now.m_sec) > uint64_t(a.second.lastSec) + m_idleTimeout + kExpiryEvery;
        });
    }
    m_own.Tick(now);
    for (auto& worker : m_workers) worker->Tick(now);
}

void ShardedSensor::Tick(const CTimeStamp32& now) {
    TickAll(now);
    m_ownWriter.Flush();
    for (auto& worker : m_workers) worker->Submit();
}

void ShardedSensor::Finish() {
    if (m_finished) return;
    m_finished = true;
    m_own.Finish();
    m_ownWriter.Flush();
    for (auto& worker : m_workers) worker->Stop();
    m_stats.Add(m_ownStats);
    for (auto& worker : m_workers) m_stats.Add(worker->Counters());
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
