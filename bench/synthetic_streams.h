// Synthetic SMB1 traffic for the benchmarks that need sizes or counts the real captures do
// not have: large reads and writes, many connections, thousands of pending requests.
// Messages are built with the tests' frame builder and cut into TCP segments.
#pragma once

#include <cstdint>

#include "bench/capture_chunks.h"
#include "support/frame_builder.h"

namespace bench {

constexpr size_t kSegment = 1448;  // TCP payload of a 1500-byte Ethernet MTU with time stamps
constexpr uint16_t kUid = 0x0800;
constexpr uint16_t kTid = 0x0801;

// Appends `frame` to the flow in segments of at most `segment` bytes.
void AddMessage(Flow& flow, bool fromClient, const ByteVec& frame, size_t segment = kSegment);

// The messages, with the UID and TID above.
ByteVec NtCreateReq(uint16_t mid, const std::u16string& name);
ByteVec NtCreateRsp(uint16_t mid, uint16_t fid);
ByteVec ReadAndXReq(uint16_t mid, uint16_t fid, uint32_t offset, uint32_t count);
ByteVec ReadAndXRsp(uint16_t mid, const ByteVec& data);
ByteVec WriteAndXReq(uint16_t mid, uint16_t fid, uint32_t offset, const ByteVec& data);
ByteVec WriteAndXRsp(uint16_t mid, uint32_t count);

// File data of `n` bytes (a repeating pattern).
ByteVec Pattern(size_t n);

}  // namespace bench
