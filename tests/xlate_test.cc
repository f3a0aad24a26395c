// xlate_test.cc - rid translation: growth of the file to the translation
// block of the next free slot, the walk across translation blocks, and
// every failure of the translation calls.
#include <string.h>

#include "fss/alloc.h"
#include "fss/record.h"
#include "fss/xlate.h"
#include "rectestutil.h"

using namespace pmdbtest;
using pmdb::FSDATA;
using pmdb::clearerrors;
using pmdb::plat_failat;

namespace {

// A record stored raw in exactly c bytes.
bytes storedas(size_t c, int seed = 0) {
    bytes b(c - 1);
    for (size_t k = 0; k < b.size(); k++) b[k] = (uint8_t)((k * 5 + (size_t)seed) % 241 + 1);
    return b;
}

}  // namespace

class XlateTest : public DbTest {
protected:
    // 256 records in entries of 52 bytes in file 1: 19 to a block, blocks 2 to 15,
    // every slot of translation block 0 in use.
    FS *fullslots() {
        FS *fs = createopen("a.db");
        if (fs == nullptr) return nullptr;
        for (int k = 0; k < 256; k++)
            if (add(fs, storedas(46, k), 0x10) != 0x10000000u + (uint32_t)k) return nullptr;
        return fs;
    }
};

TEST_F(XlateTest, GrowthToTheNextTranslationBlockFilesTheNewBlocksOnChainZero) {
    FS *fs = fullslots();
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    ASSERT_EQ(+(d->fscb.lb), 15u);
    ASSERT_EQ(+(d->fscb.ftc), 256u);
    ASSERT_EQ(+(d->fscb.fc[0]), 0u);
    // Slot 256 lives in block 21: blocks 16 to 20 and 22 come as empty data
    // blocks, 21 as translation block 1; the record goes to block 15.
    uint32_t rid = add(fs, storedas(46, 999), 0x10);
    EXPECT_EQ(rid, 0x10000100u);
    EXPECT_EQ(pmdb::ridtoblk(d, rid), 15u);
    EXPECT_EQ(+(d->fscb.lb), 22u);
    EXPECT_EQ(+(d->fscb.ftc), 257u);
    const uint32_t *x = pmdb::readblk(d, 21)->xlate;
    EXPECT_EQ(x[0], 0x10000000u | 15);
    EXPECT_EQ(x[1], 258u);
    EXPECT_EQ(x[255], 512u);
    // Chain 0 now holds 16, 17, 18, 19, 20, 22, in that order.
    std::vector<uint32_t> chain;
    for (uint32_t b = d->fscb.fc[0]; b != 0 && chain.size() < 10; b = pmdb::readblk(d, b)->dbuff.nbic) {
        chain.push_back(b);
        EXPECT_EQ(+(pmdb::readblk(d, b)->dbuff.fc), 0);
        EXPECT_EQ(+(pmdb::readblk(d, b)->dbuff.len), 10);
    }
    EXPECT_EQ(chain, std::vector<uint32_t>({16, 17, 18, 19, 20, 22}));
    EXPECT_EQ(checkdb(fs), 0u);
    // They are used before the file grows again.
    for (uint32_t want : chain) {
        uint32_t r = add(fs, storedas(1008, (int)want), 0x20);
        ASSERT_NE(r, 0u);
        EXPECT_EQ(pmdb::ridtoblk(d, r), want);
    }
    EXPECT_EQ(+(d->fscb.lb), 22u);
    // The walk crosses from slot 255 of one translation block to slot 0 of
    // the next, both ways.
    EXPECT_EQ(fsnext(0, fs, 0x100000ff), 0x10000100u);
    EXPECT_EQ(fsprev(0, fs, 0x10000100), 0x100000ffu);
    EXPECT_EQ(fsnext(0, fs, 0x10000100), 0u);
    EXPECT_EQ(fsfirst(0, fs, 0x20), 0x20000101u);
    fsclose(0, fs);
    EXPECT_EQ(readfile(path("a.db")).size(), 23u * 1024);
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(checkdb(fs), 0u);
    fsclose(0, fs);
}

