#include "tools/smbaudit/stats.h"

#include <cinttypes>

#include "context/pkt_context.h"

namespace smbaudit {

const char* ResultCodeName(int code) {
    switch (code) {
    case SMB_RET_PIPE_DATA: return "SMB_RET_PIPE_DATA";
    case SMB_RET_FILE_CMD: return "SMB_RET_FILE_CMD";
    case SMB_RET_SESSION_CMD: return "SMB_RET_SESSION_CMD";
    case SMB_RET_OK: return "SMB_RET_OK";
    case SMB_RET_NEED_DATA: return "SMB_RET_NEED_DATA";
    case SMB_RET_NOT_SESSION_MSG: return "SMB_RET_NOT_SESSION_MSG";
    case SMB_RET_NO_MEMORY: return "SMB_RET_NO_MEMORY";
    case SMB_RET_BAD_FORMAT: return "SMB_RET_BAD_FORMAT";
    case SMB_RET_NO_REQUEST: return "SMB_RET_NO_REQUEST";
    case SMB_RET_ERROR_STATUS: return "SMB_RET_ERROR_STATUS";
    case SMB_RET_NO_OBJECT: return "SMB_RET_NO_OBJECT";
    case SMB_RET_UNKNOWN_CMD: return "SMB_RET_UNKNOWN_CMD";
    case SMB_RET_NO_LINK: return "SMB_RET_NO_LINK";
    case SMB_RET_NO_LOGON: return "SMB_RET_NO_LOGON";
    default: return "other";
    }
}

void Stats::AddReassembly(const ReassemblyCounters& c) {
    reassembly.deliveredBytes += c.deliveredBytes;
    reassembly.duplicateBytes += c.duplicateBytes;
    reassembly.heldSegments += c.heldSegments;
    reassembly.gaps += c.gaps;
    reassembly.gapBytes += c.gapBytes;
    reassembly.resyncs += c.resyncs;
    reassembly.outOfWindow += c.outOfWindow;
}

void Stats::Add(const Stats& o) {
    packets += o.packets;
    captureBytes += o.captureBytes;
    for (int i = 0; i < kDecodeStatusCount; ++i) decode[i] += o.decode[i];
    notSmbPort += o.notSmbPort;
    cutPayloads += o.cutPayloads;
    tcpPayloadBytes += o.tcpPayloadBytes;
    connections += o.connections;
    connectionsMidstream += o.connectionsMidstream;
    connectionsClosedFin += o.connectionsClosedFin;
    connectionsClosedRst += o.connectionsClosedRst;
    connectionsIdle += o.connectionsIdle;
    connectionsAtEnd += o.connectionsAtEnd;
    smbMessages += o.smbMessages;
    for (const auto& [code, count] : o.results) results[code] += count;
    for (int i = 0; i < kRecordKindCount; ++i) records[i] += o.records[i];
    for (int i = 0; i < kNoticeKindCount; ++i) notices[i] += o.notices[i];
    oversizeDrops += o.oversizeDrops;
    pendingEvicted += o.pendingEvicted;
    bufferSheds += o.bufferSheds;
    for (const auto& [name, count] : o.smb2) smb2[name] += count;
    AddReassembly(o.reassembly);
    files.Add(o.files);
    rtt.Merge(o.rtt);
}

void Stats::Print(std::FILE* out) const {
    std::fprintf(out, "packets:             %" PRIu64 " (%" PRIu64 " bytes captured)\n", packets, captureBytes);
    for (int i = 1; i < kDecodeStatusCount; ++i) {
        if (decode[i]) std::fprintf(out, "  skipped %-11s %" PRIu64 "\n", DecodeStatusName(DecodeStatus(i)), decode[i]);
    }
    if (notSmbPort) std::fprintf(out, "  skipped other_port  %" PRIu64 "\n", notSmbPort);
    if (cutPayloads) std::fprintf(out, "  cut by snaplen      %" PRIu64 "\n", cutPayloads);
    std::fprintf(out, "tcp payload bytes:   %" PRIu64 " (%" PRIu64 " delivered in order, %" PRIu64
                      " duplicate trimmed)\n",
                 tcpPayloadBytes, reassembly.deliveredBytes, reassembly.duplicateBytes);
    std::fprintf(out, "connections:         %" PRIu64 " (%" PRIu64 " without handshake)\n", connections,
                 connectionsMidstream);
    std::fprintf(out, "  ended by fin %" PRIu64 ", rst %" PRIu64 ", idle %" PRIu64 ", end of input %" PRIu64 "\n",
                 connectionsClosedFin, connectionsClosedRst, connectionsIdle, connectionsAtEnd);
    std::fprintf(out, "gaps:                %" PRIu64 " (%" PRIu64 " bytes never seen)\n", reassembly.gaps,
                 reassembly.gapBytes);
    std::fprintf(out, "resynchronisations:  %" PRIu64 "\n", reassembly.resyncs);
    std::fprintf(out, "out-of-order held:   %" PRIu64 " segments (%" PRIu64 " out of window ignored)\n",
                 reassembly.heldSegments, reassembly.outOfWindow);
    std::fprintf(out, "smb messages:        %" PRIu64 "\n", smbMessages);
    std::fprintf(out, "result codes:\n");
    for (const auto& [code, count] : results) {
        std::fprintf(out, "  %-24s %4d  %" PRIu64 "\n", ResultCodeName(code), code, count);
    }
    std::fprintf(out, "records by kind:\n");
    for (int i = 0; i < kRecordKindCount; ++i) {
        std::fprintf(out, "  %-16s %" PRIu64 "\n", RecordKindName(RecordKind(i)), records[i]);
    }
    std::fprintf(out, "notices by kind:\n");
    for (int i = 0; i < kNoticeKindCount; ++i) {
        std::fprintf(out, "  %-24s %" PRIu64 "\n", NoticeKindName(NoticeKind(i)), notices[i]);
    }
    if (oversizeDrops || pendingEvicted || bufferSheds) {
        std::fprintf(out,
                     "limits: %" PRIu64 " oversize messages dropped, %" PRIu64 " pending requests evicted, %" PRIu64
                     " connection buffers shed\n",
                     oversizeDrops, pendingEvicted, bufferSheds);
    }
    bool any = false;
    for (const auto& [name, count] : smb2) {
        if (!count) continue;
        if (!any) std::fprintf(out, "smb2:\n");
        any = true;
        std::fprintf(out, "  %-24.*s %" PRIu64 "\n", int(name.size()), name.data(), count);
    }
    files.Print(out);
    rtt.Print(out);
}

void FormatStatsRecord(JsonLine& line, uint32_t now, const Stats& s, const CaptureCounters* capture,
                       const OutputCounters& output) {
    line.Begin();
    line.Timestamp("ts", now, 0);
    line.Latin1("event", "stats");
    line.Uint("packets", s.packets);
    line.Uint("capture_bytes", s.captureBytes);
    line.Uint("tcp_payload_bytes", s.tcpPayloadBytes);
    line.Uint("connections", s.connections);
    line.Uint("smb_messages", s.smbMessages);
    line.Uint("gaps", s.reassembly.gaps);
    line.Uint("gap_bytes", s.reassembly.gapBytes);
    line.Uint("resyncs", s.reassembly.resyncs);
    line.Uint("oversize_drops", s.oversizeDrops);
    line.Uint("pending_evicted", s.pendingEvicted);
    line.Uint("buffer_sheds", s.bufferSheds);
    line.BeginObject("records");
    for (int i = 0; i < kRecordKindCount; ++i) line.Uint(RecordKindName(RecordKind(i)), s.records[i]);
    line.EndObject();
    if (capture) {
        line.BeginObject("capture");
        line.Uint("received", capture->received);
        line.Uint("dropped", capture->dropped);
        line.Uint("if_dropped", capture->ifDropped);
        line.EndObject();
    }
    line.BeginObject("output");
    line.Uint("records", output.records);
    line.Uint("delivered", output.delivered);
    line.Uint("dropped", output.dropped);
    line.Uint("queued", output.queued);
    line.Uint("reconnects", output.reconnects);
    line.EndObject();
    line.End();
}

}  // namespace smbaudit
