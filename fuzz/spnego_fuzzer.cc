// The SPNEGO reader on its own: a GSS-API token as a Session Setup security blob carries it
// (layout and checks in session_token_fuzzer.h).
#include "session_token_fuzzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return FuzzSessionToken(data, size, &SMBContextTestPeer::ProcessGSSAPI);
}
