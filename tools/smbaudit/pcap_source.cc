#include "tools/smbaudit/pcap_source.h"

#include <fcntl.h>
#include <linux/if_packet.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "tools/smbaudit/pcap_file.h"

namespace smbaudit {

std::atomic<bool> g_stopRequested{false};

namespace {

constexpr int kLiveSnapLen = 262144;
constexpr int kPollMillis = 250;
constexpr unsigned kProgressEvery = 4096;  // packets between progress updates
constexpr size_t kReadBuffer = 1 << 20;
// A mapped capture's pages are given back once this much of it has been handled, so that
// reading a file of many GB does not hold it all in the process.
constexpr size_t kReleaseEvery = 64 << 20;
constexpr uint32_t kLinktypeRaw = 101;  // files say 101 for raw IP, libpcap calls it DLT_RAW

CTimeStamp32 ToTimeStamp(const timeval& tv) { return CTimeStamp32(uint32_t(tv.tv_sec), uint32_t(tv.tv_usec)); }

std::string LinkTypeText(int dlt) {
    std::string text = std::to_string(dlt);
    if (const char* name = pcap_datalink_val_to_name(dlt)) {
        text += " (";
        text += name;
        if (const char* desc = pcap_datalink_val_to_description(dlt)) {
            text += ": ";
            text += desc;
        }
        text += ")";
    }
    return text;
}

struct LiveState {
    FrameSink* sensor;
    LinkType link;
};

void OnLivePacket(u_char* user, const pcap_pkthdr* hdr, const u_char* bytes) {
    auto* state = reinterpret_cast<LiveState*>(user);
    state->sensor->Frame(state->link, ToTimeStamp(hdr->ts), bytes, hdr->caplen);
}

}  // namespace

std::optional<LinkType> LinkTypeFromDlt(int dlt) {
    switch (dlt) {
    case DLT_NULL: return LinkType::Null;
    case DLT_EN10MB: return LinkType::Ethernet;
    case DLT_RAW: return LinkType::Raw;  // libpcap maps LINKTYPE_RAW (101) in files to DLT_RAW
    case DLT_LOOP: return LinkType::Loop;
    case DLT_LINUX_SLL: return LinkType::LinuxSll;
    case DLT_LINUX_SLL2: return LinkType::LinuxSll2;
    case DLT_IPV4: return LinkType::Ipv4;
    case DLT_IPV6: return LinkType::Ipv6;
    default: return std::nullopt;
    }
}

namespace {

class Mapping {
public:
    Mapping(void* at, size_t size) : m_at(at), m_size(size) {}
    ~Mapping() { munmap(m_at, m_size); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    const uint8_t* data() const { return static_cast<const uint8_t*>(m_at); }
    // Gives the pages wholly inside [from, to) back to the kernel.
    void Release(size_t from, size_t to) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        from = (from + page - 1) / page * page;
        to = to / page * page;
        if (to > from) madvise(static_cast<char*>(m_at) + from, to - from, MADV_DONTNEED);
    }

private:
    void* m_at;
    size_t m_size;
};

void Stopped(Progress& progress, const char* shown, const char* why) {
    progress.Clear();
    std::fprintf(stderr, "smbaudit: warning: %s: stopped before the end of the capture: %s\n", shown, why);
}

// Reads a classic pcap file in place, mapped into memory. None when the file cannot be
// mapped or is in another format: libpcap then reads it (and words any error).
std::optional<InputStatus> ReadMappedFile(const std::string& path, FrameSink& sensor, Progress& progress,
                                          uint64_t doneBefore) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    void* at = MAP_FAILED;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        at = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (at == MAP_FAILED) return std::nullopt;
    Mapping mapping(at, size_t(st.st_size));
    madvise(at, size_t(st.st_size), MADV_SEQUENTIAL);
    PcapFileReader reader;
    if (!reader.Open(mapping.data(), size_t(st.st_size))) return std::nullopt;
    const int dlt = reader.LinkType() == kLinktypeRaw ? DLT_RAW : int(reader.LinkType());
    const std::optional<LinkType> link = LinkTypeFromDlt(dlt);
    if (!link) {
        progress.Clear();
        std::fprintf(stderr, "smbaudit: %s: unsupported link type %s\n", path.c_str(), LinkTypeText(dlt).c_str());
        return InputStatus::Failed;
    }
    InputStatus status = InputStatus::Ok;
    // Where each thread reading the mapping has got to: the pages behind all of them are
    // given back.
    std::vector<std::atomic<size_t>> reached(sensor.Walkers());
    size_t released = 0;
    sensor.Walk([&](FrameSink& sink, size_t walker) {
        PcapFileReader walk = reader;  // each thread reads with its own, from the first frame
        PcapFileReader::Frame frame;
        unsigned sinceProgress = 0;
        while (!g_stopRequested) {
            const PcapFileReader::Next next = walk.Read(frame);
            if (next == PcapFileReader::Next::End) break;
            if (next == PcapFileReader::Next::Damaged) {
                if (walker == 0) {
                    Stopped(progress, path.c_str(), walk.Error().c_str());
                    status = InputStatus::Warning;
                }
                break;
            }
            sink.Frame(*link, CTimeStamp32(frame.sec, frame.usec), frame.bytes, frame.capLen);
            if (++sinceProgress < kProgressEvery) continue;
            sinceProgress = 0;
            reached[walker].store(walk.Offset(), std::memory_order_release);
            if (walker != 0) continue;
            progress.Update(doneBefore + walk.Offset());
            size_t behind = walk.Offset();
            for (const auto& r : reached) behind = std::min(behind, r.load(std::memory_order_acquire));
            if (behind - released >= kReleaseEvery) {
                mapping.Release(released, behind);
                released = behind;
            }
        }
        // Done with the file: it holds no one back.
        reached[walker].store(size_t(st.st_size), std::memory_order_release);
    });
    return status;
}

}  // namespace

