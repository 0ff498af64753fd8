// The file tracker fed records and data pieces in an order and with offsets the input
// chooses (the traffic chooses them), then the end of the input.
//
// Input layout:
//   byte 0: per-open held limit in KiB (0..255)
//   then operations: a kind byte (bits 0-2: create, write, read, set_info end_of_file,
//           close, data without record; bits 3-5 the FID; bit 6 the data was written),
//           a 32-bit offset, a 16-bit
//           length; the piece's bytes are generated from its offsets, so that every
//           byte of the file has one value however the pieces overlap.
//
// Besides the sanitizers, the target checks what the tracker promises: held bytes within
// the limits, nothing held after every open ended, and a whole-file hash only for content
// whose bytes [0, size) were all seen, equal to the one-shot digest of those bytes.
#include <openssl/evp.h>

#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "tools/smbaudit/files/file_tracker.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

uint8_t ByteAt(uint64_t offset) { return uint8_t(offset * 31 + (offset >> 9)); }

void CheckTotals(const smbaudit::OpenTotals* t) {
    Check(t != nullptr);
    for (const smbaudit::FileDigest* d : {&t->read, &t->written}) {
        if (!d->complete) continue;
        Check(t->size && *t->size == d->coveredBytes);
        std::vector<uint8_t> content(*t->size);
        for (uint64_t i = 0; i < content.size(); ++i) content[i] = ByteAt(i);
        uint8_t want[32];
        Check(EVP_Digest(content.data(), content.size(), want, nullptr, EVP_sha256(), nullptr) == 1);
        Check(std::equal(want, want + 32, d->sha256.begin()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace smbaudit;
    FuzzInput in(data, size);
    FileTrackerConfig config;
    config.maxHeldBytesPerOpen = size_t(in.U8()) * 1024;
    config.maxHeldBytes = 64 * 1024;
    FileTracker tracker(config);
    const RecordOrigin origin{"10.0.0.1:1", "10.0.0.2:445", {}, true};
    std::vector<uint8_t> piece;
    while (!in.Empty()) {
        const uint8_t op = in.U8();
        const uint64_t offset = in.U32();
        const uint16_t len = in.U16();
        AuditRecord r;
        r.origin = &origin;
        r.status = 0;
        r.fid = (op >> 3) & 7;
        r.offset = offset;
        piece.resize(len);
        for (size_t i = 0; i < len; ++i) piece[i] = ByteAt(offset + i);
        switch (op & 7) {
        case 0: r.kind = RecordKind::Create; r.fileSize = offset & 0xFFFF; break;
        case 1: r.kind = RecordKind::Write; break;
        case 2: r.kind = RecordKind::Read; break;
        case 3: r.kind = RecordKind::SetInfo; r.infoKind = "end_of_file"; r.fileSize = offset; break;
        case 4: r.kind = RecordKind::Close; break;
        default: {
            std::optional<OpenKey> key = KeyOf(r);
            tracker.OnData(*key, op & 0x40, offset, piece.data(), piece.size(), origin.time);
            continue;
        }
        }
        r.data = piece.data();
        r.dataLen = r.dataAvailable = piece.size();
        tracker.OnRecord(r);
        if (r.kind == RecordKind::Close) CheckTotals(r.totals);
        Check(tracker.HeldBytes() <= config.maxHeldBytes);
    }
    tracker.EndAll([](AuditRecord& r) { CheckTotals(r.totals); });
    Check(tracker.OpenCount() == 0 && tracker.HeldBytes() == 0);
    return 0;
}
