// What the notices look for: each notice's on/off state and thresholds, from defaults that
// suit a small office network or from a notices file (--notices FILE).
//
// The file holds one `key = value` per line; `#` starts a comment, blank lines are
// ignored. Keys: a notice's name (smb1_in_use, admin_share, remote_service, remote_task,
// logon_failures, mass_file_change, sensitive_pipe_anonymous, replication_request) with
// `on` or `off`, and the thresholds below with a whole number.
#pragma once

#include <cstdint>
#include <string>

namespace smbaudit {

enum class NoticeKind : uint8_t {
    Smb1InUse,
    AdminShare,
    RemoteService,
    RemoteTask,
    LogonFailures,
    MassFileChange,
    SensitivePipeAnonymous,
    ReplicationRequest,
    Count
};
constexpr int kNoticeKindCount = int(NoticeKind::Count);
const char* NoticeKindName(NoticeKind kind);

struct NoticeConfig {
    bool enabled[kNoticeKindCount] = {true, true, true, true, true, true, true, true};
    // logon_failures: `failures` failed logons from one client within `failure_window`
    // seconds, or failures for `spray_users` distinct users within the same window.
    uint32_t failures = 5;
    uint32_t failureWindow = 60;
    uint32_t sprayUsers = 3;
    // mass_file_change: `changes` renames, deletes or overwrites by one session within
    // `change_window` seconds.
    uint32_t changes = 50;
    uint32_t changeWindow = 60;

    bool On(NoticeKind kind) const { return enabled[int(kind)]; }
    bool AnyOn() const;
};

// Reads a notices file over the defaults in `config`; false with "FILE:LINE: what is wrong"
// (or "FILE: cannot be read") in `error`.
bool ReadNoticeConfig(const std::string& path, NoticeConfig& config, std::string& error);

}  // namespace smbaudit
