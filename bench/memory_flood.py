#!/usr/bin/env python3
"""Memory bounds of smbaudit under a flood: thousands of connections, all open at once, each
announcing a 16 MiB SMB message and sending the start of it.

    memory_flood.py SMBAUDIT [CONNECTIONS] [SEGMENTS]

Run 1, the sensor's defaults but for a global bound of 64 MiB: the per-connection message
bound drops every announcement at once (counted in --stats), and the sensor's peak
resident memory stays under the global bound. Run 2 lifts the per-connection bound to the
protocol's own (16 MiB) so that every connection buffers its partial message: the global
bound of 32 MiB must shed buffers (counted in --stats), and the peak grows by no more than
that bound over run 1, while the flood carries several times as much.
"""
import re
import resource
import struct
import subprocess
import sys

MiB = 1 << 20
SERVER = bytes([10, 0, 0, 1])
PAYLOAD = 1448


def ipv4_tcp(src, dst, sport, dport, seq, ack, flags, payload=b""):
    tcp = struct.pack(">HHIIBBHHH", sport, dport, seq, ack, 5 << 4, flags, 65535, 0, 0)
    total = 20 + len(tcp) + len(payload)
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, total, 0, 0x4000, 64, 6, 0, src, dst)
    return ip + tcp + payload


def record(sec, frame):
    return struct.pack("<IIII", sec, 0, len(frame), len(frame)) + frame


def flood(connections, segments):
    """A raw-IPv4 pcap (LINKTYPE_RAW): every handshake first, then the segments round-robin."""
    yield struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101)
    clients = [(bytes([10, 1 + i // 60000, (i // 250) % 240, 1 + i % 250]), 1024 + i % 60000)
               for i in range(connections)]
    for ip, port in clients:
        yield record(1, ipv4_tcp(ip, SERVER, port, 445, 1000, 0, 0x02))
        yield record(1, ipv4_tcp(SERVER, ip, 445, port, 5000, 1001, 0x12))
    # NetBIOS length 0xFFFFFC: a 16 MiB message, then the SMB header of a Write AndX.
    first = b"\x00\xff\xff\xfc" + b"\xffSMB\x2f" + bytes(27) + b"\x0e" + bytes(PAYLOAD - 37)
    for k in range(segments):
        data = first if k == 0 else bytes([k & 0xFF]) * PAYLOAD
        for ip, port in clients:
            yield record(2, ipv4_tcp(ip, SERVER, port, 445, 1001 + k * PAYLOAD, 5001, 0x18, data))


def run(tool, args, connections, segments):
    """Feeds the flood to the tool on standard input; returns (peak RSS bytes, --stats text)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    p = subprocess.Popen([tool, "--no-progress", "--stats", *args, "-"], stdin=subprocess.PIPE,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    chunk = []
    for piece in flood(connections, segments):
        chunk.append(piece)
        if len(chunk) == 512:
            p.stdin.write(b"".join(chunk))
            chunk = []
    p.stdin.write(b"".join(chunk))
    p.stdin.close()
    stats = p.stderr.read().decode()
    if p.wait() != 0:
        sys.exit(f"smbaudit failed:\n{stats}")
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    if peak <= before:
        sys.exit("cannot tell the peak of this run from an earlier one")
    return peak * 1024, stats


def limits(stats):
    m = re.search(r"limits: (\d+) oversize messages dropped, (\d+) pending requests evicted, "
                  r"(\d+) connection buffers shed", stats)
    return tuple(int(x) for x in m.groups()) if m else (0, 0, 0)


def main():
    tool = sys.argv[1]
    connections = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
    segments = int(sys.argv[3]) if len(sys.argv) > 3 else 24
    flood_bytes = connections * segments * PAYLOAD

    peak1, stats1 = run(tool, ["--max-buffered-bytes", str(64 * MiB)], connections, segments)
    dropped, _, _ = limits(stats1)
    print(f"defaults: peak RSS {peak1 / MiB:.1f} MiB for {flood_bytes / MiB:.0f} MiB announced-message bytes; "
          f"{dropped} oversize messages dropped")
    failures = [f"expected {connections} oversize drops\n{stats1}"] if dropped != connections else []
    if peak1 >= 64 * MiB:
        failures.append("peak RSS not under the global bound of 64 MiB")

    cap = 32 * MiB
    peak2, stats2 = run(tool, ["--max-message-bytes", "0", "--max-buffered-bytes", str(cap)], connections, segments)
    _, _, shed = limits(stats2)
    print(f"per-connection bound lifted, global {cap // MiB} MiB: peak RSS {peak2 / MiB:.1f} MiB; "
          f"{shed} connection buffers shed")
    if shed == 0:
        failures.append(f"the global bound never shed\n{stats2}")
    if peak2 - peak1 > cap + 8 * MiB:
        failures.append(f"buffering grew the peak by {(peak2 - peak1) / MiB:.1f} MiB, beyond the bound")
    for failure in failures:
        print("FAIL: " + failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
