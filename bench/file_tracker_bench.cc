// The file tracker (tools/smbaudit/files): what hashing costs on a bulk transfer against
// SHA-256 alone (the figure `openssl speed -evp sha256` gives on the same machine), and the
// memory that 1,000 files being written at once take.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <openssl/evp.h>

#include <vector>

#include "tools/smbaudit/files/file_tracker.h"

namespace smbaudit {
namespace {

constexpr size_t kBlock = 64 * 1024;
const RecordOrigin kOrigin{"10.0.0.1:50000", "10.0.0.2:445", {}, true};

AuditRecord FileRecord(RecordKind kind, uint32_t fid) {
    AuditRecord r;
    r.kind = kind;
    r.origin = &kOrigin;
    r.status = 0;
    r.fid = fid;
    r.file = "\\share\\file.bin";
    return r;
}

void Write(FileTracker& tracker, uint32_t fid, uint64_t offset, const uint8_t* data, size_t len) {
    AuditRecord w = FileRecord(RecordKind::Write, fid);
    w.offset = offset;
    w.dataLen = w.dataAvailable = len;
    w.data = data;
    tracker.OnRecord(w);
}

// One 16 MiB file written in 64 KiB blocks, created and closed: Arg 0 without hashes, 1 with.
void BM_TrackerWrite(benchmark::State& state) {
    const std::vector<uint8_t> block(kBlock, 0x5A);
    const size_t blocks = 256;
    FileTrackerConfig config;
    config.hashes = state.range(0) != 0;
    FileTracker tracker(config);
    for (auto _ : state) {
        AuditRecord create = FileRecord(RecordKind::Create, 1);
        tracker.OnRecord(create);
        for (size_t i = 0; i < blocks; ++i) Write(tracker, 1, i * kBlock, block.data(), kBlock);
        AuditRecord close = FileRecord(RecordKind::Close, 1);
        tracker.OnRecord(close);
        benchmark::DoNotOptimize(close.totals);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * blocks * kBlock));
}
BENCHMARK(BM_TrackerWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// SHA-256 and MD5 alone over the same bytes, in the same blocks.
void BM_DigestReference(benchmark::State& state) {
    const std::vector<uint8_t> block(kBlock, 0x5A);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : state) {
        for (const EVP_MD* md : {EVP_sha256(), EVP_md5()}) {
            if (state.range(0) == 0 && md == EVP_md5()) continue;
            EVP_DigestInit_ex(ctx, md, nullptr);
            for (size_t i = 0; i < 256; ++i) EVP_DigestUpdate(ctx, block.data(), kBlock);
            unsigned char out[EVP_MAX_MD_SIZE];
            EVP_DigestFinal_ex(ctx, out, nullptr);
        }
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(int64_t(state.iterations() * 256 * kBlock));
}
BENCHMARK(BM_DigestReference)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);  // 0: SHA-256, 1: SHA-256 + MD5

// 1,000 files written at once, each with its first 4 KiB in order and 4 KiB out of order
// (held): the heap the tracker takes per open.
void BM_ThousandOpenWrites(benchmark::State& state) {
    const std::vector<uint8_t> piece(4096, 0x33);
    const size_t opens = size_t(state.range(0));
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        FileTracker tracker({});
        for (uint32_t fid = 1; fid <= opens; ++fid) {
            AuditRecord create = FileRecord(RecordKind::Create, fid);
            tracker.OnRecord(create);
            Write(tracker, fid, 0, piece.data(), piece.size());
            Write(tracker, fid, 8192, piece.data(), piece.size());
        }
        const size_t after = mallinfo2().uordblks;
        state.counters["bytes_per_open"] = double(after - before) / double(opens);
        state.counters["held_per_open"] = double(tracker.HeldBytes()) / double(opens);
        tracker.EndAll([](AuditRecord&) {});
    }
}
BENCHMARK(BM_ThousandOpenWrites)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace smbaudit
