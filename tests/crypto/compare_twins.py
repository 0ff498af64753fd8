#!/usr/bin/env python3
"""Encrypted captures decrypted with the operator's key material give the records of their
clear twins (the same scenario recorded without encryption), read with the same options.

    compare_twins.py SMBAUDIT CAPTURE_DIR

Records are compared in order, without the keys that differ between two runs of one
scenario: times and durations, the client port, the ids the server hands out, `encrypted`
and `decrypted`, the signing and share flags that encryption brings. Samba's client sends
one last message after its LOGOFF (a TREE_DISCONNECT, refused STATUS_USER_SESSION_DELETED
in clear) encrypted under session id 0xFFFFFFFFFFFFFFFF, which no server can decrypt: that
record and its `encrypted` twin are left out. A failure prints the first difference.
"""
import json
import subprocess
import sys

CREDENTIALS = "CAPTURES\\alice Alice-Pass-1\n"
# (clear twin, encrypted capture, option and key material)
PAIRS = [(f"{n}-clear", f"{n}-encrypted", "--ntlm-credentials", CREDENTIALS)
         for n in ["smb300", "smb302", "smb311-aes-128-ccm", "smb311-aes-128-gcm", "smb311-aes-256-ccm",
                   "smb311-aes-256-gcm", "smb3-share"]]
# The encryption-required share of smb3-share-encrypted is `secure`; its twin used `share`.
RENAMED = {"\\secure": "\\share"}
PAIRS += [("impacket-smb3", "impacket-smb3-encrypted", "--ntlm-credentials", CREDENTIALS),
          ("kerberos-smb3-clear", "kerberos-smb3-encrypted", "--keytab", None)]
IGNORED = {"ts", "user_hint_ts", "rtt_us", "open_us", "client", "session_id", "tree_id", "file_id", "encrypted", "decrypted",
           "signing", "share_flags"}


def records(smbaudit, pcap, options):
    out = subprocess.run([smbaudit, "--no-progress", *options, pcap], check=True, capture_output=True,
                         text=True).stdout
    kept = []
    for line in out.splitlines():
        r = json.loads(line)
        if r.get("status_name") == "STATUS_USER_SESSION_DELETED" or r.get("session_id") == "0xffffffffffffffff":
            continue
        kept.append({k: RENAMED.get(v, v) if isinstance(v, str) else v for k, v in r.items() if k not in IGNORED})
    return kept


def main():
    smbaudit, captures = sys.argv[1], sys.argv[2]
    failures = 0
    for clear, encrypted, option, material in PAIRS:
        if material is None:
            options = [option, f"{captures}/kerberos-dc1.keytab"]
        else:
            with open(f"/dev/shm/compare-twins-{encrypted}", "w") as f:
                f.write(material)
            options = [option, f.name]
        want = records(smbaudit, f"{captures}/{clear}.pcap", options)
        got = records(smbaudit, f"{captures}/{encrypted}.pcap", options)
        # Every logon names alice: NTLM in clear; Kerberos only through the keytab, and the
        # AS-REQ on port 88 gives its hint.
        logon = got[0] if got else {}
        named = logon.get("user") == "alice" and (logon.get("auth") != "kerberos" or
                                                  logon.get("user_hint") == "alice@SAMDOM.EXAMPLE.COM")
        if not named or any(r["event"] == "encrypted" for r in got) or got != want:
            failures += 1
            print(f"{encrypted}: {len(got)} records, {clear}: {len(want)}")
            for g, w in zip(got + [None] * len(want), want + [None] * len(got)):
                if g != w:
                    print(f"  decrypted: {g}\n  clear:     {w}")
                    break
        else:
            print(f"{encrypted}: the {len(got)} records of {clear}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
