// The file tracker driven by records and data pieces: each row opens a file, passes pieces
// of a known content in the row's order, and closes it (or ends the connection). The
// hashes are checked against a one-shot digest of the content, the extraction against it.
#include "tools/smbaudit/files/file_tracker.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/smbaudit/files/file_json.h"

namespace smbaudit {
namespace {

struct Piece { uint64_t offset, len; };
struct Row {
    const char* name;
    bool written;
    std::vector<Piece> pieces;
    std::optional<uint64_t> createSize;  // the create's end of file
    bool closed;                         // else the connection ends
    bool complete;
    uint64_t covered;
    size_t maxHeld = 80000;  // out-of-order bytes the open may hold
};

std::vector<uint8_t> Content(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + i / 251);
    return v;
}

TEST(FileTracker, HashesInOffsetOrderWithinTheHeldBound) {
    const Row rows[] = {
        {"in order", true, {{0, 40000}, {40000, 40000}, {80000, 20000}}, 0, true, true, 100000},
        {"out of order", true, {{60000, 40000}, {20000, 40000}, {0, 20000}}, 0, true, true, 100000},
        {"hole", true, {{0, 10000}, {20000, 10000}}, 0, true, false, 20000},
        {"beyond the held bound", true, {{10000, 5000}, {0, 10000}}, 0, true, false, 15000, 4096},
        {"a byte, then the block again", true, {{0, 1}, {0, 3000}, {2900, 1100}}, 0, true, true, 4000},
        {"rewritten beyond the recent bytes", true, {{0, 5000}, {0, 5000}}, 0, true, false, 5000},
        {"read twice", false, {{0, 5000}, {0, 5000}}, 5000, true, true, 5000},
        {"read short of the size", false, {{0, 5000}}, 6000, true, false, 5000},
        {"cut off by the end of the capture", true, {{0, 5000}}, 0, false, false, 5000},
    };
    const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "extract";
    std::filesystem::remove_all(dir);
    ExtractStore store;
    std::string error;
    ASSERT_TRUE(store.Open({dir.string(), 0, 0, false}, error)) << error;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FileTrackerConfig config;
        config.maxHeldBytesPerOpen = row.maxHeld;
        config.extract = &store;
        FileTracker tracker(config);
        const std::vector<uint8_t> content = Content(100000);
        RecordOrigin origin{"10.0.0.1:1000", "10.0.0.2:445", {}, true};
        AuditRecord r;
        r.origin = &origin;
        r.fid = 7;
        r.file = "\\a.bin";
        r.kind = RecordKind::Create;
        r.status = 0;
        r.fileSize = row.createSize;
        ASSERT_TRUE(tracker.OnRecord(r));
        for (const Piece& p : row.pieces) {
            AuditRecord io = r;
            io.kind = row.written ? RecordKind::Write : RecordKind::Read;
            io.offset = p.offset;
            io.dataLen = io.dataAvailable = p.len;
            io.data = content.data() + p.offset;
            tracker.OnRecord(io);
        }
        AuditRecord close = r;
        close.kind = RecordKind::Close;
        close.fileSize.reset();
        OpenTotals totals;
        if (row.closed) {
            tracker.OnRecord(close);
            ASSERT_TRUE(close.totals);
            totals = *close.totals;
        } else {
            int emitted = 0;
            tracker.EndAll([&](AuditRecord& rec) {
                ++emitted;
                EXPECT_FALSE(rec.status);
                totals = *rec.totals;
            });
            EXPECT_EQ(emitted, 1);
        }
        EXPECT_EQ(tracker.OpenCount(), 0u);
        EXPECT_EQ(tracker.HeldBytes(), 0u);
        const FileDigest& d = row.written ? totals.written : totals.read;
        EXPECT_EQ(row.written ? totals.writes : totals.reads, row.pieces.size());
        EXPECT_EQ(d.complete, row.complete);
        EXPECT_EQ(d.coveredBytes, row.covered);
        if (!row.complete) continue;
        std::array<uint8_t, 32> want;
        ASSERT_EQ(EVP_Digest(content.data(), row.covered, want.data(), nullptr, EVP_sha256(), nullptr), 1);
        EXPECT_EQ(HexDigest(d.sha256), HexDigest(want));
        std::ifstream stored(dir / HexDigest(want), std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stored), {}};
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.begin(), content.begin() + row.covered) &&
                    bytes.size() == row.covered);
        EXPECT_TRUE(std::filesystem::exists(dir / (HexDigest(want) + ".json")));
    }
    // Nothing but complete files and their sidecars; no temporary file left.
    EXPECT_TRUE(std::filesystem::is_empty(dir / ".tmp"));
}

}  // namespace
}  // namespace smbaudit
