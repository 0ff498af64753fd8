#!/usr/bin/env python3
"""Runs smbaudit on every committed capture: exit status 0, nothing on standard error, and
well-formed records (each line one JSON object with no repeated key, starting with the keys
every record has). Then all files in one run: one stream of traffic, still no error."""
import glob
import json
import os
import subprocess
import sys


def no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError("repeated key in %s" % keys)
    return dict(pairs)


def bad_record(output):
    for n, raw in enumerate(output.splitlines(keepends=True), 1):
        try:
            line = raw.decode("utf-8")
            if not line.endswith("\n"):
                raise ValueError("not terminated by a newline")
            rec = json.loads(line, object_pairs_hook=no_duplicates)
            if not isinstance(rec, dict) or list(rec)[:5] != ["ts", "event", "proto", "client", "server"]:
                raise ValueError("not an object starting with ts, event, proto, client, server")
        except ValueError as e:
            return "record %d: %s" % (n, e)
    return None


def main(tool, data):
    captures = sorted(glob.glob(os.path.join(data, "public", "*.pcap*")) +
                      glob.glob(os.path.join(data, "captures", "*.pcap*")))
    if not captures:
        print(f"no captures found under {data}")
        return 1
    failed = False
    for capture in captures:
        p = subprocess.run([tool, "--no-progress", capture], capture_output=True, check=False)
        problem = f"exit {p.returncode}: {p.stderr.decode()}" if p.returncode or p.stderr else bad_record(p.stdout)
        failed |= problem is not None
        records = len(p.stdout.splitlines())
        print(f"FAIL {os.path.basename(capture)}: {problem}" if problem else
              f"ok   {os.path.basename(capture)}: {records} records")
    p = subprocess.run([tool, "--no-progress", "--stats", *captures], capture_output=True, check=False)
    if p.returncode:
        print(f"FAIL all in one run: exit {p.returncode}: {p.stderr.decode()}")
        failed = True
    print(f"{len(captures)} captures")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
