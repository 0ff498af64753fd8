#include "tools/smbaudit/service.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "tools/smbaudit/pcap_source.h"
#include "tools/smbaudit/record_writer.h"

namespace smbaudit {
namespace {

void OnStopSignal(int) { g_stopRequested = true; }
void OnHangUp(int) { g_reopenGeneration.fetch_add(1); }

}  // namespace

void InstallSignalHandlers() {
    static_assert(std::atomic<unsigned>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
                  "changed in a signal handler");
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking read returns so that the loop sees the flag
    sa.sa_handler = OnStopSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_flags = SA_RESTART;  // a reopen needs no loop to wake up
    sa.sa_handler = OnHangUp;
    sigaction(SIGHUP, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
}

bool DropPrivileges(const std::string& user, std::string& error) {
    errno = 0;
    const passwd* pw = getpwnam(user.c_str());
    if (!pw) {
        error = "-Z " + user + ": " + (errno ? std::strerror(errno) : "no such user");
        return false;
    }
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    auto fail = [&](const char* step) {
        error = "-Z " + user + ": " + step + ": " + std::strerror(errno);
        return false;
    };
    if (getuid() != uid || geteuid() != uid) {
        if (initgroups(pw->pw_name, gid) != 0) return fail("initgroups");
        if (setresgid(gid, gid, gid) != 0) return fail("setgid");
        if (setresuid(uid, uid, uid) != 0) return fail("setuid");
    }
    if (uid != 0 && (geteuid() == 0 || getuid() == 0 || setuid(0) == 0)) {
        errno = EPERM;
        return fail("root could be regained");
    }
    return true;
}

}  // namespace smbaudit
