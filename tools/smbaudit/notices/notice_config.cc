#include "tools/smbaudit/notices/notice_config.h"

#include <charconv>
#include <fstream>
#include <string_view>

namespace smbaudit {
namespace {

constexpr const char* kNames[kNoticeKindCount] = {
    "smb1_in_use",      "admin_share",      "remote_service",           "remote_task",
    "logon_failures",   "mass_file_change", "sensitive_pipe_anonymous", "replication_request"};

// The longest window a notice keeps events for, in seconds, and the largest count: the
// windows' memory and the spraying check's time (events x users) grow with them.
constexpr uint32_t kMaxWindow = 86400;
constexpr uint32_t kMaxCount = 1000;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

}  // namespace

const char* NoticeKindName(NoticeKind kind) { return kNames[int(kind)]; }

bool NoticeConfig::AnyOn() const {
    for (bool on : enabled) {
        if (on) return true;
    }
    return false;
}

bool ReadNoticeConfig(const std::string& path, NoticeConfig& config, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    struct Number {
        std::string_view key;
        uint32_t* value;
        uint32_t min, max;
    } numbers[] = {
        {"failures", &config.failures, 1, kMaxCount},
        {"failure_window", &config.failureWindow, 1, kMaxWindow},
        {"spray_users", &config.sprayUsers, 2, kMaxCount},
        {"changes", &config.changes, 1, kMaxCount},
        {"change_window", &config.changeWindow, 1, kMaxWindow},
    };
    std::string raw;
    for (int lineNo = 1; std::getline(in, raw); ++lineNo) {
        std::string_view line = raw;
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        auto fail = [&](const std::string& what) {
            error = path + ":" + std::to_string(lineNo) + ": " + what;
            return false;
        };
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) return fail("expected key = value");
        std::string_view key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        bool known = false;
        for (int k = 0; k < kNoticeKindCount; ++k) {
            if (key != kNames[k]) continue;
            if (value != "on" && value != "off") return fail(std::string(key) + ": 'on' or 'off' expected");
            config.enabled[k] = value == "on";
            known = true;
        }
        for (const Number& n : numbers) {
            if (key != n.key) continue;
            uint32_t v = 0;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
            if (ec != std::errc() || end != value.data() + value.size() || v < n.min || v > n.max)
                return fail(std::string(key) + ": a whole number from " + std::to_string(n.min) + " to " +
                            std::to_string(n.max) + " expected");
            *n.value = v;
            known = true;
        }
        if (!known) return fail("unknown key '" + std::string(key) + "'");
    }
    return true;
}

}  // namespace smbaudit
