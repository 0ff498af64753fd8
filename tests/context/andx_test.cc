// AndX chains that never end must end: self-pointing, backward and overlong chains.
#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

// LOCKING_ANDX has no handler; with pass-through on, a chain of them exercises the guard.
void PassThrough(Conn& c) {
    SMBContextOptions o;
    o.followUnhandledAndX = true;
    c.ctx.SetOptions(o);
}

Bytes LockingParams() { return Bytes().u16(1).u32(0).u16(0).u16(0); }

TEST(AndXGuard, SelfPointingAndBackwardChainsEnd) {
    Conn c;
    PassThrough(c);
    Smb self = Smb(0x24).params(LockingParams()).andx(0x24, LockingParams());
    self.andxOffset(0, 32);  // the first link points at itself
    EXPECT_EQ(c.Req(self.frame()), SMB_RET_OK);
    Smb backward = Smb(0x24).params(LockingParams()).andx(0x24, LockingParams()).andx(0x24, LockingParams());
    backward.andxOffset(1, 32);  // the second link points back at the first
    EXPECT_EQ(c.Req(backward.frame()), SMB_RET_OK);
}

TEST(AndXGuard, OverlongChainStopsAfterTheLimit) {
    Conn c;
    PassThrough(c);
    Smb chain = Smb(0x24).params(LockingParams());
    for (int i = 0; i < 40; ++i) chain.andx(0x24, LockingParams());
    chain.andx(0x03);  // an unknown command the guard never reaches
    EXPECT_EQ(c.Req(chain.frame()), SMB_RET_OK);
}

TEST(AndXPassThrough, OffByDefaultEndsTheChainAtTheUnhandledCommand) {
    Conn c;
    EXPECT_EQ(c.Req(Smb(0x24).params(LockingParams()).andx(0x03).frame()), SMB_RET_UNKNOWN_CMD);
    Conn p;
    PassThrough(p);
    EXPECT_EQ(p.Req(Smb(0x24).params(LockingParams()).andx(0x03).frame()), SMB_RET_UNKNOWN_CMD);
    EXPECT_EQ(p.Req(Smb(0x24).params(LockingParams()).andx(0x04, Bytes().u16(1).u32(0)).frame()),
              SMB_RET_FILE_CMD);
}

TEST(AndXPassThrough, OffsetPastTheMessageIsMalformed) {
    Conn c;
    PassThrough(c);
    Smb m = Smb(0x24).params(LockingParams()).andx(0x24, LockingParams());
    m.andxOffset(0, 0x4000);
    EXPECT_EQ(c.Req(m.frame()), SMB_RET_BAD_FORMAT);
}

}  // namespace
