// Outputs to a remote consumer (a Unix socket, Redis): records wait in a bounded queue in
// memory and a sender thread delivers them, so that a slow or absent consumer never holds
// the capture back. When the consumer is down the sender reconnects with back-off; when the
// queue is full, new records are dropped and counted (output.dropped in the stats records).
// Delivery is at least once: a batch whose acknowledgement was lost is sent again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/smbaudit/record_writer.h"

namespace smbaudit {

// One connection to the consumer, used by the sender thread only.
class Transport {
public:
    virtual ~Transport() = default;
    // (Re)connects; false with `error`.
    virtual bool Connect(std::string& error) = 0;
    // Delivers every record (each without its newline) or fails, with `error`; after a
    // failure the sender connects again and sends the same batch. Sets `rejected` to the
    // records the consumer can never take (too large a datagram); they count as dropped.
    virtual bool Send(const std::vector<std::string>& records, size_t& rejected, std::string& error) = 0;
    virtual std::string Name() const = 0;
};

class QueuedOutput : public RecordOutput {
public:
    // At most `maxQueued` records wait; Finish waits at most `drainTime` for the rest.
    QueuedOutput(std::unique_ptr<Transport> transport, size_t maxQueued, std::chrono::milliseconds drainTime);
    ~QueuedOutput() override;

    void Put(std::string_view lines, uint64_t records) override;
    bool Finish() override;
    OutputCounters Counters() const override;

private:
    void Run();

    std::unique_ptr<Transport> m_transport;
    const size_t m_maxQueued;
    const std::chrono::milliseconds m_drainTime;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;   // records queued, or stop
    std::condition_variable m_idle;   // the queue emptied
    std::deque<std::string> m_queue;
    size_t m_inFlight = 0;            // taken by the sender, not yet delivered
    bool m_stopping = false;
    OutputCounters m_counters;
    std::thread m_sender;
};

// "unix-stream:PATH", "unix-dgram:PATH", "redis://HOST[:PORT]/list/KEY" or
// "redis://HOST[:PORT]/stream/KEY"; null with `error` when `dest` is none of them.
std::unique_ptr<RecordOutput> MakeQueuedOutput(const std::string& dest, size_t maxQueued, std::string& error);

// The transports (output_unix.cc, output_redis.cc).
std::unique_ptr<Transport> MakeUnixTransport(const std::string& path, bool datagram);
std::unique_ptr<Transport> MakeRedisTransport(const std::string& host, int port, bool stream, const std::string& key);

}  // namespace smbaudit
