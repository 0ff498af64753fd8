// Security tokens of SMB logons, read as pure functions over bytes: NTLMSSP ([MS-NLMP]),
// SPNEGO ([MS-SPNG], RFC 4178), the GSS-API Kerberos framing (RFC 4121) and the Kerberos
// messages inside it (RFC 4120). SMB1 Session Setup AndX, SMB2 SESSION_SETUP and Kerberos on
// port 88 all read their tokens here.
//
// Every reader works on a caller's byte range and never reads outside it. Byte spans in the
// results point into that range: they are valid as long as the caller's bytes are.
// Allocation is limited to the strings of Kerberos names (see kMaxKerberosName): no length
// field of a token ever sizes an allocation. Nesting (GSS-API around SPNEGO around a GSS-API
// Kerberos token...) is unwrapped to at most kMaxTokenDepth levels, without recursion beyond
// that bound. Tokens are at most 65535 bytes (SMB1 and SMB2 both carry them in 16-bit
// lengths); a longer range is refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace smbaudit::auth {

using Bytes = std::span<const uint8_t>;

constexpr size_t kMaxTokenBytes = 0xFFFF;
// Layers read for one token, the innermost message included: the deepest real one is a GSS-API
// framing around a negTokenInit whose mechToken is a GSS-API Kerberos framing around an AP-REQ.
constexpr int kMaxTokenDepth = 4;
// Longest realm or principal name kept (bytes); a longer one makes the message malformed.
constexpr size_t kMaxKerberosName = 512;
// Most name-string components of one principal ("cifs", "host.domain" are two).
constexpr size_t kMaxPrincipalComponents = 8;

// ---------------------------------------------------------------------------------------
// NTLMSSP

enum : uint32_t {
    kNtlmNegotiateUnicode = 0x00000001,
    kNtlmNegotiateKeyExchange = 0x40000000,
};

// One security buffer (Len 16 bits, MaxLen 16 bits, BufferOffset 32 bits) of a message.
struct NtlmField {
    // The 8-byte header lies inside the message, and a non-empty field starts inside it.
    bool ok = false;
    // As sent whenever the header lies inside the message (ok or not); 0 otherwise.
    uint16_t length = 0;
    uint32_t offset = 0;
    // The field's bytes, cut at the message's end when it runs past it; empty when !ok.
    Bytes bytes;
};

// The bytes of a text field: `field.bytes`, except that UTF-16 text at an odd offset is
// taken from the next even offset (as Windows aligns it), cut at the message's end.
Bytes NtlmText(Bytes message, const NtlmField& field, bool unicode);

// One AV pair of a CHALLENGE's target information (or of an NTLMv2 response).
struct NtlmAvPair {
    uint16_t id = 0;
    uint16_t length = 0;  // AvLen as sent
    uint32_t offset = 0;  // of the value in the message
    Bytes value;          // cut at the message's end; empty when the value starts at or past it
};

enum : uint16_t {
    kAvEol = 0,
    kAvNbComputerName = 1,
    kAvNbDomainName = 2,
    kAvDnsComputerName = 3,
    kAvDnsDomainName = 4,
    kAvFlags = 6,
    kAvTimestamp = 7,
};

// Walks the AV pairs of `length` bytes at `offset` of a message. MsvAvEOL does not end the
// walk: the length does. Positions are 16-bit: an offset above 0xFFFF walks nothing, and a
// pair that would carry the position past 0xFFFF ends the walk as malformed (following the
// wrap would let a pair point back at itself and walk for ever). Each pair moves forward by
// at least 4 bytes, so a walk takes at most 16384 steps.
class NtlmAvPairs {
public:
    enum class Step { Pair, End, Malformed };
    NtlmAvPairs(Bytes message, uint32_t offset, uint32_t length);
    // Malformed: the pair's 4-byte header is not inside the message, or the pair before it
    // reached past 0xFFFF (that pair is still returned, its value cut at the message's end).
    Step Next(NtlmAvPair& pair);

private:
    Bytes m_message;
    uint32_t m_start;
    uint32_t m_length;
    uint16_t m_pos;
    bool m_malformed = false;
};

struct NtlmChallenge {
    bool hasFlags = false;  // a message too short for NegotiateFlags says nothing of encoding
    uint32_t flags = 0;
    std::array<uint8_t, 8> serverChallenge{};
    NtlmField targetName;
    NtlmField targetInfo;  // !ok in the old 32-byte CHALLENGE without target information
    // Target information, as the AV pair walk found them (the last of each id wins).
    Bytes nbComputerName, nbDomainName, dnsComputerName, dnsDomainName;
    std::optional<uint64_t> timestamp;  // FILETIME
    bool unicode() const { return flags & kNtlmNegotiateUnicode; }
};

struct NtlmAuthenticate {
    bool hasFlags = false;
    uint32_t flags = 0;  // NegotiateFlags at offset 60
    NtlmField lmResponse, ntResponse, domain, user, workstation, encryptedSessionKey;
    // MsvAvFlags of an NTLMv2 response with its MIC bit: the 16-byte MIC at micOffset.
    bool hasMic = false;
    uint32_t micOffset = 0;
    // The message's own Unicode flag. SMB1 decodes by the CHALLENGE's flag instead.
    bool unicode() const { return flags & kNtlmNegotiateUnicode; }
};

