// Micro-benchmarks of the library alone: every input is in memory before the clock starts,
// and the sink only counts what it is given. bench/run-benchmarks.sh runs them and prints the
// ratios the README quotes.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "bench/capture_chunks.h"
#include "bench/synthetic_streams.h"
#include "context/smb_context.h"
#include "events/events.h"
#include "router/smb_stream.h"

namespace bench {
namespace {

// Counts events and the file data they carry; touches nothing else.
class CountingSink : public CSMBOutPut {
public:
    void HandleEvent(CSMBContext*, CEventParaBase* ev) override {
        ++events;
        if (ev->m_eventType == SMB_EVT_READ) dataBytes += static_cast<CReadEvent*>(ev)->m_dataLen;
        if (ev->m_eventType == SMB_EVT_WRITE) dataBytes += static_cast<CWriteEvent*>(ev)->m_dataLen;
    }
    void HandleRPC(_smbFileObj*, const char*, size_t len, CTimeStamp32&) override {
        ++events;
        dataBytes += len;
    }
    uint64_t events = 0;
    uint64_t dataBytes = 0;
};

_addrInfo Address(bool directTcp) {
    _addrInfo addr;
    addr.m_serverPort = directTcp ? 445 : 139;
    return addr;
}

// The settings smbaudit gives each connection's context.
void ConfigureContext(CSMBContext& ctx) {
    ctx.SetPendingTimeOut(60);
    SMBContextOptions options;
    options.maxMessageBytes = 4u << 20;
    options.maxPendingRequests = 1024;
    options.acceptStandardNtCreateRsp = true;
    options.followUnhandledAndX = true;
    options.followUnreadLogons = true;
    ctx.SetOptions(options);
}

// The SMB2 side of a router that sees SMB1 only.
class NullSmb2Sink : public smbaudit::smb2::Sink {
public:
    void OnEvent(const smbaudit::smb2::Event&) override {}
    void OnPipeData(const smbaudit::smb2::Event&, const uint8_t*, size_t, uint64_t) override {}
};

// A context set up as smbaudit sets up each connection's.
void InitContext(CSMBContext& ctx, CSMBOutPut& sink, bool directTcp) {
    _addrInfo addr = Address(directTcp);
    ctx.Init(&sink, addr, nullptr);
    ConfigureContext(ctx);
}

// One chunk and the drain loop; returns the messages handled.
inline uint64_t Feed(CSMBContext& ctx, const Flow& flow, const Chunk& c) {
    CTimeStamp32 time(c.sec, c.usec);
    char* data = const_cast<char*>(reinterpret_cast<const char*>(flow.bytes.data() + c.at));
    int rc = ctx.Proccess(data, int(c.len), c.fromClient, 0, time, c.resync);
    uint64_t messages = 0;
    for (;;) {
        if (rc != SMB_RET_NEED_DATA) ++messages;
        if (!ctx.HasBufferedMessage(c.fromClient)) break;
        rc = ctx.Proccess(nullptr, 0, c.fromClient, 0, time, false);
    }
    return messages;
}

uint64_t FeedAll(CSMBContext& ctx, const Flow& flow) {
    uint64_t messages = 0;
    for (const Chunk& c : flow.chunks) messages += Feed(ctx, flow, c);
    return messages;
}

void SetMessageCounters(benchmark::State& state, uint64_t messages) {
    state.SetItemsProcessed(int64_t(messages));
    state.counters["msgs_per_s"] = benchmark::Counter(double(messages), benchmark::Counter::kIsRate);
    state.counters["s_per_msg"] =
        benchmark::Counter(double(messages), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Heap bytes in use (small blocks and mmapped ones).
size_t HeapInUse() {
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

// ---- small messages: the real captures -------------------------------------------------

const std::vector<Flow>& RealFlows() {
    static const std::vector<Flow> flows = [] {
        std::vector<Flow> all;
        for (const char* dir : {"captures", "public"}) {
            std::vector<std::filesystem::path> files;
            for (const auto& e : std::filesystem::directory_iterator(std::string(SMBAUDIT_BENCH_DATA) + "/" + dir))
                if (e.path().extension() == ".pcap") files.push_back(e.path());
            std::sort(files.begin(), files.end());
            for (const auto& f : files)
                for (Flow& flow : LoadFlows(f.string())) all.push_back(std::move(flow));
        }
        return all;
    }();
    return flows;
}

// Every connection of every committed capture, each through a fresh context.
void BM_RealCaptures(benchmark::State& state) {
    const std::vector<Flow>& flows = RealFlows();
    CountingSink sink;
    uint64_t messages = 0, bytes = 0;
    for (auto _ : state) {
        for (const Flow& flow : flows) {
            CSMBContext ctx;
            InitContext(ctx, sink, flow.directTcp);
            messages += FeedAll(ctx, flow);
            bytes += flow.bytes.size();
        }
    }
    if (sink.events == 0) state.SkipWithError("the captures gave no events");
    SetMessageCounters(state, messages);
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["flows"] = double(flows.size());
}
BENCHMARK(BM_RealCaptures)->Unit(benchmark::kMicrosecond);

// The same through the protocol router (SmbStream), which walks the NetBIOS headers and
// hands runs of SMB1 messages to the context: the cost routing adds to SMB1.
void BM_RealCapturesRouted(benchmark::State& state) {
    const std::vector<Flow>& flows = RealFlows();
    CountingSink sink;
    NullSmb2Sink sink2;
    uint64_t bytes = 0;
    for (auto _ : state) {
        for (const Flow& flow : flows) {
            smbaudit::SmbStream stream(&sink, Address(flow.directTcp), sink2, smbaudit::smb2::Limits{});
            ConfigureContext(stream.Smb1());
            for (const Chunk& c : flow.chunks)
                stream.Feed(c.fromClient, flow.bytes.data() + c.at, c.len, CTimeStamp32(c.sec, c.usec), c.resync);
            bytes += flow.bytes.size();
        }
    }
    if (sink.events == 0) state.SkipWithError("the captures gave no events");
    state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_RealCapturesRouted)->Unit(benchmark::kMicrosecond);

// ---- large transfers ---------------------------------------------------------------------

constexpr uint16_t kFid = 0x4001;
// 64 KiB messages: the file data is 65534 bytes, since with its pad byte it must fit the
// 16-bit ByteCount that delimits the data the library reports.
constexpr size_t kTransfer = 64 * 1024 - 2;

// A file opened, then `count` 64 KiB reads (or writes) in 1448-byte segments.
struct Transfer {
    Flow open;     // NT Create request and response
    Flow data;     // the transfers
    size_t payload = 0;  // file data bytes in `data`
    std::vector<size_t> bulk;  // indexes of the chunks of the large messages
};

Transfer MakeTransfer(bool write, int count) {
    Transfer t;
    AddMessage(t.open, true, NtCreateReq(1, u"\\bench\\large.bin"));
    AddMessage(t.open, false, NtCreateRsp(1, kFid));
    const ByteVec data = Pattern(kTransfer);
    for (int i = 0; i < count; ++i) {
        const uint16_t mid = uint16_t(2 + i);
        const uint32_t offset = uint32_t(i) * kTransfer;
        const size_t first = t.data.chunks.size();
        if (write) {
            AddMessage(t.data, true, WriteAndXReq(mid, kFid, offset, data));
            for (size_t c = first; c < t.data.chunks.size(); ++c) t.bulk.push_back(c);
            AddMessage(t.data, false, WriteAndXRsp(mid, kTransfer));
        } else {
            AddMessage(t.data, true, ReadAndXReq(mid, kFid, offset, kTransfer));
            const size_t rsp = t.data.chunks.size();
            AddMessage(t.data, false, ReadAndXRsp(mid, data));
            for (size_t c = rsp; c < t.data.chunks.size(); ++c) t.bulk.push_back(c);
        }
        t.payload += kTransfer;
    }
    return t;
}

void LargeTransfer(benchmark::State& state, bool write) {
    const int count = int(state.range(0));
    const Transfer t = MakeTransfer(write, count);
    CountingSink sink;
    CSMBContext ctx;
    InitContext(ctx, sink, true);
    FeedAll(ctx, t.open);
    sink.dataBytes = 0;
    for (auto _ : state) FeedAll(ctx, t.data);
    if (sink.dataBytes != t.payload * state.iterations())
        state.SkipWithError("not every byte was reported: the file was not opened");
    state.SetBytesProcessed(int64_t(t.data.bytes.size() * state.iterations()));
    state.counters["transfers"] = double(count);
}

// Read AndX responses of 64 KiB.
void BM_LargeRead(benchmark::State& state) { LargeTransfer(state, false); }
// Write AndX requests of 64 KiB.
void BM_LargeWrite(benchmark::State& state) { LargeTransfer(state, true); }
BENCHMARK(BM_LargeRead)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LargeWrite)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

// The reference: the same segments copied once into a message buffer, as reassembling them
// needs at the least. Counted over the same bytes as the transfers.
void BM_MemcpyReference(benchmark::State& state) {
    const int count = int(state.range(0));
    const Transfer t = MakeTransfer(false, count);
    std::vector<uint8_t> message(kTransfer + 4096);
    for (auto _ : state) {
        size_t at = 0;
        for (const Chunk& c : t.data.chunks) {
            if (at + c.len > message.size()) at = 0;
            std::memcpy(message.data() + at, t.data.bytes.data() + c.at, c.len);
            at += c.len;
        }
        benchmark::DoNotOptimize(message.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(t.data.bytes.size() * state.iterations()));
}
BENCHMARK(BM_MemcpyReference)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

// ---- many connections --------------------------------------------------------------------

// A busy client's connection: a file opened, read and written in 4 KiB requests, and a
// small read, each answered; the file stays open, so the connection ends idle with its
// session records.
Flow BusyClient() {
    Flow f;
    AddMessage(f, true, NtCreateReq(1, u"\\dept\\report.docx"));
    AddMessage(f, false, NtCreateRsp(1, kFid));
    const ByteVec page = Pattern(4096), small = Pattern(512);
    uint16_t mid = 2;
    for (int i = 0; i < 4; ++i, ++mid) {
        AddMessage(f, true, ReadAndXReq(mid, kFid, uint32_t(i) * 4096, 4096));
        AddMessage(f, false, ReadAndXRsp(mid, page));
    }
    for (int i = 0; i < 2; ++i, ++mid) {
        AddMessage(f, true, WriteAndXReq(mid, kFid, uint32_t(i) * 4096, page));
        AddMessage(f, false, WriteAndXRsp(mid, 4096));
    }
    AddMessage(f, true, ReadAndXReq(mid, kFid, 0, 512));
    AddMessage(f, false, ReadAndXRsp(mid, small));
    return f;
}

// `range(0)` connections open at once, each fed the busy client's traffic chunk by chunk
// in turn, as a server's capture interleaves its clients; every iteration runs the traffic
// again on the same contexts. The heap in use with every context idle after the first run
// and a time-out check, divided by the contexts, is what an idle connection costs (its
// session records and stream buffers included).
void BM_ManyConnections(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const Flow flow = BusyClient();
    CountingSink sink;
    const size_t before = HeapInUse();
    std::vector<std::unique_ptr<CSMBContext>> contexts(n);
    for (auto& ctx : contexts) {
        ctx = std::make_unique<CSMBContext>();
        InitContext(*ctx, sink, true);
    }
    auto runAll = [&] {
        uint64_t messages = 0;
        for (const Chunk& c : flow.chunks)
            for (auto& ctx : contexts) messages += Feed(*ctx, flow, c);
        return messages;
    };
    runAll();
    // The connections go quiet: the host's periodic check (smbaudit's once a second) lets
    // the contexts hand back the buffers they kept between messages.
    for (auto& ctx : contexts) ctx->CheckTimeOut(CTimeStamp32(1001, 0));
    const double idleBytes = double(HeapInUse() - before) / double(n);
    sink.events = 0;
    uint64_t messages = 0;
    for (auto _ : state) messages += runAll();
    // At least the create, the six reads and the two writes of every connection.
    if (sink.events < uint64_t(state.iterations()) * n * 8) state.SkipWithError("events missing");
    SetMessageCounters(state, messages);
    state.SetBytesProcessed(int64_t(flow.bytes.size() * n * state.iterations()));
    state.counters["idle_bytes_per_ctx"] = idleBytes;
    state.counters["sizeof_ctx"] = double(sizeof(CSMBContext));
}
BENCHMARK(BM_ManyConnections)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// ---- the pending request table -----------------------------------------------------------

// `range(0)` Read AndX requests outstanding at once, then their responses in order.
// `range(1)` is the bound on pending requests (smbaudit's default 1024; 0: none), beyond
// which the oldest gives way.
void BM_PendingHeavy(benchmark::State& state) {
    const int outstanding = int(state.range(0));
    Flow f;
    const ByteVec small = Pattern(64);
    for (int i = 0; i < outstanding; ++i)
        AddMessage(f, true, ReadAndXReq(uint16_t(i), kFid, uint32_t(i) * 64, 64));
    for (int i = 0; i < outstanding; ++i) AddMessage(f, false, ReadAndXRsp(uint16_t(i), small));
    Flow open;
    AddMessage(open, true, NtCreateReq(0xFFFF, u"\\bench\\pending.bin"));
    AddMessage(open, false, NtCreateRsp(0xFFFF, kFid));

    CountingSink sink;
    CSMBContext ctx;
    InitContext(ctx, sink, true);
    SMBContextOptions options = ctx.Options();
    options.maxPendingRequests = uint32_t(state.range(1));
    ctx.SetOptions(options);
    FeedAll(ctx, open);
    sink.events = 0;
    uint64_t messages = 0;
    for (auto _ : state) messages += FeedAll(ctx, f);
    const uint64_t answered = std::min<uint64_t>(outstanding, state.range(1) ? state.range(1) : outstanding);
    if (sink.events != answered * state.iterations()) state.SkipWithError("responses not matched");
    SetMessageCounters(state, messages);
}
BENCHMARK(BM_PendingHeavy)
    ->Args({1000, 0})
    ->Args({4000, 0})
    ->Args({1000, 1024})
    ->Args({4000, 1024})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bench

BENCHMARK_MAIN();
