// pager_test.cc - the layer under the sixteen buffers: blocks served from
// memory after their first read, the bound on that memory, and that how
// much memory it has never changes what reaches the file.
#include "fss/pager.h"
#include "kvtestutil.h"

using namespace pmdbtest;

namespace {

// Reads every block 2..lb through the buffers; the file reads it took.
long readall(pmdb::FSDATA *d) {
    long before = pmdb::plat_calls(pmdb::PLAT_READ);
    for (uint32_t b = 2; b <= d->fscb.lb; b++) EXPECT_NE(pmdb::readblk(d, b), nullptr) << b;
    return pmdb::plat_calls(pmdb::PLAT_READ) - before;
}

}  // namespace

TEST_F(DbTest, BlocksAreReadFromTheFileOnceWithinTheBound) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    kvmodel m;
    std::mt19937 rng(3);
    ASSERT_TRUE(kvbatch(fs, &m, &rng, 3000));
    fsclose(0, fs);
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    pmdb::FSDATA *d = data(fs);
    ASSERT_GT(d->fscb.lb, 40u);
    EXPECT_EQ(readall(d), (long)d->fscb.lb - 1);
    pmdb::initbuffs(d);   // nothing left in the sixteen buffers
    EXPECT_EQ(readall(d), 0) << "every block again from memory";
    // A bound of 8 images: the store keeps 8, the rest comes from the file.
    ASSERT_EQ(fssetcache(0, fs, 8), 1);
    pmdb::initbuffs(d);
    EXPECT_EQ(readall(d), (long)d->fscb.lb - 1);
    EXPECT_LE(d->pager.nslots, 8u);
    EXPECT_EQ(kvdiff(fs, m), "");
    fsclose(0, fs);
}

TEST_F(DbTest, TheBoundNeverChangesTheBytesWritten) {
    // The same batches with a store, a store smaller than one batch (its
    // changes go to the file early, through the journal), and none.
    const uint32_t bounds[] = {pmdb::DEFAULTCACHEKIB, 4, 0};
    std::vector<std::vector<uint8_t>> files;
    for (uint32_t kib : bounds) {
        std::string name = "b" + std::to_string(kib) + ".db";
        FS *fs = createopen(name);
        ASSERT_NE(fs, nullptr);
        ASSERT_EQ(fssetcache(0, fs, kib), 1);
        kvmodel m;
        std::mt19937 rng(5);
        bool early = false;
        for (int b = 0; b < 6; b++) {
            ASSERT_EQ(fslock(0, fs, nullptr), 1);
            ASSERT_TRUE(kvbatch(fs, &m, &rng, 300));
            early |= data(fs)->pager.journal.live != 0;
            ASSERT_EQ(fsunlock(0, fs), 1);
        }
        // Only the small bounds sent changes out before the commit.
        EXPECT_EQ(early, kib != pmdb::DEFAULTCACHEKIB);
        EXPECT_EQ(kvdiff(fs, m), "");
        fsclose(0, fs);
        files.push_back(readfile(path(name)));
        // Nothing is left beside the database after its last close.
        EXPECT_TRUE(readfile(path(name + "-journal")).empty());
    }
    // Only the stored path differs (the control block keeps the name).
    for (std::vector<uint8_t> &f : files) memset(f.data() + 63, 0, 64);
    EXPECT_TRUE(files[0] == files[1]);
    EXPECT_TRUE(files[0] == files[2]);
}

TEST_F(DbTest, WindowsReadAheadKeepWhatTheStoreHolds) {
    struct Restore {
        uint32_t v = pmdb::raheadminblocks;
        ~Restore() { pmdb::raheadminblocks = v; }
    } restore;
    pmdb::raheadminblocks = 16;   // the windows of a large file, on a small one
    FS *fs = createopen("w.db");
    ASSERT_NE(fs, nullptr);
    kvmodel m;
    std::mt19937 rng(9);
    ASSERT_TRUE(kvbatch(fs, &m, &rng, 3000));
    fsclose(0, fs);
    fs = fsopen(0, path("w.db").c_str(), 0, 0);
    ASSERT_NE(fs, nullptr);
    pmdb::FSDATA *d = data(fs);
    ASSERT_GT(d->fscb.lb, 64u);
    EXPECT_LE(readall(d), (long)(d->fscb.lb / 64 + 2));
    EXPECT_EQ(kvdiff(fs, m), "");
    // Changes made while windows are read over blocks changed in the
    // buffers and in the store: the changes are what reaches the file.
    fsclose(0, fs);
    fs = fsopen(0, path("w.db").c_str(), 0, 0);
    ASSERT_NE(fs, nullptr);
    ASSERT_EQ(fslock(0, fs, nullptr), 1);
    ASSERT_TRUE(kvbatch(fs, &m, &rng, 2000));
    ASSERT_EQ(fsunlock(0, fs), 1);
    EXPECT_EQ(kvdiff(fs, m), "");
    fsclose(0, fs);
    // A failed window leaves the block to a read of its own; when that
    // fails too, the read reports it as before.
    fs = fsopen(0, path("w.db").c_str(), 0, 0);
    ASSERT_NE(fs, nullptr);
    d = data(fs);
    pmdb::plat_failat(pmdb::PLAT_READ, 1, 0);
    EXPECT_NE(pmdb::readblk(d, 10), nullptr);
    pmdb::plat_failat(pmdb::PLAT_READ, 1, 1);
    EXPECT_EQ(pmdb::readblk(d, 70), nullptr);
    EXPECT_TRUE(recorded(1400));
    pmdb::plat_faultreset();
    EXPECT_EQ(kvdiff(fs, m), "");
    fsclose(0, fs);
}

TEST_F(DbTest, StorageCallsCheckTheirArguments) {
    FS bad{};
    bad.fsdatanum = 7;
    EXPECT_EQ(fssetcache(0, &bad, 64) + fssetsync(0, &bad, 1) + fsrollback(0, &bad), 0);
    EXPECT_STREQ(fsgetmsg(), "fsrollback - invalid handle.");
    EXPECT_EQ(errors(), std::vector<int16_t>(3, 480));
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    pmdb::clearerrors();
    EXPECT_EQ(fssetsync(0, fs, 2), 0);
    EXPECT_EQ(errors(), std::vector<int16_t>({1760}));
    fsclose(0, fs);
    // A read-only database has nothing to roll back; the lock is let go.
    fs = fsopen(0, path("a.db").c_str(), 1, 1);
    ASSERT_NE(fs, nullptr);
    ASSERT_EQ(fslock(0, fs, nullptr), 1);
    EXPECT_EQ(fsrollback(0, fs), 1);
    EXPECT_EQ(data(fs)->fscb.dblocked, 0);
    fsclose(0, fs);
}
