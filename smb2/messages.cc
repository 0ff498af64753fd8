#include "smb2/messages.h"

#include <algorithm>
#include <cstring>

#include "framework/byte_reader.h"

namespace smbaudit::smb2 {

namespace {

// The body starts right after the header; B(n) is body offset n as a message offset.
constexpr size_t B(size_t n) { return kHeaderSize + n; }

template <class T>
Parsed<T> Fail(ParseError e) {
    Parsed<T> r;
    r.error = e;
    return r;
}

// Checks the StructureSize and that the fixed part (structureSize rounded down to even: an
// odd size announces a variable buffer of which one byte may be counted) is in the message.
ParseError CheckFixed(ByteReader& r, uint16_t structureSize) {
    if (!r.Has(B(0), 2)) return ParseError::Short;
    if (r.U16(B(0)) != structureSize) return ParseError::StructureSize;
    if (!r.Has(B(0), structureSize & ~1u)) return ParseError::Short;
    return ParseError::None;
}

// An offset/length pair: empty when the length is 0, else it must lie inside the message.
bool ReadSpan(ByteReader& r, size_t offset, size_t length, Span& span) {
    span = {};
    if (length == 0) return true;
    const uint8_t* p = r.Bytes(offset, length);
    if (!p) return false;
    span = {p, length};
    return true;
}

FileId FileIdAt(ByteReader& r, size_t offset) {
    const uint8_t* p = r.Bytes(offset, 16);
    return p ? ReadFileId(p) : FileId{};
}

// Runs the parse body `fill(r, out)` after the fixed-part check; fill returns false when a
// variable part is out of bounds.
template <class T, class Fill>
Parsed<T> ParseBody(const uint8_t* msg, size_t len, uint16_t structureSize, Fill fill) {
    ByteReader r(msg, len);
    if (ParseError e = CheckFixed(r, structureSize); e != ParseError::None) return Fail<T>(e);
    Parsed<T> p;
    if (!fill(r, p.msg)) return Fail<T>(ParseError::Buffer);
    if (!r.ok()) return Fail<T>(ParseError::Short);
    return p;
}

// The 3.1.1 negotiate contexts of a NEGOTIATE response: 8-byte aligned, each
// {type u16, length u16, reserved u32, data}.
void ReadNegotiateContexts(ByteReader& r, size_t offset, uint16_t count, NegotiateResponse& out) {
    for (uint16_t i = 0; i < count && r.Has(offset, 8); ++i) {
        uint16_t type = r.U16(offset);
        uint16_t dataLen = r.U16(offset + 2);
        size_t data = offset + 8;
        if (!r.Has(data, dataLen)) return;
        ByteReader d(r.data() + data, dataLen);
        switch (type) {
            case 1:  // preauth integrity: count, salt length, algorithms
                if (d.U16(0) > 0) out.preauthHash = d.U16(4);
                break;
            case 2:  // encryption: count, ciphers (the server names the one chosen)
                if (d.U16(0) > 0) out.cipher = d.U16(2);
                break;
            case 3: {  // compression: count, padding, flags, algorithms
                size_t n = std::min<size_t>(d.U16(0), out.compression.size());
                for (size_t k = 0; k < n && d.Has(8 + 2 * k, 2); ++k) out.compression[out.compressionCount++] = d.U16(8 + 2 * k);
                break;
            }
            case 8:  // signing: count, algorithms
                if (d.U16(0) > 0) out.signingAlgorithm = d.U16(2);
                break;
            default: break;
        }
        offset = (data + dataLen + 7) & ~size_t(7);
    }
}

}  // namespace

bool ParseHeader(const uint8_t* msg, size_t len, Header& h) {
    ByteReader r(msg, len);
    if (!r.Has(0, kHeaderSize) || msg[0] != 0xFE || msg[1] != 'S' || msg[2] != 'M' || msg[3] != 'B') return false;
    if (r.U16(4) != kHeaderSize) return false;
    h.creditCharge = r.U16(6);
    h.status = r.U32(8);
    h.command = r.U16(12);
    h.credits = r.U16(14);
    h.flags = r.U32(16);
    h.nextCommand = r.U32(20);
    h.messageId = r.U64(24);
    if (h.flags & kFlagAsync) {
        h.asyncId = r.U64(32);
        h.treeId = 0;
    } else {
        h.asyncId = 0;
        h.treeId = r.U32(36);
    }
    h.sessionId = r.U64(40);
    return true;
}

bool ParseTransformHeader(const uint8_t* msg, size_t len, TransformHeader& t) {
    ByteReader r(msg, len);
    if (!r.Has(0, kTransformHeaderSize)) return false;
    t.originalSize = r.U32(36);
    t.flags = r.U16(42);
    t.sessionId = r.U64(44);
    return true;
}

FileId ReadFileId(const uint8_t* p) {
    FileId id;
    std::memcpy(id.data(), p, id.size());
    return id;
}

bool IsAllOnes(const FileId& id) {
    return std::all_of(id.begin(), id.end(), [](uint8_t b) { return b == 0xFF; });
}

Parsed<NegotiateRequest> ParseNegotiateRequest(const uint8_t* msg, size_t len) {
    return ParseBody<NegotiateRequest>(msg, len, 36, [](ByteReader& r, NegotiateRequest& m) {
        m.dialectCount = r.U16(B(2));
        m.securityMode = r.U16(B(4));
        m.capabilities = r.U32(B(8));
        if (!r.Has(B(36), size_t(m.dialectCount) * 2)) return false;
        for (size_t i = 0; i < m.dialectCount; ++i) m.maxDialect = std::max(m.maxDialect, r.U16(B(36) + 2 * i));
        return true;
    });
}

Parsed<NegotiateResponse> ParseNegotiateResponse(const uint8_t* msg, size_t len) {
    return ParseBody<NegotiateResponse>(msg, len, 65, [](ByteReader& r, NegotiateResponse& m) {
        m.securityMode = r.U16(B(2));
        m.dialect = r.U16(B(4));
        uint16_t contextCount = r.U16(B(6));
        m.capabilities = r.U32(B(24));
        if (!ReadSpan(r, r.U16(B(56)), r.U16(B(58)), m.securityBuffer)) return false;
        if (m.dialect == 0x0311) ReadNegotiateContexts(r, r.U32(B(60)), contextCount, m);
        return true;
    });
}

Parsed<SessionSetupRequest> ParseSessionSetupRequest(const uint8_t* msg, size_t len) {
    return ParseBody<SessionSetupRequest>(msg, len, 25, [](ByteReader& r, SessionSetupRequest& m) {
        m.flags = r.U8(B(2));
        m.securityMode = r.U8(B(3));
        m.capabilities = r.U32(B(4));
        m.previousSessionId = r.U64(B(16));
        return ReadSpan(r, r.U16(B(12)), r.U16(B(14)), m.securityBuffer);
    });
}

Parsed<SessionSetupResponse> ParseSessionSetupResponse(const uint8_t* msg, size_t len) {
    return ParseBody<SessionSetupResponse>(msg, len, 9, [](ByteReader& r, SessionSetupResponse& m) {
        m.sessionFlags = r.U16(B(2));
        return ReadSpan(r, r.U16(B(4)), r.U16(B(6)), m.securityBuffer);
    });
}

template <uint16_t Size>
Parsed<Empty> ParseEmpty(const uint8_t* msg, size_t len) {
    return ParseBody<Empty>(msg, len, Size, [](ByteReader&, Empty&) { return true; });
}
template Parsed<Empty> ParseEmpty<2>(const uint8_t*, size_t);
template Parsed<Empty> ParseEmpty<4>(const uint8_t*, size_t);
template Parsed<Empty> ParseEmpty<9>(const uint8_t*, size_t);

Parsed<TreeConnectRequest> ParseTreeConnectRequest(const uint8_t* msg, size_t len) {
    // With the 3.1.1 extension flag the path moves behind the extension's fixed part, but
    // PathOffset still counts from the header, so it is read the same way.
    return ParseBody<TreeConnectRequest>(msg, len, 9, [](ByteReader& r, TreeConnectRequest& m) {
        m.flags = r.U16(B(2));
        return ReadSpan(r, r.U16(B(4)), r.U16(B(6)), m.path);
    });
}

Parsed<TreeConnectResponse> ParseTreeConnectResponse(const uint8_t* msg, size_t len) {
    return ParseBody<TreeConnectResponse>(msg, len, 16, [](ByteReader& r, TreeConnectResponse& m) {
        m.shareType = r.U8(B(2));
        m.shareFlags = r.U32(B(4));
        m.capabilities = r.U32(B(8));
        m.maximalAccess = r.U32(B(12));
        return true;
    });
}

Parsed<CreateRequest> ParseCreateRequest(const uint8_t* msg, size_t len) {
    return ParseBody<CreateRequest>(msg, len, 57, [](ByteReader& r, CreateRequest& m) {
        m.oplockLevel = r.U8(B(3));
        m.desiredAccess = r.U32(B(24));
        m.attributes = r.U32(B(28));
        m.shareAccess = r.U32(B(32));
        m.disposition = r.U32(B(36));
        m.createOptions = r.U32(B(40));
        return ReadSpan(r, r.U16(B(44)), r.U16(B(46)), m.name);
    });
}

Parsed<CreateResponse> ParseCreateResponse(const uint8_t* msg, size_t len) {
    return ParseBody<CreateResponse>(msg, len, 89, [](ByteReader& r, CreateResponse& m) {
        m.oplockLevel = r.U8(B(2));
        m.createAction = r.U32(B(4));
        m.allocationSize = r.U64(B(40));
        m.endOfFile = r.U64(B(48));
        m.attributes = r.U32(B(56));
        m.fileId = FileIdAt(r, B(64));
        return true;
    });
}

Parsed<CloseRequest> ParseCloseRequest(const uint8_t* msg, size_t len) {
    return ParseBody<CloseRequest>(msg, len, 24, [](ByteReader& r, CloseRequest& m) {
        m.flags = r.U16(B(2));
        m.fileId = FileIdAt(r, B(8));
        return true;
    });
}

Parsed<CloseResponse> ParseCloseResponse(const uint8_t* msg, size_t len) {
    return ParseBody<CloseResponse>(msg, len, 60, [](ByteReader& r, CloseResponse& m) {
        m.flags = r.U16(B(2));
        m.endOfFile = r.U64(B(48));
        m.attributes = r.U32(B(56));
        return true;
    });
}

Parsed<ReadRequest> ParseReadRequest(const uint8_t* msg, size_t len) {
    return ParseBody<ReadRequest>(msg, len, 49, [](ByteReader& r, ReadRequest& m) {
        m.length = r.U32(B(4));
        m.offset = r.U64(B(8));
        m.fileId = FileIdAt(r, B(16));
        m.minimumCount = r.U32(B(32));
        return true;
    });
}

Parsed<ReadResponse> ParseReadResponse(const uint8_t* msg, size_t len) {
    return ParseBody<ReadResponse>(msg, len, 17, [](ByteReader& r, ReadResponse& m) {
        m.dataOffset = r.U8(B(2));
        m.dataLength = r.U32(B(4));
        m.dataRemaining = r.U32(B(8));
        return m.dataLength == 0 || m.dataOffset >= kReadResponseFixed;
    });
}

Parsed<WriteRequest> ParseWriteRequest(const uint8_t* msg, size_t len) {
    return ParseBody<WriteRequest>(msg, len, 49, [](ByteReader& r, WriteRequest& m) {
        m.dataOffset = r.U16(B(2));
        m.length = r.U32(B(4));
        m.offset = r.U64(B(8));
        m.fileId = FileIdAt(r, B(16));
        m.flags = r.U32(B(44));
        return m.length == 0 || m.dataOffset >= kWriteRequestFixed;
    });
}

Parsed<WriteResponse> ParseWriteResponse(const uint8_t* msg, size_t len) {
    return ParseBody<WriteResponse>(msg, len, 17, [](ByteReader& r, WriteResponse& m) {
        m.count = r.U32(B(4));
        return true;
    });
}

Parsed<SetInfoRequest> ParseSetInfoRequest(const uint8_t* msg, size_t len) {
    return ParseBody<SetInfoRequest>(msg, len, 33, [](ByteReader& r, SetInfoRequest& m) {
        m.infoType = r.U8(B(2));
        m.infoClass = r.U8(B(3));
        m.additionalInformation = r.U32(B(12));
        m.fileId = FileIdAt(r, B(16));
        return ReadSpan(r, r.U16(B(8)), r.U32(B(4)), m.buffer);
    });
}

Parsed<SetInfoChange> ParseSetInfoChange(const SetInfoRequest& req) {
    Parsed<SetInfoChange> p;
    SetInfoChange& c = p.msg;
    ByteReader r(req.buffer.data, req.buffer.size);
    if (req.infoType == kInfoSecurity) {
        c.kind = SetInfoKind::Security;
        return p;
    }
    if (req.infoType != kInfoFile) {
        c.kind = SetInfoKind::Other;
        return p;
    }
    switch (req.infoClass) {
        case kFileRenameInformation: {
            // ReplaceIfExists u8, 7 reserved, RootDirectory u64, FileNameLength u32, FileName
            c.kind = SetInfoKind::Rename;
            c.replaceIfExists = r.U8(0) != 0;
            uint32_t nameLen = r.U32(16);
            if (!r.ok() || !ReadSpan(r, 20, nameLen, c.newName)) return Fail<SetInfoChange>(ParseError::Buffer);
            return p;
        }
        case kFileDispositionInformation:
            c.kind = r.U8(0) ? SetInfoKind::Delete : SetInfoKind::Undelete;
            break;
        case kFileDispositionInformationEx:
            c.kind = (r.U32(0) & 1) ? SetInfoKind::Delete : SetInfoKind::Undelete;
            break;
        case kFileEndOfFileInformation:
            c.kind = SetInfoKind::EndOfFile;
            c.size = r.U64(0);
            break;
        case kFileAllocationInformation:
            c.kind = SetInfoKind::Allocation;
            c.size = r.U64(0);
            break;
        case kFileBasicInformation:  // four times, then the attributes
            c.kind = SetInfoKind::Basic;
            c.attributes = r.U32(32);
            break;
        default: c.kind = SetInfoKind::Other; return p;
    }
    if (!r.ok()) return Fail<SetInfoChange>(ParseError::Buffer);
    return p;
}

Parsed<IoctlRequest> ParseIoctlRequest(const uint8_t* msg, size_t len) {
    return ParseBody<IoctlRequest>(msg, len, 57, [](ByteReader& r, IoctlRequest& m) {
        m.ctlCode = r.U32(B(4));
        m.fileId = FileIdAt(r, B(8));
        m.flags = r.U32(B(48));
        return ReadSpan(r, r.U32(B(24)), r.U32(B(28)), m.input);
    });
}

Parsed<IoctlResponse> ParseIoctlResponse(const uint8_t* msg, size_t len) {
    return ParseBody<IoctlResponse>(msg, len, 49, [](ByteReader& r, IoctlResponse& m) {
        m.ctlCode = r.U32(B(4));
        m.fileId = FileIdAt(r, B(8));
        return ReadSpan(r, r.U32(B(32)), r.U32(B(36)), m.output);
    });
}

Parsed<CopyChunkRequest> ParseCopyChunkRequest(Span input) {
    // SourceKey (24), ChunkCount u32, Reserved u32, then 24-byte chunks
    // {SourceOffset u64, TargetOffset u64, Length u32, Reserved u32}.
    ByteReader r(input.data, input.size);
    Parsed<CopyChunkRequest> p;
    const uint8_t* key = r.Bytes(0, 24);
    p.msg.chunkCount = r.U32(24);
    if (!r.ok() || !r.Has(32, size_t(p.msg.chunkCount) * 24)) return Fail<CopyChunkRequest>(ParseError::Buffer);
    std::memcpy(p.msg.sourceKey.data(), key, 24);
    for (size_t i = 0; i < p.msg.chunkCount; ++i) p.msg.totalLength += r.U32(32 + 24 * i + 16);
    return p;
}

Parsed<CopyChunkResponse> ParseCopyChunkResponse(Span output) {
    ByteReader r(output.data, output.size);
    Parsed<CopyChunkResponse> p;
    p.msg.chunksWritten = r.U32(0);
    p.msg.chunkBytesWritten = r.U32(4);
    p.msg.totalBytesWritten = r.U32(8);
    if (!r.ok()) return Fail<CopyChunkResponse>(ParseError::Short);
    return p;
}

Parsed<ResumeKey> ParseResumeKeyResponse(Span output) {
    ByteReader r(output.data, output.size);
    const uint8_t* key = r.Bytes(0, 24);
    if (!key) return Fail<ResumeKey>(ParseError::Short);
    Parsed<ResumeKey> p;
    std::memcpy(p.msg.data(), key, 24);
    return p;
}

Parsed<QueryDirectoryRequest> ParseQueryDirectoryRequest(const uint8_t* msg, size_t len) {
    return ParseBody<QueryDirectoryRequest>(msg, len, 33, [](ByteReader& r, QueryDirectoryRequest& m) {
        m.infoClass = r.U8(B(2));
        m.flags = r.U8(B(3));
        m.fileId = FileIdAt(r, B(8));
        return ReadSpan(r, r.U16(B(24)), r.U16(B(26)), m.pattern);
    });
}

Parsed<OplockBreak> ParseOplockBreak(const uint8_t* msg, size_t len) {
    ByteReader r(msg, len);
    uint16_t size = r.U16(B(0));
    if (size == 44 && r.Has(B(0), 44)) {
        Parsed<OplockBreak> p;
        p.msg.lease = true;
        return p;
    }
    return ParseBody<OplockBreak>(msg, len, 24, [](ByteReader& body, OplockBreak& m) {
        m.fileId = FileIdAt(body, B(8));
        return true;
    });
}

Parsed<ErrorResponse> ParseErrorResponse(const uint8_t* msg, size_t len) {
    return ParseBody<ErrorResponse>(msg, len, 9, [](ByteReader& r, ErrorResponse& m) {
        m.contextCount = r.U8(B(2));
        m.byteCount = r.U32(B(4));
        return true;
    });
}

bool CarriesErrorBody(const Header& h, const uint8_t* msg, size_t len) {
    if (h.status == kStatusSuccess) return false;
    if (h.command == kSessionSetup && h.status == kStatusMoreProcessing) return false;
    if (h.command == kQueryDirectory && h.status == kStatusBufferOverflow) return false;
    // Commands whose own response is not 9 bytes tell by their StructureSize.
    ByteReader r(msg, len);
    return r.U16(B(0)) == 9 || !r.ok();
}

}  // namespace smbaudit::smb2
