#!/usr/bin/env python3
"""Runs smbaudit on one committed capture and compares its records with the reviewed expected
records (tests/data/expected/NAME.jsonl): exit status 0, nothing on standard error, each line
one JSON object with no repeated key starting with the keys every record has, and exactly the
expected records. On a difference it names, record by record, the keys that differ.

    compare_expected.py SMBAUDIT DATA_DIR NAME"""
import glob
import json
import subprocess
import sys


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


def main(tool, data, name):
    capture = glob.glob(f"{data}/public/{name}.pcap*") + glob.glob(f"{data}/captures/{name}.pcap*")
    p = subprocess.run([tool, "--no-progress", *capture[:1]], capture_output=True, check=False)
    if len(capture) != 1 or p.returncode or p.stderr:
        print(f"{capture}: exit {p.returncode}: {p.stderr.decode()}")
        return 1
    with open(f"{data}/expected/{name}.jsonl", "rb") as f:
        expected_text = f.read()
    got, want = parse(p.stdout), parse(expected_text)
    if p.stdout == expected_text:
        return 0
    print(f"{len(want)} expected records, {len(got)} actual")
    for n in range(max(len(want), len(got))):
        w, g = (want[n] if n < len(want) else None), (got[n] if n < len(got) else None)
        if w is None or g is None:
            side, rec = ("only in actual", g) if w is None else ("only in expected", w)
            print(f"record {n + 1} {side}: {json.dumps(rec, ensure_ascii=False)}")
        elif json.dumps(w) != json.dumps(g):
            print(f"record {n + 1} ({g.get('event')}, expected {w.get('event')}):")
            for key in list(w) + [k for k in g if k not in w]:
                if w.get(key, "<absent>") != g.get(key, "<absent>"):
                    print(f"  {key}: expected {json.dumps(w.get(key, '<absent>'), ensure_ascii=False)}, "
                          f"got {json.dumps(g.get(key, '<absent>'), ensure_ascii=False)}")
    return 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
