#!/usr/bin/env python3
"""Encrypted captures decrypted with the operator's key material give the records of their
clear twins (the same scenario recorded without encryption), read with the same options.
Every form of key material opens the NTLM sessions: the password, the NT hash, and the
session keys or cipher keys smbd logged (NAME.keys); a wrong password opens nothing and
gives the records of a run without keys.

    compare_twins.py SMBAUDIT CAPTURE_DIR

Records are compared in order, without the keys that differ between two runs of one
scenario: times and durations, the client port, the ids the server hands out, `encrypted`
and `decrypted` (checked apart: records read out of a transform carry both), the signing and share flags that encryption brings. Samba's client sends
one last message after its LOGOFF (a TREE_DISCONNECT, refused STATUS_USER_SESSION_DELETED
in clear) encrypted under session id 0xFFFFFFFFFFFFFFFF, which no server can decrypt: that
record and its `encrypted` twin are left out. A failure prints the first difference.
"""
import json
import os
import subprocess
import sys
import tempfile

PASSWORD = ("--ntlm-credentials", "CAPTURES\\alice Alice-Pass-1\n")
NTLM_INPUTS = [PASSWORD, ("--ntlm-credentials", "alice :be2929b503cf53fe397f467acb5f2501\n"),
               ("--smb-keys", "session_key"), ("--smb-keys", "server_in_key server_out_key")]
WRONG_PASSWORD = ("--ntlm-credentials", "CAPTURES\\alice Alice-Pass-2\n")
TWINS = [(f"{n}-clear", f"{n}-encrypted") for n in ["smb300", "smb302", "smb311-aes-128-ccm", "smb311-aes-128-gcm",
                                                     "smb311-aes-256-ccm", "smb311-aes-256-gcm", "smb3-share"]]
TWINS += [("impacket-smb3", "impacket-smb3-encrypted")]
# (clear twin, encrypted capture, option and key material); a wrong password is compared
# with the encrypted capture itself read without keys.
PAIRS = [(c, e, *key) for key in NTLM_INPUTS for c, e in TWINS] + [(e, e, *WRONG_PASSWORD) for _, e in TWINS]
PAIRS += [("kerberos-smb3-clear", "kerberos-smb3-encrypted", "--keytab", None)]
# Captures with records after the logon that carry neither flag: smb3-share's IPC$ tree,
# in clear (only `secure` requires encryption); impacket's compound CREATE + CLOSE, which
# the client script sends (and Samba answers) in clear.
PARTLY_CLEAR = {"smb3-share-encrypted", "impacket-smb3-encrypted"}
# The encryption-required share of smb3-share-encrypted is `secure`; its twin used `share`.
RENAMED = {"\\secure": "\\share"}
IGNORED = {"ts", "user_hint_ts", "rtt_us", "open_us", "client", "session_id", "tree_id", "file_id", "encrypted", "decrypted",
           "signing", "share_flags"}


def records(smbaudit, pcap, options):
    out = subprocess.run([smbaudit, "--no-progress", *options, pcap], check=True, capture_output=True,
                         text=True).stdout
    kept, flags = [], set()
    for line in out.splitlines():
        r = json.loads(line)
        if r.get("status_name") == "STATUS_USER_SESSION_DELETED" or r.get("session_id") == "0xffffffffffffffff":
            continue
        kept.append({k: RENAMED.get(v, v) if isinstance(v, str) else v for k, v in r.items() if k not in IGNORED})
        if r["event"] != "logon":
            flags.add((r.get("encrypted"), r.get("decrypted")))
    return kept, flags


def main():
    smbaudit, captures = sys.argv[1], sys.argv[2]
    failures = 0
    for clear, encrypted, option, material in PAIRS:
        if material is None:
            options = [option, f"{captures}/kerberos-dc1.keytab"]
        else:
            if option == "--smb-keys":  # session_id=... session_key=... server_in_key=... of NAME.keys
                logged = [dict(w.split("=", 1) for w in line.split()) for line in open(f"{captures}/{encrypted}.keys")]
                material = "".join(" ".join(k[f] for f in ["session_id", *material.split()]) + "\n" for k in logged)
            # A file of this run's own: two runs at once must not read each other's keys.
            f = tempfile.NamedTemporaryFile("w", prefix=f"compare-twins-{encrypted}-", delete=False)
            f.write(material)
            f.close()
            options = [option, f.name]
        want, _ = records(smbaudit, f"{captures}/{clear}.pcap", [] if clear == encrypted else options)
        got, flags = records(smbaudit, f"{captures}/{encrypted}.pcap", options)
        if material is not None:
            os.unlink(options[1])
        # Every logon names alice: NTLM in clear; Kerberos only through the keytab, and the
        # AS-REQ on port 88 gives its hint.
        logon = got[0] if got else {}
        named = logon.get("user") == "alice" and (logon.get("auth") != "kerberos" or
                                                  logon.get("user_hint") == "alice@SAMDOM.EXAMPLE.COM")
        # Records read out of a transform say both, encrypted and decrypted: all but the logon
        # where every message after the logon was encrypted.
        flagged = (True, True) in flags if encrypted in PARTLY_CLEAR else flags == {(True, True)}
        if clear != encrypted and (not named or not flagged) or got != want:
            failures += 1
            print(f"{encrypted} {option} {material!r}: {len(got)} records, {clear}: {len(want)}")
            for g, w in zip(got + [None] * len(want), want + [None] * len(got)):
                if g != w:
                    print(f"  decrypted: {g}\n  clear:     {w}")
                    break
        else:
            print(f"{encrypted} {option}: the {len(got)} records of {clear}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
