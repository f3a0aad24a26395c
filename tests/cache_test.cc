// cache_test.cc - the sixteen-buffer cache: lookup order, growth of the
// file, deferred writes, the flush order and every failure of the I/O.
#include <string.h>

#include "fss/cache.h"
#include "fss/fscb.h"
#include "testutil.h"

using namespace pmdbtest;
using pmdb::FSBUFF;
using pmdb::readblk;
using pmdb::writeblk;

namespace {

std::vector<uint64_t> writes;
int writecalls;
int watched = -1;   // the database's descriptor: the journal's writes are not recorded
void recordwrite(int fd, uint64_t off, size_t n) {
    if (fd != watched) return;
    writecalls++;
    // A run of adjacent blocks goes in one call: each block is recorded.
    for (size_t k = 0; k < n / 1024; k++) writes.push_back(off / 1024 + k);
}

}  // namespace

class CacheTest : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        fs = createopen("a.db");
        ASSERT_NE(fs, nullptr);
        d = data(fs);
        writes.clear();
        writecalls = 0;
        watched = d->fsp;
    }
    void TearDown() override {
        if (fs) fsclose(0, fs);
        DbTest::TearDown();
    }
    // Grows the file to lb = last with empty data blocks, flushed.
    void grow(uint32_t last) {
        while (d->fscb.lb < last) ASSERT_NE(readblk(d, d->fscb.lb + 1), nullptr);
        ASSERT_EQ(fsflush(0, fs), 1);
    }
    FS *fs = nullptr;
    pmdb::FSDATA *d = nullptr;
};

TEST_F(CacheTest, FreshBuffersAreEmptyInOrder) {
    pmdb::FSDATA fresh;
    pmdb::initbuffs(&fresh);
    for (int j = 0; j < 16; j++) {
        EXPECT_EQ(fresh.buff[j].blk, 0xffffffffu);
        EXPECT_EQ(fresh.seq[j], j);
        EXPECT_EQ(fresh.buff[j].cf, 0);
        EXPECT_EQ(fresh.buff[j].extblk, 0);
    }
}

