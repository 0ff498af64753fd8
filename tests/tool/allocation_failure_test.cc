// Every allocation of the SMB1 analyser refused in turn, on the committed captures: whichever
// one fails, the run ends normally (the sanitizer build checks each for memory errors) and
// every block comes back once the connections are gone. What a failure costs depends on what
// was being allocated: a text buffer costs one field, a request's record its operation, the
// Negotiate's record every logon of the connection (the dialect is never learnt).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "framework/framework.h"
#include "tests/tool/packet_builder.h"
#include "tools/smbaudit/pcap_file.h"

namespace smbaudit {
namespace {

std::vector<std::string> Records(const ByteVec& file) {
    SensorRun run;
    PcapFileReader reader;
    EXPECT_TRUE(reader.Open(file.data(), file.size()));
    PcapFileReader::Frame frame;
    while (reader.Read(frame) == PcapFileReader::Next::Frame)
        run.sensor.Frame(LinkType(reader.LinkType()), CTimeStamp32(frame.sec, frame.usec), frame.bytes, frame.capLen);
    return run.Finish();
}

TEST(AllocationFailure, EachAllocationOfRealTrafficInTurn) {
    size_t swept = 0;
    for (const char* dir : {"captures", "public"}) {
        for (const auto& entry : std::filesystem::directory_iterator(std::string(SMBAUDIT_TEST_DATA) + "/" + dir)) {
            // The small ones: each allocation of a capture means one more run of it.
            if (entry.path().extension() != ".pcap" || entry.file_size() > 25000) continue;
            SCOPED_TRACE(entry.path().filename().string());
            std::ifstream in(entry.path(), std::ios::binary);
            const ByteVec file{std::istreambuf_iterator<char>(in), {}};
            const long live = ZELK::LiveAllocations();
            const size_t normal = Records(file).size();
            for (unsigned int n = 1;; ++n) {
                ZELK::FailNthAllocation(n);
                const std::vector<std::string> records = Records(file);
                const bool refused = ZELK::FailNthAllocation(0) == 0;
                ASSERT_EQ(ZELK::LiveAllocations(), live) << "allocation " << n;
                if (!refused) {
                    EXPECT_EQ(records.size(), normal);
                    swept += n - 1;
                    break;
                }
                EXPECT_LE(records.size(), normal + 2) << "allocation " << n;
            }
        }
    }
    EXPECT_GT(swept, 500u) << "allocations refused in all";
}

}  // namespace
}  // namespace smbaudit
