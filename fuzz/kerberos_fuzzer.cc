// The Kerberos readers: the input is one message (at most 65536 bytes used, one more than
// the readers take), given to every reader of auth/security_token.h: as a security token,
// and as a bare AP-REQ, AP-REP, AS-REQ, EncTicketPart, Authenticator and EncAPRepPart.
//
// Checks besides the sanitizers: those of security_token_check.h, and that every byte span a
// reader returns lies inside the input and every name respects kMaxKerberosName.
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "security_token_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace auth = smbaudit::auth;
    FuzzInput in(data, size);
    size_t n = 0;
    const uint8_t* p = in.Take(auth::kMaxTokenBytes + 1, n);
    ExactCopy copy(p, n);
    const auth::Bytes input(copy.data(), n);
    token_check::Token(input);

    auth::KerberosApReq apReq;
    auth::ReadKerberosApReq(copy.data(), n, apReq);
    token_check::ApReq(apReq, input);

    auth::KerberosApRep apRep;
    auth::ReadKerberosApRep(copy.data(), n, apRep);
    token_check::Inside(apRep.cipher, input);

    auth::KerberosAsReq asReq;
    auth::ReadKerberosAsReq(copy.data(), n, asReq);
    for (const std::string* s : {&asReq.clientPrincipal, &asReq.realm, &asReq.servicePrincipal}) token_check::Name(*s);

    auth::EncTicketPart part;
    auth::ReadEncTicketPart(copy.data(), n, part);
    token_check::Inside(part.sessionKey.value, input);
    token_check::Name(part.crealm);
    token_check::Name(part.cname);

    auth::KerberosAuthenticator authenticator;
    if (auth::ReadKerberosAuthenticator(copy.data(), n, authenticator) && authenticator.subkey)
        token_check::Inside(authenticator.subkey->value, input);
    token_check::Name(authenticator.crealm);
    token_check::Name(authenticator.cname);

    auth::EncApRepPart repPart;
    if (auth::ReadEncApRepPart(copy.data(), n, repPart) && repPart.subkey) token_check::Inside(repPart.subkey->value, input);
    return 0;
}
