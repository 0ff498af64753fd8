#!/usr/bin/env python3
"""Runs smbaudit with --workers 1 and with more workers on every committed capture, one by
one and all in one run, and checks that the records are the same set and that each
connection's records come in the same order. The --stats summaries must agree too, and
every run ends with exit status 0.
Record ids are numbered per worker and notices are counted per worker (a client's
connections may land on different workers): both are left out of the comparison."""
import glob
import os
import re
import subprocess
import sys
import tempfile
from collections import defaultdict


def run(tool, workers, captures):
    with tempfile.TemporaryFile() as err:
        out = subprocess.run([tool, "--no-progress", "--stats", "--workers", str(workers), *captures],
                             stdout=subprocess.PIPE, stderr=err, check=False)
        err.seek(0)
        records = [re.sub(r'"record_id":\d+,', "", line) for line in out.stdout.decode().splitlines()
                   if '"event":"notice"' not in line]
        stats = re.sub(r"notice +\d+\n", "", err.read().decode().split("notices by kind:")[0])
        return out.returncode, records, stats


def per_connection(lines):
    conns = defaultdict(list)
    for line in lines:
        start = line.find('"client":"')
        conns[line[start:line.find('"', start + 10)] if start >= 0 else ""].append(line)
    return conns


def main():
    tool, data = sys.argv[1], sys.argv[2]
    captures = sorted(glob.glob(os.path.join(data, "public", "*.pcap*")) +
                      glob.glob(os.path.join(data, "captures", "*.pcap*")))
    if not captures:
        print(f"no captures under {data}")
        return 1
    failed = False
    for inputs, name in [([c], os.path.basename(c)) for c in captures] + [(captures, "all in one run")]:
        rc1, one, stats1 = run(tool, 1, inputs)
        for workers in (2, 4):
            rc, many, stats = run(tool, workers, inputs)
            problems = [f"exit status {rc1} with one worker"] if rc1 else []
            if rc != rc1:
                problems.append(f"exit status {rc}, single-threaded {rc1}")
            if sorted(many) != sorted(one):
                problems.append("different records")
            elif per_connection(many) != per_connection(one):
                problems.append("a connection's records in another order")
            if stats != stats1:
                problems.append("different --stats")
            if problems:
                failed = True
                print(f"FAIL {name} --workers {workers}: {', '.join(problems)}")
        if not failed:
            print(f"ok   {name}: {len(one)} records")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
