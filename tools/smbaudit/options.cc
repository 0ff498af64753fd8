#include "tools/smbaudit/options.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>

namespace smbaudit {
namespace {

bool ParseUint(std::string_view text, uint64_t max, uint64_t& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value <= max;
}

// "PORT" (NetBIOS session framing, as on 139) or "PORT/direct" (SMB directly over TCP, as
// on 445), comma-separated.
bool ParsePorts(std::string_view list, std::vector<ServerPort>& ports, std::string& error) {
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        ServerPort sp;
        size_t slash = item.find('/');
        std::string_view framing = slash == std::string_view::npos ? "netbios" : item.substr(slash + 1);
        uint64_t port = 0;
        if (!ParseUint(item.substr(0, slash), 65535, port) || port == 0) {
            error = "--ports: bad port '" + std::string(item) + "'";
            return false;
        }
        if (framing == "direct") {
            sp.directTcp = true;
        } else if (framing != "netbios") {
            error = "--ports: framing of '" + std::string(item) + "' must be 'direct' or 'netbios'";
            return false;
        }
        sp.port = uint16_t(port);
        if (sp.port == 445 || sp.port == 139) continue;  // always followed, with their own framing
        bool known = false;
        for (ServerPort& existing : ports) {
            if (existing.port == sp.port) {
                existing.directTcp = sp.directTcp;
                known = true;
            }
        }
        if (!known) ports.push_back(sp);
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options& o, std::string& error) {
    o.sensor.connection.pendingTimeout = kDefaultPendingTimeout;
    o.sensor.idleTimeout = kDefaultIdleTimeout;
    SMBContextOptions& ctx = o.sensor.connection.contextOptions;
    ctx.maxMessageBytes = kDefaultMaxMessageBytes;
    ctx.maxPendingRequests = kDefaultMaxPending;
    o.sensor.connection.maxBufferedBytes = size_t(kDefaultMaxBufferedBytes);
    bool filterGiven = false;
    bool endOfOptions = false;
    bool noNotices = false;

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (endOfOptions || arg == "-" || arg.empty() || arg[0] != '-') {
            o.captures.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        // "--name=value" or "--name value"
        std::string_view name = arg;
        std::string_view inlineValue;
        bool hasInline = false;
        if (arg.starts_with("--")) {
            size_t eq = arg.find('=');
            if (eq != std::string_view::npos) {
                name = arg.substr(0, eq);
                inlineValue = arg.substr(eq + 1);
                hasInline = true;
            }
        }
        auto value = [&](std::string_view& out) {
            if (hasInline) {
                out = inlineValue;
                return true;
            }
            if (i + 1 >= argc) {
                error = "option " + std::string(name) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](uint64_t max, uint64_t& out) {
            std::string_view text;
            if (!value(text)) return false;
            if (!ParseUint(text, max, out)) {
                error = "option " + std::string(name) + ": '" + std::string(text) + "' is not a number from 0 to " +
                        std::to_string(max);
                return false;
            }
            return true;
        };
        auto flag = [&]() {
            if (hasInline) error = "option " + std::string(name) + " takes no value";
            return !hasInline;
        };
        std::string_view text;
        uint64_t n = 0;
        const uint64_t u32max = std::numeric_limits<uint32_t>::max();

        if (name == "-h" || name == "--help") {
            if (!flag()) return false;
            o.action = Options::Action::Help;
        } else if (name == "-V" || name == "--version") {
            if (!flag()) return false;
            o.action = Options::Action::Version;
        } else if (name == "-i" || name == "--interface") {
            if (!value(text)) return false;
            o.interface = text;
        } else if (name == "-f" || name == "--filter") {
            if (!value(text)) return false;
            o.filter = text;
            filterGiven = true;
        } else if (name == "-w" || name == "--write") {
            if (!value(text)) return false;
            o.outputPath = text;
        } else if (name == "-o" || name == "--output") {
            if (!value(text)) return false;
            o.destination = text;
        } else if (name == "--queue-records") {
            if (!number(uint64_t(1) << 32, n)) return false;
            o.queueRecords = n ? n : 1;
        } else if (name == "-Z" || name == "--user") {
            if (!value(text)) return false;
            o.user = text;
        } else if (name == "-B" || name == "--buffer-size") {
            if (!number(u32max >> 10, n)) return false;
            o.bufferKiB = unsigned(n);
        } else if (name == "--stats-interval") {
            if (!number(u32max, n)) return false;
            o.statsInterval = uint32_t(n);
        } else if (name == "--stats-file") {
            if (!value(text)) return false;
            o.statsPath = text;
        } else if (name == "-p" || name == "--ports") {
            if (!value(text) || !ParsePorts(text, o.sensor.serverPorts, error)) return false;
        } else if (name == "--pending-timeout") {
            if (!number(u32max, n)) return false;
            o.sensor.connection.pendingTimeout = uint32_t(n);
        } else if (name == "--idle-timeout") {
            if (!number(u32max, n)) return false;
            o.sensor.idleTimeout = uint32_t(n);
        } else if (name == "--max-message-bytes") {
            if (!number(u32max, n)) return false;
            ctx.maxMessageBytes = uint32_t(n);
        } else if (name == "--max-pending") {
            if (!number(u32max, n)) return false;
            ctx.maxPendingRequests = uint32_t(n);
        } else if (name == "--max-buffered-bytes") {
            if (!number(std::numeric_limits<uint64_t>::max(), n)) return false;
            o.sensor.connection.maxBufferedBytes = size_t(n);
        } else if (name == "--max-reorder-bytes") {
            if (!number(u32max, n)) return false;
            o.sensor.connection.reassembly.maxHeldBytes = size_t(n);
        } else if (name == "--workers") {
            if (!number(kMaxWorkers, n)) return false;
            if (n == 0) {
                error = "option --workers: at least 1";
                return false;
            }
            o.workers = unsigned(n);
        } else if (name == "--smb-keys") {
            if (!value(text)) return false;
            o.decryption.smbKeys = text;
        } else if (name == "--ntlm-credentials") {
            if (!value(text)) return false;
            o.decryption.ntlmCredentials = text;
        } else if (name == "--keytab") {
            if (!value(text)) return false;
            o.decryption.keytab = text;
        } else if (name == "--notices") {
            if (!value(text) || !ReadNoticeConfig(std::string(text), o.sensor.notices, error)) return false;
        } else if (name == "--no-notices") {
            if (!flag()) return false;
            noNotices = true;
        } else if (name == "--strict") {
            if (!flag()) return false;
            o.strict = true;
        } else if (name == "-s" || name == "--stats") {
            if (!flag()) return false;
            o.stats = true;
        } else if (name == "--file-events") {
            if (!value(text)) return false;
            if (text != "all" && text != "summary") {
                error = "option --file-events: 'all' or 'summary'";
                return false;
            }
            o.sensor.files.summary = text == "summary";
        } else if (name == "--no-hashes") {
            if (!flag()) return false;
            o.sensor.files.hashes = false;
        } else if (name == "--extract-dir") {
            if (!value(text)) return false;
            o.extract.dir = text;
        } else if (name == "--extract-max-bytes") {
            if (!number(std::numeric_limits<uint64_t>::max(), n)) return false;
            o.extract.maxFileBytes = n;
        } else if (name == "--extract-quota") {
            if (!number(std::numeric_limits<uint64_t>::max(), n)) return false;
            o.extract.quotaBytes = n;
        } else if (name == "--extract-partial") {
            if (!flag()) return false;
            o.extract.keepPartial = true;
        } else if (name == "--no-progress") {
            if (!flag()) return false;
            o.progress = false;
        } else {
            error = "unknown option " + std::string(name);
            return false;
        }
    }
    if (o.action != Options::Action::Run) return true;

    if (noNotices) o.sensor.notices = NoticeConfig{.enabled = {}};
    ctx.acceptStandardNtCreateRsp = !o.strict;
    ctx.followUnhandledAndX = !o.strict;
    ctx.largeReadWrite = !o.strict;
    ctx.followUnreadLogons = !o.strict;
    if (!o.extract.dir.empty() && !o.sensor.files.hashes) {
        error = "--extract-dir needs the hashes: it cannot go with --no-hashes";
        return false;
    }
    if (o.extract.dir.empty() && (o.extract.maxFileBytes || o.extract.quotaBytes || o.extract.keepPartial)) {
        error = "--extract-max-bytes, --extract-quota and --extract-partial need --extract-dir";
        return false;
    }
    if (!o.interface.empty() && !o.captures.empty()) {
        error = "give either -i INTERFACE or capture files, not both";
        return false;
    }
    if (o.interface.empty() && o.captures.empty()) {
        error = "no input: name capture files ('-' for standard input) or -i INTERFACE";
        return false;
    }
    if (!o.destination.empty() && !o.outputPath.empty()) {
        error = "give either -w FILE or -o DEST, not both";
        return false;
    }
    if (o.bufferKiB && o.interface.empty()) {
        error = "-B applies to live capture (-i) only";
        return false;
    }
    if (filterGiven && o.interface.empty()) {
        error = "-f applies to live capture (-i) only";
        return false;
    }
    if (!filterGiven) {
        o.filter = kDefaultFilter;
        for (const ServerPort& sp : o.sensor.serverPorts) {
            if (sp.port != 445 && sp.port != 139) o.filter += " or tcp port " + std::to_string(sp.port);
        }
    }
    return true;
}

std::string HelpText() {
    return R"(Usage: smbaudit [OPTIONS] CAPTURE...
       smbaudit [OPTIONS] -i INTERFACE

Follows SMB1 (CIFS), SMB2 and SMB3 conversations in pcap or pcapng captures, or live on
an interface, and writes one JSON object per line for every audited operation (logon,
logoff, tree connect and disconnect, create, close, read, write, delete, rename; for SMB2
and SMB3 also set_info, server-side copy, directory listing and the first encrypted
message of each session) and for every named-pipe (RPC) payload, and a notice record for
the events that call for attention (remote service or task creation, administrative
shares, logon failures and password spraying, mass file changes, SMB1 in use...). The
fields are described in docs/output-schema.md.

Input:
  CAPTURE...                 pcap or pcapng files, read one after the other as one
                             stream of traffic; '-' reads standard input
  -i, --interface IFACE      capture live on IFACE until interrupted (SIGINT/SIGTERM)
  -f, --filter EXPR          BPF filter of the live capture
                             (default: "tcp port 445 or tcp port 139 or port 88",
                             plus --ports; port 88 is Kerberos, for user hints)
  -p, --ports LIST           more server ports, comma-separated: PORT uses the NetBIOS
                             session framing of port 139, PORT/direct the framing of
                             SMB directly over TCP (port 445). 445 and 139 are always
                             followed.

Output:
  -w, --write FILE           append records to FILE instead of writing them to standard
                             output; SIGHUP reopens FILE by name (log rotation)
  -o, --output DEST          send records to DEST instead of a file:
                               unix-stream:PATH   one line per record on a stream socket
                               unix-dgram:PATH    one datagram per record
                               redis://HOST[:PORT]/list/KEY    RPUSH onto a list
                               redis://HOST[:PORT]/stream/KEY  XADD, field "record"
                             records wait in memory while DEST is unreachable (reconnects
                             with back-off, never holding the capture back); at the end
                             they are delivered within 10 s or counted as dropped
      --queue-records N      records -o holds in memory at most; beyond, new records are
                             dropped and counted (default 100000)
  -s, --stats                print a summary on standard error at the end: packets, TCP
                             bytes, connections, SMB messages, result codes, records by
                             kind, gaps and resynchronisations, and the SMB2/3
                             analyser's counters by name (malformed, truncated,
                             unanswered, encrypted and compressed messages...)
      --no-progress          no progress bar (shown on standard error while reading
                             files, only when standard error is a terminal)
      --stats-interval SEC   every SEC seconds of live capture, one "stats" JSON record
                             (counters so far, the capture's drops, the output's queue
                             and losses), and one more at the end (files: only that one)
      --stats-file FILE      where the "stats" records go (default: standard error)

Service:
  -Z, --user USER            once the capture and the output files are open, run as USER
                             (its uid, gid and groups); the sensor stops rather than keep
                             running as root when this fails
  -B, --buffer-size KIB      kernel capture buffer of -i, in KiB (default: libpcap's, 2 MiB)
  SIGHUP reopens the -w file (after logrotate renamed it); SIGTERM and SIGINT write every
  pending record and the statistics, then exit 0.

Files:
      --file-events all|summary
                             all (default): a record for every read and write; summary:
                             no read and write records, the close carries the totals
      --no-hashes            no sha256/md5 of the files' content on close records
      --extract-dir DIR      store every completely observed file as DIR/<sha256>, once,
                             with DIR/<sha256>.json listing each sighting (names, share,
                             server, user, direction, first and last time)
      --extract-max-bytes N  files larger than N bytes are not stored (default: no limit)
      --extract-quota N      stop storing once N bytes are stored (default: no limit);
                             a full disk or quota is reported once, the analysis goes on
      --extract-partial      keep incomplete files under DIR/partial/ with their holes

Notices (docs/smbaudit.md describes each):
      --notices FILE         notice settings: one 'key = value' per line, '#' comments;
                             a notice's name = on|off, and the thresholds failures,
                             failure_window, spray_users, changes, change_window
                             (default: every notice on, 5 failed logons or 3 users
                             within 60 s, 50 changed files within 60 s)
      --no-notices           no notice records

Analysis:
      --pending-timeout SEC  seconds a request waits for its response before it is
                             dropped unreported (default 60, the time Windows clients
                             wait for an SMB response)
      --idle-timeout SEC     seconds without a packet before a connection is forgotten
                             (default 900, the idle time after which Windows servers
                             disconnect a session)
      --max-message-bytes N  largest SMB message buffered per direction; a larger one is
                             skipped and the direction waits for the next message (an
                             SMB2 READ response or WRITE request streams its data and
                             is never skipped) (default 4194304; 0: the protocol's own
                             limit)
      --max-pending N        most requests awaiting a response per connection, SMB1 and
                             SMB2 alike; more drop the oldest (default 1024; 0 = no
                             limit)
      --max-reorder-bytes N  out-of-order TCP bytes held per direction while waiting for
                             a gap to fill (default 1048576)
      --max-buffered-bytes N bytes all connections together may buffer (partial messages
                             and out-of-order segments); beyond it the connections holding
                             the most drop their buffers and resynchronise (default
                             268435456; 0 = no limit)
      --strict               run the analysis library exactly as standard. By default
                             smbaudit turns on four tolerances:
                             - the standard (non-extended) 34-word NT Create AndX
                               response is accepted: Samba and most non-Windows servers
                               answer with it, and without this every create, read,
                               write and close on them goes unreported;
                             - an AndX chain passes through Locking AndX (which has no
                               handler) to the command behind it: Windows clients chain
                               Write AndX behind Locking AndX;
                             - large Read AndX and Write AndX (above 64 KiB, whose
                               16-bit ByteCount wraps) carry DataLength/DataLengthHigh
                               bytes up to the end of the message, not the bytes
                               ByteCount measures;
                             - the empty NativeOS and NativeLanMan that end the
                               Session Setup requests of Windows 10 and later are
                               read (without this their whole session goes
                               unreported), and a Tree Connect whose logon was not
                               seen rebuilds the conversation.

Decryption (encrypted SMB3 sessions, with key material the operator holds; the files
are described in docs/smbaudit.md; no key ever reaches the output or a message):
      --smb-keys FILE        session keys: lines SESSION_ID SESSION_KEY, or SESSION_ID
                             CLIENT_TO_SERVER_KEY SERVER_TO_CLIENT_KEY (hex)
      --ntlm-credentials FILE
                             passwords of NTLM logons: lines DOMAIN\user PASSWORD or
                             DOMAIN\user :NTHASH; the session keys follow from the
                             NTLMv2 logons seen
      --keytab FILE          MIT keytab of the SMB service: Kerberos tickets are opened
                             for the client's name and the session key

Performance:
      --workers N            follow the connections on N threads (default 1, at most
                             64); a connection stays on one thread, so its records keep
                             their order, but records of different connections may come
                             in a different order from one run to the next. With -i, each
                             thread reads its own capture handle, the kernel spreading the
                             connections over them (Linux PACKET_FANOUT)

Other:
  -h, --help                 this help
  -V, --version              version

Exit status: 0 all input read; 1 input read with warnings (a truncated capture, or
output that could not be written completely); 2 usage error, or an input that could not
be read (unreadable file, not a capture, unsupported link type, interface error); the
other files are still processed.
)";
}

}  // namespace smbaudit
