// alloc_test.cc - growth of the file: only at its end, never past a file
// that holds fewer blocks than its control block claims, and taken back
// when the call that grew it fails.
#include <string.h>
#include <sys/stat.h>

#include "fss/alloc.h"
#include "rectestutil.h"

using namespace pmdbtest;
using pmdb::FSDATA;
using pmdb::clearerrors;

namespace {

// n bytes with no two equal neighbours: stored raw, n + 1 bytes.
bytes raw(size_t n, int seed = 0) {
    bytes b(n);
    for (size_t k = 0; k < n; k++) b[k] = (uint8_t)((k * 7 + (size_t)seed) % 251);
    for (size_t k = 1; k < n; k++)
        if (b[k] == b[k - 1]) b[k] ^= 0x80;
    return b;
}

long filesize(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

void putlb(const std::string &p, uint32_t lb) {
    corruptat(p, 812, {(uint8_t)lb, (uint8_t)(lb >> 8), (uint8_t)(lb >> 16), (uint8_t)(lb >> 24)});
}

}  // namespace

class AllocTest : public DbTest {};

TEST_F(AllocTest, AFileShorterThanItsLbIsNeverGrown) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    uint32_t small = add(fs, raw(100), 0x10);
    ASSERT_NE(small, 0u);
    fsclose(0, fs);
    // The control block claims some 478 MB; the file holds three blocks.
    putlb(path("a.db"), 478000);
    fs = fsopen(0, path("a.db").c_str(), 0, 0);
    ASSERT_NE(fs, nullptr);
    long size = filesize(path("a.db"));
    ASSERT_EQ(size, 3072);
    ASSERT_EQ(fslock(0, fs, nullptr), 1);
    // A record that needs a new block, a first key (a new root), and a
    // walk towards the claimed end: each refused at once, with 1410.
    clearerrors();
    EXPECT_EQ(add(fs, raw(950), 0x10), 0u);
    EXPECT_EQ(errors(), (std::vector<int16_t>{1410, 1030}));
    clearerrors();
    EXPECT_EQ(fsaddkey(0, fs, 0x10, small, 3, "abc"), 0);
    EXPECT_EQ(errors().front(), 1410);
    clearerrors();
    uint32_t reads = pmdb::hits + pmdb::miss;
    EXPECT_EQ(fsprev(0, fs, 0x1fffffff), 0u);
    EXPECT_EQ(errors(), (std::vector<int16_t>{1410, 1400, 1330}));
    EXPECT_LT(pmdb::hits + pmdb::miss - reads, 5u);
    // What the file does hold still works, and fits where there is room.
    uint8_t dst[128];
    EXPECT_EQ(fsread(0, fs, small, dst), 100);
    EXPECT_EQ(fsnext(0, fs, small), 0u);
    EXPECT_NE(add(fs, raw(20), 0x10), 0u);
    EXPECT_EQ(fsunlock(0, fs), 1);
    fsclose(0, fs);
    EXPECT_EQ(filesize(path("a.db")), size);
}

TEST_F(AllocTest, ARefusedAddTakesBackTheBlocksItAdded) {
    // Spacing 2: the next block past lb 2 is translation block 1 (block 3),
    // so the add makes two blocks before its slot is bound.
    FS *fs = createopen("a.db", 2);
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    uint32_t first = add(fs, raw(900), 0x10);   // fills block 2: chain 0 empty
    ASSERT_NE(first, 0u);
    ASSERT_EQ(fsunlock(0, fs), 1);
    long size = filesize(path("a.db"));
    pmdb::FSCB before = d->fscb;
    // The free-slot chain names the slot in use: getxlate refuses (1045)
    // after the add has grown the file by blocks 3 and 4.
    uint32_t ftc = d->fscb.ftc;
    d->fscb.ftc = first & 0x0fffffff;
    clearerrors();
    EXPECT_EQ(add(fs, raw(900, 1), 0x20), 0u);
    EXPECT_EQ(errors().back(), 1045);
    EXPECT_EQ(+d->fscb.lb, +before.lb);
    EXPECT_EQ(+d->fscb.fc[0], 0u);
    d->fscb.ftc = ftc;
    ASSERT_EQ(fsunlock(0, fs), 1);
    EXPECT_EQ(filesize(path("a.db")), size) << "nothing of the refused add reached the file";
    // The next add grows the file afresh, exactly as the refused one would have.
    uint32_t second = add(fs, raw(900, 1), 0x20);
    EXPECT_EQ(second, 0x20000001u);
    EXPECT_EQ(+d->fscb.lb, 4u);
    EXPECT_EQ(pmdb::readblk(d, 3)->xlate[0], 0x101u);
    EXPECT_EQ(checkdb(fs), 0u);
    fsclose(0, fs);
}

TEST_F(AllocTest, GrowthStaysWhenItIsWrittenOrInUse) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    pmdb::FSCB &cb = d->fscb;
    // Added and pushed on chain 0, then taken back whole.
    pmdb::GROWMARK mark = pmdb::growthmark(d);
    for (int k = 0; k < 2; k++) {
        uint32_t b = pmdb::allocextendedblk(d);
        ASSERT_EQ(b, 3u + (uint32_t)k);
        pmdb::FSBUFF *buf = pmdb::readblk(d, b);
        buf->dbuff.nbic = cb.fc[0];
        cb.fc[0] = b;
    }
    pmdb::undogrowth(d, mark);
    EXPECT_EQ(+cb.lb, 2u);
    EXPECT_EQ(+cb.fc[0], 2u);
    for (const pmdb::FSBUFF &b : d->buff) EXPECT_TRUE(b.blk <= 2 || b.blk == pmdb::NOBLOCK);
    // A block that holds something, an old block that links to an added
    // one, or an added block already written: the growth stays.
    auto grow = [&] {
        mark = pmdb::growthmark(d);
        return pmdb::readblk(d, pmdb::allocextendedblk(d));
    };
    grow()->dbuff.len = 20;
    pmdb::undogrowth(d, mark);
    EXPECT_EQ(+cb.lb, 3u);
    grow();
    pmdb::readblk(d, 3)->dbuff.nbic = 4;
    ASSERT_EQ(pmdb::writeblk(d, 3), 1);
    pmdb::undogrowth(d, mark);
    EXPECT_EQ(+cb.lb, 4u);
    grow();
    ASSERT_EQ(fsflush(0, fs), 1);
    pmdb::undogrowth(d, mark);
    EXPECT_EQ(+cb.lb, 5u);
    fsclose(0, fs);
}
