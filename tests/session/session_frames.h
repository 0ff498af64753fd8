// SMB messages of the session commands, built with the frame builder, for the tests of
// Negotiate, Session Setup, Tree Connect, Logoff and Tree Disconnect.
#pragma once

#include <string>
#include <vector>

#include "support/frame_builder.h"
#include "support/harness.h"
#include "support/ntlmssp_builder.h"

namespace session_frames {

constexpr uint32_t kMoreProcessing = 0xC0000016;
constexpr uint32_t kLogonFailure = 0xC000006D;
constexpr uint32_t kBadNetworkName = 0xC00000CC;

// SMB strings after `at` bytes of the block's data: UTF-16 text is aligned on the SMB header,
// and every block of these tests starts at an even offset, so an odd position needs a pad.
inline Bytes Strings(size_t dataStart, bool unicode, const std::vector<std::string>& texts) {
    Bytes b;
    for (const std::string& t : texts) {
        if (!unicode) {
            b.strz(t);
            continue;
        }
        if ((dataStart + b.size()) & 1) b.u8(0);
        b.utf16z(std::u16string(t.begin(), t.end()));
    }
    return b;
}

// Negotiate request listing dialects.
inline Smb NegoReq(const std::vector<std::string>& dialects, uint16_t mid = 1) {
    Bytes d;
    for (const std::string& name : dialects) d.u8(0x02).strz(name);
    return Smb(0x72).mid(mid).data(d);
}

// NT LM 0.12 response parameters (17 words).
inline Bytes NegoRspParams(uint16_t index, uint32_t caps, uint8_t challengeLen = 0) {
    return Bytes().u16(index).u8(3).u16(50).u16(1).u32(16644).u32(65536).u32(0).u32(caps).u64(0).u16(0).u8(
        challengeLen);
}

// Extended-security NT LM 0.12 response: GUID, then the server's SPNEGO blob (may be empty).
inline Smb NegoRspExtended(uint16_t index, const Bytes& blob, uint16_t mid = 1) {
    return Smb(0x72).mid(mid).params(NegoRspParams(index, 0x8000F3FD)).data(Bytes().fill(16, 0xAB).raw(blob));
}

// Session Setup AndX request, extended security (WordCount 12).
inline Smb SetupReqBlob(const Bytes& blob, uint16_t uid = 0, bool unicode = true, uint16_t mid = 2) {
    return Smb(0x73).uid(uid).mid(mid).unicode(unicode)
        .params(Bytes().u16(16644).u16(50).u16(0).u32(0).u16(uint16_t(blob.size())).u32(0).u32(0x800000D4))
        .data(Bytes().raw(blob).raw(Strings(27 + blob.size(), unicode, {"Windows 2000 2195", "Windows 2000 5.0"})));
}

// Session Setup AndX response, extended security (WordCount 4).
inline Smb SetupRspBlob(const Bytes& blob, uint16_t uid, uint32_t status, uint16_t mid = 2, bool unicode = true) {
    return Smb(0x73).uid(uid).mid(mid).unicode(unicode).ntStatus(status)
        .params(Bytes().u16(0).u16(uint16_t(blob.size())))
        .data(Bytes().raw(blob).raw(Strings(11 + blob.size(), unicode, {"Windows 5.1", "Windows 2000 LAN Manager", "CORP"})));
}

// Session Setup AndX request, NT LM 0.12 form (WordCount 13) with passwords.
inline Smb SetupReqNt(const std::string& user, const std::string& domain, uint16_t mid = 2, bool unicode = true,
                      const Bytes& oemPassword = Bytes().fill(24, 0x55), const Bytes& uniPassword = Bytes().fill(24, 0x66)) {
    const size_t pw = oemPassword.size() + uniPassword.size();
    return Smb(0x73).mid(mid).unicode(unicode)
        .params(Bytes().u16(16644).u16(50).u16(0).u32(0).u16(uint16_t(oemPassword.size()))
                    .u16(uint16_t(uniPassword.size())).u32(0).u32(0xD4))
        .data(Bytes().raw(oemPassword).raw(uniPassword)
                  .raw(Strings(29 + pw, unicode, {user, domain, "Unix", "Samba"})));
}

// Plain Session Setup AndX response (WordCount 3).
inline Smb SetupRspPlain(uint16_t uid, uint32_t status, uint16_t mid = 2, bool unicode = true) {
    return Smb(0x73).uid(uid).mid(mid).unicode(unicode).ntStatus(status).params(Bytes().u16(0))
        .data(Strings(9, unicode, {"Unix", "Samba 4.17", "WORKGROUP"}));
}

// Tree Connect AndX request parameters and data: password, path, service.
inline Bytes TconParams(uint16_t passwordLen) { return Bytes().u16(0x0008).u16(passwordLen); }
inline Bytes TconData(const std::u16string& path, bool unicode, const Bytes& password = Bytes().u8(0)) {
    Bytes d = Bytes().raw(password);
    if (unicode) {
        if ((11 + d.size()) & 1) d.u8(0);
        d.utf16z(path);
    } else {
        for (char16_t c : path) d.u8(uint8_t(c));
        d.u8(0);
    }
    return d.strz("?????");
}
inline Smb TconReq(const std::u16string& path, uint16_t uid, uint16_t mid = 3, bool unicode = true,
                   const Bytes& password = Bytes().u8(0)) {
    return Smb(0x75).uid(uid).mid(mid).unicode(unicode)
        .params(TconParams(uint16_t(password.size()))).data(TconData(path, unicode, password));
}
inline Smb TconRsp(const std::string& service, uint16_t uid, uint16_t tid, uint32_t status = 0, uint16_t mid = 3) {
    return Smb(0x75).uid(uid).tid(tid).mid(mid).unicode().ntStatus(status).params(Bytes().u16(1))
        .data(Bytes().strz(service).utf16z(u"NTFS"));
}

inline Smb LogoffReq(uint16_t uid, uint16_t mid = 9) { return Smb(0x74).uid(uid).mid(mid); }
inline Smb LogoffRsp(uint16_t uid, uint32_t status = 0, uint16_t mid = 9) {
    return Smb(0x74).uid(uid).mid(mid).ntStatus(status);
}
inline Smb TdisReq(uint16_t uid, uint16_t tid, uint16_t mid = 8) { return Smb(0x71).uid(uid).tid(tid).mid(mid); }
inline Smb TdisRsp(uint16_t uid, uint16_t tid, uint32_t status = 0, uint16_t mid = 8) {
    return Smb(0x71).uid(uid).tid(tid).mid(mid).ntStatus(status);
}

}  // namespace session_frames
