// The RPC and notice stages on pipe payloads Samba cannot produce (it has no atsvc, task
// scheduler or drsuapi pipe): remote_task and replication_request, and the svcctl calls in
// fragments and split payloads. The recorded captures cover the rest (tests/data/expected).
#include <gtest/gtest.h>

#include "support/frame_builder.h"
#include "tools/smbaudit/dcerpc/rpc_stage.h"
#include "tools/smbaudit/notices/notice_stage.h"

namespace smbaudit {
namespace {

// One bind to `uuid` (context 0), then `stub` as request call 2 cut into `fragments`.
std::vector<Bytes> Calls(const ByteVec& uuid, uint16_t opnum, const Bytes& stub, size_t fragments) {
    std::vector<Bytes> pdus(1);
    pdus[0].raw({5, 0, 11, 3, 0x10, 0, 0, 0}).u16(72).u16(0).u32(1).fill(8).u8(1).fill(3).u16(0).u8(1).u8(0);
    pdus[0].raw(uuid).fill(4).fill(20);
    size_t step = (stub.size() + fragments - 1) / fragments;
    for (size_t at = 0; at < stub.size(); at += step) {
        size_t n = std::min(step, stub.size() - at);
        uint8_t flags = (at == 0 ? kPfcFirstFrag : 0) | (at + n == stub.size() ? kPfcLastFrag : 0);
        Bytes& p = pdus.emplace_back();
        p.raw({5, 0, 0, flags, 0x10, 0, 0, 0}).u16(uint16_t(24 + n)).u16(0).u32(2).u32(0).u16(0).u16(opnum);
        p.raw(ByteVec(stub.vec().begin() + at, stub.vec().begin() + at + n));
    }
    return pdus;
}

Bytes& Str(Bytes& b, const std::u16string& s) {  // NDR conformant varying string, aligned
    b.u32(s.size() + 1).u32(0).u32(s.size() + 1).utf16z(s);
    return b.fill((4 - b.size() % 4) % 4);
}

TEST(RpcNotices, RequestsRaiseTheirNotice) {
    const ByteVec svcctl = {0x81, 0xbb, 0x7a, 0x36, 0x44, 0x98, 0xf1, 0x35, 0xad, 0x32, 0x98, 0xf0, 0x38, 0x00, 0x10, 0x03};
    const ByteVec atsvc = {0x82, 0x06, 0xf7, 0x1f, 0x51, 0x0a, 0xe8, 0x30, 0x07, 0x6d, 0x74, 0x0b, 0xe8, 0xce, 0xe9, 0x8b};
    const ByteVec tsch = {0x49, 0x59, 0xd3, 0x86, 0xc9, 0x83, 0x44, 0x40, 0xb4, 0x24, 0xdb, 0x36, 0x32, 0x31, 0xfd, 0x0c};
    const ByteVec drs = {0x35, 0x42, 0x51, 0xe3, 0x06, 0x4b, 0xd1, 0x11, 0xab, 0x04, 0x00, 0xc0, 0x4f, 0xc2, 0xdc, 0xd2};
    Bytes create, job, task, none;
    Str(create.fill(20), u"evilsvc").u32(0).u32(0xf01ff).u32(16).u32(3).u32(0);
    Str(create, u"cmd.exe /c calc").fill(40);
    Str(job.u32(0x20000), u"\\\\srv").u32(0).u32(0).u8(0).u8(0).fill(2).u32(0x20004);
    Str(job, u"cmd /c whoami");
    Str(task.u32(0x20000), u"\\Evil");
    struct Case {
        const ByteVec& uuid;
        uint16_t opnum;
        const Bytes& stub;
        size_t fragments, split;  // request fragments; payloads each PDU is cut into
        const char* notice;       // expected, or null
        const char* text;         // in the notice's msg
    } cases[] = {
        {svcctl, 12, create, 1, 1, "remote_service", "binary 'cmd.exe /c calc'"},
        {svcctl, 12, create, 3, 2, "remote_service", "service 'evilsvc'"},
        {svcctl, 15, none.fill(12), 1, 1, nullptr, nullptr},  // ROpenSCManagerW
        {atsvc, 0, job, 2, 1, "remote_task", "command 'cmd /c whoami'"},
        {tsch, 1, task, 1, 3, "remote_task", "Evil'"},
        {drs, 3, none, 1, 1, "replication_request", "DRSGetNCChanges"},
        {drs, 0, none, 1, 1, nullptr, nullptr},  // DRSBind
    };
    for (const Case& c : cases) {
        char* text = nullptr;
        size_t size = 0;
        std::FILE* out = open_memstream(&text, &size);
        {
        FileOutput output(out);
        RecordWriter writer(output);
        Stats stats;
        RecordPipeline pipeline(writer, stats);
        RpcStage rpc;
        NoticeStage notices{NoticeConfig{}};
        pipeline.AddStage(rpc);
        pipeline.AddStage(notices);
        RecordOrigin origin{"10.0.0.5:50000", "10.0.0.1:445", {}, true};
        for (const Bytes& pdu : Calls(c.uuid, c.opnum, c.stub, c.fragments)) {
            size_t step = (pdu.size() + c.split - 1) / c.split;
            for (size_t at = 0; at < pdu.size(); at += step) {
                AuditRecord r;
                r.kind = RecordKind::Rpc;
                r.origin = &origin;
                r.fid = 7;
                r.direction = "request";
                r.data = pdu.vec().data() + at;
                r.dataAvailable = std::min(step, pdu.size() - at);
                r.dataLen = r.dataAvailable;
                pipeline.Emit(r);
            }
        }
        }  // the writer hands its records to the stream
        std::fclose(out);
        std::string lines(text, size);
        std::free(text);
        SCOPED_TRACE(lines);
        EXPECT_EQ(lines.find("\"event\":\"notice\"") != std::string::npos, c.notice != nullptr);
        if (c.notice) {
            EXPECT_NE(lines.find(std::string("\"notice\":\"") + c.notice + "\""), std::string::npos);
            EXPECT_NE(lines.find(c.text), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace smbaudit
