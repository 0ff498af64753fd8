#include "bench/capture_chunks.h"

#include <pcap/pcap.h>

#include <map>
#include <memory>
#include <stdexcept>

#include "tools/smbaudit/packet_decode.h"
#include "tools/smbaudit/pcap_source.h"
#include "tools/smbaudit/tcp_reassembly.h"

namespace bench {
namespace {

using smbaudit::Endpoint;
using smbaudit::TcpSegment;

bool IsServerPort(uint16_t port) { return port == 445 || port == 139; }

// One connection being reassembled: both directions append to the same Flow.
struct Pending {
    Flow flow;
    uint32_t sec = 0, usec = 0;
    bool haveIsn = false;
    uint32_t clientIsn = 0;
    std::unique_ptr<smbaudit::TcpReassembler> toServer, toClient;

    Pending() {
        auto deliver = [this](bool fromClient) {
            return [this, fromClient](const uint8_t* d, size_t n, bool resync) {
                flow.chunks.push_back({fromClient, resync, sec, usec, flow.bytes.size(), n});
                flow.bytes.insert(flow.bytes.end(), d, d + n);
            };
        };
        toServer = std::make_unique<smbaudit::TcpReassembler>(deliver(true));
        toClient = std::make_unique<smbaudit::TcpReassembler>(deliver(false));
    }
};

struct KeyLess {
    bool operator()(const std::pair<Endpoint, Endpoint>& a, const std::pair<Endpoint, Endpoint>& b) const {
        auto tie = [](const Endpoint& e) { return std::tuple(e.ip.version, e.ip.bytes, e.port); };
        return std::pair(tie(a.first), tie(a.second)) < std::pair(tie(b.first), tie(b.second));
    }
};

}  // namespace

std::vector<Flow> LoadFlows(const std::string& path) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pcap = pcap_open_offline(path.c_str(), errbuf);
    if (!pcap) throw std::runtime_error(path + ": " + errbuf);
    auto link = smbaudit::LinkTypeFromDlt(pcap_datalink(pcap));
    if (!link) {
        pcap_close(pcap);
        throw std::runtime_error(path + ": unsupported link type");
    }
    std::map<std::pair<Endpoint, Endpoint>, std::unique_ptr<Pending>, KeyLess> open;
    std::vector<std::unique_ptr<Pending>> order;  // flows in order of their first packet
    pcap_pkthdr* hdr;
    const u_char* data;
    while (pcap_next_ex(pcap, &hdr, &data) == 1) {
        TcpSegment seg;
        if (smbaudit::DecodeFrame(*link, data, hdr->caplen, seg) != smbaudit::DecodeStatus::Ok) continue;
        if (!IsServerPort(seg.src.port) && !IsServerPort(seg.dst.port)) continue;
        const bool fromClient = IsServerPort(seg.dst.port);
        auto key = fromClient ? std::pair(seg.src, seg.dst) : std::pair(seg.dst, seg.src);
        auto& slot = open[key];
        const bool clientSyn = (seg.flags & smbaudit::kTcpSyn) && !(seg.flags & smbaudit::kTcpAck) && fromClient;
        if (slot && clientSyn && slot->toServer->Started() && !(slot->haveIsn && slot->clientIsn == seg.seq)) {
            order.push_back(std::move(slot));  // a new connection on the same endpoints
        }
        if (!slot) {
            slot = std::make_unique<Pending>();
            slot->flow.directTcp = key.second.port == 445;
        }
        Pending& p = *slot;
        if (clientSyn) {
            p.haveIsn = true;
            p.clientIsn = seg.seq;
        }
        p.sec = uint32_t(hdr->ts.tv_sec);
        p.usec = uint32_t(hdr->ts.tv_usec);
        auto& dir = fromClient ? *p.toServer : *p.toClient;
        auto& peer = fromClient ? *p.toClient : *p.toServer;
        uint32_t seq = seg.seq;
        if (seg.flags & smbaudit::kTcpSyn) {
            dir.Syn(seg.seq);
            ++seq;
        }
        if (seg.payloadLen) dir.Data(seq, seg.payload, seg.payloadLen);
        if (seg.flags & smbaudit::kTcpAck) peer.PeerAck(seg.ack);
    }
    pcap_close(pcap);
    for (auto& [key, p] : open) order.push_back(std::move(p));
    std::vector<Flow> flows;
    for (auto& p : order) {
        p->toServer->Flush();
        p->toClient->Flush();
        if (!p->flow.chunks.empty()) flows.push_back(std::move(p->flow));
    }
    return flows;
}

}  // namespace bench
