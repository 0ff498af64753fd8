// A sink for fuzzing: reads every field of every event, every record an event points at and
// every byte of every payload it is handed, so that a dangling pointer or a payload that
// reaches past its message is read here, where the sanitizers see it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "context/smb_context.h"
#include "events/events.h"
#include "smb2/analyzer.h"

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

// The same for the SMB2/3 analyser; it also checks what the analyser promises about each
// event: records attached to an event carry the event's ids, and a pipe payload holds at
// most maxPipeDataBytes of its total.
class TouchSmb2Sink : public smbaudit::smb2::Sink {
public:
    explicit TouchSmb2Sink(size_t maxPipeDataBytes) : m_maxPipe(maxPipeDataBytes) {}
    void OnEvent(const smbaudit::smb2::Event& ev) override;
    void OnPipeData(const smbaudit::smb2::Event& ev, const uint8_t* data, size_t len, uint64_t totalLen) override;
    void OnFileData(const smbaudit::smb2::Open& open, bool fromClient, uint64_t offset, const uint8_t* data,
                    size_t len) override;

    uint64_t events = 0;
    uint64_t pipeBytes = 0;
    uint64_t fileBytes = 0;

private:
    size_t m_maxPipe;
};
