// Handler scenarios of the SMB2 analyser and the router, fed as NetBIOS streams: bounds and
// corner cases. Compounds, interim responses and encrypted sessions without keys are pinned by
// the committed captures' expected records, decryption by tests/crypto/compare_twins.py.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "router/smb_stream.h"
#include "smb2/messages.h"
#include "support/harness.h"
#include "support/smb2_builder.h"

using namespace smbaudit::smb2;

namespace {

const char* const kKinds[] = {"logon", "logoff", "tree_connect", "tree_disconnect", "create", "close", "read", "write",
                              "set_info", "delete", "rename", "copy", "list", "encrypted", "ioctl"};

struct Recorder : Sink {
    std::vector<std::string> events;  // "kind status name"
    std::vector<std::string> pipes;   // "kind fromClient len/total"
    uint64_t fileBytes = 0, nextOffset = 0;
    bool contiguous = true;

    void OnEvent(const Event& e) override {
        events.push_back(std::string(kKinds[int(e.kind)]) + " " + (e.status ? std::to_string(*e.status) : "none") +
                         " " + Narrow(std::u16string(e.name)));
    }
    void OnPipeData(const Event& e, const uint8_t*, size_t len, uint64_t total) override {
        pipes.push_back(std::string(kKinds[int(e.kind)]) + " " + std::to_string(e.fromClient) + " " +
                        std::to_string(len) + "/" + std::to_string(total));
    }
    void OnFileData(const Open&, bool, uint64_t offset, const uint8_t*, size_t len) override {
        contiguous &= offset == nextOffset;
        nextOffset = offset + len;
        fileBytes += len;
    }
};

struct Fixture {
    explicit Fixture(Limits l = {}) : limits(l) {}
    Recorder sink;
    Limits limits;
    Connection conn{sink, limits};
    CTimeStamp32 now{100, 0};
    // Feeds a message (NetBIOS framed) in chunks of at most `chunk` bytes.
    void Feed(bool fromClient, const ByteVec& msg, size_t chunk = 1 << 20) {
        ByteVec framed = Nbt(msg);
        for (size_t i = 0; i < framed.size(); i += chunk)
            conn.Feed(fromClient, framed.data() + i, std::min(chunk, framed.size() - i), now, false);
    }
    // Opens file id `id` named `name` on tree `tid` (its tree connected first: pipe or disk).
    void Open(uint8_t id, const std::u16string& name, uint8_t shareType = kShareDisk, uint32_t options = 0) {
        Feed(true, Smb2(kTreeConnect).mid(1).sid(5).body(Bytes().u16(9).u16(0).u16(72).u16(4).utf16(u"\\s")).bytes());
        Feed(false, Smb2(kTreeConnect).response().mid(1).sid(5).tid(9)
                        .body(Bytes().u16(16).u8(shareType).u8(0).u32(0).u32(0).u32(0x1F01FF)).bytes());
        Feed(true, Smb2(kCreate).mid(2).sid(5).tid(9).body(CreateRequestBody(name, options)).bytes());
        Feed(false, Smb2(kCreate).response().mid(2).sid(5).tid(9).body(CreateResponseBody(id)).bytes());
    }
};

Bytes WriteBody(uint8_t id, uint64_t offset, const ByteVec& data) {
    return Bytes().u16(49).u16(112).u32(uint32_t(data.size())).u64(offset).raw(FileIdBytes(id)).u32(0).u32(0).u32(0)
        .u32(0).raw(data);
}
Bytes ReadResponseBody(const ByteVec& data) { return Bytes().u16(17).u8(80).u8(0).u32(uint32_t(data.size())).u64(0).raw(data); }

// A 1 MiB WRITE in 1448-byte segments: analysed at its header, data streamed past without
// being buffered; the event comes with the response.
TEST(Smb2Connection, StreamedWrite) {
    Fixture f;
    f.Open(0x31, u"big.bin");
    ByteVec data(1 << 20, 0x5A);
    ByteVec framed = Nbt(Smb2(kWrite).mid(6).sid(5).tid(9).body(WriteBody(0x31, 4096, data)).bytes());
    size_t most = 0;
    f.sink.nextOffset = 4096;
    for (size_t i = 0; i < framed.size(); i += 1448) {
        f.conn.Feed(true, framed.data() + i, std::min<size_t>(1448, framed.size() - i), f.now, false);
        most = std::max(most, f.conn.BufferedBytes());
    }
    EXPECT_EQ(f.sink.fileBytes, data.size());
    EXPECT_TRUE(f.sink.contiguous);
    EXPECT_LT(most, 16u * 1024);
    f.Feed(false, Smb2(kWrite).response().mid(6).sid(5).tid(9).body(Bytes().u16(17).u16(0).u32(1 << 20).u64(0)).bytes());
    EXPECT_EQ(f.sink.events.back(), "write 0 big.bin");
}

// Pipe payloads beyond the bound: the first bytes and the total (whole ones are in the
// captures); READ in small chunks, IOCTL transceive both ways; no read or write events for pipes.
TEST(Smb2Connection, PipePayloadsCutAtTheBound) {
    Limits limits;
    limits.maxPipeDataBytes = 10;
    Fixture f(limits);
    f.Open(0x41, u"srvsvc", kSharePipe);
    f.Feed(true, Smb2(kRead).mid(7).sid(5).tid(9)
                     .body(Bytes().u16(49).u8(0).u8(0).u32(1024).u64(0).raw(FileIdBytes(0x41)).fill(17)).bytes());
    f.Feed(false, Smb2(kRead).response().mid(7).sid(5).tid(9).body(ReadResponseBody(ByteVec(100, 1))).bytes(), 7);
    f.Feed(true, Smb2(kIoctl).mid(8).sid(5).tid(9).body(Bytes().u16(57).u16(0).u32(kFsctlPipeTransceive)
                     .raw(FileIdBytes(0x41)).u32(120).u32(30).u32(0).u32(0).u32(0).u32(1024).u32(1).u32(0).fill(30, 2)).bytes());
    f.Feed(false, Smb2(kIoctl).response().status(kStatusBufferOverflow).mid(8).sid(5).tid(9)
                      .body(Bytes().u16(49).u16(0).u32(kFsctlPipeTransceive).raw(FileIdBytes(0x41)).u32(112).u32(0)
                                .u32(112).u32(40).u32(0).u32(0).fill(40, 3)).bytes());
    EXPECT_EQ(f.sink.pipes, (std::vector<std::string>{"read 0 10/100", "ioctl 1 10/30", "ioctl 0 10/40"}));
    EXPECT_EQ(f.sink.events, (std::vector<std::string>{"tree_connect 0 \\s", "create 0 srvsvc"}));
}

// A message above Limits::maxMessageBytes is skipped whole, however it is cut, and the next
// one is read; an encrypted one as long is held whole and decrypted (up to
// Limits::maxTransformBytes), since servers encrypt whole 8 MiB reads and writes.
TEST(Smb2Connection, OversizeSkippedUnlessEncrypted) {
    struct Stub : Decryptor {  // "decrypts" by dropping the 52-byte transform header
        void OnPreauthMessage(uint64_t, bool, const uint8_t*, size_t) override {}
        void OnNegotiated(uint16_t, uint16_t, uint16_t) override {}
        void OnSessionSetup(uint64_t, bool, const uint8_t*, size_t, uint32_t) override {}
        bool Decrypt(const uint8_t* msg, size_t len, std::vector<uint8_t>& scratch, size_t& plainLen) override {
            scratch.assign(msg + 52, msg + len);
            plainLen = scratch.size();
            return true;
        }
    } stub;
    auto transform = [](const ByteVec& plain) { return Bytes().raw({0xFD, 'S', 'M', 'B'}).fill(48).raw(plain).vec(); };
    for (size_t chunk : {size_t(7), size_t(100), size_t(4096)}) {
        Limits limits;
        limits.maxMessageBytes = 256;
        limits.maxTransformBytes = 1024;
        Fixture f(limits);
        f.conn.SetDecryptor(&stub);
        const std::u16string longName(300, u'x');
        f.Feed(true, Smb2(kCreate).mid(1).sid(5).tid(9).body(CreateRequestBody(longName)).bytes(), chunk);
        f.Feed(true, Smb2(kCreate).mid(2).sid(5).tid(9).body(CreateRequestBody(u"y")).bytes(), chunk);
        f.Feed(false, Smb2(kCreate).response().mid(2).sid(5).tid(9).body(CreateResponseBody(2)).bytes(), chunk);
        f.Feed(true, transform(Smb2(kCreate).mid(3).sid(5).tid(9).body(CreateRequestBody(longName)).bytes()), chunk);
        f.Feed(false, transform(Smb2(kCreate).response().mid(3).sid(5).tid(9).body(CreateResponseBody(3)).bytes()), chunk);
        f.Feed(true, transform(Smb2(kCreate).mid(4).sid(5).tid(9).body(CreateRequestBody(longName + longName)).bytes()), chunk);
        const std::vector<std::string> want{"create 0 y", "create 0 " + Narrow(longName), "encrypted none "};
        EXPECT_EQ(f.sink.events, want) << chunk;  // the last transform is beyond the bound
        EXPECT_EQ(f.conn.counters().oversize, 1u);
        EXPECT_EQ(f.conn.counters().decrypted, 2u);
    }
}

}  // namespace
