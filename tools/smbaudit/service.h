// Running as a long-lived service: signals and the privilege drop.
#pragma once

#include <string>

namespace smbaudit {

// SIGINT and SIGTERM stop the capture (g_stopRequested: every pending record and the
// statistics are still written), SIGHUP asks the file outputs to reopen (g_reopenGeneration),
// SIGPIPE is ignored (a socket output whose reader went away is reconnected, not fatal).
void InstallSignalHandlers();

// Becomes `user` (its uid, gid and supplementary groups) for good. False with `error` when
// the user is unknown, a step fails, or root could still be regained afterwards: a sensor
// asked to drop root never keeps running as root.
bool DropPrivileges(const std::string& user, std::string& error);

}  // namespace smbaudit
