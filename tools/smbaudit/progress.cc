#include "tools/smbaudit/progress.h"

namespace smbaudit {

Progress::Progress(bool enabled, uint64_t totalBytes, std::FILE* out)
    : m_enabled(enabled), m_total(totalBytes), m_out(out) {}

void Progress::Update(uint64_t done) {
    if (!m_enabled) return;
    auto now = std::chrono::steady_clock::now();
    if (m_shown && now - m_last < std::chrono::milliseconds(200)) return;
    m_last = now;
    m_shown = true;
    constexpr int kWidth = 40;
    double mb = double(done) / (1024.0 * 1024.0);
    if (m_total == 0) {
        std::fprintf(m_out, "\r%.1f MiB read", mb);
    } else {
        uint64_t clamped = done < m_total ? done : m_total;
        int filled = int(clamped * kWidth / m_total);
        char bar[kWidth + 1];
        for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '=' : ' ';
        bar[kWidth] = '\0';
        std::fprintf(m_out, "\r[%s] %3d%% %.1f / %.1f MiB", bar, int(clamped * 100 / m_total), mb,
                     double(m_total) / (1024.0 * 1024.0));
    }
    std::fflush(m_out);
}

void Progress::Clear() {
    if (!m_shown) return;
    std::fprintf(m_out, "\r\033[K");
    std::fflush(m_out);
    m_shown = false;
}

}  // namespace smbaudit
