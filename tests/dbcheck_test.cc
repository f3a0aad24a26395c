// dbcheck_test.cc - the consistency check names each kind of damage by its
// block, stays silent on sound databases, and survives any file content.
#include <string.h>

#include <random>
#include <string>

#include "fss/dbcheck.h"
#include "fss/record.h"
#include "fss/xlate.h"
#include "rectestutil.h"

using namespace pmdbtest;
using pmdb::FSDATA;

namespace {

using pmdbtest::spread::storedas;

std::string problems(FS *fs) {
    pmdb::DBCHECKRESULT r{};
    uint32_t n = pmdb::dbcheck(pmdb::getfsdata(fs), pmdb::dbcheckcollect, &r);
    std::string out;
    for (uint32_t k = 0; k < n && k < (uint32_t)pmdb::DBCHECKMAX; k++)
        out += std::to_string(r.blk[k]) + ": " + r.what[k] + "\n";
    return out;
}

}  // namespace

class DbCheckTest : public DbTest {
protected:
    // Records in two files over blocks 2 to 6; block 3 holds r[2], r[3].
    void SetUp() override {
        DbTest::SetUp();
        fs_ = createopen("a.db");
        ASSERT_NE(fs_, nullptr);
        const size_t sizes[] = {1000, 600, 300, 300, 900, 800};
        for (int k = 0; k < 6; k++) {
            bytes b = storedas(sizes[k], k);
            r_[k] = fsadd(0, fs_, b.data(), (short)b.size(), (uint8_t)(k % 2 ? 0x20 : 0x10));
            ASSERT_NE(r_[k], 0u);
        }
        d_ = data(fs_);
        ASSERT_EQ(problems(fs_), "");
    }
    pmdb::DB &blk(uint32_t b) { return pmdb::readblk(d_, b)->dbuff; }
    FS *fs_ = nullptr;
    FSDATA *d_ = nullptr;
    uint32_t r_[6];
};

TEST_F(DbCheckTest, NamesEachKindOfDamage) {
    uint32_t b2 = pmdb::ridtoblk(d_, r_[2]);
    ASSERT_EQ(b2, pmdb::ridtoblk(d_, r_[3]));
    uint32_t *x = pmdb::readblk(d_, 1)->xlate;
    uint32_t saved = x[2];
    x[2] = 0x10000000 | pmdb::ridtoblk(d_, r_[0]);   // slot names another block
    EXPECT_NE(problems(fs_).find("block does not hold the record its slot names"), std::string::npos);
    EXPECT_NE(problems(fs_).find("entry not named by its slot"), std::string::npos);
    x[2] = 0x10000000 | 1;
    EXPECT_NE(problems(fs_).find("1: slot in use names no data block"), std::string::npos);
    x[2] = saved;
    x[40] = 0x30000000 | b2;   // a slot of file 3 with no entry
    EXPECT_NE(problems(fs_).find("does not hold the record"), std::string::npos);
    EXPECT_NE(problems(fs_).find("frid is not"), std::string::npos) << "file 3 is empty by its bounds";
    x[40] = 41;
    EXPECT_EQ(problems(fs_), "");

    // The same entry twice in one block.
    pmdb::DB &db = blk(b2);
    int16_t len = db.len;
    uint8_t *e = pmdb::findrec(&db, r_[2]);
    memcpy((uint8_t *)&db + db.len, e, 306);
    db.len = (int16_t)(db.len + 306);
    EXPECT_NE(problems(fs_).find("entries and slots in use differ"), std::string::npos);
    db.len = len;

    // Chains: a loop, a block on two chains, a key block on a chain.
    pmdb::FSCB cb = d_->fscb;
    d_->fscb.fc[4] = 2;
    blk(2).fc = 4;
    blk(2).nbic = 2;
    EXPECT_NE(problems(fs_).find("2: free-space chain links back on itself"), std::string::npos);
    blk(2).nbic = b2;
    EXPECT_NE(problems(fs_).find(std::to_string(b2) + ": block on a chain it is not filed on"), std::string::npos);
    blk(2).nbic = 0;
    blk(2).fc = -1;
    d_->fscb = cb;
    d_->fscb.f[0].frid = r_[2];
    d_->fscb.f[1].lrid = 0x2fffffff;
    EXPECT_NE(problems(fs_).find("frid is not"), std::string::npos);
    EXPECT_NE(problems(fs_).find("lrid is not"), std::string::npos);
    d_->fscb = cb;
    d_->fscb.ftc = r_[1] & pmdb::RIDSLOT;
    EXPECT_NE(problems(fs_).find("free slot chain starts at a slot in use"), std::string::npos);
    d_->fscb = cb;
    EXPECT_EQ(problems(fs_), "");
    fsclose(0, fs_);
}

TEST_F(DbCheckTest, AnyBlockContentGivesAReportNeverACrash) {
    fsclose(0, fs_);
    bytes good = readfile(path("a.db"));
    std::mt19937 rng(7);
    int found = 0;
    for (int iter = 0; iter < 60; iter++) {
        bytes f = good;
        // Random bytes over a few spans of blocks 1 and up; block 0 stays
        // readable so that the database opens.
        for (int s = 0; s < 3; s++) {
            size_t at = 1024 + rng() % (f.size() - 1024 - 64);
            size_t n = 1 + rng() % (iter % 3 == 0 ? 64 : 8);
            for (size_t k = 0; k < n; k++) f[at + k] = (uint8_t)rng();
        }
        writefile(path("b.db"), f);
        FS *fs = fsopen(0, path("b.db").c_str(), 0, 1);
        ASSERT_NE(fs, nullptr);
        if (!problems(fs).empty()) found++;
        // Every record call answers without crashing or growing the file.
        uint8_t dst[40000];
        for (uint32_t rid : r_) (void)fsread(0, fs, rid, dst);
        for (uint32_t fid = 0x10; fid <= 0x20; fid += 0x10)
            for (uint32_t rid = fsfirst(0, fs, (uint8_t)fid), n = 0; rid != 0 && n < 300; rid = fsnext(0, fs, rid), n++) {
            }
        EXPECT_EQ(+(data(fs)->fscb.lb), 6u);
        fsclose(0, fs);
    }
    EXPECT_GT(found, 10);   // many bytes (record contents) may take any value
}

// Found by fuzzing the tool's check: a control block that claims some
// 478,000 blocks over a file of a few made one problem (and one read) per
// missing block, and the check took minutes.
TEST_F(DbCheckTest, AFileShorterThanItsLbIsOneProblem) {
    fsclose(0, fs_);
    fs_ = nullptr;
    corruptat(path("a.db"), 812, {0x30, 0x4b, 0x07, 0x00});   // lb 478000
    FS *fs = fsopen(0, path("a.db").c_str(), 0, 1);
    ASSERT_NE(fs, nullptr);
    uint32_t reads = pmdb::hits + pmdb::miss;
    EXPECT_EQ(problems(fs), "0: the file holds fewer blocks than lb claims\n");
    EXPECT_EQ(pmdb::hits + pmdb::miss, reads);
    fsclose(0, fs);
}
