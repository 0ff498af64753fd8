// The command-line sensor's packet path: link layers, IP, TCP reassembly and the connection
// table, on an arbitrary sequence of captured frames, with the sensor's own sink formatting
// every record (to /dev/null) after the touching sink has read it.
//
// Input layout:
//   byte 0: the link layer (Null, Ethernet, Raw, Loop, Linux SLL, IPv4, IPv6, Linux SLL2)
//   byte 1: bits 0-1 largest message (the sensor's default, 256, 4096, 65536);
//           bit 2 tight reassembly limits (4096 bytes, 8 segments held);
//           bit 3 idle time-out of 5 s instead of 900; bit 4 at most 4 pending requests;
//           bit 5 all connections together buffer at most 64 KiB
//   then frames: a flag byte (bits 0-3 seconds that pass first, bit 4 a Tick after the
//           frame), a 16-bit little-endian captured length, and that many bytes.
//
// Checks besides the sanitizers: the connections together never buffer more than the
// global bound, the table's accounting returns to zero once every connection is gone, and
// every library allocation is freed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"
#include "touch_sink.h"
#include "tools/smbaudit/options.h"
#include "tools/smbaudit/sensor.h"

namespace {

using namespace smbaudit;

void Check(bool ok) {
    if (!ok) std::abort();
}

// A first pipeline stage that reads every data byte a record carries (formatting reads
// every text).
class TouchingStage : public RecordStage {
public:
    bool OnRecord(AuditRecord& record, RecordPipeline&) override {
        Check(record.dataLen.value_or(0) >= record.dataAvailable);
        if (record.dataAvailable) TouchBytes(reinterpret_cast<const char*>(record.data), record.dataAvailable);
        return true;
    }
};

constexpr LinkType kLinks[8] = {LinkType::Null, LinkType::Ethernet, LinkType::Raw,  LinkType::Loop,
                                LinkType::LinuxSll, LinkType::Ipv4, LinkType::Ipv6, LinkType::LinuxSll2};
constexpr uint32_t kMessageCaps[4] = {kDefaultMaxMessageBytes, 256, 4096, 65536};

std::FILE* NullOutput() {
    static std::FILE* out = std::fopen("/dev/null", "w");
    Check(out != nullptr);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const LinkType link = kLinks[in.U8() & 7];
    const uint8_t settings = in.U8();

    SensorConfig config;
    config.connection.pendingTimeout = kDefaultPendingTimeout;
    config.idleTimeout = (settings & 8) ? 5 : kDefaultIdleTimeout;
    config.connection.contextOptions.maxMessageBytes = kMessageCaps[settings & 3];
    config.connection.contextOptions.maxPendingRequests = (settings & 16) ? 4 : kDefaultMaxPending;
    if (settings & 4) config.connection.reassembly = ReassemblyLimits{4096, 8};
    if (settings & 32) config.connection.maxBufferedBytes = 64 * 1024;

    const long before = ZELK::LiveAllocations();
    {
        Stats stats;
        FileOutput output(NullOutput());
        RecordWriter writer(output);
        TouchingStage touching;
        Sensor sensor(config, writer, stats);
        sensor.Pipeline().AddStage(touching);
        CTimeStamp32 now(1000, 0);
        while (!in.Empty()) {
            const uint8_t flags = in.U8();
            now.m_sec += flags & 15;
            now.m_usec = (now.m_usec + 1) % 1000000;
            size_t len = 0;
            const uint8_t* p = in.Take(in.U16(), len);
            ExactCopy frame(p, len);  // freed after the call, as libpcap reuses its buffer
            sensor.Frame(link, now, frame.data(), len);
            if (flags & 16) sensor.Tick(now);
            if (config.connection.maxBufferedBytes)
                Check(sensor.Connections().BufferedBytes() <= config.connection.maxBufferedBytes);
        }
        sensor.Finish();
        Check(sensor.Connections().Size() == 0 && sensor.Connections().BufferedBytes() == 0);
    }
    Check(ZELK::LiveAllocations() == before);
    return 0;
}
