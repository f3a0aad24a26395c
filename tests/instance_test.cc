// instance_test.cc - instance slots and the network entry points.
#include "testutil.h"

using namespace pmdbtest;

TEST_F(DbTest, InstancesAreTakenLowestFirstAndReused) {
    for (int k = 0; k < 10; k++) EXPECT_EQ(fsinit(nullptr), k);
    EXPECT_EQ(fsinit("server"), -1);
    EXPECT_EQ(closefs(3), 1);
    EXPECT_EQ(fsinit(nullptr), 3);
    EXPECT_EQ(closefs(42), 1);   // never handed out: nothing to free
    EXPECT_EQ(getnwloginname(0), nullptr);
    EXPECT_EQ(checkforshare("anything"), 1);
    EXPECT_EQ(fsforceclose(0, "anything"), 1);
}

// ---- Handles: every call that takes one checks it --------------------------
// Each misuse runs in a child process, so that a crash or a sanitizer
// report fails the test rather than ending the run.

namespace {

// Every exported call that takes a handle, as a caller would make it; the
// result is widened to long (the closes give -1). A bad handle must give 0
// and record 480 from each, and change nothing.
struct HandleCall {
    const char *name;
    long (*call)(FS *fs);
};

uint8_t sink[256];
const char keyvalue[8] = "key";

const HandleCall handlecalls[] = {
    {"fsadd", [](FS *f) { return (long)fsadd(0, f, "rec", 3, 0x10); }},
    {"fswrite", [](FS *f) { return (long)fswrite(0, f, "rec", 3, 0x10000000); }},
    {"fsdelete", [](FS *f) { return (long)fsdelete(0, f, 0x10000000); }},
    {"fsread", [](FS *f) { return (long)fsread(0, f, 0x10000000, sink); }},
    {"fsreadn", [](FS *f) { return (long)fsreadn(0, f, 0x10000000, sink, sizeof sink); }},
    {"fsreclen", [](FS *f) { return (long)fsreclen(0, f, 0x10000000); }},
    {"fsfirst", [](FS *f) { return (long)fsfirst(0, f, 0x10); }},
    {"fslast", [](FS *f) { return (long)fslast(0, f, 0x10); }},
    {"fsnext", [](FS *f) { return (long)fsnext(0, f, 0x10000000); }},
    {"fsprev", [](FS *f) { return (long)fsprev(0, f, 0x10000001); }},
    {"fsaddkey", [](FS *f) { return (long)fsaddkey(0, f, 0x10, 0x10000000, 3, keyvalue); }},
    {"fsdeletekey", [](FS *f) { return (long)fsdeletekey(0, f, 0x10, 0x10000000, 3, keyvalue); }},
    {"fsfirstkey", [](FS *f) { return (long)fsfirstkey(0, f, 0x10, sink); }},
    {"fslastkey", [](FS *f) { return (long)fslastkey(0, f, 0x10, 0, sink); }},
    {"fsfindkey", [](FS *f) { return (long)fsfindkey(0, f, 0x10, 0, sink); }},
    {"fsnextkey", [](FS *f) { return (long)fsnextkey(0, f, 0x10, 0, 0, sink); }},
    {"fsprevkey", [](FS *f) { return (long)fsprevkey(0, f, 0x10, 0, 0, sink); }},
    {"fslock", [](FS *f) { return (long)fslock(0, f, nullptr); }},
    {"fsexclusivelock", [](FS *f) { return (long)fsexclusivelock(0, f, 0); }},
    {"fsunlock", [](FS *f) { return (long)fsunlock(0, f); }},
    {"fsunlockrid", [](FS *f) { return (long)fsunlockrid(0, f, 0); }},
    {"fsforceunlockrid", [](FS *f) { return (long)fsforceunlockrid(0, f, 0); }},
    {"fsexclusiveunlock", [](FS *f) { return (long)fsexclusiveunlock(0, f); }},
    {"fsflush", [](FS *f) { return (long)fsflush(0, f); }},
    {"fsgetcannumber", [](FS *f) { return (long)fsgetcannumber(0, f, 1); }},
    {"fsstorecannumber", [](FS *f) { return (long)fsstorecannumber(0, f, 7); }},
    {"fsgetappstat", [](FS *f) { return (long)fsgetappstat(0, f); }},
    {"fssetappstat", [](FS *f) { return (long)fssetappstat(0, f, 1); }},
    {"fsgetbusinessdate", [](FS *f) { return (long)fsgetbusinessdate(0, f); }},
    {"fsstorebusinessdate", [](FS *f) { return (long)fsstorebusinessdate(0, f, 7); }},
    {"fsaddat", [](FS *f) { return (long)fsaddat(0, f, "rec", 3, 0x10000005); }},
    {"fsdefinefile", [](FS *f) { return (long)fsdefinefile(0, f, 1, "name", 10); }},
    {"fsdefinesubkey", [](FS *f) { return (long)fsdefinesubkey(0, f, 0x12, 2, 0); }},
    {"fsgetfile", [](FS *f) { char n[16]; int16_t r; return (long)fsgetfile(0, f, 1, n, &r); }},
    {"fsgetsubkey", [](FS *f) { int16_t t, d; return (long)fsgetsubkey(0, f, 0x12, &t, &d); }},
    {"fsclose", [](FS *f) { fsclose(0, f); return -1L; }},
    {"fsclosetemp", [](FS *f) { fsclosetemp(0, f); return -1L; }},
};

// Every call refuses fs with 480.
void allrefuse(FS *fs) {
    for (const HandleCall &c : handlecalls) {
        pmdb::clearerrors();
        long r = c.call(fs);
        if (r != -1) {
            EXPECT_EQ(r, 0) << c.name;
        }
        EXPECT_EQ(pmdb::lasterror(), 480) << c.name;
    }
}

}  // namespace

