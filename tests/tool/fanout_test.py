#!/usr/bin/env python3
"""smbaudit -i with --workers 2: two capture handles in one kernel fan-out group see every
connection whole, so the records are those of the same frames read from a file (time
stamps and round-trip times aside). Frames of a committed capture, in 16 copies with their own client ports and
addresses the host does not own, are sent on the loopback interface. Root only (77: skipped).
Usage: fanout_test.py SMBAUDIT CAPTURE"""
import json, os, signal, socket, struct, subprocess, sys, tempfile, time

if os.geteuid() != 0:
    print("not root: no live capture")
    sys.exit(77)
tool, capture = sys.argv[1:3]
data = open(capture, "rb").read()
assert struct.unpack("<I", data[20:24])[0] == 1, "an Ethernet capture"
frames, at = [], 24
while at < len(data):
    caplen = struct.unpack("<I", data[at + 8:at + 12])[0]
    frames.append(bytearray(data[at + 16:at + 16 + caplen]))
    at += 16 + caplen
copies = []
for c in range(16):
    for f in frames:
        f = bytearray(f)
        tcp = 14 + (f[14] & 15) * 4
        to_server = struct.unpack(">H", f[tcp + 2:tcp + 4])[0] in (445, 139)
        client = tcp if to_server else tcp + 2
        f[client:client + 2] = struct.pack(">H", struct.unpack(">H", f[client:client + 2])[0] ^ (c << 10))
        f[26:34] = bytes([10, 99, c, 1, 10, 99, 0, 2]) if to_server else bytes([10, 99, 0, 2, 10, 99, c, 1])
        copies.append(bytes(f))
tmp = tempfile.mkdtemp()
with open(f"{tmp}/frames.pcap", "wb") as out:
    out.write(data[:24])
    for i, f in enumerate(copies):
        out.write(struct.pack("<IIII", 1000 + i // 1000, i % 1000, len(f), len(f)) + f)

def records(text):
    return sorted(json.dumps({k: v for k, v in json.loads(l).items() if k not in ("ts", "rtt_us", "open_us", "record_id")}, sort_keys=True)
                  for l in text.splitlines())

want = records(subprocess.run([tool, "--no-progress", "--no-notices", f"{tmp}/frames.pcap"], capture_output=True, check=True).stdout)
p = subprocess.Popen([tool, "--no-notices", "-i", "lo", "--workers", "2", "-w", f"{tmp}/live.jsonl",
                      "--stats-file", f"{tmp}/stats.jsonl"])
time.sleep(1.5)
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind(("lo", 0))
for f in copies:
    s.send(f)
time.sleep(1.5)
p.send_signal(signal.SIGTERM)
assert p.wait(30) == 0
stats = json.loads(open(f"{tmp}/stats.jsonl").read().splitlines()[-1])
assert stats["capture"]["dropped"] == 0, stats
got = records(open(f"{tmp}/live.jsonl").read())
assert len(want) == 16 * 41 and got == want, (len(got), len(want))
subprocess.run(["rm", "-rf", tmp])