TEST_F(XlateTest, WalkSkipsOtherFilesAndFreedSlots) {
    FS *fs = createopen("a.db", 3);   // translation blocks 1, 4, 7, ...
    ASSERT_NE(fs, nullptr);
    std::vector<uint32_t> mine;
    for (int k = 0; k < 700; k++) {
        uint32_t r = add(fs, storedas(20, k), k % 5 == 0 ? 0x70 : 0x80);
        ASSERT_NE(r, 0u);
        if (k % 5 == 0) mine.push_back(r);
    }
    for (size_t k = 1; k < mine.size(); k += 2) ASSERT_EQ(fsdelete(0, fs, mine[k]), 1);
    std::vector<uint32_t> got;
    for (uint32_t r = fsfirst(0, fs, 0x70); r != 0; r = fsnext(0, fs, r)) got.push_back(r);
    std::vector<uint32_t> want;
    for (size_t k = 0; k < mine.size(); k += 2) want.push_back(mine[k]);
    EXPECT_EQ(got, want);
    EXPECT_EQ(fslast(0, fs, 0x70), want.back());
    EXPECT_EQ(fsprev(0, fs, want[1]), want[0]);
    EXPECT_EQ(fsprev(0, fs, mine[1]), want[0]) << "from a deleted rid";
    EXPECT_TRUE(errors().empty());
    EXPECT_EQ(checkdb(fs), 0u);
    fsclose(0, fs);
}

TEST_F(XlateTest, FailedReadsOfTranslationBlocks) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    uint32_t a = add(fs, storedas(30), 0x10);
    uint32_t b = add(fs, storedas(30, 1), 0x10);
    fsclose(0, fs);
    struct {
        int16_t want;
        std::function<void(FSDATA *)> call;
    } cases[] = {
        {1320, [&](FSDATA *d) { EXPECT_EQ(pmdb::nextrid(d, a), 0u); }},
        {1330, [&](FSDATA *d) { EXPECT_EQ(pmdb::prevrid(d, b), 0u); }},
        {1345, [&](FSDATA *d) { EXPECT_EQ(pmdb::ridtoblk(d, a), 0u); }},
        {1350, [&](FSDATA *d) { EXPECT_EQ(pmdb::freexlate(d, a), 0); }},
        {1367, [&](FSDATA *d) { EXPECT_EQ(pmdb::changexlate(d, 2, a), 0); }},
    };
    for (auto &c : cases) {
        fs = fsopen(0, path("a.db").c_str(), 1, 0);
        ASSERT_NE(fs, nullptr);
        FSDATA *d = data(fs);
        pmdb::FSCB before = d->fscb;
        clearerrors();
        plat_failat(pmdb::PLAT_READ, 1, 0);   // the cache is empty after open
        c.call(d);
        EXPECT_EQ(errors(), std::vector<int16_t>({1400, c.want}));
        EXPECT_EQ(memcmp(&before, &d->fscb, sizeof before), 0);
        EXPECT_EQ(checkdb(fs), 0u);
        fsclose(0, fs);
    }
    // A rid whose translation block lies beyond the file is not moved.
    fs = fsopen(0, path("a.db").c_str(), 1, 0);
    ASSERT_NE(fs, nullptr);
    clearerrors();
    EXPECT_EQ(pmdb::changexlate(data(fs), 2, 0x10000000 | 256 * 40), 0);
    EXPECT_EQ(errors(), std::vector<int16_t>({1366}));
    EXPECT_EQ(+(data(fs)->fscb.lb), 2u);
    fsclose(0, fs);
}

TEST_F(XlateTest, FailedMarksOfTranslationBlocks) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    uint32_t a = add(fs, storedas(30), 0x10);
    uint32_t b = add(fs, storedas(30, 1), 0x10);
    ASSERT_EQ(fsflush(0, fs), 1);
    nostore(fs);
    // The next writeblk forces a flush whose first write fails.
    auto failnextmark = [&]() {
        d->fscb.wrts = 2000;
        plat_failat(pmdb::PLAT_WRITE, 1, 0);
        clearerrors();
    };
    failnextmark();
    EXPECT_EQ(pmdb::changexlate(d, 2, b), 0);
    EXPECT_EQ(pmdb::lasterror(), 1368);
    failnextmark();
    EXPECT_EQ(fsadd(0, fs, "abc", 3, 0x10), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1295, 1375, 1365, 1045}));
    EXPECT_EQ(+(d->fscb.ftc), 2u) << "the slot went back to the free chain";
    EXPECT_EQ(checkdb(fs), 0u);
    failnextmark();
    EXPECT_EQ(pmdb::freexlate(d, a), 0);
    EXPECT_EQ(pmdb::lasterror(), 1355);
    EXPECT_EQ(+(d->fscb.ftc), 2u) << "not freed when it cannot be marked";
    fsclose(0, fs);
}

