// Command-line parsing.
#include "tools/smbaudit/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace smbaudit {
namespace {

bool Parse(std::vector<const char*> args, Options& o, std::string& error) {
    args.insert(args.begin(), "smbaudit");
    return ParseOptions(int(args.size()), args.data(), o, error);
}

TEST(Options, TolerancesOnUnlessStrictAndDoubleDashEndsOptions) {
    Options o, strict, dashed;
    std::string error;
    ASSERT_TRUE(Parse({"a.pcap", "-", "b.pcapng"}, o, error)) << error;
    EXPECT_EQ(o.captures, (std::vector<std::string>{"a.pcap", "-", "b.pcapng"}));
    EXPECT_TRUE(o.sensor.connection.contextOptions.acceptStandardNtCreateRsp);
    EXPECT_TRUE(o.sensor.connection.contextOptions.followUnhandledAndX);
    EXPECT_TRUE(o.sensor.connection.contextOptions.largeReadWrite);
    EXPECT_TRUE(o.sensor.connection.contextOptions.followUnreadLogons);
    EXPECT_EQ(o.filter, kDefaultFilter);
    EXPECT_EQ(o.sensor.serverPorts.size(), 2u);

    ASSERT_TRUE(Parse({"--strict", "x.pcap"}, strict, error)) << error;
    EXPECT_FALSE(strict.sensor.connection.contextOptions.acceptStandardNtCreateRsp);
    EXPECT_FALSE(strict.sensor.connection.contextOptions.followUnhandledAndX);
    EXPECT_FALSE(strict.sensor.connection.contextOptions.largeReadWrite);
    EXPECT_FALSE(strict.sensor.connection.contextOptions.followUnreadLogons);

    ASSERT_TRUE(Parse({"--", "--strict"}, dashed, error)) << error;
    EXPECT_EQ(dashed.captures, std::vector<std::string>{"--strict"});
    EXPECT_TRUE(dashed.sensor.connection.contextOptions.followUnhandledAndX);
}

TEST(Options, ValuesInBothSpellings) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--pending-timeout=5", "--idle-timeout", "7", "--max-message-bytes=0", "--max-pending", "3",
                       "--max-reorder-bytes=99", "-w", "out.jsonl", "-s", "--no-progress", "--smb-keys", "k",
                       "--ntlm-credentials=c", "--keytab", "t", "x.pcap"},
                      o, error))
        << error;
    EXPECT_EQ(o.sensor.connection.pendingTimeout, 5u);
    EXPECT_EQ(o.sensor.idleTimeout, 7u);
    EXPECT_EQ(o.sensor.connection.contextOptions.maxMessageBytes, 0u);
    EXPECT_EQ(o.sensor.connection.contextOptions.maxPendingRequests, 3u);
    EXPECT_EQ(o.sensor.connection.reassembly.maxHeldBytes, 99u);
    EXPECT_EQ(o.outputPath, "out.jsonl");
    EXPECT_TRUE(o.stats);
    EXPECT_FALSE(o.progress);
    EXPECT_EQ(o.decryption.smbKeys + o.decryption.ntlmCredentials + o.decryption.keytab, "kct");
}

TEST(Options, PortsAddFramingAndExtendTheLiveFilter) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"-i", "eth0", "--ports", "1139,4450/direct,445,1139/netbios"}, o, error)) << error;
    ASSERT_EQ(o.sensor.serverPorts.size(), 4u);
    EXPECT_EQ(o.sensor.serverPorts[2].port, 1139);
    EXPECT_FALSE(o.sensor.serverPorts[2].directTcp);
    EXPECT_EQ(o.sensor.serverPorts[3].port, 4450);
    EXPECT_TRUE(o.sensor.serverPorts[3].directTcp);
    EXPECT_EQ(o.filter, std::string(kDefaultFilter) + " or tcp port 1139 or tcp port 4450");
}

TEST(Options, UsageErrorsAreRefusedWithAMessage) {
    const std::vector<std::vector<const char*>> bad = {
        {},                                   // no input
        {"-i", "eth0", "x.pcap"},             // both inputs
        {"-f", "tcp", "x.pcap"},              // filter without live capture
        {"--bogus", "x.pcap"},
        {"--pending-timeout", "x.pcap"},      // not a number
        {"--pending-timeout=-1", "x.pcap"},
        {"--max-pending=4294967296", "x.pcap"},
        {"--idle-timeout"},                   // missing value
        {"--ports", "0", "x.pcap"},
        {"--ports", "70000", "x.pcap"},
        {"--ports", "1139/raw", "x.pcap"},
        {"--stats=yes", "x.pcap"},
        {"--file-events", "some", "x.pcap"},
        {"--extract-dir", "d", "--no-hashes", "x.pcap"},  // extraction names files by their hash
        {"--extract-quota", "9", "x.pcap"},               // extraction limits without extraction
    };
    for (const auto& args : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(args, o, error)) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(error.empty());
    }
}

// A notices file: settings over the defaults, or an error naming the file and the line.
TEST(Options, NoticesFile) {
    struct Case {
        const char* text;
        const char* error;  // null: accepted
    } cases[] = {
        {"admin_share = on\nfailures = 0\n", ":2: failures: a whole number from 1 to 1000"},
        {"smb1_in_use = maybe\n", ":1: smb1_in_use: 'on' or 'off'"},
        {"failures 5\n", ":1: expected key = value"},
        {"\n\nwindow = 5\n", ":3: unknown key 'window'"},
        {"# office\nsmb1_in_use = off\nfailures=10 # more\n\nchange_window = 30\n", nullptr},
    };
    for (const Case& c : cases) {
        std::string path = testing::TempDir() + "notices.conf";
        std::FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(c.text, f);
        std::fclose(f);
        Options o;
        std::string error;
        EXPECT_EQ(Parse({"--notices", path.c_str(), "x.pcap"}, o, error), c.error == nullptr) << c.text;
        if (c.error) {
            EXPECT_EQ(error.find(path + c.error), 0u) << error;
        }
    }
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--notices", (testing::TempDir() + "notices.conf").c_str(), "--no-notices", "x.pcap"}, o, error));
    EXPECT_FALSE(o.sensor.notices.AnyOn());  // over the last file, which was accepted
    ASSERT_FALSE(Parse({"--notices", "/nonexistent/notices.conf", "x.pcap"}, o, error));
    EXPECT_EQ(error, "/nonexistent/notices.conf: cannot be read");
}

}  // namespace
}  // namespace smbaudit
