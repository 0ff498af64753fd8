#include "tools/smbaudit/dcerpc/rpc_stage.h"

#include <algorithm>
#include <cstring>

#include "tools/smbaudit/dcerpc/rpc_operations.h"

namespace smbaudit {
namespace {

constexpr size_t kMaxText = 1024;  // code units kept of a clear-text stub string

// svcctl and the scheduler opnums whose stubs carry the clear-text fields.
enum : uint16_t {
    kCreateServiceW = 12,
    kOpenServiceW = 16,
    kStartServiceW = 19,
    kCreateServiceA = 24,
    kOpenServiceA = 28,
    kStartServiceA = 31,
    kCreateServiceWow64A = 44,
    kCreateServiceWow64W = 45,
    kNetrJobAdd = 0,
    kSchRpcRegisterTask = 1,
};

// The first bytes of a PDU read before anything else: the header, a request's context id
// and opnum, and its object uuid when it has one.
constexpr size_t kHeadMax = 40;
constexpr size_t kFragLengthEnd = 10;
size_t HeadLength(const uint8_t* p, size_t len) {
    if (len < kFragLengthEnd) return kHeadMax;
    return std::min<size_t>(kHeadMax, DcerpcU16(p + 8, (p[4] & 0x10) != 0));
}

bool Is(const char* name, const char* wanted) { return name && std::strcmp(name, wanted) == 0; }

bool IsCreateService(uint16_t op) {
    return op == kCreateServiceW || op == kCreateServiceA || op == kCreateServiceWow64A || op == kCreateServiceWow64W;
}
bool IsOpenService(uint16_t op) { return op == kOpenServiceW || op == kOpenServiceA; }
bool IsStartService(uint16_t op) { return op == kStartServiceW || op == kStartServiceA; }
bool IsWide(uint16_t op) { return op == kCreateServiceW || op == kOpenServiceW || op == kCreateServiceWow64W; }

// Requests whose stub the stage reads.
bool KeepsStub(const char* iface, uint16_t op) {
    if (Is(iface, "svcctl")) return IsCreateService(op) || IsOpenService(op) || IsStartService(op);
    if (Is(iface, "atsvc")) return op == kNetrJobAdd;
    if (Is(iface, "taskschd")) return op == kSchRpcRegisterTask;
    return false;
}

// Reads NDR-encoded little-endian data: aligned integers and conformant varying strings,
// refusing to read past the end (ok() turns false and stays false).
class NdrReader {
public:
    using Handle20 = std::array<uint8_t, 20>;

    NdrReader(const std::vector<uint8_t>& bytes) : m_p(bytes.data()), m_n(bytes.size()) {}

    bool ok() const { return m_ok; }
    uint32_t U32() {
        Align(4);
        if (!Need(4)) return 0;
        uint32_t v = DcerpcU32(m_p + m_at, true);
        m_at += 4;
        return v;
    }
    void Skip(size_t n) {
        if (Need(n)) m_at += n;
    }
    Handle20 Handle() {
        Handle20 h{};
        if (Need(h.size())) std::memcpy(h.data(), m_p + m_at, h.size());
        Skip(h.size());
        return h;
    }
    // max count, offset, actual count, then the characters (UTF-16 or 8-bit); the
    // terminating NUL is dropped and at most kMaxText units are kept.
    std::u16string String(bool wide) {
        U32();
        U32();
        uint32_t count = U32();
        size_t unit = wide ? 2 : 1;
        if (!m_ok || count > (m_n - m_at) / unit) {
            m_ok = false;
            return {};
        }
        std::u16string text;
        for (uint32_t i = 0; i < count && text.size() < kMaxText; ++i) {
            const uint8_t* c = m_p + m_at + i * unit;
            text += wide ? char16_t(c[0] | c[1] << 8) : char16_t(c[0]);
        }
        m_at += count * unit;
        while (!text.empty() && text.back() == 0) text.pop_back();
        return text;
    }
    // A unique pointer to a string: referent id, then the string when it is not null.
    std::u16string UniqueString(bool wide) { return U32() ? String(wide) : std::u16string(); }

private:
    bool Need(size_t n) {
        if (m_ok && n <= m_n - m_at) return true;
        m_ok = false;
        return false;
    }
    void Align(size_t a) { Skip((a - m_at % a) % a); }

