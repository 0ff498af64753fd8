// The SMB2 wire parsers alone. Byte 0 chooses the parser (command * 2, plus 1 for a
// response), the rest is one SMB2 message from its header; the sub-parsers of SET_INFO and
// IOCTL buffers run on what their parent returns. Everything a parser returns is read, and
// every Span must lie inside the message.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "smb2/messages.h"
#include "touch_sink.h"

using namespace smbaudit::smb2;

namespace {

struct Message {
    const uint8_t* p;
    size_t n;
};

void Check(bool ok) {
    if (!ok) std::abort();
}

void TouchSpan(const Message& m, Span s) {
    Check(s.size == 0 || (s.data >= m.p && s.data + s.size <= m.p + m.n));
    if (s.size) TouchBytes(s.data, s.size);
}

template <class T, class F>
void Run(const Parsed<T>& r, F touch) {
    if (r) touch(r.msg);
}

void Fields(uint64_t v) { TouchBytes(&v, sizeof v); }

void Parse(uint8_t selector, const Message& m) {
    const uint8_t* p = m.p;
    const size_t n = m.n;
    Header h;
    if (ParseHeader(p, n, h)) {
        Fields(h.status + h.command + h.flags + h.nextCommand + h.messageId + h.asyncId + h.treeId + h.sessionId);
        Fields(CarriesErrorBody(h, p, n));
    }
    TransformHeader t;
    if (ParseTransformHeader(p, n, t)) Fields(t.originalSize + t.flags + t.sessionId);
    const bool response = selector & 1;
    switch (selector >> 1) {
        case kNegotiate:
            if (response)
                Run(ParseNegotiateResponse(p, n), [&](const NegotiateResponse& r) {
                    TouchSpan(m, r.securityBuffer);
                    Fields(r.dialect + r.cipher + r.signingAlgorithm + r.compressionCount + r.preauthHash);
                });
            else
                Run(ParseNegotiateRequest(p, n), [](const NegotiateRequest& r) { Fields(r.maxDialect + r.dialectCount); });
            break;
        case kSessionSetup:
            if (response)
                Run(ParseSessionSetupResponse(p, n), [&](const SessionSetupResponse& r) { TouchSpan(m, r.securityBuffer); });
            else
                Run(ParseSessionSetupRequest(p, n), [&](const SessionSetupRequest& r) { TouchSpan(m, r.securityBuffer); });
            break;
        case kTreeConnect:
            if (response) Run(ParseTreeConnectResponse(p, n), [](const TreeConnectResponse& r) { Fields(r.shareFlags); });
            else Run(ParseTreeConnectRequest(p, n), [&](const TreeConnectRequest& r) { TouchSpan(m, r.path); });
            break;
        case kCreate:
            if (response) Run(ParseCreateResponse(p, n), [](const CreateResponse& r) { Fields(r.endOfFile + r.fileId[0]); });
            else Run(ParseCreateRequest(p, n), [&](const CreateRequest& r) { TouchSpan(m, r.name); });
            break;
        case kClose:
            if (response) Run(ParseCloseResponse(p, n), [](const CloseResponse& r) { Fields(r.endOfFile); });
            else Run(ParseCloseRequest(p, n), [](const CloseRequest& r) { Fields(r.fileId[15]); });
            break;
        case kRead:
            if (response) Run(ParseReadResponse(p, n), [](const ReadResponse& r) { Fields(r.dataOffset + r.dataLength); });
            else Run(ParseReadRequest(p, n), [](const ReadRequest& r) { Fields(r.offset + r.length); });
            break;
        case kWrite:
            if (response) Run(ParseWriteResponse(p, n), [](const WriteResponse& r) { Fields(r.count); });
            else Run(ParseWriteRequest(p, n), [](const WriteRequest& r) { Fields(r.dataOffset + r.length); });
            break;
        case kIoctl:
            if (response) {
                Run(ParseIoctlResponse(p, n), [&](const IoctlResponse& r) {
                    TouchSpan(m, r.output);
                    Run(ParseCopyChunkResponse(r.output), [](const CopyChunkResponse& c) { Fields(c.totalBytesWritten); });
                    Run(ParseResumeKeyResponse(r.output), [](const ResumeKey& k) { TouchBytes(k.data(), k.size()); });
                });
            } else {
                Run(ParseIoctlRequest(p, n), [&](const IoctlRequest& r) {
                    TouchSpan(m, r.input);
                    Run(ParseCopyChunkRequest(r.input), [](const CopyChunkRequest& c) { Fields(c.totalLength); });
                });
            }
            break;
        case kSetInfo:
            if (response) Run(ParseEmpty<2>(p, n), [](const Empty&) {});
            else
                Run(ParseSetInfoRequest(p, n), [&](const SetInfoRequest& r) {
                    TouchSpan(m, r.buffer);
                    Run(ParseSetInfoChange(r), [&](const SetInfoChange& c) {
                        TouchSpan(m, c.newName);
                        Fields(uint64_t(c.kind) + c.size + c.attributes);
                    });
                });
            break;
        case kQueryDirectory:
            if (response) Run(ParseEmpty<9>(p, n), [](const Empty&) {});
            else Run(ParseQueryDirectoryRequest(p, n), [&](const QueryDirectoryRequest& r) { TouchSpan(m, r.pattern); });
            break;
        case kOplockBreak: Run(ParseOplockBreak(p, n), [](const OplockBreak& b) { Fields(b.lease + b.fileId[0]); }); break;
        default:
            Run(ParseErrorResponse(p, n), [](const ErrorResponse& e) { Fields(e.byteCount); });
            Run(ParseEmpty<4>(p, n), [](const Empty&) {});
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    uint8_t selector = in.U8();
    size_t n = 0;
    const uint8_t* p = in.Take(in.Left(), n);
    ExactCopy msg(p, n);
    Parse(selector, {msg.data(), n});
    return 0;
}
