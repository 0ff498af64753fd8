#include "tools/smbaudit/files/file_json.h"

#include "tools/smbaudit/json_writer.h"

namespace smbaudit {

void FormatContentDigests(JsonLine& line, const OpenTotals& t) {
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
