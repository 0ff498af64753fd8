#include "crypto/key_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace smbaudit::crypto {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
    return s;
}

// Calls f(lineNumber, line) for each line that is neither blank nor a comment; stops at the
// first false.
template <class F>
bool ForEachLine(std::string_view text, F&& f) {
    size_t number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string_view content = TrimBlanks(line);
        if (content.empty() || content.front() == '#') continue;
        if (!f(number, content)) return false;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Hex(std::string_view text, std::vector<uint8_t>& out) {
    if (text.size() % 2) return false;
    out.resize(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = uint8_t(hi << 4 | lo);
    }
    return true;
}

// A key of one of the allowed lengths, straight into a Secret.
bool HexKey(std::string_view text, std::initializer_list<size_t> lengths, Secret& key) {
    std::vector<uint8_t> bytes;
    bool ok = Hex(text, bytes);
    ok = ok && std::find(lengths.begin(), lengths.end(), bytes.size()) != lengths.end();
    if (ok) key = Secret(bytes);
    WipeBytes(bytes.data(), bytes.size());
    return ok;
}

bool SessionId(std::string_view text, uint64_t& id) {
    std::vector<uint8_t> bytes;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        if (text.empty() || text.size() > 16) return false;
        id = 0;
        for (char c : text) {
            int d = HexDigit(c);
            if (d < 0) return false;
            id = id << 4 | uint64_t(d);
        }
        return true;
    }
    if (text.size() != 16 || !Hex(text, bytes)) return false;
    id = 0;
    for (size_t i = 0; i < 8; ++i) id |= uint64_t(bytes[i]) << (8 * i);
    return true;
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        size_t end = 0;
        while (end < line.size() && !Blank(line[end])) ++end;
        fields.push_back(line.substr(0, end));
        line = TrimBlanks(line.substr(end));
    }
    return fields;
}

std::string Where(std::string_view fileName, size_t line) { return std::string(fileName) + ":" + std::to_string(line) + ": "; }

}  // namespace

bool ParseSmbKeys(std::string_view text, std::string_view fileName, std::vector<SmbKeyLine>& out, std::string& error) {
    return ForEachLine(text, [&](size_t number, std::string_view line) {
        std::vector<std::string_view> f = Fields(line);
        SmbKeyLine k;
        const char* problem = nullptr;
        if (f.size() != 2 && f.size() != 3)
            problem = "expected SESSION_ID SESSION_KEY or SESSION_ID CLIENT_TO_SERVER_KEY SERVER_TO_CLIENT_KEY";
        else if (!SessionId(f[0], k.sessionId))
            problem = "the session id is not 16 hex digits (its 8 bytes as on the wire) or a 0x number";
        else if (f.size() == 2 && !HexKey(f[1], {16, 32}, k.sessionKey))
            problem = "the session key is not 32 or 64 hex digits";
        else if (f.size() == 3 && (!HexKey(f[1], {16, 32}, k.clientToServer) ||
                                   !HexKey(f[2], {16, 32}, k.serverToClient) ||
                                   k.clientToServer.size() != k.serverToClient.size()))
            problem = "the cipher keys are not both 32 or both 64 hex digits";
        if (problem) {
            error = Where(fileName, number) + problem;
            return false;
        }
        out.push_back(std::move(k));
        return true;
    });
}

bool ParseNtlmCredentials(std::string_view text, std::string_view fileName, std::vector<NtlmCredential>& out,
                          std::string& error) {
    return ForEachLine(text, [&](size_t number, std::string_view line) {
        size_t blank = 0;
        while (blank < line.size() && !Blank(line[blank])) ++blank;
        std::string_view account = line.substr(0, blank);
        std::string_view secret = line.substr(blank);
        while (!secret.empty() && Blank(secret.front())) secret.remove_prefix(1);
        size_t slash = account.find('\\');
        std::string_view domain = slash == std::string_view::npos ? std::string_view() : account.substr(0, slash);
        std::string_view user = slash == std::string_view::npos ? account : account.substr(slash + 1);
        NtlmCredential c;
        const char* problem = nullptr;
        if (secret.empty())
            problem = "expected DOMAIN\\user PASSWORD or DOMAIN\\user :NTHASH";
        else if (user.empty() || !Utf8ToUtf16(domain, c.domain) || !Utf8ToUtf16(user, c.user))
            problem = "the account is not DOMAIN\\user or user in UTF-8";
        else if (secret.size() == 33 && secret.front() == ':' && HexKey(secret.substr(1), {16}, c.ntHash))
            ;
        else if (!NtHashOfPassword(secret, c.ntHash))
            problem = LegacyAvailable() ? "the password is not UTF-8"
                                        : "MD4 is not available (OpenSSL's legacy provider cannot be loaded)";
        if (problem) {
            error = Where(fileName, number) + problem;
            return false;
        }
        out.push_back(std::move(c));
        return true;
    });
}

bool ReadKeyFile(const std::string& path, size_t maxBytes, std::string& content, std::string& error) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    content.clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f.get())) > 0) {
        if (content.size() + n > maxBytes) {
            WipeBytes(buf, sizeof(buf));
            WipeText(content);
            error = path + ": larger than " + std::to_string(maxBytes) + " bytes";
            return false;
        }
        content.append(buf, n);
    }
    WipeBytes(buf, sizeof(buf));
    if (std::ferror(f.get())) {
        WipeText(content);
        error = path + ": read error";
        return false;
    }
    return true;
}

void WipeText(std::string& content) {
    WipeBytes(content.data(), content.size());
    content.clear();
}

}  // namespace smbaudit::crypto
