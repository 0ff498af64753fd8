// Readable builders for the security blobs of Session Setup: NTLMSSP messages ([MS-NLMP])
// and the SPNEGO tokens ([RFC 4178]) that wrap them.
//
//   Bytes chal = ntlmssp_challenge(u"FILESRV", u"CORP");
//   Bytes auth = ntlmssp_auth(u"alice", u"CORP", u"WS01");
//   Bytes token = spnego_targ(auth);
#pragma once

#include <string>
#include <vector>

#include "support/frame_builder.h"

// NTLMSSP AV pair identifiers used by the tests.
enum : uint16_t { kAvEol = 0, kAvNbComputerName = 1, kAvNbDomainName = 2, kAvDnsDomainName = 4 };

struct AvPair {
    uint16_t id;
    std::u16string value;  // written UTF-16LE or 8-bit as the message's encoding says
};

// NEGOTIATE (type 1), flags asking for Unicode and NTLM.
Bytes ntlmssp_negotiate();

// CHALLENGE (type 2) with the given target information (terminated by MsvAvEOL).
// NTLMSSP_NEGOTIATE_UNICODE is set when `unicode`; the AV pair values follow it.
Bytes ntlmssp_challenge(const std::vector<AvPair>& targetInfo, bool unicode = true);
// The usual server: NetBIOS domain name, NetBIOS computer name, DNS domain name.
Bytes ntlmssp_challenge(const std::u16string& server, const std::u16string& domain, bool unicode = true);

// AUTHENTICATE (type 3): domain, user and workstation, then 24-byte LM and NT responses.
// `unicode` chooses how the three names are written.
Bytes ntlmssp_auth(const std::u16string& user, const std::u16string& domain, const std::u16string& host,
                   bool unicode = true);
// Offsets of the AUTHENTICATE security buffers (Len at +0, BufferOffset at +4).
enum : size_t { kAuthDomainBuf = 28, kAuthUserBuf = 36, kAuthHostBuf = 44 };

// Overwrites 16 or 32 bits of a message (for malformed variants).
void patch16(Bytes& b, size_t at, uint16_t v);
void patch32(Bytes& b, size_t at, uint32_t v);

// negTokenTarg: A1 { 30 { [0] negState, [1] supportedMech NTLMSSP, [2] { 04 token } } };
// an empty token leaves the [2] element out (the server's accept-completed answer).
Bytes spnego_targ(const Bytes& token, uint8_t negState = 1);
// The initial GSS-API token: 60 { OID SPNEGO, A0 { 30 { [0] mechTypes, [2] { 04 token } } } }.
Bytes spnego_init(const Bytes& token);