InputStatus ReadCaptureFile(const std::string& path, FrameSink& sensor, Progress& progress, uint64_t doneBefore) {
    if (path != "-") {
        if (std::optional<InputStatus> status = ReadMappedFile(path, sensor, progress, doneBefore)) return *status;
    }
    const bool isStdin = path == "-";
    const char* shown = isStdin ? "standard input" : path.c_str();
    std::FILE* file = isStdin ? stdin : std::fopen(path.c_str(), "rb");
    if (!file) {
        progress.Clear();
        std::fprintf(stderr, "smbaudit: %s: %s\n", shown, std::strerror(errno));
        return InputStatus::Failed;
    }
    // libpcap reads record by record through stdio: a 1 MiB buffer turns the 4 KiB reads of
    // the default one into a few hundred system calls per GB. (Standard input keeps its own:
    // it outlives this function.) The buffer outlives the file, which pcap_close closes.
    std::unique_ptr<char[]> buffer;
    if (!isStdin) {
        buffer.reset(new char[kReadBuffer]);
        std::setvbuf(file, buffer.get(), _IOFBF, kReadBuffer);
    }
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pcap = pcap_fopen_offline(file, errbuf);
    if (!pcap) {
        if (!isStdin) std::fclose(file);
        progress.Clear();
        std::fprintf(stderr, "smbaudit: %s: not a readable pcap or pcapng capture (%s)\n", shown, errbuf);
        return InputStatus::Failed;
    }
    int dlt = pcap_datalink(pcap);
    std::optional<LinkType> link = LinkTypeFromDlt(dlt);
    if (!link) {
        pcap_close(pcap);
        progress.Clear();
        std::fprintf(stderr, "smbaudit: %s: unsupported link type %s\n", shown, LinkTypeText(dlt).c_str());
        return InputStatus::Failed;
    }

    InputStatus status = InputStatus::Ok;
    pcap_pkthdr* hdr = nullptr;
    const u_char* bytes = nullptr;
    unsigned sinceProgress = 0;
    for (;;) {
        if (g_stopRequested) break;
        int rc = pcap_next_ex(pcap, &hdr, &bytes);
        if (rc == PCAP_ERROR_BREAK || g_stopRequested) break;  // end of the file, or a signal cut a read
        if (rc == PCAP_ERROR) {
            // A capture cut short (the writer was killed, the copy is partial) or a damaged
            // record: everything before it has been processed.
            Stopped(progress, shown, pcap_geterr(pcap));
            status = InputStatus::Warning;
            break;
        }
        if (rc != 1) continue;
        sensor.Frame(*link, ToTimeStamp(hdr->ts), bytes, hdr->caplen);
        if (++sinceProgress == kProgressEvery) {
            sinceProgress = 0;
            long pos = isStdin ? -1 : std::ftell(file);
            if (pos >= 0) progress.Update(doneBefore + uint64_t(pos));
        }
    }
    pcap_close(pcap);  // closes `file` too
    return status;
}

