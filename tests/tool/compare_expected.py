#!/usr/bin/env python3
"""Runs smbaudit on one committed capture, or without NAME on all of them in one run:

- with one worker: exit status 0, nothing on standard error, each line one JSON object with
  no repeated key starting with the keys every record has, and exactly the reviewed expected
  records of the capture (tests/data/expected/NAME.jsonl); a difference is named record by
  record, key by key;
- with 2 and 4 workers: the same exit status, the same set of records with each connection's
  in the same order, and the same --stats summary. Record ids are numbered per worker and
  notices are counted per worker (a client's connections may land on different workers):
  both are left out of this comparison. With 4 workers a single capture is read from standard
  input, so that its frames take the path of pcapng files (copied into the blocks every
  worker reads) rather than that of a mapped file.

    compare_expected.py SMBAUDIT DATA_DIR [NAME]"""
import glob
import json
import os
import re
import subprocess
import sys
from collections import defaultdict


def no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError(f"repeated key in {keys}")
    return dict(pairs)


def parse(output):
    records = []
    for n, line in enumerate(output.decode("utf-8").split("\n")[:-1], 1):
        rec = json.loads(line, object_pairs_hook=no_duplicates)
        if not isinstance(rec, dict) or list(rec)[:5] != ["ts", "event", "proto", "client", "server"]:
            raise ValueError(f"record {n}: not an object starting with ts, event, proto, client, server")
        records.append(rec)
    return records


def differences(got, want):
    for n in range(max(len(want), len(got))):
        w, g = (want[n] if n < len(want) else None), (got[n] if n < len(got) else None)
        if w is None or g is None:
            side, rec = ("only in actual", g) if w is None else ("only in expected", w)
            yield f"record {n + 1} {side}: {json.dumps(rec, ensure_ascii=False)}"
        elif json.dumps(w) != json.dumps(g):
            yield f"record {n + 1} ({g.get('event')}, expected {w.get('event')}):"
            for key in list(w) + [k for k in g if k not in w]:
                if w.get(key, "<absent>") != g.get(key, "<absent>"):
                    yield (f"  {key}: expected {json.dumps(w.get(key, '<absent>'), ensure_ascii=False)}, "
                           f"got {json.dumps(g.get(key, '<absent>'), ensure_ascii=False)}")


def sharded(tool, inputs, workers, stdin=False):
    """Exit status, sorted records, records by connection, --stats summary. From standard
    input, the frames are libpcap's and are copied into the blocks every worker reads."""
    args = [tool, "--no-progress", "--stats", "--workers", str(workers), *(["-"] if stdin else inputs)]
    with open(inputs[0] if stdin else os.devnull, "rb") as source:
        p = subprocess.run(args, capture_output=True, stdin=source)
    records = [re.sub(r'"record_id":\d+,', "", line) for line in p.stdout.decode().splitlines()
               if '"event":"notice"' not in line]
    conns = defaultdict(list)
    for line in records:
        conns[json.loads(line)["client"]].append(line)
    return p.returncode, sorted(records), conns, re.sub(r"notice +\d+\n", "", p.stderr.decode().split("notices by kind:")[0])


def main(tool, data, name="*"):
    inputs = sorted(glob.glob(f"{data}/public/{name}.pcap*") + glob.glob(f"{data}/captures/{name}.pcap*"))
    p = subprocess.run([tool, "--no-progress", *inputs], capture_output=True)
    if not inputs or p.returncode or p.stderr:
        print(f"{inputs}: exit {p.returncode}: {p.stderr.decode()}")
        return 1
    got, problems = parse(p.stdout), []
    if name != "*":
        with open(f"{data}/expected/{name}.jsonl", "rb") as f:
            expected = f.read()
        if p.stdout != expected:
            problems = [f"{len(parse(expected))} expected records, {len(got)} actual",
                        *differences(got, parse(expected))]
    one = sharded(tool, inputs, 1)
    for workers, stdin in ((2, False), (4, len(inputs) == 1)):
        for what, a, b in zip(["exit status", "set of records", "order of a connection's records", "--stats summary"], one,
                              sharded(tool, inputs, workers, stdin)):
            if a != b:
                problems.append(f"--workers {workers}{' from standard input' if stdin else ''}: another {what} than with one worker")
    print("\n".join(problems) or f"{len(inputs)} captures, {len(got)} records")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
