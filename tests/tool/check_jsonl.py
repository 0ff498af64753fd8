#!/usr/bin/env python3
"""Checks that every line of a JSON Lines file is one JSON object with no repeated key,
starting with the keys every record has."""
import json
import sys


def no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError("repeated key in %s" % keys)
    return dict(pairs)


def main(path):
    with open(path, "rb") as f:
        for n, raw in enumerate(f, 1):
            try:
                line = raw.decode("utf-8")
                if not line.endswith("\n"):
                    raise ValueError("record not terminated by a newline")
                rec = json.loads(line, object_pairs_hook=no_duplicates)
                if not isinstance(rec, dict):
                    raise ValueError("not an object")
                if list(rec)[:4] != ["ts", "event", "client", "server"]:
                    raise ValueError("records start with ts, event, client, server")
            except ValueError as e:
                print("%s:%d: %s" % (path, n, e), file=sys.stderr)
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
