#include "tools/smbaudit/sensor.h"

namespace smbaudit {

Sensor::Sensor(const SensorConfig& config, RecordWriter& writer, Stats& stats)
    : m_config(config),
      m_stats(stats),
      m_pipeline(writer, stats, config.recordIds),
      m_rtt(stats.rtt),
      m_files(m_config.files),
      m_table(m_config.connection, m_pipeline, stats) {
    if (m_config.kerberosHints) m_pipeline.AddStage(*m_config.kerberosHints);
    m_pipeline.AddStage(m_rtt);
    m_pipeline.AddStage(m_rpc);
    m_pipeline.AddStage(m_files);
    if (m_config.notices.AnyOn()) m_pipeline.AddStage(m_notices.emplace(m_config.notices));
}

std::optional<bool> Sensor::ServerPortFraming(uint16_t port) const {
    for (const ServerPort& sp : m_config.serverPorts) {
        if (sp.port == port) return sp.directTcp;
    }
    return std::nullopt;
}

DecodeStatus CountAndDecode(Stats& stats, LinkType link, const uint8_t* frame, size_t capLen, TcpSegment& seg) {
    ++stats.packets;
    stats.captureBytes += capLen;
    DecodeStatus status = DecodeFrame(link, frame, capLen, seg);
    ++stats.decode[int(status)];
    return status;
}

bool ToKerberosHints(KerberosHints* hints, DecodeStatus status, const TcpSegment& seg, const CTimeStamp32& time) {
    return hints && (status == DecodeStatus::Ok || seg.udp) && hints->Packet(seg, time);
}

void Sensor::Frame(LinkType link, const CTimeStamp32& time, const uint8_t* frame, size_t capLen) {
    TcpSegment seg;
    const DecodeStatus status = CountAndDecode(m_stats, link, frame, capLen, seg);
    if (ToKerberosHints(m_config.kerberosHints, status, seg, time) || status != DecodeStatus::Ok) {
        MaybeSweep(time);
        return;
    }
    Segment(seg, time);
}

void Sensor::Segment(const TcpSegment& seg, const CTimeStamp32& time) {
    MaybeSweep(time);
    std::optional<bool> srcFraming = ServerPortFraming(seg.src.port);
    std::optional<bool> dstFraming = ServerPortFraming(seg.dst.port);
    if (!srcFraming && !dstFraming) {
        ++m_stats.notSmbPort;
        return;
    }
    m_stats.tcpPayloadBytes += seg.payloadLen;
    if (seg.payloadCut) ++m_stats.cutPayloads;

    const bool syn = seg.flags & kTcpSyn, ack = seg.flags & kTcpAck;
    bool fromClient;
    if (dstFraming && !srcFraming) {
        fromClient = true;
    } else if (srcFraming && !dstFraming) {
        fromClient = false;
    } else if (m_table.Find({seg.src, seg.dst})) {  // both ends on server ports
        fromClient = true;
    } else if (m_table.Find({seg.dst, seg.src})) {
        fromClient = false;
    } else {
        fromClient = !(syn && ack);  // the first packet seen goes to the server, unless it is a SYN-ACK
    }
    FlowKey key = fromClient ? FlowKey{seg.src, seg.dst} : FlowKey{seg.dst, seg.src};
    bool directTcp = fromClient ? *dstFraming : *srcFraming;

    Connection* conn = m_table.Find(key);
    if (conn && syn && !ack && fromClient && conn->IsNewHandshake(seg.seq)) {
        m_table.Close(key, CloseReason::Reused);
        conn = nullptr;
    }
    if (!conn) {
        // Only a handshake or payload starts a connection; a stray ACK, FIN or RST of a
        // connection already gone does not.
        if ((seg.flags & kTcpRst) || (!syn && seg.payloadLen == 0)) return;
        conn = &m_table.Open(key, directTcp);
        if (!syn) ++m_stats.connectionsMidstream;
    }
    conn->Segment(fromClient, seg, time);
    if (seg.flags & kTcpRst) {
        m_table.Close(key, CloseReason::Rst);
    } else if (conn->BothFinished()) {
        m_table.Close(key, CloseReason::Fin);
    } else {
        m_table.Account(*conn);
    }
}

void Sensor::MaybeSweep(const CTimeStamp32& now) {
    if (now.m_sec == m_lastSweepSec) return;
    m_lastSweepSec = now.m_sec;
    m_table.Sweep(now, m_config.idleTimeout);
}

void Sensor::Tick(const CTimeStamp32& now) { MaybeSweep(now); }

void Sensor::Finish() {
    m_table.CloseAll();
    m_files.Finish(m_pipeline, m_stats.files);
}

}  // namespace smbaudit
