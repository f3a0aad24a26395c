// locks_test.cc - lock and unlock as a commit, and the control values
// (counter, application status, business date, local time).
#include <string.h>
#include <time.h>

#include "testutil.h"

using namespace pmdbtest;

class LocksTest : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        fs = createopen("a.db");
        ASSERT_NE(fs, nullptr);
    }
    void TearDown() override {
        if (fs) fsclose(0, fs);
        DbTest::TearDown();
    }
    FS *fs = nullptr;
};

TEST_F(LocksTest, UnlockCommitsTheControlBlockAndReopens) {
    uint32_t before = pmdb::get32(readfile(path("a.db")).data() + 818);
    ASSERT_EQ(fslock(0, fs, nullptr), 1);
    EXPECT_EQ(+data(fs)->fscb.dblocked, 1);
    ASSERT_EQ(fsunlock(0, fs), 1);
    EXPECT_EQ(+data(fs)->fscb.dblocked, 0);
    std::vector<uint8_t> f = readfile(path("a.db"));
    EXPECT_EQ(pmdb::get32(f.data() + 818), before + 1);
    EXPECT_EQ(f[809], 0);
    // Each of the release calls commits the same way.
    ASSERT_EQ(fsexclusivelock(0, fs, 1), 1);
    ASSERT_EQ(fsexclusiveunlock(0, fs), 1);
    ASSERT_EQ(fsunlockrid(0, fs, 5), 1);
    ASSERT_EQ(fsforceunlockrid(0, fs, 5), 1);
    EXPECT_EQ(pmdb::get32(readfile(path("a.db")).data() + 818), before + 4);
}

TEST_F(LocksTest, FailedCommitIsReportedAndKeptForTheNext) {
    // Every release call tells the caller when its commit failed; the
    // change is not lost: the next release writes it.
    using Release = short (*)(FS *);
    const Release releases[] = {
        [](FS *f) { return fsunlock(0, f); },
        [](FS *f) { return fsunlockrid(0, f, 1); },
        [](FS *f) { return fsforceunlockrid(0, f, 1); },
        [](FS *f) { return fsexclusiveunlock(0, f); },
    };
    uint32_t value = 7;
    for (Release release : releases) {
        ASSERT_EQ(fslock(0, fs, nullptr), 1);
        ASSERT_EQ(fsstorebusinessdate(0, fs, ++value), 1);
        pmdb::plat_failat(pmdb::PLAT_WRITE, 1, 1);
        EXPECT_EQ(release(fs), 0);
        pmdb::plat_faultreset();
        EXPECT_EQ(fsgeterrno(), 0);
        EXPECT_FALSE(errors().empty());
        EXPECT_NE(pmdb::get32(readfile(path("a.db")).data() + 828), value);
        ASSERT_EQ(release(fs), 1);
        EXPECT_EQ(pmdb::get32(readfile(path("a.db")).data() + 828), value);
    }
}

TEST_F(LocksTest, FailedReopenIsReported) {
    pmdb::plat_failat(pmdb::PLAT_OPEN, 1, 0);
    EXPECT_EQ(fsunlock(0, fs), 0);
    EXPECT_EQ(fsgeterrno(), 7);
    EXPECT_EQ(errors(), (std::vector<int16_t>{1015}));
    // The database cannot reach its file any more, but closing it is safe.
    fsclose(0, fs);
    fs = nullptr;
}

TEST_F(LocksTest, CounterAdvancesAndRollsOver) {
    EXPECT_EQ(fsgetcannumber(0, fs, 0), 0u);
    EXPECT_EQ(fsgetcannumber(0, fs, 1), 1u);
    EXPECT_EQ(fsgetcannumber(0, fs, 1), 2u);
    ASSERT_EQ(fsstorecannumber(0, fs, 30000), 1);
    uint32_t changed = data(fs)->fscb.fschanged;
    EXPECT_EQ(fsgetcannumber(0, fs, 1), 65536u);
    EXPECT_EQ(+data(fs)->fscb.fschanged, changed + 1);   // a rollover is marked
    EXPECT_EQ(fsgetcannumber(0, fs, 1), 65537u);
    EXPECT_EQ(+data(fs)->fscb.fschanged, changed + 1);   // a plain advance is not
    ASSERT_EQ(fsstorecannumber(0, fs, 0xFFFF7530u), 1);
    EXPECT_EQ(fsgetcannumber(0, fs, 1), 1u);           // never 0 when advancing
    ASSERT_EQ(fsstorecannumber(0, fs, 0x12345678u), 1);
    EXPECT_EQ(+data(fs)->fscb.cannumber[0], 0x5678);
    EXPECT_EQ(+data(fs)->fscb.cannumber[1], 0x1234);
    EXPECT_EQ(fsgetcannumber(0, fs, 0), 0x12345678u);
}

