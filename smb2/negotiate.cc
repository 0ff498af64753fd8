// NEGOTIATE: the dialect, the server's signing requirement and the 3.1.1 contexts that the
// decryptor needs for key derivation.
#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

void OnNegotiateRequest(Connection::Impl&, const Message&, const NegotiateRequest&, Pending&) {}

void OnNegotiateResponse(Connection::Impl& c, const Message* m, const NegotiateResponse* rsp, Pending&) {
    if (!m || !rsp || m->h.status != kStatusSuccess) return;
    c.dialect = rsp->dialect;
    c.serverSigningRequired = rsp->securityMode & 2;
    if (c.decryptor) c.decryptor->OnNegotiated(rsp->dialect, rsp->cipher, rsp->signingAlgorithm);
}

}  // namespace smbaudit::smb2
