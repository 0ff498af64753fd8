// Internal state of one SMB2 connection, shared by the framing (connection.cc), the dispatch
// (dispatch.cc) and the command handlers (one file per family). Not installed for hosts.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "smb2/analyzer.h"
#include "smb2/messages.h"

namespace smbaudit::smb2 {

// One SMB2 message (a single element of a compound chain) being handled.
struct Message {
    Header h;
    const uint8_t* msg = nullptr;  // the element, from its header
    size_t len = 0;
    CTimeStamp32 time;
    bool fromClient = true;
    bool encrypted = false;
    bool decrypted = false;
    bool streamed = false;         // only the fixed part is here; READ/WRITE data follows in the stream
};

// A request waiting for its response, with what its response handler needs from it.
struct Pending {
    uint16_t command = 0;
    uint64_t messageId = 0;
    uint64_t sessionId = 0;
    uint32_t treeId = 0;
    FileId fileId{};
    std::optional<CTimeStamp32> time;  // none: the request was not seen
    bool encrypted = false;
    bool decrypted = false;
    bool malformed = false;            // the request body did not parse

    std::u16string name;               // CREATE name, TREE_CONNECT path, rename target, search pattern
    uint32_t desiredAccess = 0;
    uint32_t shareAccess = 0;
    uint32_t disposition = 0;
    uint32_t createOptions = 0;
    uint32_t attributes = 0;
    uint64_t offset = 0;               // READ, WRITE
    uint32_t length = 0;
    uint16_t flags = 0;                // SESSION_SETUP flags, CLOSE flags, QUERY_DIRECTORY flags
    SetInfoChange change;              // SET_INFO (newName cleared: the name is in `name`)
    uint8_t infoType = 0;
    uint8_t infoClass = 0;
    uint32_t additionalInformation = 0;
    uint32_t ctlCode = 0;              // IOCTL
    CopyChunkRequest copy;
    Identity identity;                 // SESSION_SETUP: from the request's security token
};

// The data of a READ response or WRITE request and where it goes, while it passes.
struct DataStream {
    bool active = false;
    bool pipe = false;
    uint64_t begin = 0, end = 0;   // positions in the message, from its SMB2 header
    uint64_t fileOffset = 0;       // of the byte at `begin`
    Event ev;                      // what OnPipeData reports (pointers and name set at the end)
    const Open* open = nullptr;    // file data: the open, valid while opensErased is openStamp
    uint64_t openStamp = 0;
    std::vector<uint8_t> pipeData; // a pipe payload's first Limits::maxPipeDataBytes bytes
    uint64_t total = 0;
};

struct Connection::Impl {
    Impl(Sink& s, const Limits& l) : sink(s), limits(l) {}

    // --- framing (connection.cc)
    enum class Phase : uint8_t { Lost, NetBios, Body, Skip, Stream };
    enum class Plan : uint8_t { Whole, Streamed, Oversize, TransformHeader, Decrypt, Compressed, NotSmb };
    struct Direction {
        std::vector<uint8_t> buf;  // bytes of the current NetBIOS header or message kept across chunks
        // A decrypted transform's plain text. While a direction carries large encrypted
        // messages, buf and plain keep their capacity from one to the next (released when
        // the direction idles), so that each message is not new memory to fault in.
        std::vector<uint8_t> plain;
        Phase phase = Phase::NetBios;
        Plan plan = Plan::Whole;
        uint32_t msgLen = 0;       // of the current message, NetBIOS header excluded
        uint32_t pos = 0;          // message bytes already handled (Skip, Stream)
        DataStream data;
        CTimeStamp32 last;
    };
    void FeedDirection(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time);
    size_t Decide(const uint8_t* p, size_t have, Direction& d);
    void Act(bool fromClient, const uint8_t* p, size_t n, const CTimeStamp32& time);
    void DeliverData(Direction& d, const uint8_t* p, size_t n, uint64_t pos);
    void EndData(Direction& d);
    void Reset();

    // --- dispatch (dispatch.cc)
    void AnalyseMessage(const uint8_t* msg, size_t len, const CTimeStamp32& time, bool fromClient, bool encrypted,
                        bool decrypted, bool streamed);
    // A transform message of msgLen bytes of which len are at msg: decrypted when the whole
    // message is there and the decryptor can, else counted and reported once per session.
    void OnTransform(const uint8_t* msg, size_t len, size_t msgLen, const CTimeStamp32& time, bool fromClient);
    void Expire(Pending& p);

