#include "smb3_capture.h"

#include "bench/capture_chunks.h"
#include "crypto/smb3_decryptor.h"

namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return uint32_t(Le16(p)) | uint32_t(Le16(p + 2)) << 16; }

// The cipher of a 3.1.1 NEGOTIATE response's encryption context (type 2), 0 without one.
uint16_t NegotiatedCipher(const std::vector<uint8_t>& m) {
    if (m.size() < 128) return 0;
    size_t count = Le16(&m[70]), at = Le32(&m[124]);
    for (size_t i = 0; i < count && at + 8 <= m.size(); ++i) {
        uint16_t type = Le16(&m[at]), len = Le16(&m[at + 2]);
        if (type == 2 && len >= 4 && at + 12 <= m.size()) return Le16(&m[at + 10]);
        at = (at + 8 + len + 7) & ~size_t(7);
    }
    return 0;
}

void Message(smbaudit::crypto::Smb3Decryptor& d, bool fromClient, const std::vector<uint8_t>& m,
             CaptureDecryption& out) {
    if (m.size() >= 52 && m[0] == 0xFD) {
        ++out.transforms;
        std::vector<uint8_t> plain;
        if (d.Decrypt(m.data(), m.size(), plain)) out.plain.push_back(std::move(plain));
        if (Le32(&m[44]) == 0xFFFFFFFF && Le32(&m[48]) == 0xFFFFFFFF) ++out.sessionless;
        return;
    }
    if (m.size() < 72 || m[0] != 0xFE) return;
    uint16_t command = Le16(&m[12]);
    uint64_t sessionId = uint64_t(Le32(&m[40])) | uint64_t(Le32(&m[44])) << 32;
    if (command == 0) {
        d.OnPreauthMessage(0, fromClient, m.data(), m.size());
        if (!fromClient) d.OnNegotiated(Le16(&m[68]), NegotiatedCipher(m), 0xFFFF);
    } else if (command == 1) {
        d.OnPreauthMessage(sessionId, fromClient, m.data(), m.size());
        size_t at = fromClient ? 76 : 68;
        size_t off = Le16(&m[at]), len = Le16(&m[at + 2]);
        if (off + len <= m.size())
            d.OnSessionSetup(sessionId, fromClient, m.data() + off, len, fromClient ? 0 : Le32(&m[8]));
    }
}

}  // namespace

CaptureDecryption DecryptCapture(const std::string& path, smbaudit::crypto::KeyStore& store) {
    CaptureDecryption out;
    for (const bench::Flow& flow : bench::LoadFlows(path)) {
        smbaudit::crypto::Smb3Decryptor decryptor(store);
        std::vector<uint8_t> pending[2];  // client, server
        for (const bench::Chunk& c : flow.chunks) {
            std::vector<uint8_t>& buf = pending[c.fromClient ? 0 : 1];
            buf.insert(buf.end(), flow.bytes.begin() + c.at, flow.bytes.begin() + c.at + c.len);
            // Whole NetBIOS session messages: type 0 and a 24-bit length.
            while (buf.size() >= 4) {
                size_t len = size_t(buf[1]) << 16 | size_t(buf[2]) << 8 | buf[3];
                if (buf.size() < 4 + len) break;
                Message(decryptor, c.fromClient, std::vector<uint8_t>(buf.begin() + 4, buf.begin() + 4 + len), out);
                buf.erase(buf.begin(), buf.begin() + 4 + len);
            }
        }
    }
    return out;
}
