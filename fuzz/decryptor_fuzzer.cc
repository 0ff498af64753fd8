// The SMB3 decryptor as the analyser drives it. Layout:
//   byte 0   dialect (0 unknown, 1 3.0, 2 3.0.2, 3 3.1.1)   byte 1  cipher (0..4, more: unknown)
//   then records: u8 kind (0 OnPreauthMessage, 1 OnSessionSetup, 2 Decrypt), u8 flags (bit 0
//   from the client, bit 1 success status), u16 session id, u16 length, that many bytes.
// Every run has a key store of its own with a session key for sessions 1 to 3 (session 3
// with a 3.1.1 hash), cipher keys for session 4, the credentials of alice and keytab keys of
// the three Kerberos etypes, so that key derivation, NTLM and ticket paths are all reached.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/smb3_decryptor.h"
#include "fuzz_input.h"

using namespace smbaudit::crypto;

namespace {

Secret Fill(size_t n, uint8_t v) { return Secret(std::vector<uint8_t>(n, v)); }

void Prepare(KeyStore& store) {
    for (uint64_t id = 1; id <= 4; ++id) {
        SessionSecrets s;
        if (id == 4) {
            s.clientToServer = Fill(16, 4);
            s.serverToClient = Fill(16, 5);
        } else {
            s.sessionKey = Fill(id == 2 ? 32 : 16, uint8_t(id));
        }
        if (id == 3) s.preauthHash = Sha512Digest{};
        store.Learn(id, s);
    }
    store.AddCredential({u"CAPTURES", u"alice", Fill(16, 0xA1)});
    for (int32_t etype : {17, 18, 23}) store.AddKeytabEntry({"cifs/server", "REALM", 1, etype, Fill(etype == 18 ? 32 : 16, 7)});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    static const uint16_t kDialects[] = {0, 0x0300, 0x0302, 0x0311};
    uint16_t dialect = kDialects[in.U8() % 4];
    uint16_t cipher = in.U8();
    KeyStore store;
    Prepare(store);
    Smb3Decryptor decryptor(store);
    if (dialect) decryptor.OnNegotiated(dialect, cipher, 0);
    std::vector<uint8_t> plain;
    while (!in.Empty()) {
        uint8_t kind = in.U8() % 3, flags = in.U8();
        uint64_t sessionId = in.U16();
        size_t len = in.U16(), got = 0;
        const uint8_t* p = in.Take(len, got);
        ExactCopy bytes(p, got);
        bool fromClient = flags & 1;
        if (kind == 0) {
            decryptor.OnPreauthMessage(sessionId, fromClient, bytes.data(), bytes.size());
        } else if (kind == 1) {
            decryptor.OnSessionSetup(sessionId, fromClient, bytes.data(), bytes.size(), flags & 2 ? 0 : 0xC0000016);
        } else if (size_t plainLen = 0; decryptor.Decrypt(bytes.data(), bytes.size(), plain, plainLen) &&
                                        (plainLen + 52 != bytes.size() || plain.size() < plainLen)) {
            std::abort();  // a decrypted message is as long as its ciphertext, and inside the scratch
        }
    }
    return 0;
}
