// Captured TCP payloads kept as test data: one segment per line, `C` (client to server) or
// `S` (server to client), a space, the payload in hex; lines starting with `#` are comments.
// Made with: tshark -r FILE -Y 'tcp.len>0' -T fields -e tcp.srcport -e tcp.payload
#pragma once

#include <string>
#include <vector>

#include "support/harness.h"

struct Segment {
    bool fromClient;
    ByteVec payload;
};

// Reads SMBAUDIT_TEST_DATA/<relPath>; empty when the file cannot be read.
std::vector<Segment> LoadSegments(const std::string& relPath);

// Feeds the segments in order, the n-th at capture time (n, 0) counting from 1.
void ReplaySegments(Conn& c, const std::vector<Segment>& segs);