TEST_F(CacheTest, ReadingOnePastTheEndGrowsTheFileInTheCache) {
    FSBUFF *b = readblk(d, 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(+d->fscb.lb, 3u);
    EXPECT_EQ(b->cf, 1);
    EXPECT_EQ(b->extblk, 1);
    EXPECT_EQ(+b->dbuff.len, 10);
    EXPECT_EQ(+b->dbuff.nbic, 0u);
    EXPECT_EQ(+b->dbuff.fc, 0);
    EXPECT_EQ(+b->dbuff.type, 0);
    EXPECT_EQ(readfile(path("a.db")).size(), 3072u);   // nothing written yet
    ASSERT_EQ(fsflush(0, fs), 1);
    EXPECT_EQ(readfile(path("a.db")).size(), 4096u);
    EXPECT_EQ(b->cf, 0);
    EXPECT_EQ(b->extblk, 0);
}

TEST_F(CacheTest, ReadingFurtherPastTheEndIsRefused) {
    EXPECT_EQ(readblk(d, 5), nullptr);
    EXPECT_EQ(errors(), (std::vector<int16_t>{1390}));
    EXPECT_STREQ(fsgetmsg(), "Block 5 > last block 3");
    EXPECT_EQ(+d->fscb.lb, 2u);
}

TEST_F(CacheTest, LeastRecentlyUsedBufferIsTheVictim) {
    grow(20);
    for (uint32_t b = 2; b <= 17; b++) ASSERT_NE(readblk(d, b), nullptr);
    uint32_t misses = pmdb::miss, hitcount = pmdb::hits;
    ASSERT_NE(readblk(d, 2), nullptr);   // a hit moves block 2 to the end
    EXPECT_EQ(pmdb::hits, hitcount + 1);
    EXPECT_EQ(pmdb::miss, misses);
    ASSERT_NE(readblk(d, 18), nullptr);  // evicts block 3, the oldest now
    EXPECT_EQ(pmdb::miss, misses + 1);
    bool held2 = false, held3 = false;
    for (const FSBUFF &b : d->buff) {
        held2 |= b.blk == 2;
        held3 |= b.blk == 3;
    }
    EXPECT_TRUE(held2);
    EXPECT_FALSE(held3);
}

TEST_F(CacheTest, ChangedVictimIsHandedDownAndWrittenAtTheCommit) {
    grow(20);
    for (uint32_t b = 2; b <= 17; b++) ASSERT_NE(readblk(d, b), nullptr);
    readblk(d, 2)->dbuff.fill = 1;
    ASSERT_EQ(writeblk(d, 2), 1);
    readblk(d, 9)->dbuff.fill = 1;
    ASSERT_EQ(writeblk(d, 9), 1);
    for (uint32_t b = 3; b <= 17; b++) ASSERT_NE(readblk(d, b), nullptr);   // 2 is LRU again
    pmdb::plat_setwritehook(recordwrite);
    ASSERT_NE(readblk(d, 18), nullptr);
    // Every changed buffer went down to the pager; nothing reached the file.
    EXPECT_TRUE(writes.empty());
    bool isnew;
    EXPECT_TRUE(pmdb::pagerchanged(d, 2, &isnew));
    EXPECT_TRUE(pmdb::pagerchanged(d, 9, &isnew));
    EXPECT_EQ(readfile(path("a.db"))[2 * 1024 + 9], 0);
    EXPECT_EQ(readblk(d, 2)->dbuff.fill, 1);   // served from the pager, changed
    ASSERT_EQ(fsflush(0, fs), 1);
    EXPECT_EQ(writes, (std::vector<uint64_t>{2, 9, 0}));
    EXPECT_EQ(readfile(path("a.db"))[2 * 1024 + 9], 1);
}

TEST_F(CacheTest, FlushWritesChangedBlocksAscendingThenControlBlock) {
    grow(6);
    for (uint32_t b : {6u, 3u, 5u}) {
        readblk(d, b)->dbuff.fill = (char)b;
        ASSERT_EQ(writeblk(d, b), 1);
    }
    ASSERT_NE(readblk(d, 8 - 1), nullptr);   // new block 7
    ASSERT_NE(readblk(d, 8), nullptr);       // new block 8
    pmdb::plat_setwritehook(recordwrite);
    ASSERT_EQ(fsflush(0, fs), 1);
    EXPECT_EQ(writes, (std::vector<uint64_t>{3, 5, 6, 7, 8, 0}));
    // Runs of adjacent blocks in one call each, old and new ones apart.
    EXPECT_EQ(writecalls, 4);
    std::vector<uint8_t> f = readfile(path("a.db"));
    ASSERT_EQ(f.size(), 9u * 1024);
    EXPECT_EQ(f[5 * 1024 + 9], 5);
    EXPECT_EQ(pmdb::get16(f.data() + 7 * 1024 + 4), 10);
    EXPECT_EQ(pmdb::get32(f.data() + 812), 8u);       // lb
    EXPECT_EQ(pmdb::get16(f.data() + 816), 0);        // wrts
    EXPECT_EQ(f[808], 0);                              // cf
    writes.clear();
    ASSERT_EQ(fsflush(0, fs), 1);                      // nothing left to write
    EXPECT_TRUE(writes.empty());
}

TEST_F(CacheTest, LockedFlagNeverReachesTheFile) {
    ASSERT_EQ(fslock(0, fs, nullptr), 1);
    pmdb::changefscb(d);
    ASSERT_EQ(fsflush(0, fs), 1);
    EXPECT_EQ(readfile(path("a.db"))[809], 0);
    EXPECT_EQ(+d->fscb.dblocked, 1);
    ASSERT_EQ(fsunlock(0, fs), 1);
}

TEST_F(CacheTest, TwoThousandAndFirstChangeForcesAFlush) {
    pmdb::plat_setwritehook(recordwrite);
    for (int k = 0; k < 2000; k++) ASSERT_EQ(writeblk(d, 2), 1);
    EXPECT_EQ(+d->fscb.wrts, 2000);
    bool isnew;
    EXPECT_FALSE(pmdb::pagerchanged(d, 2, &isnew));
    ASSERT_EQ(writeblk(d, 2), 1);
    // The forced flush hands the block down; the commit writes it.
    EXPECT_TRUE(pmdb::pagerchanged(d, 2, &isnew));
    EXPECT_EQ(+d->fscb.wrts, 0);
    EXPECT_TRUE(writes.empty());
    ASSERT_EQ(fsflush(0, fs), 1);
    EXPECT_EQ(writes, (std::vector<uint64_t>{2, 0}));
}

TEST_F(CacheTest, FlushFailuresStopAtTheFirstAndKeepTheChange) {
    struct Case {
        pmdb::platop op;
        long n;
        bool isnew;
        int16_t err;
    } cases[] = {
        {pmdb::PLAT_SEEK, 1, false, 1290}, {pmdb::PLAT_WRITE, 1, false, 1295},
        {pmdb::PLAT_SEEK, 1, true, 1300},  {pmdb::PLAT_WRITE, 1, true, 1305},
        {pmdb::PLAT_SEEK, 2, false, 1310}, {pmdb::PLAT_WRITE, 2, false, 1315},
    };
    for (const Case &c : cases) {
        pmdb::clearerrors();
        uint32_t blk = c.isnew ? d->fscb.lb + 1 : 2;
        FSBUFF *b = readblk(d, blk);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(writeblk(d, blk), 1);
        readblk(d, blk)->dbuff.fill = 7;
        pmdb::plat_failat(c.op, c.n, 0);
        EXPECT_EQ(fsflush(0, fs), 0);
        EXPECT_EQ(errors(), (std::vector<int16_t>{c.err}));
        // The failed block stays marked: the next flush writes it.
        EXPECT_EQ(+d->fscb.cf, 1);
        if (c.err < 1310) {
            EXPECT_EQ(+readblk(d, blk)->cf, 1);
            EXPECT_EQ(+readblk(d, blk)->extblk, c.isnew ? 1 : 0);
        }
        pmdb::plat_faultreset();
        ASSERT_EQ(fsflush(0, fs), 1);
        EXPECT_EQ(+readblk(d, blk)->cf, 0);
        std::vector<uint8_t> f = readfile(path("a.db"));
        ASSERT_GE(f.size(), (blk + 1) * 1024u);
        EXPECT_EQ(f[blk * 1024 + 9], 7);
        EXPECT_EQ(pmdb::get32(f.data() + 812), d->fscb.lb);
    }
}

TEST_F(CacheTest, ChangedVictimThatCannotBeWrittenIsNotReused) {
    grow(20);
    nostore(fs);
    for (uint32_t b = 2; b <= 17; b++) ASSERT_NE(readblk(d, b), nullptr);
    readblk(d, 2)->dbuff.fill = 5;
    ASSERT_EQ(writeblk(d, 2), 1);
    for (uint32_t b = 3; b <= 17; b++) ASSERT_NE(readblk(d, b), nullptr);   // 2 is LRU
    pmdb::plat_failat(pmdb::PLAT_WRITE, 1, 0);
    EXPECT_EQ(readblk(d, 18), nullptr);
    EXPECT_EQ(errors(), (std::vector<int16_t>{1295, 1385}));
    bool held2 = false;
    for (const FSBUFF &b : d->buff) held2 |= b.blk == 2 && b.cf == 1;
    EXPECT_TRUE(held2);
    // Once the file takes writes again the victim is written and reused.
    ASSERT_NE(readblk(d, 18), nullptr);
    EXPECT_EQ(readfile(path("a.db"))[2 * 1024 + 9], 5);
}

TEST_F(CacheTest, ReadFailuresLeaveTheVictimItsBlock) {
    grow(20);   // blocks 3 and 4 are no longer in the buffers
    nostore(fs);   // nor below them
    for (auto [op, e] : {std::pair{pmdb::PLAT_SEEK, 1395}, std::pair{pmdb::PLAT_READ, 1400}}) {
        pmdb::clearerrors();
        pmdb::plat_failat(op, 1, 0);
        EXPECT_EQ(readblk(d, 3), nullptr);
        EXPECT_EQ(errors(), (std::vector<int16_t>{(int16_t)e}));
        for (const FSBUFF &b : d->buff) EXPECT_NE(b.blk, 3u);
    }
    pmdb::clearerrors();
    pmdb::plat_failat(pmdb::PLAT_READ, 1, 0);
    EXPECT_EQ(writeblk(d, 3), 0);
    EXPECT_EQ(errors(), (std::vector<int16_t>{1400, 1370}));
}

TEST_F(CacheTest, FailedForcedFlushIsReported) {
    nostore(fs);
    for (int k = 0; k < 2000; k++) ASSERT_EQ(writeblk(d, 2), 1);
    pmdb::plat_failat(pmdb::PLAT_WRITE, 1, 0);
    EXPECT_EQ(writeblk(d, 2), 0);
    EXPECT_EQ(errors(), (std::vector<int16_t>{1295, 1375}));
}

TEST_F(DbTest, ReadOnlyFlushWritesNothing) {
    ASSERT_EQ(fscreatedatabase(path("a.db").c_str(), 20), 1);
    std::vector<uint8_t> before = readfile(path("a.db"));
    FS *fs = fsopen(0, path("a.db").c_str(), 1, 1);
    ASSERT_NE(fs, nullptr);
    pmdb::FSDATA *d = data(fs);
    ASSERT_NE(readblk(d, 3), nullptr);
    ASSERT_EQ(writeblk(d, 2), 1);
    EXPECT_EQ(fsflush(0, fs), 1);
    EXPECT_EQ(readblk(d, 2)->cf, 1);   // left marked
    fsclose(0, fs);
    EXPECT_EQ(readfile(path("a.db")), before);
}
