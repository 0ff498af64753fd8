// The sensor's protocol-neutral audit record. The SMB1 and SMB2/3 analysers' events are each
// turned into one AuditRecord; everything after that (per-file totals and hashes, notices,
// JSON formatting, the record writer) sees only AuditRecords, so it serves both protocols the
// same way. A record borrows its texts and data from the analyser that produced it: it is
// valid only during the call that hands it over.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/framework.h"

namespace smbaudit {

enum class Proto : uint8_t { Smb1, Smb2 };

// The "event" key. The order is the order of the statistics.
enum class RecordKind : uint8_t {
    Logon,
    Logoff,
    TreeConnect,
    TreeDisconnect,
    Create,
    Close,
    Read,
    Write,
    Delete,
    Rename,
    Rpc,
    SetInfo,
    Copy,
    List,
    Encrypted,
    Notice,
    Count
};
constexpr int kRecordKindCount = int(RecordKind::Count);
const char* RecordKindName(RecordKind kind);
// The CreateDisposition a client asked for and the CreateAction a server took: the same
// values in SMB1's NT Create AndX and SMB2's CREATE ("open_if", "created"; else "unknown").
const char* DispositionName(uint32_t disposition);
const char* CreateActionName(uint32_t action);

// A text as an analyser holds it: 8-bit (each byte its own code point, as the SMB1 library
// keeps narrow texts) or UTF-16. A text that is not known leaves its key out; a known empty
// text (an anonymous logon's user name) is written as "".
struct Text {
    std::string_view narrow;
    std::u16string_view wide;
    bool isWide = false;
    bool known = false;

    Text() = default;
    Text(std::string_view latin1) : narrow(latin1), known(true) {}
    Text(std::u16string_view utf16) : wide(utf16), isWide(true), known(true) {}
    Text(const char* latin1) : narrow(latin1 ? std::string_view(latin1) : std::string_view()), known(latin1) {}
};

// Where the record comes from: the connection's endpoints and the chunk being processed.
struct RecordOrigin {
    std::string client;  // "ip:port"
    std::string server;
    CTimeStamp32 time;        // capture time of the chunk that completed the message
    bool fromClient = true;
};

using FileId128 = std::array<uint8_t, 16>;  // SMB2 FileId: persistent then volatile part

// The content of one open in one direction, on close records: its hashes when the bytes
// observed are exactly the whole file, [0, size), else only how many bytes were observed.
struct FileDigest {
    bool seen = false;          // data passed in this direction
    bool complete = false;      // sha256 and md5 are those of the whole file
    uint64_t coveredBytes = 0;  // bytes observed
    std::array<uint8_t, 32> sha256{};
    std::array<uint8_t, 16> md5{};
};

// Totals of one open, on close records.
struct OpenTotals {
    uint64_t bytesRead = 0;
    uint64_t bytesWritten = 0;
    uint64_t reads = 0;
    uint64_t writes = 0;
    std::optional<uint64_t> size;  // final size when known
    uint64_t openMicros = 0;       // time between create and close
    FileDigest read, written;      // content read from / written to the file
};

// An rpc record's call, decoded by the RPC stage (dcerpc/rpc_stage.h): the interface bound
// to the PDU's presentation context, the operation, and on the response that completes the
// call its status. The clear-text stub fields are those the notices need.
struct RpcCall {
    const char* interfaceName = nullptr;
    const char* operation = nullptr;
    std::optional<uint32_t> status;  // the return code ending the stub, or the fault status
    bool fault = false;
    bool complete = false;           // the record carries the last fragment of the call's PDU
    std::u16string serviceName;      // svcctl: RCreateService*, ROpenService*, RStartService*
    std::u16string binaryPath;       // svcctl: RCreateService*
    std::u16string command;          // atsvc: NetrJobAdd
    std::u16string taskPath;         // taskschd: SchRpcRegisterTask
};

// A notice record's own fields (notices/notice_stage.h).
struct NoticeInfo {
    const char* name = nullptr;      // "admin_share"...
    const char* severity = nullptr;  // "low", "medium", "high"
    std::u16string msg;
    std::vector<uint64_t> causes;    // record_id of the records that raised it
    std::vector<std::pair<const char*, uint64_t>> counts;
    std::vector<std::u16string> samples;  // a few of the names involved (files, users)
};

struct AuditRecord {
    uint64_t recordId = 0;                // per-run sequence number (record_pipeline.h)
    Proto proto = Proto::Smb1;
    RecordKind kind = RecordKind::Logon;
    CTimeStamp32 time;                    // the message that completed the record
    const RecordOrigin* origin = nullptr;
    std::optional<uint32_t> status;       // none: no response seen ("status": null)
    std::optional<uint64_t> rttMicros;    // response time minus request time

    // Identifiers: SMB1's
    std::optional<uint32_t> uid, tid, fid;
    // and SMB2's.
    std::optional<uint64_t> sessionId;
    std::optional<uint32_t> treeId;
    std::optional<FileId128> fileId;

    // Who.
    Text user, domain, workstation;
    const char* auth = nullptr;           // "ntlmssp", "kerberos", "anonymous", "guest", "plain"
    Text realm, servicePrincipal;
    // Kerberos logons: the client principal that the client's address last named in an
    // AS-REQ on port 88, and when (a hint: other users may share the address).
    Text userHint;
    std::optional<CTimeStamp32> userHintTime;
    Text dialect, serverName, serverDomain, clientOs, serverOs, lanManager;
    std::optional<bool> signing, encrypted, decrypted;
    std::optional<bool> binding;  // SMB2 logon: a further channel joining a session (multichannel)

    // Where.
    Text share, shareServer, service;
    const char* treeType = nullptr;       // "disk", "ipc", "printer"...
    std::optional<uint32_t> shareFlags;

    // What.
    Text file;                            // file name, or pipe name on rpc records
    const char* fileType = nullptr;
    const char* direction = nullptr;      // rpc: "request" / "response"; copy: none
    const char* disposition = nullptr;
    const char* createAction = nullptr;
    std::optional<uint32_t> access, createOptions, attributes;
    std::optional<uint64_t> fileSize;
    std::optional<uint64_t> offset, count, dataLen;
    const uint8_t* data = nullptr;        // the bytes of a read, write or rpc payload, when
    size_t dataAvailable = 0;             // the analyser holds them (dataAvailable <= dataLen)
    Text oldName, newName;
    const char* infoKind = nullptr;       // set_info: "rename", "delete", "end_of_file", ...
    Text pattern;                         // list: search pattern
    Text copySource;                      // copy: source file (the record's file is the target)
    const OpenTotals* totals = nullptr;   // close
    const RpcCall* rpc = nullptr;         // rpc: the decoded call, when the pipe's binding is known
    const NoticeInfo* notice = nullptr;   // notice
};

}  // namespace smbaudit