    const uint8_t* m_p;
    size_t m_n;
    size_t m_at = 0;
    bool m_ok = true;
};

}  // namespace

std::string PipeKey(const AuditRecord& r) {
    std::string key;
    if (r.origin) key = r.origin->client + ' ' + r.origin->server;
    if (r.fid) key += ' ' + std::to_string(*r.fid);
    if (r.fileId) key.append(reinterpret_cast<const char*>(r.fileId->data()), r.fileId->size());
    return key;
}

bool RpcStage::OnRecord(AuditRecord& r, RecordPipeline&) {
    if (r.kind == RecordKind::Close && (r.fid || r.fileId) && !m_pipes.empty()) {
        m_pipes.erase(PipeKey(r));
        return true;
    }
    if (r.kind != RecordKind::Rpc || !r.data || !r.direction) return true;
    m_call = RpcCall{};
    m_described = false;
    const bool fromClient = std::strcmp(r.direction, "request") == 0;
    Pipe& pipe = PipeOf(PipeKey(r));
    Payload(pipe, fromClient, r.data, r.dataAvailable);
    if (r.dataLen && r.dataAvailable < *r.dataLen) {
        // The end of the payload was not seen: the fragment it continues cannot be followed.
        Direction& d = fromClient ? pipe.request : pipe.response;
        d.remaining = 0;
        d.keepStub = false;
    }
    if (m_described) r.rpc = &m_call;
    return true;
}

RpcStage::Pipe& RpcStage::PipeOf(const std::string& key) {
    auto it = m_pipes.find(key);
    if (it == m_pipes.end()) {
        if (m_pipes.size() >= kMaxPipes) {
            auto oldest = std::min_element(m_pipes.begin(), m_pipes.end(), [](const auto& a, const auto& b) {
                return a.second.lastUse < b.second.lastUse;
            });
            m_pipes.erase(oldest);
        }
        it = m_pipes.emplace(key, Pipe{}).first;
    }
    it->second.lastUse = ++m_clock;
    return it->second;
}

// One pipe payload: the rest of a fragment begun earlier, then whole or partial fragments.
void RpcStage::Payload(Pipe& pipe, bool fromClient, const uint8_t* p, size_t n) {
    Direction& d = fromClient ? pipe.request : pipe.response;
    size_t pos = 0;
    while (pos < n) {
        size_t take;
        if (d.remaining > 0) {
            take = std::min(d.remaining, n - pos);
            if (Call* call = FindCall(pipe, d.callId)) Describe(*call);
            Consume(d, p + pos, take);
        } else if (!d.head.empty() || n - pos < HeadLength(p + pos, n - pos)) {
            // A PDU whose first bytes are cut across payloads: gather them first.
            // the fragment length first, then the rest of the head and no byte beyond it
            size_t want = d.head.size() < kFragLengthEnd ? kFragLengthEnd : HeadLength(d.head.data(), d.head.size());
            take = std::min(n - pos, std::max(want, d.head.size()) - d.head.size());
            d.head.insert(d.head.end(), p + pos, p + pos + take);
            pos += take;
            if (d.head.size() < HeadLength(d.head.data(), d.head.size())) continue;
            std::vector<uint8_t> head;
            head.swap(d.head);
            DcerpcSummary s;
            if (!ParseDcerpc(head.data(), head.size(), s) || s.fragLength < head.size()) return;
            d.remaining = s.fragLength - head.size();
            BeginFragment(pipe, d, s);
            Consume(d, head.data(), head.size());
            if (d.remaining == 0) EndFragment(pipe, d, fromClient);
            continue;
        } else {
            DcerpcSummary s;
            if (!ParseDcerpc(p + pos, n - pos, s)) return;
            take = std::min<size_t>(s.fragLength, n - pos);
            d.remaining = s.fragLength;
            BeginFragment(pipe, d, s);
            Consume(d, p + pos, take);
        }
        d.remaining -= take;
        pos += take;
        if (d.remaining == 0) EndFragment(pipe, d, fromClient);
    }
}

void RpcStage::BeginFragment(Pipe& pipe, Direction& d, const DcerpcSummary& s) {
    d.fragOffset = 0;
    d.callId = s.callId;
    d.littleEndian = s.littleEndian;
    d.lastFragment = (s.flags & kPfcLastFrag) != 0;
    d.stubBegin = d.stubEnd = 0;
    d.bind = s.ptype == kPtypeBind || s.ptype == kPtypeAlterContext;
    if (d.bind) {
        // The context list is read once the whole PDU is in, whatever payloads carry it.
        d.stubEnd = s.fragLength;
        d.keepStub = true;
        d.stub.clear();
        return;
    }
    if (!s.hasContextId) return;
    // A sealed or signed stub is followed by its verifier; only clear stubs are read.
    if (s.authLength == 0 && s.stubOffset <= s.fragLength) {
        d.stubBegin = s.stubOffset;
        d.stubEnd = s.fragLength;
    }
    Call* call = FindCall(pipe, s.callId);
    if (s.ptype == kPtypeRequest && (s.flags & kPfcFirstFrag)) {
        auto ctx = std::find_if(pipe.contexts.begin(), pipe.contexts.end(),
                                [&](const auto& c) { return c.first == s.contextId; });
        if (!call) {
            if (pipe.calls.size() >= kMaxCalls) pipe.calls.erase(pipe.calls.begin());
            call = &pipe.calls.emplace_back();
        }
        *call = Call{s.callId, s.contextId, s.opnum, ctx != pipe.contexts.end() ? ctx->second : nullptr, {}};
        d.keepStub = KeepsStub(call->interfaceName, s.opnum);
        d.stub.clear();
    }
    if (s.ptype != kPtypeRequest && (s.flags & kPfcFirstFrag)) d.tailLen = 0;
    if (call && call->contextId == s.contextId) {
        Describe(*call);
        if (s.hasFaultStatus) {
            m_call.status = s.faultStatus;
            m_call.fault = true;
        }
    }
}

// Keeps the part of `bytes` (the next bytes of the fragment) that is stub.
void RpcStage::Consume(Direction& d, const uint8_t* bytes, size_t len) {
    size_t from = std::max(d.fragOffset, d.stubBegin), to = std::min(d.fragOffset + len, d.stubEnd);
    if (from < to) {
        const uint8_t* stub = bytes + (from - d.fragOffset);
        size_t n = to - from;
        if (d.keepStub) d.stub.insert(d.stub.end(), stub, stub + std::min(n, kMaxStub - std::min(kMaxStub, d.stub.size())));
        // the response's last bytes: slide the window
        size_t keep = std::min(n, d.tail.size());
        size_t old = std::min(d.tailLen, d.tail.size() - keep);
        std::memmove(d.tail.data(), d.tail.data() + d.tailLen - old, old);
        std::memcpy(d.tail.data() + old, stub + n - keep, keep);
        d.tailLen = old + keep;
    }
    d.fragOffset += len;
}

void RpcStage::EndFragment(Pipe& pipe, Direction& d, bool fromClient) {
    if (d.bind) {
        Bind(pipe, d.stub);
        d.keepStub = d.bind = false;
        return;
    }
    if (!d.lastFragment) return;
    Call* call = FindCall(pipe, d.callId);
    if (!call) return;
    m_call.complete = true;
    if (fromClient) {
        if (d.keepStub) EndRequest(pipe, *call, d);
        d.keepStub = false;
        return;
    }
    if (!m_call.fault) EndResponse(pipe, *call, d);
    pipe.calls.erase(pipe.calls.begin() + (call - pipe.calls.data()));
}

// The clear-text fields of a request whose stub was kept (little-endian NDR only).
void RpcStage::EndRequest(Pipe& pipe, Call& call, const Direction& d) {
    if (!d.littleEndian) return;
    NdrReader ndr(d.stub);
    const uint16_t op = call.opnum;
    if (Is(call.interfaceName, "svcctl")) {
        std::array<uint8_t, 20> handle = ndr.Handle();
        if (IsStartService(op)) {
            for (const auto& [h, name] : pipe.services) {
                if (h == handle) call.serviceName = name;
            }
        } else {
            call.serviceName = ndr.String(IsWide(op));
        }
        if (IsCreateService(op)) {
            ndr.UniqueString(IsWide(op));  // display name
            for (int i = 0; i < 4; ++i) ndr.U32();  // access, service type, start type, error control
            std::u16string path = ndr.String(IsWide(op));
            if (ndr.ok()) m_call.binaryPath = std::move(path);
        }
        m_call.serviceName = call.serviceName;
    } else if (Is(call.interfaceName, "atsvc")) {
        ndr.UniqueString(true);  // server name
        ndr.U32();               // job time
        ndr.U32();               // days of month
        ndr.Skip(2);             // days of week, flags
        if (ndr.U32()) m_call.command = ndr.String(true);  // the command's referent, then its text
    } else if (Is(call.interfaceName, "taskschd")) {
        m_call.taskPath = ndr.UniqueString(true);
    }
}

// The status ends the response stub; open and create service responses put the service's
// handle just before it.
void RpcStage::EndResponse(Pipe& pipe, const Call& call, const Direction& d) {
    if (d.tailLen < 4) return;
    m_call.status = DcerpcU32(d.tail.data() + d.tailLen - 4, d.littleEndian);
    if (!Is(call.interfaceName, "svcctl") || !(IsOpenService(call.opnum) || IsCreateService(call.opnum))) return;
    if (*m_call.status != 0 || d.tailLen < d.tail.size() || call.serviceName.empty()) return;
    Handle handle;
    std::memcpy(handle.data(), d.tail.data(), handle.size());
    if (pipe.services.size() >= kMaxHandles) pipe.services.erase(pipe.services.begin());
    pipe.services.emplace_back(handle, call.serviceName);
}

void RpcStage::Bind(Pipe& pipe, const std::vector<uint8_t>& pdu) {
    DcerpcSummary s;
    if (!ParseDcerpc(pdu.data(), pdu.size(), s)) return;
    DcerpcContext contexts[kMaxContexts];
    size_t count = ParseBindContexts(pdu.data(), pdu.size(), s, contexts, kMaxContexts);
    for (size_t i = 0; i < count; ++i) {
        auto known = std::find_if(pipe.contexts.begin(), pipe.contexts.end(),
                                  [&](const auto& c) { return c.first == contexts[i].id; });
        const char* name = ContextInterfaceName(contexts[i]);
        if (known != pipe.contexts.end()) {
            known->second = name;
        } else if (pipe.contexts.size() < kMaxContexts) {
            pipe.contexts.emplace_back(contexts[i].id, name);
        }
    }
}

RpcStage::Call* RpcStage::FindCall(Pipe& pipe, uint32_t callId) {
    for (Call& c : pipe.calls) {
        if (c.callId == callId) return &c;
    }
    return nullptr;
}

void RpcStage::Describe(const Call& call) {
    m_described = true;
    m_call.interfaceName = call.interfaceName;
    m_call.operation = call.interfaceName ? OperationName(call.interfaceName, call.opnum) : nullptr;
    if (IsStartService(call.opnum) && Is(call.interfaceName, "svcctl")) m_call.serviceName = call.serviceName;
}

}  // namespace smbaudit