TEST_F(LocksTest, AppstatAndBusinessDatePersist) {
    fs->len = 9;
    EXPECT_EQ(fssetappstat(0, fs, 7), 1);
    EXPECT_EQ(+fs->len, 0);
    EXPECT_EQ(+data(fs)->fscb.appstat, 1);
    fs->rid = 9;
    EXPECT_EQ(fsgetappstat(0, fs), 1);
    EXPECT_EQ(+fs->rid, 0u);
    EXPECT_EQ(fsstorebusinessdate(0, fs, 20261208), 1);
    fsclose(0, fs);
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fsgetbusinessdate(0, fs), 20261208u);
    EXPECT_EQ(fsgetappstat(0, fs), 1);
    EXPECT_EQ(fssetappstat(0, fs, 0), 1);
    EXPECT_EQ(fsgetappstat(0, fs), 0);
}

TEST_F(LocksTest, BadHandlesAreRefusedWithTheirMessage) {
    FS bad;
    memset(&bad, 0, sizeof bad);
    for (int16_t n : {(int16_t)20, (int16_t)-1, (int16_t)3}) {
        bad.fsdatanum = n;
        pmdb::clearerrors();
        EXPECT_EQ(fsgetcannumber(0, &bad, 1), 0u);
        EXPECT_STREQ(fsgetmsg(), "fsgetcannumber - invalid index.");
        EXPECT_EQ(fsstorecannumber(0, &bad, 1), 0);
        EXPECT_STREQ(fsgetmsg(), "fsstorecannumber - invalid index.");
        EXPECT_EQ(fsgetappstat(0, &bad), 0);
        EXPECT_STREQ(fsgetmsg(), "fsgetappstat - invalid index.\r\n");
        EXPECT_EQ(fssetappstat(0, &bad, 1), 0);
        EXPECT_STREQ(fsgetmsg(), "fssetappstat - invalid index.");
        EXPECT_EQ(fsgetbusinessdate(0, &bad), 0u);
        EXPECT_STREQ(fsgetmsg(), "fsgetbusinessdate - invalid index.");
        EXPECT_EQ(fsstorebusinessdate(0, &bad, 1), 0);
        EXPECT_STREQ(fsgetmsg(), "fsstorebusinessdate - invalid index.");
        EXPECT_EQ(errors(), std::vector<int16_t>(6, 480));
    }
}

TEST_F(LocksTest, LocalTimeIsTheClocks) {
    struct tm t;
    memset(&t, 0xff, sizeof t);
    EXPECT_EQ(fsgetlocaltime(0, &t), 1);
    time_t now = time(nullptr);
    struct tm expect;
    localtime_r(&now, &expect);
    EXPECT_EQ(t.tm_year, expect.tm_year);
    EXPECT_GE(t.tm_mon, 0);
    EXPECT_LE(t.tm_mon, 11);
}

TEST_F(DbTest, ReadOnlyDatabaseRefusesEveryChange) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    std::vector<uint8_t> before = readfile(path("a.db"));
    FS *fs = fsopen(0, path("a.db").c_str(), 1, 1);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fsstorecannumber(0, fs, 5), 0);
    EXPECT_EQ(fsstorebusinessdate(0, fs, 5), 0);
    EXPECT_EQ(fssetappstat(0, fs, 1), 0);
    EXPECT_EQ(fsgetcannumber(0, fs, 1), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>(4, 1025));
    EXPECT_EQ(fsgetcannumber(0, fs, 0), 0u);   // reading is fine
    EXPECT_EQ(fsgetappstat(0, fs), 0);
    EXPECT_EQ(fsgetbusinessdate(0, fs), 0u);
    EXPECT_EQ(+data(fs)->fscb.cannumber[0], 0);
    // Releases reopen read-only: the file never becomes writable.
    EXPECT_EQ(fsunlockrid(0, fs, 1), 1);
    EXPECT_EQ(fsexclusiveunlock(0, fs), 1);
    EXPECT_LT(pmdb::plat_pwrite(data(fs)->fsp, "x", 1, 0), 0);
    fsclose(0, fs);
    EXPECT_EQ(readfile(path("a.db")), before);
}
