// Which worker follows a connection. That the sharded packet path reports what one Sensor
// reports, connection by connection in order, is checked on every committed capture with 2
// workers (mapped file) and 4 (standard input: frames copied into the batches) by
// compare_expected.py.
#include "tools/smbaudit/workers.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace smbaudit {
namespace {

Endpoint Ep(uint8_t version, uint8_t last, uint16_t port) {
    Endpoint ep;
    ep.ip.version = version;
    ep.ip.bytes[0] = version == 4 ? 10 : 0xfd;
    ep.ip.bytes[version == 4 ? 3 : 15] = last;
    ep.port = port;
    return ep;
}

TEST(WorkerOf, BothDirectionsOfAConnectionGoToOneWorker) {
    const std::vector<std::pair<Endpoint, Endpoint>> flows = {
        {Ep(4, 1, 50000), Ep(4, 2, 445)}, {Ep(4, 2, 445), Ep(4, 2, 50001)}, {Ep(4, 9, 139), Ep(4, 9, 139)},
        {Ep(6, 1, 50000), Ep(6, 2, 445)}, {Ep(6, 7, 1), Ep(4, 7, 1)},
    };
    for (size_t workers : {1u, 2u, 3u, 8u}) {
        for (const auto& [a, b] : flows) {
            TcpSegment there, back;
            there.src = back.dst = a;
            there.dst = back.src = b;
            const size_t w = WorkerOf(there, workers);
            EXPECT_LT(w, workers);
            EXPECT_EQ(w, WorkerOf(back, workers)) << "port " << a.port << " -> " << b.port << ", " << workers;
        }
    }
}

}  // namespace
}  // namespace smbaudit
