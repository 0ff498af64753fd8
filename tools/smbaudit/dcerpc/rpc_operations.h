// Names of the operations (methods) of the well-known DCE/RPC interfaces, by opnum, as the
// public protocol documents of each interface name them (MS-SRVS, MS-WKST, MS-SAMR,
// MS-LSAD/MS-LSAT, MS-NRPC, MS-SCMR, MS-TSCH, MS-RRP, MS-RPRN, MS-DRSR, and the endpoint
// mapper and management interfaces of DCE 1.1 RPC).
#pragma once

#include <cstdint>
#include <string_view>

namespace smbaudit {

// The operation's name, or null for an interface without a table or an opnum the
// interface does not define (or documents as not used on the wire).
const char* OperationName(std::string_view interfaceName, uint16_t opnum);

}  // namespace smbaudit
