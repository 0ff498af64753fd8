// The SMB2/SMB3 analyser: one Connection per TCP connection, fed the byte stream of each
// direction, hands audit events to a Sink.
//
//     smbaudit::smb2::Limits limits;                  // bounds, see below
//     smbaudit::smb2::Connection conn(sink, limits);
//     conn.Feed(fromClient, data, len, captureTime, bytesWereLostBefore);   // every chunk, in order
//     conn.CheckTimeOut(now);                         // now and then: expires unanswered requests
//
// The stream is the SMB-over-TCP one (port 445): each message has a 4-byte NetBIOS header,
// a zero type byte and a 24-bit big-endian length. A host on port 139 puts the router
// (router/smb_stream.h) in front, which strips the session service's other packets.
// A message holds an SMB2 message or a compound chain of them (0xFE 'SMB'), a transform
// message (0xFD, encrypted) or a compression transform (0xFC, counted, not decompressed).
//
// Memory: a message is buffered until its headers are complete. The data of a READ response
// or a WRITE request is not: the request is analysed as soon as its fixed part is in, and the
// data streams past in the chunks it came in (to Sink::OnFileData, and for named pipes to
// Sink::OnPipeData collected up to Limits::maxPipeDataBytes). Other messages are buffered whole
// up to Limits::maxMessageBytes; a larger one is skipped and counted.
//
// Threads: a Connection is used by one thread at a time. A SessionDirectory may be shared by
// connections on different threads. The sink must not call back into the Connection; every
// pointer in an Event is valid only during the call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "framework/framework.h"
#include "smb2/decryptor.h"

namespace smbaudit::smb2 {

using FileId = std::array<uint8_t, 16>;  // persistent part then volatile part, as on the wire

// Bounds of one connection. Every table is bounded so that a peer cannot make the analyser
// grow without limit; what gives way is counted (Counters).
struct Limits {
    // A message announced longer than this is skipped (its bytes stream past unread) unless
    // it is a READ response or WRITE request whose data streams anyway. NetBIOS allows 16 MiB.
    size_t maxMessageBytes = 0xFFFFFF;
    // With a decryptor, a transform (encrypted) message is held whole until its
    // authentication tag, which covers all of it, is checked: up to this size, whatever
    // maxMessageBytes says, since servers encrypt READ and WRITE messages of their whole
    // MaxReadSize/MaxWriteSize (8 MiB for Windows and Samba). A longer one is counted.
    size_t maxTransformBytes = 0xFFFFFF;
    // Requests waiting for their response; credits let a client have thousands in flight.
    // The oldest gives way.
    size_t maxPendingRequests = 4096;
    // Commands of one compound chain analysed; the rest of the chain is counted and skipped.
    size_t maxCompoundCommands = 64;
    size_t maxSessions = 1024;
    size_t maxTrees = 4096;
    size_t maxOpens = 65536;
    // A named-pipe payload up to this size reaches Sink::OnPipeData whole; a longer one as its
    // first maxPipeDataBytes bytes together with its total length.
    size_t maxPipeDataBytes = 65536;
    // Names (files, share paths, rename targets, search patterns) are kept up to this many
    // bytes of UTF-16; a longer one is cut and counted. It bounds what each pending request
    // and each open holds.
    size_t maxNameBytes = 2048;
    // Seconds a request may wait for its response before CheckTimeOut drops it (an interim
    // STATUS_PENDING response restarts the wait).
    uint32_t pendingTimeOutSeconds = 120;
};

// Named anomaly and activity counters of one connection, for --stats.
struct Counters {
    uint64_t messages = 0;            // SMB2 messages (each command of a compound counts)
    uint64_t unknownCommands = 0;     // command codes outside the protocol's range
    uint64_t countedCommands = 0;     // commands only counted (ECHO, LOCK, FLUSH, CHANGE_NOTIFY...)
    uint64_t malformed = 0;           // a header or body that does not parse; skipped
    uint64_t truncated = 0;           // a compound element or body running past its message
    uint64_t oversize = 0;            // messages above Limits::maxMessageBytes, skipped
    uint64_t notSmb = 0;              // messages with an unknown protocol id or NetBIOS type
    uint64_t resyncs = 0;             // times the stream was searched for the next message
    uint64_t bytesSkipped = 0;        // bytes passed over while resynchronising or skipping
    uint64_t unanswered = 0;          // requests that never got a response (expired or evicted)
    uint64_t pendingEvicted = 0;      // of those, given way to newer ones (maxPendingRequests)
    uint64_t unmatchedResponses = 0;  // responses without their request (picked up mid-stream)
    uint64_t interimResponses = 0;    // STATUS_PENDING async interim responses
    uint64_t oplockBreaks = 0;        // server-initiated oplock and lease breaks
    uint64_t cancels = 0;
    uint64_t compoundChains = 0;      // messages with more than one command
    uint64_t compoundTooLong = 0;     // chains cut at Limits::maxCompoundCommands
    uint64_t tableFull = 0;           // sessions, trees or opens evicted at their limit
    uint64_t transformPdus = 0;       // 0xFD messages
    uint64_t transformBytes = 0;
    uint64_t decrypted = 0;           // of those, decrypted by the Decryptor
    uint64_t decryptFailures = 0;
    uint64_t compressedPdus = 0;      // 0xFC messages
    uint64_t compressedBytes = 0;
    uint64_t allocationFailures = 0;  // std::bad_alloc caught; the connection's state was dropped
    uint64_t namesCut = 0;            // names longer than Limits::maxNameBytes

