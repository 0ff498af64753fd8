// The packet path over several threads (smbaudit --workers N). The reading thread decodes
// each frame and hands its TCP segment to the worker that owns the connection, picked by a
// hash of the two endpoints that is the same in both directions. Each worker runs its own
// Sensor (connection table, contexts, reassemblers, counters) over its share of the
// connections, so a connection's segments are handled by one thread in capture order. All
// workers write through the one RecordWriter, a whole line at a time.
//
// Segments travel in batches (their payloads copied into the batch, since the capture
// reader's frame buffer is reused) over a short bounded queue per worker: a worker that
// falls behind holds the reader back instead of letting memory grow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tools/smbaudit/record_writer.h"
#include "tools/smbaudit/sensor.h"
#include "tools/smbaudit/stats.h"

namespace smbaudit {

// The worker, out of `workers`, that follows the connection of `seg`.
size_t WorkerOf(const TcpSegment& seg, size_t workers);

class ShardedSensor : public FrameSink {
public:
    // `stats` receives the reader's counters as frames arrive and every worker's at Finish.
    ShardedSensor(const SensorConfig& config, RecordWriter& writer, Stats& stats, size_t workers);
    ~ShardedSensor() override;
    ShardedSensor(const ShardedSensor&) = delete;
    ShardedSensor& operator=(const ShardedSensor&) = delete;

    void Frame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) override;
    // Also hands every partly filled batch over, so that live traffic is not held back.
    void Tick(const CTimeStamp32& now) override;
    // Waits for every worker to finish its queue and its connections, then adds the
    // workers' counters.
    void Finish() override;

private:
    struct Batch;
    class Worker;

    void TickAll(const CTimeStamp32& now);

    Stats& m_stats;
    KerberosHints* m_kerberosHints;
    std::vector<std::unique_ptr<Worker>> m_workers;
    uint32_t m_lastTickSec = 0;
    bool m_finished = false;
};

}  // namespace smbaudit
