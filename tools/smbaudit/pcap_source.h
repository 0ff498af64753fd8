// Reading frames with libpcap: capture files (pcap and pcapng) and live interfaces.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/smbaudit/packet_decode.h"
#include "tools/smbaudit/progress.h"
#include "tools/smbaudit/sensor.h"
#include "tools/smbaudit/stats.h"

namespace smbaudit {

// Outcome of one input, in exit-status order: worse outcomes have larger values.
enum class InputStatus { Ok = 0, Warning = 1, Failed = 2 };

// libpcap's DLT_ value to the framing the decoder reads; none when unsupported.
std::optional<LinkType> LinkTypeFromDlt(int dlt);

// Set from a signal handler: stop reading and finish what was read.
extern std::atomic<bool> g_stopRequested;

// Reads one capture file ("-": standard input) through the sensor. `doneBefore` is the
// bytes of the files read before, for the progress bar. Diagnostics go to standard error.
InputStatus ReadCaptureFile(const std::string& path, FrameSink& sensor, Progress& progress, uint64_t doneBefore);

struct LiveCapture {
    std::string interface;
    std::string filter;              // BPF
    unsigned bufferKiB = 0;          // kernel capture buffer (-B); 0: libpcap's default
    // Once the capture is open, before the first packet (the privilege drop); false stops.
    std::function<bool()> opened;
    // On each capture thread after every wait for packets (at least 4 times a second), with
    // the thread's index and its handle's counters.
    std::function<void(size_t worker, const CaptureCounters&)> idle;
};

// Captures until a stop is requested. One sensor: one capture handle read on the calling
// thread. Several: one handle per sensor, all in one kernel fan-out group that keeps each
// connection on one handle (Linux PACKET_FANOUT), each read by its own thread; the packets
// go from the kernel's ring to their sensor without any copy or hand-over.
InputStatus CaptureLive(const LiveCapture& capture, const std::vector<FrameSink*>& sensors);

}  // namespace smbaudit
