// One SMB2 message: the compound chain, the dispatch table, pairing responses with their
// requests, interim responses, and transform messages.
#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

namespace {

using Impl = Connection::Impl;
using RequestStep = void (*)(Impl&, const Message&, Pending&);
using ResponseStep = void (*)(Impl&, const Message*, Pending&);

// Parses a request body and hands the result to its handler; a malformed body is counted and
// its request still waits for the response (whose status is worth reporting).
template <auto Parse, auto On>
void Request(Impl& c, const Message& m, Pending& p) {
    auto body = Parse(m.msg, m.len);
    if (!body) {
        ++c.counters.malformed;
        p.malformed = true;
        return;
    }
    On(c, m, body.msg, p);
}

// Parses a response body; the handler gets null for an error response, a malformed body, or
// no response at all (m null: the request expired or gave way).
template <auto Parse, auto On>
void Response(Impl& c, const Message* m, Pending& p) {
    if (!m || CarriesErrorBody(m->h, m->msg, m->len)) {
        if (m && !ParseErrorResponse(m->msg, m->len)) ++c.counters.malformed;
        On(c, m, nullptr, p);
        return;
    }
    auto body = Parse(m->msg, m->len);
    if (!body) ++c.counters.malformed;
    On(c, m, body ? &body.msg : nullptr, p);
}

struct CommandRow {
    uint16_t command;
    RequestStep request;    // null: the command is only counted
    ResponseStep response;  // null: no response is awaited (CANCEL) or the command is only counted
};

// Which commands are audited and how. Commands without steps are counted, never an error.
constexpr CommandRow kCommands[kCommandCount] = {
    {kNegotiate, Request<ParseNegotiateRequest, OnNegotiateRequest>, Response<ParseNegotiateResponse, OnNegotiateResponse>},
    {kSessionSetup, Request<ParseSessionSetupRequest, OnSessionSetupRequest>,
     Response<ParseSessionSetupResponse, OnSessionSetupResponse>},
    {kLogoff, Request<ParseEmpty<4>, OnLogoffRequest>, Response<ParseEmpty<4>, OnLogoffResponse>},
    {kTreeConnect, Request<ParseTreeConnectRequest, OnTreeConnectRequest>,
     Response<ParseTreeConnectResponse, OnTreeConnectResponse>},
    {kTreeDisconnect, Request<ParseEmpty<4>, OnTreeDisconnectRequest>, Response<ParseEmpty<4>, OnTreeDisconnectResponse>},
    {kCreate, Request<ParseCreateRequest, OnCreateRequest>, Response<ParseCreateResponse, OnCreateResponse>},
    {kClose, Request<ParseCloseRequest, OnCloseRequest>, Response<ParseCloseResponse, OnCloseResponse>},
    {kFlush, nullptr, nullptr},
    {kRead, Request<ParseReadRequest, OnReadRequest>, Response<ParseReadResponse, OnReadResponse>},
    {kWrite, Request<ParseWriteRequest, OnWriteRequest>, Response<ParseWriteResponse, OnWriteResponse>},
    {kLock, nullptr, nullptr},
    {kIoctl, Request<ParseIoctlRequest, OnIoctlRequest>, Response<ParseIoctlResponse, OnIoctlResponse>},
    {kCancel, Request<ParseEmpty<4>, OnCancelRequest>, nullptr},
    {kEcho, nullptr, nullptr},
    {kQueryDirectory, Request<ParseQueryDirectoryRequest, OnQueryDirectoryRequest>,
     Response<ParseEmpty<9>, OnQueryDirectoryResponse>},
    {kChangeNotify, nullptr, nullptr},
    {kQueryInfo, nullptr, nullptr},
    {kSetInfo, Request<ParseSetInfoRequest, OnSetInfoRequest>, Response<ParseEmpty<2>, OnSetInfoResponse>},
    {kOplockBreak, Request<ParseOplockBreak, OnOplockBreakRequest>, nullptr},
};
static_assert([] {
    for (uint16_t i = 0; i < kCommandCount; ++i)
        if (kCommands[i].command != i) return false;
    return true;
}());

bool IsPreauth(uint16_t command) { return command == kNegotiate || command == kSessionSetup; }

}  // namespace

