#include "tools/smbaudit/files/extract_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/smbaudit/files/file_json.h"
#include "tools/smbaudit/json_writer.h"

namespace smbaudit {
namespace {

bool MakeDir(const std::string& path, std::string& error) {
    if (mkdir(path.c_str(), 0750) == 0 || errno == EEXIST) return true;
    error = "--extract-dir: cannot create " + path + ": " + std::strerror(errno);
    return false;
}

bool FullDisk(int err) { return err == ENOSPC || err == EDQUOT; }

void TextKey(JsonLine& json, std::string_view key, const Text& text) {
    if (!text.known) return;
    if (text.isWide) {
        json.Utf16(key, text.wide);
    } else {
        json.Latin1(key, text.narrow);
    }
}

}  // namespace

ExtractFile::~ExtractFile() { m_store.Discard(*this); }

bool ExtractStore::Open(const ExtractConfig& config, std::string& error) {
    m_config = config;
    if (config.dir.empty()) return true;
    return MakeDir(config.dir, error) && MakeDir(config.dir + "/.tmp", error) &&
           MakeDir(config.dir + "/partial", error);
}

std::unique_ptr<ExtractFile> ExtractStore::Begin() {
    if (m_openFiles.fetch_add(1) >= kMaxOpenFiles) {
        m_openFiles.fetch_sub(1);
        ++m_noSlot;
        return nullptr;
    }
    std::unique_ptr<ExtractFile> file(new ExtractFile(*this));
    file->m_tmpPath = m_config.dir + "/.tmp/XXXXXX";
    file->m_fd = mkstemp(file->m_tmpPath.data());
    if (file->m_fd < 0) {
        const int err = errno;
        ++(FullDisk(err) ? m_diskFull : m_errors);
        Report(FullDisk(err) ? m_diskReported : m_errorReported, "cannot create a temporary file", err);
        return nullptr;
    }
    return file;
}

void ExtractStore::Write(std::unique_ptr<ExtractFile>& file, uint64_t offset, const uint8_t* data, size_t len) {
    if (!file || len == 0) return;
    const uint64_t end = offset + len;
    if (m_config.maxFileBytes && end > m_config.maxFileBytes) {
        ++m_tooLarge;
        file.reset();
        return;
    }
    if (end > file->m_reserved) {
        const uint64_t grow = end - file->m_reserved;
        const uint64_t before = m_used.fetch_add(grow);
        file->m_reserved = end;
        if (m_config.quotaBytes && before + grow > m_config.quotaBytes) {
            ++m_overQuota;
            Report(m_quotaReported, "--extract-quota reached", 0);
            file.reset();
            return;
        }
    }
    while (len > 0) {
        const ssize_t n = pwrite(file->m_fd, data, len, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            ++(FullDisk(err) ? m_diskFull : m_errors);
            Report(FullDisk(err) ? m_diskReported : m_errorReported, "cannot write", err);
            file.reset();
            return;
        }
        data += n;
        len -= size_t(n);
        offset += uint64_t(n);
    }
}

void ExtractStore::Discard(ExtractFile& file) {
    if (file.m_fd >= 0) {
        close(file.m_fd);
        if (!file.m_tmpPath.empty()) unlink(file.m_tmpPath.c_str());
    }
    m_used.fetch_sub(file.m_reserved);
    m_openFiles.fetch_sub(1);
}

void ExtractStore::Finish(std::unique_ptr<ExtractFile> file, const FileDigest& digest,
                          const std::vector<ByteRange>& ranges, const Sighting& s) {
    if (!file) return;
    JsonLine json;  // left open: the holes' array is added by hand
    json.Begin();
    json.Timestamp("ts_first", s.first.m_sec, s.first.m_usec);
    json.Timestamp("ts_last", s.last.m_sec, s.last.m_usec);
    json.Latin1("direction", s.direction);
    TextKey(json, "file", s.file);
    TextKey(json, "share", s.share);
    TextKey(json, "share_server", s.shareServer);
    TextKey(json, "user", s.user);
    json.Latin1("client", s.client);
    json.Latin1("server", s.server);
    json.Uint("size", s.size);

    std::string final;
    if (digest.complete) {
        json.Latin1("sha256", HexDigest(digest.sha256));
        json.Latin1("md5", HexDigest(digest.md5));
        final = m_config.dir + "/" + HexDigest(digest.sha256);
    } else if (m_config.keepPartial) {
        json.Uint("covered_bytes", digest.coveredBytes);
        final = m_config.dir + "/partial/" + file->m_tmpPath.substr(file->m_tmpPath.rfind('/') + 1);
    } else {
        ++m_incomplete;
        return;  // the temporary file goes with `file`
    }
    std::string line = json.str();
    if (!digest.complete) {
        // [[begin, end], ...]: the byte ranges up to the size that were not observed.
        line += ",\"holes\":[";
        uint64_t at = 0;
        auto hole = [&](uint64_t end) {
            if (end <= at) return;
            if (line.back() != '[') line += ',';
            line += "[" + std::to_string(at) + "," + std::to_string(end) + "]";
        };
        for (const ByteRange& r : ranges) {
            hole(r.begin);
            at = std::max(at, r.end);
        }
        hole(s.size);
        line += ']';
    }
    line += "}\n";

    struct stat st;
    if (digest.complete && stat(final.c_str(), &st) == 0) {
        ++m_duplicates;  // stored before: the temporary file goes, the sighting is added
    } else if (rename(file->m_tmpPath.c_str(), final.c_str()) == 0) {
        file->m_tmpPath.clear();  // now under its final name: kept, and still counted in the quota
        file->m_reserved = 0;
        ++(digest.complete ? m_stored : m_partial);
    } else {
        ++m_errors;
        Report(m_errorReported, "cannot rename", errno);
        return;
    }
    AppendSidecar(final + ".json", line);
}

void ExtractStore::AppendSidecar(const std::string& path, const std::string& line) {
    // One write of the whole line with O_APPEND: lines of workers sighting the same content
    // at once do not interleave.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0 || write(fd, line.data(), line.size()) != ssize_t(line.size())) {
        const int err = errno;
        ++(FullDisk(err) ? m_diskFull : m_errors);
        Report(FullDisk(err) ? m_diskReported : m_errorReported, "cannot write a sidecar", err);
    }
    if (fd >= 0) close(fd);
}

void ExtractStore::Report(std::atomic<bool>& once, const char* what, int err) {
    if (once.exchange(true)) return;
    std::fprintf(stderr, "smbaudit: extraction to %s: %s%s%s (reported once; the analysis goes on)\n",
                 m_config.dir.c_str(), what, err ? ": " : "", err ? std::strerror(err) : "");
}

void ExtractStore::PrintStats(std::FILE* out) const {
    if (!Enabled()) return;
    std::fprintf(out,
                 "extraction: %llu files stored, %llu already stored, %llu partial kept, %llu incomplete dropped, "
                 "%llu over --extract-max-bytes, %llu over --extract-quota, %llu on a full disk, %llu without a "
                 "free slot, %llu errors; %llu bytes stored\n",
                 (unsigned long long)m_stored, (unsigned long long)m_duplicates, (unsigned long long)m_partial,
                 (unsigned long long)m_incomplete, (unsigned long long)m_tooLarge, (unsigned long long)m_overQuota,
                 (unsigned long long)m_diskFull, (unsigned long long)m_noSlot, (unsigned long long)m_errors,
                 (unsigned long long)m_used.load());
}

}  // namespace smbaudit
