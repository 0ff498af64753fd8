// The NTLMSSP reader on its own: one NTLMSSP message (layout and checks in
// session_token_fuzzer.h).
#include "session_token_fuzzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzSessionToken(data, size, &SMBContextTestPeer::ProcessNTLMSSP);
}
