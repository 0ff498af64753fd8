#!/usr/bin/env python3
"""Writes the decrypted Kerberos parts that the auth tests and the fuzz seeds use
(tests/data/auth, or the directory given as the argument), in the DER encoding of
RFC 4120 (section 5.3, 5.5.1), as a KDC and a client produce them before encryption:

  enc-ticket-part.bin    EncTicketPart: AES256 session key, crealm EXAMPLE.TEST, cname alice
  authenticator.bin      Authenticator: AES256 subkey, seq-number 0x1234567, crealm, cname,
                         followed by 12 bytes of cipher padding (the reader stops at the element)
  enc-ap-rep-part.bin    EncAPRepPart: RC4-HMAC (23) subkey, seq-number 0xFFFFFFFF (five octets)

No capture carries these in clear; they are built here from the ASN.1 so their values are known.
"""
import os
import sys

OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                         "..", "..", "tests", "data", "auth")


def tlv(tag, content):
    n = len(content)
    length = bytes([n]) if n < 0x80 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + content


def field(n, element): return tlv(0xA0 + n, element)
def seq(*items): return tlv(0x30, b"".join(items))
def integer(v): return tlv(0x02, v.to_bytes(max(1, (v.bit_length() + 8) // 8), "big", signed=True))
def string(s): return tlv(0x1B, s.encode())
def octets(b): return tlv(0x04, b)
def time(s): return tlv(0x18, s.encode())
def principal(kind, *parts): return seq(field(0, integer(kind)), field(1, seq(*[string(p) for p in parts])))
def key(kind, value): return seq(field(0, integer(kind)), field(1, octets(value)))


session_key = bytes(range(0x10, 0x30))
ticket = tlv(0x63, seq(
    field(0, tlv(0x03, b"\x00\x40\xe1\x00\x00")),         # flags: forwardable, renewable, initial, pre-authent
    field(1, key(18, session_key)),
    field(2, string("EXAMPLE.TEST")),
    field(3, principal(1, "alice")),
    field(4, seq(field(0, integer(1)), field(1, octets(b"")))),  # transited: none
    field(5, time("20261205230000Z")),
    field(7, time("20261206090000Z"))))
authenticator = tlv(0x62, seq(
    field(0, integer(5)),
    field(1, string("EXAMPLE.TEST")),
    field(2, principal(1, "alice")),
    field(4, integer(123456)),
    field(5, time("20261205230001Z")),
    field(6, key(18, bytes(range(0x40, 0x60)))),
    field(7, integer(0x1234567)))) + b"\x0c" * 12

ap_rep_part = tlv(0x7B, seq(
    field(0, time("20261205230001Z")),
    field(1, integer(123456)),
    field(2, key(23, bytes(range(0x70, 0x80)))),
    field(3, integer(0xFFFFFFFF))))

for name, data in (("enc-ticket-part.bin", ticket), ("authenticator.bin", authenticator),
                   ("enc-ap-rep-part.bin", ap_rep_part)):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)
