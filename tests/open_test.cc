// open_test.cc - opening and closing: the signature and integrity tests,
// the table of twenty databases, read-only opens, temporary databases,
// allocation failures and the allocation budget of an open database.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testutil.h"

using namespace pmdbtest;

TEST_F(DbTest, OpenCountsUsersAndStoresThePath) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    FS *fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(+fs->fsdatanum, 0);
    EXPECT_EQ(+fs->len, (int16_t)data(fs)->fsp);
    std::vector<uint8_t> f = readfile(path("a.db"));
    EXPECT_EQ(pmdb::get16(f.data() + 127), 1);            // numusers on disk
    EXPECT_STREQ((const char *)f.data() + 63, path("a.db").c_str());
    fsclose(0, fs);
    f = readfile(path("a.db"));
    EXPECT_EQ(pmdb::get16(f.data() + 127), 0);
    EXPECT_EQ(f.size(), 3072u);
}

TEST_F(DbTest, LongPathIsKeptWholeInMemoryAndCutInTheFile) {
    std::string dir = path(std::string(80, 'd'));
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::string name = dir + "/a.db";
    ASSERT_EQ(fscreatedatabase(name.c_str(), 20), 1);
    FS *fs = fsopen(0, name.c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(std::string(data(fs)->fscb.fsname), name.substr(0, 63));
    // The unlock reopens under the full path, so the database stays usable.
    ASSERT_EQ(fsstorebusinessdate(0, fs, 99), 1);
    ASSERT_EQ(fsunlock(0, fs), 1);
    fsclose(0, fs);
    fs = fsopen(0, name.c_str(), 1, 1);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fsgetbusinessdate(0, fs), 99u);
    fsclose(0, fs);
}

TEST_F(DbTest, SignatureIsRequiredAndItsFailureWritesNothing) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    corruptat(path("a.db"), 21, {'X'});
    std::vector<uint8_t> before = readfile(path("a.db"));
    for (short check : {0, 1}) {
        pmdb::clearerrors();
        EXPECT_EQ(fsopen(0, path("a.db").c_str(), check, 0), nullptr);
        EXPECT_EQ(fsgeterrno(), 0);
        EXPECT_EQ(errors(), (std::vector<int16_t>{1020}));
    }
    EXPECT_EQ(readfile(path("a.db")), before);
    EXPECT_EQ(pmdb::fsdataary[0], nullptr);
}

TEST_F(DbTest, IntegrityTestsRejectDamagedFilesUntouched) {
    std::string p = path("a.db");
    struct Case {
        long offset;
        std::vector<uint8_t> bytes;
        int16_t pm;
        int16_t err;
    } cases[] = {
        {804, {0, 2, 0, 0}, 4, 1021},          // ftc 512: translation block 2 (block 41) is not next
        {812, {3, 0, 0, 0}, 5, 1021},          // lb 3 but 3 blocks in the file
        {778 + 8, {4, 0, 0, 0}, 6, 1022},      // fc[2] = 4 > 3 blocks
    };
    for (const Case &c : cases) {
        ASSERT_EQ(fscreatedatabase(p.c_str(), 20), 1);
        corruptat(p, c.offset, c.bytes);
        std::vector<uint8_t> before = readfile(p);
        pmdb::clearerrors();
        EXPECT_EQ(fsopen(0, p.c_str(), 1, 0), nullptr);
        EXPECT_EQ(fsgeterrno(), c.pm);
        EXPECT_EQ(errors(), (std::vector<int16_t>{c.err}));
        EXPECT_EQ(readfile(p), before);
        EXPECT_EQ(pmdb::fsdataary[0], nullptr);
        FS *fs = fsopen(0, p.c_str(), 0, 1);   // without the tests it opens
        EXPECT_NE(fs, nullptr);
        if (fs) fsclose(0, fs);
    }
}

TEST_F(DbTest, FreeSlotHeadInTheNextTranslationBlockPasses) {
    // After the last slot of translation block 0 is taken the head names
    // slot 256, in block 21, which is made only at the next add.
    std::string p = path("a.db");
    ASSERT_EQ(fscreatedatabase(p.c_str(), 20), 1);
    corruptat(p, 804, {0, 1, 0, 0});
    FS *fs = fsopen(0, p.c_str(), 1, 0);
    EXPECT_NE(fs, nullptr);
    if (fs) fsclose(0, fs);
}

TEST_F(DbTest, TrailingPartBlockPassesAWholeExtraBlockFails) {
    std::string p = path("a.db");
    ASSERT_EQ(fscreatedatabase(p.c_str(), 20), 1);
    std::vector<uint8_t> f = readfile(p);
    f.push_back(0);
    writefile(p, f);
    FS *fs = fsopen(0, p.c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    // A block added now lands at its own offset, not after the stray byte.
    ASSERT_NE(pmdb::readblk(data(fs), 3), nullptr);
    fsclose(0, fs);
    f = readfile(p);
    EXPECT_EQ(f.size(), 4096u);
    EXPECT_EQ(pmdb::get16(f.data() + 3 * 1024 + 4), 10);

    f.resize(5 * 1024);
    writefile(p, f);
    EXPECT_EQ(fsopen(0, p.c_str(), 1, 0), nullptr);
    EXPECT_EQ(fsgeterrno(), 5);
}

TEST_F(DbTest, TwentyOpenDatabasesAndTheTwentyFirst) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    std::vector<FS *> open;
    for (int k = 0; k < 20; k++) {
        FS *fs = fsopen(0, path("a.db").c_str(), 0, 1);
        ASSERT_NE(fs, nullptr);
        EXPECT_EQ(+fs->fsdatanum, k);
        open.push_back(fs);
    }
    EXPECT_EQ(fsopen(0, path("a.db").c_str(), 0, 1), nullptr);
    EXPECT_EQ(fsgeterrno(), 1);
    EXPECT_EQ(errors(), (std::vector<int16_t>{1009}));
    EXPECT_EQ(fsopentemp(0), nullptr);
    EXPECT_EQ(fsgeterrno(), 1);
    fsclose(0, open[7]);
    FS *again = fsopentemp(0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->fsdatanum, 7);
    fsclosetemp(0, again);
    for (int k = 0; k < 20; k++)
        if (k != 7) fsclose(0, open[k]);
}

