#include "support/ntlmssp_builder.h"

namespace {

constexpr uint32_t kFlagUnicode = 0x00000001;
constexpr uint32_t kFlagOem = 0x00000002;
constexpr uint32_t kFlagNtlm = 0x00000200;
constexpr uint32_t kFlagTargetInfo = 0x00800000;

Bytes Text(const std::u16string& s, bool unicode) {
    Bytes b;
    if (unicode) return b.utf16(s);
    for (char16_t c : s) b.u8(uint8_t(c));
    return b;
}

Bytes Header(uint32_t type) { return Bytes().str("NTLMSSP").u8(0).u32(type); }

// A security buffer header pointing at `offset`.
Bytes SecBuf(size_t len, size_t offset) { return Bytes().u16(uint16_t(len)).u16(uint16_t(len)).u32(uint32_t(offset)); }

const Bytes kNtlmOid = Bytes().raw({0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A});
const Bytes kSpnegoOid = Bytes().raw({0x2B, 0x06, 0x01, 0x05, 0x05, 0x02});

}  // namespace

void patch16(Bytes& b, size_t at, uint16_t v) {
    b.vec().at(at) = uint8_t(v);
    b.vec().at(at + 1) = uint8_t(v >> 8);
}

void patch32(Bytes& b, size_t at, uint32_t v) {
    patch16(b, at, uint16_t(v));
    patch16(b, at + 2, uint16_t(v >> 16));
}

Bytes ntlmssp_negotiate() {
    return Header(1).u32(kFlagUnicode | kFlagOem | kFlagNtlm).raw(SecBuf(0, 32)).raw(SecBuf(0, 32));
}

Bytes ntlmssp_challenge(const std::vector<AvPair>& targetInfo, bool unicode) {
    Bytes info;
    for (const AvPair& p : targetInfo) {
        Bytes v = Text(p.value, unicode);
        info.u16(p.id).u16(uint16_t(v.size())).raw(v);
    }
    info.u16(kAvEol).u16(0);
    constexpr size_t kPayload = 56;
    Bytes targetName = Text(u"TARGET", unicode);
    return Header(2)
        .raw(SecBuf(targetName.size(), kPayload))
        .u32((unicode ? kFlagUnicode : kFlagOem) | kFlagNtlm | kFlagTargetInfo)
        .raw({1, 2, 3, 4, 5, 6, 7, 8})  // server challenge
        .fill(8)                        // reserved
        .raw(SecBuf(info.size(), kPayload + targetName.size()))
        .raw({6, 1, 0xB1, 0x1D, 0, 0, 0, 15})  // version
        .raw(targetName)
        .raw(info);
}

Bytes ntlmssp_challenge(const std::u16string& server, const std::u16string& domain, bool unicode) {
    return ntlmssp_challenge({{kAvNbDomainName, domain}, {kAvNbComputerName, server}, {kAvDnsDomainName, u"corp.test"}},
                             unicode);
}

Bytes ntlmssp_auth(const std::u16string& user, const std::u16string& domain, const std::u16string& host,
                   bool unicode) {
    const Bytes d = Text(domain, unicode), u = Text(user, unicode), h = Text(host, unicode);
    constexpr size_t kPayload = 88;  // after the version and the MIC
    const size_t lmAt = kPayload + d.size() + u.size() + h.size();
    return Header(3)
        .raw(SecBuf(24, lmAt))
        .raw(SecBuf(24, lmAt + 24))
        .raw(SecBuf(d.size(), kPayload))
        .raw(SecBuf(u.size(), kPayload + d.size()))
        .raw(SecBuf(h.size(), kPayload + d.size() + u.size()))
        .raw(SecBuf(0, lmAt + 48))  // no session key
        .u32((unicode ? kFlagUnicode : kFlagOem) | kFlagNtlm)
        .fill(8)   // version
        .fill(16)  // MIC
        .raw(d)
        .raw(u)
        .raw(h)
        .fill(24, 0x11)
        .fill(24, 0x22);
}

Bytes spnego_targ(const Bytes& token, uint8_t negState) {
    Bytes seq;
    seq.ber(0xA0, Bytes().ber(0x0A, Bytes().u8(negState)));
    if (token.size()) {
        seq.ber(0xA1, Bytes().ber(0x06, kNtlmOid));
        seq.ber(0xA2, Bytes().ber(0x04, token));
    }
    return Bytes().ber(0xA1, Bytes().ber(0x30, seq));
}

Bytes spnego_init(const Bytes& token) {
    Bytes init = Bytes().ber(0x30, Bytes()
                                       .ber(0xA0, Bytes().ber(0x30, Bytes().ber(0x06, kNtlmOid)))
                                       .ber(0xA2, Bytes().ber(0x04, token)));
    return Bytes().ber(0x60, Bytes().ber(0x06, kSpnegoOid).ber(0xA0, init));
}