TEST_F(XlateTest, DamagedSlotsAndFileBoundsAreRefused) {
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    uint32_t a = add(fs, storedas(30), 0x10);
    uint32_t b = add(fs, storedas(30, 1), 0x10);
    uint32_t c = add(fs, storedas(30, 2), 0x20);
    uint32_t *x = pmdb::readblk(d, 1)->xlate;
    // A slot naming the control block, a translation block or a block
    // beyond the file names no record.
    for (uint32_t bad : {0u, 1u, 3u, 0xfffffu}) {
        x[1] = 0x10000000 | bad;
        clearerrors();
        EXPECT_EQ(pmdb::ridtoblk(d, b), 0u);
        EXPECT_EQ(errors(), std::vector<int16_t>({1345}));
        EXPECT_EQ(pmdb::damageblk, 1u);
    }
    x[1] = 0x10000002;
    // A file whose bounds promise records it does not hold.
    d->fscb.f[0].lrid = 0x10000000 | 256 * 3;   // beyond the file
    clearerrors();
    EXPECT_EQ(fsnext(0, fs, b), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1325}));
    d->fscb.f[0].lrid = b;
    d->fscb.f[1].frid = 0x20000000;   // slot 0 belongs to file 1
    clearerrors();
    EXPECT_EQ(fsprev(0, fs, c), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1335}));
    d->fscb.f[1].frid = c;
    // A free chain whose head is in use, or beyond where it could grow.
    uint32_t ftc = d->fscb.ftc;
    d->fscb.ftc = a & pmdb::RIDSLOT;
    clearerrors();
    EXPECT_EQ(fsadd(0, fs, "abc", 3, 0x10), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1360, 1045}));
    d->fscb.ftc = 256 * 5;
    uint32_t lb = d->fscb.lb;
    clearerrors();
    EXPECT_EQ(fsadd(0, fs, "abc", 3, 0x10), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1357, 1045}));
    EXPECT_EQ(+(d->fscb.lb), lb);
    d->fscb.ftc = ftc;
    EXPECT_EQ(checkdb(fs), 0u);
    fsclose(0, fs);
}

TEST_F(XlateTest, FileAndSlotSpaceLimits) {
    // With the file at its last block the add cannot find a block.
    FS *fs = createopen("a.db");
    ASSERT_NE(fs, nullptr);
    FSDATA *d = data(fs);
    ASSERT_NE(add(fs, storedas(1008), 0x10), 0u);   // chain 0 is now empty
    pmdb::FSCB saved = d->fscb;
    d->fscb.lb = pmdb::MAXBLOCK;
    clearerrors();
    EXPECT_EQ(add(fs, storedas(1008), 0x10), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1405, 1030}));
    EXPECT_EQ(+(d->fscb.lb), pmdb::MAXBLOCK);
    // Growing to the free slot's translation block past the last block.
    ASSERT_EQ(fsdelete(0, fs, 0x10000000), 1);   // block 2 is empty again
    ASSERT_EQ(+(d->fscb.fc[0]), 2u);
    d->fscb.ftc = 256 * ((pmdb::MAXBLOCK - 1) / 20 + 1);
    clearerrors();
    EXPECT_EQ(add(fs, storedas(10), 0x10), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1405, 1357, 1045}));
    d->fscb = saved;
    d->fscb.cf = 0;
    fsclose(0, fs);

    // With translation blocks every 2 blocks the slot space ends first.
    fs = createopen("b.db", 2);
    ASSERT_NE(fs, nullptr);
    d = data(fs);
    d->fscb.lb = 2 * 1048576;
    d->fscb.fc[0] = 0;
    clearerrors();
    EXPECT_EQ(pmdb::getchain(d, 20), 0u);
    EXPECT_EQ(errors(), std::vector<int16_t>({1415}));
    d->fscb.lb = 2;
    d->fscb.fc[0] = 2;
    fsclose(0, fs);
}
