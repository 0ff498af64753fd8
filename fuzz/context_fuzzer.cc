// The whole context on one connection. The input chooses the host's settings, then is cut
// into chunks of both directions, each with its resynchronisation flag, fed through
// Proccess with the documented drain loop, with CheckTimeOut between chunks when asked,
// and finally CheckTimeOut and destruction.
//
// Input layout:
//   byte 0: bit 0 NetBIOS session service framing (port 139) instead of port 445;
//           bit 1 acceptStandardNtCreateRsp; bit 2 followUnhandledAndX and followUnreadLogons;
//           bits 3-4 maxPendingRequests (none, 1, 4, 64);
//           bits 5-6 maxMessageBytes (none, 256, 4096, 65536);
//           bit 7 pending time-out of 30 s instead of 0
//   byte 1: 0, or n to make the n-th library allocation fail
//   then chunks: a flag byte (bit 0 from the client, bit 1 bytes were lost before,
//           bit 2 CheckTimeOut after the chunk, bits 3-7 seconds that pass first),
//           a 16-bit little-endian length, and that many bytes.
//
// Besides the sanitizers, the target checks what the context promises: only the documented
// result codes, a drain loop that ends, buffers within the bounds the settings imply, no
// more pending requests than allowed, nothing pending after a late CheckTimeOut, and every
// library allocation freed by the destructor.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "support/harness.h"
#include "touch_sink.h"

namespace {

bool DocumentedResult(int r) {
    switch (r) {
        case SMB_RET_PIPE_DATA:
        case SMB_RET_FILE_CMD:
        case SMB_RET_SESSION_CMD:
        case SMB_RET_OK:
        case SMB_RET_NEED_DATA:
        case SMB_RET_NOT_SESSION_MSG:
        case SMB_RET_NO_MEMORY:
        case SMB_RET_BAD_FORMAT:
        case SMB_RET_NO_REQUEST:
        case SMB_RET_ERROR_STATUS:
        case SMB_RET_NO_OBJECT:
        case SMB_RET_UNKNOWN_CMD:
        case SMB_RET_NO_LINK:
        case SMB_RET_NO_LOGON:
            return true;
        default:
            return false;
    }
}

void Check(bool ok) {
    if (!ok) std::abort();
}

constexpr uint32_t kPendingCaps[4] = {0, 1, 4, 64};
constexpr uint32_t kMessageCaps[4] = {0, 256, 4096, 65536};

void Run(FuzzInput& in) {
    uint8_t config = in.U8();
    uint8_t failAt = in.U8();

    TouchSink sink;
    _addrInfo addr;
    addr.m_serverPort = (config & 1) ? 139 : 445;
    CSMBContext ctx;
    SMBContextTestPeer peer(ctx);
    Check(ctx.Init(&sink, addr, nullptr));
    SMBContextOptions options;
    options.acceptStandardNtCreateRsp = config & 2;
    options.followUnhandledAndX = config & 4;
    options.followUnreadLogons = config & 4;
    options.maxPendingRequests = kPendingCaps[(config >> 3) & 3];
    options.maxMessageBytes = kMessageCaps[(config >> 5) & 3];
    ctx.SetOptions(options);
    ctx.SetPendingTimeOut((config & 0x80) ? 30 : 0);
    ZELK::FailNthAllocation(failAt);

    CTimeStamp32 now(1000, 0);
    uint64_t fed[2] = {0, 0};
    while (!in.Empty()) {
        uint8_t flags = in.U8();
        bool fromClient = flags & 1;
        bool lost = flags & 2;
        now.m_sec += flags >> 3;
        now.m_usec = (now.m_usec + 1) % 1000000;
        size_t len = 0;
        const uint8_t* p = in.Take(in.U16(), len);
        fed[fromClient] += len;

        // The chunk lives exactly as long as the host would keep it: during the calls.
        ExactCopy chunk(p, len);
        Check(DocumentedResult(ctx.Proccess(chunk.chars(), int(len), fromClient, 0, now, lost)));
        uint64_t rounds = 0;
        while (ctx.HasBufferedMessage(fromClient)) {
            // Each round consumes at least one message header: the loop must end.
            Check(++rounds <= fed[fromClient]);
            Check(DocumentedResult(ctx.Proccess(nullptr, 0, fromClient, 0, now, false)));
        }
        if (flags & 4) Check(ctx.CheckTimeOut(now) >= 0);

        if (options.maxMessageBytes)
            Check(ctx.BufferedBytes() <= 4 * (uint64_t(options.maxMessageBytes) + 65536) + 4096);
        if (options.maxPendingRequests) Check(peer.saved().size() <= options.maxPendingRequests);
    }

    ZELK::FailNthAllocation(0);
    now.m_sec += 100000;
    ctx.CheckTimeOut(now);
    Check(peer.saved().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    long before = ZELK::LiveAllocations();
    {
        FuzzInput in(data, size);
        Run(in);
    }
    ZELK::FailNthAllocation(0);
    Check(ZELK::LiveAllocations() == before);
    return 0;
}
