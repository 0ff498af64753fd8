// The pending request table: requests wait here, under PID, MID and command, for the
// response that completes them.
#include "context/smb_context.h"
#include "state/saved_info.h"

void CSMBContext::PutSavedInfo(uint64_t key, CSavedInfoBase* record) {
    auto it = m_savedInfo.find(key);
    if (it != m_savedInfo.end()) {
        // A client reused PID, MID and command while the first request was pending.
        delete it->second;
        it->second = record;
        return;
    }
    if (m_options.maxPendingRequests && m_savedInfo.size() >= m_options.maxPendingRequests) {
        // Requests that never see a response must not pile up without limit, even when the
        // host never expires them: the oldest one gives way.
        auto oldest = m_savedInfo.begin();
        for (auto i = m_savedInfo.begin(); i != m_savedInfo.end(); ++i)
            if (i->second->m_time.Micros() < oldest->second->m_time.Micros()) oldest = i;
        delete oldest->second;
        m_savedInfo.erase(oldest);
        ++m_counters.pendingEvicted;
    }
    m_savedInfo.emplace(key, record);
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
    return 0;
}
