// Session records, the pending request table, releases, expiry and teardown.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "support/harness.h"

namespace {

// A host object that counts how often it is told its record went away.
struct CountingMO : CSMBMO {
    explicit CountingMO(int* counter) : calls(counter) {}
    void OnDestroy() override { ++*calls; }
    int* calls;
};

TEST(HostObjects, ReplacingCallsOnDestroyOnTheOldOneOnce) {
    int a = 0, b = 0;
    CountingMO moA(&a), moB(&b);
    {
        _smbFileObj file;
        file.Set(&moA);
        file.Set(&moB);
        EXPECT_EQ(a, 1);
        EXPECT_EQ(file.Get(), &moB);
        file.Set(&moB);  // the same object again: told once, still attached
        EXPECT_EQ(b, 1);
        EXPECT_EQ(file.Get(), &moB);
    }
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);  // destroying the record tells the attached object, never deletes it
}

CSIClose* Pending(uint32_t sec) { return new CSIClose(CTimeStamp32(sec, 0)); }

uint64_t Key(uint16_t pid, uint16_t mid, uint8_t cmd) {
    CPktContext c;
    c.m_pid = pid;
    c.m_mid = mid;
    c.m_cmd = cmd;
    return MakeSavedInfoKey(&c);
}

TEST(PendingTable, BoundAlwaysDropsTheOldestThroughTakesReusesAndExpiry) {
    // A long mixed run against a plain model of the table: whatever was taken, replaced or
    // expired before, the request that gives way is the one with the earliest time, the
    // lowest key among requests of the same time.
    Conn c;
    SMBContextOptions o;
    o.maxPendingRequests = 8;
    c.ctx.SetOptions(o);
    c.ctx.SetPendingTimeOut(40);
    std::map<uint64_t, uint32_t> model;  // key -> request time
    std::mt19937 rng(7);
    uint32_t now = 1000;
    for (int step = 0; step < 20000; ++step) {
        const uint64_t key = Key(1, uint16_t(rng() % 24), 4);
        const unsigned action = rng() % 10;
        if (action < 6) {
            now += rng() % 3;  // often the same second: ties
            const uint32_t time = now - rng() % 20;  // not always in order
            if (!model.count(key) && model.size() >= 8) {
                auto oldest = model.begin();
                for (auto i = model.begin(); i != model.end(); ++i)
                    if (i->second < oldest->second) oldest = i;
                model.erase(oldest);
            }
            model[key] = time;
            c.peer.PutSavedInfo(key, Pending(time));
        } else if (action < 9) {
            delete c.peer.TakeSavedInfo(key);
            model.erase(key);
        } else {
            c.ctx.CheckTimeOut(CTimeStamp32(now, 0));
            std::erase_if(model, [&](const auto& e) { return now > e.second && now - e.second > 40; });
        }
        std::map<uint64_t, uint32_t> actual;
        for (const auto& [k, rec] : c.peer.saved()) actual[k] = rec->m_time.m_sec;
        ASSERT_EQ(actual, model) << "step " << step;
    }
}

TEST(Release, TreeWithThreeFilesFreesThemAll) {
    Conn c;
    c.peer.AddConv(1);
    _smbResrcTree* t = c.peer.AddTree(1, 10);
    for (uint16_t fid : {100, 101, 102}) c.peer.AddFile(10, fid);
    c.peer.AddFile(10, 103);
    EXPECT_EQ(c.peer.ReleaseFileObj(103), 0);
    EXPECT_EQ(t->m_files.size(), 3u);
    EXPECT_EQ(c.peer.ReleaseResTree(10), 0);
    EXPECT_TRUE(c.peer.files().empty());
    EXPECT_TRUE(c.peer.trees().empty());
    EXPECT_TRUE(c.peer.convers()[1]->m_trees.empty());
    EXPECT_EQ(c.peer.ReleaseFileObj(100), SMB_RET_NO_OBJECT);
    EXPECT_EQ(c.peer.ReleaseResTree(10), SMB_RET_NO_OBJECT);
}

TEST(Release, ConversationOrphansItsTrees) {
    Conn c;
    c.peer.AddConv(1);
    _smbResrcTree* a = c.peer.AddTree(1, 10);
    _smbResrcTree* b = c.peer.AddTree(1, 11);
    EXPECT_EQ(c.peer.convers()[1]->m_trees, (std::list<_smbResrcTree*>{a, b}));
    EXPECT_EQ(c.peer.ReleaseConver(1), 0);
    EXPECT_EQ(a->m_pConvers, nullptr);
    EXPECT_EQ(b->m_pConvers, nullptr);
    EXPECT_EQ(c.peer.ReleaseResTree(10), SMB_RET_NO_LINK);
    EXPECT_EQ(c.peer.trees().size(), 2u);
    EXPECT_EQ(c.peer.ReleaseConver(1), SMB_RET_NO_OBJECT);
}

TEST(Release, NewTreeOverAnOrphanFreesTheOrphanAndItsFiles) {
    Conn c;
    const long live = ZELK::LiveAllocations();
    c.peer.AddConv(1);
    c.peer.AddTree(1, 10);
    c.peer.AddFile(10, 100);
    c.peer.ReleaseConver(1);
    c.peer.AddConv(2);
    _smbResrcTree* fresh = c.peer.AddTree(2, 10);
    EXPECT_EQ(c.peer.trees()[10], fresh);
    EXPECT_TRUE(c.peer.files().empty());
    EXPECT_EQ(ZELK::LiveAllocations(), live + 2);  // the new conversation and tree only
}

TEST(Teardown, TellsEveryHostObjectOnceAndEmitsNothing) {
    int calls = 0;
    CountingMO conv(&calls), tree(&calls), file(&calls);
    const long live = ZELK::LiveAllocations();
    {
        Conn c;
        c.peer.AddConv(1)->Set(&conv);
        c.peer.AddTree(1, 10)->Set(&tree);
        c.peer.AddFile(10, 100)->Set(&file);
        c.peer.PutSavedInfo(Key(1, 1, 4), Pending(1));
        c.peer.convers()[1]->m_pLogon = new CSILogon(CTimeStamp32(1, 0));
        c.peer.ReleaseConver(7);  // unknown: nothing happens
        EXPECT_GT(ZELK::LiveAllocations(), live);
        c.ctx.~CSMBContext();
        new (&c.ctx) CSMBContext();
        EXPECT_TRUE(c.sink.events.empty());
        EXPECT_TRUE(c.sink.rpcs.empty());
    }
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(ZELK::LiveAllocations(), live);
}

}  // namespace
