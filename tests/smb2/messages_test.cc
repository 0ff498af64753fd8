// The SMB2 body parsers on raw bytes: what each reads from a well-formed body, and the
// typed error of a short body, a wrong StructureSize or a buffer outside the message.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "smb2/messages.h"
#include "support/smb2_builder.h"

using namespace smbaudit::smb2;

namespace {

std::string Err(ParseError e) { return "error " + std::to_string(int(e)); }
template <class T, class F>
std::string Show(const Parsed<T>& p, F fields) { return p ? fields(p.msg) : Err(p.error); }
std::string N(uint64_t v) { return std::to_string(v); }

struct Row {
    const char* name;
    ByteVec msg;
    std::function<std::string(const ByteVec&)> parse;
    std::string expected;
};

auto Create = [](const ByteVec& m) {
    return Show(ParseCreateRequest(m.data(), m.size()), [](const CreateRequest& r) {
        return N(r.desiredAccess) + " " + N(r.disposition) + " " + N(r.createOptions) + " " + N(r.name.size);
    });
};
auto Read = [](const ByteVec& m) {
    return Show(ParseReadResponse(m.data(), m.size()),
                [](const ReadResponse& r) { return N(r.dataOffset) + " " + N(r.dataLength); });
};
auto SetInfo = [](const ByteVec& m) {
    auto req = ParseSetInfoRequest(m.data(), m.size());
    if (!req) return Err(req.error);
    return Show(ParseSetInfoChange(req.msg), [](const SetInfoChange& c) {
        return N(int(c.kind)) + " " + N(c.size) + " " + N(c.newName.size);
    });
};
auto Negotiate = [](const ByteVec& m) {
    return Show(ParseNegotiateResponse(m.data(), m.size()), [](const NegotiateResponse& r) {
        return N(r.dialect) + " cipher " + N(r.cipher) + " sign " + N(r.signingAlgorithm) + " comp " +
               N(r.compressionCount) + " " + N(r.compression[0]);
    });
};
auto Copy = [](const ByteVec& m) {
    auto req = ParseIoctlRequest(m.data(), m.size());
    if (!req) return Err(req.error);
    return Show(ParseCopyChunkRequest(req.msg.input),
                [](const CopyChunkRequest& c) { return N(c.chunkCount) + " " + N(c.totalLength); });
};
auto Tree = [](const ByteVec& m) {
    return Show(ParseTreeConnectRequest(m.data(), m.size()), [](const TreeConnectRequest& r) { return N(r.path.size); });
};

ByteVec Msg(uint16_t cmd, const Bytes& body, bool response = false) {
    Smb2 s(cmd);
    if (response) s.response();
    return s.body(body).bytes();
}

Bytes SetInfoBody(uint8_t type, uint8_t cls, const Bytes& buffer, uint32_t lengthOverride = 0) {
    return Bytes().u16(33).u8(type).u8(cls).u32(lengthOverride ? lengthOverride : uint32_t(buffer.size())).u16(96)
        .u16(0).u32(0).raw(FileIdBytes(1)).raw(buffer);
}

Bytes IoctlBody(uint32_t code, const Bytes& input) {
    return Bytes().u16(57).u16(0).u32(code).raw(FileIdBytes(1)).u32(120).u32(uint32_t(input.size())).u32(0).u32(0)
        .u32(0).u32(0).u32(1).u32(0).raw(input);
}

Bytes NegotiateBody(const Bytes& contexts, uint16_t count) {
    // 64-byte fixed part, then contexts at header offset 128.
    return Bytes().u16(65).u16(1).u16(0x311).u16(count).fill(16).u32(0).u32(0).u32(0).u32(0).u64(0).u64(0)
        .u16(0).u16(0).u32(128).raw(contexts);
}

const Row kRows[] = {
    {"create", Msg(kCreate, CreateRequestBody(u"dir\\a.txt", 0x1000, 0x110080)), Create, "1114240 1 4096 18"},
    {"create short", Msg(kCreate, Bytes().u16(57).fill(20)), Create, Err(ParseError::Short)},
    {"create wrong size", Msg(kCreate, Bytes().u16(56).fill(60)), Create, Err(ParseError::StructureSize)},
    {"create name past end", Msg(kCreate, Bytes().u16(57).fill(42).u16(120).u16(400).fill(10)), Create,
     Err(ParseError::Buffer)},
    {"read response", Msg(kRead, Bytes().u16(17).u8(80).u8(0).u32(5).u32(0).u32(0).str("hello"), true), Read, "80 5"},
    // The data of a streamed READ lies beyond the bytes at hand: only its offset is checked.
    {"read response streaming", Msg(kRead, Bytes().u16(17).u8(80).u8(0).u32(1 << 20).u32(0).u32(0), true), Read,
     "80 1048576"},
    {"read data inside header", Msg(kRead, Bytes().u16(17).u8(16).u8(0).u32(5).u32(0).u32(0), true), Read,
     Err(ParseError::Buffer)},
    {"rename", Msg(kSetInfo, SetInfoBody(1, 10, Bytes().u8(1).fill(7).u64(0).u32(6).utf16(u"new"))), SetInfo, "1 0 6"},
    {"rename name past buffer", Msg(kSetInfo, SetInfoBody(1, 10, Bytes().u8(1).fill(7).u64(0).u32(60).utf16(u"new"))),
     SetInfo, Err(ParseError::Buffer)},
    {"disposition delete", Msg(kSetInfo, SetInfoBody(1, 13, Bytes().u8(1))), SetInfo, "2 0 0"},
    {"disposition ex keep", Msg(kSetInfo, SetInfoBody(1, 64, Bytes().u32(2))), SetInfo, "3 0 0"},
    {"end of file", Msg(kSetInfo, SetInfoBody(1, 20, Bytes().u64(4096))), SetInfo, "4 4096 0"},
    {"end of file short", Msg(kSetInfo, SetInfoBody(1, 20, Bytes().u32(1))), SetInfo, Err(ParseError::Buffer)},
    {"security", Msg(kSetInfo, SetInfoBody(3, 0, Bytes().fill(20))), SetInfo, "7 0 0"},
    {"set_info buffer past end", Msg(kSetInfo, SetInfoBody(1, 20, Bytes().u64(1), 5000)), SetInfo,
     Err(ParseError::Buffer)},
    {"negotiate 3.1.1 contexts",
     Msg(kNegotiate,
         NegotiateBody(Bytes().u16(2).u16(4).u32(0).u16(1).u16(2).fill(4)  // ciphers: AES-128-GCM
                           .u16(3).u16(10).u32(0).u16(1).u16(0).u32(0).u16(2).fill(6)  // compression: LZ77
                           .u16(8).u16(4).u32(0).u16(1).u16(2),  // signing: AES-GMAC
                       3),
         true),
     Negotiate, "785 cipher 2 sign 2 comp 1 2"},
    {"negotiate context past end", Msg(kNegotiate, NegotiateBody(Bytes().u16(2).u16(400).u32(0).u16(1), 1), true),
     Negotiate, "785 cipher 0 sign 65535 comp 0 0"},
    {"copychunk", Msg(kIoctl, IoctlBody(kFsctlSrvCopyChunk, Bytes().fill(24, 7).u32(2).u32(0)
                                                                .u64(0).u64(0).u32(100).u32(0).u64(0).u64(0).u32(28).u32(0))),
     Copy, "2 128"},
    {"copychunk count beyond input", Msg(kIoctl, IoctlBody(kFsctlSrvCopyChunk, Bytes().fill(24, 7).u32(1000).u32(0))),
     Copy, Err(ParseError::Buffer)},
    {"tree connect", Msg(kTreeConnect, Bytes().u16(9).u16(0).u16(72).u16(8).utf16(u"\\\\s\\")), Tree, "8"},
    {"tree connect odd short", Msg(kTreeConnect, Bytes().u16(9).u16(0).u16(72)), Tree, Err(ParseError::Short)},
};

class Smb2Messages : public ::testing::TestWithParam<Row> {};

TEST_P(Smb2Messages, Parse) {
    const Row& row = GetParam();
    EXPECT_EQ(row.parse(row.msg), row.expected);
    // A body cut anywhere never reads past the cut (the sanitizers watch) and never succeeds
    // with more than the cut holds.
    for (size_t cut = 0; cut < row.msg.size(); ++cut) row.parse(ByteVec(row.msg.begin(), row.msg.begin() + cut));
}

INSTANTIATE_TEST_SUITE_P(Rows, Smb2Messages, ::testing::ValuesIn(kRows),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

// Which responses carry the ERROR body instead of their own.
TEST(Smb2Messages, ErrorBody) {
    struct Case { uint16_t cmd; uint32_t status; Bytes body; bool error; } cases[] = {
        {kCreate, 0xC0000034, Smb2Error(), true},
        {kSessionSetup, kStatusMoreProcessing, Bytes().u16(9).u16(0).u16(72).u16(0).u8(0), false},
        {kSessionSetup, 0xC000006D, Smb2Error(), true},
        {kIoctl, kStatusBufferOverflow, IoctlBody(kFsctlPipeTransceive, Bytes()), false},
        {kQueryDirectory, 0x80000006, Smb2Error(), true},
        {kRead, 0, Bytes().u16(17).fill(15), false},
    };
    for (const Case& c : cases) {
        ByteVec m = Smb2(c.cmd).response().status(c.status).body(c.body).bytes();
        Header h;
        ASSERT_TRUE(ParseHeader(m.data(), m.size(), h));
        EXPECT_EQ(CarriesErrorBody(h, m.data(), m.size()), c.error) << c.cmd;
    }
}

}  // namespace
