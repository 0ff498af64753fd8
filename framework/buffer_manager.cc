#include <cstdlib>
#include <cstring>

#include "framework/framework.h"

bool CTimeStamp32::IsTimeOut(const CTimeStamp32& now, const CTimeStamp32& then, const CTimeStamp32& span) {
    uint64_t n = now.Micros(), t = then.Micros();
    return n > t && n - t > span.Micros();
}

namespace {
// Storage grown beyond this for a large message is handed back as soon as the buffer
// drains; smaller storage is kept for the next message until Trim() or ClearHisData().
constexpr unsigned int kKeepStorage = 64 * 1024;
}  // namespace

CBufferManager::CBufferManager(unsigned int capacity) : m_initialCap(capacity) {}

CBufferManager::~CBufferManager() { std::free(m_store); }

bool CBufferManager::Reserve(uint64_t need) {
    if (need <= m_cap) return true;
    uint64_t cap = m_cap ? m_cap : m_initialCap;
    if (cap == 0) cap = 1500;
    while (cap < need) cap *= 2;
    if (cap > 0xFFFFFFFFu) cap = need;
    char* p = static_cast<char*>(std::realloc(m_store, cap));
    if (!p) return false;
    m_store = p;
    m_cap = static_cast<unsigned int>(cap);
    return true;
}

bool CBufferManager::Append(const char* data, unsigned int len) {
    if (len == 0) return true;
    uint64_t need = uint64_t(m_viewLen) + len;
    if (m_begin + need > m_cap) {
        // Move the kept bytes to the front before growing, so consumption never shifts the
        // buffer more than once per byte appended.
        if (m_begin) {
            std::memmove(m_store, m_store + m_begin, m_viewLen);
            m_begin = 0;
        }
        if (need > 0xFFFFFFFFu || !Reserve(need)) return false;
    }
    std::memcpy(m_store + m_begin + m_viewLen, data, len);
    m_viewLen += len;
    return true;
}

int CBufferManager::LockBuffer(const char* data, unsigned int len) {
    if (!data) len = 0;
    if (m_skipDebt) {
        unsigned int drop = m_skipDebt < len ? static_cast<unsigned int>(m_skipDebt) : len;
        m_skipDebt -= drop;
        data += drop;
        len -= drop;
    }
    if (m_viewLen == 0 && len > 0) {
        // Nothing kept: read the caller's bytes in place.
        m_view = data;
        m_viewLen = len;
        m_external = true;
        return 0;
    }
    m_external = false;
    if (!Append(data, len)) {
        // No memory for the stream: drop what is kept, the caller resynchronises.
        ClearHisData();
        return -1;
    }
    m_view = m_store + m_begin;
    return 0;
}

char* CBufferManager::GetData(unsigned int offset, unsigned int len) const {
    if (!CheckLength(offset, len)) return nullptr;
    return const_cast<char*>(m_view) + offset;
}

bool CBufferManager::CheckLength(unsigned int offset, unsigned int len) const {
    return uint64_t(offset) + len <= m_viewLen;
}

int CBufferManager::Skip(unsigned int n) {
    if (n > m_viewLen) {
        m_skipDebt += n - m_viewLen;
        n = m_viewLen;
    }
    m_view += n;
    m_viewLen -= n;
    if (!m_external) m_begin += n;
    return 0;
}

int CBufferManager::FreeBuffer() {
    if (m_external) {
        // Keep the caller's unconsumed bytes: they are copied exactly once.
        const char* rest = m_view;
        unsigned int n = m_viewLen;
        m_external = false;
        m_begin = 0;
        m_viewLen = 0;
        if (!Append(rest, n)) ClearHisData();
    }
    if (m_viewLen == 0) {
        m_begin = 0;
        if (m_cap > kKeepStorage) Release();
    }
    m_view = m_store ? m_store + m_begin : nullptr;
    return 0;
}

void CBufferManager::Trim() {
    if (m_viewLen == 0 && !m_external) {
        Release();
        m_view = nullptr;
    }
}

void CBufferManager::Release() {
    std::free(m_store);
    m_store = nullptr;
    m_cap = 0;
    m_begin = 0;
}

void CBufferManager::ClearHisData() {
    m_viewLen = 0;
    m_skipDebt = 0;
    m_external = false;
    // Bytes are given up after a loss, an oversized message or memory pressure (a host
    // shedding buffers): the storage goes with them.
    Release();
    m_view = nullptr;
}
