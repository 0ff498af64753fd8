// pcap_reshape IN OUT [--mss N] [--copies N] [--repeat N] [--max-mb N]
//
// Inputs for the end-to-end benchmark, made from one capture (Ethernet/IPv4 frames; others
// are copied as they are, once):
//   --mss N     cuts every TCP payload longer than N bytes into segments of N bytes, as a
//               network tap sees traffic that the capturing host's own loopback or
//               segmentation offload carried in 64 KiB pieces;
//   --copies N  writes every packet N times in a row, copy i with the client's port (the
//               end that is not 445 or 139) changed by XOR with i << 10, so that one
//               connection becomes N interleaved ones (for --workers);
//   --repeat N  writes the whole capture N times one after the other, pass r with the
//               client's address changed (third byte XOR r) and its time stamps r hours
//               later, so that the connections of a short capture become many (the
//               many-small-connections workload of the record writer's benchmark);
//   --max-mb N  stops after N MiB of input (per pass).
// Sequence numbers and IP lengths and checksums are rewritten; TCP checksums are left as
// they are (neither smbaudit nor tshark by default checks them).
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kEthernet = 14;

struct Layout {
    size_t ip = 0, tcp = 0, payload = 0;  // offsets; payload == 0: not Ethernet/IPv4/TCP
};

Layout Parse(const u_char* f, size_t len) {
    Layout l;
    if (len < kEthernet + 20 || f[12] != 0x08 || f[13] != 0x00 || (f[14] >> 4) != 4 || f[23] != 6) return l;
    const size_t ihl = size_t(f[14] & 0x0F) * 4;
    if (ihl < 20 || len < kEthernet + ihl + 20) return l;
    const size_t thl = size_t(f[kEthernet + ihl + 12] >> 4) * 4;
    const size_t ipLen = size_t(f[16] << 8 | f[17]);
    if (thl < 20 || len < kEthernet + ihl + thl || kEthernet + ipLen > len || ipLen < ihl + thl) return l;
    l.ip = kEthernet;
    l.tcp = kEthernet + ihl;
    l.payload = l.tcp + thl;
    return l;
}

uint32_t Get32(const u_char* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void Put32(u_char* p, uint32_t v) {
    p[0] = u_char(v >> 24);
    p[1] = u_char(v >> 16);
    p[2] = u_char(v >> 8);
    p[3] = u_char(v);
}

void FixIpHeader(u_char* ip, size_t ipLen) {
    ip[2] = u_char(ipLen >> 8);
    ip[3] = u_char(ipLen);
    ip[10] = ip[11] = 0;
    const size_t ihl = size_t(ip[0] & 0x0F) * 4;
    uint32_t sum = 0;
    for (size_t i = 0; i < ihl; i += 2) sum += uint32_t(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = u_char(~sum >> 8);
    ip[11] = u_char(~sum);
}

bool IsServerPort(unsigned port) { return port == 445 || port == 139; }

// The client's IPv4 address: the end whose port is not a server port.
void SetClientAddress(u_char* ip, const u_char* tcp, unsigned pass) {
    const unsigned sport = unsigned(tcp[0] << 8 | tcp[1]);
    ip[(IsServerPort(sport) ? 16 : 12) + 2] ^= u_char(pass);
}

void SetClientPort(u_char* tcp, unsigned copy) {
    const unsigned sport = unsigned(tcp[0] << 8 | tcp[1]);
    u_char* at = IsServerPort(sport) ? tcp + 2 : tcp;
    const unsigned port = unsigned(at[0] << 8 | at[1]) ^ (copy << 10);
    at[0] = u_char(port >> 8);
    at[1] = u_char(port);
}

}  // namespace

int main(int argc, char** argv) {
    size_t mss = 0;
    unsigned copies = 1;
    unsigned repeat = 1;
    uint64_t maxBytes = 0;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--mss" || a == "--copies" || a == "--repeat" || a == "--max-mb") && i + 1 < argc) {
            const long v = std::atol(argv[++i]);
            if (a == "--mss") mss = size_t(v);
            if (a == "--copies") copies = unsigned(v);
            if (a == "--repeat") repeat = unsigned(v);
            if (a == "--max-mb") maxBytes = uint64_t(v) << 20;
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2 || copies < 1 || copies > 32 || repeat < 1 || repeat > 255 || (mss && mss < 64)) {
        std::fprintf(stderr, "usage: pcap_reshape IN OUT [--mss N (>= 64)] [--copies N (1 to 32)] [--repeat N (1 to 255)] "
                             "[--max-mb N]\n");
        return 2;
    }
    char err[PCAP_ERRBUF_SIZE] = "";
    pcap_t* in = pcap_open_offline(files[0].c_str(), err);
    if (!in) {
        std::fprintf(stderr, "pcap_reshape: %s: %s\n", files[0].c_str(), err);
        return 1;
    }
    pcap_dumper_t* out = pcap_dump_open(in, files[1].c_str());
    if (!out) {
        std::fprintf(stderr, "pcap_reshape: %s: %s\n", files[1].c_str(), pcap_geterr(in));
        return 1;
    }
    pcap_pkthdr* hdr;
    const u_char* data;
    std::vector<u_char> frame;
    for (unsigned pass = 0; pass < repeat; ++pass) {
        if (pass) {
            pcap_close(in);
            if (!(in = pcap_open_offline(files[0].c_str(), err))) {
                std::fprintf(stderr, "pcap_reshape: %s: %s\n", files[0].c_str(), err);
                return 1;
            }
        }
        uint64_t read = 0;
        while ((maxBytes == 0 || read < maxBytes) && pcap_next_ex(in, &hdr, &data) == 1) {
            read += hdr->caplen;
            const Layout l = Parse(data, hdr->caplen);
            if (!l.payload) {
                if (!pass) pcap_dump(reinterpret_cast<u_char*>(out), hdr, data);
                continue;
            }
            const size_t ipLen = size_t(data[l.ip + 2] << 8 | data[l.ip + 3]);
            const size_t payloadLen = l.ip + ipLen - l.payload;
            const size_t step = mss && payloadLen > mss ? mss : (payloadLen ? payloadLen : 1);
            const uint8_t flags = data[l.tcp + 13];
            for (size_t at = 0; at == 0 || at < payloadLen; at += step) {
                const size_t n = payloadLen ? std::min(step, payloadLen - at) : 0;
                const bool last = at + n >= payloadLen;
                frame.assign(data, data + l.payload);
                frame.insert(frame.end(), data + l.payload + at, data + l.payload + at + n);
                Put32(&frame[l.tcp + 4], Get32(&data[l.tcp + 4]) + uint32_t(at));
                // FIN and PSH belong to the last piece, SYN to the first.
                frame[l.tcp + 13] = u_char(last ? flags : flags & ~0x09);
                if (at) frame[l.tcp + 13] &= u_char(~0x02);
                SetClientAddress(&frame[l.ip], &frame[l.tcp], pass);
                FixIpHeader(&frame[l.ip], l.payload - l.ip + n);
                pcap_pkthdr h = *hdr;
                h.ts.tv_sec += time_t(pass) * 3600;
                h.caplen = h.len = bpf_u_int32(frame.size());
                for (unsigned c = 0; c < copies; ++c) {
                    if (c) SetClientPort(&frame[l.tcp], c ^ (c - 1));  // from copy c-1's port to copy c's
                    pcap_dump(reinterpret_cast<u_char*>(out), &h, frame.data());
                }
            }
        }
    }
    pcap_dump_close(out);
    pcap_close(in);
    return 0;
}
