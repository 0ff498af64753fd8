#include "tools/smbaudit/json_writer.h"

#include <charconv>
#include <cstring>

namespace smbaudit {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;
constexpr char kHex[] = "0123456789abcdef";

// Bytes that stand for themselves inside a JSON string: printable ASCII but '"' and '\'.
constexpr bool Plain(uint32_t c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

struct PlainTable {
    bool plain[256];
    constexpr PlainTable() : plain() {
        for (uint32_t c = 0; c < 256; ++c) plain[c] = Plain(c);
    }
};
constexpr PlainTable kPlain;

// Writes the escaped form of one code point that is not Plain at `p`; returns the end.
char* PutEscaped(char* p, uint32_t cp) {
    char short_ = 0;
    switch (cp) {
    case '"': short_ = '"'; break;
    case '\\': short_ = '\\'; break;
    case '\b': short_ = 'b'; break;
    case '\f': short_ = 'f'; break;
    case '\n': short_ = 'n'; break;
    case '\r': short_ = 'r'; break;
    case '\t': short_ = 't'; break;
    default: break;
    }
    if (short_) {
        *p++ = '\\';
        *p++ = short_;
        return p;
    }
    if (cp < 0x20) {
        std::memcpy(p, "\\u00", 4);
        p[4] = kHex[cp >> 4];
        p[5] = kHex[cp & 0xF];
        return p + 6;
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x80) {
        *p++ = char(cp);
    } else if (cp < 0x800) {
        *p++ = char(0xC0 | (cp >> 6));
        *p++ = char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *p++ = char(0xE0 | (cp >> 12));
        *p++ = char(0x80 | ((cp >> 6) & 0x3F));
        *p++ = char(0x80 | (cp & 0x3F));
    } else {
        *p++ = char(0xF0 | (cp >> 18));
        *p++ = char(0x80 | ((cp >> 12) & 0x3F));
        *p++ = char(0x80 | ((cp >> 6) & 0x3F));
        *p++ = char(0x80 | (cp & 0x3F));
    }
    return p;
}

// Output of a converted text goes through a small stack buffer, copied to the string when
// nearly full: one append per few hundred characters instead of one per character.
class Chunk {
public:
    explicit Chunk(std::string& out) : m_out(out) {}
    ~Chunk() { Flush(); }
    // Room for one escaped code point (at most 6 bytes).
    char*& Cursor() {
        if (m_p + 8 > m_buf + sizeof m_buf) Flush();
        return m_p;
    }
    void Flush() {
        m_out.append(m_buf, size_t(m_p - m_buf));
        m_p = m_buf;
    }

private:
    std::string& m_out;
    char m_buf[512];
    char* m_p = m_buf;
};

// Days since 1970-01-01 to the civil date (proleptic Gregorian), after Howard Hinnant's
// days_from_civil inverse.
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

void Put2(char* p, unsigned v) {
    p[0] = char('0' + v / 10 % 10);
    p[1] = char('0' + v % 10);
}

}  // namespace

void FormatUtcSeconds(char* out, int64_t secs) {
    int64_t days = secs / 86400, rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    Put2(out, unsigned(y / 100 % 100));
    Put2(out + 2, unsigned(y % 100));
    out[4] = '-';
    Put2(out + 5, m);
    out[7] = '-';
    Put2(out + 8, d);
    out[10] = 'T';
    Put2(out + 11, unsigned(rem / 3600));
    out[13] = ':';
    Put2(out + 14, unsigned(rem / 60 % 60));
    out[16] = ':';
    Put2(out + 17, unsigned(rem % 60));
}

void AppendUtf8(std::string& out, uint32_t cp) {
    char bytes[8];
    char* end = bytes;
    if (cp < 0x80) {
        *end++ = char(cp);
    } else {
        end = PutEscaped(bytes, cp);
    }
    out.append(bytes, end);
}

void AppendJsonLatin1(std::string& out, std::string_view text) {
    out += '"';
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* run = p;
        while (p < end && kPlain.plain[uint8_t(*p)]) ++p;
        out.append(run, size_t(p - run));
        if (p == end) break;
        char bytes[8];
        out.append(bytes, PutEscaped(bytes, uint8_t(*p++)));
    }
    out += '"';
}

