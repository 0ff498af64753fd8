// Checks shared by the token targets (spnego, ntlmssp, kerberos): the shared readers run on
// the input, and everything they return must lie inside it and respect the documented limits.
// Every span and string is read here, so that the sanitizers see a bad pointer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "auth/security_token.h"
#include "touch_sink.h"

namespace token_check {

namespace auth = smbaudit::auth;

inline void Check(bool ok) {
    if (!ok) std::abort();
}

inline void Inside(auth::Bytes part, auth::Bytes whole) {
    if (part.empty()) return;
    Check(part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
    TouchBytes(part.data(), part.size());
}

inline void Name(const std::string& s) {
    Check(s.size() <= auth::kMaxKerberosName);
    TouchBytes(s.data(), s.size());
}

inline void Field(const auth::NtlmField& f, auth::Bytes message) {
    Inside(f.bytes, message);
    Check(f.bytes.size() <= f.length);
    for (bool unicode : {false, true}) Inside(auth::NtlmText(message, f, unicode), message);
}

inline void Challenge(const auth::NtlmChallenge& c, auth::Bytes m) {
    Field(c.targetName, m);
    Field(c.targetInfo, m);
    for (auth::Bytes name : {c.nbComputerName, c.nbDomainName, c.dnsComputerName, c.dnsDomainName}) Inside(name, m);
}

inline void Authenticate(const auth::NtlmAuthenticate& a, auth::Bytes m) {
    for (const auth::NtlmField* f : {&a.lmResponse, &a.ntResponse, &a.domain, &a.user, &a.workstation, &a.encryptedSessionKey})
        Field(*f, m);
    if (a.hasMic) Inside(m.subspan(a.micOffset, 16), m);
}

inline void ApReq(const auth::KerberosApReq& k, auth::Bytes input) {
    Name(k.realm);
    Name(k.servicePrincipal);
    Inside(k.ticketCipher, input);
    Inside(k.authenticatorCipher, input);
}

// ReadSecurityToken on the input, and the NTLMSSP readers on it as a bare message.
inline void Token(auth::Bytes input) {
    auth::SecurityToken t;
    const bool ok = auth::ReadSecurityToken(input.data(), input.size(), t);
    Check(ok || t.kind != auth::TokenKind::SpnegoNoMechToken);
    Check(!input.empty() || t.kind == auth::TokenKind::None);
    Inside(t.ntlmMessage, input);
    Challenge(t.ntlmChallenge, t.ntlmMessage);
    Authenticate(t.ntlmAuthenticate, t.ntlmMessage);
    ApReq(t.kerberosApReq, input);
    Inside(t.kerberosApRep.cipher, input);

    auth::NtlmChallenge c;
    auth::ReadNtlmChallenge(input, c);
    Challenge(c, input);
    auth::NtlmAuthenticate a;
    auth::ReadNtlmAuthenticate(input, a);
    Authenticate(a, input);
}

}  // namespace token_check
