// fscb_test.cc - the exact content of a new database and the control-block
// routines (read, change marking, defaults).
#include <string.h>
#include <unistd.h>

#include "fss/fscb.h"
#include "testutil.h"

using namespace pmdbtest;
using pmdb::get16;
using pmdb::get32;

TEST_F(DbTest, NewDatabaseIsExactlyThreeBlocks) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    EXPECT_EQ(fsgeterrno(), 0);
    std::vector<uint8_t> f = readfile(path("a.db"));
    ASSERT_EQ(f.size(), 3072u);

    std::vector<uint8_t> cb(1024, 0);
    const char text[] = "Indexed record file: Pelmaret record file header";
    memcpy(cb.data(), text, sizeof text);
    for (int k = 0; k < 15; k++) {
        uint8_t *fd = cb.data() + 133 + 43 * k;
        pmdb::put32(fd + 2, 0xffffffff);
        pmdb::put16(fd + 41, 0xff00);
    }
    pmdb::put32(cb.data() + 778, 2);   // fc[0]
    pmdb::put16(cb.data() + 810, 20);  // xblkfreq
    pmdb::put32(cb.data() + 812, 2);   // lb
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 1024), cb);
    EXPECT_EQ(memcmp(f.data() + 21, "Pelmaret", 8), 0);

    for (uint32_t j = 0; j < 256; j++) ASSERT_EQ(get32(f.data() + 1024 + 4 * j), j + 1);
    for (size_t b = 2048; b < 3072; b++) ASSERT_EQ(f[b], b == 2052 ? 10 : 0) << b;
}

TEST_F(DbTest, CreateEmptiesAnExistingFile) {
    writefile(path("a.db"), std::vector<uint8_t>(10000, 0xee));
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 7), 1);
    std::vector<uint8_t> f = readfile(path("a.db"));
    ASSERT_EQ(f.size(), 3072u);
    EXPECT_EQ(get16(f.data() + 810), 7);
}

TEST_F(DbTest, CreateRefusesSpacingBelowTwoAndUncreatablePaths) {
    writefile(path("keep.db"), {1, 2, 3});
    EXPECT_EQ(fscreatedatabase(path("keep.db").c_str(), 1), 0);
    EXPECT_EQ(fsgeterrno(), 406);
    EXPECT_EQ(readfile(path("keep.db")).size(), 3u);   // not emptied
    EXPECT_EQ(fscreatedatabase(path("keep.db").c_str(), -5), 0);
    EXPECT_EQ(fscreatedatabase(path("no/such/dir.db").c_str(), 20), 0);
    EXPECT_EQ(fsgeterrno(), 406);
    EXPECT_TRUE(errors().empty());   // creation records no error number
}

TEST_F(DbTest, FailedCreateWriteRemovesTheFile) {
    for (int n = 1; n <= 3; n++) {
        pmdb::plat_faultreset();
        pmdb::plat_failat(pmdb::PLAT_WRITE, n, 0);
        EXPECT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 0);
        EXPECT_EQ(fsgeterrno(), 8 + n);
        EXPECT_TRUE(readfile(path("a.db")).empty());
        EXPECT_NE(access(path("a.db").c_str(), F_OK), 0);
    }
}

TEST_F(DbTest, StoredSpacingZeroReadsAsTwentyAndChangeCounterWraps) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    corruptat(path("a.db"), 810, {0, 0});
    corruptat(path("a.db"), 818, {0xfe, 0xff, 0xff, 0xff});
    FS *fs = fsopen(0, path("a.db").c_str(), 0, 1);
    ASSERT_NE(fs, nullptr);
    pmdb::FSDATA *d = data(fs);
    EXPECT_EQ(+d->fscb.xblkfreq, 20);
    pmdb::changefscb(d);
    EXPECT_EQ(+d->fscb.fschanged, 0xffffffffu);
    pmdb::changefscb(d);
    EXPECT_EQ(+d->fscb.fschanged, 0u);
    EXPECT_EQ(+d->fscb.cf, 1);
    EXPECT_EQ(pmdb::dbchanged(d), 1);
    fsclose(0, fs);
}

TEST_F(DbTest, ControlBlockReadIsRetriedAtMostThreeTimes) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    pmdb::plat_failat(pmdb::PLAT_READ, 1, 1);
    EXPECT_EQ(fsopen(0, path("a.db").c_str(), 0, 0), nullptr);
    EXPECT_EQ(fsgeterrno(), 0);
    EXPECT_EQ(errors(), (std::vector<int16_t>{9900, 9900, 9900, 1015}));

    // A failure and then a good read open the database.
    pmdb::plat_faultreset();
    pmdb::clearerrors();
    pmdb::plat_failat(pmdb::PLAT_READ, 1, 0);
    FS *fs = fsopen(0, path("a.db").c_str(), 0, 0);
    EXPECT_NE(fs, nullptr);
    EXPECT_EQ(errors(), (std::vector<int16_t>{9900}));
    if (fs) fsclose(0, fs);

    // An empty file never yields a block.
    writefile(path("empty.db"), {});
    pmdb::clearerrors();
    EXPECT_EQ(fsopen(0, path("empty.db").c_str(), 0, 0), nullptr);
    EXPECT_EQ(errors(), (std::vector<int16_t>{9900, 9900, 9900, 1015}));

    pmdb::clearerrors();
    pmdb::plat_failat(pmdb::PLAT_SEEK, 1, 0);
    EXPECT_EQ(fsopen(0, path("a.db").c_str(), 0, 0), nullptr);
    EXPECT_EQ(errors(), (std::vector<int16_t>{1380, 1015}));
}
