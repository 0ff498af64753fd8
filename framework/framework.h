// Framework services the analyser is built on: capture time stamps, the per-direction
// stream buffer and the heap allocator that every record comes from.
#pragma once

#include <cstddef>
#include <cstdint>

// A capture time stamp: seconds in the first word, microseconds in the second.
// Time-out spans use the same layout (seconds first, 0 in the second word).
struct CTimeStamp32 {
    uint32_t m_sec = 0;
    uint32_t m_usec = 0;

    CTimeStamp32() = default;
    CTimeStamp32(uint32_t sec, uint32_t usec) : m_sec(sec), m_usec(usec) {}

    uint64_t Micros() const { return uint64_t(m_sec) * 1000000u + m_usec; }

    // True when `then` lies more than `span` before `now`. A span that is exactly
    // reached has not elapsed yet. A `then` in the future never times out.
    static bool IsTimeOut(const CTimeStamp32& now, const CTimeStamp32& then, const CTimeStamp32& span);
};

// Stream buffer of one direction of a connection.
//
// A pass starts with LockBuffer(new bytes) and ends with FreeBuffer(). During a pass the
// bytes kept from earlier passes followed by the new bytes are readable from offset 0.
// When nothing was kept, the caller's bytes are read in place (no copy at all); only the
// bytes left unconsumed at FreeBuffer() are copied into the buffer's own storage, so each
// byte is copied at most once whatever the chunking. Consuming from the front only moves
// an index; storage is compacted when appending, handed back once drained if it grew
// large for a big message, and handed back whatever its size by ClearHisData() and by
// Trim() when drained.
// Between messages of a busy direction small storage is kept, since freeing and
// allocating it for every message that spans chunks makes the C library give memory back
// to the system and fault it in again all the time.
class CBufferManager {
public:
    explicit CBufferManager(unsigned int capacity);
    ~CBufferManager();
    CBufferManager(const CBufferManager&) = delete;
    CBufferManager& operator=(const CBufferManager&) = delete;

    // -1 when the bytes could not be kept for lack of memory; everything held is dropped.
    int LockBuffer(const char* data, unsigned int len);
    // Pointer to `len` contiguous bytes at `offset`, or null when fewer than offset + len
    // bytes are held. Valid until FreeBuffer().
    char* GetData(unsigned int offset, unsigned int len) const;
    bool CheckLength(unsigned int offset, unsigned int len) const;
    // Consumes n bytes from the front. Consuming more than is held drops everything held
    // and discards the remainder from the front of later passes, so that a message that
    // is skipped before it has fully arrived does not leave its tail to be read as a new
    // message.
    int Skip(unsigned int n);
    int FreeBuffer();
    void ClearHisData();
    // Hands the storage back if nothing is kept (between passes): a direction gone quiet
    // then costs no buffer memory.
    void Trim();

    // Bytes readable in the current pass (inside a pass) or kept for the next one.
    unsigned int Length() const { return m_viewLen; }
    // Bytes of storage currently allocated (for memory accounting).
    std::size_t Footprint() const { return m_cap; }

private:
    bool Append(const char* data, unsigned int len);
    bool Reserve(uint64_t need);
    void Release();

    char* m_store = nullptr;    // owned storage
    unsigned int m_cap = 0;     // bytes allocated in m_store
    unsigned int m_initialCap;  // first allocation when bytes must be kept
    const char* m_view = nullptr;  // readable bytes of this pass (into m_store or the caller's chunk)
    unsigned int m_viewLen = 0;
    unsigned int m_begin = 0;   // kept bytes live in m_store[m_begin, m_begin + m_viewLen) between passes
    bool m_external = false;    // the view points into the caller's chunk
    uint64_t m_skipDebt = 0;    // bytes still to drop from the front of future chunks
};

namespace ZELK {
// Heap blocks for records and temporary text buffers. Null on failure.
unsigned char* MyMemAlloc(unsigned int size);
// Tracking form: records the caller's source name and line with the block.
unsigned char* MyMemAlloc(unsigned int size, const char* file, unsigned int line);
void MyMemFree(void* p);

// Test and diagnostic hooks (per thread, since each context is driven by one thread).
// Makes the n-th allocation from now (1 = the next one) fail; 0 disarms the hook. Returns
// the allocations the previous setting still had to wait for (0: it failed one, or was off).
unsigned int FailNthAllocation(unsigned int n);
// Blocks handed out and not yet freed by this thread.
long LiveAllocations();
}  // namespace ZELK

// Class-level allocation through the framework allocator. A failed allocation yields a
// null pointer from the new-expression (the operators are non-throwing), which callers
// turn into SMB_RET_NO_MEMORY.
struct CZelkAllocated {
    static void* operator new(std::size_t n) noexcept { return ZELK::MyMemAlloc(static_cast<unsigned int>(n)); }
    static void* operator new(std::size_t n, const char* file, unsigned int line) noexcept {
        return ZELK::MyMemAlloc(static_cast<unsigned int>(n), file, line);
    }
    static void* operator new[](std::size_t n) noexcept { return ZELK::MyMemAlloc(static_cast<unsigned int>(n)); }
    static void operator delete(void* p) noexcept { ZELK::MyMemFree(p); }
    static void operator delete(void* p, const char*, unsigned int) noexcept { ZELK::MyMemFree(p); }
    static void operator delete[](void* p) noexcept { ZELK::MyMemFree(p); }
};
