#!/usr/bin/env python3
"""Cross-checks smbaudit's records against Wireshark's dissection of the same capture.

For every capture named on the command line the script reads the SMB1 and SMB2/3 traffic with
`tshark -T pdml` (Wireshark's own dissector, TCP and NetBIOS reassembly included), derives
from it the audit records that the analysis library is built to give, runs `smbaudit` on
the capture, and compares the two, connection by connection:

  logon            user, domain, workstation, status (by UID)
  logoff           status (by UID)
  tree_connect     share path, TID, status
  tree_disconnect  share path of the tree at the request, status (by TID)
  create           file name, FID, status; for NT Create AndX also the disposition asked
                   for, the action taken and the end of file
  read             FID, offset, count asked for, bytes returned, status
  write            FID, offset, bytes written
  close            FID, status
  delete, rename   names, status
  rpc              named-pipe payloads: FID, direction, length
  file hashes      the sha256 of every file the close records give whole ("read"/"written")
                   against the files tshark exports (--export-objects smb), by file name

SMB2 and SMB3 (records with "proto": "smb2"), paired by MessageId (an interim STATUS_PENDING
response waits for the final one), a related command of a compound chain acting on the FileId of
the command before it:

  logon            user, domain, workstation, status (by session_id)
  logoff           status (by session_id)
  tree_connect     share path, tree_id, status
  tree_disconnect  status (by tree_id)
  create           file name, file_id, disposition, action, end of file, status
  read, write      file_id, offset, length asked for, bytes returned or sent, status
  close            file_id, status; a delete when the open was created delete-on-close
  rename, delete   SET_INFO FileRenameInformation, FileDispositionInformation(Ex): names, status
  set_info         file_id and kind (end_of_file, allocation, basic, security, other)
  copy, list       FSCTL_SRV_COPYCHUNK(_WRITE) and QUERY_DIRECTORY: file_id, status, pattern
  rpc              pipe payloads of WRITE, READ and FSCTL_PIPE_TRANSCEIVE: file_id, direction, length
  encrypted        one per session that sends a transform message (by session_id)

Names are taken from the raw bytes of the fields (UTF-16LE or 8-bit as the message's
Flags2 says), not from tshark's display text, which tshark 4.0 renders lossily for some
UTF-16 names. Texts that the library keeps as 8-bit (user, domain, workstation) are
converted as the library does: a UTF-16 code unit above U+00FF becomes "?".

Every disagreement is printed. Those that the library's defined behaviour accounts for
(a standard 34-word NT Create AndX response under --strict, a chain that ends at Locking
AndX under --strict, the headerless answer of Read Raw, the commands it does not follow,
...) are printed with the reason and do not fail the check. SMB messages that the library
does not follow at all and that report nothing (Negotiate, Echo, Trans2 FIND_FIRST2,
QUERY_PATH_INFO, LANMAN transactions, ...) are not disagreements and are only counted.

Exit status: 0 when every disagreement is explained, 1 when one is not, 2 when a tool
failed. Python 3 standard library only.
"""
import argparse
import collections
import json
import os
import pickle
import re
import shutil
import subprocess
import sys
import tempfile
import hashlib
import urllib.parse
import xml.etree.ElementTree as ET

MORE_PROCESSING = (0xC0000016, 0x010000EA)

# Commands whose messages report nothing in the library; they are counted, not compared.
NOT_FOLLOWED = {
    0x72: "Negotiate", 0x10: "Check Directory", 0x2B: "Echo", 0x24: "Locking AndX",
    0x08: "Query Information", 0x09: "Set Information", 0x34: "Find Close2",
    0x80: "Query Information Disk", 0xA4: "NT Cancel", 0xA0: "NT Transact",
}
TRANS2_NAMES = {
    0x00: "OPEN2", 0x01: "FIND_FIRST2", 0x02: "FIND_NEXT2", 0x03: "QUERY_FS_INFORMATION",
    0x05: "QUERY_PATH_INFORMATION", 0x06: "SET_PATH_INFORMATION",
    0x07: "QUERY_FILE_INFORMATION", 0x08: "SET_FILE_INFORMATION", 0x10: "GET_DFS_REFERRAL",
}

DISPOSITIONS = {0: "supersede", 1: "open", 2: "create", 3: "open_if", 4: "overwrite", 5: "overwrite_if"}
ACTIONS = {0: "superseded", 1: "opened", 2: "created", 3: "overwritten"}

# Reasons, one place each, so that the report names them consistently.
WHY_STRICT_NTCREATE = ("standard 34-word NT Create AndX response: the library measures a successful "
                       "response as 50 words, so under --strict it is malformed and not reported")
WHY_UNKNOWN_FILE_STRICT = ("the FID was opened by a 34-word NT Create AndX response that --strict "
                           "does not accept, so the library has no file object for it")
WHY_UNKNOWN_FILE = "the FID was opened before the capture started, so the library has no file object for it"
WHY_LOCKING_CHAIN = ("the command follows Locking AndX in an AndX chain; Locking AndX has no handler and "
                     "under --strict the chain ends there")
WHY_CHAIN_STATUS = ("the status of a chained response belongs to the last command of the chain: the library "
                    "reports the commands before it as successful")
WHY_READ_RAW = ("Read Raw is reported from its request: the answer is bare data without an SMB header, so "
                "there is neither a status nor a returned length")
WHY_CORE_READ = "core Read (0x0A) is reported with its FID and returned data only: offset, count and status are not taken"
WHY_CORE_WRITE = "core Write (0x0B) has no handler in the library"
WHY_TRANS2_0102 = ("SET_FILE_INFORMATION with the CIFS level SMB_SET_FILE_DISPOSITION_INFO (0x0102) is not "
                   "followed; only the pass-through level 1013 is")
WHY_NO_CONVERSATION = "the UID has no conversation in the library at this response, so nothing is reported"
WHY_NO_TREE = "the TID has no tree (with a conversation) in the library at the request, so nothing is reported"
WHY_NO_REQUEST = "the request was not captured, so the response cannot be paired"
WHY_RECONSTRUCTED = ("a conversation or tree rebuilt by the library for a file operation whose logon or tree "
                     "connect was not seen; its texts are unknown and left out")
WHY_EMPTY_NATIVE_STRICT = ("the Session Setup request ends with empty NativeOS / NativeLanMan strings (Windows 10 "
                           "and later): the standard reading wants at least 3 bytes for each, so under --strict the "
                           "request is dropped and the logon not reported")
WHY_LOGOFF_NO_WORDS = "a Logoff AndX response without parameter words (an error response) reports nothing"
WHY_SNAPLEN = ("a frame of the exchange was cut by the capture's snapshot length: the sensor never received the "
               "whole message, while tshark still shows the part that was captured")
WHY_NO_CLOSE = ("the sensor's close record without status for an open whose close the capture does not hold, "
                "written when its connection ends, with the totals of what was seen")
WHY_NO_HASHES = ("the sensor writes no sha256/md5 (--no-hashes, or a record formatter that leaves the close "
                 "record's content keys out)")
WHY_PIPE_EXPORT = ("tshark exports a named pipe's payload as an object; the sensor reports pipe payloads as rpc "
                   "records, not as file content with hashes")
WHY_EXPORT_MERGED = ("tshark keeps one export object per file name: a later transfer of the same name is merged "
                     "into the first one's object instead of being exported on its own")
WHY_EXPORT_PARTIAL = ("the sensor gives this transfer's hash up (hash_partial: a hole, overlapping pieces, written "
                      "bytes that come again beyond the last 256 bytes hashed, or no close), while tshark exports "
                      "what it has of a file, its holes filled with zeros")
