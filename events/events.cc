#include "events/events.h"

#include "events/output.h"

void CSMBOutPut::HandleRPC(_smbFileObj*, const char*, size_t, CTimeStamp32&) {}
