// The SMB2/3 analyser over whole connections, alone or behind the protocol router. The input
// chooses the limits, then is cut into chunks of both directions, each with its
// resynchronisation flag, with CheckTimeOut between chunks when asked.
//
// Input layout:
//   byte 0: bit 0 port 139 (router only); bit 1 through the router (SmbStream) with its SMB1
//           context, else the bare smb2::Connection;
//           bits 2-3 maxMessageBytes (default, 256, 4096, 65536);
//           bits 4-5 maxPendingRequests (default, 1, 4, 64);
//           bit 6 tables of 2 sessions, trees and opens; bit 7 pipe payloads cut at 16 bytes
//   byte 1: bit 7 a stand-in decryptor (a transform message whose nonce starts with an odd
//           byte "decrypts" to the bytes after its header); bits 0-6, bare connection only:
//           0, or n to make the n-th allocation of the analyser (global operator new) fail
//   then chunks: a flag byte (bit 0 from the client, bit 1 bytes were lost before,
//           bit 2 CheckTimeOut after the chunk, bits 3-7 seconds that pass first),
//           a 16-bit little-endian length, and that many bytes.
//
// Besides the sanitizers and the sink's checks, the target checks what the analyser
// promises: the memory it holds stays within the bounds the limits imply whatever the
// message sizes, and every allocation is freed when the connection goes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "fuzz_input.h"
#include "router/smb_stream.h"
#include "smb2/analyzer.h"
#include "smb2/connection_impl.h"
#include "touch_sink.h"

namespace {

// Allocation accounting of the whole program; the n-th allocation the analyser makes fails
// when armed (the harness's own allocations are not counted).
size_t g_failAt = 0;
size_t g_allocations = 0;
bool g_inAnalyser = false;
long g_live = 0;

struct InAnalyser {
    InAnalyser() { g_inAnalyser = true; }
    ~InAnalyser() { g_inAnalyser = false; }
};

void Check(bool ok) {
    if (!ok) std::abort();
}

constexpr size_t kMessageCaps[4] = {0, 256, 4096, 65536};
constexpr size_t kPendingCaps[4] = {0, 1, 4, 64};

// What one connection may hold: per direction a message buffer (a header when the message
// streams) and a pipe payload, each up to twice its bound as a vector grows; the tables and
// the pending requests.
size_t MemoryBound(const smbaudit::smb2::Limits& l) {
    using namespace smbaudit::smb2;
    return 2 * (2 * std::max<size_t>(l.maxMessageBytes, kWriteRequestFixed) + 2 * l.maxPipeDataBytes) +
           l.maxSessions * sizeof(Session) + l.maxTrees * sizeof(Tree) + l.maxOpens * sizeof(Open) +
           l.maxPendingRequests * sizeof(Pending);
}

// Hands the decryption hooks plausible calls and "decrypts" by taking the ciphertext as is.
class StandInDecryptor : public smbaudit::smb2::Decryptor {
public:
    void OnPreauthMessage(uint64_t, bool, const uint8_t* msg, size_t len) override { TouchBytes(msg, len); }
    void OnNegotiated(uint16_t, uint16_t, uint16_t) override {}
    void OnSessionSetup(uint64_t, bool, const uint8_t* buffer, size_t len, uint32_t) override {
        if (len) TouchBytes(buffer, len);
    }
    bool Decrypt(const uint8_t* msg, size_t len, std::vector<uint8_t>& scratch, size_t& plainLen) override {
        Check(len >= smbaudit::smb2::kTransformHeaderSize);
        if (!(msg[20] & 1)) return false;
        plainLen = len - smbaudit::smb2::kTransformHeaderSize;
        if (scratch.size() < plainLen) scratch.resize(plainLen);
        std::copy(msg + smbaudit::smb2::kTransformHeaderSize, msg + len, scratch.begin());
        return true;
    }
};

void Run(FuzzInput& in) {
    const uint8_t config = in.U8();
    const uint8_t second = in.U8();
    const uint8_t failAt = second & 0x7F;
    const bool routed = config & 2;

    smbaudit::smb2::Limits limits;
    if (size_t cap = kMessageCaps[(config >> 2) & 3]) limits.maxMessageBytes = cap;
    if (size_t cap = kPendingCaps[(config >> 4) & 3]) limits.maxPendingRequests = cap;
    if (config & 0x40) limits.maxSessions = limits.maxTrees = limits.maxOpens = 2;
    if (config & 0x80) limits.maxPipeDataBytes = 16;
    limits.pendingTimeOutSeconds = 30;

    TouchSmb2Sink sink2(limits.maxPipeDataBytes);
    TouchSink sink1;
    _addrInfo addr;
    addr.m_serverPort = (config & 1) ? 139 : 445;
    smbaudit::SmbStream stream(&sink1, addr, sink2, limits);
    smbaudit::smb2::Connection bare(sink2, limits);
    StandInDecryptor decryptor;
    if (second & 0x80) {
        stream.SetDecryptor(&decryptor);
        bare.SetDecryptor(&decryptor);
    }
    // The SMB1 context is not written for failing std allocations: only the bare analyser
    // gets them.
    if (!routed) {
        g_allocations = 0;
        g_failAt = failAt;
    }

    const bool messageBound = limits.maxMessageBytes < 0xFFFFFF;

    CTimeStamp32 now(1000, 0);
    while (!in.Empty()) {
        uint8_t flags = in.U8();
        bool fromClient = flags & 1;
        now.m_sec += flags >> 3;
        now.m_usec = (now.m_usec + 1) % 1000000;
        size_t len = 0;
        const uint8_t* p = in.Take(in.U16(), len);
        ExactCopy chunk(p, len);
        if (routed) {
            stream.Feed(fromClient, chunk.data(), len, now, flags & 2);
            if (flags & 4) stream.CheckTimeOut(now);
        } else {
            {
                InAnalyser scope;
                bare.Feed(fromClient, chunk.data(), len, now, flags & 2);
                if (flags & 4) bare.CheckTimeOut(now);
            }
            if (messageBound) Check(bare.BufferedBytes() <= MemoryBound(limits));
        }
    }
    g_failAt = 0;
}

}  // namespace

void* operator new(size_t n) {
    if (g_failAt && g_inAnalyser && ++g_allocations == g_failAt) throw std::bad_alloc();
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    ++g_live;
    return p;
}
void operator delete(void* p) noexcept {
    if (!p) return;
    --g_live;
    std::free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }
// The array and nothrow forms too, so that every block is freed by the pair that allocated it.
void* operator new[](size_t n) { return operator new(n); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const long before = g_live;
    {
        FuzzInput in(data, size);
        Run(in);
    }
    Check(g_live == before);
    return 0;
}
