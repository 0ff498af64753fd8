// The progress bar shown on standard error while capture files are read, only when
// standard error is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace smbaudit {

class Progress {
public:
    // `totalBytes` 0: unknown (standard input); only the bytes read are shown.
    Progress(bool enabled, uint64_t totalBytes, std::FILE* out = stderr);
    ~Progress() { Clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Redraws at most a few times a second.
    void Update(uint64_t doneBytes);
    // Removes the bar so that a diagnostic line can be printed; the next Update redraws it.
    void Clear();

private:
    bool m_enabled;
    uint64_t m_total;
    std::FILE* m_out;
    bool m_shown = false;
    std::chrono::steady_clock::time_point m_last{};
};

}  // namespace smbaudit
