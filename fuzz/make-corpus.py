#!/usr/bin/env python3
"""Builds the seed corpora of the fuzz targets from the project's captures.

    fuzz/make-corpus.py [--only T1,T2] [--seed-bytes N] [--out DIR] [CAPTURE_DIR...]
                                              (default: tests/data/captures tests/data/public)
    fuzz/make-corpus.py --only smb2,smb2_messages ../shared/captures/smb2 tests/data/captures

--only rewrites just the named targets' corpora. --seed-bytes 0 --out DIR writes whole
connections, every one, to DIR/<target> (for sanitizer runs over complete captures).

tshark splits each capture into the TCP payloads of its connections and the security blobs
of its Session Setup messages; the raw frames come from the pcap file itself. Every seed is
written in the input layout of its target (see the comment at the top of each *_fuzzer.cc)
and kept small (SEED_BYTES at most), so that the committed corpus stays compact. Running
it again rewrites fuzz/corpus/ in full.
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CORPUS = os.path.join(HERE, "corpus")
SEED_BYTES = 12 * 1024   # largest seed
MAX_SEEDS = 48           # most seeds per target
SMB_PORTS = (445, 139)
OUT = CORPUS

# The packet target's link-layer selector (byte 0), by LINKTYPE_ number.
PACKET_LINKS = [0, 1, 101, 108, 113, 228, 229, 276]


def tshark_fields(pcap, display_filter, fields):
    cmd = ["tshark", "-r", pcap, "-Y", display_filter, "-T", "fields"]
    for f in fields:
        cmd += ["-e", f]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return [line.split("\t") for line in out.splitlines() if line]


def tcp_streams(pcap):
    """{stream: (server_port, [(from_client, seconds, payload, lost_before), ...])} in capture
    order. Bytes seen before are dropped (retransmissions); a gap in the sequence numbers
    marks the next payload as following lost bytes."""
    streams = {}
    expected = {}
    rows = tshark_fields(pcap, "tcp.len > 0", ["frame.time_epoch", "tcp.stream", "tcp.srcport", "tcp.dstport",
                                                 "tcp.seq", "tcp.payload"])
    for t, stream, sport, dport, seq, payload in rows:
        sport, dport = int(sport), int(dport)
        server = dport if dport in SMB_PORTS else sport if sport in SMB_PORTS else None
        if server is None or not payload:
            continue
        data, seq, key = bytes.fromhex(payload), int(seq), (stream, sport)
        nxt = expected.get(key, seq)
        if seq + len(data) <= nxt:
            continue
        if seq < nxt:
            data, seq = data[nxt - seq:], nxt
        expected[key] = seq + len(data)
        entry = streams.setdefault(int(stream), (server, []))
        entry[1].append((dport == server, float(t), data, seq > nxt))
    return streams


def context_seed(server_port, chunks, mid_stream, config=None):
    """The context target's layout: config, allocation failure, then flagged chunks. The smb2
    target reads the same layout with its own config byte."""
    out = bytearray([1 if server_port == 139 else 0 if config is None else config, 0])
    last_t = chunks[0][1] if chunks else 0.0
    lost_pending = {True: mid_stream, False: mid_stream}
    for from_client, t, payload, lost in chunks:
        lost_pending[from_client] |= lost
        for i in range(0, len(payload), 0xFFFF):
            piece = payload[i:i + 0xFFFF]
            if SEED_BYTES and len(out) + 3 + len(piece) > SEED_BYTES:
                return bytes(out)
            step = min(31, max(0, int(t - last_t)))
            last_t = max(last_t, t)
            flags = (1 if from_client else 0) | (2 if lost_pending[from_client] else 0) | (step << 3)
            lost_pending[from_client] = False
            out += bytes([flags]) + struct.pack("<H", len(piece)) + piece
    return bytes(out)


def netbios_messages(chunks):
    """(NetBIOS type, message) of each direction, reassembled from the chunks in capture order."""
    streams = {True: bytearray(), False: bytearray()}
    for from_client, _, payload, _ in chunks:
        streams[from_client] += payload
    for data in streams.values():
        pos = 0
        while pos + 4 <= len(data):
            length = int.from_bytes(data[pos + 1:pos + 4], "big")
            yield data[pos], bytes(data[pos + 4:pos + 4 + length])
            pos += 4 + length


def smb_messages(chunks):
    """Whole SMB1 messages of each direction."""
    for kind, msg in netbios_messages(chunks):
        if kind == 0 and msg[:4] == b"\xffSMB":
            yield msg


def smb2_messages(chunks):
    """(selector, message) of every SMB2 message of each direction, compound chains cut into
    their elements, in the smb2_messages target's layout: the selector byte is the command
    number times two plus one for responses."""
    for _, msg in netbios_messages(chunks):
        off = 0
        while msg[off:off + 4] == b"\xfeSMB" and off + 64 <= len(msg):
            command = int.from_bytes(msg[off + 12:off + 14], "little")
            flags = int.from_bytes(msg[off + 16:off + 20], "little")
            nxt = int.from_bytes(msg[off + 20:off + 24], "little")
            end = off + nxt if nxt else len(msg)
            yield bytes([(command * 2 + (flags & 1)) & 0xFF]) + msg[off:end][:SEED_BYTES or None]
            if not nxt or end > len(msg):
                break
            off = end


def text_seed(msg):
    """The first block's byte area of an SMB message, in the text target's layout."""
    if len(msg) < 35:
        return None
    unicode = msg[11] & 0x80  # Flags2 bit 15
    words = msg[32]
    byte_count_at = 33 + 2 * words
    if byte_count_at + 2 > len(msg):
        return None
    count = int.from_bytes(msg[byte_count_at:byte_count_at + 2], "little")
    block = msg[byte_count_at + 2:byte_count_at + 2 + count]
    if not block:
        return None
    # Unicode text after the WordCount's odd offset starts with one pad byte.
    pos = 1 if unicode and (byte_count_at + 2) % 2 else 0
    return bytes([2 if unicode else 0]) + struct.pack("<HH", pos, len(block)) + block


def pcap_frames(path):
    """(link type, [(seconds, frame bytes)]) of a classic pcap file; pcapng goes via tshark."""
    with open(path, "rb") as f:
        data = f.read()
    magic = data[:4]
    if magic not in (b"\xd4\xc3\xb2\xa1", b"\xa1\xb2\xc3\xd4", b"\x4d\x3c\xb2\xa1", b"\xa1\xb2\x3c\x4d"):
        data = subprocess.run(["tshark", "-r", path, "-F", "pcap", "-w", "-"], check=True,
                              capture_output=True).stdout
        magic = data[:4]
    endian = "<" if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    link = struct.unpack(endian + "I", data[20:24])[0] & 0x0FFFFFFF
    frames, pos = [], 24
    while pos + 16 <= len(data):
        sec, _, caplen, _ = struct.unpack(endian + "IIII", data[pos:pos + 16])
        frames.append((sec, data[pos + 16:pos + 16 + caplen]))
        pos += 16 + caplen
    return link, frames


def packet_seed(link, frames):
    """The packet target's layout: link selector, settings, then flagged frames."""
    out = bytearray([PACKET_LINKS.index(link), 0])
    last = frames[0][0] if frames else 0
    for sec, frame in frames:
        if SEED_BYTES and len(out) + 3 + len(frame) > SEED_BYTES:
            break
        step = min(15, max(0, sec - last))
        last = max(last, sec)
        out += bytes([step]) + struct.pack("<H", len(frame)) + frame
    return bytes(out)