WHY_CAPPED = ("the data length is capped to the bytes of the command block, whose length follows from its "
              "16-bit ByteCount (under --strict: large reads and writes wrap it)")


def le(raw, off, size):
    return int.from_bytes(raw[off:off + size], "little")


def wide_text(raw, unicode):
    """A name as the library keeps it (UTF-16 text), up to its terminator."""
    if unicode:
        units = [le(raw, i, 2) for i in range(0, len(raw) - 1, 2)]
        if 0 in units:
            units = units[:units.index(0)]
        data = b"".join(u.to_bytes(2, "little") for u in units)
        return data.decode("utf-16-le", errors="replace")
    if b"\0" in raw:
        raw = raw[:raw.index(b"\0")]
    return raw.decode("latin-1")


def narrow_text(raw, unicode):
    """A user, domain or host name as the library keeps it: 8-bit, '?' for units above 0xFF."""
    if unicode:
        out = []
        for i in range(0, len(raw) - 1, 2):
            u = le(raw, i, 2)
            if u == 0:
                break
            out.append(chr(u) if u <= 0xFF else "?")
        return "".join(out)
    if b"\0" in raw:
        raw = raw[:raw.index(b"\0")]
    return raw.decode("latin-1")


def endpoint(addr, port):
    return "[%s]:%s" % (addr, port) if ":" in addr else "%s:%s" % (addr, port)


FIELD_ATTRIBUTES = ("value", "show", "pos", "size", "unmaskedvalue")


class Block:
    """One command block of an SMB message as tshark dissected it: the fields that carry
    bytes of the message (tshark's generated fields, which have no bytes, are left out)."""

    def __init__(self, elem, cmd, is_response):
        self.cmd = cmd
        self.pos = int(elem.get("pos", "0"))
        self.is_response = is_response
        # Plain dictionaries of the attributes read later, not the XML elements: small
        # enough to keep in the cache of tshark's dissections.
        self.fields = collections.defaultdict(list)
        for f in elem.iter("field"):
            name = f.get("name")
            if name and f.get("value") is not None and f.get("size", "0") != "0":
                field = {k: f.get(k) for k in FIELD_ATTRIBUTES if f.get(k) is not None}
                kids = [c.get("name") for c in f]
                if kids:
                    field["kids"] = kids
                self.fields[name].append(field)
        self.value = elem.get("value")

    def raw(self, name, index=0):
        found = self.fields.get(name, [])
        return bytes.fromhex(found[index].get("value")) if len(found) > index else None

    def num(self, name, index=0):
        found = self.fields.get(name, [])
        if len(found) <= index:
            return None
        elem = found[index]
        if elem.get("unmaskedvalue") is not None:  # a bit field: its value is the field's own
            return int(elem.get("show"), 0)
        return le(bytes.fromhex(elem.get("value")), 0, 8)

    def has(self, name):
        return name in self.fields

    def show(self, name):
        found = self.fields.get(name, [])
        return found[0].get("show") if found else None


class Message:
    """One SMB message: its header (read from the raw header bytes tshark shows) and its
    command blocks in chain order."""

    def __init__(self, frame, header_raw, header_pos, blocks, pipe):
        self.frame = frame
        self.header_pos = header_pos
        self.malformed = False
        h = header_raw
        self.cmd = h[4]
        self.flags2 = le(h, 10, 2)
        self.unicode = bool(self.flags2 & 0x8000)
        if self.flags2 & 0x4000:
            self.status = le(h, 5, 4)
        else:
            self.status = (h[5] << 24) | le(h, 7, 2)
        self.is_response = bool(h[9] & 0x80)
        self.tid = le(h, 24, 2)
        self.pid = le(h, 26, 2)
        self.uid = le(h, 28, 2)
        self.mid = le(h, 30, 2)
        self.blocks = blocks
        self.pipe = pipe  # the smb_pipe dissection of a Transaction request, or None


BLOCK_RE = re.compile(r"(Request|Response) \(0x([0-9a-fA-F]{2})\)")


def cached(function):
    """Keeps what `function(tshark, capture)` returns in the directory given by --cache, under
    a key of the capture's bytes, the tshark binary and this script: tshark's dissection does
    not depend on the sensor, and parsing its XML costs more than the rest of a check."""
    def wrapper(tshark, capture, cache_dir=None):
        if not cache_dir:
            return function(tshark, capture)
        key = hashlib.sha256(function.__name__.encode())
        binary = shutil.which(tshark) or tshark
        st = os.stat(binary)
        key.update(("%s %d %d" % (os.path.realpath(binary), st.st_size, st.st_mtime_ns)).encode())
        for path in (capture, __file__):
            with open(path, "rb") as f:
                key.update(f.read())
        path = os.path.join(cache_dir, key.hexdigest() + ".pickle")
        try:
            with open(path, "rb") as f:
                return pickle.load(f)
        except (OSError, EOFError, pickle.UnpicklingError):
            pass
        result = function(tshark, capture)
        os.makedirs(cache_dir, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=cache_dir, delete=False) as f:  # whole files only, for parallel runs
            pickle.dump(result, f, protocol=pickle.HIGHEST_PROTOCOL)
        os.replace(f.name, path)
        return result
    return wrapper