    // Calls f(name, value) for every counter, in declaration order.
    template <class F>
    void ForEach(F&& f) const {
        f("messages", messages);
        f("unknown_commands", unknownCommands);
        f("counted_commands", countedCommands);
        f("malformed", malformed);
        f("truncated", truncated);
        f("oversize", oversize);
        f("not_smb", notSmb);
        f("resyncs", resyncs);
        f("bytes_skipped", bytesSkipped);
        f("unanswered", unanswered);
        f("pending_evicted", pendingEvicted);
        f("unmatched_responses", unmatchedResponses);
        f("interim_responses", interimResponses);
        f("oplock_breaks", oplockBreaks);
        f("cancels", cancels);
        f("compound_chains", compoundChains);
        f("compound_too_long", compoundTooLong);
        f("table_full", tableFull);
        f("transform_pdus", transformPdus);
        f("transform_bytes", transformBytes);
        f("decrypted", decrypted);
        f("decrypt_failures", decryptFailures);
        f("compressed_pdus", compressedPdus);
        f("compressed_bytes", compressedBytes);
        f("allocation_failures", allocationFailures);
        f("names_cut", namesCut);
    }
};

enum class AuthKind : uint8_t { Unknown, Ntlmssp, Kerberos, Anonymous, Guest };

// Who a session belongs to. Texts are UTF-16 as SMB2 carries them; 8-bit texts (OEM NTLM
// fields, Kerberos realms and principals) are widened byte by byte. Empty means not known.
struct Identity {
    std::u16string user, domain, workstation;
    std::u16string realm, servicePrincipal;  // Kerberos: of the ticket, both in clear
    AuthKind auth = AuthKind::Unknown;
};

struct Session {
    uint64_t id = 0;
    Identity identity;
    uint16_t dialect = 0;           // of the connection, 0 when the NEGOTIATE was not seen
    bool loggedOn = false;          // a SESSION_SETUP succeeded
    bool signingRequired = false;   // SESSION_SETUP request's security mode or NEGOTIATE
    bool guest = false;             // SMB2_SESSION_FLAG_IS_GUEST
    bool anonymous = false;         // SMB2_SESSION_FLAG_IS_NULL
    bool encryptData = false;       // SMB2_SESSION_FLAG_ENCRYPT_DATA
    bool binding = false;           // set up as a further channel of a session of another connection
    bool encryptedSeen = false;     // the one `encrypted` event has gone out
    CTimeStamp32 start;
};

// What the NEGOTIATE exchange settled for the connection (0 when not seen).
struct Negotiated {
    uint16_t dialect = 0;           // 0x0202, 0x0210, 0x0300, 0x0302, 0x0311 (0x02FF: SMB1 hand-over)
    uint16_t securityMode = 0;      // of the server: 1 signing enabled, 2 signing required
    uint32_t capabilities = 0;      // of the server: SMB2_GLOBAL_CAP_*
    uint16_t preauthHash = 0;       // 3.1.1 contexts: 1 SHA-512
    uint16_t cipher = 0;            // 1 AES-128-CCM, 2 AES-128-GCM, 3 AES-256-CCM, 4 AES-256-GCM
    uint16_t signingAlgorithm = 0xFFFF;  // 0 HMAC-SHA256, 1 AES-CMAC, 2 AES-GMAC; 0xFFFF none sent
    uint8_t compressionCount = 0;   // compression algorithms the server accepts, first four kept
    std::array<uint16_t, 4> compression{};
};

enum : uint8_t { kShareDisk = 1, kSharePipe = 2, kSharePrint = 3 };

struct Tree {
    uint64_t sessionId = 0;
    uint32_t id = 0;
    std::u16string path;        // \\server\share as the client sent it; empty when not seen
    uint8_t shareType = 0;      // kShareDisk, kSharePipe, kSharePrint; 0 not known
    uint32_t shareFlags = 0;    // SMB2_SHAREFLAG_* (0x8000 ENCRYPT_DATA)
    uint32_t capabilities = 0;
    uint32_t maximalAccess = 0;
    bool pipe() const { return shareType == kSharePipe; }
};

struct Open {
    FileId id{};
    uint64_t sessionId = 0;
    uint32_t treeId = 0;
    std::u16string name;        // as in the CREATE request, relative to the share; empty when not seen
    uint32_t desiredAccess = 0;
    uint32_t shareAccess = 0;
    uint32_t disposition = 0;
    uint32_t createOptions = 0;
    uint32_t createAction = 0;
    uint32_t attributes = 0;
    uint64_t endOfFile = 0;     // at create, updated by SET_INFO end of file and CLOSE post-query
    bool pipe = false;          // opened on an IPC$ tree (or the name is a known pipe)
    bool directory = false;
    bool deleteOnClose = false; // FILE_DELETE_ON_CLOSE at CREATE: a delete when the close succeeds
    bool deletePending = false; // set by SET_INFO disposition
    uint64_t bytesRead = 0;
    uint64_t bytesWritten = 0;
    uint64_t reads = 0;
    uint64_t writes = 0;
    bool listed = false;        // a QUERY_DIRECTORY listing was reported
    CTimeStamp32 created;
};

enum class EventKind : uint8_t {
    Logon,           // SESSION_SETUP final leg (status != MORE_PROCESSING_REQUIRED)
    Logoff,
    TreeConnect,
    TreeDisconnect,
    Create,
    Close,
    Read,
    Write,
    SetInfo,         // SET_INFO other than rename and delete: setInfoKind tells which
    Delete,          // SET_INFO disposition(-ex) with delete, or a successful close of a delete-on-close open
    Rename,          // SET_INFO FileRenameInformation
    Copy,            // IOCTL FSCTL_SRV_COPYCHUNK(_WRITE)
    List,            // QUERY_DIRECTORY
    Encrypted,       // first transform message of a session that could not be decrypted
    Ioctl,           // only on Sink::OnPipeData: FSCTL_PIPE_TRANSCEIVE
};

enum class SetInfoKind : uint8_t {
    None,
    Rename,       // FileRenameInformation
    Delete,       // FileDispositionInformation(Ex) with delete set
    Undelete,     // the same with delete cleared
    EndOfFile,    // FileEndOfFileInformation
    Allocation,   // FileAllocationInformation
    Basic,        // FileBasicInformation: attributes and times
    Security,     // SMB2_0_INFO_SECURITY: owner, group, DACL or SACL changed
    Other,        // any other class; infoType/infoClass tell which
};

// One audited operation, reported when its response is seen (or when the request expires or
// gives way, with status none). Fields not relevant to the kind stay at their defaults.
struct Event {
    EventKind kind = EventKind::Logon;
    std::optional<uint32_t> status;          // NT status of the response; none when no response was seen
    std::optional<CTimeStamp32> requestTime; // none when the request was not seen
    std::optional<CTimeStamp32> responseTime;
    uint16_t command = 0;
    uint64_t messageId = 0;
    uint64_t sessionId = 0;
    uint32_t treeId = 0;
    FileId fileId{};
    bool fromClient = true;                  // OnPipeData: direction of the payload
    const Session* session = nullptr;        // what the analyser knows; may be null
    const Tree* tree = nullptr;
    const Open* open = nullptr;

