// Audit records as JSON Lines (docs/output-schema.md describes every key). Keys come in one
// fixed order whatever the protocol or event, and a key whose value is not known is left
// out, so that consumers can rely on both.
#pragma once

#include <cstdint>
#include <string>

#include "framework/framework.h"
#include "tools/smbaudit/audit_record.h"
#include "tools/smbaudit/json_writer.h"

namespace smbaudit {

// "2017-05-10T12:34:56.123456Z"
void AppendTimestamp(std::string& out, const CTimeStamp32& time);

void FormatRecord(JsonLine& line, const AuditRecord& record);

}  // namespace smbaudit
