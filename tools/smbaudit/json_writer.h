// One JSON object per line, built in a reusable buffer. Keys are written in the order the
// caller adds them; values are escaped completely (quotes, backslashes, every control
// character), so a record always stays on one line whatever bytes the traffic carried.
//
// The writer is on the sensor's hot path (one record per audited operation, most of them a
// few hundred bytes): runs of characters that need no escaping are appended with one copy,
// numbers are formatted without printf and the date part of time stamps is computed once
// per second, not once per record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace smbaudit {

// Appends `text` as a JSON string (quotes included).
//   Latin1: each byte 0x00..0xFF is the code point of the same value (the library's narrow
//           texts keep the low byte of UTF-16 code units, so this is their exact meaning).
//   Utf16:  surrogate pairs are joined; a lone surrogate becomes U+FFFD.
void AppendJsonLatin1(std::string& out, std::string_view text);
void AppendJsonUtf16(std::string& out, std::u16string_view text);

// Appends the UTF-8 encoding of one code point (U+FFFD for values beyond U+10FFFF or in the
// surrogate range).
void AppendUtf8(std::string& out, uint32_t codePoint);

// "2017-05-10T12:34:56" for seconds since 1970 (UTC), without the C library's time zone
// machinery: 19 characters written at `out`.
void FormatUtcSeconds(char* out, int64_t secs);

class JsonLine {
public:
    // Starts a new record, discarding the previous one (the buffer keeps its capacity).
    void Begin();
    // Closes the record and adds the newline; str() is then one complete line.
    void End();

    void Latin1(std::string_view key, std::string_view value);
    void Utf16(std::string_view key, std::u16string_view value);
    void Uint(std::string_view key, uint64_t value);
    // "0x%08x", as NT status codes are written.
    void Hex32(std::string_view key, uint32_t value);
    // "2017-05-10T12:34:56.123456Z" (UTC, microseconds).
    void Timestamp(std::string_view key, uint32_t secs, uint32_t micros);
    void Null(std::string_view key);
    void Bool(std::string_view key, bool value);
    void UintArray(std::string_view key, const std::vector<uint64_t>& values);
    void Utf16Array(std::string_view key, const std::vector<std::u16string>& values);
    void BeginObject(std::string_view key);
    void EndObject();

    const std::string& str() const { return m_buf; }

private:
    void Key(std::string_view key);

    std::string m_buf;
    bool m_first = true;  // no member written yet in the innermost open object
    // The date and time of the last time stamp's second: records come in bursts within
    // the same second.
    int64_t m_cachedSecs = -1;
    char m_cachedDate[19] = {};
};

}  // namespace smbaudit