    // --- state and events
    Session* FindSession(uint64_t id);
    Session& GetSession(uint64_t id, const CTimeStamp32& time);
    Tree* FindTree(uint64_t sessionId, uint32_t treeId);
    Open* FindOpen(const FileId& id);
    template <class Map, class Key>
    typename Map::mapped_type& Insert(Map& map, const Key& key, size_t limit);
    void EraseOpen(const FileId& id);
    bool IsPipe(const Open* open, const Tree* tree) const;
    // A name from the wire (UTF-16LE), cut at Limits::maxNameBytes.
    std::u16string Name(Span s);
    // An event of `kind` for the request p and its response m (null: none seen), with the
    // tables' records attached.
    Event MakeEvent(EventKind kind, const Pending& p, const Message* m);
    void Emit(Event& ev);
    // Starts the data window of the READ response or WRITE request being handled.
    void BeginData(const Message& m, const Pending& p, const Event& ev, uint64_t offset, uint64_t length);
    // FileId of a request inside a related compound chain (all ones: the chain's).
    FileId ChainFileId(const FileId& id, bool fromClient);

    Sink& sink;
    Limits limits;
    Counters counters;
    Decryptor* decryptor = nullptr;
    SessionDirectory* directory = nullptr;

    Negotiated negotiated;
    std::unordered_map<uint64_t, Session> sessions;
    std::map<std::pair<uint64_t, uint32_t>, Tree> trees;
    std::map<FileId, Open> opens;
    std::map<ResumeKey, FileId> resumeKeys;
    std::map<uint64_t, Pending> pending;
    uint64_t opensErased = 0;      // changes whenever an open goes: cached Open pointers are stale
    Direction dirs[2];             // [0] server to client, [1] client to server

    // Inherited values of the related chain being handled.
    struct Chain {
        uint64_t sessionId = 0;
        uint32_t treeId = 0;
        FileId fileId{};
    } chain[2];
};

// Handler entry points, one family per file; dispatch.cc binds them to commands.
void OnNegotiateRequest(Connection::Impl& c, const Message& m, const NegotiateRequest& req, Pending& p);
void OnNegotiateResponse(Connection::Impl& c, const Message* m, const NegotiateResponse* rsp, Pending& p);
void OnSessionSetupRequest(Connection::Impl& c, const Message& m, const SessionSetupRequest& req, Pending& p);
void OnSessionSetupResponse(Connection::Impl& c, const Message* m, const SessionSetupResponse* rsp, Pending& p);
void OnLogoffRequest(Connection::Impl& c, const Message& m, const Empty& req, Pending& p);
void OnLogoffResponse(Connection::Impl& c, const Message* m, const Empty* rsp, Pending& p);
void OnTreeConnectRequest(Connection::Impl& c, const Message& m, const TreeConnectRequest& req, Pending& p);
void OnTreeConnectResponse(Connection::Impl& c, const Message* m, const TreeConnectResponse* rsp, Pending& p);
void OnTreeDisconnectRequest(Connection::Impl& c, const Message& m, const Empty& req, Pending& p);
void OnTreeDisconnectResponse(Connection::Impl& c, const Message* m, const Empty* rsp, Pending& p);
void OnCreateRequest(Connection::Impl& c, const Message& m, const CreateRequest& req, Pending& p);
void OnCreateResponse(Connection::Impl& c, const Message* m, const CreateResponse* rsp, Pending& p);
void OnCloseRequest(Connection::Impl& c, const Message& m, const CloseRequest& req, Pending& p);
void OnCloseResponse(Connection::Impl& c, const Message* m, const CloseResponse* rsp, Pending& p);
void OnReadRequest(Connection::Impl& c, const Message& m, const ReadRequest& req, Pending& p);
void OnReadResponse(Connection::Impl& c, const Message* m, const ReadResponse* rsp, Pending& p);
void OnWriteRequest(Connection::Impl& c, const Message& m, const WriteRequest& req, Pending& p);
void OnWriteResponse(Connection::Impl& c, const Message* m, const WriteResponse* rsp, Pending& p);
void OnSetInfoRequest(Connection::Impl& c, const Message& m, const SetInfoRequest& req, Pending& p);
void OnSetInfoResponse(Connection::Impl& c, const Message* m, const Empty* rsp, Pending& p);
void OnIoctlRequest(Connection::Impl& c, const Message& m, const IoctlRequest& req, Pending& p);
void OnIoctlResponse(Connection::Impl& c, const Message* m, const IoctlResponse* rsp, Pending& p);
void OnQueryDirectoryRequest(Connection::Impl& c, const Message& m, const QueryDirectoryRequest& req, Pending& p);
void OnQueryDirectoryResponse(Connection::Impl& c, const Message* m, const Empty* rsp, Pending& p);
void OnOplockBreakRequest(Connection::Impl& c, const Message& m, const OplockBreak& req, Pending& p);
void OnCancelRequest(Connection::Impl& c, const Message& m, const Empty& req, Pending& p);

}  // namespace smbaudit::smb2
