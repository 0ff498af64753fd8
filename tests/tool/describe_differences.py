#!/usr/bin/env python3
"""Names, record by record, what differs between expected and actual JSON Lines records:
the keys whose values differ, the keys only one side has, and the records only one side has."""
import json
import sys


def load(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def main(expected_path, actual_path):
    expected, actual = load(expected_path), load(actual_path)
    print("%d expected records, %d actual" % (len(expected), len(actual)))
    for n in range(max(len(expected), len(actual))):
        want = expected[n] if n < len(expected) else None
        got = actual[n] if n < len(actual) else None
        if want == got:
            continue
        if want is None or got is None:
            side, rec = ("only in actual", got) if want is None else ("only in expected", want)
            print("record %d %s: %s" % (n + 1, side, json.dumps(rec, ensure_ascii=False)))
            continue
        print("record %d (%s, expected %s):" % (n + 1, got.get("event"), want.get("event")))
        for key in list(want) + [k for k in got if k not in want]:
            if want.get(key, "<absent>") != got.get(key, "<absent>"):
                print("  %s: expected %s, got %s" % (key, json.dumps(want.get(key, "<absent>"), ensure_ascii=False),
                                                   json.dumps(got.get(key, "<absent>"), ensure_ascii=False)))
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
