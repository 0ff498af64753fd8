#include "tools/smbaudit/output_queue.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace smbaudit {
namespace {
constexpr size_t kSendBatch = 512;  // records per send: one RPUSH, or one pipelined round trip
constexpr auto kFirstBackoff = std::chrono::milliseconds(100);
constexpr auto kMaxBackoff = std::chrono::seconds(5);
constexpr auto kDrainTime = std::chrono::seconds(10);
}  // namespace

QueuedOutput::QueuedOutput(std::unique_ptr<Transport> transport, size_t maxQueued, std::chrono::milliseconds drainTime)
    : m_transport(std::move(transport)), m_maxQueued(std::max<size_t>(1, maxQueued)), m_drainTime(drainTime) {
    m_sender = std::thread([this] { Run(); });
}

QueuedOutput::~QueuedOutput() { Finish(); }

void QueuedOutput::Put(std::string_view lines, uint64_t records) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_counters.records += records;
    while (!lines.empty()) {
        const size_t end = lines.find('\n');
        const std::string_view record = lines.substr(0, end);
        lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
        if (m_queue.size() + m_inFlight >= m_maxQueued) {
            ++m_counters.dropped;
        } else {
            m_queue.emplace_back(record);
        }
    }
    m_wake.notify_one();
}

void QueuedOutput::Run() {
    bool connected = false;
    bool everConnected = false;
    auto backoff = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstBackoff);
    std::string error, lastError;
    std::vector<std::string> batch;
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_wake.wait(hold, [this] { return !m_queue.empty() || m_stopping; });
        if (m_queue.empty()) break;
        if (!connected) {
            hold.unlock();
            connected = m_transport->Connect(error);
            hold.lock();
            if (!connected) {
                if (error != lastError) std::fprintf(stderr, "smbaudit: %s: %s (retrying)\n", m_transport->Name().c_str(), error.c_str());
                lastError = error;
                m_wake.wait_for(hold, backoff, [this] { return m_stopping; });
                backoff = std::min<std::chrono::milliseconds>(backoff * 2, kMaxBackoff);
                if (m_stopping) break;  // Finish gave up waiting
                continue;
            }
            m_counters.reconnects += everConnected;
            everConnected = true;
            backoff = kFirstBackoff;
            lastError.clear();
        }
        const size_t n = std::min(kSendBatch, m_queue.size());
        batch.assign(std::make_move_iterator(m_queue.begin()), std::make_move_iterator(m_queue.begin() + ptrdiff_t(n)));
        m_queue.erase(m_queue.begin(), m_queue.begin() + ptrdiff_t(n));
        m_inFlight = n;
        hold.unlock();
        size_t rejected = 0;
        const bool sent = m_transport->Send(batch, rejected, error);
        hold.lock();
        m_inFlight = 0;
        if (sent) {
            m_counters.delivered += n - rejected;
            m_counters.dropped += rejected;
        } else {
            // The consumer went away: the batch goes back to the front and waits for the next
            // connection.
            connected = false;
            m_queue.insert(m_queue.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
        }
        if (m_queue.empty()) m_idle.notify_all();
    }
    m_counters.dropped += m_queue.size();
    m_queue.clear();
    m_idle.notify_all();
}

bool QueuedOutput::Finish() {
    std::unique_lock<std::mutex> hold(m_lock);
    if (!m_sender.joinable()) return m_counters.dropped == 0;
    m_idle.wait_for(hold, m_drainTime, [this] { return m_queue.empty() && m_inFlight == 0; });
    m_stopping = true;
    m_wake.notify_all();
    hold.unlock();
    m_sender.join();
    return m_counters.dropped == 0;
}

OutputCounters QueuedOutput::Counters() const {
    std::lock_guard<std::mutex> hold(m_lock);
    OutputCounters c = m_counters;
    c.queued = m_queue.size() + m_inFlight;
    return c;
}

std::unique_ptr<RecordOutput> MakeQueuedOutput(const std::string& dest, size_t maxQueued, std::string& error) {
    std::unique_ptr<Transport> transport;
    std::string_view d = dest;
    if (d.starts_with("unix-stream:") || d.starts_with("unix-dgram:")) {
        const bool datagram = d.starts_with("unix-dgram:");
        const std::string path(d.substr(d.find(':') + 1));
        if (!path.empty()) transport = MakeUnixTransport(path, datagram);
    } else if (d.starts_with("redis://")) {
        // HOST[:PORT]/list/KEY or HOST[:PORT]/stream/KEY
        d.remove_prefix(8);
        const size_t slash = d.find('/');
        std::string_view hostPort = d.substr(0, slash);
        std::string_view rest = slash == std::string_view::npos ? std::string_view() : d.substr(slash + 1);
        int port = 6379;
        const size_t colon = hostPort.rfind(':');
        bool ok = !hostPort.empty();
        if (colon != std::string_view::npos) {
            auto [end, ec] = std::from_chars(hostPort.data() + colon + 1, hostPort.data() + hostPort.size(), port);
            ok = ok && ec == std::errc() && end == hostPort.data() + hostPort.size() && port > 0 && port < 65536;
            hostPort = hostPort.substr(0, colon);
        }
        const bool stream = rest.starts_with("stream/");
        if (ok && (stream || rest.starts_with("list/")) && rest.size() > rest.find('/') + 1) {
            transport = MakeRedisTransport(std::string(hostPort), port, stream, std::string(rest.substr(rest.find('/') + 1)));
        }
    }
    if (!transport) {
        error = "--output " + dest +
                ": expected unix-stream:PATH, unix-dgram:PATH, redis://HOST[:PORT]/list/KEY or "
                "redis://HOST[:PORT]/stream/KEY";
        return nullptr;
    }
    return std::make_unique<QueuedOutput>(std::move(transport), maxQueued, kDrainTime);
}

}  // namespace smbaudit