@cached
def read_tshark(tshark, capture):
    """Runs tshark and returns [(frame, client, server, Message)] in capture order."""
    proc = subprocess.run([tshark, "-r", capture, "-T", "pdml", "-Y", "smb or smb2"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise RuntimeError("tshark failed on %s: %s" % (capture, proc.stderr.decode(errors="replace").strip()))
    root = ET.fromstring(proc.stdout)
    found = []
    for packet in root.iter("packet"):
        frame = ip_src = ip_dst = sport = dport = None
        wire_len = cap_len = 0
        last = None
        for proto in packet.findall("proto"):
            name = proto.get("name")
            for f in proto.iter("field"):
                fname = f.get("name")
                if fname == "frame.number":
                    frame = int(f.get("show"))
                elif fname == "frame.len":
                    wire_len = int(f.get("show"))
                elif fname == "frame.cap_len":
                    cap_len = int(f.get("show"))
                elif fname in ("ip.src", "ipv6.src"):
                    ip_src = f.get("show")
                elif fname in ("ip.dst", "ipv6.dst"):
                    ip_dst = f.get("show")
                elif fname == "tcp.srcport":
                    sport = int(f.get("show"))
                elif fname == "tcp.dstport":
                    dport = int(f.get("show"))
                if name != "frame" and name not in ("ip", "ipv6", "tcp"):
                    break
            if name == "smb":
                header = None
                header_pos = 0
                blocks = []
                for child in proto.findall("field"):
                    show = child.get("show") or ""
                    if show == "SMB Header":
                        header = bytes.fromhex(child.get("value"))
                        header_pos = int(child.get("pos", "0"))
                        continue
                    m = BLOCK_RE.search(show)
                    if m:
                        blocks.append(Block(child, int(m.group(2), 16), m.group(1) == "Response"))
                if header is None or len(header) < 32:
                    continue
                msg = Message(frame, header, header_pos, blocks, None)
                if msg.is_response:
                    client, server = endpoint(ip_dst, dport), endpoint(ip_src, sport)
                else:
                    client, server = endpoint(ip_src, sport), endpoint(ip_dst, dport)
                last = msg
                found.append((frame, client, server, msg))
            elif name == "smb_pipe" and last is not None and not last.is_response:
                last.pipe = Block(proto, 0x25, False)
            elif name == "smb2":
                header = body = None
                for child in proto.findall("field"):
                    show = child.get("show") or ""
                    if show.startswith("SMB2 ") and show.endswith("Header"):
                        header = bytes.fromhex(child.get("value") or "")
                    elif BLOCK_RE.search(show):
                        body = Block(child, 0, False)
                if header is None or len(header) < 52:
                    continue
                from_server = sport in (445, 139) or (dport not in (445, 139) and sport < dport)
                msg = Smb2Pdu(frame, header, body, from_server)
                msg.cut = cap_len < wire_len
                if from_server:
                    client, server = endpoint(ip_dst, dport), endpoint(ip_src, sport)
                else:
                    client, server = endpoint(ip_src, sport), endpoint(ip_dst, dport)
                found.append((frame, client, server, msg))
            elif name == "_ws.malformed" and last is not None:
                last.malformed = True
    return found


class Expected:
    """A record that the dissection says the library gives (or explains why it does not)."""

    def __init__(self, kind, frames, fields, missing_reason=None, field_reasons=None, proto="smb1"):
        self.proto = proto
        self.kind = kind
        self.frames = frames
        self.fields = fields
        self.missing_reason = missing_reason
        self.field_reasons = field_reasons or {}


class Connection:
    """The state of one TCP connection, kept as the library keeps it, so that the records it
    gives can be predicted."""

    def __init__(self, strict):
        self.strict = strict
        self.pending = {}
        self.logons = {}      # UID -> logon in progress (multi-leg NTLMSSP)
        self.convs = {}       # UID -> {"trees": set(), "logged_on": bool}
        self.trees = {}       # TID -> {"uid": UID, "path": str}
        self.files = {}       # FID -> {"name", "pipe", "known", "why"}
        self.unseen_data = {}  # file name -> why the library reports none of its data
        self.expected = []
        self.unfollowed = collections.Counter()
        self.orphans = []      # response frames whose request tshark did not show
        self.malformed = []    # frames tshark could not dissect completely
        self.smb2 = Smb2Connection(self)

    # -- session records, mirrored --------------------------------------------------------
    def rebuild(self, uid, tid):
        if uid not in self.convs:
            self.convs[uid] = {"trees": set(), "logged_on": True}
        if tid not in self.trees:
            self.trees[tid] = {"uid": uid, "path": None}
            self.convs[uid]["trees"].add(tid)

    def native_strings_dropped(self, block):
        """Whether --strict drops this Session Setup request: an extended-security request
        (12 words) needs at least 3 bytes before its NativeOS and before its NativeLanMan,
        which the empty strings closing the block of Windows 10 and later do not leave."""
        bcc = block.fields.get("smb.bcc")
        if not self.strict or block.num("smb.wct") != 12 or not bcc:
            return False
        data = int(bcc[0].get("pos")) + 2
        end = data + block.num("smb.bcc")

        def field_end(name, default):
            found = block.fields.get(name)
            return int(found[0].get("pos")) + int(found[0].get("size")) if found else default

        return end - field_end("smb.security_blob", data) < 3 or end - field_end("smb.native_os", end) < 3

    def release_conv(self, uid):
        conv = self.convs.pop(uid, None)
        if conv:
            for tid in conv["trees"]:
                tree = self.trees.get(tid)
                if tree:
                    tree["uid"] = None

    # -- messages ---------------------------------------------------------------------------
    def message(self, msg):
        if msg.malformed:
            self.malformed.append(msg.frame)
        # Commands behind a Locking AndX in a chain: under --strict the library stops there.
        after_locking = False
        last = len(msg.blocks) - 1
        for i, block in enumerate(msg.blocks):
            status = msg.status
            status_reason = None
            if msg.is_response and i < last and msg.status != 0:
                status = 0
                status_reason = WHY_CHAIN_STATUS
            ctx = {"msg": msg, "status": status, "status_reason": status_reason,
                   "lost": WHY_LOCKING_CHAIN if (after_locking and self.strict) else None}
            handler = getattr(self, "cmd_%02x" % block.cmd, None)
            if handler is None:
                self.unfollowed[NOT_FOLLOWED.get(block.cmd, "command 0x%02x" % block.cmd)] += 1
            elif msg.is_response:
                key = (msg.pid, msg.mid, block.cmd)
                req = self.pending.pop(key, None)
                if req is None and block.cmd != 0x72:
                    self.orphans.append(msg.frame)
                handler(None if req is None else req[0], None if req is None else req[1], block, ctx)
            else:
                key = (msg.pid, msg.mid, block.cmd)
                self.pending[key] = (msg, block)
                handler(msg, block, None, ctx)
            if block.cmd == 0x24:
                after_locking = True

    def add(self, kind, frames, fields, ctx, missing_reason=None, field_reasons=None):
        reasons = dict(field_reasons or {})
        if ctx.get("status_reason") and "status" in fields:
            reasons["status"] = (ctx["status_reason"], 0)
        self.expected.append(Expected(kind, frames, fields, ctx.get("lost") or missing_reason, reasons))

    @staticmethod
    def frames(req, rsp_msg):
        parts = []
        if req is not None:
            parts.append("request frame %d" % req.frame)
        if rsp_msg is not None:
            parts.append("response frame %d" % rsp_msg.frame)
        return ", ".join(parts)

    # Session Setup AndX
    def cmd_73(self, req, rblock, sblock, ctx):
        if sblock is None:
            logon = self.logons.pop(req.uid, None) or {"user": None, "domain": None,
                                                       "workstation": None, "ntlm_unicode": True}
            logon["frame"] = req.frame
            logon["dropped"] = self.native_strings_dropped(rblock)
            if rblock.has("ntlmssp.auth.username"):
                for field, key in (("ntlmssp.auth.domain", "domain"), ("ntlmssp.auth.username", "user"),
                                   ("ntlmssp.auth.hostname", "workstation")):
                    elem = rblock.fields[field][0]
                    has_text = "ntlmssp.string.length" in elem.get("kids", ())
                    logon[key] = narrow_text(bytes.fromhex(elem.get("value")), logon["ntlm_unicode"]) \
                        if has_text else ""
            elif rblock.has("smb.account"):
                logon["user"] = narrow_text(rblock.raw("smb.account"), req.unicode)
                logon["domain"] = narrow_text(rblock.raw("smb.primary_domain") or b"", req.unicode)
            self.pending[(req.pid, req.mid, 0x73)] = (req, logon)
            return
        msg = ctx["msg"]
        if req is None:
            self.add("logon", self.frames(None, msg), {"uid": msg.uid}, ctx, WHY_NO_REQUEST)
            return
        logon = rblock  # the logon in progress, filed with the request
        if logon["dropped"]:
            # Nothing was filed, so no record and no conversation; a record of this UID is
            # one the library rebuilt for a later file operation.
            if ctx["status"] not in MORE_PROCESSING:
                self.add("logon", "request frame %d, response frame %d" % (logon["frame"], msg.frame),
                         {"uid": None}, ctx, WHY_EMPTY_NATIVE_STRICT)
            return
        flags = sblock.num("ntlmssp.negotiateflags")
        if flags is not None:
            logon["ntlm_unicode"] = bool(flags & 1)
        if ctx["status"] in MORE_PROCESSING:
            self.release_conv(msg.uid)
            self.convs[msg.uid] = {"trees": set(), "logged_on": True}
            self.logons[msg.uid] = logon
            return
        # A failed logon leaves no conversation, so its record names no UID.
        fields = {"uid": msg.uid if ctx["status"] == 0 else None, "user": logon["user"],
                  "domain": logon["domain"], "workstation": logon["workstation"], "status": ctx["status"]}
        if ctx["status"] == 0:
            self.convs.setdefault(msg.uid, {"trees": set(), "logged_on": True})
        else:
            self.release_conv(msg.uid)
        self.add("logon", "request frame %d, response frame %d" % (logon["frame"], msg.frame), fields, ctx)

    # Tree Connect AndX
    def cmd_75(self, req, rblock, sblock, ctx):
        if sblock is None:
            return
        msg = ctx["msg"]
        if req is None:
            return  # the library's Tree Connect response without request reports nothing
        path = wide_text(rblock.raw("smb.path") or b"", req.unicode)
        fields = {"path": path, "status": ctx["status"]}
        missing = None
        if ctx["status"] == 0:
            fields["tid"] = msg.tid
            conv = self.convs.get(msg.uid)
            if conv is None and not self.strict:
                # The library rebuilds the conversation of a tree the server accepted.
                conv = self.convs[msg.uid] = {"trees": set(), "logged_on": True}
            if conv is None:
                missing = WHY_NO_CONVERSATION
            else:
                self.trees[msg.tid] = {"uid": msg.uid, "path": path}
                conv["trees"].add(msg.tid)
        self.add("tree_connect", self.frames(req, msg), fields, ctx, missing)

    # Tree Disconnect
    def cmd_71(self, req, rblock, sblock, ctx):
        if sblock is None:
            # The library names the tree as the request finds it: None when it reports nothing.
            tree = self.trees.get(req.tid)
            known = tree is not None and tree["uid"] is not None and tree["uid"] in self.convs
            self.pending[(req.pid, req.mid, 0x71)] = (req, (tree["path"] or "") if known else None)
            return
        msg = ctx["msg"]
        if req is None:
            return
        fields = {"tid": msg.tid, "path": rblock, "status": ctx["status"]}
        self.add("tree_disconnect", self.frames(req, msg), fields, ctx, None if rblock is not None else WHY_NO_TREE)
        if rblock is not None and ctx["status"] == 0:
            tree = self.trees.pop(msg.tid, None)
            conv = self.convs.get(msg.uid)
            if conv is not None:
                conv["trees"].discard(msg.tid)
                if not conv["logged_on"] and not conv["trees"]:
                    self.convs.pop(msg.uid)
            elif tree and tree["uid"] in self.convs:
                self.convs[tree["uid"]]["trees"].discard(msg.tid)

    # Logoff AndX
    def cmd_74(self, req, rblock, sblock, ctx):
        if sblock is None:
            return
        msg = ctx["msg"]
        if req is None:
            return
        conv = self.convs.get(msg.uid)
        if (sblock.num("smb.wct") or 0) < 2:
            reason = WHY_LOGOFF_NO_WORDS
        else:
            reason = None if conv else WHY_NO_CONVERSATION
        self.add("logoff", self.frames(req, msg), {"uid": msg.uid, "status": ctx["status"]}, ctx, reason)
        if conv and ctx["status"] == 0 and reason is None:
            if conv["trees"]:
                conv["logged_on"] = False
            else:
                self.convs.pop(msg.uid)

    def open_file(self, msg, block, name, ctx, accepted, why):
        fid = block.num("smb.fid")
        ftype = block.num("smb.file_type") or 0
        self.files[fid] = {"name": name, "pipe": ftype in (1, 2), "known": accepted, "why": why}
        return fid

    # NT Create AndX
    def cmd_a2(self, req, rblock, sblock, ctx):
        if sblock is None:
            return
        msg = ctx["msg"]
        if req is None:
            return
        name = wide_text(rblock.raw("smb.file") or b"", req.unicode)
        root = rblock.num("smb.rfid") or 0
        if root:
            name = (self.files.get(root) or {"name": "?"})["name"] + name
        fields = {"file": name, "status": ctx["status"],
                  "disposition": DISPOSITIONS.get(rblock.num("smb.create.disposition"), "unknown")}
        missing = None
        if ctx["status"] == 0:
            fields["create_action"] = ACTIONS.get(sblock.num("smb.create.action"), "unknown")
            fields["file_size"] = sblock.num("smb.end_of_file")
            words = sblock.num("smb.wct")
            accepted = not (self.strict and words is not None and words < 42)
            why = None if accepted else WHY_UNKNOWN_FILE_STRICT
            fields["fid"] = self.open_file(msg, sblock, name, ctx, accepted, why)
            if not accepted:
                missing = WHY_STRICT_NTCREATE
        if missing is None:
            self.rebuild(msg.uid, msg.tid)
        self.add("create", self.frames(req, msg), fields, ctx, missing)

    # Open AndX
    def cmd_2d(self, req, rblock, sblock, ctx):
        if sblock is None:
            return
        msg = ctx["msg"]
        if req is None:
            return
        name = wide_text(rblock.raw("smb.file") or b"", req.unicode)
        fields = {"file": name, "status": ctx["status"]}
        if ctx["status"] == 0:
            fields["fid"] = self.open_file(msg, sblock, name, ctx, True, None)
            self.rebuild(msg.uid, msg.tid)
        self.add("create", self.frames(req, msg), fields, ctx)

    def file_reason(self, fid):
        f = self.files.get(fid)
        if f is None:
            return WHY_UNKNOWN_FILE
        return f["why"]

    def is_pipe(self, fid):
        f = self.files.get(fid)
        return bool(f and f["pipe"])

    @staticmethod
    def capped_length(msg, block, declared):
        """The data length as the library measures it: the declared length, capped to the
        bytes of the block (WordCount, words, ByteCount, bytes) from the data's position."""
        words, count, data_offset = block.num("smb.wct"), block.num("smb.bcc"), block.num("smb.data_offset")
        if words is None or count is None or data_offset is None:
            return declared
        block_len = 1 + 2 * words + 2 + count
        position = data_offset - (block.pos - msg.header_pos)
        return max(0, min(declared, block_len - position))

    def length_reasons(self, msg, block, declared):
        # By default the sensor takes large reads and writes whole (the library's
        # largeReadWrite option): the declared length, up to the end of the message.
        if not self.strict:
            return {}
        capped = self.capped_length(msg, block, declared)
        return {"data_len": (WHY_CAPPED, capped)} if capped != declared else {}

    # Read AndX
    def cmd_2e(self, req, rblock, sblock, ctx):
        if sblock is None:
            return
        msg = ctx["msg"]
        if req is None:
            return
        fid = rblock.num("smb.fid")
        words = sblock.num("smb.wct") or 0
        length = 0
        if words >= 12:
            length = (sblock.num("smb.data_len_low") or 0) + ((sblock.num("smb.data_len_high") or 0) & 0xFFFF) * 65536
        if self.is_pipe(fid):
            self.add("rpc", self.frames(req, msg), {"fid": fid, "direction": "response", "data_len": length},
                     ctx, self.file_reason(fid), self.length_reasons(msg, sblock, length) if words >= 12 else None)
            return
        offset = (rblock.num("smb.offset") or 0) | ((rblock.num("smb.offset_high") or 0) << 32)
        count = (rblock.num("smb.maxcount_low") or 0) | (((rblock.num("smb.maxcount_high") or 0) & 0xFFFF) << 16)
        fields = {"fid": fid, "offset": offset, "count": count, "data_len": length, "status": ctx["status"]}
        self.add("read", self.frames(req, msg), fields, ctx, self.file_reason(fid),
                 self.length_reasons(msg, sblock, length) if words >= 12 else None)

    # Read (core)
    def cmd_0a(self, req, rblock, sblock, ctx):
        if sblock is None:
            return
        msg = ctx["msg"]
        if req is None or sblock.num("smb.data_len") is None:
            return  # an error response carries no data buffer and is not reported
        fid = rblock.num("smb.fid")
        fields = {"fid": fid, "offset": rblock.num("smb.offset"), "count": rblock.num("smb.count"),
                  "data_len": sblock.num("smb.data_len"), "status": ctx["status"]}
        self.add("read", self.frames(req, msg), fields, ctx, self.file_reason(fid),
                 {"offset": WHY_CORE_READ, "count": WHY_CORE_READ, "status": WHY_CORE_READ})

    # Read Raw: reported from the request
    def cmd_1a(self, req, rblock, sblock, ctx):
        if sblock is not None:
            return
        fid = rblock.num("smb.fid")
        offset = (rblock.num("smb.offset") or 0) | ((rblock.num("smb.offset_high") or 0) << 32)
        fields = {"fid": fid, "offset": offset, "count": rblock.num("smb.maxcount"), "data_len": None,
                  "status": None}
        self.add("read", self.frames(req, None), fields, ctx, self.file_reason(fid),
                 {"data_len": WHY_READ_RAW, "status": WHY_READ_RAW})

    # Write AndX: reported from the request
    def cmd_2f(self, req, rblock, sblock, ctx):
        if sblock is not None:
            return
        fid = rblock.num("smb.fid")
        length = (rblock.num("smb.data_len_low") or 0) + (rblock.num("smb.data_len_high") or 0) * 65536
        reasons = self.length_reasons(req, rblock, length)
        if self.is_pipe(fid):
            self.add("rpc", self.frames(req, None), {"fid": fid, "direction": "request", "data_len": length},
                     ctx, self.file_reason(fid), reasons)
            return
        offset = (rblock.num("smb.offset") or 0) | ((rblock.num("smb.offset_high") or 0) << 32)
        self.add("write", self.frames(req, None), {"fid": fid, "offset": offset, "data_len": length}, ctx,
                 self.file_reason(fid), reasons)

    # Write (core)
    def cmd_0b(self, req, rblock, sblock, ctx):
        if sblock is not None:
            return
        fid = rblock.num("smb.fid")
        if fid in self.files:
            self.unseen_data[self.files[fid]["name"]] = WHY_CORE_WRITE
        self.add("write", self.frames(req, None), {"fid": fid, "offset": rblock.num("smb.offset"),
                                                   "data_len": rblock.num("smb.data_len")}, ctx, WHY_CORE_WRITE)

    # Close
    def cmd_04(self, req, rblock, sblock, ctx):
        if sblock is None:
            return
        msg = ctx["msg"]
        if req is None:
            return
        fid = rblock.num("smb.fid")
        reason = self.file_reason(fid)
        self.add("close", self.frames(req, msg), {"fid": fid, "status": ctx["status"]}, ctx, reason)
        if ctx["status"] == 0:
            self.files.pop(fid, None)

    def namespace_op(self, kind, req, names, sblock, ctx, extra=None):
        msg = ctx["msg"]
        if req is None:
            return
        fields = dict(names)
        fields["status"] = ctx["status"]
        fields.update(extra or {})
        self.rebuild(msg.uid, msg.tid)
        self.add(kind, self.frames(req, msg), fields, ctx)

    def cmd_00(self, req, rblock, sblock, ctx):  # Create Directory
        if sblock is not None:
            self.namespace_op("create", req, {"file": wide_text(rblock.raw("smb.dir_name") or b"", req.unicode)}
                              if req else {}, sblock, ctx)

    def cmd_01(self, req, rblock, sblock, ctx):  # Delete Directory
        if sblock is not None:
            self.namespace_op("delete", req, {"file": wide_text(rblock.raw("smb.dir_name") or b"", req.unicode)}
                              if req else {}, sblock, ctx)

    def cmd_06(self, req, rblock, sblock, ctx):  # Delete
        if sblock is not None:
            self.namespace_op("delete", req, {"file": wide_text(rblock.raw("smb.file") or b"", req.unicode)}
                              if req else {}, sblock, ctx)

    def cmd_07(self, req, rblock, sblock, ctx):  # Rename
        if sblock is not None and req is not None:
            names = {"old_name": wide_text(rblock.raw("smb.old_file") or b"", req.unicode),
                     "new_name": wide_text(rblock.raw("smb.file") or b"", req.unicode)}
            self.namespace_op("rename", req, names, sblock, ctx)

    # Transaction2: only SET_FILE_INFORMATION that marks an open file for deletion reports
    def cmd_32(self, req, rblock, sblock, ctx):
        if sblock is None or req is None:
            return
        sub = rblock.num("smb.trans2.cmd")
        if sub != 0x08:
            self.unfollowed["Trans2 " + TRANS2_NAMES.get(sub, "0x%02x" % (sub or 0))] += 1
            return
        level = rblock.num("smb.spi_loi")
        pending = rblock.num("smb.marked_for_deletion")
        if pending is None:
            pending = rblock.num("smb.disposition.delete_on_close")
        if level not in (0x0102, 1013) or pending != 1:
            self.unfollowed["Trans2 SET_FILE_INFORMATION level %s" % level] += 1
            return
        msg = ctx["msg"]
        fid = rblock.num("smb.fid")
        f = self.files.get(fid)
        fields = {"file": f["name"] if f else None, "status": ctx["status"]}
        if level == 0x0102:
            reason = WHY_TRANS2_0102
        else:
            reason = self.file_reason(fid)
            if reason is None:
                self.rebuild(msg.uid, msg.tid)
        self.add("delete", self.frames(req, msg), fields, ctx, reason)

    # Transaction: named-pipe payloads
    def cmd_25(self, req, rblock, sblock, ctx):
        if req is None:
            return
        name = wide_text(rblock.raw("smb.trans_name") or b"", req.unicode)
        function = req.pipe.num("smb_pipe.function") if req.pipe else None
        if not name.startswith("\\PIPE\\") or name[6:12] == "LANMAN" or function != 0x26:
            if sblock is None:
                self.unfollowed["Transaction " + (name or "(no name)")] += 1
            return
        fid = req.pipe.num("smb.fid")
        if sblock is None:
            self.add("rpc", self.frames(req, None), {"fid": fid, "direction": "request",
                                                     "data_len": rblock.num("smb.dc")}, ctx, self.file_reason(fid))
        elif (sblock.num("smb.wct") or 0) >= 10:
            self.add("rpc", self.frames(req, ctx["msg"]), {"fid": fid, "direction": "response",
                                                           "data_len": sblock.num("smb.dc")}, ctx,
                     self.file_reason(fid))


# How records of each kind are paired: the fields that identify one.
MATCH_KEYS = {
    "logon": ("uid",), "logoff": ("uid",), "tree_connect": ("path",), "tree_disconnect": ("tid",),
    "create": ("file",), "close": ("fid",), "read": ("fid",), "write": ("fid",),
    "delete": ("file",), "rename": ("old_name",), "rpc": ("fid", "direction"),
}


# ---------------------------------------------------------------------------------------------
# SMB2 and SMB3
# ---------------------------------------------------------------------------------------------

STATUS_PENDING = 0x00000103
STATUS_BUFFER_OVERFLOW = 0x80000005
FSCTL_PIPE_TRANSCEIVE = 0x0011C017
FSCTL_COPYCHUNK = (0x001440F2, 0x001480F2)
ALL_ONES_ID = "ff" * 16
FILE_DELETE_ON_CLOSE = 0x1000
SMB2_NOT_FOLLOWED = {
    0x00: "NEGOTIATE", 0x07: "FLUSH", 0x0A: "LOCK", 0x0C: "CANCEL", 0x0D: "ECHO",
    0x0F: "CHANGE_NOTIFY", 0x10: "QUERY_INFO", 0x12: "OPLOCK_BREAK",
}
# SET_INFO file information classes and what the library calls the change.
SET_INFO_KINDS = {4: "basic", 19: "allocation", 20: "end_of_file"}


class Smb2Pdu:
    """One SMB2 message of a compound chain (or a transform message): its header read from the
    raw bytes tshark shows, its body as a Block (tshark's fields) and the body's raw bytes."""

    def __init__(self, frame, header, body, from_server):
        self.frame = frame
        self.transform = header[:4] == b"\xfdSMB"
        self.compressed = header[:4] == b"\xfcSMB"
        self.block = body
        self.body = bytes.fromhex(body.value or "") if body is not None else b""
        self.cut = False  # the frame was cut by the snapshot length
        if self.transform:
            self.session_id = le(header, 44, 8)
            self.is_response = from_server
            return
        if self.compressed:
            self.is_response = from_server
            return
        self.status = le(header, 8, 4)
        self.cmd = le(header, 12, 2)
        self.flags = le(header, 16, 4)
        self.is_response = bool(self.flags & 1)
        self.related = bool(self.flags & 4)
        self.msg_id = le(header, 24, 8)
        self.tree_id = None if self.flags & 2 else le(header, 36, 4)
        self.session_id = le(header, 40, 8)

    def u(self, off, size):
        return le(self.body, off, size) if len(self.body) >= off + size else None

    def file_id(self, off):
        return self.body[off:off + 16].hex() if len(self.body) >= off + 16 else None


def smb2_text(raw):
    return (raw or b"").decode("utf-16-le", errors="replace")


class Smb2Connection:
    """The SMB2 state of one TCP connection, as far as the records need it: requests waiting
    for their response by MessageId, trees by TreeId, opens by FileId."""

    def __init__(self, conn):
        self.conn = conn          # the connection's SMB1 side: its expectation list and counters
        self.pending = {}         # MessageId -> (request, what the request left for its response)
        self.trees = {}           # TreeId -> {"path", "pipe"}
        self.opens = {}           # FileId -> {"name", "pipe", "delete_on_close"}
        self.encrypted = set()    # sessions that have shown a transform message
        self.chain_req = None     # the previous request of the compound chain being read
        self.chain_file = {}      # MessageId -> the FileId its request acted on or its CREATE gave
        self.exchange = ()        # the request (and response) being read

    def add(self, kind, frames, fields, missing=None):
        if any(p.cut for p in self.exchange if p is not None):
            missing = WHY_SNAPLEN
        self.conn.expected.append(Expected(kind, frames, fields, missing, {}, "smb2"))

    @staticmethod
    def frames(req, rsp):
        return Connection.frames(req, rsp)

    def pdu(self, p):
        if p.transform:
            self.conn.unfollowed["SMB2 transform (encrypted)"] += 1
            if p.session_id not in self.encrypted:
                self.encrypted.add(p.session_id)
                self.add("encrypted", "frame %d" % p.frame, {"session_id": "0x%016x" % p.session_id})
            return
        if p.compressed:
            self.conn.unfollowed["SMB2 compression transform"] += 1
            return
        handler = getattr(self, "smb2_%02x" % p.cmd, None)
        if handler is None:
            self.conn.unfollowed["SMB2 " + SMB2_NOT_FOLLOWED.get(p.cmd, "command 0x%02x" % p.cmd)] += 1
            return
        if not p.is_response:
            # Related operations of a compound chain inherit the FileId of the one before.
            p.parent = self.chain_req if p.related else None
            self.chain_req = p
            self.exchange = (p,)
            self.pending[p.msg_id] = (p, handler(p, None, None))
            return
        if p.status == STATUS_PENDING and p.flags & 2:
            return  # interim response: the final one follows with the same MessageId
        req, state = self.pending.pop(p.msg_id, (None, None))
        if req is None and p.cmd == 0x01 and p.status not in MORE_PROCESSING:
            # A logon's outcome stands on its own: the library reports it from the response.
            self.exchange = (p,)
            self.add("logon", "response frame %d" % p.frame, {"session_id": "0x%016x" % p.session_id,
                                                            "status": p.status})
            return
        if req is None:
            self.conn.orphans.append(p.frame)
            return
        self.exchange = (req, p)
        handler(req, p, state)

    def request_file_id(self, req, off):
        """The FileId a request acts on; a related one of all ones is the one before's."""
        fid = req.file_id(off)
        if fid == ALL_ONES_ID and req.parent is not None:
            fid = self.chain_file.get(req.parent.msg_id, fid)
        self.chain_file[req.msg_id] = fid
        return fid

    def name_of(self, fid):
        o = self.opens.get(fid)
        return o["name"] if o else None

    def smb2_01(self, req, rsp, state):  # SESSION_SETUP
        if rsp is None:
            b = req.block
            who = {}
            if b.has("ntlmssp.auth.username"):
                for field, key in (("ntlmssp.auth.domain", "domain"), ("ntlmssp.auth.username", "user"),
                                   ("ntlmssp.auth.hostname", "workstation")):
                    elem = b.fields[field][0]
                    has_text = "ntlmssp.string.length" in elem.get("kids", ())
                    # An empty text is one the records leave out.
                    who[key] = (smb2_text(bytes.fromhex(elem.get("value"))) if has_text else "") or None
            elif b.has("kerberos.realm"):  # the AP-REQ's ticket: realm and service in clear
                who["realm"] = b.show("kerberos.realm")
                who["service_principal"] = "/".join(f.get("show") for f in b.fields["kerberos.SNameString"])
            return who
        if rsp.status in MORE_PROCESSING:
            return
        fields = dict(state)
        fields.update({"session_id": "0x%016x" % rsp.session_id, "status": rsp.status})
        self.add("logon", self.frames(req, rsp), fields)

    def smb2_02(self, req, rsp, state):  # LOGOFF
        if rsp is not None:
            self.add("logoff", self.frames(req, rsp), {"session_id": "0x%016x" % req.session_id,
                                                       "status": rsp.status})

    def smb2_03(self, req, rsp, state):  # TREE_CONNECT
        if rsp is None:
            return smb2_text(req.block.raw("smb2.tree"))
        fields = {"path": state, "status": rsp.status}
        if rsp.status == 0:
            fields["tree_id"] = rsp.tree_id
            self.trees[rsp.tree_id] = {"path": state, "pipe": rsp.u(2, 1) == 2}
        self.add("tree_connect", self.frames(req, rsp), fields)

    def smb2_04(self, req, rsp, state):  # TREE_DISCONNECT
        if rsp is not None:
            self.add("tree_disconnect", self.frames(req, rsp), {"tree_id": req.tree_id, "status": rsp.status})

    def smb2_05(self, req, rsp, state):  # CREATE
        if rsp is None:
            return
        name = smb2_text(req.block.raw("smb2.filename"))
        options = req.u(40, 4) or 0
        fields = {"file": name, "status": rsp.status,
                  "disposition": DISPOSITIONS.get(req.u(36, 4), "unknown")}
        if rsp.status == 0:
            fid = rsp.file_id(64)
            self.chain_file[req.msg_id] = fid
            tree = self.trees.get(req.tree_id)
            self.opens[fid] = {"name": name, "pipe": bool(tree and tree["pipe"]),
                               "delete_on_close": bool(options & FILE_DELETE_ON_CLOSE)}
            fields.update({"file_id": fid, "create_action": ACTIONS.get(rsp.u(4, 4), "unknown"),
                           "file_size": rsp.u(48, 8)})
        self.add("create", self.frames(req, rsp), fields)

    def smb2_06(self, req, rsp, state):  # CLOSE
        if rsp is None:
            return
        fid = self.request_file_id(req, 8)
        o = self.opens.get(fid)
        self.add("close", self.frames(req, rsp), {"file_id": fid, "status": rsp.status})
        if rsp.status == 0 and o is not None:
            if o["delete_on_close"]:
                self.add("delete", self.frames(req, rsp), {"file": o["name"], "status": 0})
            self.opens.pop(fid, None)

    def rpc(self, req, rsp, fid, direction, length):
        self.add("rpc", self.frames(req, rsp), {"file_id": fid, "direction": direction, "data_len": length})

    def smb2_08(self, req, rsp, state):  # READ
        if rsp is None:
            return
        fid = self.request_file_id(req, 16)
        o = self.opens.get(fid)
        returned = rsp.u(4, 4) if rsp.status in (0, STATUS_BUFFER_OVERFLOW) else 0
        if o is not None and o["pipe"]:
            if returned:
                self.rpc(req, rsp, fid, "response", returned)
            return
        self.add("read", self.frames(req, rsp), {"file_id": fid, "offset": req.u(8, 8), "count": req.u(4, 4),
                                                 "data_len": returned, "status": rsp.status})

    def smb2_09(self, req, rsp, state):  # WRITE
        fid = self.request_file_id(req, 16)
        o = self.opens.get(fid)
        if o is not None and o["pipe"]:
            if rsp is None:
                self.rpc(req, None, fid, "request", req.u(4, 4))
            return
        if rsp is not None:
            self.add("write", self.frames(req, rsp), {"file_id": fid, "offset": req.u(8, 8),
                                                      "data_len": req.u(4, 4), "status": rsp.status})

    def smb2_0b(self, req, rsp, state):  # IOCTL
        code = req.u(4, 4)
        fid = self.request_file_id(req, 8)
        if code == FSCTL_PIPE_TRANSCEIVE:
            if rsp is None:
                self.rpc(req, None, fid, "request", req.u(28, 4))
            elif rsp.status in (0, STATUS_BUFFER_OVERFLOW):
                self.rpc(req, rsp, fid, "response", rsp.u(36, 4))
        elif code in FSCTL_COPYCHUNK:
            if rsp is not None:
                self.add("copy", self.frames(req, rsp), {"file_id": fid, "status": rsp.status})
        elif rsp is None:
            self.conn.unfollowed["SMB2 IOCTL 0x%08x" % (code or 0)] += 1

    def smb2_0e(self, req, rsp, state):  # QUERY_DIRECTORY
        """A listing is reported once: at the first request on an open, or one that restarts the
        scan (flags RESTART_SCANS or REOPEN); the requests that continue it are only counted."""
        if rsp is None:
            return
        fid = self.request_file_id(req, 8)
        o = self.opens.get(fid)
        restart = bool((req.u(3, 1) or 0) & 0x11)
        if (o is not None and o.get("listed") and not restart) or (o is None and not restart and rsp.status):
            self.conn.unfollowed["SMB2 QUERY_DIRECTORY continuing a listing"] += 1
            return
        if o is not None:
            o["listed"] = True
        self.add("list", self.frames(req, rsp), {"file_id": fid, "status": rsp.status,
                                                 "pattern": smb2_text(req.block.raw("smb2.find.pattern"))})

    def smb2_11(self, req, rsp, state):  # SET_INFO
        if rsp is None:
            return
        fid = self.request_file_id(req, 16)
        info_type, info_class = req.u(2, 1), req.u(3, 1)
        start = (req.u(8, 2) or 64) - 64
        buf = req.body[start:start + (req.u(4, 4) or 0)]
        name = self.name_of(fid)
        frames = self.frames(req, rsp)
        if info_type == 1 and info_class == 10:
            length = le(buf, 16, 4)
            self.add("rename", frames, {"old_name": name, "new_name": smb2_text(buf[20:20 + length]),
                                        "status": rsp.status})
        elif info_type == 1 and info_class in (13, 64) and buf[:1] and buf[0] & 1:
            self.add("delete", frames, {"file": name, "status": rsp.status})
        else:
            kind = "security" if info_type == 3 else SET_INFO_KINDS.get(info_class, "other") \
                if info_type == 1 else "other"
            self.add("set_info", frames, {"file_id": fid, "kind": kind, "status": rsp.status})


# How SMB2 records of each kind are paired.
MATCH_KEYS_SMB2 = {
    "logon": ("session_id",), "logoff": ("session_id",), "tree_connect": ("path",),
    "tree_disconnect": ("tree_id",), "create": ("file",), "close": ("file_id",), "read": ("file_id",),
    "write": ("file_id",), "delete": ("file",), "rename": ("old_name",), "rpc": ("file_id", "direction"),
    "set_info": ("file_id", "kind"), "copy": ("file_id",), "list": ("file_id",), "encrypted": ("session_id",),
}


def record_fields(rec):
    """The compared fields of one smbaudit record, named as the expectations name them."""
    f = dict(rec)
    f.setdefault("proto", "smb1")
    if rec.get("event") in ("tree_connect", "tree_disconnect"):
        f["path"] = (rec.get("share_server") or "") + (rec.get("share") or "")
    status = rec.get("status")
    f["status"] = int(status, 16) if isinstance(status, str) else None
    return f


def fmt(value):
    if isinstance(value, int) and not isinstance(value, bool) and value > 0xFFFF:
        return "0x%08x" % value
    return json.dumps(value, ensure_ascii=False)


def blind_spot(conn):
    """Why tshark may lack the counterpart of a record on this connection, if it might."""
    parts = []
    if conn.orphans:
        parts.append("tshark shows %d response(s) of this connection without their request (frames %s), so the "
                     "records they complete cannot be derived from its dissection" %
                     (len(conn.orphans), ", ".join(map(str, conn.orphans[:8]))))
    if conn.malformed:
        parts.append("tshark gives up on frame(s) %s as malformed" % ", ".join(map(str, conn.malformed[:8])))
    return "; ".join(parts) or None


def crosscheck(capture, args):
    conns = collections.OrderedDict()
    for _frame, client, server, msg in read_tshark(args.tshark, capture, args.cache):
        conn = conns.setdefault((client, server), Connection(args.strict))
        if isinstance(msg, Smb2Pdu):
            conn.smb2.pdu(msg)
        else:
            conn.message(msg)

    # notices are derived from the records, tshark has nothing to compare them with
    cmd = [args.smbaudit, "--no-progress", "--no-notices"] + (["--strict"] if args.strict else []) + [capture]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode not in (0, 1):
        raise RuntimeError("smbaudit failed on %s: %s" % (capture, proc.stderr.decode(errors="replace").strip()))
    actual = collections.defaultdict(list)
    for line in proc.stdout.decode("utf-8").splitlines():
        rec = json.loads(line)
        actual[(rec["client"], rec["server"])].append(rec)

    unexplained, explained, unfollowed = [], [], collections.Counter()
    matched = 0
    for key in list(conns) + [k for k in actual if k not in conns]:
        conn = conns.get(key) or Connection(args.strict)
        unfollowed.update(conn.unfollowed)
        label = "%s -> %s" % key
        records = [(r, record_fields(r)) for r in actual.get(key, [])]
        used = [False] * len(records)
        for exp in conn.expected:
            keys = (MATCH_KEYS_SMB2 if exp.proto == "smb2" else MATCH_KEYS)[exp.kind]
            hit = None
            for i, (rec, f) in enumerate(records):
                if not used[i] and rec["event"] == exp.kind and f["proto"] == exp.proto and \
                        all(f.get(k) == exp.fields.get(k) for k in keys):
                    hit = i
                    break
            what = "%s %s (%s)" % (exp.kind, ", ".join("%s=%s" % (k, fmt(exp.fields.get(k))) for k in keys),
                                   exp.frames)
            if hit is None:
                line = "%s: %s: tshark shows it, smbaudit has no record" % (label, what)
                (explained if exp.missing_reason else unexplained).append(
                    line + ("\n    because " + exp.missing_reason if exp.missing_reason else ""))
                continue
            used[hit] = True
            matched += 1
            rec, f = records[hit]
            if exp.missing_reason and exp.missing_reason not in (WHY_NO_CONVERSATION,):
                pass
            for name, want in exp.fields.items():
                if name in keys:
                    continue
                got = f.get(name)
                if name == "status" and exp.kind == "write":
                    continue
                if got == want or (got is None and want == "******"):
                    continue  # the sensor leaves out a text the traffic never carried
                line = "%s: %s: %s: tshark %s, smbaudit %s" % (label, what, name, fmt(want), fmt(got))
                reason = exp.field_reasons.get(name)
                if isinstance(reason, tuple):
                    reason = reason[0] if got == reason[1] else None
                (explained if reason else unexplained).append(line + ("\n    because " + reason if reason else ""))
        for i, (rec, f) in enumerate(records):
            if used[i]:
                continue
            # A rebuilt logon has no user, a rebuilt tree no share: texts never seen are left out.
            masked = f["status"] == 0 and (rec["event"] == "logon" and "user" not in rec or
                                           rec["event"] == "tree_connect" and "share" not in rec)
            reason = WHY_RECONSTRUCTED if masked else blind_spot(conn)
            if rec["event"] == "close" and rec.get("status", 0) is None:
                reason = WHY_NO_CLOSE
            line = "%s: smbaudit record without counterpart in tshark: %s" % (label, json.dumps(rec, ensure_ascii=False))
            (explained if reason else unexplained).append(line + ("\n    because " + reason if reason else ""))
    reasons = {}  # file name -> why tshark and the sensor may see its content differently
    for conn in conns.values():
        reasons.update(conn.unseen_data)
    blind = next(filter(None, map(blind_spot, conns.values())), None)
    hashes_matched = check_hashes(capture, args, [r for recs in actual.values() for r in recs], reasons, blind,
                                  unexplained, explained)
    return matched + hashes_matched, unexplained, explained, unfollowed


@cached
def tshark_exports(tshark, capture):
    """{file name: [sha256, ...]} of the files tshark exports from the SMB traffic."""
    with tempfile.TemporaryDirectory() as out:
        proc = subprocess.run([tshark, "-r", capture, "-q", "--export-objects", "smb," + out],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if proc.returncode != 0:
            raise RuntimeError("tshark --export-objects failed on %s" % capture)
        exports = collections.defaultdict(list)
        for name in os.listdir(out):
            with open(os.path.join(out, name), "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            # Copies of a name are exported as "name(1).ext", "name(2).ext"...
            base = re.sub(r"\(\d+\)(\.[^.%]*)?$", lambda m: m.group(1) or "", name)
            exports[urllib.parse.unquote(base)].append(digest)
        return exports


def check_hashes(capture, args, records, reasons, blind, unexplained, explained):
    """Every sha256 of a close record is one of tshark's exports of the same file; every
    export has its hash on a close record. `reasons` explains file names whose data the
    library does not report, `blind` tshark's blind spots. Returns the matches."""
    def norm(name):  # SMB2 names are relative to the share, SMB1 ones start with a backslash
        return "\\" + name.lstrip("\\")
    exports = collections.defaultdict(list)
    for name, digests in tshark_exports(args.tshark, capture, args.cache).items():
        exports[norm(name)] += digests
    pipes = {norm(r["pipe"]) for r in records if r["event"] == "rpc" and "pipe" in r}
    unseen = {norm(name): why for name, why in reasons.items()}
    closes = [r for r in records if r["event"] == "close"]
    if exports and not any("read" in r or "written" in r for r in closes):
        explained.append("%s: tshark exports %d file(s), smbaudit's close records carry no content hashes\n    because "
                         "%s" % (os.path.basename(capture), sum(map(len, exports.values())), WHY_NO_HASHES))
        return 0
    whole, partial = collections.defaultdict(list), collections.Counter()
    for rec in records:
        if rec["event"] != "close" or "file" not in rec:
            continue
        for direction in ("read", "written"):
            content = rec.get(direction)
            if content is None:
                continue
            if "sha256" in content:
                whole[norm(rec["file"])].append(content["sha256"])
            else:
                partial[norm(rec["file"])] += 1
    matched = 0
    label = os.path.basename(capture)
    for name in sorted(set(whole) | set(exports)):
        left = list(exports.get(name, []))
        missing = []
        for digest in whole.get(name, []):
            if digest in left:
                left.remove(digest)
                matched += 1
            else:
                missing.append(digest)
        for digest in missing:
            line = "%s: %s: smbaudit sha256 %s, tshark exports %s" % (
                label, name, digest, ", ".join(exports.get(name, [])) or "nothing")
            reason = WHY_EXPORT_MERGED if exports.get(name) and not left else blind
            (explained if reason else unexplained).append(line + ("\n    because " + reason if reason else ""))
        for digest in left:
            line = "%s: %s: tshark exports content with sha256 %s, no close record of smbaudit has it" % (
                label, name, digest)
            reason = WHY_EXPORT_PARTIAL if partial[name] else WHY_PIPE_EXPORT if name in pipes else unseen.get(name)
            partial[name] = max(0, partial[name] - 1)
            (explained if reason else unexplained).append(line + ("\n    because " + reason if reason else ""))
    return matched


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("captures", nargs="+", metavar="CAPTURE")
    ap.add_argument("--smbaudit", default="smbaudit", help="the sensor to check (default: smbaudit on PATH)")
    ap.add_argument("--tshark", default="tshark")
    ap.add_argument("--cache", metavar="DIR", help="keep tshark's dissections of the captures in DIR for later runs")
    ap.add_argument("--strict", action="store_true", help="run smbaudit with --strict and expect its behaviour")
    ap.add_argument("-q", "--quiet", action="store_true", help="print only unexplained disagreements")
    args = ap.parse_args()
    for tool in (args.tshark, args.smbaudit):
        if shutil.which(tool) is None and not os.access(tool, os.X_OK):
            print("cannot run %s" % tool, file=sys.stderr)
            return 2
    failed = False
    for capture in args.captures:
        try:
            matched, unexplained, explained, unfollowed = crosscheck(capture, args)
        except (RuntimeError, ET.ParseError, ValueError) as e:
            print("ERROR %s: %s" % (capture, e))
            return 2
        name = os.path.basename(capture)
        status = "FAIL" if unexplained else "ok  "
        total = matched + len(unexplained) + len(explained)
        print("%s %s%s: %d records agree (%.1f%%), %d unexplained and %d explained disagreements" %
              (status, name, " (--strict)" if args.strict else "", matched, 100.0 * matched / total if total else 100.0,
               len(unexplained), len(explained)))
        for line in unexplained:
            print("  UNEXPLAINED " + line)
        if not args.quiet:
            for line in explained:
                print("  explained   " + line)
            if unfollowed:
                print("  not followed by the library (no record expected): " +
                      ", ".join("%s x%d" % (k, v) for k, v in sorted(unfollowed.items())))
        failed = failed or bool(unexplained)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