namespace {

// One live capture handle, open and filtered; null after a diagnostic.
pcap_t* OpenLive(const LiveCapture& capture, std::optional<LinkType>& link) {
    const std::string& interface = capture.interface;
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pcap = pcap_create(interface.c_str(), errbuf);
    if (!pcap) {
        std::fprintf(stderr, "smbaudit: %s: %s\n", interface.c_str(), errbuf);
        return nullptr;
    }
    auto fail = [&](const char* what, const char* why) -> pcap_t* {
        std::fprintf(stderr, "smbaudit: %s: %s: %s\n", interface.c_str(), what, why);
        pcap_close(pcap);
        return nullptr;
    };
    pcap_set_snaplen(pcap, kLiveSnapLen);
    pcap_set_promisc(pcap, 1);
    // Not immediate mode: libpcap then uses the kernel's TPACKET_V3 ring, whose blocks are
    // filled with packets packed one after the other and handed over when full or after
    // kPollMillis, instead of TPACKET_V2's one slot of the full snapshot length per packet
    // (a 2 MiB buffer would hold 8 packets of 256 KiB). Records wait at most that long.
    pcap_set_timeout(pcap, kPollMillis);
    if (capture.bufferKiB) pcap_set_buffer_size(pcap, int(std::min<uint64_t>(uint64_t(capture.bufferKiB) << 10, INT32_MAX)));
    int rc = pcap_activate(pcap);
    if (rc < 0) return fail("cannot start capture", pcap_geterr(pcap));
    if (rc > 0) std::fprintf(stderr, "smbaudit: warning: %s: %s\n", interface.c_str(), pcap_statustostr(rc));
    const int dlt = pcap_datalink(pcap);
    link = LinkTypeFromDlt(dlt);
    if (!link) return fail("unsupported link type", LinkTypeText(dlt).c_str());
    bpf_program program;
    if (pcap_compile(pcap, &program, capture.filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0)
        return fail("bad filter", pcap_geterr(pcap));
    rc = pcap_setfilter(pcap, &program);
    pcap_freecode(&program);
    if (rc != 0) return fail("cannot set filter", pcap_geterr(pcap));
    if (pcap_setnonblock(pcap, 1, errbuf) != 0) return fail("non-blocking mode", errbuf);
    return pcap;
}

// Puts the handle's packet socket in the fan-out group `group`: the kernel then hands each
// packet to one socket of the group, picked by a hash of the flow that is the same for both
// directions (addresses and ports are put in order before hashing), so that each connection
// is seen whole by one worker. IP fragments are reassembled first (DEFRAG), so that they
// hash as their flow does.
bool JoinFanout(pcap_t* pcap, uint16_t group, const std::string& interface) {
    const int arg = int(group) | ((PACKET_FANOUT_HASH | PACKET_FANOUT_FLAG_DEFRAG) << 16);
    if (setsockopt(pcap_fileno(pcap), SOL_PACKET, PACKET_FANOUT, &arg, sizeof arg) == 0) return true;
    std::fprintf(stderr, "smbaudit: %s: cannot join a kernel fan-out group (PACKET_FANOUT): %s\n", interface.c_str(),
                 std::strerror(errno));
    return false;
}

InputStatus LiveLoop(const LiveCapture& capture, pcap_t* pcap, LinkType link, FrameSink& sensor, size_t worker) {
    LiveState state{&sensor, link};
    pollfd pfd{pcap_get_selectable_fd(pcap), POLLIN, 0};
    InputStatus status = InputStatus::Ok;
    CaptureCounters counters;
    u_int lastPcapCounters[3] = {};
    while (!g_stopRequested) {
        // Waiting in poll rather than in libpcap lets a signal end the capture at once and
        // lets time-outs run while the network is quiet.
        int ready = pfd.fd >= 0 ? poll(&pfd, 1, kPollMillis) : 1;
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && pcap_dispatch(pcap, -1, OnLivePacket, reinterpret_cast<u_char*>(&state)) < 0) {
            std::fprintf(stderr, "smbaudit: %s: capture failed: %s\n", capture.interface.c_str(), pcap_geterr(pcap));
            status = InputStatus::Failed;
            break;
        }
        timeval now;
        gettimeofday(&now, nullptr);
        sensor.Tick(ToTimeStamp(now));
        pcap_stat ps{};
        if (capture.idle && pcap_stats(pcap, &ps) == 0) {
            // libpcap's counters are 32 bits wide and wrap within days on a busy link:
            // their increments are added up in 64 bits.
            const u_int now[3] = {ps.ps_recv, ps.ps_drop, ps.ps_ifdrop};
            uint64_t* totals[3] = {&counters.received, &counters.dropped, &counters.ifDropped};
            for (int i = 0; i < 3; ++i) {
                *totals[i] += uint32_t(now[i] - lastPcapCounters[i]);
                lastPcapCounters[i] = now[i];
            }
        }
        if (capture.idle) capture.idle(worker, counters);
    }
    return status;
}

}  // namespace