TEST_F(DbTest, HandlesAfterTheirCloseAreRefusedByEveryCall) {
    EXPECT_EQ(inchild([&] {
                  FS *fs = createopen("a.db");
                  ASSERT_NE(fs, nullptr);
                  ASSERT_NE(fsadd(0, fs, "one", 3, 0x10), 0u);
                  FS copy = *fs;
                  fsclose(0, fs);
                  std::vector<uint8_t> before = readfile(path("a.db"));
                  allrefuse(fs);      // the closed handle itself
                  allrefuse(&copy);   // and a copy of it
                  allrefuse(nullptr);
                  EXPECT_EQ(readfile(path("a.db")), before);
                  EXPECT_STREQ(fsgetmsg(), "fsclosetemp - invalid handle.");
              }),
              "ok");
}

TEST_F(DbTest, AHandleNeverReachesTheDatabaseOpenedInItsSlotNext) {
    EXPECT_EQ(inchild([&] {
                  FS *a = createopen("a.db");
                  ASSERT_NE(a, nullptr);
                  FS copy = *a;
                  fsclose(0, a);
                  FS *b = createopen("b.db");   // takes slot 0 again
                  ASSERT_NE(b, nullptr);
                  ASSERT_EQ(b->fsdatanum, copy.fsdatanum);
                  std::vector<uint8_t> before = readfile(path("b.db"));
                  allrefuse(&copy);
                  allrefuse(a);
                  // b was neither changed nor closed by any of them.
                  EXPECT_EQ(readfile(path("b.db")), before);
                  EXPECT_NE(fsadd(0, b, "b", 1, 0x10), 0u);
                  EXPECT_EQ(fsfirst(0, b, 0x10), 0x10000000u);
                  // A copy of a live handle is as good as the handle.
                  FS live = *b;
                  EXPECT_EQ(fsfirst(0, &live, 0x10), 0x10000000u);
                  fsclose(0, &live);
                  allrefuse(b);
                  // The close retired the library's handle, not the copy:
                  // no later open hands out the caller's memory.
                  for (int k = 0; k < pmdb::RETIRED + 10; k++) {
                      FS *fs = fsopen(0, path("b.db").c_str(), 0, 1);
                      ASSERT_NE(fs, nullptr);
                      EXPECT_NE(fs, &live);
                      fsclose(0, fs);
                  }
              }),
              "ok");
}

TEST_F(DbTest, HandlesOutsideTheTableOrWithAnotherStampAreRefused) {
    EXPECT_EQ(inchild([&] {
                  FS *fs = createopen("a.db");
                  ASSERT_NE(fs, nullptr);
                  std::vector<uint8_t> before = readfile(path("a.db"));
                  for (int16_t n : {(int16_t)19, (int16_t)20, (int16_t)-1, (int16_t)30000,
                                    (int16_t)INT16_MIN}) {
                      FS bad = *fs;
                      bad.fsdatanum = n;
                      allrefuse(&bad);
                  }
                  FS forged = *fs;
                  forged.error ^= 1;
                  allrefuse(&forged);
                  FS zero;
                  memset(&zero, 0, sizeof zero);
                  allrefuse(&zero);
                  EXPECT_EQ(readfile(path("a.db")), before);
                  // Instance numbers are not checked by the database calls.
                  EXPECT_NE(fsadd(-7, fs, "x", 1, 0x10), 0u);
                  fsclose(99, fs);
              }),
              "ok");
}

TEST_F(DbTest, ClosedHandlesStayDeadForManyOpensAndMemoryStaysBounded) {
    EXPECT_EQ(inchild([&] {
                  ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
                  FS *first = fsopen(0, path("a.db").c_str(), 0, 0);
                  ASSERT_NE(first, nullptr);
                  fsclose(0, first);
                  // Closed handles are recycled only after enough others
                  // wait, so memory stays bounded over any number of opens.
                  int fresh = 0;
                  for (int k = 0; k < 1000; k++) {
                      long before = pmdb::plat_calls(pmdb::PLAT_ALLOC);
                      FS *fs = fsopen(0, path("a.db").c_str(), 0, 0);
                      ASSERT_NE(fs, nullptr);
                      fresh += (int)(pmdb::plat_calls(pmdb::PLAT_ALLOC) - before) - 1;
                      if (k < pmdb::RETIRED - pmdb::NUMFSDATA - 1) {
                          pmdb::clearerrors();
                          EXPECT_EQ(fsfirst(0, first, 0x10), 0u);
                          EXPECT_EQ(pmdb::lasterror(), 480);
                      }
                      fsclose(0, fs);
                  }
                  EXPECT_LE(fresh, pmdb::RETIRED);
              }),
              "ok");
}
