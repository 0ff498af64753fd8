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

TEST(PendingTable, KeysKeepPidMidAndCommandApart) {
    EXPECT_NE(Key(1, 2, 0x2E), Key(1, 2, 0x04));
    EXPECT_NE(Key(1, 2, 0x2E), Key(2, 1, 0x2E));
    EXPECT_NE(Key(0x100, 0, 0), Key(0, 0x1, 0));
    EXPECT_NE(Key(0xFFFF, 0xFFFF, 0xFF), Key(0xFFFF, 0xFFFE, 0xFF));
}

TEST(PendingTable, SameKeyReplacesTheOlderRecord) {
    Conn c;
    const long live = ZELK::LiveAllocations();
    CSIClose* first = Pending(1);
    CSIClose* second = Pending(2);
    c.peer.PutSavedInfo(Key(1, 1, 4), first);
    c.peer.PutSavedInfo(Key(1, 1, 4), second);
    EXPECT_EQ(c.peer.saved().size(), 1u);
    EXPECT_EQ(ZELK::LiveAllocations(), live + 1);  // the older one was freed
    CSavedInfoBase* taken = c.peer.TakeSavedInfo(Key(1, 1, 4));
    EXPECT_EQ(taken, second);
    EXPECT_EQ(c.peer.TakeSavedInfo(Key(1, 1, 4)), nullptr);
    delete taken;
}

TEST(PendingTable, BoundDropsTheOldestRequest) {
    Conn c;
    SMBContextOptions o;
    o.maxPendingRequests = 3;
    c.ctx.SetOptions(o);
    // Filed in time order, but with keys in the reverse order, so that "oldest" cannot be
    // mistaken for "first in the map".
    for (uint16_t mid = 5; mid >= 1; --mid) c.peer.PutSavedInfo(Key(1, mid, 4), Pending(200 - mid));
    EXPECT_EQ(c.peer.saved().size(), 3u);
    EXPECT_EQ(c.ctx.Counters().pendingEvicted, 2u);
    EXPECT_EQ(c.peer.saved().count(Key(1, 5, 4)), 0u);
    EXPECT_EQ(c.peer.saved().count(Key(1, 4, 4)), 0u);
    EXPECT_EQ(c.peer.saved().count(Key(1, 1, 4)), 1u);
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

TEST(Expiry, OnlyTheOlderRecordGoes) {
    Conn c;
    c.ctx.SetPendingTimeOut(30);
    c.peer.PutSavedInfo(Key(1, 1, 4), Pending(100));
    c.peer.PutSavedInfo(Key(1, 2, 4), Pending(125));
    EXPECT_EQ(c.ctx.CheckTimeOut(CTimeStamp32(140, 0)), 0);
    EXPECT_EQ(c.peer.saved().size(), 1u);
    EXPECT_EQ(c.peer.saved().count(Key(1, 2, 4)), 1u);
    EXPECT_TRUE(c.sink.events.empty());
}

TEST(Expiry, ConfigurationGivenToInitHasNoEffect) {
    Conn c;
    CConfigTemplate cfg;
    cfg.m_timeOut = 1000;
    _addrInfo addr;
    addr.m_serverPort = 445;
    EXPECT_TRUE(c.ctx.Init(&c.sink, addr, &cfg));
    c.peer.PutSavedInfo(Key(1, 1, 4), Pending(100));
    c.ctx.CheckTimeOut(CTimeStamp32(100, 1));  // default time-out 0: anything older goes
    EXPECT_TRUE(c.peer.saved().empty());
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

TEST(Release, DisconnectingTheFirstTreeLeavesTheSecondListed) {
    Conn c;
    c.peer.AddConv(1);
    c.peer.AddTree(1, 10);
    _smbResrcTree* b = c.peer.AddTree(1, 11);
    EXPECT_EQ(c.peer.ReleaseResTree(10), 0);
    EXPECT_EQ(c.peer.convers()[1]->m_trees, (std::list<_smbResrcTree*>{b}));
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

TEST(Reconstruction, RebuildsConversationThenTreeAndAnnouncesBoth) {
    Conn c;
    c.peer.state().m_dialect = "NT LM 0.12";
    EXPECT_EQ(c.peer.ConstructFakeConv(0x800), 0);
    EXPECT_EQ(c.peer.ConstructFakeTreeRes(0x800, 0x801), 0);
    ASSERT_EQ(c.sink.events.size(), 2u);
    const RecordedEvent& logon = c.sink.events[0];
    EXPECT_EQ(logon.type, SMB_EVT_LOGON);
    EXPECT_EQ(logon.status, 0u);
    EXPECT_EQ(logon.uid, 0x800);
    EXPECT_EQ(logon.s("dialect"), "NT LM 0.12");
    EXPECT_EQ(logon.s("server_name"), "******");
    EXPECT_EQ(logon.s("user"), "******");
    EXPECT_EQ(logon.reqTime.m_sec, 0u);
    const RecordedEvent& tcon = c.sink.events[1];
    EXPECT_EQ(tcon.type, SMB_EVT_TREE_CONNECT);
    EXPECT_EQ(tcon.status, 0u);
    EXPECT_EQ(tcon.s("share"), "******");
    EXPECT_EQ(tcon.s("server"), "");
    EXPECT_EQ(tcon.n("tree_type"), SMB_TREE_UNKNOWN);
    EXPECT_EQ(tcon.uid, 0x800);
    EXPECT_EQ(c.peer.trees()[0x801]->m_pConvers, c.peer.convers()[0x800]);
}

TEST(Reconstruction, AllocationFailureChangesNothing) {
    Conn c;
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.peer.ConstructFakeConv(1), SMB_RET_NO_MEMORY);
    ZELK::FailNthAllocation(1);
    EXPECT_EQ(c.peer.ConstructFakeTreeRes(1, 2), SMB_RET_NO_MEMORY);
    EXPECT_TRUE(c.peer.convers().empty());
    EXPECT_TRUE(c.peer.trees().empty());
    EXPECT_TRUE(c.sink.events.empty());
}

}  // namespace
