// Names of the status codes of SMB1 responses, for readers of the records.
#pragma once

#include <cstdint>
#include <string>

namespace smbaudit {

// The well-known name of a response status: an NT status ("STATUS_ACCESS_DENIED"), or a
// DOS error as the library composes it, class in the top byte and code in the low 16 bits
// ("ERRSRV/ERRinvnid" for 0x02000005). Empty when the code has no well-known name.
std::string StatusName(uint32_t status);

}  // namespace smbaudit
