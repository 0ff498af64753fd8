// Shared by the SPNEGO and NTLMSSP targets: one security token handed to a context's
// reader with a fresh logon record, as the Session Setup handlers do, and to the shared
// readers of auth/security_token.h that the SMB1 members delegate to (security_token_check.h).
//
// Input layout: a flag byte (bit 0 the exchange's CHALLENGE chose UTF-16 text, bits 1-3: 0,
// or n to make the n-th library allocation fail), then the token (at most 65535 bytes used).
//
// Checks besides the sanitizers: the documented result codes, every field of the logon event
// readable afterwards, every library allocation of the reader freed, and the checks of
// security_token_check.h.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "security_token_check.h"
#include "support/harness.h"
#include "touch_sink.h"

using TokenReader = int (SMBContextTestPeer::*)(CSILogon*, char*, unsigned short);

inline int FuzzSessionToken(const uint8_t* data, size_t size, TokenReader reader) {
    FuzzInput in(data, size);
    const uint8_t flags = in.U8();
    size_t n = 0;
    const uint8_t* p = in.Take(0xFFFF, n);
    ExactCopy token(p, n);

    CSMBContext ctx;
    SMBContextTestPeer peer(ctx);
    const long before = ZELK::LiveAllocations();
    {
        SavedInfoOwner<CSILogon> logon(new CSILogon(CTimeStamp32(1, 0)));
        if (!logon.get()) std::abort();
        logon.get()->m_bNtlmUnicode = flags & 1;
        ZELK::FailNthAllocation((flags >> 1) & 7);
        const int r = (peer.*reader)(logon.get(), token.chars(), static_cast<unsigned short>(n));
        ZELK::FailNthAllocation(0);
        if (r > SMB_RET_SESSION_CMD || r < SMB_RET_NO_LOGON) std::abort();
        TouchEvent(&logon.get()->m_event);
    }
    if (ZELK::LiveAllocations() != before) std::abort();
    token_check::Token({token.data(), n});
    return 0;
}
