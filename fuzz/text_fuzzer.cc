// The wire-text helpers on their own, over a block of exactly the input's remaining size.
//
// Input layout: a flag byte (bit 0 counted field, bit 1 Unicode SMB string), a 16-bit start
// position, a 16-bit field limit for counted fields, then the block.
//
// Checks besides the sanitizers: conversions never claim more bytes than the field or the
// block has, their text stays within the documented length, and a string read ends inside
// its block.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "framework/framework.h"
#include "fuzz_input.h"
#include "text/value_string.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Longest narrow text: the cut text, "..." and nothing more.
constexpr size_t kMaxText = kMaxConvertedChars + 3;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    uint8_t flags = in.U8();
    uint16_t pos = in.U16();
    uint16_t limit = in.U16();
    size_t n = 0;
    const uint8_t* p = in.Take(in.Left(), n);
    ExactCopy block(p, n);
    long before = ZELK::LiveAllocations();

    // UTF-16 conversion of a field starting inside the block.
    if (pos < n) {
        size_t rest = n - pos;
        unsigned short maxBytes = static_cast<unsigned short>(rest > 0xFFFF ? 0xFFFF : rest);
        bool bounded = flags & 1;
        int consumed = limit;
        char* text = UnicodeToAscii(block.chars(), pos, consumed, bounded, maxBytes);
        Check(text != nullptr);
        Check(std::strlen(text) <= kMaxText);
        Check(consumed >= 0 && consumed <= maxBytes);
        if (bounded) Check(consumed <= limit + (limit & 1));  // whole UTF-16 units
        ZELK::MyMemFree(text);
    }

    // An SMB string field at any position, even past the block.
    std::string dest;
    uint32_t next = 0;
    SmbStringResult r = ReadSmbString(block.data(), uint32_t(n), pos, flags & 2, dest, next);
    if (r == SmbStringResult::Ok) {
        Check(next > pos && next <= n);
        Check(dest.size() <= ((flags & 2) ? kMaxText : n));
    } else {
        Check(r != SmbStringResult::NoMemory);
    }

    Check(WidenBytes(block.data(), n).size() == n);
    Check(ReadUtf16(block.data(), n).size() == n / 2);
    Check(ZELK::LiveAllocations() == before);
    return 0;
}
