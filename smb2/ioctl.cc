// IOCTL: named-pipe transactions (FSCTL_PIPE_TRANSCEIVE) and server-side copies
// (FSCTL_SRV_COPYCHUNK, _WRITE), whose data never shows as READ or WRITE.
#include <algorithm>

#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

namespace {
void PipePayload(Connection::Impl& c, const Pending& p, const Message* m, bool fromClient, Span data) {
    Event ev = c.MakeEvent(EventKind::Ioctl, p, m);
    ev.fromClient = fromClient;
    ev.ctlCode = p.ctlCode;
    ev.session = c.FindSession(p.sessionId);
    ev.tree = c.FindTree(p.sessionId, p.treeId);
    ev.open = c.FindOpen(p.fileId);
    if (ev.open) ev.name = ev.open->name;
    c.sink.OnPipeData(ev, data.data, std::min(data.size, c.limits.maxPipeDataBytes), data.size);
}
}  // namespace

void OnIoctlRequest(Connection::Impl& c, const Message& m, const IoctlRequest& req, Pending& p) {
    p.fileId = c.ChainFileId(req.fileId, m.fromClient);
    p.ctlCode = req.ctlCode;
    if (req.ctlCode == kFsctlPipeTransceive) {
        PipePayload(c, p, nullptr, true, req.input);
    } else if (req.ctlCode == kFsctlSrvCopyChunk || req.ctlCode == kFsctlSrvCopyChunkWrite) {
        auto copy = ParseCopyChunkRequest(req.input);
        if (copy) p.copy = copy.msg;
        else ++c.counters.malformed;
    }
}

void OnIoctlResponse(Connection::Impl& c, const Message* m, const IoctlResponse* rsp, Pending& p) {
    switch (p.ctlCode) {
        case kFsctlPipeTransceive:
            if (m && rsp) PipePayload(c, p, m, false, rsp->output);
            break;
        case kFsctlSrvRequestResumeKey:
            if (m && rsp && m->h.status == kStatusSuccess)
                if (auto key = ParseResumeKeyResponse(rsp->output))
                    c.Insert(c.resumeKeys, key.msg, c.limits.maxOpens) = p.fileId;
            break;
        case kFsctlSrvCopyChunk:
        case kFsctlSrvCopyChunkWrite: {
            Event ev = c.MakeEvent(EventKind::Copy, p, m);
            ev.ctlCode = p.ctlCode;
            ev.copyChunks = p.copy.chunkCount;
            ev.copyBytes = p.copy.totalLength;
            if (m && rsp && m->h.status == kStatusSuccess)
                if (auto written = ParseCopyChunkResponse(rsp->output)) ev.copyBytes = written.msg.totalBytesWritten;
            if (auto it = c.resumeKeys.find(p.copy.sourceKey); it != c.resumeKeys.end()) {
                ev.copySourceId = it->second;
                ev.copySource = c.FindOpen(it->second);
            }
            if (const Open* o = c.FindOpen(p.fileId)) ev.name = o->name;
            c.Emit(ev);
            break;
        }
        default: break;
    }
}

}  // namespace smbaudit::smb2
