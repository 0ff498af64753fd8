#include "crypto/keytab.h"

namespace smbaudit::crypto {
namespace {

constexpr size_t kMaxComponents = 16;
constexpr size_t kMaxKeyBytes = 64;

// Big-endian reads inside one record; a read past the end fails and stays failed.
class Reader {
public:
    explicit Reader(ByteView bytes) : m_bytes(bytes) {}
    bool ok() const { return m_ok; }
    size_t left() const { return m_ok ? m_bytes.size() - m_pos : 0; }
    uint32_t Be(size_t n) {
        if (!Need(n)) return 0;
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i) v = v << 8 | m_bytes[m_pos++];
        return v;
    }
    void Skip(size_t n) {
        if (Need(n)) m_pos += n;
    }
    ByteView Counted() {
        size_t n = Be(2);
        if (!Need(n)) return {};
        ByteView v = m_bytes.subspan(m_pos, n);
        m_pos += n;
        return v;
    }

private:
    bool Need(size_t n) {
        if (m_ok && m_bytes.size() - m_pos < n) m_ok = false;
        return m_ok;
    }
    ByteView m_bytes;
    size_t m_pos = 0;
    bool m_ok = true;
};

std::string Text(ByteView v) { return std::string(v.begin(), v.end()); }

bool ReadEntry(ByteView record, KeytabEntry& e) {
    Reader r(record);
    size_t components = r.Be(2);
    if (components == 0 || components > kMaxComponents) return false;
    e.realm = Text(r.Counted());
    for (size_t i = 0; i < components; ++i) {
        if (i) e.principal += '/';
        e.principal += Text(r.Counted());
    }
    r.Be(4);  // name type
    r.Be(4);  // timestamp
    e.kvno = r.Be(1);
    e.etype = int32_t(int16_t(r.Be(2)));
    ByteView key = r.Counted();
    if (!r.ok() || key.empty() || key.size() > kMaxKeyBytes) return false;
    e.key = Secret(key);
    if (r.left() >= 4) {
        uint32_t kvno32 = r.Be(4);
        if (kvno32) e.kvno = kvno32;
    }
    return true;
}

}  // namespace

bool ReadKeytab(ByteView file, std::vector<KeytabEntry>& out, std::string& error) {
    if (file.size() > kMaxKeytabBytes) {
        error = "larger than " + std::to_string(kMaxKeytabBytes) + " bytes";
        return false;
    }
    Reader r(file);
    uint32_t version = r.Be(2);
    if (!r.ok() || version != 0x0502) {
        error = "not an MIT keytab of version 0x0502";
        return false;
    }
    size_t entries = 0;
    while (r.left() >= 4) {
        size_t at = file.size() - r.left();
        int32_t size = int32_t(r.Be(4));
        if (size == 0) break;  // the writer's end marker
        size_t n = size < 0 ? size_t(-int64_t(size)) : size_t(size);
        if (n > r.left()) {
            error = "record at offset " + std::to_string(at) + " runs past the end of the file";
            return false;
        }
        ByteView record = file.subspan(file.size() - r.left(), n);
        r.Skip(n);
        if (size < 0) continue;  // a hole left by a deleted entry
        if (++entries > kMaxKeytabEntries) {
            error = "more than " + std::to_string(kMaxKeytabEntries) + " entries";
            return false;
        }
        KeytabEntry e;
        if (!ReadEntry(record, e)) {
            error = "malformed entry at offset " + std::to_string(at);
            return false;
        }
        out.push_back(std::move(e));
    }
    return true;
}

}  // namespace smbaudit::crypto