enum : uint32_t { kNtlmNegotiateMessage = 1, kNtlmChallengeMessage = 2, kNtlmAuthenticateMessage = 3 };

// The MessageType of an NTLMSSP message: none without the "NTLMSSP\0" signature, 0 when the
// message ends before the type.
std::optional<uint32_t> NtlmMessageType(Bytes message);

// Each reads one whole NTLMSSP message (signature and type checked). False: malformed, with
// the fields read up to the fault kept; for the CHALLENGE, the AV pair walk stops at a
// malformed pair.
bool ReadNtlmChallenge(Bytes message, NtlmChallenge& out);
bool ReadNtlmAuthenticate(Bytes message, NtlmAuthenticate& out);

// ---------------------------------------------------------------------------------------
// Kerberos

struct KerberosApReq {
    std::string realm;              // of the ticket (in clear)
    std::string servicePrincipal;   // sname components joined by '/': "cifs/host.domain"
    int32_t ticketEtype = 0;
    std::optional<uint32_t> kvno;   // of the ticket's enc-part
    Bytes ticketCipher;             // the encrypted EncTicketPart
    int32_t authenticatorEtype = 0;
    Bytes authenticatorCipher;      // the encrypted Authenticator
};

// AP-REP: the server's answer, all of it encrypted with the ticket's session key.
struct KerberosApRep {
    int32_t etype = 0;
    Bytes cipher;  // the encrypted EncAPRepPart
};

// AS-REQ (port 88): who asks for a ticket, in clear.
struct KerberosAsReq {
    std::string clientPrincipal;  // cname components joined by '/'; empty when absent
    std::string realm;
    std::string servicePrincipal; // sname, usually "krbtgt/REALM"
};

struct EncryptionKey {
    int32_t type = 0;
    Bytes value;
};

// The decrypted parts the crypto component reads.
struct EncTicketPart {
    EncryptionKey sessionKey;
    std::string crealm;
    std::string cname;
};

struct KerberosAuthenticator {
    std::optional<EncryptionKey> subkey;
    std::string crealm;
    std::string cname;
    std::optional<uint32_t> seqNumber;
};

// EncAPRepPart: the acceptor's subkey, which replaces the authenticator's when present.
struct EncApRepPart {
    std::optional<EncryptionKey> subkey;
    std::optional<uint32_t> seqNumber;
};

// A bare AP-REQ ([APPLICATION 14]), as found inside the GSS-API Kerberos framing.
bool ReadKerberosApReq(const uint8_t* data, size_t len, KerberosApReq& out);
// A bare AP-REP ([APPLICATION 15]).
bool ReadKerberosApRep(const uint8_t* data, size_t len, KerberosApRep& out);
// An AS-REQ as sent over UDP, or over TCP after its 4-byte record mark.
bool ReadKerberosAsReq(const uint8_t* data, size_t len, KerberosAsReq& out);
// Plaintext of a ticket's enc-part ([APPLICATION 3]) and of an authenticator
// ([APPLICATION 2]), after decryption (without the cipher's confounder and checksum).
bool ReadEncTicketPart(const uint8_t* data, size_t len, EncTicketPart& out);
bool ReadKerberosAuthenticator(const uint8_t* data, size_t len, KerberosAuthenticator& out);
bool ReadEncApRepPart(const uint8_t* data, size_t len, EncApRepPart& out);

// ---------------------------------------------------------------------------------------
// Any Session Setup security token

enum class TokenKind {
    None,               // empty token
    NtlmNegotiate,
    NtlmChallenge,
    NtlmAuthenticate,
    KerberosApReq,
    KerberosApRep,
    SpnegoNoMechToken,  // SPNEGO that carries no mechanism token (a final accept, negotiate hints)
    Unknown,            // not recognised, or malformed
};

struct SecurityToken {
    TokenKind kind = TokenKind::None;
    NtlmChallenge ntlmChallenge;        // kind NtlmChallenge
    NtlmAuthenticate ntlmAuthenticate;  // kind NtlmAuthenticate
    KerberosApReq kerberosApReq;        // kind KerberosApReq
    KerberosApRep kerberosApRep;        // kind KerberosApRep
    Bytes ntlmMessage;                  // the whole NTLMSSP message, for any NTLM kind
    bool spnego = false;                // found inside SPNEGO
    std::optional<uint8_t> negState;    // of a negTokenResp: 0 accept-completed, 1 accept-incomplete,
                                        // 2 reject, 3 request-mic
};

// Raw NTLMSSP; a GSS-API initial context token ([APPLICATION 0]) with the SPNEGO OID
// (negTokenInit, its mechToken read in turn) or the Kerberos OID (token id 01 00 and an
// AP-REQ, 02 00 and an AP-REP); a negTokenResp (its responseToken read in turn); a bare
// AP-REQ or AP-REP. False when the token is malformed or not one of these (kind Unknown) or
// empty (kind None); a malformed NTLMSSP message keeps its kind and the fields read.
bool ReadSecurityToken(const uint8_t* data, size_t len, SecurityToken& out);

}  // namespace smbaudit::auth
