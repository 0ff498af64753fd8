// The host's side of the library: the output sink, the configuration record and the
// description of a connection's endpoints.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/framework.h"

class CSMBContext;
class CEventParaBase;
struct _smbFileObj;

// The host derives its sink from this class. Events and pipe payloads are delivered
// synchronously from inside CSMBContext::Proccess; everything they point into is valid only
// during the call, and the sink must not call back into the context that calls it.
class CSMBOutPut {
public:
    CSMBOutPut() = default;
    CSMBOutPut(const CSMBOutPut&) = default;
    CSMBOutPut& operator=(const CSMBOutPut&) = default;
    virtual ~CSMBOutPut() = default;

    // One call per audit event; choose the concrete class by m_eventType.
    virtual void HandleEvent(CSMBContext* ctx, CEventParaBase* event) = 0;
    // Raw named-pipe payload (RPC traffic) of the file object `file` (never null). `data`
    // points into the stream buffer; `len` may be 0.
    virtual void HandleRPC(_smbFileObj* file, const char* data, size_t len, CTimeStamp32& time);
};

// Configuration record: two 64-bit words; the first 32 bits hold the pending-request
// time-out in seconds. Copy assignment copies nothing by design: the value a context uses is
// set through CSMBContext::SetPendingTimeOut.
class CConfigTemplate {
public:
    CConfigTemplate() = default;
    CConfigTemplate(const CConfigTemplate&) = default;
    ~CConfigTemplate() {}
    CConfigTemplate& operator=(const CConfigTemplate&) { return *this; }

    uint32_t m_timeOut = 0;   // seconds a request may wait for its response
    uint32_t m_reserved0 = 0;
    uint64_t m_reserved1 = 0;
};

// The host's 12-byte description of a connection. The library copies it whole and reads
// only the last field, the server's TCP port in host byte order: 445 selects the 24-bit
// NetBIOS length of SMB over TCP, any other port the 17-bit length of the NetBIOS session
// service. The first ten bytes are the host's own; this layout is a suggestion for IPv4.
struct _addrInfo {
    uint32_t m_clientIp = 0;
    uint32_t m_serverIp = 0;
    uint16_t m_clientPort = 0;
    uint16_t m_serverPort = 0;
};
static_assert(sizeof(_addrInfo) == 12, "_addrInfo is a 12-byte record");
