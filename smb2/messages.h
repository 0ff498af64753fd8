// Pure parsers of SMB2 request and response bodies.
//
// Each takes one SMB2 message (msg[0] is its 64-byte header, len bytes are readable) and
// returns the fields the audit needs, or a typed error: a malformed body never yields a
// half-filled struct. Variable parts (names, buffers) are returned as Spans into msg; offsets
// on the wire count from the header, so a Span is always checked against len.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "smb2/wire.h"

namespace smbaudit::smb2 {

enum class ParseError : uint8_t {
    None,
    Short,          // the fixed part does not fit
    StructureSize,  // the StructureSize field is not the command's
    Buffer,         // an offset/length pair points outside the message
};

template <class T>
struct Parsed {
    T msg{};
    ParseError error = ParseError::None;
    explicit operator bool() const { return error == ParseError::None; }
};

// Bytes [offset, offset + length) of the message.
struct Span {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// --- NEGOTIATE
struct NegotiateRequest {
    uint16_t securityMode = 0;
    uint32_t capabilities = 0;
    uint16_t dialectCount = 0;
    uint16_t maxDialect = 0;     // highest offered
};
struct NegotiateResponse {
    uint16_t securityMode = 0;   // 1 signing enabled, 2 signing required
    uint16_t dialect = 0;
    uint32_t capabilities = 0;
    Span securityBuffer;
    // 3.1.1 negotiate contexts (0 / 0xFFFF when absent)
    uint16_t preauthHash = 0;    // 1 SHA-512
    uint16_t cipher = 0;
    uint16_t signingAlgorithm = 0xFFFF;
    uint8_t compressionCount = 0;
    std::array<uint16_t, 4> compression{};
};
Parsed<NegotiateRequest> ParseNegotiateRequest(const uint8_t* msg, size_t len);
Parsed<NegotiateResponse> ParseNegotiateResponse(const uint8_t* msg, size_t len);

// --- SESSION_SETUP
struct SessionSetupRequest {
    uint8_t flags = 0;           // 1: binding
    uint8_t securityMode = 0;
    uint32_t capabilities = 0;
    uint64_t previousSessionId = 0;
    Span securityBuffer;
};
struct SessionSetupResponse {
    uint16_t sessionFlags = 0;   // 1 guest, 2 null, 4 encrypt data
    Span securityBuffer;
};
Parsed<SessionSetupRequest> ParseSessionSetupRequest(const uint8_t* msg, size_t len);
Parsed<SessionSetupResponse> ParseSessionSetupResponse(const uint8_t* msg, size_t len);

// --- bodies with nothing the audit needs but their StructureSize (LOGOFF, TREE_DISCONNECT,
// CANCEL: 4; SET_INFO response: 2; QUERY_DIRECTORY response: 9)
struct Empty {};
template <uint16_t Size>
Parsed<Empty> ParseEmpty(const uint8_t* msg, size_t len);

// --- TREE_CONNECT
struct TreeConnectRequest {
    uint16_t flags = 0;
    Span path;
};
struct TreeConnectResponse {
    uint8_t shareType = 0;
    uint32_t shareFlags = 0;
    uint32_t capabilities = 0;
    uint32_t maximalAccess = 0;
};
Parsed<TreeConnectRequest> ParseTreeConnectRequest(const uint8_t* msg, size_t len);
Parsed<TreeConnectResponse> ParseTreeConnectResponse(const uint8_t* msg, size_t len);

// --- CREATE and CLOSE
struct CreateRequest {
    uint8_t oplockLevel = 0;
    uint32_t desiredAccess = 0;
    uint32_t attributes = 0;
    uint32_t shareAccess = 0;
    uint32_t disposition = 0;
    uint32_t createOptions = 0;
    Span name;
};
struct CreateResponse {
    uint8_t oplockLevel = 0;
    uint32_t createAction = 0;
    uint64_t allocationSize = 0;
    uint64_t endOfFile = 0;
    uint32_t attributes = 0;
    FileId fileId{};
};
struct CloseRequest {
    uint16_t flags = 0;          // 1: post-query attributes
    FileId fileId{};
};
struct CloseResponse {
    uint16_t flags = 0;
    uint64_t endOfFile = 0;      // valid with flag 1
    uint32_t attributes = 0;
};
Parsed<CreateRequest> ParseCreateRequest(const uint8_t* msg, size_t len);
Parsed<CreateResponse> ParseCreateResponse(const uint8_t* msg, size_t len);
Parsed<CloseRequest> ParseCloseRequest(const uint8_t* msg, size_t len);
Parsed<CloseResponse> ParseCloseResponse(const uint8_t* msg, size_t len);

// --- READ and WRITE. Their data may lie beyond len (it streams): dataOffset and dataLength
// are returned as sent, checked only against each other, not against len.
constexpr size_t kReadResponseFixed = kHeaderSize + 16;
constexpr size_t kWriteRequestFixed = kHeaderSize + 48;
struct ReadRequest {
    uint32_t length = 0;
    uint64_t offset = 0;
    FileId fileId{};
    uint32_t minimumCount = 0;
};
struct ReadResponse {
    uint32_t dataOffset = 0;     // from the header; at least kReadResponseFixed when dataLength > 0
    uint32_t dataLength = 0;
    uint32_t dataRemaining = 0;
};
struct WriteRequest {
    uint32_t dataOffset = 0;     // from the header; at least kWriteRequestFixed when length > 0
    uint32_t length = 0;
    uint64_t offset = 0;
    FileId fileId{};
    uint32_t flags = 0;
};
struct WriteResponse {
    uint32_t count = 0;
};
Parsed<ReadRequest> ParseReadRequest(const uint8_t* msg, size_t len);
Parsed<ReadResponse> ParseReadResponse(const uint8_t* msg, size_t len);
Parsed<WriteRequest> ParseWriteRequest(const uint8_t* msg, size_t len);
Parsed<WriteResponse> ParseWriteResponse(const uint8_t* msg, size_t len);

// --- SET_INFO
enum : uint8_t { kInfoFile = 1, kInfoFileSystem = 2, kInfoSecurity = 3, kInfoQuota = 4 };
enum : uint8_t {
    kFileBasicInformation = 4,
    kFileRenameInformation = 10,
    kFileDispositionInformation = 13,
    kFileAllocationInformation = 19,
    kFileEndOfFileInformation = 20,
    kFileDispositionInformationEx = 64,
};
struct SetInfoRequest {
    uint8_t infoType = 0;
    uint8_t infoClass = 0;
    uint32_t additionalInformation = 0;
    FileId fileId{};
    Span buffer;
};
Parsed<SetInfoRequest> ParseSetInfoRequest(const uint8_t* msg, size_t len);

// What a SET_INFO buffer changes, read from SetInfoRequest::buffer by its type and class.
struct SetInfoChange {
    SetInfoKind kind = SetInfoKind::None;
    Span newName;                // Rename
    bool replaceIfExists = false;
    uint64_t size = 0;           // EndOfFile, Allocation
    uint32_t attributes = 0;     // Basic
};
Parsed<SetInfoChange> ParseSetInfoChange(const SetInfoRequest& req);


// --- IOCTL
enum : uint32_t {
    kFsctlPipeTransceive = 0x0011C017,
    kFsctlSrvRequestResumeKey = 0x00140078,
    kFsctlSrvCopyChunk = 0x001440F2,
    kFsctlSrvCopyChunkWrite = 0x001480F2,
};
struct IoctlRequest {
    uint32_t ctlCode = 0;
    FileId fileId{};
    uint32_t flags = 0;          // 1: FSCTL
    Span input;
};
struct IoctlResponse {
    uint32_t ctlCode = 0;
    FileId fileId{};
    Span output;
};
Parsed<IoctlRequest> ParseIoctlRequest(const uint8_t* msg, size_t len);
Parsed<IoctlResponse> ParseIoctlResponse(const uint8_t* msg, size_t len);

using ResumeKey = std::array<uint8_t, 24>;
// FSCTL_SRV_COPYCHUNK(_WRITE) input: source resume key, chunk count, and the bytes asked.
struct CopyChunkRequest {
    ResumeKey sourceKey{};
    uint32_t chunkCount = 0;
    uint64_t totalLength = 0;
};
// Its output: what the server reports as written.
struct CopyChunkResponse {
    uint32_t chunksWritten = 0;
    uint32_t chunkBytesWritten = 0;
    uint32_t totalBytesWritten = 0;
};
Parsed<CopyChunkRequest> ParseCopyChunkRequest(Span input);
Parsed<CopyChunkResponse> ParseCopyChunkResponse(Span output);
// FSCTL_SRV_REQUEST_RESUME_KEY output: the key that names the open in later copy requests.
Parsed<ResumeKey> ParseResumeKeyResponse(Span output);

// --- QUERY_DIRECTORY
struct QueryDirectoryRequest {
    uint8_t infoClass = 0;
    uint8_t flags = 0;
    FileId fileId{};
    Span pattern;
};
Parsed<QueryDirectoryRequest> ParseQueryDirectoryRequest(const uint8_t* msg, size_t len);

// --- OPLOCK_BREAK notification or acknowledgment (oplock: 24 bytes, lease: 44 bytes)
struct OplockBreak {
    bool lease = false;
    FileId fileId{};             // oplock breaks
};
Parsed<OplockBreak> ParseOplockBreak(const uint8_t* msg, size_t len);

// --- ERROR response body (StructureSize 9). A response with a status other than success
// carries one instead of its normal body, unless the server still sent the normal body:
// MORE_PROCESSING_REQUIRED legs of SESSION_SETUP, BUFFER_OVERFLOW answers of READ, IOCTL
// or QUERY_INFO, and IOCTL failures that report limits (copy chunk). The StructureSize tells.
struct ErrorResponse {
    uint8_t contextCount = 0;
    uint32_t byteCount = 0;
};
Parsed<ErrorResponse> ParseErrorResponse(const uint8_t* msg, size_t len);
bool CarriesErrorBody(const Header& h, const uint8_t* msg, size_t len);

}  // namespace smbaudit::smb2
