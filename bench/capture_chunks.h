// The TCP payload chunks of real captures, per connection and in stream order, as the
// sensor hands them to a context: decoded and reassembled once, at benchmark set-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Chunk {
    bool fromClient;
    bool resync;       // bytes were lost before it
    uint32_t sec, usec;
    size_t at, len;    // in the flow's bytes
};

struct Flow {
    bool directTcp = true;  // port 445 framing (else the NetBIOS session service)
    std::vector<uint8_t> bytes;
    std::vector<Chunk> chunks;
};

// Every SMB connection (server port 445 or 139) of the pcap or pcapng file at `path`.
// Throws std::runtime_error when the file cannot be read.
std::vector<Flow> LoadFlows(const std::string& path);

}  // namespace bench
