// The record stage that follows the DCE/RPC conversation on every named pipe, whichever
// SMB version carries it: the presentation contexts each bind or alter_context sets up
// (context id -> interface), each request's operation, the response that answers it
// (paired by call id and context id, across fragments), the response's status, and the few
// clear-text stub fields the notices need. It fills the rpc records' `rpc` member.
//
// State, all bounded: at most kMaxPipes pipes per worker (the least recently used is
// forgotten first; a pipe is forgotten when its close record passes), per pipe at most
// kMaxContexts presentation contexts, kMaxCalls calls awaiting their response (the oldest
// is dropped), kMaxHandles service handles, and per direction the stub of one call with
// clear-text fields (or the bind being read), kept up to kMaxStub bytes (a longer stub loses its end: fields that
// lie past it are not reported).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "tools/smbaudit/dcerpc_summary.h"
#include "tools/smbaudit/record_pipeline.h"

namespace smbaudit {

class RpcStage : public RecordStage {
public:
    static constexpr size_t kMaxPipes = 1024;
    static constexpr size_t kMaxContexts = 16;
    static constexpr size_t kMaxCalls = 32;
    static constexpr size_t kMaxHandles = 16;
    static constexpr size_t kMaxStub = 64 * 1024;

    bool OnRecord(AuditRecord& record, RecordPipeline& pipeline) override;

private:
    using Handle = std::array<uint8_t, 20>;  // an RPC context handle (svcctl's SC_RPC_HANDLE)

    struct Call {
        uint32_t callId = 0;
        uint16_t contextId = 0;
        uint16_t opnum = 0;
        const char* interfaceName = nullptr;
        std::u16string serviceName;  // svcctl calls that name a service or act on its handle
    };
    // One direction's fragment in progress; a fragment may span several pipe payloads.
    struct Direction {
        size_t remaining = 0;  // bytes of the current fragment not seen yet
        std::vector<uint8_t> head;  // the first bytes of a PDU cut across payloads
        size_t fragOffset = 0;  // bytes of it seen
        size_t stubBegin = 0, stubEnd = 0;  // the stub's place in the fragment (no stub: equal)
        uint32_t callId = 0;
        bool lastFragment = false;
        bool keepStub = false;
        bool bind = false;  // the fragment is a bind or alter_context, kept whole in `stub`
        bool littleEndian = true;
        std::vector<uint8_t> stub;  // the request stub of a call with clear-text fields
        std::array<uint8_t, 24> tail{};  // the response stub's last bytes: handle and status
        size_t tailLen = 0;
    };
    struct Pipe {
        std::vector<std::pair<uint16_t, const char*>> contexts;
        std::vector<Call> calls;
        std::vector<std::pair<Handle, std::u16string>> services;
        Direction request, response;
        uint64_t lastUse = 0;
    };

    Pipe& PipeOf(const std::string& key);
    void Payload(Pipe& pipe, bool fromClient, const uint8_t* data, size_t len);
    void BeginFragment(Pipe& pipe, Direction& d, const DcerpcSummary& s);
    void Bind(Pipe& pipe, const std::vector<uint8_t>& pdu);
    void Consume(Direction& d, const uint8_t* bytes, size_t len);
    void EndFragment(Pipe& pipe, Direction& d, bool fromClient);
    void EndRequest(Pipe& pipe, Call& call, const Direction& d);
    void EndResponse(Pipe& pipe, const Call& call, const Direction& d);
    Call* FindCall(Pipe& pipe, uint32_t callId);
    void Describe(const Call& call);

    std::unordered_map<std::string, Pipe> m_pipes;
    uint64_t m_clock = 0;  // orders the pipes by last use
    RpcCall m_call;        // the call of the record being processed
    bool m_described = false;
};

// The key of a pipe: connection and file id.
std::string PipeKey(const AuditRecord& record);

}  // namespace smbaudit