    // Logon
    uint16_t dialect = 0;
    const Negotiated* negotiated = nullptr;  // Logon: the connection's NEGOTIATE outcome
    bool signing = false;                    // signing required (logon) or the message was signed
    // Every event: the message travelled in a transform; decrypted when it was read.
    bool encrypted = false;
    bool decrypted = false;

    // Create, Rename (name = old name), List (name = directory), Delete, SetInfo
    std::u16string_view name;
    std::u16string_view newName;             // Rename
    uint32_t desiredAccess = 0;              // Create
    uint32_t shareAccess = 0;
    uint32_t disposition = 0;
    uint32_t createOptions = 0;
    uint32_t createAction = 0;               // Create response
    uint32_t attributes = 0;                 // Create, Close (post-query), SetInfo Basic
    uint64_t endOfFile = 0;                  // Create, Close (post-query), SetInfo EndOfFile/Allocation
    bool hasEndOfFile = false;

    // Read, Write
    uint64_t offset = 0;
    uint32_t length = 0;                     // requested (Read) or sent (Write)
    uint32_t dataLength = 0;                 // returned (Read) or written (Write response)

    // SetInfo
    SetInfoKind setInfoKind = SetInfoKind::None;
    uint8_t infoType = 0;
    uint8_t infoClass = 0;
    uint32_t additionalInformation = 0;      // Security: which parts changed