def security_blobs(pcap):
    rows = tshark_fields(pcap, "smb.security_blob", ["smb.security_blob"])
    return [bytes.fromhex(r[0]) for r in rows if r and r[0]]


def add_token(targets, label, blob):
    """Raw NTLMSSP blobs (no extended security negotiated), SPNEGO tokens around an NTLMSSP
    message or a Kerberos token, and bare Kerberos messages. The SMB1 token targets take a
    UTF-16 flag byte first; the Kerberos target also gets the AP-REQ out of its GSS-API framing."""
    ntlm = blob.find(b"NTLMSSP\x00")
    if ntlm != 0:
        targets["ber"].add(label, bytes([32, 5]) + blob)
        targets["spnego"].add(label, b"\x01" + blob)
    if ntlm >= 0:
        targets["ntlmssp"].add(label, b"\x01" + blob[ntlm:])
    else:
        targets["kerberos"].add(label, blob)
        ap_req = blob.find(b"\x01\x00\x6e")
        if ap_req >= 0:
            targets["kerberos"].add(label + "-ap-req", blob[ap_req + 2:])


class Target:
    def __init__(self, name):
        self.name = name
        self.seeds = {}

    def add(self, label, data):
        if data and hashlib.sha1(data).hexdigest() not in {hashlib.sha1(d).hexdigest() for d in self.seeds.values()}:
            self.seeds.setdefault(label, data)

    def write(self):
        # With too many seeds, keep ones spread evenly over the sizes, small to large.
        ranked = sorted(self.seeds.items(), key=lambda kv: (len(kv[1]), kv[0]))
        limit = MAX_SEEDS if SEED_BYTES else len(ranked)
        step = max(1.0, len(ranked) / limit)
        chosen = [ranked[int(i * step)] for i in range(min(limit, len(ranked)))]
        path = os.path.join(OUT, self.name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        for label, data in chosen:
            with open(os.path.join(path, label), "wb") as f:
                f.write(data)
        print(f"{self.name}: {len(chosen)} seeds, {sum(len(d) for _, d in chosen)} bytes")


def main():
    global SEED_BYTES, OUT
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", default="")
    parser.add_argument("--seed-bytes", type=int, default=SEED_BYTES)
    parser.add_argument("--out", default=CORPUS)
    parser.add_argument("dirs", nargs="*")
    args = parser.parse_args()
    SEED_BYTES, OUT = args.seed_bytes, args.out
    dirs = args.dirs or [os.path.join(ROOT, "tests/data/captures"), os.path.join(ROOT, "tests/data/public")]
    names = ("context", "text", "packet", "ber", "spnego", "ntlmssp", "kerberos", "smb2", "smb2_messages")
    targets = {n: Target(n) for n in names}
    only = set(args.only.split(",")) if args.only else set(names)
    for d in dirs:
        for name in sorted(os.listdir(d)):
            if not name.endswith((".pcap", ".pcapng")):
                continue
            pcap = os.path.join(d, name)
            stem = os.path.splitext(name)[0]
            for stream, (port, chunks) in sorted(tcp_streams(pcap).items()):
                targets["context"].add(f"{stem}-{stream}", context_seed(port, chunks, False))
                if len(chunks) >= 8:
                    targets["context"].add(f"{stem}-{stream}-mid", context_seed(port, chunks[len(chunks) // 2:], True))
                for i, msg in enumerate(smb_messages(chunks)):
                    targets["text"].add(f"{stem}-{stream}-{i}", text_seed(msg))
                # smb2: alone (port 445), and behind the router (with its SMB1 context)
                routed = 3 if port == 139 else 2
                for config, tag in (((0, "bare"), (routed, "routed")) if port == 445 else ((routed, "routed"),)):
                    targets["smb2"].add(f"{stem}-{stream}-{tag}", context_seed(port, chunks, False, config))
                if len(chunks) >= 8:
                    targets["smb2"].add(f"{stem}-{stream}-mid", context_seed(port, chunks[len(chunks) // 2:], True, 2))
                for i, msg in enumerate(smb2_messages(chunks)):
                    targets["smb2_messages"].add(f"{stem}-{stream}-{i}", msg)
            link, frames = pcap_frames(pcap)
            if link in PACKET_LINKS:
                targets["packet"].add(stem, packet_seed(link, frames))
            for i, blob in enumerate(security_blobs(pcap)):
                add_token(targets, f"{stem}-{i}", blob)
    # The SMB2 security blobs and Kerberos messages of tests/data/auth (see its README).
    auth = os.path.join(ROOT, "tests/data/auth")
    for name in sorted(os.listdir(auth)):
        if name.endswith(".bin"):
            with open(os.path.join(auth, name), "rb") as f:
                add_token(targets, name[:-4], f.read())
    for t in targets.values():
        if t.name in only:
            t.write()


if __name__ == "__main__":
    main()
