#include "crypto/ntlm_key.h"

#include <vector>

namespace smbaudit::crypto {
namespace {

constexpr size_t kProofBytes = 16;
// An NTLMv2 response is NTProofStr and a blob of at least 28 bytes; NTLMv1's is 24 bytes.
constexpr size_t kMinNtlmV2Response = kProofBytes + 28;

void AppendUtf16Le(std::vector<uint8_t>& out, std::u16string_view s) {
    for (char16_t c : s) {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
    }
}

}  // namespace

char16_t Upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') return char16_t(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 0x20);
    if (c == 0xFF) return 0x178;
    return c;
}

std::u16string Upcase(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& c : out) c = Upcase(c);
    return out;
}

bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    return true;
}

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
    out.clear();
    for (size_t i = 0; i < in.size();) {
        uint8_t b = uint8_t(in[i]);
        size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (!n || i + n > in.size()) return false;
        uint32_t cp = n == 1 ? b : b & (0x7F >> n);
        for (size_t k = 1; k < n; ++k) {
            uint8_t c = uint8_t(in[i + k]);
            if ((c >> 6) != 2) return false;
            cp = cp << 6 | (c & 0x3F);
        }
        static const uint32_t kMinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinForLength[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            out.push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
        i += n;
    }
    return true;
}

bool NtHashOfPassword(std::string_view utf8Password, Secret& ntHash) {
    std::u16string wide;
    if (!Utf8ToUtf16(utf8Password, wide)) return false;
    std::vector<uint8_t> bytes;
    AppendUtf16Le(bytes, wide);
    bool ok = Md4(bytes, ntHash);
    WipeBytes(bytes.data(), bytes.size());
    WipeBytes(wide.data(), wide.size() * sizeof(char16_t));
    return ok;
}

bool NtlmV2SessionKey(const Secret& ntHash, const NtlmLogon& logon, Secret& sessionKey) {
    if (ntHash.size() != 16 || logon.ntResponse.size() < kMinNtlmV2Response) return false;
    if (logon.keyExchange && logon.encryptedSessionKey.size() != 16) return false;
    std::vector<uint8_t> identity;
    AppendUtf16Le(identity, Upcase(logon.user));
    AppendUtf16Le(identity, logon.domain);
    Secret ntowfv2 = HmacMd5(ntHash.view(), identity);
    ByteView proof = logon.ntResponse.first(kProofBytes);
    if (logon.serverChallenge) {
        Secret expected = HmacMd5(ntowfv2.view(), ByteView(logon.serverChallenge, 8),
                                  logon.ntResponse.subspan(kProofBytes));
        if (!SameBytes(expected.view(), proof)) return false;
    }
    Secret keyExchangeKey = HmacMd5(ntowfv2.view(), proof);
    if (keyExchangeKey.size() != 16) return false;
    if (!logon.keyExchange) {
        sessionKey = keyExchangeKey;
        return true;
    }
    std::vector<uint8_t> key;
    if (!Rc4(keyExchangeKey.view(), logon.encryptedSessionKey, key)) return false;
    sessionKey = Secret(key);
    WipeBytes(key.data(), key.size());
    return true;
}

}  // namespace smbaudit::crypto