InputStatus CaptureLive(const LiveCapture& capture, const std::vector<FrameSink*>& sensors) {
    std::vector<pcap_t*> handles;
    auto closeAll = [&] {
        for (pcap_t* p : handles) pcap_close(p);
    };
    std::optional<LinkType> link;
    // The group id only needs to be unique among the host's fan-out groups.
    const uint16_t group = uint16_t(getpid());
    for (size_t i = 0; i < sensors.size(); ++i) {
        pcap_t* pcap = OpenLive(capture, link);
        if (!pcap || (sensors.size() > 1 && !JoinFanout(pcap, group, capture.interface))) {
            if (pcap) pcap_close(pcap);
            closeAll();
            return InputStatus::Failed;
        }
        handles.push_back(pcap);
    }
    if (capture.opened && !capture.opened()) {
        closeAll();
        return InputStatus::Failed;
    }
    std::vector<InputStatus> statuses(sensors.size(), InputStatus::Ok);
    std::vector<std::thread> threads;
    for (size_t i = 1; i < sensors.size(); ++i) {
        threads.emplace_back([&, i] {
            statuses[i] = LiveLoop(capture, handles[i], *link, *sensors[i], i);
            g_stopRequested = true;
        });
    }
    statuses[0] = LiveLoop(capture, handles[0], *link, *sensors[0], 0);
    // One handle failing stops them all: its share of the connections would go unseen.
    g_stopRequested = true;
    for (std::thread& t : threads) t.join();
    closeAll();
    return *std::max_element(statuses.begin(), statuses.end());
}

}  // namespace smbaudit
