// A sink for fuzzing: reads every field of every event, every record an event points at and
// every byte of every payload it is handed, so that a dangling pointer or a payload that
// reaches past its message is read here, where the sanitizers see it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context/smb_context.h"
#include "events/events.h"

class TouchSink : public CSMBOutPut {
public:
    void HandleEvent(CSMBContext* ctx, CEventParaBase* ev) override;
    void HandleRPC(_smbFileObj* file, const char* data, size_t len, CTimeStamp32& time) override;

    uint64_t events = 0;
    uint64_t rpcs = 0;
};

// Touches every field of an event and of the records it points at.
void TouchEvent(const CEventParaBase* ev);

// Touches every byte of [p, p + n).
void TouchBytes(const void* p, size_t n);