TEST_F(DbTest, ReadOnlyOpenAndCloseWriteNothing) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    std::vector<uint8_t> before = readfile(path("a.db"));
    FS *fs = fsopen(0, path("a.db").c_str(), 1, 1);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(+data(fs)->fscb.numusers, 1);   // counted in memory only
    EXPECT_EQ(fsunlock(0, fs), 1);
    fsclose(0, fs);
    EXPECT_EQ(readfile(path("a.db")), before);
}

TEST_F(DbTest, AllocationFailuresGiveTheEntryBack) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    for (auto [n, e] : {std::pair{1, 1010}, std::pair{2, 1012}}) {
        pmdb::clearerrors();
        pmdb::plat_faultreset();
        pmdb::plat_failat(pmdb::PLAT_ALLOC, n, 0);
        EXPECT_EQ(fsopen(0, path("a.db").c_str(), 0, 0), nullptr);
        EXPECT_EQ(fsgeterrno(), 2);
        EXPECT_EQ(errors(), (std::vector<int16_t>{(int16_t)e}));
        EXPECT_EQ(pmdb::fsdataary[0], nullptr);
        pmdb::plat_faultreset();
        pmdb::plat_failat(pmdb::PLAT_ALLOC, n, 0);
        EXPECT_EQ(fsopentemp(0), nullptr);
        EXPECT_EQ(fsgeterrno(), 2);
    }
}

// Opening takes two allocations; the store below the buffers takes memory
// later, as blocks are read and changed, and does without when it cannot
// have it.
TEST_F(DbTest, AnOpenDatabaseCostsTwoAllocationsAndNeedsNoMore) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    long before = pmdb::plat_calls(pmdb::PLAT_ALLOC);
    FS *fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(pmdb::plat_calls(pmdb::PLAT_ALLOC) - before, 2);
    // Every later allocation fails: the database works all the same.
    pmdb::plat_failat(pmdb::PLAT_ALLOC, 1, 1);
    ASSERT_EQ(fslock(0, fs, nullptr), 1);
    ASSERT_NE(pmdb::readblk(data(fs), 3), nullptr);
    EXPECT_EQ(fsgetcannumber(0, fs, 1), 1u);
    EXPECT_EQ(fsflush(0, fs), 1);
    EXPECT_EQ(fsunlock(0, fs), 1);
    long during = pmdb::plat_calls(pmdb::PLAT_ALLOC);
    fsclose(0, fs);
    EXPECT_EQ(pmdb::plat_calls(pmdb::PLAT_ALLOC), during);
}

TEST_F(DbTest, TemporaryDatabaseIsPrivateTypedAndRemoved) {
    FS *fs = fsopentemp(0);
    ASSERT_NE(fs, nullptr);
    pmdb::FSDATA *d = data(fs);
    std::string name = d->path;
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 3072);
    EXPECT_EQ(+d->fscb.numusers, 1);
    EXPECT_EQ(+d->fscb.xblkfreq, 20);
    EXPECT_EQ(d->readonly, 0);
    EXPECT_EQ(std::string(d->fscb.fsname), name.substr(0, 63));
    for (int k = 0; k < 15; k++) {
        EXPECT_EQ(+d->fscb.f[k].frid, 0xffffffffu);
        EXPECT_EQ(+d->fscb.f[k].dupkeys, 0xff00);
        for (int s = 0; s < 16; s++) EXPECT_EQ(+d->fscb.f[k].keytype[s], s % 9);
    }
    FS *other = fsopentemp(0);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(std::string(data(other)->path), name);
    fsclosetemp(0, other);
    fsclosetemp(0, fs);
    EXPECT_NE(stat(name.c_str(), &st), 0);
}

TEST_F(DbTest, TemporaryDatabaseKeptAfterPlainClose) {
    FS *fs = fsopentemp(0);
    ASSERT_NE(fs, nullptr);
    std::string name = data(fs)->path;
    fsclose(0, fs);
    EXPECT_EQ(readfile(name).size(), 3072u);
    unlink(name.c_str());
}

TEST_F(DbTest, TemporaryDatabaseFailuresLeaveNothingBehind) {
    struct Case {
        pmdb::platop op;
        long n;
        int16_t pm;
        std::vector<int16_t> errs;
    } cases[] = {
        {pmdb::PLAT_WRITE, 1, 9, {1021}},
        {pmdb::PLAT_WRITE, 2, 10, {1022}},
        {pmdb::PLAT_WRITE, 3, 11, {1023}},
        {pmdb::PLAT_READ, 1, 8, {9900, 9900, 9900, 1020}},
    };
    std::string tmp = path("tmp");
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    const char *old = getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    for (const Case &c : cases) {
        pmdb::clearerrors();
        pmdb::plat_faultreset();
        pmdb::plat_failat(c.op, c.n, c.op == pmdb::PLAT_READ);
        EXPECT_EQ(fsopentemp(0), nullptr);
        EXPECT_EQ(fsgeterrno(), c.pm);
        EXPECT_EQ(errors(), c.errs);
        EXPECT_EQ(pmdb::fsdataary[0], nullptr);
        EXPECT_EQ(rmdir(tmp.c_str()), 0) << "a failed temporary database left a file";
        ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    }
    if (old) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
}
