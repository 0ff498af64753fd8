// NEGOTIATE: dialect, security mode, capabilities and the 3.1.1 contexts (which the
// decryptor needs for key derivation).
#include "smb2/connection_impl.h"

namespace smbaudit::smb2 {

void OnNegotiateRequest(Connection::Impl&, const Message&, const NegotiateRequest&, Pending&) {}

void OnNegotiateResponse(Connection::Impl& c, const Message* m, const NegotiateResponse* rsp, Pending&) {
    if (!m || !rsp || m->h.status != kStatusSuccess) return;
    Negotiated& n = c.negotiated;
    n.dialect = rsp->dialect;
    n.securityMode = rsp->securityMode;
    n.capabilities = rsp->capabilities;
    n.preauthHash = rsp->preauthHash;
    n.cipher = rsp->cipher;
    n.signingAlgorithm = rsp->signingAlgorithm;
    n.compressionCount = rsp->compressionCount;
    n.compression = rsp->compression;
    if (c.decryptor) c.decryptor->OnNegotiated(n.dialect, n.cipher, n.signingAlgorithm);
}

}  // namespace smbaudit::smb2
