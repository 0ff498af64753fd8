// The sensor's RPC and notice stages over a run of pipe payloads, as the SMB analysers hand
// them over: DCE/RPC fragments in any cut, on two pipes, in both directions.
//
// Input layout: repeated chunks of a flag byte (bit 0 response, bit 1 second pipe, bit 2
// close the pipe, bit 3 a logon failure record instead), a 16-bit payload length and the
// payload. Checks are the sanitizers' and the stages' own bounds.
#include <cstdio>

#include "fuzz_input.h"
#include "tools/smbaudit/dcerpc/rpc_stage.h"
#include "tools/smbaudit/notices/notice_stage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace smbaudit;
    static std::FILE* sink = std::fopen("/dev/null", "w");
    FileOutput output(sink);
    RecordWriter writer(output);
    Stats stats;
    RecordPipeline pipeline(writer, stats);
    RpcStage rpc;
    NoticeConfig config;
    config.failures = 2;
    NoticeStage notices(config);
    pipeline.AddStage(rpc);
    pipeline.AddStage(notices);
    RecordOrigin origin{"10.0.0.5:50000", "10.0.0.1:445", {}, true};
    FuzzInput in(data, size);
    uint32_t second = 0;
    while (in.Left() > 0) {
        uint8_t flags = in.U8();
        uint16_t len = in.U16();
        size_t got = 0;
        const uint8_t* p = in.Take(len, got);
        ExactCopy payload(p, got);
        AuditRecord r;
        r.origin = &origin;
        r.time.m_sec = ++second;
        r.fid = flags & 2 ? 2 : 1;
        r.kind = flags & 8 ? RecordKind::Logon : flags & 4 ? RecordKind::Close : RecordKind::Rpc;
        r.status = 0xc000006d;
        r.direction = flags & 1 ? "response" : "request";
        r.data = payload.data();
        r.dataAvailable = got;
        r.dataLen = len;
        pipeline.Emit(r);
    }
    return 0;
}
