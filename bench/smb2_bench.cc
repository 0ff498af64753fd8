// Micro-benchmarks of the SMB2/3 analyser: small messages, 1 MiB READ responses in MTU-sized
// segments against copying the same bytes, and the memory a connection holds during an
// 8 MiB READ. Inputs are built in memory before the clock starts.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstring>

#include "bench/capture_chunks.h"
#include "bench/synthetic_streams.h"
#include "smb2/analyzer.h"
#include "smb2/messages.h"
#include "support/smb2_builder.h"

namespace bench {
namespace {

using namespace smbaudit::smb2;

class CountingSink : public Sink {
public:
    void OnEvent(const Event&) override { ++events; }
    void OnPipeData(const Event&, const uint8_t*, size_t len, uint64_t) override { dataBytes += len; }
    void OnFileData(const Open&, bool, uint64_t, const uint8_t*, size_t len) override { dataBytes += len; }
    uint64_t events = 0;
    uint64_t dataBytes = 0;
};

constexpr uint64_t kSid = 0x4000000001;
constexpr uint32_t kTid = 5;
constexpr uint8_t kFile = 0x31;

void Add(Flow& f, bool fromClient, const Smb2& m, size_t segment = kSegment) {
    AddMessage(f, fromClient, Nbt(m.bytes()), segment);
}

// The file opened on a disk share.
Flow OpenFile() {
    Flow f;
    Add(f, true, Smb2(kTreeConnect).mid(1).sid(kSid).body(Bytes().u16(9).u16(0).u16(72).u16(8).utf16(u"\\\\s\\d")));
    Add(f, false, Smb2(kTreeConnect).response().mid(1).sid(kSid).tid(kTid)
                      .body(Bytes().u16(16).u8(kShareDisk).u8(0).u32(0).u32(0).u32(0x1F01FF)));
    Add(f, true, Smb2(kCreate).mid(2).sid(kSid).tid(kTid).body(CreateRequestBody(u"bench\\large.bin")));
    Add(f, false, Smb2(kCreate).response().mid(2).sid(kSid).tid(kTid).body(CreateResponseBody(kFile, 1 << 30)));
    return f;
}

Smb2 ReadRequest(uint64_t mid, uint64_t offset, uint32_t length) {
    return Smb2(kRead).mid(mid).sid(kSid).tid(kTid)
        .body(Bytes().u16(49).u8(0).u8(0).u32(length).u64(offset).raw(FileIdBytes(kFile)).fill(17));
}
Smb2 ReadResponse(uint64_t mid, const ByteVec& data) {
    return Smb2(kRead).response().mid(mid).sid(kSid).tid(kTid)
        .body(Bytes().u16(17).u8(80).u8(0).u32(uint32_t(data.size())).u64(0).raw(data));
}

void FeedAll(Connection& c, const Flow& f) {
    for (const Chunk& ch : f.chunks)
        c.Feed(ch.fromClient, f.bytes.data() + ch.at, ch.len, CTimeStamp32(ch.sec, ch.usec), false);
}

// Small messages, one per segment: creates, 512-byte reads, set-info and closes of a client
// working through many files.
void BM_Smb2SmallMessages(benchmark::State& state) {
    Flow f;
    const ByteVec page = Pattern(512);
    uint64_t mid = 10, messages = 0;
    for (int i = 0; i < 1000; ++i) {
        const uint8_t id = uint8_t(0x40 + i % 64);
        Add(f, true, Smb2(kCreate).mid(mid).sid(kSid).tid(kTid).body(CreateRequestBody(u"dir\\file.txt")));
        Add(f, false, Smb2(kCreate).response().mid(mid).sid(kSid).tid(kTid).body(CreateResponseBody(id, 512)));
        ++mid;
        Add(f, true, Smb2(kRead).mid(mid).sid(kSid).tid(kTid)
                         .body(Bytes().u16(49).u8(0).u8(0).u32(512).u64(0).raw(FileIdBytes(id)).fill(17)));
        Add(f, false, ReadResponse(mid, page));
        ++mid;
        Add(f, true, Smb2(kClose).mid(mid).sid(kSid).tid(kTid).body(Bytes().u16(24).u16(1).u32(0).raw(FileIdBytes(id))));
        Add(f, false, Smb2(kClose).response().mid(mid).sid(kSid).tid(kTid).body(Bytes().u16(60).u16(1).fill(56)));
        ++mid;
        messages += 6;
    }
    CountingSink sink;
    Connection conn(sink, Limits{});
    FeedAll(conn, OpenFile());
    for (auto _ : state) FeedAll(conn, f);
    if (sink.events < 3000 * uint64_t(state.iterations())) state.SkipWithError("events missing");
    state.SetItemsProcessed(int64_t(messages * state.iterations()));
    state.counters["msgs_per_s"] = benchmark::Counter(double(messages * state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Smb2SmallMessages)->Unit(benchmark::kMicrosecond);

// `range(0)` READ responses of 1 MiB in 1448-byte segments (with their requests).
Flow LargeReads(int count) {
    Flow f;
    const ByteVec data = Pattern(1 << 20);
    for (int i = 0; i < count; ++i) {
        Add(f, true, ReadRequest(100 + i, uint64_t(i) << 20, 1 << 20));
        Add(f, false, ReadResponse(100 + i, data));
    }
    return f;
}

void BM_Smb2LargeRead(benchmark::State& state) {
    const Flow f = LargeReads(int(state.range(0)));
    CountingSink sink;
    Connection conn(sink, Limits{});
    FeedAll(conn, OpenFile());
    for (auto _ : state) FeedAll(conn, f);
    if (sink.dataBytes != uint64_t(state.range(0)) * (1 << 20) * state.iterations())
        state.SkipWithError("not every byte streamed past");
    state.SetBytesProcessed(int64_t(f.bytes.size() * state.iterations()));
}
BENCHMARK(BM_Smb2LargeRead)->Arg(16)->Unit(benchmark::kMicrosecond);

// The reference: the same segments copied once into a 1 MiB message buffer.
void BM_Smb2MemcpyReference(benchmark::State& state) {
    const Flow f = LargeReads(int(state.range(0)));
    std::vector<uint8_t> message((1 << 20) + 4096);
    for (auto _ : state) {
        size_t at = 0;
        for (const Chunk& c : f.chunks) {
            if (at + c.len > message.size()) at = 0;
            std::memcpy(message.data() + at, f.bytes.data() + c.at, c.len);
            at += c.len;
        }
        benchmark::DoNotOptimize(message.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(f.bytes.size() * state.iterations()));
}
BENCHMARK(BM_Smb2MemcpyReference)->Arg(16)->Unit(benchmark::kMicrosecond);

size_t HeapInUse() {
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

// An 8 MiB READ response: the most heap the connection (and its sink) holds beyond its
// state before the response, sampled after every segment.
void BM_Smb2ReadMemory(benchmark::State& state) {
    Flow f;
    Add(f, true, ReadRequest(50, 0, 8 << 20));
    Add(f, false, ReadResponse(50, Pattern(8 << 20)));
    size_t most = 0, buffered = 0;
    for (auto _ : state) {
        CountingSink sink;
        Connection conn(sink, Limits{});
        FeedAll(conn, OpenFile());
        const size_t before = HeapInUse();
        for (const Chunk& ch : f.chunks) {
            conn.Feed(ch.fromClient, f.bytes.data() + ch.at, ch.len, CTimeStamp32(1, 0), false);
            most = std::max(most, HeapInUse() - std::min(before, HeapInUse()));
            buffered = std::max(buffered, conn.BufferedBytes());
        }
        if (sink.dataBytes != 8u << 20) state.SkipWithError("not every byte streamed past");
    }
    state.counters["heap_growth_bytes"] = double(most);
    state.counters["buffered_bytes"] = double(buffered);
}
BENCHMARK(BM_Smb2ReadMemory)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
