// Turns the library's event records and named-pipe payloads into output records (see
// docs/output-schema.md for every key).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "events/events.h"
#include "events/output.h"
#include "state/records.h"
#include "tools/smbaudit/json_writer.h"
#include "tools/smbaudit/record_writer.h"
#include "tools/smbaudit/stats.h"

namespace smbaudit {

// Where the record being written comes from: the connection's endpoints and the chunk
// being processed when the library called the sink.
struct RecordOrigin {
    std::string client;  // "ip:port"
    std::string server;
    CTimeStamp32 time;   // capture time of the chunk that completed the message
    bool fromClient = true;
};

// "2017-05-10T12:34:56.123456Z"
void AppendTimestamp(std::string& out, const CTimeStamp32& time);

void FormatEvent(JsonLine& line, const RecordOrigin& origin, const CEventParaBase& event);
void FormatRpc(JsonLine& line, const RecordOrigin& origin, const _smbFileObj& pipe, const uint8_t* data, size_t len,
               const CTimeStamp32& time);

// The sink every context of a worker reports to. The host tells it, before each call into
// a context, which connection and direction the call is for (HandleRPC names neither).
class JsonEventSink : public CSMBOutPut {
public:
    JsonEventSink(RecordWriter& writer, Stats& stats) : m_writer(writer), m_stats(stats) {}

    void SetOrigin(const RecordOrigin* origin) { m_origin = origin; }

    void HandleEvent(CSMBContext* ctx, CEventParaBase* event) override;
    void HandleRPC(_smbFileObj* file, const char* data, size_t len, CTimeStamp32& time) override;

private:
    RecordWriter& m_writer;
    Stats& m_stats;
    const RecordOrigin* m_origin = nullptr;
    JsonLine m_line;
};

}  // namespace smbaudit