void AppendJsonUtf16(std::string& out, std::u16string_view text) {
    out += '"';
    {
        Chunk chunk(out);
        const size_t n = text.size();
        for (size_t i = 0; i < n; ++i) {
            char*& p = chunk.Cursor();
            uint32_t unit = text[i];
            if (unit < 0x80 && kPlain.plain[unit]) {
                *p++ = char(unit);
            } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 &&
                       text[i + 1] <= 0xDFFF) {
                p = PutEscaped(p, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
                ++i;
            } else {
                p = PutEscaped(p, unit);  // a lone surrogate becomes U+FFFD there
            }
        }
    }
    out += '"';
}

void JsonLine::Begin() {
    m_buf.clear();
    m_buf += '{';
    m_first = true;
}

void JsonLine::End() { m_buf.append("}\n", 2); }

void JsonLine::Key(std::string_view key) {
    // Keys are the program's own short ASCII names: copied with the separators around them
    // in one append when nothing in them needs escaping.
    char text[64];
    char* p = text;
    if (!m_first) *p++ = ',';
    m_first = false;
    *p++ = '"';
    bool plain = key.size() + 4 <= sizeof text;
    for (size_t i = 0; plain && i < key.size(); ++i) {
        plain = kPlain.plain[uint8_t(key[i])];
        *p++ = key[i];
    }
    if (!plain) {
        if (text[0] == ',') m_buf += ',';
        AppendJsonLatin1(m_buf, key);
        m_buf += ':';
        return;
    }
    *p++ = '"';
    *p++ = ':';
    m_buf.append(text, p);
}

void JsonLine::Latin1(std::string_view key, std::string_view value) {
    Key(key);
    AppendJsonLatin1(m_buf, value);
}

void JsonLine::Utf16(std::string_view key, std::u16string_view value) {
    Key(key);
    AppendJsonUtf16(m_buf, value);
}

void JsonLine::Uint(std::string_view key, uint64_t value) {
    Key(key);
    char digits[24];
    auto res = std::to_chars(digits, digits + sizeof digits, value);
    m_buf.append(digits, res.ptr);
}

void JsonLine::Hex32(std::string_view key, uint32_t value) {
    Key(key);
    char text[12] = {'"', '0', 'x'};
    for (int i = 0; i < 8; ++i) text[3 + i] = kHex[(value >> (28 - 4 * i)) & 0xF];
    text[11] = '"';
    m_buf.append(text, sizeof text);
}

void JsonLine::Timestamp(std::string_view key, uint32_t secs, uint32_t micros) {
    Key(key);
    if (int64_t(secs) != m_cachedSecs) {
        FormatUtcSeconds(m_cachedDate, secs);
        m_cachedSecs = secs;
    }
    char text[29];
    text[0] = '"';
    std::memcpy(text + 1, m_cachedDate, sizeof m_cachedDate);
    text[20] = '.';
    micros %= 1000000u;
    for (int i = 26; i >= 21; --i) {
        text[i] = char('0' + micros % 10);
        micros /= 10;
    }
    text[27] = 'Z';
    text[28] = '"';
    m_buf.append(text, sizeof text);
}

void JsonLine::Null(std::string_view key) {
    Key(key);
    m_buf.append("null", 4);
}

void JsonLine::Bool(std::string_view key, bool value) {
    Key(key);
    m_buf += value ? "true" : "false";
}

void JsonLine::UintArray(std::string_view key, const std::vector<uint64_t>& values) {
    Key(key);
    m_buf += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) m_buf += ',';
        char digits[24];
        m_buf.append(digits, std::to_chars(digits, digits + sizeof digits, values[i]).ptr);
    }
    m_buf += ']';
}

void JsonLine::Utf16Array(std::string_view key, const std::vector<std::u16string>& values) {
    Key(key);
    m_buf += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) m_buf += ',';
        AppendJsonUtf16(m_buf, values[i]);
    }
    m_buf += ']';
}

void JsonLine::BeginObject(std::string_view key) {
    Key(key);
    m_buf += '{';
    m_first = true;
}

void JsonLine::EndObject() {
    m_buf += '}';
    m_first = false;
}

}  // namespace smbaudit
