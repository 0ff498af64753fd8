#include "tools/smbaudit/json_writer.h"

#include <charconv>

namespace smbaudit {
namespace {

constexpr uint32_t kReplacement = 0xFFFD;

void AppendEscaped(std::string& out, uint32_t cp) {
    switch (cp) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
    }
    if (cp < 0x20) {
        static const char kHex[] = "0123456789abcdef";
        out += "\\u00";
        out += kHex[cp >> 4];
        out += kHex[cp & 0xF];
        return;
    }
    AppendUtf8(out, cp);
}

}  // namespace

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

void AppendJsonLatin1(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) AppendEscaped(out, uint8_t(c));
    out += '"';
}

void AppendJsonUtf16(std::string& out, std::u16string_view text) {
    out += '"';
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            AppendEscaped(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendEscaped(out, kReplacement);
        } else {
            AppendEscaped(out, unit);
        }
    }
    out += '"';
}

void JsonLine::Begin() {
    m_buf.clear();
    m_buf += '{';
    m_first = true;
}

void JsonLine::End() {
    m_buf += "}\n";
}

void JsonLine::Key(std::string_view key) {
    if (!m_first) m_buf += ',';
    m_first = false;
    AppendJsonLatin1(m_buf, key);
    m_buf += ':';
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

void JsonLine::Null(std::string_view key) {
    Key(key);
    m_buf += "null";
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
