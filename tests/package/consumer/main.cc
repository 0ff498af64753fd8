// Both include forms an installed smbaudit offers; runs one context over a NetBIOS keep-alive.
#include <smbaudit/context/smb_context.h>

#include <cstdio>

#include "events/output.h"  // the older form, include/smbaudit on the include path

class Sink : public CSMBOutPut {
    void HandleEvent(CSMBContext*, CEventParaBase*) override {}
    void HandleRPC(_smbFileObj*, const char*, size_t, CTimeStamp32&) override {}
};

int main() {
    Sink sink;
    CSMBContext ctx;
    _addrInfo addr;
    addr.m_serverPort = 445;
    if (!ctx.Init(&sink, addr, nullptr)) return 1;
    char keepAlive[] = {char(0x85), 0, 0, 0};
    CTimeStamp32 now(1, 0);
    std::printf("%d\n", ctx.Proccess(keepAlive, 4, true, 0, now, false));
    return 0;
}
