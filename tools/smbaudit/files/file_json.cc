#include "tools/smbaudit/files/file_json.h"

#include "tools/smbaudit/json_writer.h"

namespace smbaudit {

void AppendJsonText(std::string& out, const Text& text) {
    if (!text.wide.empty()) {
        AppendJsonUtf16(out, text.wide);
    } else {
        AppendJsonLatin1(out, text.narrow);
    }
}

void FormatOpenTotals(JsonLine& line, const OpenTotals& t) {
    line.Uint("bytes_read", t.bytesRead);
    line.Uint("bytes_written", t.bytesWritten);
    line.Uint("reads", t.reads);
    line.Uint("writes", t.writes);
    if (t.size) line.Uint("size", *t.size);
    line.Uint("open_us", t.openMicros);
    for (bool written : {false, true}) {
        const FileDigest& d = written ? t.written : t.read;
        if (!d.seen) continue;
        line.BeginObject(written ? "written" : "read");
        if (d.complete) {
            line.Latin1("sha256", HexDigest(d.sha256));
            line.Latin1("md5", HexDigest(d.md5));
        } else {
            line.Bool("hash_partial", true);
            line.Uint("covered_bytes", d.coveredBytes);
        }
        line.EndObject();
    }
}

}  // namespace smbaudit
