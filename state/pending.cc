// The pending request table: requests wait here, under PID, MID and command, for the
// response that completes them.
#include "context/smb_context.h"
#include "state/saved_info.h"

#include <algorithm>

namespace {
using AgeEntry = std::pair<uint64_t, uint64_t>;  // (request time, key)
// Min-heap order: the oldest request on top, the smallest key first among requests of the
// same time (the first one met in key order).
bool Younger(const AgeEntry& a, const AgeEntry& b) { return a > b; }
}  // namespace

void CSMBContext::PutSavedInfo(uint64_t key, CSavedInfoBase* record) {
    auto it = m_savedInfo.find(key);
    if (it != m_savedInfo.end()) {
        // A client reused PID, MID and command while the first request was pending.
        delete it->second;
        it->second = record;
        NoteAge(key, record);
        return;
    }
    if (m_options.maxPendingRequests && m_savedInfo.size() >= m_options.maxPendingRequests) {
        // Requests that never see a response must not pile up without limit, even when the
        // host never expires them: the oldest one gives way.
        for (;;) {
            const AgeEntry top = m_pendingAge.front();
            std::pop_heap(m_pendingAge.begin(), m_pendingAge.end(), Younger);
            m_pendingAge.pop_back();
            auto oldest = m_savedInfo.find(top.second);
            if (oldest == m_savedInfo.end() || oldest->second->m_time.Micros() != top.first) continue;  // stale
            delete oldest->second;
            m_savedInfo.erase(oldest);
            ++m_counters.pendingEvicted;
            break;
        }
    }
    m_savedInfo.emplace(key, record);
    NoteAge(key, record);
}

void CSMBContext::NoteAge(uint64_t key, const CSavedInfoBase* record) {
    if (m_pendingAge.size() >= 2 * m_savedInfo.size() + 16) {
        // Mostly entries of requests gone: start again from the live ones.
        m_pendingAge.clear();
        for (const auto& [k, r] : m_savedInfo)
            if (k != key) m_pendingAge.emplace_back(r->m_time.Micros(), k);
        std::make_heap(m_pendingAge.begin(), m_pendingAge.end(), Younger);
    }
    m_pendingAge.emplace_back(record->m_time.Micros(), key);
    std::push_heap(m_pendingAge.begin(), m_pendingAge.end(), Younger);
}

CSavedInfoBase* CSMBContext::TakeSavedInfo(uint64_t key) {
    auto it = m_savedInfo.find(key);
    if (it == m_savedInfo.end()) return nullptr;
    CSavedInfoBase* r = it->second;
    m_savedInfo.erase(it);
    return r;
}

int CSMBContext::CheckTimeOut(const CTimeStamp32& now) {
    const CTimeStamp32 span(m_config.m_timeOut, 0);
    for (auto it = m_savedInfo.begin(); it != m_savedInfo.end();) {
        if (CTimeStamp32::IsTimeOut(now, it->second->m_time, span)) {
            delete it->second;
            it = m_savedInfo.erase(it);
        } else {
            ++it;
        }
    }
    // A direction without a partial message needs no buffer until traffic resumes.
    m_reqBuf.Trim();
    m_rspBuf.Trim();
    return 0;
}