    // Copy: the event's FileId/open is the target
    FileId copySourceId{};
    const Open* copySource = nullptr;
    uint64_t copyBytes = 0;                  // bytes the server reports written (or requested)
    uint32_t copyChunks = 0;

    // List
    std::u16string_view pattern;
    uint8_t listInfoClass = 0;

    // Ioctl
    uint32_t ctlCode = 0;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual void OnEvent(const Event& ev) = 0;
    // A named-pipe payload (Read response, Write request, IOCTL FSCTL_PIPE_TRANSCEIVE input or
    // output). `data` holds its first min(totalLen, Limits::maxPipeDataBytes) bytes. Reads and
    // writes of pipes reach the sink only here, never as Read or Write events. A request's
    // payload comes before its response is seen (ev.status is then none).
    virtual void OnPipeData(const Event& ev, const uint8_t* data, size_t len, uint64_t totalLen) = 0;
    // File data as it streams past (READ response data, WRITE request data), chunk by chunk;
    // offset is the file offset of data[0].
    virtual void OnFileData(const Open& open, bool fromClient, uint64_t offset, const uint8_t* data, size_t len) {
        (void)open, (void)fromClient, (void)offset, (void)data, (void)len;
    }
};

// Sessions seen by all connections of a host, so that a further channel (SESSION_SETUP with
// the binding flag on another TCP connection) learns who the session belongs to. Thread-safe.
class SessionDirectory {
public:
    explicit SessionDirectory(size_t maxEntries = 65536) : m_maxEntries(maxEntries) {}
    void Publish(uint64_t sessionId, const Identity& identity);
    void Remove(uint64_t sessionId);
    bool Find(uint64_t sessionId, Identity& identity) const;

private:
    size_t m_maxEntries;
    mutable std::mutex m_mutex;
    std::unordered_map<uint64_t, Identity> m_entries;
};

class Connection {
public:
    Connection(Sink& sink, const Limits& limits);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The next bytes of one direction. `resync`: bytes were lost before these; the analyser
    // searches the stream for the next plausible message header.
    void Feed(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time, bool resync);
    // Drops requests that have waited longer than Limits::pendingTimeOutSeconds, reporting
    // their events with status none, and frees buffers of quiet directions. Destroying a
    // Connection reports nothing: a host that wants the unanswered requests of a closed
    // connection calls CheckTimeOut with a time far enough ahead first.
    void CheckTimeOut(const CTimeStamp32& now);
    // Bytes the connection holds: stream buffers and the tables.
    size_t BufferedBytes() const;
    const Counters& counters() const;
    const Negotiated& negotiated() const;

    void SetDecryptor(Decryptor* decryptor);
    void SetSessionDirectory(SessionDirectory* directory);

    struct Impl;  // the analyser's state; opaque to hosts

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace smbaudit::smb2