void Impl::AnalyseMessage(const uint8_t* msg, size_t len, const CTimeStamp32& time, bool fromClient, bool encrypted,
                          bool decrypted, bool streamed) {
    Chain& ch = chain[fromClient];
    ch = Chain{};
    ch.fileId.fill(0xFF);
    size_t off = 0;
    for (size_t n = 0;; ++n) {
        if (n == limits.maxCompoundCommands) {
            ++counters.compoundTooLong;
            return;
        }
        Message m;
        m.msg = msg + off;
        m.len = len - off;
        m.time = time;
        m.fromClient = fromClient;
        m.encrypted = encrypted;
        m.decrypted = decrypted;
        m.streamed = streamed;
        if (!ParseHeader(m.msg, m.len, m.h)) {
            ++counters.malformed;
            return;
        }
        const uint32_t next = m.h.nextCommand;
        bool last = next == 0;
        if (!last && (next < kHeaderSize || next > m.len || next % 8 != 0)) {
            ++counters.truncated;
            last = true;
        }
        if (!last) m.len = next;
        if (n == 1) ++counters.compoundChains;
        ++counters.messages;

        // Related operations inherit the ids of the one before them in the chain.
        if (m.h.related() && n > 0) {
            if (m.h.sessionId == kAllOnes64) m.h.sessionId = ch.sessionId;
            if (!m.h.async() && m.h.treeId == kAllOnes32) m.h.treeId = ch.treeId;
        }
        ch.sessionId = m.h.sessionId;
        if (!m.h.async()) ch.treeId = m.h.treeId;

        if (m.h.command >= kCommandCount) {
            ++counters.unknownCommands;
        } else if (!m.h.response()) {
            const CommandRow& row = kCommands[m.h.command];
            if (decryptor && IsPreauth(m.h.command)) decryptor->OnPreauthMessage(m.h.sessionId, true, m.msg, m.len);
            if (!row.request) {
                ++counters.countedCommands;
            } else {
                Pending p;
                p.command = m.h.command;
                p.messageId = m.h.messageId;
                p.sessionId = m.h.sessionId;
                p.treeId = m.h.treeId;
                p.fileId.fill(0xFF);
                p.time = time;
                p.encrypted = encrypted;
                p.decrypted = decrypted;
                row.request(*this, m, p);
                if (row.response) {
                    if (pending.size() >= limits.maxPendingRequests && !pending.count(p.messageId)) {
                        Pending oldest = std::move(pending.begin()->second);
                        pending.erase(pending.begin());
                        ++counters.pendingEvicted;
                        Expire(oldest);
                    }
                    pending[p.messageId] = std::move(p);
                }
            }
        } else if (m.h.command == kOplockBreak && m.h.messageId == kAllOnes64) {
            ++counters.oplockBreaks;  // a break the server starts: no request to pair with
        } else if (m.h.async() && m.h.status == kStatusPending) {
            ++counters.interimResponses;  // the final response follows with the same MessageId
            if (auto it = pending.find(m.h.messageId); it != pending.end()) it->second.time = time;
        } else if (!kCommands[m.h.command].response) {
            ++counters.countedCommands;
        } else {
            if (decryptor && IsPreauth(m.h.command)) decryptor->OnPreauthMessage(m.h.sessionId, false, m.msg, m.len);
            Pending p;
            auto it = pending.find(m.h.messageId);
            if (it != pending.end() && it->second.command == m.h.command) {
                p = std::move(it->second);
                pending.erase(it);
            } else {
                // Picked up mid-stream: the response alone still tells what it can.
                ++counters.unmatchedResponses;
                p.command = m.h.command;
                p.messageId = m.h.messageId;
                p.sessionId = m.h.sessionId;
                p.treeId = m.h.treeId;
                p.fileId.fill(0xFF);
            }
            if (p.sessionId == 0 || p.sessionId == kAllOnes64) p.sessionId = m.h.sessionId;
            if (IsAllOnes(p.fileId)) p.fileId = ch.fileId;
            else ch.fileId = p.fileId;
            kCommands[m.h.command].response(*this, &m, p);
        }
        if (last) return;
        off += next;
    }
}

void OnOplockBreakRequest(Impl& c, const Message&, const OplockBreak&, Pending&) { ++c.counters.oplockBreaks; }
void OnCancelRequest(Impl& c, const Message&, const Empty&, Pending&) { ++c.counters.cancels; }

void Impl::Expire(Pending& p) {
    ++counters.unanswered;
    if (p.command < kCommandCount && kCommands[p.command].response) kCommands[p.command].response(*this, nullptr, p);
}

void Impl::OnTransform(const uint8_t* msg, size_t len, size_t msgLen, const CTimeStamp32& time, bool fromClient) {
    ++counters.transformPdus;
    counters.transformBytes += msgLen;
    if (decryptor && len == msgLen) {
        std::vector<uint8_t>& plain = dirs[fromClient].plain;
        size_t plainLen = 0;
        if (decryptor->Decrypt(msg, len, plain, plainLen)) {
            ++counters.decrypted;
            AnalyseMessage(plain.data(), plainLen, time, fromClient, true, true, false);
            return;
        }
        ++counters.decryptFailures;
    }
    TransformHeader t;
    if (!ParseTransformHeader(msg, len, t)) {
        ++counters.truncated;
        return;
    }
    Session& s = GetSession(t.sessionId, time);
    if (s.encryptedSeen) return;
    s.encryptedSeen = true;
    Event ev;
    ev.kind = EventKind::Encrypted;
    ev.sessionId = t.sessionId;
    ev.responseTime = time;
    ev.fromClient = fromClient;
    ev.encrypted = true;
    ev.dialect = s.dialect;
    // The share: the session's tree when it has just one.
    auto first = trees.lower_bound({t.sessionId, 0});
    if (first != trees.end() && first->first.first == t.sessionId) {
        auto second = std::next(first);
        if (second == trees.end() || second->first.first != t.sessionId) ev.treeId = first->first.second;
    }
    Emit(ev);
}

}  // namespace smbaudit::smb2
