// Kerberos messages (RFC 4120) as far as an audit needs them. In clear: the AP-REQ of a logon
// names the realm and service of its ticket; the AS-REQ on port 88 names the client asking
// for a ticket. After decryption with the service's key: the ticket's EncTicketPart names
// the client and holds the session key, the Authenticator may hold a subkey.
//
// Every message is an [APPLICATION n] SEQUENCE of context-tagged fields [0], [1], ... in
// order, each holding one element. Fields this reader does not know are skipped; a field
// that cannot be read makes the message malformed.
#include <array>

#include "auth/ber.h"
#include "auth/security_token.h"

namespace smbaudit::auth {

namespace {

constexpr uint8_t kContextTag = 0xA0;  // [n] constructed, n below 31
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kGeneralString = 0x1B;

// Message types: the [APPLICATION n] tags.
constexpr uint8_t kAsReqTag = 0x6A;             // 10
constexpr uint8_t kApReqTag = 0x6E;             // 14
constexpr uint8_t kApRepTag = 0x6F;             // 15
constexpr uint8_t kEncApRepPartTag = 0x7B;      // 27
constexpr uint8_t kTicketTag = 0x61;            // 1
constexpr uint8_t kEncTicketPartTag = 0x63;     // 3
constexpr uint8_t kAuthenticatorTag = 0x62;     // 2

// The fields [0] to [N-1] of an [APPLICATION n] or plain SEQUENCE, by number; a field
// absent from the message stays empty (and its `present` bit clear).
template <size_t N>
struct Fields {
    std::array<Bytes, N> content;
    uint32_t present = 0;
    bool has(size_t i) const { return present >> i & 1; }
};

// `tag` the outer element's (kSequence for a plain SEQUENCE). Only the first element of
// `range` is read: decrypted parts carry padding after it.
template <size_t N>
bool ReadFields(Bytes range, uint8_t tag, Fields<N>& out) {
    BerElement e;
    if (!TakeElement(range, e) || e.tag != tag) return false;
    Bytes seq = e.content;
    if (tag != kSequence && (!TakeElement(seq, e) || e.tag != kSequence)) return false;
    seq = e.content;
    while (!seq.empty()) {
        if (!TakeElement(seq, e)) return false;
        const unsigned number = e.tag - kContextTag;
        if (number < N) {
            out.content[number] = e.content;
            out.present |= 1u << number;
        }
    }
    return true;
}

// The one element inside a field, of the given tag.
bool Inner(Bytes field, uint8_t tag, Bytes& content) {
    BerElement e;
    if (!TakeElement(field, e) || e.tag != tag) return false;
    content = e.content;
    return true;
}

// An INTEGER of at most 64 bits, two's complement.
bool Integer(Bytes field, int64_t& value) {
    Bytes c;
    if (!Inner(field, kInteger, c) || c.empty() || c.size() > 8) return false;
    uint64_t v = (c[0] & 0x80) ? ~uint64_t(0) : 0;
    for (uint8_t b : c) v = v << 8 | b;
    value = int64_t(v);
    return true;
}

bool Int32(Bytes field, int32_t& value) {
    int64_t v = 0;
    if (!Integer(field, v) || v < INT32_MIN || v > INT32_MAX) return false;
    value = int32_t(v);
    return true;
}

bool UInt32(Bytes field, std::optional<uint32_t>& value) {
    int64_t v = 0;
    if (!Integer(field, v) || v < 0 || v > int64_t(UINT32_MAX)) return false;
    value = uint32_t(v);
    return true;
}

bool Text(Bytes field, std::string& out) {
    Bytes c;
    if (!Inner(field, kGeneralString, c) || c.size() > kMaxKerberosName) return false;
    out.assign(c.begin(), c.end());
    return true;
}

// PrincipalName ::= SEQUENCE { name-type [0] Int32, name-string [1] SEQUENCE OF
// KerberosString }, written with its components joined by '/'.
bool Principal(Bytes field, std::string& out) {
    Fields<2> f;
    Bytes strings;
    if (!ReadFields(field, kSequence, f) || !Inner(f.content[1], kSequence, strings)) return false;
    out.clear();
    for (size_t n = 0; !strings.empty(); ++n) {
        BerElement s;
        if (n == kMaxPrincipalComponents || !TakeElement(strings, s) || s.tag != kGeneralString) return false;
        if (out.size() + 1 + s.content.size() > kMaxKerberosName) return false;
        if (n) out += '/';
        out.append(s.content.begin(), s.content.end());
    }
    return true;
}

// EncryptedData ::= SEQUENCE { etype [0] Int32, kvno [1] UInt32 OPTIONAL, cipher [2] OCTET STRING }
bool Encrypted(Bytes field, int32_t& etype, std::optional<uint32_t>* kvno, Bytes& cipher) {
    Fields<3> f;
    if (!ReadFields(field, kSequence, f) || !Int32(f.content[0], etype) || !Inner(f.content[2], kOctetString, cipher))
        return false;
    return !f.has(1) || !kvno || UInt32(f.content[1], *kvno);
}

// EncryptionKey ::= SEQUENCE { keytype [0] Int32, keyvalue [1] OCTET STRING }
bool Key(Bytes field, EncryptionKey& key) {
    Fields<2> f;
    return ReadFields(field, kSequence, f) && Int32(f.content[0], key.type) && Inner(f.content[1], kOctetString, key.value);
}

// A whole message: its [APPLICATION n] tag and fields, within the token size limit.
template <size_t N>
bool ReadMessage(const uint8_t* data, size_t len, uint8_t tag, Fields<N>& fields) {
    return len <= kMaxTokenBytes && ReadFields(Bytes(data, len), tag, fields);
}

// The msg-type field, which must repeat what the application tag said.
bool IsType(Bytes field, int64_t expected) {
    int64_t type = 0;
    return Integer(field, type) && type == expected;
}

}  // namespace

bool ReadKerberosApReq(const uint8_t* data, size_t len, KerberosApReq& out) {
    out = KerberosApReq();
    // AP-REQ ::= [APPLICATION 14] SEQUENCE { pvno [0], msg-type [1], ap-options [2],
    //                                        ticket [3] Ticket, authenticator [4] EncryptedData }
    Fields<5> ap;
    if (!ReadMessage(data, len, kApReqTag, ap) || !IsType(ap.content[1], 14)) return false;
    // Ticket ::= [APPLICATION 1] SEQUENCE { tkt-vno [0], realm [1], sname [2], enc-part [3] }
    Fields<4> ticket;
    return ReadFields(ap.content[3], kTicketTag, ticket) && Text(ticket.content[1], out.realm) &&
           Principal(ticket.content[2], out.servicePrincipal) &&
           Encrypted(ticket.content[3], out.ticketEtype, &out.kvno, out.ticketCipher) &&
           Encrypted(ap.content[4], out.authenticatorEtype, nullptr, out.authenticatorCipher);
}

bool ReadKerberosApRep(const uint8_t* data, size_t len, KerberosApRep& out) {
    out = KerberosApRep();
    // AP-REP ::= [APPLICATION 15] SEQUENCE { pvno [0], msg-type [1], enc-part [2] EncryptedData }
    Fields<3> rep;
    return ReadMessage(data, len, kApRepTag, rep) && IsType(rep.content[1], 15) &&
           Encrypted(rep.content[2], out.etype, nullptr, out.cipher);
}

bool ReadKerberosAsReq(const uint8_t* data, size_t len, KerberosAsReq& out) {
    out = KerberosAsReq();
    // AS-REQ ::= [APPLICATION 10] SEQUENCE { pvno [1], msg-type [2], padata [3], req-body [4] }
    Fields<5> req;
    if (!ReadMessage(data, len, kAsReqTag, req) || !IsType(req.content[2], 10)) return false;
    // KDC-REQ-BODY ::= SEQUENCE { kdc-options [0], cname [1] OPTIONAL, realm [2], sname [3] OPTIONAL, ... }
    Fields<4> body;
    if (!ReadFields(req.content[4], kSequence, body) || !Text(body.content[2], out.realm)) return false;
    if (body.has(1) && !Principal(body.content[1], out.clientPrincipal)) return false;
    return !body.has(3) || Principal(body.content[3], out.servicePrincipal);
}

bool ReadEncTicketPart(const uint8_t* data, size_t len, EncTicketPart& out) {
    out = EncTicketPart();
    // EncTicketPart ::= [APPLICATION 3] SEQUENCE { flags [0], key [1], crealm [2], cname [3], ... }
    Fields<4> part;
    return ReadMessage(data, len, kEncTicketPartTag, part) && Key(part.content[1], out.sessionKey) &&
           Text(part.content[2], out.crealm) && Principal(part.content[3], out.cname);
}

bool ReadKerberosAuthenticator(const uint8_t* data, size_t len, KerberosAuthenticator& out) {
    out = KerberosAuthenticator();
    // Authenticator ::= [APPLICATION 2] SEQUENCE { authenticator-vno [0], crealm [1], cname [2],
    //     cksum [3] OPTIONAL, cusec [4], ctime [5], subkey [6] OPTIONAL, seq-number [7] OPTIONAL, ... }
    Fields<8> a;
    if (!ReadMessage(data, len, kAuthenticatorTag, a) || !Text(a.content[1], out.crealm) ||
        !Principal(a.content[2], out.cname))
        return false;
    if (a.has(6) && !Key(a.content[6], out.subkey.emplace())) return false;
    return !a.has(7) || UInt32(a.content[7], out.seqNumber);
}

bool ReadEncApRepPart(const uint8_t* data, size_t len, EncApRepPart& out) {
    out = EncApRepPart();
    // EncAPRepPart ::= [APPLICATION 27] SEQUENCE { ctime [0], cusec [1], subkey [2] OPTIONAL,
    //                                            seq-number [3] OPTIONAL }
    Fields<4> part;
    if (!ReadMessage(data, len, kEncApRepPartTag, part)) return false;
    if (part.has(2) && !Key(part.content[2], out.subkey.emplace())) return false;
    return !part.has(3) || UInt32(part.content[3], out.seqNumber);
}

}  // namespace smbaudit::auth
